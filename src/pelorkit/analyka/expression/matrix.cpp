// Reading X for the expression table: numpy and scipy CSR/CSC buffers checked
// and handed to the positive-count kernels, and the same kernels on raw
// buffers for the readers that bring X in block by block.
#include "pelorkit/python.hpp"

#include "expression/matrix.hpp"
#include "pelorkit/interrupts.hpp"

#include <pybind11/numpy.h>

#include <limits>
#include <span>
#include <string>
#include <utility>

namespace pelorkit::analyka::expression {
namespace {

// Calls f(Tag<V>{}) for the value types with a native scan.
template <class F> bool visit_value_type(char kind, std::size_t itemsize, F &&f) {
    switch (kind) {
    case 'b':
        return itemsize == 1 && f(Tag<k::NumpyBool>{});
    case 'i':
    case 'u':
        return visit_integer_type(kind, itemsize, std::forward<F>(f));
    case 'f':
        switch (itemsize) {
        case 4:
            return f(Tag<float>{});
        case 8:
            return f(Tag<double>{});
        default:
            return false;
        }
    default:
        return false;
    }
}

template <class T> std::span<const T> span_of(const RawVector &v) {
    return {reinterpret_cast<const T *>(v.data), v.size};
}

std::optional<ArrayView> contiguous_vector(py::handle obj) {
    std::optional<ArrayView> view = ArrayView::of_array(obj, 1);
    if (!view || !view->c_contiguous())
        return std::nullopt;
    return view;
}

// The index pointer in the indices' integer type (anndata reads int32
// indices with an int64 index pointer), when its values fit: a copy of one
// entry per row or column.
std::optional<ArrayView> offsets_like(const ArrayView &indptr, const ArrayView &indices) {
    if (indptr.kind() != 'i' || indices.kind() != 'i' ||
        (indices.itemsize() != 4 && indices.itemsize() != 8))
        return std::nullopt;
    bool fits = true;
    visit_integer_type('i', indptr.itemsize(), [&](auto tag) {
        using T = typename decltype(tag)::type;
        const T *p = reinterpret_cast<const T *>(indptr.bytes());
        for (std::size_t i = 0; i < indptr.size() && fits; ++i)
            fits = indices.itemsize() == 8 || std::in_range<std::int32_t>(p[i]);
        return true;
    });
    if (!fits)
        return std::nullopt;
    return contiguous_vector(indptr.array().attr("astype")(indices.array().attr("dtype")));
}

} // namespace

void GroupCounts::add(const std::uint32_t *block, std::size_t width, std::size_t offset) {
    for (std::size_t g = 0; g < n_groups; ++g) {
        std::int64_t *into = counts.data() + g * n_columns + offset;
        const std::uint32_t *from = block + g * width;
        for (std::size_t j = 0; j < width; ++j)
            into[j] += from[j];
    }
}

RawVector raw_vector(const ArrayView &view) {
    return {view.bytes(), view.kind(), view.itemsize(), view.size()};
}

bool has_value_scan(char kind, std::size_t itemsize) {
    return visit_value_type(kind, itemsize, [](auto) { return true; });
}

k::Status scan_dense(const k::GroupedCounts &out, std::size_t n_cols, const RawVector &values,
                     std::ptrdiff_t row_stride, std::ptrdiff_t col_stride, k::InterruptPoll poll) {
    k::Status status = k::Status::rejected;
    visit_value_type(values.kind, values.itemsize, [&](auto tag) {
        using V = typename decltype(tag)::type;
        status = k::count_positive_dense<V>(out, n_cols, values.data, row_stride, col_stride, poll);
        return true;
    });
    return status;
}

k::Status scan_compressed(const k::GroupedCounts &out, bool by_rows, std::size_t n_cols,
                          const RawVector &data, const RawVector &indices, const RawVector &indptr,
                          k::InterruptPoll poll) {
    if (indices.kind != 'i' || indptr.kind != 'i' || indices.itemsize != indptr.itemsize)
        return k::Status::rejected;
    k::Status status = k::Status::rejected;
    auto scan = [&](auto value_tag, auto index_tag) {
        using V = typename decltype(value_tag)::type;
        using I = typename decltype(index_tag)::type;
        status = by_rows
                     ? k::count_positive_csr<V, I>(out, n_cols, span_of<V>(data),
                                                   span_of<I>(indices), span_of<I>(indptr), poll)
                     : k::count_positive_csc<V, I>(out, n_cols, span_of<V>(data),
                                                   span_of<I>(indices), span_of<I>(indptr), poll);
        return true;
    };
    visit_value_type(data.kind, data.itemsize, [&](auto value_tag) {
        if (indices.itemsize == 4)
            return scan(value_tag, Tag<std::int32_t>{});
        if (indices.itemsize == 8)
            return scan(value_tag, Tag<std::int64_t>{});
        return false;
    });
    return status;
}

// scipy's full format check passes over a matrix whose index pointer ends at
// or below 0 (no values by that count), and its densifying then reads the
// pointer's ranges out of bounds: the pointer is checked here as well, with
// scipy's words.
void check_index_pointer(py::handle matrix) {
    using Offsets = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
    Offsets indptr = Offsets::ensure(matrix.attr("indptr"));
    if (!indptr || indptr.ndim() != 1 || indptr.size() == 0)
        return;
    const std::int64_t *p = indptr.data();
    if (p[0] != 0)
        throw py::value_error("index pointer should start with 0");
    for (py::ssize_t i = 1; i < indptr.size(); ++i)
        if (p[i] < p[i - 1])
            throw py::value_error("index pointer values must form a non-decreasing sequence");
}

std::string sparse_format(py::handle matrix) {
    py::object format = py::getattr(matrix, "format", py::none());
    if (!py::isinstance<py::str>(format) || !py::hasattr(matrix, "indptr"))
        return "";
    return format.cast<std::string>();
}

std::optional<GroupCounts> count_positive(py::handle matrix, const Grouping &groups,
                                          const Picked &picked) {
    const std::size_t n_rows = groups.row_group.size();
    if (n_rows > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;

    std::optional<ArrayView> dense;
    std::string format;
    if (py::isinstance<py::array>(matrix)) {
        dense = ArrayView::of_array(matrix, 2);
        if (!dense)
            return std::nullopt;
    } else {
        format = sparse_format(matrix);
        if (format != "csr" && format != "csc")
            return std::nullopt;
    }
    py::tuple shape = matrix.attr("shape");
    if (shape.size() != 2 || shape[0].cast<std::size_t>() != n_rows)
        return std::nullopt;
    const std::size_t n_cols = shape[1].cast<std::size_t>();

    const std::size_t n_out = picked ? picked->size() : n_cols;
    std::vector<std::uint32_t> counts(groups.n_groups * n_out, 0);
    k::GroupedCounts out{counts.data(),
                         groups.n_groups,
                         groups.row_group.data(),
                         n_rows,
                         picked ? std::span<const std::int64_t>(*picked)
                                : std::span<const std::int64_t>(),
                         !picked.has_value()};
    k::Status status = k::Status::rejected;
    if (dense) {
        const RawVector values = raw_vector(*dense);
        status = run_released([&](k::InterruptPoll poll) {
            return scan_dense(out, n_cols, values, dense->stride(0), dense->stride(1), poll);
        });
    } else {
        std::optional<ArrayView> data = contiguous_vector(matrix.attr("data"));
        std::optional<ArrayView> indices = contiguous_vector(matrix.attr("indices"));
        std::optional<ArrayView> indptr = contiguous_vector(matrix.attr("indptr"));
        if (indices && indptr && indptr->itemsize() != indices->itemsize())
            indptr = offsets_like(*indptr, *indices);
        if (data && indices && indptr) {
            const RawVector d = raw_vector(*data), i = raw_vector(*indices),
                            p = raw_vector(*indptr);
            status = run_released([&](k::InterruptPoll poll) {
                return scan_compressed(out, format == "csr", n_cols, d, i, p, poll);
            });
        }
        // Out-of-range indices would make scipy's own densifying write out
        // of bounds: its full format check raises first.
        if (status == k::Status::rejected && py::hasattr(matrix, "check_format")) {
            matrix.attr("check_format")(py::arg("full_check") = true);
            check_index_pointer(matrix);
        }
    }
    if (status != k::Status::done)
        return std::nullopt;
    GroupCounts result(groups.n_groups, n_out);
    result.add(counts.data(), n_out, 0);
    return result;
}

} // namespace pelorkit::analyka::expression
