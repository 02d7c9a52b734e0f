// Errors and warnings that name the mistake: Python exceptions raised from the
// glue, names shown as Python shows them, short lists of examples.
#pragma once

#include "pelorkit/python.hpp"
#include "pelorkit/pyfunction.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace pelorkit::readers {

// Raises `type` (a Python exception class) with `message`.
[[noreturn]] void raise(PyObject *type, const std::string &message);

// A text as Python's repr shows it ('B cell|T cell').
std::string quoted(std::string_view utf8);
// Any object as repr shows it, cut short when long.
std::string shown(py::handle obj);
// The type name of an object, for "... not int".
std::string type_name(py::handle obj);

// "a, b and c", or "a, b, c and 4 more" beyond `most` items.
std::string listing(const std::vector<std::string> &items, std::size_t most = 3);

// A UserWarning from the caller's line.
void warn(const Call &call, const std::string &message);

} // namespace pelorkit::readers
