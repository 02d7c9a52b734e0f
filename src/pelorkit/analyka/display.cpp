// Tree-shaped text of AnnData objects, dictionaries and frames.
#include "pelorkit/python.hpp"

#include "functions.hpp"

namespace pelorkit::analyka {

const char *const kShowAnndataTreeDoc = "";
const char *const kGetValueInfoDoc = "";

py::object get_value_info(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "get_value_info is not built yet");
    throw py::error_already_set();
}

py::object display_dict_or_dataframe_recursive(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "display_dict_or_dataframe_recursive is not built yet");
    throw py::error_already_set();
}

py::object show_anndata_tree(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "show_anndata_tree is not built yet");
    throw py::error_already_set();
}

} // namespace pelorkit::analyka
