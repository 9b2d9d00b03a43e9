// codec/strict.cpp: the refusals of strict encoding, raised on the failure path only, and the
// test of a nested record against the boxed type its place declares.
#include "codec/strict.hpp"
#include "codec/near_names.hpp"
#include "module_state.hpp"
#include "schema/compiler.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace virel {

int strict_is_mapping(PyObject* v) noexcept {
    if (PyDict_Check(v)) return 1;
    // collections.abc.Mapping, kept in the module's state once found (found anew at each call
    // only when the module has no state: a class of it outlived a failed execution).
    ModuleState* state = module_state();
    Ref mapping =
        Ref::borrow(state ? state->mapping : nullptr);  // held: the check runs Python code
    if (!mapping) {
        Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
        if (!abc) return -1;
        mapping = Ref::steal(PyObject_GetAttrString(abc.get(), "Mapping"));
        if (!mapping) return -1;
        if ((state = module_state()) && !state->mapping) state->mapping = Py_NewRef(mapping.get());
    }
    return PyObject_IsInstance(v, mapping.get());
}

const char* strict_expected_other(int32_t kind, PyObject* v) noexcept {
    switch (kind) {
        case TL_INT:
        case TL_LONG:
            return PyLong_Check(v) && !PyBool_Check(v) ? nullptr : "int";
        case TL_DOUBLE:
            return (PyFloat_Check(v) || PyLong_Check(v)) && !PyBool_Check(v) ? nullptr
                                                                             : "int or float";
        case TL_STRING:
            return PyUnicode_Check(v) ? nullptr : "str";
        case TL_BYTES:
            return PyObject_CheckBuffer(v) ? nullptr : "a bytes-like object";
        case TL_BOOL:
            return PyBool_Check(v) ? nullptr : "bool";
        case TL_INT128:
        case TL_INT256:
            return (PyLong_Check(v) && !PyBool_Check(v)) ||
                           (!PyUnicode_Check(v) && PyObject_CheckBuffer(v))
                       ? nullptr
                       : "int or a bytes-like object";
        case TL_VECTOR:
        case TL_BARE_VECTOR:
            return PyList_Check(v) || PyTuple_Check(v) ? nullptr : "list or tuple";
        case TL_OBJECT:
        case TL_BARE_OBJECT: {
            if (PyDict_Check(v)) return nullptr;
            int is = strict_is_mapping(v);
            return is > 0 ? nullptr : is == 0 ? "dict" : reinterpret_cast<const char*>(-1);
        }
        default:
            return nullptr;  // the writer itself refuses an unknown kind
    }
}

bool strict_wrong_field(const TLConstructor* record, const TLParam* p, const char* want,
                        PyObject* v) noexcept {
    PyErr_Format(PyExc_TypeError, "'%s' of '%s' takes %s, got %.200s", p->name, record->name, want,
                 Py_TYPE(v)->tp_name);
    return false;
}

// A type text without its condition prefix ("flags.3?Vector<long>" -> "Vector<long>").
static const char* proper_type(const char* text) noexcept {
    const char* mark = std::strchr(text, '?');
    return mark ? mark + 1 : text;
}

bool strict_wrong_element(const char* element_text, Py_ssize_t index, const char* want,
                          PyObject* v) noexcept {
    PyErr_Format(PyExc_TypeError, "element %zd of a Vector<%s> takes %s, got %.200s", index,
                 element_text ? proper_type(element_text) : "int", want, Py_TYPE(v)->tp_name);
    return false;
}

bool strict_wrong_value(const char* type_text, const char* want, PyObject* v) noexcept {
    PyErr_Format(PyExc_TypeError, "a value of type '%s' takes %s, got %.200s", type_text, want,
                 Py_TYPE(v)->tp_name);
    return false;
}

bool strict_missing(const TLConstructor* record, const TLParam* p) noexcept {
    PyErr_Format(
        PyExc_ValueError,
        "Missing value for '%s' of '%s': it is not optional, and strict pack writes no default",
        p->name, record->name);
    return false;
}

bool strict_no_word(const TLConstructor* record, const TLParam* p) noexcept {
    PyErr_Format(PyExc_ValueError,
                 "Cannot pack '%s' of '%s': the record has no %s word to carry it", p->name,
                 record->name, p->flag_field == 1 ? "flags2" : "flags");
    return false;
}

namespace {

// The parameter (not a flags word) whose name is closest to `key`, when it is close: at most a
// third of the longer name changed. Null when none is.
const TLParam* closest_param(const TLConstructor* record, std::string_view key) {
    const TLParam* best = nullptr;
    size_t best_distance = 0;
    for (int32_t i = 0; i < record->param_count; ++i) {
        const TLParam& p = record->params[i];
        if (p.flags_word) continue;
        size_t d;
        if (!near_name(key, p.name, &d) || (best && d >= best_distance)) continue;
        best = &p;
        best_distance = d;
    }
    return best;
}

// The parameter that an exact str key names (flags words included), or null.
const TLParam* param_named(const TLConstructor* record, PyObject* key) noexcept {
    for (int32_t i = 0; i < record->param_count; ++i)
        if (same_text(record->params[i].py_name, key)) return &record->params[i];
    return nullptr;
}

// How many characters of an unknown key its refusal shows: a key may be megabytes long, and
// repr's work on it (character by character) would then cost far more than the whole check.
constexpr Py_ssize_t kShownKeyMax = 200;  // Departure D46: see ARCHITECTURE.md, "Departures".

// repr(key) for the refusal's message; a str longer than kShownKeyMax shows the repr of its first
// kShownKeyMax characters and its length. Null with an exception pending.
PyObject* key_repr(PyObject* key) noexcept {
    if (!PyUnicode_CheckExact(key) || PyUnicode_GET_LENGTH(key) <= kShownKeyMax)
        return PyObject_Repr(key);
    Ref head = Ref::steal(PyUnicode_Substring(key, 0, kShownKeyMax));
    if (!head) return nullptr;
    return PyUnicode_FromFormat("%R... (%zd characters)", head.get(), PyUnicode_GET_LENGTH(key));
}

// Checks one key; false with ValueError pending when it names no parameter.
bool check_key(const TLConstructor* record, PyObject* key) {
    if (PyUnicode_CheckExact(key)) {
        if (same_text(key, interned.underscore)) return true;
        if (const TLParam* p = param_named(record, key)) {
            if (!p->flags_word) return true;
            PyErr_Format(
                PyExc_ValueError,
                "'%U' of '%s' is computed by pack from the optional fields present: leave it out",
                key, record->name);
            return false;
        }
        // A key too long to be near any name is not even encoded (that alone would cost more
        // than the whole check).
        Py_ssize_t size;
        const char* utf8 = PyUnicode_GET_LENGTH(key) <= static_cast<Py_ssize_t>(kNearNameMax)
                               ? PyUnicode_AsUTF8AndSize(key, &size)
                               : nullptr;
        if (utf8) {
            if (const TLParam* near = closest_param(record, {utf8, static_cast<size_t>(size)})) {
                PyErr_Format(PyExc_ValueError, "'%U' is no parameter of '%s' (did you mean '%s'?)",
                             key, record->name, near->name);
                return false;
            }
        } else if (PyErr_Occurred()) {
            // A lone surrogate has no UTF-8 form, and is near no name: the key is refused as any
            // other unknown one.
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
            PyErr_Clear();
        }
    }
    Ref shown = Ref::steal(key_repr(key));
    if (!shown) return false;
    PyErr_Format(PyExc_ValueError, "%U is no parameter of '%s'", shown.get(), record->name);
    return false;
}

}  // namespace

bool strict_check_keys(const TLConstructor* record, PyObject* value) noexcept {
    return guarded<bool>([&] {
        if (PyDict_Check(value)) {
            // The keys are read into a list first: a key's own __eq__ could change the dict.
            Ref keys = Ref::steal(PyDict_Keys(value));
            if (!keys) return false;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i)
                if (!check_key(record, PyList_GET_ITEM(keys.get(), i))) return false;
            return true;
        }
        Ref it = Ref::steal(PyObject_GetIter(value));
        if (!it) return false;
        while (Ref key = Ref::steal(PyIter_Next(it.get())))
            if (!check_key(record, key.get())) return false;
        return !PyErr_Occurred();
    });
}

bool strict_record_fits(TLParser* self, const TLConstructor* record,
                        const char* expected) noexcept {
    std::string_view want(proper_type(expected));
    if (want == record->result_type || want.starts_with('!') || want == "Object") return true;
    // Only a type that some record has as its result type is checked.
    const TLSchema* schema = self->schema;
    if (!self->state || !schema) return true;
    ParserCaches* caches = &self->state->caches;
    bool known = guarded<bool>([&] {
        if (caches->result_types_of != schema) {
            caches->result_types.clear();
            caches->result_types_of = nullptr;
            for (int32_t i = 0; i < schema->count; ++i)
                if (const char* t = schema->constructors[i].result_type)
                    caches->result_types.try_emplace(t, true);
            caches->result_types_of = schema;
        }
        return caches->result_types.contains(want);
    });
    if (PyErr_Occurred()) return false;
    if (!known) return true;
    PyErr_Format(PyExc_ValueError, "Expected an object of type %s, got '%s' of type %s",
                 std::string(want).c_str(), record->name, record->result_type);
    return false;
}

}  // namespace virel
