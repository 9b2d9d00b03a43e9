// codec/encoder.cpp: object dicts -> TL bytes (_write_object, _write_value, _write_vector); the
// primitives they write with come from write_primitives.hpp, text.hpp and integers.hpp.
#include "codec/dict_table.hpp"
#include "error_kinds.hpp"
#include "codec/integers.hpp"
#include "codec/object_fields.hpp"
#include "codec/parser.hpp"
#include "codec/record_plan.hpp"
#include "codec/service.hpp"
#include "codec/strict.hpp"
#include "codec/text.hpp"
#include "codec/write_primitives.hpp"
#include "schema/compiler.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <iterator>
#include <cstdlib>
#include <string_view>
#include <type_traits>
#include <utility>

namespace virel {

// Out of line (noinline), as the kinds that are rare in a message: write_value, which every value
// passes through, stays small. (A vector: with its header or without, as a bare vector.)
template <class Ops, bool kBoxed>
[[gnu::noinline]] static bool write_list(TLParser* self, PyObject* value, const char* type_name,
                                         const TLElementType* element);
template <class Ops>
[[gnu::noinline]] static bool write_bare_object(TLParser* self, PyObject* value,
                                                const char* type_name,
                                                const TLConstructor* record = nullptr);

// Strict encoding: the boxed type that an object must have where it stands (a parameter's, an
// element's or a call's type text; null: none), and whether that text lives as long as the schema
// (a text made for one vector or one call does not), so that a record's fit may be remembered.
struct Expected {
    const char* type = nullptr;
    bool lasting = false;
};
// What _write_object does, with the type the object must have. Inlined into _write_object, the
// hot path of pack; write_object_expecting is its one other instance, for strict encoding.
template <class Ops>
[[gnu::always_inline]] static inline bool write_object_as(TLParser* self, PyObject* value,
                                                          Expected expected);
template <class Ops>
[[gnu::noinline]] static bool write_object_expecting(TLParser* self, PyObject* value,
                                                     Expected expected) {
    return write_object_as<Ops>(self, value, expected);
}
// A value of a declared type (kind, type_name, element): through _write_value, or, for an object
// in strict encoding, straight to write_object_expecting with the type it must have. The native
// interface's _write_object has no parameter for that type: on the table path, a native subclass's
// own _write_object finds it in the parser (the call's state: expect_type), as it always did.
template <class Ops>
static bool write_declared(TLParser* self, PyObject* value, int32_t kind, const char* type_name,
                           const TLElementType* element, bool lasting);

// An int128 or int256: `size` bytes, little-endian, as 64-bit words.
template <class Ops>
[[gnu::noinline]] static bool write_wide(TLParser* self, PyObject* value, size_t size) {
    unsigned char bytes[32];
    if (!tl_wide_of(value, size, bytes)) return false;
    for (size_t at = 0; at < size; at += 8)
        if (!Ops::_write_int64(self, load_le64(bytes + at))) return false;
    return true;
}

// Strict encoding: an object of a declared type. The default _write_object takes the type as an
// argument; a native subclass's own finds it in the parser (see write_declared).
template <class Ops>
static bool write_strict_object(TLParser* self, PyObject* value, Expected expected) {
    if constexpr (!Ops::direct) {
        if (self->ops->_write_object != TLParser_default_ops._write_object) {
            expect_type(self, expected.type, expected.lasting);
            return Ops::_write_object(self, value);
        }
        bool lasting;
        take_expected_type(self, &lasting);  // taken, as the default _write_object takes it
    }
    return write_object_expecting<Ops>(self, value, expected);
}

template <class Ops>
static bool write_declared(TLParser* self, PyObject* value, int32_t kind, const char* type_name,
                           const TLElementType* element, bool lasting) {
    if constexpr (Ops::direct) {
        if (Ops::strict(self) && kind == TL_OBJECT) {  // as _write_value writes it
            if (write_object_expecting<Ops>(self, value, {type_name, lasting})) return true;
            add_traceback(TL_WHERE(TLParser, _write_value));
            return false;
        }
    }
    // The table path: the type is set in the parser too, for a native subclass's own _write_value
    // that hands an object to the default _write_object.
    if (!Ops::direct && Ops::strict(self) && kind == TL_OBJECT) {
        expect_type(self, type_name, lasting);
    }
    return Ops::_write_value(self, value, kind, type_name, element);
}

template <class Ops>
bool write_value(TLParser* self, PyObject* value, int32_t kind, const char* type_name,
                 const TLElementType* element) {
    static constexpr const char* here = TL_WHERE(TLParser, _write_value);
    bool ok;
    switch (kind) {
        case TL_INT: {
            uint32_t v;
            if (!tl_int_of(value, &v)) return fail<bool>(here);
            ok = Ops::_write_int32(self, v);
            break;
        }
        case TL_LONG: {
            uint64_t v;
            if (!tl_long_of(value, &v)) return fail<bool>(here);
            ok = Ops::_write_int64(self, v);
            break;
        }
        case TL_DOUBLE: {
            double v =
                PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value) : PyFloat_AsDouble(value);
            if (v == -1.0 && PyErr_Occurred()) return fail<bool>(here);
            ok = Ops::_write_double(self, v);
            break;
        }
        case TL_STRING:
            ok = Ops::_write_string(self, value);
            break;
        case TL_BYTES: {
            if (value == Py_None) {
                PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
                return fail<bool>(here);
            }
            if (PyBytes_Check(value)) {
                ok = Ops::_write_bytes(self, PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value));
                break;
            }
            // bytearray, memoryview and other contiguous buffers are written as their bytes; a
            // str or a number is refused rather than guessed at.
            Py_buffer view;
            if (PyUnicode_Check(value) || !PyObject_CheckBuffer(value) ||
                PyObject_GetBuffer(value, &view, PyBUF_SIMPLE) < 0) {
                if (!PyErr_Occurred())
                    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes",
                                 Py_TYPE(value)->tp_name);
                return fail<bool>(here);
            }
            ok = Ops::_write_bytes(self, static_cast<const char*>(view.buf), view.len);
            PyBuffer_Release(&view);
            break;
        }
        case TL_BOOL: {
            int truth = PyObject_IsTrue(value);
            if (truth < 0) return fail<bool>(here);
            ok = Ops::_write_int32(self, truth ? 1u : 0u);
            break;
        }
        case TL_VECTOR:
            ok = Ops::_write_vector(self, value, type_name, element);
            break;
        case TL_OBJECT:
            ok = Ops::strict(self) ? write_strict_object<Ops>(self, value, {type_name, false})
                                   : Ops::_write_object(self, value);
            break;
        case TL_INT128:
            ok = write_wide<Ops>(self, value, 16);
            break;
        case TL_INT256:
            ok = write_wide<Ops>(self, value, 32);
            break;
        case TL_BARE_OBJECT:
            ok = write_bare_object<Ops>(self, value, type_name);
            break;
        case TL_BARE_VECTOR:
            ok = write_list<Ops, false>(self, value, type_name, element);
            break;
        default:
            PyErr_Format(PyExc_ValueError, "Unknown type: %d", kind);
            return fail<bool>(here);
    }
    if (!ok) return fail<bool>(here);
    return true;
}

template <class Ops>
bool write_vector(TLParser* self, PyObject* value, const char* type_name,
                  const TLElementType* element) {
    return write_list<Ops, true>(self, value, type_name, element);
}

// A vector: with its header (kBoxed) or without (a bare vector), the count, the elements.
template <class Ops, bool kBoxed>
static bool write_list(TLParser* self, PyObject* value, const char* type_name,
                       const TLElementType* element) {
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
    if (!vector_element(self, type_name, element, &el)) return fail<bool>(here);
    // Bare objects: their record is looked up once for the vector, not at every element.
    const TLConstructor* bare = nullptr;
    if ((el.kind == TL_BARE_OBJECT || (count == 0 && is_vector_kind(el.kind))) &&
        !bare_elements(self, el, count, &bare)) [[unlikely]]
        return fail<bool>(here);  // Departure D44: see ARCHITECTURE.md, "Departures".
    if (kBoxed && !Ops::_write_int32(self, kVectorId)) return fail<bool>(here);
    if (!Ops::_write_int32(self, static_cast<uint32_t>(count))) return fail<bool>(here);
    // Vectors of plain numbers are the bulk of many messages (ids, dates): exact ints that fit
    // are stored straight into room reserved once; any other element takes the general path
    // below from where this loop stopped, so the bytes are the same either way.
    // (Only on the direct path: a native subclass's own writers must see every element.)
    Py_ssize_t i = 0;
    if constexpr (Ops::direct) {
        uint64_t width = el.kind == TL_LONG ? 8 : 4;
        if (el.kind != TL_LONG && el.kind != TL_INT) width = 0;
        if (width && !reserve<Ops>(self, width * static_cast<uint64_t>(count)))
            return fail<bool>(here);
        PyObject** items_at = PySequence_Fast_ITEMS(items.get());
        for (; width && i < count; ++i) {
            PyObject* v = items_at[i];
            if (!PyLong_CheckExact(v)) break;
            int overflow;
            long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (overflow) break;
            if (el.kind == TL_LONG) {
                store_le64(self->buffer + self->position, static_cast<uint64_t>(x));
            } else {
                if (x < INT32_MIN || x > static_cast<long long>(UINT32_MAX)) break;
                store_le32(self->buffer + self->position, static_cast<uint32_t>(x));
            }
            self->position += width;
        }
    }
    for (; i < count; ++i) {
        // Python code run by an element (its __int__, say) may change the caller's list: the
        // count is written already, so a change is an error rather than corrupt output.
        if (PyList_GET_SIZE(items.get()) != count) break;
        Ref item = Ref::borrow(PyList_GET_ITEM(items.get(), i));
        if (Ops::strict(self)) {
            const char* want = strict_expected(el.kind, item.get());
            if (want) {
                if (!strict_failed(want)) strict_wrong_element(el.text, i, want, item.get());
                path_index(self, i, true);
                return fail<bool>(here);
            }
        }
        bool ok;
        if (Ops::direct && bare) {  // as _write_value writes it, without looking the record up
            ok = write_bare_object<Ops>(self, item.get(), el.text, bare);
            if (!ok) add_traceback(TL_WHERE(TLParser, _write_value));
        } else {
            // A text derived for this vector is not the schema's own.
            ok = write_declared<Ops>(self, item.get(), el.kind, el.text, el.inner,
                                     el.derived.empty());
        }
        if (!ok) {
            path_index(self, i, true);
            return fail<bool>(here);
        }
    }
    if (PyList_GET_SIZE(items.get()) != count) {
        // Departure D9: see ARCHITECTURE.md, "Departures".
        PyErr_SetString(PyExc_RuntimeError, "list changed size during pack");
        return fail<bool>(here);
    }
    return true;
}

// The value written for a missing non-conditional parameter.
Ref default_of(int32_t kind) {
    switch (kind) {
        case TL_INT:
        case TL_LONG:
        case TL_INT128:
        case TL_INT256:
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
        case TL_BARE_VECTOR:
            return Ref::steal(PyList_New(0));
        default:  // an object: written, it fails for want of a '_'
            return Ref::steal(PyDict_New());
    }
}

namespace {

// The slot of ParserCaches::fits for a type text and a record.
inline size_t fit_slot(const char* type, const TLConstructor* record) noexcept {
    auto mixed = reinterpret_cast<uintptr_t>(type) ^ (reinterpret_cast<uintptr_t>(record) >> 3);
    return (mixed ^ (mixed >> 6)) & (ParserCaches::kFitSlots - 1);
}

}  // namespace

// A failure once the record is known names it, and the parameter being written (null: none).
[[gnu::cold]] static bool object_failed(TLParser* self, const TLConstructor* record,
                                        const TLParam* p, const char* where) noexcept {
    path_field(self, record, p, true);
    return fail<bool>(where);
}

// How the fields of an object are read (`access`), after strict encoding has refused a value that
// is no dict where that is an error. False with TypeError pending. Shared by boxed and bare objects.
template <class Ops>
[[gnu::always_inline]] static inline bool object_access(TLParser* self, PyObject* value,
                                                        Access* access) {
    if (Ops::strict(self) && !PyDict_Check(value)) {
        if (const char* want = strict_expected(TL_OBJECT, value)) {
            if (!strict_failed(want))
                PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict",
                             Py_TYPE(value)->tp_name);
            return false;
        }
    }
    *access = PyDict_CheckExact(value) ? Access::dict
              : PyDict_Check(value)    ? Access::dict_subclass
                                       : Access::mapping;
    return true;
}

// The record named `name` (an exact str, which may be borrowed) where the name cache has none:
// null with an exception pending when there is no such record. Holds the name meanwhile, as
// what it does may run Python code (a garbage collection).
[[gnu::noinline]] static const TLConstructor* find_record(TLParser* self,
                                                          TLSchemaCompiler* compiler,
                                                          PyObject* name) {
    Ref held = Ref::borrow(name);
    // The hash is the str's own, worked out by find_by_name_cached already.
    const TLConstructor* record =
        find_by_name_slow(compiler, name, reinterpret_cast<PyASCIIObject*>(name)->hash);
    if (!record && !PyErr_Occurred()) {
        PyErr_Format(PyExc_ValueError, "Unknown constructor: %U", name);
        // Departure D35: see ARCHITECTURE.md, "Departures".
        suggest_record_name(self, compiler, name);
    }
    return record;
}

// The record that an object's name (its "_" value, null when it has none) names, and the
// parser's compiler that has it: null with an exception pending when it names none.
[[gnu::always_inline]] static inline const TLConstructor* named_record(
    TLParser* self, PyObject* name, TLSchemaCompiler** compiler_out) {
    if (name && name != Py_None && !PyUnicode_CheckExact(name)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(name)->tp_name);
        return nullptr;
    }
    if (!name || name == Py_None || PyUnicode_GET_LENGTH(name) == 0) {
        PyErr_SetString(PyExc_ValueError, "Object must have '_' field");
        return nullptr;
    }
    TLSchemaCompiler* compiler = *compiler_out = parser_compiler(self);
    if (!compiler) return nullptr;
    Py_hash_t hash;
    if (const TLConstructor* record = find_by_name_cached(compiler, name, &hash)) return record;
    return find_record(self, compiler, name);
}

// The same for a mapping other than a dict, whose `get` gives the name (held until the record is
// found). Out of line: write_object's frame then holds no reference for the common case.
[[gnu::noinline]] static const TLConstructor* mapping_record(TLParser* self, PyObject* value,
                                                             TLSchemaCompiler** compiler) {
    Ref name = Ref::steal(PyObject_CallMethodOneArg(value, interned.get, interned.underscore));
    if (!name) return nullptr;
    return named_record(self, name.get(), compiler);
}

template <class Ops, bool kBoxed>
[[gnu::always_inline]] static inline bool write_record(TLParser* self, PyObject* value,
                                                       Access access, const TLConstructor* record,
                                                       const char* here);

// The _write_object of the native interface: an object with no declared type, but on the table
// path in strict encoding, where a native subclass's own _write_object may hand on the object it
// was given with the type that the parser holds for it (see write_strict_object).
template <class Ops>
bool write_object(TLParser* self, PyObject* value) {
    Expected expected;
    if (!Ops::direct && Ops::strict(self)) {
        expected.type = take_expected_type(self, &expected.lasting);
    }
    return write_object_as<Ops>(self, value, expected);
}

template <class Ops>
static inline bool write_object_as(TLParser* self, PyObject* value, Expected expected) {
    static constexpr const char* here = TL_WHERE(TLParser, _write_object);
    RecursionGuard depth(" while encoding a TL object");
    if (!depth) return fail<bool>(here);
    Access access;
    if (!object_access<Ops>(self, value, &access)) return fail<bool>(here);
    const TLConstructor* record;
    TLSchemaCompiler* compiler = nullptr;
    if (access == Access::dict) {
        // The name is usually the first item, as unpack and dict literals place it. Borrowed (no
        // reference taken, for speed): named_record uses it only until the name cache has found
        // its record, which runs no Python code; find_record, which may run some, holds it.
        PyObject* name;
        Py_ssize_t pos = 0, count;
        PyObject *key, *first;
        dict_table::Entry* entries = dict_table::str_entries(value, &count);
        if (entries && count && entries->value && entries->key == interned.underscore) {
            name = entries->value;
        } else if (!entries && PyDict_Next(value, &pos, &key, &first) &&
                   key == interned.underscore) {
            name = first;
        } else {
            name = PyDict_GetItemWithError(value, interned.underscore);
            if (!name && PyErr_Occurred()) return fail<bool>(here);
        }
        record = named_record(self, name, &compiler);
    } else {
        record = mapping_record(self, value, &compiler);
    }
    if (!record) return fail<bool>(here);

    if (Ops::strict(self) && expected.type) {
        ParserCaches* caches = &self->state->caches;
        if (caches->fits_generation != compiler->maps->generation) [[unlikely]] {
            std::fill(std::begin(caches->fits), std::end(caches->fits), ParserCaches::Fit{});
            caches->result_types_of = nullptr;
            caches->fits_generation = compiler->maps->generation;
        }
        ParserCaches::Fit& seen = caches->fits[fit_slot(expected.type, record)];
        if (seen.type != expected.type || seen.record != record) {
            if (!strict_record_fits(self, record, expected.type))
                return object_failed(self, record, nullptr, here);
            if (expected.lasting) seen = {expected.type, record};
        }
    }

    return write_record<Ops, true>(self, value, access, record, here);
}

// The value `v` of parameter `p` of `record`, present: strict encoding's check of its type (with the
// boxed type an object must have), then the value. False with an exception pending.
template <class Ops>
[[gnu::always_inline]] static inline bool write_field(TLParser* self, const TLConstructor* record,
                                                      const TLParam* p, PyObject* v) {
    if (Ops::strict(self)) {
        if (const char* want = strict_expected(p->kind, v)) {
            if (!strict_failed(want)) strict_wrong_field(record, p, want, v);
            return false;
        }
    }
    return write_declared<Ops>(self, v, p->kind, p->type_name, p->element, true);
}

// The fields of a record with a framed body (codec/service.hpp; none of them optional): the length
// as given, or 0 when absent or None, filled in once the body is written (or checked against it
// when given). False with an exception pending and *culprit set to the parameter at fault.
template <class Ops>
[[gnu::noinline]] static bool write_framed_fields(TLParser* self, const TLConstructor* record,
                                                  ObjectFields& fields, int32_t body,
                                                  const TLParam** culprit) {
    uint64_t length_at = 0;
    bool given = false;
    uint32_t given_length = 0;
    for (int32_t i = 0; i < record->param_count; ++i) {
        const TLParam* p = record->params + i;
        *culprit = p;
        PyObject* v;
        int has = fields.get(i, p->py_name, &v);
        if (has < 0) return false;
        if (i == body - 1) {  // the length: written now, filled in once the body is
            length_at = self->position;
            given = has && v != Py_None;
            if (given && !tl_int_of(v, &given_length)) return false;
            if (!Ops::_write_int32(self, given_length)) return false;
            continue;
        }
        Ref fallback;
        if (!has && !(v = (fallback = default_of(p->kind)).get())) return false;
        const uint64_t before = self->position;
        if (!write_field<Ops>(self, record, p, v)) return false;
        if (i != body) continue;
        const uint64_t length = self->position - before;
        if (given ? length != given_length : length > INT32_MAX) {
            *culprit = p - 1;
            // Departure D30: see ARCHITECTURE.md, "Departures".
            if (given)
                PyErr_Format(PyExc_ValueError,
                             "'%s' of '%s' is %u, but its body '%s' takes %llu bytes", p[-1].name,
                             record->name, given_length, p->name,
                             static_cast<unsigned long long>(length));
            else
                PyErr_Format(PyExc_ValueError, "The body '%s' of '%s' is too long: %llu bytes",
                             p->name, record->name, static_cast<unsigned long long>(length));
            return false;
        }
        store_le32(self->buffer + length_at, static_cast<uint32_t>(length));
    }
    return true;
}

// A parameter due to be written whose value is missing (`has` 0) or None (or whose lookup failed,
// `has` < 0): 1 when it is written (a missing plain field as its kind's zero or empty value, None
// as given) or left out, -1 with an exception pending and *culprit the parameter to name.
template <class Ops>
[[gnu::noinline]] static int write_absent(TLParser* self, const TLConstructor* record,
                                          const TLParam* p, ObjectFields& fields, bool walked,
                                          const bool written[2], int has, PyObject* v,
                                          const TLParam** culprit) {
    if (has < 0) return -1;
    if (p->is_conditional) {
        // Its bit was set by another parameter that shares it. With its flags word already
        // written, a reader will look for this field: leaving it out would make it take the next
        // field's bytes for its value. (A field before its flags word reads as absent.)
        if (!written[p->flag_field == 1 ? 1 : 0]) return 1;
        // Departure D7: see ARCHITECTURE.md, "Departures".
        PyErr_Format(
            PyExc_ValueError,
            "Missing value for '%U' of '%s': it shares bit %d of %s with a field that is present",
            p->py_name, record->name, p->flag_bit & 31, p->flag_field == 1 ? "flags2" : "flags");
        return -1;
    }
    if (Ops::strict(self)) {
        // Only a record whose flags word is itself conditional gets here (walked_cleanly counts
        // plain parameters by the record's counts): check_strictly names what is missing.
        if (!check_strictly(record, fields.object(), fields, walked, culprit)) return -1;
        *culprit = p;
    }
    Ref fallback;  // a missing plain field is written as its kind's zero or empty value
    if (!has && !(v = (fallback = default_of(p->kind)).get())) return -1;
    return write_field<Ops>(self, record, p, v) ? 1 : -1;
}

// The fields of one object of `record`, after its identifier (kBoxed) or without it (a bare
// object). False with an exception pending, its trace naming the record. Inlined into both
// callers: the boxed object is the hot path of pack.
template <class Ops, bool kBoxed>
static inline bool write_record(TLParser* self, PyObject* value, Access access,
                                const TLConstructor* record, const char* here) {
    ObjectFields fields(value, access, record);
    if (!fields) return object_failed(self, record, nullptr, here);
    const TLParam* begin = record->params;
    const TLParam* end = begin + record->param_count;
    uint32_t words[2] = {0, 0};  // flags and flags2, worked out before anything is written
    ObjectFields::Tally tally;
    bool walked = access == Access::dict && plan_of(record)->key_slots &&
                  PyDict_GET_SIZE(value) <= 2 * record->param_count + 8 &&
                  (Ops::strict(self) ? fields.walk<true>(record, words, &tally)
                                     : fields.walk<false>(record, words));
    if (Ops::strict(self) && !(walked && walked_cleanly(record, tally, words))) {
        const TLParam* culprit = nullptr;
        if (!check_strictly(record, value, fields, walked, &culprit))
            return object_failed(self, record, culprit, here);
    }
    if (!plan_of(record)->rare_shape) {
        // Neither conditional parameters nor a framed body: nothing to work out before writing.
    } else if (conditional_count(record)) {
        if (!walked) {
            for (const TLParam* p = begin; p != end; ++p) {
                if (p->flags_word || !p->is_conditional) continue;
                PyObject* v;
                int has = fields.get(static_cast<int32_t>(p - begin), p->py_name, &v);
                if (has < 0) return object_failed(self, record, p, here);
                bool present = has && (p->kind == TL_BOOL ? v == Py_True : v != Py_None);
                if (present) words[p->flag_field == 1 ? 1 : 0] |= 1u << (p->flag_bit & 31);
            }
        }
        if ((early_conditionals(record) || (words[0] & shared_flag_bits(record, 0)) ||
             (words[1] & shared_flag_bits(record, 1))) &&
            !check_flag_layout(record, fields, words[0], words[1]))
            return object_failed(self, record, nullptr, here);
    } else {
        // A framed body (codec/service.hpp): only in a record without conditional parameters.
        const int32_t body = plan_of(record)->framed_body;
        if (kBoxed && !Ops::_write_int32(self, record->id))
            return object_failed(self, record, nullptr, here);
        const TLParam* culprit = nullptr;
        if (!write_framed_fields<Ops>(self, record, fields, body, &culprit))
            return object_failed(self, record, culprit, here);
        return true;
    }
    if (kBoxed && !Ops::_write_int32(self, record->id))
        return object_failed(self, record, nullptr, here);
    bool written[2] = {false, false};  // whether each flags word is on the wire already
    // The parameters to visit, 64 at a time (bit i standing for params[base + i]): of a walked
    // object of at most 64 parameters only those that may be written (the absent optional fields,
    // most of a typical object, are skipped without a look: see TLCodecPlan::always_written),
    // otherwise every one.
    const int32_t count = record->param_count;
    for (int32_t base = 0; base < count; base += 64) {
        uint64_t visit = walked && count <= 64
                             ? plan_of(record)->always_written | fields.present_fields()
                             : ~uint64_t{0} >> (64 - std::min(count - base, 64));
        for (; visit; visit &= visit - 1) {
            const int32_t index = base + std::countr_zero(visit);
            const TLParam* p = begin + index;
            if (p->flags_word) {
                if (!Ops::_write_int32(self, words[p->flags_word - 1]))
                    return object_failed(self, record, p, here);
                written[p->flags_word - 1] = true;
                continue;
            }
            if (p->is_conditional) {
                bool bit = (words[p->flag_field == 1 ? 1 : 0] >> (p->flag_bit & 31)) & 1;
                if (!bit || p->kind == TL_BOOL) continue;
            }
            PyObject* v = nullptr;
            int has = fields.get(index, p->py_name, &v);
            if (has <= 0 || v == Py_None) [[unlikely]] {
                // Out of line for speed: kept in this loop, the state of these rare cases (the
                // fallback value among it) pushed the loop's own variables out of registers.
                const TLParam* culprit = p;
                int done =
                    write_absent<Ops>(self, record, p, fields, walked, written, has, v, &culprit);
                if (done < 0) return object_failed(self, record, culprit, here);
                continue;
            }
            if (!write_field<Ops>(self, record, p, v)) return object_failed(self, record, p, here);
        }
    }
    return true;
}

// A bare object: the record its type text names (or `record`, looked up by the caller), its fields
// without the identifier. The value may name the record under "_" (as unpack gives it) or leave it
// out; another name is an error.
template <class Ops>
static bool write_bare_object(TLParser* self, PyObject* value, const char* type_name,
                              const TLConstructor* record) {
    static constexpr const char* here = TL_WHERE(TLParser, _write_object);
    RecursionGuard depth(" while encoding a TL object");
    if (!depth) return fail<bool>(here);
    if (!record) record = bare_record(self, type_name);
    if (!record) return fail<bool>(here);
    Access access;
    if (!object_access<Ops>(self, value, &access)) return fail<bool>(here);
    Ref name;
    Py_ssize_t count;
    dict_table::Entry* entries;
    if (access == Access::mapping) {
        name = Ref::steal(PyObject_CallMethodOneArg(value, interned.get, interned.underscore));
    } else if (access == Access::dict && (entries = dict_table::str_entries(value, &count)) &&
               count && entries->value && entries->key == interned.underscore) {
        name = Ref::borrow(entries->value);  // first, as unpack and dict literals place it
    } else {
        name = Ref::borrow(PyDict_GetItemWithError(value, interned.underscore));
        if (!name && PyErr_Occurred()) return fail<bool>(here);
        if (!name) name = Ref::borrow(Py_None);
    }
    if (!name) return fail<bool>(here);
    if (name.get() != Py_None &&
        !(PyUnicode_CheckExact(name.get()) && same_text(name.get(), record->py_name))) {
        // Departure D28: a bare object is written as its record's fields only.
        PyErr_Format(PyExc_ValueError, "Expected '_' of the bare %s to be '%U' or absent, got %R",
                     type_name, record->py_name, name.get());
        return fail<bool>(here);
    }
    return write_record<Ops, false>(self, value, access, record, here);
}

TL_ENCODER_OPERATIONS(TL_INSTANTIATE_FOR_TABLE)
template bool write_value<Direct>(TLParser*, PyObject*, int32_t, const char*,
                                  const TLElementType*);  // the methods
template bool write_object<Direct>(TLParser*, PyObject*);
template bool write_value<DirectStrict>(TLParser*, PyObject*, int32_t, const char*,
                                        const TLElementType*);
template bool write_object<DirectStrict>(TLParser*, PyObject*);
// Signed encoding writes as Direct does; instantiated for the service layer, as decoder.cpp does
// for DirectStrict.
template bool write_value<DirectSigned>(TLParser*, PyObject*, int32_t, const char*,
                                        const TLElementType*);
template bool write_object<DirectSigned>(TLParser*, PyObject*);

}  // namespace virel
