// codec/parser.cpp: the TLParser type: construction, buffer growth, garbage-collector support.
#include "codec/parser.hpp"
#include "schema/compiler.hpp"

#include <cstdlib>

namespace virel {

PyTypeObject* TLParser_Type;

PyObject* TLParser_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* TLParser_pack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* TLParser_unpack_from(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* TLParser_pack_as(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* TLParser_pack_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

[[gnu::noinline]] void ensure_buffer(TLParser* s, uint64_t extra) {
    static constexpr const char* here = TL_WHERE(TLParser, _ensure_buffer);
    uint64_t needed = s->position + extra;
    if (needed < s->position) {  // wrapped: no buffer can hold it
        PyErr_SetString(PyExc_MemoryError, "Cannot reallocate buffer");
        return fail<void>(here);
    }
    if (needed <= s->capacity) return;
    // Doubling from at least 1024 bytes (pack establishes that), overflow-checked.
    uint64_t capacity = s->capacity ? s->capacity : 1024;
    do {
        if (capacity > UINT64_MAX / 2) {
            PyErr_SetString(PyExc_MemoryError, "Cannot reallocate buffer");
            return fail<void>(here);
        }
        capacity *= 2;
    } while (capacity < needed);
    void* grown = capacity <= PY_SSIZE_T_MAX ? std::realloc(s->buffer, capacity) : nullptr;
    if (!grown) {  // the old block stays valid and owned
        PyErr_SetString(PyExc_MemoryError, "Cannot reallocate buffer");
        return fail<void>(here);
    }
    s->buffer = static_cast<unsigned char*>(grown);
    s->capacity = capacity;
}

TLSchemaCompiler* parser_compiler(TLParser* s) noexcept {
    if (s->compiler == Py_None || !s->schema) {
        PyErr_SetString(PyExc_RuntimeError, "TLParser has no schema: it was cleared");
        return nullptr;
    }
    return reinterpret_cast<TLSchemaCompiler*>(s->compiler);
}

bool vector_element(TLParser* s, const char* type_name, const TLElementType* element,
                    VectorElement* out) {
    if (element) {
        out->kind = element->kind;
        out->text = element->type_name;
        out->inner = element->kind == TL_VECTOR ? element->element : nullptr;
        return true;
    }
    if (!type_name) return true;
    TLSchemaCompiler* c = parser_compiler(s);
    if (!c) return false;
    out->derived = strip_vector_text(type_name);
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(out->derived.data(),
                                               static_cast<Py_ssize_t>(out->derived.size()), nullptr));
    if (!text) return false;
    out->kind = c->ops->_parse_type(c, text.get());
    out->text = out->derived.c_str();
    return !PyErr_Occurred();
}

// The table that maps a key of a caller's dict to the parameter it names, matched by the str's
// own cached hash. A record whose parameter names repeat gets none (each name is then looked up).
static bool make_key_table(TLConstructor* record) noexcept {
    uint32_t size = 8;
    while (size < 2u * static_cast<uint32_t>(record->param_count)) size *= 2;
    auto* slots = static_cast<TLKeySlot*>(std::malloc(size * sizeof(TLKeySlot)));
    if (!slots) {
        PyErr_NoMemory();
        return false;
    }
    for (uint32_t i = 0; i < size; ++i) slots[i] = {0, -1};
    for (int32_t j = 0; j < record->param_count; ++j) {
        const TLParam& p = record->params[j];
        if (p.flags_word) continue;
        Py_hash_t h = PyObject_Hash(p.py_name);
        if (h == -1) {
            std::free(slots);
            return false;
        }
        uint32_t i = static_cast<uint32_t>(h) & (size - 1);
        for (; slots[i].index >= 0; i = (i + 1) & (size - 1)) {
            if (slots[i].hash == h && same_text(record->params[slots[i].index].py_name, p.py_name)) {
                std::free(slots);  // a repeated name
                return true;
            }
        }
        slots[i] = {h, j};
    }
    record->key_slots = slots;
    record->key_mask = size - 1;
    return true;
}

bool prepare_record(TLConstructor* record) noexcept {
    for (int32_t i = 0; i < record->param_count; ++i) {
        TLParam& p = record->params[i];
        if (PyUnicode_CheckExact(p.py_name)) PyUnicode_InternInPlace(&p.py_name);  // swaps in the interned twin
    }
    if (!record->proto) {
        Ref proto = Ref::steal(_PyDict_NewPresized(1 + record->value_count));
        if (!proto || PyDict_SetItem(proto.get(), str.underscore, record->py_name) < 0) return false;
        for (int32_t i = 0; i < record->param_count; ++i) {
            const TLParam& p = record->params[i];
            if (p.flags_word) continue;
            PyObject* empty = p.is_conditional && p.kind == TL_BOOL ? Py_False : Py_None;
            if (PyDict_SetItem(proto.get(), p.py_name, empty) < 0) return false;
        }
        record->proto = proto.release();
    }
    if (!make_key_table(record)) return false;
    record->ready = 1;
    return true;
}

static PyObject* TLParser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* here = TL_WHERE(TLParser, __cinit__);
    auto* self = reinterpret_cast<TLParser*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(self));  // destroys the half-built parser on failure
    self->ops = &TLParser_default_ops;
    self->compiler = Py_NewRef(Py_None);
    PyObject* schema_json;
    if (!parse_one_arg("__cinit__", "schema_json", args, kwargs, &schema_json)) return fail<PyObject*>(here);
    PyObject* compiler = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(TLSchemaCompiler_Type));
    if (!compiler) return fail<PyObject*>(here);
    Py_SETREF(self->compiler, compiler);
    Ref done = Ref::steal(PyObject_CallMethodOneArg(compiler, str.compile, schema_json));
    if (!done) return fail<PyObject*>(here);
    auto* c = reinterpret_cast<TLSchemaCompiler*>(compiler);
    self->schema = c->ops->_get_schema(c);
    return owner.release();
}

static int TLParser_traverse(PyObject* op, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<TLParser*>(op)->compiler);
    Py_VISIT(Py_TYPE(op));  // heap type
    return 0;
}

static int TLParser_clear(PyObject* op) {
    auto* self = reinterpret_cast<TLParser*>(op);
    if (self->compiler != Py_None) {
        self->schema = nullptr;  // it goes with the compiler
        Py_SETREF(self->compiler, Py_NewRef(Py_None));
    }
    return 0;
}

static void TLParser_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<TLParser*>(op);
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    PyObject *et, *ev, *tb;
    PyErr_Fetch(&et, &ev, &tb);
    std::free(self->buffer);
    self->buffer = nullptr;
    delete self->extras;
    self->extras = nullptr;
    self->schema = nullptr;
    Py_CLEAR(self->compiler);
    PyErr_Restore(et, ev, tb);
    type->tp_free(op);
    Py_DECREF(type);
}

#define TL_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

static PyMethodDef TLParser_methods[] = {
    {"unpack", TL_FASTCALL(TLParser_unpack), METH_FASTCALL | METH_KEYWORDS,
     "unpack(data)\n--\n\nDecode the TL object at the start of `data` (bytes) into a dict."},
    {"pack", TL_FASTCALL(TLParser_pack), METH_FASTCALL | METH_KEYWORDS,
     "pack(value)\n--\n\nEncode an object dict (its constructor's name under '_') into TL bytes."},
    {"unpack_from", TL_FASTCALL(TLParser_unpack_from), METH_FASTCALL | METH_KEYWORDS,
     "unpack_from(data, offset=0, type=None)\n--\n\n"
     "Decode the value at `offset` of `data` (any C-contiguous buffer, read in place): a boxed\n"
     "object, or a value of the type text `type` (\"Vector<User>\", \"long\", ...). Returns\n"
     "(value, end), end being the offset just past the value."},
    {"pack_as", TL_FASTCALL(TLParser_pack_as), METH_FASTCALL | METH_KEYWORDS,
     "pack_as(value, type)\n--\n\n"
     "Encode `value` as a value of the type text `type` (\"Vector<User>\", \"long\", ...; None: an\n"
     "object dict, as pack) into TL bytes."},
    {"pack_into", TL_FASTCALL(TLParser_pack_into), METH_FASTCALL | METH_KEYWORDS,
     "pack_into(buffer, value, type=None)\n--\n\n"
     "Append the encoding of `value` (as pack, or as pack_as with `type`) to the bytearray\n"
     "`buffer`; returns its new length, the offset just past the value."},
    {"__reduce__", TL_FASTCALL(refuse_reduce), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate__", TL_FASTCALL(refuse_setstate), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyType_Slot TLParser_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(TLParser_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(TLParser_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(TLParser_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(TLParser_clear)},
    {Py_tp_methods, TLParser_methods},
    {Py_tp_doc, const_cast<char*>("TLParser(schema_json)\n--\n\nPacks and unpacks TL objects of one schema.")},
    {0, nullptr},
};

PyType_Spec TLParser_spec = {
    "Virel.tl.TLParser",
    sizeof(TLParser),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    TLParser_slots,
};

}  // namespace virel

extern "C" const TLParserOps TLParser_default_ops = {
    virel::read_value<virel::ViaTable>,
    virel::write_value<virel::ViaTable>,
    virel::read_int32,
    virel::read_int64,
    virel::read_double,
    virel::read_bytes,
    virel::read_string<virel::ViaTable>,
    virel::read_vector<virel::ViaTable>,
    virel::read_object<virel::ViaTable>,
    virel::write_int32<virel::ViaTable>,
    virel::write_int64<virel::ViaTable>,
    virel::write_double<virel::ViaTable>,
    virel::write_bytes<virel::ViaTable>,
    virel::write_string<virel::ViaTable>,
    virel::write_vector<virel::ViaTable>,
    virel::write_object<virel::ViaTable>,
    virel::ensure_buffer,
};
