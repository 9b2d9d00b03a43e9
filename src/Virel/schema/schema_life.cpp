// schema/schema_life.cpp: who holds each schema of a compiler (the rule is at SchemaLife), the
// registration of its records in the compiler's maps, and the move of the records that outlive
// their schema into a small one.
#include "schema/compiler.hpp"

#include <atomic>
#include <cassert>
#include <new>
#include <unordered_map>
#include <unordered_set>

namespace virel {

namespace {

// The one count every compiler's generation is taken from. Process-wide on purpose: what a
// generation says is that no other change of any compiler's maps ever had it, and a parser's
// caches compare nothing else. Atomic, so that this stays true with a lock per interpreter or none
// (a relaxed increment, made by a change of the maps only: never per call).
std::atomic<uint64_t> generations{0};

// A map entry now leads to `record`: it holds a reference to the record's schema.
void key_record(const TLConstructor* record) noexcept {
    SchemaLife* life = life_of(record->schema);
    ++life->keys;
    schema_incref(record->schema);
}

// A map entry no longer leads to `record`: its reference goes (and may free the record).
void unkey_record(const TLConstructor* record) noexcept {
    SchemaLife* life = life_of(record->schema);
    assert(life->keys > 0);
    --life->keys;
    schema_decref(record->schema);
}

// Makes the name entry `it` lead to `record`. The key views the name copy of the record it leads
// to: the new record brings its own view. Returns the record it led to.
TLConstructor* repoint_name(NameMap& names, NameMap::iterator it, TLConstructor* record) noexcept {
    TLConstructor* was = it->second;
    auto node = names.extract(it);
    node.key() = std::string_view(record->name);
    node.mapped() = record;
    names.insert(std::move(node));  // a node of its own: no allocation, no throw
    return was;
}

}  // namespace

uint64_t next_generation() noexcept {
    return generations.fetch_add(1, std::memory_order_relaxed) + 1;
}

void enter_record(TLSchemaCompilerMaps* maps, TLConstructor* record) {
    std::string_view name(record->name);
    auto it = maps->name_map.find(name);
    if (it == maps->name_map.end()) {
        it = maps->name_map.emplace(name, nullptr).first;  // the one step that may throw
    }
    TLConstructor* was_named = it->second;
    if (was_named) repoint_name(maps->name_map, it, record);
    else it->second = record;
    key_record(record);
    TLConstructor* was = maps->id_map.put(record->id, record);  // room was reserved: no throw
    key_record(record);
    // A call made meanwhile (an id's __int__) may have cached a replaced record by its name.
    if (was || was_named) maps_changed(maps);
    if (was) unkey_record(was);
    if (was_named) unkey_record(was_named);
}

void clear_maps(TLSchemaCompilerMaps* maps) noexcept {
    // Nothing reads a record between its entry's reference going and the map being emptied.
    maps->id_map.for_each([](TLConstructor*& record) { unkey_record(record); });
    maps->id_map.clear();
    for (auto& entry : maps->name_map) unkey_record(entry.second);
    maps->name_map.clear();
    maps_changed(maps);
}

void adopt_schema(TLSchemaCompiler* compiler, TLParser* parser, TLSchema* schema) noexcept {
    SchemaRef hold;
    std::vector<SchemaRef>& handed_out = compiler->maps->handed_out;
    if (!handed_out.empty() && handed_out.back().get() == schema) {
        hold = std::move(handed_out.back());
        handed_out.pop_back();
    } else {
        hold = SchemaRef::share(schema);
    }
    SchemaRef old = SchemaRef::adopt(std::exchange(parser->held, hold.release()));
}

void follow_current_schema(TLSchemaCompiler* compiler, TLParser* parser) noexcept {
    TLSchema* now = compiler->schema;
    if (!now) return;
    SchemaRef old = SchemaRef::adopt(std::exchange(parser->held, SchemaRef::share(now).release()));
    parser->schema = now;
}

void release_parser(TLParser* parser) noexcept {
    SchemaRef old = SchemaRef::adopt(std::exchange(parser->held, nullptr));
}

namespace {

// Copies of records in a schema of their own (`into`); false with MemoryError pending.
class RecordCopier {
public:
    explicit RecordCopier(TLSchema* into) noexcept : into_(into) {}

    bool copy(const TLConstructor& from, TLConstructor* to) noexcept {
        *to = from;
        to->schema = into_;
        to->codec_plan = nullptr;
        to->py_name = nullptr;
        to->params = nullptr;
        if (!(to->name = text(from.name)) || !(to->result_type = text(from.result_type)))
            return false;
        if (from.param_count) {
            if (!(to->params = carve_zeroed<TLParam>(into_, static_cast<size_t>(from.param_count))))
                return false;
            for (int32_t j = 0; j < from.param_count; ++j) {
                const TLParam& p = from.params[j];
                TLParam& q = to->params[j];
                q = p;
                q.py_name = nullptr;
                if (!(q.name = text(p.name)) || !(q.type_name = text(p.type_name))) return false;
                if (p.element && !(q.element = element(p.element))) return false;
                q.py_name = Py_XNewRef(p.py_name);
            }
        }
        to->py_name = Py_XNewRef(from.py_name);
        return true;
    }

private:
    char* text(const char* from) noexcept {
        return from ? copy_cstr(into_, from, std::strlen(from)) : nullptr;
    }
    // A vector's chain of element records; a record that is its own element stays so.
    TLElementType* element(const TLElementType* from) noexcept {
        TLElementType* head = nullptr;
        TLElementType** link = &head;
        for (; from; from = from->element) {
            auto* e = carve_zeroed<TLElementType>(into_, 1);
            if (!e || !(e->type_name = text(from->type_name))) return nullptr;
            e->kind = from->kind;
            *link = e;
            if (from->element == from) {
                e->element = e;
                break;
            }
            link = &e->element;
        }
        return head;
    }
    TLSchema* into_;
};

}  // namespace

void compact_earlier(TLSchemaCompiler* compiler) noexcept {
    TLSchemaCompilerMaps* maps = compiler->maps;
    if (!maps->current) return;
    TLSchema* current = maps->current.get();
    SchemaLedger* ledger = life_of(current)->ledger;
    if (ledger->calls) return;  // a call may be walking the records
    try {
        // The earlier schemas only the maps hold, and how many of their records they reach.
        std::unordered_map<SchemaLife*, size_t> reached;
        auto note = [&](const TLConstructor* record) {
            SchemaLife* life = life_of(record->schema);
            if (record->schema != current && life->refs == life->keys) ++reached[life];
        };
        maps->id_map.for_each([&](TLConstructor*& record) { note(record); });
        for (auto& entry : maps->name_map) note(entry.second);
        // Worth it when a schema keeps no more than about half of its records (each has two
        // entries): the leftovers of earlier moves are folded in with it.
        bool worth = false;
        for (auto it = reached.begin(); it != reached.end();) {
            bool sparse = it->second <= static_cast<size_t>(it->first->tables.count);
            if (sparse && !it->first->leftovers) worth = true;
            it = sparse || it->first->leftovers ? std::next(it) : reached.erase(it);
        }
        if (!worth) return;
        std::unordered_map<const TLConstructor*, TLConstructor*> moved;
        auto collect = [&](const TLConstructor* record) {
            SchemaLife* life = life_of(record->schema);
            if (reached.contains(life)) moved.try_emplace(record, nullptr);
        };
        maps->id_map.for_each([&](TLConstructor*& record) { collect(record); });
        for (auto& entry : maps->name_map) collect(entry.second);

        SchemaRef fresh = make_schema(ledger);
        if (!fresh) {
            PyErr_Clear();
            return;
        }
        TLSchema* into = fresh.get();
        life_of(into)->leftovers = true;
        into->constructors = carve_zeroed<TLConstructor>(into, moved.size());
        if (!into->constructors) {
            PyErr_Clear();
            return;
        }
        RecordCopier copier(into);
        for (auto& [from, to] : moved) {
            to = &into->constructors[into->count++];
            if (!copier.copy(*from, to)) {
                PyErr_Clear();
                return;  // `fresh` releases the copies made so far
            }
        }
        // The plans move too: nothing can be using them (no call is in flight).
        for (auto& [from, to] : moved)
            to->codec_plan = std::exchange(const_cast<TLConstructor*>(from)->codec_plan, nullptr);
        // Every entry leads to the copy; then the originals' references go, and the earlier
        // schemas with them.
        std::vector<const TLConstructor*> gone;
        gone.reserve(2 * moved.size());
        maps->id_map.for_each([&](TLConstructor*& record) {
            auto it = moved.find(record);
            if (it == moved.end()) return;
            gone.push_back(record);
            record = it->second;
            key_record(record);
        });
        for (auto it = maps->name_map.begin(); it != maps->name_map.end();) {
            auto found = moved.find(it->second);
            if (found == moved.end()) {
                ++it;
                continue;
            }
            auto next = std::next(it);
            gone.push_back(repoint_name(maps->name_map, it, found->second));
            key_record(found->second);
            it = next;
        }
        maps_changed(maps);
        for (const TLConstructor* record : gone) unkey_record(record);
    } catch (const std::bad_alloc&) {
        return;  // everything as it was: nothing was repointed before the last allocation
    }
    check_counts(maps);
}

void check_counts([[maybe_unused]] TLSchemaCompilerMaps* maps) noexcept {
#ifndef NDEBUG
    try {
        std::unordered_map<SchemaLife*, size_t> keys;
        maps->id_map.for_each([&](TLConstructor*& record) { ++keys[life_of(record->schema)]; });
        for (auto& entry : maps->name_map) {
            assert(std::string_view(entry.second->name) == entry.first);
            ++keys[life_of(entry.second->schema)];
        }
        for (auto& [life, count] : keys) assert(life->keys == count && life->refs >= count);
    } catch (const std::bad_alloc&) {
    }
#endif
}

}  // namespace virel
