// codec/dict_table.hpp: reading and filling a dict's entry table directly. The codec spends much
// of its time walking the caller's dicts (pack) and filling new ones (unpack); the public calls
// for that (PyDict_Next, PyDict_SetItem) pay for generality on every item. On an interpreter whose
// table layout was checked, the codec reads and writes the entries itself; everywhere else, and
// whenever a table is not of the one plain shape handled here, it uses the public calls, with the
// same results.
//
// What makes the direct reads and writes sound, and what would break them, is written out in
// dict_table.md beside this file; in short:
// - A table is filled in place only in a dict that the decoder has just copied from a record's
//   prototype and nobody else has seen: its reference count is 1, its key table its own, the
//   collector does not track it, and no dict watcher watches it. So neither its version tag nor a
//   watcher needs to hear of the writes.
// - No Python code runs between taking an entry array and the last use of it, in the fill (the
//   direct path's operations are all the codec's own) and in the walk of a caller's dict (which
//   keeps a reference to every value it takes before anything else happens).
// - Only a build with the global lock (not free-threaded) of the versions whose layout this file
//   mirrors has the direct paths, and only after `init` found the running interpreter to agree.
// Debug builds (NDEBUG not defined) assert the per-dict conditions as the codec goes.
#pragma once

#include "py_helpers.hpp"

namespace virel::dict_table {

// Whether the direct paths run: the interpreter is the version whose layout this file mirrors,
// the layout checks at module start passed, and VIREL_PUBLIC_API is not set in the environment.
// The module shows it as Virel.tl._direct_dict_path.
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

// CPython 3.12 and 3.13 lay the key table out alike (Objects/dictobject.c, Include/internal/
// pycore_dict.h), except that a free-threaded 3.13 puts a lock before `version`: that build gets
// no direct paths at all.
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define VIREL_DICT_TABLE 1

// The header of a dict's key table. Entries follow the index array, which takes
// 1 << log2_index_bytes bytes.
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

inline Keys* keys_of(PyObject* dict) noexcept {
    return reinterpret_cast<Keys*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
}

// The entries of an exact dict with a combined table of str keys, and their count (deleted ones
// included: their value is null). Null when the dict is of any other shape: then use the public
// calls. The array stays valid only until the dict changes: the caller runs no Python code while
// it uses it.
inline Entry* str_entries(PyObject* dict, Py_ssize_t* count) noexcept {
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    if (!enabled || d->ma_values) return nullptr;
    Keys* keys = keys_of(dict);
    if (keys->kind != kStrKeys) return nullptr;
    *count = keys->nentries;
    return reinterpret_cast<Entry*>(keys->indices + (size_t{1} << keys->log2_index_bytes));
}

// The entries of `copy`, a dict that PyDict_Copy just made of a prototype of `count` items (all
// str keys, none deleted), for storing values in place; null when they cannot be (the direct
// paths are off, or the copy is of another shape): then use PyDict_SetItem. See FieldStore in
// decoder.cpp for the rules of the fill.
inline Entry* entries_to_fill(PyObject* copy, Py_ssize_t count) noexcept {
    Py_ssize_t got;
    Entry* entries = str_entries(copy, &got);
    return entries && got == count ? entries : nullptr;
}

#ifndef NDEBUG
// Whether `dict` may be filled in place through `entries`: an exact dict that only the caller
// holds, untracked and unwatched, whose table is its own, with every entry in use, and `entries`
// still its entry array. Debug builds assert it as a fill starts and ends.
bool fillable(PyObject* dict, const Entry* entries) noexcept;
#endif

#else

inline Entry* str_entries(PyObject*, Py_ssize_t*) noexcept { return nullptr; }
inline Entry* entries_to_fill(PyObject*, Py_ssize_t) noexcept { return nullptr; }
#ifndef NDEBUG
inline bool fillable(PyObject*, const Entry*) noexcept { return false; }
#endif

#endif

}  // namespace virel::dict_table
