// schema/compiler.hpp: the compiler's lookup maps and what the rest of the module needs of it.
#pragma once

#include "module.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace virel {

// Identifier -> record. Open addressing with linear probing over a power-of-two table: a decode
// does one lookup per object, so this sits on the hot path. Identifiers are schema CRCs, already
// well spread; the multiply only mixes hand-picked ones such as 1, 2, 3.
class IdMap {
public:
    TLConstructor* find(uint32_t id) const noexcept {
        if (slots_.empty()) return nullptr;
        for (size_t i = slot_of(id);; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (!s.record) return nullptr;
            if (s.id == id) return s.record;
        }
    }
    // Inserts the key or overwrites its value; returns the record it held before, or null. May
    // throw std::bad_alloc (never after reserve() made room for the key).
    TLConstructor* put(uint32_t id, TLConstructor* record) {
        if ((size_ + 1) * 2 > slots_.size()) grow();
        for (size_t i = slot_of(id);; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (!s.record) {
                s = {id, record};
                ++size_;
                return nullptr;
            }
            if (s.id == id) return std::exchange(s.record, record);
        }
    }
    // Room for n more keys without rehashing. May throw std::bad_alloc.
    void reserve(size_t n) {
        while ((size_ + n) * 2 > slots_.size()) grow();
    }
    void clear() noexcept {
        slots_.clear();
        size_ = 0;
        mask_ = 0;
    }

private:
    struct Slot {
        uint32_t id;
        TLConstructor* record;
    };
    size_t slot_of(uint32_t id) const noexcept {
        return static_cast<size_t>((uint64_t{id} * 0x9E3779B97F4A7C15ull) >> 32) & mask_;
    }
    void grow() {
        std::vector<Slot> old(std::max<size_t>(16, slots_.size() * 2));
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        size_ = 0;
        for (const Slot& s : old)
            if (s.record) put(s.id, s.record);
    }
    std::vector<Slot> slots_;
    size_t size_ = 0;
    size_t mask_ = 0;
};

struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// UTF-8 name (up to its first NUL) -> record. Each key views the `name` copy of the record it maps
// to (a record that takes over a name brings its own view), so the key lives as long as the entry.
using NameMap = std::unordered_map<std::string_view, TLConstructor*, NameHash>;

}  // namespace virel

namespace virel {

// Name -> record for the encoder, keyed by a name's str object: its hash is cached in the str, so
// a hit costs one probe and (for the usual interned key) an identity test. Filled from name_map
// on first use of each name, emptied by every compile. Losing an insertion to a failed
// allocation only costs the next lookup the slow way.
class NameCache {
public:
    const TLConstructor* find(PyObject* name, Py_hash_t hash) const noexcept;
    void put(const TLConstructor* record, Py_hash_t hash) noexcept;
    void clear() noexcept {
        slots_.clear();
        size_ = 0;
    }

private:
    struct Slot {
        Py_hash_t hash;
        const TLConstructor* record;  // its py_name is the key; null: empty
    };
    std::vector<Slot> slots_;
    size_t size_ = 0;
};

}  // namespace virel

namespace virel {

// One schema that a compiler made and has not released yet, and who still needs it. A compile
// inserts its entries over the earlier ones, so the keys that only an earlier schema defined still
// lead into that schema's records; a pack or unpack may be walking its records; and a parser
// publishes the schema it took (TLParser::schema). Any of the three keeps it.
struct SchemaLife {
    TLSchema* schema;
    size_t keys = 0;     // entries of id_map and name_map that lead into its records
    size_t holders = 0;  // parsers (and other takers of _get_schema) that hold it
    // Each record's parameter array by its address, sorted: for a failure's note to find the
    // record that holds a parameter. Made on the first failure that needs it.
    std::vector<std::pair<const TLParam*, const TLConstructor*>> owners;
};

}  // namespace virel

struct TLSchemaCompilerMaps {
    virel::IdMap id_map;
    virel::NameMap name_map;
    virel::NameCache name_cache;  // its records are always name_map's, so it keeps no schema alive
    // Every schema not yet released, the current one (the compiler's `schema`) included. A schema
    // other than the current one is released as soon as nothing keeps it (SchemaLife) and no call
    // is in flight on a parser of this compiler (Python code run during a call may compile again,
    // and the call goes on with the records it found before); all go with the compiler.
    std::vector<virel::SchemaLife> live;
    // The parsers that hold a schema of this compiler (their `schema` field), and which one.
    std::unordered_map<const TLParser*, TLSchema*> holders;
    uint64_t calls = 0;    // pack and unpack calls in flight on parsers of this compiler
    uint64_t compiles = 0;  // compile calls so far: what a parser caches of records is of one count
    bool waiting = false;  // a schema waits for `calls` to drop to zero to be released
};

namespace virel {

// Releases one schema record and everything under it; accepts null and partly filled tables.
void free_schema_tables(TLSchema* schema) noexcept;

// ---- How long a schema lives (SchemaLife above) ----

// Releases every schema that nothing keeps any longer, or, while a call is in flight, marks them
// waiting for its end.
[[gnu::cold]] void release_unused(TLSchemaCompiler* c) noexcept;

// Makes `parser` the holder of the hold that _get_schema took on `schema` for it; given back by
// release_parser. (Should the note of it fail for want of memory, the hold stays the compiler's
// for good.)
void adopt_schema(TLSchemaCompiler* c, const TLParser* parser, TLSchema* schema) noexcept;

// Moves a parser's hold (and its `schema` field) to the compiler's current schema: at the start of
// a call, when the compiler has compiled since. The parser's earlier schema is no longer touched.
[[gnu::cold]] void follow_current_schema(TLSchemaCompiler* c, TLParser* parser) noexcept;

// Gives back the hold of a parser that lets go of its compiler (`compiler`: what it held; anything
// but a compiler with its tables is ignored).
void release_parser(PyObject* compiler, const TLParser* parser) noexcept;

// The record that holds `param`, among the schemas the compiler still keeps; null when none does.
const TLConstructor* owner_of(TLSchemaCompiler* c, const TLParam* param) noexcept;

// The element record of a vector whose declared text is `type_name`; compiler.cpp.
TLElementType* make_element_type(TLSchemaCompiler* self, const char* type_name);

// The vector element text of a declared vector type: every "Vector<" removed, then every ">".
std::string strip_vector_text(std::string_view type_name);

// Equality of two exact str objects, without running any Python code.
inline bool same_text(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
}

// Whether a compiler has its tables in place (an object that bypassed the type's own __new__ has
// none); false with RuntimeError pending.
bool compiler_ready(const TLSchemaCompiler* self) noexcept;

// The index of the parameter that an exact str key names, or -1. Needs the record's key table.
inline int32_t param_of_key(const TLConstructor* r, PyObject* key) noexcept {
    Py_hash_t h = reinterpret_cast<PyASCIIObject*>(key)->hash;
    if (h == -1) h = PyObject_Hash(key);  // a str's hash runs no Python code and cannot fail
    for (uint32_t i = static_cast<uint32_t>(h) & r->key_mask;; i = (i + 1) & r->key_mask) {
        const TLKeySlot& slot = r->key_slots[i];
        if (slot.index < 0) return -1;
        if (slot.hash == h && same_text(r->params[slot.index].py_name, key)) return slot.index;
    }
}

// Readies a record for the codec: its keys interned (a caller's dict built from literals then
// matches them by identity), its prototype dict and its key table made. False with an exception
// pending. compiler.cpp, beside the release of what it makes.
bool prepare_record(TLConstructor* record) noexcept;

inline const TLConstructor* ready_or_null(TLConstructor* record) noexcept {
    return !record || record->ready || prepare_record(record) ? record : nullptr;
}

// The codec's lookups: the record of an identifier (decoding) or of a UTF-8 name (encoding),
// readied on first use. Null when there is none, or, with an exception pending, when it could not
// be readied.
inline const TLConstructor* find_by_id(const TLSchemaCompiler* c, uint32_t id) noexcept {
    return ready_or_null(c->maps->id_map.find(id));
}
inline const TLConstructor* find_by_name(const TLSchemaCompiler* c, std::string_view name) {
    auto it = c->maps->name_map.find(name);
    return ready_or_null(it == c->maps->name_map.end() ? nullptr : it->second);
}

// The record named by an exact str: from the cache, else by its UTF-8 up to its first NUL. Null
// with an exception pending when the name cannot be encoded or its record readied; null without
// one when no record has that name.
const TLConstructor* find_by_name_slow(TLSchemaCompiler* c, PyObject* name, Py_hash_t hash);
inline const TLConstructor* find_by_name(TLSchemaCompiler* c, PyObject* name) {
    Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(name)->hash;
    if (hash == -1) hash = PyObject_Hash(name);  // a str's hash runs no Python code and cannot fail
    if (const TLConstructor* r = c->maps->name_cache.find(name, hash)) return r;
    return find_by_name_slow(c, name, hash);
}

}  // namespace virel
