// Label helpers for plots: wrapping long labels at blanks and picking one
// panel out of a grid of subplots. The abbreviation tables live in
// abbreviations.cpp.
#include "pelorkit/python.hpp"

#include "functions.hpp"
#include "glue/names.hpp"
#include "glue/pyops.hpp"

#include <climits>
#include <vector>

namespace pelorkit::analyka {
namespace {

using pyops::holds;
using pyops::steal;

const Name floor_name{"floor"};

// `width > limit` for a width of characters and whatever limit was given:
// machine integers for an int limit, Python's comparison otherwise.
class WidthLimit {
public:
    explicit WidthLimit(py::handle limit) : limit_(limit) {
        if (!PyLong_Check(limit.ptr()))
            return;
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(limit.ptr(), &overflow);
        if (value == -1 && PyErr_Occurred())
            throw py::error_already_set();
        native_ = true;
        value_ = overflow > 0 ? LLONG_MAX : overflow < 0 ? LLONG_MIN : value;
    }

    bool exceeded_by(Py_ssize_t width) const {
        if (native_)
            return static_cast<long long>(width) > value_;
        return holds(py::int_(width), limit_, Py_GT);
    }

private:
    py::handle limit_;
    bool native_ = false;
    long long value_ = 0;
};

// Where the lines of `s` start after the first: a line is broken after the
// blank before a word when the line, counted up to that word's end, would be
// longer than the limit. The end marker is the index of the last character,
// so the last line may hold one character more than the limit.
std::vector<Py_ssize_t> break_positions(py::handle s, const WidthLimit &limit) {
    if (PyUnicode_READY(s.ptr()) < 0)
        throw py::error_already_set();
    const int kind = PyUnicode_KIND(s.ptr());
    const void *data = PyUnicode_DATA(s.ptr());
    const Py_ssize_t length = PyUnicode_GET_LENGTH(s.ptr());
    std::vector<Py_ssize_t> positions;
    for (Py_ssize_t i = 0; i < length; ++i)
        if (PyUnicode_READ(kind, data, i) == ' ')
            positions.push_back(i);
    positions.push_back(length - 1);

    std::vector<Py_ssize_t> breaks;
    Py_ssize_t line_start = 0;
    for (std::size_t j = 1; j < positions.size(); ++j) {
        if (limit.exceeded_by(positions[j] - line_start)) {
            line_start = positions[j - 1] + 1;
            breaks.push_back(line_start);
        }
    }
    return breaks;
}

} // namespace

py::object split_text(const Call &call) {
    py::handle s = call.arg(0);
    const WidthLimit limit(call.arg(1));
    const Py_ssize_t length = static_cast<Py_ssize_t>(py::len(s));
    if (!limit.exceeded_by(length))
        return py::reinterpret_borrow<py::object>(s);
    if (!PyUnicode_Check(s.ptr())) {
        PyErr_Format(PyExc_TypeError, "split_text() expects a str, not '%.200s'",
                     Py_TYPE(s.ptr())->tp_name);
        throw py::error_already_set();
    }

    const std::vector<Py_ssize_t> breaks = break_positions(s, limit);
    if (breaks.empty())
        return py::reinterpret_borrow<py::object>(s);
    py::list lines;
    Py_ssize_t start = 0;
    for (Py_ssize_t end : breaks) {
        lines.append(steal(PyUnicode_Substring(s.ptr(), start, end)));
        start = end;
    }
    lines.append(steal(PyUnicode_Substring(s.ptr(), start, length)));
    return py::str("\n").attr("join")(lines);
}

py::object get_axes(const Call &call) {
    py::handle axes = call.arg(0);
    py::handle nr = call.arg(1);
    py::handle nc = call.arg(2);
    py::handle j = call.arg(3);
    if (!holds(nr, py::int_(1), Py_GT))
        return axes[j];
    py::object quotient = steal(PyNumber_TrueDivide(j.ptr(), nc.ptr()));
    py::object row = steal(PyNumber_Long(call.global(np_name).attr(floor_name)(quotient).ptr()));
    py::object column = steal(PyNumber_Remainder(j.ptr(), nc.ptr()));
    return axes[row][column];
}

} // namespace pelorkit::analyka
