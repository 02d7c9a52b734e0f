// Small helpers shared by the modules: interned names, name lookup the way a
// Python function does it, taking ownership of C API results, printing one
// line, truthiness, and running native loops without the interpreter lock.
#pragma once

#include "pelorkit/python.hpp"

#include <exception>
#include <new>
#include <string_view>
#include <utility>

namespace pelorkit {

// An interned string created on first use and kept for the process lifetime.
class Name {
public:
    // Only keeps the pointer: the globals of this type cannot throw at load.
    constexpr explicit Name(const char *text) noexcept : text_(text) {}
    PyObject *get() const {
        if (obj_ == nullptr) {
            obj_ = PyUnicode_InternFromString(text_);
            if (obj_ == nullptr)
                throw py::error_already_set();
        }
        return obj_;
    }
    const char *text() const { return text_; }
    operator py::handle() const { return get(); }

private:
    const char *text_;
    mutable PyObject *obj_ = nullptr;
};

// Looks a name up as a module-level function body would: the module namespace
// first, then the builtins; NameError when neither has it.
inline py::object lookup_global(PyObject *globals, const Name &name) {
    PyObject *value = PyDict_GetItemWithError(globals, name.get());
    if (value == nullptr && !PyErr_Occurred()) {
        PyObject *builtins = PyEval_GetBuiltins();
        if (builtins != nullptr)
            value = PyDict_GetItemWithError(builtins, name.get());
    }
    if (value == nullptr) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name.text());
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

// Called inside a catch block: sets the exception in flight as the Python error
// the caller sees (a Python exception unchanged, MemoryError for bad_alloc,
// RuntimeError for any other C++ exception).
inline void restore_current_exception() {
    try {
        throw;
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (py::builtin_exception &e) {
        e.set_error();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

// Takes ownership of a result of the C API; nullptr means an error is set.
inline py::object steal(PyObject *obj) {
    if (obj == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(obj);
}

inline bool truthy(py::handle obj) {
    int result = PyObject_IsTrue(obj.ptr());
    if (result < 0)
        throw py::error_already_set();
    return result != 0;
}

inline bool is_none(py::handle obj) {
    return obj.ptr() == Py_None;
}

inline py::str make_str(std::string_view text) {
    PyObject *obj = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (obj == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(obj);
}

// Prints one message line with whatever `print` names for this module.
inline void print_line(PyObject *globals, py::handle text) {
    static const Name print_name{"print"};
    lookup_global(globals, print_name)(text);
}

inline void print_line(PyObject *globals, std::string_view text) {
    print_line(globals, make_str(text));
}

// The lock is released for the lifetime of the object; poll() takes it back
// for a moment to let Ctrl-C through.
class GilReleased {
public:
    GilReleased() : state_(PyEval_SaveThread()) {}
    ~GilReleased() { PyEval_RestoreThread(state_); }
    GilReleased(const GilReleased &) = delete;
    GilReleased &operator=(const GilReleased &) = delete;

    bool poll() {
        PyEval_RestoreThread(state_);
        bool interrupted = PyErr_CheckSignals() != 0;
        state_ = PyEval_SaveThread();
        return interrupted;
    }
    static bool poll_callback(void *self) { return static_cast<GilReleased *>(self)->poll(); }

private:
    PyThreadState *state_;
};

// Runs `body(poll)` without the lock. When the poll saw a pending signal the
// handler's exception (normally KeyboardInterrupt) is raised here, after the
// lock is back, and whatever the body produced is dropped.
template <class Body> auto without_gil(Body &&body) {
    bool interrupted = false;
    auto run = [&] {
        GilReleased released;
        struct Poll {
            GilReleased *gil;
            bool *flag;
            static bool call(void *ctx) {
                auto *self = static_cast<Poll *>(ctx);
                if (!*self->flag)
                    *self->flag = self->gil->poll();
                return *self->flag;
            }
        } poll{&released, &interrupted};
        return std::forward<Body>(body)(&Poll::call, static_cast<void *>(&poll));
    };
    if constexpr (std::is_void_v<decltype(run())>) {
        run();
        if (interrupted)
            throw py::error_already_set();
    } else {
        auto result = run();
        if (interrupted)
            throw py::error_already_set();
        return result;
    }
}

} // namespace pelorkit
