// Every source of the module includes NumPy through here, so that they share
// the one API table that the module's exec step imports.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL dovadure_numpy_api
#ifndef DOVADURE_NUMPY_IMPORTER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
