// error_kinds.hpp: the module's exception classes by kind (DecodeError, TruncatedError,
// MalformedError, EncodeError), and the one step that gives a failure of pack or unpack its kind.
//
// A failure keeps the built-in class it is raised with, its message and its traceback: when a call
// ends in one, the call scope moves the exception to a class made for that built-in class and that
// kind (TruncatedRuntimeError derives from TruncatedError and RuntimeError), so that every `except`
// written for the built-in class still catches it. Departure D34: see ARCHITECTURE.md,
// "Departures".
#pragma once

#include "py_helpers.hpp"
#include "module.hpp"

namespace virel {

// The built-in classes a decoding failure caused by the bytes is raised with, and those of an
// encoding failure caused by the value. An exception of any other class (MemoryError, or one a
// value's own hook raises) keeps its class; so does an instance of a subclass.
inline constexpr int kDecodeBuiltins =
    4;  // RuntimeError, ValueError, UnicodeDecodeError, RecursionError
inline constexpr int kEncodeBuiltins = 9;  // TypeError, ValueError, OverflowError, AttributeError,
                                           // RuntimeError, UnicodeEncodeError, RecursionError,
                                           // KeyError, IndexError

// The classes, made when the module is executed; a class whose layout differs from its built-in
// class's (which cannot happen with CPython's rules, but is checked) is null, and failures of that
// built-in class keep it.
struct ErrorKinds {
    PyObject* decode = nullptr;     // DecodeError(Exception)
    PyObject* truncated = nullptr;  // TruncatedError(DecodeError)
    PyObject* malformed = nullptr;  // MalformedError(DecodeError)
    PyObject* encode = nullptr;     // EncodeError(Exception)
    PyObject* truncated_as[kDecodeBuiltins] = {};
    PyObject* malformed_as[kDecodeBuiltins] = {};
    PyObject* encode_as[kEncodeBuiltins] = {};
};

// Makes the classes and binds them in the module's namespace; false with an exception pending.
bool error_kinds_init(PyObject* module, ErrorKinds* kinds) noexcept;
// Drops the references of `kinds` (the module's state is cleared).
void error_kinds_clear(ErrorKinds* kinds) noexcept;
int error_kinds_traverse(ErrorKinds* kinds, visitproc visit, void* arg) noexcept;

// Gives the pending exception of a failed decode its kind: truncated when the input fell short
// first (parse_error set), or when `parse_error_raised` (the exception is the call's parse error)
// without a shortage: the value's end, padding included, lay past the input (unpack_from);
// malformed otherwise. `at` is where the failing read began, counted in the caller's data: the
// exception's `position`. Called by the call scope before the note is attached. Never raises.
[[gnu::cold]] void give_decode_kind(TLParser* self, uint64_t at, bool parse_error_raised) noexcept;
// The same for strict unpack's bytes left after the object, which begin at `at`: malformed.
[[gnu::cold]] void give_left_over_kind(uint64_t at) noexcept;
// Gives the pending exception of a failed encode its kind (EncodeError). Never raises.
[[gnu::cold]] void give_encode_kind() noexcept;

// Adds a note "did you mean 'NAME'?" to the pending exception of pack for an unknown record
// name `name` (a str), when a record of the compiler's schema has a name close to it. The search
// is bounded (names of 64 bytes at most, lengths that differ by the distance at most) and its
// answer kept per parser, so that a name failing again costs a lookup. Never raises.
[[gnu::cold]] void suggest_record_name(TLParser* self, TLSchemaCompiler* compiler,
                                       PyObject* name) noexcept;

// When json.loads refused the schema text `text` (a str) and the text looks like a file name or
// like TL text rather than JSON, a note saying how to read it (Virel.schemas.load) goes on the
// pending exception. Its type and message stay. Never raises.
[[gnu::cold]] void note_schema_argument(PyObject* text) noexcept;

}  // namespace virel
