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
    using Result = decltype(std::apply([&](auto&... a) { return Body(lead..., a...); }, values));
    auto converted = convert_all(sig, slots, values, std::make_index_sequence<std::tuple_size_v<Args>>{});
    if (!converted) [[unlikely]]
        return Result(std::move(converted.error()));
    return std::apply([&](auto&... a) { return Body(lead..., a...); }, values);
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

// The receiver check off the hot path: the instance, or null with the
// cast error (or the type's creation failure) set.
template <class Record>
TARNWICK_COLD Instance<Record>* receiver_slow(PyObject* obj) noexcept {
    auto inst = checked_instance<Record>(obj);
    if (!inst) {
        std::move(inst.error()).restore();
        return nullptr;
    }
    return inst.value();
}

TARNWICK_COLD inline void raise_borrow_error() noexcept { borrow_error().restore(); }

// Receiver check, then shared access: the instance, or null with the error
// set. The common case (type made, exact type) stays inline. With KeepAlive
// the entry also holds a reference to its receiver until it has given shared
// access back: slots may be lent a receiver that nobody holds a reference to
// (list.__repr__ lends each element to repr), and Python code run by the
// body could drop the last one. Methods need no such reference: a method
// call's receiver is held by the caller (its frame or the bound method) for
// the whole call.
template <class Record, bool KeepAlive>
TARNWICK_ALWAYS_INLINE Instance<Record>* enter(PyObject* self, Hold& hold) noexcept {
    Instance<Record>* inst;
    if (Py_TYPE(self) == ClassOf<Record>::holder.created()) [[likely]]
        inst = as_instance<Record>(self);
    else if ((inst = receiver_slow<Record>(self)) == nullptr)
        return nullptr;
    if (!hold.access.try_acquire(inst->borrow)) [[unlikely]] {
        raise_borrow_error();
        return nullptr;
    }
    if constexpr (KeepAlive) hold.keep_alive = Ref::borrow(self);
    return inst;
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Methods

// METH_FASTCALL | METH_KEYWORDS instance method.
template <const auto& Sig, auto Body>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    detail::SlotArray<Sig> slots;
    if (auto bound = bind_fast(Sig, args, nargs, kwnames, slots); !bound) [[unlikely]]
        return detail::fail(bound.error());
    Hold hold;
    auto* inst = detail::enter<detail::RecordOf<Body>, false>(self, hold);
    if (inst == nullptr) [[unlikely]]
        return nullptr;
    auto out = detail::invoke<Body, 1>(Sig, slots, std::as_const(inst->record));
    return detail::finish(out);
}

// METH_NOARGS instance method: the interpreter rejects arguments itself.
template <auto Body>
PyObject* method_noargs(PyObject* self, PyObject*) noexcept {
    Hold hold;
    auto* inst = detail::enter<detail::RecordOf<Body>, false>(self, hold);
    if (inst == nullptr) [[unlikely]]
        return nullptr;
    auto out = Body(inst->record);
    return detail::finish(out);
}

// METH_FASTCALL | METH_KEYWORDS | METH_STATIC: no receiver.
template <const auto& Sig, auto Body>
PyObject* static_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    detail::SlotArray<Sig> slots;
    if (auto bound = bind_fast(Sig, args, nargs, kwnames, slots); !bound) [[unlikely]]
        return detail::fail(bound.error());
    auto out = detail::invoke<Body, 0>(Sig, slots);
    return detail::finish(out);
}

// METH_NOARGS | METH_STATIC.
template <auto Body>
PyObject* static_noargs(PyObject*, PyObject*) noexcept {
    auto out = Body();
    return detail::finish(out);
}

// METH_FASTCALL | METH_KEYWORDS | METH_CLASS: the body receives the class.
template <const auto& Sig, auto Body>
PyObject* class_method(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    detail::SlotArray<Sig> slots;
    if (auto bound = bind_fast(Sig, args, nargs, kwnames, slots); !bound) [[unlikely]]
        return detail::fail(bound.error());
    auto out = detail::invoke<Body, 1>(Sig, slots, cls);
    return detail::finish(out);
}

// ---------------------------------------------------------------------------
// Slots

// Py_tp_new: tuple-form binding; the body receives the class it was called on.
template <const auto& Sig, auto Body>
PyObject* constructor(PyTypeObject* cls, PyObject* args, PyObject* kwargs) noexcept {
    detail::SlotArray<Sig> slots;
    if (auto bound = bind_tuple(Sig.view(), args, kwargs, slots); !bound) [[unlikely]]
        return detail::fail(bound.error());
    auto out = detail::invoke<Body, 1>(Sig, slots, cls);
    return detail::finish(out);
}

// Unary slots share one shape; Failure is the slot's error return value.
// The interpreter may lend the receiver to a slot without holding a
// reference itself (list.__repr__ lends each element to repr), so a slot
// whose body can run Python code (KeepAlive) holds one.
template <auto Body, auto Failure, bool KeepAlive>
decltype(Failure) unary_slot(PyObject* self) noexcept {
    using Return = decltype(Failure);
    Hold hold;
    auto* inst = detail::enter<detail::RecordOf<Body>, KeepAlive>(self, hold);
    if (inst == nullptr) [[unlikely]]
        return Failure;
    auto out = Body(inst->record);
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
    using Right = std::tuple_element_t<1, typename detail::FnTraits<decltype(Body)>::Params>;
    auto type = ClassOf<Record>::holder.get_or_internal_failure();
    if (!type) [[unlikely]]
        return detail::fail(type.error());
    if (!is_instance(left, type.value())) Py_RETURN_NOTIMPLEMENTED;
    Hold hold;
    if (!hold.access.try_acquire(as_instance<Record>(left)->borrow)) [[unlikely]]
        Py_RETURN_NOTIMPLEMENTED;
    if constexpr (detail::runs_python<Body>) hold.keep_alive = Ref::borrow(left);
    auto out = Body(as_instance<Record>(left)->record, Right{right});
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

// Py_tp_dealloc.
template <class Record>
void dealloc_slot(PyObject* self) noexcept {
    deallocate_instance<Record>(self);
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
