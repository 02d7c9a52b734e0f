// Glue shared by the cell-cell interaction functions: raw views of array
// buffers, the items of index-like sequences, and the id space that numbers
// interaction ids (or cell-type names) by first appearance across tables.
#pragma once

#include "pelorkit/python.hpp"
#include "pelorkit/pyfunction.hpp"

#include "kernels/cci.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace pelorkit::analyka::cci {

using kernels::Code;
using kernels::kNoCode;

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

// The items of a one-dimensional sequence as list(values) gives them. An
// object ndarray is read in place unless `owned` asks for a list of our own,
// needed wherever Python code (a __hash__ or __eq__) runs while the items are
// in use and could change the array.
class ObjectItems {
public:
    explicit ObjectItems(py::handle values, bool owned = false);
    std::span<PyObject *const> items() const { return {items_, static_cast<std::size_t>(size_)}; }
    Py_ssize_t size() const { return size_; }

private:
    py::object owner_;
    Buffer buffer_;
    PyObject *const *items_ = nullptr;
    Py_ssize_t size_ = 0;
};

// The UTF-8 bytes of an exact str (no subclass); false for anything else and
// for strings that have no UTF-8 form (lone surrogates).
bool utf8_of(PyObject *obj, std::string_view &text);

// Raises the pending exception of a signal handler (Ctrl-C), if any.
void check_signals();

// Hands the UTF-8 texts of the items to `consume(start, texts)` in chunks
// small enough that the strings just read are still in cache when a kernel
// hashes them. The chunk's strings are held while `consume` runs, so a kernel
// may read them without the interpreter lock. False, with nothing more
// consumed, at the first item that is not an exact str.
template <class Consume> bool consume_texts(std::span<PyObject *const> items, Consume &&consume) {
    constexpr std::size_t kChunk = 4096;
    std::array<std::string_view, kChunk> views;
    std::vector<py::object> held(kChunk);
    for (std::size_t start = 0; start < items.size(); start += kChunk) {
        const std::size_t count = std::min(kChunk, items.size() - start);
        for (std::size_t i = 0; i < count; ++i) {
            if (!utf8_of(items[start + i], views[i]))
                return false;
            held[i] = py::reinterpret_borrow<py::object>(items[start + i]);
        }
        consume(start, std::span<const std::string_view>(views.data(), count));
        if ((start / kChunk) % 16 == 15)
            check_signals();
    }
    return true;
}

// For every table index, which rows hold an id that occurs in every index.
std::vector<std::vector<std::uint8_t>> common_rows(const std::vector<py::object> &indexes);

// Ids numbered by first appearance over columns of items, with set semantics:
// exact str items are matched by their bytes natively; when any item of any
// column is of another type, all items are matched by Python's hash and ==.
class IdSpace {
public:
    IdSpace();
    ~IdSpace();
    IdSpace(const IdSpace &) = delete;
    IdSpace &operator=(const IdSpace &) = delete;

    // Registers a column of items; its codes are known after number().
    std::size_t add(py::handle values);
    void number();

    std::span<const Code> codes(std::size_t column) const { return codes_[column]; }
    std::size_t size() const { return firsts_.size(); }
    // The first item numbered `code`; the space keeps it alive.
    py::handle object(Code code) const { return firsts_[static_cast<std::size_t>(code)]; }
    // The texts of the codes when every item was an exact str, else null.
    const kernels::TextCodes *texts() const { return texts_.get(); }

private:
    bool number_by_text();
    void number_by_object();

    std::vector<py::object> columns_;
    std::vector<std::vector<Code>> codes_;
    // Held in C++ rather than a list: a large list would be traversed by
    // every garbage collection that runs while pandas builds the results.
    std::vector<py::object> firsts_;
    std::unique_ptr<kernels::TextCodes> texts_;
};

// The ids of `codes` as the labels of a new index or columns: an object
// array when every id is an exact str (pandas infers the same dtype as from a
// list, without converting item by item), a list otherwise.
py::object labels_of(py::handle np, const IdSpace &ids, std::span<const Code> codes);

// Whether `function` is still this module's own function object built on
// `impl` (a caller may have rebound the module attribute to anything else).
bool is_own_function(py::handle function, Impl impl);

// list(mapping.keys()), the way the functions walk their dict of tables.
py::list keys_of(py::handle mapping);

// The rows a boolean selection `b` keeps: true when `b` is a Series (or
// array) of plain bools as long as the table, read in place into `mask`.
bool read_mask(Buffer &mask, py::handle b, Py_ssize_t rows);

// An uninitialised numpy array of `count` items of `dtype`, with its buffer.
py::object new_array(py::handle np, Py_ssize_t count, const char *dtype, Buffer &buffer);

// A numpy object array holding `items` (new references). For exact str items
// pandas infers the same dtype from it as from a list, and takes it without
// the per-item conversion it applies to a list.
py::object object_array(py::handle np, std::span<PyObject *const> items);

// The values of a numeric column at `rows` as float64, as
// column.iloc[rows].astype(to_float) gives them (read in place for float64).
std::vector<double> floats_at(py::handle np, py::handle to_float, py::handle column,
                              std::span<const std::int64_t> rows);

// Python's `a <op> b`, `a & b` and `a | b` on whatever the operands are.
py::object compare(py::handle a, py::handle b, int op);
py::object both(py::handle a, py::handle b);
py::object either(py::handle a, py::handle b);

// The rows of one table that a boolean selection `b` keeps, as
// list(table.index.values[b]) lists them.
class Selection {
public:
    Selection(IdSpace &space, py::handle values, py::handle b);
    std::size_t index_column() const { return index_column_; }
    // The codes of the kept rows in row order, once the space is numbered.
    std::vector<Code> codes(const IdSpace &space) const;

private:
    std::size_t index_column_;
    std::size_t selected_column_ = 0;
    bool by_mask_ = false;
    Buffer mask_;
};

// pandas' error for a label that is repeated where labels must be unique.
[[noreturn]] void raise_duplicate_labels();

// Runs a kernel without the interpreter lock, with a Ctrl-C poll.
template <class Kernel> auto run_released(Kernel &&kernel) {
    return without_gil(
        [&](bool (*fn)(void *), void *ctx) { return kernel(kernels::InterruptPoll{fn, ctx}); });
}

} // namespace pelorkit::analyka::cci
