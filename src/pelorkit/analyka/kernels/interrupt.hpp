// How a long kernel loop asks its caller whether the user pressed Ctrl-C.
// The kernels run without the interpreter lock; the glue supplies a poll that
// briefly takes the lock and checks for signals.
#pragma once

#include <cstddef>

// Keeps a function out of line: a loop between two polls gets registers of
// its own this way, where clang would otherwise keep its pointers on the
// stack around the poll call and reload them for every element.
#if defined(_MSC_VER)
#define PELORKIT_NOINLINE __declspec(noinline)
#else
#define PELORKIT_NOINLINE __attribute__((noinline))
#endif

namespace pelorkit::kernels {

struct InterruptPoll {
    bool (*fn)(void *) = nullptr;
    void *ctx = nullptr;
    // True when the computation must stop now.
    bool operator()() const { return fn != nullptr && fn(ctx); }
};

// Iterations between two polls in the row loops of the kernels.
inline constexpr std::size_t kPollStride = std::size_t{1} << 16;

// Runs body(i) for i = begin, ..., end - 1, asking `poll` before every index
// that is a non-zero multiple of kPollStride; false when it asked to stop.
// The test stays out of the inner loop, which runs as a plain counted loop;
// with the test inside, clang's code took a third more instructions per
// element than GCC's.
template <class Body>
bool for_each_polled(std::size_t begin, std::size_t end, InterruptPoll poll, Body &&body) {
    for (std::size_t i = begin; i < end;) {
        if (i != 0 && i % kPollStride == 0 && poll())
            return false;
        const std::size_t next = (i / kPollStride + 1) * kPollStride;
        const std::size_t stop = next < end ? next : end;
        for (; i < stop; ++i)
            body(i);
    }
    return true;
}

} // namespace pelorkit::kernels
