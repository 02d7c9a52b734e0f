// Raw views of numpy arrays (see arrays.hpp).
#include "pelorkit/python.hpp"

#include "glue/arrays.hpp"
#include "glue/names.hpp"

#include <bit>
#include <cstring>
#include <stdexcept>

namespace pelorkit::readers {
namespace {

static_assert(std::endian::native == std::endian::little,
              "buffer formats are read as little-endian");

// The struct-module item code of a buffer without its native byte-order mark.
char item_code(const char *format) {
    if (format == nullptr)
        return 'B';
    if (format[0] == '@' || format[0] == '=' || format[0] == '<')
        ++format;
    return format[0] != '\0' && format[1] == '\0' ? format[0] : '\0';
}

bool item_matches(char kind, char code, Py_ssize_t itemsize) {
    switch (kind) {
    case 'd':
        return code == 'd' && itemsize == 8;
    case 'q':
        return (code == 'q' || code == 'l' || code == 'n') && itemsize == 8;
    case 'O':
        return code == 'O' && itemsize == static_cast<Py_ssize_t>(sizeof(PyObject *));
    default:
        return false;
    }
}

} // namespace

void ArrayView::release() {
    if (held_) {
        PyBuffer_Release(&view_);
        held_ = false;
    }
}

void ArrayView::hold(py::handle array, char kind, bool fortran, bool writable) {
    release();
    int flags = (fortran ? PyBUF_F_CONTIGUOUS : PyBUF_C_CONTIGUOUS) | PyBUF_FORMAT;
    if (writable)
        flags |= PyBUF_WRITABLE;
    if (PyObject_GetBuffer(array.ptr(), &view_, flags) < 0)
        throw py::error_already_set();
    held_ = true;
    if (!item_matches(kind, item_code(view_.format), view_.itemsize)) {
        release();
        throw std::logic_error("an array of an unexpected item type reached a reader");
    }
}

py::object new_array(const Call &call, std::size_t count, const char *dtype, ArrayView &view) {
    py::object array = call.global(np_name).attr("empty")(count, py::str(dtype));
    view.hold(array, std::strcmp(dtype, "float64") == 0 ? 'd' : 'q', false, true);
    return array;
}

py::object new_block(const Call &call, std::size_t n_rows, std::size_t n_columns, ArrayView &view) {
    py::object block = call.global(np_name).attr("empty")(py::make_tuple(n_rows, n_columns),
                                                          py::str("float64"), py::str("F"));
    view.hold(block, 'd', true, true);
    return block;
}

py::object int64_array(const Call &call, std::span<const std::int64_t> values) {
    ArrayView view;
    py::object array = new_array(call, values.size(), "int64", view);
    if (!values.empty())
        std::memcpy(view.data<std::int64_t>(), values.data(), values.size_bytes());
    return array;
}

py::object new_object_array(const Call &call, std::size_t count, ArrayView &view) {
    // numpy fills a new object array with None.
    py::object array = call.global(np_name).attr("empty")(count, py::str("object"));
    view.hold(array, 'O', false, true);
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
