/* Callgrind client requests for the instruction-count benchmark: zero the
 * counters before a measured loop, dump them (with a label) after it. Outside
 * valgrind the requests are no-ops. */
/* The stable ABI, except for a free-threaded interpreter, which has none. */
#ifndef CGPROBE_FULL_API
#define Py_LIMITED_API 0x030C0000
#endif
#include <Python.h>
#include <valgrind/callgrind.h>

static PyObject *zero(PyObject *m, PyObject *unused) {
    (void)m; (void)unused;
    CALLGRIND_ZERO_STATS;
    Py_RETURN_NONE;
}
static PyObject *dump(PyObject *m, PyObject *label) {
    (void)m;
    const char *text = PyUnicode_AsUTF8AndSize(label, NULL);
    if (!text) return NULL;
    CALLGRIND_DUMP_STATS_AT(text);
    Py_RETURN_NONE;
}
static PyObject *active(PyObject *m, PyObject *unused) {
    (void)m; (void)unused;
    return PyBool_FromLong(RUNNING_ON_VALGRIND);
}
static PyMethodDef methods[] = {
    {"zero", zero, METH_NOARGS, NULL},
    {"dump", dump, METH_O, NULL},
    {"active", active, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL}};
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "cgprobe", "", 0, methods, NULL, NULL, NULL, NULL};
PyMODINIT_FUNC PyInit_cgprobe(void) { return PyModuleDef_Init(&def); }
