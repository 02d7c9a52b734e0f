// Ctrl-C during long work, for the glue of every module: native kernels run
// without the interpreter lock and poll for signals; loops that hold the lock
// check between steps.
#pragma once

#include "pelorkit/pyutil.hpp"

#include "pelorkit/kernel_status.hpp"
#include "pelorkit/task_context.hpp"

#include <utility>

namespace pelorkit {

// Runs a kernel without the interpreter lock, handing it the Ctrl-C poll;
// when it stopped on one, the KeyboardInterrupt is raised here. Inside a Dask
// task the kernel keeps to one thread.
template <class Kernel> auto run_released(Kernel &&kernel) {
    DaskTaskScope scope;
    return without_gil(
        [&](bool (*fn)(void *), void *ctx) { return kernel(kernels::InterruptPoll{fn, ctx}); });
}

// Raises the pending exception of a signal handler (Ctrl-C), if any.
inline void check_signals() {
    if (PyErr_CheckSignals() < 0)
        throw py::error_already_set();
}

} // namespace pelorkit
