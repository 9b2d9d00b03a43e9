// codec/trace.cpp: the trace that a failing pack or unpack leaves as it unwinds, and the note
// that the method makes of it.
#include "codec/trace.hpp"
#include "codec/parser.hpp"
#include "schema/compiler.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace virel {

namespace {

using Step = CallState::Step;

// The trace's fields, set on its first step of the call: its steps start empty.
void start_trace(TLParser* self, CallState* trace) noexcept {
    if (trace->traced) return;
    trace->steps = &self->state->trace_steps;
    trace->steps->clear();  // an earlier call's
    trace->at = 0;
    trace->has_at = false;
    trace->exception = false;
    trace->hold = 0;
    trace->traced = true;
}

// The trace to add to, or null when this step adds nothing (or the operation runs outside a call).
// Never raises: a trace that cannot be kept only costs the note.
CallState* trace_for(TLParser* self, bool exception) noexcept {
    CallState* trace = call_of(self);
    if (!trace) return nullptr;
    start_trace(self, trace);
    if (exception &&
        !trace->exception) {  // the exception is what the caller sees: trace it instead
        trace->steps->clear();
        trace->has_at = false;
        trace->exception = true;
    } else if (!exception && trace->hold > 0) {
        return nullptr;
    }
    return trace;
}

void push(CallState* trace, Step step) noexcept {
    try {
        trace->steps->push_back(step);  // trace_for gave it its storage
    } catch (...) {                     // out of memory: the note comes out shorter
    }
}

void reset(CallState* trace) noexcept {
    trace->traced = false;  // the next trace starts empty
}

}  // namespace

void path_mark(TLParser* self, uint64_t at) noexcept {
    CallState* trace = trace_for(self, true);
    if (trace && !trace->has_at) {
        trace->at = at;
        trace->has_at = true;
    }
}

void path_mark_text(TLParser* self) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return;
    PyObject* exc = PyErr_GetRaisedException();
    if (Ref text = Ref::steal(PyUnicodeDecodeError_GetObject(exc));
        text && PyBytes_Check(text.get())) {
        // The string's bytes end 0 to 3 bytes of padding before the cursor, behind a prefix of one
        // byte holding n or of 254 and n in three bytes: the first place that fits is where it began.
        auto n = static_cast<uint64_t>(PyBytes_GET_SIZE(text.get()));
        const unsigned char* input = self->buffer;
        for (uint64_t pad = 0; pad < 4; ++pad) {
            if (self->position < n + pad + 1) break;
            uint64_t data = self->position - n - pad;
            if (data + n > self->input_length) continue;  // the cursor may stand past the end
            if (std::memcmp(input + data, PyBytes_AS_STRING(text.get()), n) != 0) continue;
            if (n < 254 && input[data - 1] == n) {
                path_mark(self, data - 1);
                break;
            }
            if (data >= 4 && input[data - 4] == 254 &&
                (input[data - 3] | uint64_t{input[data - 2]} << 8 |
                 uint64_t{input[data - 1]} << 16) == n) {
                path_mark(self, data - 4);
                break;
            }
        }
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

void path_field(TLParser* self, const TLConstructor* record, const TLParam* param,
                bool exception) noexcept {
    CallState* trace = trace_for(self, exception);
    if (!trace) return;
    if (param) push(trace, {Step::field, param->name, 0});
    push(trace, {Step::record, record->name, 0});
}

void path_index(TLParser* self, Py_ssize_t index, bool exception) noexcept {
    if (CallState* trace = trace_for(self, exception)) push(trace, {Step::element, nullptr, index});
}

void path_hold(TLParser* self, int delta) noexcept {
    if (CallState* trace = call_of(self)) {
        start_trace(self, trace);
        trace->hold = std::max(0, trace->hold + delta);
    }
}

// "at messages.sendMessage.entities[1].offset (records: messages.sendMessage > messageEntityBold)",
// and when decoding "; the failing read began at byte 36, in messageEntityBold".
// The note stays short whatever the depth (about 1 KB at most): past kEnds levels at each end, the
// path and the records show their first and last kEnds levels with the count left out between,
// and a name longer than kLongName bytes is cut. Departure D36: see ARCHITECTURE.md,
// "Departures".
static std::string path_text(const CallState* trace, const char* root, bool decoding, uint64_t at) {
    constexpr size_t kEnds = 6, kLongName = 64;
    auto name_of = [&](const char* name) {
        std::string_view n(name);
        return n.size() <= kLongName ? std::string(n) : std::string(n.substr(0, kLongName)) + "...";
    };
    // Joins `parts` with `glue`, the middle ones left out when there are many.
    auto joined = [&](const std::vector<std::string>& parts, const char* glue, const char* what) {
        std::string out;
        for (size_t i = 0; i < parts.size(); ++i) {
            if (parts.size() > 2 * kEnds + 1 && i == kEnds) {
                std::string gap =
                    "... (" + std::to_string(parts.size() - 2 * kEnds) + " " + what + ") ...";
                out += *glue ? glue + gap : " " + gap + " ";
                i = parts.size() - kEnds - 1;
                continue;
            }
            if (i) out += glue;
            out += parts[i];
        }
        return out;
    };
    std::string text = "at ";
    std::vector<std::string> path, records;
    const char* innermost = nullptr;
    auto add_record = [&](const char* name) {
        records.push_back(name_of(name));
        innermost = name;
    };
    static const std::vector<Step> none;
    const std::vector<Step>& steps = trace && trace->traced ? *trace->steps : none;
    auto it = steps.rbegin();
    auto end = steps.rend();
    if (root) {
        text += name_of(root);
    } else if (it != end && it->kind == Step::record) {
        text += name_of(it->name);
        add_record(it->name);
        ++it;
    } else {
        text += "the top-level object";
    }
    for (; it != end; ++it) {
        switch (it->kind) {
            case Step::field:
                path.push_back("." + name_of(it->name));
                break;
            case Step::element:
                path.push_back("[" + std::to_string(it->index) + "]");
                break;
            case Step::record:
                add_record(it->name);
                break;
        }
    }
    text += joined(path, "", "levels");
    if (!records.empty()) text += " (records: " + joined(records, " > ", "records") + ")";
    if (decoding) {
        text += "; the failing read began at byte " + std::to_string(at);
        if (innermost) text += ", in " + name_of(innermost);
    }
    return text;
}

// Looks `name` up on `obj` as getattr with a default would, without making an AttributeError for
// a missing attribute: 1 with *out set, 0 when missing, -1 with an exception pending.
static int lookup_optional(PyObject* obj, PyObject* name, PyObject** out) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, out);
#else
    return _PyObject_LookupAttr(obj, name, out);
#endif
}

// Adds `note` to `exc` by BaseException.add_note's rules: a missing __notes__ becomes a new list, a
// list gets the note appended. One difference, to keep the caller's exception: a __notes__ that is
// not a list (add_note raises TypeError) is left alone and gets no note. An error raised while the note is
// attached (the exception's own __getattr__ or __setattr__ may run Python code, and interrupt it)
// propagates as it would out of add_note, with the caller's exception as its context. Takes the
// reference to `exc`; returns the exception to raise.
static PyObject* add_note(PyObject* exc, PyObject* note) noexcept {
    if (!PyExceptionInstance_Check(exc)) return exc;
    PyObject* notes = nullptr;
    int found = lookup_optional(exc, interned.notes, &notes);
    int done = 0;
    if (found == 0) {
        Ref list = Ref::steal(PyList_New(1));
        if (list) {
            PyList_SET_ITEM(list.get(), 0, Py_NewRef(note));  // steals
            done = PyObject_SetAttr(exc, interned.notes, list.get());
        } else {
            done = -1;
        }
    } else if (found > 0) {
        done = PyList_Check(notes) ? PyList_Append(notes, note) : 0;
        Py_DECREF(notes);
    } else {
        done = -1;
    }
    if (done == 0) return exc;
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) return exc;              // cannot happen: a failure leaves its exception
    PyException_SetContext(raised, exc);  // steals exc
    return raised;
}

// Attaches `text` (empty: nothing) as a note to the pending exception. The exception keeps its
// type, message and traceback; a note whose text cannot be made is left out.
static void attach_note(const std::string& text) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    if (!text.empty()) {
        Ref note = Ref::steal(
            PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        if (note) exc = add_note(exc, note.get());
        else PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
}

uint64_t failure_at(const TLParser* self, uint64_t base) noexcept {
    const CallState* trace = call_of(self);
    // A shortage's trace starts where the first short read began; an exception's where its mark says.
    if (!trace) return base + self->position;
    if (trace->traced && trace->exception)
        return base + (trace->has_at ? trace->at : self->position);
    // A native subclass's reader may report a shortage without saying where it began.
    return base + (!self->parse_error ? self->position : trace->shortage ? trace->short_at : 0);
}

void move_mark(TLParser* self, uint64_t at) noexcept {
    CallState* call = call_of(self);
    if (call && call->traced && call->has_at) call->at = at;
}

void move_shortage(TLParser* self, uint64_t at) noexcept {
    if (CallState* call = call_of(self)) {
        call->short_at = at;
        call->shortage = true;
    }
}

void attach_path_note(TLParser* self, const char* root, bool decoding, uint64_t base) noexcept {
    CallState* trace = call_of(self);
    uint64_t at = failure_at(self, base);
    std::string text;
    try {
        text = path_text(trace, root, decoding, at);
    } catch (...) {
        text.clear();
    }
    if (trace) reset(trace);
    attach_note(text);
}

void attach_left_over_note(const char* record, uint64_t at) noexcept {
    std::string text;
    try {
        text = record ? std::string("at ") + record + " (records: " + record + ")"
                      : "at the top-level object";
        text += "; the extra bytes begin at byte " + std::to_string(at);
    } catch (...) {
        text.clear();  // no note rather than none of the error
    }
    attach_note(text);
}

}  // namespace virel
