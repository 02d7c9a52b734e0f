// Whether the calling thread runs a task of a Dask graph (for the glue of
// every module), where the kernels
// keep to one thread (unless PELORKIT_NUM_THREADS is set) so that the
// scheduler's own threads or processes do not oversubscribe the machine.
#pragma once

#include "pelorkit/python.hpp"

#include "pelorkit/pyfunction.hpp"
#include "pelorkit/thread_pool.hpp"

#include <optional>

namespace pelorkit {

// Looked up in the modules Dask has loaded, never importing one: a task of a
// distributed worker (its thread-local task key), a thread of the local
// threaded scheduler's executors, or a worker process of its process
// scheduler. Any failure counts as no task.
bool in_dask_task();

// A one-thread scope for the kernels while in a Dask task.
class DaskTaskScope {
public:
    DaskTaskScope() {
        if (in_dask_task())
            scope_.emplace();
    }

private:
    std::optional<threads::TaskScope> scope_;
};

// _blocks.thread_budget(): the threads a kernel called from here may use (a
// test hook).
extern const FunctionSpec kThreadBudgetFunction;

} // namespace pelorkit
