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
// Lowest usable stack address of this thread plus the safety margin; 0 when
// the bounds could not be read (then only the depth bounds of the callers
// apply).
inline std::uintptr_t stack_floor() noexcept {
    thread_local std::uintptr_t floor = [] {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return std::uintptr_t{0};
        void* addr = nullptr;
        std::size_t size = 0;
        const bool ok = pthread_attr_getstack(&attr, &addr, &size) == 0;
        pthread_attr_destroy(&attr);
        if (!ok || !addr) return std::uintptr_t{0};
        // Keep a margin for what runs after the check: CPython calls made by
        // the deepest frame and the unwinding of a C++ exception.
        constexpr std::size_t margin = 96 * 1024;
        const std::size_t keep = size / 4 < margin ? size / 4 : margin;
        return reinterpret_cast<std::uintptr_t>(addr) + keep;
    }();
    return floor;
}
}  // namespace detail

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
