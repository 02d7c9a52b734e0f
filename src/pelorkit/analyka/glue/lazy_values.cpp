// Values held lazily, brought into memory as anndata's to_memory() does, and
// the lazy frame recognised without importing anything.
#include "pelorkit/python.hpp"

#include "glue/lazy_values.hpp"
#include "glue/names.hpp"
#include "glue/pyops.hpp"

#include <string_view>

namespace pelorkit::analyka {
namespace {

const Name ndim_attr{"ndim"};
const Name attrs_name{"attrs"};
const Name coords_name{"coords"};
const Name name_attr{"name"};

bool one_dimensional(py::handle obj) {
    py::object ndim = pyops::attribute_if_present(obj, ndim_attr);
    return ndim && PyLong_Check(ndim.ptr()) && ndim.cast<long>() == 1;
}

// A DataArray's values as to_memory() makes the column: Dataset.to_dataframe
// keeps categorical and nullable dtypes (DataArray.to_series would not), and
// nullable strings become pandas' "string" dtype.
py::object series_of_data_array(py::handle array) {
    py::object coords = array.attr(coords_name);
    py::str column("labels");
    while (pyops::contains(coords, column))
        column = py::str(pyops::add(column, py::str("_")));
    py::object series = array.attr("to_dataframe")(py::arg("name") = column)[column];
    series.attr(name_attr) = array.attr(name_attr);
    py::object nullable_string =
        array.attr(attrs_name).attr("get")("is_nullable_string", py::bool_(false));
    if (truthy(nullable_string))
        series = series.attr("astype")("string");
    return series;
}

// anndata's lazy categorical and masked arrays, as read_lazy wraps them in
// its obs: an xarray variable over a lazily indexed array.
py::object series_of_lazy_array(py::handle array) {
    py::module_ xr = py::module_::import("xarray");
    py::object wrapped =
        py::module_::import("xarray.core.indexing").attr("LazilyIndexedArray")(array);
    py::dict attrs;
    py::object dtype = array.attr(dtype_name);
    const bool string_dtype =
        pyops::holds(py::getattr(dtype, "kind", py::none()), py::str("T"), Py_EQ) ||
        pyops::is_instance(dtype, py::module_::import("pandas").attr(StringDtype_name));
    attrs["is_nullable_string"] = py::bool_(
        string_dtype && pyops::is_instance_of_imported(
                            array, "anndata.experimental.backed._lazy_arrays", "MaskedArray"));
    py::object variable = xr.attr("Variable")(py::make_tuple("cells"), wrapped, attrs);
    return series_of_data_array(xr.attr("DataArray")(variable));
}

} // namespace

py::object labels_in_memory(py::handle values) {
    if (!one_dimensional(values))
        return py::reinterpret_borrow<py::object>(values);
    if (pyops::is_instance_of_imported(values, "xarray", "DataArray"))
        return series_of_data_array(values);
    for (const char *lazy : {"CategoricalArray", "MaskedArray"})
        if (pyops::is_instance_of_imported(values, "anndata.experimental.backed._lazy_arrays",
                                           lazy))
            return series_of_lazy_array(values);
    py::object is_collection = pyops::imported_attribute("dask", "is_dask_collection");
    if (is_collection && truthy(is_collection(values)))
        return values.attr("compute")();
    return py::reinterpret_borrow<py::object>(values);
}

bool is_lazy_frame(py::handle obj) {
    return pyops::is_instance_of_imported(obj, "anndata._core.xarray", "Dataset2D");
}

py::object columns_in_memory(py::handle frame) {
    if (!is_lazy_frame(frame))
        return frame.attr(columns_name).attr(tolist_name)();
    py::object dataset = frame.attr("ds");
    py::object index_key = dataset.attr(attrs_name).attr("get")("indexing_key");
    py::list columns;
    for (py::handle key : dataset.attr(keys_name)())
        if (index_key.is_none() || !pyops::holds(key, index_key, Py_EQ))
            columns.append(key);
    return columns;
}

py::object shape_in_memory(py::handle frame) {
    py::object shape = frame.attr(shape_name);
    if (!is_lazy_frame(frame))
        return shape;
    return py::make_tuple(shape[py::int_(0)], py::len(columns_in_memory(frame)));
}

py::object index_in_memory(py::handle frame) {
    py::object index = frame.attr(index_name);
    if (!is_lazy_frame(frame))
        return index;
    py::list stored_names;
    stored_names.append(py::str("_index"));
    for (const char *dummy : {"DS_CONCAT_DUMMY_INDEX_NAME", "DS_MERGE_DUMMY_INDEX_NAME"})
        if (py::object name = pyops::imported_attribute("anndata._core.merge", dummy))
            stored_names.append(name);
    if (pyops::contains(stored_names, index.attr(name_attr)))
        index = index.attr("rename")(py::none());
    return index;
}

} // namespace pelorkit::analyka
