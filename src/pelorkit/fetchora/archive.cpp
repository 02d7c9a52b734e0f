// Unpacking of downloaded gz, zip and tar.gz archives in the working directory.
#include "pelorkit/python.hpp"

#include "functions.hpp"

namespace pelorkit::fetchora {

py::object decompress_gz(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "decompress_gz is not built yet");
    throw py::error_already_set();
}

py::object decompress_zip(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "decompress_zip is not built yet");
    throw py::error_already_set();
}

py::object decompress_zip_and_move(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "decompress_zip_and_move is not built yet");
    throw py::error_already_set();
}

py::object decompress_tar_gz(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "decompress_tar_gz is not built yet");
    throw py::error_already_set();
}

} // namespace pelorkit::fetchora
