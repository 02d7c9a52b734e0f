// The module builder and the module state shared by the modules (see
// pelorkit/module.hpp).
#include "pelorkit/python.hpp"

#include "pelorkit/module.hpp"

#include <new>
#include <string>

namespace pelorkit {
namespace {

ModuleState *module_state(PyObject *module) {
    return static_cast<ModuleState *>(PyModule_GetState(module));
}

} // namespace

int module_traverse(PyObject *module, visitproc visit, void *arg) {
    ModuleState *state = module_state(module);
    if (state != nullptr)
        Py_VISIT(state->function_type);
    return 0;
}

int module_clear(PyObject *module) {
    ModuleState *state = module_state(module);
    if (state != nullptr)
        Py_CLEAR(state->function_type);
    return 0;
}

void module_free(void *module) {
    module_clear(static_cast<PyObject *>(module));
}

void ModuleBuilder::bind(const char *name, py::handle value) {
    if (PyDict_SetItemString(dict_, name, value.ptr()) < 0)
        throw py::error_already_set();
}

py::object ModuleBuilder::get(const char *name) const {
    PyObject *value = PyDict_GetItemString(dict_, name);
    if (value == nullptr)
        throw py::key_error(name);
    return py::reinterpret_borrow<py::object>(value);
}

py::object ModuleBuilder::import_as(const char *dotted, const char *alias) {
    py::object top = import_level(dotted, py::none());
    std::string path = dotted;
    py::object module = top;
    std::size_t start = path.find('.');
    while (start != std::string::npos) {
        std::size_t end = path.find('.', start + 1);
        std::string part = path.substr(start + 1, end == std::string::npos ? end : end - start - 1);
        module = attribute_or_submodule(module, path.substr(0, start), part);
        start = end;
    }
    bind(alias != nullptr ? alias : dotted, module);
    return module;
}

void ModuleBuilder::from_import(
    const char *module, std::initializer_list<std::pair<const char *, const char *>> names) {
    py::list fromlist;
    for (const auto &[name, alias] : names)
        fromlist.append(py::str(name));
    py::object source = import_level(module, py::tuple(fromlist));
    for (const auto &[name, alias] : names)
        bind(alias != nullptr ? alias : name, attribute_or_submodule(source, module, name));
}

py::object ModuleBuilder::new_function(const FunctionSpec &entry) {
    ModuleState *state = module_state(module_);
    if (state->function_type == nullptr)
        state->function_type = make_function_type(module_);
    return make_function(state->function_type, dict_, entry);
}

py::object ModuleBuilder::add_function(const FunctionSpec &entry) {
    py::object function = new_function(entry);
    bind(py::cast<std::string>(function.attr("__name__")).c_str(), function);
    return function;
}

void ModuleBuilder::add_functions(std::span<const FunctionSpec> entries) {
    for (const FunctionSpec &entry : entries)
        add_function(entry);
}

py::object ModuleBuilder::import_level(const char *name, py::object fromlist) {
    PyObject *result = PyImport_ImportModuleLevel(name, dict_, nullptr,
                                                  fromlist.is_none() ? nullptr : fromlist.ptr(), 0);
    if (result == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// The attribute lookup of IMPORT_FROM: the attribute, else the submodule
// already in sys.modules, else ImportError.
py::object ModuleBuilder::attribute_or_submodule(py::handle source, const std::string &package,
                                                 const std::string &name) {
    PyObject *value = PyObject_GetAttrString(source.ptr(), name.c_str());
    if (value != nullptr)
        return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw py::error_already_set();
    PyErr_Clear();
    std::string full = package + "." + name;
    PyObject *sub = PyImport_GetModule(py::str(full).ptr());
    if (sub != nullptr)
        return py::reinterpret_steal<py::object>(sub);
    if (PyErr_Occurred())
        throw py::error_already_set();
    py::object file = py::getattr(source, "__file__", py::none());
    py::str message =
        py::str("cannot import name {!r} from {!r} ({})")
            .format(name, package, file.is_none() ? py::str("unknown location") : py::str(file));
    PyErr_SetImportError(message.ptr(), py::str(package).ptr(), file.ptr());
    throw py::error_already_set();
}

} // namespace pelorkit
