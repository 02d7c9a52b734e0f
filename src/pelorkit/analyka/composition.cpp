// Cell-type populations and expression fractions per sample.
#include "pelorkit/python.hpp"

#include "functions.hpp"

namespace pelorkit::analyka {

py::object get_population(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "get_population is not built yet");
    throw py::error_already_set();
}

py::object get_gene_expression(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "get_gene_expression is not built yet");
    throw py::error_already_set();
}

} // namespace pelorkit::analyka
