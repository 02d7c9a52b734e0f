// How a long kernel loop asks its caller whether the user pressed Ctrl-C.
// The kernels run without the interpreter lock; the glue supplies a poll that
// briefly takes the lock and checks for signals.
#pragma once

#include <algorithm>
#include <cstddef>

namespace pelorkit::kernels {

struct InterruptPoll {
    bool (*fn)(void *) = nullptr;
    void *ctx = nullptr;
    // True when the computation must stop now.
    bool operator()() const { return fn != nullptr && fn(ctx); }
};

// Iterations between two polls in the row loops of the kernels.
inline constexpr std::size_t kPollStride = std::size_t{1} << 16;

// Runs body(i) for every row, asking the poll between strides of rows.
template <class Body> bool for_each_row(std::size_t rows, InterruptPoll poll, Body &&body) {
    for (std::size_t start = 0; start < rows; start += kPollStride) {
        const std::size_t end = std::min(rows, start + kPollStride);
        for (std::size_t i = start; i < end; ++i)
            body(i);
        if (end < rows && poll())
            return false;
    }
    return true;
}

} // namespace pelorkit::kernels
