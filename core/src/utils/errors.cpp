#include "utils/errors.hpp"

#include <cstring>

namespace dovadure::utils {

DBError DBError::not_found(uint64_t id) {
  DBError e(DBErrorKind::NotFound);
  e.id_ = id;
  return e;
}

DBError DBError::already_exists(uint64_t id) {
  DBError e(DBErrorKind::AlreadyExists);
  e.id_ = id;
  return e;
}

DBError DBError::dimension_mismatch(size_t expected, size_t got) {
  DBError e(DBErrorKind::DimensionMismatch);
  e.expected_ = expected;
  e.got_ = got;
  return e;
}

DBError DBError::io_errno(int err) {
  DBError e(DBErrorKind::Io);
  e.os_code_ = err;
  e.message_ = os_error_text(err);
  return e;
}

DBError DBError::io(std::string description, int os_code) {
  DBError e(DBErrorKind::Io);
  e.os_code_ = os_code;
  e.message_ = std::move(description);
  return e;
}

#define DOVADURE_TEXT_ERROR(fn, kind)      \
  DBError DBError::fn(std::string text) {  \
    DBError e(DBErrorKind::kind);          \
    e.message_ = std::move(text);          \
    return e;                              \
  }
DOVADURE_TEXT_ERROR(serialization, Serialization)
DOVADURE_TEXT_ERROR(wal_corruption, WalCorruption)
DOVADURE_TEXT_ERROR(invalid_payload, InvalidPayload)
DOVADURE_TEXT_ERROR(search_failed, SearchFailed)
DOVADURE_TEXT_ERROR(memory_cap_exceeded, MemoryCapExceeded)
#undef DOVADURE_TEXT_ERROR

std::string DBError::to_string() const {
  switch (kind_) {
    case DBErrorKind::NotFound:
      return "Point with ID " + std::to_string(id_) + " not found";
    case DBErrorKind::AlreadyExists:
      return "Point with ID " + std::to_string(id_) + " already exists";
    case DBErrorKind::DimensionMismatch:
      return "Vector length mismatch: expected " + std::to_string(expected_) + ", got " +
             std::to_string(got_);
    case DBErrorKind::Io: return "I/O error: " + message_;
    case DBErrorKind::Serialization: return "Serialization error: " + message_;
    case DBErrorKind::WalCorruption: return "WAL corruption: " + message_;
    case DBErrorKind::InvalidPayload: return "Invalid payload: " + message_;
    case DBErrorKind::SearchFailed: return "Search failed: " + message_;
    case DBErrorKind::MemoryCapExceeded: return "Memory cap exceeded: " + message_;
  }
  return message_;
}

std::string os_error_text(int err) {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not live in buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

}  // namespace dovadure::utils
