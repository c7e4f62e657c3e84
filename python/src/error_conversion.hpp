// How failures of the core library and of the module's native code become
// Python exceptions. Core errors reach Python as RuntimeError carrying the
// error's display text unchanged.
#pragma once

#include "numpy_api.hpp"

#include <exception>
#include <string>

#include "batch_search.hpp"
#include "utils/errors.hpp"

namespace dovadure::python {

// Each sets the Python exception and returns nullptr, for `return raise...`.
PyObject* raise_db_error(const utils::DBError& error);
PyObject* raise_batch_failure(const BatchFailure& failure);

// A C++ exception caught while the interpreter lock was released, kept until
// the lock is back.
class CaughtException {
 public:
  // Call from a catch block only.
  void capture_current() noexcept;
  bool any() const { return kind_ != Kind::None; }
  // Sets the matching Python exception (MemoryError or RuntimeError).
  PyObject* raise() const;

 private:
  enum class Kind { None, OutOfMemory, Other };
  Kind kind_ = Kind::None;
  std::string text_;
};

}  // namespace dovadure::python
