#include "module.hpp"

#include "maybe_class.hpp"
#include "result_class.hpp"

namespace tarnwick {
namespace {

TARNWICK_COLD Error registration_error(const char* class_name, Error cause) noexcept {
    Ref exc = std::move(cause).to_exception();
    return Error::with_cause(PyExc_RuntimeError, format_text("An error occurred while initializing class %s", class_name),
                             std::move(exc));
}

// The module's __all__ list, created when missing.
Outcome<Ref> all_list(PyObject* module) noexcept {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Error::fetch();
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all) return Error::fetch();
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return Error::fetch();
        return all;
    }
    if (!PyList_Check(all.get())) return cast_error(all.get(), "list");
    return all;
}

Status add_class(PyObject* module, TypeHolder& holder) noexcept {
    auto type = holder.get_or_create();
    if (!type) return registration_error(holder.class_name, std::move(type.error()));
    auto all = all_list(module);
    if (!all) return std::move(all.error());
    Ref name = Ref::steal(PyUnicode_FromString(holder.class_name));
    if (!name) return Error::fetch();
    if (PyList_Append(all.value().get(), name.get()) < 0) {
        PyErr_Clear();
        return Error::internal("could not append __name__ to __all__");
    }
    if (PyObject_SetAttrString(module, holder.class_name, type.value()) < 0) return Error::fetch();
    return Done{};
}

TARNWICK_COLD Error other_interpreter_error() noexcept {
    return Error::create(PyExc_ImportError,
                         "tarnwick can only be imported in the main interpreter: "
                         "its classes are shared by the whole process");
}

Status execute(PyObject* module) noexcept {
    if (module == nullptr) return Error::fetch();
    if (!PyModule_Check(module)) return cast_error(module, "module");
    // The type objects are process-wide and bound to one interpreter's object
    // allocator: they belong to the main interpreter (id 0), whatever
    // interpreter imports first, and every other interpreter is refused.
    if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) return other_interpreter_error();
    if (auto s = add_class(module, ClassOf<MayBe>::holder); !s) return s;
    if (auto s = add_class(module, ClassOf<PyResult>::holder); !s) return s;
    return Done{};
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, as_slot(exec_slot<execute>)},
#if TARNWICK_FREE_THREADED
    // Records are never written after allocation, shared access and every
    // process-wide cell are atomic, and the rest is per thread (see
    // binding/state.hpp): importing tarnwick leaves the GIL off.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tarnwick",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace tarnwick

PyMODINIT_FUNC PyInit_tarnwick(void) { return PyModuleDef_Init(&tarnwick::module_def); }
