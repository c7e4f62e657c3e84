// NumPy arrays that take over buffers filled by native code, so that results
// are never copied a second time.
#pragma once

#include "numpy_api.hpp"

#include <cstddef>
#include <cstdint>

namespace dovadure::python {

// A buffer from std::malloc; released with std::free unless an array took it.
class OwnedBuffer {
 public:
  OwnedBuffer() = default;
  // nullptr data (with a MemoryError set) when the allocation fails.
  static OwnedBuffer allocate(size_t bytes);
  OwnedBuffer(const OwnedBuffer&) = delete;
  OwnedBuffer& operator=(const OwnedBuffer&) = delete;
  OwnedBuffer(OwnedBuffer&& other) noexcept : data_(other.data_) { other.data_ = nullptr; }
  OwnedBuffer& operator=(OwnedBuffer&& other) noexcept;
  ~OwnedBuffer();

  void* data() const { return data_; }
  void* release() {
    void* d = data_;
    data_ = nullptr;
    return d;
  }

 private:
  void* data_ = nullptr;
};

// An array of `typenum` with the given shape whose base owns `buffer`. The
// buffer is consumed even when this fails (returns nullptr with an exception).
PyObject* adopt_buffer(OwnedBuffer buffer, int ndim, npy_intp* dims, int typenum);

// A new zero-size array of the given shape (some dimension is 0).
PyObject* empty_array(int ndim, npy_intp* dims, int typenum);

// Builds the (ids, scores) tuple, consuming both arrays (either may be
// nullptr, in which case the other is released and nullptr returned).
PyObject* make_result_pair(PyObject* ids, PyObject* scores);

}  // namespace dovadure::python
