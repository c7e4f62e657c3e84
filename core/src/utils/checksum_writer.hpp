// A writer adapter that keeps a running Adler-32 of the bytes it passes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "utils/adler32.hpp"
#include "utils/encoding.hpp"
#include "utils/errors.hpp"

namespace dovadure::utils {

// A destination that may take fewer bytes than offered, like write(2).
// Errors are DBError of kind Io; os_code EINTR means "try again".
class Writer {
 public:
  virtual ~Writer() = default;
  virtual Result<size_t> write(std::span<const uint8_t> bytes) = 0;
};

class ChecksumWriter final : public ByteSink {
 public:
  // `inner` is borrowed and must outlive the adapter.
  explicit ChecksumWriter(Writer& inner) : inner_(inner) {}

  // Folds exactly the bytes `inner` accepted into the checksum, so after a
  // failure the checksum still describes what reached the destination.
  Status write_all(std::span<const uint8_t> bytes) override;

  uint32_t checksum() const { return sum_.value(); }

 private:
  Writer& inner_;
  Adler32 sum_;
};

}  // namespace dovadure::utils
