#include "numpy_bridge/result_arrays.hpp"

#include "numpy_bridge/numpy_api.hpp"
#include "numpy_bridge/slice_container.hpp"
#include "support/internal_failure.hpp"

namespace quillrow::numpy_bridge {

using python::PyRef;

namespace {

enum class Element { Timestamp, Value };

// One array over one buffer, without copying: the buffer goes to a new
// owner, which becomes the array's base.
PyRef wrap_buffer(RawBuffer buffer, Element element, int nd, npy_intp* dims, npy_intp* strides) {
  PyRef owner = make_slice_container(buffer);
  const NumpyApi api = get_numpy_table();
  PyTypeObject* array_type = api.array_type();
  PyRef descr = element == Element::Timestamp ? get_datetime_ms_dtype() : get_float32_dtype();

  PyRef array = PyRef::steal(api.new_from_descr(array_type, descr.release(), nd, dims, strides, buffer.data,
                                                NPY_ARRAY_WRITEABLE, nullptr));
  if (!array) null_object_failure();  // `owner` goes with its buffer
  // set_base_object takes the owner reference even when it fails, and then
  // has freed it (and so the buffer): the array must not be used.
  if (api.set_base_object(array.get(), owner.release()) != 0) null_object_failure();
  return array;
}

}  // namespace

std::variant<PyRef, ShapeFault, python::PendingError> build_result(sts::ScannedFile&& scanned_in) {
  sts::ScannedFile scanned = std::move(scanned_in);
  auto& rows = scanned.rows;
  const std::uint64_t row_count = rows.timestamps.size();

  if (auto shape = check_value_shape(row_count, rows.values.size())) {
    {
      auto dropped = std::move(rows.values);
    }
    ShapeFault fault{concat("Invalid data shape: ", *shape)};
    return fault;  // timestamp buffer, mapping and descriptor follow
  }

  if (auto interrupted = probe_numpy()) return std::move(*interrupted);
  npy_intp timestamp_dims[1] = {static_cast<npy_intp>(row_count)};
  npy_intp timestamp_strides[1] = {sizeof(std::int64_t)};
  PyRef timestamps =
      wrap_buffer(rows.timestamps.release(), Element::Timestamp, 1, timestamp_dims, timestamp_strides);

  npy_intp value_dims[2] = {static_cast<npy_intp>(row_count), static_cast<npy_intp>(sts::VALUES_PER_ROW)};
  npy_intp value_strides[2] = {static_cast<npy_intp>(sts::VALUES_PER_ROW * sizeof(float)), sizeof(float)};
  PyRef values = wrap_buffer(rows.values.release(), Element::Value, 2, value_dims, value_strides);

  scanned.release_file();

  PyRef tuple = PyRef::steal(PyTuple_New(2));
  if (!tuple) null_object_failure();
  PyTuple_SET_ITEM(tuple.get(), 0, timestamps.release());
  PyTuple_SET_ITEM(tuple.get(), 1, values.release());
  return tuple;
}

}  // namespace quillrow::numpy_bridge
