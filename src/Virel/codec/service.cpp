// codec/service.cpp: framed bodies, gzip_packed inflated in place, and a vector read as the call's
// result type (the rules are in service.hpp).
#include "codec/service.hpp"

#include "codec/dict_table.hpp"
#include "codec/record_plan.hpp"
#include "codec/type_argument.hpp"

#include <cassert>
#include <cstring>

namespace virel {

int32_t framed_body_of(const TLConstructor* record) noexcept {
    if (conditional_count(record) || record->has_flags || record->has_flags2) return -1;
    for (int32_t i = 1; i < record->param_count; ++i) {
        const TLParam& length = record->params[i - 1];
        const TLParam& body = record->params[i];
        if (length.kind == TL_INT && !length.flags_word && std::strcmp(length.name, "bytes") == 0 &&
            body.kind == TL_OBJECT && std::strcmp(body.type_name, "Object") == 0)
            return i;
    }
    return -1;
}

int32_t answer_of(const TLConstructor* record) noexcept {
    for (int32_t i = 1; i < record->param_count; ++i) {
        const TLParam& request = record->params[i - 1];
        const TLParam& answer = record->params[i];
        if (request.kind == TL_LONG && !request.is_conditional &&
            std::strcmp(request.name, "req_msg_id") == 0 && answer.kind == TL_OBJECT &&
            std::strcmp(answer.type_name, "Object") == 0)
            return i;
    }
    return -1;
}

uint32_t framed_head_of(const TLConstructor* record, int32_t body) noexcept {
    if (body < 0 || body != record->param_count - 1) return 0;
    uint32_t head = 0;
    for (int32_t i = 0; i < body; ++i) {
        const TLParam& p = record->params[i];
        if (p.is_conditional || p.flags_word) return 0;
        if (p.kind == TL_INT) head += 4;
        else if (p.kind == TL_LONG) head += 8;
        else return 0;
    }
    return head;
}

const ParsedType* vector_result_type(TLParser* self, TLSchemaCompiler* compiler, PyObject* text) {
    const ParsedType* type = parsed_type(self, compiler, text);
    if (!type) return nullptr;
    // Departure D31: see ARCHITECTURE.md, "Departures".
    if (type->kind != TL_VECTOR || std::strncmp(type->text, "Vector", 6) != 0) {
        PyErr_Format(PyExc_ValueError,
                     "result_type must be a boxed vector type such as 'Vector<long>', got %R",
                     text);
        return nullptr;
    }
    return type;
}

namespace {

// A body read at the level that its vector holds, entered by the first body read (BodyLevel). A
// level that cannot be entered fails as the body's read_object would have.
template <class Ops>
PyObject* read_body_in_level(TLParser* self, BodyLevel* level) {
    if (!level->guard && !level->guard.emplace(" while decoding a TL object")) {
        level->guard.reset();
        return fail<PyObject*>(TL_WHERE(TLParser, _read_object));
    }
    return read_object_in_level<Ops>(self);
}

// read_framed_body's work, inline in read_framed_record.
template <class Ops>
[[gnu::always_inline]] inline PyObject* framed_body(TLParser* self, BodyLevel* level) {
    const uint64_t start = self->position;
    const uint32_t length = load_le32(self->buffer + start - 4);
    // A negative length (as the int it was written as) is one that no input holds.
    if (length > INT32_MAX || !has_input(self, length)) {
        // No input holds a negative length (need 0).
        short_of_input(self, start - 4, length > INT32_MAX ? 0 : lacking(self, length));
        Py_RETURN_NONE;
    }
    const uint64_t outer = self->input_length;
    self->input_length = start + length;
    PyObject* body;
    if constexpr (Ops::direct)
        body = level ? read_body_in_level<Ops>(self, level) : Ops::_read_object(self);
    else body = Ops::_read_object(self);
    self->input_length = outer;
    // What the body left unread is skipped: the next field starts where the length says. (After a
    // shortage inside the body, reading on starts there too.)
    if (body) self->position = start + length;
    return body;
}

}  // namespace

template <class Ops>
PyObject* read_framed_body(TLParser* self, BodyLevel* level) {
    return framed_body<Ops>(self, level);
}

namespace {

// Stores `value` (a new reference, taken) under entry `at` of a new dict that a framed record is
// read into: straight into its table when `entries` is that table, else through PyDict_SetItem.
// False with an exception pending. The direct store is sound under the rules of the general path's
// FieldStore (decoder.cpp, dict_table.md): the dict is a fresh copy of the record's prototype that
// nobody else has seen, untracked and unwatched; the caller runs no Python code between taking
// the table and its last store (its reads are the codec's own, on the direct path only); each
// entry is written once, over the prototype's None (immortal: nothing is dropped). Not FieldStore
// itself: its cursor and its tracking of every value cost the container's reader 27 instructions a
// message, where this reader knows each entry's place and that only the body can be a container.
inline bool store_field(PyObject* dict, dict_table::Entry* entries, int32_t at, PyObject* key,
                        PyObject* value) noexcept {
    if (entries) {
        dict_table::Entry& e = entries[at];
        assert(same_text(e.key, key) && e.value == Py_None && _Py_IsImmortal(e.value));
        e.value = value;  // over an immortal value, whose count means nothing
        return true;
    }
    int r = PyDict_SetItem(dict, key, value);
    Py_DECREF(value);
    return r == 0;
}

}  // namespace

template <class Ops>
bool read_framed_record(TLParser* self, const TLConstructor* record, PyObject* dict,
                        BodyLevel* level) {
    assert(reads_in_one_piece<Ops>(self, plan_of(record)->framed_head));
    const int32_t body = plan_of(record)->framed_body;
    dict_table::Entry* entries =
        Ops::direct ? dict_table::entries_to_fill(dict, 1 + record->value_count) : nullptr;
    assert(!entries || dict_table::fillable(dict, entries));
    // The numbers, each as the general path's read_value reads it. The input holds them all; the
    // cursor stands past each one read, even one whose int could not be made.
    const unsigned char* const buffer = self->buffer;
    uint64_t at = self->position;
    const TLParam* p = record->params;
    for (int32_t i = 0; i < body; ++i, ++p) {
        PyObject* value;
        if (p->kind == TL_LONG) {
            const uint64_t word = load_le64(buffer + at);
            at += 8;
            value = Ops::signed_ints(self) ? PyLong_FromLongLong(static_cast<int64_t>(word))
                                           : PyLong_FromUnsignedLongLong(word);
        } else {
            const uint32_t word = load_le32(buffer + at);
            at += 4;
            // A long holds every 32-bit word, signed or not, and makes a small one faster than
            // PyLong_FromUnsignedLong does: the same int either way.
            static_assert(sizeof(long) > sizeof(uint32_t));
            value = PyLong_FromLong(Ops::signed_ints(self) ? long{static_cast<int32_t>(word)}
                                                           : static_cast<long>(word));
        }
        if (!value || !store_field(dict, entries, 1 + i, p->py_name, value)) [[unlikely]] {
            self->position = at;
            if (!value) add_traceback(TL_WHERE(TLParser, _read_value));
            path_field(self, record, p, true);
            return false;
        }
    }
    self->position = at;
    // The body, as read_special reads it.
    PyObject* value = framed_body<Ops>(self, level);
    if (!value || self->parse_error) {
        const bool exception = !value;
        path_field(self, record, p, exception);
        Py_XDECREF(value);
        return !exception;  // a shortage: the caller discards what was read
    }
    // Once every value is in, the collector tracks the dict when it holds a container (the numbers
    // never are one); PyDict_SetItem tracks it itself.
    const bool container = PyType_IS_GC(Py_TYPE(value));
    if (!store_field(dict, entries, 1 + body, p->py_name, value)) {
        path_field(self, record, p, true);
        return false;
    }
    assert(!entries || dict_table::fillable(dict, entries));
    if (entries && container) PyObject_GC_Track(dict);
    return true;
}

namespace {

// The parser's input, in place of another for the decode of an inflated object, and back when it
// goes.
class InnerInput {
public:
    InnerInput(TLParser* self, unsigned char* data, uint64_t size) noexcept
        : self_(self),
          buffer_(self->buffer),
          capacity_(self->capacity),
          length_(self->input_length),
          position_(self->position) {
        self->buffer = data;
        self->capacity = size;
        self->input_length = size;
        self->position = 0;
    }
    ~InnerInput() {
        self_->buffer = buffer_;
        self_->capacity = capacity_;
        self_->input_length = length_;
        self_->position = position_;
    }
    InnerInput(const InnerInput&) = delete;
    InnerInput& operator=(const InnerInput&) = delete;

private:
    TLParser* self_;
    unsigned char* buffer_;
    uint64_t capacity_, length_, position_;
};

}  // namespace

template <class Ops>
PyObject* read_inflated(TLParser* self, uint64_t start) {
    static constexpr const char* here = TL_WHERE(TLParser, _read_object);
    Py_ssize_t n;
    const char* packed = Ops::_read_bytes(self, &n);
    // Reading on after a shortage (its result is dropped): nothing to inflate.
    if (!packed || self->parse_error) Py_RETURN_NONE;
    CallState* call = call_of(self);
    uint64_t limit = self->state->config.inflate_limit;
    uint64_t outside = 0;  // what is inflated at once, outside a call (a native extension's)
    uint64_t& inflated = call ? call->inflated : outside;
    InflatedData plain;
    if (!inflate_gzip(reinterpret_cast<const unsigned char*>(packed), static_cast<uint64_t>(n),
                      limit - inflated, limit, &plain)) {
        path_mark(self, start);
        return fail<PyObject*>(here);
    }
    inflated += plain.size();
    PyObject* value;
    {
        InnerInput inner(self, plain.data(), plain.size());
        value = Ops::_read_object(self);
    }
    inflated -= plain.size();
    // Positions inside the inflated data mean nothing to the caller: a failure there is placed at
    // the gzip_packed.
    if (!value) {
        move_mark(self, start);
        return fail<PyObject*>(here);
    }
    if (self->parse_error) move_shortage(self, start);
    return value;
}

template <class Ops>
PyObject* read_special(TLParser* self, const TLConstructor* record, const TLParam* p) {
    if (p - record->params == plan_of(record)->framed_body) return read_framed_body<Ops>(self);
    // The answer to the request whose id was read just before it.
    CallState* call = call_of(self);
    if (!call || !call->vector_results || !call->results)
        return Ops::_read_value(self, p->kind, p->type_name, p->element);
    const bool outer = call->answering;
    const uint64_t outer_id = outer ? call->answering_id : 0;
    call->answering = true;
    call->answering_id = load_le64(self->buffer + self->position - 8);
    PyObject* value = Ops::_read_value(self, p->kind, p->type_name, p->element);
    call->answering = outer;
    call->answering_id = outer_id;
    return value;
}

namespace {

// The type text given for the request being answered, borrowed from the call's dict: null when
// there is none (with an exception pending when the lookup failed). The id is looked up as read,
// unsigned, and then signed.
PyObject* type_for_request(const CallState* call) noexcept {
    if (!call->answering) return nullptr;
    for (int as_signed = 0; as_signed < 2; ++as_signed) {
        Ref key =
            Ref::steal(as_signed ? PyLong_FromLongLong(static_cast<int64_t>(call->answering_id))
                                 : PyLong_FromUnsignedLongLong(call->answering_id));
        if (!key) return nullptr;
        PyObject* text = PyDict_GetItemWithError(call->results, key.get());
        if (text || PyErr_Occurred()) return text == Py_None ? nullptr : text;
    }
    return nullptr;
}

}  // namespace

template <class Ops>
PyObject* read_vector_as_result(TLParser* self, uint64_t start) {
    CallState* call = call_of(self);
    if (!call || !call->vector_results) return nullptr;
    const ParsedType* type = call->result_type;
    // A type looked up for a request is copied: analysing another text later may drop the
    // parser's cached one while this vector is read.
    std::string text;
    ParsedType own{};
    if (!type && call->results) {
        Ref given = Ref::borrow(type_for_request(call));
        if (!given) return nullptr;
        TLSchemaCompiler* compiler = parser_compiler(self);
        if (!compiler) return nullptr;
        if (!guarded<bool>([&] {
                const ParsedType* found = vector_result_type(self, compiler, given.get());
                if (!found) return false;
                text = found->text;
                own = {found->kind, text.c_str(), nullptr};
                return true;
            }))
            return nullptr;
        type = &own;
    }
    if (!type) return nullptr;
    self->position = start;
    return Ops::_read_value(self, type->kind, type->text, type->element);
}

template <class Ops>
PyObject* read_service_object(TLParser* self, uint32_t id, uint64_t start) {
    if (id == kGzipPackedId)
        return self->state->config.inflate ? read_inflated<Ops>(self, start) : nullptr;
    return read_vector_as_result<Ops>(self, start);
}

#define TL_SERVICE_DECODING(Ops)                                                                   \
    template PyObject* read_framed_body<Ops>(TLParser*, BodyLevel*);                               \
    template bool read_framed_record<Ops>(TLParser*, const TLConstructor*, PyObject*, BodyLevel*); \
    template PyObject* read_special<Ops>(TLParser*, const TLConstructor*, const TLParam*);         \
    template PyObject* read_inflated<Ops>(TLParser*, uint64_t);                                    \
    template PyObject* read_vector_as_result<Ops>(TLParser*, uint64_t);                            \
    template PyObject* read_service_object<Ops>(TLParser*, uint32_t, uint64_t);
// Every instance both ways: an optimised build inlines what an instance does not use, an
// unoptimised one still names it.
TL_SERVICE_DECODING(ViaTable)
TL_SERVICE_DECODING(Direct)
TL_SERVICE_DECODING(DirectSigned)
TL_SERVICE_DECODING(DirectStrict)

}  // namespace virel
