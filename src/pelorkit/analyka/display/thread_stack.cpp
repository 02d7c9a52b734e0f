// Where the calling thread's stack ends (see thread_stack.hpp).
#include "display/thread_stack.hpp"

#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#elif defined(_WIN32)
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0602
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0602 // GetCurrentThreadStackLimits: Windows 8
#endif
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#endif

namespace pelorkit::analyka {

std::optional<StackExtent> current_thread_stack() {
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return std::nullopt;
    void *base = nullptr;
    std::size_t size = 0;
    const int failed = pthread_attr_getstack(&attr, &base, &size);
    pthread_attr_destroy(&attr);
    if (failed != 0 || base == nullptr)
        return std::nullopt;
    return StackExtent{reinterpret_cast<std::uintptr_t>(base), size};
#elif defined(__APPLE__)
    // macOS gives the highest address of the stack and its size.
    const pthread_t self = pthread_self();
    const auto top = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
    const std::size_t size = pthread_get_stacksize_np(self);
    if (top == 0 || size == 0 || size > top)
        return std::nullopt;
    return StackExtent{top - size, size};
#elif defined(_WIN32)
    ULONG_PTR low = 0;
    ULONG_PTR high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    if (high <= low)
        return std::nullopt;
    return StackExtent{static_cast<std::uintptr_t>(low), static_cast<std::size_t>(high - low)};
#else
    return std::nullopt;
#endif
}

} // namespace pelorkit::analyka
