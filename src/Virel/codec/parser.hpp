// codec/parser.hpp: TLParser's buffer and wire primitives (inline, shared by both codec halves) and
// the two ways the codec's operations reach one another.
#pragma once

#include "py_helpers.hpp"
#include "codec/trace.hpp"
#include "module.hpp"
#include "schema/compiler.hpp"

#include <bit>
#include <cassert>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace virel {

// Only these know the byte order of the wire (little-endian). memcpy: input may be unaligned.
inline uint32_t load_le32(const unsigned char* p) noexcept {
    uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
}
inline uint64_t load_le64(const unsigned char* p) noexcept {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}
inline void store_le32(unsigned char* p, uint32_t v) noexcept {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    std::memcpy(p, &v, 4);
}
inline void store_le64(unsigned char* p, uint64_t v) noexcept {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
}

constexpr uint32_t kVectorId = 0x1CB5C415u;
// Past this size, the output of pack and pack_as on the direct path moves out of the parser's
// buffer into the bytes object they return, which saves copying it once more at the end.
constexpr uint64_t kBytesOutputFrom = uint64_t{64} * 1024;
// 24 bits of length prefix: longer byte strings cannot be represented.
constexpr Py_ssize_t kMaxByteString = (Py_ssize_t{1} << 24) - 1;

// Cursors are unsigned and padding may push `position` past `input_length`: one test for all reads.
inline bool has_input(const TLParser* self, uint64_t count) noexcept {
    return self->position <= self->input_length && count <= self->input_length - self->position;
}
// How many more bytes a read of `count` at the cursor lacks, when has_input is false (the cursor
// may stand past the end).
inline uint64_t lacking(const TLParser* self, uint64_t count) noexcept {
    return self->position + count - self->input_length;
}

// ---- Read primitives: never raise; a shortage sets parse_error and yields a neutral value. ----

inline uint32_t read_int32(TLParser* self) noexcept {
    if (!has_input(self, 4)) {
        short_of_input(self, self->position, lacking(self, 4));
        return 0;
    }
    uint32_t word = load_le32(self->buffer + self->position);
    self->position += 4;
    return word;
}

inline uint64_t read_int64(TLParser* self) noexcept {
    if (!has_input(self, 8)) {
        short_of_input(self, self->position, lacking(self, 8));
        return 0;
    }
    uint64_t word = load_le64(self->buffer + self->position);
    self->position += 8;
    return word;
}

inline double read_double(TLParser* self) noexcept {
    return std::bit_cast<double>(read_int64(self));
}

inline const char* read_bytes(TLParser* self, Py_ssize_t* size) noexcept {
    *size = 0;
    if (!has_input(self, 1)) {
        short_of_input(self, self->position, lacking(self, 1));
        return nullptr;
    }
    uint64_t length = self->buffer[self->position];
    self->position += 1;  // stands even if the rest fails
    if (length == 254) {
        if (!has_input(self, 3)) {
            short_of_input(self, self->position - 1, lacking(self, 3));
            return nullptr;
        }
        const unsigned char* prefix = self->buffer + self->position;
        length = prefix[0] | (uint64_t{prefix[1]} << 8) | (uint64_t{prefix[2]} << 16);
        self->position += 3;
    }
    if (!has_input(self, length)) {
        // The prefix was one byte holding the length, or 254 and three bytes ending in its top
        // byte, which is never the length itself (a length of 0 never falls short).
        short_of_input(self, self->position - (self->buffer[self->position - 1] == length ? 1 : 4),
                       lacking(self, length));
        return nullptr;
    }
    const char* data = reinterpret_cast<const char*>(self->buffer + self->position);
    // Padding is skipped unchecked; the cursor may end past input_length, and the next read fails.
    self->position = (self->position + length + 3) & ~uint64_t{3};
    *size = static_cast<Py_ssize_t>(length);
    return data;
}

// ---- The codec's operations: one line each, in three lists ----
//
// Each line names a slot of TLParserOps (tl.hpp), the function that implements it, its result, its
// parameters and the arguments that pass them on. Everything else about an operation is generated
// from its line: the declaration of its template, its entry in ViaTable and Direct below, its
// explicit instantiation for the table path (at the end of decoder.cpp or encoder.cpp) and its
// slot in the default table (parser.cpp). Adding an operation takes a slot in tl.hpp, a line here
// and the function itself.

// Templates over how they reach the other operations (Ops: ViaTable or Direct); decoder.cpp.
#define TL_DECODER_OPERATIONS(X)                                                            \
    X(_read_value, read_value, PyObject*,                                                   \
      (TLParser * self, int32_t kind, const char* type_name, const TLElementType* element), \
      (self, kind, type_name, element))                                                     \
    X(_read_string, read_string, PyObject*, (TLParser * self), (self))                      \
    X(_read_vector, read_vector, PyObject*,                                                 \
      (TLParser * self, const char* type_name, const TLElementType* element),               \
      (self, type_name, element))                                                           \
    X(_read_object, read_object, PyObject*, (TLParser * self), (self))

// The same for encoder.cpp.
#define TL_ENCODER_OPERATIONS(X)                                                                \
    X(_write_value, write_value, bool,                                                          \
      (TLParser * self, PyObject * value, int32_t kind, const char* type_name,                  \
       const TLElementType* element),                                                           \
      (self, value, kind, type_name, element))                                                  \
    X(_write_int32, write_int32, bool, (TLParser * self, uint32_t value), (self, value))        \
    X(_write_int64, write_int64, bool, (TLParser * self, uint64_t value), (self, value))        \
    X(_write_double, write_double, bool, (TLParser * self, double value), (self, value))        \
    X(_write_bytes, write_bytes, bool, (TLParser * self, const char* data, Py_ssize_t size),    \
      (self, data, size))                                                                       \
    X(_write_string, write_string, bool, (TLParser * self, PyObject * text), (self, text))      \
    X(_write_vector, write_vector, bool,                                                        \
      (TLParser * self, PyObject * value, const char* type_name, const TLElementType* element), \
      (self, value, type_name, element))                                                        \
    X(_write_object, write_object, bool, (TLParser * self, PyObject * value), (self, value))

// Plain functions that call no other operation: the read primitives above, ensure_buffer.
#define TL_PRIMITIVE_OPERATIONS(X)                                                              \
    X(_read_int32, read_int32, uint32_t, (TLParser * self), (self))                             \
    X(_read_int64, read_int64, uint64_t, (TLParser * self), (self))                             \
    X(_read_double, read_double, double, (TLParser * self), (self))                             \
    X(_read_bytes, read_bytes, const char*, (TLParser * self, Py_ssize_t * size), (self, size)) \
    X(_ensure_buffer, ensure_buffer, void, (TLParser * self, uint64_t extra), (self, extra))

#define TL_DECLARE_TEMPLATE(op, impl, result, params, args) \
    template <class Ops>                                    \
    result impl params;
TL_DECODER_OPERATIONS(TL_DECLARE_TEMPLATE)
TL_ENCODER_OPERATIONS(TL_DECLARE_TEMPLATE)
#undef TL_DECLARE_TEMPLATE
void ensure_buffer(TLParser*, uint64_t) noexcept;

// Every operation reaches the others through one of these. ViaTable goes through the object's table,
// so a native subclass's overrides take effect; Direct calls the default implementations, which
// lets the compiler inline the primitives into the codec. A parser whose table is the default one
// runs Direct from the top (pack, unpack), and the two give the same results by construction.
//
// A policy also says which of the parser's modes (strict encoding, signed integers) is on: the
// direct path has one instance per mode, chosen once per call at the method, so that the
// default instance carries no test of the mode; the table path reads the mode from the parser.
#define TL_VIA_TABLE(op, impl, result, params, args) \
    static result op params { return self->ops->op args; }
struct ViaTable {
    static constexpr bool direct = false;
    static bool strict(const TLParser* self) noexcept;       // parser.cpp
    static bool signed_ints(const TLParser* self) noexcept;  // parser.cpp
    TL_DECODER_OPERATIONS(TL_VIA_TABLE)
    TL_ENCODER_OPERATIONS(TL_VIA_TABLE)
    TL_PRIMITIVE_OPERATIONS(TL_VIA_TABLE)
};
#undef TL_VIA_TABLE

#define TL_DIRECT_TEMPLATE(op, impl, result, params, args) \
    static result op params { return impl<Self> args; }
#define TL_DIRECT_PLAIN(op, impl, result, params, args) \
    static result op params { return impl args; }
#define TL_DIRECT_POLICY(Name, kStrict, kSigned)                                        \
    struct Name {                                                                       \
        using Self = Name;                                                              \
        static constexpr bool direct = true;                                            \
        static constexpr bool strict(const TLParser*) noexcept { return kStrict; }      \
        static constexpr bool signed_ints(const TLParser*) noexcept { return kSigned; } \
        TL_DECODER_OPERATIONS(TL_DIRECT_TEMPLATE)                                       \
        TL_ENCODER_OPERATIONS(TL_DIRECT_TEMPLATE)                                       \
        TL_PRIMITIVE_OPERATIONS(TL_DIRECT_PLAIN)                                        \
    };
TL_DIRECT_POLICY(Direct, false, false)
TL_DIRECT_POLICY(DirectStrict, true, false)  // encoding only: strict changes no read
TL_DIRECT_POLICY(DirectSigned, false, true)  // decoding only: signed changes no write
#undef TL_DIRECT_POLICY
#undef TL_DIRECT_TEMPLATE
#undef TL_DIRECT_PLAIN

// The table path's instance of each template, for the default table: at the end of the file that
// defines the templates.
#define TL_INSTANTIATE_FOR_TABLE(op, impl, result, params, args) \
    template result impl<ViaTable> params;

// Null with RuntimeError pending, saying why the parser has no compiler to call. parser.cpp.
[[gnu::cold]] TLSchemaCompiler* no_compiler(TLParser* self) noexcept;

// The compiler of a parser (its tables), or null with RuntimeError pending when the garbage
// collector has cleared it. Inline: the decoder asks once per object.
inline TLSchemaCompiler* parser_compiler(TLParser* self) noexcept {
    if (self->compiler == Py_None || !self->schema) [[unlikely]]
        return no_compiler(self);
    return reinterpret_cast<TLSchemaCompiler*>(self->compiler);
}

// What the elements of a vector are: from the record worked out at compile time, or, when a
// caller brings none, derived from the vector's type text at the call.
struct VectorElement {
    int32_t kind = TL_INT;  // no type text at all: int elements
    const char* text = nullptr;
    const TLElementType* inner = nullptr;  // the element's own element record, for nested vectors
    std::string derived;
};
// False with an exception pending (MemoryError included: no C++ exception leaves it).
bool vector_element(TLParser* self, const char* type_name, const TLElementType* element,
                    VectorElement* out) noexcept;

// The record of a bare type (TL_BARE_OBJECT): the constructor that its text names, or the one
// constructor of the type it names. Null with ValueError pending when there is none or more than
// one. parser.cpp.
const TLConstructor* bare_record(TLParser* self, const char* type_name) noexcept;

// The record of a vector's elements when they are bare objects, looked up once for the whole
// vector (*record null for elements of another kind). A vector of no elements still looks up the
// bare type its elements, or their elements at any depth, would be read or written as: false with
// ValueError pending when that type names no single record, as the first element would fail. With
// elements, a type that names none is left to them (*record null, true): the first one fails.
bool bare_elements(TLParser* self, const VectorElement& el, Py_ssize_t count,
                   const TLConstructor** record) noexcept;

// An int128 or int256 read from `size` bytes, little-endian: unsigned, or signed with `is_signed`.
inline PyObject* wide_int_from(const unsigned char* at, size_t size, bool is_signed) noexcept {
    return _PyLong_FromByteArray(at, size, 1, is_signed ? 1 : 0);
}

// A type text as unpack_from and the typed packers take it, analysed once per parser.
struct ParsedType {
    int32_t kind;
    const char* text;              // the text itself (the key it is kept under)
    const TLElementType* element;  // null: a vector's elements are derived from `text`
};

struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view t) const noexcept {
        return std::hash<std::string_view>{}(t);
    }
};

// ---- What a parser keeps, in three parts with one owner each ----

// The parser's modes, fixed when it is made (TLParser(..., strict=, signed=, inflate=,
// inflate_limit=)) and never changed after.
struct ParserConfig {
    bool strict = false;  // pack refuses what it would otherwise guess at; unpack, trailing bytes
    bool signed_ints = false;  // unpack reads int and long as signed
    bool inflate = false;      // unpack inflates gzip_packed in place (codec/service.hpp)
    uint64_t inflate_limit = uint64_t{64} << 20;  // inflated bytes alive at once, at most
};

// What the parser keeps from one call to the next to save work, owned by it. Whatever points into a
// schema's records or texts is emptied with the change that may free them (ARCHITECTURE.md, "Who
// owns what"): by the compiler maps' generation, or by the schema it was filled for.
struct ParserCaches {
    // Type texts given at calls, analysed (parsed_type): at most 256, keyed by their own text.
    std::unordered_map<std::string, ParsedType, TextHash, std::equal_to<>> types;
    // Strict encoding: pairs of a schema's type text and a record found to fit it, at a slot
    // chosen by the two pointers, so that a record's fit is worked out once per place it stands.
    struct Fit {
        const char* type;
        const TLConstructor* record;
    };
    static constexpr size_t kFitSlots = 64;  // a power of two
    Fit fits[kFitSlots] = {};
    // The generation of the compiler's maps when `fits` and `result_types` were filled: a change of
    // the maps may release their records and reuse the addresses, so they are emptied when the
    // generation moves on (no two compilers share one: a native subclass may swap compilers).
    uint64_t fits_generation = 0;
    // Strict encoding: every record's result type, to tell a type of the schema from a generic one.
    std::unordered_map<std::string_view, bool, TextHash, std::equal_to<>> result_types;
    const TLSchema* result_types_of = nullptr;
    // pack of an unknown record name, or a bare type naming none: the close name suggested for it
    // (empty: none), for the maps' generation `suggestions_generation` (error_kinds.cpp,
    // type_argument.cpp).
    std::unordered_map<std::string, std::string> suggestions;
    uint64_t suggestions_generation = 0;

    // The suggestion kept for `key` under the maps' `generation`, made by `make()` when none is:
    // at most 64 are kept, all dropped when the generation moves on. May throw std::bad_alloc.
    template <class Make>
    const std::string& suggestion(uint64_t generation, std::string key, Make&& make) {
        if (suggestions_generation != generation || suggestions.size() >= 64) {
            suggestions.clear();
            suggestions_generation = generation;
        }
        auto it = suggestions.find(key);
        if (it == suggestions.end()) it = suggestions.emplace(std::move(key), make()).first;
        return it->second;
    }
};

// The state of the one call running on a parser: made by its CallScope, on the stack, and gone with
// it; the parser points to it for the call (TLParserState::call). Only the first 16 bytes are set
// when the call starts (a call that fails nowhere reads nothing else, and costs no more); each of
// the other fields is written before it is read, as the flag named beside it says.
struct alignas(16) CallState {
    struct Step {
        enum Kind : uint8_t { field, element, record } kind;
        const char* name;  // field or record name, in the schema's blocks
        Py_ssize_t index;  // of an element
    };
    CallState() noexcept = default;
    CallState(const CallState&) = delete;
    CallState& operator=(const CallState&) = delete;

    // ---- Set when the call starts: one block of zeros ----
    bool traced = false;        // steps, at, has_at, exception and hold are set (start_trace)
    bool shortage = false;      // a read of the call found too few bytes (short_at is set)
    bool short_known = false;   // the module's reader said how many (short_need, short_need_at set)
    bool answering = false;     // the answer to a request is being read (answering_id is set)
    bool expecting = false;     // expected_type and expected_lasting are set
    bool moved = false;         // output, own_buffer and own_capacity are set
    bool output_stays = false;  // pack_into: the output never leaves the parser's buffer
    bool vector_results = false;  // result_type and results are set
    // Inflated bytes of the gzip_packed being decoded (nested ones added; codec/service.hpp).
    uint64_t inflated = 0;

    // ---- Written before they are read, as the flags above say ----
    // The trace of a failure, as it unwinds (trace.cpp): its steps, innermost first, in the
    // parser's storage for them (TLParserState::trace_steps), emptied when the trace starts.
    std::vector<Step>* steps;
    uint64_t at;     // where the failing read began, when has_at
    bool has_at;     //
    bool exception;  // the trace is that of an exception (not of a shortage)
    int32_t hold;    // vectors reading on after a shortage
    // Where the first read that found too few bytes began; at least `short_need` more bytes for
    // the shortage that began at `short_need_at` (short_at may move on: a shortage inside a
    // gzip_packed is placed at the gzip_packed).
    uint64_t short_at;
    uint64_t short_need;
    uint64_t short_need_at;
    uint64_t answering_id;  // the request whose answer is being read
    // unpack and unpack_from with result_type: the vector type that a vector id met where an
    // object stands is read as (ResultType, in the entry point, owns it); or, given as a dict,
    // request id -> type text (borrowed, held by the call). One of the two is null.
    const ParsedType* result_type;
    PyObject* results;
    // Strict encoding: the boxed type that the next object written is declared as (a parameter's
    // or an element's type text, condition prefix included), set just before it is written, and
    // whether that text is the schema's own (it lives as long as the call).
    const char* expected_type;
    bool expected_lasting;
    // pack and pack_as on the direct path: once their output outgrew the parser's own buffer past
    // kBytesOutputFrom, it lives in the bytes object they will return (ensure_buffer; owned for the
    // call), and the parser's own buffer waits here until the call ends (CallScope::take_output,
    // drop_output).
    PyObject* output;
    unsigned char* own_buffer;
    uint64_t own_capacity;
};

}  // namespace virel

// What a parser keeps beside its published fields (TLParser::state): made with the parser
// (TLParser_new), deleted with it.
struct TLParserState {
    virel::ParserConfig config;
    virel::ParserCaches caches;
    virel::CallState* call = nullptr;  // the call running on the parser (busy); null between calls
    // The storage of a call's trace steps (CallState::steps), emptied when a trace starts and read
    // only while the call that traced them runs: kept, so that a failing call allocates no steps
    // again.
    std::vector<virel::CallState::Step> trace_steps;
};

namespace virel {

// Every parser that can run an operation has its state: TLParser_new makes it before anything else
// can reach the parser, which is never handed out without it (one that bypassed TLParser_new
// has no table, no compiler and no schema, and CallScope refuses it).

// The state of the call running on the parser, or null outside a call (a native extension may run
// an operation of the default table from code of its own).
inline CallState* call_of(const TLParser* self) noexcept {
    assert(self->state);
    return self->state->call;
}

// The parser's modes, as the methods read them once per call.
inline bool strict_mode(const TLParser* self) noexcept {
    assert(self->state);
    return self->state->config.strict;
}
inline bool signed_mode(const TLParser* self) noexcept {
    assert(self->state);
    return self->state->config.signed_ints;
}

// Strict encoding: the boxed type that the next object written is declared as (`lasting`: the text
// is the schema's own), and taking it back, null when none was set.
inline void expect_type(TLParser* self, const char* type, bool lasting) noexcept {
    if (CallState* call = call_of(self)) {
        call->expected_type = type;
        call->expected_lasting = lasting;
        call->expecting = true;
    }
}
inline const char* take_expected_type(TLParser* self, bool* lasting) noexcept {
    CallState* call = call_of(self);
    if (!call || !std::exchange(call->expecting, false)) return *lasting = false, nullptr;
    *lasting = call->expected_lasting;
    return call->expected_type;
}

// Resizes the parser's buffer to exactly `size` bytes; false (nothing pending) when it cannot be
// had, the old block staying valid and owned. The one place the parser's own buffer is allocated.
bool resize_buffer(TLParser* self, uint64_t size) noexcept;

}  // namespace virel
