#include "segment/wal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "utils/adler32.hpp"
#include "utils/atomic_file.hpp"

namespace dovadure::segment {

using utils::DBError;
using utils::Decoder;
using utils::Encoder;
using utils::Result;
using utils::Status;

namespace {

constexpr uint8_t kWalMagic[4] = {'V', 'D', 'B', 'W'};
constexpr uint32_t kWalRecordVariants = 3;
// The smallest record (Delete) is 12 bytes; nothing shorter is a frame.
constexpr uint64_t kMinRecordBytes = 12;
constexpr uint64_t kFrameOverhead = 8;
constexpr size_t kReadBufferBytes = 8192;
// More checksum-verified candidates than this in a tail is not a torn frame.
constexpr size_t kMaxTailCandidates = 1024;

uint32_t load_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return utils::to_little_endian(v);
}

Status ftruncate_retry(int fd, uint64_t len) {
  while (::ftruncate(fd, static_cast<off_t>(len)) != 0) {
    if (errno != EINTR) return DBError::io_errno(errno);
  }
  return Status();
}

Result<uint64_t> file_size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return DBError::io_errno(errno);
  return static_cast<uint64_t>(st.st_size);
}

// Sequential reads through an 8 KiB buffer.
class BufferedReader {
 public:
  explicit BufferedReader(int fd) : fd_(fd), buf_(kReadBufferBytes) {}

  // Fills `out` completely; false (with no error) when the file ends first.
  Result<bool> read_exact(uint8_t* out, size_t n) {
    while (n > 0) {
      if (pos_ == len_) {
        if (n >= buf_.size()) {
          // Large records skip the buffer.
          ssize_t got = ::read(fd_, out, n);
          if (got < 0) {
            if (errno == EINTR) continue;
            return DBError::io_errno(errno);
          }
          if (got == 0) return false;
          out += got;
          n -= static_cast<size_t>(got);
          continue;
        }
        ssize_t got = ::read(fd_, buf_.data(), buf_.size());
        if (got < 0) {
          if (errno == EINTR) continue;
          return DBError::io_errno(errno);
        }
        if (got == 0) return false;
        pos_ = 0;
        len_ = static_cast<size_t>(got);
      }
      size_t take = std::min(n, len_ - pos_);
      std::memcpy(out, buf_.data() + pos_, take);
      pos_ += take;
      out += take;
      n -= take;
    }
    return true;
  }

 private:
  int fd_;
  std::vector<uint8_t> buf_;
  size_t pos_ = 0;
  size_t len_ = 0;
};

class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) ::close(fd_);
  }

 private:
  int fd_;
};

// Looks behind a frame that could not be completed for a complete frame
// whose checksum verifies and whose record decodes. A crash only ever tears
// the last frame, so finding one means a damaged length field, not a torn
// tail. Returns the offset (within `tail`) of the first such frame.
//
// Adler-32 of any range comes from two prefix sums in O(1): over [s, e)
//   a = 1 + sum(x_k),  b = (e - s) + sum((e - k) * x_k)   (mod 65521)
// so every offset can be tried without rescanning its bytes.
std::optional<size_t> find_complete_frame(std::span<const uint8_t> tail) {
  constexpr uint64_t M = utils::kAdlerModulus;
  const size_t n = tail.size();
  if (n < kFrameOverhead + kMinRecordBytes + 1) return std::nullopt;
  std::vector<uint16_t> s1(n + 1), s2(n + 1);
  uint64_t a = 0, b = 0;
  for (size_t k = 0; k < n; ++k) {
    s1[k] = static_cast<uint16_t>(a);
    s2[k] = static_cast<uint16_t>(b);
    a = (a + tail[k]) % M;
    b = (b + (k % M) * tail[k]) % M;
  }
  s1[n] = static_cast<uint16_t>(a);
  s2[n] = static_cast<uint16_t>(b);

  size_t verified = 0;
  // Offset 0 is the frame that failed to complete.
  for (size_t p = 1; p + kFrameOverhead + kMinRecordBytes <= n; ++p) {
    const uint64_t len = load_u32(tail.data() + p);
    if (len < kMinRecordBytes || len > n - p - kFrameOverhead) continue;
    const size_t s = p + 4;
    const size_t e = s + static_cast<size_t>(len);
    const uint64_t sum = (s1[e] + M - s1[s]) % M;
    const uint64_t weighted = (s2[e] + M - s2[s]) % M;
    const uint64_t fa = (1 + sum) % M;
    const uint64_t fb = (len % M + (e % M) * sum % M + M - weighted) % M;
    if (((fb << 16) | fa) != load_u32(tail.data() + e)) continue;
    if (++verified > kMaxTailCandidates) return p;
    Decoder dec(tail.subspan(s, static_cast<size_t>(len)));
    WalRecord record;
    if (WalRecord::decode(dec, record).ok()) return p;
  }
  return std::nullopt;
}

}  // namespace

// ---------------------------------------------------------------------------
// WalRecord

bool WalRecord::operator==(const WalRecord& other) const {
  if (value.index() != other.value.index()) return false;
  if (const auto* a = std::get_if<Insert>(&value)) {
    const auto& b = std::get<Insert>(other.value);
    return a->point_id == b.point_id && a->vector.size() == b.vector.size() &&
           (a->vector.empty() || std::memcmp(a->vector.data(), b.vector.data(),
                                             a->vector.size() * sizeof(float)) == 0) &&
           a->payload == b.payload;
  }
  if (const auto* a = std::get_if<Delete>(&value)) {
    return a->point_id == std::get<Delete>(other.value).point_id;
  }
  const auto& a = std::get<UpdatePayload>(value);
  const auto& b = std::get<UpdatePayload>(other.value);
  return a.point_id == b.point_id && a.payload == b.payload;
}

size_t WalRecord::encoded_len() const {
  if (const auto* r = std::get_if<Insert>(&value)) {
    return 4 + 8 + 8 + 4 * r->vector.size() + 1 + (r->payload ? r->payload->encoded_len() : 0);
  }
  if (std::holds_alternative<Delete>(value)) return 12;
  return 12 + std::get<UpdatePayload>(value).payload.encoded_len();
}

void WalRecord::encode(Encoder& out) const {
  out.put_variant(static_cast<uint32_t>(value.index()));
  if (const auto* r = std::get_if<Insert>(&value)) {
    out.put_u64(r->point_id);
    out.put_f32_seq(r->vector);
    out.put_option_tag(r->payload.has_value());
    if (r->payload) r->payload->encode(out);
  } else if (const auto* d = std::get_if<Delete>(&value)) {
    out.put_u64(d->point_id);
  } else {
    const auto& u = std::get<UpdatePayload>(value);
    out.put_u64(u.point_id);
    u.payload.encode(out);
  }
}

Status WalRecord::decode(Decoder& in, WalRecord& out) {
  uint32_t index = 0;
  DOVADURE_TRY(in.read_variant(index, kWalRecordVariants));
  switch (index) {
    case 0: {
      Insert r;
      DOVADURE_TRY(in.read_u64(r.point_id));
      DOVADURE_TRY(in.read_f32_seq(r.vector));
      bool present = false;
      DOVADURE_TRY(in.read_option_tag(present));
      if (present) DOVADURE_TRY(utils::Payload::decode(in, r.payload.emplace()));
      out.value = std::move(r);
      break;
    }
    case 1: {
      Delete r;
      DOVADURE_TRY(in.read_u64(r.point_id));
      out.value = r;
      break;
    }
    default: {
      UpdatePayload r;
      DOVADURE_TRY(in.read_u64(r.point_id));
      DOVADURE_TRY(utils::Payload::decode(in, r.payload));
      out.value = std::move(r);
      break;
    }
  }
  return Status();
}

// ---------------------------------------------------------------------------
// WalReader

Result<ReplayOutcome> WalReader::replay(const std::string& path, const Apply& apply) {
  ReplayOutcome outcome;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    // Only a missing entry means "no log"; anything else (a permission
    // problem, say) must not silently skip records.
    if (errno == ENOENT || errno == ENOTDIR) return outcome;
    return DBError::io_errno(errno);
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return DBError::io_errno(errno);
  FdCloser closer(fd);
  outcome.file_found = true;
  Result<uint64_t> size_or = file_size(fd);
  if (!size_or.ok()) return size_or.take_error();
  const uint64_t size = size_or.value();

  BufferedReader reader(fd);
  uint8_t header[kWalHeaderBytes];
  Result<bool> got = reader.read_exact(header, sizeof header);
  if (!got.ok()) return got.take_error();
  if (!got.value()) {
    outcome.torn = size > 0;
    return outcome;
  }
  if (std::memcmp(header, kWalMagic, 4) != 0) return DBError::wal_corruption("missing WAL header");
  const uint32_t version = load_u32(header + 4);
  if (version != kWalVersion) {
    return DBError::wal_corruption("unsupported WAL version " + std::to_string(version));
  }

  uint64_t offset = kWalHeaderBytes;
  std::vector<uint8_t> record_bytes;
  for (;;) {
    outcome.valid_end = offset;
    uint8_t word[4];
    got = reader.read_exact(word, 4);
    if (!got.ok()) return got.take_error();
    if (!got.value()) break;
    const uint64_t len = load_u32(word);
    // The length is bounded by what the file still holds, so a damaged
    // length field never sizes a large allocation.
    if (size < offset + kFrameOverhead || len > size - offset - kFrameOverhead) break;
    record_bytes.resize(static_cast<size_t>(len));
    got = reader.read_exact(record_bytes.data(), record_bytes.size());
    if (!got.ok()) return got.take_error();
    if (!got.value()) break;
    got = reader.read_exact(word, 4);
    if (!got.ok()) return got.take_error();
    if (!got.value()) break;
    if (utils::adler32(record_bytes) != load_u32(word)) {
      return DBError::wal_corruption("checksum mismatch");
    }
    Decoder dec(record_bytes);
    WalRecord record;
    DOVADURE_TRY(WalRecord::decode(dec, record));
    DOVADURE_TRY(apply(std::move(record)));
    ++outcome.records_applied;
    offset += kFrameOverhead + len;
  }

  if (size <= outcome.valid_end) return outcome;
  // Something follows the last complete frame. Read it whole (it is bounded
  // by the file) and make sure it is a torn frame and not hidden records.
  std::vector<uint8_t> tail(static_cast<size_t>(size - outcome.valid_end));
  size_t filled = 0;
  while (filled < tail.size()) {
    ssize_t n = ::pread(fd, tail.data() + filled, tail.size() - filled,
                        static_cast<off_t>(outcome.valid_end + filled));
    if (n < 0) {
      if (errno == EINTR) continue;
      return DBError::io_errno(errno);
    }
    if (n == 0) break;
    filled += static_cast<size_t>(n);
  }
  tail.resize(filled);
  if (auto p = find_complete_frame(tail)) {
    return DBError::wal_corruption("incomplete frame at byte offset " +
                                   std::to_string(outcome.valid_end) +
                                   " is followed by a complete frame at byte offset " +
                                   std::to_string(outcome.valid_end + *p));
  }
  outcome.torn = !tail.empty();
  return outcome;
}

// ---------------------------------------------------------------------------
// WalWriter

Result<WalWriter> WalWriter::open(const WalWriterConfig& config, const ReplayOutcome& replayed) {
  WalWriter w;
  w.fd_ = ::open(config.path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (w.fd_ < 0) return DBError::io_errno(errno);
  w.path_ = config.path;
  w.fsync_ = config.fsync;
  w.fsync_every_ = config.fsync_every;
  w.fsync_interval_ = config.fsync_interval;
  w.last_sync_ = std::chrono::steady_clock::now();
  if (replayed.torn) w.cut_to_ = replayed.valid_end;
  // On failure `w` closes the file as it goes out of scope.
  DOVADURE_TRY(w.ensure_header());
  return w;
}

WalWriter::WalWriter(WalWriter&& other) noexcept { *this = std::move(other); }

WalWriter& WalWriter::operator=(WalWriter&& other) noexcept {
  if (this == &other) return *this;
  close_file();
  path_ = std::move(other.path_);
  fsync_ = other.fsync_;
  fsync_every_ = other.fsync_every_;
  fsync_interval_ = other.fsync_interval_;
  last_sync_ = other.last_sync_;
  pending_appends_ = other.pending_appends_;
  sync_count_ = other.sync_count_;
  fd_ = other.fd_;
  end_ = other.end_;
  cut_to_ = other.cut_to_;
  other.fd_ = -1;
  return *this;
}

WalWriter::~WalWriter() { close_file(); }

void WalWriter::close_file() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Status WalWriter::sync() {
  while (::fdatasync(fd_) != 0) {
    if (errno != EINTR) return DBError::io_errno(errno);
  }
  pending_appends_ = 0;
  last_sync_ = std::chrono::steady_clock::now();
  ++sync_count_;
  return Status();
}

Status WalWriter::ensure_header() {
  Result<uint64_t> size = file_size(fd_);
  if (!size.ok()) return size.take_error();
  end_ = size.value();
  if (end_ != 0) return Status();
  uint8_t header[kWalHeaderBytes];
  std::memcpy(header, kWalMagic, 4);
  const uint32_t version = utils::to_little_endian(kWalVersion);
  std::memcpy(header + 4, &version, 4);
  DOVADURE_TRY(utils::write_fd_all(fd_, header));
  end_ = kWalHeaderBytes;
  if (fsync_) DOVADURE_TRY(sync());
  return Status();
}

Status WalWriter::cut_pending_tail() {
  const uint64_t cut = *cut_to_;
  Result<uint64_t> size = file_size(fd_);
  if (!size.ok()) return size.take_error();
  // Only ever shorten: a file that is already shorter than expected is left
  // as it is rather than padded with zeros.
  if (size.value() > cut) {
    DOVADURE_TRY(ftruncate_retry(fd_, cut));
    if (fsync_) DOVADURE_TRY(sync());
  }
  cut_to_.reset();
  // A torn header is cut to nothing and written afresh here.
  return ensure_header();
}

Status WalWriter::append(const WalRecord& record) {
  if (cut_to_) DOVADURE_TRY(cut_pending_tail());
  const size_t len = record.encoded_len();
  if (len > std::numeric_limits<uint32_t>::max()) {
    return DBError::serialization("record of " + std::to_string(len) +
                                  " bytes does not fit a log frame");
  }
  std::vector<uint8_t> frame;
  frame.reserve(len + kFrameOverhead);
  {
    Encoder enc(frame);
    enc.put_u32(static_cast<uint32_t>(len));
    record.encode(enc);
    if (frame.size() != len + 4) {
      std::fprintf(stderr, "WalRecord::encoded_len is %zu but the record encoded to %zu bytes\n",
                   len, frame.size() - 4);
      std::abort();
    }
    enc.put_u32(utils::adler32(std::span<const uint8_t>(frame).subspan(4)));
  }
  // One write per frame keeps a crash from leaving more than one torn frame.
  Status written = utils::write_fd_all(fd_, frame);
  if (!written.ok()) {
    cut_to_ = end_;
    return written;
  }
  end_ += frame.size();
  if (pending_appends_ != std::numeric_limits<uint64_t>::max()) ++pending_appends_;
  if (!fsync_) return Status();
  bool due;
  if (fsync_every_ < 2 && fsync_interval_.count() == 0) {
    due = true;
  } else {
    due = (fsync_interval_.count() != 0 &&
           std::chrono::steady_clock::now() - last_sync_ >= fsync_interval_) ||
          pending_appends_ >= fsync_every_;
  }
  if (due) return sync();
  return Status();
}

Status WalWriter::truncate() {
  DOVADURE_TRY(ftruncate_retry(fd_, 0));
  cut_to_.reset();
  end_ = 0;
  if (fsync_) DOVADURE_TRY(sync());
  return ensure_header();
}

}  // namespace dovadure::segment
