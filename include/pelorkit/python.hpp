// The one gateway include of the extension code: Python.h first, as CPython
// requires, then pybind11's object API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <structmember.h>

#include <pybind11/pybind11.h>

namespace pelorkit {
namespace py = pybind11;
} // namespace pelorkit
