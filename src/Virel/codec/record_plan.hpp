// codec/record_plan.hpp: what the codec makes of a schema record when it first meets it (its
// plan), and the codec's lookups of records by identifier and by name.
#pragma once

#include "py_helpers.hpp"
#include "schema/compiler.hpp"

#include <memory>
#include <string_view>
#include <vector>

namespace virel {

// One key of a record's dict form, in order: what pack needs to take a value from a caller's dict
// whose keys come in the schema's order, without touching the parameter records.
struct ValueKey {
    PyObject* key;    // the parameter's key: TLCodecPlan::names[param] (borrowed from the plan)
    int32_t param;    // its index in params
    int32_t word;     // a conditional parameter's flags word: 0 flags, 1 flags2
    uint32_t bit;     // a conditional parameter's bit in that word; 0 for a plain parameter
    int32_t is_flag;  // 1 for a conditional true or Bool: present only when True
    uint64_t visit;   // a conditional field (not a flag) of a record of at most 64 parameters:
                      // its bit in a mask of parameters (TLCodecPlan::always_written); else 0
};

// One slot of a record's key table: the hash of a parameter's name and the parameter's index
// (-1: empty slot).
struct KeySlot {
    Py_hash_t hash;
    int32_t index;
};

}  // namespace virel

// The plan of one record (TLConstructor::codec_plan): made by make_plan, released with the schema.
//
// The plan's names. A caller's dict written with literal keys holds interned strs, and so does a
// dict the caller builds with `sys.intern`; pack matches its keys to the record's first by
// identity (ObjectFields::walk, param_of_key, the name cache), and a caller's `d["key"]` on a
// decoded dict finds the key by identity when it is the interned str. So the plan's names (`name`,
// the "_" value; `names`, the keys) should be the interned twins. Where an interned str dies with
// its last reference (3.13 on), make_plan interns them (VIREL_INTERN_PLAN_NAMES). On 3.12 (and
// in a free-threaded build) an interned str is immortal:
// interning every name of every schema a process plans would keep them all for good (a process
// that makes parsers for many schemas would grow without bound), and CPython offers no way to ask
// for an existing interned twin without making one. There the plan starts with the schema's own
// strs and adopts a caller's: the first time pack meets, in place of a plan's name, an equal str
// that is interned while the plan's is not (adopt_keys, adopt_name), the plan takes a reference to
// the caller's str and uses it from then on, the prototype included, so later calls match by
// identity again. A name is adopted at most once (an interned str is never replaced), and the
// str it replaces is still held by the record, so dropping the plan's reference frees nothing.
// The plan's references go with the plan.
struct TLCodecPlan {
    // The "_" value of every decoded object, and the key of each parameter by index (flags words
    // included, unused): the record's own strs, their interned twins, or the caller's (above).
    virel::Ref name;
    std::unique_ptr<virel::Ref[]> names;
    // "_" and every key in order, values None (False for a conditional Bool): each decoded object
    // starts as its copy.
    virel::Ref proto;
    std::unique_ptr<virel::KeySlot[]>
        key_slots;  // parameter index by key hash (null: names repeat)
    std::unique_ptr<virel::ValueKey[]>
        value_keys;  // value_count keys in order (null: names repeat)
    uint32_t key_mask = 0;
    // For a record of at most 64 parameters (else unused), bit i standing for params[i]: the
    // parameters that pack may write whatever fields are present: the flags words, the plain
    // parameters and the conditional fields (not flags) whose bit another field may set. With the
    // fields present that set their own bit (ValueKey::visit), these are all that pack writes or
    // refuses, so a walked object's parameters are visited through the two masks, skipping the
    // absent optional ones (most of a typical object).
    uint64_t always_written = 0;
    // The parameter whose body is framed by the `bytes` before it (codec/service.hpp), or -1.
    int32_t framed_body = -1;
    // The bytes that the parameters before the framed body take, when unpack reads such a record
    // in one piece (codec/service.hpp, framed_head_of), else 0.
    uint32_t framed_head = 0;
    // Whether the record has conditional parameters or a framed body: pack's one test for both,
    // so that a record of neither (the commonest object of all) pays for no second one.
    bool rare_shape = false;
    // The parameter that unpack reads in a way of its own (codec/service.hpp), or -1: the framed
    // body, else the answer to the request named by the `req_msg_id` before it.
    int32_t special = -1;
};

// Whether an interned str dies with its last reference, so that make_plan interns the plan's
// names (see TLCodecPlan): from 3.13 on, except in a free-threaded build, where every interned str
// is immortal.
#if PY_VERSION_HEX >= 0x030D0000 && !defined(Py_GIL_DISABLED)
#define VIREL_INTERN_PLAN_NAMES 1
#else
#define VIREL_INTERN_PLAN_NAMES 0
#endif

namespace virel {

// Makes the plan of a record: its names (see TLCodecPlan), its prototype dict and its key table.
// False with an exception pending.
bool make_plan(TLConstructor* record) noexcept;

// The adoption of a caller's interned str (see TLCodecPlan): whether `key`, equal to the plan's
// name of parameter `param`, should replace it. Only where make_plan does not intern.
inline bool should_adopt(const TLCodecPlan* plan, int32_t param, PyObject* key) noexcept {
#if !VIREL_INTERN_PLAN_NAMES
    return PyUnicode_CHECK_INTERNED(key) && !PyUnicode_CHECK_INTERNED(plan->names[param].get());
#else
    (void)plan, (void)param, (void)key;
    return false;
#endif
}
// Adopts the keys of `dict` (an exact dict, just walked) that should_adopt names, and builds the
// prototype again from the plan's names. Frees nothing the walk took (each str replaced is still
// held by the record); a failure to build the prototype (out of memory) is dropped: the old one
// stays, and decoded dicts keep the keys they had.
[[gnu::cold]] void adopt_keys(const TLConstructor* record, PyObject* dict) noexcept;

// The plan of a record that the codec found through one of the lookups below.
inline const TLCodecPlan* plan_of(const TLConstructor* record) noexcept {
    return record->codec_plan;
}

inline const TLConstructor* planned_or_null(TLConstructor* record) noexcept {
    return !record || record->codec_plan || make_plan(record) ? record : nullptr;
}

// The index of the parameter that an exact str key names, or -1. Needs the record's key table.
inline int32_t param_of_key(const TLConstructor* record, PyObject* key) noexcept {
    const TLCodecPlan* plan = plan_of(record);
    Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(key)->hash;
    if (hash == -1) hash = PyObject_Hash(key);  // a str's hash runs no Python code and cannot fail
    for (uint32_t i = static_cast<uint32_t>(hash) & plan->key_mask;; i = (i + 1) & plan->key_mask) {
        const KeySlot& slot = plan->key_slots[i];
        if (slot.index < 0) return -1;
        if (slot.hash == hash && same_text(plan->names[slot.index].get(), key)) return slot.index;
    }
}

// Name -> record for the encoder, keyed by a name's str object: its hash is cached in the str, so
// a hit costs one probe and (for the usual interned key) an identity test. Filled from name_map
// on first use of each name, emptied whenever the maps change. Losing an insertion to a failed
// allocation only costs the next lookup the slow way.
class NameCache final : public MapsWatcher {
public:
    const TLConstructor* find(PyObject* name, Py_hash_t hash) const noexcept;
    void put(const TLConstructor* record, Py_hash_t hash) noexcept;
    // Departure D20: see ARCHITECTURE.md, "Departures".
    void maps_changed() noexcept override {
        slots_.clear();
        size_ = 0;
    }

private:
    struct Slot {
        Py_hash_t hash;
        const TLConstructor* record;  // null: empty
        PyObject* name;               // the record's plan's name when put (held by the plan)
    };
    std::vector<Slot> slots_;
    size_t size_ = 0;
};

// The codec's lookups: the record of an identifier (decoding) or of a UTF-8 name (encoding), with
// its plan made on first use. Null when there is none, or, with an exception pending, when the
// plan could not be made.
inline const TLConstructor* find_by_id(const TLSchemaCompiler* compiler, uint32_t id) noexcept {
    return planned_or_null(compiler->maps->id_map.find(id));
}
inline const TLConstructor* find_by_name(const TLSchemaCompiler* compiler, std::string_view name) {
    auto it = compiler->maps->name_map.find(name);
    return planned_or_null(it == compiler->maps->name_map.end() ? nullptr : it->second);
}

// The record named by an exact str: from the cache, else by its UTF-8 up to its first NUL. Null
// with an exception pending when the name cannot be encoded or its plan made; null without one
// when no record has that name.
const TLConstructor* find_by_name_slow(TLSchemaCompiler* compiler, PyObject* name, Py_hash_t hash);
// The record of an exact str from the name cache alone, or null: runs no Python code and
// allocates nothing, so a borrowed name stays valid through it. *hash is the name's hash.
inline const TLConstructor* find_by_name_cached(const TLSchemaCompiler* compiler, PyObject* name,
                                                Py_hash_t* hash) noexcept {
    *hash = reinterpret_cast<PyASCIIObject*>(name)->hash;
    if (*hash == -1) *hash = PyObject_Hash(name);  // a str's hash runs no Python code, cannot fail
    // The compiler's only watcher is the codec's name cache (made by find_by_name_slow).
    if (auto* cache = static_cast<const NameCache*>(compiler->maps->watcher.get()))
        return cache->find(name, *hash);
    return nullptr;
}
inline const TLConstructor* find_by_name(TLSchemaCompiler* compiler, PyObject* name) {
    Py_hash_t hash;
    if (const TLConstructor* record = find_by_name_cached(compiler, name, &hash)) return record;
    return find_by_name_slow(compiler, name, hash);
}

}  // namespace virel
