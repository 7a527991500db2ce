#include "result_class.hpp"

#include "shared_bodies.hpp"

namespace tarnwick {

PyResult PyResult::copy() const noexcept {
    PyResult r;
    r.value = value.copy();
    r.texts = texts.share();
    r.details = details.copy();
    return r;
}

// ---------------------------------------------------------------------------
// The error triple: (message str, code str or None, details or None)

namespace result {

Outcome<Triple> triple_of(const PyResult& r) noexcept {
    auto message = new_str(r.texts.message());
    if (!message) return std::move(message.error());
    Ref code;
    if (auto text = r.texts.code()) {
        auto made = new_str(*text);
        if (!made) return std::move(made.error());
        code = made.take();
    } else {
        code = Ref::none();
    }
    return Triple{message.take(), std::move(code), r.details ? r.details.copy() : Ref::none()};
}

// A tuple returned by a map_err function, back into an Err record.

Outcome<Ref> new_ok(Ctx ctx, Ref value) noexcept { return make_instance(ctx, PyResult::ok(std::move(value))); }

}  // namespace result

namespace {

using result::new_ok;
using result::triple_of;

Outcome<PyResult> err_from_triple(Ctx ctx, PyObject* obj) noexcept {
    if (!PyTuple_Check(obj)) return cast_error(obj, "tuple");
    const Py_ssize_t size = PyTuple_Size(obj);
    if (size != 3)
        return format_error(PyExc_ValueError, "expected tuple of length 3, but got tuple of length %zd", size);
    auto message = text_of(PyTuple_GetItem(obj, 0));
    if (!message) return std::move(message.error());
    PyObject* code_obj = PyTuple_GetItem(obj, 1);
    std::optional<TextView> code;
    if (code_obj != Py_None) {
        auto text = text_of(code_obj);
        if (!text) return std::move(text.error());
        code = text.value();
    }
    PyObject* details = PyTuple_GetItem(obj, 2);
    auto texts = ErrorTexts::make(message.value(), code, ctx.text_blocks());
    if (!texts) return std::move(texts.error());
    return PyResult::err(texts.take(), details != Py_None ? Ref::borrow(details) : Ref());
}

Outcome<Ref> pass_through(const PyResult& r, Ctx ctx) noexcept {
    return make_instance(ctx, r.copy());
}


// ---------------------------------------------------------------------------
// Constructors

Outcome<Ref> ok(Ctx ctx, PyObject* value) noexcept { return new_ok(ctx, Ref::borrow(value)); }

Outcome<Ref> err(Ctx ctx, Text message, OptionalText code, Optional details) noexcept {
    auto texts = ErrorTexts::make(message, code.present ? std::optional(code.text) : std::nullopt,
                                  ctx.text_blocks());
    if (!texts) return std::move(texts.error());
    return make_instance(ctx, PyResult::err(texts.take(), details ? Ref::borrow(details.object) : Ref()));
}

// ---------------------------------------------------------------------------
// Inspection and extraction

Outcome<Ref> is_ok(const PyResult& r) noexcept { return Ref::boolean(r.is_ok()); }

Outcome<Ref> is_err(const PyResult& r) noexcept { return Ref::boolean(r.is_err()); }

Outcome<Ref> unwrap(const PyResult& r) noexcept {
    if (r.value) return r.value.copy();
    return value_error("Tried to unwrap an Err: ", r.texts.message());
}

Outcome<Ref> unwrap_or(const PyResult& r, PyObject* fallback) noexcept { return shared::value_or(r, fallback); }

Outcome<Ref> unwrap_err(const PyResult& r) noexcept {
    if (!r.texts) return value_error("Tried to unwrap_err on an Ok");
    auto triple = triple_of(r);
    if (!triple) return std::move(triple.error());
    auto& t = triple.value();
    Ref tuple = Ref::steal(PyTuple_Pack(3, t.message.get(), t.code.get(), t.details.get()));
    if (!tuple) return Error::fetch();
    return tuple;
}

// Out of line, so that its buffer is not on the stack of an Ok's repr, which
// recurses through str() of the value.
TARNWICK_NOINLINE Outcome<Ref> err_repr(const PyResult& r) noexcept {
    TextBuffer text;
    text.append(TextView("Err('", 5)).append(r.texts.message());
    if (auto code = r.texts.code()) text.append(TextView("', code='", 9)).append(*code);
    return text.append(TextView("')", 2)).to_str();
}

Outcome<Ref> repr(const PyResult& r) noexcept {
    if (r.value) return shared::wrapped_str(TextView("Ok(", 3), r.value.get());
    return err_repr(r);
}

// ---------------------------------------------------------------------------
// Combinators and operators

Outcome<Ref> map(const PyResult& r, Ctx ctx, Callable func) noexcept {
    if (!r.value) return pass_through(r, ctx);
    auto mapped = call(func.object, r.value.get());
    if (!mapped) return std::move(mapped.error());
    return new_ok(ctx, mapped.take());
}

Outcome<Ref> map_err(const PyResult& r, Ctx ctx, Callable func) noexcept {
    if (!r.texts) return pass_through(r, ctx);
    auto triple = triple_of(r);
    if (!triple) return std::move(triple.error());
    auto& t = triple.value();
    auto returned = call(func.object, t.message.get(), t.code.get(), t.details.get());
    if (!returned) return std::move(returned.error());
    auto record = err_from_triple(ctx, returned.value().get());
    if (!record) return std::move(record.error());
    return make_instance(ctx, record.take());
}

// flat_map, and_then and >>: func(value) must return a Result, whose
// contents go into a new instance.
Outcome<Ref> flat_map(const PyResult& r, Ctx ctx, Callable func) noexcept {
    if (!r.value) return pass_through(r, ctx);
    auto returned = call(func.object, r.value.get());
    if (!returned) return std::move(returned.error());
    auto record = copy_record_of<PyResult>(returned.value().get(), ctx.cls);
    if (!record) return std::move(record.error());
    return make_instance(ctx, record.take());
}

Outcome<Ref> match(const PyResult& r, Handler on_ok, Handler on_err) noexcept {
    if (r.value) {
        if (!on_ok) return Ref::none();
        return call(on_ok.object, r.value.get());
    }
    if (!on_err) return Ref::none();
    auto triple = triple_of(r);
    if (!triple) return std::move(triple.error());
    auto& t = triple.value();
    return call(on_err.object, t.message.get(), t.code.get(), t.details.get());
}

// ---------------------------------------------------------------------------
// Binding descriptions, in method-table order

Signature<1> ok_sig{"Result", "ok", {"value"}, 1};
Signature<3> err_sig{"Result", "err", {"message", "code", "details"}, 1};
Signature<1> from_dict_sig{"Result", "from_dict", {"dict"}, 1};
Signature<1> expect_sig{"Result", "expect", {"message"}, 1};
Signature<1> unwrap_or_sig{"Result", "unwrap_or", {"default"}, 1};
Signature<2> match_sig{"Result", "match", {"ok", "err"}, 0};
Signature<1> map_sig{"Result", "map", {"func"}, 1};
Signature<1> map_err_sig{"Result", "map_err", {"func"}, 1};
Signature<1> flat_map_sig{"Result", "flat_map", {"func"}, 1};
Signature<1> and_then_sig{"Result", "and_then", {"func"}, 1};
Signature<1> class_getitem_sig{"Result", "__class_getitem__", {"_item"}, 1};

// ---------------------------------------------------------------------------
// Method table, slots and type specification

PyMethodDef result_methods[] = {
    {"ok", as_cfunction(static_method<ok_sig, ok>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "ok(value)\n--\n\nConstructeur Ok"},
    {"err", as_cfunction(static_method<err_sig, err>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "err(message, code=None, details=None)\n--\n\nConstructeur Err avec message, code optionnel, details optionnel"},
    {"from_dict", as_cfunction(static_method<from_dict_sig, result::from_dict>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_dict(dict)\n--\n\nfrom_dict(d) : construit un Result depuis un dict (inverse de to_dict)"},
    {"is_ok", as_cfunction(method_noargs<is_ok>), METH_NOARGS, "is_ok($self)\n--\n\nTrue si Ok"},
    {"is_err", as_cfunction(method_noargs<is_err>), METH_NOARGS, "is_err($self)\n--\n\nTrue si Err"},
    {"unwrap", as_cfunction(method_noargs<unwrap>), METH_NOARGS,
     "unwrap($self)\n--\n\nUnwrap value ou ValueError si Err"},
    {"expect", as_cfunction(method<expect_sig, shared::expect<PyResult>>), METH_FASTCALL | METH_KEYWORDS,
     "expect($self, message)\n--\n\nexpect(message) : comme unwrap mais avec message personnalisé"},
    {"unwrap_or", as_cfunction(method<unwrap_or_sig, unwrap_or>), METH_FASTCALL | METH_KEYWORDS,
     "unwrap_or($self, default)\n--\n\nunwrap_or(default) renvoie value ou default si Err"},
    {"unwrap_err", as_cfunction(method_noargs<unwrap_err>), METH_NOARGS,
     "unwrap_err($self)\n--\n\nunwrap_err() retourne (msg, code, details) ou ValueError si Ok"},
    {"to_option", as_cfunction(method_noargs<shared::to_option<PyResult>>), METH_NOARGS,
     "to_option($self)\n--\n\nto_option() : retourne la valeur ou None"},
    {"match", as_cfunction(method<match_sig, match>), METH_FASTCALL | METH_KEYWORDS,
     "match($self, ok=None, err=None)\n--\n\nmatch(ok=..., err=...) : pattern matching ergonomique"},
    {"map", as_cfunction(method<map_sig, map>), METH_FASTCALL | METH_KEYWORDS,
     "map($self, func)\n--\n\nmap(fn) : applique fn à Ok, laisse Err intact"},
    {"map_err", as_cfunction(method<map_err_sig, map_err>), METH_FASTCALL | METH_KEYWORDS,
     "map_err($self, func)\n--\n\nmap_err(fn) : applique fn à Err, laisse Ok intact\n"
     "fn reçoit (msg, code, details) et doit retourner (msg, code, details)"},
    {"flat_map", as_cfunction(method<flat_map_sig, flat_map>), METH_FASTCALL | METH_KEYWORDS,
     "flat_map($self, func)\n--\n\nflat_map(fn) : applique fn à Ok et attend un Result en retour"},
    {"and_then", as_cfunction(method<and_then_sig, flat_map>), METH_FASTCALL | METH_KEYWORDS,
     "and_then($self, func)\n--\n\nand_then : alias de flat_map"},
    {"to_dict", as_cfunction(method_noargs<result::to_dict>), METH_NOARGS,
     "to_dict($self)\n--\n\nto_dict() : sérialisation en dict Python\n"
     "Ok  -> {\"ok\": true, \"value\": ...}\n"
     "Err -> {\"ok\": false, \"error\": msg, \"code\": ..., \"details\": ...}"},
    {"__class_getitem__", as_cfunction(class_method<class_getitem_sig, shared::class_getitem>),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "__class_getitem__($cls, _item)\n--\n\nSupport pour Result[T, E] (typage générique)"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_doc, const_cast<char*>("Result monad: Ok(value) | Err(message, code?, details?)")},
    {Py_nb_bool, as_slot(bool_slot<shared::truth<PyResult>>)},
    {Py_tp_repr, as_slot(object_slot<repr>)},
    {Py_mp_length, as_slot(length_slot<shared::length<PyResult>>)},
    {Py_tp_iter, as_slot(object_slot<shared::iterate<PyResult>>)},
    {Py_nb_rshift, as_slot(binary_slot<flat_map>)},
    {Py_nb_or, as_slot(binary_slot<shared::value_or<PyResult>>)},
    {Py_tp_methods, result_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, as_slot(deallocate_instance<PyResult>)},
    {Py_tp_traverse, as_slot(traverse_slot<PyResult>)},
    {Py_tp_is_gc, as_slot(instance_is_gc)},
    // Only the constructors and operations make a Result: a record that is
    // neither Ok nor Err cannot exist.
    {Py_tp_alloc, as_slot(refused_allocation)},
    {0, nullptr},
};

static_assert(offsetof(Instance<PyResult>, borrow) == sizeof(PyObject), "instance_is_gc reads the borrow flag there");

// No Py_tp_new, hence DISALLOW_INSTANTIATION: instances come only from the
// static constructors and the operations. HAVE_GC: a payload can lead back
// to the instance (binding/collector.hpp); the inherited free slot is then
// the collector's.
PyType_Spec result_spec = {
    .name = "builtins.Result",
    .basicsize = static_cast<int>(sizeof(Instance<PyResult>)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
    .slots = result_slots,
};

}  // namespace

PyType_Spec& ClassOf<PyResult>::spec = result_spec;

}  // namespace tarnwick
