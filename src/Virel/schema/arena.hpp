// schema/arena.hpp: where a compiled schema's memory comes from, and its one owner.
#pragma once

#include "tl.hpp"

#include <cstddef>
#include <cassert>
#include <cstring>
#include <memory>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

namespace virel {

// Room for `size` bytes (8-aligned) in the schema's string blocks, or null with MemoryError pending.
void* carve(TLSchema* schema, size_t size) noexcept;

// A NUL-terminated copy in the schema's string blocks, or null with MemoryError pending.
char* copy_cstr(TLSchema* schema, const char* data, size_t size) noexcept;

// `count` zero-filled records of type T in the schema's blocks (zero-filled, so that a half-built
// table can still be released), or null with MemoryError pending. Goes with the schema.
template <class T>
T* carve_zeroed(TLSchema* schema, size_t count) noexcept {
    static_assert(alignof(T) <= 8 && std::is_trivially_destructible_v<T>);
    if (count > SIZE_MAX / sizeof(T)) {
        PyErr_SetString(PyExc_MemoryError, "Cannot allocate memory for constructors");
        return nullptr;
    }
    void* p = carve(schema, count * sizeof(T));
    if (p) std::memset(p, 0, count * sizeof(T));
    return static_cast<T*>(p);
}

// Releases what the codec made of a record (TLConstructor::codec_plan), with the schema. The codec
// sets it before it makes the first one.
using CodecPlanRelease = void (*)(TLCodecPlan* plan) noexcept;
void set_codec_plan_release(CodecPlanRelease release) noexcept;

struct SchemaLife;

// The pack and unpack calls in flight on every parser of one module, and the schemas nothing holds
// any longer that wait for them to end (a list through SchemaLife::retired). One per module, in its
// state (ModuleState::ledger): a schema never crosses interpreters (its strs are one interpreter's
// objects), and every schema of the module leads to it (SchemaLife::ledger). CallScope counts the
// calls; the last one to end frees the schemas waiting (free_retired).
struct SchemaLedger {
    uint64_t calls = 0;
    SchemaLife* retired = nullptr;
};

// One compiled schema and the count of what holds it. Every TLSchema is the first member of one of
// these, so a TLSchema* (and a record's `schema`) leads to its count without a search.
//
// The rule (ARCHITECTURE.md, "Who owns what"): a schema lives while something holds a reference to
// it, and each holder is one of
//   - an entry of a compiler's id_map or name_map that leads into its records (also counted in
//     `keys`: the maps merge names across compiles, so one entry may keep an earlier schema);
//   - the compiler whose latest compile it is (TLSchemaCompilerMaps::current);
//   - a taker of _get_schema (TLSchemaCompilerMaps::handed_out, for the compiler's life), or a
//     parser (TLParser::held) to which such a hold was given;
// and no reference is taken for a call in flight: a schema whose last reference goes while any
// pack or unpack runs waits in the retired list until the last call ends (calls walk records they
// found through the maps, which Python code run meanwhile may change).
struct SchemaLife {
    TLSchema tables{};               // first: a TLSchema* is the address of its SchemaLife
    size_t refs = 0;                 // every reference, the map entries included
    size_t keys = 0;                 // of which: entries of its compiler's maps
    bool leftovers = false;          // made of the surviving records of earlier schemas
    int32_t constructors = 0;        // how many of its records are constructors (methods follow)
    SchemaLife* retired = nullptr;   // the next schema waiting for the calls in flight to end
    SchemaLedger* ledger = nullptr;  // its module's calls in flight (outlives every schema)
};
static_assert(std::is_standard_layout_v<SchemaLife> && offsetof(SchemaLife, tables) == 0);

inline SchemaLife* life_of(const TLSchema* schema) noexcept {
    return reinterpret_cast<SchemaLife*>(const_cast<TLSchema*>(schema));
}

// One more reference to `schema`; the last one to go frees it (or retires it, during a call).
void schema_incref(TLSchema* schema) noexcept;
void schema_decref(TLSchema* schema) noexcept;

// Frees the schemas that waited for the last call to end; when the ledger's calls drop to zero.
[[gnu::cold]] void free_retired(SchemaLedger* ledger) noexcept;

// One owned reference to a schema (null: none).
class SchemaRef {
public:
    SchemaRef() noexcept = default;
    static SchemaRef adopt(TLSchema* schema) noexcept { return SchemaRef(schema); }
    static SchemaRef share(TLSchema* schema) noexcept {
        if (schema) schema_incref(schema);
        return SchemaRef(schema);
    }
    SchemaRef(SchemaRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    SchemaRef& operator=(SchemaRef&& o) noexcept {
        TLSchema* old = std::exchange(p_, std::exchange(o.p_, nullptr));
        if (old) schema_decref(old);
        return *this;
    }
    SchemaRef(const SchemaRef&) = delete;
    SchemaRef& operator=(const SchemaRef&) = delete;
    ~SchemaRef() {
        if (p_) schema_decref(p_);
    }
    TLSchema* get() const noexcept { return p_; }
    TLSchema* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit SchemaRef(TLSchema* p) noexcept : p_(p) {}
    TLSchema* p_ = nullptr;
};

// A new empty schema of the module whose ledger is `ledger`, held by the reference returned, or an
// empty one with MemoryError pending.
SchemaRef make_schema(SchemaLedger* ledger) noexcept;

}  // namespace virel
