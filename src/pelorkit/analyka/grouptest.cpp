// Welch's t-test per item between groups of samples.
#include "pelorkit/python.hpp"

#include "functions.hpp"

namespace pelorkit::analyka {

py::object cci_get_diff_interactions(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "cci_get_diff_interactions is not built yet");
    throw py::error_already_set();
}

py::object test_group_diff(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "test_group_diff is not built yet");
    throw py::error_already_set();
}

} // namespace pelorkit::analyka
