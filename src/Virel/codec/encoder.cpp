// codec/encoder.cpp: object dicts -> TL bytes (pack, _write_object, _write_value, _write_vector and
// the write primitives).
#include "codec/object_fields.hpp"
#include "codec/parser.hpp"
#include "codec/record_plan.hpp"
#include "codec/strict.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <cstdlib>
#include <string_view>
#include <type_traits>
#include <utility>

namespace virel {

// ---- Write primitives: append at `position`, growing the buffer first when it is too small. ----

// Makes room for n more bytes; false with MemoryError pending (traceback entry added by the caller).
template <class Ops>
inline bool reserve(TLParser* s, uint64_t n) {
    if (s->capacity - s->position >= n) return true;
    Ops::_ensure_buffer(s, n);
    return !PyErr_Occurred();
}

template <class Ops>
bool write_int32(TLParser* s, uint32_t value) {
    if (!reserve<Ops>(s, 4)) return fail<bool>(TL_WHERE(TLParser, _write_int32));
    store_le32(s->buffer + s->position, value);
    s->position += 4;
    return true;
}

template <class Ops>
bool write_int64(TLParser* s, uint64_t value) {
    if (!reserve<Ops>(s, 8)) return fail<bool>(TL_WHERE(TLParser, _write_int64));
    store_le64(s->buffer + s->position, value);
    s->position += 8;
    return true;
}

template <class Ops>
bool write_double(TLParser* s, double value) {
    if (!reserve<Ops>(s, 8)) return fail<bool>(TL_WHERE(TLParser, _write_double));
    store_le64(s->buffer + s->position, std::bit_cast<uint64_t>(value));
    s->position += 8;
    return true;
}

// The length prefix of a byte string of n bytes at p (one byte below 254, else 254 and three
// bytes); returns where the data goes.
inline unsigned char* put_length(unsigned char* p, Py_ssize_t n) noexcept {
    if (n < 254) {
        *p = static_cast<unsigned char>(n);
        return p + 1;
    }
    p[0] = 254;
    p[1] = static_cast<unsigned char>(n & 0xFF);
    p[2] = static_cast<unsigned char>((n >> 8) & 0xFF);
    p[3] = static_cast<unsigned char>((n >> 16) & 0xFF);
    return p + 4;
}

// Pads a byte string that ends at p with zeros and moves the cursor past them. Padding counts
// from the start of the buffer, as the reader skips it.
inline void end_string(TLParser* s, unsigned char* p) noexcept {
    uint64_t end = static_cast<uint64_t>(p - s->buffer);
    while (end & 3) {
        *p++ = 0;
        ++end;
    }
    s->position = end;
}

template <class Ops>
bool write_bytes(TLParser* s, const char* data, Py_ssize_t n) {
    static constexpr const char* here = TL_WHERE(TLParser, _write_bytes);
    // The long form carries 24 bits of length: anything longer would be written corrupt.
    if (n > kMaxByteString) {
        PyErr_Format(PyExc_ValueError, "Byte string too long: %zd bytes", n);
        return fail<bool>(here);
    }
    if (!reserve<Ops>(s, static_cast<uint64_t>(n) + 8)) return fail<bool>(here);
    unsigned char* p = put_length(s->buffer + s->position, n);
    if (n > 0) std::memcpy(p, data, static_cast<size_t>(n));
    end_string(s, p + n);
    return true;
}

// The UTF-8 of `n` code points of one width, written at `out`; the number of bytes, or -1 at a
// surrogate (which strict UTF-8 refuses: the caller lets the host raise its own error).
template <class Char>
static Py_ssize_t encode_utf8(const Char* in, Py_ssize_t n, unsigned char* out) noexcept {
    unsigned char* p = out;
    for (Py_ssize_t i = 0; i < n; ++i) {
        uint32_t c = in[i];
        if (c < 0x80) {
            *p++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            *p++ = static_cast<unsigned char>(0xC0 | (c >> 6));
            *p++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) return -1;
            *p++ = static_cast<unsigned char>(0xE0 | (c >> 12));
            *p++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else {
            *p++ = static_cast<unsigned char>(0xF0 | (c >> 18));
            *p++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            *p++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    return p - out;
}

// A non-ASCII str written as a byte string of its UTF-8, encoded straight into the buffer (no
// temporary bytes object). True when written; false, with nothing written, when the general way
// must take it: a surrogate (strict UTF-8 refuses it, with the host's own error), a text too long
// for the wire, or room for the longest encoding that cannot be had (the exact size may fit).
static bool write_text_in_place(TLParser* s, PyObject* text) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    int kind = PyUnicode_KIND(text);
    uint64_t most = static_cast<uint64_t>(n) * (kind == PyUnicode_1BYTE_KIND ? 2 : kind == PyUnicode_2BYTE_KIND ? 3 : 4);
    if (!reserve<Direct>(s, most + 8)) {
        PyErr_Clear();
        return false;
    }
    // A length below 254 takes one byte of prefix, any other four: leave room for the prefix the
    // longest encoding would need, and move the bytes down if they turn out shorter.
    uint64_t prefix = most < 254 ? 1 : 4;
    unsigned char* data = s->buffer + s->position + prefix;
    const void* chars = PyUnicode_DATA(text);
    Py_ssize_t size = kind == PyUnicode_1BYTE_KIND   ? encode_utf8(static_cast<const Py_UCS1*>(chars), n, data)
                      : kind == PyUnicode_2BYTE_KIND ? encode_utf8(static_cast<const Py_UCS2*>(chars), n, data)
                                                     : encode_utf8(static_cast<const Py_UCS4*>(chars), n, data);
    if (size < 0 || size > kMaxByteString) return false;
    unsigned char* start = s->buffer + s->position;
    if (size < 254 && prefix == 4) std::memmove(start + 1, data, static_cast<size_t>(size));
    end_string(s, put_length(start, size) + size);
    return true;
}

template <class Ops>
bool write_string(TLParser* s, PyObject* text) {
    static constexpr const char* here = TL_WHERE(TLParser, _write_string);
    if (text == Py_None) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "encode");
        return fail<bool>(here);
    }
    bool ok;
    if (PyUnicode_Check(text) && PyUnicode_IS_ASCII(text)) {  // its characters are its UTF-8
        ok = Ops::_write_bytes(s, static_cast<const char*>(PyUnicode_DATA(text)), PyUnicode_GET_LENGTH(text));
    } else if (Ops::direct && PyUnicode_Check(text) && write_text_in_place(s, text)) {
        ok = true;  // only on the direct path: a native subclass's own _write_bytes sees every string
    } else {
        // Strict: a lone surrogate raises UnicodeEncodeError; a non-str raises TypeError.
        Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(text));
        if (!utf8) return fail<bool>(here);
        ok = Ops::_write_bytes(s, PyBytes_AS_STRING(utf8.get()), PyBytes_GET_SIZE(utf8.get()));
    }
    if (!ok) return fail<bool>(here);
    return true;
}

// ---- Python values -> wire integers ----

// An int, or the result of the value's own __int__. An object with only __index__ is refused:
// integer fields take what int() of a number gives, not an index.
static Ref integer_of(PyObject* v) {
    if (PyLong_Check(v)) return Ref::borrow(v);
    PyNumberMethods* nb = Py_TYPE(v)->tp_as_number;
    PyObject* r = nullptr;
    if (nb && nb->nb_int) r = nb->nb_int(v);
    else {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return Ref();
    }
    if (r && !PyLong_Check(r)) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r)->tp_name);
        Py_DECREF(r);
        return Ref();
    }
    return Ref::steal(r);
}

// A TL int: anything from -2**31 to 2**32-1, so that the unsigned words unpack returns pack again.
static bool tl_int_of(PyObject* v, uint32_t* out) {
    if (PyLong_CheckExact(v) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v))) {
        Py_ssize_t x = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(v));
        if (x >= INT32_MIN && x <= static_cast<Py_ssize_t>(UINT32_MAX)) {
            *out = static_cast<uint32_t>(x);
            return true;
        }
    }
    Ref n = integer_of(v);
    if (!n) return false;
    int overflow;
    long long x = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
    if (x == -1 && PyErr_Occurred()) return false;
    if (overflow || x < INT32_MIN || x > static_cast<long long>(UINT32_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "int value out of range for a TL int (accepted: -2147483648 to 4294967295)");
        return false;
    }
    *out = static_cast<uint32_t>(x);
    return true;
}

// A TL long: anything from -2**63 to 2**64-1, the negative half as its two's complement, so that
// both the unsigned and the signed reading of a word pack back to it.
static bool tl_long_of(PyObject* v, uint64_t* out) {
    if (PyLong_CheckExact(v) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v))) {
        *out = static_cast<uint64_t>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(v)));
        return true;
    }
    Ref n = integer_of(v);
    if (!n) return false;
    int overflow;
    long long x = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
    if (x == -1 && PyErr_Occurred()) return false;
    if (!overflow) {
        *out = static_cast<uint64_t>(x);
        return true;
    }
    if (overflow < 0) {
        PyErr_SetString(PyExc_OverflowError,
                        "int value out of range for a TL long (accepted: -9223372036854775808 to 18446744073709551615)");
        return false;
    }
    unsigned long long u = PyLong_AsUnsignedLongLong(n.get());  // 2**64 and above: the host's OverflowError
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    *out = u;
    return true;
}

template <class Ops>
bool write_value(TLParser* s, PyObject* value, int32_t kind, const char* type_name, const TLElementType* element) {
    static constexpr const char* here = TL_WHERE(TLParser, _write_value);
    bool ok;
    switch (kind) {
        case TL_INT: {
            uint32_t v;
            if (!tl_int_of(value, &v)) return fail<bool>(here);
            ok = Ops::_write_int32(s, v);
            break;
        }
        case TL_LONG: {
            uint64_t v;
            if (!tl_long_of(value, &v)) return fail<bool>(here);
            ok = Ops::_write_int64(s, v);
            break;
        }
        case TL_DOUBLE: {
            double v = PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value) : PyFloat_AsDouble(value);
            if (v == -1.0 && PyErr_Occurred()) return fail<bool>(here);
            ok = Ops::_write_double(s, v);
            break;
        }
        case TL_STRING:
            ok = Ops::_write_string(s, value);
            break;
        case TL_BYTES: {
            if (value == Py_None) {
                PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
                return fail<bool>(here);
            }
            if (PyBytes_Check(value)) {
                ok = Ops::_write_bytes(s, PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value));
                break;
            }
            // bytearray, memoryview and other contiguous buffers are written as their bytes; a
            // str or a number is refused rather than guessed at.
            Py_buffer view;
            if (PyUnicode_Check(value) || !PyObject_CheckBuffer(value) ||
                PyObject_GetBuffer(value, &view, PyBUF_SIMPLE) < 0) {
                if (!PyErr_Occurred())
                    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes", Py_TYPE(value)->tp_name);
                return fail<bool>(here);
            }
            ok = Ops::_write_bytes(s, static_cast<const char*>(view.buf), view.len);
            PyBuffer_Release(&view);
            break;
        }
        case TL_BOOL: {
            int truth = PyObject_IsTrue(value);
            if (truth < 0) return fail<bool>(here);
            ok = Ops::_write_int32(s, truth ? 1u : 0u);
            break;
        }
        case TL_VECTOR:
            ok = Ops::_write_vector(s, value, type_name, element);
            break;
        case TL_OBJECT:
            ok = Ops::_write_object(s, value);
            break;
        default:
            PyErr_Format(PyExc_ValueError, "Unknown type: %d", kind);
            return fail<bool>(here);
    }
    if (!ok) return fail<bool>(here);
    return true;
}

template <class Ops>
bool write_vector(TLParser* s, PyObject* value, const char* type_name, const TLElementType* element) {
    static constexpr const char* here = TL_WHERE(TLParser, _write_vector);
    RecursionGuard depth(" while encoding a TL vector");
    if (!depth) return fail<bool>(here);
    Ref items;
    if (PyList_CheckExact(value)) {
        items = Ref::borrow(value);
    } else if (PyList_Check(value)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(value)->tp_name);
        return fail<bool>(here);
    } else {
        items = Ref::steal(PySequence_List(value));  // a tuple, a generator, any iterable
        if (!items) return fail<bool>(here);
    }
    Py_ssize_t count = PyList_GET_SIZE(items.get());
    if (count > INT32_MAX) {
        PyErr_Format(PyExc_ValueError, "Vector too long: %zd elements", count);
        return fail<bool>(here);
    }
    VectorElement el;
    if (!vector_element(s, type_name, element, &el)) return fail<bool>(here);
    if (!Ops::_write_int32(s, kVectorId)) return fail<bool>(here);
    if (!Ops::_write_int32(s, static_cast<uint32_t>(count))) return fail<bool>(here);
    // Vectors of plain numbers are the bulk of many messages (ids, dates): exact ints that fit
    // are stored straight into room reserved once; any other element takes the general path
    // below from where this loop stopped, so the bytes are the same either way.
    // (Only on the direct path: a native subclass's own writers must see every element.)
    Py_ssize_t i = 0;
    if constexpr (Ops::direct) {
        uint64_t width = el.kind == TL_LONG ? 8 : 4;
        if (el.kind != TL_LONG && el.kind != TL_INT) width = 0;
        if (width && !reserve<Ops>(s, width * static_cast<uint64_t>(count))) return fail<bool>(here);
        PyObject** items_at = PySequence_Fast_ITEMS(items.get());
        for (; width && i < count; ++i) {
            PyObject* v = items_at[i];
            if (!PyLong_CheckExact(v)) break;
            int overflow;
            long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (overflow) break;
            if (el.kind == TL_LONG) {
                store_le64(s->buffer + s->position, static_cast<uint64_t>(x));
            } else {
                if (x < INT32_MIN || x > static_cast<long long>(UINT32_MAX)) break;
                store_le32(s->buffer + s->position, static_cast<uint32_t>(x));
            }
            s->position += width;
        }
    }
    for (; i < count; ++i) {
        // Python code run by an element (its __int__, say) may change the caller's list: the
        // count is written already, so a change is an error rather than corrupt output.
        if (PyList_GET_SIZE(items.get()) != count) break;
        Ref item = Ref::borrow(PyList_GET_ITEM(items.get(), i));
        if (Ops::strict(s)) {
            const char* want = strict_expected(el.kind, item.get());
            if (want) {
                if (!strict_failed(want)) strict_wrong_element(el.text, i, want, item.get());
                path_index(s, i, true);
                return fail<bool>(here);
            }
            if (el.kind == TL_OBJECT) {
                s->extras->expected_type = el.text;
                s->extras->expected_lasting = el.derived.empty();  // else made for this vector
            }
        }
        if (!Ops::_write_value(s, item.get(), el.kind, el.text, el.inner)) {
            path_index(s, i, true);
            return fail<bool>(here);
        }
    }
    if (PyList_GET_SIZE(items.get()) != count) {
        PyErr_SetString(PyExc_RuntimeError, "list changed size during pack");
        return fail<bool>(here);
    }
    return true;
}

namespace {

// The value written for a missing non-conditional parameter.
Ref default_of(int32_t kind) {
    switch (kind) {
        case TL_INT:
        case TL_LONG:
            return Ref::steal(PyLong_FromLong(0));
        case TL_DOUBLE:
            return Ref::steal(PyFloat_FromDouble(0.0));
        case TL_STRING:
            return Ref::steal(PyUnicode_New(0, 0));
        case TL_BYTES:
            return Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
        case TL_BOOL:
            return Ref::borrow(Py_False);
        case TL_VECTOR:
            return Ref::steal(PyList_New(0));
        default:  // an object: written, it fails for want of a '_'
            return Ref::steal(PyDict_New());
    }
}


// The slot of TLParserExtras::fits for a type text and a record.
inline size_t fit_slot(const char* type, const TLConstructor* record) noexcept {
    auto mixed = reinterpret_cast<uintptr_t>(type) ^ (reinterpret_cast<uintptr_t>(record) >> 3);
    return (mixed ^ (mixed >> 6)) & (TLParserExtras::kFitSlots - 1);
}


}  // namespace

// A failure once the record is known names it, and the parameter being written (null: none).
[[gnu::cold]] static bool object_failed(TLParser* s, const TLConstructor* record, const TLParam* p,
                                        const char* where) noexcept {
    path_field(s, record, p, true);
    return fail<bool>(where);
}

template <class Ops>
bool write_object(TLParser* s, PyObject* value) {
    static constexpr const char* here = TL_WHERE(TLParser, _write_object);
    RecursionGuard depth(" while encoding a TL object");
    if (!depth) return fail<bool>(here);
    // Strict: the boxed type declared where this object stands (null: none, or not strict).
    const char* expected = Ops::strict(s) ? std::exchange(s->extras->expected_type, nullptr) : nullptr;
    bool lasting = expected && s->extras->expected_lasting;
    if (Ops::strict(s) && !PyDict_Check(value)) {
        const char* want = strict_expected(TL_OBJECT, value);
        if (want) {
            if (!strict_failed(want)) PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(value)->tp_name);
            return fail<bool>(here);
        }
    }
    Access access = PyDict_CheckExact(value) ? Access::dict
                    : PyDict_Check(value)    ? Access::dict_subclass
                                             : Access::mapping;
    Ref name;
    if (access == Access::dict) {
        // The name is usually the first item, as unpack and dict literals place it.
        Py_ssize_t pos = 0;
        PyObject *key, *first;
        if (PyDict_Next(value, &pos, &key, &first) && key == interned.underscore) {
            name = Ref::borrow(first);
        } else {
            name = Ref::borrow(PyDict_GetItemWithError(value, interned.underscore));
            if (!name && PyErr_Occurred()) return fail<bool>(here);
        }
    } else {
        name = Ref::steal(PyObject_CallMethodOneArg(value, interned.get, interned.underscore));
        if (!name) return fail<bool>(here);
    }
    if (name && name.get() != Py_None && !PyUnicode_CheckExact(name.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(name.get())->tp_name);
        return fail<bool>(here);
    }
    if (!name || name.get() == Py_None || PyUnicode_GET_LENGTH(name.get()) == 0) {
        PyErr_SetString(PyExc_ValueError, "Object must have '_' field");
        return fail<bool>(here);
    }
    TLSchemaCompiler* compiler = parser_compiler(s);
    if (!compiler) return fail<bool>(here);
    const TLConstructor* record = find_by_name(compiler, name.get());
    if (!record) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "Unknown constructor: %U", name.get());
        return fail<bool>(here);
    }

    if (expected) {
        TLParserExtras* extras = s->extras;
        if (extras->fits_compiles != compiler->maps->compiles) [[unlikely]] {
            std::fill(std::begin(extras->fits), std::end(extras->fits), TLParserExtras::Fit{});
            extras->result_types_of = nullptr;
            extras->fits_compiles = compiler->maps->compiles;
        }
        TLParserExtras::Fit& seen = extras->fits[fit_slot(expected, record)];
        if (seen.type != expected || seen.record != record) {
            if (!strict_record_fits(s, record, expected)) return object_failed(s, record, nullptr, here);
            if (lasting) seen = {expected, record};
        }
    }

    ObjectFields fields(value, access, record);
    if (!fields) return object_failed(s, record, nullptr, here);
    const TLParam* begin = record->params;
    const TLParam* end = begin + record->param_count;
    uint32_t words[2] = {0, 0};  // flags and flags2, worked out before anything is written
    ObjectFields::Tally tally;
    bool walked = access == Access::dict && plan_of(record)->key_slots &&
                  PyDict_GET_SIZE(value) <= 2 * record->param_count + 8 &&
                  (Ops::strict(s) ? fields.walk<true>(record, words, &tally) : fields.walk<false>(record, words));
    if (Ops::strict(s) && !(walked && walked_cleanly(record, tally, words))) {
        const TLParam* culprit = nullptr;
        if (!check_strictly(record, value, fields, walked, &culprit)) return object_failed(s, record, culprit, here);
    }
    if (record->conditional_count) {
        if (!walked) {
            for (const TLParam* p = begin; p != end; ++p) {
                if (p->flags_word || !p->is_conditional) continue;
                PyObject* v;
                int has = fields.get(static_cast<int32_t>(p - begin), p->py_name, &v);
                if (has < 0) return object_failed(s, record, p, here);
                bool present = has && (p->kind == TL_BOOL ? v == Py_True : v != Py_None);
                if (present) words[p->flag_field == 1 ? 1 : 0] |= 1u << (p->flag_bit & 31);
            }
        }
        if ((record->early_conditionals || (words[0] & record->shared_flag_bits[0]) ||
             (words[1] & record->shared_flag_bits[1])) &&
            !check_flag_layout(record, fields, words[0], words[1]))
            return object_failed(s, record, nullptr, here);
    }
    if (!Ops::_write_int32(s, record->id)) return object_failed(s, record, nullptr, here);
    bool written[2] = {false, false};  // whether each flags word is on the wire already
    for (const TLParam* p = begin; p != end; ++p) {
        if (p->flags_word) {
            if (!Ops::_write_int32(s, words[p->flags_word - 1])) return object_failed(s, record, p, here);
            written[p->flags_word - 1] = true;
            continue;
        }
        if (p->is_conditional) {
            bool bit = (words[p->flag_field == 1 ? 1 : 0] >> (p->flag_bit & 31)) & 1;
            if (!bit || p->kind == TL_BOOL) continue;
        }
        PyObject* v;
        int has = fields.get(static_cast<int32_t>(p - begin), p->py_name, &v);
        if (has < 0) return object_failed(s, record, p, here);
        Ref fallback;  // a missing plain field is written as its kind's zero or empty value
        if (p->is_conditional && (!has || v == Py_None)) {
            // Its bit was set by another parameter that shares it. With its flags word already
            // written, a reader will look for this field: leaving it out would make it take the
            // next field's bytes for its value. (A field before its flags word reads as absent.)
            if (!written[p->flag_field == 1 ? 1 : 0]) continue;
            PyErr_Format(PyExc_ValueError,
                         "Missing value for '%U' of '%s': it shares bit %d of %s with a field that is present",
                         p->py_name, record->name, p->flag_bit & 31, p->flag_field == 1 ? "flags2" : "flags");
            return object_failed(s, record, p, here);
        }
        if (Ops::strict(s) && (!has || v == Py_None)) {
            // Only a record whose flags word is itself conditional gets here (walked_cleanly counts
            // plain parameters by the record's counts): check_strictly names what is missing.
            const TLParam* culprit = p;
            if (!check_strictly(record, value, fields, walked, &culprit)) return object_failed(s, record, culprit, here);
        }
        if (!has && !(v = (fallback = default_of(p->kind)).get())) return object_failed(s, record, p, here);
        if (Ops::strict(s)) {  // every value is present here: check_strictly saw to it
            if (const char* want = strict_expected(p->kind, v)) {
                if (!strict_failed(want)) strict_wrong_field(record, p, want, v);
                return object_failed(s, record, p, here);
            }
            if (p->kind == TL_OBJECT) {
                s->extras->expected_type = p->type_name;
                s->extras->expected_lasting = true;
            }
        }
        if (!Ops::_write_value(s, v, p->kind, p->type_name, p->element)) return object_failed(s, record, p, here);
    }
    return true;
}

TL_ENCODER_OPERATIONS(TL_INSTANTIATE_FOR_TABLE)
template bool write_value<Direct>(TLParser*, PyObject*, int32_t, const char*, const TLElementType*);  // pack_as
template bool write_object<Direct>(TLParser*, PyObject*);
template bool write_value<DirectStrict>(TLParser*, PyObject*, int32_t, const char*, const TLElementType*);
template bool write_object<DirectStrict>(TLParser*, PyObject*);

PyObject* TLParser_pack(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* here = TL_WHERE(TLParser, pack);
    auto* s = reinterpret_cast<TLParser*>(op);
    PyObject* value;
    if (!parse_one_arg("pack", "value", args, nargs, kwnames, &value)) return fail<PyObject*>(here);
    BusyGuard busy(s);
    if (!busy) return fail<PyObject*>(here);
    CompilerCall call(s);
    if (!call) return fail<PyObject*>(here);
    if (s->capacity < 1024) {
        void* grown = std::realloc(s->buffer, 1024);
        if (!grown) {
            PyErr_SetNone(PyExc_MemoryError);
            return fail<PyObject*>(here);
        }
        s->buffer = static_cast<unsigned char*>(grown);
        s->capacity = 1024;
    }
    s->position = 0;
    s->parse_error = 0;
    bool strict = strict_mode(s);
    if (strict) s->extras->expected_type = nullptr;
    bool ok = guarded<bool>([&] {
        if (s->ops != &TLParser_default_ops) return s->ops->_write_object(s, value);
        return strict ? write_object<DirectStrict>(s, value) : write_object<Direct>(s, value);
    });
    if (!ok) {
        attach_path_note(s, nullptr, false, 0);
        return fail<PyObject*>(here);
    }
    PyObject* out = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(s->buffer),
                                              static_cast<Py_ssize_t>(s->position));
    if (!out) return fail<PyObject*>(here);
    return out;
}

}  // namespace virel
