// Columns of a pandas frame by position, as frame.iloc[:, j] takes them: a
// frame's labels may repeat or be anything hashable, positions are exact.
#pragma once

#include "pelorkit/python.hpp"

#include <cstdint>
#include <vector>

namespace pelorkit::readers {

// frame.iloc[:, position] (a Series).
py::object column_at(py::handle frame, Py_ssize_t position);

// frame.iloc[:, positions] (a frame).
py::object columns_at(py::handle frame, const std::vector<std::int64_t> &positions);

} // namespace pelorkit::readers
