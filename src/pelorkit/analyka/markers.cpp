// Marker lists from DEG tables and gene-set result filters.
#include "pelorkit/python.hpp"

#include "functions.hpp"

namespace pelorkit::analyka {

py::object get_markers_from_deg(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "get_markers_from_deg is not built yet");
    throw py::error_already_set();
}

py::object filter_gsa_result(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "filter_gsa_result is not built yet");
    throw py::error_already_set();
}

} // namespace pelorkit::analyka
