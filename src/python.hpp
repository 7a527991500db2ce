// The one place that includes Python.h, and everything tarnwick assumes of the
// interpreter and of the build. Every other file reaches Python.h through here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

// Interpreter. A GIL interpreter is reached through the 3.12 stable ABI only,
// so one tarnwick.abi3.so loads into 3.12 and every later GIL interpreter.
// Free-threaded interpreters have no stable ABI: there the library is built
// against that interpreter's full C API, and TARNWICK_FREE_THREADED selects
// the few places where the code differs.
#if defined(Py_GIL_DISABLED)
#  if defined(Py_LIMITED_API)
#    error "free-threaded interpreters have no stable ABI: build tarnwick without Py_LIMITED_API"
#  endif
#  define TARNWICK_FREE_THREADED 1
#else
#  if !defined(Py_LIMITED_API) || Py_LIMITED_API != 0x030C0000
#    error "tarnwick must be compiled with Py_LIMITED_API=0x030C0000 (the 3.12 stable ABI)"
#  endif
#  define TARNWICK_FREE_THREADED 0
static_assert(sizeof(PyObject) == 2 * sizeof(void*),
              "instance layouts assume the two-word object header of a GIL build");
#endif

// Calls whose safe form differs between the two variants.
namespace tarnwick::py {

// A dict entry as a new reference: 1 found (*out set), 0 missing, -1 error.
// Without the interpreter lock a borrowed entry could be freed by another
// thread at any moment, so the free-threaded build asks for a reference; the
// GIL build takes one at once, before any Python code can run.
inline int dict_get_ref(PyObject* dict, PyObject* key, PyObject** out) noexcept {
#if TARNWICK_FREE_THREADED
    return PyDict_GetItemRef(dict, key, out);
#else
    *out = PyDict_GetItemWithError(dict, key);
    if (*out != nullptr) {
        Py_INCREF(*out);
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
#endif
}

// Memory for an instance of a collector-aware class that the collector will
// never track. In a GIL build it has the collector's header all the same:
// the collector reads it only of objects the class's tp_is_gc slot admits,
// but CPython 3.14's deallocation writes into it, whatever that slot says,
// when it postpones the deallocation of a collector object. A free-threaded
// collector instead walks every block of its own heap, tracked or not, and
// finds the objects it tracks only there: an instance that is never tracked
// comes from the plain object heap, where that walk never meets it, and goes
// back there without the collector's bookkeeping (its allocation count was
// never raised for it).
inline PyObject* new_untracked_object(PyTypeObject* type) noexcept {
#if TARNWICK_FREE_THREADED
    return PyObject_Init(static_cast<PyObject*>(PyObject_Malloc(static_cast<std::size_t>(type->tp_basicsize))), type);
#else
    return _PyObject_GC_New(type);
#endif
}
inline constexpr bool untracked_objects_outside_collector_heap = TARNWICK_FREE_THREADED != 0;

}  // namespace tarnwick::py

// Build: without C++ exceptions. Every failure is an Outcome, and no frame
// of this library may carry an exception handler: when the interpreter ends a
// thread that calls back into Python during finalisation (CPython 3.12 and
// 3.13 do so with pthread_exit, a forced unwind), a noexcept frame compiled
// with exceptions would call std::terminate and abort the process. Frames
// without handlers are passed through like C frames; their destructors do
// not run, so nothing touches a Python object on a thread that no longer
// holds the interpreter.
#if defined(__cpp_exceptions) || defined(_CPPUNWIND)
#  error "tarnwick must be compiled without C++ exceptions (-fno-exceptions, or /EHs-c- with MSVC)"
#endif

// Compiler hints: cold paths out of line, hot helpers inline.
#if defined(__GNUC__) || defined(__clang__)
#  define TARNWICK_COLD [[gnu::cold, gnu::noinline]]
#  define TARNWICK_NOINLINE [[gnu::noinline]]
#  define TARNWICK_ALWAYS_INLINE [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#  define TARNWICK_COLD [[msvc::noinline]]
#  define TARNWICK_NOINLINE [[msvc::noinline]]
#  define TARNWICK_ALWAYS_INLINE [[msvc::forceinline]] inline
#else
#  define TARNWICK_COLD
#  define TARNWICK_NOINLINE
#  define TARNWICK_ALWAYS_INLINE inline
#endif
