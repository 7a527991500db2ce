// The call-binding layer: every entry from the interpreter into tarnwick goes
// through one of the dispatcher templates at the end of this file.
//
// A method body is a plain function of (record, bound arguments) returning an
// Outcome. The dispatcher for its calling convention binds the arguments,
// checks the receiver, holds shared access to the record while the body runs,
// converts typed arguments, and turns the Outcome (or any C++ exception) into
// the interpreter's return convention.
#pragma once

#include "limited_api.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace tarnwick {

// ---------------------------------------------------------------------------
// Ownership

// An owning, move-only reference: holds exactly one reference count on the
// object and gives it back in its destructor. Borrowed pointers stay raw
// PyObject* and are never stored beyond the call that lent them.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        Ref doomed(std::move(*this));
        ptr_ = other.ptr_;
        other.ptr_ = nullptr;
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a reference the caller owns (possibly null).
    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed, non-null object.
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
        Py_INCREF(p);
        return Ref(p);
    }
    [[nodiscard]] static Ref none() noexcept { return borrow(Py_None); }

    [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to the caller (the interpreter's return convention).
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* p = ptr_;
        ptr_ = nullptr;
        return p;
    }
    [[nodiscard]] Ref copy() const noexcept {
        Py_XINCREF(ptr_);
        return Ref(ptr_);
    }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

// A UTF-8 text borrowed from a live str object (length-counted, NULs kept).
struct TextView {
    const char* data = nullptr;
    Py_ssize_t size = 0;
    [[nodiscard]] std::string_view view() const noexcept {
        return {data, static_cast<std::size_t>(size)};
    }
};

// ---------------------------------------------------------------------------
// Errors and outcomes

// The error half of an Outcome: an exception object to raise again unchanged,
// an exception the module creates itself (type + message str), or an internal
// failure with an optional message.
class Error {
public:
    enum class Kind : std::uint8_t { None, Raised, Create, Internal };

    Error() noexcept = default;
    Error(Error&&) noexcept = default;
    Error& operator=(Error&&) noexcept = default;

    // Takes the exception out of the interpreter's error indicator.
    [[nodiscard]] static Error fetch() noexcept;
    [[nodiscard]] static Error raised(Ref exception) noexcept;
    // message is a new str, or null when making it failed (then the
    // allocation error that is set is fetched instead).
    [[nodiscard]] static Error create(PyObject* type, Ref message) noexcept;
    [[nodiscard]] static Error create(PyObject* type, const char* message) noexcept;
    // literal may be null: the generic internal-failure message is used.
    [[nodiscard]] static Error internal(const char* literal) noexcept;
    [[nodiscard]] static Error internal(Ref message) noexcept;
    [[nodiscard]] static Error no_memory() noexcept;

    [[nodiscard]] bool is_set() const noexcept { return kind_ != Kind::None; }
    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    // The exception type this error will raise (null for an internal failure).
    [[nodiscard]] PyObject* type() const noexcept;
    // True when this error will raise an instance of exception type t.
    [[nodiscard]] bool matches(PyObject* t) const noexcept {
        PyObject* own = type();
        return own != nullptr && PyErr_GivenExceptionMatches(own, t);
    }

    // Sets the interpreter's error indicator from this error.
    void restore() && noexcept;
    // Builds the exception object this error would raise, clearing nothing.
    [[nodiscard]] Ref to_exception() && noexcept;

private:
    Kind kind_ = Kind::None;
    PyObject* type_ = nullptr;   // Create: a built-in exception type (immortal)
    Ref object_;                 // Raised: exception; Create/Internal: message str
    const char* literal_ = nullptr;
};

// Either a value or an Error. The value is default-constructed on failure.
template <class T>
class [[nodiscard]] Outcome {
public:
    Outcome(T value) noexcept(std::is_nothrow_move_constructible_v<T>) : value_(std::move(value)) {}
    Outcome(Error error) noexcept : error_(std::move(error)) {}

    [[nodiscard]] bool ok() const noexcept { return !error_.is_set(); }
    explicit operator bool() const noexcept { return ok(); }
    [[nodiscard]] T& value() noexcept { return value_; }
    [[nodiscard]] Error& error() noexcept { return error_; }
    [[nodiscard]] T take() noexcept { return std::move(value_); }

private:
    T value_{};
    Error error_;
};

struct Done {};
using Status = Outcome<Done>;

// ---------------------------------------------------------------------------
// Message formatters: one small cold function per message kind.

// "'T' object is not an instance of 'C'" / "'None' is not an instance of 'C'".
[[nodiscard, gnu::cold, gnu::noinline]] Error cast_error(PyObject* obj, const char* required) noexcept;
// "argument 'p': ..." for an exact TypeError, any other error unchanged.
[[nodiscard, gnu::cold, gnu::noinline]] Error argument_error(const char* parameter, Error error) noexcept;
[[nodiscard, gnu::cold, gnu::noinline]] Error value_error(std::string_view text) noexcept;
[[nodiscard, gnu::cold, gnu::noinline]] Error value_error(const char* prefix, std::string_view text) noexcept;
[[nodiscard, gnu::cold, gnu::noinline]] Error borrow_error() noexcept;

// ---------------------------------------------------------------------------
// Binding descriptions

// Per function: class name, function name, parameter names, required count.
// Every parameter is positional-or-keyword; nothing takes *args or **kwargs.
struct SignatureView {
    const char* class_name;   // may be null
    const char* function_name;
    const char* const* names;
    PyObject** interned;      // lazily filled cache of the names as str
    Py_ssize_t count;
    Py_ssize_t required;
};

template <std::size_t N>
struct Signature {
    const char* class_name;
    const char* function_name;
    std::array<const char*, N> names;
    Py_ssize_t required;
    // Interned copies of the names, so keywords usually match by pointer.
    // Plain pointers, filled on first use and kept for the process.
    mutable std::array<PyObject*, N> interned{};

    static constexpr std::size_t size = N;
    [[nodiscard]] SignatureView view() const noexcept {
        return {class_name, function_name, names.data(), interned.data(),
                static_cast<Py_ssize_t>(N), required};
    }
};

// Binds fast-call arguments into slots (borrowed; null = left out).
[[nodiscard]] Status bind_keywords(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames, PyObject** slots) noexcept;
// Binds a positional tuple and an optional keyword dict into slots.
[[nodiscard]] Status bind_tuple(const SignatureView& sig, PyObject* args, PyObject* kwargs,
                                PyObject** slots) noexcept;
[[nodiscard, gnu::cold, gnu::noinline]] Error too_many_error(const SignatureView& sig, Py_ssize_t given) noexcept;
[[nodiscard, gnu::cold, gnu::noinline]] Error missing_error(const SignatureView& sig, PyObject* const* slots) noexcept;

template <std::size_t N>
[[nodiscard]] inline Status bind_fast(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames, PyObject** slots) noexcept {
    // The common case, all arguments by position, stays inline.
    if (kwnames == nullptr && nargs <= static_cast<Py_ssize_t>(N) && nargs >= sig.required) {
        for (std::size_t i = 0; i < N; ++i)
            slots[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
        return Done{};
    }
    return bind_keywords(sig.view(), args, nargs, kwnames, slots);
}

// ---------------------------------------------------------------------------
// Typed argument conversion

// A parameter that may be left out: null when omitted.
struct Optional {
    PyObject* object = nullptr;
};
// A text parameter (str or subclass), viewed as UTF-8.
struct Text : TextView {};
// A text parameter where None or omission means absent.
struct OptionalText {
    bool present = false;
    TextView text;
};
// A dict (or dict subclass) parameter.
struct Dict {
    PyObject* object = nullptr;
};

// The text argument rule: str or subclass, strict UTF-8; cast error otherwise.
[[nodiscard]] Outcome<TextView> text_of(PyObject* obj) noexcept;

template <class T>
struct Convert;
template <>
struct Convert<PyObject*> {
    static Outcome<PyObject*> from(PyObject* slot) noexcept { return slot; }
};
template <>
struct Convert<Optional> {
    static Outcome<Optional> from(PyObject* slot) noexcept { return Optional{slot}; }
};
template <>
struct Convert<Text> {
    static Outcome<Text> from(PyObject* slot) noexcept {
        auto text = text_of(slot);
        if (!text) return std::move(text.error());
        return Text{text.value()};
    }
};
template <>
struct Convert<OptionalText> {
    static Outcome<OptionalText> from(PyObject* slot) noexcept {
        if (slot == nullptr || slot == Py_None) return OptionalText{};
        auto text = text_of(slot);
        if (!text) return std::move(text.error());
        return OptionalText{true, text.value()};
    }
};
template <>
struct Convert<Dict> {
    static Outcome<Dict> from(PyObject* slot) noexcept {
        if (!PyDict_Check(slot)) return cast_error(slot, "dict");
        return Dict{slot};
    }
};

// ---------------------------------------------------------------------------
// Classes: type object holders, instances, shared access

// Process-wide holder of one class's type object, created on first need and
// never cleared. Plain pointers only, so it needs no constructor.
struct TypeHolder {
    PyObject* type;
    PyType_Spec* spec;
    const char* class_name;
    allocfunc alloc;  // the type's allocation slot, looked up once with it

    // The type object, creating it if needed; fails with the creation error.
    [[nodiscard]] Outcome<PyObject*> get_or_create() noexcept;
    // For allocation and receiver checks: a creation failure is reported as
    // unraisable and becomes an internal failure.
    [[nodiscard]] Outcome<PyTypeObject*> for_use() noexcept {
        if (type != nullptr) [[likely]]
            return reinterpret_cast<PyTypeObject*>(type);
        return create_for_use();
    }

private:
    [[nodiscard, gnu::cold, gnu::noinline]] Outcome<PyTypeObject*> create_for_use() noexcept;
};

// Specialised by each class: the holder of its type object and its name.
template <class Record>
struct ClassOf;

using BorrowFlag = std::atomic<std::uintptr_t>;
static_assert(sizeof(BorrowFlag) == sizeof(void*) && BorrowFlag::is_always_lock_free);

// Instance layout: object header, native record, borrow flag.
template <class Record>
struct Instance {
    PyObject_HEAD
    Record record;
    BorrowFlag borrow;
};

template <class Record>
[[nodiscard]] inline Instance<Record>* as_instance(PyObject* obj) noexcept {
    return reinterpret_cast<Instance<Record>*>(obj);
}

// Shared access to a record: counts readers on the borrow flag. The maximum
// value would mean exclusive access, which tarnwick never takes.
class SharedAccess {
public:
    SharedAccess() noexcept = default;
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;
    SharedAccess(SharedAccess&& other) noexcept : flag_(other.flag_) { other.flag_ = nullptr; }
    SharedAccess& operator=(SharedAccess&&) = delete;
    ~SharedAccess() {
        if (flag_ != nullptr) flag_->fetch_sub(1, std::memory_order_release);
    }

    [[nodiscard]] static Outcome<SharedAccess> acquire(BorrowFlag& flag) noexcept {
        SharedAccess access;
        if (!access.try_acquire(flag)) [[unlikely]]
            return borrow_error();
        return access;
    }
    // Takes shared access without building an Outcome (the dispatchers' hot
    // path): false, holding nothing, when the record is held exclusively.
    [[nodiscard]] bool try_acquire(BorrowFlag& flag) noexcept {
        constexpr auto exclusive = ~std::uintptr_t{0};
        auto current = flag.load(std::memory_order_relaxed);
        do {
            if (current == exclusive) [[unlikely]]
                return false;
        } while (!flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed));
        flag_ = &flag;
        return true;
    }

private:
    BorrowFlag* flag_ = nullptr;
};

// obj's type is the class or a subtype of it.
[[nodiscard]] inline bool is_instance(PyObject* obj, PyTypeObject* type) noexcept {
    PyTypeObject* actual = Py_TYPE(obj);
    return actual == type || PyType_IsSubtype(actual, type);
}

// The receiver check: an instance of the class, or the cast error.
template <class Record>
[[nodiscard]] inline Outcome<Instance<Record>*> receiver(PyObject* obj) noexcept {
    auto type = ClassOf<Record>::holder.for_use();
    if (!type) [[unlikely]]
        return std::move(type.error());
    if (!is_instance(obj, type.value())) [[unlikely]]
        return cast_error(obj, ClassOf<Record>::holder.class_name);
    return as_instance<Record>(obj);
}

namespace detail {

// The receiver check for the dispatchers: the instance, or null with the
// error set. The common case (type object made, exact type) stays inline
// without an Outcome; everything else goes through receiver() out of line.
template <class Record>
[[gnu::cold, gnu::noinline]] Instance<Record>* receiver_slow(PyObject* obj) noexcept {
    auto inst = receiver<Record>(obj);
    if (!inst) {
        std::move(inst.error()).restore();
        return nullptr;
    }
    return inst.value();
}

template <class Record>
[[nodiscard]] inline Instance<Record>* checked_receiver(PyObject* obj) noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(ClassOf<Record>::holder.type);
    if (type != nullptr && Py_TYPE(obj) == type) [[likely]]
        return as_instance<Record>(obj);
    return receiver_slow<Record>(obj);
}

// Sets the error for a record that cannot be shared.
[[gnu::cold, gnu::noinline]] inline void raise_borrow_error() noexcept { borrow_error().restore(); }

}  // namespace detail

// A record read under shared access, as used by bodies that accept an
// instance returned by a user callable (flat_map, >>).
template <class Record>
[[nodiscard]] inline Outcome<Record> copy_record_of(PyObject* obj) noexcept {
    auto inst = receiver<Record>(obj);
    if (!inst) return std::move(inst.error());
    auto access = SharedAccess::acquire(inst.value()->borrow);
    if (!access) return std::move(access.error());
    return inst.value()->record.copy();
}

// Instance allocation: the type's allocation slot makes the instance,
// then the record is moved in. On failure the record is released. alloc is
// the slot when known, else null and looked up.
[[nodiscard]] Outcome<Ref> allocate_raw(PyTypeObject* type, allocfunc alloc) noexcept;

template <class Record>
[[nodiscard]] inline Outcome<Ref> make_instance(PyTypeObject* type, Record&& record) noexcept {
    const TypeHolder& holder = ClassOf<Record>::holder;
    auto obj = allocate_raw(type, reinterpret_cast<PyObject*>(type) == holder.type ? holder.alloc : nullptr);
    if (!obj) return std::move(obj.error());
    auto* inst = as_instance<Record>(obj.value().get());
    new (&inst->record) Record(std::move(record));
    new (&inst->borrow) BorrowFlag(0);
    return obj;
}

template <class Record>
[[nodiscard]] inline Outcome<Ref> make_instance(Record&& record) noexcept {
    auto type = ClassOf<Record>::holder.for_use();
    if (!type) return std::move(type.error());
    return make_instance(type.value(), std::move(record));
}

// Deallocation that stays bounded on deep chains (a Result holding a Result
// holding ...): past a nesting depth, instances are queued and released by the
// outermost deallocation instead of recursing.
using ReleaseFn = void (*)(PyObject*) noexcept;
void deallocate(PyObject* obj, BorrowFlag& link, ReleaseFn release_record) noexcept;

// Calls a user callable with positional arguments only (vectorcall).
[[nodiscard]] Outcome<Ref> call(PyObject* callable, PyObject* arg) noexcept;
[[nodiscard]] Outcome<Ref> call(PyObject* callable) noexcept;
[[nodiscard]] Outcome<Ref> call(PyObject* callable, PyObject* a, PyObject* b, PyObject* c) noexcept;

// New str from UTF-8 text.
[[nodiscard]] Outcome<Ref> new_str(std::string_view text) noexcept;

// ---------------------------------------------------------------------------
// Dispatchers: one noexcept template per calling convention.

namespace detail {

// The one catch ladder: C++ exceptions never cross into the interpreter.
[[gnu::cold, gnu::noinline]] void raise_current_exception() noexcept;

[[gnu::cold, gnu::noinline]] inline PyObject* fail(Error& error) noexcept {
    std::move(error).restore();
    return nullptr;
}

template <class T>
struct FnTraits;
template <class R, class... P>
struct FnTraits<Outcome<R> (*)(P...) noexcept> {
    using Params = std::tuple<P...>;
};

// The body's parameters after the Skip leading ones (record, class).
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

}  // namespace detail

namespace detail {

// The one catch ladder every dispatcher ends in: no C++ exception crosses
// into the interpreter.
template <auto Failure, class Steps>
[[gnu::always_inline]] inline decltype(Failure) guarded(Steps&& steps) noexcept {
    try {
        return steps();
    } catch (...) {
        raise_current_exception();
        return Failure;
    }
}

// A body's outcome in the interpreter's convention for object results.
[[gnu::always_inline]] inline PyObject* finish(Outcome<Ref>& out) noexcept {
    if (!out) [[unlikely]]
        return fail(out.error());
    return out.value().release();
}

// Receiver check, then shared access: the instance, or null with the error set.
template <class Record>
[[gnu::always_inline]] inline Instance<Record>* enter(PyObject* self, SharedAccess& access) noexcept {
    auto* inst = checked_receiver<Record>(self);
    if (inst == nullptr) [[unlikely]]
        return nullptr;
    if (!access.try_acquire(inst->borrow)) [[unlikely]] {
        raise_borrow_error();
        return nullptr;
    }
    return inst;
}

template <const auto& Sig>
using SlotArray = PyObject* [std::remove_cvref_t<decltype(Sig)>::size];

}  // namespace detail

// METH_FASTCALL | METH_KEYWORDS instance method.
template <const auto& Sig, auto Body>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return detail::guarded<static_cast<PyObject*>(nullptr)>([&]() -> PyObject* {
        detail::SlotArray<Sig> slots;
        if (auto bound = bind_fast(Sig, args, nargs, kwnames, slots); !bound) [[unlikely]]
            return detail::fail(bound.error());
        SharedAccess access;
        auto* inst = detail::enter<detail::RecordOf<Body>>(self, access);
        if (inst == nullptr) [[unlikely]]
            return nullptr;
        auto out = detail::invoke<Body, 1>(Sig, slots, std::as_const(inst->record));
        return detail::finish(out);
    });
}

// METH_NOARGS instance method: the interpreter rejects arguments itself.
template <auto Body>
PyObject* method_noargs(PyObject* self, PyObject*) noexcept {
    return detail::guarded<static_cast<PyObject*>(nullptr)>([&]() -> PyObject* {
        SharedAccess access;
        auto* inst = detail::enter<detail::RecordOf<Body>>(self, access);
        if (inst == nullptr) [[unlikely]]
            return nullptr;
        auto out = Body(inst->record);
        return detail::finish(out);
    });
}

// METH_FASTCALL | METH_KEYWORDS | METH_STATIC: no receiver.
template <const auto& Sig, auto Body>
PyObject* static_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return detail::guarded<static_cast<PyObject*>(nullptr)>([&]() -> PyObject* {
        detail::SlotArray<Sig> slots;
        if (auto bound = bind_fast(Sig, args, nargs, kwnames, slots); !bound) [[unlikely]]
            return detail::fail(bound.error());
        auto out = detail::invoke<Body, 0>(Sig, slots);
        return detail::finish(out);
    });
}

// METH_NOARGS | METH_STATIC.
template <auto Body>
PyObject* static_noargs(PyObject*, PyObject*) noexcept {
    return detail::guarded<static_cast<PyObject*>(nullptr)>([&]() -> PyObject* {
        auto out = Body();
        return detail::finish(out);
    });
}

// METH_FASTCALL | METH_KEYWORDS | METH_CLASS: the body receives the class.
template <const auto& Sig, auto Body>
PyObject* class_method(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return detail::guarded<static_cast<PyObject*>(nullptr)>([&]() -> PyObject* {
        detail::SlotArray<Sig> slots;
        if (auto bound = bind_fast(Sig, args, nargs, kwnames, slots); !bound) [[unlikely]]
            return detail::fail(bound.error());
        auto out = detail::invoke<Body, 1>(Sig, slots, cls);
        return detail::finish(out);
    });
}

// Py_tp_new: tuple-form binding; the body receives the class it was called on.
template <const auto& Sig, auto Body>
PyObject* constructor(PyTypeObject* cls, PyObject* args, PyObject* kwargs) noexcept {
    return detail::guarded<static_cast<PyObject*>(nullptr)>([&]() -> PyObject* {
        detail::SlotArray<Sig> slots;
        if (auto bound = bind_tuple(Sig.view(), args, kwargs, slots); !bound) [[unlikely]]
            return detail::fail(bound.error());
        auto out = detail::invoke<Body, 1>(Sig, slots, cls);
        return detail::finish(out);
    });
}

// Unary slots (truth value, length, repr, iter) share one shape; Failure is
// the slot's error return value.
template <auto Body, auto Failure>
decltype(Failure) unary_slot(PyObject* self) noexcept {
    using Return = decltype(Failure);
    return detail::guarded<Failure>([&]() -> Return {
        SharedAccess access;
        auto* inst = detail::enter<detail::RecordOf<Body>>(self, access);
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
    });
}

template <auto Body>
int bool_slot(PyObject* self) noexcept {
    return unary_slot<Body, -1>(self);
}
template <auto Body>
Py_ssize_t length_slot(PyObject* self) noexcept {
    return unary_slot<Body, Py_ssize_t{-1}>(self);
}
template <auto Body>
PyObject* object_slot(PyObject* self) noexcept {
    return unary_slot<Body, static_cast<PyObject*>(nullptr)>(self);
}

// Binary operator slots: a left operand that is not an instance, or whose
// record cannot be shared, declines with NotImplemented; so does a body whose
// value is NotImplemented.
template <auto Body>
PyObject* binary_slot(PyObject* left, PyObject* right) noexcept {
    using Record = detail::RecordOf<Body>;
    return detail::guarded<static_cast<PyObject*>(nullptr)>([&]() -> PyObject* {
        auto type = ClassOf<Record>::holder.for_use();
        if (!type) [[unlikely]]
            return detail::fail(type.error());
        if (!is_instance(left, type.value())) Py_RETURN_NOTIMPLEMENTED;
        SharedAccess access;
        if (!access.try_acquire(as_instance<Record>(left)->borrow)) [[unlikely]]
            Py_RETURN_NOTIMPLEMENTED;
        auto out = Body(as_instance<Record>(left)->record, right);
        return detail::finish(out);
    });
}

// Py_mod_exec: 0 on success, -1 with the exception set.
template <auto Body>
int exec_slot(PyObject* module) noexcept {
    return detail::guarded<-1>([&]() -> int {
        auto done = Body(module);
        if (!done) [[unlikely]] {
            std::move(done.error()).restore();
            return -1;
        }
        return 0;
    });
}

// Py_tp_dealloc.
template <class Record>
void dealloc_slot(PyObject* self) noexcept {
    deallocate(self, as_instance<Record>(self)->borrow,
               [](PyObject* obj) noexcept { std::destroy_at(&as_instance<Record>(obj)->record); });
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
