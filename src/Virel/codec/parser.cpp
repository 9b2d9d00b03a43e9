// codec/parser.cpp: the TLParser type: construction, buffer growth, garbage-collector support.
#include "codec/parser.hpp"
#include "codec/service.hpp"
#include "codec/type_argument.hpp"
#include "codec/record_plan.hpp"
#include "module_state.hpp"
#include "schema/compiler.hpp"
#include "schema/type_grammar.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

namespace virel {

PyTypeObject* TLParser_Type;

namespace {

[[gnu::cold]] void no_room(const char* here) {
    PyErr_SetString(PyExc_MemoryError, "Cannot reallocate buffer");
    fail<void>(here);
}

// Moves what pack or pack_as wrote so far into a new bytes object of `capacity` bytes, the one the
// call will return, and writes on there. False (nothing pending) when it cannot be made: the
// output then stays in the parser's buffer, as on the table path.
bool move_output(TLParser* self, CallState* call, uint64_t capacity) noexcept {
    if (call->output_stays) return false;
    PyObject* output = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
    if (!output) {
        PyErr_Clear();  // the parser's own buffer may still grow, or fail with its own message
        return false;
    }
    std::memcpy(PyBytes_AS_STRING(output), self->buffer, self->position);
    call->output = output;
    call->own_buffer = self->buffer;
    call->own_capacity = self->capacity;
    call->moved = true;
    self->buffer = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(output));
    self->capacity = capacity;
    return true;
}

// Grows the bytes object that the output moved into, as realloc grows the parser's own buffer: a
// new one of `capacity` bytes takes what was written. False when it cannot be had: the old one
// stays, whole and in use, so a caller that asks again for less (text.cpp does) may still succeed.
bool grow_output(TLParser* self, CallState* call, uint64_t capacity) noexcept {
    PyObject* grown = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
    if (!grown) {
        PyErr_Clear();  // MemoryError: the caller raises the buffer's own
        return false;
    }
    std::memcpy(PyBytes_AS_STRING(grown), self->buffer, self->position);
    Py_SETREF(call->output, grown);
    self->buffer = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(grown));
    self->capacity = capacity;
    return true;
}

}  // namespace

bool resize_buffer(TLParser* self, uint64_t size) noexcept {
    void* grown = std::realloc(self->buffer, size);
    if (!grown) return false;  // the old block stays valid and owned
    self->buffer = static_cast<unsigned char*>(grown);
    self->capacity = size;
    return true;
}

[[gnu::noinline]] void ensure_buffer(TLParser* self, uint64_t extra) noexcept {
    static constexpr const char* here = TL_WHERE(TLParser, _ensure_buffer);
    uint64_t needed = self->position + extra;
    if (needed < self->position) return no_room(here);  // wrapped: no buffer can hold it
    if (needed <= self->capacity) return;
    // Doubling from at least 1024 bytes (pack establishes that), overflow-checked.
    uint64_t capacity = self->capacity ? self->capacity : 1024;
    do {
        if (capacity > UINT64_MAX / 2) return no_room(here);
        capacity *= 2;
    } while (capacity < needed);
    if (capacity > PY_SSIZE_T_MAX) return no_room(here);
    if (CallState* call = call_of(self)) {
        if (call->moved) [[unlikely]] {
            if (!grow_output(self, call, capacity)) return no_room(here);
            return;
        }
        // Only on the direct path: a native subclass's operations may keep reading the parser's
        // buffer.
        if (needed > kBytesOutputFrom && self->ops == &TLParser_default_ops &&
            move_output(self, call, capacity))
            return;
    }
    if (!resize_buffer(self, capacity)) return no_room(here);
}

bool ViaTable::strict(const TLParser* self) noexcept { return strict_mode(self); }
bool ViaTable::signed_ints(const TLParser* self) noexcept { return signed_mode(self); }

TLSchemaCompiler* no_compiler(TLParser* self) noexcept {
    // A parser gets its schema last when it is made, so an object that bypassed the type's own
    // __new__ (no table, no compiler) has none either.
    PyErr_SetString(PyExc_RuntimeError,
                    self->ops ? "TLParser has no schema: it was cleared"
                              : "TLParser is not initialised: it was not made by its own __new__");
    return nullptr;
}

bool vector_element(TLParser* self, const char* type_name, const TLElementType* element,
                    VectorElement* out) noexcept {
    if (element) {
        out->kind = element->kind;
        out->text = element->type_name;
        out->inner = is_vector_kind(element->kind) ? element->element : nullptr;
        return true;
    }
    if (!type_name) return true;
    TLSchemaCompiler* compiler = parser_compiler(self);
    if (!compiler) return false;
    // The one step that allocates through the C++ library: its std::bad_alloc becomes MemoryError.
    if (!guarded<bool>([&] {
            out->derived = element_text(type_name);
            return true;
        }))
        return false;
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(
        out->derived.data(), static_cast<Py_ssize_t>(out->derived.size()), nullptr));
    if (!text) return false;
    out->kind = compiler->ops->_parse_type(compiler, text.get());
    out->text = out->derived.c_str();
    return !PyErr_Occurred();
}

// A keyword option that takes a size in bytes, from 0 to `most` (unchanged when not given). False
// with TypeError or ValueError pending.
static bool option_size(PyObject* value, const char* name, uint64_t most, uint64_t* out) noexcept {
    if (!value) return true;
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", name,
                     Py_TYPE(value)->tp_name);
        return false;
    }
    int overflow;
    long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (n == -1 && PyErr_Occurred()) return false;
    if (overflow || n < 0 || static_cast<unsigned long long>(n) > most) {
        PyErr_Format(PyExc_ValueError, "%s must be from 0 to %llu, got %R", name,
                     static_cast<unsigned long long>(most), value);
        return false;
    }
    *out = static_cast<uint64_t>(n);
    return true;
}

const TLConstructor* bare_record(TLParser* self, const char* type_name) noexcept {
    TLSchemaCompiler* compiler = parser_compiler(self);
    if (!compiler) return nullptr;
    TLSchemaCompilerMaps* maps = compiler->maps;
    const TLSchema* schema = self->schema;
    return guarded<const TLConstructor*>([&]() -> const TLConstructor* {
        if (maps->bare_of != schema || maps->bare_generation != maps->generation) {
            maps->bare.clear();
            maps->bare_of = schema;
            maps->bare_generation = maps->generation;
        }
        std::string_view text(type_name ? type_name : "");
        if (auto it = maps->bare.find(text); it != maps->bare.end()) return it->second;
        bool by_type;
        std::string_view target = bare_target(text, &by_type);
        int32_t constructors = virel::life_of(schema)->constructors;
        TLConstructor* found = nullptr;
        TLConstructor* hidden = nullptr;  // one that a later record of its name hides
        int32_t count = 0, hidden_count = 0;
        for (int32_t i = 0; i < constructors; ++i) {
            TLConstructor* record = &schema->constructors[i];
            const char* key = by_type ? record->result_type : record->name;
            if (key && target == key) {
                found = record;
                ++count;
                auto named = maps->name_map.find(std::string_view(record->name));
                if (named == maps->name_map.end() || named->second != record) {
                    hidden = record;
                    ++hidden_count;
                }
            }
        }
        // Departure D33: see ARCHITECTURE.md, "Departures".
        // Of several, the one record that no name reaches any more (a later record took its name,
        // as the API's `message` takes the service `message`'s in schemas merged in that order)
        // is the one the bare type names: such a record can only stand bare.
        if (count > 1 && hidden_count == 1) {
            found = hidden;
            count = 1;
        }
        std::string shown(proper_type_text(text));
        if (count == 0) {
            PyErr_Format(PyExc_ValueError, "Bare type '%s' names no constructor", shown.c_str());
            suggest_bare_target(self, compiler, text);  // Departure D41: a note
            return nullptr;
        }
        if (count > 1) {
            PyErr_Format(PyExc_ValueError,
                         "Bare type '%s' names %d constructors: a bare type needs exactly one",
                         shown.c_str(), count);
            return nullptr;
        }
        if (!planned_or_null(found)) return nullptr;  // its plan could not be made
        maps->bare.emplace(std::string(text), found);
        return found;
    });
}

bool bare_elements(TLParser* self, const VectorElement& el, Py_ssize_t count,
                   const TLConstructor** record) noexcept {
    *record = nullptr;
    if (el.kind == TL_BARE_OBJECT) {
        if ((*record = bare_record(self, el.text))) return true;
        if (count == 0) return false;
        PyErr_Clear();  // the first element fails on it, as it always has
        return true;
    }
    if (count != 0 || !is_vector_kind(el.kind)) return true;
    // No elements, and they are vectors: the type their own elements take, down to the last level.
    // A vector whose elements are of its own type (`Vector t`) has no last level: its texts stop
    // changing. (Every other level's text is shorter than the one above it.)
    VectorElement level[2];
    const VectorElement* at = &el;
    for (int i = 0, depth = 0; is_vector_kind(at->kind) && depth < 64; i ^= 1, ++depth) {
        VectorElement* inner = &level[i];
        *inner = VectorElement{};
        if (!vector_element(self, at->text, at->inner, inner)) return false;
        if (!inner->inner && at->text && inner->text && std::strcmp(at->text, inner->text) == 0)
            return true;
        at = inner;
    }
    if (at->kind != TL_BARE_OBJECT) return true;
    return bare_record(self, at->text) != nullptr;
}

static PyObject* TLParser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* here = TL_WHERE(TLParser, __cinit__);
    auto* self = reinterpret_cast<TLParser*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    Ref owner =
        Ref::steal(reinterpret_cast<PyObject*>(self));  // destroys the half-built parser on failure
    self->ops = &TLParser_default_ops;
    self->compiler = Py_NewRef(Py_None);
    static const char* const options[] = {"strict", "signed", "inflate", "inflate_limit"};
    PyObject* given[4];
    Ref rest;
    bool strict = false, signed_ints = false, inflate = false;
    uint64_t inflate_limit = kDefaultInflateLimit;
    if (!take_options(kwargs, options, 4, given, &rest)) return fail<PyObject*>(here);
    PyObject* schema_json;
    if (!parse_one_arg("__cinit__", "schema_json", args, rest.get(), &schema_json))
        return fail<PyObject*>(here);
    if (!option_flag(given[0], &strict) || !option_flag(given[1], &signed_ints) ||
        !option_flag(given[2], &inflate) ||
        !option_size(given[3], "inflate_limit", kMaxInflateLimit, &inflate_limit))
        return fail<PyObject*>(here);
    self->state = new (std::nothrow) TLParserState();
    if (!self->state) {
        PyErr_NoMemory();
        return fail<PyObject*>(here);
    }
    self->state->config = {strict, signed_ints, inflate, inflate_limit};
    PyObject* compiler = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(TLSchemaCompiler_Type));
    if (!compiler) return fail<PyObject*>(here);
    Py_SETREF(self->compiler, compiler);
    // The schema compiles as ever: checking it is compile(..., strict=True), which refuses what
    // real layers hold too (their "...Prefix" entries share an id with the call they prefix).
    const ModuleState* state = state_of(owner.get());
    if (!state) return fail<PyObject*>(here);
    Ref done = Ref::steal(PyObject_CallMethodOneArg(compiler, state->strings.compile, schema_json));
    if (!done) return fail<PyObject*>(here);
    // Everything below reads the compiler's native tables: make sure it really is one.
    if (!PyObject_TypeCheck(compiler, TLSchemaCompiler_Type)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "TLSchemaCompiler",
                     Py_TYPE(compiler)->tp_name);
        return fail<PyObject*>(here);
    }
    auto* c = reinterpret_cast<TLSchemaCompiler*>(compiler);
    if (!compiler_ready(c)) return fail<PyObject*>(here);
    self->schema = c->ops->_get_schema(c);
    adopt_schema(c, self, self->schema);
    return owner.release();
}

static int TLParser_traverse(PyObject* op, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<TLParser*>(op)->compiler);
    Py_VISIT(Py_TYPE(op));  // heap type
    return 0;
}

static int TLParser_clear(PyObject* op) {
    auto* self = reinterpret_cast<TLParser*>(op);
    if (self->compiler != Py_None) {  // null too, for an object that bypassed __new__
        release_parser(self);
        self->schema = nullptr;
        Py_XSETREF(self->compiler, Py_NewRef(Py_None));
    }
    return 0;
}

static void TLParser_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<TLParser*>(op);
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    PyObject* pending = PyErr_GetRaisedException();
    std::free(self->buffer);
    self->buffer = nullptr;
    delete self->state;
    self->state = nullptr;
    release_parser(self);
    self->schema = nullptr;
    Py_CLEAR(self->compiler);
    PyErr_SetRaisedException(pending);
    type->tp_free(op);
    Py_DECREF(type);
}

static PyMethodDef TLParser_methods[] = {
    {"unpack", TL_FASTCALL(TLParser_unpack), METH_FASTCALL | METH_KEYWORDS,
     "unpack($self, data, *, result_type=None)\n--\n\n"
     "Decode the TL object at the start of `data` (bytes) into a dict. result_type: the type of a\n"
     "boxed vector met where an object stands (\"Vector<long>\"), or a dict of request ids to such\n"
     "types, for the answers of those requests."},
    {"pack", TL_FASTCALL(TLParser_pack), METH_FASTCALL | METH_KEYWORDS,
     "pack($self, value)\n--\n\nEncode an object dict (its constructor's name under '_') into TL bytes."},
    {"unpack_from", TL_FASTCALL(TLParser_unpack_from), METH_FASTCALL | METH_KEYWORDS,
     "unpack_from($self, data, offset=0, type=None, *, result_type=None)\n--\n\n"
     "Decode the value at `offset` of `data` (any C-contiguous buffer, read in place): a boxed\n"
     "object, or a value of the type text `type` (\"Vector<User>\", \"long\", ...). Returns\n"
     "(value, end), end being the offset just past the value. result_type: as for unpack."},
    {"pack_as", TL_FASTCALL(TLParser_pack_as), METH_FASTCALL | METH_KEYWORDS,
     "pack_as($self, value, type)\n--\n\n"
     "Encode `value` as a value of the type text `type` (\"Vector<User>\", \"long\", ...; None: an\n"
     "object dict, as pack) into TL bytes."},
    {"pack_into", TL_FASTCALL(TLParser_pack_into), METH_FASTCALL | METH_KEYWORDS,
     "pack_into($self, buffer, value, type=None)\n--\n\n"
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
    {Py_tp_doc, const_cast<char*>(
                    "TLParser(schema_json, *, strict=False, signed=False, inflate=False,\n"
                    "         inflate_limit=67108864)\n--\n\n"
                    "Packs and unpacks TL objects of one schema. strict: pack refuses unknown\n"
                    "keys, missing values, values of the wrong type and records of the wrong\n"
                    "type, and unpack refuses bytes left after the object. signed: unpack reads\n"
                    "int and long as signed numbers. inflate: unpack decompresses a gzip_packed\n"
                    "where an object stands and decodes the object inside in its place, with at\n"
                    "most inflate_limit bytes of inflated data at once.")},
    {0, nullptr},
};

PyType_Spec TLParser_spec = {
    // Departure D12: see ARCHITECTURE.md, "Departures".
    "Virel.tl.TLParser",
    sizeof(TLParser),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    TLParser_slots,
};

// Every slot through the table path: a subclass's overrides reach every operation that calls them.
// The entries are noexcept (tl.hpp): a template's C++ exception becomes its Python one there.
static constexpr TLParserOps default_ops() {
    TLParserOps ops{};
#define TL_SLOT_TEMPLATE(op, impl, result, params, args)                                         \
    ops.op = [] params noexcept -> result {                                                      \
        return table_entry<result>(TL_WHERE(TLParser, op), [&] { return impl<ViaTable> args; }); \
    };
#define TL_SLOT_PLAIN(op, impl, result, params, args) ops.op = impl;
    TL_DECODER_OPERATIONS(TL_SLOT_TEMPLATE)
    TL_ENCODER_OPERATIONS(TL_SLOT_TEMPLATE)
    TL_PRIMITIVE_OPERATIONS(TL_SLOT_PLAIN)
#undef TL_SLOT_TEMPLATE
#undef TL_SLOT_PLAIN
    return ops;
}
#define TL_COUNT(op, impl, result, params, args) +1
static_assert((0 TL_DECODER_OPERATIONS(TL_COUNT) TL_ENCODER_OPERATIONS(TL_COUNT)
                   TL_PRIMITIVE_OPERATIONS(TL_COUNT)) *
                      sizeof(void (*)()) ==
                  sizeof(TLParserOps),
              "every slot of TLParserOps has its line in one of the lists");
#undef TL_COUNT

}  // namespace virel

extern "C" constinit const TLParserOps TLParser_default_ops = virel::default_ops();
