// codec/strict.hpp: what a strict parser refuses when it encodes (TLParser(..., strict=True)).
// The checks run only in the strict instances of the encoder; the default ones never reach them.
#pragma once

#include "codec/parser.hpp"

namespace virel {

// Whether `v` may stand for a mapping in strict encoding: a dict, or a collections.abc.Mapping;
// -1 with an exception pending.
int strict_is_mapping(PyObject* v) noexcept;

// What strict encoding takes for a value of `kind`: null when `v` is such a value, else the name
// of what was expected; (const char*)-1 with an exception pending. The usual value of each kind
// is told by its exact type alone; any other goes through strict_expected_other.
const char* strict_expected_other(int32_t kind, PyObject* v) noexcept;
inline const char* strict_expected(int32_t kind, PyObject* v) noexcept {
    static PyTypeObject* const usual[] = {&PyLong_Type,    &PyLong_Type,  &PyFloat_Type,
                                          &PyUnicode_Type, &PyBytes_Type, &PyBool_Type,
                                          &PyList_Type,    &PyDict_Type};
    static_assert(TL_INT == 0 && TL_OBJECT == 7, "usual[] is indexed by the kind");
    if (static_cast<uint32_t>(kind) <= TL_OBJECT && Py_TYPE(v) == usual[kind]) return nullptr;
    return strict_expected_other(kind, v);
}
inline bool strict_failed(const char* want) noexcept {
    return want == reinterpret_cast<const char*>(-1);
}

// TypeError for a value of the wrong type: of parameter `p` of `record`, of element `index` of a
// vector of `element_text`, or (both null) of a value given as `type_text`. Returns false.
[[gnu::cold]] bool strict_wrong_field(const TLConstructor* record, const TLParam* p,
                                      const char* want, PyObject* v) noexcept;
[[gnu::cold]] bool strict_wrong_element(const char* element_text, Py_ssize_t index,
                                        const char* want, PyObject* v) noexcept;
[[gnu::cold]] bool strict_wrong_value(const char* type_text, const char* want,
                                      PyObject* v) noexcept;

// ValueError for a parameter that is not optional and is missing or None. Returns false.
[[gnu::cold]] bool strict_missing(const TLConstructor* record, const TLParam* p) noexcept;
// ValueError for a present optional field whose record has no flags word to carry it. Returns false.
[[gnu::cold]] bool strict_no_word(const TLConstructor* record, const TLParam* p) noexcept;

// Finds the key of `value` that names no parameter of `record` (or names a flags word, which pack
// computes) and raises ValueError for it, with the closest parameter name when one is close.
// True when every key is a parameter (or "_"). Runs Python code for a mapping that is not a dict.
[[gnu::cold]] bool strict_check_keys(const TLConstructor* record, PyObject* value) noexcept;

// Whether `record` may stand where the type text `expected` (a parameter's or an element's type,
// condition prefix included) is declared: true when its result type is that type, and for a type
// that is no record's result type (a generic one, `!X`, `Object`); else ValueError and false.
bool strict_record_fits(TLParser* self, const TLConstructor* record, const char* expected) noexcept;

}  // namespace virel
