// The CCI plot tables: each sample's table rebuilt over the interactions that
// are significant and strong enough in at least one sample, absent ones with
// mean 0 and p-value 1, with the parts of each id (ids.cpp) as columns.
#include "pelorkit/python.hpp"

#include "cci/id_space.hpp"
#include "diagnostics/checks.hpp"
#include "functions.hpp"
#include "glue/names.hpp"
#include "glue/pyops.hpp"
#include "kernels/code_sets.hpp"
#include "kernels/interaction_ids.hpp"
#include "pelorkit/interrupts.hpp"

#include <array>
#include <optional>
#include <string>

namespace pelorkit::analyka {
namespace {

const Name display_name{"display"};
const Name cpdb_get_gp_n_cp_name{"cpdb_get_gp_n_cp"};

using cci::Code;
using kernels::kIdParts;

// The columns rebuilt from the id, in the order of the parts.
constexpr std::array<const char *, kIdParts> kPartColumns = {"gene_pair", "cell_pair", "gene_A",
                                                             "gene_B",    "cell_A",    "cell_B"};

// The six parts of an id, unpacked as `a, b, c, d, e, f = parts` would.
std::array<py::object, kIdParts> unpack_parts(py::handle parts) {
    std::array<py::object, kIdParts> out;
    if (!PyTuple_Check(parts.ptr()) && !PyList_Check(parts.ptr())) {
        PyObject *seq = PySequence_List(parts.ptr());
        if (seq == nullptr) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(parts.ptr())->tp_name);
            throw py::error_already_set();
        }
        return unpack_parts(py::reinterpret_steal<py::object>(seq));
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(parts.ptr());
    if (n > static_cast<Py_ssize_t>(kIdParts)) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", kIdParts);
        throw py::error_already_set();
    }
    if (n < static_cast<Py_ssize_t>(kIdParts)) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zd)",
                     kIdParts, n);
        throw py::error_already_set();
    }
    for (std::size_t i = 0; i < kIdParts; ++i)
        out[i] = py::reinterpret_borrow<py::object>(
            PySequence_Fast_GET_ITEM(parts.ptr(), static_cast<Py_ssize_t>(i)));
    return out;
}

// The six id-derived columns over the selected ids, one array-like per part.
using PartColumns = std::array<py::object, kIdParts>;

// Splits every id natively; each distinct part text becomes one str shared
// by all rows (and tables) that carry it.
PartColumns split_texts(py::handle np, std::span<const std::string_view> ids) {
    const std::size_t n = ids.size();
    std::vector<std::string_view> parts(n * kIdParts);
    std::vector<Code> codes(parts.size());
    kernels::TextCodes texts;
    const std::size_t unsplit = run_released([&](kernels::InterruptPoll poll) -> std::size_t {
        std::array<std::string_view, kIdParts> split;
        for (std::size_t i = 0; i < n; ++i) {
            if (!kernels::split_interaction_id(split, ids[i]))
                return i;
            std::copy(split.begin(), split.end(),
                      parts.begin() + static_cast<std::ptrdiff_t>(i * kIdParts));
        }
        return kernels::is_done(texts.intern(codes.data(), parts, poll)) ? n : 0;
    });
    if (unsplit != n)
        diagnostics::raise_unsplittable_id(ids[unsplit]);
    std::vector<py::object> strings(texts.size());
    for (std::size_t c = 0; c < strings.size(); ++c)
        strings[c] = cci::decode_utf8(texts.text(static_cast<Code>(c)));
    PartColumns columns;
    std::vector<PyObject *> column(n);
    for (std::size_t p = 0; p < kIdParts; ++p) {
        for (std::size_t i = 0; i < n; ++i)
            column[i] = strings[static_cast<std::size_t>(codes[i * kIdParts + p])].ptr();
        columns[p] = object_array(np, column);
    }
    return columns;
}

// Calls the parser once per id, in order; the parts go into lists, as the
// parser's results may be of any type.
PartColumns split_by_calls(py::handle parser, py::handle ids) {
    std::array<py::list, kIdParts> lists;
    for (py::handle id : ids) {
        const std::array<py::object, kIdParts> parts = unpack_parts(parser(id));
        for (std::size_t p = 0; p < kIdParts; ++p)
            lists[p].append(parts[p]);
    }
    PartColumns columns;
    std::copy(lists.begin(), lists.end(), columns.begin());
    return columns;
}

bool equals(py::handle label, const char *name) {
    const int eq = PyObject_RichCompareBool(label.ptr(), py::str(name).ptr(), Py_EQ);
    if (eq < 0)
        throw py::error_already_set();
    return eq != 0;
}

// What becomes of one input column in the plot table.
struct ColumnRole {
    enum Kind { kCopied, kMean, kPval, kPart } kind = kCopied;
    std::size_t part = 0;
};

ColumnRole role_of(py::handle label) {
    if (equals(label, "mean"))
        return {ColumnRole::kMean};
    if (equals(label, "pval"))
        return {ColumnRole::kPval};
    for (std::size_t p = 0; p < kIdParts; ++p)
        if (equals(label, kPartColumns[p]))
            return {ColumnRole::kPart, p};
    return {};
}

// The selected ids of every table, numbered, with the union in order of
// first appearance.
struct Selected {
    py::list keys;
    cci::IdSpace ids;
    std::vector<py::object> tables;
    std::vector<std::size_t> index_columns;
    std::vector<Code> union_codes;
};

void select_interactions(Selected &s, py::handle df_dct, const Call &call) {
    py::handle pval_cutoff = call.arg(1);
    py::handle mean_cutoff = call.arg(2);
    py::handle target_cells = call.arg(3);
    std::vector<cci::Selection> selections;
    s.keys = keys_of(df_dct);
    for (py::handle key : s.keys) {
        py::object df = df_dct[key];
        py::object b = pyops::bit_and(pyops::compare(df["pval"], pval_cutoff, Py_LE),
                                      pyops::compare(df["mean"], mean_cutoff, Py_GE));
        // Only a list (or a subclass) turns the cell filter on.
        if (PyList_Check(target_cells.ptr()))
            b = pyops::bit_and(b, pyops::bit_or(df["cell_A"].attr("isin")(target_cells),
                                                df["cell_B"].attr("isin")(target_cells)));
        selections.emplace_back(s.ids, values_of(call, df.attr("index")), b);
        s.index_columns.push_back(selections.back().index_column());
        s.tables.push_back(std::move(df));
    }
    s.ids.number();
    std::vector<std::uint8_t> listed(s.ids.size(), 0);
    for (const cci::Selection &selection : selections) {
        const std::vector<Code> selected = selection.codes(s.ids);
        run_released([&](kernels::InterruptPoll poll) {
            return kernels::append_new_codes(s.union_codes, listed, selected, poll);
        });
    }
}

// A float column over the selected ids: the table's values where it lists
// the id, `absent` elsewhere.
py::object filled_floats(py::handle np, py::handle to_float, py::handle column,
                         std::span<const std::int64_t> row_of_target, double absent) {
    std::vector<std::int64_t> rows;
    for (const std::int64_t row : row_of_target)
        if (row >= 0)
            rows.push_back(row);
    const std::vector<double> values = floats_at(np, to_float, column, rows);
    ArrayView buffer;
    py::object array =
        new_array(np, static_cast<Py_ssize_t>(row_of_target.size()), "float64", buffer);
    double *out = buffer.data<double>();
    std::size_t next = 0;
    for (const std::int64_t row : row_of_target)
        *out++ = row >= 0 ? values[next++] : absent;
    return array;
}

// The input columns of one plot table, by position: present ids copy the
// table's values, absent ones get mean 0, p-value 1 and NaN elsewhere (means
// and p-values as floats). Id-derived columns are left for the parser.
std::vector<py::object> carried_columns(py::handle df, const std::vector<ColumnRole> &roles,
                                        std::span<const std::int64_t> row_of_target, py::handle np,
                                        py::handle to_float) {
    ArrayView buffer;
    py::object indexer =
        new_array(np, static_cast<Py_ssize_t>(row_of_target.size()), "intp", buffer);
    std::copy(row_of_target.begin(), row_of_target.end(), buffer.data<std::int64_t>());
    buffer.release();

    std::vector<py::object> values(roles.size());
    py::object iloc = df.attr("iloc");
    const py::slice all_rows{py::none(), py::none(), py::none()};
    for (std::size_t j = 0; j < roles.size(); ++j) {
        if (roles[j].kind == ColumnRole::kPart)
            continue;
        py::object column = iloc[py::make_tuple(all_rows, j)];
        if (roles[j].kind == ColumnRole::kMean)
            values[j] = filled_floats(np, to_float, column, row_of_target, 0.0);
        else if (roles[j].kind == ColumnRole::kPval)
            values[j] = filled_floats(np, to_float, column, row_of_target, 1.0);
        else
            values[j] = column.attr("array").attr("take")(indexer, py::arg("allow_fill") = true);
    }
    return values;
}

// The six id-derived columns of each plot table, from the module's parser.
// While that is still this module's own function the ids are split once and
// the columns shared by all tables (natively for exact str ids); where pandas
// types such a column as an array of its own (pandas 3: its string array),
// that is done once, and a table's copy of it needs no inference. A parser
// bound in its place is called for every id of every table. (is_own_function:
// the one exception to calling a sibling through the module namespace, see
// docs/dev/architecture.md.)
class IdPartColumns {
public:
    IdPartColumns(const Selected &s, py::handle np, py::handle pd) : s_(s), np_(np), pd_(pd) {}

    PartColumns of_table(py::handle parser, py::handle index) {
        const bool own_parser = is_own_function(parser, cpdb_get_gp_n_cp);
        if (own_parser && shared_)
            return *shared_;
        PartColumns parts;
        if (own_parser && s_.ids.texts() != nullptr) {
            std::vector<std::string_view> texts(s_.union_codes.size());
            for (std::size_t t = 0; t < texts.size(); ++t)
                texts[t] = s_.ids.texts()->text(s_.union_codes[t]);
            parts = split_texts(np_, texts);
        } else {
            parts = split_by_calls(parser, index.attr("values"));
        }
        if (own_parser) {
            for (py::object &part : parts) {
                py::object typed = pd_.attr("Series")(part, py::arg("copy") = false);
                if (!py::isinstance(typed.attr("dtype"), np_.attr("dtype")))
                    part = typed.attr("array");
            }
            shared_ = parts;
        }
        return parts;
    }

private:
    const Selected &s_;
    py::handle np_;
    py::handle pd_;
    std::optional<PartColumns> shared_;
};

} // namespace

py::object cci_get_df_to_plot(const Call &call) {
    Selected s;
    select_interactions(s, call.arg(0), call);
    const std::size_t n_ids = s.union_codes.size();
    call.global(display_name)(make_str("Union of Interactions: " + std::to_string(n_ids)));

    std::vector<Code> target_of_code(s.ids.size(), cci::kNoCode);
    for (std::size_t t = 0; t < n_ids; ++t)
        target_of_code[static_cast<std::size_t>(s.union_codes[t])] = static_cast<Code>(t);

    py::object np = call.global(np_name);
    py::object pd = call.global(pd_name);
    py::object to_float = call.global(float_name);
    py::object base_index = pd.attr("Index")(cci::labels_of(np, s.ids, s.union_codes));
    IdPartColumns id_parts(s, np, pd);
    std::vector<std::int64_t> row_of_target(n_ids);
    py::dict result;
    for (std::size_t k = 0; k < s.tables.size(); ++k) {
        const py::object &df = s.tables[k];
        const auto codes = s.ids.codes(s.index_columns[k]);
        std::size_t repeated = 0;
        run_released([&](kernels::InterruptPoll poll) {
            return kernels::locate_target_rows(row_of_target, repeated, target_of_code, codes,
                                               poll);
        });
        if (repeated != codes.size())
            raise_duplicate_labels();

        py::object columns = df.attr("columns");
        std::vector<ColumnRole> roles;
        std::array<bool, kIdParts> has_part{};
        for (py::handle label : columns) {
            roles.push_back(role_of(label));
            if (roles.back().kind == ColumnRole::kPart)
                has_part[roles.back().part] = true;
        }
        std::vector<py::object> values = carried_columns(df, roles, row_of_target, np, to_float);
        // Each table has an index of its own (its name can be set alone);
        // they share the one array of ids.
        py::object index = base_index.attr("copy")();
        const PartColumns parts = id_parts.of_table(call.global(cpdb_get_gp_n_cp_name), index);

        // Existing id-derived columns are overwritten in place, missing ones
        // appended in part order. The part arrays are shared between the
        // tables, so each table gets its own copy: pandas 3 wraps an object
        // array of str as its string array without copying it, even when
        // asked to copy, and a cell written in one table would show in all.
        py::object out_columns = columns.attr("copy")();
        auto own_copy = [](const py::object &part) { return part.attr("copy")(); };
        for (std::size_t j = 0; j < roles.size(); ++j)
            if (roles[j].kind == ColumnRole::kPart)
                values[j] = own_copy(parts[roles[j].part]);
        for (std::size_t p = 0; p < kIdParts; ++p) {
            if (has_part[p])
                continue;
            values.push_back(own_copy(parts[p]));
            out_columns = out_columns.attr("insert")(py::len(out_columns), kPartColumns[p]);
        }
        py::dict data;
        for (std::size_t j = 0; j < values.size(); ++j)
            data[py::int_(j)] = values[j];
        // Every array is new and this table's alone: no second copy.
        py::object frame =
            pd.attr("DataFrame")(data, py::arg("index") = index, py::arg("copy") = false);
        frame.attr("columns") = out_columns;
        result[s.keys[k]] = frame;
        check_signals();
    }
    return result;
}

} // namespace pelorkit::analyka
