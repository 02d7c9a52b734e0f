// Sample-to-condition maps: each distinct sample, in sorted order, mapped to
// the condition of its first record.
#include "pelorkit/python.hpp"

#include "functions.hpp"
#include "glue/names.hpp"
#include "glue/pyops.hpp"

namespace pelorkit::analyka {
namespace {

using namespace pyops;

const Name get_sample_to_group_dict_name{"get_sample_to_group_dict"};

// conditions[samples == s][0], element-wise as numpy does it; used where the
// fast lookup cannot be trusted (odd shapes, lengths that differ, values not
// equal to themselves) so the result or the error is numpy's own.
py::object first_condition_by_mask(py::handle samples, py::handle conditions, py::handle s) {
    return conditions[eq(samples, s)][py::int_(0)];
}

bool one_dimensional(py::handle array) {
    return py::len(array.attr("shape")) == 1;
}

// Sorted distinct values with the index of their first occurrence, by numpy's
// sort, for dtypes whose numpy order equals Python's order of the elements.
bool unique_with_first_index(py::handle np, py::handle samples, py::object &keys,
                             py::object &first) {
    if (!one_dimensional(samples))
        return false;
    std::string kind = py::str(samples.attr("dtype").attr("kind"));
    if (kind == "f") {
        if (truthy(np.attr("isnan")(samples).attr("any")()))
            return false;
    } else if (kind != "U" && kind != "S" && kind != "i" && kind != "u" && kind != "b") {
        return false;
    }
    py::tuple result = np.attr("unique")(samples, py::arg("return_index") = true);
    keys = result[0];
    first = result[1];
    return true;
}

} // namespace

py::object get_sample_to_group_dict(const Call &call) {
    py::object np = call.global(np_name);
    py::object samples = np.attr("array")(call.arg(0));
    py::object conditions = np.attr("array")(call.arg(1));
    const bool aligned = one_dimensional(samples) && one_dimensional(conditions) &&
                         py::len(samples) == py::len(conditions);

    py::dict result;
    py::object keys, first;
    if (aligned && unique_with_first_index(np, samples, keys, first)) {
        py::list key_list(keys);
        py::list values(conditions[first]);
        for (size_t i = 0; i < key_list.size(); ++i)
            result[key_list[i]] = values[i];
        return result;
    }

    // Any other input: distinct values through a set, sorted by Python's
    // ordering, first occurrences found in one pass.
    py::list records = as_list(samples);
    py::list slst = sorted_distinct(records);

    py::dict first_index;
    if (aligned) {
        for (size_t i = 0; i < records.size(); ++i) {
            py::int_ index(i);
            if (PyDict_SetDefault(first_index.ptr(), records[i].ptr(), index.ptr()) == nullptr)
                throw py::error_already_set();
        }
    }
    for (py::handle s : slst) {
        PyObject *index = aligned ? PyDict_GetItemWithError(first_index.ptr(), s.ptr()) : nullptr;
        if (index == nullptr && PyErr_Occurred())
            throw py::error_already_set();
        py::object condition;
        if (index != nullptr && holds(records[py::reinterpret_borrow<py::int_>(index)], s, Py_EQ))
            condition = conditions[py::reinterpret_borrow<py::object>(index)];
        else
            condition = first_condition_by_mask(samples, conditions, s);
        result[s] = condition;
    }
    return result;
}

py::object get_sample_to_group_map(const Call &call) {
    return call.global(get_sample_to_group_dict_name)(call.arg(0), call.arg(1));
}

} // namespace pelorkit::analyka
