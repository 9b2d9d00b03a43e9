// codec/object_fields.cpp: the checks of pack on one object's values: the rare flag layouts and
// strict encoding.
#include "codec/object_fields.hpp"
#include "codec/strict.hpp"

namespace virel {

// The checks for the two rare shapes a record may have (see the compiler): false with ValueError
// pending when the object cannot be written faithfully. The values are all fetched already.
// - A reader takes a field's condition from the flags word read so far: a present field ahead of
//   its word would be written where no reader looks for it. (A record without that word at all
//   writes such fields where its word would be, and readers never see them either way.)
// - A flag given as a false value says its bit is clear; a present field sharing the bit sets it,
//   and a reader would see the flag as True.
[[gnu::noinline, gnu::cold]] bool check_flag_layout(const TLConstructor* record,
                                                    const ObjectFields& fields, uint32_t flags,
                                                    uint32_t flags2) {
    const TLParam* begin = record->params;
    const TLParam* end = begin + record->param_count;
    const uint32_t words[2] = {flags, flags2};
    // Every conditional parameter's value was fetched by the first pass (and is held till the end).
    auto value_of = [&](const TLParam* p) {
        return Ref::borrow(fields.fetched(static_cast<int32_t>(p - begin)));
    };
    if (early_conditionals(record)) {
        bool seen[2] = {false, false};
        const TLParam* early[2] = {nullptr, nullptr};
        for (const TLParam* p = begin; p != end; ++p) {
            if (p->flags_word) {
                const TLParam* first = early[p->flags_word - 1];
                if (first && !seen[p->flags_word - 1]) {
                    // Departure D11: see ARCHITECTURE.md, "Departures".
                    PyErr_Format(
                        PyExc_ValueError,
                        "Cannot pack '%U' of '%s': it comes before %s, the flags word that carries it",
                        first->py_name, record->name, p->flags_word == 2 ? "flags2" : "flags");
                    return false;
                }
                seen[p->flags_word - 1] = true;
                continue;
            }
            int word = p->flag_field == 1 ? 1 : 0;
            if (p->is_conditional && !seen[word] && !early[word] && present(p, value_of(p).get()))
                early[word] = p;
        }
    }
    for (const TLParam* p = begin; p != end; ++p) {
        if (p->flags_word || !p->is_conditional || p->kind != TL_BOOL) continue;
        int word = p->flag_field == 1 ? 1 : 0;
        if (!(words[word] & shared_flag_bits(record, word) & (1u << (p->flag_bit & 31)))) continue;
        Ref v = value_of(p);
        if (!v || v.get() == Py_True || v.get() == Py_None) continue;
        int truth = PyObject_IsTrue(v.get());
        if (truth < 0) return false;
        if (truth) continue;  // a true value other than True: the bit alone speaks for it
        for (const TLParam* q = begin; q != end; ++q) {  // the field that sets the bit
            if (q == p || q->flags_word || !q->is_conditional ||
                (q->flag_field == 1 ? 1 : 0) != word || (q->flag_bit & 31) != (p->flag_bit & 31) ||
                !present(q, value_of(q).get()))
                continue;
            // Departure D10: see ARCHITECTURE.md, "Departures".
            PyErr_Format(PyExc_ValueError,
                         "Flag '%U' of '%s' is false, but '%U' is present and sets bit %d of %s, "
                         "which carries the flag",
                         p->py_name, record->name, q->py_name, p->flag_bit & 31,
                         word ? "flags2" : "flags");
            return false;
        }
    }
    return true;
}

// The checks of strict encoding on one object, before anything of it is written: every key names
// a parameter, every parameter that is not optional has a value, every flag is a bool, and every
// present optional field has a flags word to carry it. False with an exception pending; *culprit
// is the parameter at fault, when there is one.
[[gnu::noinline]] bool check_strictly(const TLConstructor* record, PyObject* value,
                                      ObjectFields& fields, bool walked, const TLParam** culprit) {
    const TLParam* begin = record->params;
    const TLParam* end = begin + record->param_count;
    bool has_word[2] = {false, false};
    const TLParam* orphan[2] = {nullptr,
                                nullptr};  // the first present optional field ahead of its word
    const TLParam* missing = nullptr;  // the first parameter that is not optional and has no value
    Py_ssize_t present = 0;            // keys of the object that name a parameter
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
            // The length of a framed body is worked out when it is missing (codec/service.hpp).
            if ((!has || v == Py_None) && !missing && plan_of(record)->framed_body != p - begin + 1)
                missing = p;
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
    if (!(walked && PyDict_GET_SIZE(value) == present + 1) && !strict_check_keys(record, value))
        return false;
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

}  // namespace virel
