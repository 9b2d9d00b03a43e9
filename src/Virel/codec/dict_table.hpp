// codec/dict_table.hpp: reading and filling a dict's entry table directly. The codec spends much
// of its time walking the caller's dicts (pack) and filling new ones (unpack); the public calls
// for that (PyDict_Next, PyDict_SetItem) pay for generality on every item. On an interpreter whose
// table layout was checked, the codec reads and writes the entries itself; everywhere else, and
// whenever a table is not of the one plain shape handled here, it uses the public calls, with the
// same results.
#pragma once

#include "capi.hpp"

namespace virel::dict_table {

// Whether the direct paths run: the interpreter is the version whose layout this file mirrors,
// the layout checks at module start passed, and VIREL_PUBLIC_API is not set in the environment.
extern bool enabled;

// Checks the layout against the public calls on sample dicts and sets `enabled`; tl.cpp calls it
// once when the module is executed. False with an exception pending only on a failure of the
// interpreter itself (out of memory); a layout that does not match just leaves `enabled` false.
bool init() noexcept;

// One key/value entry of a table whose keys are all str (a dict literal's kind of table).
struct Entry {
    PyObject* key;
    PyObject* value;
};

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
#define VIREL_DICT_TABLE 1

// The header of a dict's key table, as CPython 3.12 lays it out (Objects/dictobject.c). Entries
// follow the index array, which takes 1 << log2_index_bytes bytes.
struct Keys {
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;  // 0: any keys, 1: str keys only, 2: split (an instance's)
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    char indices[];
};
constexpr uint8_t kStrKeys = 1;

// The entries of an exact dict with a combined table of str keys, and their count (deleted ones
// included: their value is null). Null when the dict is of any other shape: then use the public
// calls.
inline Entry* str_entries(PyObject* dict, Py_ssize_t* count) noexcept {
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    if (!enabled || d->ma_values) return nullptr;
    auto* keys = reinterpret_cast<Keys*>(d->ma_keys);
    if (keys->kind != kStrKeys) return nullptr;
    *count = keys->nentries;
    return reinterpret_cast<Entry*>(keys->indices + (size_t{1} << keys->log2_index_bytes));
}

#else

inline Entry* str_entries(PyObject*, Py_ssize_t*) noexcept { return nullptr; }

#endif

}  // namespace virel::dict_table
