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

Status add_class(PyObject* module, PyTypeObject* cls, const char* name) noexcept {
    auto all = all_list(module);
    if (!all) return std::move(all.error());
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text) return Error::fetch();
    if (PyList_Append(all.value().get(), text.get()) < 0) {
        PyErr_Clear();
        return Error::internal("could not append __name__ to __all__");
    }
    if (PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(cls)) < 0) return Error::fetch();
    return Done{};
}

// Each class's static methods as plain functions (METH_STATIC cleared), so
// that the function made of one, bound to a class, is called with that class
// as self. Made once, from the class's method table (a function-local
// static, initialised thread-safely); constant afterwards.
constexpr int max_static_methods = 4;
struct StaticDefs {
    PyMethodDef entries[max_static_methods + 1]{};
};
template <class Record>
PyMethodDef* static_method_defs() noexcept {
    static StaticDefs defs = [] {
        StaticDefs table;
        const PyType_Slot* slot = ClassOf<Record>::spec.slots;
        while (slot->slot != 0 && slot->slot != Py_tp_methods) ++slot;
        int n = 0;
        for (auto* def = static_cast<const PyMethodDef*>(slot->pfunc); def != nullptr && def->ml_name != nullptr;
             ++def) {
            if (!(def->ml_flags & METH_STATIC) || n == max_static_methods) continue;
            table.entries[n] = *def;
            table.entries[n].ml_flags &= ~METH_STATIC;
            ++n;
        }
        return table;
    }();
    return defs.entries;
}

// The interpreter makes each static method of the table a staticmethod whose
// function has no self. Each is replaced, in place in the class dict, by a
// staticmethod of the same function bound to the class: a call made in any
// interpreter then knows that interpreter's class, at no cost. Name, doc,
// signature and the staticmethod type stay as they were.
Status bind_static_methods(PyTypeObject* cls, PyMethodDef* defs) noexcept {
    auto* type = reinterpret_cast<PyObject*>(cls);
    Ref dict = Ref::steal(PyObject_GetAttrString(type, "__dict__"));
    if (!dict) return Error::fetch();
    for (PyMethodDef* def = defs; def->ml_name != nullptr; ++def) {
        Ref existing = Ref::steal(PyMapping_GetItemString(dict.get(), def->ml_name));
        if (!existing) return Error::fetch();
        Ref function = Ref::steal(PyCFunction_NewEx(def, type, nullptr));
        if (!function) return Error::fetch();
        auto* staticmethod_type = reinterpret_cast<PyObject*>(Py_TYPE(existing.get()));
        auto made = call(staticmethod_type, function.get());
        if (!made) return std::move(made.error());
        Ref wrapper = made.take();
        // staticmethod() copies the function's name and doc into a dict of
        // its own, which the interpreter's staticmethod objects do not have.
        Ref own = Ref::steal(PyObject_GetAttrString(wrapper.get(), "__dict__"));
        if (!own) return Error::fetch();
        if (PyDict_Check(own.get())) PyDict_Clear(own.get());
        if (PyObject_SetAttrString(type, def->ml_name, wrapper.get()) < 0) return Error::fetch();
    }
    return Done{};
}

template <class Record>
Status make_class(PyObject* module, InterpState& state) noexcept {
    constexpr int index = ClassOf<Record>::index;
    Ref cls = Ref::steal(PyType_FromModuleAndSpec(module, &ClassOf<Record>::spec, nullptr));
    if (!cls) return registration_error(ClassOf<Record>::name, Error::fetch());
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    if (auto s = bind_static_methods(type, static_method_defs<Record>()); !s)
        return registration_error(ClassOf<Record>::name, std::move(s.error()));
    state.class_free[index].store(reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free)),
                                  std::memory_order_relaxed);
    state.classes[index].store(reinterpret_cast<PyTypeObject*>(cls.release()), std::memory_order_release);
    if (&state != &main_state) enter_class(type, &state, index);
    return Done{};
}

Status make_classes(PyObject* module, InterpState& state) noexcept {
    if (reserved_names() > name_capacity) return Error::internal("too many interned names for the name table");
    if (auto s = make_class<MayBe>(module, state); !s) return s;
    return make_class<PyResult>(module, state);
}

template <class Record>
Status bind_class(PyObject* module, const InterpState& state) noexcept {
    PyTypeObject* cls = state.classes[ClassOf<Record>::index].load(std::memory_order_acquire);
    if (cls == nullptr) return Error::internal("the interpreter's classes are gone");
    return add_class(module, cls, ClassOf<Record>::name);
}

// Import in any interpreter: that interpreter's classes, made by its first
// import and bound again by every later one.
Status execute(PyObject* module) noexcept {
    if (module == nullptr) return Error::fetch();
    if (!PyModule_Check(module)) return cast_error(module, "module");
    auto state = state_for_import(module, make_classes);
    if (!state) return std::move(state.error());
    if (auto s = bind_class<MayBe>(module, *state.value()); !s) return s;
    return bind_class<PyResult>(module, *state.value());
}

ModuleState* module_state(PyObject* module) noexcept {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

int traverse_module(PyObject* module, visitproc visit, void* arg) noexcept {
    return traverse_state(module_state(module), visit, arg);
}

int clear_module(PyObject* module) noexcept {
    clear_state(module_state(module));
    return 0;
}

void free_module(void* module) noexcept { end_state(module_state(static_cast<PyObject*>(module))); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, as_slot(exec_slot<execute>)},
    // Every interpreter gets classes and caches of its own (binding/state.hpp).
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
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
    .m_size = sizeof(ModuleState),
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = traverse_module,
    .m_clear = clear_module,
    .m_free = free_module,
};

}  // namespace
}  // namespace tarnwick

PyMODINIT_FUNC PyInit_tarnwick(void) { return PyModuleDef_Init(&tarnwick::module_def); }
