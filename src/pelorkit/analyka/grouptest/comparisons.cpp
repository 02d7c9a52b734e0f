// Welch's t-test per item between groups of samples: for all pairs of groups
// or against a reference group, keeping the items significant in at least one
// comparison, most consistently significant first.
#include "pelorkit/python.hpp"

#include <pybind11/numpy.h>

#include "diagnostics/checks.hpp"
#include "functions.hpp"
#include "glue/contexts.hpp"
#include "glue/names.hpp"
#include "glue/pandas_values.hpp"
#include "glue/pyops.hpp"
#include "grouptest/welch_pvalues.hpp"
#include "kernels/significance.hpp"
#include "pelorkit/interrupts.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace pelorkit::analyka {
namespace {

using namespace pyops;

const Name cci_get_diff_interactions_name{"cci_get_diff_interactions"};

py::str concat(py::handle left, py::handle right) {
    PyObject *text = PyUnicode_Concat(left.ptr(), right.ptr());
    if (text == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

// "<g1>_vs_<g2>", each label as str() gives it.
py::str comparison_name(py::handle first, py::handle second) {
    return concat(concat(py::str(first), py::str("_vs_")), py::str(second));
}

// The slice :-2.
py::object all_but_last_two() {
    return slice_of(py::handle(), py::int_(-2));
}

// -log10 of a zero product is inf, the highest rank, as intended: numpy's
// divide-by-zero report would only say so again.
py::object log10_of_products(py::handle np, py::handle products) {
    py::dict settings;
    settings["divide"] = "ignore";
    return with_errstate(np, settings, [&] { return py::object(np.attr("log10")(products)); });
}

// frame[key] = value as the Python statement runs it. pandas 3 tells an
// assignment to a variable from one to a temporary by counting references,
// and the interpreter's stack holds one more than a C++ caller does.
void set_item(py::handle frame, py::handle key, py::handle value) {
    py::object stack_reference = py::reinterpret_borrow<py::object>(frame);
    if (PyObject_SetItem(stack_reference.ptr(), key.ptr(), value.ptr()) < 0)
        throw py::error_already_set();
}

// The samples of one group: the boolean Series `group == label` and whether
// np.sum of it is greater than 0.
struct Members {
    py::object mask;
    bool present;
};

Members members_of(py::handle np, py::handle group, py::handle label) {
    py::object mask = compare(group, label, Py_EQ);
    py::object count = np.attr("sum")(mask);
    return {mask, truthy(compare(count, py::int_(0), Py_GT))};
}

// A cutoff that compares with float64 p-values exactly as a C double does.
std::optional<double> plain_cutoff(py::handle cutoff) {
    if (PyFloat_Check(cutoff.ptr()))
        return PyFloat_AS_DOUBLE(cutoff.ptr());
    if (PyLong_CheckExact(cutoff.ptr())) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(cutoff.ptr(), &overflow);
        if (value == -1 && PyErr_Occurred())
            throw py::error_already_set();
        constexpr long long exact = 1LL << 53;
        if (overflow == 0 && value <= exact && value >= -exact)
            return static_cast<double>(value);
    }
    return std::nullopt;
}

// The p-value columns of the result (df_res), in creation order. They stay
// plain float64 arrays while every test gives one, and the selection, count
// and ordering then run natively; a p-value of any other kind is assigned
// with pandas' own rules, and everything after it runs in pandas.
class PValueColumns {
public:
    PValueColumns(py::object frame, Py_ssize_t items) : frame_(std::move(frame)), items_(items) {}

    // df_res.loc[:, name] = pvalue
    void set(py::str name, py::object pvalue) {
        if (!in_frame_) {
            if (is_plain_column(pvalue)) {
                for (auto &column : columns_) {
                    if (column.first.equal(name)) {
                        column.second = std::move(pvalue);
                        return;
                    }
                }
                columns_.emplace_back(std::move(name), std::move(pvalue));
                return;
            }
            move_into_frame();
        }
        assign(name, pvalue);
    }

    py::object finish(const Call &call, py::handle cutoff) {
        py::object np = call.global(np_name);
        if (!in_frame_) {
            if (std::optional<double> limit = plain_cutoff(cutoff))
                return rank_natively(np, call.global(pd_name), *limit);
            move_into_frame();
        }
        return rank_in_pandas(np, cutoff);
    }

private:
    // A float64 ndarray itself (a subclass such as a masked array may stand
    // for other values), one value per item.
    bool is_plain_column(py::handle pvalue) const {
        py::object ndarray = py::module_::import("numpy").attr("ndarray");
        if (!py::type::handle_of(pvalue).is(ndarray) ||
            !py::isinstance<py::array_t<double>>(pvalue))
            return false;
        auto array = py::reinterpret_borrow<py::array>(pvalue);
        return array.ndim() == 1 && array.shape(0) == items_;
    }

    void assign(py::handle name, py::handle pvalue) {
        frame_.attr("loc")[py::make_tuple(full_slice(), name)] = pvalue;
    }

    void move_into_frame() {
        in_frame_ = true;
        for (auto &column : columns_)
            assign(column.first, column.second);
        columns_.clear();
    }

    // The post-processing as pandas statements.
    py::object rank_in_pandas(py::handle np, py::handle cutoff) {
        py::object df_res = frame_;
        set_item(df_res, df_res.attr("isnull")(), py::int_(1));
        py::object pv_min = df_res.attr("min")(py::arg("axis") = 1);
        py::object kept = compare(pv_min, cutoff, Py_LE);
        // a copy of its own, so that pandas 2 sees no assignment to a slice
        df_res = df_res.attr("loc")[py::make_tuple(kept, full_slice())].attr("copy")();
        set_item(df_res, py::str("ss"),
                 compare(df_res, cutoff, Py_LE).attr("sum")(py::arg("axis") = 1));
        set_item(df_res, py::str("pp"),
                 negative(log10_of_products(np, df_res.attr("prod")(py::arg("axis") = 1))));
        py::list by;
        by.append("ss");
        by.append("pp");
        // pandas sorts on several columns stably: ties keep the item order
        df_res = df_res.attr("sort_values")(py::arg("by") = by, py::arg("ascending") = false);
        return df_res.attr("iloc")[py::make_tuple(full_slice(), all_but_last_two())];
    }

    // The same post-processing on the float64 columns: NaN to 1, the items
    // whose smallest p-value is at most the cutoff, their count of
    // significant comparisons and -log10 of their row product (with np.log10,
    // as pandas would), then a stable sort on both, descending.
    py::object rank_natively(py::handle np, py::handle pd, double cutoff) {
        const auto items = static_cast<std::size_t>(items_);
        const std::size_t comparisons = columns_.size();
        std::vector<double> pvalues(items * comparisons);
        for (std::size_t c = 0; c < comparisons; ++c) {
            auto column = py::reinterpret_borrow<py::array_t<double>>(columns_[c].second);
            auto view = column.unchecked<1>();
            for (std::size_t i = 0; i < items; ++i)
                pvalues[c * items + i] = view(static_cast<Py_ssize_t>(i));
        }
        std::vector<std::size_t> kept;
        std::vector<std::int64_t> significant;
        std::vector<double> product;
        run_released([&](kernels::InterruptPoll poll) {
            return kernels::select_significant(kept, significant, product, pvalues, items, cutoff,
                                               poll);
        });

        const auto n = static_cast<Py_ssize_t>(kept.size());
        py::array_t<double> products(n);
        std::copy(product.begin(), product.end(), products.mutable_data());
        auto logs = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
            log10_of_products(np, products));
        if (!logs)
            throw py::error_already_set();
        if (logs.size() != n)
            throw py::value_error("np.log10 changed the number of values");
        std::vector<double> score(kept.size());
        for (std::size_t i = 0; i < kept.size(); ++i)
            score[i] = -logs.data()[i];
        std::vector<std::size_t> order(kept.size());
        run_released([&](kernels::InterruptPoll poll) {
            return kernels::order_by_significance(order, significant, score, poll);
        });

        py::array_t<double> values({n, static_cast<Py_ssize_t>(comparisons)});
        py::array_t<Py_ssize_t> positions(n);
        double *out = values.mutable_data();
        for (std::size_t r = 0; r < order.size(); ++r) {
            const std::size_t item = kept[order[r]];
            positions.mutable_data()[r] = static_cast<Py_ssize_t>(item);
            for (std::size_t c = 0; c < comparisons; ++c)
                out[r * comparisons + c] = pvalues[c * items + item];
        }

        // The labels as the pandas statements leave them: the comparison
        // names, then "ss" and "pp", without the last two.
        py::list labels;
        for (auto &column : columns_)
            labels.append(column.first);
        labels.append("ss");
        labels.append("pp");
        py::object columns = pd.attr("Index")(labels)[all_but_last_two()];
        py::object index = frame_.attr("index").attr("take")(positions);
        return pd.attr("DataFrame")(values, py::arg("index") = index, py::arg("columns") = columns);
    }

    py::object frame_;
    Py_ssize_t items_;
    bool in_frame_ = false;
    std::vector<std::pair<py::str, py::object>> columns_;
};

} // namespace

py::object cci_get_diff_interactions(const Call &call) {
    py::handle df = call.arg(0);
    py::handle sample_group_map = call.arg(1);
    py::handle ref_group = call.arg(2);
    py::handle pval_cutoff = call.arg(3);
    py::object np = call.global(np_name);
    py::object pd = call.global(pd_name);

    // Each sample's group, in row order, and the sorted distinct groups.
    py::list group_list;
    for (py::handle sample : as_list(values_of(call, df.attr("index"))))
        group_list.append(sample_group_map[sample]);
    py::list glst;
    try {
        glst = sorted_distinct(group_list);
    } catch (py::error_already_set &e) {
        diagnostics::explain_unsortable_groups(e, group_list, df.attr("index"));
    }
    diagnostics::check_groups(call, group_list, glst, df.attr("index"), ref_group);
    py::object group = pd.attr("Series")(group_list, py::arg("index") = df.attr("index"));

    // One row per item, one p-value column per comparison.
    py::list items = as_list(values_of(call, df.attr("columns")));
    PValueColumns df_res(pd.attr("DataFrame")(py::arg("index") = items),
                         static_cast<Py_ssize_t>(items.size()));

    auto test = [&](const Members &first, const Members &second, py::str name) {
        py::object loc = df.attr("loc");
        py::object a = loc[py::make_tuple(first.mask, full_slice())];
        py::object b = loc[py::make_tuple(second.mask, full_slice())];
        df_res.set(std::move(name), welch_pvalues(call, a, b));
    };

    if (is_none(ref_group)) {
        // Every pair, the later group of the sorted order first.
        std::vector<Members> members;
        for (py::handle g : glst)
            members.push_back(members_of(np, group, g));
        for (std::size_t i = 0; i < members.size(); ++i) {
            if (!members[i].present)
                continue;
            for (std::size_t j = 0; j < i; ++j)
                if (members[j].present)
                    test(members[i], members[j], comparison_name(glst[i], glst[j]));
        }
    } else {
        if (contains(glst, ref_group)) {
            Members reference = members_of(np, group, ref_group);
            for (py::handle g : glst) {
                if (!reference.present || !truthy(compare(g, ref_group, Py_NE)))
                    continue;
                Members others = members_of(np, group, g);
                if (others.present)
                    test(others, reference, comparison_name(g, ref_group));
            }
        }
    }
    return df_res.finish(call, pval_cutoff);
}

py::object test_group_diff(const Call &call) {
    return call.global(cci_get_diff_interactions_name)(call.arg(0), call.arg(1), call.arg(2),
                                                       call.arg(3));
}

} // namespace pelorkit::analyka
