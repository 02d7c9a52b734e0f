// Finding the newest CellPhoneDB run in a folder (see runs.hpp).
#include "pelorkit/python.hpp"

#include "cellphonedb/runs.hpp"
#include "glue/messages.hpp"
#include "glue/names.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace pelorkit::readers {
namespace {

constexpr std::array<std::string_view, 3> kExtensions = {".txt", ".tsv", ".csv"};
constexpr std::array<std::string_view, 2> kAnalyses = {"statistical_analysis", "degs_analysis"};
enum Table : std::uint8_t { kMeans, kPvalues, kRelevant, kTables };
constexpr std::array<std::string_view, kTables> kTableNames = {"means", "pvalues",
                                                               "relevant_interactions"};

// Files of one analysis, suffix and extension; old-style runs have neither
// analysis nor suffix.
struct Key {
    std::string analysis, suffix, extension;
    auto operator<=>(const Key &) const = default;
};
using FileNames = std::array<std::string, kTables>;

struct Run {
    Key key;
    FileNames files;
    bool deg;
};

// Splits a file name into its key and table, when it is one of a run's.
std::optional<std::pair<Key, Table>> parse_name(std::string_view name) {
    for (std::string_view extension : kExtensions) {
        if (!name.ends_with(extension))
            continue;
        const std::string_view stem = name.substr(0, name.size() - extension.size());
        for (int t = 0; t < kTables; ++t)
            if (stem == kTableNames[t])
                return std::pair{Key{"", "", std::string(extension)}, static_cast<Table>(t)};
        for (std::string_view analysis : kAnalyses) {
            if (!stem.starts_with(analysis) || stem.size() == analysis.size() ||
                stem[analysis.size()] != '_')
                continue;
            const std::string_view rest = stem.substr(analysis.size() + 1);
            for (int t = 0; t < kTables; ++t) {
                const std::string_view table = kTableNames[t];
                if (rest.size() > table.size() + 1 && rest.starts_with(table) &&
                    rest[table.size()] == '_')
                    return std::pair{Key{std::string(analysis),
                                         std::string(rest.substr(table.size() + 1)),
                                         std::string(extension)},
                                     static_cast<Table>(t)};
            }
        }
    }
    return std::nullopt;
}

// CellPhoneDB's default suffix, month_day_year_hhmmss, as yyyymmddhhmmss.
std::optional<std::int64_t> time_stamp(std::string_view suffix) {
    if (suffix.size() != 17 || suffix[2] != '_' || suffix[5] != '_' || suffix[10] != '_')
        return std::nullopt;
    auto number = [&](std::size_t start, std::size_t length) -> std::optional<std::int64_t> {
        std::int64_t value = 0;
        for (std::size_t i = start; i < start + length; ++i) {
            if (suffix[i] < '0' || suffix[i] > '9')
                return std::nullopt;
            value = value * 10 + (suffix[i] - '0');
        }
        return value;
    };
    const auto month = number(0, 2), day = number(3, 2), year = number(6, 4), clock = number(11, 6);
    if (!month || !day || !year || !clock || *month < 1 || *month > 12 || *day < 1 || *day > 31)
        return std::nullopt;
    return ((*year * 100 + *month) * 100 + *day) * 1000000 + *clock;
}

std::string run_label(const Run &run) {
    const std::string second = run.files[run.deg ? kRelevant : kPvalues];
    return run.key.analysis.empty() ? run.files[kMeans] + " with " + second
                                    : run.key.analysis + "_*_" + run.key.suffix + run.key.extension;
}

std::string expected_files() {
    return "statistical_analysis_means_<suffix>.txt with "
           "statistical_analysis_pvalues_<suffix>.txt, "
           "degs_analysis_means_<suffix>.txt with degs_analysis_relevant_interactions_<suffix>.txt"
           ", or means.txt with pvalues.txt or relevant_interactions.txt";
}

[[noreturn]] void no_run(py::handle folder, const std::vector<std::string> &incomplete) {
    std::string message =
        "no CellPhoneDB result in the folder " + shown(folder) + ": expected " + expected_files();
    if (!incomplete.empty())
        message += "; found " + listing(incomplete) + " (a run's second table is missing)";
    message += ". A simple analysis has no p-values and cannot be read.";
    raise(PyExc_FileNotFoundError, message);
}

} // namespace

RunFiles find_run(const Call &call, py::handle folder) {
    py::object os = call.global(os_name);
    py::object path = os.attr("path");
    if (!truthy(path.attr("isdir")(folder))) {
        if (truthy(path.attr("exists")(folder)))
            raise(PyExc_NotADirectoryError,
                  shown(folder) + " is a file, not a folder: pass CellPhoneDB's output folder, or "
                                  "its tables as means= and pvalues= (or relevant_interactions=)");
        raise(PyExc_FileNotFoundError, "no such folder: " + shown(folder));
    }
    std::map<Key, FileNames> found;
    for (py::handle name : py::list(os.attr("listdir")(folder))) {
        // Names that are not valid UTF-8 (undecodable bytes) cannot be a run's.
        Py_ssize_t size = 0;
        const char *utf8 =
            PyUnicode_Check(name.ptr()) ? PyUnicode_AsUTF8AndSize(name.ptr(), &size) : nullptr;
        if (utf8 == nullptr) {
            PyErr_Clear();
            continue;
        }
        const std::string text(utf8, static_cast<std::size_t>(size));
        if (auto parsed = parse_name(text))
            found[parsed->first][parsed->second] = text;
    }
    std::vector<Run> runs;
    std::vector<std::string> incomplete;
    for (const auto &[key, files] : found) {
        const bool old_style = key.analysis.empty();
        const bool statistical = old_style || key.analysis == kAnalyses[0];
        const bool deg = old_style || key.analysis == kAnalyses[1];
        const bool has_means = !files[kMeans].empty();
        bool complete = false;
        if (statistical && has_means && !files[kPvalues].empty()) {
            runs.push_back({key, files, false});
            complete = true;
        }
        if (deg && has_means && !files[kRelevant].empty()) {
            runs.push_back({key, files, true});
            complete = true;
        }
        if (!complete)
            for (const std::string &file : files)
                if (!file.empty())
                    incomplete.push_back(quoted(file));
    }
    if (runs.empty())
        no_run(folder, incomplete);

    auto file = [&](const std::string &name) { return path.attr("join")(folder, py::str(name)); };
    std::size_t newest = 0;
    if (runs.size() > 1) {
        const bool stamped = std::all_of(runs.begin(), runs.end(), [](const Run &run) {
            return time_stamp(run.key.suffix).has_value();
        });
        std::vector<double> order(runs.size());
        for (std::size_t i = 0; i < runs.size(); ++i) {
            const Run &run = runs[i];
            if (stamped) {
                order[i] = static_cast<double>(*time_stamp(run.key.suffix));
            } else {
                py::object written = path.attr("getmtime");
                order[i] = std::max(
                    py::cast<double>(written(file(run.files[kMeans]))),
                    py::cast<double>(written(file(run.files[run.deg ? kRelevant : kPvalues]))));
            }
            if (order[i] >= order[newest])
                newest = i;
        }
        std::vector<std::string> labels;
        labels.reserve(runs.size());
        for (const Run &run : runs)
            labels.push_back(run_label(run));
        warn(call, "the folder " + shown(folder) + " holds " + std::to_string(runs.size()) +
                       " CellPhoneDB runs (" + listing(labels, 4) + "); reading the newest, " +
                       run_label(runs[newest]) +
                       ". Pass its tables as means= and pvalues= (or relevant_interactions=) to "
                       "read another.");
    }
    const Run &run = runs[newest];
    return {file(run.files[kMeans]), file(run.files[run.deg ? kRelevant : kPvalues]), run.deg};
}

} // namespace pelorkit::readers
