// read_cellphonedb: CellPhoneDB results (a run's tables, an output folder, or
// a cohort of folders) as the dict of CCI result tables the analysis module
// reads.
#include "pelorkit/python.hpp"

#include "cellphonedb/melt.hpp"
#include "cellphonedb/runs.hpp"
#include "cellphonedb/wide.hpp"
#include "functions.hpp"
#include "glue/messages.hpp"
#include "glue/names.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace pelorkit::readers {
namespace {

// One run to read, and the sample it makes.
struct Job {
    py::object key; // None with sample_sep: the labels name the samples
    py::object means, second;
    bool deg = false;
};

bool is_path(const Call &call, py::handle value) {
    return PyUnicode_Check(value.ptr()) ||
           py::isinstance(value, call.global(os_name).attr("PathLike"));
}

// A folder argument as a str path.
py::object folder_path(const Call &call, py::handle value, const std::string &what) {
    py::object path = call.global(os_name).attr("fspath")(value);
    if (!PyUnicode_Check(path.ptr()))
        raise(PyExc_TypeError, what + " must be a path as str, not " + type_name(path));
    return path;
}

// The name of the folder a path lies in (or of the folder itself).
py::object folder_name(const Call &call, py::handle path, bool is_folder) {
    py::object os_path = call.global(os_name).attr("path");
    py::object folder = os_path.attr("abspath")(path);
    if (!is_folder)
        folder = os_path.attr("dirname")(folder);
    return os_path.attr("basename")(folder);
}

Job folder_job(const Call &call, py::handle key, py::handle folder) {
    RunFiles files = find_run(call, folder);
    return {py::reinterpret_borrow<py::object>(key), files.means, files.second, files.deg};
}

std::vector<Job> jobs_of_source(const Call &call, py::handle source, py::handle sample,
                                py::handle sample_sep) {
    if (is_path(call, source)) {
        py::object folder = folder_path(call, source, "source");
        return {
            folder_job(call, is_none(sample) ? folder_name(call, folder, true) : sample, folder)};
    }
    if (py::isinstance(source, call.global(mapping_name))) {
        if (!is_none(sample) || !is_none(sample_sep))
            raise(PyExc_ValueError,
                  std::string("a mapping {sample: folder} names its samples by its keys: leave ") +
                      (is_none(sample) ? "sample_sep" : "sample") + " out");
        std::vector<Job> jobs;
        for (py::handle key : py::iter(source)) {
            py::object folder = source[key];
            const std::string what = "the folder of sample " + shown(key);
            if (!is_path(call, folder))
                raise(PyExc_TypeError,
                      what + " must be a path (str or os.PathLike), not " + type_name(folder));
            jobs.push_back(folder_job(call, key, folder_path(call, folder, what)));
        }
        return jobs;
    }
    if (py::isinstance(source, call.global(pd_name).attr("DataFrame")))
        raise(PyExc_TypeError, "source is a DataFrame: pass CellPhoneDB's tables as means= and "
                               "pvalues= (or relevant_interactions=)");
    raise(PyExc_TypeError,
          "source must be a CellPhoneDB output folder (str or os.PathLike) or a mapping {sample: "
          "folder}, not " +
              type_name(source));
}

Job job_of_tables(const Call &call, py::handle means, py::handle pvalues, py::handle relevant,
                  py::handle sample) {
    if (is_none(means))
        raise(PyExc_TypeError,
              "read_cellphonedb needs a CellPhoneDB output folder, a mapping {sample: folder}, or "
              "the tables: means= with pvalues= (statistical analysis) or with "
              "relevant_interactions= (DEG analysis)");
    if (is_none(pvalues) && is_none(relevant))
        raise(PyExc_TypeError, "means= needs pvalues= (statistical analysis) or "
                               "relevant_interactions= (DEG analysis)");
    if (!is_none(pvalues) && !is_none(relevant))
        raise(PyExc_ValueError, "give pvalues= (statistical analysis) or relevant_interactions= "
                                "(DEG analysis), not both");
    py::object key = py::reinterpret_borrow<py::object>(sample);
    if (is_none(sample))
        key = is_path(call, means) ? folder_name(call, folder_path(call, means, "means"), false)
                                   : py::str("sample");
    const bool deg = is_none(pvalues);
    return {key, py::reinterpret_borrow<py::object>(means),
            py::reinterpret_borrow<py::object>(deg ? relevant : pvalues), deg};
}

void warn_repeated(const Call &call, const std::vector<std::string> &pairs,
                   const std::string &example) {
    warn(call, "CellPhoneDB lists " +
                   (pairs.size() == 1 ? std::string("the interacting pair ") + pairs[0] + " "
                                      : std::to_string(pairs.size()) + " interacting pairs (" +
                                            listing(pairs, 5) + ") ") +
                   "more than once, as different interactions. Each row keeps ids of its own, "
                   "ending in '--' and its id_cp_interaction (or its number among the rows of "
                   "that pair where there is none), e.g. " +
                   example + "; cpdb_get_gp_n_cp ignores that ending.");
}

} // namespace

py::object read_cellphonedb(const Call &call) {
    py::handle source = call.arg(0), means = call.arg(1), pvalues = call.arg(2),
               relevant = call.arg(3), sample = call.arg(4), sample_sep = call.arg(5);
    if (!is_none(sample_sep)) {
        if (!PyUnicode_Check(sample_sep.ptr()))
            raise(PyExc_TypeError, "sample_sep must be a str, not " + type_name(sample_sep));
        if (PyUnicode_GET_LENGTH(sample_sep.ptr()) == 0)
            raise(PyExc_ValueError, "sample_sep must not be empty");
        if (!is_none(sample))
            raise(PyExc_ValueError, "with sample_sep the labels name the samples: leave sample "
                                    "out");
    }
    std::vector<Job> jobs;
    if (!is_none(source)) {
        if (!is_none(means) || !is_none(pvalues) || !is_none(relevant))
            raise(PyExc_ValueError,
                  "give either source (a folder, or a mapping {sample: folder}) or the tables "
                  "means= with pvalues= or relevant_interactions=, not both");
        jobs = jobs_of_source(call, source, sample, sample_sep);
    } else {
        jobs.push_back(job_of_tables(call, means, pvalues, relevant, sample));
    }

    py::dict tables;
    std::vector<std::string> repeated;
    std::string example;
    for (const Job &job : jobs) {
        const WideRun run = read_run(call, job.means, job.second, job.deg);
        for (const std::string &pair : run.repeated)
            if (std::find(repeated.begin(), repeated.end(), pair) == repeated.end())
                repeated.push_back(pair);
        if (example.empty())
            example = run.repeated_example;
        if (is_none(sample_sep))
            add_run_table(call, run, job.key, tables);
        else
            add_sample_tables(call, run, sample_sep, tables);
    }
    if (!repeated.empty())
        warn_repeated(call, repeated, example);
    return tables;
}

} // namespace pelorkit::readers
