// codec/service.hpp: what the codec does beyond the plain wire rules for the service layer of a
// protocol: a body read and written within the length given just before it (a framed body), a
// gzip_packed inflated where it stands (TLParser(..., inflate=True)), and a boxed vector read
// where an object stands by the type the caller names (unpack(..., result_type=)).
//
// The rules, each worked out from the schema rather than from a list of names:
//  - Framed body. In a record without optional fields, a parameter of type `Object` directly after
//    an `int` parameter named `bytes` is framed: the `bytes` value is the body's length. Unpack
//    reads the body within that many bytes (what it leaves unread is skipped; a body that would
//    read past them is a parse error at that body); pack writes `bytes` from the body it wrote
//    when the value is absent or None, and refuses a given value that differs. The record plan
//    notes the framed parameter once (TLCodecPlan::framed_body).
//  - Inflating. With the parser's inflate mode on, an object read whose id is that of gzip_packed
//    (0x3072cfa1, one `bytes` field) is inflated (gzip format) and the object it holds is decoded
//    in its place. The inflated data of every gzip_packed being decoded at once (one inside the
//    other) counts against one limit, so memory stays below it whatever the nesting.
//  - A boxed vector where an object stands: an object read that meets the vector id instead of a
//    record's is read as the vector type given for the call, when one is given: one type for the
//    whole call, or one per request. In a record, an `Object` parameter right after a `long`
//    parameter named `req_msg_id` is the answer to that request (an rpc_result's result): a vector
//    met while it is read (inflated from a gzip_packed too) is read as the type given for that
//    request id.
#pragma once

#include "codec/parser.hpp"

#include <optional>

namespace virel {

constexpr uint32_t kGzipPackedId = 0x3072CFA1u;
constexpr uint64_t kDefaultInflateLimit = uint64_t{64} << 20;
constexpr uint64_t kMaxInflateLimit = 0xFFFFFFFFu;  // gzip records the inflated size in 32 bits

// The parameter of `record` whose body is framed by the `bytes` parameter just before it (see
// above), or -1. make_plan notes it in the record's plan.
int32_t framed_body_of(const TLConstructor* record) noexcept;
// The parameter of `record` that answers the `req_msg_id` just before it (see above), or -1.
int32_t answer_of(const TLConstructor* record) noexcept;

// A framed record read in one piece. A container's messages are records of a few fixed-width
// numbers and a framed body (the service's `message`: msg_id, seqno, bytes, body), and reading
// them the general way, parameter by parameter, costs as much again as the numbers themselves. So
// when the body is the record's last parameter and every parameter before it an `int` or a `long`,
// the decoder's direct path reads the numbers in one go, stores them straight into the new dict's
// table (as the general path's FieldStore does, under the same rules), and reads the body as the
// general path does. It does so only where the two cannot differ: the numbers all in the input,
// no shortage being read on from; everything else (a shortage among the numbers, the table path
// of a native subclass, whose operations may be its own) takes the general path.
//
// The bytes those numbers take (`body`: the framed body's parameter), or 0 when the record is not
// of that shape. make_plan notes it in the record's plan (TLCodecPlan::framed_head).
uint32_t framed_head_of(const TLConstructor* record, int32_t body) noexcept;

// Whether a record whose numbers take `head` bytes (0: not such a record) is read in one piece at
// the cursor.
template <class Ops>
inline bool reads_in_one_piece(const TLParser* self, uint32_t head) noexcept {
    return Ops::direct && head && !self->parse_error && has_input(self, head);
}

// The recursion level at which the bodies of a vector of framed records are read. The first body
// enters it, as its read_object would; the level is then held for the others, which would each
// enter and leave the same level in turn: between two bodies of one vector the interpreter's
// count is back where it was and the C stack stands where it stood, so entering again could only
// succeed. Left when the vector ends, or before a record that is not read in one piece (the
// general path enters each body's level itself).
struct BodyLevel {
    std::optional<RecursionGuard> guard;
};

// Reads the fields of such a record into `dict`, a copy of its prototype, with the results, the
// errors, the trace and the final position of the general path's read_fields. False with an
// exception pending; a shortage in the body returns true with parse_error set. `level`, when
// given, is the level its body is read at (an element of a vector of such records).
template <class Ops>
bool read_framed_record(TLParser* self, const TLConstructor* record, PyObject* dict,
                        BodyLevel* level = nullptr);

// A boxed object read at a recursion level its caller entered already: read_object without its
// own level (decoder.cpp; direct instances only).
template <class Ops>
PyObject* read_object_in_level(TLParser* self);

// Reads the parameter of `record` that its plan marks as special (TLCodecPlan::special).
template <class Ops>
PyObject* read_special(TLParser* self, const TLConstructor* record, const TLParam* p);

// The analysed form of a result type text given at a call (a str naming a boxed vector type);
// null with an exception pending when it is not one. May throw std::bad_alloc.
const ParsedType* vector_result_type(TLParser* self, TLSchemaCompiler* compiler, PyObject* text);

// Reads the framed body that follows the length read just before it (its four bytes end at the
// cursor). A length that the input cannot hold is a shortage at the length itself. `level`, when
// given, is the level the body is read at (BodyLevel).
template <class Ops>
PyObject* read_framed_body(TLParser* self, BodyLevel* level = nullptr);

// Whether the decoder may read an object in a way of its own for this call: inflate a
// gzip_packed, or read a vector as a result type given for the call.
inline bool service_mode(const TLParser* self) noexcept {
    const CallState* call = call_of(self);
    return (self->state && self->state->config.inflate) || (call && call->vector_results);
}

// An object read met the id of gzip_packed or of a vector at `start` (read already): the value
// read in a way of its own, or null without an exception when this call reads it as ever.
template <class Ops>
PyObject* read_service_object(TLParser* self, uint32_t id, uint64_t start);

// The rest of a gzip_packed whose id (at `start`) was just read, in inflate mode: its data
// inflated and the object inside decoded in its place.
template <class Ops>
PyObject* read_inflated(TLParser* self, uint64_t start);

// An object read met the vector id at `start` (read already): the vector read as the call's
// result type, or null without an exception when the call gave none.
template <class Ops>
PyObject* read_vector_as_result(TLParser* self, uint64_t start);

// ---- inflate.cpp ----

// Inflated data: one block of exactly the inflated size, owned.
class InflatedData {
public:
    InflatedData() noexcept = default;
    ~InflatedData();
    InflatedData(const InflatedData&) = delete;
    InflatedData& operator=(const InflatedData&) = delete;
    unsigned char* data() const noexcept { return data_; }
    uint64_t size() const noexcept { return size_; }

private:
    friend bool inflate_gzip(const unsigned char*, uint64_t, uint64_t, uint64_t,
                             InflatedData*) noexcept;
    unsigned char* data_ = nullptr;
    uint64_t size_ = 0;
};

// Inflates `size` bytes of gzip data into `out`, at most `budget` bytes of it (`limit` is what the
// message names). False with ValueError (not gzip, corrupt, truncated, data after the stream, past
// the limit) or MemoryError pending. Memory stays within the budget: the size the gzip trailer
// gives is allocated once when it fits, and data whose trailer says more is inflated through a
// small scratch block only to tell why it fails.
bool inflate_gzip(const unsigned char* in, uint64_t size, uint64_t budget, uint64_t limit,
                  InflatedData* out) noexcept;

}  // namespace virel
