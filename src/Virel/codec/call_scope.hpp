// codec/call_scope.hpp: what every method that packs or unpacks does around its own work: takes the
// parser for the call, holds its compiler, readies the buffer, picks the instance of the codec
// that the parser's table and modes call for, and traces a failure into a note.
#pragma once

#include "codec/parser.hpp"
#include "codec/strict.hpp"
#include "codec/trace.hpp"
#include "error_kinds.hpp"
#include "schema/compiler.hpp"

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace virel {

// The cursor at the start of an input of `size` bytes.
inline void start_input(TLParser* self, uint64_t size) noexcept {
    self->input_length = size;
    self->position = 0;
    self->parse_error = 0;
}

// One pack or unpack call on one parser, from the end of its argument rules to its return:
//
//   CallScope scope(self);
//   if (!scope) return fail<PyObject*>(here);
//
// The scope holds the call's state (CallState: the trace, the first shortage, the result type, the
// moved output, ...) and points the parser to it for the call (TLParserState::call), which is also
// what makes the parser busy: a parser runs one call at a time, and a second, nested or concurrent
// one is refused. The parser's
// compiler is held, whatever Python code runs meanwhile (which may even compile again), and the
// call is counted among its module's calls in flight (SchemaLedger), so that no schema it may walk
// is freed before it ends (SchemaLife); the parser's `schema` first follows the compiler's current
// one, should the compiler have compiled since the last call. Everything is given back when the
// scope ends, and the call's state goes with it (the trace of a failure the call recovered from
// too).
// Departures D4, D6 and D19: see ARCHITECTURE.md, "Departures".
class CallScope {
public:
    explicit CallScope(TLParser* self) noexcept : self_(self) {
        // A parser has a schema only once TLParser_new made its state (an object that bypassed it
        // has neither).
        TLSchema* schema = self->schema;
        if (self->compiler == Py_None || !schema) [[unlikely]] {
            no_compiler(self);  // says why
            return;
        }
        TLParserState* state = self->state;
        assert(state);
        if (state->call) [[unlikely]] {
            PyErr_SetString(PyExc_RuntimeError,
                            "TLParser is already in use by another pack or unpack call");
            return;
        }
        state->call = &call_;
        compiler_ = reinterpret_cast<TLSchemaCompiler*>(Py_NewRef(self->compiler));
        ledger_ = life_of(schema)->ledger;  // the module's: every schema of it leads there
        ++ledger_->calls;
        if (schema != compiler_->schema) [[unlikely]]
            follow_current_schema(compiler_, self);
    }
    // The call's state goes with the scope: the trace of a failure the call recovered from (a
    // native operation may catch one) names records that may be gone by the next call.
    ~CallScope() {
        if (!compiler_) return;
        if (--ledger_->calls == 0 && ledger_->retired) [[unlikely]]
            free_retired(ledger_);
        Py_DECREF(compiler_);
        self_->state->call = nullptr;
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

    // False (an exception pending) when the call cannot run: the parser is busy or has no compiler.
    explicit operator bool() const noexcept { return compiler_ != nullptr; }
    TLSchemaCompiler* compiler() const noexcept { return compiler_; }
    // The call's own state (what the entry point sets for it: result_type, output_stays).
    CallState& call() noexcept { return call_; }

    // ---- Encoding ----

    // Encodes `value` into the parser's buffer from position 0: a boxed object when `type` is null,
    // else a value of that type. False with the exception pending and its note attached.
    [[gnu::always_inline]] bool encode(PyObject* value, const ParsedType* type) noexcept {
        TLParser* self = self_;
        if (self->capacity < 1024) [[unlikely]] {
            if (!resize_buffer(self, 1024)) {
                PyErr_SetNone(PyExc_MemoryError);
                return false;
            }
        }
        self->position = 0;
        self->parse_error = 0;
        bool strict = strict_mode(self);
        if (strict && !strict_top_value(value, type)) [[unlikely]] {
            give_encode_kind();
            attach_path_note(self, root_of(type), false, 0);
            return false;
        }
        // One small body per shape of call, each inlined into its method (pack's has no type).
        bool ok = type ? guarded<bool>([&] {
            if (self->ops != &TLParser_default_ops)
                return self->ops->_write_value(self, value, type->kind, type->text, type->element);
            return strict ? write_value<DirectStrict>(self, value, type->kind, type->text,
                                                      type->element)
                          : write_value<Direct>(self, value, type->kind, type->text, type->element);
        })
                       : guarded<bool>([&] {
                             if (self->ops != &TLParser_default_ops)
                                 return self->ops->_write_object(self, value);
                             return strict ? write_object<DirectStrict>(self, value)
                                           : write_object<Direct>(self, value);
                         });
        if (!ok) [[unlikely]] {
            give_encode_kind();
            attach_path_note(self, root_of(type), false, 0);
            drop_output();
        }
        return ok;
    }

    // What encode wrote, as a new bytes object: the one it moved into past kBytesOutputFrom
    // (ensure_buffer), cut to its length, else a copy of the parser's buffer. Null with
    // MemoryError pending when it cannot be had. The parser's own buffer is back either way.
    PyObject* take_output() noexcept {
        TLParser* self = self_;
        if (!call_.moved) [[likely]]
            return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(self->buffer),
                                             static_cast<Py_ssize_t>(self->position));
        PyObject* output = call_.output;
        put_back();
        if (_PyBytes_Resize(&output, static_cast<Py_ssize_t>(self->position)) < 0)
            return nullptr;  // freed it
        return output;
    }

    // ---- Decoding ----
    // The input is a copy in the parser's own buffer (copy_input), or the caller's bytes where they
    // are (InputView): either way it starts at the buffer's position 0 when decode runs.

    // The input: a copy of `data` at the start of the parser's own buffer. False with MemoryError
    // pending when the buffer cannot hold it.
    bool copy_input(const char* data, uint64_t size) noexcept {
        TLParser* self = self_;
        if (size > self->capacity) [[unlikely]] {
            if (!resize_buffer(self, size)) {
                PyErr_SetString(PyExc_MemoryError, "Cannot allocate buffer");
                return false;
            }
        }
        if (size) std::memcpy(self->buffer, data, size);
        start_input(self, size);
        return true;
    }

    // Decodes the value at the start of the input: a boxed object when `type` is null, else a value
    // of that type. Null with the exception pending and its note attached: the reader's own, or a
    // parse error when the input fell short (with `within`, also when the value's padding runs past
    // its end). `base` is where the input starts inside the caller's data: it counts in positions.
    [[gnu::always_inline]] Ref decode(const ParsedType* type, uint64_t base, bool within) noexcept {
        TLParser* self = self_;
        Ref result = Ref::steal(type ? guarded<PyObject*>([&] {
            if (self->ops != &TLParser_default_ops)
                return self->ops->_read_value(self, type->kind, type->text, type->element);
            return signed_mode(self)
                       ? read_value<DirectSigned>(self, type->kind, type->text, type->element)
                       : read_value<Direct>(self, type->kind, type->text, type->element);
        })
                                     : guarded<PyObject*>([&] {
                                           if (self->ops != &TLParser_default_ops)
                                               return self->ops->_read_object(self);
                                           return signed_mode(self)
                                                      ? read_object<DirectSigned>(self)
                                                      : read_object<Direct>(self);
                                       }));
        if (!result) [[unlikely]] {
            if (type && type->kind == TL_STRING) path_mark_text(self);  // reads the input
            give_decode_kind(self, failure_at(self, base), false);
            attach_path_note(self, root_of(type), true, base);
            return result;
        }
        if (self->parse_error || (within && self->position > self->input_length)) [[unlikely]] {
            // Where the last read left the cursor, which may lie past the end of the input.
            // Kept for callers: see ARCHITECTURE.md, "The compatibility contract".
            PyErr_Format(PyExc_RuntimeError, "Parse error at position %llu",
                         static_cast<unsigned long long>(base + self->position));
            give_decode_kind(self, failure_at(self, base), true);
            attach_path_note(self, root_of(type), true, base);
            return Ref();
        }
        return result;
    }

private:
    // After a failed encode: the bytes object the output moved into, if any, is released.
    void drop_output() noexcept {
        if (!call_.moved) [[likely]]
            return;
        Py_DECREF(call_.output);
        put_back();
    }
    void put_back() noexcept {
        self_->buffer = call_.own_buffer;
        self_->capacity = call_.own_capacity;
        call_.moved = false;
    }
    // What a failure's path starts from: the type text, except for an object, which names itself.
    static const char* root_of(const ParsedType* type) noexcept {
        return type && type->kind != TL_OBJECT ? type->text : nullptr;
    }
    // Strict encoding of the value at the top: its own type, and for a boxed type, the type that its
    // record must have. False with TypeError pending.
    bool strict_top_value(PyObject* value, const ParsedType* type) noexcept {
        call_.expecting = false;
        if (!type) return true;
        const char* want = strict_expected(type->kind, value);
        if (want) {
            if (!strict_failed(want)) strict_wrong_value(type->text, want, value);
            return false;
        }
        if (type->kind == TL_OBJECT) {
            call_.expected_type = type->text;
            call_.expected_lasting = false;  // parsed for this call
            call_.expecting = true;
        }
        return true;
    }

    TLParser* self_;
    TLSchemaCompiler* compiler_ = nullptr;  // held for the call; null when the call was refused
    SchemaLedger* ledger_;                  // where the call is counted: set with compiler_
    CallState call_;                        // the parser's `state->call` while the call runs
};

// The input of one call: the caller's bytes where they are, in place of the parser's own buffer,
// which comes back when the view ends. Made inside the call's CallScope (nothing else can reach
// the parser meanwhile), and ended before it.
class InputView {
public:
    InputView(TLParser* self, unsigned char* data, uint64_t size) noexcept
        : self_(self), own_(self->buffer), own_capacity_(self->capacity) {
        self->buffer = data;
        self->capacity = size;
        start_input(self, size);
    }
    ~InputView() {
        self_->buffer = own_;
        self_->capacity = own_capacity_;
    }
    InputView(const InputView&) = delete;
    InputView& operator=(const InputView&) = delete;

private:
    TLParser* self_;
    unsigned char* own_;  // the parser's own buffer (null before its first use)
    uint64_t own_capacity_;
};

}  // namespace virel
