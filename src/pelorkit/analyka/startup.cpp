// Start-up of pelorkit.analyka: the required imports under their fixed aliases,
// then the four optional packages, each installed with pip into the running
// interpreter when it is missing, and the thread count of the kernels.
#include "pelorkit/python.hpp"

#include "functions.hpp"
#include "pelorkit/thread_pool.hpp"

#include <functional>

namespace pelorkit::analyka {

void import_required(ModuleBuilder &module) {
    for (const char *name : {"time", "os", "copy", "datetime", "math", "random", "warnings"})
        module.import_as(name);
    module.import_as("subprocess");
    module.import_as("sys");
    module.import_as("numpy", "np");
    module.import_as("pandas", "pd");
    module.from_import("scipy", {{"stats", nullptr}, {"signal", nullptr}});
    module.import_as("matplotlib.pyplot", "plt");
    module.from_import("matplotlib", {{"cm", nullptr}, {"colormaps", nullptr}});
    module.import_as("matplotlib", "mpl");
    module.from_import("matplotlib.pyplot", {{"figure", nullptr}});
    module.from_import("matplotlib.patches", {{"Rectangle", nullptr}});
    module.from_import("sklearn", {{"cluster", nullptr}, {"mixture", nullptr}});
    module.import_as("sklearn.linear_model", "lm");
    module.import_as("sklearn.metrics", "met");
    module.from_import("IPython.display", {{"display", nullptr}});
    module.from_import("importlib_resources", {{"files", nullptr}});
}

namespace {

struct OptionalBlock {
    const char *flag; // nullptr: the block sets no flag
    std::function<void(ModuleBuilder &)> imports;
    const char *missing_message;
    const char *package;
};

// An ImportError (ModuleNotFoundError included) is the only failure of the
// first attempt that leads to an installation; anything else ends the start-up.
bool is_import_error(py::error_already_set &e) {
    return e.matches(PyExc_ImportError);
}

void run_block(ModuleBuilder &module, const OptionalBlock &block) {
    if (block.flag != nullptr)
        module.bind(block.flag, py::bool_(true));
    try {
        block.imports(module);
        return;
    } catch (py::error_already_set &e) {
        if (!is_import_error(e))
            throw;
    }
    PyObject *globals = module.dict();
    print_line(globals, block.missing_message);
    try {
        static const Name subprocess{"subprocess"}, sys{"sys"};
        py::object executable = lookup_global(globals, sys).attr("executable");
        py::list command;
        for (py::object part : {executable, py::object(py::str("-m")), py::object(py::str("pip")),
                                py::object(py::str("install")), py::object(py::str(block.package))})
            command.append(part);
        lookup_global(globals, subprocess).attr("check_call")(command);
        block.imports(module);
        print_line(globals, std::string("INFO: ") + block.package + " was sucessfully installed.");
    } catch (...) {
        // Whatever went wrong (pip failing, an import still failing, an
        // interruption), the block gives up and the start-up goes on.
        print_line(globals, std::string("WARNING: Cannot install ") + block.package + ".");
        if (block.flag != nullptr)
            module.bind(block.flag, py::bool_(false));
    }
}

} // namespace

void import_optional(ModuleBuilder &module) {
    const OptionalBlock blocks[] = {
        {"SCANVPY",
         [](ModuleBuilder &m) {
             m.import_as("scanpy", "sc");
             m.import_as("anndata");
         },
         "WARNING: scanpy not installed.", "scanpy"},
        {"STATANNOT",
         [](ModuleBuilder &m) {
             m.from_import("statannotations.Annotator", {{"Annotator", nullptr}});
         },
         "WARNING: statannotations not installed or not available. ", "statannotations"},
        {"SEABORN", [](ModuleBuilder &m) { m.import_as("seaborn", "sns"); },
         "WARNING: seaborn not installed or not available. ", "seaborn"},
        {nullptr, [](ModuleBuilder &m) { m.import_as("plotly.graph_objects", "go"); },
         "WARNING: plotly not installed.", "plotly"},
    };
    for (const OptionalBlock &block : blocks)
        run_block(module, block);
}

void configure_threads() {
    // Read once, here: the kernels run without the interpreter lock, where
    // the environment may be changing under another thread's putenv.
    const std::string problem = threads::configure_from_environment();
    if (!problem.empty() && PyErr_WarnEx(PyExc_RuntimeWarning, problem.c_str(), 1) < 0)
        throw py::error_already_set();
}

} // namespace pelorkit::analyka
