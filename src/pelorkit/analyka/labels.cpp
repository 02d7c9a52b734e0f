// Label helpers for plots: abbreviation tables, wrapping, subplot selection.
#include "pelorkit/python.hpp"

#include "functions.hpp"

namespace pelorkit::analyka {

py::object get_abbreviations(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "get_abbreviations is not built yet");
    throw py::error_already_set();
}

py::object get_abbreviations_uni(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "get_abbreviations_uni is not built yet");
    throw py::error_already_set();
}

py::object split_text(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "split_text is not built yet");
    throw py::error_already_set();
}

py::object get_axes(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "get_axes is not built yet");
    throw py::error_already_set();
}

} // namespace pelorkit::analyka
