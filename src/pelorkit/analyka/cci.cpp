// Tables derived from per-sample cell-cell interaction results.
#include "pelorkit/python.hpp"

#include "functions.hpp"

namespace pelorkit::analyka {

py::object cci_get_means(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "cci_get_means is not built yet");
    throw py::error_already_set();
}

py::object get_cci_means(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "get_cci_means is not built yet");
    throw py::error_already_set();
}

py::object cci_remove_common(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "cci_remove_common is not built yet");
    throw py::error_already_set();
}

py::object cci_get_ni_mat(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "cci_get_ni_mat is not built yet");
    throw py::error_already_set();
}

py::object get_cci_ni_mat(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "get_cci_ni_mat is not built yet");
    throw py::error_already_set();
}

py::object cpdb_get_gp_n_cp(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "cpdb_get_gp_n_cp is not built yet");
    throw py::error_already_set();
}

py::object cci_get_df_to_plot(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "cci_get_df_to_plot is not built yet");
    throw py::error_already_set();
}

} // namespace pelorkit::analyka
