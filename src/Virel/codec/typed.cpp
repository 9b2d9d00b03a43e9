// codec/typed.cpp: reading and writing at the edges of a caller's buffers (unpack_from, pack_as,
// pack_into), the type texts they take, and the note that says where a pack or unpack failed.
#include "codec/parser.hpp"
#include "codec/strict.hpp"
#include "schema/compiler.hpp"

#include <algorithm>
#include <functional>
#include <cstdlib>
#include <new>
#include <string>

namespace virel {

TLParserExtras* extras_of(TLParser* s) noexcept {
    if (!s->extras) {
        s->extras = new (std::nothrow) TLParserExtras();
        if (!s->extras) PyErr_NoMemory();
    }
    return s->extras;
}

// ---- The trace of a failure ----

namespace {

using Step = TLParserExtras::Step;

// The trace to add to, or null when this step adds nothing. Never raises: a trace that cannot be
// kept only costs the note.
TLParserExtras* trace_for(TLParser* s, bool exception) noexcept {
    if (!s->extras) s->extras = new (std::nothrow) TLParserExtras();
    TLParserExtras* e = s->extras;
    if (!e) return nullptr;
    if (exception && !e->exception) {  // the exception is what the caller sees: trace it instead
        e->steps.clear();
        e->has_at = false;
        e->exception = true;
    } else if (!exception && e->hold > 0) {
        return nullptr;
    }
    return e;
}

void push(TLParserExtras* e, Step step) noexcept {
    try {
        e->steps.push_back(step);
    } catch (...) {  // out of memory: the note comes out shorter
    }
}

void reset(TLParserExtras* e) noexcept {
    e->steps.clear();
    e->has_at = false;
    e->exception = false;
    e->hold = 0;
}

}  // namespace

void path_mark(TLParser* s, uint64_t at) noexcept {
    TLParserExtras* e = trace_for(s, true);
    if (e && !e->has_at) {
        e->at = at;
        e->has_at = true;
    }
}

void path_mark_text(TLParser* s) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return;
    PyObject* exc = PyErr_GetRaisedException();
    if (Ref text = Ref::steal(PyUnicodeDecodeError_GetObject(exc)); text && PyBytes_Check(text.get())) {
        // The string's bytes end 0 to 3 bytes of padding before the cursor, behind a prefix of one
        // byte holding n or of 254 and n in three bytes: the first place that fits is where it began.
        auto n = static_cast<uint64_t>(PyBytes_GET_SIZE(text.get()));
        const unsigned char* b = s->buffer;
        for (uint64_t pad = 0; pad < 4; ++pad) {
            if (s->position < n + pad + 1) break;
            uint64_t data = s->position - n - pad;
            if (data + n > s->input_length) continue;  // the cursor may stand past the end
            if (std::memcmp(b + data, PyBytes_AS_STRING(text.get()), n) != 0) continue;
            if (n < 254 && b[data - 1] == n) {
                path_mark(s, data - 1);
                break;
            }
            if (data >= 4 && b[data - 4] == 254 && (b[data - 3] | uint64_t{b[data - 2]} << 8 | uint64_t{b[data - 1]} << 16) == n) {
                path_mark(s, data - 4);
                break;
            }
        }
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

void path_field(TLParser* s, const TLConstructor* record, const TLParam* param, bool exception) noexcept {
    TLParserExtras* e = trace_for(s, exception);
    if (!e) return;
    if (param) push(e, {Step::field, param->name, 0});
    push(e, {Step::record, record->name, 0});
}

void path_param(TLParser* s, const TLParam* param, bool exception) noexcept {
    // Called during a call (CompilerCall): the compiler is there, and so is every schema the call
    // took a record from, whether the compiler has compiled again meanwhile or not.
    if (!s->compiler || s->compiler == Py_None) return;
    if (const TLConstructor* r = owner_of(reinterpret_cast<TLSchemaCompiler*>(s->compiler), param))
        path_field(s, r, param, exception);
}

void path_index(TLParser* s, Py_ssize_t index, bool exception) noexcept {
    if (TLParserExtras* e = trace_for(s, exception)) push(e, {Step::element, nullptr, index});
}

void path_hold(TLParser* s, int delta) noexcept {
    if (TLParserExtras* e = s->extras) e->hold = std::max(0, e->hold + delta);
}

// "at messages.sendMessage.entities[1].offset (records: messages.sendMessage > messageEntityBold)",
// and when decoding "; the failing read began at byte 36, in messageEntityBold".
static std::string path_text(const TLParserExtras* e, const char* root, bool decoding, uint64_t at) {
    std::string text = "at ";
    std::string records;
    const char* innermost = nullptr;
    auto add_record = [&](const char* name) {
        records += records.empty() ? "" : " > ";
        records += name;
        innermost = name;
    };
    static const std::vector<Step> none;
    const std::vector<Step>& steps = e ? e->steps : none;
    auto it = steps.rbegin();
    auto end = steps.rend();
    if (root) {
        text += root;
    } else if (it != end && it->kind == Step::record) {
        text += it->name;
        add_record(it->name);
        ++it;
    } else {
        text += "the top-level object";
    }
    for (; it != end; ++it) {
        switch (it->kind) {
            case Step::field:
                text += '.';
                text += it->name;
                break;
            case Step::element:
                text += '[';
                text += std::to_string(it->index);
                text += ']';
                break;
            case Step::record:
                add_record(it->name);
                break;
        }
    }
    if (!records.empty()) text += " (records: " + records + ")";
    if (decoding) {
        text += "; the failing read began at byte " + std::to_string(at);
        if (innermost) text += std::string(", in ") + innermost;
    }
    return text;
}

// Looks `name` up on `obj` as getattr with a default would, without making an AttributeError for
// a missing attribute: 1 with *out set, 0 when missing, -1 with an exception pending.
static int lookup_optional(PyObject* obj, PyObject* name, PyObject** out) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, out);
#else
    return _PyObject_LookupAttr(obj, name, out);
#endif
}

// Adds `note` to `exc` by BaseException.add_note's rules: a missing __notes__ becomes a new list, a
// list gets the note appended. One difference, to keep the caller's exception: a __notes__ that is
// not a list (add_note raises TypeError) is left alone and gets no note. An error raised while the note is
// attached (the exception's own __getattr__ or __setattr__ may run Python code, and interrupt it)
// propagates as it would out of add_note, with the caller's exception as its context. Takes the
// reference to `exc`; returns the exception to raise.
static PyObject* add_note(PyObject* exc, PyObject* note) noexcept {
    if (!PyExceptionInstance_Check(exc)) return exc;
    PyObject* notes = nullptr;
    int found = lookup_optional(exc, interned.notes, &notes);
    int done = 0;
    if (found == 0) {
        Ref list = Ref::steal(PyList_New(1));
        if (list) {
            PyList_SET_ITEM(list.get(), 0, Py_NewRef(note));  // steals
            done = PyObject_SetAttr(exc, interned.notes, list.get());
        } else {
            done = -1;
        }
    } else if (found > 0) {
        done = PyList_Check(notes) ? PyList_Append(notes, note) : 0;
        Py_DECREF(notes);
    } else {
        done = -1;
    }
    if (done == 0) return exc;
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) return exc;                  // cannot happen: a failure leaves its exception
    PyException_SetContext(raised, exc);      // steals exc
    return raised;
}

// Attaches `text` (empty: nothing) as a note to the pending exception. The exception keeps its
// type, message and traceback; a note whose text cannot be made is left out.
static void attach_note(const std::string& text) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    if (!text.empty()) {
        Ref note = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        if (note) exc = add_note(exc, note.get());
        else PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
}

void attach_path_note(TLParser* s, const char* root, bool decoding, uint64_t base) noexcept {
    TLParserExtras* e = s->extras;
    // A shortage's trace starts where the first short read began; an exception's where its mark says.
    uint64_t at = base + (e && e->exception ? (e->has_at ? e->at : s->position)
                                            : (s->parse_error ? s->short_at : s->position));
    std::string text;
    try {
        text = path_text(e, root, decoding, at);
    } catch (...) {
        text.clear();
    }
    if (e) reset(e);
    attach_note(text);
}

void attach_left_over_note(const char* record, uint64_t at) noexcept {
    std::string text;
    try {
        text = record ? std::string("at ") + record + " (records: " + record + ")" : "at the top-level object";
        text += "; the extra bytes begin at byte " + std::to_string(at);
    } catch (...) {
        text.clear();  // no note rather than none of the error
    }
    attach_note(text);
}

// ---- Type texts ----

namespace {

bool is_name_char(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.';
}

// A type as a parameter carries it: a name (`#`, `long`, `User`, `storage.FileType`), or
// `Vector<...>` around such a type. Conditions, blanks, bare `Vector` and other generics are not.
bool well_formed(std::string_view t) noexcept {
    size_t depth = 0;
    while (t.starts_with("Vector<")) {
        t.remove_prefix(7);
        ++depth;
    }
    size_t n = 0;
    if (t.starts_with('#')) {
        n = 1;
    } else {
        while (n < t.size() && is_name_char(t[n])) ++n;
        if (n == 0 || (t[0] >= '0' && t[0] <= '9') || t[0] == '.') return false;
    }
    if (t.substr(0, n).starts_with("Vector")) return false;  // a vector without its element type
    t.remove_prefix(n);
    return t.size() == depth && t.find_first_not_of('>') == std::string_view::npos;
}

// The analysed form of a type text, from the parser's cache or made now with the compiler's own
// analysis (and, for a vector, its element record). Null with an exception pending.
const ParsedType* parsed_type(TLParser* s, TLSchemaCompiler* c, PyObject* type) {
    if (!PyUnicode_CheckExact(type)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(type)->tp_name);
        return nullptr;
    }
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(type, &size);
    if (!utf8) return nullptr;
    std::string_view text(utf8, static_cast<size_t>(size));
    TLParserExtras* e = extras_of(s);
    if (!e) return nullptr;
    if (auto it = e->types.find(text); it != e->types.end()) return &it->second;
    if (!well_formed(text)) {
        PyErr_Format(PyExc_ValueError, "Malformed type expression: %R", type);
        return nullptr;
    }
    int32_t kind = c->ops->_parse_type(c, type);
    if (PyErr_Occurred()) return nullptr;
    // A caller may bring any number of texts: the cache is bounded, and a vector's elements are
    // derived from the text when it is read or written (as for a record made without them),
    // so that nothing is added to the schema's own tables for a text given at a call.
    if (e->types.size() >= 256) e->types.clear();
    auto [it, added] = e->types.try_emplace(std::string(text), ParsedType{kind, nullptr, nullptr});
    it->second.text = it->first.c_str();  // nodes stay put: the pointer lives as long as the entry
    return &it->second;
}

// A type given as None means a boxed object, as pack and unpack read and write.
bool type_argument(TLParser* s, TLSchemaCompiler* c, PyObject* arg, const ParsedType** out) noexcept {
    *out = nullptr;
    if (!arg || arg == Py_None) return true;
    *out = guarded<const ParsedType*>([&] { return parsed_type(s, c, arg); });
    return *out != nullptr;
}

// What a failure's path starts from: the type text, except for an object, which names itself.
const char* root_of(const ParsedType* type) noexcept {
    return type && type->kind != TL_OBJECT ? type->text : nullptr;
}

class BufferView {
public:
    BufferView() noexcept = default;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    // A C-contiguous view of obj's bytes, held (so not resizable) until destruction.
    bool get(PyObject* obj) noexcept {
        held_ = PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) == 0;
        return held_;
    }
    unsigned char* data() const noexcept { return static_cast<unsigned char*>(view_.buf); }
    Py_ssize_t size() const noexcept { return view_.len; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Strict encoding of a value given with its type text: the value's own type, and for a boxed
// type, the type that its record must have. False with TypeError pending.
bool strict_top_value(TLParser* s, PyObject* value, const ParsedType* type) noexcept {
    s->extras->expected_type = nullptr;
    if (!type) return true;
    const char* want = strict_expected(type->kind, value);
    if (want) {
        if (!strict_failed(want)) strict_wrong_value(type->text, want, value);
        return false;
    }
    if (type->kind == TL_OBJECT) {
        s->extras->expected_type = type->text;
        s->extras->expected_lasting = false;  // parsed for this call
    }
    return true;
}

// Encodes one value into the parser's buffer from position 0, as pack does; false with an
// exception pending (and its note attached).
bool encode(TLParser* s, PyObject* value, const ParsedType* type) noexcept {
    if (s->capacity < 1024) {
        void* grown = std::realloc(s->buffer, 1024);
        if (!grown) {
            PyErr_SetNone(PyExc_MemoryError);
            return false;
        }
        s->buffer = static_cast<unsigned char*>(grown);
        s->capacity = 1024;
    }
    s->position = 0;
    s->parse_error = 0;
    bool strict = strict_mode(s);
    if (strict && !strict_top_value(s, value, type)) {
        attach_path_note(s, root_of(type), false, 0);
        return false;
    }
    bool ok = guarded<bool>([&] {
        bool direct = s->ops == &TLParser_default_ops;
        if (direct && strict) {
            if (!type) return write_object<DirectStrict>(s, value);
            return write_value<DirectStrict>(s, value, type->kind, type->text, type->element);
        }
        if (!type) return direct ? write_object<Direct>(s, value) : s->ops->_write_object(s, value);
        return direct ? write_value<Direct>(s, value, type->kind, type->text, type->element)
                      : s->ops->_write_value(s, value, type->kind, type->text, type->element);
    });
    if (!ok) attach_path_note(s, root_of(type), false, 0);
    return ok;
}

}  // namespace

// ---- Python methods ----

PyObject* TLParser_unpack_from(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* here = TL_WHERE(TLParser, unpack_from);
    static const char* const names[] = {"data", "offset", "type"};
    auto* s = reinterpret_cast<TLParser*>(op);
    PyObject* arg[3];
    if (!parse_args("unpack_from", names, 3, 1, args, nargs, kwnames, arg)) return fail<PyObject*>(here);
    BusyGuard busy(s);
    if (!busy) return fail<PyObject*>(here);
    CompilerCall call(s);
    if (!call) return fail<PyObject*>(here);
    TLSchemaCompiler* c = call.compiler();
    BufferView data;
    if (!data.get(arg[0])) return fail<PyObject*>(here);
    Py_ssize_t offset = 0;
    if (arg[1]) {
        Ref index = Ref::steal(PyNumber_Index(arg[1]));
        if (!index) return fail<PyObject*>(here);
        int overflow;
        long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (v == -1 && PyErr_Occurred()) return fail<PyObject*>(here);
        if (overflow || v < 0 || v > data.size()) {
            PyErr_Format(PyExc_ValueError, "offset %R is out of range for %zd bytes of data", index.get(), data.size());
            return fail<PyObject*>(here);
        }
        offset = static_cast<Py_ssize_t>(v);
    }
    const ParsedType* type;
    if (!type_argument(s, c, arg[2], &type)) return fail<PyObject*>(here);

    // The decoder reads the caller's bytes where they are, as it would read a copy of
    // data[offset:] (string padding counts from the offset), for this call only.
    unsigned char* own = s->buffer;
    s->buffer = data.data() + offset;
    s->input_length = static_cast<uint64_t>(data.size() - offset);
    s->position = 0;
    s->parse_error = 0;
    Ref result = Ref::steal(guarded<PyObject*>([&] {
        if (s->ops == &TLParser_default_ops && signed_mode(s))
            return type ? read_value<DirectSigned>(s, type->kind, type->text, type->element)
                        : read_object<DirectSigned>(s);
        if (s->ops == &TLParser_default_ops)
            return type ? read_value<Direct>(s, type->kind, type->text, type->element) : read_object<Direct>(s);
        return type ? s->ops->_read_value(s, type->kind, type->text, type->element) : s->ops->_read_object(s);
    }));
    auto base = static_cast<uint64_t>(offset);
    if (!result) {
        if (type && type->kind == TL_STRING) path_mark_text(s);
        s->buffer = own;
        attach_path_note(s, root_of(type), true, base);
        return fail<PyObject*>(here);
    }
    s->buffer = own;
    // The value must end inside the data, padding included: its end is what the caller reads on from.
    if (s->parse_error || s->position > s->input_length) {
        PyErr_Format(PyExc_RuntimeError, "Parse error at position %llu",
                     static_cast<unsigned long long>(base + s->position));
        attach_path_note(s, root_of(type), true, base);
        return fail<PyObject*>(here);
    }
    Ref end = Ref::steal(PyLong_FromUnsignedLongLong(base + s->position));
    if (!end) return fail<PyObject*>(here);
    PyObject* pair = PyTuple_Pack(2, result.get(), end.get());
    if (!pair) return fail<PyObject*>(here);
    return pair;
}

PyObject* TLParser_pack_as(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* here = TL_WHERE(TLParser, pack_as);
    static const char* const names[] = {"value", "type"};
    auto* s = reinterpret_cast<TLParser*>(op);
    PyObject* arg[2];
    if (!parse_args("pack_as", names, 2, 2, args, nargs, kwnames, arg)) return fail<PyObject*>(here);
    BusyGuard busy(s);
    if (!busy) return fail<PyObject*>(here);
    CompilerCall call(s);
    if (!call) return fail<PyObject*>(here);
    TLSchemaCompiler* c = call.compiler();
    const ParsedType* type;
    if (!type_argument(s, c, arg[1], &type)) return fail<PyObject*>(here);
    if (!encode(s, arg[0], type)) return fail<PyObject*>(here);
    PyObject* out = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(s->buffer),
                                              static_cast<Py_ssize_t>(s->position));
    if (!out) return fail<PyObject*>(here);
    return out;
}

PyObject* TLParser_pack_into(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* here = TL_WHERE(TLParser, pack_into);
    static const char* const names[] = {"buffer", "value", "type"};
    auto* s = reinterpret_cast<TLParser*>(op);
    PyObject* arg[3];
    if (!parse_args("pack_into", names, 3, 2, args, nargs, kwnames, arg)) return fail<PyObject*>(here);
    PyObject* buffer = arg[0];
    if (!PyByteArray_Check(buffer)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     "buffer", "bytearray", Py_TYPE(buffer)->tp_name);
        return fail<PyObject*>(here);
    }
    BusyGuard busy(s);
    if (!busy) return fail<PyObject*>(here);
    CompilerCall call(s);
    if (!call) return fail<PyObject*>(here);
    TLSchemaCompiler* c = call.compiler();
    Ref hold = Ref::borrow(buffer);  // Python code run while encoding may drop the caller's reference
    const ParsedType* type;
    if (!type_argument(s, c, arg[2], &type)) return fail<PyObject*>(here);
    if (!encode(s, arg[1], type)) return fail<PyObject*>(here);
    // Its size is read only now: Python code run while encoding may have changed it.
    Py_ssize_t old = PyByteArray_GET_SIZE(buffer);
    auto n = static_cast<Py_ssize_t>(s->position);
    if (n > PY_SSIZE_T_MAX - old) {
        PyErr_NoMemory();
        return fail<PyObject*>(here);
    }
    if (PyByteArray_Resize(buffer, old + n) < 0) return fail<PyObject*>(here);  // BufferError while exported
    if (n) std::memcpy(PyByteArray_AS_STRING(buffer) + old, s->buffer, static_cast<size_t>(n));
    PyObject* end = PyLong_FromSsize_t(old + n);
    if (!end) return fail<PyObject*>(here);
    return end;
}

}  // namespace virel
