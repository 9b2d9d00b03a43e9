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
    // Calls f(record) for the record of every entry, as a reference it may repoint.
    template <class F>
    void for_each(F&& f) noexcept {
        for (Slot& s : slots_)
            if (s.record) f(s.record);
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
    // Each entry holds one reference to the schema of the record it leads to (SchemaLife::keys).
    virel::IdMap id_map;
    virel::NameMap name_map;
    // What the codec keeps beside the maps (its name cache); told of every change of them.
    std::unique_ptr<virel::MapsWatcher> watcher;
    // The latest compile's schema (the compiler's `schema` shows it), held.
    virel::SchemaRef current;
    // What _get_schema handed out and no parser took over (adopt_schema): held for the compiler's
    // life, as the native interface promises.
    std::vector<virel::SchemaRef> handed_out;
    // Taken from one count of the whole process whenever the maps change: what a parser caches of
    // records found through them (strict mode's fits) is of one generation, and no two compilers
    // share one.
    uint64_t generation = 0;
    // The records of the bare types met in data (a type text -> its record), for the schema
    // `bare_of` as the maps' generation `bare_generation` left it.
    std::unordered_map<std::string, const TLConstructor*, virel::NameHash, std::equal_to<>> bare;
    const TLSchema* bare_of = nullptr;
    uint64_t bare_generation = 0;

    ~TLSchemaCompilerMaps() { virel::clear_maps(this); }
};

namespace virel {

// A new generation, never given before.
uint64_t next_generation() noexcept;

// Tells the codec's watcher, if there is one, that the maps changed, and starts a new generation.
inline void maps_changed(TLSchemaCompilerMaps* maps) noexcept {
    if (maps->watcher) maps->watcher->maps_changed();
    maps->generation = next_generation();
}

// The element record of a vector whose declared text is `type_name`; compiler.cpp.
TLElementType* make_element_type(TLSchemaCompiler* self, const char* type_name);

// What the compiler works out from an entry for the encoder alone, kept in the record's private
// words (TLConstructor::encoder_facts), so that the native interface does not publish them. Set
// once by the compile (note_flag_layout), read by the encoder:
//  - conditional_count: parameters with a condition (the encoder's first pass);
//  - early_conditionals: whether a conditional parameter precedes the flags word that governs it
//    (a later parameter of the record is that word);
//  - shared_flag_bits(word): per flags word (0 flags, 1 flags2), the bits that a conditional true
//    or Bool shares with another conditional parameter.
enum EncoderFact : int { kConditionalCount = 0, kEarlyConditionals = 1, kSharedFlagBits = 2 };
inline int32_t conditional_count(const TLConstructor* record) noexcept {
    return static_cast<int32_t>(record->encoder_facts[kConditionalCount]);
}
inline bool early_conditionals(const TLConstructor* record) noexcept {
    return record->encoder_facts[kEarlyConditionals] != 0;
}
inline uint32_t shared_flag_bits(const TLConstructor* record, int word) noexcept {
    return record->encoder_facts[kSharedFlagBits + word];
}

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
