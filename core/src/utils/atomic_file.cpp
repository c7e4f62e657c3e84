#include "utils/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace dovadure::utils {
namespace {

// Closes the descriptor on every exit path.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// An 8 KiB write buffer over a file; runs at least as long as the buffer
// bypass it.
class BufferedFileWriter final : public Writer {
 public:
  static constexpr size_t kCapacity = 8192;

  explicit BufferedFileWriter(int fd) : fd_(fd) { buf_.reserve(kCapacity); }

  Result<size_t> write(std::span<const uint8_t> bytes) override {
    if (buf_.size() + bytes.size() > kCapacity) DOVADURE_TRY(flush());
    if (bytes.size() >= kCapacity) {
      ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0) return DBError::io_errno(errno);
      return static_cast<size_t>(n);
    }
    buf_.insert(buf_.end(), bytes.begin(), bytes.end());
    return bytes.size();
  }

  Status write_all(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
      Result<size_t> n = write(bytes);
      if (!n.ok()) {
        if (n.error().os_code() == EINTR) continue;
        return n.take_error();
      }
      if (n.value() == 0) return DBError::io("failed to write whole buffer");
      bytes = bytes.subspan(n.value());
    }
    return Status();
  }

  Status flush() {
    Status s = write_fd_all(fd_, buf_);
    buf_.clear();
    return s;
  }

 private:
  int fd_;
  std::vector<uint8_t> buf_;
};

void put_u32_le(uint8_t* out, uint32_t v) {
  v = to_little_endian(v);
  std::memcpy(out, &v, 4);
}

}  // namespace

// Retries EINTR and short writes; a write of 0 bytes is the write-zero error.
Status write_fd_all(int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return DBError::io_errno(errno);
    }
    if (n == 0) return DBError::io("failed to write whole buffer");
    bytes = bytes.subspan(static_cast<size_t>(n));
  }
  return Status();
}

std::string sibling_path(std::string_view path, std::string_view ext) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  const size_t name_start = slash == std::string_view::npos ? 0 : slash + 1;
  const std::string_view name = path.substr(name_start);
  std::string_view stem = path;
  std::string_view sep = ".";
  if (name.empty() || name == "." || name == "..") {
    // No file name to carry an extension: name the sibling inside it rather
    // than ever returning `path` itself.
    sep = (path.empty() || path.back() == '/') ? "." : "/.";
  } else {
    const size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && dot != 0) stem = path.substr(0, name_start + dot);
  }
  std::string out;
  out.reserve(stem.size() + sep.size() + ext.size());
  out.append(stem).append(sep).append(ext);
  return out;
}

Status write_atomic_with_checksum(const std::string& path, uint32_t footer_magic,
                                  const BodyWriter& body) {
  const std::string tmp = sibling_path(path, "tmp");
  FileDescriptor file(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (file.get() < 0) return DBError::io_errno(errno);

  BufferedFileWriter buffered(file.get());
  ChecksumWriter checked(buffered);
  DOVADURE_TRY(body(checked));

  // The footer goes around the checksum writer: the checksum covers neither
  // the magic nor itself.
  uint8_t footer[8];
  put_u32_le(footer, footer_magic);
  put_u32_le(footer + 4, checked.checksum());
  DOVADURE_TRY(buffered.write_all(footer));
  DOVADURE_TRY(buffered.flush());
  if (::fsync(file.get()) != 0) return DBError::io_errno(errno);
  if (::rename(tmp.c_str(), path.c_str()) != 0) return DBError::io_errno(errno);

  // Makes the rename itself durable. Best effort: the new file is already
  // complete and in place, so a failure here is not reported.
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string(".")
                          : slash == 0               ? std::string("/")
                                                     : path.substr(0, slash);
  FileDescriptor dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir_fd.get() >= 0) (void)::fsync(dir_fd.get());
  return Status();
}

}  // namespace dovadure::utils
