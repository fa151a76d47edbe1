#include "lib/model_reader.hpp"

#include <algorithm>
#include <string_view>

#include "engine/ascii_case.hpp"
#include "engine/internal_failure.hpp"
#include "lib/numpy_arrays.hpp"

namespace velmora {
namespace {

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

ReadModel read_model(PyObject* results, const DeferredExogTypes& deferred) {
  ReadModel read;
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

ModelInputs model_inputs(const ReadModel& read) {
  return {read.kind, vector_view(read.params_array.get()), matrix_view(read.cov_array.get()),
          matrix_view(read.exog.get()), read.names};
}

}  // namespace velmora
