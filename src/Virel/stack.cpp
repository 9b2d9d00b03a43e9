// stack.cpp: where the calling thread's stack ends, for the nesting guard in py_helpers.hpp.
#include "py_helpers.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstddef>

#if defined(__GLIBC__) && defined(__x86_64__)
// glibc 2.32 and 2.34 gave these two new symbol versions when it moved them from libpthread into
// libc; the original versions still name the same functions. Binding to those keeps the module
// loadable on systems with an older glibc (a wheel tag of manylinux_2_24, not manylinux_2_34).
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#endif

namespace virel {

// Nesting stops while this much of the stack is left (a quarter of a small stack), room enough
// for raising the error and for what CPython itself does below the last level.
constexpr std::size_t kStackReserve = 64 * 1024;

static std::uintptr_t find_stack_floor() noexcept {
    pthread_attr_t attr;
    void* low = nullptr;
    std::size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        if (pthread_attr_getstack(&attr, &low, &size) != 0) low = nullptr;
        pthread_attr_destroy(&attr);
    }
    if (!low) return 0;  // unknown: the interpreter's count alone limits the nesting
    return reinterpret_cast<std::uintptr_t>(low) + std::min(kStackReserve, size / 4);
}

[[gnu::tls_model("initial-exec")]] constinit thread_local std::uintptr_t stack_floor = UINTPTR_MAX;

bool stack_has_room(const char* where) noexcept {
    char here;
    if (stack_floor == UINTPTR_MAX) stack_floor = find_stack_floor();
    if (reinterpret_cast<std::uintptr_t>(&here) >= stack_floor) return true;
    // Departure D1: see ARCHITECTURE.md, "Departures". The message is the interpreter's own.
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
    return false;
}

}  // namespace virel
