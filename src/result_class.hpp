// The Result class: Ok(value) | Err(message, code?, details?).
#pragma once

#include "binding.hpp"
#include "error_texts.hpp"

namespace tarnwick {

// The native record of a Result. Ok exactly when value is present, Err
// exactly when the message is; written once at creation, never again.
struct PyResult {
    // Declared in reverse: members are destroyed last to first, so a record
    // releases value, texts, details, in that order.
    Ref details;        // the Err details (may hold None only via the dict form)
    ErrorTexts texts;   // the Err message and optional code
    Ref value;          // the Ok payload

    PyResult() noexcept = default;
    PyResult(PyResult&&) noexcept = default;
    PyResult& operator=(PyResult&&) noexcept = default;
    ~PyResult() = default;
    // Releases in the same order, keeping a freed text block in state's cache.
    void release_into(InterpState* state) noexcept {
        value = Ref();
        texts.release_to(state != nullptr ? &state->text_blocks : nullptr);
        details = Ref();
    }

    [[nodiscard]] static PyResult ok(Ref value) noexcept {
        PyResult r;
        r.value = std::move(value);
        return r;
    }
    [[nodiscard]] static PyResult err(ErrorTexts texts, Ref details) noexcept {
        PyResult r;
        r.texts = std::move(texts);
        r.details = std::move(details);
        return r;
    }

    [[nodiscard]] bool is_ok() const noexcept { return static_cast<bool>(value); }
    [[nodiscard]] bool is_err() const noexcept { return static_cast<bool>(texts); }
    // The object a container view of the Result holds, or null.
    [[nodiscard]] PyObject* held() const noexcept { return value.get(); }
    // Releasing the record frees an object (see deallocate()).
    [[nodiscard]] bool holds_last_reference() const noexcept {
        return last_reference(value.get()) || last_reference(details.get());
    }

    // The objects the record holds, null where absent (collector.hpp).
    [[nodiscard]] std::array<PyObject*, 2> references() const noexcept { return {value.get(), details.get()}; }
    // Whether the instance can be part of a reference cycle, and so is
    // tracked by the collector: decided once, when the instance is built.
    // An Ok holds no details, an Err no value.
    [[nodiscard]] bool may_form_cycle() const noexcept {
        return value ? may_close_cycle(value.get()) : may_close_cycle(details.get());
    }

    // Another record holding the same objects and texts (it cannot fail).
    [[nodiscard]] PyResult copy() const noexcept;
};

template <>
struct ClassOf<PyResult> {
    static constexpr int index = 0;
    static constexpr const char* name = "Result";
    static PyType_Spec& spec;
};

// Pieces of the Result class that its dict form (result_dict.cpp) shares.
namespace result {

// The error triple: (message str, code str or None, details or None).
struct Triple {
    Ref message;
    Ref code;
    Ref details;
};
[[nodiscard]] Outcome<Triple> triple_of(const PyResult& r) noexcept;
[[nodiscard]] Outcome<Ref> new_ok(Ctx ctx, Ref value) noexcept;

Outcome<Ref> to_dict(const PyResult& r, Ctx ctx) noexcept;
Outcome<Ref> from_dict(Ctx ctx, Dict d) noexcept;

}  // namespace result

}  // namespace tarnwick
