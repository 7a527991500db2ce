#include "maybe_class.hpp"

#include "shared_bodies.hpp"

namespace tarnwick {

namespace {

Outcome<Ref> new_maybe(Ctx ctx, Ref inner) noexcept { return make_instance(ctx, MayBe{std::move(inner)}); }

Outcome<Ref> nothing(Ctx ctx) noexcept { return new_maybe(ctx, Ref()); }

// ---------------------------------------------------------------------------
// Constructors

// MayBe(obj): only None means Nothing. The instance has the class the slot
// was called with.
Outcome<Ref> construct(Ctx ctx, PyObject* obj) noexcept {
    return make_instance(ctx, MayBe{obj != Py_None ? Ref::borrow(obj) : Ref()});
}

Outcome<Ref> just(Ctx ctx, PyObject* obj) noexcept { return new_maybe(ctx, Ref::borrow(obj)); }

// ---------------------------------------------------------------------------
// Inspection and extraction

Outcome<Ref> is_just(const MayBe& m) noexcept { return Ref::boolean(static_cast<bool>(m.inner)); }

Outcome<Ref> is_nothing(const MayBe& m) noexcept { return Ref::boolean(!m.inner); }

Outcome<Ref> unwrap(const MayBe& m) noexcept {
    if (m.inner) return m.inner.copy();
    return value_error("Tried to unwrap a Nothing");
}

// One str for every Nothing, made once per interpreter.
const Name nothing_text{"Nothing"};

Outcome<Ref> repr(const MayBe& m, Ctx ctx) noexcept {
    if (!m.inner) {
        Ref spare;
        PyObject* text = ctx.name(nothing_text, spare);
        if (text == nullptr) [[unlikely]]
            return Error::fetch();
        return Ref::borrow(text);
    }
    return shared::wrapped_str(TextView("Just(", 5), m.inner.get());
}

// ---------------------------------------------------------------------------
// Combinators and operators

Outcome<Ref> map(const MayBe& m, Ctx ctx, Callable func) noexcept {
    if (!m.inner) return nothing(ctx);
    auto mapped = call(func.object, m.inner.get());
    if (!mapped) return std::move(mapped.error());
    return new_maybe(ctx, mapped.take());
}

// flat_map and >>: func(value) must return a MayBe, whose contents go into a
// new instance.
Outcome<Ref> flat_map(const MayBe& m, Ctx ctx, Callable func) noexcept {
    if (!m.inner) return nothing(ctx);
    auto returned = call(func.object, m.inner.get());
    if (!returned) return std::move(returned.error());
    auto record = copy_record_of<MayBe>(returned.value().get(), ctx.cls);
    if (!record) return std::move(record.error());
    return make_instance(ctx, record.take());
}

Outcome<Ref> match(const MayBe& m, Handler on_just, Handler on_nothing) noexcept {
    if (m.inner) {
        if (!on_just) return Ref::none();
        return call(on_just.object, m.inner.get());
    }
    if (!on_nothing) return Ref::none();
    return call(on_nothing.object);
}

// ---------------------------------------------------------------------------
// Binding descriptions, in method-table order

Signature<1> new_sig{"MayBe", "__new__", {"obj"}, 1};
Signature<1> just_sig{"MayBe", "just", {"obj"}, 1};
Signature<1> expect_sig{"MayBe", "expect", {"message"}, 1};
Signature<2> match_sig{"MayBe", "match", {"just", "nothing"}, 0};
Signature<1> or_else_sig{"MayBe", "or_else", {"default"}, 1};
Signature<1> map_sig{"MayBe", "map", {"func"}, 1};
Signature<1> flat_map_sig{"MayBe", "flat_map", {"func"}, 1};
Signature<1> class_getitem_sig{"MayBe", "__class_getitem__", {"_item"}, 1};

// ---------------------------------------------------------------------------
// Method table, slots and type specification

PyMethodDef maybe_methods[] = {
    {"just", as_cfunction(static_method<just_sig, just>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "just(obj)\n--\n\nConstructeur Just"},
    {"nothing", as_cfunction(static_noargs<nothing>), METH_NOARGS | METH_STATIC,
     "nothing()\n--\n\nConstructeur Nothing"},
    {"is_just", as_cfunction(method_noargs<is_just>), METH_NOARGS,
     "is_just($self)\n--\n\nTrue si Just, False si Nothing"},
    {"is_nothing", as_cfunction(method_noargs<is_nothing>), METH_NOARGS,
     "is_nothing($self)\n--\n\nTrue si Nothing, False si Just"},
    {"unwrap", as_cfunction(method_noargs<unwrap>), METH_NOARGS, "unwrap($self)\n--\n\nUnwrap ou ValueError si Nothing"},
    {"expect", as_cfunction(method<expect_sig, shared::expect<MayBe>>), METH_FASTCALL | METH_KEYWORDS,
     "expect($self, message)\n--\n\nexpect(message) : comme unwrap mais avec message personnalisé"},
    {"to_option", as_cfunction(method_noargs<shared::to_option<MayBe>>), METH_NOARGS,
     "to_option($self)\n--\n\nto_option() : retourne la valeur ou None"},
    {"match", as_cfunction(method<match_sig, match>), METH_FASTCALL | METH_KEYWORDS,
     "match($self, just=None, nothing=None)\n--\n\nmatch(just=..., nothing=...) : pattern matching ergonomique"},
    {"or_else", as_cfunction(method<or_else_sig, shared::value_or<MayBe>>), METH_FASTCALL | METH_KEYWORDS,
     "or_else($self, default)\n--\n\nor_else(default) renvoie la valeur interne ou default"},
    {"map", as_cfunction(method<map_sig, map>), METH_FASTCALL | METH_KEYWORDS,
     "map($self, func)\n--\n\nmap(fn) : applique fn à la valeur interne et wrappe dans un nouveau MayBe"},
    {"flat_map", as_cfunction(method<flat_map_sig, flat_map>), METH_FASTCALL | METH_KEYWORDS,
     "flat_map($self, func)\n--\n\nflat_map(fn) : applique fn à la valeur et attend un MayBe en retour"},
    {"__class_getitem__", as_cfunction(class_method<class_getitem_sig, shared::class_getitem>),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "__class_getitem__($cls, _item)\n--\n\nSupport pour MayBe[T] (typage générique)"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot maybe_slots[] = {
    {Py_tp_doc, const_cast<char*>("MayBe(obj)\n--\n\n")},
    {Py_tp_new, as_slot(constructor<MayBe, new_sig, construct>)},
    {Py_mp_length, as_slot(length_slot<shared::length<MayBe>>)},
    {Py_tp_iter, as_slot(object_slot<shared::iterate<MayBe>>)},
    {Py_nb_bool, as_slot(bool_slot<shared::truth<MayBe>>)},
    {Py_tp_repr, as_slot(object_slot<repr>)},
    {Py_nb_rshift, as_slot(binary_slot<flat_map>)},
    {Py_nb_or, as_slot(binary_slot<shared::value_or<MayBe>>)},
    {Py_tp_methods, maybe_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, as_slot(deallocate_instance<MayBe>)},
    {Py_tp_traverse, as_slot(traverse_slot<MayBe>)},
    {Py_tp_is_gc, as_slot(instance_is_gc)},
    // object.__new__ (once __new__ is replaced on the class) makes a Nothing
    // through this slot: untracked, as every Nothing is.
    {Py_tp_alloc, as_slot(untracked_allocation<MayBe>)},
    {0, nullptr},
};

static_assert(offsetof(Instance<MayBe>, borrow) == sizeof(PyObject), "instance_is_gc reads the borrow flag there");

// HAVE_GC: a payload can lead back to the instance (binding/collector.hpp);
// the inherited free slot is then the collector's.
PyType_Spec maybe_spec = {
    .name = "builtins.MayBe",
    .basicsize = static_cast<int>(sizeof(Instance<MayBe>)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_HAVE_GC,
    .slots = maybe_slots,
};

}  // namespace

PyType_Spec& ClassOf<MayBe>::spec = maybe_spec;

}  // namespace tarnwick
