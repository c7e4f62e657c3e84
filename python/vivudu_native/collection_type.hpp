// The class vivudu.Collection.
#pragma once

#include "numpy_api.hpp"

namespace vivudu::native {

// A new reference to the class, or nullptr with an exception set.
PyObject* create_collection_type(PyObject* module);

}  // namespace vivudu::native
