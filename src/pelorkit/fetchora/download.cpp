// Download of one file from the file-hosting service through gdown.
#include "pelorkit/python.hpp"

#include "functions.hpp"

namespace pelorkit::fetchora {

py::object download_from_google_drive(const Call &) {
    PyErr_SetString(PyExc_NotImplementedError, "download_from_google_drive is not built yet");
    throw py::error_already_set();
}

} // namespace pelorkit::fetchora
