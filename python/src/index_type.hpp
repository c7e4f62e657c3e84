// The Python class `Index`: an immutable, searchable copy of the graph index
// of one segment snapshot.
#pragma once

#include "numpy_api.hpp"

namespace dovadure::python {

// Creates the class for `module` (a heap type bound to that module object).
// Returns a new reference, or nullptr with an exception set.
PyObject* create_index_type(PyObject* module);

}  // namespace dovadure::python
