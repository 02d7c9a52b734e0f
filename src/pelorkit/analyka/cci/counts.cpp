// Interactions that every sample lists, removed; and per sample the number of
// interactions between every ordered pair of cell types, on one sorted axis
// (with its second name).
#include "pelorkit/python.hpp"

#include "cci/id_space.hpp"
#include "diagnostics/checks.hpp"
#include "functions.hpp"
#include "glue/names.hpp"
#include "kernels/pair_counts.hpp"
#include "pelorkit/interrupts.hpp"

#include <unordered_map>

namespace pelorkit::analyka {
namespace {

const Name cci_remove_common_name{"cci_remove_common"};
const Name cci_get_ni_mat_name{"cci_get_ni_mat"};

using cci::Code;

// The tables of a dict in key order, each with the rows to keep (an empty
// mask keeps every row).
struct Tables {
    py::list keys;
    std::vector<py::object> frames;
    std::vector<std::vector<std::uint8_t>> keep;
};

Tables tables_of(py::handle mapping) {
    Tables t;
    t.keys = keys_of(mapping);
    for (py::handle key : t.keys)
        t.frames.push_back(mapping[key]);
    t.keep.resize(t.frames.size());
    return t;
}

// Keeps, in every table, the rows whose id is missing from at least one
// table; an id on several rows of one table keeps all of them.
Tables without_common_ids(const Call &call, py::handle df_dct) {
    Tables t = tables_of(df_dct);
    std::vector<py::object> indexes;
    indexes.reserve(t.frames.size());
    for (const py::object &frame : t.frames)
        indexes.push_back(values_of(call, frame.attr("index")));
    t.keep = cci::uncommon_rows(indexes);
    return t;
}

// The sorted list of the cell types on kept rows, and each name code's rank
// in it (kNoCode for names only on dropped rows).
py::list sorted_cell_types(const cci::IdSpace &names, const std::vector<std::uint8_t> &used,
                           std::vector<Code> &rank) {
    std::vector<Code> order;
    if (const kernels::TextCodes *texts = names.texts()) {
        for (const Code code : kernels::codes_sorted_by_text(*texts))
            if (used[static_cast<std::size_t>(code)])
                order.push_back(code);
    } else {
        // Python's own ordering, with its TypeError for values that cannot
        // be ordered together.
        py::list values;
        std::unordered_map<PyObject *, Code> code_of;
        for (std::size_t c = 0; c < used.size(); ++c) {
            if (used[c]) {
                values.append(names.object(static_cast<Code>(c)));
                code_of.emplace(names.object(static_cast<Code>(c)).ptr(), static_cast<Code>(c));
            }
        }
        if (PyList_Sort(values.ptr()) < 0)
            throw py::error_already_set();
        for (py::handle value : values)
            order.push_back(code_of.at(value.ptr()));
    }
    rank.assign(used.size(), cci::kNoCode);
    py::list celltypes;
    for (std::size_t r = 0; r < order.size(); ++r) {
        rank[static_cast<std::size_t>(order[r])] = static_cast<Code>(r);
        celltypes.append(names.object(order[r]));
    }
    return celltypes;
}

} // namespace

py::object cci_remove_common(const Call &call) {
    Tables t = without_common_ids(call, call.arg(0));
    diagnostics::check_common_interactions(call, t.keep, false);
    py::object np = call.global(np_name);
    py::dict result;
    for (std::size_t c = 0; c < t.frames.size(); ++c) {
        const std::vector<std::uint8_t> &keep = t.keep[c];
        const auto kept = static_cast<Py_ssize_t>(std::count(keep.begin(), keep.end(), 1));
        ArrayView buffer;
        py::object positions = new_array(np, kept, "intp", buffer);
        auto *out = buffer.data<std::int64_t>();
        for (std::size_t i = 0; i < keep.size(); ++i)
            if (keep[i])
                *out++ = static_cast<std::int64_t>(i);
        buffer.release();
        // Rows stay in table order; the result is a new frame.
        result[t.keys[c]] = t.frames[c].attr("take")(positions);
        check_signals();
    }
    return result;
}

py::object cci_get_ni_mat(const Call &call) {
    py::handle df_dct = call.arg(0);
    Tables t;
    if (truthy(call.arg(1))) {
        py::object remove_common = call.global(cci_remove_common_name);
        // A sibling call that may run its C++ body directly (is_own_function,
        // the one exception to calling through the module namespace; see
        // docs/dev/architecture.md): the module's own removal counts the rows
        // it keeps without copying them into new tables first.
        if (is_own_function(remove_common, cci_remove_common)) {
            t = without_common_ids(call, df_dct);
            diagnostics::check_common_interactions(call, t.keep, true);
        } else {
            t = tables_of(remove_common(df_dct));
        }
    } else {
        t = tables_of(df_dct);
    }

    cci::IdSpace names;
    for (const py::object &frame : t.frames) {
        names.add(values_of(call, frame["cell_A"]));
        names.add(values_of(call, frame["cell_B"]));
    }
    names.number();

    // Pairs are taken as zip(cell_A, cell_B) takes them.
    std::vector<std::size_t> rows(t.frames.size());
    std::vector<std::uint8_t> used(names.size(), 0);
    for (std::size_t c = 0; c < t.frames.size(); ++c) {
        const auto a = names.codes(2 * c);
        const auto b = names.codes(2 * c + 1);
        rows[c] = std::min(a.size(), b.size());
        const std::vector<std::uint8_t> &keep = t.keep[c];
        if (!keep.empty() && keep.size() != rows[c])
            throw py::value_error("a table has columns of different lengths");
        run_released([&](kernels::InterruptPoll poll) {
            return kernels::mark_pair_codes(used, a.first(rows[c]), b.first(rows[c]),
                                            keep.empty() ? nullptr : keep.data(), poll);
        });
    }
    std::vector<Code> rank;
    py::list celltypes = sorted_cell_types(names, used, rank);
    const auto k = static_cast<Py_ssize_t>(PyList_GET_SIZE(celltypes.ptr()));

    py::object np = call.global(np_name);
    py::object data_frame = call.global(pd_name).attr("DataFrame");
    py::dict result;
    for (std::size_t c = 0; c < t.frames.size(); ++c) {
        ArrayView buffer;
        py::object counts = new_array(np, k * k, "int64", buffer);
        auto *matrix = buffer.data<std::int64_t>();
        std::fill_n(matrix, k * k, 0);
        const auto a = names.codes(2 * c).first(rows[c]);
        const auto b = names.codes(2 * c + 1).first(rows[c]);
        const std::uint8_t *keep = t.keep[c].empty() ? nullptr : t.keep[c].data();
        run_released([&](kernels::InterruptPoll poll) {
            return kernels::count_rank_pairs(matrix, static_cast<std::size_t>(k), rank, a, b, keep,
                                             poll);
        });
        buffer.release();
        result[t.keys[c]] = data_frame(counts.attr("reshape")(k, k), py::arg("index") = celltypes,
                                       py::arg("columns") = celltypes);
    }
    return result;
}

py::object get_cci_ni_mat(const Call &call) {
    return call.global(cci_get_ni_mat_name)(call.arg(0), call.arg(1));
}

} // namespace pelorkit::analyka
