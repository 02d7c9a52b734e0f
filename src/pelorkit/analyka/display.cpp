// Tree-shaped text of AnnData objects, dictionaries and frames. The entry
// point draws the top level (the eight AnnData components, a dictionary
// header, a frame line or a type line); the recursive helper draws one mapping
// level and hands nested dictionaries back to the entry point, one level
// deeper. Both find each other, the summaries, `anndata` and `pd` through the
// module namespace at every call.
#include "pelorkit/python.hpp"

#include "functions.hpp"
#include "library_names.hpp"
#include "pyops.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace pelorkit::analyka {

const char *const kShowAnndataTreeDoc =
    "Prints a tree-like structure of an AnnData object or its components (dict, DataFrame),\n"
    "detailing their main components, with recursive exploration of nested\n"
    "dictionaries up to a specified depth. Recursion is limited for keys\n"
    "specified in `limited_keys`.\n"
    "\n"
    "Args:\n"
    "    obj: The AnnData object, dictionary, or pandas DataFrame to print.\n"
    "    max_depth (int): The maximum depth to recurse into nested dictionaries.\n"
    "    limited_keys (list): A list of keys whose dictionary values should not be recursed "
    "into.\n"
    "    _current_depth (int): Internal parameter for tracking current recursion depth.\n"
    "    _parent_prefix (str): Internal parameter for tracking indentation in tree structure.";

namespace {

using namespace pyops;

const Name AnnData_name{"AnnData"};
const Name DataFrame_name{"DataFrame"};
const Name get_value_info_name{"_get_value_info"};
const Name display_recursive_name{"_display_dict_or_dataframe_recursive"};
const Name show_anndata_tree_name{"show_anndata_tree"};
const Name n_obs_name{"n_obs"};
const Name n_vars_name{"n_vars"};
const Name shape_name{"shape"};
const Name columns_name{"columns"};
const Name tolist_name{"tolist"};
const Name keys_name{"keys"};
const Name ljust_name{"ljust"};

const Name branch{"├── "};
const Name last_branch{"└── "};
const Name branch_extension{"│    "};
const Name last_branch_extension{"     "};
const Name empty_level{"└── (empty)"};
const Name key_separator{": "};
const Name line_end{"\n"};
const Name nothing{""};
const Name anndata_head{"AnnData object with n_obs × n_vars = "};
const Name times{" × "};
const Name dict_head{"Dictionary Structure (top-level):"};
const Name frame_head{"DataFrame Structure (top-level): shape="};
const Name frame_columns{", columns="};
const Name ellipsis{"..."};
const Name type_head{"Object Type: "};
const Name info_head{"Value Info: "};

// Keys hidden when the caller names none: bulky tool results and logs.
constexpr std::array kHiddenByDefault = {
    "gene_to_band_map",
    "Celltype_marker_DB",
    "Pathways_DB",
    "cnv",
    "DEG_grouping_vars",
    "DEG_stat",
    "DEG_vs_ref_stat",
    "run summary",
    "log",
    "vornal_summary",
    "cnv_neighbors_info",
    "Cetra_summary",
    "lut_sample_to_cond",
    "analysis_parameters",
    "usr_param",
    "vornal_results",
    "Cetra_result",
};

// AnnData components in display order; those from obsm on are mappings whose
// contents are drawn.
constexpr std::array kComponents = {"X", "obs", "var", "obsm", "obsp", "varm", "varp", "uns"};
constexpr std::size_t kFirstExpanded = 3;

// Frames at the top show at most this many column names.
constexpr Py_ssize_t kTopColumnsShown = 3;

py::list default_hidden_keys() {
    py::list keys;
    for (const char *key : kHiddenByDefault)
        keys.append(py::str(key));
    return keys;
}

// The lowest stack address a tree level may start at on the calling thread,
// or 0 where the platform does not tell. A reserve stays free for whatever the
// deepest level calls (pandas, numpy, reprs): a quarter of the stack, at most
// 256 KiB.
std::uintptr_t stack_floor() {
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return 0;
    void *base = nullptr;
    std::size_t size = 0;
    const int failed = pthread_attr_getstack(&attr, &base, &size);
    pthread_attr_destroy(&attr);
    if (failed != 0 || base == nullptr)
        return 0;
    return reinterpret_cast<std::uintptr_t>(base) + std::min<std::size_t>(size / 4, 256 * 1024);
#else
    return 0;
#endif
}

bool stack_nearly_full() {
    thread_local const std::uintptr_t floor = stack_floor();
    return floor != 0 && reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < floor;
}

// The two tree functions call each other through Python calls that do not
// count against the interpreter's recursion limit on their own; this does,
// so a self-containing dictionary with a huge max_depth raises RecursionError
// instead of exhausting the C stack. A level takes kilobytes of C stack (the
// interpreter's own frames take none), so a raised recursion limit or a
// thread with a small stack also ends in RecursionError when the stack is
// nearly full.
class RecursionGuard {
public:
    RecursionGuard() {
        if (stack_nearly_full()) {
            PyErr_SetString(PyExc_RecursionError,
                            "maximum recursion depth exceeded while drawing a structure tree "
                            "(the thread's stack is nearly full)");
            throw py::error_already_set();
        }
        if (Py_EnterRecursiveCall(" while drawing a structure tree") != 0)
            throw py::error_already_set();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

// The accumulation text `ss`. Lines are gathered and joined once instead of
// copying the whole text per line; anything that is not an exact str is
// added with `+` at once, so its own errors surface as they would. Never
// `+=`: a mutable object passed as `ss` (a list) must not be extended.
class TextSink {
public:
    explicit TextSink(py::object start) : text_(std::move(start)) {}

    void append(py::object line) {
        if (PyUnicode_CheckExact(text_.ptr()) && PyUnicode_CheckExact(line.ptr())) {
            pending_.push_back(std::move(line));
            return;
        }
        flush();
        text_ = add(text_, line);
    }

    // The text so far, to hand to a callee that appends to it.
    py::object take() {
        flush();
        return text_;
    }

    // Continues from the text a callee returned.
    void reset(py::object text) {
        flush();
        text_ = std::move(text);
    }

private:
    void flush() {
        if (pending_.empty())
            return;
        py::list parts;
        parts.append(text_);
        for (py::object &line : pending_)
            parts.append(std::move(line));
        pending_.clear();
        text_ = steal(PyUnicode_Join(text(nothing).ptr(), parts.ptr()));
    }

    py::object text_;
    std::vector<py::object> pending_;
};

// The line of one visible mapping entry: prefix, connector, padded key, summary.
py::object entry_line(py::handle prefix, bool last, py::handle key, Py_ssize_t key_width,
                      py::handle info) {
    py::object shown = text_of(key);
    if (key_width > 0)
        shown = shown.attr(ljust_name)(key_width);
    return concat({prefix, last ? last_branch : branch, shown, key_separator, info, line_end});
}

// `ss` as returned by show_anndata_tree, held to the type the accumulation
// text has here: a str or None.
py::object checked_text(py::object result) {
    if (!is_none(result) && !PyUnicode_CheckExact(result.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str",
                     Py_TYPE(result.ptr())->tp_name);
        throw py::error_already_set();
    }
    return result;
}

} // namespace

py::object display_dict_or_dataframe_recursive(const Call &call) {
    const RecursionGuard guard;
    py::handle current_obj = call.arg(0);
    py::handle current_depth = call.arg(1);
    py::handle parent_prefix = call.arg(2);
    py::handle max_depth = call.arg(3);
    py::handle n_to_show = call.arg(4);
    py::handle limited_keys = call.arg(5);
    py::object ss =
        is_none(call.arg(6)) ? text(nothing) : py::reinterpret_borrow<py::object>(call.arg(6));

    if (holds(current_depth, max_depth, Py_GE))
        return ss;
    py::object keys_method = attribute_if_present(current_obj, keys_name);
    if (!keys_method)
        return ss;
    if (!truthy(current_obj))
        return add(ss, concat({parent_prefix, empty_level, line_end}));

    py::list keys = as_list(keys_method());
    const Py_ssize_t count = static_cast<Py_ssize_t>(keys.size());
    Py_ssize_t key_width = 0;
    for (py::handle key : keys)
        key_width = std::max(key_width, static_cast<Py_ssize_t>(py::len(text_of(key))));

    // An entry is drawn as the last one when every key after it is hidden.
    // Each key's membership is asked once, in key order, before the first
    // entry (where the first entry's own connector needs all of them).
    std::vector<char> hidden(static_cast<std::size_t>(count), 0);
    for (Py_ssize_t j = 1; j < count; ++j)
        hidden[j] = contains(limited_keys, keys[j]);
    std::vector<char> nothing_visible_after(static_cast<std::size_t>(count), 1);
    for (Py_ssize_t j = count - 2; j >= 0; --j)
        nothing_visible_after[j] = nothing_visible_after[j + 1] && hidden[j + 1];

    TextSink sink(ss);
    for (Py_ssize_t i = 0; i < count; ++i) {
        py::handle key = PyList_GET_ITEM(keys.ptr(), i);
        const bool last = nothing_visible_after[i];
        py::object value = steal(PyObject_GetItem(current_obj.ptr(), key.ptr()));
        py::object level = add(current_depth, py::int_(1));
        py::object info = call.global(get_value_info_name)(
            value, py::arg("key_name") = key, py::arg("level_of_value") = level,
            py::arg("max_depth") = max_depth, py::arg("n_to_show") = n_to_show,
            py::arg("limited_keys") = limited_keys);
        const bool is_hidden = i == 0 ? contains(limited_keys, key) : hidden[i];
        if (!is_hidden)
            sink.append(entry_line(parent_prefix, last, key, key_width, info));

        if (holds(level, max_depth, Py_LT) && !is_hidden &&
            (is_instance(value, &PyDict_Type) ||
             is_instance(value, call.global(pd_name).attr(DataFrame_name)))) {
            py::object show_tree = call.global(show_anndata_tree_name);
            py::object child_prefix =
                add(parent_prefix, last ? last_branch_extension : branch_extension);
            py::object below = show_tree(
                value, py::arg("max_depth") = max_depth, py::arg("limited_keys") = limited_keys,
                py::arg("_current_depth") = level, py::arg("_parent_prefix") = child_prefix,
                py::arg("n_to_show") = n_to_show, py::arg("ss") = sink.take());
            sink.reset(checked_text(std::move(below)));
        }
    }
    return sink.take();
}

py::object show_anndata_tree(const Call &call) {
    const RecursionGuard guard;
    py::handle obj = call.arg(0);
    py::handle max_depth = call.arg(1);
    py::handle n_to_show = call.arg(2);
    py::object limited_keys = is_none(call.arg(3))
                                  ? py::object(default_hidden_keys())
                                  : py::reinterpret_borrow<py::object>(call.arg(3));
    py::handle current_depth = call.arg(4);
    py::handle parent_prefix = call.arg(5);
    TextSink sink(is_none(call.arg(6)) ? text(nothing)
                                       : py::reinterpret_borrow<py::object>(call.arg(6)));

    const bool top = holds(current_depth, py::int_(0), Py_EQ);
    if (top && is_instance(obj, call.global(anndata_name).attr(AnnData_name))) {
        sink.append(concat({anndata_head, text_of(obj.attr(n_obs_name)), times,
                            text_of(obj.attr(n_vars_name)), line_end}));
        std::vector<py::object> components;
        for (const char *name : kComponents)
            components.push_back(obj.attr(name));
        for (std::size_t i = 0; i < kComponents.size(); ++i) {
            const bool last = i + 1 == kComponents.size();
            py::str key(kComponents[i]);
            py::object info = call.global(get_value_info_name)(
                components[i], py::arg("key_name") = key,
                py::arg("is_top_level_anndata_component") = true, py::arg("level_of_value") = 1,
                py::arg("max_depth") = max_depth, py::arg("n_to_show") = n_to_show,
                py::arg("limited_keys") = limited_keys);
            sink.append(concat(
                {parent_prefix, last ? last_branch : branch, key, key_separator, info, line_end}));
            if (i < kFirstExpanded)
                continue;
            py::object level = add(current_depth, py::int_(1));
            if (!holds(level, max_depth, Py_LT))
                continue;
            py::object draw_level = call.global(display_recursive_name);
            py::object child_prefix =
                add(parent_prefix, last ? last_branch_extension : branch_extension);
            sink.reset(
                draw_level(components[i], level, child_prefix, py::arg("max_depth") = max_depth,
                           py::arg("n_to_show") = n_to_show, py::arg("limited_keys") = limited_keys,
                           py::arg("ss") = sink.take()));
        }
    } else if (is_instance(obj, &PyDict_Type)) {
        if (top)
            sink.append(concat({dict_head, line_end}));
        py::object draw_level = call.global(display_recursive_name);
        sink.reset(draw_level(obj, current_depth, parent_prefix, py::arg("max_depth") = max_depth,
                              py::arg("n_to_show") = n_to_show,
                              py::arg("limited_keys") = limited_keys, py::arg("ss") = sink.take()));
    } else if (is_instance(obj, call.global(pd_name).attr(DataFrame_name))) {
        if (top) {
            py::object columns = obj.attr(columns_name).attr(tolist_name)();
            if (py::len(columns) > kTopColumnsShown) {
                py::list shown = steal(PySequence_GetSlice(columns.ptr(), 0, kTopColumnsShown));
                shown.append(text(ellipsis));
                columns = shown;
            }
            sink.append(concat({frame_head, text_of(obj.attr(shape_name)), frame_columns,
                                text_of(columns), line_end}));
        }
    } else if (top) {
        sink.append(concat({type_head, type_name(obj), line_end}));
        py::object info = call.global(get_value_info_name)(obj, py::arg("max_depth") = max_depth,
                                                           py::arg("n_to_show") = n_to_show,
                                                           py::arg("limited_keys") = limited_keys);
        sink.append(concat({info_head, info, line_end}));
    }
    return sink.take();
}

} // namespace pelorkit::analyka
