// The hand-written multi-phase module definition shared by the modules: an
// exec slot that runs the start-up and hands a failure to the importer with
// its original exception, plus the statements a start-up is made of (imports
// under aliases, from-imports, binding functions). The builder's bodies are in
// src/common/module.cpp, compiled into each module.
#pragma once

#include "pelorkit/python.hpp"

#include "pelorkit/pyfunction.hpp"
#include "pelorkit/pyutil.hpp"

#include <initializer_list>
#include <span>
#include <string>
#include <utility>

namespace pelorkit {

struct ModuleState {
    PyTypeObject *function_type;
};

int module_traverse(PyObject *module, visitproc visit, void *arg);
int module_clear(PyObject *module);
void module_free(void *module);

// The statements of a start-up, each binding its names in the module namespace
// in the order they run.
class ModuleBuilder {
public:
    explicit ModuleBuilder(PyObject *module) : module_(module), dict_(PyModule_GetDict(module)) {}

    PyObject *dict() const { return dict_; }

    void bind(const char *name, py::handle value);
    py::object get(const char *name) const;

    // `import a.b.c as alias` (alias defaults to the module's own name).
    py::object import_as(const char *dotted, const char *alias = nullptr);

    // `from module import name [as alias], ...`
    void from_import(const char *module,
                     std::initializer_list<std::pair<const char *, const char *>> names);

    // A function of this module (its namespace is the function's globals),
    // not bound to any name.
    py::object new_function(const FunctionSpec &entry);
    py::object add_function(const FunctionSpec &entry);
    void add_functions(std::span<const FunctionSpec> entries);

private:
    py::object import_level(const char *name, py::object fromlist);
    static py::object attribute_or_submodule(py::handle source, const std::string &package,
                                             const std::string &name);

    PyObject *module_;
    PyObject *dict_;
};

// Runs a start-up inside the exec slot. A failure returns -1 with the original
// exception set, so the importer sees e.g. the ModuleNotFoundError itself.
template <void (*Startup)(ModuleBuilder &)> int exec_module(PyObject *module) {
    try {
        ModuleBuilder builder(module);
        Startup(builder);
        return 0;
    } catch (...) {
        restore_current_exception();
    }
    return -1;
}

// What PyInit_<name> returns for a module whose start-up is `Startup`: its
// multi-phase definition, with the state that holds the module's function
// type.
template <void (*Startup)(ModuleBuilder &)>
PyObject *define_module(const char *name, const char *doc) {
    static PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void *>(exec_module<Startup>)},
        {0, nullptr},
    };
    static PyModuleDef definition = {
        PyModuleDef_HEAD_INIT, name,         doc,         sizeof(ModuleState), nullptr, slots,
        module_traverse,       module_clear, module_free,
    };
    return PyModuleDef_Init(&definition);
}

} // namespace pelorkit
