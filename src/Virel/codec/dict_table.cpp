// codec/dict_table.cpp: the layout check behind the direct dict paths.
#include "codec/dict_table.hpp"

#include <cstdlib>
#include <cstring>

namespace virel::dict_table {

bool enabled = false;

#ifdef VIREL_DICT_TABLE

// Whether `str_entries` sees exactly what PyDict_Next sees in `dict`, in the same order.
static bool entries_agree(PyObject* dict) noexcept {
    Py_ssize_t count;
    Entry* entries = str_entries(dict, &count);
    if (!entries || count != PyDict_GET_SIZE(dict)) return false;
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (i >= count || entries[i].key != key || entries[i].value != value) return false;
        ++i;
    }
    return i == count;
}

// Whether a copy of `proto` can be filled in place as the decoder fills one: PyDict_Copy gives it
// a table of its own (not shared with `proto`), of str keys, holding the same entries in the same
// order, and leaves it untracked; a value stored straight into an entry is then what a lookup of
// its key finds, while `proto` keeps its own. 1 if so, 0 if not, -1 with an exception pending.
static int fill_agrees(PyObject* proto) noexcept {
    Ref copy = Ref::steal(PyDict_Copy(proto));
    if (!copy) return -1;
    Py_ssize_t count;
    Entry* entries = entries_to_fill(copy.get(), PyDict_GET_SIZE(proto));
    Entry* proto_entries = str_entries(proto, &count);
    if (!entries || !proto_entries || entries == proto_entries ||
        keys_of(copy.get()) == keys_of(proto) || keys_of(copy.get())->refcnt != 1 ||
        PyObject_GC_IsTracked(copy.get()) || !entries_agree(copy.get()))
        return 0;
    for (Py_ssize_t i = 0; i < count; ++i)
        if (entries[i].key != proto_entries[i].key || entries[i].value != proto_entries[i].value)
            return 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* value = PyLong_FromSsize_t(-1 - i);
        if (!value) return -1;
        PyObject* old = entries[i].value;
        entries[i].value = value;  // takes the new reference
        Py_DECREF(old);
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* key = entries[i].key;
        if (PyDict_GetItemWithError(copy.get(), key) != entries[i].value ||
            PyDict_GetItemWithError(proto, key) != proto_entries[i].value)
            return PyErr_Occurred() ? -1 : 0;
    }
    return entries_agree(copy.get()) ? 1 : 0;
}

bool init() noexcept {
    enabled = false;
    // Departure D15: see ARCHITECTURE.md, "Departures".
    const char* off = std::getenv("VIREL_PUBLIC_API");
    if (off && *off && std::strcmp(off, "0") != 0) return true;
    // Another interpreter than the one built for (the module warns of it): its layout is not ours.
    if (((Py_Version >> 16) & 0xFFFF) != ((PY_VERSION_HEX >> 16) & 0xFFFF)) return true;
    // Sample dicts of the sizes the codec meets, grown by insertion as a literal and a record's
    // prototype are, and a copy of each, then filled in place.
    enabled = true;  // for str_entries below; withdrawn unless every sample agrees
    bool agree = true;
    for (int n : {1, 5, 6, 11, 22, 43, 90}) {
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return enabled = false;
        for (int i = 0; i < n && agree; ++i) {
            Ref key = Ref::steal(PyUnicode_FromFormat("k%d", i));
            Ref value = Ref::steal(PyLong_FromLong(1000 + i));
            if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0)
                return enabled = false;
        }
        Ref copy = Ref::steal(PyDict_Copy(dict.get()));
        if (!copy) return enabled = false;
        agree = agree && entries_agree(dict.get()) && entries_agree(copy.get());
        if (agree) {
            int fills = fill_agrees(dict.get());
            if (fills < 0) return enabled = false;
            agree = fills == 1;
        }
    }
    // A table that holds a key of another type must not pass for a str-keys one.
    Ref mixed = Ref::steal(Py_BuildValue("{s:i,i:i}", "a", 1, 2, 3));
    if (!mixed) return enabled = false;
    Py_ssize_t count;
    agree = agree && !str_entries(mixed.get(), &count);
    enabled = agree;
    return true;
}

#ifndef NDEBUG
bool fillable(PyObject* dict, const Entry* entries) noexcept {
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    Keys* keys = keys_of(dict);
    Py_ssize_t count;
    // The low bits of the version tag say which dict watchers watch the dict (8 of them on 3.12
    // and 3.13). The tag is deprecated for extensions: read here only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    uint64_t watchers = d->ma_version_tag & 0xFF;
#pragma GCC diagnostic pop
    return PyDict_CheckExact(dict) && Py_REFCNT(dict) == 1 && !PyObject_GC_IsTracked(dict) &&
           watchers == 0 && !d->ma_values && keys->refcnt == 1 && keys->kind == kStrKeys &&
           keys->nentries == d->ma_used && str_entries(dict, &count) == entries &&
           count == keys->nentries;
}
#endif

#else

bool init() noexcept { return true; }

#endif

}  // namespace virel::dict_table
