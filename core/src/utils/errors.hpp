// The core library's error type and the Result carrier of fallible calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace dovadure::utils {

// Variant order is fixed; each has a fixed display text.
enum class DBErrorKind : uint8_t {
  NotFound = 0,           // "Point with ID {} not found"
  AlreadyExists = 1,      // "Point with ID {} already exists"
  DimensionMismatch = 2,  // "Vector length mismatch: expected {}, got {}"
  Io = 3,                 // "I/O error: {}"
  Serialization = 4,      // "Serialization error: {}"
  WalCorruption = 5,      // "WAL corruption: {}"
  InvalidPayload = 6,     // "Invalid payload: {}"
  SearchFailed = 7,       // "Search failed: {}"
  MemoryCapExceeded = 8,  // "Memory cap exceeded: {}"
};

class DBError {
 public:
  static DBError not_found(uint64_t id);
  static DBError already_exists(uint64_t id);
  static DBError dimension_mismatch(size_t expected, size_t got);
  // An operating-system error: the text is the OS description of errno.
  static DBError io_errno(int err);
  // An I/O error with a fixed description ("failed to write whole buffer",
  // "unexpected end of file", ...); os_code is 0 when there is none.
  static DBError io(std::string description, int os_code = 0);
  static DBError serialization(std::string text);
  static DBError wal_corruption(std::string text);
  static DBError invalid_payload(std::string text);
  static DBError search_failed(std::string text);
  static DBError memory_cap_exceeded(std::string text);

  DBErrorKind kind() const { return kind_; }
  uint64_t id() const { return id_; }
  size_t expected() const { return expected_; }
  size_t got() const { return got_; }
  int os_code() const { return os_code_; }
  // The payload's own display form (the text inside the template).
  const std::string& message() const { return message_; }
  // The full display text, e.g. "Vector length mismatch: expected 128, got 3".
  std::string to_string() const;

 private:
  DBError(DBErrorKind kind) : kind_(kind) {}
  DBErrorKind kind_;
  int os_code_ = 0;
  uint64_t id_ = 0;
  size_t expected_ = 0;
  size_t got_ = 0;
  std::string message_;
};

// Text of an OS error number, e.g. "No such file or directory (os error 2)".
std::string os_error_text(int err);

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(DBError error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const DBError& error() const { return std::get<1>(v_); }
  DBError&& take_error() { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, DBError> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(DBError error) : err_(std::move(error)) {}

  bool ok() const { return !err_.has_value(); }
  explicit operator bool() const { return ok(); }
  const DBError& error() const { return *err_; }
  DBError&& take_error() { return std::move(*err_); }

 private:
  std::optional<DBError> err_;
};

using Status = Result<void>;

}  // namespace dovadure::utils

// Returns early from a function returning Status or Result<U> when expr fails.
#define DOVADURE_TRY(expr)                                   \
  do {                                                       \
    auto dovadure_try_status_ = (expr);                      \
    if (!dovadure_try_status_.ok()) return dovadure_try_status_.take_error(); \
  } while (0)
