// error_kinds.cpp: the exception classes by kind, and the step that moves a failure of pack or
// unpack into its kind's class.
#include "error_kinds.hpp"
#include "codec/parser.hpp"
#include "module_state.hpp"

#include <algorithm>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace virel {

namespace {

// The built-in classes are the runtime's static types: the same objects in every interpreter.
PyObject* const* decode_builtins() noexcept {
    static PyObject* const classes[kDecodeBuiltins] = {
        PyExc_RuntimeError, PyExc_ValueError, PyExc_UnicodeDecodeError, PyExc_RecursionError};
    return classes;
}

PyObject* const* encode_builtins() noexcept {
    static PyObject* const classes[kEncodeBuiltins] = {
        PyExc_TypeError,      PyExc_ValueError,   PyExc_OverflowError,
        PyExc_AttributeError, PyExc_RuntimeError, PyExc_UnicodeEncodeError,
        PyExc_RecursionError, PyExc_KeyError,     PyExc_IndexError};
    return classes;
}

// The name of a kind's class for one built-in class: the kind, then the built-in's name, where
// UnicodeDecodeError and UnicodeEncodeError become UnicodeError (the kind says which way).
std::string class_name(const char* kind, PyObject* builtin) {
    std::string base = reinterpret_cast<PyTypeObject*>(builtin)->tp_name;
    if (base == "UnicodeDecodeError" || base == "UnicodeEncodeError") base = "UnicodeError";
    return kind + base;
}

// A new class `name` of the module deriving from `bases` (a tuple), with no instance layout of
// its own (`__slots__ = ()`: the instance dict and every field are the bases'), a docstring and
// class attributes `attrs` (name, value pairs ending in a null name). Bound in the namespace.
PyObject* make_class(PyObject* module, const char* name, PyObject* bases, const char* doc,
                     std::initializer_list<std::pair<const char*, PyObject*>> attrs = {}) noexcept {
    Ref ns = Ref::steal(PyDict_New());
    Ref slots = Ref::steal(PyTuple_New(0));
    Ref text = Ref::steal(PyUnicode_FromString(doc));
    Ref module_name = Ref::steal(PyUnicode_FromString("Virel.tl"));
    if (!ns || !slots || !text || !module_name ||
        PyDict_SetItemString(ns.get(), "__slots__", slots.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", text.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0)
        return nullptr;
    for (auto [key, value] : attrs)
        if (PyDict_SetItemString(ns.get(), key, value) < 0) return nullptr;
    Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO",
                                               name, bases, ns.get()));
    if (!cls || PyModule_AddObjectRef(module, name, cls.get()) < 0) return nullptr;
    return cls.release();
}

// Whether an instance of `builtin` may become an instance of `cls` by changing its type, as
// `__class__` assignment does between compatible classes: `cls` derives from `builtin` and adds
// nothing to the instance (no field, no dict, no weak reference list: `__slots__ = ()`), so the
// object's memory, its fields and how it is freed stay those of `builtin`. The instance then
// holds a reference to `cls` (a heap type), which `cls`'s deallocator gives back.
bool same_layout(PyObject* cls, PyObject* builtin) noexcept {
    auto* t = reinterpret_cast<PyTypeObject*>(cls);
    auto* b = reinterpret_cast<PyTypeObject*>(builtin);
    constexpr unsigned long managed = Py_TPFLAGS_MANAGED_DICT
#ifdef Py_TPFLAGS_MANAGED_WEAKREF
                                      | Py_TPFLAGS_MANAGED_WEAKREF
#endif
        ;
    return PyType_IsSubtype(t, b) && t->tp_basicsize == b->tp_basicsize &&
           t->tp_itemsize == b->tp_itemsize && t->tp_dictoffset == b->tp_dictoffset &&
           t->tp_weaklistoffset == b->tp_weaklistoffset &&
           (t->tp_flags & managed) == (b->tp_flags & managed) &&
           (t->tp_flags & Py_TPFLAGS_HEAPTYPE) && !(b->tp_flags & Py_TPFLAGS_HEAPTYPE);
}

// One class per built-in class for a kind: `kind_class` and the built-in as bases.
bool make_kind_classes(PyObject* module, const char* kind, PyObject* kind_class,
                       PyObject* const* builtins, int count, PyObject** out,
                       const char* doc) noexcept {
    for (int i = 0; i < count; ++i) {
        std::string name;
        try {
            name = class_name(kind, builtins[i]);
        } catch (...) {
            PyErr_NoMemory();
            return false;
        }
        Ref bases = Ref::steal(PyTuple_Pack(2, kind_class, builtins[i]));
        if (!bases) return false;
        PyObject* cls = make_class(module, name.c_str(), bases.get(), doc);
        if (!cls) return false;
        if (same_layout(cls, builtins[i])) out[i] = cls;
        else Py_DECREF(cls);  // the namespace keeps it; failures of that class keep theirs
    }
    return true;
}

// The index of the exact class of `exc` among `builtins`, or -1.
int builtin_index(PyObject* exc, PyObject* const* builtins, int count) noexcept {
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    for (int i = 0; i < count; ++i)
        if (type == builtins[i]) return i;
    return -1;
}

// Moves `exc` (exactly of a built-in class) to `cls`; see same_layout.
void move_to(PyObject* exc, PyObject* cls) noexcept {
    Py_SET_TYPE(exc, reinterpret_cast<PyTypeObject*>(Py_NewRef(cls)));
}

// Sets exc.name = value (a new int, or None when `known` is false); a failure to set it is
// dropped: the exception keeps its class default.
void set_number(PyObject* exc, const char* name, bool known, uint64_t value) noexcept {
    Ref number = known ? Ref::steal(PyLong_FromUnsignedLongLong(value)) : Ref::borrow(Py_None);
    if (!number || PyObject_SetAttrString(exc, name, number.get()) < 0) PyErr_Clear();
}

ErrorKinds* kinds() noexcept {
    ModuleState* state = module_state();
    return state ? &state->errors : nullptr;
}

}  // namespace

bool error_kinds_init(PyObject* module, ErrorKinds* k) noexcept {
    Ref exception = Ref::steal(PyTuple_Pack(1, PyExc_Exception));
    if (!exception) return false;
    k->decode = make_class(
        module, "DecodeError", exception.get(),
        "unpack or unpack_from failed because of the bytes: the input ended too early\n"
        "(TruncatedError) or is not a value of the schema (MalformedError). `position` is\n"
        "the byte where the failing read began, counted in the data given.",
        {{"position", Py_None}});
    if (!k->decode) return false;
    Ref decode = Ref::steal(PyTuple_Pack(1, k->decode));
    if (!decode) return false;
    k->truncated = make_class(
        module, "TruncatedError", decode.get(),
        "The input ended before the value did: more bytes may complete it. `needed` is how\n"
        "many more bytes it takes at least, where known (else None).",
        {{"needed", Py_None}});
    k->malformed =
        k->truncated
            ? make_class(module, "MalformedError", decode.get(),
                         "The bytes are not a value of the schema: no more input mends them.")
            : nullptr;
    k->encode = k->malformed
                    ? make_class(module, "EncodeError", exception.get(),
                                 "pack, pack_as or pack_into failed because of the value given.")
                    : nullptr;
    if (!k->encode) return false;
    return make_kind_classes(
               module, "Truncated", k->truncated, decode_builtins(), kDecodeBuiltins,
               k->truncated_as,
               "The input ended too early (a TruncatedError of this built-in class).") &&
           make_kind_classes(module, "Malformed", k->malformed, decode_builtins(), kDecodeBuiltins,
                             k->malformed_as,
                             "The bytes are not a value of the schema (a MalformedError of this "
                             "built-in class).") &&
           make_kind_classes(module, "Encode", k->encode, encode_builtins(), kEncodeBuiltins,
                             k->encode_as,
                             "pack failed because of the value (an EncodeError of this built-in "
                             "class).");
}

void error_kinds_clear(ErrorKinds* k) noexcept {
    Py_CLEAR(k->decode);
    Py_CLEAR(k->truncated);
    Py_CLEAR(k->malformed);
    Py_CLEAR(k->encode);
    for (PyObject*& c : k->truncated_as) Py_CLEAR(c);
    for (PyObject*& c : k->malformed_as) Py_CLEAR(c);
    for (PyObject*& c : k->encode_as) Py_CLEAR(c);
}

int error_kinds_traverse(ErrorKinds* k, visitproc visit, void* arg) noexcept {
    Py_VISIT(k->decode);
    Py_VISIT(k->truncated);
    Py_VISIT(k->malformed);
    Py_VISIT(k->encode);
    for (PyObject* c : k->truncated_as) Py_VISIT(c);
    for (PyObject* c : k->malformed_as) Py_VISIT(c);
    for (PyObject* c : k->encode_as) Py_VISIT(c);
    return 0;
}

// Adds `text` as a note to the pending exception through its own add_note; should that fail, the
// exception stays as it was, without the note.
static void add_plain_note(const char* text) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    Ref note = Ref::steal(PyUnicode_FromString(text));
    Ref done = note ? Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get())) : Ref();
    if (!done) PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

// The edit distance of a and b (in bytes) when it is at most `limit`, else limit + 1: one row of
// the table at a time, given up as soon as a whole row exceeds the limit.
static size_t bounded_distance(std::string_view a, std::string_view b, size_t limit) noexcept {
    constexpr size_t kMax = 64;
    if (a.size() > kMax || b.size() > kMax) return limit + 1;
    size_t row[kMax + 1];
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0], lowest = row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
            lowest = std::min(lowest, row[j]);
        }
        if (lowest > limit) return limit + 1;
    }
    return row[b.size()];
}

// The record name of `schema` closest to `name`, within a third of its length (1 to 3 edits), or
// empty. Ties go to the first record.
static std::string closest_record(const TLSchema* schema, std::string_view name) {
    size_t limit = std::clamp<size_t>(name.size() / 3, 1, 3);
    std::string_view best;
    size_t best_distance = limit + 1;
    for (int32_t i = 0; i < schema->count && best_distance > 1; ++i) {
        const char* text = schema->constructors[i].name;
        if (!text) continue;
        std::string_view candidate(text);
        size_t gap = candidate.size() > name.size() ? candidate.size() - name.size()
                                                    : name.size() - candidate.size();
        if (gap >= best_distance) continue;
        size_t d = bounded_distance(name, candidate, best_distance - 1);
        if (d < best_distance) {
            best = candidate;
            best_distance = d;
        }
    }
    return std::string(best);
}

void suggest_record_name(TLParser* self, TLSchemaCompiler* compiler, PyObject* name) noexcept {
    const TLSchema* schema = self->schema;
    if (!schema || !self->state || !PyUnicode_Check(name)) return;
    ParserCaches* caches = &self->state->caches;
    PyObject* exc = PyErr_GetRaisedException();
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    std::string note;
    try {
        if (utf8 && size <= 64) {
            std::string_view key(utf8, static_cast<size_t>(size));
            const std::string& near =
                caches->suggestion(compiler->maps->generation, std::string(key),
                                   [&] { return closest_record(schema, key); });
            if (!near.empty()) note = "did you mean '" + near + "'?";
        }
    } catch (...) {
        note.clear();  // no note rather than another exception
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (!note.empty()) add_plain_note(note.c_str());
}

void first_shortage(TLParser* self, uint64_t at, uint64_t need) noexcept {
    CallState* call = call_of(self);
    if (!call) return;  // outside a call: nobody makes a note of it
    call->short_at = at;
    call->shortage = true;
    call->short_need = need;
    call->short_need_at = at;
    call->short_known = true;
}

void give_decode_kind(TLParser* self, uint64_t at, bool parse_error_raised) noexcept {
    ErrorKinds* k = kinds();
    CallState* call = call_of(self);
    // What the decoder's own readers said about the first shortage (first_shortage): known only
    // when it is where the shortage is placed (a native subclass's reader sets parse_error without
    // saying, and a shortage inside a gzip_packed is placed at the gzip_packed).
    bool known = call && call->short_known && call->short_need_at == call->short_at;
    uint64_t need = known ? call->short_need : 0;
    if (call) call->short_known = false;
    if (!k) return;
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    int i = builtin_index(exc, decode_builtins(), kDecodeBuiltins);
    if (i >= 0) {
        // A shortage first: what follows is read from where the input ran out (a vector reads
        // on), so whatever it raised, more input is what the value wants. A count no input can
        // back (a negative one) is no shortage: need 0.
        bool truncated = self->parse_error ? !(known && need == 0) : parse_error_raised;
        if (parse_error_raised && !self->parse_error) {  // the value's padding ran past the end
            known = true;
            need = self->position - self->input_length;
        }
        PyObject* cls = truncated ? k->truncated_as[i] : k->malformed_as[i];
        if (cls) {
            move_to(exc, cls);
            set_number(exc, "position", true, at);
            if (truncated) set_number(exc, "needed", known, need);
        }
    }
    PyErr_SetRaisedException(exc);
}

void give_left_over_kind(uint64_t at) noexcept {
    ErrorKinds* k = kinds();
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    int i = k ? builtin_index(exc, decode_builtins(), kDecodeBuiltins) : -1;
    if (i >= 0 && k->malformed_as[i]) {
        move_to(exc, k->malformed_as[i]);
        set_number(exc, "position", true, at);
    }
    PyErr_SetRaisedException(exc);
}

void give_encode_kind() noexcept {
    ErrorKinds* k = kinds();
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    int i = k ? builtin_index(exc, encode_builtins(), kEncodeBuiltins) : -1;
    if (i >= 0 && k->encode_as[i]) move_to(exc, k->encode_as[i]);
    PyErr_SetRaisedException(exc);
}

// The note for a schema text that json.loads refused, when it looks like something else: a file
// name, or TL text. Null: no note. Runs with no exception pending; clears any of its own.
static const char* schema_text_hint(PyObject* text) noexcept {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) {
        PyErr_Clear();
        return nullptr;
    }
    std::string_view t(utf8, static_cast<size_t>(size));
    size_t start = t.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos || t[start] == '{' || t[start] == '[') return nullptr;
    t = t.substr(start, t.find_last_not_of(" \t\r\n") + 1 - start);
    bool one_line = t.find('\n') == std::string_view::npos;
    if (one_line && t.size() <= 4096 &&
        (t.ends_with(".json") || t.ends_with(".tl") || t.find('/') != std::string_view::npos ||
         t.find('\\') != std::string_view::npos))
        return "the schema is given as JSON text or as the data it parses into, not as a file "
               "name: read a .json or .tl file with Virel.schemas.load(path)";
    if (t.find(';') != std::string_view::npos && t.find(" = ") != std::string_view::npos)
        return "this looks like TL text, not schema JSON: convert it with "
               "Virel.tl_text.convert(text), or read the file with Virel.schemas.load(path)";
    return nullptr;
}

void note_schema_argument(PyObject* text) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return;  // JSONDecodeError is one
    PyObject* exc = PyErr_GetRaisedException();
    const char* hint = schema_text_hint(text);
    PyErr_SetRaisedException(exc);
    if (hint) add_plain_note(hint);
}

}  // namespace virel
