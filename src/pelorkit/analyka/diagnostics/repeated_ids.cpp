// Interaction ids listed on more than one row of a CCI table (see
// repeated_ids.hpp). The count matrix asks on every call, so an index of
// plain str ids is scanned natively with the hashes the strings cache; the
// slower pandas route serves other ids and names the repeats once found.
#include "pelorkit/python.hpp"

#include "diagnostics/repeated_ids.hpp"
#include "diagnostics/report.hpp"
#include "glue/exact_str.hpp"
#include "glue/pandas_values.hpp"
#include "glue/pyops.hpp"
#include "pelorkit/compiler.hpp"

#include <pybind11/numpy.h>

#include <cstddef>
#include <optional>
#include <vector>

namespace pelorkit::analyka::diagnostics {
namespace {

// Whether the items, all exact str, hold one twice; nullopt when an item is
// not an exact str or its hash fails. An open-addressing table of the items
// and their hashes, at most half full. The strings lie anywhere in memory, so
// the scan is bound by reaching them: each is fetched some items ahead, and
// the table keeps the hashes so that probing touches no other string.
std::optional<bool> str_items_repeat(std::span<PyObject *const> items) {
    struct Slot {
        Py_hash_t hash;
        PyObject *item;
    };
    constexpr std::size_t kAhead = 16;
    std::size_t slots = 16;
    while (slots < 2 * items.size())
        slots *= 2;
    std::vector<Slot> table(slots, Slot{0, nullptr});
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i + kAhead < items.size())
            PELORKIT_PREFETCH(items[i + kAhead]);
        PyObject *item = items[i];
        if (!PyUnicode_CheckExact(item))
            return std::nullopt;
        const Py_hash_t hash = str_hash(item);
        if (hash == -1) {
            PyErr_Clear();
            return std::nullopt;
        }
        std::size_t slot = static_cast<std::size_t>(hash) & (slots - 1);
        for (; table[slot].item != nullptr; slot = (slot + 1) & (slots - 1))
            if (table[slot].hash == hash && same_str(table[slot].item, item))
                return true;
        table[slot] = Slot{hash, item};
    }
    return false;
}

// Whether the index may list an id twice: false is certain, true is checked
// by pandas afterwards.
bool may_repeat(const Call &call, py::handle index) {
    py::object values = values_of(call, index);
    auto &api = py::detail::npy_api::get();
    if (api.PyArray_Check_(values.ptr()) &&
        py::str(values.attr("dtype").attr("kind")).equal(py::str("O"))) {
        const ObjectItems items(values);
        if (std::optional<bool> repeats = str_items_repeat(items.items()))
            return *repeats;
    }
    return !truthy(index.attr("is_unique"));
}

} // namespace

RepeatedIds repeated_ids(const Call &call, py::handle df_dct) {
    RepeatedIds found;
    py::set seen;
    for (auto item : py::reinterpret_borrow<py::dict>(df_dct)) {
        py::object index = item.second.attr("index");
        if (!may_repeat(call, index))
            continue;
        py::object repeated = index[index.attr("duplicated")()].attr("unique")();
        if (py::len(repeated) == 0)
            continue;
        found.samples.append(item.first);
        for (py::handle id : repeated)
            if (!seen.contains(id)) {
                seen.add(id);
                found.ids.append(id);
            }
    }
    return found;
}

std::string repeated_ids_text(const RepeatedIds &found) {
    const std::size_t n = found.ids.size();
    const bool one_table = found.samples.size() == 1;
    return (one_table ? "the table of " : "the tables of ") + listing(found.samples) +
           (one_table ? " lists " : " list ") +
           (n == 1 ? std::string("the id ") : std::to_string(n) + " ids, ") +
           listing(found.ids, 3) + ", on more than one row";
}

const char *const kUniqueIdsFix =
    "ids must be unique in each table: pelorkit.readers.read_cellphonedb reads CellPhoneDB "
    "results into tables with unique ids, or keep one row per id, e.g. "
    "df[~df.index.duplicated()]";

} // namespace pelorkit::analyka::diagnostics
