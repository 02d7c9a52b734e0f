// The id space of the cell-cell interaction functions.
#include "pelorkit/python.hpp"

#include "cci/id_space.hpp"
#include "kernels/code_sets.hpp"

#include <stdexcept>

namespace pelorkit::analyka::cci {

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

py::str decode_utf8(std::string_view text) {
    PyObject *obj =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    if (obj == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(obj);
}

IdSpace::IdSpace() = default;
IdSpace::~IdSpace() = default;

std::size_t IdSpace::add(py::handle values) {
    columns_.push_back(py::reinterpret_borrow<py::object>(values));
    return columns_.size() - 1;
}

void IdSpace::clear() {
    columns_.clear();
    codes_.clear();
    firsts_.clear();
    texts_.reset();
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
        const bool all_text =
            consume_texts(items, [&](std::size_t start, auto texts, auto objects) {
                const std::size_t known = texts_->size();
                run_released([&](kernels::InterruptPoll poll) {
                    return texts_->intern(codes.data() + start, texts, poll);
                });
                // New codes first appear in increasing order: keep their items.
                auto next = static_cast<Code>(known);
                for (std::size_t i = 0;
                     i < texts.size() && texts_->size() > static_cast<std::size_t>(next); ++i) {
                    if (codes[start + i] == next) {
                        firsts_.push_back(objects[i]);
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

std::vector<std::vector<std::uint8_t>> uncommon_rows(const std::vector<py::object> &indexes) {
    std::vector<std::vector<std::uint8_t>> uncommon(indexes.size());
    kernels::CommonTexts texts;
    bool all_text = true;
    for (std::size_t c = 0; c < indexes.size() && all_text; ++c) {
        ObjectItems column(indexes[c]);
        texts.start_column(column.items().size());
        all_text = consume_texts(column.items(), [&](std::size_t, auto chunk, auto) {
            run_released([&](kernels::InterruptPoll poll) { return texts.add_rows(chunk, poll); });
        });
        texts.finish_column();
    }
    if (all_text) {
        for (std::size_t c = 0; c < indexes.size(); ++c) {
            uncommon[c].resize(texts.rows(c));
            run_released([&](kernels::InterruptPoll poll) {
                return texts.flag_uncommon(uncommon[c].data(), c, poll);
            });
        }
        return uncommon;
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
        uncommon[c].resize(codes.size());
        for (std::size_t i = 0; i < codes.size(); ++i)
            uncommon[c][i] = holders[static_cast<std::size_t>(codes[i])] < everywhere ? 1 : 0;
    }
    return uncommon;
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
    if (codes.size() != mask_.size())
        throw py::index_error("a table changed while it was read");
    const auto *keep = mask_.data<const std::uint8_t>();
    std::vector<Code> kept;
    for (std::size_t i = 0; i < codes.size(); ++i)
        if (keep[i] != 0)
            kept.push_back(codes[i]);
    return kept;
}

} // namespace pelorkit::analyka::cci
