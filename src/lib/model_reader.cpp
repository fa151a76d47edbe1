#include "lib/model_reader.hpp"

// This translation unit owns NumPy's API table; block_entry_points.cpp
// borrows it (NO_IMPORT_ARRAY) after a check here has filled it.
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL velmora_ARRAY_API
#include <numpy/arrayobject.h>

#include <algorithm>
#include <limits>
#include <new>
#include <string_view>

#include "engine/ascii_case.hpp"
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

// The reads that fall back give up only on ordinary failures (Exception and
// its subclasses). An interrupt or an exit request raised inside one stays
// pending, the very object raised, and ends the call.
void discard_ordinary_failure() {
  if (PyErr_ExceptionMatches(PyExc_Exception) == 0) {
    throw PythonErrorSet{};
  }
  PyErr_Clear();
}

// The model object is the results object's `model` when it can be read, and
// otherwise the argument itself.
PyRef model_object(PyObject* results) {
  PyRef model = PyRef::steal(PyObject_GetAttrString(results, "model"));
  if (!model) {
    discard_ordinary_failure();
    return PyRef::borrow(results);
  }
  return model;
}

ModelKind model_kind(PyObject* model) {
  const PyRef type = checked(PyObject_GetAttrString(model, "__class__"));
  const PyRef name = checked(PyObject_GetAttrString(type.get(), "__name__"));
  if (!PyUnicode_Check(name.get())) {
    raise_conversion_error(name.get(), "PyString");
  }
  const std::string_view text = utf8_view(name.get());
  if (equals_ignoring_ascii_case(text, "logit")) {
    return ModelKind::Logit;
  }
  if (equals_ignoring_ascii_case(text, "probit")) {
    return ModelKind::Probit;
  }
  PyErr_Format(PyExc_ValueError, "ame: only Logit or Probit supported, got %U", name.get());
  throw PythonErrorSet{};
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

namespace {

// A pandas Series or DataFrame contributes its `values`; a NumPy array has
// no `values` and is used itself. A `values` that fails the check is not
// followed by a second try with the value itself.
PyRef array_of(PyRef value, int dimensions) {
  PyRef values = PyRef::steal(PyObject_GetAttrString(value.get(), "values"));
  if (!values) {
    discard_ordinary_failure();
    values = std::move(value);
  }
  require_float64_array(values.get(), dimensions);
  return values;
}


bool is_instance(PyObject* value, PyObject* type) {
  if (type == nullptr) {
    return false;
  }
  const int answer = PyObject_IsInstance(value, type);
  check_status(answer);
  return answer != 0;
}

}  // namespace


std::vector<std::string> names_of(PyObject* value) {
  if (PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    throw PythonErrorSet{};
  }
  if (PySequence_Check(value) == 0) {
    raise_conversion_error(value, "Sequence");
  }
  Py_ssize_t hint = PySequence_Size(value);
  if (hint < 0) {
    discard_ordinary_failure();
    hint = 0;
  }
  std::vector<std::string> names;
  // The length is only a hint; a wrong one must not cost a huge allocation.
  names.reserve(std::min<std::size_t>(static_cast<std::size_t>(hint), 1U << 16U));
  const PyRef iterator = checked(PyObject_GetIter(value));
  while (true) {
    const PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
    if (!item) {
      break;
    }
    if (!PyUnicode_Check(item.get())) {
      raise_conversion_error(item.get(), "PyString");
    }
    names.emplace_back(utf8_view(item.get()));
  }
  if (PyErr_Occurred() != nullptr) {
    throw PythonErrorSet{};
  }
  return names;
}

ModelObjects read_model_objects(PyObject* results, const DeferredExogTypes& deferred) {
  ModelObjects read;
  {
    const PyRef model = model_object(results);
    // Nothing else is read before the family is known, so an unsupported
    // model fails before its coefficients are touched.
    read.kind = model_kind(model.get());
  }

  read.params_array = array_of(checked(PyObject_GetAttrString(results, "params")), 1);
  read.cov_array = array_of(checked(PyObject_CallMethod(results, "cov_params", nullptr)), 2);

  const PyRef model = model_object(results);
  const PyRef exog = checked(PyObject_GetAttrString(model.get(), "exog"));
  // A frame computed on elsewhere is taken whole: its values would lose the
  // type of each column.
  if (is_instance(exog.get(), deferred.frame_type)) {
    read.exog = PyRef::borrow(exog.get());
    read.names = names_of(checked(PyObject_GetAttrString(exog.get(), "columns")).get());
    return read;
  }
  PyRef values = PyRef::steal(PyObject_GetAttrString(exog.get(), "values"));
  // A plain ndarray has no values and no columns; the names then come from
  // the model's exog_names.
  const bool named_by_columns = static_cast<bool>(values);
  if (!named_by_columns) {
    discard_ordinary_failure();
    values = PyRef::borrow(exog.get());
  }
  // The matrix is checked before the names are read.
  if (!is_instance(values.get(), deferred.array_type)) {
    require_float64_array(values.get(), 2);
  }
  read.exog = std::move(values);
  const PyRef names = checked(named_by_columns ? PyObject_GetAttrString(exog.get(), "columns")
                                               : PyObject_GetAttrString(model.get(), "exog_names"));
  read.names = names_of(names.get());
  return read;
}

ReadModel read_model_inputs(PyObject* results) {
  ModelObjects objects = read_model_objects(results, {});
  ReadModel read;
  ModelInputs& inputs = read.inputs;
  inputs.kind = objects.kind;
  inputs.beta = vector_view(objects.params_array.get());
  inputs.V = matrix_view(objects.cov_array.get());
  inputs.X = matrix_view(objects.exog.get());
  inputs.names = std::move(objects.names);
  read.params_array = std::move(objects.params_array);
  read.cov_array = std::move(objects.cov_array);
  read.exog_array = std::move(objects.exog);
  return read;
}

void require_addressable_square(std::size_t k) {
  constexpr std::size_t max_elements = std::numeric_limits<std::size_t>::max() / sizeof(double);
  if (k != 0 && k > max_elements / k) {
    throw std::bad_alloc{};
  }
}

}  // namespace velmora
