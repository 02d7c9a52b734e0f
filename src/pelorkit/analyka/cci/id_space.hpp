// The id space of the cell-cell interaction functions: interaction ids (or
// cell-type names) of many tables numbered by first appearance with set
// semantics, natively on UTF-8 bytes when every id is an exact str, and the
// rows that a boolean selection keeps.
#pragma once

#include "pelorkit/python.hpp"

#include "glue/pandas_values.hpp"
#include "kernels/text_codes.hpp"
#include "pelorkit/array_view.hpp"
#include "pelorkit/compiler.hpp"
#include "pelorkit/interrupts.hpp"

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

// The UTF-8 bytes of an exact str (no subclass); false for anything else and
// for strings that have no UTF-8 form (lone surrogates).
bool utf8_of(PyObject *obj, std::string_view &text);

// The str of UTF-8 bytes (UnicodeDecodeError for bytes that are not UTF-8).
py::str decode_utf8(std::string_view text);

// Hands the UTF-8 texts of the items to `consume(start, texts, objects)` in
// chunks small enough that the strings just read are still in cache when a
// kernel hashes them. The chunk's strings are held (`objects`) while
// `consume` runs, so a kernel may read them without the interpreter lock.
// False, with nothing more consumed, at the first item that is not an exact
// str.
template <class Consume> bool consume_texts(std::span<PyObject *const> items, Consume &&consume) {
    constexpr std::size_t kChunk = 4096;
    // Strings read this many items ahead are asked for early: the items of a
    // large column lie all over the heap.
    constexpr std::size_t kAhead = 8;
    std::array<std::string_view, kChunk> views;
    std::vector<py::object> held(kChunk);
    for (std::size_t start = 0; start < items.size(); start += kChunk) {
        const std::size_t count = std::min(kChunk, items.size() - start);
        for (std::size_t i = 0; i < count; ++i) {
            if (start + i + kAhead < items.size()) {
                const auto *ahead = reinterpret_cast<const char *>(items[start + i + kAhead]);
                PELORKIT_PREFETCH(ahead);
                PELORKIT_PREFETCH(ahead + 64);
            }
            if (!utf8_of(items[start + i], views[i]))
                return false;
            held[i] = py::reinterpret_borrow<py::object>(items[start + i]);
        }
        consume(start, std::span<const std::string_view>(views.data(), count),
                std::span<const py::object>(held.data(), count));
        if ((start / kChunk) % 16 == 15)
            check_signals();
    }
    return true;
}

// For every table index, which rows hold an id missing from at least one
// index (1) rather than one common to all (0).
std::vector<std::vector<std::uint8_t>> uncommon_rows(const std::vector<py::object> &indexes);

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
    // Numbers by text only: false, with nothing usable numbered, when an item
    // is no exact str.
    bool number_by_text();
    // Forgets every column.
    void clear();

    std::span<const Code> codes(std::size_t column) const { return codes_[column]; }
    std::size_t size() const { return firsts_.size(); }
    // The first item numbered `code`; the space keeps it alive.
    py::handle object(Code code) const { return firsts_[static_cast<std::size_t>(code)]; }
    // The texts of the codes when every item was an exact str, else null.
    const kernels::TextCodes *texts() const { return texts_.get(); }
    // The same, to look texts up in (a lookup keeps a memo of the addresses it met).
    kernels::TextCodes *texts() { return texts_.get(); }

private:
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
    ArrayView mask_;
};

} // namespace pelorkit::analyka::cci
