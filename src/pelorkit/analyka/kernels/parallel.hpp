// Kernels on the thread pool (pelorkit/thread_pool.hpp): work cut into pieces
// whose bounds depend on the input alone, never on the thread count, so that
// every thread count computes the same pieces and combines them in the same
// way. The calling thread runs pieces too and is the only one that asks the
// Ctrl-C poll; the workers watch the loop's stop flag.
#pragma once

#include "pelorkit/kernel_status.hpp"

#include "pelorkit/thread_pool.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>

namespace pelorkit::kernels {

// The threads for `work` units when each thread should get at least
// `min_work` of them: 1 below twice that, else at most the thread budget.
inline unsigned threads_for(std::size_t work, std::size_t min_work) {
    if (min_work == 0 || work / 2 < min_work)
        return 1;
    return static_cast<unsigned>(std::min<std::size_t>(threads::thread_budget(), work / min_work));
}

// Runs part(piece, slot, poll) for the pieces 0 .. n_pieces - 1 on up to
// `threads` threads. `slot` numbers the thread (0: the caller) for scratch
// kept per thread; `poll` is the caller's own on slot 0 and the loop's stop
// flag elsewhere, and both turn true once any piece fails. Returns `done`
// when every piece is done, `rejected` when a piece rejected its input,
// else `interrupted`; the outputs are then incomplete.
template <class Part>
Status run_in_pieces(std::size_t n_pieces, unsigned threads, InterruptPoll poll, Part &&part) {
    struct Shared {
        Part &part;
        InterruptPoll caller_poll;
        std::atomic<bool> stop{false};
        std::atomic<bool> rejected{false};

        static bool stopped(void *self) {
            return static_cast<Shared *>(self)->stop.load(std::memory_order_relaxed);
        }
        static bool caller_stopped(void *self) {
            auto *shared = static_cast<Shared *>(self);
            return shared->stop.load(std::memory_order_relaxed) || shared->caller_poll();
        }
        static bool run(void *self, std::size_t piece, unsigned slot) {
            auto *shared = static_cast<Shared *>(self);
            const InterruptPoll piece_poll{slot == 0 ? &caller_stopped : &stopped, self};
            const Status status = shared->part(piece, slot, piece_poll);
            if (status == Status::rejected)
                shared->rejected.store(true);
            return status == Status::done;
        }
        static bool wait_poll(void *self) { return static_cast<Shared *>(self)->caller_poll(); }
    } shared{part, poll};
    const bool completed =
        threads::run_pieces(n_pieces, threads, threads::PieceBody{&Shared::run, &shared},
                            threads::StopPoll{&Shared::wait_poll, &shared}, shared.stop);
    if (completed)
        return Status::done;
    return shared.rejected.load() ? Status::rejected : Status::interrupted;
}

} // namespace pelorkit::kernels
