// schema/json_fields.cpp: reading the fields of schema JSON entries: exact types, dict.get, and
// the identifier of an entry.
#include "schema/json_fields.hpp"
#include "error_kinds.hpp"
#include "module_state.hpp"

#include <initializer_list>
#include <string_view>

namespace virel {

bool dict_item(PyObject* dict, PyObject* key, Ref* out) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value;
    int found = PyDict_GetItemRef(dict, key, &value);
    *out = Ref::steal(value);
    return found >= 0;
#else
    // The borrowed value is taken before any other Python code can run: the lookup itself has
    // finished with the key's __eq__. A null value says "absent" or "failed": only the pending
    // exception tells which.
    *out = Ref::borrow(PyDict_GetItemWithError(dict, key));
    return *out || !PyErr_Occurred();
#endif
}

Ref json_top(const ModuleState& state, PyObject* json_data) noexcept {
    if (!PyUnicode_Check(json_data)) return Ref::borrow(json_data);
    PyObject* name = state.strings.json;
    Ref json;
    if (!dict_item(state.dict, name, &json)) return Ref();
    if (!json) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return Ref();
    }
    // Held for the call: json.loads may rebind the module's `json`.
    Ref top = Ref::steal(PyObject_CallMethodOneArg(json.get(), state.strings.loads, json_data));
    if (!top) note_schema_argument(json_data);
    return top;
}

bool expect_exact(PyObject* value, PyTypeObject* type, const char* type_label) noexcept {
    if (value == Py_None || Py_IS_TYPE(value, type)) return true;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type_label, Py_TYPE(value)->tp_name);
    return false;
}

void none_has_no(const char* attribute) noexcept {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", attribute);
}

Ref dict_get(PyObject* dict, PyObject* key, PyObject* fallback) noexcept {
    Ref value;
    if (!dict_item(dict, key, &value)) return Ref();
    return value ? std::move(value) : Ref::borrow(fallback);
}

bool make_json_keys(JsonKeys* keys) noexcept {
    return intern_once(keys->constructors, "constructors") &&
           intern_once(keys->methods, "methods") && intern_once(keys->id, "id") &&
           intern_once(keys->predicate, "predicate") && intern_once(keys->method, "method") &&
           intern_once(keys->type, "type") && intern_once(keys->params, "params") &&
           intern_once(keys->name, "name") && intern_once(keys->empty, "");
}

void release_json_keys(JsonKeys* keys) noexcept {
    for (PyObject** key : {&keys->constructors, &keys->methods, &keys->id, &keys->predicate,
                           &keys->method, &keys->type, &keys->params, &keys->name, &keys->empty})
        Py_CLEAR(*key);
}

bool entry_id(PyObject* value, uint32_t* out) noexcept {
    // Real schemas give identifiers as short signed decimal text: read those directly.
    if (PyUnicode_CheckExact(value) && PyUnicode_IS_ASCII(value)) {
        std::string_view t(static_cast<const char*>(PyUnicode_DATA(value)),
                           static_cast<size_t>(PyUnicode_GET_LENGTH(value)));
        bool negative = !t.empty() && t[0] == '-';
        std::string_view digits = negative ? t.substr(1) : t;
        if (!digits.empty() && digits.size() <= 10 &&
            digits.find_first_not_of("0123456789") == std::string_view::npos) {
            long long v = 0;
            for (char ch : digits) v = v * 10 + (ch - '0');
            if (negative) v = -v;
            if (v >= -0xFFFFFFFFLL && v <= 0xFFFFFFFFLL) {
                *out = static_cast<uint32_t>(static_cast<unsigned long long>(v) & 0xFFFFFFFFu);
                return true;
            }
        }
    }
    Ref n = PyLong_CheckExact(value) ? Ref::borrow(value) : Ref::steal(PyNumber_Long(value));
    if (!n) return false;
    int overflow;
    long long v = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
    if (!overflow && v >= 0 && v <= 0xFFFFFFFFLL) {
        *out = static_cast<uint32_t>(v);
        return true;
    }
    if (!overflow && v < 0) {
        *out = static_cast<uint32_t>(static_cast<unsigned long long>(v) & 0xFFFFFFFFu);
        return true;
    }
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow < 0) {  // a huge negative number: its low 32 bits, as Python's & computes them
        Ref mask = Ref::steal(PyLong_FromUnsignedLong(0xFFFFFFFFul));
        if (!mask) return false;
        Ref low = Ref::steal(PyNumber_And(n.get(), mask.get()));
        if (!low) return false;
        *out = static_cast<uint32_t>(PyLong_AsUnsignedLong(low.get()));
        return !PyErr_Occurred();
    }
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C unsigned int");
    return false;
}

}  // namespace virel
