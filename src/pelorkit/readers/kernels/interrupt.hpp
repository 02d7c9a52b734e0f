// How a long kernel loop asks its caller whether the user pressed Ctrl-C.
// The kernels run without the interpreter lock; the glue supplies a poll that
// briefly takes the lock and checks for signals.
#pragma once

#include <cstddef>

namespace pelorkit::kernels {

struct InterruptPoll {
    bool (*fn)(void *) = nullptr;
    void *ctx = nullptr;
    // True when the computation must stop now.
    bool operator()() const { return fn != nullptr && fn(ctx); }
};

// Ids written between two polls.
inline constexpr std::size_t kPollStride = std::size_t{1} << 16;

} // namespace pelorkit::kernels
