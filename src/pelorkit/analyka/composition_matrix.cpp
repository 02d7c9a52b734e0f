// Reading X for the expression table: numpy and scipy CSR/CSC buffers checked
// and handed to the positive-count kernels.
#include "pelorkit/python.hpp"

#include "composition_impl.hpp"
#include "kernels/sparse.hpp"

#include <limits>
#include <span>
#include <string>

namespace pelorkit::analyka::composition {
namespace {

namespace k = kernels;
using npy = py::detail::npy_api;

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
        }
        return false;
    }
    return false;
}

template <class T> std::span<const T> span_of(const ArrayRef &ref) {
    return {reinterpret_cast<const T *>(ref.data), ref.size()};
}

std::optional<ArrayRef> contiguous_vector(py::handle obj) {
    std::optional<ArrayRef> ref = array_ref(obj, 1);
    if (!ref || !(ref->array.flags() & npy::NPY_ARRAY_C_CONTIGUOUS_))
        return std::nullopt;
    return ref;
}

// The scans report `malformed` also for dtypes they do not read.
k::ScanStatus scan_dense(const k::GroupedCounts &out, const ArrayRef &x) {
    const std::size_t n_cols = static_cast<std::size_t>(x.array.shape(1));
    k::ScanStatus status = k::ScanStatus::malformed;
    visit_value_type(x.kind, x.itemsize, [&](auto tag) {
        using V = typename decltype(tag)::type;
        status = run_released([&](k::InterruptPoll poll) {
            return k::count_positive_dense<V>(out, n_cols, x.data, x.array.strides(0),
                                              x.array.strides(1), poll);
        });
        return true;
    });
    return status;
}

// scipy's compressed formats: "csr" (rows major) or "csc".
k::ScanStatus scan_compressed(const k::GroupedCounts &out, py::handle matrix,
                              const std::string &format, std::size_t n_cols) {
    std::optional<ArrayRef> data = contiguous_vector(matrix.attr("data"));
    std::optional<ArrayRef> indices = contiguous_vector(matrix.attr("indices"));
    std::optional<ArrayRef> indptr = contiguous_vector(matrix.attr("indptr"));
    if (!data || !indices || !indptr || indices->kind != 'i' || indptr->kind != 'i' ||
        indices->itemsize != indptr->itemsize)
        return k::ScanStatus::malformed;
    const bool rows = format == "csr";
    k::ScanStatus status = k::ScanStatus::malformed;
    auto scan = [&](auto value_tag, auto index_tag) {
        using V = typename decltype(value_tag)::type;
        using I = typename decltype(index_tag)::type;
        status = run_released([&](k::InterruptPoll poll) {
            return rows ? k::count_positive_csr<V, I>(out, n_cols, span_of<V>(*data),
                                                      span_of<I>(*indices), span_of<I>(*indptr),
                                                      poll)
                        : k::count_positive_csc<V, I>(out, n_cols, span_of<V>(*data),
                                                      span_of<I>(*indices), span_of<I>(*indptr),
                                                      poll);
        });
        return true;
    };
    visit_value_type(data->kind, data->itemsize, [&](auto value_tag) {
        if (indices->itemsize == 4)
            return scan(value_tag, Tag<std::int32_t>{});
        if (indices->itemsize == 8)
            return scan(value_tag, Tag<std::int64_t>{});
        return false;
    });
    // Out-of-range indices would make scipy's own densifying write out of
    // bounds: its full format check raises first.
    if (status == k::ScanStatus::malformed && py::hasattr(matrix, "check_format"))
        matrix.attr("check_format")(py::arg("full_check") = true);
    return status;
}

// The sparse format of a scipy matrix or array ("csr", "csc"), else "".
std::string sparse_format(py::handle matrix) {
    py::object format = py::getattr(matrix, "format", py::none());
    if (!py::isinstance<py::str>(format) || !py::hasattr(matrix, "indptr"))
        return "";
    return format.cast<std::string>();
}

} // namespace

std::optional<PositiveCounts>
count_positive(py::handle matrix, const std::vector<std::int32_t> &row_group, std::size_t n_groups,
               const std::optional<std::vector<std::int64_t>> &picked) {
    const std::size_t n_rows = row_group.size();
    if (n_rows > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;

    std::optional<ArrayRef> dense;
    std::string format;
    if (py::isinstance<py::array>(matrix)) {
        dense = array_ref(matrix, 2);
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

    PositiveCounts result;
    result.n_columns = picked ? picked->size() : n_cols;
    result.counts.assign(n_groups * result.n_columns, 0);
    k::GroupedCounts out{result.counts.data(),
                         n_groups,
                         row_group.data(),
                         n_rows,
                         picked ? std::span<const std::int64_t>(*picked)
                                : std::span<const std::int64_t>(),
                         !picked.has_value()};
    const k::ScanStatus status =
        dense ? scan_dense(out, *dense) : scan_compressed(out, matrix, format, n_cols);
    if (status != k::ScanStatus::done)
        return std::nullopt;
    return result;
}

} // namespace pelorkit::analyka::composition
