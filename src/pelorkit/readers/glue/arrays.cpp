// The readers' arrays (see arrays.hpp).
#include "pelorkit/python.hpp"

#include "glue/arrays.hpp"
#include "glue/names.hpp"

#include <cstring>
#include <stdexcept>

namespace pelorkit::readers {
namespace {

[[noreturn]] void unexpected_array() {
    throw std::logic_error("an array of an unexpected layout or item type reached a reader");
}

} // namespace

void hold(ArrayView &view, py::handle array, char code) {
    if (!view.acquire(array, code))
        unexpected_array();
}

void hold_columns(ArrayView &view, py::handle block) {
    if (!view.acquire_columns(block, 'd'))
        unexpected_array();
}

py::object new_block(const Call &call, std::size_t n_rows, std::size_t n_columns, ArrayView &view) {
    py::object block = call.global(np_name).attr("empty")(py::make_tuple(n_rows, n_columns),
                                                          py::str("float64"), py::str("F"));
    if (!view.acquire_columns(block, 'd', /*writable=*/true))
        unexpected_array();
    return block;
}

py::object new_object_array(const Call &call, std::size_t count, ArrayView &view) {
    return new_array(call.global(np_name), static_cast<Py_ssize_t>(count), "object", view);
}

py::object int64_array(const Call &call, std::span<const std::int64_t> values) {
    ArrayView view;
    py::object array =
        new_array(call.global(np_name), static_cast<Py_ssize_t>(values.size()), "int64", view);
    if (!values.empty())
        std::memcpy(view.data<std::int64_t>(), values.data(), values.size_bytes());
    return array;
}

py::object str_array(const Call &call, const kernels::TextTable &texts) {
    ArrayView view;
    py::object array = new_object_array(call, texts.size, view);
    PyObject **slots = view.data<PyObject *>();
    for (std::size_t i = 0; i < texts.size; ++i) {
        const std::string_view text = texts[i];
        PyObject *item =
            PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
        if (item == nullptr)
            throw py::error_already_set();
        Py_SETREF(slots[i], item);
    }
    return array;
}

py::object float_block(const Call &call, py::handle values) {
    return call.global(np_name).attr("asfortranarray")(values, py::str("float64"));
}

} // namespace pelorkit::readers
