// The dispatchers: one template per calling convention, and the only way
// the interpreter enters a body. Each binds the arguments, checks the
// receiver, holds shared access to its record while the body runs, converts
// typed arguments, and turns the body's Outcome into the interpreter's
// return convention.
#pragma once

#include "access.hpp"
#include "convert.hpp"
#include "lifecycle.hpp"
#include "signature.hpp"

#include <tuple>
#include <type_traits>
#include <utility>

namespace tarnwick {

namespace detail {

// ---------------------------------------------------------------------------
// Body traits: a body is Outcome<R> f(lead..., bound...) noexcept, where the
// lead parameters (record, class) come from the dispatcher and the bound ones
// from the arguments.

template <class T>
struct FnTraits;
template <class R, class... P>
struct FnTraits<Outcome<R> (*)(P...) noexcept> {
    using Params = std::tuple<P...>;
};

// The body's parameters after the Skip leading ones.
template <std::size_t Skip, class Params, class = std::make_index_sequence<std::tuple_size_v<Params> - Skip>>
struct TailOf;
template <std::size_t Skip, class Params, std::size_t... I>
struct TailOf<Skip, Params, std::index_sequence<I...>> {
    using type = std::tuple<std::tuple_element_t<Skip + I, Params>...>;
};

template <auto Body>
using RecordOf = std::remove_cvref_t<std::tuple_element_t<0, typename FnTraits<decltype(Body)>::Params>>;

template <auto Body, std::size_t Skip>
using BoundArgs = typename TailOf<Skip, typename FnTraits<decltype(Body)>::Params>::type;

// A body that takes a callable runs Python code.
template <class T>
inline constexpr bool is_callable_v = std::is_same_v<T, Callable> || std::is_same_v<T, Handler>;
template <class Params>
struct TakesCallable;
template <class... P>
struct TakesCallable<std::tuple<P...>> : std::bool_constant<(is_callable_v<std::remove_cvref_t<P>> || ...)> {};
template <auto Body>
inline constexpr bool runs_python = TakesCallable<typename FnTraits<decltype(Body)>::Params>::value;

// A body that takes a Ctx at position Pos (after its record, or first) is
// given its class and interpreter state.
template <auto Body, std::size_t Pos>
inline constexpr bool takes_ctx = [] {
    using Params = typename FnTraits<decltype(Body)>::Params;
    if constexpr (std::tuple_size_v<Params> > Pos)
        return std::is_same_v<std::remove_cvref_t<std::tuple_element_t<Pos, Params>>, Ctx>;
    else
        return false;
}();

template <const auto& Sig>
using SlotArray = PyObject* [std::remove_cvref_t<decltype(Sig)>::size];

// Converts the bound slots to the body's parameter types, in parameter order,
// stopping at the first failure, which names its parameter.
template <class Sig, class... A, std::size_t... I>
[[nodiscard]] inline Status convert_all(const Sig& sig, PyObject* const* slots, std::tuple<A...>& values,
                                        std::index_sequence<I...>) noexcept {
    Error failure;
    (void)(([&] {
        auto converted = Convert<A>::from(slots[I]);
        if (!converted) [[unlikely]] {
            failure = argument_error(sig.names[I], std::move(converted.error()));
            return false;
        }
        std::get<I>(values) = converted.take();
        return true;
    }()) && ...);
    if (failure.is_set()) [[unlikely]]
        return failure;
    return Done{};
}

// Converts the bound arguments, then runs the body after the lead ones.
template <auto Body, std::size_t Skip, class Sig, class... Lead>
[[nodiscard]] inline auto invoke(const Sig& sig, PyObject* const* slots, Lead&... lead) noexcept {
    using Args = BoundArgs<Body, Skip>;
    Args values{};
    using Result = decltype(std::apply([&](auto&... a) { return Body(lead..., std::move(a)...); }, values));
    auto converted = convert_all(sig, slots, values, std::make_index_sequence<std::tuple_size_v<Args>>{});
    if (!converted) [[unlikely]]
        return Result(std::move(converted.error()));
    // Handed over: a converted value may own its argument (Dict).
    return std::apply([&](auto&... a) { return Body(lead..., std::move(a)...); }, values);
}

// ---------------------------------------------------------------------------
// Entry and exit

TARNWICK_COLD inline PyObject* fail(Error& error) noexcept {
    std::move(error).restore();
    return nullptr;
}

// A body's outcome in the interpreter's convention for object results.
TARNWICK_ALWAYS_INLINE PyObject* finish(Outcome<Ref>& out) noexcept {
    if (!out) [[unlikely]]
        return fail(out.error());
    return out.value().release();
}

// The state of cls, which must be one of the module's classes: the main
// interpreter's own without a call.
[[nodiscard]] TARNWICK_ALWAYS_INLINE InterpState* state_of_class(PyTypeObject* cls) noexcept {
    if (cls == main_state.classes[0].load(std::memory_order_relaxed) ||
        cls == main_state.classes[1].load(std::memory_order_relaxed)) [[likely]]
        return &main_state;
    if (InterpState* state = table_state_any(cls)) return state;
    return state_of_other(cls);
}

// The calling interpreter's interned names, for keyword binding: from the
// class the entry belongs to (unchecked: null when cls is not Record's).
template <class Record>
[[nodiscard]] TARNWICK_COLD StrSlot* names_for_other(PyTypeObject* cls) noexcept {
    InterpState* state = nullptr;
    (void)other_class<Record>(cls, state);
    return state != nullptr ? state->names : nullptr;
}
template <class Record>
[[nodiscard]] TARNWICK_ALWAYS_INLINE StrSlot* names_for(PyTypeObject* cls) noexcept {
    if (cls == main_class<Record>()) [[likely]]
        return main_state.names;
    return names_for_other<Record>(cls);
}
[[nodiscard]] TARNWICK_COLD inline StrSlot* names_for_class(PyTypeObject* cls) noexcept {
    InterpState* state = cls != nullptr ? state_of_class(cls) : nullptr;
    return state != nullptr ? state->names : nullptr;
}

// A receiver that is not an instance of Record's class: the cast error.
template <class Record>
TARNWICK_COLD void raise_receiver_error(PyObject* obj) noexcept {
    cast_error(obj, ClassOf<Record>::name).restore();
}

TARNWICK_COLD inline void raise_borrow_error() noexcept { borrow_error().restore(); }

// A static method's function called without the class it is bound to.
TARNWICK_COLD inline PyObject* unbound_static() noexcept {
    Error::internal("static method called without its class").restore();
    return nullptr;
}

// What enter() found: the instance (null: the error is set) and, for the
// bodies that take a Ctx, the state of its class. Returned by value, so that
// an entry whose body takes no Ctx keeps nothing of it.
template <class Record>
struct Entered {
    Instance<Record>* inst;
    InterpState* state;
};

// Receiver check, then shared access. The main interpreter's instances take
// the inline path, one compare. Another interpreter's class, and its state,
// come from the class table (other_class()); WithState entries
// (bodies that take a Ctx) need the state. The others skip the lookup: the
// interpreter calls a class's methods and slots only on instances of that
// class (method descriptors and slot wrappers check the receiver, slots are
// found through the receiver's own type, and neither class can be subclassed
// or have its instances' __class__ changed), so a receiver that is not the
// main interpreter's is another interpreter's instance of Record. A Guarded
// entry (one whose body runs Python code) also notes its receiver, to finish
// a deallocation postponed while it held access (see Hold in access.hpp).
template <class Record, bool WithState, bool Guarded>
TARNWICK_ALWAYS_INLINE Entered<Record> enter(PyObject* self, Hold<Guarded>& hold) noexcept {
    InterpState* state = &main_state;
    if (Py_TYPE(self) != main_class<Record>()) {
        if constexpr (WithState) {
            if (!other_class<Record>(Py_TYPE(self), state)) [[unlikely]] {
                raise_receiver_error<Record>(self);
                return {nullptr, nullptr};
            }
        } else {
            state = nullptr;
        }
    }
    auto* inst = as_instance<Record>(self);
    if (!hold.access.try_acquire(inst->borrow)) [[unlikely]] {
        raise_borrow_error();
        return {nullptr, nullptr};
    }
    if constexpr (Guarded) hold.receiver = self;
    return {inst, state};
}

// The Ctx of an entered receiver.
template <class Record>
[[nodiscard]] TARNWICK_ALWAYS_INLINE Ctx ctx_of(PyObject* self, const Entered<Record>& entered) noexcept {
    PyTypeObject* cls = Py_TYPE(self);
    return {cls, entered.state};
}

// Runs a body that takes only the record, and the Ctx if it takes one.
template <auto Body, class Record>
[[nodiscard]] TARNWICK_ALWAYS_INLINE auto run_unary(const Record& record, PyObject* self,
                                                    const Entered<Record>& entered) noexcept {
    if constexpr (takes_ctx<Body, 1>)
        return Body(record, ctx_of(self, entered));
    else
        return Body(record);
}

// Runs a method body: the record, then the Ctx if the body takes one.
template <auto Body, class Sig, class Record>
[[nodiscard]] TARNWICK_ALWAYS_INLINE auto run_method(const Sig& sig, PyObject* const* slots, const Record& record,
                                                     PyObject* self, const Entered<Record>& entered) noexcept {
    if constexpr (takes_ctx<Body, 1>) {
        Ctx ctx = ctx_of(self, entered);
        return invoke<Body, 2>(sig, slots, record, ctx);
    } else {
        return invoke<Body, 1>(sig, slots, record);
    }
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Methods

// METH_FASTCALL | METH_KEYWORDS instance method. A body that takes a
// callable (map, map_err, flat_map, and_then, match) runs Python code, so its
// entry is guarded against losing its receiver meanwhile; the others
// (expect, unwrap_or) only read the record and check that an argument is a
// str, which runs no Python code.
template <const auto& Sig, auto Body>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    using Record = detail::RecordOf<Body>;
    detail::SlotArray<Sig> slots;
    auto names = [self] { return detail::names_for<Record>(Py_TYPE(self)); };
    if (auto bound = bind_fast(Sig, args, nargs, kwnames, slots, names); !bound) [[unlikely]]
        return detail::fail(bound.error());
    Hold<detail::runs_python<Body>> hold;
    auto entered = detail::enter<Record, detail::takes_ctx<Body, 1>>(self, hold);
    if (entered.inst == nullptr) [[unlikely]]
        return nullptr;
    auto out = detail::run_method<Body>(Sig, slots, std::as_const(entered.inst->record), self, entered);
    return detail::finish(out);
}

// METH_NOARGS instance method: the interpreter rejects arguments itself.
// These bodies (predicates, unwrap, unwrap_err, to_option, to_dict) read the
// record and build tuples, str and dicts of it: no Python code runs (since
// 3.12 an allocation only schedules a collection, it does not run one), so
// their entries are not guarded.
template <auto Body>
PyObject* method_noargs(PyObject* self, PyObject*) noexcept {
    Hold<false> hold;
    auto entered = detail::enter<detail::RecordOf<Body>, detail::takes_ctx<Body, 1>>(self, hold);
    if (entered.inst == nullptr) [[unlikely]]
        return nullptr;
    auto out = detail::run_unary<Body>(entered.inst->record, self, entered);
    return detail::finish(out);
}

// The static methods (METH_FASTCALL | METH_KEYWORDS, and METH_NOARGS) take
// a Ctx: each interpreter's class binds them to itself (see module.cpp), so
// self is the class the instances are made of, and a call from any
// interpreter builds that interpreter's instances.
template <const auto& Sig, auto Body>
PyObject* static_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    auto* cls = reinterpret_cast<PyTypeObject*>(self);
    detail::SlotArray<Sig> slots;
    auto names = [cls] { return detail::names_for_class(cls); };
    if (auto bound = bind_fast(Sig, args, nargs, kwnames, slots, names); !bound) [[unlikely]]
        return detail::fail(bound.error());
    if (cls == nullptr) [[unlikely]]
        return detail::unbound_static();
    Ctx ctx{cls, detail::state_of_class(cls)};
    auto out = detail::invoke<Body, 1>(Sig, slots, ctx);
    return detail::finish(out);
}

template <auto Body>
PyObject* static_noargs(PyObject* self, PyObject*) noexcept {
    auto* cls = reinterpret_cast<PyTypeObject*>(self);
    if (cls == nullptr) [[unlikely]]
        return detail::unbound_static();
    auto out = Body(Ctx{cls, detail::state_of_class(cls)});
    return detail::finish(out);
}

// METH_FASTCALL | METH_KEYWORDS | METH_CLASS: the body receives the class.
template <const auto& Sig, auto Body>
PyObject* class_method(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    detail::SlotArray<Sig> slots;
    auto names = [cls] { return detail::names_for_class(reinterpret_cast<PyTypeObject*>(cls)); };
    if (auto bound = bind_fast(Sig, args, nargs, kwnames, slots, names); !bound) [[unlikely]]
        return detail::fail(bound.error());
    auto out = detail::invoke<Body, 1>(Sig, slots, cls);
    return detail::finish(out);
}

// ---------------------------------------------------------------------------
// Slots

// Py_tp_new of Record's class: tuple-form binding; the body receives the
// class it was called on.
template <class Record, const auto& Sig, auto Body>
PyObject* constructor(PyTypeObject* cls, PyObject* args, PyObject* kwargs) noexcept {
    detail::SlotArray<Sig> slots;
    InterpState* state = cls == main_class<Record>() ? &main_state : detail::state_of_class(cls);
    auto names = [state] { return state != nullptr ? state->names : nullptr; };
    if (auto bound = bind_tuple(Sig, args, kwargs, slots, names); !bound) [[unlikely]]
        return detail::fail(bound.error());
    Ctx ctx{cls, state};
    auto out = detail::invoke<Body, 1>(Sig, slots, ctx);
    return detail::finish(out);
}

// Unary slots share one shape; Failure is the slot's error return value.
// The interpreter may lend the receiver to a slot without holding a
// reference itself (list.__repr__ lends each element to repr), so a slot
// whose body can run Python code is Guarded.
template <auto Body, auto Failure, bool Guarded>
decltype(Failure) unary_slot(PyObject* self) noexcept {
    using Return = decltype(Failure);
    Hold<Guarded> hold;
    auto entered = detail::enter<detail::RecordOf<Body>, detail::takes_ctx<Body, 1>>(self, hold);
    if (entered.inst == nullptr) [[unlikely]]
        return Failure;
    auto out = detail::run_unary<Body>(entered.inst->record, self, entered);
    if constexpr (std::is_same_v<Return, PyObject*>) {
        return detail::finish(out);
    } else {
        if (!out) [[unlikely]] {
            std::move(out.error()).restore();
            return Failure;
        }
        return static_cast<Return>(out.value());
    }
}

// Truth value and length: no Python code runs.
template <auto Body>
int bool_slot(PyObject* self) noexcept {
    return unary_slot<Body, -1, false>(self);
}
template <auto Body>
Py_ssize_t length_slot(PyObject* self) noexcept {
    return unary_slot<Body, Py_ssize_t{-1}, false>(self);
}
// repr and iter: str() of the payload, or an allocation that may start a
// garbage collection and its finalisers.
template <auto Body>
PyObject* object_slot(PyObject* self) noexcept {
    return unary_slot<Body, static_cast<PyObject*>(nullptr), true>(self);
}

// Binary operator slots: a left operand that is not an instance, or whose
// record cannot be shared, declines with NotImplemented; so does a body whose
// value is NotImplemented. The right operand is handed over as the body's
// parameter type (an object, or a callable for >>).
template <auto Body>
PyObject* binary_slot(PyObject* left, PyObject* right) noexcept {
    using Record = detail::RecordOf<Body>;
    constexpr bool with_ctx = detail::takes_ctx<Body, 1>;
    using Right = std::tuple_element_t<with_ctx ? 2 : 1, typename detail::FnTraits<decltype(Body)>::Params>;
    PyTypeObject* type = Py_TYPE(left);
    Ctx ctx{type, &main_state};
    if (type != main_class<Record>()) [[unlikely]] {
        if (!other_class<Record>(type, ctx.state)) Py_RETURN_NOTIMPLEMENTED;
    }
    Hold<detail::runs_python<Body>> hold;
    if (!hold.access.try_acquire(as_instance<Record>(left)->borrow)) [[unlikely]]
        Py_RETURN_NOTIMPLEMENTED;
    if constexpr (detail::runs_python<Body>) hold.receiver = left;
    auto out = [&] {
        if constexpr (with_ctx)
            return Body(as_instance<Record>(left)->record, ctx, Right{right});
        else
            return Body(as_instance<Record>(left)->record, Right{right});
    }();
    return detail::finish(out);
}

// Py_mod_exec: 0 on success, -1 with the exception set.
template <auto Body>
int exec_slot(PyObject* module) noexcept {
    auto done = Body(module);
    if (!done) [[unlikely]] {
        std::move(done.error()).restore();
        return -1;
    }
    return 0;
}


// Py_tp_traverse (see collector.hpp). No Py_tp_clear goes with it: records
// are immutable, and the collector breaks such cycles through the mutable
// objects in them, as it does for tuples.
template <class Record>
int traverse_slot(PyObject* self, visitproc visit, void* arg) noexcept {
    return traverse_instance<Record>(self, visit, arg);
}

// Casts a dispatcher to the table types without -Wcast-function-type noise.
template <class F>
[[nodiscard]] inline PyCFunction as_cfunction(F* fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}
template <class F>
[[nodiscard]] inline void* as_slot(F* fn) noexcept {
    return reinterpret_cast<void*>(fn);
}

}  // namespace tarnwick
