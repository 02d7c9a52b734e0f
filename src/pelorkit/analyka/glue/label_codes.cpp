// Per-cell labels turned into codes into their sorted distinct values:
// natively for the plain forms, by element-wise equality for the others.
#include "pelorkit/python.hpp"

#include "glue/exact_str.hpp"
#include "glue/label_codes.hpp"
#include "glue/names.hpp"
#include "glue/pyops.hpp"
#include "kernels/counting.hpp"
#include "pelorkit/array_view.hpp"
#include "pelorkit/interrupts.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>

namespace pelorkit::analyka {
namespace {

namespace k = kernels;
using npy = py::detail::npy_api;

// Codes in order of first appearance and the position of each code's first cell.
struct Factorized {
    std::vector<std::int32_t> codes;
    std::vector<std::int64_t> first;
};

bool ends_with_nul(PyObject *s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    return n > 0 && PyUnicode_READ_CHAR(s, n - 1) == 0;
}

// Exact str objects by content, with the lock held (hashes come from the
// objects). numpy turns a list of strings into fixed-width text that drops
// trailing NULs, so for lists such strings are left to the generic path.
std::optional<Factorized> factorize_str_objects(PyObject *const *items, std::size_t n,
                                                bool reject_trailing_nul) {
    Factorized f;
    f.codes.resize(n);
    // Each code's first string, held: the poll may run a signal handler.
    std::vector<py::object> firsts;
    k::CodeTable table;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject *s = items[i];
        if (s == nullptr || !PyUnicode_CheckExact(s))
            return std::nullopt;
        if (PyUnicode_READY(s) < 0)
            throw py::error_already_set();
        const Py_hash_t hash = str_hash(s);
        if (hash == -1)
            throw py::error_already_set();
        auto same = [&](std::int32_t code) {
            PyObject *first = firsts[static_cast<std::size_t>(code)].ptr();
            return same_str(first, s);
        };
        auto [code, inserted] = table.find_or_insert(static_cast<std::uint64_t>(hash), same);
        if (inserted) {
            if (reject_trailing_nul && ends_with_nul(s))
                return std::nullopt;
            f.first.push_back(static_cast<std::int64_t>(i));
            firsts.push_back(py::reinterpret_borrow<py::object>(s));
        }
        f.codes[i] = code;
        if ((i + 1) % k::kPollStride == 0)
            check_signals();
    }
    return f;
}

// Integers: direct addressing when their range is narrow, else by bytes.
bool factorize_integers(Factorized &f, const ArrayView &ref) {
    const std::size_t n = ref.size();
    return visit_integer_type(ref.kind(), ref.itemsize(), [&](auto tag) {
        using T = typename decltype(tag)::type;
        const T *values = reinterpret_cast<const T *>(ref.bytes());
        std::int64_t low = 0, high = 0;
        const bool narrow = k::find_range(low, high, values, n) &&
                            static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low) <
                                std::max<std::uint64_t>(std::uint64_t{1} << 16, 2 * n);
        return k::is_done(run_released([&](k::InterruptPoll poll) {
            if (narrow)
                return k::factorize_ranged(
                    f.codes.data(), f.first, values, n, low,
                    static_cast<std::size_t>(static_cast<std::uint64_t>(high) -
                                             static_cast<std::uint64_t>(low) + 1),
                    poll);
            return k::factorize_records(f.codes.data(), f.first, ref.bytes(), n, ref.itemsize(),
                                        poll);
        }));
    });
}

template <class T> bool clean_floats(const ArrayView &ref) {
    return !run_released([&](k::InterruptPoll) {
        return k::has_nan_or_negative_zero(reinterpret_cast<const T *>(ref.bytes()), ref.size());
    });
}

// A one-dimensional numpy array of any plain dtype.
std::optional<Factorized> factorize_array(const Call &call, py::handle values,
                                          bool reject_trailing_nul) {
    std::optional<ArrayView> ref = ArrayView::of_array(values, 1);
    if (!ref)
        return std::nullopt;
    if (!ref->c_contiguous()) {
        ref = ArrayView::of_array(call.global(np_name).attr("ascontiguousarray")(ref->array()), 1);
        if (!ref)
            return std::nullopt;
    }
    const std::size_t n = ref->size();
    if (ref->kind() == 'O')
        return factorize_str_objects(reinterpret_cast<PyObject *const *>(ref->bytes()), n,
                                     reject_trailing_nul);
    Factorized f;
    f.codes.resize(n);
    bool done = false;
    switch (ref->kind()) {
    case 'U':
    case 'S':
        done = k::is_done(run_released([&](k::InterruptPoll poll) {
            return k::factorize_records(f.codes.data(), f.first, ref->bytes(), n, ref->itemsize(),
                                        poll);
        }));
        break;
    case 'b':
        done = ref->itemsize() == 1 && k::is_done(run_released([&](k::InterruptPoll poll) {
                   return k::factorize_ranged(f.codes.data(), f.first,
                                              reinterpret_cast<const std::uint8_t *>(ref->bytes()),
                                              n, 0, 2, poll);
               }));
        break;
    case 'i':
    case 'u':
        done = factorize_integers(f, *ref);
        break;
    case 'f':
        // Other float bit patterns compare as their values do.
        if ((ref->itemsize() == 4 && clean_floats<float>(*ref)) ||
            (ref->itemsize() == 8 && clean_floats<double>(*ref)))
            done = k::is_done(run_released([&](k::InterruptPoll poll) {
                return k::factorize_records(f.codes.data(), f.first, ref->bytes(), n,
                                            ref->itemsize(), poll);
            }));
        break;
    default: // any other kind goes generic
        break;
    }
    if (!done)
        return std::nullopt;
    return f;
}

// A categorical's codes index its categories; -1 (missing) goes generic.
std::optional<Factorized> factorize_categorical(py::handle categorical) {
    std::optional<ArrayView> ref = ArrayView::of_array(categorical.attr("codes"), 1);
    const std::size_t n_categories = py::len(categorical.attr("categories"));
    if (!ref || !ref->c_contiguous())
        return std::nullopt;
    Factorized f;
    f.codes.resize(ref->size());
    bool done = ref->kind() == 'i' && visit_integer_type('i', ref->itemsize(), [&](auto tag) {
                    using T = typename decltype(tag)::type;
                    return k::is_done(run_released([&](k::InterruptPoll poll) {
                        return k::factorize_ranged(f.codes.data(), f.first,
                                                   reinterpret_cast<const T *>(ref->bytes()),
                                                   ref->size(), 0, n_categories, poll);
                    }));
                });
    if (!done)
        return std::nullopt;
    return f;
}

// Arrow-backed string arrays (pandas 3's default for text where pyarrow is
// installed) by pandas' own factorize, which reads them without a str
// object per cell; it numbers values by first appearance, as the native
// factorizers do. Missing values take the generic path.
std::optional<Factorized> factorize_arrow_strings(const Call &call, py::handle series) {
    py::object codes = py::tuple(series.attr("factorize")())[0];
    if (py::len(codes) > 0 && pyops::holds(codes.attr("min")(), py::int_(0), Py_LT))
        return std::nullopt;
    return factorize_array(call, codes, false);
}

enum class ItemType { str, integer, floating, boolean, other };

ItemType common_item_type(const py::tuple &items) {
    if (items.empty())
        return ItemType::str;
    auto type_of = [](PyObject *o) {
        if (PyUnicode_CheckExact(o))
            return ItemType::str;
        if (PyBool_Check(o))
            return ItemType::boolean;
        if (PyLong_CheckExact(o))
            return ItemType::integer;
        if (PyFloat_CheckExact(o))
            return ItemType::floating;
        return ItemType::other;
    };
    const ItemType first = type_of(items[0].ptr());
    for (py::handle item : items)
        if (type_of(item.ptr()) != first)
            return ItemType::other;
    return first;
}

// A list or tuple: its items are the labels; numbers are compared as the
// numpy array built from the list holds them.
std::optional<Factorized> factorize_items(const Call &call, const py::tuple &items,
                                          py::handle sequence) {
    switch (common_item_type(items)) {
    case ItemType::str:
        return factorize_str_objects(&PyTuple_GET_ITEM(items.ptr(), 0), items.size(), true);
    case ItemType::integer:
    case ItemType::floating:
    case ItemType::boolean: {
        // Integers beyond int64 make an object array, which goes generic.
        return factorize_array(call, call.global(np_name).attr("array")(sequence), false);
    }
    default:
        return std::nullopt;
    }
}

py::list positions_list(const std::vector<std::int64_t> &positions) {
    py::list out(positions.size());
    for (std::size_t i = 0; i < positions.size(); ++i)
        out[i] = py::int_(positions[i]);
    return out;
}

// True when a Python exception that the generic path will raise again is
// pending; it is cleared.
bool drop_ordinary_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return false;
    PyErr_Clear();
    return true;
}

// Sorts `labels` (given in code order) ascending, as list.sort() does, and
// returns each code's position in it; nullopt unless the sorted labels
// strictly increase and hash as they compare.
std::optional<std::vector<std::int32_t>> sort_labels(py::list &labels) {
    const std::size_t n = labels.size();
    py::list sorted = pyops::as_list(labels);
    py::dict position;
    std::vector<std::int32_t> rank(n);
    try {
        if (PyList_Sort(sorted.ptr()) < 0)
            throw py::error_already_set();
        for (std::size_t i = 0; i < n; ++i) {
            if (i > 0 && !pyops::holds(sorted[i - 1], sorted[i], Py_LT))
                return std::nullopt;
            position[sorted[i]] = py::int_(i);
        }
        if (position.size() != n)
            return std::nullopt;
        for (std::size_t code = 0; code < n; ++code) {
            PyObject *at = PyDict_GetItemWithError(position.ptr(), labels[code].ptr());
            if (at == nullptr) {
                if (PyErr_Occurred())
                    throw py::error_already_set();
                return std::nullopt;
            }
            rank[code] = py::reinterpret_borrow<py::int_>(at).cast<std::int32_t>();
        }
    } catch (py::error_already_set &e) {
        e.restore();
        if (drop_ordinary_error())
            return std::nullopt;
        throw py::error_already_set();
    }
    labels = std::move(sorted);
    return rank;
}

} // namespace

std::optional<CellCodes> encode_cells(const Call &call, py::handle values, LabelForm form) {
    py::object pd = call.global(pd_name);
    py::object series = py::reinterpret_borrow<py::object>(values);
    if (py::isinstance(values, pd.attr("Index")) || py::isinstance(values, pd.attr("Categorical")))
        series = pd.attr("Series")(values);

    std::optional<Factorized> f;
    py::list labels;
    if (py::isinstance(series, pd.attr("Series"))) {
        py::object array = series.attr("array");
        const pyops::StringStorage storage = pyops::string_storage(pd, series.attr("dtype"));
        if (py::isinstance(array, pd.attr("Categorical")))
            f = factorize_categorical(array);
        else if (storage == pyops::StringStorage::arrow)
            f = factorize_arrow_strings(call, series);
        else if (storage == pyops::StringStorage::python)
            // The array's own object array: to_numpy copies it (pandas 2.3).
            f = factorize_array(call, call.global(np_name).attr("asarray")(array, "object"), false);
        else
            f = factorize_array(call, series.attr("to_numpy")(), false);
        if (!f)
            return std::nullopt;
        py::object firsts = series.attr("iloc")[positions_list(f->first)];
        labels =
            form == LabelForm::listed ? py::list(firsts.attr("tolist")()) : pyops::as_list(firsts);
    } else if (py::isinstance<py::array>(values)) {
        f = factorize_array(call, values, false);
        if (!f)
            return std::nullopt;
        labels = pyops::as_list(values[positions_list(f->first)]);
    } else if (PyList_Check(values.ptr()) || PyTuple_Check(values.ptr())) {
        // A tuple copy: the items stay put while they are hashed.
        py::tuple items = py::reinterpret_steal<py::tuple>(PySequence_Tuple(values.ptr()));
        if (!items)
            throw py::error_already_set();
        f = factorize_items(call, items, values);
        if (!f)
            return std::nullopt;
        for (std::int64_t i : f->first)
            labels.append(items[static_cast<std::size_t>(i)]);
    } else {
        return std::nullopt;
    }

    std::optional<std::vector<std::int32_t>> rank = sort_labels(labels);
    if (!rank)
        return std::nullopt;
    CellCodes out{std::move(f->codes), labels};
    for (std::int32_t &code : out.codes)
        code = (*rank)[static_cast<std::size_t>(code)];
    return out;
}

std::optional<std::vector<std::int32_t>> codes_by_equality(py::handle values,
                                                           const py::list &labels, std::size_t n) {
    std::vector<std::int32_t> codes(n, -1);
    for (std::size_t code = 0; code < labels.size(); ++code) {
        py::handle label = labels[code];
        // NaN equals no cell.
        if (PyFloat_Check(label.ptr()) && std::isnan(PyFloat_AS_DOUBLE(label.ptr())))
            continue;
        py::object mask = pyops::eq(values, label);
        if (!py::isinstance<py::array>(mask) && py::hasattr(mask, "to_numpy"))
            mask = mask.attr("to_numpy")();
        std::optional<ArrayView> ref = ArrayView::of_array(mask, 1);
        if (!ref || ref->kind() != 'b' || ref->size() != n || !ref->c_contiguous())
            return std::nullopt;
        const auto *equal = reinterpret_cast<const std::uint8_t *>(ref->bytes());
        for (std::size_t i = 0; i < n; ++i) {
            if (equal[i] == 0)
                continue;
            if (codes[i] >= 0)
                return std::nullopt;
            codes[i] = static_cast<std::int32_t>(code);
        }
        check_signals();
    }
    return codes;
}

} // namespace pelorkit::analyka
