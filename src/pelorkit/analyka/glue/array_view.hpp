// Raw views of numpy arrays for the native kernels: a held Py_buffer checked
// for layout and item type, and new arrays to write into.
#pragma once

#include "pelorkit/python.hpp"

namespace pelorkit::analyka {

// A held buffer of a C-contiguous array.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    Buffer(Buffer &&other) noexcept;
    Buffer &operator=(Buffer &&other) noexcept;
    ~Buffer() { release(); }

    // True when `obj` exports C-contiguous items of `kind` ('d' float64,
    // '?' bool, 'q' 64-bit integers, 'O' objects) in `ndim` dimensions. An
    // object without such a buffer is not an error: the caller takes a
    // generic path.
    bool acquire(py::handle obj, char kind, int ndim = 1, bool writable = false);

    template <class T> T *data() const { return static_cast<T *>(view_.buf); }
    Py_ssize_t size() const { return held_ ? view_.len / view_.itemsize : 0; }

private:
    void release();
    Py_buffer view_{};
    bool held_ = false;
};

// An uninitialised numpy array of `count` items of `dtype`, with its buffer.
py::object new_array(py::handle np, Py_ssize_t count, const char *dtype, Buffer &buffer);

} // namespace pelorkit::analyka
