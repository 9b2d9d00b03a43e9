// schema/json_fields.hpp: reading the fields of schema JSON entries (json_fields.cpp).
#pragma once

#include "py_helpers.hpp"
#include "module.hpp"

namespace virel {

// The keys of schema JSON, interned when the module is executed (make_json_keys), owned by its
// state (ModuleState::json_keys) and given back with it (release_json_keys).
struct JsonKeys {
    PyObject *constructors, *methods, *id, *predicate, *method, *type, *params, *name, *empty;
};
// False with MemoryError pending; what was made is released by release_json_keys all the same.
bool make_json_keys(JsonKeys* keys) noexcept;
void release_json_keys(JsonKeys* keys) noexcept;

// UTF-8 of an exact str (strict: a lone surrogate raises UnicodeEncodeError), or null.
inline const char* utf8_of(PyObject* text, Py_ssize_t* size) noexcept {
    return PyUnicode_AsUTF8AndSize(text, size);
}

// True when `value` is None or of exactly `type`; else TypeError "Expected <type_label>, got ...".
bool expect_exact(PyObject* value, PyTypeObject* type, const char* type_label) noexcept;

// AttributeError as None raises it for `attribute`.
void none_has_no(const char* attribute) noexcept;

struct ModuleState;

// The top-level object of schema JSON: a str parsed by the module's `json.loads` (looked up in
// the namespace of `state` at the call, so that a replaced `json` takes part), anything else as it
// is. Null with an exception pending; without `json` in the namespace (the module's execution
// failed before it bound it, and a class of it outlived that), NameError as Python raises it.
Ref json_top(const ModuleState& state, PyObject* json_data) noexcept;

// dict[key] of an exact dict, held in *out, which stays empty when the key is absent; false with
// the lookup's own exception pending. Every read of a caller's dict goes through here (or through
// dict_get): the key's __eq__ may run Python code that changes the dict, so nothing read out of it
// is used without a reference of its own, and a failed lookup is never taken for an absent key.
bool dict_item(PyObject* dict, PyObject* key, Ref* out) noexcept;

// dict.get(key, fallback) on an exact dict, as a new reference, for a fallback that is an object;
// null with an exception pending. (Where absence matters, dict_item says it.)
Ref dict_get(PyObject* dict, PyObject* key, PyObject* fallback) noexcept;

// The identifier of an entry: an exact int as it is, anything else through int(); negative
// values are taken modulo 2**32; above 0xFFFFFFFF is an OverflowError. False with it pending.
bool entry_id(PyObject* value, uint32_t* out) noexcept;

}  // namespace virel
