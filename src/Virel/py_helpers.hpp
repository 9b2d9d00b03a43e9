// py_helpers.hpp: our thin layer over the CPython C API (references, errors, argument rules,
// the stack guard), shared by every source file. The native interface is tl.hpp, not this.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

namespace virel {

// Owns one reference. Move-only on purpose: an extra incref is always a visible borrow().
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }               // adopt a new reference
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }  // take an extra one
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        Py_XDECREF(std::exchange(p_, std::exchange(o.p_, nullptr)));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const noexcept { return p_; }                        // borrowed view
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }  // hand the reference to C
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Adds a traceback entry named `where` (file "src/Virel/tl") to the pending exception. tl.cpp.
void add_traceback(const char* where) noexcept;

// The one spelling of every traceback name.
// Kept for callers: see ARCHITECTURE.md, "The compatibility contract".
#define TL_WHERE(cls, op) "Virel.tl." #cls "." #op

// Adds our entry and returns T's "nothing": every failing step ends with `return fail<T>(here)`,
// with its exception pending (a failure without one reaches the caller as SystemError).
template <class T>
T fail(const char* where) noexcept {
    assert(PyErr_Occurred() && "a failure reported without its exception");
    add_traceback(where);
    if constexpr (!std::is_void_v<T>) return T{};
}

// Where nesting must stop on the calling thread: the lowest address its stack may reach, with room
// left below it for raising the error and for what CPython itself does under the last level. The
// interpreter's own count does not keep the C stack safe: 3.13 lets C code nest 10,000 levels
// whatever the stack's size, and 3.12's 1,500 levels overrun a thread made with a small
// threading.stack_size() (a level of pack takes several hundred bytes). UINTPTR_MAX until the
// thread's first nested call finds the floor (stack.cpp).
[[gnu::tls_model("initial-exec")]] extern constinit thread_local std::uintptr_t stack_floor;
// Below the floor, or the floor not found yet: finds it when needed and says whether the stack
// has room for one more level; false, with RecursionError pending, when it really is that deep.
// stack.cpp.
[[gnu::cold, gnu::noinline]] bool stack_has_room(const char* where) noexcept;

// Pairs Py_EnterRecursiveCall with Py_LeaveRecursiveCall on every path, so that nesting in the
// data (or a container that holds itself) ends in RecursionError instead of a blown C stack. The
// stack test is one compare with a thread-local word, inline: it runs once per nested object.
// Departure D1: see ARCHITECTURE.md, "Departures".
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) noexcept : ok_(enter(where)) {}
    ~RecursionGuard() {
        if (ok_) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    explicit operator bool() const noexcept { return ok_; }

private:
    static bool enter(const char* where) noexcept {
        char here;
        if (reinterpret_cast<std::uintptr_t>(&here) < stack_floor) [[unlikely]] {
            if (!stack_has_room(where)) return false;
        }
        return Py_EnterRecursiveCall(where) == 0;
    }
    bool ok_;
};

// The argument rules shared by every one-argument callable of the module. On success *out holds
// a borrowed reference to the argument; on failure a TypeError is pending and false is returned.
// Kept for callers: see ARCHITECTURE.md, "The compatibility contract".
bool parse_one_arg_in_full(const char* func, const char* param, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames, PyObject** out) noexcept;
// One positional argument, the way nearly every call comes, is taken inline; anything else goes
// through the rules above.
[[gnu::always_inline]] inline bool parse_one_arg(const char* func, const char* param,
                                                 PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames, PyObject** out) noexcept {
    if (nargs == 1 && !kwnames) [[likely]] {
        *out = args[0];
        return true;
    }
    return parse_one_arg_in_full(func, param, args, nargs, kwnames, out);
}
// The same rules for a callable that receives a tuple and a dict (the TLParser constructor).
bool parse_one_arg(const char* func, const char* param, PyObject* args, PyObject* kwargs,
                   PyObject** out) noexcept;
// The rules of a callable with `count` parameters named `names`, the first `required` of them
// required: out[i] receives the argument given for names[i] (borrowed), or null when none was.
bool parse_args(const char* func, const char* const* names, Py_ssize_t count, Py_ssize_t required,
                PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) noexcept;
// Keyword-only options beside those rules: values[i] receives the value given for names[i]
// (borrowed), or null; *rest is what is left for the rules above (for a dict of keywords, the same
// dict when no option was given). False with an exception pending (out of memory); the vector
// form may also throw std::bad_alloc.
bool take_options(PyObject* kwargs, const char* const* names, int count, PyObject** values,
                  Ref* rest) noexcept;
bool take_options(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  const char* const* names, int count, PyObject** values,
                  std::vector<PyObject*>* rest_args, Ref* rest_kwnames);
// An option's truth value into *out (left as it is when the option was not given).
bool option_flag(PyObject* value, bool* out) noexcept;
// The rules of a callable that takes no argument at all (__reduce__).
bool parse_no_args(const char* func, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept;

// The pickling refusal, installed as __reduce__ and __setstate__ of both classes.
PyObject* refuse_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* refuse_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

// Turns a C++ standard-library failure in flight into a Python exception, unless one is pending
// already (then the pending one is kept). Call only from inside a catch handler.
void translate_native_failure() noexcept;

// Runs `body`, turning a C++ exception that escapes it into a pending Python one. The body reports
// Python errors by leaving them pending and returning its "nothing"; the caller adds the entry.
// Always inline: it wraps the methods' calls into the codec, where a call of its own costs.
template <class T, class F>
[[gnu::always_inline]] inline T guarded(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        translate_native_failure();
        if constexpr (!std::is_void_v<T>) return T{};
    }
}

// The body of an entry of a native interface table (tl.hpp), which is noexcept: runs `body`, and
// turns a C++ exception that escapes it (std::bad_alloc from a container) into its Python one,
// with the entry's traceback entry `where` added, so that none crosses a table call.
template <class T, class F>
[[gnu::always_inline]] inline T table_entry(const char* where, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        translate_native_failure();
        return fail<T>(where);
    }
}

// Interns `text` into `slot` unless an earlier attempt did (a failed one leaves it null, and the next
// execution of the module tries again); false with MemoryError pending. tl.cpp.
bool intern_once(PyObject*& slot, const char* text) noexcept;

// The constant strs that stay process-wide: interned, each is the one CPython itself keeps for
// that text (a statically allocated, immortal str, the same object in every interpreter), so
// holding it here shares nothing between interpreters. The encoder compares an object's first key
// with `underscore` by identity, once per object, where a lookup of the module's state would cost
// more than the test. Made when the module is executed; the module's other names are in its state
// (ModuleState::strings).
struct Strings {
    PyObject* underscore;  // "_"
    PyObject* get;         // "get"
    PyObject* notes;       // "__notes__"
};
extern Strings interned;

}  // namespace virel
