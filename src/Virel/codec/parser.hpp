// codec/parser.hpp: TLParser's buffer and wire primitives (inline, shared by both codec halves) and
// the two ways the codec's operations reach one another.
#pragma once

#include "capi.hpp"
#include "tl.hpp"

#include <bit>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace virel {

// Only these know the byte order of the wire (little-endian). memcpy: input may be unaligned.
inline uint32_t load_le32(const unsigned char* p) noexcept {
    uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
}
inline uint64_t load_le64(const unsigned char* p) noexcept {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}
inline void store_le32(unsigned char* p, uint32_t v) noexcept {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    std::memcpy(p, &v, 4);
}
inline void store_le64(unsigned char* p, uint64_t v) noexcept {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
}

constexpr uint32_t kVectorId = 0x1CB5C415u;
// 24 bits of length prefix: longer byte strings cannot be represented.
constexpr Py_ssize_t kMaxByteString = (Py_ssize_t{1} << 24) - 1;

// ---- Where a failure happened ----
// A failing read or write leaves its trace as it unwinds: the innermost step marks the byte where
// the failing read began (`short_at` for a shortage of input, path_mark for an exception), and each
// level on the way out adds its own step (a field and its record, or a vector index). The entry
// point turns the trace into one note on the exception. Each of these is called on a failure path
// only (an exception pending, or parse_error set), never otherwise.
// `exception`: the failure is a pending exception rather than a shortage of input. An exception
// raised while a shortage is being traced replaces that trace.
[[gnu::cold]] void path_mark(TLParser* s, uint64_t at) noexcept;
// The mark of a text string that is not UTF-8, worked out afterwards from the pending
// UnicodeDecodeError and the cursor just past the string (so the reader keeps nothing for it).
[[gnu::cold]] void path_mark_text(TLParser* s) noexcept;
[[gnu::cold]] void path_field(TLParser* s, const TLConstructor* record, const TLParam* param,
                              bool exception) noexcept;  // param null: the record alone
[[gnu::cold]] void path_index(TLParser* s, Py_ssize_t index, bool exception) noexcept;
// After a shortage a vector reads on to its end (the final position counts); what those reads meet
// is no part of the trace. delta +1 when the vector starts reading on, -1 when it stops.
[[gnu::cold]] void path_hold(TLParser* s, int delta) noexcept;
// Attaches the trace as one note to the pending exception and clears it. `root`: the type text the
// value was read or written as (null for a boxed object); `base`: what to add to positions (the
// offset of the input inside the caller's data); decoding adds where the failing read began.
[[gnu::cold]] void attach_path_note(TLParser* s, const char* root, bool decoding, uint64_t base) noexcept;

// A read that finds too few bytes: sets parse_error, and remembers where the first such read began.
// (Plain stores, no call: the readers stay as cheap as they were where the input suffices.)
inline void short_of_input(TLParser* s, uint64_t at) noexcept {
    if (!s->parse_error) s->short_at = at;
    s->parse_error = 1;
}

// Cursors are unsigned and padding may push `position` past `input_length`: one test for all reads.
inline bool has_input(const TLParser* s, uint64_t n) noexcept {
    return s->position <= s->input_length && n <= s->input_length - s->position;
}

// ---- Read primitives: never raise; a shortage sets parse_error and yields a neutral value. ----

inline uint32_t read_int32(TLParser* s) noexcept {
    if (!has_input(s, 4)) {
        short_of_input(s, s->position);
        return 0;
    }
    uint32_t v = load_le32(s->buffer + s->position);
    s->position += 4;
    return v;
}

inline uint64_t read_int64(TLParser* s) noexcept {
    if (!has_input(s, 8)) {
        short_of_input(s, s->position);
        return 0;
    }
    uint64_t v = load_le64(s->buffer + s->position);
    s->position += 8;
    return v;
}

inline double read_double(TLParser* s) noexcept { return std::bit_cast<double>(read_int64(s)); }

inline const char* read_bytes(TLParser* s, Py_ssize_t* size) noexcept {
    *size = 0;
    if (!has_input(s, 1)) {
        short_of_input(s, s->position);
        return nullptr;
    }
    uint64_t n = s->buffer[s->position];
    s->position += 1;  // stands even if the rest fails
    if (n == 254) {
        if (!has_input(s, 3)) {
            short_of_input(s, s->position - 1);
            return nullptr;
        }
        const unsigned char* p = s->buffer + s->position;
        n = p[0] | (uint64_t{p[1]} << 8) | (uint64_t{p[2]} << 16);
        s->position += 3;
    }
    if (!has_input(s, n)) {
        // The prefix was one byte holding n, or 254 and three bytes whose last is 0 for an n this
        // small (an n of 0 never falls short).
        short_of_input(s, s->position - (s->buffer[s->position - 1] == n ? 1 : 4));
        return nullptr;
    }
    const char* data = reinterpret_cast<const char*>(s->buffer + s->position);
    // Padding is skipped unchecked; the cursor may end past input_length, and the next read fails.
    s->position = (s->position + n + 3) & ~uint64_t{3};
    *size = static_cast<Py_ssize_t>(n);
    return data;
}

// ---- The codec's operations, declared for both halves (decoder.cpp, encoder.cpp, parser.cpp). ----

template <class Ops> PyObject* read_value(TLParser*, int32_t, const char*, const TLElementType*);
template <class Ops> PyObject* read_string(TLParser*);
template <class Ops> PyObject* read_vector(TLParser*, const char*, const TLElementType*);
template <class Ops> PyObject* read_object(TLParser*);
template <class Ops> bool write_value(TLParser*, PyObject*, int32_t, const char*, const TLElementType*);
template <class Ops> bool write_int32(TLParser*, uint32_t);
template <class Ops> bool write_int64(TLParser*, uint64_t);
template <class Ops> bool write_double(TLParser*, double);
template <class Ops> bool write_bytes(TLParser*, const char*, Py_ssize_t);
template <class Ops> bool write_string(TLParser*, PyObject*);
template <class Ops> bool write_vector(TLParser*, PyObject*, const char*, const TLElementType*);
template <class Ops> bool write_object(TLParser*, PyObject*);
void ensure_buffer(TLParser*, uint64_t);

// Every operation reaches the others through one of these. ViaTable goes through the object's table,
// so a native subclass's overrides take effect; Direct calls the default implementations, which
// lets the compiler inline the primitives into the codec. A parser whose table is the default one
// runs Direct from the top (pack, unpack), and the two give the same results by construction.
struct ViaTable {
    static PyObject* _read_value(TLParser* s, int32_t k, const char* t, const TLElementType* e) { return s->ops->_read_value(s, k, t, e); }
    static bool _write_value(TLParser* s, PyObject* v, int32_t k, const char* t, const TLElementType* e) { return s->ops->_write_value(s, v, k, t, e); }
    static uint32_t _read_int32(TLParser* s) { return s->ops->_read_int32(s); }
    static uint64_t _read_int64(TLParser* s) { return s->ops->_read_int64(s); }
    static double _read_double(TLParser* s) { return s->ops->_read_double(s); }
    static const char* _read_bytes(TLParser* s, Py_ssize_t* n) { return s->ops->_read_bytes(s, n); }
    static PyObject* _read_string(TLParser* s) { return s->ops->_read_string(s); }
    static PyObject* _read_vector(TLParser* s, const char* t, const TLElementType* e) { return s->ops->_read_vector(s, t, e); }
    static PyObject* _read_object(TLParser* s) { return s->ops->_read_object(s); }
    static bool _write_int32(TLParser* s, uint32_t v) { return s->ops->_write_int32(s, v); }
    static bool _write_int64(TLParser* s, uint64_t v) { return s->ops->_write_int64(s, v); }
    static bool _write_double(TLParser* s, double v) { return s->ops->_write_double(s, v); }
    static bool _write_bytes(TLParser* s, const char* d, Py_ssize_t n) { return s->ops->_write_bytes(s, d, n); }
    static bool _write_string(TLParser* s, PyObject* t) { return s->ops->_write_string(s, t); }
    static bool _write_vector(TLParser* s, PyObject* v, const char* t, const TLElementType* e) { return s->ops->_write_vector(s, v, t, e); }
    static bool _write_object(TLParser* s, PyObject* v) { return s->ops->_write_object(s, v); }
    static void _ensure_buffer(TLParser* s, uint64_t n) { s->ops->_ensure_buffer(s, n); }
};

struct Direct {
    static PyObject* _read_value(TLParser* s, int32_t k, const char* t, const TLElementType* e) { return read_value<Direct>(s, k, t, e); }
    static bool _write_value(TLParser* s, PyObject* v, int32_t k, const char* t, const TLElementType* e) { return write_value<Direct>(s, v, k, t, e); }
    static uint32_t _read_int32(TLParser* s) { return read_int32(s); }
    static uint64_t _read_int64(TLParser* s) { return read_int64(s); }
    static double _read_double(TLParser* s) { return read_double(s); }
    static const char* _read_bytes(TLParser* s, Py_ssize_t* n) { return read_bytes(s, n); }
    static PyObject* _read_string(TLParser* s) { return read_string<Direct>(s); }
    static PyObject* _read_vector(TLParser* s, const char* t, const TLElementType* e) { return read_vector<Direct>(s, t, e); }
    static PyObject* _read_object(TLParser* s) { return read_object<Direct>(s); }
    static bool _write_int32(TLParser* s, uint32_t v) { return write_int32<Direct>(s, v); }
    static bool _write_int64(TLParser* s, uint64_t v) { return write_int64<Direct>(s, v); }
    static bool _write_double(TLParser* s, double v) { return write_double<Direct>(s, v); }
    static bool _write_bytes(TLParser* s, const char* d, Py_ssize_t n) { return write_bytes<Direct>(s, d, n); }
    static bool _write_string(TLParser* s, PyObject* t) { return write_string<Direct>(s, t); }
    static bool _write_vector(TLParser* s, PyObject* v, const char* t, const TLElementType* e) { return write_vector<Direct>(s, v, t, e); }
    static bool _write_object(TLParser* s, PyObject* v) { return write_object<Direct>(s, v); }
    static void _ensure_buffer(TLParser* s, uint64_t n) { ensure_buffer(s, n); }
};

// The compiler of a parser (its tables), or null with RuntimeError pending when the garbage
// collector has cleared it.
TLSchemaCompiler* parser_compiler(TLParser* s) noexcept;

// What the elements of a vector are: from the record worked out at compile time, or, when a
// caller brings none, derived from the vector's type text at the call.
struct VectorElement {
    int32_t kind = TL_INT;              // no type text at all: int elements
    const char* text = nullptr;
    const TLElementType* inner = nullptr;  // the element's own element record, for nested vectors
    std::string derived;
};
bool vector_element(TLParser* s, const char* type_name, const TLElementType* element,
                    VectorElement* out);

// Equality of two exact str objects, without running any Python code.
inline bool same_text(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
}

// The index of the parameter that an exact str key names, or -1.
inline int32_t param_of_key(const TLConstructor* r, PyObject* key) noexcept {
    Py_hash_t h = reinterpret_cast<PyASCIIObject*>(key)->hash;
    if (h == -1) h = PyObject_Hash(key);  // a str's hash runs no Python code and cannot fail
    for (uint32_t i = static_cast<uint32_t>(h) & r->key_mask;; i = (i + 1) & r->key_mask) {
        const TLKeySlot& slot = r->key_slots[i];
        if (slot.index < 0) return -1;
        if (slot.hash == h && same_text(r->params[slot.index].py_name, key)) return slot.index;
    }
}

// Readies a record for the codec the first time it is met: its keys interned (a caller's dict
// built from literals then matches them by identity) and its prototype dict made. False with an
// exception pending.
bool prepare_record(TLConstructor* record) noexcept;
inline bool ready(const TLConstructor* record) noexcept {
    return record->ready || prepare_record(const_cast<TLConstructor*>(record));
}

// A type text as unpack_from and the typed packers take it, analysed once per parser.
struct ParsedType {
    int32_t kind;
    const char* text;              // the text itself (the key it is kept under)
    const TLElementType* element;  // a vector's element record (in the schema's blocks), else null
};

struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view t) const noexcept { return std::hash<std::string_view>{}(t); }
};

}  // namespace virel

// What a parser keeps beside its buffer; see TLParser::extras.
struct TLParserExtras {
    struct Step {
        enum Kind : uint8_t { field, element, record } kind;
        const char* name;  // field or record name, in the schema's blocks
        Py_ssize_t index;  // of an element
    };
    std::vector<Step> steps;  // innermost first
    uint64_t at = 0;          // where the failing read began, when has_at
    bool has_at = false;
    bool exception = false;   // the trace is that of an exception (not of a shortage)
    int32_t hold = 0;         // vectors reading on after a shortage
    std::unordered_map<std::string, virel::ParsedType, virel::TextHash, std::equal_to<>> types;
};

namespace virel {

// The parser's extras, made on first use; null with MemoryError pending when they cannot be.
TLParserExtras* extras_of(TLParser* s) noexcept;

// Marks a parser busy for one pack or unpack; refuses a second, nested or concurrent one.
class BusyGuard {
public:
    explicit BusyGuard(TLParser* s) noexcept : s_(s), ok_(!s->busy) {
        if (ok_) s->busy = 1;
        else PyErr_SetString(PyExc_RuntimeError, "TLParser is already in use by another pack or unpack call");
    }
    ~BusyGuard() {
        if (ok_) s_->busy = 0;
    }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;
    explicit operator bool() const noexcept { return ok_; }

private:
    TLParser* s_;
    bool ok_;
};

}  // namespace virel
