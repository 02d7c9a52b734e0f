// Download of one file from the file-hosting service through gdown.
#include "pelorkit/python.hpp"

#include "functions.hpp"
#include "guards.hpp"

#include <string>

namespace pelorkit::fetchora {
namespace {

// Host of the service's direct-download endpoint; the scheme, path and query
// around it are fixed by the service.
constexpr const char *kEndpointHost = "drive.google.com";

const Name gdown_name{"gdown"};

} // namespace

py::object download_from_google_drive(const Call &call) {
    py::handle file_id = call.arg(0);
    py::handle out_path = call.arg(1);
    // The identifier goes in as its default text, neither checked nor
    // percent-encoded: gdown gets exactly what the caller named.
    const std::string base = std::string("https://") + kEndpointHost + "/uc?export=download&id=";
    py::object url = text_with(base, file_id);
    // gdown reports failure by raising (passed on) or through its result,
    // which is dropped: the caller finds out at the next step.
    call.global(gdown_name).attr("download")(url, out_path, py::arg("quiet") = false);
    return py::reinterpret_borrow<py::object>(out_path);
}

} // namespace pelorkit::fetchora
