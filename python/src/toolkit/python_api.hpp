#pragma once

// The one include of Python.h. The build defines Py_LIMITED_API for the 3.10 stable ABI;
// refuse to compile against the full API by accident.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if !defined(Py_LIMITED_API) || Py_LIMITED_API != 0x030A0000
#error "_sferix must be built against the 3.10 limited API (Py_LIMITED_API=0x030A0000)"
#endif
