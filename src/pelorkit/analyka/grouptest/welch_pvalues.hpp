// Shared between the group test's files: the p-values of one comparison.
#pragma once

#include "pelorkit/pyfunction.hpp"

namespace pelorkit::analyka {

// The `pvalue` of stats.ttest_ind(a, b, axis=0, equal_var=False,
// nan_policy='omit', alternative='two-sided', trim=0) for two sample x item
// frames: computed natively while `stats` is scipy's own module and the
// frames hold float64 values, by the call itself otherwise.
py::object welch_pvalues(const Call &call, py::handle a, py::handle b);

} // namespace pelorkit::analyka
