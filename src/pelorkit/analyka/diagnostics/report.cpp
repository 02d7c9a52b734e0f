// How the diagnostics speak: warnings through the module's `warnings`, errors
// raised again with a message that says what to fix, and short texts for the
// caller's values.
#include "pelorkit/python.hpp"

#include "diagnostics/report.hpp"
#include "glue/lazy_values.hpp"
#include "glue/names.hpp"
#include "glue/pyops.hpp"

#include <cmath>
#include <string_view>

namespace pelorkit::analyka::diagnostics {
namespace {

const Name warnings_name{"warnings"};
const Name user_warning_name{"UserWarning"};
const Name item_name{"item"};

constexpr std::size_t kShownLength = 60;

// A numpy scalar as the Python value it holds ('a', not np.str_('a')).
py::object plain(py::handle item) {
    const std::string_view type = Py_TYPE(item.ptr())->tp_name;
    if (type.rfind("numpy.", 0) == 0)
        if (py::object value = pyops::attribute_if_present(item, item_name))
            return value();
    return py::reinterpret_borrow<py::object>(item);
}

// Clears an ordinary exception; Ctrl-C (a BaseException) goes through.
void clear_ordinary_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        throw py::error_already_set();
    PyErr_Clear();
}

} // namespace

void warn(const Call &call, const std::string &message) {
    call.global(warnings_name).attr("warn")(make_str(message), call.global(user_warning_name));
}

bool is_error(py::error_already_set &error, PyObject *type, const char *part) {
    if (error.type().ptr() != type)
        return false;
    const std::optional<std::string> said = quietly([&] { return text(error.value()); });
    return said && said->find(part) != std::string::npos;
}

void reraise(py::error_already_set &error, PyObject *type,
             const std::optional<std::string> &message) {
    if (!message || error.type().ptr() != type)
        throw error;
    const std::optional<std::string> original = quietly([&] { return text(error.value()); });
    std::string text = *message;
    if (original && !original->empty())
        text += " (" + *original + ")";
    PyErr_SetObject(type, make_str(text).ptr());
    throw py::error_already_set();
}

std::string text(py::handle obj) {
    return pyops::text_of(obj).cast<std::string>();
}

std::string shown(py::handle obj) {
    std::string text = py::repr(obj).cast<std::string>();
    if (text.size() > kShownLength)
        text = text.substr(0, kShownLength - 3) + "...";
    return text;
}

std::string listing(py::handle items, std::size_t limit) {
    std::string text;
    std::size_t count = 0;
    for (py::handle item : items) {
        if (count < limit)
            text += (count == 0 ? "" : ", ") + shown(plain(item));
        ++count;
    }
    if (count > limit)
        text += " and " + std::to_string(count - limit) + " more";
    return text;
}

bool has_missing(const Call &call, py::handle values) {
    py::object np = call.global(np_name);
    py::object as_objects =
        np.attr("asarray")(labels_in_memory(values), py::arg("dtype") = "object");
    return truthy(call.global(pd_name).attr("isna")(as_objects).attr("any")());
}

bool is_nan(py::handle obj) {
    if (PyFloat_Check(obj.ptr()))
        return std::isnan(PyFloat_AS_DOUBLE(obj.ptr()));
    // numpy's other float scalars; no other type is asked for its float
    // value (a one-item Series would warn about it).
    const std::string_view type = Py_TYPE(obj.ptr())->tp_name;
    if (type.rfind("numpy.float", 0) != 0 && type != "numpy.longdouble")
        return false;
    PyObject *value = PyNumber_Float(obj.ptr());
    if (value == nullptr) {
        clear_ordinary_error();
        return false;
    }
    const bool nan = std::isnan(PyFloat_AS_DOUBLE(value));
    Py_DECREF(value);
    return nan;
}

} // namespace pelorkit::analyka::diagnostics
