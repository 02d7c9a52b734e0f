// Declarations of every function of pelorkit.readers, by topic file.
#pragma once

#include "pelorkit/module.hpp"
#include "pelorkit/pyfunction.hpp"

namespace pelorkit::readers {

// cellphonedb/read.cpp: a run's tables, an output folder or a cohort of folders.
py::object read_cellphonedb(const Call &call);

// liana.cpp: LIANA's by-sample long results.
py::object read_liana(const Call &call);

} // namespace pelorkit::readers
