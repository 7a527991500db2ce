// The one place that includes Python.h. Everything in tarnwick is written
// against the CPython 3.12 limited API, so a single tarnwick.abi3.so loads into
// 3.12 and every later interpreter.
#pragma once

#if !defined(Py_LIMITED_API) || Py_LIMITED_API != 0x030C0000
#error "tarnwick must be compiled with Py_LIMITED_API=0x030C0000 (the 3.12 stable ABI)"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Assumptions about the limited API that the rest of the code relies on.
static_assert(sizeof(PyObject) == 2 * sizeof(void*),
              "instance layouts assume the two-word object header of a GIL build");
