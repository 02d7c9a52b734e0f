// A step run under np.errstate: numpy's floating-point reports switched off
// where the step's result (inf from log10(0), NaN from 0/0) is the intended
// one, so that the caller sees no warning about the library's own arithmetic.
#pragma once

#include "pelorkit/python.hpp"

namespace pelorkit::analyka {

// body() inside `with np.errstate(**settings)` of the module's numpy `np`;
// the caller's settings are back when it returns or throws. A stand-in for
// numpy without errstate runs body() as it is.
template <class Body> auto with_errstate(py::handle np, const py::dict &settings, Body &&body) {
    if (!py::hasattr(np, "errstate"))
        return body();
    py::object state = np.attr("errstate")(**settings);
    state.attr("__enter__")();
    try {
        auto result = body();
        state.attr("__exit__")(py::none(), py::none(), py::none());
        return result;
    } catch (...) {
        // The error in flight wins over one of restoring the settings.
        try {
            state.attr("__exit__")(py::none(), py::none(), py::none());
        } catch (py::error_already_set &) {
        }
        throw;
    }
}

} // namespace pelorkit::analyka
