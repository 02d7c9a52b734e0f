// The sample-data loaders: a data-set name or file identifier to an AnnData.
#include "pelorkit/python.hpp"

#include "functions.hpp"

namespace pelorkit::fetchora {

py::object load_h5ad(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "load_h5ad is not built yet");
    throw py::error_already_set();
}

py::object load_anndata(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "load_anndata is not built yet");
    throw py::error_already_set();
}

py::object load_sample_data(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "load_sample_data is not built yet");
    throw py::error_already_set();
}

py::object load_pelor_processed_anndata(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "load_pelor_processed_anndata is not built yet");
    throw py::error_already_set();
}

py::object load_pelor_processed_sample_data(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "load_pelor_processed_sample_data is not built yet");
    throw py::error_already_set();
}

} // namespace pelorkit::fetchora
