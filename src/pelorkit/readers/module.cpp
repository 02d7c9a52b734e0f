// pelorkit.readers: results of cell-cell interaction tools as the dict of CCI
// result tables that pelorkit.analyka reads. Its start-up imports what the
// readers use, then binds the two functions below. Read this file first.
#include "pelorkit/python.hpp"

#include "functions.hpp"
#include "pelorkit/module.hpp"

namespace pelorkit::readers {
namespace {

const FunctionSpec kFunctions[] = {
    {"read_cellphonedb(source=None, means=None, pvalues=None, relevant_interactions=None, "
     "sample=None, sample_sep=None)",
     read_cellphonedb},
    {"read_liana(df, sample_key, score_key='lr_means', pvalue_key='cellphone_pvals', "
     "source_key='source', target_key='target', ligand_key='ligand_complex', "
     "receptor_key='receptor_complex')",
     read_liana},
};

void startup(ModuleBuilder &module) {
    for (const char *name : {"os", "warnings"})
        module.import_as(name);
    module.import_as("numpy", "np");
    module.import_as("pandas", "pd");
    module.from_import("collections.abc", {{"Mapping", nullptr}});
    module.add_functions(kFunctions);
}

} // namespace
} // namespace pelorkit::readers

PyMODINIT_FUNC PyInit_readers() {
    return pelorkit::define_module<pelorkit::readers::startup>(
        "pelorkit.readers",
        "Read the results of cell-cell interaction tools (CellPhoneDB, LIANA) into the CCI "
        "result tables of pelorkit.analyka.");
}
