// codec/trace.hpp: where a pack or unpack failed. A failing read or write leaves its trace as it
// unwinds, and the method turns the trace into one note on the exception.
#pragma once

#include "py_helpers.hpp"
#include "module.hpp"

namespace virel {

// The innermost step marks the byte where the failing read began (`short_at` for a shortage of
// input, path_mark for an exception), and each level on the way out adds its own step (a field and
// its record, or a vector index). Each of these is called on a failure path only (an exception
// pending, or parse_error set), never otherwise.
// `exception`: the failure is a pending exception rather than a shortage of input. An exception
// raised while a shortage is being traced replaces that trace.
[[gnu::cold]] void path_mark(TLParser* self, uint64_t at) noexcept;
// The mark of a text string that is not UTF-8, worked out afterwards from the pending
// UnicodeDecodeError and the cursor just past the string (so the reader keeps nothing for it).
[[gnu::cold]] void path_mark_text(TLParser* self) noexcept;
[[gnu::cold]] void path_field(TLParser* self, const TLConstructor* record, const TLParam* param,
                              bool exception) noexcept;  // param null: the record alone
[[gnu::cold]] void path_index(TLParser* self, Py_ssize_t index, bool exception) noexcept;
// After a shortage a vector reads on to its end (the final position counts); what those reads meet
// is no part of the trace. delta +1 when the vector starts reading on, -1 when it stops.
[[gnu::cold]] void path_hold(TLParser* self, int delta) noexcept;
// Where the failure being traced began, counted in the caller's data (`base` added): for an
// exception, its mark (else the cursor); for a shortage, where the first short read began.
uint64_t failure_at(const TLParser* self, uint64_t base) noexcept;
// Attaches the trace as one note to the pending exception and clears it. `root`: the type text the
// value was read or written as (null for a boxed object); `base`: what to add to positions (the
// offset of the input inside the caller's data); decoding adds where the failing read began.
[[gnu::cold]] void attach_path_note(TLParser* self, const char* root, bool decoding,
                                    uint64_t base) noexcept;
// The note of bytes left after a whole object (strict unpack): the record read, when known (null:
// none), and the byte where the bytes left begin.
[[gnu::cold]] void attach_left_over_note(const char* record, uint64_t at) noexcept;

// What a read primitive knows of the first shortage of a call: it began at `at`, and at least
// `need` more bytes would let it read on (0: the input announced what no input can hold, a negative
// count: malformed input rather than a short one). Kept in the call's state for the note and the
// failure's kind (error_kinds.cpp, which defines it).
[[gnu::cold, gnu::noinline]] void first_shortage(TLParser* self, uint64_t at,
                                                 uint64_t need) noexcept;

// The failure being traced now counts as beginning at `at`: an exception's mark, when it has one,
// or a shortage (one inside a gzip_packed is placed at the gzip_packed).
[[gnu::cold]] void move_mark(TLParser* self, uint64_t at) noexcept;
[[gnu::cold]] void move_shortage(TLParser* self, uint64_t at) noexcept;

// A read that finds too few bytes: sets parse_error, and remembers where the first such read began
// and how many bytes it lacked. (Plain stores where the input suffices: the call is on the
// shortage's own path.)
// The call comes last, so that a reader inlined around it keeps nothing across it.
inline void short_of_input(TLParser* self, uint64_t at, uint64_t need) noexcept {
    if (self->parse_error) {
        self->parse_error = 1;
        return;
    }
    self->parse_error = 1;
    first_shortage(self, at, need);
}

}  // namespace virel
