// The native writer session types of vivudu._native: one segment, one collection.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vivudu::native {

// A new reference to the type, or nullptr with an exception set.
PyObject* create_writer_type(PyObject* module);
PyObject* create_collection_writer_type(PyObject* module);

}  // namespace vivudu::native
