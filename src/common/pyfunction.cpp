// The callable type of the modules (see pelorkit/pyfunction.hpp): a native
// function object that binds its arguments as CPython does and exposes the
// attributes of a Python function. Compiled into each module, whose copy stays
// hidden in its .so; each module makes its own heap type at start-up.
#include "pelorkit/python.hpp"

#include "pelorkit/pyfunction.hpp"
#include "pelorkit/pyutil.hpp"

#include <array>
#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace pelorkit {
namespace {

// Arguments bound on the stack; more parameters bind into the heap.
constexpr std::size_t kStackSlots = 8;

// Where a caller's own __signature__ is kept, in the function's __dict__.
const Name signature_key{"__signature__"};

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *defaults;    // tuple or nullptr
    PyObject *kwdefaults;  // dict or nullptr
    PyObject *dict;        // __dict__
    PyObject *globals;     // the module namespace
    PyObject *params;      // tuple of str
    PyObject *annotations; // dict
    PyObject *exact_types; // tuple: a type per parameter, or None
    PyObject *weakreflist;
    Impl impl;
};

FunctionObject *as_function(PyObject *self) {
    return reinterpret_cast<FunctionObject *>(self);
}

PyObject *run_impl(FunctionObject *f, PyObject *const *bound, Py_ssize_t n) {
    try {
        py::object result = f->impl(Call(f->globals, bound, n));
        return result.release().ptr();
    } catch (...) {
        restore_current_exception();
    }
    return nullptr;
}

// CPython's wording for a call with too many positional arguments.
void too_many_positional(FunctionObject *f, Py_ssize_t argcount, Py_ssize_t defcount,
                         Py_ssize_t given) {
    if (defcount != 0)
        PyErr_Format(
            PyExc_TypeError, "%U() takes from %zd to %zd positional arguments but %zd %s given",
            f->qualname, argcount - defcount, argcount, given, given == 1 ? "was" : "were");
    else
        PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given",
                     f->qualname, argcount, argcount != 1 ? "s" : "", given,
                     given == 1 ? "was" : "were");
}

// CPython's wording for missing arguments: 'a', 'a' and 'b', 'a', 'b', and 'c'.
void missing_arguments(FunctionObject *f, PyObject **slots, Py_ssize_t end) {
    py::list names;
    for (Py_ssize_t i = 0; i < end; ++i)
        if (slots[i] == nullptr)
            names.append(py::repr(PyTuple_GET_ITEM(f->params, i)));
    Py_ssize_t len = static_cast<Py_ssize_t>(names.size());
    py::str text;
    if (len == 1) {
        text = names[0];
    } else if (len == 2) {
        text = py::str("{} and {}").format(names[0], names[1]);
    } else {
        py::list head(names[py::slice(0, len - 2, 1)]);
        text = py::str("{}, {}, and {}")
                   .format(py::str(", ").attr("join")(head), names[len - 2], names[len - 1]);
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U",
                 f->qualname, len, len == 1 ? "" : "s", text.ptr());
}

void wrong_exact_type(PyObject *param, PyObject *expected, PyObject *given) {
    PyTypeObject *exp = reinterpret_cast<PyTypeObject *>(expected);
    PyTypeObject *got = Py_TYPE(given);
    PyObject *name = PyUnicode_AsUTF8String(param);
    if (name == nullptr)
        return;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s",
                 PyBytes_AS_STRING(name), exp->tp_name, got->tp_name,
                 PyObject_TypeCheck(given, exp)
                     ? ". Subclasses are not accepted here: pass an exact instance of the type."
                     : "");
    Py_DECREF(name);
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
    FunctionObject *f = as_function(self);
    const Py_ssize_t argcount = PyTuple_GET_SIZE(f->params);
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    // Room for the arguments on the stack; a function with more parameters
    // than that binds into the heap.
    std::array<PyObject *, kStackSlots> stack_slots{};
    std::vector<PyObject *> heap_slots;
    PyObject **slots = stack_slots.data();
    if (argcount > static_cast<Py_ssize_t>(kStackSlots)) {
        try {
            heap_slots.assign(static_cast<std::size_t>(argcount), nullptr);
        } catch (const std::bad_alloc &) {
            PyErr_NoMemory();
            return nullptr;
        }
        slots = heap_slots.data();
    }

    for (Py_ssize_t i = 0; i < given && i < argcount; ++i)
        slots[i] = args[i];

    if (kwnames != nullptr) {
        const Py_ssize_t kwcount = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < kwcount; ++k) {
            PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(keyword)) {
                PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
                return nullptr;
            }
            Py_ssize_t j = 0;
            for (; j < argcount; ++j)
                if (PyTuple_GET_ITEM(f->params, j) == keyword)
                    break;
            if (j == argcount) {
                for (j = 0; j < argcount; ++j) {
                    int eq =
                        PyObject_RichCompareBool(keyword, PyTuple_GET_ITEM(f->params, j), Py_EQ);
                    if (eq < 0)
                        return nullptr;
                    if (eq)
                        break;
                }
            }
            if (j == argcount) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                             f->qualname, keyword);
                return nullptr;
            }
            if (slots[j] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                             f->qualname, keyword);
                return nullptr;
            }
            slots[j] = args[given + k];
        }
    }

    // Hold the defaults tuple for the whole call: the body may reassign __defaults__.
    py::object defaults = py::reinterpret_borrow<py::object>(f->defaults);
    const Py_ssize_t defcount = f->defaults == nullptr ? 0 : PyTuple_GET_SIZE(f->defaults);

    if (given > argcount) {
        too_many_positional(f, argcount, defcount, given);
        return nullptr;
    }
    if (given < argcount) {
        const Py_ssize_t required = argcount - defcount;
        for (Py_ssize_t i = given; i < required; ++i) {
            if (slots[i] == nullptr) {
                missing_arguments(f, slots, required);
                return nullptr;
            }
        }
        // Same alignment as CPython: the defaults cover the last parameters.
        Py_ssize_t i = given > required ? given - required : 0;
        for (; i < defcount; ++i)
            if (required + i >= 0 && slots[required + i] == nullptr)
                slots[required + i] = PyTuple_GET_ITEM(f->defaults, i);
    }

    for (Py_ssize_t i = 0; i < argcount; ++i) {
        PyObject *type = PyTuple_GET_ITEM(f->exact_types, i);
        if (type != Py_None && slots[i] != Py_None &&
            Py_TYPE(slots[i]) != reinterpret_cast<PyTypeObject *>(type)) {
            wrong_exact_type(PyTuple_GET_ITEM(f->params, i), type, slots[i]);
            return nullptr;
        }
    }
    return run_impl(f, slots, argcount);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    FunctionObject *f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->params);
    Py_VISIT(f->annotations);
    Py_VISIT(f->exact_types);
    return 0;
}

int function_clear(PyObject *self) {
    FunctionObject *f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->params);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->exact_types);
    return 0;
}

void function_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist != nullptr)
        PyObject_ClearWeakRefs(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Functions become bound methods when stored on a class, as Python functions do.
PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// Pickle and copy treat the function as a reference to its module attribute.
PyObject *function_reduce(PyObject *self, PyObject *) {
    return Py_NewRef(as_function(self)->qualname);
}

template <std::size_t Offset> PyObject *get_object(PyObject *self, void *) {
    PyObject *value = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + Offset);
    return Py_NewRef(value != nullptr ? value : Py_None);
}

template <std::size_t Offset> int set_text(PyObject *self, PyObject *value, void *closure) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object",
                     static_cast<const char *>(closure));
        return -1;
    }
    PyObject **slot = reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + Offset);
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

template <std::size_t Offset> int set_any(PyObject *self, PyObject *value, void *) {
    PyObject **slot = reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + Offset);
    Py_XSETREF(*slot, Py_NewRef(value != nullptr ? value : Py_None));
    return 0;
}

int set_defaults(PyObject *self, PyObject *value, void *) {
    if (value == Py_None)
        value = nullptr;
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

int set_kwdefaults(PyObject *self, PyObject *value, void *) {
    if (value == Py_None)
        value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->kwdefaults, Py_XNewRef(value));
    return 0;
}

int set_annotations(PyObject *self, PyObject *value, void *) {
    if (value == Py_None)
        value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, value != nullptr ? Py_NewRef(value) : PyDict_New());
    return 0;
}

// inspect.signature reads __signature__; it is rebuilt from the current
// defaults unless the caller stored one of its own in __dict__.
PyObject *get_signature(PyObject *self, void *) {
    FunctionObject *f = as_function(self);
    if (f->dict != nullptr) {
        PyObject *own = PyDict_GetItemWithError(f->dict, signature_key.get());
        if (own != nullptr)
            return Py_NewRef(own);
        if (PyErr_Occurred())
            return nullptr;
    }
    try {
        py::module_ inspect = py::module_::import("inspect");
        py::object parameter = inspect.attr("Parameter");
        py::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
        py::object empty = parameter.attr("empty");
        const Py_ssize_t n = PyTuple_GET_SIZE(f->params);
        const Py_ssize_t defcount = f->defaults == nullptr ? 0 : PyTuple_GET_SIZE(f->defaults);
        py::list params;
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::handle name = PyTuple_GET_ITEM(f->params, i);
            Py_ssize_t d = i - (n - defcount);
            py::object def =
                d >= 0 ? py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(f->defaults, d))
                       : empty;
            PyObject *ann = PyDict_GetItemWithError(f->annotations, name.ptr());
            if (ann == nullptr && PyErr_Occurred())
                throw py::error_already_set();
            py::object annotation =
                ann != nullptr ? py::reinterpret_borrow<py::object>(ann) : empty;
            params.append(parameter(name, kind, py::arg("default") = def,
                                    py::arg("annotation") = annotation));
        }
        return inspect.attr("Signature")(params).release().ptr();
    } catch (py::error_already_set &e) {
        e.restore();
        return nullptr;
    }
}

// The function's __dict__, made on first use; nullptr with the error set.
PyObject *own_dict(FunctionObject *f) {
    if (f->dict == nullptr)
        f->dict = PyDict_New();
    return f->dict;
}

int set_signature(PyObject *self, PyObject *value, void *) {
    FunctionObject *f = as_function(self);
    if (own_dict(f) == nullptr)
        return -1;
    if (value == nullptr) {
        if (PyDict_DelItem(f->dict, signature_key.get()) < 0) {
            PyErr_Clear();
        }
        return 0;
    }
    return PyDict_SetItem(f->dict, signature_key.get(), value);
}

PyObject *get_dict(PyObject *self, void *) {
    FunctionObject *f = as_function(self);
    if (own_dict(f) == nullptr)
        return nullptr;
    return Py_NewRef(f->dict);
}

int set_dict(PyObject *self, PyObject *value, void *) {
    if (value == nullptr || !PyDict_Check(value)) {
        PyErr_Format(PyExc_TypeError, "__dict__ must be set to a dictionary, not a '%.200s'",
                     value == nullptr ? "NoneType" : Py_TYPE(value)->tp_name);
        return -1;
    }
    Py_XSETREF(as_function(self)->dict, Py_NewRef(value));
    return 0;
}

#define PELORKIT_OFFSET(field) offsetof(FunctionObject, field)

PyGetSetDef function_getset[] = {
    {"__name__", get_object<PELORKIT_OFFSET(name)>, set_text<PELORKIT_OFFSET(name)>, nullptr,
     const_cast<char *>("__name__")},
    {"__qualname__", get_object<PELORKIT_OFFSET(qualname)>, set_text<PELORKIT_OFFSET(qualname)>,
     nullptr, const_cast<char *>("__qualname__")},
    {"__module__", get_object<PELORKIT_OFFSET(module)>, set_any<PELORKIT_OFFSET(module)>, nullptr,
     nullptr},
    {"__doc__", get_object<PELORKIT_OFFSET(doc)>, set_any<PELORKIT_OFFSET(doc)>, nullptr, nullptr},
    {"__defaults__", get_object<PELORKIT_OFFSET(defaults)>, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_object<PELORKIT_OFFSET(kwdefaults)>, set_kwdefaults, nullptr, nullptr},
    {"__globals__", get_object<PELORKIT_OFFSET(globals)>, nullptr, nullptr, nullptr},
    {"__annotations__", get_object<PELORKIT_OFFSET(annotations)>, set_annotations, nullptr,
     nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, PELORKIT_OFFSET(vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, PELORKIT_OFFSET(dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, PELORKIT_OFFSET(weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

#undef PELORKIT_OFFSET

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

bool is_own_function(py::handle function, Impl impl) {
    return Py_TYPE(function.ptr())->tp_dealloc == function_dealloc &&
           as_function(function.ptr())->impl == impl;
}

PyObject *function_globals(py::handle function) {
    return as_function(function.ptr())->globals;
}

PyTypeObject *make_function_type(PyObject *module) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
        {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
        {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
        {Py_tp_getset, function_getset},
        {Py_tp_members, function_members},
        {Py_tp_methods, function_methods},
        {0, nullptr},
    };
    // CPython copies the name into the type (since 3.11), so any number of
    // modules can each make one.
    const std::string name = std::string(PyModule_GetName(module)) + ".function";
    PyType_Spec type_spec = {name.c_str(), static_cast<int>(sizeof(FunctionObject)), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                 Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                                 Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             slots};
    PyObject *type = PyType_FromModuleAndSpec(module, &type_spec, nullptr);
    if (type == nullptr)
        throw py::error_already_set();
    return reinterpret_cast<PyTypeObject *>(type);
}

py::object make_function(PyTypeObject *type, PyObject *globals, const FunctionSpec &entry) {
    std::string signature = entry.signature;
    // "str ss: str = None": a declared C-level type in front of the name,
    // taken out before the text goes to the parser.
    py::module_ builtins = py::module_::import("builtins");
    py::module_ re = py::module_::import("re");
    const py::str typed(R"(([A-Za-z_]\w*) ([A-Za-z_]\w*)(\s*[:=,)]))");
    const py::object ascii = re.attr("ASCII");
    py::dict exact_by_name;
    for (py::handle m : re.attr("finditer")(typed, signature, ascii))
        exact_by_name[m.attr("group")(2)] = builtins.attr(m.attr("group")(1));
    py::str parsable = re.attr("sub")(typed, R"(\2\3)", signature, py::arg("flags") = ascii);
    py::module_ ast = py::module_::import("ast");
    py::object tree = ast.attr("parse")(py::str("def {}: pass").format(parsable));
    py::object def = tree.attr("body")[py::int_(0)];
    py::object arguments = def.attr("args");
    py::list args = arguments.attr("args");
    if (py::len(arguments.attr("kwonlyargs")) != 0 || !is_none(arguments.attr("vararg")) ||
        !is_none(arguments.attr("kwarg")) || py::len(arguments.attr("posonlyargs")) != 0)
        throw std::logic_error("unsupported signature (only plain parameters bind): " + signature);

    py::list params;
    py::list exact;
    py::dict annotations;
    for (py::handle a : args) {
        py::str name = py::reinterpret_steal<py::str>(
            PyUnicode_InternFromString(py::cast<std::string>(a.attr("arg")).c_str()));
        params.append(name);
        exact.append(exact_by_name.contains(name) ? py::object(exact_by_name[name]) : py::none());
        py::object annotation = a.attr("annotation");
        if (!is_none(annotation))
            annotations[name] = builtins.attr(annotation.attr("id"));
    }
    py::list defaults;
    for (py::handle d : arguments.attr("defaults"))
        defaults.append(ast.attr("literal_eval")(d));

    std::string doc = signature;
    if (entry.doc_body != nullptr)
        doc += std::string("\n\n") + entry.doc_body;

    py::str fname = def.attr("name");
    py::object doc_text = make_str(doc);
    py::object defaults_tuple = defaults.empty() ? py::object() : py::object(py::tuple(defaults));
    py::object module_name =
        py::reinterpret_borrow<py::object>(PyDict_GetItemString(globals, "__name__"));

    py::tuple params_tuple(params);
    py::tuple exact_tuple(exact);

    auto *f = PyObject_GC_New(FunctionObject, type);
    if (f == nullptr)
        throw py::error_already_set();
    f->vectorcall = function_vectorcall;
    f->name = fname.release().ptr();
    f->qualname = Py_NewRef(f->name);
    f->module = module_name.release().ptr();
    f->doc = doc_text.release().ptr();
    f->defaults = defaults_tuple.release().ptr();
    f->kwdefaults = nullptr;
    f->dict = nullptr;
    f->globals = Py_NewRef(globals);
    f->params = params_tuple.release().ptr();
    f->annotations = annotations.release().ptr();
    f->exact_types = exact_tuple.release().ptr();
    f->weakreflist = nullptr;
    f->impl = entry.impl;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(f));
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(f));
}

} // namespace pelorkit
