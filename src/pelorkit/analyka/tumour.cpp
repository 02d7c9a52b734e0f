// Tumour-cell analysis: call scores and the sample diversity index.
#include "pelorkit/python.hpp"

#include "functions.hpp"

namespace pelorkit::analyka {

py::object evaluate_performance(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "evaluate_performance is not built yet");
    throw py::error_already_set();
}

py::object compute_sample_div_index(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "compute_sample_div_index is not built yet");
    throw py::error_already_set();
}

} // namespace pelorkit::analyka
