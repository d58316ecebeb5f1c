// numpy's C API for this module: one function table shared by its files,
// filled in when the module is imported (module.cpp).
#pragma once

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL telvar_matio_numpy_api
#ifndef TELVAR_MATIO_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
