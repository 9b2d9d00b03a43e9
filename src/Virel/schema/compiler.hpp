// schema/compiler.hpp: the compiler's lookup maps and what the rest of the module needs of it.
#pragma once

#include "module.hpp"
#include "schema/schema_life.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
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
    size_t operator()(std::string_view s) const noexcept {
        return std::hash<std::string_view>{}(s);
    }
};

// UTF-8 name (up to its first NUL) -> record. Each key views the `name` copy of the record it maps
// to (a record that takes over a name brings its own view), so the key lives as long as the entry.
using NameMap = std::unordered_map<std::string_view, TLConstructor*, NameHash>;

// Something the codec keeps beside a compiler's maps (its name cache): told whenever the maps
// change (a compile, _free_schema), released with the compiler.
class MapsWatcher {
public:
    virtual ~MapsWatcher() = default;
    virtual void maps_changed() noexcept = 0;
};

}  // namespace virel

struct TLSchemaCompilerMaps {
    virel::IdMap id_map;
    virel::NameMap name_map;
    // What the codec keeps beside the maps (its name cache); told of every change of them.
    std::unique_ptr<virel::MapsWatcher> watcher;
    // Every schema not yet released, the current one (the compiler's `schema`) included. A schema
    // other than the current one is released as soon as nothing keeps it (SchemaLife) and no call
    // is in flight on a parser of this compiler (Python code run during a call may compile again,
    // and the call goes on with the records it found before); all go with the compiler.
    std::vector<virel::SchemaLife> live;
    // The parsers that hold a schema of this compiler (their `schema` field), and which one.
    std::unordered_map<const TLParser*, TLSchema*> holders;
    uint64_t calls = 0;     // pack and unpack calls in flight on parsers of this compiler
    uint64_t compiles = 0;  // compile calls so far: what a parser caches of records is of one count
    bool waiting = false;   // a schema waits for `calls` to drop to zero to be released
    // How many of each schema's records are constructors (they come first; the methods follow),
    // set by each compile for its schema.
    std::unordered_map<const TLSchema*, int32_t> constructors_in;
    // The records of the bare types met in data (a type text -> its record), for the schema
    // `bare_of` as the compile count `bare_compiles` left it.
    std::unordered_map<std::string, const TLConstructor*, virel::NameHash, std::equal_to<>> bare;
    const TLSchema* bare_of = nullptr;
    uint64_t bare_compiles = 0;
};

namespace virel {

// Tells the codec's watcher, if there is one, that the maps changed.
inline void maps_changed(TLSchemaCompilerMaps* maps) noexcept {
    if (maps->watcher) maps->watcher->maps_changed();
}

// The element record of a vector whose declared text is `type_name`; compiler.cpp.
TLElementType* make_element_type(TLSchemaCompiler* self, const char* type_name);

// Whether values of the kind are vectors (with elements to work out).
constexpr bool is_vector_kind(int32_t kind) noexcept {
    return kind == TL_VECTOR || kind == TL_BARE_VECTOR;
}

// Equality of two exact str objects, without running any Python code.
inline bool same_text(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
}

// Whether a compiler has its tables in place (an object that bypassed the type's own __new__ has
// none); false with RuntimeError pending.
bool compiler_ready(const TLSchemaCompiler* self) noexcept;

}  // namespace virel
