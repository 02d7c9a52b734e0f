// The files of a CellPhoneDB run in an output folder. CellPhoneDB v5 names
// them <analysis>_<table>_<suffix>.txt (statistical_analysis_means_..., or
// degs_analysis_relevant_interactions_...), its suffix a time stamp
// month_day_year_hhmmss unless the user chose one; older versions write
// means.txt with pvalues.txt or relevant_interactions.txt.
#pragma once

#include "pelorkit/python.hpp"
#include "pelorkit/pyfunction.hpp"

namespace pelorkit::readers {

struct RunFiles {
    py::object means;  // path (str)
    py::object second; // the pvalues or relevant_interactions path
    bool deg = false;  // a DEG analysis (relevant_interactions)
};

// The newest complete run in `folder` (a str path): by the time stamps of
// their names when every run has one, else by the time the files were last
// written. Warns, naming the run it reads, when there are several.
RunFiles find_run(const Call &call, py::handle folder);

} // namespace pelorkit::readers
