// How much C stack the running thread has left.
//
// Recursion over a tree whose depth the caller controls must end with a
// Python RecursionError before it exhausts the thread's stack, whatever that
// thread's stack size is (a thread started with threading.stack_size(256 KiB)
// has far less than the main thread).  The interpreter's own recursion limit
// counts calls, not bytes, so it cannot promise that; this does, by asking the
// thread for its real stack bounds once and comparing the current stack
// pointer against them.
#pragma once

#include "keldra/ref.hpp"

#include <pthread.h>

#include <cstddef>
#include <cstdint>

namespace keldra {

namespace detail {
struct StackBounds {
    std::uintptr_t bottom = 0;  // lowest usable address; 0 when unknown
    std::uintptr_t floor = 0;   // bottom plus the safety margin
};

// This thread's stack bounds, read once per thread.  When they cannot be read
// only the depth bounds of the callers apply.
inline const StackBounds& stack_bounds() noexcept {
    thread_local const StackBounds bounds = [] {
        StackBounds b;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return b;
        void* addr = nullptr;
        std::size_t size = 0;
        const bool ok = pthread_attr_getstack(&attr, &addr, &size) == 0;
        pthread_attr_destroy(&attr);
        if (!ok || !addr) return b;
        // Keep a margin for what runs after the check: CPython calls made by
        // the deepest frame and the unwinding of a C++ exception.
        constexpr std::size_t margin = 96 * 1024;
        const std::size_t keep = size / 4 < margin ? size / 4 : margin;
        b.bottom = reinterpret_cast<std::uintptr_t>(addr);
        b.floor = b.bottom + keep;
        return b;
    }();
    return bounds;
}

inline std::uintptr_t stack_floor() noexcept { return stack_bounds().floor; }
}  // namespace detail

// Bytes of stack left below the caller's frame; SIZE_MAX when unknown.
inline std::size_t stack_left() noexcept {
    char here;
    const std::uintptr_t bottom = detail::stack_bounds().bottom;
    const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(&here);
    if (!bottom) return SIZE_MAX;
    return at > bottom ? at - bottom : 0;
}

// True when the stack is nearly exhausted (stacks grow downwards on every
// platform this builds for).
inline bool stack_low() noexcept {
    char here;
    const std::uintptr_t floor = detail::stack_floor();
    return floor && reinterpret_cast<std::uintptr_t>(&here) < floor;
}

// Raise RecursionError (and unwind) when the stack is nearly exhausted.
inline void check_stack(const char* where) {
    if (stack_low()) raise(PyExc_RecursionError, "maximum nesting depth exceeded %s", where);
}

}  // namespace keldra
