// Glue shared by the cell-cell interaction functions: buffers, sequence items
// and the id space.
#include "pelorkit/python.hpp"

#include "cci_ids.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <utility>

namespace pelorkit::analyka::cci {
namespace {

static_assert(std::endian::native == std::endian::little,
              "buffer formats are read as little-endian");

const Name values_name{"values"};
const Name keys_name{"keys"};
const Name iloc_name{"iloc"};
const Name astype_name{"astype"};
const Name empty_name{"empty"};
const Name asarray_name{"asarray"};

// The struct-module item code of a buffer without its native byte-order mark.
char item_code(const char *format) {
    if (format == nullptr)
        return 'B';
    if (format[0] == '@' || format[0] == '=' || format[0] == '<')
        ++format;
    return format[0] != '\0' && format[1] == '\0' ? format[0] : '\0';
}

bool item_matches(char kind, char code, Py_ssize_t itemsize) {
    switch (kind) {
    case 'd':
        return code == 'd' && itemsize == 8;
    case '?':
        return code == '?' && itemsize == 1;
    case 'q':
        return (code == 'q' || code == 'l' || code == 'n') && itemsize == 8;
    case 'O':
        return code == 'O' && itemsize == static_cast<Py_ssize_t>(sizeof(PyObject *));
    default:
        return false;
    }
}

} // namespace

void check_signals() {
    if (PyErr_CheckSignals() < 0)
        throw py::error_already_set();
}

Buffer::Buffer(Buffer &&other) noexcept : view_(other.view_), held_(other.held_) {
    other.held_ = false;
}

Buffer &Buffer::operator=(Buffer &&other) noexcept {
    if (this != &other) {
        release();
        view_ = other.view_;
        held_ = std::exchange(other.held_, false);
    }
    return *this;
}

void Buffer::release() {
    if (held_) {
        PyBuffer_Release(&view_);
        held_ = false;
    }
}

bool Buffer::acquire(py::handle obj, char kind, int ndim, bool writable) {
    release();
    int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;
    if (writable)
        flags |= PyBUF_WRITABLE;
    if (!PyObject_CheckBuffer(obj.ptr()))
        return false;
    if (PyObject_GetBuffer(obj.ptr(), &view_, flags) < 0) {
        PyErr_Clear();
        return false;
    }
    held_ = true;
    if (view_.ndim != ndim || !item_matches(kind, item_code(view_.format), view_.itemsize)) {
        release();
        return false;
    }
    return true;
}

ObjectItems::ObjectItems(py::handle values, bool owned) {
    if (!owned && buffer_.acquire(values, 'O')) {
        owner_ = py::reinterpret_borrow<py::object>(values);
        items_ = buffer_.data<PyObject *const>();
        size_ = buffer_.size();
        return;
    }
    if (!owned && PyList_CheckExact(values.ptr()))
        owner_ = py::reinterpret_borrow<py::object>(values);
    else
        owner_ = py::reinterpret_steal<py::object>(PySequence_List(values.ptr()));
    if (!owner_)
        throw py::error_already_set();
    items_ = PySequence_Fast_ITEMS(owner_.ptr());
    size_ = PyList_GET_SIZE(owner_.ptr());
}

bool utf8_of(PyObject *obj, std::string_view &text) {
    if (!PyUnicode_CheckExact(obj))
        return false;
    if (PyUnicode_IS_COMPACT_ASCII(obj)) {
        text = {static_cast<const char *>(PyUnicode_DATA(obj)),
                static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj))};
        return true;
    }
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return false;
    }
    text = {data, static_cast<std::size_t>(size)};
    return true;
}

IdSpace::IdSpace() = default;
IdSpace::~IdSpace() = default;

std::size_t IdSpace::add(py::handle values) {
    columns_.push_back(py::reinterpret_borrow<py::object>(values));
    return columns_.size() - 1;
}

void IdSpace::number() {
    if (!number_by_text())
        number_by_object();
}

bool IdSpace::number_by_text() {
    texts_ = std::make_unique<kernels::TextCodes>();
    codes_.assign(columns_.size(), {});
    firsts_.clear();
    for (std::size_t c = 0; c < columns_.size(); ++c) {
        ObjectItems column(columns_[c]);
        const auto items = column.items();
        std::vector<Code> &codes = codes_[c];
        codes.resize(items.size());
        const bool all_text = consume_texts(items, [&](std::size_t start, auto texts) {
            const std::size_t known = texts_->size();
            run_released([&](kernels::InterruptPoll poll) {
                return texts_->intern(codes.data() + start, texts, poll);
            });
            // New codes first appear in increasing order: keep their items.
            auto next = static_cast<Code>(known);
            for (std::size_t i = 0;
                 i < texts.size() && texts_->size() > static_cast<std::size_t>(next); ++i) {
                if (codes[start + i] == next) {
                    firsts_.push_back(py::reinterpret_borrow<py::object>(items[start + i]));
                    ++next;
                }
            }
        });
        if (!all_text)
            return false;
    }
    return true;
}

void IdSpace::number_by_object() {
    texts_.reset();
    codes_.assign(columns_.size(), {});
    firsts_.clear();
    py::dict numbers;
    for (std::size_t c = 0; c < columns_.size(); ++c) {
        ObjectItems column(columns_[c], /*owned=*/true);
        const auto items = column.items();
        std::vector<Code> &codes = codes_[c];
        codes.resize(items.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            PyObject *found = PyDict_GetItemWithError(numbers.ptr(), items[i]);
            if (found != nullptr) {
                codes[i] = static_cast<Code>(PyLong_AsLong(found));
            } else {
                if (PyErr_Occurred())
                    throw py::error_already_set();
                const auto code = static_cast<Py_ssize_t>(firsts_.size());
                if (code >= INT32_MAX)
                    throw std::length_error("too many distinct ids");
                py::object number = py::reinterpret_steal<py::object>(PyLong_FromSsize_t(code));
                if (!number || PyDict_SetItem(numbers.ptr(), items[i], number.ptr()) < 0)
                    throw py::error_already_set();
                firsts_.push_back(py::reinterpret_borrow<py::object>(items[i]));
                codes[i] = static_cast<Code>(code);
            }
            if ((i & (kernels::kPollStride - 1)) == kernels::kPollStride - 1)
                check_signals();
        }
    }
}

std::vector<std::vector<std::uint8_t>> common_rows(const std::vector<py::object> &indexes) {
    std::vector<std::vector<std::uint8_t>> common(indexes.size());
    kernels::CommonTexts texts;
    bool all_text = true;
    for (std::size_t c = 0; c < indexes.size() && all_text; ++c) {
        ObjectItems column(indexes[c]);
        texts.start_column();
        all_text = consume_texts(column.items(), [&](std::size_t, auto chunk) {
            run_released([&](kernels::InterruptPoll poll) { return texts.add_rows(chunk, poll); });
        });
        texts.finish_column();
    }
    if (all_text) {
        for (std::size_t c = 0; c < indexes.size(); ++c) {
            common[c].resize(texts.rows(c));
            run_released([&](kernels::InterruptPoll poll) {
                return texts.flag_common(common[c].data(), c, poll);
            });
        }
        return common;
    }
    // Ids of other types: Python's set semantics through the id space.
    IdSpace ids;
    for (const py::object &index : indexes)
        ids.add(index);
    ids.number();
    std::vector<std::int32_t> holders(ids.size(), 0);
    std::vector<std::int32_t> last(ids.size(), -1);
    for (std::size_t c = 0; c < indexes.size(); ++c)
        run_released([&](kernels::InterruptPoll poll) {
            return kernels::count_holding_columns(holders, last, ids.codes(c),
                                                  static_cast<std::int32_t>(c), poll);
        });
    const auto everywhere = static_cast<std::int32_t>(indexes.size());
    for (std::size_t c = 0; c < indexes.size(); ++c) {
        const auto codes = ids.codes(c);
        common[c].resize(codes.size());
        for (std::size_t i = 0; i < codes.size(); ++i)
            common[c][i] = holders[static_cast<std::size_t>(codes[i])] == everywhere ? 1 : 0;
    }
    return common;
}

py::object labels_of(py::handle np, const IdSpace &ids, std::span<const Code> codes) {
    if (ids.texts() != nullptr) {
        std::vector<PyObject *> items(codes.size());
        for (std::size_t i = 0; i < codes.size(); ++i)
            items[i] = ids.object(codes[i]).ptr();
        return object_array(np, items);
    }
    py::list labels;
    for (const Code code : codes)
        labels.append(ids.object(code));
    return labels;
}

bool is_own_function(py::handle function, Impl impl) {
    PyTypeObject *type = Py_TYPE(function.ptr());
    return type->tp_dealloc == detail::function_dealloc &&
           detail::as_function(function.ptr())->impl == impl;
}

py::list keys_of(py::handle mapping) {
    py::object keys = mapping.attr(keys_name)();
    PyObject *list = PySequence_List(keys.ptr());
    if (list == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::list>(list);
}

bool read_mask(Buffer &mask, py::handle b, Py_ssize_t rows) {
    PyObject *values = PyObject_GetAttr(b.ptr(), values_name.get());
    if (values == nullptr) {
        PyErr_Clear();
        return false;
    }
    py::object held = py::reinterpret_steal<py::object>(values);
    return mask.acquire(held, '?') && mask.size() == rows;
}

py::object new_array(py::handle np, Py_ssize_t count, const char *dtype, Buffer &buffer) {
    py::object array = np.attr(empty_name)(count, py::str(dtype));
    const char kind = std::strcmp(dtype, "float64") == 0 ? 'd'
                      : std::strcmp(dtype, "bool") == 0  ? '?'
                                                         : 'q';
    if (!buffer.acquire(array, kind, 1, /*writable=*/true))
        throw std::logic_error("numpy.empty gave an unexpected buffer");
    return array;
}

py::object object_array(py::handle np, std::span<PyObject *const> items) {
    py::object array = np.attr(empty_name)(items.size(), py::str("object"));
    Buffer buffer;
    if (!buffer.acquire(array, 'O', 1, /*writable=*/true))
        throw std::logic_error("numpy.empty gave an unexpected buffer");
    PyObject **slots = buffer.data<PyObject *>();
    for (std::size_t i = 0; i < items.size(); ++i)
        Py_SETREF(slots[i], Py_NewRef(items[i]));
    return array;
}

std::vector<double> floats_at(py::handle np, py::handle to_float, py::handle column,
                              std::span<const std::int64_t> rows) {
    std::vector<double> out(rows.size());
    Buffer buffer;
    py::object values = column.attr(values_name);
    if (buffer.acquire(values, 'd')) {
        const double *data = buffer.data<const double>();
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (rows[i] >= buffer.size())
                throw py::index_error("a table changed while it was read");
            out[i] = data[rows[i]];
        }
        return out;
    }
    Buffer positions;
    py::object where = new_array(np, static_cast<Py_ssize_t>(rows.size()), "intp", positions);
    std::copy(rows.begin(), rows.end(), positions.data<std::int64_t>());
    positions = Buffer();
    py::object converted = column.attr(iloc_name)[where].attr(astype_name)(to_float);
    py::object floats = np.attr(asarray_name)(converted, py::str("float64"));
    if (!buffer.acquire(floats, 'd') || buffer.size() != static_cast<Py_ssize_t>(rows.size()))
        throw py::value_error("the column did not convert to one float per row");
    std::copy_n(buffer.data<const double>(), rows.size(), out.begin());
    return out;
}

py::object compare(py::handle a, py::handle b, int op) {
    PyObject *result = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (result == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

py::object both(py::handle a, py::handle b) {
    PyObject *result = PyNumber_And(a.ptr(), b.ptr());
    if (result == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

py::object either(py::handle a, py::handle b) {
    PyObject *result = PyNumber_Or(a.ptr(), b.ptr());
    if (result == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

Selection::Selection(IdSpace &space, py::handle values, py::handle b)
    : index_column_(space.add(values)) {
    const Py_ssize_t rows = PyObject_Length(values.ptr());
    if (rows < 0)
        throw py::error_already_set();
    by_mask_ = read_mask(mask_, b, rows);
    if (!by_mask_) {
        // Anything but a plain mask: let numpy index, with its own errors.
        PyObject *selected = PyObject_GetItem(values.ptr(), b.ptr());
        if (selected == nullptr)
            throw py::error_already_set();
        selected_column_ = space.add(py::reinterpret_steal<py::object>(selected));
    }
}

std::vector<Code> Selection::codes(const IdSpace &space) const {
    if (!by_mask_) {
        const auto codes = space.codes(selected_column_);
        return {codes.begin(), codes.end()};
    }
    const auto codes = space.codes(index_column_);
    if (static_cast<Py_ssize_t>(codes.size()) != mask_.size())
        throw py::index_error("a table changed while it was read");
    const auto *keep = mask_.data<const std::uint8_t>();
    std::vector<Code> kept;
    for (std::size_t i = 0; i < codes.size(); ++i)
        if (keep[i] != 0)
            kept.push_back(codes[i]);
    return kept;
}

void raise_duplicate_labels() {
    PyErr_SetString(PyExc_ValueError, "cannot reindex on an axis with duplicate labels");
    throw py::error_already_set();
}

} // namespace pelorkit::analyka::cci
