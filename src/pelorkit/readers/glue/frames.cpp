// Columns of a pandas frame by position (see frames.hpp).
#include "pelorkit/python.hpp"

#include "glue/frames.hpp"

namespace pelorkit::readers {
namespace {

py::object all_rows() {
    py::object slice = py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr));
    if (!slice)
        throw py::error_already_set();
    return slice;
}

} // namespace

py::object column_at(py::handle frame, Py_ssize_t position) {
    return frame.attr("iloc")[py::make_tuple(all_rows(), position)];
}

py::object columns_at(py::handle frame, const std::vector<std::int64_t> &positions) {
    py::list list;
    for (std::int64_t p : positions)
        list.append(p);
    return frame.attr("iloc")[py::make_tuple(all_rows(), list)];
}

} // namespace pelorkit::readers
