// UTF-8 copies of str objects (see texts.hpp).
#include "pelorkit/python.hpp"

#include "glue/arrays.hpp"
#include "glue/messages.hpp"
#include "glue/names.hpp"
#include "glue/texts.hpp"

namespace pelorkit::readers {

Texts Texts::of(const Call &call, py::handle values) {
    Texts texts;
    // A pandas column as its objects, one per row whatever they hold (numpy
    // would make a list of equal-length lists two-dimensional), in one run of
    // memory: a column of a frame made from a 2-D array is a strided view.
    py::object np = call.global(np_name);
    py::object objects = py::hasattr(values, "to_numpy")
                             ? values.attr("to_numpy")(py::arg("dtype") = py::str("object"))
                             : py::reinterpret_borrow<py::object>(values);
    texts.objects_ = np.attr("ascontiguousarray")(objects, py::str("object"));
    if (py::cast<int>(texts.objects_.attr("ndim")) != 1)
        raise(PyExc_ValueError, "a column of names must be one-dimensional");
    ArrayView view;
    hold(view, texts.objects_, 'O');
    const std::size_t n = view.size();
    texts.offsets_.reserve(n + 1);
    PyObject *const *items = view.data<PyObject *>();
    for (std::size_t i = 0; i < n; ++i) {
        if (PyUnicode_Check(items[i])) {
            Py_ssize_t size = 0;
            const char *utf8 = PyUnicode_AsUTF8AndSize(items[i], &size);
            if (utf8 == nullptr)
                throw py::error_already_set();
            texts.data_.append(utf8, static_cast<std::size_t>(size));
        } else if (texts.first_other_ == kAllText) {
            texts.first_other_ = i;
        }
        texts.offsets_.push_back(static_cast<std::int64_t>(texts.data_.size()));
    }
    return texts;
}

Texts Texts::of(const Call &call, const kernels::TextTable &encoded) {
    Texts texts;
    const std::size_t bytes =
        encoded.size == 0
            ? 0
            : static_cast<std::size_t>(encoded.offsets[encoded.size] - encoded.offsets[0]);
    texts.data_.reserve(bytes);
    texts.offsets_.reserve(encoded.size + 1);
    for (std::size_t i = 0; i < encoded.size; ++i) {
        texts.data_.append(encoded[i]);
        texts.offsets_.push_back(static_cast<std::int64_t>(texts.data_.size()));
    }
    texts.objects_ = str_array(call, texts.view());
    return texts;
}

} // namespace pelorkit::readers
