// A step run inside a Python context manager, as a `with` statement runs it;
// np.errstate in particular, which switches numpy's floating-point reports
// off where the step's result (inf from log10(0), NaN from 0/0) is the
// intended one, so that the caller sees no warning about the library's own
// arithmetic.
#pragma once

#include "pelorkit/python.hpp"

namespace pelorkit::analyka {

// body() inside `with manager:`; the manager's exit runs when body returns
// or throws (the error in flight wins over one of the exit).
template <class Body> auto within(py::handle manager, Body &&body) {
    manager.attr("__enter__")();
    try {
        auto result = body();
        manager.attr("__exit__")(py::none(), py::none(), py::none());
        return result;
    } catch (...) {
        try {
            manager.attr("__exit__")(py::none(), py::none(), py::none());
            // The error of the exit is dropped: the one in flight wins.
            // NOLINTNEXTLINE(bugprone-empty-catch)
        } catch (py::error_already_set &) {
        }
        throw;
    }
}

// body() inside `with np.errstate(**settings)` of the module's numpy `np`. A
// stand-in for numpy without errstate runs body() as it is.
template <class Body> auto with_errstate(py::handle np, const py::dict &settings, Body &&body) {
    if (!py::hasattr(np, "errstate"))
        return body();
    return within(np.attr("errstate")(**settings), body);
}

} // namespace pelorkit::analyka
