// codec/object_fields.hpp: how pack reads the values of one object (ObjectFields), and the checks
// made on them before anything of the object is written (object_fields.cpp).
#pragma once

#include "codec/dict_table.hpp"
#include "codec/parser.hpp"
#include "codec/record_plan.hpp"

namespace virel {

// How an object value is read: an exact dict directly; a dict subclass by presence in its own key
// table and its own item access; any other mapping with a `get` by `in` and item access.
enum class Access { dict, dict_subclass, mapping };

// The value under `key`: 1 with *out set, 0 when the key is absent, -1 with an exception pending.
inline int lookup(PyObject* obj, Access access, PyObject* key, Ref* out) {
    if (access == Access::dict) {
        PyObject* v = PyDict_GetItemWithError(obj, key);  // borrowed
        if (!v) return PyErr_Occurred() ? -1 : 0;
        *out = Ref::borrow(v);  // Python code may run before we are done with it
        return 1;
    }
    int has =
        access == Access::dict_subclass ? PyDict_Contains(obj, key) : PySequence_Contains(obj, key);
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
// Departure D8: see ARCHITECTURE.md, "Departures".
class ObjectFields {
public:
    ObjectFields(PyObject* obj, Access access, const TLConstructor* record) noexcept
        : obj_(obj), access_(access), count_(record->param_count) {
        if (count_ > kInline) {
            values_ = static_cast<PyObject**>(
                PyMem_Malloc(static_cast<size_t>(count_) * sizeof(PyObject*)));
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
        const ValueKey* keys = plan_of(record)->value_keys.get();
        const int32_t nkeys = record->value_count;
        int32_t next = 0;      // the key expected next
        uint64_t present = 0;  // see present_fields
        Tally counts;          // kCount only
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
                // Only noted here, in the object rather than a local, for speed: a call in this
                // loop, or one more variable it keeps, would cost every key.
                if (keys[k].key != key && should_adopt(plan_of(record), i, key)) [[unlikely]]
                    adopt_ = true;
            }
            const ValueKey& slot = keys[k];
            values_[slot.param] = Py_NewRef(value);
            if (slot.bit && (slot.is_flag ? value == Py_True : value != Py_None)) {
                words[slot.word] |= slot.bit;
                present |= slot.visit;
            }
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
        if (adopt_ && ok) [[unlikely]]
            adopt_keys(record, obj_);  // later calls match the caller's keys by identity
        walked_ = ok;
        present_ = ok ? present : 0;
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
    // After a walk: the conditional fields (not flags) present: the bitwise or of their ValueKey::visit.
    uint64_t present_fields() const noexcept { return present_; }
    // The object read.
    PyObject* object() const noexcept { return obj_; }
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
    bool adopt_ = false;  // walk: a key of the caller's should replace the plan's (see TLCodecPlan)
    uint64_t present_ = 0;
    PyObject* inline_[kInline];
    PyObject** values_ = inline_;
};

// Whether a conditional parameter is present in an object, by the rule that sets its bit: a flag
// (true or Bool) when it is True, any other field when it is not None.
inline bool present(const TLParam* p, PyObject* v) noexcept {
    return v && (p->kind == TL_BOOL ? v == Py_True : v != Py_None);
}

// The checks for the two rare shapes a record may have (see the compiler): false with ValueError
// pending when the object cannot be written faithfully. The values are all fetched already.
// - A reader takes a field's condition from the flags word read so far: a present field ahead of
//   its word would be written where no reader looks for it. (A record without that word at all
//   writes such fields where its word would be, and readers never see them either way.)
// - A flag given as a false value says its bit is clear; a present field sharing the bit sets it,
//   and a reader would see the flag as True.
[[gnu::noinline, gnu::cold]] bool check_flag_layout(const TLConstructor* record,
                                                    const ObjectFields& fields, uint32_t flags,
                                                    uint32_t flags2);

// The checks of strict encoding on one object, before anything of it is written: every key names
// a parameter, every parameter that is not optional has a value, every flag is a bool, and every
// present optional field has a flags word to carry it. False with an exception pending; *culprit
// is the parameter at fault, when there is one.
[[gnu::noinline]] bool check_strictly(const TLConstructor* record, PyObject* value,
                                      ObjectFields& fields, bool walked, const TLParam** culprit);

// Whether the single walk of a dict leaves strict encoding nothing to refuse before writing: every
// key but "_" named a parameter, every plain parameter has a value, every flag given is a bool,
// and each flags word that a present field needs is in the record. When it does not,
// check_strictly looks again and raises what it finds.
inline bool walked_cleanly(const TLConstructor* record, const ObjectFields::Tally& tally,
                           const uint32_t words[2]) noexcept {
    if (tally.unmatched != 1 || tally.odd ||
        tally.plain != record->value_count - conditional_count(record))
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

}  // namespace virel
