#include "lib/numpy_arrays.hpp"

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "engine/internal_failure.hpp"

namespace velmora {
namespace {

constexpr const char* array_target = "PyArray<T, D>";

// NumPy's function table is taken once, at the first array check, the way
// NumPy's own headers do it, and kept for the life of the process.
void ensure_numpy_api() {
  static bool ready = false;
  if (ready) {
    return;
  }
  if (_import_array() < 0) {
    // The pending error stays as the PanicException's cause.
    throw InternalFailure(PyErr_ExceptionMatches(PyExc_ImportError) != 0
                              ? "Failed to import NumPy module"
                              : "Failed to get NumPy API capsule");
  }
  ready = true;
}

std::ptrdiff_t element_stride(PyArrayObject* array, int axis) {
  return static_cast<std::ptrdiff_t>(PyArray_STRIDES(array)[axis]) /
         static_cast<std::ptrdiff_t>(sizeof(double));
}

std::size_t length(PyArrayObject* array, int axis) {
  return static_cast<std::size_t>(PyArray_DIMS(array)[axis]);
}

const double* data_of(PyArrayObject* array) {
  return static_cast<const double*>(PyArray_DATA(array));
}

}  // namespace

void require_float64_array(PyObject* candidate, int dimensions) {
  ensure_numpy_api();
  if (PyArray_Check(candidate) == 0) {
    raise_conversion_error(candidate, array_target);
  }
  auto* array = reinterpret_cast<PyArrayObject*>(candidate);
  if (PyArray_NDIM(array) != dimensions) {
    raise_conversion_error(candidate, array_target);
  }
  PyArray_Descr* descriptor = PyArray_DESCR(array);
  const PyRef float64 = created(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
  auto* float64_descriptor = reinterpret_cast<PyArray_Descr*>(float64.get());
  if (descriptor != float64_descriptor && PyArray_EquivTypes(descriptor, float64_descriptor) == 0) {
    raise_conversion_error(candidate, array_target);
  }
  // Views count strides in whole doubles; a field of a packed record array
  // (byte strides not a multiple of 8, or misaligned data) cannot be read so.
  const npy_intp* strides = PyArray_STRIDES(array);
  const bool whole_elements = std::all_of(strides, strides + dimensions, [](npy_intp stride) {
    return stride % static_cast<npy_intp>(sizeof(double)) == 0;
  });
  if (!whole_elements || PyArray_ISALIGNED(array) == 0) {
    raise_conversion_error(candidate, array_target);
  }
}

VectorView vector_view(PyObject* checked_array) {
  auto* array = reinterpret_cast<PyArrayObject*>(checked_array);
  return {data_of(array), length(array, 0), element_stride(array, 0)};
}

MatrixView matrix_view(PyObject* checked_array) {
  auto* array = reinterpret_cast<PyArrayObject*>(checked_array);
  return {data_of(array), length(array, 0), length(array, 1), element_stride(array, 0),
          element_stride(array, 1)};
}

std::span<const double> contiguous_values(PyObject* array, int dimensions, std::size_t size) {
  require_float64_array(array, dimensions);
  auto* numpy_array = reinterpret_cast<PyArrayObject*>(array);
  if (PyArray_IS_C_CONTIGUOUS(numpy_array) == 0 ||
      static_cast<std::size_t>(PyArray_SIZE(numpy_array)) != size) {
    PyErr_Format(PyExc_ValueError, "totals must be C-contiguous with %zu elements", size);
    throw PythonErrorSet{};
  }
  return {static_cast<const double*>(PyArray_DATA(numpy_array)), size};
}

std::size_t element_count(PyObject* checked_array) {
  return static_cast<std::size_t>(PyArray_SIZE(reinterpret_cast<PyArrayObject*>(checked_array)));
}

std::span<const std::int64_t> contiguous_int64_values(PyObject* array, const char* what) {
  ensure_numpy_api();
  auto* numpy_array = reinterpret_cast<PyArrayObject*>(array);
  if (PyArray_Check(array) == 0 || PyArray_NDIM(numpy_array) != 1 ||
      PyArray_TYPE(numpy_array) != NPY_INT64 || PyArray_IS_C_CONTIGUOUS(numpy_array) == 0 ||
      PyArray_ISALIGNED(numpy_array) == 0 || PyArray_ISBYTESWAPPED(numpy_array) != 0) {
    PyErr_Format(PyExc_TypeError, "%s must be a contiguous 1-D int64 array", what);
    throw PythonErrorSet{};
  }
  return {static_cast<const std::int64_t*>(PyArray_DATA(numpy_array)), length(numpy_array, 0)};
}

namespace {

template <class Integer>
PyRef new_int64_array(std::span<const Integer> values) {
  ensure_numpy_api();
  npy_intp size = static_cast<npy_intp>(values.size());
  PyRef array = checked(PyArray_SimpleNew(1, &size, NPY_INT64));
  auto* out =
      static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    out[i] = static_cast<std::int64_t>(values[i]);
  }
  return array;
}

}  // namespace

PyRef int64_array(std::span<const std::int64_t> values) { return new_int64_array(values); }

PyRef int64_array(std::span<const std::uint64_t> values) { return new_int64_array(values); }

PyRef float64_array(std::span<const double> values, std::initializer_list<Py_ssize_t> shape) {
  static_assert(std::is_same_v<npy_intp, Py_ssize_t>);
  PyRef array = checked(PyArray_SimpleNew(static_cast<int>(shape.size()),
                                          const_cast<npy_intp*>(std::data(shape)), NPY_DOUBLE));
  if (!values.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), values.data(),
                values.size() * sizeof(double));
  }
  return array;
}

}  // namespace velmora
