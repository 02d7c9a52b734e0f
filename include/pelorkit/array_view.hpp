// The one view of numpy arrays for the native code of every module: an
// array's memory after its layout and item type were checked, kept alive with
// the view; and new arrays to write into. Compiled into each module from
// src/common/array_view.cpp.
#pragma once

#include "pelorkit/python.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace pelorkit {

// A checked view of an array's memory. Three ways in:
// - acquire(): through the buffer protocol, C-contiguous items of one item
//   code; the view holds the buffer, so the exporter cannot resize or free
//   the memory while Python code runs (a caller's __eq__ or __hash__);
// - acquire_columns(): the same for a 2-D block in column-major (Fortran)
//   order, as pandas keeps a frame's columns of one dtype;
// - of_array(): any numpy array of plain items in native byte order,
//   aligned, at any strides; kind() and itemsize() say what it holds.
class ArrayView {
public:
    ArrayView() = default;
    ArrayView(const ArrayView &) = delete;
    ArrayView &operator=(const ArrayView &) = delete;
    ArrayView(ArrayView &&other) noexcept;
    ArrayView &operator=(ArrayView &&other) noexcept;
    ~ArrayView() { release(); }

    // True when `obj` exports C-contiguous items of `code` ('d' float64, '?'
    // bool, 'q' 64-bit integers, 'O' objects) in `ndim` dimensions. An object
    // without such a buffer is not an error: the caller takes a generic path.
    bool acquire(py::handle obj, char code, int ndim = 1, bool writable = false);

    // True when `obj` exports a 2-D block of `code` items, column after
    // column: column j starts at item j * rows.
    bool acquire_columns(py::handle obj, char code, bool writable = false);

    // A numpy array of `ndim` dimensions (no record dtype), aligned and in
    // native byte order; nullopt for anything else.
    static std::optional<ArrayView> of_array(py::handle obj, int ndim);

    // Drops the view and the buffer it holds.
    void release();

    template <class T> T *data() const { return static_cast<T *>(data_); }
    template <class T> std::span<T> items() const { return {data<T>(), size_}; }
    const std::byte *bytes() const { return static_cast<const std::byte *>(data_); }
    // Items in all dimensions.
    std::size_t size() const { return size_; }
    // numpy's dtype kind ('b' bool, 'i', 'u', 'f', 'O', 'U', 'S', ...).
    char kind() const { return kind_; }
    std::size_t itemsize() const { return itemsize_; }
    bool c_contiguous() const { return c_contiguous_; }
    // Bytes between items along `axis`.
    Py_ssize_t stride(int axis) const { return strides_[static_cast<std::size_t>(axis)]; }
    // The array viewed.
    const py::object &array() const { return array_; }

private:
    // acquire() and acquire_columns() with `order` PyBUF_C_CONTIGUOUS or
    // PyBUF_F_CONTIGUOUS.
    bool acquire_buffer(py::handle obj, char code, int ndim, int order, bool writable);

    py::object array_;
    Py_buffer buffer_{};
    bool held_ = false;
    void *data_ = nullptr;
    std::size_t size_ = 0;
    char kind_ = 0;
    std::size_t itemsize_ = 0;
    bool c_contiguous_ = false;
    std::array<Py_ssize_t, 2> strides_{};
};

// A new numpy array of `count` items of `dtype` ("float64", "bool", "int64",
// "intp", or "object", which numpy fills with None; the others are
// uninitialised), viewed by `view` to write into.
py::object new_array(py::handle np, Py_ssize_t count, const char *dtype, ArrayView &view);

// Carries a C++ element type to a generic lambda.
template <class T> struct Tag {
    using type = T;
};

// Calls f(Tag<T>{}) for a numpy integer dtype (kind 'i' or 'u').
template <class F> bool visit_integer_type(char kind, std::size_t itemsize, F &&f) {
    if (kind == 'i') {
        switch (itemsize) {
        case 1:
            return f(Tag<std::int8_t>{});
        case 2:
            return f(Tag<std::int16_t>{});
        case 4:
            return f(Tag<std::int32_t>{});
        case 8:
            return f(Tag<std::int64_t>{});
        default:
            break;
        }
    } else if (kind == 'u') {
        switch (itemsize) {
        case 1:
            return f(Tag<std::uint8_t>{});
        case 2:
            return f(Tag<std::uint16_t>{});
        case 4:
            return f(Tag<std::uint32_t>{});
        case 8:
            return f(Tag<std::uint64_t>{});
        default:
            break;
        }
    }
    return false;
}

} // namespace pelorkit
