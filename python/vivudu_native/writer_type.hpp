// The native writer session type of vivudu._native.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vivudu::native {

// A new reference to the type, or nullptr with an exception set.
PyObject* create_writer_type(PyObject* module);

}  // namespace vivudu::native
