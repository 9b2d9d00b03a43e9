// schema/schema_life.cpp: how long each schema of a compiler lives (SchemaLife), who holds it,
// and the registration of its records in the compiler's maps.
#include "schema/compiler.hpp"

#include <algorithm>
#include <functional>
#include <new>

namespace virel {

SchemaLife* life_of(TLSchemaCompilerMaps* maps, const TLSchema* schema) noexcept {
    for (auto it = maps->live.rbegin(); it != maps->live.rend(); ++it)  // the newest, usually
        if (it->tables.get() == schema) return &*it;
    return nullptr;
}

// The schema whose record array holds `record`.
static SchemaLife* life_of_record(TLSchemaCompilerMaps* maps,
                                  const TLConstructor* record) noexcept {
    std::less<const TLConstructor*> before;  // a total order, across arrays too
    for (auto it = maps->live.rbegin(); it != maps->live.rend(); ++it) {
        const TLConstructor* records = it->tables->constructors;
        if (records && !before(record, records) && before(record, records + it->tables->count))
            return &*it;
    }
    return nullptr;
}

void release_unused(TLSchemaCompiler* compiler) noexcept {
    TLSchemaCompilerMaps* maps = compiler->maps;
    bool waiting = false;
    for (auto it = maps->live.begin(); it != maps->live.end();) {
        if (it->tables.get() == compiler->schema || it->keys || it->holders) {
            ++it;
        } else if (maps->calls) {
            waiting = true;
            ++it;
        } else {
            SchemaOwner gone = std::move(it->tables);
            it = maps->live.erase(it);
            gone.reset();  // runs no Python code: nothing above can change meanwhile
        }
    }
    maps->waiting = waiting;
}

// Gives back one hold on `schema`.
static void drop_hold(TLSchemaCompilerMaps* maps, const TLSchema* schema) noexcept {
    SchemaLife* life = life_of(maps, schema);
    if (life && life->holders) --life->holders;
}

void adopt_schema(TLSchemaCompiler* compiler, const TLParser* parser, TLSchema* schema) noexcept {
    if (!schema) return;
    try {
        auto [it, added] = compiler->maps->holders.try_emplace(parser, schema);
        if (added) return;
        // An entry left by a parser that lived at this address and let go of this compiler without
        // a word (a native subclass swapping compilers): its hold goes.
        drop_hold(compiler->maps, std::exchange(it->second, schema));
    } catch (const std::bad_alloc&) {
        return;
    }
    release_unused(compiler);
}

void follow_current_schema(TLSchemaCompiler* compiler, TLParser* parser) noexcept {
    TLSchemaCompilerMaps* maps = compiler->maps;
    TLSchema* now = compiler->schema;
    SchemaLife* life = now ? life_of(maps, now) : nullptr;
    if (!life) return;  // no schema since a compile failed early: the parser keeps the one it has
    try {
        auto [it, added] = maps->holders.try_emplace(parser, now);
        if (!added && it->second != now) {
            drop_hold(maps, std::exchange(it->second, now));
            added = true;
        }
        // A parser that holds nothing here yet (given this compiler by a native subclass) takes
        // its first hold; whatever it held before stays held for good.
        if (added) ++life->holders;
    } catch (const std::bad_alloc&) {
        return;  // keeps the schema it has
    }
    parser->schema = now;
    release_unused(compiler);
}

void release_parser(PyObject* held, const TLParser* parser) noexcept {
    if (!held || !PyObject_TypeCheck(held, TLSchemaCompiler_Type)) return;
    auto* compiler = reinterpret_cast<TLSchemaCompiler*>(held);
    if (!compiler->maps) return;
    auto it = compiler->maps->holders.find(parser);
    if (it == compiler->maps->holders.end()) return;
    drop_hold(compiler->maps, it->second);
    compiler->maps->holders.erase(it);
    release_unused(compiler);
}

const TLConstructor* owner_of(TLSchemaCompiler* compiler, const TLParam* param) noexcept {
    // Each record's parameters are an array of their own: the one that holds `param` is its record.
    std::less<const TLParam*> before;  // a total order, across arrays too
    for (auto life_it = compiler->maps->live.rbegin(); life_it != compiler->maps->live.rend();
         ++life_it) {  // newest first
        SchemaLife& life = *life_it;
        const TLSchema* schema = life.tables.get();
        if (life.owners.empty()) {  // index the arrays once, then search them
            try {
                for (int32_t i = 0; i < schema->count; ++i)
                    if (schema->constructors[i].params)
                        life.owners.emplace_back(schema->constructors[i].params,
                                                 &schema->constructors[i]);
                std::sort(life.owners.begin(), life.owners.end(),
                          [&](const auto& a, const auto& b) { return before(a.first, b.first); });
            } catch (const std::bad_alloc&) {
                life.owners.clear();
                for (int32_t i = 0; i < schema->count; ++i) {
                    const TLConstructor& record = schema->constructors[i];
                    if (record.params && !before(param, record.params) &&
                        before(param, record.params + record.param_count))
                        return &record;
                }
                continue;
            }
        }
        auto it = std::upper_bound(
            life.owners.begin(), life.owners.end(), param,
            [&](const TLParam* p, const auto& entry) { return before(p, entry.first); });
        if (it == life.owners.begin()) continue;
        const TLConstructor* record = std::prev(it)->second;
        if (before(param, record->params + record->param_count)) return record;
    }
    return nullptr;
}

void enter_record(TLSchemaCompilerMaps* maps, SchemaLife& life, TLConstructor* record) {
    life.owners.clear();  // an index made meanwhile (a call during compile) lacks this record
    TLConstructor* was = maps->id_map.put(record->id, record);  // room was reserved: no throw
    ++life.keys;
    if (was) {
        if (SchemaLife* earlier = life_of_record(maps, was)) --earlier->keys;
    }
    std::string_view name(record->name);
    auto it = maps->name_map.find(name);
    if (it == maps->name_map.end()) {
        maps->name_map.emplace(name, record);
        ++life.keys;
        return;
    }
    // The key views the name copy of the record it leads to: the new record brings its own.
    was = it->second;
    auto node = maps->name_map.extract(it);
    node.key() = name;
    node.mapped() = record;
    maps->name_map.insert(std::move(node));
    ++life.keys;
    if (SchemaLife* earlier = life_of_record(maps, was)) --earlier->keys;
}

}  // namespace virel
