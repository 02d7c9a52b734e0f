// One CCI result table from its columns (see long_table.hpp).
#include "pelorkit/python.hpp"

#include "glue/frames.hpp"
#include "glue/long_table.hpp"
#include "glue/names.hpp"

#include <array>

namespace pelorkit::readers {
namespace {

constexpr std::array<const char *, 6> kCore = {"pval",   "mean",   "cell_A",
                                               "cell_B", "gene_A", "gene_B"};

} // namespace

bool is_core_column(py::handle label) {
    if (!PyUnicode_Check(label.ptr()))
        return false;
    for (const char *name : kCore)
        if (PyUnicode_CompareWithASCIIString(label.ptr(), name) == 0)
            return true;
    return false;
}

py::object make_table(const Call &call, const LongColumns &columns) {
    py::object np = call.global(np_name), pd = call.global(pd_name);
    py::dict data;
    const std::array<const py::object *, 6> core = {&columns.pval,   &columns.mean,
                                                    &columns.cell_a, &columns.cell_b,
                                                    &columns.gene_a, &columns.gene_b};
    for (std::size_t i = 0; i < kCore.size(); ++i)
        data[kCore[i]] = *core[i];
    if (!is_none(columns.extra)) {
        py::object labels = columns.extra.attr("columns");
        const auto n = static_cast<Py_ssize_t>(py::len(labels));
        for (Py_ssize_t j = 0; j < n; ++j) {
            py::object label = labels[py::int_(j)];
            if (is_core_column(label))
                continue;
            // The column's own array: numpy's as it is (pandas' array wrapper of it
            // would scan an object column for missing values when unwrapped).
            py::object values = column_at(columns.extra, j);
            data[label] = py::isinstance(values.attr("dtype"), np.attr("dtype"))
                              ? values.attr("to_numpy")()
                              : values.attr("array");
        }
    }
    py::object index = pd.attr("Index")(columns.ids, py::arg("copy") = false);
    return pd.attr("DataFrame")(data, py::arg("index") = index, py::arg("copy") = false);
}

} // namespace pelorkit::readers
