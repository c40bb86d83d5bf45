// The C stack check of native functions: native functions calling native
// functions (through overrides or rebound methods) consume C stack on every
// level, which Python-to-Python calls do not.
#pragma once

#include "errors.hpp"

#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#endif

#include <algorithm>
#include <cstddef>

namespace vx::detail {

// What is kept free of a stack of `size` bytes: what the interpreter and the
// C++ code between two native entries may still need, and what a handler of
// the RecursionError raised then may use (ordinary work such as a repr of
// nested containers takes tens of KiB). A quarter of the stack, at least
// 128 KiB where the stack allows; a sanitizer's frames are several times
// larger than a release build's, so such a build keeps at least 256 KiB.
inline size_t stack_reserve(size_t size) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    constexpr bool sanitized = true;
#else
    constexpr bool sanitized = false;
#endif
#else
    constexpr bool sanitized = false;
#endif
    if (sanitized)
        return std::max(size / 4, std::min<size_t>(256 * 1024, size / 2));
    return std::max(size / 4, std::min<size_t>(128 * 1024, size / 2));
}

// This thread's stack, found on its first native call. Constant-initialised,
// so that reaching it costs one thread-local access and no guard.
struct StackBounds {
    char *low = nullptr;
    char *high = nullptr;
    size_t reserve = 0;
    bool known = false;
};

// The most stack the check counts on. Under an unlimited stack limit the
// thread library reports the main thread's stack as reaching the next
// mapping, gigabytes away, which the process may never be able to commit:
// a cycle of native calls would then run until memory, not the check, ran
// out.
inline constexpr size_t kLargestCountedStack = size_t{64} * 1024 * 1024;

// The bounds of a stack that ends at `high`, of `size` bytes as reported.
inline StackBounds counted_stack(char *high, size_t size) {
    size = std::min(size, kLargestCountedStack);
    return {high - size, high, stack_reserve(size), true};
}

inline StackBounds find_stack_bounds() {
    StackBounds found;
    found.known = true;
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void *address = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &address, &size) == 0)
            found = counted_stack(static_cast<char *>(address) + size, size);
        pthread_attr_destroy(&attr);
    }
#elif defined(__APPLE__)
    found = counted_stack(static_cast<char *>(pthread_get_stackaddr_np(pthread_self())),
                          pthread_get_stacksize_np(pthread_self()));
#endif
    return found;
}

inline StackBounds *this_threads_stack() {
    static thread_local constinit StackBounds bounds;
    return &bounds;
}

// True when this thread's C stack is nearly used up (see stack_reserve).
// False when the bounds cannot be told (unknown platform, or a stack the
// thread library did not hand out, such as a coroutine's).
inline bool stack_nearly_exhausted() {
    StackBounds *bounds = this_threads_stack();
    if (!bounds->known) [[unlikely]]
        *bounds = find_stack_bounds();
    char *low = bounds->low, *high = bounds->high;
    size_t reserve = bounds->reserve;
#if defined(__GNUC__)
    // The frame itself, also when a sanitizer keeps locals elsewhere.
    char *position = static_cast<char *>(__builtin_frame_address(0));
#else
    char here;
    char *position = &here;
#endif
    if (!low || position <= low || position >= high)
        return false;
    return static_cast<size_t>(position - low) < reserve;
}

// Refuses to enter a native function when the thread's C stack is nearly
// used up. As for a compiled function, the recursion limit counts the Python
// frames of a cycle, not the native ones; a cycle of native calls alone ends
// in a RecursionError here.
inline void check_stack() {
    if (stack_nearly_exhausted()) [[unlikely]] {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        throw nb::python_error();
    }
}

} // namespace vx::detail
