// How the diagnostics speak: a UserWarning through the module's `warnings`,
// an error raised again with a message that says what to fix, and the short
// texts that name the caller's values in them.
#pragma once

#include "pelorkit/python.hpp"

#include "pelorkit/pyfunction.hpp"

#include <cstddef>
#include <new>
#include <optional>
#include <string>

namespace pelorkit::analyka::diagnostics {

// warnings.warn(message, UserWarning), attributed to the caller's line.
void warn(const Call &call, const std::string &message);

// Raises the error in flight again with `message`, followed by the library's
// own text in parentheses, when its type is exactly `type` (a subclass keeps
// its own error); otherwise raises it unchanged.
[[noreturn]] void reraise(py::error_already_set &error, PyObject *type,
                          const std::optional<std::string> &message);

// Whether the error in flight is exactly `type` and its text holds `part`.
bool is_error(py::error_already_set &error, PyObject *type, const char *part = "");

// Runs a check that only builds a message: an ordinary exception inside it
// (a caller's object failing in __eq__, say) means no message; Ctrl-C and
// out-of-memory go through.
template <class Check> std::optional<std::string> quietly(Check &&check) {
    try {
        return check();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception))
            throw;
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &) {
        return std::nullopt;
    }
    return std::nullopt;
}

// str(obj) as text.
std::string text(py::handle obj);
// repr(obj), cut to a readable length.
std::string shown(py::handle obj);
// The first few items of an iterable as reprs, "'a', 'b', 'c' and 4 more".
std::string listing(py::handle items, std::size_t limit = 5);
// Whether a per-cell sequence holds NaN or None (pd.isna).
bool has_missing(const Call &call, py::handle values);
// Whether obj is a float NaN (a Python or numpy float).
bool is_nan(py::handle obj);

} // namespace pelorkit::analyka::diagnostics
