// Errors and warnings that name the mistake (see messages.hpp).
#include "pelorkit/python.hpp"

#include "glue/messages.hpp"
#include "glue/names.hpp"

namespace pelorkit::readers {

void raise(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

std::string quoted(std::string_view utf8) {
    py::object text = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace"));
    if (!text)
        throw py::error_already_set();
    return py::cast<std::string>(py::repr(text));
}

std::string shown(py::handle obj) {
    constexpr std::size_t kMost = 80;
    std::string text;
    try {
        text = py::cast<std::string>(py::repr(obj));
    } catch (py::error_already_set &) {
        return "<" + type_name(obj) + " object>";
    }
    return text.size() <= kMost ? text : text.substr(0, kMost - 3) + "...";
}

std::string type_name(py::handle obj) {
    return Py_TYPE(obj.ptr())->tp_name;
}

std::string listing(const std::vector<std::string> &items, std::size_t most) {
    std::string text;
    const std::size_t shown_items = items.size() <= most + 1 ? items.size() : most;
    for (std::size_t i = 0; i < shown_items; ++i) {
        if (i > 0)
            text += i + 1 == shown_items && shown_items == items.size() ? " and " : ", ";
        text += items[i];
    }
    if (shown_items < items.size())
        text += " and " + std::to_string(items.size() - shown_items) + " more";
    return text;
}

void warn(const Call &call, const std::string &message) {
    call.global(warnings_name).attr("warn")(py::str(message), call.global(user_warning_name));
}

} // namespace pelorkit::readers
