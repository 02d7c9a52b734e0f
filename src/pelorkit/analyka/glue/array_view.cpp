// Raw views of numpy arrays (see array_view.hpp).
#include "pelorkit/python.hpp"
#include "pelorkit/pyutil.hpp"

#include "glue/array_view.hpp"

#include <bit>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace pelorkit::analyka {
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

bool item_matches(char kind, char code, Py_ssize_t itemsize) {
    switch (kind) {
    case 'd':
        return code == 'd' && itemsize == 8;
    case '?':
        return code == '?' && itemsize == 1;
    case 'q':
        return (code == 'q' || code == 'l' || code == 'n') && itemsize == 8;
    case 'O':
        return code == 'O' && itemsize == static_cast<Py_ssize_t>(sizeof(PyObject *));
    default:
        return false;
    }
}

} // namespace

Buffer::Buffer(Buffer &&other) noexcept : view_(other.view_), held_(other.held_) {
    other.held_ = false;
}

Buffer &Buffer::operator=(Buffer &&other) noexcept {
    if (this != &other) {
        release();
        view_ = other.view_;
        held_ = std::exchange(other.held_, false);
    }
    return *this;
}

void Buffer::release() {
    if (held_) {
        PyBuffer_Release(&view_);
        held_ = false;
    }
}

bool Buffer::acquire(py::handle obj, char kind, int ndim, bool writable) {
    release();
    int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;
    if (writable)
        flags |= PyBUF_WRITABLE;
    if (!PyObject_CheckBuffer(obj.ptr()))
        return false;
    if (PyObject_GetBuffer(obj.ptr(), &view_, flags) < 0) {
        PyErr_Clear();
        return false;
    }
    held_ = true;
    if (view_.ndim != ndim || !item_matches(kind, item_code(view_.format), view_.itemsize)) {
        release();
        return false;
    }
    return true;
}

py::object new_array(py::handle np, Py_ssize_t count, const char *dtype, Buffer &buffer) {
    py::object array = np.attr(empty_name)(count, py::str(dtype));
    const char kind = std::strcmp(dtype, "float64") == 0 ? 'd'
                      : std::strcmp(dtype, "bool") == 0  ? '?'
                                                         : 'q';
    if (!buffer.acquire(array, kind, 1, /*writable=*/true))
        throw std::logic_error("numpy.empty gave an unexpected buffer");
    return array;
}

} // namespace pelorkit::analyka
