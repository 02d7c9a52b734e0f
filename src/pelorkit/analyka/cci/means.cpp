// The CCI mean table (one row per sample, one column per selected interaction,
// holding its mean in that sample) and its second name.
#include "pelorkit/python.hpp"

#include "cci/id_space.hpp"
#include "cci/means_selection.hpp"
#include "functions.hpp"
#include "glue/exact_str.hpp"
#include "glue/names.hpp"
#include "glue/pyops.hpp"
#include "kernels/code_sets.hpp"
#include "pelorkit/compiler.hpp"
#include "pelorkit/interrupts.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <optional>

namespace pelorkit::analyka {
namespace {

const Name cci_get_means_name{"cci_get_means"};

using cci::Code;

[[noreturn]] void raise_no_union() {
    PyErr_SetString(PyExc_UnboundLocalError,
                    "cannot access local variable 'idx_union' where it is not associated with a "
                    "value");
    throw py::error_already_set();
}

// Each distinct code of the columns becomes a target; a column repeating an id
// shares its target.
struct Targets {
    std::vector<Code> of_code;
    std::vector<Code> of_column;
    std::vector<Code> code; // of each target
    std::size_t count() const { return code.size(); }
};

Targets targets_of(std::span<const Code> column_codes, std::size_t codes) {
    Targets t;
    t.of_code.assign(codes, cci::kNoCode);
    t.of_column.reserve(column_codes.size());
    for (const Code code : column_codes) {
        Code &target = t.of_code[static_cast<std::size_t>(code)];
        if (target == cci::kNoCode) {
            target = static_cast<Code>(t.code.size());
            t.code.push_back(code);
        }
        t.of_column.push_back(target);
    }
    return t;
}

// Row i holds target t: its row when it is the first, else a repeat.
void note_row(std::span<std::int64_t> row_of_target, std::size_t &repeated, std::size_t t,
              std::size_t i) {
    std::int64_t &row = row_of_target[t];
    if (row >= 0)
        repeated = std::min(repeated, i);
    else
        row = static_cast<std::int64_t>(i);
}

// A few target ids, all exact str, found by the hash each str caches and
// then by content, the way a set finds them. While the slots stay in cache
// this costs less than hashing the text of every id natively once the ids
// have their hash (from pandas, or from an earlier call), and a little more
// the first time.
class HashedTargets {
public:
    static constexpr std::size_t kMaxTargets = 1 << 14;

    explicit HashedTargets(std::span<PyObject *const> targets) : targets_(targets) {
        std::size_t size = 16;
        while (size < 4 * targets.size())
            size *= 2;
        slots_.assign(size, Slot{0, -1});
        mask_ = size - 1;
        for (std::size_t t = 0; t < targets.size(); ++t) {
            const Py_hash_t hash = hash_of(targets[t]);
            std::size_t i = static_cast<std::size_t>(hash) & mask_;
            while (slots_[i].target >= 0)
                i = (i + 1) & mask_;
            slots_[i] = Slot{hash, static_cast<std::int32_t>(t)};
        }
    }

    // row_of_target and `repeated` for `items`, as target_rows gives them;
    // false at the first item that is not an exact str.
    bool locate(std::span<std::int64_t> row_of_target, std::size_t &repeated,
                std::span<PyObject *const> items) const {
        std::fill(row_of_target.begin(), row_of_target.end(), -1);
        repeated = items.size();
        constexpr std::size_t kAhead = 16;
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (i + kAhead < items.size())
                PELORKIT_PREFETCH(items[i + kAhead]);
            if (i + kAhead / 2 < items.size())
                prefetch_slot(items[i + kAhead / 2]);
            PyObject *item = items[i];
            if (!PyUnicode_CheckExact(item))
                return false;
            const std::int32_t target = find(item);
            if (target >= 0)
                note_row(row_of_target, repeated, static_cast<std::size_t>(target), i);
            if ((i & (kernels::kPollStride - 1)) == kernels::kPollStride - 1)
                check_signals();
        }
        return true;
    }

private:
    struct Slot {
        Py_hash_t hash;
        std::int32_t target; // -1: empty
    };

    static Py_hash_t hash_of(PyObject *str) {
        const Py_hash_t hash = str_hash(str);
        if (hash == -1)
            throw py::error_already_set();
        return hash;
    }

    // Fetches the slot where the search for `item` starts, when its hash is
    // cached (an item a few places ahead: its search then finds it in cache).
    void prefetch_slot(PyObject *item) const {
        if (!PyUnicode_CheckExact(item))
            return;
        const Py_hash_t cached = reinterpret_cast<PyASCIIObject *>(item)->hash;
        if (cached != -1)
            PELORKIT_PREFETCH(&slots_[static_cast<std::size_t>(cached) & mask_]);
    }

    // The target equal to `item`, an exact str, or -1.
    std::int32_t find(PyObject *item) const {
        const Py_hash_t hash = hash_of(item);
        for (std::size_t i = static_cast<std::size_t>(hash) & mask_;; i = (i + 1) & mask_) {
            const Slot &slot = slots_[i];
            if (slot.target < 0)
                return -1;
            if (slot.hash == hash &&
                same_str(item, targets_[static_cast<std::size_t>(slot.target)]))
                return slot.target;
        }
    }

    std::span<PyObject *const> targets_;
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
};

// How the target ids of the mean table are looked up in each table. While
// the id space and a table hold only exact str: by the hashes the ids cache
// when the targets are few, else by text in the id space, which holds every
// target. Otherwise through `numbers` (target id -> its number). The lookups
// are made on first need.
class TargetLookup {
public:
    TargetLookup(cci::IdSpace &space, const Targets &targets) : space_(space), targets_(targets) {}
    std::size_t count() const { return targets_.count(); }

    // The row of every target id in a table's index (-1 where absent), as the
    // set intersection with list(index.values) finds them; `repeated`
    // receives the first row repeating a target, or the number of rows.
    std::vector<std::int64_t> rows(std::size_t &repeated, py::handle values) {
        std::vector<std::int64_t> row_of_target(count());
        if (space_.texts() != nullptr) {
            // Either stops at the first item that is no exact str (or, by
            // text, no UTF-8): the table then needs Python's comparisons.
            ObjectItems items(values);
            const bool found = count() <= HashedTargets::kMaxTargets
                                   ? hashed().locate(row_of_target, repeated, items.items())
                                   : by_text(row_of_target, repeated, items.items());
            if (found)
                return row_of_target;
        }
        by_object(row_of_target, repeated, values);
        return row_of_target;
    }

private:
    const HashedTargets &hashed() {
        if (!hashed_) {
            for (std::size_t t = 0; t < count(); ++t)
                ids_.push_back(space_.object(targets_.code[t]).ptr());
            hashed_.emplace(ids_);
        }
        return *hashed_;
    }

    bool by_text(std::vector<std::int64_t> &row_of_target, std::size_t &repeated,
                 std::span<PyObject *const> items) {
        kernels::TextCodes *texts = space_.texts();
        // Ids the space has not seen get no code: no target is among them.
        std::vector<Code> codes(items.size());
        const bool all_text = cci::consume_texts(items, [&](std::size_t start, auto chunk, auto) {
            run_released([&](kernels::InterruptPoll poll) {
                return texts->find(codes.data() + start, chunk, poll);
            });
        });
        if (all_text)
            run_released([&](kernels::InterruptPoll poll) {
                return kernels::locate_target_rows(row_of_target, repeated, targets_.of_code, codes,
                                                   poll);
            });
        return all_text;
    }

    // Python's hash and ==, as a set finds them. The comparisons may run
    // Python code, so the items are a list of our own.
    void by_object(std::vector<std::int64_t> &row_of_target, std::size_t &repeated,
                   py::handle values) {
        if (PyDict_GET_SIZE(numbers_.ptr()) == 0)
            for (std::size_t t = 0; t < count(); ++t)
                numbers_[space_.object(targets_.code[t])] = py::int_(t);
        ObjectItems owned(values, /*owned=*/true);
        const auto items = owned.items();
        std::fill(row_of_target.begin(), row_of_target.end(), -1);
        repeated = items.size();
        for (std::size_t i = 0; i < items.size(); ++i) {
            PyObject *number = PyDict_GetItemWithError(numbers_.ptr(), items[i]);
            if (number == nullptr && PyErr_Occurred())
                throw py::error_already_set();
            if (number != nullptr)
                note_row(row_of_target, repeated,
                         static_cast<std::size_t>(PyLong_AsSsize_t(number)), i);
            if ((i & (kernels::kPollStride - 1)) == kernels::kPollStride - 1)
                check_signals();
        }
    }

    cci::IdSpace &space_;
    const Targets &targets_;
    std::vector<PyObject *> ids_; // held by the id space
    std::optional<HashedTargets> hashed_;
    py::dict numbers_;
};

// The mean of every target id a table lists, as float, NaN for the others,
// given the row of each target in the table (-1 where absent) and the first
// row repeating a target (or the number of rows). An id on two rows of the
// table has no one mean: pandas' duplicate-label error, after the KeyError of
// a missing `mean` column.
std::vector<double> target_means(py::handle table, const std::vector<std::int64_t> &row_of_target,
                                 bool repeats, py::handle np, py::handle to_float) {
    py::object mean = table["mean"];
    if (repeats)
        raise_duplicate_labels();
    std::vector<std::int64_t> rows;
    for (const std::int64_t row : row_of_target)
        if (row >= 0)
            rows.push_back(row);
    const std::vector<double> found = floats_at(np, to_float, mean, rows);
    std::vector<double> means(row_of_target.size(), std::numeric_limits<double>::quiet_NaN());
    std::size_t next = 0;
    for (std::size_t t = 0; t < row_of_target.size(); ++t)
        if (row_of_target[t] >= 0)
            means[t] = found[next++];
    return means;
}

// The codes of the ids the rows of each table select, when every table
// selected by rows. Many ids are selected (more than a hashed lookup keeps in
// cache): each table's whole index is numbered by text in one pass, and its
// rows are then found by code, so every id is read and hashed once. nullopt,
// with the space left empty, when an id is no exact str.
// Below this many selected rows in all, the selected ids alone are numbered
// and looked up table by table: their table stays in cache (20 tables of
// 20,000 rows: 36 against 50 ms); above it, whole indexes numbered once win
// (20 of 200,000 rows: 1.4 times faster).
constexpr std::size_t kMinWholeIndexSelection = std::size_t{1} << 17;

std::optional<std::vector<std::vector<Code>>>
number_whole_indexes(cci::IdSpace &space, std::vector<std::size_t> &index_columns,
                     const std::vector<py::object> &tables,
                     const std::vector<std::optional<std::vector<std::int64_t>>> &rows) {
    std::size_t selected = 0;
    for (const auto &r : rows) {
        if (!r)
            return std::nullopt;
        selected += r->size();
    }
    if (selected <= kMinWholeIndexSelection)
        return std::nullopt;
    for (const py::object &table : tables)
        index_columns.push_back(space.add(table.attr(index_name).attr(values_name)));
    if (!space.number_by_text()) {
        space.clear();
        index_columns.clear();
        return std::nullopt;
    }
    std::vector<std::vector<Code>> codes(tables.size());
    for (std::size_t i = 0; i < tables.size(); ++i) {
        const auto all = space.codes(index_columns[i]);
        const std::optional<std::vector<std::int64_t>> &selected_rows = rows[i];
        if (!selected_rows) // checked above: every table selected by rows
            return std::nullopt;
        for (const std::int64_t row : *selected_rows) {
            if (static_cast<std::size_t>(row) >= all.size())
                throw py::index_error("a table changed while it was read");
            codes[i].push_back(all[static_cast<std::size_t>(row)]);
        }
    }
    return codes;
}

} // namespace

py::object cci_get_means(const Call &call) {
    py::handle dct = call.arg(0);
    py::handle idx_lst = call.arg(1);
    py::object np = call.global(np_name);
    py::object pd = call.global(pd_name);
    cci::IdSpace space;
    std::vector<py::object> tables;
    // The ids each sample selects, as codes (whole indexes numbered) or as a
    // column of the space.
    std::optional<std::vector<std::vector<Code>>> selected_codes;
    std::vector<std::size_t> selected_columns;
    std::vector<std::size_t> index_columns;
    std::optional<std::size_t> label_column;

    if (is_none(idx_lst)) {
        // Interactions significant (and within the cell and gene lists) in at
        // least one sample.
        cci::NameMembership cells(call.arg(2), np, pd);
        cci::NameMembership genes(call.arg(3), np, pd);
        std::array<cci::NameFilter, 2> filters{cci::NameFilter{"cell_A", "cell_B", cells},
                                               cci::NameFilter{"gene_A", "gene_B", genes}};
        std::vector<std::optional<std::vector<std::int64_t>>> rows;
        for (py::handle key : keys_of(dct)) {
            py::object df = dct[key];
            rows.push_back(cci::selected_rows(df, filters, call.arg(4), np, pd));
            tables.push_back(std::move(df));
        }
        if (tables.empty())
            raise_no_union();
        selected_codes = number_whole_indexes(space, index_columns, tables, rows);
        if (!selected_codes)
            for (std::size_t i = 0; i < tables.size(); ++i)
                selected_columns.push_back(
                    space.add(cci::selected_ids(tables[i], rows[i], filters, call.arg(4), np)));
    }
    py::list slst = keys_of(dct);
    if (!is_none(idx_lst)) {
        label_column = space.add(idx_lst);
        for (py::handle key : slst)
            tables.push_back(dct[key]);
    }
    if (!selected_codes)
        space.number();

    // The column ids: the given list unchanged; a single sample's selection as
    // it stands (repeats kept); else the union in order of first appearance.
    py::object labels;
    std::vector<Code> column_codes;
    auto selection = [&](std::size_t i) -> std::span<const Code> {
        return selected_codes ? std::span<const Code>((*selected_codes)[i])
                              : space.codes(selected_columns[i]);
    };
    if (label_column) {
        labels = py::reinterpret_borrow<py::object>(idx_lst);
        const auto codes = space.codes(*label_column);
        column_codes.assign(codes.begin(), codes.end());
    } else {
        if (tables.size() == 1) {
            const auto codes = selection(0);
            column_codes.assign(codes.begin(), codes.end());
        } else {
            std::vector<std::uint8_t> listed(space.size(), 0);
            for (std::size_t i = 0; i < tables.size(); ++i)
                run_released([&](kernels::InterruptPoll poll) {
                    return kernels::append_new_codes(column_codes, listed, selection(i), poll);
                });
        }
        labels = cci::labels_of(np, space, column_codes);
    }

    // Every selected id a sample lists gets its mean, significant there or not.
    const Targets targets = targets_of(column_codes, space.size());
    const auto n_samples = static_cast<Py_ssize_t>(tables.size());
    const auto n_columns = static_cast<Py_ssize_t>(column_codes.size());
    py::object to_float = call.global(float_name);
    ArrayView cells;
    py::object matrix = new_array(np, n_samples * n_columns, "float64", cells);
    double *out = cells.data<double>();
    std::fill_n(out, n_samples * n_columns, std::numeric_limits<double>::quiet_NaN());
    TargetLookup lookup(space, targets);
    for (Py_ssize_t i = 0; i < n_samples; ++i) {
        py::handle table = tables[static_cast<std::size_t>(i)];
        std::size_t repeated = 0;
        std::size_t n_rows = 0;
        std::vector<std::int64_t> row_of_target(targets.count());
        if (selected_codes) {
            // The table's whole index is numbered: its rows are found by code.
            const auto codes = space.codes(index_columns[static_cast<std::size_t>(i)]);
            n_rows = codes.size();
            run_released([&](kernels::InterruptPoll poll) {
                return kernels::locate_target_rows(row_of_target, repeated, targets.of_code, codes,
                                                   poll);
            });
        } else {
            py::object values = table.attr(index_name).attr(values_name);
            if (targets.count() > 0) {
                row_of_target = lookup.rows(repeated, values);
                n_rows = py::len(values);
            }
        }
        const std::vector<double> means = target_means(
            table, row_of_target, targets.count() > 0 && repeated != n_rows, np, to_float);
        double *row = out + i * n_columns;
        run_released([&](kernels::InterruptPoll) {
            for (std::size_t j = 0; j < targets.of_column.size(); ++j)
                row[j] = means[static_cast<std::size_t>(targets.of_column[j])];
            return true;
        });
        check_signals();
    }
    cells.release();
    py::object shaped = matrix.attr("reshape")(n_samples, n_columns);
    return call.global(pd_name).attr("DataFrame")(shaped, py::arg("index") = slst,
                                                  py::arg("columns") = labels);
}

py::object get_cci_means(const Call &call) {
    return call.global(cci_get_means_name)(call.arg(0), call.arg(1), call.arg(2), call.arg(3),
                                           call.arg(4));
}

} // namespace pelorkit::analyka
