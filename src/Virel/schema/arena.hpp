// schema/arena.hpp: where a compiled schema's memory comes from, and its one owner.
#pragma once

#include "tl.hpp"

#include <cstddef>
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

// Releases one schema record and everything under it: the parameters' and the records' Python
// references, what the codec made of each record, and the string blocks. Accepts partly filled
// tables.
struct ReleaseSchema {
    void operator()(TLSchema* schema) const noexcept;
};

// The one owner of a schema: a compile makes it, the compiler's list of live schemas keeps it, and
// it is freed when that entry goes (SchemaLife).
using SchemaOwner = std::unique_ptr<TLSchema, ReleaseSchema>;

// A new empty schema, or an empty owner with MemoryError pending.
inline SchemaOwner make_schema() noexcept {
    SchemaOwner schema(new (std::nothrow) TLSchema{});
    if (!schema) PyErr_SetString(PyExc_MemoryError, "Cannot allocate memory for schema");
    return schema;
}

}  // namespace virel
