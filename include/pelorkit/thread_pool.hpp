// The thread pool of the native kernels: how many threads a kernel may use,
// and a loop over numbered pieces of work shared by the calling thread and the
// pool's workers. Plain C++ with no Python (src/threads/ builds it as a
// library of its own, linked into each module that needs it; each module then
// holds its own pool).
//
// The size is the number of CPUs this process may use (its affinity mask and
// cgroup CPU quota on Linux, the process affinity mask on Windows, the
// hardware's count elsewhere), unless PELORKIT_NUM_THREADS, read once when
// the module starts, sets it. Workers start on first need, never before; a
// process forked from one with workers starts without any and makes its own.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace pelorkit::threads {

// Reads PELORKIT_NUM_THREADS (call once, at module start-up). Returns the
// text of a warning when the value is unusable (the default is used then),
// else an empty text.
std::string configure_from_environment();

// The threads of the pool: PELORKIT_NUM_THREADS, else the CPUs this process
// may use.
unsigned pool_size();

// The CPUs this process may use: the affinity mask, capped by a cgroup CPU
// quota, at least 1.
unsigned usable_cpus();

// The threads a loop started on this thread may use now: the pool's size, or
// 1 inside a TaskScope when PELORKIT_NUM_THREADS is not set.
unsigned thread_budget();

// Marks the calling thread as running one task of a larger parallel graph
// (a Dask chunk): the kernels it calls use one thread unless
// PELORKIT_NUM_THREADS is set, so that the scheduler's workers do not
// oversubscribe the machine.
class TaskScope {
public:
    TaskScope();
    ~TaskScope();
    TaskScope(const TaskScope &) = delete;
    TaskScope &operator=(const TaskScope &) = delete;

private:
    unsigned saved_;
};

// One piece of a loop: run(ctx, piece, slot) works on `piece`; `slot` numbers
// the participant (0 is the calling thread, then 1, 2, ... below the loop's
// thread count), so a body can keep one scratch state per slot. It returns
// false to stop the loop (the body failed, or saw `stop`).
struct PieceBody {
    bool (*run)(void *ctx, std::size_t piece, unsigned slot) = nullptr;
    void *ctx = nullptr;
};

// Asked on the calling thread only, between its pieces and while it waits
// for the workers; true stops the loop.
struct StopPoll {
    bool (*fn)(void *ctx) = nullptr;
    void *ctx = nullptr;
    bool operator()() const { return fn != nullptr && fn(ctx); }
};

// Runs body for pieces 0 .. n_pieces - 1, each once, on at most `threads`
// participants (the calling thread always among them; with 1 it runs alone,
// in piece order, and no worker starts). Pieces are taken in increasing order
// but may finish in any. Once the body or the poll asks to stop, `stop` turns
// true, no piece starts any more, and the call returns false after every
// participant has left; long pieces should watch `stop`. An exception thrown
// by a piece stops the loop and is rethrown here. Returns true when every
// piece ran and none asked to stop.
bool run_pieces(std::size_t n_pieces, unsigned threads, PieceBody body, StopPoll poll,
                std::atomic<bool> &stop);

} // namespace pelorkit::threads
