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

bool init() noexcept {
    enabled = false;
    const char* off = std::getenv("VIREL_PUBLIC_API");
    if (off && *off && std::strcmp(off, "0") != 0) return true;
    if (((Py_Version >> 16) & 0xFFFF) != 0x030C) return true;  // another interpreter than built for
    // Sample dicts of the sizes the codec meets, grown by insertion as a literal is, and a copy.
    enabled = true;  // for str_entries below; withdrawn unless every sample agrees
    bool agree = true;
    for (int n : {1, 5, 6, 11, 22, 43, 90}) {
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return enabled = false;
        for (int i = 0; i < n && agree; ++i) {
            Ref key = Ref::steal(PyUnicode_FromFormat("k%d", i));
            Ref value = Ref::steal(PyLong_FromLong(1000 + i));
            if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return enabled = false;
        }
        Ref copy = Ref::steal(PyDict_Copy(dict.get()));
        if (!copy) return enabled = false;
        agree = agree && entries_agree(dict.get()) && entries_agree(copy.get());
    }
    // A table that holds a key of another type must not pass for a str-keys one.
    Ref mixed = Ref::steal(Py_BuildValue("{s:i,i:i}", "a", 1, 2, 3));
    if (!mixed) return enabled = false;
    Py_ssize_t count;
    agree = agree && !str_entries(mixed.get(), &count);
    enabled = agree;
    return true;
}

#else

bool init() noexcept { return true; }

#endif

}  // namespace virel::dict_table
