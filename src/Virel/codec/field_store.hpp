// codec/field_store.hpp: how the decoder stores an object's values into the dict it returns.
#pragma once

#include "codec/dict_table.hpp"
#include "schema/compiler.hpp"

#include <cassert>

namespace virel {

// Stores the values of one object into a copy of its record's prototype: through the dict's
// entry table directly where it can (each parameter's key sits at a known place in the copy),
// else through PyDict_SetItem.
//
// Writing into the table is sound only while nothing else can see the dict or change it (see
// dict_table.md). The copy is new, owned by the reader alone (PyDict_Copy gave it a key table of
// its own), and untracked by the collector (the prototype holds no container, and the copy keeps
// the prototype's tracking), so no Python code finds it through the gc module; it stays untracked
// while the values go in, and is tracked (when a value needs it) only once they are in (`finish`).
// Nobody has seen it, so no dict watcher watches it and no one holds its version tag: the writes
// need not bump the tag. And the direct writes run only on the codec's direct path, where every
// operation is the codec's own and none runs Python code: a native subclass's operations may run
// Python code between two writes, so its objects are filled through the public call, which tracks
// the dict itself. Each key is written once (the record's names do not repeat), over the
// prototype's None or False, which are immortal: nothing is dropped, their counts mean nothing.
// The direct path's values are exact lists and dicts or objects the collector never tracks, so the
// type's flag alone tells a container, as PyDict_SetItem would. Used by read_fields (decoder.cpp)
// and by the one-piece reader of framed records (service.cpp).
class FieldStore {
public:
    FieldStore(PyObject* dict, const TLConstructor* record, bool direct) noexcept : dict_(dict) {
        if (direct) entries_ = dict_table::entries_to_fill(dict, 1 + record->value_count);
        assert(!entries_ || dict_table::fillable(dict, entries_));
        if (entries_) ++entries_;  // past "_"
    }
    // Moves to the key of the next parameter that becomes a key (call once per such parameter).
    void next() noexcept { ++at_; }
    // Stores `value` (a new reference, taken) under the current key; false with an exception pending.
    bool put(PyObject* key, PyObject* value) noexcept {
        if (entries_) {
            dict_table::Entry& e = entries_[at_];
            assert(same_text(e.key, key) && (e.value == Py_None || e.value == Py_False));
            assert(_Py_IsImmortal(e.value));
            e.value = value;  // over an immortal value, whose count means nothing
            track_ |= PyType_IS_GC(Py_TYPE(value));
            return true;
        }
        int r = PyDict_SetItem(dict_, key, value);
        Py_DECREF(value);
        return r == 0;
    }
    // Once every value is in: the collector tracks the dict when it holds a container. (A dict
    // left behind by a failure is dropped by the caller; it need not be.)
    void finish() noexcept {
        assert(!entries_ || dict_table::fillable(dict_, entries_ - 1));
        if (track_) PyObject_GC_Track(dict_);
    }

private:
    PyObject* dict_;
    dict_table::Entry* entries_ = nullptr;
    Py_ssize_t at_ = -1;
    bool track_ = false;
};

}  // namespace virel
