// Dask task detection for the kernels' thread budget (see task_context.hpp).
#include "pelorkit/task_context.hpp"

namespace pelorkit {
namespace {

// sys.modules[name], borrowed, or nullptr.
PyObject *loaded(const char *name) {
    PyObject *module = PyDict_GetItemString(PyImport_GetModuleDict(), name);
    return module == Py_None ? nullptr : module;
}

// The executor whose worker the thread is: concurrent.futures starts each
// worker with a weak reference to its executor as first argument (set before
// the thread starts, unlike the executor's own set of threads).
py::object executor_of(py::handle thread) {
    py::object args = py::getattr(thread, "_args", py::none());
    if (!PyTuple_Check(args.ptr()) || PyTuple_GET_SIZE(args.ptr()) == 0)
        return py::none();
    PyObject *ref = PyTuple_GET_ITEM(args.ptr(), 0);
    if (!PyWeakref_Check(ref))
        return py::none();
    return py::reinterpret_borrow<py::object>(ref)();
}

// threading.current_thread() read from its table of running threads, which
// runs no Python code (a pending signal handler could run there); the call
// where the table is missing.
py::object current_thread(py::handle threading) {
    py::object active = py::getattr(threading, "_active", py::none());
    if (PyDict_Check(active.ptr())) {
        py::object ident =
            py::reinterpret_steal<py::object>(PyLong_FromUnsignedLong(PyThread_get_thread_ident()));
        if (!ident)
            throw py::error_already_set();
        if (PyObject *thread = PyDict_GetItemWithError(active.ptr(), ident.ptr()))
            return py::reinterpret_borrow<py::object>(thread);
        if (PyErr_Occurred())
            throw py::error_already_set();
    }
    return threading.attr("current_thread")();
}

bool detect() {
    // distributed sets the key of the task a worker thread runs.
    if (PyObject *worker = loaded("distributed.worker")) {
        py::object state = py::getattr(worker, "thread_state", py::none());
        if (!state.is_none() && py::hasattr(state, "key"))
            return true;
    }
    // dask.multiprocessing's worker processes import it to start (their
    // initializer), and are the children of another Python process.
    if (PyObject *processes = loaded("multiprocessing")) {
        if (loaded("dask.multiprocessing") != nullptr &&
            !py::handle(processes).attr("parent_process")().is_none())
            return true;
    }
    // dask.threaded runs tasks on its executors: the default one and those it
    // keeps per calling thread.
    PyObject *threaded = loaded("dask.threaded");
    PyObject *threading = loaded("threading");
    if (threaded == nullptr || threading == nullptr)
        return false;
    py::object executor = executor_of(current_thread(threading));
    if (executor.is_none())
        return false;
    py::handle scheduler(threaded);
    if (executor.is(py::getattr(scheduler, "default_pool", py::none())))
        return true;
    py::object pools = py::getattr(scheduler, "pools", py::none());
    if (!PyDict_Check(pools.ptr()))
        return false;
    for (auto item : py::reinterpret_borrow<py::dict>(pools)) {
        if (!PyDict_Check(item.second.ptr()))
            continue;
        for (auto pool : py::reinterpret_borrow<py::dict>(item.second))
            if (executor.is(pool.second))
                return true;
    }
    return false;
}

py::object thread_budget(const Call &) {
    DaskTaskScope scope;
    return py::int_(threads::thread_budget());
}

} // namespace

bool in_dask_task() {
    if (loaded("distributed.worker") == nullptr && loaded("dask.threaded") == nullptr &&
        loaded("dask.multiprocessing") == nullptr)
        return false;
    try {
        return detect();
    } catch (py::error_already_set &error) {
        // A failed lookup counts as no task; a KeyboardInterrupt from a signal
        // handler that ran meanwhile goes to the caller.
        if (!error.matches(PyExc_Exception))
            throw;
        return false;
    }
}

const FunctionSpec kThreadBudgetFunction{"thread_budget()", thread_budget};

} // namespace pelorkit
