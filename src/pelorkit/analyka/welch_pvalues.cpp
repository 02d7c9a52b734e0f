// The p-values of one group comparison: Welch's t-test per item, computed
// natively when the call would reach scipy's own ttest_ind with float64 data,
// and by calling stats.ttest_ind otherwise.
#include "pelorkit/python.hpp"

#include <pybind11/numpy.h>

#include "functions.hpp"
#include "grouptest_impl.hpp"
#include "interruptible.hpp"
#include "kernels/welch.hpp"
#include "library_names.hpp"
#include "pyops.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace pelorkit::analyka {
namespace {

const Name stats_name{"stats"};

// A module already imported, or nullptr (borrowed).
PyObject *loaded_module(const char *name) {
    return PyDict_GetItemString(PyImport_GetModuleDict(), name);
}

// The scipy release whose arithmetic the kernel reproduces; any other one is
// called directly.
constexpr const char *kReproducedScipy = "1.17.";

bool reproduced_scipy() {
    PyObject *scipy = loaded_module("scipy");
    if (scipy == nullptr)
        return false;
    py::object version = py::getattr(scipy, "__version__", py::none());
    return py::isinstance<py::str>(version) &&
           version.cast<std::string>().starts_with(kReproducedScipy);
}

// scipy's module of the t-test, when `stats` is scipy.stats of the reproduced
// release and its ttest_ind is still scipy's function: the native path
// applies only then.
std::optional<py::object> scipy_test_module(const Call &call) {
    py::object stats = call.global(stats_name);
    PyObject *scipy_stats = loaded_module("scipy.stats");
    PyObject *stats_py = loaded_module("scipy.stats._stats_py");
    if (scipy_stats == nullptr || stats_py == nullptr || stats.ptr() != scipy_stats ||
        !reproduced_scipy())
        return std::nullopt;
    py::object called = py::getattr(stats, "ttest_ind", py::none());
    py::object original = py::getattr(stats_py, "ttest_ind", py::none());
    if (called.is_none() || !called.is(original))
        return std::nullopt;
    return py::reinterpret_borrow<py::object>(stats_py);
}

// A frame as scipy reads it (np.asarray), when that is a float64 table.
struct Float64Table {
    py::array array; // keeps the memory alive
    kernels::SampleTable table;
};

std::optional<Float64Table> float64_table(py::handle frame) {
    py::array array = py::array::ensure(frame);
    if (!array || !py::isinstance<py::array_t<double>>(array) || array.ndim() != 2)
        return std::nullopt;
    const auto item = static_cast<py::ssize_t>(sizeof(double));
    const auto address = reinterpret_cast<std::uintptr_t>(array.data());
    if (array.strides(0) % item != 0 || array.strides(1) % item != 0 ||
        address % alignof(double) != 0)
        return std::nullopt;
    kernels::SampleTable table{
        static_cast<const double *>(array.data()), static_cast<std::size_t>(array.shape(0)),
        static_cast<std::size_t>(array.shape(1)), array.strides(0) / item, array.strides(1) / item};
    return Float64Table{std::move(array), table};
}

// How numpy adds up a column in scipy's vectorised call: pairwise when the
// rows of a column are the contiguous inner loop, a running sum when the
// columns are. Below 8 rows both orders agree.
std::optional<kernels::SumOrder> whole_table_order(const kernels::SampleTable &t) {
    if (t.rows < 8 || t.cols < 2 || t.row_stride == 1)
        return kernels::SumOrder::pairwise;
    if (t.col_stride == 1)
        return kernels::SumOrder::sequential;
    return std::nullopt;
}

void warn(py::handle category, py::handle message) {
    if (PyErr_WarnEx(category.ptr(), py::str(message).cast<std::string>().c_str(), 1) < 0)
        throw py::error_already_set();
}

// The warnings scipy gives for the same data.
void warn_like_scipy(const kernels::WelchWarnings &flags) {
    if (flags.too_small) {
        PyObject *policy = loaded_module("scipy.stats._axis_nan_policy");
        if (policy != nullptr) {
            py::handle module(policy);
            py::object category = py::getattr(module, "SmallSampleWarning", py::none());
            py::object message = py::getattr(module, "too_small_nd_omit", py::none());
            if (!category.is_none() && !message.is_none())
                warn(category, message);
        }
    }
    if (flags.precision_loss)
        warn(PyExc_RuntimeWarning,
             py::str("Precision loss occurred in moment calculation due to catastrophic "
                     "cancellation. This occurs when the data are nearly identical. Results "
                     "may be unreliable."));
}

// stdtr(dof, t). The ufunc runs over blocks of items written into one
// result, with a check for Ctrl-C between blocks: over a million items one
// call would take a quarter of a second. Any other callable is called once.
py::object student_t_cdf(const Call &call, py::handle stdtr, const py::array_t<double> &dof,
                         const py::array_t<double> &t) {
    py::object np = call.global(np_name);
    const py::ssize_t items = dof.size();
    constexpr auto block = static_cast<py::ssize_t>(kernels::kPollStride);
    if (items <= block || !py::isinstance(stdtr, np.attr("ufunc")))
        return stdtr(dof, t);
    py::array_t<double> result(items);
    for (py::ssize_t start = 0; start < items; start += block) {
        check_signals();
        py::slice part(start, std::min(items, start + block), 1);
        stdtr(dof[part], t[part], py::arg("out") = result[part]);
    }
    return result;
}

std::optional<py::object> native_welch_pvalues(const Call &call, py::handle a, py::handle b) {
    std::optional<py::object> scipy_module = scipy_test_module(call);
    if (!scipy_module)
        return std::nullopt;
    std::optional<Float64Table> first = float64_table(a);
    std::optional<Float64Table> second = float64_table(b);
    if (!first || !second || first->table.cols != second->table.cols || first->table.rows == 0 ||
        second->table.rows == 0)
        return std::nullopt;
    const kernels::SampleTable &ta = first->table;
    const kernels::SampleTable &tb = second->table;

    // Any NaN sends scipy through its column-by-column loop.
    const bool has_nan = run_released([&](kernels::InterruptPoll poll) {
        return kernels::contains_nan(ta, poll) || kernels::contains_nan(tb, poll);
    });
    const auto route = has_nan ? kernels::WelchRoute::per_column : kernels::WelchRoute::whole_table;
    std::optional<kernels::SumOrder> order_a = kernels::SumOrder::pairwise;
    std::optional<kernels::SumOrder> order_b = kernels::SumOrder::pairwise;
    if (!has_nan) {
        order_a = whole_table_order(ta);
        order_b = whole_table_order(tb);
        if (!order_a || !order_b)
            return std::nullopt;
    }

    const auto items = static_cast<py::ssize_t>(ta.cols);
    py::array_t<double> dof(items);
    py::array_t<double> neg_abs_t(items);
    std::span<double> dof_out(dof.mutable_data(), ta.cols);
    std::span<double> t_out(neg_abs_t.mutable_data(), ta.cols);
    const kernels::WelchWarnings flags = run_released([&](kernels::InterruptPoll poll) {
        return kernels::compute_welch_columns(dof_out, t_out, ta, *order_a, tb, *order_b, route,
                                              poll);
    });
    warn_like_scipy(flags);

    // p = 2 * stdtr(dof, -|t|), with the stdtr scipy's test would call.
    py::object stdtr = scipy_module->attr("special").attr("stdtr");
    return pyops::mul(py::int_(2), student_t_cdf(call, stdtr, dof, neg_abs_t));
}

// Which of the keywords that scipy 1.17 removed the called function accepts:
// those its signature names, or all with **kwargs. A function whose signature
// cannot be read gets them all.
struct LegacyKeywords {
    bool permutations = true;
    bool random_state = true;
};

LegacyKeywords legacy_keywords(py::handle function) {
    py::module_ inspect = py::module_::import("inspect");
    py::object signature;
    try {
        signature = inspect.attr("signature")(function);
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError))
            return {};
        throw;
    }
    py::object kind = inspect.attr("Parameter");
    py::object parameters = signature.attr("parameters");
    for (py::handle parameter : parameters.attr("values")())
        if (parameter.attr("kind").equal(kind.attr("VAR_KEYWORD")))
            return {};
    auto named = [&](const char *name) {
        py::object parameter = parameters.attr("get")(name);
        if (parameter.is_none())
            return false;
        py::object k = parameter.attr("kind");
        return k.equal(kind.attr("POSITIONAL_OR_KEYWORD")) || k.equal(kind.attr("KEYWORD_ONLY"));
    };
    return {named("permutations"), named("random_state")};
}

py::object call_ttest_ind(const Call &call, py::handle a, py::handle b) {
    py::object ttest_ind = call.global(stats_name).attr("ttest_ind");
    const LegacyKeywords legacy = legacy_keywords(ttest_ind);
    py::dict kwargs;
    kwargs["axis"] = 0;
    kwargs["equal_var"] = false;
    kwargs["nan_policy"] = "omit";
    if (legacy.permutations)
        kwargs["permutations"] = py::none();
    if (legacy.random_state)
        kwargs["random_state"] = py::none();
    kwargs["alternative"] = "two-sided";
    kwargs["trim"] = 0;
    return ttest_ind(a, b, **kwargs).attr("pvalue");
}

} // namespace

py::object welch_pvalues(const Call &call, py::handle a, py::handle b) {
    if (std::optional<py::object> native = native_welch_pvalues(call, a, b))
        return std::move(*native);
    return call_ttest_ind(call, a, b);
}

} // namespace pelorkit::analyka
