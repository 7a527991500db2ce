/* Four hand-written classes with the same instance (one object reference and
 * one word), differing only in how they meet the cyclic collector: 0 outside
 * it; 1 inside it, every instance carrying the collector's header; 2 inside
 * it through a tp_is_gc slot, an instance it does not track allocated without
 * the header; 3 the header on every instance and the tp_is_gc slot too.
 * make(kind, n) returns a list of n instances of one of them, none tracked.
 * Used only to measure what a full collection pays for a class taking part in
 * the collector at all, whatever its instances hold. */
#define Py_LIMITED_API 0x030C0000
#include <Python.h>

typedef struct { PyObject_HEAD PyObject *value; Py_ssize_t word; } LayoutObject;

static int traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(((LayoutObject *)self)->value);
    Py_VISIT(Py_TYPE(self));
    return 0;
}
/* Only instances whose word is set would carry the header. */
static int is_gc(PyObject *self) { return ((LayoutObject *)self)->word != 0; }

static void dealloc_plain(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    Py_XDECREF(((LayoutObject *)self)->value);
    PyObject_Free(self);
    Py_DECREF(type);
}
static void dealloc_header(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_XDECREF(((LayoutObject *)self)->value);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

static PyType_Slot plain_slots[] = {{Py_tp_dealloc, dealloc_plain}, {0, NULL}};
static PyType_Slot header_slots[] = {{Py_tp_dealloc, dealloc_header}, {Py_tp_traverse, traverse}, {0, NULL}};
static PyType_Slot is_gc_slots[] = {
    {Py_tp_dealloc, dealloc_plain}, {Py_tp_traverse, traverse}, {Py_tp_is_gc, is_gc}, {0, NULL}};
static PyType_Slot header_is_gc_slots[] = {
    {Py_tp_dealloc, dealloc_header}, {Py_tp_traverse, traverse}, {Py_tp_is_gc, is_gc}, {0, NULL}};
static PyType_Spec specs[] = {
    {"gc_layouts.Plain", sizeof(LayoutObject), 0, Py_TPFLAGS_DEFAULT, plain_slots},
    {"gc_layouts.Header", sizeof(LayoutObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, header_slots},
    {"gc_layouts.IsGc", sizeof(LayoutObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, is_gc_slots},
    {"gc_layouts.HeaderIsGc", sizeof(LayoutObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, header_is_gc_slots},
};
enum { KINDS = sizeof specs / sizeof specs[0] };
static PyObject *types[KINDS];

static PyObject *make(PyObject *module, PyObject *args) {
    (void)module;
    int kind;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "in", &kind, &n)) return NULL;
    if (kind < 0 || kind >= KINDS || n < 0) {
        PyErr_SetString(PyExc_ValueError, "make(kind, n): kind 0 to 3, n >= 0");
        return NULL;
    }
    PyTypeObject *type = (PyTypeObject *)types[kind];
    PyObject *list = PyList_New(n);
    if (!list) return NULL;
    for (Py_ssize_t i = 0; i < n; i++) {
        /* The classes with the header allocate through the collector (never
         * tracking); the others take a plain block of the instance's size. */
        const int header = kind == 1 || kind == 3;
        LayoutObject *obj = header ? PyObject_GC_New(LayoutObject, type)
                                   : (LayoutObject *)PyObject_Malloc(sizeof(LayoutObject));
        if (!obj) {
            Py_DECREF(list);
            return PyErr_NoMemory();
        }
        if (!header) PyObject_Init((PyObject *)obj, type);
        obj->value = Py_NewRef(Py_None);
        obj->word = 0;
        PyList_SetItem(list, i, (PyObject *)obj);
    }
    return list;
}

static PyMethodDef methods[] = {{"make", make, METH_VARARGS, NULL}, {NULL, NULL, 0, NULL}};
static struct PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "gc_layouts", NULL, -1, methods,
                                        NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_gc_layouts(void) {
    for (int kind = 0; kind < KINDS; kind++) {
        if (!types[kind] && !(types[kind] = PyType_FromSpec(&specs[kind]))) return NULL;
    }
    return PyModule_Create(&module_def);
}
