// codec/decoder.cpp: TL bytes -> object dicts (_read_object, _read_value, _read_vector, _read_string).
#include "codec/dict_table.hpp"
#include "codec/parser.hpp"
#include "codec/record_plan.hpp"
#include "codec/service.hpp"
#include "schema/compiler.hpp"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <type_traits>

namespace virel {

template <class Ops>
PyObject* read_string(TLParser* self) {
    static constexpr const char* here = TL_WHERE(TLParser, _read_string);
    Py_ssize_t n;
    const char* data = Ops::_read_bytes(self, &n);
    PyObject* text = PyUnicode_DecodeUTF8(data ? data : "", n, nullptr);
    if (!text) return fail<PyObject*>(here);
    return text;
}

// The Python int of a wire int or long: unsigned, or with the parser's signed mode, signed.
// Unsigned by default is kept for callers: see ARCHITECTURE.md, "The compatibility contract".
template <class Ops>
inline PyObject* int_of(const TLParser* self, uint32_t word) noexcept {
    if (Ops::signed_ints(self)) return PyLong_FromLong(static_cast<int32_t>(word));
    return PyLong_FromUnsignedLong(word);
}
template <class Ops>
inline PyObject* long_of(const TLParser* self, uint64_t word) noexcept {
    if (Ops::signed_ints(self)) return PyLong_FromLongLong(static_cast<int64_t>(word));
    return PyLong_FromUnsignedLongLong(word);
}

// The fewest input bytes one element of this kind can take: an upper bound on how many elements
// a given input can back.
static uint64_t min_element_size(int32_t kind) noexcept {
    switch (kind) {
        case TL_LONG:
        case TL_DOUBLE:
            return 8;
        case TL_INT128:
            return 16;
        case TL_INT256:
            return 32;
        case TL_STRING:
        case TL_BYTES:
            return 1;
        case TL_BARE_OBJECT:  // may have no parameters; every count is checked against the input
            return 1;
        default:
            return 4;
    }
}

// Sets `type` with `prefix` followed by the identifier as eight lowercase hex digits.
static void set_error_with_id(PyObject* type, const char* prefix, uint32_t id) noexcept {
    char text[64];
    std::snprintf(text, sizeof text, "%s%08x", prefix, id);
    PyErr_SetString(type, text);
}

template <class Ops>
[[gnu::noinline]] static PyObject* read_bare_object(TLParser* self, const char* type_name,
                                                    const TLConstructor* record = nullptr);
template <class Ops>
[[gnu::noinline]] static PyObject* read_framed_element(TLParser* self, const TLConstructor* record,
                                                       BodyLevel* bodies);

// The elements of a vector, from its count on (what follows the header of a boxed one; all of a
// bare one). Null with an exception pending. Inlined into both kinds of vector.
template <class Ops>
[[gnu::always_inline]] static inline PyObject* read_elements(TLParser* self, const char* type_name,
                                                             const TLElementType* element,
                                                             const char* here) {
    auto count = static_cast<int32_t>(Ops::_read_int32(self));
    uint64_t left = self->position <= self->input_length ? self->input_length - self->position : 0;
    // Departure D2: see ARCHITECTURE.md, "Departures".
    // Every element takes at least one byte: a count the input cannot back is a parse error at
    // once, before anything is allocated for it.
    if (count < 0 || static_cast<uint64_t>(count) > left) {
        // Every element takes a byte at least; no input holds a negative count (need 0).
        short_of_input(self, self->position - 4,
                       count < 0 ? 0 : static_cast<uint64_t>(count) - left);
        PyObject* empty = PyList_New(0);
        if (!empty) return fail<PyObject*>(here);
        return empty;
    }

    VectorElement el;
    if (!vector_element(self, type_name, element, &el)) return fail<PyObject*>(here);
    const int32_t kind = el.kind;
    // Bare objects: their record is looked up once for the vector, not at every element.
    const TLConstructor* bare = nullptr;
    if ((kind == TL_BARE_OBJECT || (count == 0 && is_vector_kind(kind))) &&
        !bare_elements(self, el, count, &bare)) [[unlikely]] {
        // Departure D44: see ARCHITECTURE.md, "Departures".
        path_mark(self, self->position);
        return fail<PyObject*>(here);
    }

    // Memory stays proportional to the input. Elements that cannot nest get slots only for as many
    // as the input can back, and only one such vector is being filled at a time. Elements that
    // can nest (objects, vectors) start with a few slots and the list grows as they are read: a
    // chain of nested vectors, each announcing as many elements as there are bytes left, would
    // otherwise reserve a full list at every level.
    bool nests = kind == TL_OBJECT || kind == TL_VECTOR;
    uint64_t slots = std::min<uint64_t>(static_cast<uint64_t>(count),
                                        nests ? 64 : left / min_element_size(kind) + 1);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(slots)));
    if (!list) return fail<PyObject*>(here);
    Py_ssize_t filled = 0;
    // Vectors of plain numbers (ids, dates) that the input holds in full: read in one tight loop,
    // with the same results as the general loop below.
    if constexpr (Ops::direct) {
        uint64_t width = kind == TL_LONG ? 8 : 4;
        if ((kind == TL_LONG || kind == TL_INT) && static_cast<uint64_t>(count) * width <= left) {
            const unsigned char* at = self->buffer + self->position;
            for (; filled < count; ++filled, at += width) {
                PyObject* item = kind == TL_LONG ? long_of<Ops>(self, load_le64(at))
                                                 : int_of<Ops>(self, load_le32(at));
                if (!item) {
                    Py_SET_SIZE(list.get(), filled);
                    return fail<PyObject*>(here);
                }
                PyList_SET_ITEM(list.get(), filled, item);  // steals
            }
            self->position += static_cast<uint64_t>(count) * width;
            return list.release();
        }
    }
    // Bare framed records (a container's messages, codec/service.hpp): each would enter the same
    // recursion level as it starts and leave it as it ends, so the vector enters it once for all
    // of them, as the first would, and fails as the first would when it cannot.
    const bool framed = Ops::direct && bare && plan_of(bare)->framed_head && count > 0;
    std::optional<RecursionGuard> level;
    BodyLevel bodies;  // and their bodies, one level deeper, held from the first body on
    if (framed && !level.emplace(" while decoding a TL object")) [[unlikely]] {
        add_traceback(TL_WHERE(TLParser, _read_object));
        add_traceback(TL_WHERE(TLParser, _read_value));
        path_index(self, 0, true);
        Py_SET_SIZE(list.get(), 0);
        return fail<PyObject*>(here);
    }
    // Reading on after a shortage keeps the final position the same. Kept for callers: see
    // ARCHITECTURE.md, "The compatibility contract".
    bool reading_on = false;  // past a shortage: the elements read now are no part of its trace
    for (int32_t i = 0; i < count; ++i) {
        uint64_t before = self->position;
        Ref item;
        if (Ops::direct && bare) {  // as _read_value reads it, without looking the record up
            item = Ref::steal(framed ? read_framed_element<Ops>(self, bare, &bodies)
                                     : read_bare_object<Ops>(self, el.text, bare));
            if (!item) add_traceback(TL_WHERE(TLParser, _read_value));
        } else {
            item = Ref::steal(Ops::_read_value(self, kind, el.text, el.inner));
        }
        if (!item) {
            if (reading_on) path_hold(self, -1);
            if (kind == TL_STRING) path_mark_text(self);
            path_index(self, i, true);
            Py_SET_SIZE(list.get(), filled);  // the empty slots are null; the list is dropped
            return fail<PyObject*>(here);
        }
        if (self->parse_error) {
            if (!reading_on) {
                path_index(self, i, false);
                path_hold(self, 1);
                reading_on = true;
            }
            // After a shortage, an element read that did not move the cursor will be repeated
            // identically by every later one: the result is discarded anyway and the position is
            // final, so stop here.
            if (self->position == before || i + 1 == count) {
                path_hold(self, -1);
                break;
            }
        }
        if (filled < PyList_GET_SIZE(list.get())) {
            PyList_SET_ITEM(list.get(), filled++, item.release());  // steals
        } else if (PyList_Append(list.get(), item.get()) == 0) {
            ++filled;
        } else {
            if (reading_on) path_hold(self, -1);
            path_index(self, i, true);
            return fail<PyObject*>(here);
        }
    }
    Py_SET_SIZE(list.get(), filled);
    return list.release();
}

template <class Ops>
PyObject* read_vector(TLParser* self, const char* type_name, const TLElementType* element) {
    static constexpr const char* here = TL_WHERE(TLParser, _read_vector);
    RecursionGuard depth(" while decoding a TL vector");
    if (!depth) return fail<PyObject*>(here);
    uint32_t header = Ops::_read_int32(self);
    if (header != kVectorId) {
        // A header that was there moved the cursor; a missing one (a shortage) did not.
        // A missing one reads as 0 and fails here, as callers expect: see ARCHITECTURE.md, "The
        // compatibility contract".
        path_mark(self, self->parse_error ? self->position : self->position - 4);
        set_error_with_id(PyExc_ValueError, "Invalid vector ID: 0x", header);
        return fail<PyObject*>(here);
    }
    return read_elements<Ops>(self, type_name, element, here);
}

// A bare vector (`vector<long>`): the count and the elements, without the header. Out of line, as
// the other kinds that are rare in a message: read_value, which every value passes through, stays
// small.
template <class Ops>
[[gnu::noinline]] static PyObject* read_bare_vector(TLParser* self, const char* type_name,
                                                    const TLElementType* element) {
    static constexpr const char* here = TL_WHERE(TLParser, _read_vector);
    RecursionGuard depth(" while decoding a TL vector");
    if (!depth) return fail<PyObject*>(here);
    return read_elements<Ops>(self, type_name, element, here);
}

// An int128 or int256: `size` bytes, little-endian, as an int (signed in signed mode). A shortage
// reads as 0 and moves nothing.
template <class Ops>
[[gnu::noinline]] static PyObject* read_wide(TLParser* self, size_t size) noexcept {
    if (!has_input(self, size)) {
        short_of_input(self, self->position, lacking(self, size));
        return PyLong_FromLong(0);
    }
    const unsigned char* at = self->buffer + self->position;
    self->position += size;
    return wide_int_from(at, size, Ops::signed_ints(self));
}

template <class Ops>
PyObject* read_value(TLParser* self, int32_t kind, const char* type_name,
                     const TLElementType* element) {
    static constexpr const char* here = TL_WHERE(TLParser, _read_value);
    PyObject* value;
    switch (kind) {
        case TL_INT:
            value = int_of<Ops>(self, Ops::_read_int32(self));
            break;
        case TL_LONG:
            value = long_of<Ops>(self, Ops::_read_int64(self));
            break;
        case TL_DOUBLE:
            value = PyFloat_FromDouble(Ops::_read_double(self));
            break;
        case TL_STRING:
            value = Ops::_read_string(self);
            break;
        case TL_BYTES: {
            Py_ssize_t n;
            const char* data = Ops::_read_bytes(self, &n);
            value = PyBytes_FromStringAndSize(data ? data : "", n);
            break;
        }
        case TL_BOOL:
            value = Py_NewRef(Ops::_read_int32(self) ? Py_True : Py_False);
            break;
        case TL_VECTOR:
            value = Ops::_read_vector(self, type_name, element);
            break;
        case TL_OBJECT:
            value = Ops::_read_object(self);
            break;
        case TL_INT128:
            value = read_wide<Ops>(self, 16);
            break;
        case TL_INT256:
            value = read_wide<Ops>(self, 32);
            break;
        case TL_BARE_OBJECT:
            value = read_bare_object<Ops>(self, type_name);
            break;
        case TL_BARE_VECTOR:
            value = read_bare_vector<Ops>(self, type_name, element);
            break;
        default:
            path_mark(self, self->position);
            PyErr_Format(PyExc_ValueError, "Unknown type: %d", kind);
            value = nullptr;
    }
    if (!value) return fail<PyObject*>(here);
    return value;
}

// An exception while reading field `p`: its trace, and false.
[[gnu::cold]] static bool field_failed(TLParser* self, const TLConstructor* record,
                                       const TLParam* p) noexcept {
    path_field(self, record, p, true);
    return false;
}

// Stores the values of one object into a copy of its record's prototype: through the dict's
// entry table directly where it can (each parameter's key sits at a known place in the copy),
// else through PyDict_SetItem.
//
// Writing into the table is sound only while nothing else can see the dict or change it (see
// dict_table.md). The copy is new, owned by the reader alone (PyDict_Copy gave it a key table of
// its own), and untracked by the collector (the prototype holds no container, and the copy keeps
// the prototype's tracking), so no Python code finds it through the gc module; it stays untracked
// while the values go in, and is tracked (when a value needs it) only once they are in (`finish`).
// Nobody has seen it, so no dict watcher watches it and no one holds its version tag: the writes
// need not bump the tag. And the direct writes run only on the codec's direct path, where every
// operation is the codec's own and none runs Python code: a native subclass's operations may run
// Python code between two writes, so its objects are filled through the public call, which tracks
// the dict itself. Each key is written once (the record's names do not repeat), over the
// prototype's None or False, which are immortal: nothing is dropped, their counts mean nothing.
// The direct path's values are exact lists and dicts or objects the collector never tracks, so the
// type's flag alone tells a container, as PyDict_SetItem would.
class FieldStore {
public:
    FieldStore(PyObject* dict, const TLConstructor* record, bool direct) noexcept : dict_(dict) {
        if (direct) entries_ = dict_table::entries_to_fill(dict, 1 + record->value_count);
        assert(!entries_ || dict_table::fillable(dict, entries_));
        if (entries_) ++entries_;  // past "_"
    }
    // Moves to the key of the next parameter that becomes a key (call once per such parameter).
    void next() noexcept { ++at_; }
    // Stores `value` (a new reference, taken) under the current key; false with an exception pending.
    bool put(PyObject* key, PyObject* value) noexcept {
        if (entries_) {
            dict_table::Entry& e = entries_[at_];
            assert(same_text(e.key, key) && (e.value == Py_None || e.value == Py_False));
            assert(_Py_IsImmortal(e.value));
            e.value = value;  // over an immortal value, whose count means nothing
            track_ |= PyType_IS_GC(Py_TYPE(value));
            return true;
        }
        int r = PyDict_SetItem(dict_, key, value);
        Py_DECREF(value);
        return r == 0;
    }
    // Once every value is in: the collector tracks the dict when it holds a container. (A dict
    // left behind by a failure is dropped by the caller; it need not be.)
    void finish() noexcept {
        assert(!entries_ || dict_table::fillable(dict_, entries_ - 1));
        if (track_) PyObject_GC_Track(dict_);
    }

private:
    PyObject* dict_;
    dict_table::Entry* entries_ = nullptr;
    Py_ssize_t at_ = -1;
    bool track_ = false;
};

// Reads the fields of one object into `dict`, a copy of the record's prototype; false with an
// exception pending. A shortage stops it early, with parse_error set. Where names repeat in the
// record, an earlier parameter of the same name may have stored a value under the key of an
// absent one, so absent values are stored too; otherwise the prototype holds them already.
// kSpecial: the record has a parameter read in a way of its own (a framed body or an answer,
// codec/service.hpp).
template <class Ops, bool kNamesRepeat, bool kSpecial = false>
bool read_fields(TLParser* self, const TLConstructor* record, PyObject* dict) {
    uint32_t words[2] = {0, 0};  // the flags and flags2 words of this object
    // A flags word that the input cannot hold reads as 0 and the object goes on (parse_error is not
    // looked at after a flags word): the next field that reads ends it, with the position where that
    // read left the cursor, or with the ValueError of a vector header read as 0. The trace of the
    // shortage names the flags word, where the input first fell short.
    const TLParam* short_flags = nullptr;
    FieldStore store(dict, record, !kNamesRepeat && Ops::direct);
    const TLParam* end = record->params + record->param_count;
    for (const TLParam* p = record->params; p != end; ++p) {
        if (p->flags_word) {
            if (!has_input(self, 4) && !self->parse_error) [[unlikely]]
                short_flags = p;
            words[p->flags_word - 1] = Ops::_read_int32(self);
            continue;
        }
        store.next();
        if (p->is_conditional) {
            bool bit = (words[p->flag_field ? 1 : 0] >> (p->flag_bit & 31)) & 1;
            if (!bit) {
                if (kNamesRepeat &&
                    !store.put(p->py_name, Py_NewRef(p->kind == TL_BOOL ? Py_False : Py_None)))
                    return field_failed(self, record, p);
                continue;
            }
            if (p->kind == TL_BOOL) {
                if (!store.put(p->py_name, Py_NewRef(Py_True)))
                    return field_failed(self, record, p);
                continue;
            }
        }
        PyObject* value;
        if (kSpecial && p == record->params + plan_of(record)->special)
            value = read_special<Ops>(self, record, p);
        else value = Ops::_read_value(self, p->kind, p->type_name, p->element);
        if (!value || self->parse_error) {
            bool exception = !value;
            if (exception && p->kind == TL_STRING) path_mark_text(self);
            path_field(self, record, !exception && short_flags ? short_flags : p, exception);
            Py_XDECREF(value);
            return !exception;  // a shortage: the caller discards what was read
        }
        if (!store.put(p->py_name, value)) return field_failed(self, record, p);
    }
    if (short_flags) [[unlikely]]
        path_field(self, record, short_flags,
                   false);  // nothing read after it: the object ends as it stands
    store.finish();
    return true;
}

// The fields of one object of `record` (its identifier read already, or none: a bare object).
// Inlined into its callers: the boxed object is the hot path of unpack. `bodies`: the level a
// framed record read in one piece reads its body at (an element of a vector of them), or null.
template <class Ops>
[[gnu::always_inline]] static inline PyObject* read_record(TLParser* self,
                                                           const TLConstructor* record,
                                                           const char* here,
                                                           BodyLevel* bodies = nullptr) {
    // A copy of the record's prototype already holds every key in order, with the value of an
    // absent optional field: copying its table is much cheaper than inserting key after key.
    const TLCodecPlan* plan = plan_of(record);
    Ref dict = Ref::steal(PyDict_Copy(plan->proto.get()));
    if (!dict) {
        path_field(self, record, nullptr, true);
        return fail<PyObject*>(here);
    }
    bool ok;
    if (!plan->key_slots) {
        ok = read_fields<Ops, true>(self, record, dict.get());
    } else if (plan->special < 0) {
        ok = read_fields<Ops, false>(self, record, dict.get());
    } else if (reads_in_one_piece<Ops>(self, plan->framed_head)) {
        ok = read_framed_record<Ops>(self, record, dict.get(), bodies);
    } else {
        if (bodies) bodies->guard.reset();  // read field by field, a body enters its own level
        ok = read_fields<Ops, false, true>(self, record, dict.get());
    }
    if (!ok) return fail<PyObject*>(here);
    return dict.release();  // with parse_error set, the caller discards it
}

// A boxed object, at the recursion level entered for it: read_object's work, and that of a framed
// body whose level its vector holds (read_object_in_level).
template <class Ops>
[[gnu::always_inline]] static inline PyObject* read_boxed(TLParser* self, const char* here) {
    if (!has_input(self, 4)) {
        short_of_input(self, self->position, lacking(self, 4));
        Py_RETURN_NONE;
    }
    uint32_t id = Ops::_read_int32(self);
    if ((id == kGzipPackedId || id == kVectorId) && service_mode(self)) [[unlikely]] {
        // A gzip_packed to inflate, or a vector to read as the call's result type.
        if (PyObject* value = read_service_object<Ops>(self, id, self->position - 4)) return value;
        if (PyErr_Occurred()) return fail<PyObject*>(here);
    }
    TLSchemaCompiler* compiler = parser_compiler(self);
    if (!compiler) return fail<PyObject*>(here);
    const TLConstructor* record = find_by_id(compiler, id);
    if (!record) {
        path_mark(self, self->position - 4);
        if (!PyErr_Occurred())
            set_error_with_id(PyExc_ValueError, "Unknown constructor ID: 0x", id);
        return fail<PyObject*>(here);
    }
    return read_record<Ops>(self, record, here);
}

template <class Ops>
PyObject* read_object(TLParser* self) {
    static constexpr const char* here = TL_WHERE(TLParser, _read_object);
    RecursionGuard depth(" while decoding a TL object");
    if (!depth) return fail<PyObject*>(here);
    return read_boxed<Ops>(self, here);
}

template <class Ops>
PyObject* read_object_in_level(TLParser* self) {
    return read_boxed<Ops>(self, TL_WHERE(TLParser, _read_object));
}

// A bare object of `type_name`, whose record the caller may have looked up already.
template <class Ops>
static PyObject* read_bare_object(TLParser* self, const char* type_name,
                                  const TLConstructor* record) {
    static constexpr const char* here = TL_WHERE(TLParser, _read_object);
    RecursionGuard depth(" while decoding a TL object");
    if (!depth) return fail<PyObject*>(here);
    if (!record) record = bare_record(self, type_name);
    if (!record) {
        path_mark(self, self->position);
        return fail<PyObject*>(here);
    }
    return read_record<Ops>(self, record, here);
}

// A bare framed record, an element of a vector that holds its recursion level (read_elements):
// as read_bare_object reads it, without entering the level again; its body, when it is read in
// one piece, at the level the vector holds for bodies.
template <class Ops>
static PyObject* read_framed_element(TLParser* self, const TLConstructor* record,
                                     BodyLevel* bodies) {
    static constexpr const char* here = TL_WHERE(TLParser, _read_object);
    return read_record<Ops>(self, record, here, bodies);
}

TL_DECODER_OPERATIONS(TL_INSTANTIATE_FOR_TABLE)
template PyObject* read_value<Direct>(TLParser*, int32_t, const char*,
                                      const TLElementType*);  // the methods
template PyObject* read_object<Direct>(TLParser*);
template PyObject* read_value<DirectSigned>(TLParser*, int32_t, const char*, const TLElementType*);
template PyObject* read_object<DirectSigned>(TLParser*);
// Strict decoding reads as Direct does; the instance exists so that the service layer's operations
// (service.cpp) can be instantiated for every instance in every build.
template PyObject* read_value<DirectStrict>(TLParser*, int32_t, const char*, const TLElementType*);
template PyObject* read_object<DirectStrict>(TLParser*);
template PyObject* read_object_in_level<Direct>(TLParser*);
template PyObject* read_object_in_level<DirectSigned>(TLParser*);
template PyObject* read_object_in_level<DirectStrict>(TLParser*);

}  // namespace virel
