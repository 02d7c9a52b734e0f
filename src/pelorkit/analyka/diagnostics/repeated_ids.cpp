// Interaction ids listed on more than one row of a CCI table (see
// repeated_ids.hpp). The count matrix asks on every call: pandas' uniqueness
// flag, kept on the index, answers it, and the repeats are named once found.
#include "pelorkit/python.hpp"

#include "diagnostics/repeated_ids.hpp"
#include "diagnostics/report.hpp"
#include "glue/pyops.hpp"

#include <cstddef>
#include <vector>

namespace pelorkit::analyka::diagnostics {
namespace {

// Whether the index may list an id twice: false is certain, true is checked
// by pandas afterwards (a unique slice of a non-unique index may report
// itself not unique). pandas keeps the answer on the index, and its own
// lookups (reindex, loc) ask the same, so a table is scanned once.
bool may_repeat(py::handle index) {
    return !truthy(index.attr("is_unique"));
}

} // namespace

RepeatedIds repeated_ids(py::handle df_dct) {
    RepeatedIds found;
    py::set seen;
    for (auto item : py::reinterpret_borrow<py::dict>(df_dct)) {
        py::object index = item.second.attr("index");
        if (!may_repeat(index))
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
