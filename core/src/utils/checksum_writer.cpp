#include "utils/checksum_writer.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace dovadure::utils {

Status ChecksumWriter::write_all(std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    Result<size_t> n = inner_.write(bytes);
    if (!n.ok()) {
      if (n.error().os_code() == EINTR) continue;
      return n.take_error();
    }
    if (n.value() == 0) return DBError::io("failed to write whole buffer");
    if (n.value() > bytes.size()) {
      std::fprintf(stderr, "ChecksumWriter: inner writer took %zu of %zu bytes\n", n.value(),
                   bytes.size());
      std::abort();
    }
    sum_.update(bytes.first(n.value()));
    bytes = bytes.subspan(n.value());
  }
  return Status();
}

}  // namespace dovadure::utils
