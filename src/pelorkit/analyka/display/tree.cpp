// Tree-shaped text of AnnData objects, dictionaries and frames. The entry
// point draws the top level (the eight AnnData components, a dictionary
// header, a frame line or a type line); the recursive helper draws one mapping
// level and hands nested dictionaries back to the entry point, one level
// deeper. Both find each other, the summaries, `anndata` and `pd` through the
// module namespace at every call.
#include "pelorkit/python.hpp"

#include "display/thread_stack.hpp"
#include "functions.hpp"
#include "glue/lazy_values.hpp"
#include "glue/names.hpp"
#include "glue/pyops.hpp"
#include "pelorkit/compiler.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

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

const Name get_value_info_name{"_get_value_info"};
const Name display_recursive_name{"_display_dict_or_dataframe_recursive"};
const Name show_anndata_tree_name{"show_anndata_tree"};
const Name n_obs_name{"n_obs"};
const Name n_vars_name{"n_vars"};
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
    const std::optional<StackExtent> stack = current_thread_stack();
    if (!stack)
        return 0;
    return stack->lowest + std::min<std::size_t>(stack->size / 4, std::size_t{256} * 1024);
}

bool stack_nearly_full() {
    thread_local const std::uintptr_t floor = stack_floor();
    return floor != 0 && reinterpret_cast<std::uintptr_t>(PELORKIT_FRAME_ADDRESS()) < floor;
}

// Python frames on the calling thread, counted as the interpreter's recursion
// limit counts them.
int python_frames() {
    int depth = 0;
    PyFrameObject *frame = PyEval_GetFrame();
    Py_XINCREF(frame);
    while (frame != nullptr) {
        ++depth;
        PyFrameObject *back = PyFrame_GetBack(frame);
        Py_DECREF(frame);
        frame = back;
    }
    return depth;
}

// Tree levels open on this thread, and the Python frames below the first.
struct TreeDepth {
    int levels = 0;
    int below = 0;
};
thread_local TreeDepth tree_depth;

[[noreturn]] void raise_too_deep(const char *why) {
    PyErr_Format(PyExc_RecursionError,
                 "maximum recursion depth exceeded while drawing a structure tree%s", why);
    throw py::error_already_set();
}

// The two tree functions call each other through calls the interpreter does
// not count as Python frames, and since 3.12 Py_EnterRecursiveCall counts
// against the C recursion limit (thousands of levels), not
// sys.getrecursionlimit(). Each level holds the text drawn so far, so memory
// grows with the cube of the depth: a self-containing dictionary with a huge
// max_depth must stop where the same functions written in Python would, so
// every level counts as one frame against sys.getrecursionlimit(). A level
// also takes kilobytes of C stack, so a thread with a small stack ends in
// RecursionError too when the stack is nearly full.
class RecursionGuard {
public:
    RecursionGuard() {
        if (stack_nearly_full())
            raise_too_deep(" (the thread's stack is nearly full)");
        if (tree_depth.levels == 0)
            tree_depth.below = python_frames();
        if (tree_depth.below + tree_depth.levels >= Py_GetRecursionLimit())
            raise_too_deep("");
        if (Py_EnterRecursiveCall(" while drawing a structure tree") != 0)
            throw py::error_already_set();
        ++tree_depth.levels;
    }
    ~RecursionGuard() {
        --tree_depth.levels;
        Py_LeaveRecursiveCall();
    }
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
        if (plain() && PyUnicode_CheckExact(line.ptr())) {
            pending_.push_back(std::move(line));
            return;
        }
        flush();
        text_ = add(text_, line);
    }

    // Whether the text so far is an exact str, as the recursive helper
    // demands of `ss`.
    bool plain() const { return PyUnicode_CheckExact(text_.ptr()); }

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

// What every level hands on unchanged.
struct TreeOptions {
    py::handle max_depth;
    py::handle n_to_show;
    py::handle limited_keys;
};

void draw_level(PyObject *globals, TextSink &sink, py::handle current_obj, py::handle current_depth,
                py::handle parent_prefix, const TreeOptions &options);
void draw_tree(PyObject *globals, TextSink &sink, py::handle obj, py::handle current_depth,
               py::handle parent_prefix, const TreeOptions &options);

// The two functions reach each other through the module namespace. While the
// name still holds this module's own function, its body draws straight into
// the same sink: the text is joined once at the end instead of being copied
// into a new string at every level, which each caller up the chain would
// hold (memory growing with the cube of the depth). Anything bound in its
// place is called with the text so far. (is_own_function: the one exception
// to calling a sibling through the module namespace, see
// docs/dev/architecture.md.)
void nested_level(PyObject *globals, TextSink &sink, py::handle current_obj,
                  py::handle current_depth, py::handle parent_prefix, const TreeOptions &options) {
    py::object draw = lookup_global(globals, display_recursive_name);
    if (sink.plain() && is_own_function(draw, display_dict_or_dataframe_recursive)) {
        draw_level(function_globals(draw), sink, current_obj, current_depth, parent_prefix,
                   options);
        return;
    }
    sink.reset(draw(current_obj, current_depth, parent_prefix,
                    py::arg("max_depth") = options.max_depth,
                    py::arg("n_to_show") = options.n_to_show,
                    py::arg("limited_keys") = options.limited_keys, py::arg("ss") = sink.take()));
}

void nested_tree(PyObject *globals, TextSink &sink, py::handle value, py::handle level,
                 py::handle child_prefix, const TreeOptions &options) {
    py::object show_tree = lookup_global(globals, show_anndata_tree_name);
    if (sink.plain() && is_own_function(show_tree, show_anndata_tree)) {
        draw_tree(function_globals(show_tree), sink, value, level, child_prefix, options);
        return;
    }
    py::object below =
        show_tree(value, py::arg("max_depth") = options.max_depth,
                  py::arg("limited_keys") = options.limited_keys, py::arg("_current_depth") = level,
                  py::arg("_parent_prefix") = child_prefix,
                  py::arg("n_to_show") = options.n_to_show, py::arg("ss") = sink.take());
    sink.reset(checked_text(std::move(below)));
}

void draw_level(PyObject *globals, TextSink &sink, py::handle current_obj, py::handle current_depth,
                py::handle parent_prefix, const TreeOptions &options) {
    const RecursionGuard guard;
    if (holds(current_depth, options.max_depth, Py_GE))
        return;
    py::object keys_method = attribute_if_present(current_obj, keys_name);
    if (!keys_method)
        return;
    if (!truthy(current_obj)) {
        sink.append(concat({parent_prefix, empty_level, line_end}));
        return;
    }

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
        hidden[j] = contains(options.limited_keys, keys[j]);
    std::vector<char> nothing_visible_after(static_cast<std::size_t>(count), 1);
    for (Py_ssize_t j = count - 2; j >= 0; --j)
        nothing_visible_after[j] = nothing_visible_after[j + 1] && hidden[j + 1];

    for (Py_ssize_t i = 0; i < count; ++i) {
        py::handle key = PyList_GET_ITEM(keys.ptr(), i);
        const bool last = nothing_visible_after[i];
        py::object value = steal(PyObject_GetItem(current_obj.ptr(), key.ptr()));
        py::object level = add(current_depth, py::int_(1));
        py::object info = lookup_global(globals, get_value_info_name)(
            value, py::arg("key_name") = key, py::arg("level_of_value") = level,
            py::arg("max_depth") = options.max_depth, py::arg("n_to_show") = options.n_to_show,
            py::arg("limited_keys") = options.limited_keys);
        const bool is_hidden = i == 0 ? contains(options.limited_keys, key) : hidden[i];
        if (!is_hidden)
            sink.append(entry_line(parent_prefix, last, key, key_width, info));

        if (holds(level, options.max_depth, Py_LT) && !is_hidden &&
            (is_instance(value, &PyDict_Type) ||
             is_instance(value, lookup_global(globals, pd_name).attr(DataFrame_name)))) {
            py::object child_prefix =
                add(parent_prefix, last ? last_branch_extension : branch_extension);
            nested_tree(globals, sink, value, level, child_prefix, options);
        }
    }
}

void draw_tree(PyObject *globals, TextSink &sink, py::handle obj, py::handle current_depth,
               py::handle parent_prefix, const TreeOptions &given) {
    const RecursionGuard guard;
    py::object limited_keys = is_none(given.limited_keys)
                                  ? py::object(default_hidden_keys())
                                  : py::reinterpret_borrow<py::object>(given.limited_keys);
    const TreeOptions options{given.max_depth, given.n_to_show, limited_keys};
    py::handle max_depth = options.max_depth;
    py::handle n_to_show = options.n_to_show;

    const bool top = holds(current_depth, py::int_(0), Py_EQ);
    if (top && is_instance(obj, lookup_global(globals, anndata_name).attr(AnnData_name))) {
        sink.append(concat({anndata_head, text_of(obj.attr(n_obs_name)), times,
                            text_of(obj.attr(n_vars_name)), line_end}));
        std::vector<py::object> components;
        components.reserve(kComponents.size());
        for (const char *name : kComponents)
            components.push_back(obj.attr(name));
        for (std::size_t i = 0; i < kComponents.size(); ++i) {
            const bool last = i + 1 == kComponents.size();
            py::str key(kComponents[i]);
            py::object info = lookup_global(globals, get_value_info_name)(
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
            py::object child_prefix =
                add(parent_prefix, last ? last_branch_extension : branch_extension);
            nested_level(globals, sink, components[i], level, child_prefix, options);
        }
    } else if (is_instance(obj, &PyDict_Type)) {
        if (top)
            sink.append(concat({dict_head, line_end}));
        nested_level(globals, sink, obj, current_depth, parent_prefix, options);
    } else if (is_instance(obj, lookup_global(globals, pd_name).attr(DataFrame_name)) ||
               is_lazy_frame(obj)) {
        // A lazy frame (anndata's read_lazy) is shown as the frame it loads into.
        if (top) {
            py::object columns = columns_in_memory(obj);
            if (py::len(columns) > kTopColumnsShown) {
                py::list shown = steal(PySequence_GetSlice(columns.ptr(), 0, kTopColumnsShown));
                shown.append(text(ellipsis_text));
                columns = std::move(shown);
            }
            sink.append(concat({frame_head, text_of(shape_in_memory(obj)), frame_columns,
                                text_of(columns), line_end}));
        }
    } else if (top) {
        sink.append(concat({type_head, type_name(obj), line_end}));
        py::object info = lookup_global(globals, get_value_info_name)(
            obj, py::arg("max_depth") = max_depth, py::arg("n_to_show") = n_to_show,
            py::arg("limited_keys") = limited_keys);
        sink.append(concat({info_head, info, line_end}));
    }
}

// `ss` as the functions start from it: None is the empty text.
py::object start_text(py::handle ss) {
    return is_none(ss) ? text(nothing) : py::reinterpret_borrow<py::object>(ss);
}

} // namespace

py::object display_dict_or_dataframe_recursive(const Call &call) {
    TextSink sink(start_text(call.arg(6)));
    draw_level(call.globals(), sink, call.arg(0), call.arg(1), call.arg(2),
               {call.arg(3), call.arg(4), call.arg(5)});
    return sink.take();
}

py::object show_anndata_tree(const Call &call) {
    TextSink sink(start_text(call.arg(6)));
    draw_tree(call.globals(), sink, call.arg(0), call.arg(4), call.arg(5),
              {call.arg(1), call.arg(2), call.arg(3)});
    return sink.take();
}

} // namespace pelorkit::analyka
