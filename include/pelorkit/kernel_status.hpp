// How a long kernel loop stops and what it reports, for the kernels of every
// module: the poll through which it asks its caller whether the user pressed
// Ctrl-C (the kernels run without the interpreter lock; the glue supplies a
// poll that briefly takes the lock and checks for signals, run_released in
// pelorkit/interrupts.hpp), and the status every long kernel returns. Plain
// C++ with no Python, like the kernels.
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

// What a long kernel returns. On anything but `done` its outputs are
// incomplete: `interrupted` when the poll asked it to stop (the glue raises
// the KeyboardInterrupt), `rejected` when the input is one it does not read
// (values out of its range, malformed offsets or indices, an item type
// without a kernel; the glue takes another path or raises).
enum class Status { done, interrupted, rejected };

inline bool is_done(Status status) {
    return status == Status::done;
}

// Iterations between two polls in the row loops of the kernels.
inline constexpr std::size_t kPollStride = std::size_t{1} << 16;

// Runs body(i) for i = begin, ..., end - 1, asking the poll before every
// index that is a non-zero multiple of kPollStride. The test stays out of the
// inner loop, which runs as a plain counted loop: with the test inside,
// clang's code took a third more instructions per element than GCC's.
template <class Body>
Status for_each_polled(std::size_t begin, std::size_t end, InterruptPoll poll, Body &&body) {
    for (std::size_t i = begin; i < end;) {
        if (i != 0 && i % kPollStride == 0 && poll())
            return Status::interrupted;
        const std::size_t stop = std::min(end, (i / kPollStride + 1) * kPollStride);
        for (; i < stop; ++i)
            body(i);
    }
    return Status::done;
}

} // namespace pelorkit::kernels
