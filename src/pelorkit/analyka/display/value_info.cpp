// One-line summaries of the values shown in the structure display: frames
// (lazy ones too) by shape and columns, array-likes by shape and dtype (short ones by their own
// text), dictionaries by type and, at the depth limit, their keys, short
// strings quoted, numbers and None by their text, anything else by type name.
#include "pelorkit/python.hpp"

#include "functions.hpp"
#include "glue/lazy_values.hpp"
#include "glue/names.hpp"
#include "glue/pyops.hpp"

namespace pelorkit::analyka {

const char *const kGetValueInfoDoc = "Helper to format the value's type/shape/info for printing.";

namespace {

using namespace pyops;

const Name open_paren{"("};
const Name close_paren{")"};
const Name quote{"'"};
const Name comma_blank{", "};
const Name frame_head{"DataFrame "};
const Name cut_columns_head{", cols=["};
const Name cut_columns_tail{" ])"};
const Name columns_head{", cols="};
const Name array_head{"array (shape="};
const Name array_dtype{", dtype="};
const Name dict_text{"(dict)"};
const Name keys_head{" Keys=["};
const Name cut_keys_tail{", ... ]"};
const Name keys_tail{"]"};
const Name empty_at_limit{" (empty dictionary at max depth)"};
const Name str_text{"(str)"};
const Name none_text{"None"};

// A string longer than this is summarised by its type only.
constexpr Py_ssize_t kMaxQuotedLength = 79;

// sequence[:stop], with Python's slicing of whatever `stop` is.
py::object head_of(py::handle sequence, py::handle stop) {
    return steal(PyObject_GetItem(sequence.ptr(), slice_of(py::handle(), stop).ptr()));
}

// The text of each item, joined by ", ". Column names and keys that are not
// text (integers, tuples) are shown through str() like everything else.
py::object joined_texts(py::handle items) {
    py::list texts;
    for (py::handle item : items)
        texts.append(text_of(item));
    return steal(PyUnicode_Join(comma_blank.get(), texts.ptr()));
}

bool longer_than(py::handle sequence, py::handle limit) {
    return holds(py::int_(py::len(sequence)), limit, Py_GT);
}

py::object frame_info(py::handle frame, py::handle n_to_show) {
    py::object columns = columns_in_memory(frame);
    py::object shape = text_of(shape_in_memory(frame));
    if (longer_than(columns, n_to_show)) {
        py::list shown = head_of(columns, n_to_show);
        shown.append(text(ellipsis_text));
        return concat({frame_head, shape, cut_columns_head, joined_texts(shown), cut_columns_tail});
    }
    return concat({frame_head, shape, columns_head, text_of(columns), close_paren});
}

py::object array_info(py::handle value, py::handle shape, py::handle dtype) {
    Py_ssize_t rank = py::len(shape);
    if (rank == 0)
        return text_of(value);
    if (rank == 1 && holds(shape[py::int_(0)], py::int_(5), Py_LT))
        return text_of(value);
    return concat({array_head, text_of(shape), array_dtype, text_of(dtype), close_paren});
}

py::object dict_info(py::handle dict, py::handle level_of_value, py::handle max_depth,
                     py::handle n_to_show) {
    if (is_none(level_of_value) || !holds(level_of_value, max_depth, Py_GE))
        return text(dict_text);
    py::list keys = as_list(dict.attr(keys_name)());
    if (keys.empty())
        return add(dict_text, empty_at_limit);
    const bool cut = longer_than(keys, n_to_show);
    py::object shown = cut ? head_of(keys, n_to_show) : py::object(keys);
    return concat(
        {dict_text, keys_head, joined_texts(shown), text(cut ? cut_keys_tail : keys_tail)});
}

} // namespace

py::object get_value_info(const Call &call) {
    py::handle value = call.arg(0);
    py::handle key_name = call.arg(1);
    // call.arg(2), is_top_level_anndata_component, does not change the summary.
    py::handle level_of_value = call.arg(3);
    py::handle max_depth = call.arg(4);
    py::handle n_to_show = call.arg(5);
    py::handle limited_keys = call.arg(6);

    if (truthy(key_name) && contains(limited_keys, key_name))
        return py::str("");

    // A lazy obs or var (anndata's read_lazy) is summarised as the frame it
    // loads into, from its shape and column names alone.
    if (is_instance(value, call.global(pd_name).attr(DataFrame_name)) || is_lazy_frame(value))
        return frame_info(value, n_to_show);

    if (py::object shape = attribute_if_present(value, shape_name)) {
        if (py::object dtype = attribute_if_present(value, dtype_name))
            return array_info(value, shape, dtype);
    }

    if (is_instance(value, &PyDict_Type))
        return dict_info(value, level_of_value, max_depth, n_to_show);

    if (is_instance(value, &PyUnicode_Type)) {
        if (py::len(value) > kMaxQuotedLength)
            return text(str_text);
        return concat({quote, value, quote});
    }

    if (is_instance(value, &PyLong_Type) || is_instance(value, &PyFloat_Type))
        return text_of(value);

    if (is_none(value))
        return text(none_text);

    return concat({open_paren, type_name(value), close_paren});
}

} // namespace pelorkit::analyka
