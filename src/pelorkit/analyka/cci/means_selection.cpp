// The interactions one sample contributes to the CCI mean table.
#include "pelorkit/python.hpp"

#include "cci/means_selection.hpp"
#include "glue/exact_str.hpp"
#include "glue/names.hpp"
#include "glue/pyops.hpp"
#include "pelorkit/compiler.hpp"
#include "pelorkit/interrupts.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <memory>
#include <utility>

namespace pelorkit::analyka::cci {
namespace {

const Name isin_name{"isin"};
const Name index_cls_name{"Index"};
const Name series_name{"Series"};

py::object intp_array(py::handle np, std::span<const std::int64_t> values) {
    ArrayView buffer;
    py::object array = new_array(np, static_cast<Py_ssize_t>(values.size()), "intp", buffer);
    std::copy(values.begin(), values.end(), buffer.data<std::int64_t>());
    return array;
}

// The booleans of a plain boolean array or Series of `size` items.
std::optional<std::vector<std::uint8_t>> booleans(py::handle found, Py_ssize_t size) {
    ArrayView mask;
    const bool read = mask.acquire(found, '?') ? mask.size() == static_cast<std::size_t>(size)
                                               : read_mask(mask, found, size);
    if (!read)
        return std::nullopt;
    const auto *in = mask.data<const std::uint8_t>();
    return std::vector<std::uint8_t>(in, in + size);
}

// The plain statements: b & (df[a].isin(names) | df[b].isin(names)) per
// filter whose list is not empty.
py::object significant_rows(py::handle df, py::object b, std::span<NameFilter> filters) {
    for (const NameFilter &f : filters) {
        py::handle names = f.membership.names();
        if (py::len(names) > 0)
            b = pyops::bit_and(
                b, pyops::bit_or(df[f.a].attr(isin_name)(names), df[f.b].attr(isin_name)(names)));
    }
    return b;
}

// The rows where b = pval <= pval_cutoff holds, of `n_rows`; nullopt when b
// is no plain boolean Series. A float64 Series against a float is compared
// here, as numpy compares them.
std::optional<std::vector<std::int64_t>> rows_under(Py_ssize_t &n_rows, py::handle pval,
                                                    py::handle pval_cutoff, py::handle pd) {
    std::vector<std::int64_t> rows;
    ArrayView buffer;
    if (PyFloat_CheckExact(pval_cutoff.ptr()) &&
        py::type::handle_of(pval).is(pd.attr(series_name)) &&
        buffer.acquire(pval.attr(values_name), 'd')) {
        const double cutoff = PyFloat_AS_DOUBLE(pval_cutoff.ptr());
        const double *p = buffer.data<const double>();
        n_rows = buffer.size();
        for (Py_ssize_t i = 0; i < n_rows; ++i)
            if (p[i] <= cutoff)
                rows.push_back(i);
        return rows;
    }
    py::object b = pyops::compare(pval, pval_cutoff, Py_LE);
    n_rows = PyObject_Length(b.ptr());
    if (n_rows < 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    if (!read_mask(buffer, b, n_rows))
        return std::nullopt;
    const auto *keep = buffer.data<const std::uint8_t>();
    for (Py_ssize_t i = 0; i < n_rows; ++i)
        if (keep[i] != 0)
            rows.push_back(i);
    return rows;
}

// The rows b keeps, testing the lists only on the rows under the cutoff (and
// a second partner only where the first is not listed): b drops the others
// whatever isin says of them. nullopt when an isin result is no plain
// boolean Series.
std::optional<std::vector<std::int64_t>> rows_listed(py::handle df, std::vector<std::int64_t> rows,
                                                     Py_ssize_t n_rows,
                                                     std::span<NameFilter> filters, py::handle np) {
    for (const NameFilter &f : filters) {
        if (py::len(f.membership.names()) == 0)
            continue;
        const auto in_a = f.membership.at(df[f.a], rows, intp_array(np, rows), n_rows);
        if (!in_a)
            return std::nullopt;
        std::vector<std::int64_t> rest;
        for (std::size_t k = 0; k < rows.size(); ++k)
            if ((*in_a)[k] == 0)
                rest.push_back(rows[k]);
        const auto in_b = f.membership.at(df[f.b], rest, intp_array(np, rest), n_rows);
        if (!in_b)
            return std::nullopt;
        std::size_t kept = 0;
        for (std::size_t k = 0, r = 0; k < rows.size(); ++k) {
            bool listed = (*in_a)[k] != 0;
            if (!listed)
                listed = (*in_b)[r++] != 0;
            if (listed)
                rows[kept++] = rows[k];
        }
        rows.resize(kept);
    }
    return rows;
}

} // namespace

// The answers for one column dtype: the distinct exact str items met so far,
// found by Python's hash and equality as isin's hash table finds them.
struct NameMembership::Decided {
    explicit Decided(py::object type) : dtype(std::move(type)) { slots.assign(64, Slot{0, -1}); }

    // The entry of `str`, an exact str, and whether it is new.
    std::pair<std::int32_t, bool> entry_of(PyObject *str) {
        const Py_hash_t hash = str_hash(str);
        const std::size_t mask = slots.size() - 1;
        std::size_t i = static_cast<std::size_t>(hash) & mask;
        for (; slots[i].entry >= 0; i = (i + 1) & mask) {
            const Slot &slot = slots[i];
            if (slot.hash == hash &&
                PyObject_RichCompareBool(str, strs[static_cast<std::size_t>(slot.entry)].ptr(),
                                         Py_EQ) == 1)
                return {slot.entry, false};
        }
        const auto entry = static_cast<std::int32_t>(strs.size());
        slots[i] = Slot{hash, entry};
        strs.push_back(py::reinterpret_borrow<py::object>(str));
        answer.push_back(-1);
        if (strs.size() * 2 > slots.size())
            grow();
        return {entry, true};
    }

    void grow() {
        std::vector<Slot> old(slots.size() * 2, Slot{0, -1});
        old.swap(slots);
        const std::size_t mask = slots.size() - 1;
        for (const Slot &slot : old) {
            if (slot.entry < 0)
                continue;
            std::size_t i = static_cast<std::size_t>(slot.hash) & mask;
            while (slots[i].entry >= 0)
                i = (i + 1) & mask;
            slots[i] = slot;
        }
    }

    struct Slot {
        Py_hash_t hash;
        std::int32_t entry; // -1: empty
    };
    py::object dtype;
    std::vector<Slot> slots;
    std::vector<py::object> strs;
    std::vector<std::int8_t> answer; // per entry: 1 listed, 0 not, -1 not asked yet
    bool asked = false;              // isin called once: errors of the names show there
};

NameMembership::NameMembership(py::handle names, py::handle np, py::handle pd)
    : names_(names), np_(np), pd_(pd) {}

NameMembership::~NameMembership() = default;

NameMembership::Decided &NameMembership::decided_for(py::handle dtype) {
    for (const std::unique_ptr<Decided> &d : by_dtype_) {
        const int same = PyObject_RichCompareBool(dtype.ptr(), d->dtype.ptr(), Py_EQ);
        if (same < 0)
            throw py::error_already_set();
        if (same == 1)
            return *d;
    }
    by_dtype_.push_back(std::make_unique<Decided>(py::reinterpret_borrow<py::object>(dtype)));
    return *by_dtype_.back();
}

std::optional<std::vector<std::uint8_t>> NameMembership::at(py::handle column,
                                                            std::span<const std::int64_t> rows,
                                                            py::handle at, Py_ssize_t n_rows) {
    if (failed_)
        return std::nullopt;
    // Only object and string columns: for others isin may take numpy's or
    // set lookups by size, so the whole column is asked.
    py::object dtype = pyops::attribute_if_present(column, dtype_name);
    const bool by_item = dtype && (py::isinstance<py::dtype>(dtype)
                                       ? py::reinterpret_borrow<py::dtype>(dtype).kind() == 'O'
                                       : pyops::is_instance(dtype, pd_.attr(StringDtype_name)));
    if (!by_item) {
        const auto whole = booleans(column.attr(isin_name)(names_), n_rows);
        if (!whole) {
            failed_ = true;
            return std::nullopt;
        }
        std::vector<std::uint8_t> out(rows.size());
        for (std::size_t k = 0; k < rows.size(); ++k)
            out[k] = (*whole)[static_cast<std::size_t>(rows[k])];
        return out;
    }

    // The items at `rows`: read in place from an object column, else from
    // the column's own selection of them.
    py::object values = column.attr(values_name);
    ArrayView buffer;
    std::optional<ObjectItems> subset;
    std::vector<PyObject *> items(rows.size());
    if (buffer.acquire(values, 'O') && buffer.size() == static_cast<std::size_t>(n_rows)) {
        PyObject *const *all = buffer.data<PyObject *const>();
        for (std::size_t k = 0; k < rows.size(); ++k)
            items[k] = all[rows[k]];
    } else {
        subset.emplace(column.attr(iloc_name)[at].attr(values_name));
        if (subset->items().size() != rows.size()) {
            failed_ = true;
            return std::nullopt;
        }
        std::copy(subset->items().begin(), subset->items().end(), items.begin());
    }

    // Known str items answer at once; the others are asked in one call.
    Decided &decided = decided_for(dtype);
    std::vector<std::int8_t> out(rows.size(), -1);
    std::vector<PyObject *> ask;
    std::vector<std::int32_t> asked_entries;
    std::vector<std::pair<std::size_t, std::int32_t>> waiting; // (row, entry)
    std::vector<std::pair<std::size_t, std::size_t>> others;   // (row, position in ask)
    for (std::size_t k = 0; k < items.size(); ++k) {
        if (k + 8 < items.size())
            PELORKIT_PREFETCH(items[k + 8]);
        PyObject *item = items[k];
        if (PyUnicode_CheckExact(item)) {
            const auto [entry, is_new] = decided.entry_of(item);
            const std::int8_t known = decided.answer[static_cast<std::size_t>(entry)];
            if (known >= 0) {
                out[k] = known;
                continue;
            }
            if (is_new) {
                ask.push_back(item);
                asked_entries.push_back(entry);
            }
            waiting.emplace_back(k, entry);
        } else {
            others.emplace_back(k, ask.size());
            ask.push_back(item);
            asked_entries.push_back(-1);
        }
        if ((k & (kernels::kPollStride - 1)) == kernels::kPollStride - 1)
            check_signals();
    }
    if (!ask.empty() || !decided.asked) {
        // Index.isin and Series.isin both run pandas' isin on their values.
        py::object asked =
            pd_.attr(index_cls_name)(object_array(np_, ask), py::arg("dtype") = dtype);
        const auto found =
            booleans(asked.attr(isin_name)(names_), static_cast<Py_ssize_t>(ask.size()));
        if (!found) {
            failed_ = true;
            return std::nullopt;
        }
        decided.asked = true;
        for (std::size_t j = 0; j < ask.size(); ++j)
            if (asked_entries[j] >= 0)
                decided.answer[static_cast<std::size_t>(asked_entries[j])] =
                    static_cast<std::int8_t>((*found)[j] != 0);
        for (const auto &[k, entry] : waiting)
            out[k] = decided.answer[static_cast<std::size_t>(entry)];
        for (const auto &[k, j] : others)
            out[k] = static_cast<std::int8_t>((*found)[j] != 0);
    }
    return std::vector<std::uint8_t>(out.begin(), out.end());
}

std::optional<std::vector<std::int64_t>> selected_rows(py::handle df, std::span<NameFilter> filters,
                                                       py::handle pval_cutoff, py::handle np,
                                                       py::handle pd) {
    py::object pval = df["pval"];
    Py_ssize_t n_rows = 0;
    std::optional<std::vector<std::int64_t>> rows = rows_under(n_rows, pval, pval_cutoff, pd);
    if (!rows)
        return std::nullopt;
    return rows_listed(df, std::move(*rows), n_rows, filters, np);
}

py::object selected_ids(py::handle df, const std::optional<std::vector<std::int64_t>> &rows,
                        std::span<NameFilter> filters, py::handle pval_cutoff, py::handle np) {
    py::object at =
        rows ? intp_array(np, *rows)
             : significant_rows(df, pyops::compare(df["pval"], pval_cutoff, Py_LE), filters);
    return pyops::steal(PyObject_GetItem(df.attr(index_name).attr(values_name).ptr(), at.ptr()));
}

} // namespace pelorkit::analyka::cci
