// schema/arena.cpp: the string blocks of a compiled schema, and its release.
#include "schema/arena.hpp"

#include <algorithm>
#include <cstdlib>

// The C strings, the record and parameter arrays (zero-filled) and the vector element records of
// one schema are carved from a chain of large blocks (from the C allocator) and released together
// with it: a schema has tens of thousands of them, and one allocation each would cost compile
// more than everything else it does. Only this file knows the blocks (TLSchema::strings).
struct TLStringBlock {
    TLStringBlock* next;
    size_t used;
    size_t size;
    alignas(8) char data[];
};

namespace virel {

namespace {

constexpr size_t kBlockSize = 64 * 1024 - sizeof(TLStringBlock);

CodecPlanRelease codec_plan_release = nullptr;

}  // namespace

void* carve(TLSchema* schema, size_t size) noexcept {
    size = (size + 7) & ~size_t{7};
    TLStringBlock* block = schema->strings;
    if (!block || block->size - block->used < size) {
        size_t capacity = std::max(size, kBlockSize);
        auto* fresh = static_cast<TLStringBlock*>(std::malloc(sizeof(TLStringBlock) + capacity));
        if (!fresh) {
            PyErr_SetString(PyExc_MemoryError, "Cannot allocate memory for constructors");
            return nullptr;
        }
        if (block && capacity > kBlockSize) {
            // One large array (the records): a block of its own behind the current one, which
            // goes on serving the small requests.
            *fresh = {block->next, size, capacity};
            block->next = fresh;
            return fresh->data;
        }
        *fresh = {block, 0, capacity};
        schema->strings = block = fresh;
    }
    void* p = block->data + block->used;
    block->used += size;
    return p;
}

char* copy_cstr(TLSchema* schema, const char* data, size_t size) noexcept {
    auto* p = static_cast<char*>(carve(schema, size + 1));
    if (!p) return nullptr;
    std::memcpy(p, data, size);
    p[size] = '\0';
    return p;
}

void set_codec_plan_release(CodecPlanRelease release) noexcept { codec_plan_release = release; }

namespace {

// Releases one schema and everything under it: the parameters' and the records' Python references
// (exact str objects and the plans' dicts of them: no Python code runs), what the codec made of
// each record, and the string blocks. Accepts partly filled tables.
void free_schema_now(SchemaLife* life) noexcept {
    TLSchema* schema = &life->tables;
    if (TLConstructor* records = schema->constructors) {
        for (int32_t i = 0; i < schema->count; ++i) {
            TLConstructor& record = records[i];
            if (record.params) {
                for (int32_t j = 0; j < record.param_count; ++j) Py_CLEAR(record.params[j].py_name);
            }
            Py_CLEAR(record.py_name);
            if (record.codec_plan) codec_plan_release(std::exchange(record.codec_plan, nullptr));
        }
    }
    while (TLStringBlock* block = schema->strings) {  // the records and parameters among them
        schema->strings = block->next;
        std::free(block);
    }
    delete life;
}

}  // namespace

void schema_incref(TLSchema* schema) noexcept { ++life_of(schema)->refs; }

void schema_decref(TLSchema* schema) noexcept {
    SchemaLife* life = life_of(schema);
    assert(life->refs > 0 && life->keys <= life->refs);
    if (--life->refs) return;
    assert(life->keys == 0);
    if (SchemaLedger* ledger = life->ledger; ledger->calls) {
        life->retired = std::exchange(ledger->retired, life);
        return;
    }
    free_schema_now(life);
}

void free_retired(SchemaLedger* ledger) noexcept {
    while (SchemaLife* life = ledger->retired) {
        ledger->retired = life->retired;
        free_schema_now(life);
    }
}

SchemaRef make_schema(SchemaLedger* ledger) noexcept {
    auto* life = new (std::nothrow) SchemaLife();
    if (!life) {
        PyErr_SetString(PyExc_MemoryError, "Cannot allocate memory for schema");
        return SchemaRef();
    }
    life->refs = 1;
    life->ledger = ledger;
    return SchemaRef::adopt(&life->tables);
}

}  // namespace virel
