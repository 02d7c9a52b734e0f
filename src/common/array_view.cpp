// Views of numpy arrays for native code (see array_view.hpp).
#include "pelorkit/python.hpp"

#include "pelorkit/array_view.hpp"
#include "pelorkit/pyutil.hpp"

#include <pybind11/numpy.h>

#include <bit>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace pelorkit {
namespace {

static_assert(std::endian::native == std::endian::little,
              "buffer formats are read as little-endian");

const Name empty_name{"empty"};

// The struct-module item code of a buffer without its native byte-order mark.
char item_code(const char *format) {
    if (format == nullptr)
        return 'B';
    if (format[0] == '@' || format[0] == '=' || format[0] == '<')
        ++format;
    return format[0] != '\0' && format[1] == '\0' ? format[0] : '\0';
}

bool item_matches(char code, char given, Py_ssize_t itemsize) {
    switch (code) {
    case 'd':
        return given == 'd' && itemsize == 8;
    case '?':
        return given == '?' && itemsize == 1;
    case 'q':
        return (given == 'q' || given == 'l' || given == 'n') && itemsize == 8;
    case 'O':
        return given == 'O' && itemsize == static_cast<Py_ssize_t>(sizeof(PyObject *));
    default:
        return false;
    }
}

// numpy's kind for the item codes acquire() takes.
char kind_of_code(char code) {
    switch (code) {
    case 'd':
        return 'f';
    case '?':
        return 'b';
    case 'q':
        return 'i';
    default:
        return code;
    }
}

} // namespace

ArrayView::ArrayView(ArrayView &&other) noexcept {
    *this = std::move(other);
}

ArrayView &ArrayView::operator=(ArrayView &&other) noexcept {
    if (this != &other) {
        release();
        array_ = std::move(other.array_);
        buffer_ = other.buffer_;
        held_ = std::exchange(other.held_, false);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        kind_ = other.kind_;
        itemsize_ = other.itemsize_;
        c_contiguous_ = other.c_contiguous_;
        strides_ = other.strides_;
    }
    return *this;
}

void ArrayView::release() {
    if (held_) {
        PyBuffer_Release(&buffer_);
        held_ = false;
    }
    array_ = py::object();
    data_ = nullptr;
    size_ = 0;
}

bool ArrayView::acquire(py::handle obj, char code, int ndim, bool writable) {
    if (!acquire_buffer(obj, code, ndim, PyBUF_C_CONTIGUOUS, writable))
        return false;
    c_contiguous_ = true;
    strides_ = {buffer_.itemsize, buffer_.itemsize};
    return true;
}

bool ArrayView::acquire_columns(py::handle obj, char code, bool writable) {
    if (!acquire_buffer(obj, code, 2, PyBUF_F_CONTIGUOUS, writable))
        return false;
    c_contiguous_ = PyBuffer_IsContiguous(&buffer_, 'C') != 0;
    strides_ = {buffer_.strides[0], buffer_.strides[1]};
    return true;
}

bool ArrayView::acquire_buffer(py::handle obj, char code, int ndim, int order, bool writable) {
    release();
    // NOLINTNEXTLINE(bugprone-signed-bitwise): the buffer protocol's flags are int
    int flags = order | PyBUF_FORMAT;
    if (writable)
        // NOLINTNEXTLINE(bugprone-signed-bitwise): the buffer protocol's flags are int
        flags |= PyBUF_WRITABLE;
    if (!PyObject_CheckBuffer(obj.ptr()))
        return false;
    if (PyObject_GetBuffer(obj.ptr(), &buffer_, flags) < 0) {
        PyErr_Clear();
        return false;
    }
    held_ = true;
    if (buffer_.ndim != ndim || !item_matches(code, item_code(buffer_.format), buffer_.itemsize)) {
        release();
        return false;
    }
    array_ = py::reinterpret_borrow<py::object>(obj);
    data_ = buffer_.buf;
    size_ = static_cast<std::size_t>(buffer_.len / buffer_.itemsize);
    kind_ = kind_of_code(code);
    itemsize_ = static_cast<std::size_t>(buffer_.itemsize);
    return true;
}

std::optional<ArrayView> ArrayView::of_array(py::handle obj, int ndim) {
    using npy = py::detail::npy_api;
    if (!py::isinstance<py::array>(obj))
        return std::nullopt;
    auto array = py::reinterpret_borrow<py::array>(obj);
    py::dtype dtype = array.dtype();
    const char order = dtype.byteorder();
    const bool native = order == '=' || order == '|' || (order == (PY_LITTLE_ENDIAN ? '<' : '>'));
    // NOLINTNEXTLINE(bugprone-signed-bitwise): numpy's array flags are int
    if (array.ndim() != ndim || !native || !(array.flags() & npy::NPY_ARRAY_ALIGNED_) ||
        dtype.has_fields())
        return std::nullopt;
    ArrayView view;
    view.data_ = const_cast<void *>(array.data());
    view.size_ = static_cast<std::size_t>(array.size());
    view.kind_ = dtype.kind();
    view.itemsize_ = static_cast<std::size_t>(dtype.itemsize());
    // NOLINTNEXTLINE(bugprone-signed-bitwise): numpy's array flags are int
    view.c_contiguous_ = (array.flags() & npy::NPY_ARRAY_C_CONTIGUOUS_) != 0;
    for (int axis = 0; axis < ndim && axis < 2; ++axis)
        view.strides_[static_cast<std::size_t>(axis)] = array.strides(axis);
    view.array_ = std::move(array);
    return view;
}

py::object new_array(py::handle np, Py_ssize_t count, const char *dtype, ArrayView &view) {
    py::object array = np.attr(empty_name)(count, py::str(dtype));
    const char code = std::strcmp(dtype, "float64") == 0  ? 'd'
                      : std::strcmp(dtype, "bool") == 0   ? '?'
                      : std::strcmp(dtype, "object") == 0 ? 'O'
                                                          : 'q';
    if (!view.acquire(array, code, 1, /*writable=*/true))
        throw std::logic_error("numpy.empty gave an unexpected buffer");
    return array;
}

} // namespace pelorkit
