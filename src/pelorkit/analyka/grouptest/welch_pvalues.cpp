// The p-values of one group comparison: Welch's t-test per item, computed
// natively when the call would reach the ttest_ind of a scipy release whose
// arithmetic the kernel follows, with float64 data, and by calling
// stats.ttest_ind otherwise.
#include "pelorkit/python.hpp"

#include <pybind11/numpy.h>

#include "functions.hpp"
#include "glue/names.hpp"
#include "glue/pyops.hpp"
#include "grouptest/welch_pvalues.hpp"
#include "kernels/welch.hpp"
#include "pelorkit/interrupts.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
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

// What differs between the scipy releases whose test the kernel reproduces,
// 1.13 to 1.18; any other release is called directly.
struct ScipyRelease {
    int minor; // scipy 1.<minor>

    static constexpr int first = 13;
    static constexpr int last = 18;

    // Ten times numpy's `resolution` in 1.13, ten machine epsilons later.
    double cancellation_eps() const { return minor <= 13 ? 1e-15 * 10 : kernels::kCancellationEps; }
    bool warns_small_sample() const { return minor >= 14; }
    // _var runs outside np.errstate before 1.15.
    bool reports_single_value() const { return minor <= 14; }
    // distributions.t(df).sf(|t|) before 1.16, special.stdtr(df, -|t|) since.
    bool pvalue_from_t_sf() const { return minor <= 15; }
};

// The minor version of the loaded scipy 1.x ("1.<minor>." and anything after
// it: the releases of one minor version agree).
std::optional<int> scipy_minor() {
    PyObject *scipy = loaded_module("scipy");
    if (scipy == nullptr)
        return std::nullopt;
    py::object version = py::getattr(scipy, "__version__", py::none());
    if (!py::isinstance<py::str>(version))
        return std::nullopt;
    const std::string text = version.cast<std::string>();
    if (!text.starts_with("1."))
        return std::nullopt;
    int minor = 0;
    std::size_t at = 2;
    for (; at < text.size() && at < 5 && text[at] >= '0' && text[at] <= '9'; ++at)
        minor = minor * 10 + (text[at] - '0');
    if (at == 2 || at >= text.size() || text[at] != '.')
        return std::nullopt;
    return minor;
}

std::optional<ScipyRelease> reproduced_scipy() {
    std::optional<int> minor = scipy_minor();
    if (!minor || *minor < ScipyRelease::first || *minor > ScipyRelease::last)
        return std::nullopt;
    return ScipyRelease{*minor};
}

// stats_py.ttest_ind, or None.
py::object scipy_ttest_ind(PyObject *stats_py) {
    if (stats_py == nullptr)
        return py::none();
    return py::getattr(py::handle(stats_py), "ttest_ind", py::none());
}

// scipy's module of the t-test and its release, when `stats` is scipy.stats
// of a reproduced release and its ttest_ind is still scipy's function: the
// native path applies only then.
struct ScipyTest {
    py::object module;
    ScipyRelease release;
};

std::optional<ScipyTest> scipy_test(const Call &call) {
    py::object stats = call.global(stats_name);
    PyObject *scipy_stats = loaded_module("scipy.stats");
    PyObject *stats_py = loaded_module("scipy.stats._stats_py");
    if (scipy_stats == nullptr || stats_py == nullptr || stats.ptr() != scipy_stats)
        return std::nullopt;
    std::optional<ScipyRelease> release = reproduced_scipy();
    if (!release)
        return std::nullopt;
    py::object called = py::getattr(stats, "ttest_ind", py::none());
    if (called.is_none() || !called.is(scipy_ttest_ind(stats_py)))
        return std::nullopt;
    return ScipyTest{py::reinterpret_borrow<py::object>(stats_py), *release};
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

// Magnitudes up to which no sum, square or ratio of the test overflows.
constexpr double kOrdinaryMagnitude = 1e60;

// Whether the kernel follows scipy on these tables: finite values of ordinary
// size, with numpy ignoring underflow (its default). Infinities and
// near-overflow values make numpy report invalid operations and overflows
// along the way (and scipy 1.13 choose its route by whether the table's sum
// is NaN); with underflow reported, so are the tiny squares of nearly equal
// values. Such calls go to scipy.
bool ordinary_values(const Call &call, const kernels::ValueRange &a, const kernels::ValueRange &b) {
    if (a.inf || b.inf || a.largest > kOrdinaryMagnitude || b.largest > kOrdinaryMagnitude)
        return false;
    py::object settings = call.global(np_name).attr("geterr")();
    return py::str(settings["under"]).equal(py::str("ignore"));
}

// The warnings scipy (and, through it, numpy) gives for the same data.
void warn_like_scipy(const Call &call, const ScipyRelease &release, kernels::WelchRoute route,
                     const kernels::WelchWarnings &flags) {
    if (flags.precision_loss)
        warn(PyExc_RuntimeWarning,
             py::str("Precision loss occurred in moment calculation due to catastrophic "
                     "cancellation. This occurs when the data are nearly identical. Results "
                     "may be unreliable."));
    if (release.reports_single_value() && flags.single_value) {
        // The very operations, so that np.errstate decides: a warning, an
        // error, a call or nothing. In the column loop the variance is a
        // numpy scalar.
        py::object np = call.global(np_name);
        np.attr("divide")(1, 0);
        const double inf = std::numeric_limits<double>::infinity();
        if (route == kernels::WelchRoute::per_column)
            pyops::mul(np.attr("float64")(0.0), np.attr("float64")(inf));
        else
            np.attr("multiply")(np.attr("zeros")(1), inf);
    }
    if (flags.too_small && release.warns_small_sample()) {
        PyObject *policy = loaded_module("scipy.stats._axis_nan_policy");
        if (policy != nullptr) {
            py::handle module(policy);
            py::object category = py::getattr(module, "SmallSampleWarning", py::none());
            py::object message = py::getattr(module, "too_small_nd_omit", py::none());
            if (!category.is_none() && !message.is_none())
                warn(category, message);
        }
    }
}

// 2 * F(first, second) with the p-value function scipy's test calls. It runs
// over blocks of items written into one result, with a check for Ctrl-C
// between blocks: over a million items one call takes a quarter of a second.
py::object two_sided_pvalues(py::handle function, const py::array_t<double> &first,
                             const py::array_t<double> &second) {
    const py::ssize_t items = first.size();
    constexpr auto block = static_cast<py::ssize_t>(kernels::kPollStride);
    if (items <= block)
        return pyops::mul(py::int_(2), function(first, second));
    py::array_t<double> result(items);
    for (py::ssize_t start = 0; start < items; start += block) {
        check_signals();
        py::slice part(start, std::min(items, start + block), 1);
        result[part] = function(first[part], second[part]);
    }
    return pyops::mul(py::int_(2), result);
}

std::optional<py::object> native_welch_pvalues(const Call &call, py::handle a, py::handle b) {
    std::optional<ScipyTest> scipy = scipy_test(call);
    if (!scipy)
        return std::nullopt;
    const ScipyRelease release = scipy->release;
    std::optional<Float64Table> first = float64_table(a);
    std::optional<Float64Table> second = float64_table(b);
    if (!first || !second || first->table.cols != second->table.cols || first->table.rows == 0 ||
        second->table.rows == 0)
        return std::nullopt;
    const kernels::SampleTable &ta = first->table;
    const kernels::SampleTable &tb = second->table;

    kernels::ValueRange range_a;
    kernels::ValueRange range_b;
    run_released([&](kernels::InterruptPoll poll) {
        return kernels::is_done(kernels::scan_values(range_a, ta, poll)) &&
               kernels::is_done(kernels::scan_values(range_b, tb, poll));
    });
    if (!ordinary_values(call, range_a, range_b))
        return std::nullopt;
    // Any NaN sends scipy through its column-by-column loop.
    const bool has_nan = range_a.nan || range_b.nan;
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
                                              release.cancellation_eps(), poll);
    });
    warn_like_scipy(call, release, route, flags);

    if (release.pvalue_from_t_sf()) {
        // 2 * t.sf(|t|, dof), through the distribution's checks of its arguments
        py::array_t<double> abs_t(items);
        std::transform(t_out.begin(), t_out.end(), abs_t.mutable_data(),
                       [](double v) { return -v; });
        py::object sf = scipy->module.attr("distributions").attr("t").attr("sf");
        return two_sided_pvalues(sf, abs_t, dof);
    }
    // 2 * stdtr(dof, -|t|)
    return two_sided_pvalues(scipy->module.attr("special").attr("stdtr"), dof, neg_abs_t);
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

// scipy 1.15 and 1.16 still take them but warn that they are deprecated
// whenever they are passed, None included, a warning about our call that the
// user can do nothing about: scipy's own function gets them only before 1.15.
bool deprecates_legacy_keywords(py::handle function) {
    if (!function.is(scipy_ttest_ind(loaded_module("scipy.stats._stats_py"))))
        return false;
    std::optional<int> minor = scipy_minor();
    return !minor || *minor >= 15;
}

py::object call_ttest_ind(const Call &call, py::handle a, py::handle b) {
    py::object ttest_ind = call.global(stats_name).attr("ttest_ind");
    const LegacyKeywords legacy = deprecates_legacy_keywords(ttest_ind)
                                      ? LegacyKeywords{false, false}
                                      : legacy_keywords(ttest_ind);
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
    // scipy's column loop runs Python code and stops on Ctrl-C by itself; a
    // replaced function may not, so every call starts with a check
    check_signals();
    return ttest_ind(a, b, **kwargs).attr("pvalue");
}

} // namespace

py::object welch_pvalues(const Call &call, py::handle a, py::handle b) {
    if (std::optional<py::object> native = native_welch_pvalues(call, a, b))
        return std::move(*native);
    return call_ttest_ind(call, a, b);
}

} // namespace pelorkit::analyka
