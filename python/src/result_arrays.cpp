#include "result_arrays.hpp"

#include <cstdlib>

namespace dovadure::python {
namespace {

constexpr const char* kCapsuleName = "dovadure.result_buffer";

void free_capsule_buffer(PyObject* capsule) {
  std::free(PyCapsule_GetPointer(capsule, kCapsuleName));
}

}  // namespace

OwnedBuffer OwnedBuffer::allocate(size_t bytes) {
  OwnedBuffer buffer;
  // malloc(0) may return nullptr; one byte keeps "nullptr means failure".
  buffer.data_ = std::malloc(bytes == 0 ? 1 : bytes);
  if (buffer.data_ == nullptr) PyErr_NoMemory();
  return buffer;
}

OwnedBuffer& OwnedBuffer::operator=(OwnedBuffer&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = other.data_;
    other.data_ = nullptr;
  }
  return *this;
}

OwnedBuffer::~OwnedBuffer() { std::free(data_); }

PyObject* adopt_buffer(OwnedBuffer buffer, int ndim, npy_intp* dims, int typenum) {
  PyObject* array = PyArray_SimpleNewFromData(ndim, dims, typenum, buffer.data());
  if (array == nullptr) return nullptr;
  PyObject* capsule = PyCapsule_New(buffer.data(), kCapsuleName, free_capsule_buffer);
  if (capsule == nullptr) {
    Py_DECREF(array);
    return nullptr;
  }
  buffer.release();  // the capsule frees it from here on
  // Steals the capsule reference, also on failure.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), capsule) < 0) {
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

PyObject* empty_array(int ndim, npy_intp* dims, int typenum) {
  return PyArray_SimpleNew(ndim, dims, typenum);
}

PyObject* make_result_pair(PyObject* ids, PyObject* scores) {
  if (ids == nullptr || scores == nullptr) {
    Py_XDECREF(ids);
    Py_XDECREF(scores);
    return nullptr;
  }
  PyObject* pair = PyTuple_New(2);
  if (pair == nullptr) {
    Py_DECREF(ids);
    Py_DECREF(scores);
    return nullptr;
  }
  PyTuple_SET_ITEM(pair, 0, ids);
  PyTuple_SET_ITEM(pair, 1, scores);
  return pair;
}

}  // namespace dovadure::python
