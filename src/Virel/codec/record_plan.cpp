// codec/record_plan.cpp: the plans of records (made on first use, released with their schema
// through the hook set here) and the name cache of the encoder.
#include "codec/record_plan.hpp"

#include "codec/service.hpp"

#include <algorithm>
#include <cassert>
#include <new>
#include <utility>

namespace virel {

namespace {

void release_plan(TLCodecPlan* plan) noexcept { delete plan; }

// The table that maps a key of a caller's dict to the parameter it names, matched by the str's
// own cached hash. A record whose parameter names repeat gets none (each name is then looked up).
bool make_key_table(const TLConstructor* record, TLCodecPlan* plan) noexcept {
    uint32_t size = 8;
    while (size < 2u * static_cast<uint32_t>(record->param_count)) size *= 2;
    std::unique_ptr<KeySlot[]> slots(new (std::nothrow) KeySlot[size]);
    if (!slots) {
        PyErr_NoMemory();
        return false;
    }
    for (uint32_t i = 0; i < size; ++i) slots[i] = {0, -1};
    for (int32_t j = 0; j < record->param_count; ++j) {
        const TLParam& p = record->params[j];
        if (p.flags_word) continue;
        Py_hash_t hash = PyObject_Hash(p.py_name);
        if (hash == -1) return false;
        uint32_t i = static_cast<uint32_t>(hash) & (size - 1);
        for (; slots[i].index >= 0; i = (i + 1) & (size - 1)) {
            if (slots[i].hash == hash &&
                same_text(record->params[slots[i].index].py_name, p.py_name))
                return true;  // a repeated name
        }
        slots[i] = {hash, j};
    }
    plan->key_slots = std::move(slots);
    plan->key_mask = size - 1;
    return true;
}

// The parameters of a record of at most 64 that pack may write whatever fields are present (see
// TLCodecPlan::always_written).
uint64_t always_written(const TLConstructor* record) noexcept {
    // The bits of each flags word that more than one conditional parameter takes.
    uint32_t once[2] = {0, 0}, shared[2] = {0, 0};
    for (int32_t i = 0; i < record->param_count; ++i) {
        const TLParam& p = record->params[i];
        if (p.flags_word || !p.is_conditional) continue;
        int word = p.flag_field == 1 ? 1 : 0;
        uint32_t bit = 1u << (p.flag_bit & 31);
        shared[word] |= once[word] & bit;
        once[word] |= bit;
    }
    uint64_t mask = 0;
    for (int32_t i = 0; i < record->param_count; ++i) {
        const TLParam& p = record->params[i];
        bool shares = p.is_conditional && p.kind != TL_BOOL &&
                      (shared[p.flag_field == 1 ? 1 : 0] & (1u << (p.flag_bit & 31)));
        if (p.flags_word || !p.is_conditional || shares) mask |= uint64_t{1} << i;
    }
    return mask;
}

// The prototype of decoded objects: "_" and every key in order, from the plan's names, values
// None (False for a conditional Bool). Grown by insertion from empty, as a dict literal is: with
// only str keys its table is of the compact str-only kind, which copies and probes faster than a
// presized one. Null with an exception pending.
Ref make_proto(const TLConstructor* record, const TLCodecPlan* plan) noexcept {
    Ref proto = Ref::steal(PyDict_New());
    if (!proto || PyDict_SetItem(proto.get(), interned.underscore, plan->name.get()) < 0)
        return Ref();
    for (int32_t i = 0; i < record->param_count; ++i) {
        const TLParam& p = record->params[i];
        if (p.flags_word) continue;
        PyObject* empty = p.is_conditional && p.kind == TL_BOOL ? Py_False : Py_None;
        if (PyDict_SetItem(proto.get(), plan->names[i].get(), empty) < 0) return Ref();
    }
    return proto;
}

}  // namespace

bool make_plan(TLConstructor* record) noexcept {
    set_codec_plan_release(release_plan);  // before the first plan exists
#if VIREL_INTERN_PLAN_NAMES
    // The names become their interned twins (see TLCodecPlan): in the record too, which then
    // holds one str per name, not two.
    if (PyUnicode_CheckExact(record->py_name)) PyUnicode_InternInPlace(&record->py_name);
    for (int32_t i = 0; i < record->param_count; ++i) {
        TLParam& p = record->params[i];
        if (PyUnicode_CheckExact(p.py_name)) PyUnicode_InternInPlace(&p.py_name);
    }
#endif
    std::unique_ptr<TLCodecPlan> plan(new (std::nothrow) TLCodecPlan());
    if (plan && record->param_count)
        plan->names.reset(new (std::nothrow) Ref[static_cast<size_t>(record->param_count)]);
    if (!plan || (record->param_count && !plan->names)) {
        PyErr_NoMemory();
        return false;
    }
    plan->name = Ref::borrow(record->py_name);
    for (int32_t i = 0; i < record->param_count; ++i)
        plan->names[i] = Ref::borrow(record->params[i].py_name);
    if (!(plan->proto = make_proto(record, plan.get()))) return false;
    if (!make_key_table(record, plan.get())) return false;
    if (plan->key_slots && record->value_count) {
        plan->value_keys.reset(new (std::nothrow)
                                   ValueKey[static_cast<size_t>(record->value_count)]);
        if (!plan->value_keys) {
            PyErr_NoMemory();
            return false;
        }
        ValueKey* key = plan->value_keys.get();
        for (int32_t i = 0; i < record->param_count; ++i) {
            const TLParam& p = record->params[i];
            if (p.flags_word) continue;
            bool flag = p.is_conditional && p.kind == TL_BOOL;
            uint64_t visit =
                p.is_conditional && !flag && record->param_count <= 64 ? uint64_t{1} << i : 0;
            *key++ = {plan->names[i].get(),
                      i,
                      p.flag_field == 1 ? 1 : 0,
                      p.is_conditional ? 1u << (p.flag_bit & 31) : 0u,
                      flag ? 1 : 0,
                      visit};
        }
    }
    if (record->param_count <= 64) plan->always_written = always_written(record);
    if (plan->key_slots) {
        plan->framed_body = framed_body_of(record);
        plan->framed_head = framed_head_of(record, plan->framed_body);
        plan->special = plan->framed_body >= 0 ? plan->framed_body : answer_of(record);
    }
    plan->rare_shape = conditional_count(record) || plan->framed_body >= 0;
    record->codec_plan = plan.release();
    return true;
}

const TLConstructor* NameCache::find(PyObject* name, Py_hash_t hash) const noexcept {
    if (slots_.empty()) return nullptr;
    size_t mask = slots_.size() - 1;
    for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (!slot.record) return nullptr;
        if (slot.hash == hash && same_text(slot.name, name)) return slot.record;
    }
}

void NameCache::put(const TLConstructor* record, Py_hash_t hash) noexcept {
    try {
        if ((size_ + 1) * 2 > slots_.size()) {
            std::vector<Slot> old(std::max<size_t>(64, slots_.size() * 2));
            old.swap(slots_);
            size_ = 0;
            for (const Slot& slot : old)
                if (slot.record) put(slot.record, slot.hash);  // under its plan's name now
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
    slots_[i] = {hash, record, plan_of(record)->name.get()};
    ++size_;
}

void adopt_keys(const TLConstructor* record, PyObject* dict) noexcept {
    auto* plan = const_cast<TLCodecPlan*>(plan_of(record));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) continue;
        int32_t i = param_of_key(record, key);
        if (i < 0 || !should_adopt(plan, i, key)) continue;
        // The str replaced is the record's own (only a str that is not interned is replaced),
        // which the record still holds: this frees nothing.
        plan->names[i] = Ref::borrow(key);
        for (int32_t k = 0; k < record->value_count; ++k)
            if (plan->value_keys[k].param == i) plan->value_keys[k].key = key;
    }
    if (Ref proto = make_proto(record, plan))
        plan->proto = std::move(proto);  // dicts copied from the old one keep their own keys
    else
        PyErr_Clear();  // only a decoded dict's keys are not the caller's: they still compare equal
}

namespace {

// The adoption of a caller's interned "_" value in place of the plan's name (see TLCodecPlan).
bool should_adopt_name(const TLConstructor* record, PyObject* name) noexcept {
#if !VIREL_INTERN_PLAN_NAMES
    return PyUnicode_CHECK_INTERNED(name) && !PyUnicode_CHECK_INTERNED(plan_of(record)->name.get());
#else
    (void)record, (void)name;
    return false;
#endif
}

void adopt_name(const TLConstructor* record, PyObject* name) noexcept {
    auto* plan = const_cast<TLCodecPlan*>(plan_of(record));
    Ref old = std::exchange(plan->name, Ref::borrow(name));  // the record's own: still held by it
    if (Ref proto = make_proto(record, plan)) {
        plan->proto = std::move(proto);
    } else {
        PyErr_Clear();  // the old prototype's "_" value is the old name: keep both as they were
        plan->name = std::move(old);
    }
}

}  // namespace

const TLConstructor* find_by_name_slow(TLSchemaCompiler* compiler, PyObject* name, Py_hash_t hash) {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (!utf8) return nullptr;
    std::string_view key(utf8, static_cast<size_t>(size));
    const TLConstructor* record =
        find_by_name(compiler, key.substr(0, key.find('\0')));  // up to a NUL
    // Cached under the record's own name: a name holding a NUL differs from it and stays uncached.
    if (!record || !same_text(record->py_name, name)) return record;
    if (should_adopt_name(record, name)) adopt_name(record, name);
    std::unique_ptr<MapsWatcher>& watcher = compiler->maps->watcher;
    if (!watcher) watcher.reset(new (std::nothrow) NameCache());  // none: this name stays uncached
    if (watcher) static_cast<NameCache*>(watcher.get())->put(record, hash);
    return record;
}

}  // namespace virel
