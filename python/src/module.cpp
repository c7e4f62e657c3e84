// The extension module `dovadure`, initialised in two phases: the init entry
// point only returns the definition; the exec step imports NumPy's C API and
// adds the one class, `Index`.
#define DOVADURE_NUMPY_IMPORTER
#include "numpy_api.hpp"

#include "index_type.hpp"

namespace {

PyDoc_STRVAR(module_doc, "In-process approximate-nearest-neighbour search over a segment snapshot.");

int dovadure_exec(PyObject* module) {
  if (_import_array() < 0) return -1;
  PyObject* index_type = dovadure::python::create_index_type(module);
  if (index_type == nullptr) return -1;
  const int rc = PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(index_type));
  Py_DECREF(index_type);
  return rc;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(dovadure_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "dovadure", module_doc, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_dovadure(void) { return PyModuleDef_Init(&module_def); }
