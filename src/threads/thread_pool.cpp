// The pool's workers and the loops they share with the threads that start
// them (see thread_pool.hpp). A loop lives on its caller's stack; workers
// join it while it has pieces left and room for helpers, and the caller
// returns only once no worker is inside. Several loops may run at once (Dask's
// threads, the backed stream's counting thread): each caller always works on
// its own loop, so every loop progresses even when all workers are busy.
#include "pelorkit/thread_pool.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <pthread.h>
#include <signal.h>
#endif

namespace pelorkit::threads {
namespace {

// How often a caller waiting for its helpers asks the poll (Ctrl-C).
constexpr auto kWaitPoll = std::chrono::milliseconds(10);

struct Loop {
    Loop(std::size_t pieces, PieceBody run, std::atomic<bool> &stop_flag, unsigned helpers)
        : n_pieces(pieces), body(run), stop(stop_flag), max_helpers(helpers) {}

    std::size_t n_pieces;
    PieceBody body;
    std::atomic<bool> &stop;
    unsigned max_helpers;
    std::atomic<std::size_t> next{0};
    // Guarded by the pool's mutex:
    unsigned joined = 0; // helpers that took a slot
    unsigned inside = 0; // helpers still working
    std::exception_ptr error;
};

// Runs pieces of the loop as `slot` until none is left or the loop stops.
void take_pieces(Loop &loop, unsigned slot, std::exception_ptr &error) {
    while (!loop.stop.load(std::memory_order_relaxed)) {
        const std::size_t piece = loop.next.fetch_add(1, std::memory_order_relaxed);
        if (piece >= loop.n_pieces)
            return;
        bool go_on = false;
        try {
            go_on = loop.body.run(loop.body.ctx, piece, slot);
        } catch (...) {
            error = std::current_exception();
        }
        if (!go_on) {
            loop.stop.store(true);
            return;
        }
    }
}

class Pool {
public:
    // Starts workers until there are `wanted` (fewer when the system refuses
    // a thread). Called with the mutex held.
    void start_workers(unsigned wanted) {
        while (workers_ < wanted && !refused_) {
#if !defined(_WIN32)
            // Workers block every signal, so that signals reach Python's threads.
            sigset_t all, old;
            sigfillset(&all);
            pthread_sigmask(SIG_SETMASK, &all, &old);
#endif
            try {
                std::thread([this] { work(); }).detach();
                ++workers_;
            } catch (const std::system_error &) {
                refused_ = true;
            }
#if !defined(_WIN32)
            pthread_sigmask(SIG_SETMASK, &old, nullptr);
#endif
        }
    }

    bool run(Loop &loop, StopPoll poll) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            start_workers(loop.max_helpers > workers_ ? loop.max_helpers : workers_);
            loops_.push_back(&loop);
            for (unsigned i = 0; i < std::min(loop.max_helpers, workers_); ++i)
                wanted_.notify_one();
        }
        std::exception_ptr error;
        take_pieces(loop, 0, error);

        std::unique_lock<std::mutex> lock(mutex_);
        loops_.erase(std::find(loops_.begin(), loops_.end(), &loop));
        while (loop.inside > 0) {
            if (left_.wait_for(lock, kWaitPoll) == std::cv_status::timeout && !loop.stop.load()) {
                lock.unlock();
                if (poll())
                    loop.stop.store(true);
                lock.lock();
            }
        }
        if (!error)
            error = loop.error;
        lock.unlock();
        if (error)
            std::rethrow_exception(error);
        return !loop.stop.load();
    }

    std::mutex &mutex() { return mutex_; }

private:
    // A worker: waits for a loop with pieces left and room for a helper, and
    // works on it until it runs dry.
    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            Loop *loop = nullptr;
            for (Loop *candidate : loops_)
                if (candidate->joined < candidate->max_helpers &&
                    candidate->next.load(std::memory_order_relaxed) < candidate->n_pieces &&
                    !candidate->stop.load(std::memory_order_relaxed)) {
                    loop = candidate;
                    break;
                }
            if (loop == nullptr) {
                wanted_.wait(lock);
                continue;
            }
            const unsigned slot = ++loop->joined;
            ++loop->inside;
            lock.unlock();
            std::exception_ptr error;
            take_pieces(*loop, slot, error);
            lock.lock();
            if (error && !loop->error)
                loop->error = error;
            if (--loop->inside == 0)
                left_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wanted_; // a loop wants helpers
    std::condition_variable left_;   // a helper left its loop
    std::vector<Loop *> loops_;      // loops open to helpers, oldest first
    unsigned workers_ = 0;
    bool refused_ = false; // the system refused a thread: no more attempts
};

// The pool, made at first need and never destroyed: detached workers may
// still wait on it while the process exits.
std::mutex instance_mutex;
Pool *instance = nullptr;

#if !defined(_WIN32)
// A forked child has only the thread that forked: the parent's workers do
// not exist there. It forgets their pool (left allocated: its mutex may be
// held by a thread that is gone) and makes its own at first need. The
// handlers hold both mutexes across fork, so that neither is copied locked by
// another thread.
void before_fork() {
    instance_mutex.lock();
    if (instance != nullptr)
        instance->mutex().lock();
}
void after_fork_parent() {
    if (instance != nullptr)
        instance->mutex().unlock();
    instance_mutex.unlock();
}
void after_fork_child() {
    instance = nullptr;
    instance_mutex.unlock();
}
#endif

Pool &pool() {
    std::lock_guard<std::mutex> lock(instance_mutex);
    if (instance == nullptr) {
#if !defined(_WIN32)
        static const bool registered =
            pthread_atfork(before_fork, after_fork_parent, after_fork_child) == 0;
        static_cast<void>(registered);
#endif
        instance = new Pool();
    }
    return *instance;
}

} // namespace

bool run_pieces(std::size_t n_pieces, unsigned threads, PieceBody body, StopPoll poll,
                std::atomic<bool> &stop) {
    const std::size_t helpers =
        std::min<std::size_t>(threads > 1 ? threads - 1 : 0, n_pieces > 1 ? n_pieces - 1 : 0);
    if (helpers == 0) {
        for (std::size_t piece = 0; piece < n_pieces && !stop.load(); ++piece)
            if (!body.run(body.ctx, piece, 0))
                stop.store(true);
        return !stop.load();
    }
    Loop loop(n_pieces, body, stop, static_cast<unsigned>(helpers));
    return pool().run(loop, poll);
}

} // namespace pelorkit::threads
