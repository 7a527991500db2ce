// The MayBe class: Just(value) | Nothing.
#pragma once

#include "binding.hpp"

namespace tarnwick {

// The native record of a MayBe: Just exactly when inner is present. Written
// once at creation, never again.
struct MayBe {
    Ref inner;

    [[nodiscard]] PyObject* held() const noexcept { return inner.get(); }
    // Releasing the record frees an object (see deallocate()).
    [[nodiscard]] bool holds_last_reference() const noexcept { return last_reference(inner.get()); }
    void release_into(InterpState*) noexcept { inner = Ref(); }
    // The object the record holds, null for Nothing (collector.hpp).
    [[nodiscard]] std::array<PyObject*, 1> references() const noexcept { return {inner.get()}; }
    // Whether the instance can be part of a reference cycle, and so is
    // tracked by the collector: decided once, when the instance is built.
    [[nodiscard]] bool may_form_cycle() const noexcept { return may_close_cycle(inner.get()); }
    [[nodiscard]] MayBe copy() const noexcept { return MayBe{inner.copy()}; }
};

template <>
struct ClassOf<MayBe> {
    static constexpr int index = 1;
    static constexpr const char* name = "MayBe";
    static PyType_Spec& spec;
};

}  // namespace tarnwick
