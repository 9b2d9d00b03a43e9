// stack.cpp: where the calling thread's stack ends, for the nesting guard in capi.hpp.
#include "capi.hpp"

#if PY_VERSION_HEX >= 0x030D0000
#include <pthread.h>

#include <algorithm>
#include <cstddef>

namespace virel {

// Nesting stops while this much of the stack is left (a quarter of a small stack), room enough
// for raising the error and for what CPython itself does below the last level.
constexpr std::size_t kStackReserve = 64 * 1024;

std::uintptr_t find_stack_floor() noexcept {
    pthread_attr_t attr;
    void* low = nullptr;
    std::size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        if (pthread_attr_getstack(&attr, &low, &size) != 0) low = nullptr;
        pthread_attr_destroy(&attr);
    }
    if (!low) return 1;  // unknown: leave it to the interpreter's count alone
    return reinterpret_cast<std::uintptr_t>(low) + std::min(kStackReserve, size / 4);
}

}  // namespace virel
#endif
