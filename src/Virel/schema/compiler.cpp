// schema/compiler.cpp: TLSchemaCompiler: schema JSON -> compiled tables and lookup maps.
#include "capi.hpp"
#include "schema/compiler.hpp"
#include "schema/strict_schema.hpp"
#include "schema/type_expr.hpp"

#include <cstdlib>
#include <functional>
#include <new>

namespace virel {

PyTypeObject* TLSchemaCompiler_Type;

namespace {

// Room for `size` bytes (8-aligned) in the schema's string blocks, or null with MemoryError pending.
void* carve(TLSchema* schema, size_t size) noexcept {
    size = (size + 7) & ~size_t{7};
    TLStringBlock* block = schema->strings;
    if (!block || block->size - block->used < size) {
        size_t capacity = std::max<size_t>(size, 64 * 1024 - sizeof(TLStringBlock));
        block = static_cast<TLStringBlock*>(std::malloc(sizeof(TLStringBlock) + capacity));
        if (!block) {
            PyErr_SetString(PyExc_MemoryError, "Cannot allocate memory for constructors");
            return nullptr;
        }
        *block = {schema->strings, 0, capacity};
        schema->strings = block;
    }
    void* p = block->data + block->used;
    block->used += size;
    return p;
}

// A NUL-terminated copy in the schema's string blocks, or null with MemoryError pending.
char* copy_cstr(TLSchema* schema, const char* data, size_t size) noexcept {
    auto* p = static_cast<char*>(carve(schema, size + 1));
    if (!p) return nullptr;
    std::memcpy(p, data, size);
    p[size] = '\0';
    return p;
}

// UTF-8 of an exact str (strict: a lone surrogate raises UnicodeEncodeError), or null.
const char* utf8_of(PyObject* s, Py_ssize_t* size) noexcept {
    return PyUnicode_AsUTF8AndSize(s, size);
}

bool expect_exact(PyObject* value, PyTypeObject* type, const char* type_label) noexcept {
    if (value == Py_None || Py_IS_TYPE(value, type)) return true;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type_label, Py_TYPE(value)->tp_name);
    return false;
}

void none_has_no(const char* attribute) noexcept {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", attribute);
}

// dict.get(key, fallback) on an exact dict, as a new reference; null with an exception pending.
Ref dict_get(PyObject* dict, PyObject* key, PyObject* fallback) noexcept {
    PyObject* v = PyDict_GetItemWithError(dict, key);  // borrowed
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) return Ref();
    return Ref::borrow(fallback);
}

struct Keys {
    PyObject *constructors, *methods, *id, *predicate, *method, *type, *params, *name, *empty;
} keys;

bool make_keys() noexcept {
    return intern_once(keys.constructors, "constructors") && intern_once(keys.methods, "methods") &&
           intern_once(keys.id, "id") && intern_once(keys.predicate, "predicate") &&
           intern_once(keys.method, "method") && intern_once(keys.type, "type") &&
           intern_once(keys.params, "params") && intern_once(keys.name, "name") && intern_once(keys.empty, "");
}

// The identifier of an entry: an exact int as it is, anything else through int(); negative
// values are taken modulo 2**32; above 0xFFFFFFFF is an OverflowError.
bool entry_id(PyObject* value, uint32_t* out) noexcept {
    // Real schemas give identifiers as short signed decimal text: read those directly.
    if (PyUnicode_CheckExact(value) && PyUnicode_IS_ASCII(value)) {
        std::string_view t(static_cast<const char*>(PyUnicode_DATA(value)),
                           static_cast<size_t>(PyUnicode_GET_LENGTH(value)));
        bool negative = !t.empty() && t[0] == '-';
        std::string_view digits = negative ? t.substr(1) : t;
        if (!digits.empty() && digits.size() <= 10 &&
            digits.find_first_not_of("0123456789") == std::string_view::npos) {
            long long v = 0;
            for (char ch : digits) v = v * 10 + (ch - '0');
            if (negative) v = -v;
            if (v >= -0xFFFFFFFFLL && v <= 0xFFFFFFFFLL) {
                *out = static_cast<uint32_t>(static_cast<unsigned long long>(v) & 0xFFFFFFFFu);
                return true;
            }
        }
    }
    Ref n = PyLong_CheckExact(value) ? Ref::borrow(value) : Ref::steal(PyNumber_Long(value));
    if (!n) return false;
    int overflow;
    long long v = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
    if (!overflow && v >= 0 && v <= 0xFFFFFFFFLL) {
        *out = static_cast<uint32_t>(v);
        return true;
    }
    if (!overflow && v < 0) {
        *out = static_cast<uint32_t>(static_cast<unsigned long long>(v) & 0xFFFFFFFFu);
        return true;
    }
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow < 0) {  // a huge negative number: its low 32 bits, as Python's & computes them
        Ref mask = Ref::steal(PyLong_FromUnsignedLong(0xFFFFFFFFul));
        if (!mask) return false;
        Ref low = Ref::steal(PyNumber_And(n.get(), mask.get()));
        if (!low) return false;
        *out = static_cast<uint32_t>(PyLong_AsUnsignedLong(low.get()));
        return !PyErr_Occurred();
    }
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C unsigned int");
    return false;
}

}  // namespace

std::string strip_vector_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {  // every "Vector<" first...
        if (text.compare(i, 7, "Vector<") == 0) {
            i += 7;
        } else {
            out += text[i++];
        }
    }
    std::erase(out, '>');  // ...then every '>'
    return out;
}

TLElementType* make_element_type(TLSchemaCompiler* self, const char* type_name) {
    TLElementType* head = nullptr;
    TLElementType** link = &head;
    std::string text = strip_vector_text(type_name);
    // Each level strips at least one "Vector<" off the one above, so a long text such as
    // "VectorVector...<<..." nests thousands of levels, and their texts together grow with the
    // square of its length. Levels are made while their texts add up to a few times the declared
    // text; below that the last record has no element, and the codec derives the deeper levels
    // from its text when data nested that deep actually arrives.
    size_t budget = 4 * text.size() + 4096;
    for (;;) {
        if (text.size() > budget) return head;
        budget -= text.size();
        auto* e = static_cast<TLElementType*>(carve(self->schema, sizeof(TLElementType)));
        if (!e) break;
        *e = {};
        *link = e;
        if (!(e->type_name = copy_cstr(self->schema, text.data(), text.size()))) break;
        Ref py_text = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
        if (!py_text) break;
        e->kind = self->ops->_parse_type(self, py_text.get());
        if (PyErr_Occurred()) break;
        if (e->kind != TL_VECTOR) return head;
        std::string next = strip_vector_text(text);
        if (next == text) {  // strips to itself: its elements are of its own type
            e->element = e;
            return head;
        }
        text = std::move(next);
        link = &e->element;
    }
    return nullptr;  // what was carved goes with the schema
}

// The table that maps a key of a caller's dict to the parameter it names, matched by the str's
// own cached hash. A record whose parameter names repeat gets none (each name is then looked up).
static bool make_key_table(TLConstructor* record) noexcept {
    uint32_t size = 8;
    while (size < 2u * static_cast<uint32_t>(record->param_count)) size *= 2;
    auto* slots = static_cast<TLKeySlot*>(std::malloc(size * sizeof(TLKeySlot)));
    if (!slots) {
        PyErr_NoMemory();
        return false;
    }
    for (uint32_t i = 0; i < size; ++i) slots[i] = {0, -1};
    for (int32_t j = 0; j < record->param_count; ++j) {
        const TLParam& p = record->params[j];
        if (p.flags_word) continue;
        Py_hash_t h = PyObject_Hash(p.py_name);
        if (h == -1) {
            std::free(slots);
            return false;
        }
        uint32_t i = static_cast<uint32_t>(h) & (size - 1);
        for (; slots[i].index >= 0; i = (i + 1) & (size - 1)) {
            if (slots[i].hash == h && same_text(record->params[slots[i].index].py_name, p.py_name)) {
                std::free(slots);  // a repeated name
                return true;
            }
        }
        slots[i] = {h, j};
    }
    record->key_slots = slots;
    record->key_mask = size - 1;
    return true;
}

// What the codec needs of a record, made when it first meets it (compile stays lean) and released
// with the record by free_schema_tables below.
bool prepare_record(TLConstructor* record) noexcept {
    for (int32_t i = 0; i < record->param_count; ++i) {
        TLParam& p = record->params[i];
        if (PyUnicode_CheckExact(p.py_name)) PyUnicode_InternInPlace(&p.py_name);  // swaps in the interned twin
    }
    if (!record->proto) {
        // Grown by insertion from empty, as a dict literal is: with only str keys its table is
        // of the compact str-only kind, which copies and probes faster than a presized one.
        Ref proto = Ref::steal(PyDict_New());
        if (!proto || PyDict_SetItem(proto.get(), str.underscore, record->py_name) < 0) return false;
        for (int32_t i = 0; i < record->param_count; ++i) {
            const TLParam& p = record->params[i];
            if (p.flags_word) continue;
            PyObject* empty = p.is_conditional && p.kind == TL_BOOL ? Py_False : Py_None;
            if (PyDict_SetItem(proto.get(), p.py_name, empty) < 0) return false;
        }
        record->proto = proto.release();
    }
    if (!make_key_table(record)) return false;
    if (record->key_slots && record->value_count && !record->value_keys) {
        auto* keys = static_cast<TLValueKey*>(std::malloc(static_cast<size_t>(record->value_count) * sizeof(TLValueKey)));
        if (!keys) {
            PyErr_NoMemory();
            return false;
        }
        TLValueKey* k = keys;
        for (int32_t i = 0; i < record->param_count; ++i) {
            const TLParam& p = record->params[i];
            if (p.flags_word) continue;
            *k++ = {p.py_name, i, p.flag_field == 1 ? 1 : 0, p.is_conditional ? 1u << (p.flag_bit & 31) : 0u,
                    p.is_conditional && p.kind == TL_BOOL ? 1 : 0};
        }
        record->value_keys = keys;
    }
    record->ready = 1;
    return true;
}

void free_schema_tables(TLSchema* schema) noexcept {
    if (!schema) return;
    if (TLConstructor* records = schema->constructors) {
        for (int32_t i = 0; i < schema->count; ++i) {
            TLConstructor& c = records[i];
            if (c.params) {
                for (int32_t j = 0; j < c.param_count; ++j) Py_CLEAR(c.params[j].py_name);
                std::free(c.params);
            }
            Py_CLEAR(c.py_name);
            Py_CLEAR(c.proto);
            std::free(c.key_slots);
            std::free(c.value_keys);
        }
        std::free(records);
    }
    while (TLStringBlock* block = schema->strings) {
        schema->strings = block->next;
        std::free(block);
    }
    std::free(schema);
}

const TLConstructor* NameCache::find(PyObject* name, Py_hash_t hash) const noexcept {
    if (slots_.empty()) return nullptr;
    size_t mask = slots_.size() - 1;
    for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (!slot.record) return nullptr;
        if (slot.hash == hash && same_text(slot.record->py_name, name)) return slot.record;
    }
}

void NameCache::put(const TLConstructor* record, Py_hash_t hash) noexcept {
    try {
        if ((size_ + 1) * 2 > slots_.size()) {
            std::vector<Slot> old(std::max<size_t>(64, slots_.size() * 2));
            old.swap(slots_);
            size_ = 0;
            for (const Slot& slot : old)
                if (slot.record) put(slot.record, slot.hash);
        }
    } catch (const std::bad_alloc&) {
        return;  // uncached
    }
    size_t mask = slots_.size() - 1;
    size_t i = static_cast<size_t>(hash) & mask;
    while (slots_[i].record) {
        if (slots_[i].record == record) return;
        i = (i + 1) & mask;
    }
    slots_[i] = {hash, record};
    ++size_;
}

const TLConstructor* find_by_name_slow(TLSchemaCompiler* c, PyObject* name, Py_hash_t hash) {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (!utf8) return nullptr;
    std::string_view key(utf8, static_cast<size_t>(size));
    const TLConstructor* record = find_by_name(c, key.substr(0, key.find('\0')));  // up to a NUL
    // Cached under the record's own name: a name holding a NUL differs from it and stays uncached.
    if (record && same_text(record->py_name, name)) c->maps->name_cache.put(record, hash);
    return record;
}

// ---- How long a schema lives ----

static SchemaLife* life_of(TLSchemaCompilerMaps* m, const TLSchema* schema) noexcept {
    for (auto it = m->live.rbegin(); it != m->live.rend(); ++it)  // the newest, usually
        if (it->schema == schema) return &*it;
    return nullptr;
}

// The schema whose record array holds `record`.
static SchemaLife* life_of_record(TLSchemaCompilerMaps* m, const TLConstructor* record) noexcept {
    std::less<const TLConstructor*> before;  // a total order, across arrays too
    for (auto it = m->live.rbegin(); it != m->live.rend(); ++it) {
        const TLConstructor* records = it->schema->constructors;
        if (records && !before(record, records) && before(record, records + it->schema->count)) return &*it;
    }
    return nullptr;
}

void release_unused(TLSchemaCompiler* c) noexcept {
    TLSchemaCompilerMaps* m = c->maps;
    bool waiting = false;
    for (auto it = m->live.begin(); it != m->live.end();) {
        if (it->schema == c->schema || it->keys || it->holders) {
            ++it;
        } else if (m->calls) {
            waiting = true;
            ++it;
        } else {
            TLSchema* schema = it->schema;
            it = m->live.erase(it);
            free_schema_tables(schema);  // runs no Python code: nothing above can change meanwhile
        }
    }
    m->waiting = waiting;
}

// Gives back one hold on `schema`.
static void drop_hold(TLSchemaCompilerMaps* m, const TLSchema* schema) noexcept {
    SchemaLife* life = life_of(m, schema);
    if (life && life->holders) --life->holders;
}

void adopt_schema(TLSchemaCompiler* c, const TLParser* parser, TLSchema* schema) noexcept {
    if (!schema) return;
    try {
        auto [it, added] = c->maps->holders.try_emplace(parser, schema);
        if (added) return;
        // An entry left by a parser that lived at this address and let go of this compiler without
        // a word (a native subclass swapping compilers): its hold goes.
        drop_hold(c->maps, std::exchange(it->second, schema));
    } catch (const std::bad_alloc&) {
        return;
    }
    release_unused(c);
}

void follow_current_schema(TLSchemaCompiler* c, TLParser* parser) noexcept {
    TLSchemaCompilerMaps* m = c->maps;
    TLSchema* now = c->schema;
    SchemaLife* life = now ? life_of(m, now) : nullptr;
    if (!life) return;  // no schema since a compile failed early: the parser keeps the one it has
    try {
        auto [it, added] = m->holders.try_emplace(parser, now);
        if (!added && it->second != now) {
            drop_hold(m, std::exchange(it->second, now));
            added = true;
        }
        // A parser that holds nothing here yet (given this compiler by a native subclass) takes
        // its first hold; whatever it held before stays held for good.
        if (added) ++life->holders;
    } catch (const std::bad_alloc&) {
        return;  // keeps the schema it has
    }
    parser->schema = now;
    release_unused(c);
}

void release_parser(PyObject* compiler, const TLParser* parser) noexcept {
    if (!compiler || !PyObject_TypeCheck(compiler, TLSchemaCompiler_Type)) return;
    auto* c = reinterpret_cast<TLSchemaCompiler*>(compiler);
    if (!c->maps) return;
    auto it = c->maps->holders.find(parser);
    if (it == c->maps->holders.end()) return;
    drop_hold(c->maps, it->second);
    c->maps->holders.erase(it);
    release_unused(c);
}

const TLConstructor* owner_of(TLSchemaCompiler* c, const TLParam* param) noexcept {
    // Each record's parameters are an array of their own: the one that holds `param` is its record.
    std::less<const TLParam*> before;  // a total order, across arrays too
    for (auto life_it = c->maps->live.rbegin(); life_it != c->maps->live.rend(); ++life_it) {  // newest first
        SchemaLife& life = *life_it;
        const TLSchema* schema = life.schema;
        if (life.owners.empty()) {  // index the arrays once, then search them
            try {
                for (int32_t i = 0; i < schema->count; ++i)
                    if (schema->constructors[i].params)
                        life.owners.emplace_back(schema->constructors[i].params, &schema->constructors[i]);
                std::sort(life.owners.begin(), life.owners.end(),
                          [&](const auto& a, const auto& b) { return before(a.first, b.first); });
            } catch (const std::bad_alloc&) {
                life.owners.clear();
                for (int32_t i = 0; i < schema->count; ++i) {
                    const TLConstructor& r = schema->constructors[i];
                    if (r.params && !before(param, r.params) && before(param, r.params + r.param_count)) return &r;
                }
                continue;
            }
        }
        auto it = std::upper_bound(life.owners.begin(), life.owners.end(), param,
                                   [&](const TLParam* p, const auto& entry) { return before(p, entry.first); });
        if (it == life.owners.begin()) continue;
        const TLConstructor* r = std::prev(it)->second;
        if (before(param, r->params + r->param_count)) return r;
    }
    return nullptr;
}

// Registers a complete record of the schema being compiled (`life`) under its identifier and its
// name, over whatever record held them. May throw std::bad_alloc, leaving every count true (or too
// high, which only keeps a schema longer).
static void enter_record(TLSchemaCompilerMaps* m, SchemaLife& life, TLConstructor* record) {
    life.owners.clear();  // an index made meanwhile (a call during compile) lacks this record
    TLConstructor* was = m->id_map.put(record->id, record);  // room was reserved: no throw
    ++life.keys;
    if (was) {
        if (SchemaLife* earlier = life_of_record(m, was)) --earlier->keys;
    }
    std::string_view name(record->name);
    auto it = m->name_map.find(name);
    if (it == m->name_map.end()) {
        m->name_map.emplace(name, record);
        ++life.keys;
        return;
    }
    // The key views the name copy of the record it leads to: the new record brings its own.
    was = it->second;
    auto node = m->name_map.extract(it);
    node.key() = name;
    node.mapped() = record;
    m->name_map.insert(std::move(node));
    ++life.keys;
    if (SchemaLife* earlier = life_of_record(m, was)) --earlier->keys;
}

static void TLSchemaCompiler_free_schema(TLSchemaCompiler* self) {
    // The maps lead nowhere any more; a schema still held or walked is released when let go.
    self->schema = nullptr;
    self->maps->id_map.clear();
    self->maps->name_map.clear();
    self->maps->name_cache.clear();
    for (SchemaLife& life : self->maps->live) life.keys = 0;
    release_unused(self);
}

// Whoever takes the schema holds it: it stays for the compiler's life, unless the taker is a
// parser that gives it back (adopt_schema).
static TLSchema* TLSchemaCompiler_get_schema(TLSchemaCompiler* self) {
    SchemaLife* life = self->schema && self->maps ? life_of(self->maps, self->schema) : nullptr;
    if (life) ++life->holders;
    return self->schema;
}

// Fills one parameter record from its JSON object; false with an exception pending.
static bool fill_param(TLSchemaCompiler* self, PyObject* param_obj, TLParam* p, TLConstructor* e) {
    if (!expect_exact(param_obj, &PyDict_Type, "dict")) return false;
    if (param_obj == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return false;
    }
    PyObject* fields[2] = {keys.name, keys.type};
    Ref values[2];
    for (int k = 0; k < 2; ++k) {
        PyObject* v = PyDict_GetItemWithError(param_obj, fields[k]);  // borrowed
        if (!v) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, fields[k]);
            return false;
        }
        if (!expect_exact(v, &PyUnicode_Type, "str")) return false;
        values[k] = Ref::borrow(v);
    }
    PyObject* name = values[0].get();
    PyObject* type = values[1].get();
    if (name == Py_None) {
        none_has_no("encode");
        return false;
    }
    Py_ssize_t size;
    const char* utf8 = utf8_of(name, &size);
    if (!utf8 || !(p->name = copy_cstr(self->schema, utf8, static_cast<size_t>(size)))) return false;
    p->py_name = Py_NewRef(name);
    if (std::strcmp(p->name, "flags") == 0) p->flags_word = 1;
    else if (std::strcmp(p->name, "flags2") == 0) p->flags_word = 2;

    p->kind = self->ops->_parse_type(self, type);
    if (PyErr_Occurred()) return false;
    if (!(utf8 = utf8_of(type, &size)) || !(p->type_name = copy_cstr(self->schema, utf8, static_cast<size_t>(size))))
        return false;
    if (!parse_condition({utf8, static_cast<size_t>(size)}, p, e)) return false;
    if (p->kind == TL_VECTOR && !(p->element = make_element_type(self, p->type_name))) return false;
    return true;
}

// Two shapes the encoder must check objects against, found once here so that records without
// them (all of a real layer's, nearly) pay nothing per object: a conditional parameter ahead of
// the flags word that governs it, and a flag (true or Bool) sharing its bit with another field.
static void note_flag_layout(TLConstructor* e) noexcept {
    bool word_seen[2] = {false, false}, before_word[2] = {false, false};
    uint32_t once[2] = {0, 0}, twice[2] = {0, 0}, flags[2] = {0, 0};
    for (int32_t j = 0; j < e->param_count; ++j) {
        const TLParam& p = e->params[j];
        if (p.flags_word) {
            word_seen[p.flags_word - 1] = true;
            if (before_word[p.flags_word - 1]) e->early_conditionals = 1;
            continue;
        }
        if (!p.is_conditional) continue;
        int word = p.flag_field == 1 ? 1 : 0;
        uint32_t bit = 1u << (p.flag_bit & 31);
        if (!word_seen[word]) before_word[word] = true;
        twice[word] |= once[word] & bit;
        once[word] |= bit;
        if (p.kind == TL_BOOL) flags[word] |= bit;
    }
    e->shared_flag_bits[0] = twice[0] & flags[0];
    e->shared_flag_bits[1] = twice[1] & flags[1];
}

static TLConstructor* TLSchemaCompiler_create_constructor(TLSchemaCompiler* self, PyObject* entry,
                                                          int32_t index) {
    static constexpr const char* here = TL_WHERE(TLSchemaCompiler, _create_constructor);
    TLConstructor* e = &self->schema->constructors[index];
    if (entry == Py_None) {
        none_has_no("get");
        return fail<TLConstructor*>(here);
    }
    // The name: "predicate", else "method", else "type", else empty. Presence is by key, so a
    // key holding null counts.
    Ref name;
    for (PyObject* key : {keys.predicate, keys.method, keys.type}) {
        PyObject* v = PyDict_GetItemWithError(entry, key);  // borrowed
        if (v) {
            name = Ref::borrow(v);
            break;
        }
        if (PyErr_Occurred()) return fail<TLConstructor*>(here);
    }
    if (!name) name = Ref::borrow(keys.empty);
    if (!expect_exact(name.get(), &PyUnicode_Type, "str")) return fail<TLConstructor*>(here);
    Ref result_type = dict_get(entry, keys.type, keys.empty);
    if (!result_type || !expect_exact(result_type.get(), &PyUnicode_Type, "str"))
        return fail<TLConstructor*>(here);
    Ref params = dict_get(entry, keys.params, nullptr);
    if (PyErr_Occurred()) return fail<TLConstructor*>(here);
    if (!params) params = Ref::steal(PyList_New(0));
    if (!params || !expect_exact(params.get(), &PyList_Type, "list")) return fail<TLConstructor*>(here);

    if (name.get() == Py_None) {
        none_has_no("encode");
        return fail<TLConstructor*>(here);
    }
    Py_ssize_t size;
    const char* utf8 = utf8_of(name.get(), &size);
    if (!utf8 || !(e->name = copy_cstr(self->schema, utf8, static_cast<size_t>(size)))) return fail<TLConstructor*>(here);
    const auto name_bytes = static_cast<size_t>(size);
    // A name is used up to its first NUL, here as in the maps.
    size_t name_size = std::strlen(e->name);
    e->py_name = name_size == name_bytes
                     ? Py_NewRef(name.get())
                     : PyUnicode_DecodeUTF8(e->name, static_cast<Py_ssize_t>(name_size), nullptr);
    if (!e->py_name) return fail<TLConstructor*>(here);
    // The result type as written; an entry that gives none (or an empty one) is its own result type.
    if (result_type.get() == Py_None || PyUnicode_GET_LENGTH(result_type.get()) == 0) {
        e->result_type = copy_cstr(self->schema, e->name, name_bytes);
    } else {
        const char* type_utf8 = utf8_of(result_type.get(), &size);
        e->result_type = type_utf8 ? copy_cstr(self->schema, type_utf8, static_cast<size_t>(size)) : nullptr;
    }
    if (!e->result_type) return fail<TLConstructor*>(here);

    Ref id = dict_get(entry, keys.id, nullptr);
    if (PyErr_Occurred()) return fail<TLConstructor*>(here);
    if (id) {
        // int() of an odd object runs Python code, which may change this entry under us: every
        // value taken from it above is held by a strong reference.
        if (!entry_id(id.get(), &e->id)) return fail<TLConstructor*>(here);
    }

    if (params.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return fail<TLConstructor*>(here);
    }
    // A snapshot, so that the count stays true even if Python code changes the list meanwhile.
    Ref items = Ref::steal(PyList_AsTuple(params.get()));
    if (!items) return fail<TLConstructor*>(here);
    Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    if (n > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "too many parameters");
        return fail<TLConstructor*>(here);
    }
    e->param_count = static_cast<int32_t>(n);
    if (n == 0) return e;
    e->params = static_cast<TLParam*>(std::calloc(static_cast<size_t>(n), sizeof(TLParam)));
    if (!e->params) {
        PyErr_SetString(PyExc_MemoryError, "Cannot allocate memory for constructors");
        return fail<TLConstructor*>(here);
    }
    for (Py_ssize_t j = 0; j < n; ++j) {
        TLParam* p = &e->params[j];
        if (!fill_param(self, PyTuple_GET_ITEM(items.get(), j), p, e)) return fail<TLConstructor*>(here);
        if (!p->flags_word) ++e->value_count;
        if (p->is_conditional) ++e->conditional_count;
    }
    note_flag_layout(e);
    return e;
}

static void TLSchemaCompiler_parse_json_schema(TLSchemaCompiler* self, PyObject* json_data) {
    static constexpr const char* here = TL_WHERE(TLSchemaCompiler, _parse_json_schema);
    Ref top;
    if (PyUnicode_Check(json_data)) {
        // No namespace: the module's execution failed (a class of it outlived that).
        PyObject* json = module_dict ? PyDict_GetItemWithError(module_dict, str.json) : nullptr;  // borrowed
        if (!json) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", str.json);
            return fail<void>(here);
        }
        top = Ref::steal(PyObject_CallMethodOneArg(json, str.loads, json_data));
        if (!top) return fail<void>(here);
    } else {
        top = Ref::borrow(json_data);
    }
    if (!expect_exact(top.get(), &PyDict_Type, "dict")) return fail<void>(here);
    if (top.get() == Py_None) {
        none_has_no("get");
        return fail<void>(here);
    }
    Ref constructors = dict_get(top.get(), keys.constructors, nullptr);
    if (PyErr_Occurred()) return fail<void>(here);
    if (constructors && !expect_exact(constructors.get(), &PyList_Type, "list")) return fail<void>(here);
    if (constructors.get() == Py_None) {
        none_has_no("extend");
        return fail<void>(here);
    }
    // The combined entry list is always a new list: a caller's dict is never modified.
    Ref entries = Ref::steal(constructors ? PyList_GetSlice(constructors.get(), 0, PY_SSIZE_T_MAX)
                                          : PyList_New(0));
    if (!entries) return fail<void>(here);
    Ref methods = dict_get(top.get(), keys.methods, nullptr);
    if (PyErr_Occurred()) return fail<void>(here);
    if (methods) {
        Ref it = Ref::steal(PyObject_GetIter(methods.get()));
        if (!it) return fail<void>(here);
        while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
            if (PyList_Append(entries.get(), item.get()) < 0) return fail<void>(here);
        }
        if (PyErr_Occurred()) return fail<void>(here);
    }

    // The current tables become earlier ones (compile releases them once nothing needs them).
    // The one step here that can throw (bad_alloc) comes before anything is allocated.
    TLSchemaCompilerMaps* m = self->maps;
    if (m->live.size() == m->live.capacity()) m->live.reserve(2 * m->live.size() + 1);
    self->schema = nullptr;
    auto* schema = static_cast<TLSchema*>(std::calloc(1, sizeof(TLSchema)));
    if (!schema) {
        PyErr_SetString(PyExc_MemoryError, "Cannot allocate memory for schema");
        return fail<void>(here);
    }
    Py_ssize_t count = PyList_GET_SIZE(entries.get());
    if (count > 0 && count <= INT32_MAX) {
        schema->constructors = static_cast<TLConstructor*>(std::calloc(static_cast<size_t>(count), sizeof(TLConstructor)));
        if (!schema->constructors) {
            std::free(schema);
            PyErr_SetString(PyExc_MemoryError, "Cannot allocate memory for constructors");
            return fail<void>(here);
        }
    }
    m->live.push_back(SchemaLife{schema, 0, 0, {}});  // room reserved above
    self->schema = schema;
    if (count > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "too many schema entries");
        return fail<void>(here);
    }
    schema->count = static_cast<int32_t>(count);
    m->id_map.reserve(static_cast<size_t>(count));
    m->name_map.reserve(m->name_map.size() + static_cast<size_t>(count));
    m->name_cache.clear();  // names may now map to other records
    // `entries` is our own list and no Python code below can reach it, so its size holds.
    for (int32_t i = 0; i < schema->count; ++i) {
        PyObject* entry = PyList_GET_ITEM(entries.get(), i);
        if (!expect_exact(entry, &PyDict_Type, "dict")) return fail<void>(here);
        TLConstructor* record = self->ops->_create_constructor(self, entry, i);
        if (PyErr_Occurred()) return fail<void>(here);
        // Python code run by _create_constructor (an id's __int__) may have released earlier
        // schemas, never this one: it is the newest, always the last.
        enter_record(m, m->live.back(), record);
    }
}

bool compiler_ready(const TLSchemaCompiler* self) noexcept {
    if (self->ops && self->maps) return true;
    PyErr_SetString(PyExc_RuntimeError, "TLSchemaCompiler is not initialised: it was not made by its own __new__");
    return false;
}

static PyObject* TLSchemaCompiler_compile(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    static constexpr const char* here = TL_WHERE(TLSchemaCompiler, compile);
    auto* self = reinterpret_cast<TLSchemaCompiler*>(op);
    static const char* const options[] = {"strict"};
    PyObject* given[1];
    std::vector<PyObject*> rest;
    Ref rest_kwnames;
    bool strict = false;
    if (!guarded<bool>([&] { return take_options(args, nargs, kwnames, options, 1, given, &rest, &rest_kwnames); }))
        return fail<PyObject*>(here);
    PyObject* json_data;
    if (!parse_one_arg("compile", "json_data", rest.data(), nargs, rest_kwnames.get(), &json_data) ||
        !option_flag(given[0], &strict))
        return fail<PyObject*>(here);
    if (!compiler_ready(self)) return fail<PyObject*>(here);
    if (self->compiling) {
        // Python code runs inside compile (json.loads, an id's own __int__); a nested compile on
        // the same compiler would fill records of a schema the outer call did not allocate.
        PyErr_SetString(PyExc_RuntimeError, "TLSchemaCompiler.compile is already running on this compiler");
        return fail<PyObject*>(here);
    }
    self->compiling = 1;
    guarded<void>([&] {
        if (!strict) return self->ops->_parse_json_schema(self, json_data);
        if (Ref checked = strict_schema(json_data)) self->ops->_parse_json_schema(self, checked.get());
    });
    self->compiling = 0;
    ++self->maps->compiles;
    // A call made meanwhile (from an id's __int__) may have cached a name that has just gone to a
    // new record, and the earlier one may now be released.
    self->maps->name_cache.clear();
    release_unused(self);  // the schemas this one replaced all over, unless held or walked
    if (PyErr_Occurred()) return fail<PyObject*>(here);
    Py_RETURN_NONE;
}

static PyObject* TLSchemaCompiler_new(PyTypeObject* type, PyObject*, PyObject*) {
    // Any arguments are accepted and ignored.
    auto* self = reinterpret_cast<TLSchemaCompiler*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->ops = &TLSchemaCompiler_default_ops;
    self->maps = new (std::nothrow) TLSchemaCompilerMaps();
    if (!self->maps) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject*>(self);
}

static void TLSchemaCompiler_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<TLSchemaCompiler*>(op);
    PyTypeObject* type = Py_TYPE(op);
    if (type->tp_flags & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(op);  // a Python subclass has GC
    PyObject* pending = PyErr_GetRaisedException();
    if (self->maps) {
        if (self->ops) self->ops->_free_schema(self);
        // What is left was held by someone who never gave it back; no call is in flight (it
        // would hold a reference to this compiler).
        self->schema = nullptr;
        for (SchemaLife& life : self->maps->live) free_schema_tables(life.schema);
        delete self->maps;
        self->maps = nullptr;
    }
    PyErr_SetRaisedException(pending);
    type->tp_free(op);
    Py_DECREF(type);
}

static PyMethodDef TLSchemaCompiler_methods[] = {
    {"compile", TL_FASTCALL(TLSchemaCompiler_compile), METH_FASTCALL | METH_KEYWORDS,
     "compile($self, json_data, *, strict=False)\n--\n\nCompile a schema given as JSON text or as the dict it parses into.\n"
     "strict: refuse entries without id, name, params or result type, malformed type texts,\n"
     "conditions on a flags word the record lacks, and different entries under one id or name."},
    {"entries", TL_FASTCALL(TLSchemaCompiler_entries), METH_FASTCALL | METH_KEYWORDS, "entries($self, /)\n--\n\nThe records of the latest compile, in schema order: a tuple of TLConstructor."},
    {"__reduce__", TL_FASTCALL(refuse_reduce), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate__", TL_FASTCALL(refuse_setstate), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyType_Slot TLSchemaCompiler_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(TLSchemaCompiler_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(TLSchemaCompiler_dealloc)},
    {Py_tp_methods, TLSchemaCompiler_methods},
    {Py_tp_doc, const_cast<char*>("TLSchemaCompiler(*args, **kwargs)\n--\n\nCompiles a TL schema into native tables.")},
    {0, nullptr},
};

PyType_Spec TLSchemaCompiler_spec = {
    "Virel.tl.TLSchemaCompiler",
    sizeof(TLSchemaCompiler),
    0,
    // Immutable like a static type: Python code cannot swap __new__ (or anything else) on the class
    // and hand the parser an object that is not a compiler. Subclasses stay mutable.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    TLSchemaCompiler_slots,
};

bool compiler_module_init() noexcept { return make_keys(); }

}  // namespace virel

extern "C" const TLSchemaCompilerOps TLSchemaCompiler_default_ops = {
    virel::TLSchemaCompiler_parse_json_schema,
    virel::TLSchemaCompiler_create_constructor,
    virel::TLSchemaCompiler_parse_type,
    virel::TLSchemaCompiler_free_schema,
    virel::TLSchemaCompiler_get_schema,
};
