#include "error_conversion.hpp"

#include <new>

namespace dovadure::python {

PyObject* raise_db_error(const utils::DBError& error) {
  PyErr_SetString(PyExc_RuntimeError, error.to_string().c_str());
  return nullptr;
}

PyObject* raise_batch_failure(const BatchFailure& failure) {
  switch (failure.kind) {
    case BatchFailureKind::None:
      break;
    case BatchFailureKind::OutOfMemory:
      return PyErr_NoMemory();
    case BatchFailureKind::SearchError:
    case BatchFailureKind::WorkerPanicked:
    case BatchFailureKind::Internal:
      PyErr_SetString(PyExc_RuntimeError, failure.text.c_str());
      return nullptr;
  }
  PyErr_SetString(PyExc_SystemError, "batch search reported failure without a cause");
  return nullptr;
}

void CaughtException::capture_current() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    kind_ = Kind::OutOfMemory;
  } catch (const std::exception& e) {
    kind_ = Kind::Other;
    try {
      text_ = e.what();
    } catch (...) {
      text_.clear();
    }
  } catch (...) {
    kind_ = Kind::Other;
    text_.clear();
  }
}

PyObject* CaughtException::raise() const {
  if (kind_ == Kind::OutOfMemory) return PyErr_NoMemory();
  PyErr_SetString(PyExc_RuntimeError, text_.empty() ? "unexpected native exception" : text_.c_str());
  return nullptr;
}

}  // namespace dovadure::python
