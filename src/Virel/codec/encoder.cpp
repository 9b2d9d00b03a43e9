// codec/encoder.cpp: object dicts -> TL bytes (_write_object, _write_value, _write_vector); the
// primitives they write with come from write_primitives.hpp, text.hpp and integers.hpp.
#include "codec/dict_table.hpp"
#include "codec/integers.hpp"
#include "codec/parser.hpp"
#include "codec/strict.hpp"
#include "codec/text.hpp"
#include "codec/write_primitives.hpp"
#include "schema/compiler.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <cstdlib>
#include <string_view>
#include <type_traits>
#include <utility>

namespace virel {

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

// How an object value is read: an exact dict directly; a dict subclass by presence in its own key
// table and its own item access; any other mapping with a `get` by `in` and item access.
enum class Access { dict, dict_subclass, mapping };

// The value under `key`: 1 with *out set, 0 when the key is absent, -1 with an exception pending.
int lookup(PyObject* obj, Access access, PyObject* key, Ref* out) {
    if (access == Access::dict) {
        PyObject* v = PyDict_GetItemWithError(obj, key);  // borrowed
        if (!v) return PyErr_Occurred() ? -1 : 0;
        *out = Ref::borrow(v);  // Python code may run before we are done with it
        return 1;
    }
    int has = access == Access::dict_subclass ? PyDict_Contains(obj, key) : PySequence_Contains(obj, key);
    if (has <= 0) return has;
    *out = Ref::steal(PyObject_GetItem(obj, key));
    return *out ? 1 : -1;
}

// The values of one object's parameters, each fetched at most once and held (a strong reference)
// until the object is written: the flags words and the fields written always agree, whatever a
// mapping answers on a second ask or Python code changes meanwhile. An exact dict whose keys are
// all str is read in one walk over its items (`walk`), each key matched to its parameter (the one
// expected next, else through the record's key table), so absent optional fields (most of a
// typical object) cost nothing, and the flags words are worked out on the way. Any other object,
// and a dict with a key of another type (whose own __eq__ takes part in a lookup), is read key by
// key as the parameters ask (`get`).
class ObjectFields {
public:
    ObjectFields(PyObject* obj, Access access, const TLConstructor* record) noexcept
        : obj_(obj), access_(access), count_(record->param_count) {
        if (count_ > kInline) {
            values_ = static_cast<PyObject**>(PyMem_Malloc(static_cast<size_t>(count_) * sizeof(PyObject*)));
            if (!values_) {
                count_ = 0;
                PyErr_NoMemory();
                return;
            }
        }
    }
    ~ObjectFields() {
        if (walked_) {
            for (int32_t i = 0; i < count_; ++i) Py_XDECREF(values_[i]);
        } else {
            for (int32_t i = 0; i < filled_; ++i)
                if (values_[i] != kUnknown) Py_XDECREF(values_[i]);
        }
        if (values_ != inline_) PyMem_Free(values_);
    }
    ObjectFields(const ObjectFields&) = delete;
    ObjectFields& operator=(const ObjectFields&) = delete;
    explicit operator bool() const noexcept { return values_ != nullptr; }

    // What strict encoding needs to know of a walked dict, counted on the way (only by the strict
    // instance of `walk`): the keys that named no parameter ("_" among them), the plain parameters
    // given a value other than None, and whether a flag was given something other than True,
    // False or None.
    struct Tally {
        Py_ssize_t unmatched = 0;
        int32_t plain = 0;
        bool odd = false;
    };

    // Reads an exact dict's items and sets the flags words from the conditional fields present.
    // False when the dict cannot be read this way (a key that is not an exact str): then nothing
    // is held and `get` serves every field.
    template <bool kCount>
    bool walk(const TLConstructor* record, uint32_t words[2], Tally* tally = nullptr) noexcept {
        for (int32_t i = 0; i < count_; ++i) values_[i] = nullptr;
        // Keys are matched in order to the record's keys first (dicts that unpack made, or written
        // as literals, keep the schema's order and their keys are the same interned strs), then
        // through the key table.
        const TLValueKey* keys = record->value_keys;
        const int32_t nkeys = record->value_count;
        int32_t next = 0;  // the key expected next
        Tally counts;      // kCount only
        auto take = [&](PyObject* key, PyObject* value) {
            int32_t k = next;
            if (k >= nkeys || keys[k].key != key) {
                if (!PyUnicode_CheckExact(key)) return false;
                int32_t i = param_of_key(record, key);
                if (i < 0) {  // "_", or a key of no parameter
                    if constexpr (kCount) ++counts.unmatched;
                    return true;
                }
                while (k < nkeys && keys[k].param != i) ++k;  // mostly a few optional keys skipped
                if (k == nkeys)
                    for (k = 0; keys[k].param != i; ++k) {
                    }
            }
            const TLValueKey& slot = keys[k];
            values_[slot.param] = Py_NewRef(value);
            if (slot.bit && (slot.is_flag ? value == Py_True : value != Py_None)) words[slot.word] |= slot.bit;
            if constexpr (kCount) {
                if (!slot.bit) counts.plain += value != Py_None;
                else if (slot.is_flag && value != Py_True && value != Py_False && value != Py_None)
                    counts.odd = true;
            }
            next = k + 1;
            return true;
        };
        bool ok = true;
        Py_ssize_t count, pos = 0;
        if (dict_table::Entry* entries = dict_table::str_entries(obj_, &count)) {
            // `take` runs no Python code, so the dict cannot change under the loop; it holds a
            // reference to each value, so what Python code does to the dict later is no matter.
            for (Py_ssize_t k = pos; k < count && ok; ++k)
                if (entries[k].value) ok = take(entries[k].key, entries[k].value);
            [[maybe_unused]] Py_ssize_t count_after;
            assert(dict_table::str_entries(obj_, &count_after) == entries && count_after == count);
        } else {
            PyObject *key, *value;
            while (ok && PyDict_Next(obj_, &pos, &key, &value)) ok = take(key, value);
        }
        walked_ = ok;
        if constexpr (kCount) *tally = counts;
        if (!ok) {
            for (int32_t i = 0; i < count_; ++i) Py_CLEAR(values_[i]);
            words[0] = words[1] = 0;
        }
        return ok;
    }

    // The value of parameter `index`, borrowed (this object holds it): 1 with *out set, 0 when
    // absent, -1 with an exception pending.
    int get(int32_t index, PyObject* key, PyObject** out) {
        if (walked_) {
            *out = values_[index];
            return *out ? 1 : 0;
        }
        if (filled_ == 0) {
            for (int32_t i = 0; i < count_; ++i) values_[i] = kUnknown;
            filled_ = count_;
        }
        if (values_[index] == kUnknown) {
            Ref v;
            int has = lookup(obj_, access_, key, &v);
            if (has < 0) return -1;
            values_[index] = v.release();  // null: absent
        }
        *out = values_[index];
        return *out ? 1 : 0;
    }
    // The value of a parameter fetched already (borrowed; null when absent).
    PyObject* fetched(int32_t index) const noexcept { return values_[index]; }

private:
    static constexpr int32_t kInline = 12;  // small, as this sits in every nesting level's frame
    static inline PyObject* const kUnknown = reinterpret_cast<PyObject*>(alignof(PyObject));
    PyObject* obj_;
    Access access_;
    int32_t count_;
    int32_t filled_ = 0;   // key by key: how many slots hold a value or kUnknown
    bool walked_ = false;  // every slot holds its value or null
    PyObject* inline_[kInline];
    PyObject** values_ = inline_;
};

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

// Whether a conditional parameter is present in an object, by the rule that sets its bit: a flag
// (true or Bool) when it is True, any other field when it is not None.
bool present(const TLParam* p, PyObject* v) noexcept {
    return v && (p->kind == TL_BOOL ? v == Py_True : v != Py_None);
}

// The checks for the two rare shapes a record may have (see the compiler): false with ValueError
// pending when the object cannot be written faithfully. The values are all fetched already.
// - A reader takes a field's condition from the flags word read so far: a present field ahead of
//   its word would be written where no reader looks for it. (A record without that word at all
//   writes such fields where its word would be, and readers never see them either way.)
// - A flag given as a false value says its bit is clear; a present field sharing the bit sets it,
//   and a reader would see the flag as True.
[[gnu::noinline, gnu::cold]] bool check_flag_layout(const TLConstructor* record, const ObjectFields& fields,
                                                    uint32_t flags, uint32_t flags2) {
    const TLParam* begin = record->params;
    const TLParam* end = begin + record->param_count;
    const uint32_t words[2] = {flags, flags2};
    // Every conditional parameter's value was fetched by the first pass (and is held till the end).
    auto value_of = [&](const TLParam* p) { return Ref::borrow(fields.fetched(static_cast<int32_t>(p - begin))); };
    if (record->early_conditionals) {
        bool seen[2] = {false, false};
        const TLParam* early[2] = {nullptr, nullptr};
        for (const TLParam* p = begin; p != end; ++p) {
            if (p->flags_word) {
                const TLParam* e = early[p->flags_word - 1];
                if (e && !seen[p->flags_word - 1]) {
                    PyErr_Format(PyExc_ValueError,
                                 "Cannot pack '%U' of '%s': it comes before %s, the flags word that carries it",
                                 e->py_name, record->name, p->flags_word == 2 ? "flags2" : "flags");
                    return false;
                }
                seen[p->flags_word - 1] = true;
                continue;
            }
            int word = p->flag_field == 1 ? 1 : 0;
            if (p->is_conditional && !seen[word] && !early[word] && present(p, value_of(p).get())) early[word] = p;
        }
    }
    for (const TLParam* p = begin; p != end; ++p) {
        if (p->flags_word || !p->is_conditional || p->kind != TL_BOOL) continue;
        int word = p->flag_field == 1 ? 1 : 0;
        if (!(words[word] & record->shared_flag_bits[word] & (1u << (p->flag_bit & 31)))) continue;
        Ref v = value_of(p);
        if (!v || v.get() == Py_True || v.get() == Py_None) continue;
        int truth = PyObject_IsTrue(v.get());
        if (truth < 0) return false;
        if (truth) continue;  // a true value other than True: the bit alone speaks for it
        for (const TLParam* q = begin; q != end; ++q) {  // the field that sets the bit
            if (q == p || q->flags_word || !q->is_conditional || (q->flag_field == 1 ? 1 : 0) != word ||
                (q->flag_bit & 31) != (p->flag_bit & 31) || !present(q, value_of(q).get()))
                continue;
            PyErr_Format(PyExc_ValueError,
                         "Flag '%U' of '%s' is false, but '%U' is present and sets bit %d of %s, "
                         "which carries the flag",
                         p->py_name, record->name, q->py_name, p->flag_bit & 31, word ? "flags2" : "flags");
            return false;
        }
    }
    return true;
}

// The checks of strict encoding on one object, before anything of it is written: every key names
// a parameter, every parameter that is not optional has a value, every flag is a bool, and every
// present optional field has a flags word to carry it. False with an exception pending; *culprit
// is the parameter at fault, when there is one.
[[gnu::noinline]] bool check_strictly(const TLConstructor* record, PyObject* value, ObjectFields& fields, bool walked,
                                      const TLParam** culprit) {
    const TLParam* begin = record->params;
    const TLParam* end = begin + record->param_count;
    bool has_word[2] = {false, false};
    const TLParam* orphan[2] = {nullptr, nullptr};  // the first present optional field ahead of its word
    const TLParam* missing = nullptr;  // the first parameter that is not optional and has no value
    Py_ssize_t present = 0;  // keys of the object that name a parameter
    for (const TLParam* p = begin; p != end; ++p) {
        if (p->flags_word) {
            has_word[p->flags_word - 1] = true;
            continue;
        }
        PyObject* v;
        int has = fields.get(static_cast<int32_t>(p - begin), p->py_name, &v);
        if (has < 0) {
            *culprit = p;
            return false;
        }
        present += has;
        if (!p->is_conditional) {
            if ((!has || v == Py_None) && !missing) missing = p;
            continue;
        }
        if (!has || v == Py_None) continue;
        if (p->kind == TL_BOOL) {
            if (!PyBool_Check(v)) {
                *culprit = p;
                return strict_wrong_field(record, p, "bool", v);
            }
            if (v == Py_False) continue;
        }
        int word = p->flag_field == 1 ? 1 : 0;
        if (!has_word[word] && !orphan[word]) orphan[word] = p;
    }
    // A walked dict's keys that name no parameter were skipped: they show in its size. (An unknown
    // key comes first: it is often the missing parameter misspelled.)
    if (!(walked && PyDict_GET_SIZE(value) == present + 1) && !strict_check_keys(record, value)) return false;
    if (missing) {
        *culprit = missing;
        return strict_missing(record, missing);
    }
    for (int word = 0; word < 2; ++word) {
        if (orphan[word] && !has_word[word]) {
            *culprit = orphan[word];
            return strict_no_word(record, orphan[word]);
        }
    }
    return true;
}

// The slot of TLParserExtras::fits for a type text and a record.
inline size_t fit_slot(const char* type, const TLConstructor* record) noexcept {
    auto mixed = reinterpret_cast<uintptr_t>(type) ^ (reinterpret_cast<uintptr_t>(record) >> 3);
    return (mixed ^ (mixed >> 6)) & (TLParserExtras::kFitSlots - 1);
}

// Whether the single walk of a dict leaves strict encoding nothing to refuse before writing: every
// key but "_" named a parameter, every plain parameter has a value, every flag given is a bool,
// and each flags word that a present field needs is in the record. When it does not,
// check_strictly looks again and raises what it finds.
inline bool walked_cleanly(const TLConstructor* record, const ObjectFields::Tally& tally,
                           const uint32_t words[2]) noexcept {
    if (tally.unmatched != 1 || tally.odd ||
        tally.plain != record->value_count - record->conditional_count)
        return false;
    for (int word = 0; word < 2; ++word) {
        if (!words[word]) continue;
        const TLParam* p = record->params;
        const TLParam* end = p + record->param_count;
        while (p != end && p->flags_word != word + 1) ++p;  // flags is nearly always the first
        if (p == end) return false;
    }
    return true;
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
        if (PyDict_Next(value, &pos, &key, &first) && key == str.underscore) {
            name = Ref::borrow(first);
        } else {
            name = Ref::borrow(PyDict_GetItemWithError(value, str.underscore));
            if (!name && PyErr_Occurred()) return fail<bool>(here);
        }
    } else {
        name = Ref::steal(PyObject_CallMethodOneArg(value, str.get, str.underscore));
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
    TLSchemaCompiler* c = parser_compiler(s);
    if (!c) return fail<bool>(here);
    const TLConstructor* record = find_by_name(c, name.get());
    if (!record) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "Unknown constructor: %U", name.get());
        return fail<bool>(here);
    }

    if (expected) {
        TLParserExtras* extras = s->extras;
        if (extras->fits_compiles != c->maps->compiles) [[unlikely]] {
            std::fill(std::begin(extras->fits), std::end(extras->fits), TLParserExtras::Fit{});
            extras->result_types_of = nullptr;
            extras->fits_compiles = c->maps->compiles;
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
    bool walked = access == Access::dict && record->key_slots &&
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
template bool write_value<Direct>(TLParser*, PyObject*, int32_t, const char*, const TLElementType*);  // the entry points
template bool write_object<Direct>(TLParser*, PyObject*);
template bool write_value<DirectStrict>(TLParser*, PyObject*, int32_t, const char*, const TLElementType*);
template bool write_object<DirectStrict>(TLParser*, PyObject*);

}  // namespace virel
