#include "interpreter.hpp"

#include <new>

namespace tarnwick {

constinit InterpState main_state{};
constinit ClassSlot class_table[class_table_size]{};

std::uintptr_t probe_class_table(PyTypeObject* cls) noexcept {
    for (std::size_t probe = 1; probe < class_table_probes; ++probe) {
        const ClassSlot& slot = class_slot(cls, probe);
        if (slot.cls.load(std::memory_order_acquire) == cls) return slot.tagged_state.load(std::memory_order_relaxed);
    }
    return 0;
}

// The state goes in first and the class last (release), so that a reader
// that finds the class finds its state. Claiming the slot through its state
// word keeps two interpreters that enter classes at once out of each other's
// slots.
void enter_class(PyTypeObject* cls, InterpState* state, int index) noexcept {
    const std::uintptr_t tagged = reinterpret_cast<std::uintptr_t>(state) | static_cast<std::uintptr_t>(index);
    for (std::size_t probe = 0; probe < class_table_probes; ++probe) {
        ClassSlot& slot = class_slot(cls, probe);
        std::uintptr_t free = 0;
        if (slot.tagged_state.compare_exchange_strong(free, tagged, std::memory_order_acq_rel)) {
            slot.cls.store(cls, std::memory_order_release);
            return;
        }
    }
}

void withdraw_class(PyTypeObject* cls) noexcept {
    if (cls == nullptr) return;
    for (std::size_t probe = 0; probe < class_table_probes; ++probe) {
        ClassSlot& slot = class_slot(cls, probe);
        if (slot.cls.load(std::memory_order_relaxed) == cls) {
            slot.clear();
            return;
        }
    }
}

namespace {

constexpr const char* capsule_name = "tarnwick.interpreter_state";

// Set while the main state belongs to a runtime whose finalisation will
// forget it (Py_AtExit), so that the registration happens once per runtime.
constinit std::atomic<bool> forget_registered{false};

// Blocks cached by a runtime that ended without releasing its main state
// (its module outlived finalisation, kept by leaked instances). Their
// allocator is gone, so they cannot be freed; they are kept here, never used
// again, rather than lost. Written only by forget_main_state().
constinit FreeList abandoned_instances[class_count]{};
constinit TextBlockCache abandoned_texts{};

// Called by Py_FinalizeEx once the runtime is gone, without the interpreter:
// whatever the main state still refers to (classes kept alive by leaked
// instances, cached blocks) belonged to that runtime and is dropped without
// being touched; the next runtime starts with an empty state.
void forget_main_state() noexcept {
    for (int i = 0; i < class_count; ++i) {
        main_state.classes[i].store(nullptr, std::memory_order_relaxed);
        main_state.class_free[i].store(nullptr, std::memory_order_relaxed);
        main_state.free_lists[i].drain([i](void* block) { abandoned_instances[i].push(block); });
    }
    main_state.text_blocks.drain([](void* block) { abandoned_texts.push(block); });
    main_state.internal_error_type.store(nullptr, std::memory_order_relaxed);
    for (StrSlot& name : main_state.names) name.store(nullptr, std::memory_order_relaxed);
    main_state.owner = nullptr;
    // Classes of sub-interpreters whose states outlived the runtime (leaked
    // with their instances) are forgotten too.
    for (ClassSlot& slot : class_table) slot.clear();
    forget_registered.store(false, std::memory_order_relaxed);
}

[[nodiscard]] bool is_main_interpreter() noexcept { return PyInterpreterState_GetID(PyInterpreterState_Get()) == 0; }

// The calling interpreter's dict (null while it is being finalised) and the
// capsule key, as a str of that interpreter.
PyObject* interpreter_dict() noexcept { return PyInterpreterState_GetDict(PyInterpreterState_Get()); }
Ref capsule_key() noexcept { return Ref::steal(PyUnicode_FromString(capsule_name)); }

// The state registered in the calling interpreter's dict: null with no error
// when there is none, null with the error set when the lookup failed.
InterpState* registered_state(bool& failed) noexcept {
    failed = false;
    PyObject* dict = interpreter_dict();
    if (dict == nullptr) return nullptr;  // no dict: finalising, nothing registered
    Ref key = capsule_key();
    PyObject* found = nullptr;
    if (!key || py::dict_get_ref(dict, key.get(), &found) < 0) {
        failed = true;
        return nullptr;
    }
    Ref capsule = Ref::steal(found);
    if (!capsule) return nullptr;
    auto* state = static_cast<InterpState*>(PyCapsule_GetPointer(capsule.get(), capsule_name));
    if (state == nullptr) failed = true;
    return state;
}

Status register_state(InterpState* state) noexcept {
    PyObject* dict = interpreter_dict();
    if (dict == nullptr) return Error::internal("the interpreter has no dict for its tarnwick state");
    Ref key = capsule_key();
    if (!key) return Error::fetch();
    Ref capsule = Ref::steal(PyCapsule_New(state, capsule_name, nullptr));
    if (!capsule) return Error::fetch();
    if (PyDict_SetItem(dict, key.get(), capsule.get()) < 0) return Error::fetch();
    return Done{};
}

// Removes the registration of state, if it is still the registered one. Any
// error is dropped, and an exception already set is kept: this runs while a
// module is cleared or freed.
void unregister_state(InterpState* state) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    bool failed = false;
    if (state != nullptr && registered_state(failed) == state) {
        Ref key = capsule_key();
        if (!key || PyDict_DelItem(interpreter_dict(), key.get()) < 0) failed = true;
    }
    if (failed || PyErr_Occurred()) PyErr_Clear();
    PyErr_SetRaisedException(pending);
}

// The classes leave the class table before any of them can go. The free
// lists go first: a block is freed by its class's free function, which
// reads the class (the collector's free function finds the block's header
// through it), so no block may outlive the state's hold on its class; after
// this, deallocation keeps no block for a class the state no longer holds.
void drop_classes(InterpState& state) noexcept {
    for (auto& cls : state.classes) withdraw_class(cls.load(std::memory_order_relaxed));
    for (int i = 0; i < class_count; ++i) {
        freefunc free = state.class_free[i].load(std::memory_order_relaxed);
        if (free != nullptr) state.free_lists[i].drain([free](void* block) { free(block); });
    }
    for (auto& cls : state.classes) Py_XDECREF(reinterpret_cast<PyObject*>(cls.exchange(nullptr)));
}

// Releases everything the state holds, with the interpreter that owns it
// still running: its objects go back to it, its blocks to its allocator.
void release_state(InterpState& state) noexcept {
    drop_classes(state);
    Py_XDECREF(state.internal_error_type.exchange(nullptr));
    for (StrSlot& name : state.names) Py_XDECREF(name.exchange(nullptr));
    state.text_blocks.drain([](void* block) { PyMem_Free(block); });
    state.owner = nullptr;
}

}  // namespace

InterpState* state_of_other(PyTypeObject* cls) noexcept {
    // Fails only for a class the collector cleared (it dropped the class's
    // module); that happens while the collector tears down a cycle, where no
    // exception is pending, and the error it sets is dropped.
    void* ms = PyType_GetModuleState(cls);
    if (ms == nullptr) [[unlikely]] {
        PyErr_Clear();
        return nullptr;
    }
    return static_cast<ModuleState*>(ms)->interp;
}

InterpState* current_state() noexcept {
    bool failed = false;
    InterpState* state = registered_state(failed);
    if (failed) PyErr_Clear();
    return state;
}

Outcome<InterpState*> state_for_import(PyObject* module, MakeClasses make_classes) noexcept {
    bool failed = false;
    if (InterpState* state = registered_state(failed)) return state;
    if (failed) return Error::fetch();
    auto* ms = static_cast<ModuleState*>(PyModule_GetState(module));
    if (ms == nullptr) return Error::fetch();
    // The main interpreter uses the global state unless a previous owner in
    // this runtime still holds it (its module cleared but not yet freed).
    InterpState* state = nullptr;
    const bool main = is_main_interpreter();
    if (main && main_state.owner == nullptr) {
        state = &main_state;
        if (!forget_registered.exchange(true, std::memory_order_relaxed) && Py_AtExit(forget_main_state) < 0)
            forget_registered.store(false, std::memory_order_relaxed);  // at the limit: released at module free only
    } else {
        // The process's own heap: the state is not an object of any
        // interpreter, and outlives none of them.
        state = new (std::nothrow) InterpState();
        if (state == nullptr) return Error::no_memory();
    }
    state->owner = module;
    ms->interp = state;
    Status made = make_classes(module, *state);
    if (made) made = register_state(state);
    if (!made) [[unlikely]] {
        end_state(ms);
        return std::move(made.error());
    }
    return state;
}

int traverse_state(ModuleState* ms, visitproc visit, void* arg) noexcept {
    if (ms == nullptr || ms->interp == nullptr) return 0;
    for (auto& cls : ms->interp->classes) Py_VISIT(reinterpret_cast<PyObject*>(cls.load(std::memory_order_relaxed)));
    return 0;
}

// The collector clears the owner module only when it and the classes are
// unreachable: the classes go, and a later import starts a new state.
void clear_state(ModuleState* ms) noexcept {
    if (ms == nullptr || ms->interp == nullptr) return;
    unregister_state(ms->interp);
    drop_classes(*ms->interp);
}

void end_state(ModuleState* ms) noexcept {
    if (ms == nullptr || ms->interp == nullptr) return;
    InterpState* state = ms->interp;
    ms->interp = nullptr;
    unregister_state(state);
    release_state(*state);
    if (state != &main_state) delete state;
}

}  // namespace tarnwick
