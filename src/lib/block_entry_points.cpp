// The private entry points behind velmora_dask: the model read as mfx reads
// it, the per-block classification facts and totals, and the report from
// totals added over blocks. Every number comes from the same core as mfx's;
// only the graph and the additions live in Python.

#include "lib/block_entry_points.hpp"

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL velmora_ARRAY_API
#define NO_IMPORT_ARRAY
#include <numpy/arrayobject.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/effect_accumulation.hpp"
#include "engine/index_list.hpp"
#include "engine/variable_classification.hpp"
#include "lib/call_scope.hpp"
#include "lib/model_reader.hpp"
#include "lib/result_frame.hpp"
#include "lib/scipy_blas.hpp"
#include "report/delta_method.hpp"

namespace velmora {
namespace {

// Lets go of the interpreter's lock for its lifetime, so Dask's other
// threads run Python (and other blocks) meanwhile. Only plain views may be
// touched inside: no Python call, no reference created or released.
class InterpreterLockReleased {
 public:
  InterpreterLockReleased() noexcept : state_(PyEval_SaveThread()) {}
  InterpreterLockReleased(const InterpreterLockReleased&) = delete;
  InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;
  ~InterpreterLockReleased() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

const char* family_name(ModelKind kind) { return kind == ModelKind::Logit ? "logit" : "probit"; }

ModelKind family_of(PyObject* text) {
  if (!PyUnicode_Check(text)) {
    raise_conversion_error(text, "PyString");
  }
  const std::string_view name = utf8_view(text);
  if (name == "logit") {
    return ModelKind::Logit;
  }
  if (name == "probit") {
    return ModelKind::Probit;
  }
  PyErr_Format(PyExc_ValueError, "ame: only Logit or Probit supported, got %U", text);
  throw PythonErrorSet{};
}

SeMethod se_method_of(PyObject* text) {
  if (!PyUnicode_Check(text)) {
    raise_conversion_error(text, "PyString");
  }
  if (const auto method = parse_se_method(utf8_view(text))) {
    return *method;
  }
  PyErr_Format(PyExc_ValueError, "se_method must be 'orvo' or 'sm', got '%U'", text);
  throw PythonErrorSet{};
}

// A list of column indices, each below k, strictly ascending (as the
// classification builds them).
std::vector<std::size_t> index_list_of(PyObject* value, std::size_t k, const char* what) {
  const PyRef sequence = checked(PySequence_Fast(value, "column indices must be a sequence"));
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.get());
  std::vector<std::size_t> indices;
  indices.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    const std::size_t index = PyLong_AsSize_t(PySequence_Fast_GET_ITEM(sequence.get(), i));
    if (index == static_cast<std::size_t>(-1) && PyErr_Occurred() != nullptr) {
      throw PythonErrorSet{};
    }
    if (index >= k || (!indices.empty() && index <= indices.back())) {
      PyErr_Format(PyExc_ValueError, "%s must be ascending column indices below %zu", what, k);
      throw PythonErrorSet{};
    }
    indices.push_back(index);
  }
  return indices;
}

std::vector<std::string> names_of(PyObject* value) {
  const PyRef sequence = checked(PySequence_Fast(value, "names must be a sequence"));
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.get());
  std::vector<std::string> names;
  names.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), i);
    if (!PyUnicode_Check(item)) {
      raise_conversion_error(item, "PyString");
    }
    names.emplace_back(utf8_view(item));
  }
  return names;
}

PyRef index_list_object(std::span<const std::size_t> indices) {
  PyRef list = created(PyList_New(static_cast<Py_ssize_t>(indices.size())));
  for (std::size_t i = 0; i < indices.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), created(PyLong_FromSize_t(indices[i])).release());
  }
  return list;
}

// A block of rows: a float64 matrix as mfx accepts it, with one column per
// coefficient. The message is that of mfx's pass, as a ValueError: here it
// is the caller's data, not an internal invariant, that is wrong.
MatrixView block_view(PyObject* block, std::size_t k) {
  require_float64_array(block, 2);
  const MatrixView X = matrix_view(block);
  if (X.cols != k) {
    const std::string message = "matrices of incompatible shapes: the design matrix is " +
                                std::to_string(X.rows) + " x " + std::to_string(X.cols) +
                                " but the coefficient vector has " + std::to_string(k) +
                                " entries";
    PyErr_SetString(PyExc_ValueError, message.c_str());
    throw PythonErrorSet{};
  }
  return X;
}

// A float64 array of exactly `size` contiguous elements, as the report reads it.
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

// _read_model(model, unchecked_exog_type) -> (family, params, cov, names,
// intercept_indices, exog)
PyRef read_model(PyObject* args) {
  PyObject* results = nullptr;
  PyObject* unchecked_exog_type = nullptr;
  if (PyArg_ParseTuple(args, "OO:_read_model", &results, &unchecked_exog_type) == 0) {
    throw PythonErrorSet{};
  }
  const ModelObjects read =
      read_model_objects(results, unchecked_exog_type == Py_None ? nullptr : unchecked_exog_type);
  const std::vector<std::size_t> intercepts = build_intercept_indices(read.names);
  PyRef names = created(PyList_New(static_cast<Py_ssize_t>(read.names.size())));
  for (std::size_t i = 0; i < read.names.size(); ++i) {
    PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i),
                    created(PyUnicode_FromStringAndSize(read.names[i].data(),
                                                        static_cast<Py_ssize_t>(read.names[i].size())))
                        .release());
  }
  const PyRef family = created(PyUnicode_FromString(family_name(read.kind)));
  const PyRef intercept_list = index_list_object(intercepts);
  return checked(PyTuple_Pack(6, family.get(), read.params_array.get(), read.cov_array.get(),
                              names.get(), intercept_list.get(), read.exog.get()));
}

// _binary_columns(block, k, intercept_indices) -> the columns that are not
// intercepts and hold only 0 and 1 in the block: the dummies as the block
// alone would classify them.
PyRef binary_columns(PyObject* args) {
  PyObject* block = nullptr;
  Py_ssize_t k = 0;
  PyObject* intercept_list = nullptr;
  if (PyArg_ParseTuple(args, "OnO:_binary_columns", &block, &k, &intercept_list) == 0) {
    throw PythonErrorSet{};
  }
  const MatrixView X = block_view(block, static_cast<std::size_t>(std::max<Py_ssize_t>(k, 0)));
  const std::vector<std::size_t> intercepts = index_list_of(intercept_list, X.cols, "intercepts");
  std::vector<std::size_t> dummies;
  {
    const InterpreterLockReleased unlocked;
    for (std::size_t j = 0; j < X.cols; ++j) {
      if (is_dummy_column(X, j, intercepts)) {
        dummies.push_back(j);
      }
    }
  }
  return index_list_object(dummies);
}

// _block_totals(family, params, block, intercept_indices, dummy_indices,
// se_method) -> (rows, effect totals (k,), Jacobian totals (k, k), for each
// dummy whether the block held only 0 and 1 in it)
PyRef block_totals(PyObject* args) {
  PyObject* family = nullptr;
  PyObject* params = nullptr;
  PyObject* block = nullptr;
  PyObject* intercept_list = nullptr;
  PyObject* dummy_list = nullptr;
  PyObject* method_text = nullptr;
  if (PyArg_ParseTuple(args, "OOOOOO:_block_totals", &family, &params, &block, &intercept_list,
                       &dummy_list, &method_text) == 0) {
    throw PythonErrorSet{};
  }
  const ModelKind kind = family_of(family);
  const SeMethod method = se_method_of(method_text);
  require_float64_array(params, 1);
  const VectorView beta = vector_view(params);
  const MatrixView X = block_view(block, beta.size);
  const std::size_t k = X.cols;
  const std::vector<std::size_t> intercepts = index_list_of(intercept_list, k, "intercepts");
  const std::vector<std::size_t> dummies = index_list_of(dummy_list, k, "dummies");
  if (std::any_of(dummies.begin(), dummies.end(),
                  [&](std::size_t j) { return contains_index(intercepts, j); })) {
    PyErr_SetString(PyExc_ValueError, "an intercept cannot be a dummy");
    throw PythonErrorSet{};
  }
  require_addressable_square(k);
  const blas::Routines& blas = scipy_blas_routines();

  BlockEffects effects;
  {
    // The block, params and their arrays stay referenced by this call's
    // arguments while the lock is let go.
    const InterpreterLockReleased unlocked;
    effects = accumulate_block_effects(kind, beta, X, intercepts, dummies, method, blas);
  }
  const SelectedTotals selected = selected_totals(effects.totals, method);

  const PyRef rows = created(PyLong_FromSize_t(X.rows));
  const auto order = static_cast<Py_ssize_t>(k);
  const PyRef effect_totals = float64_array(selected.effects, {order});
  const PyRef jacobian_totals = float64_array(selected.jacobian, {order, order});
  const PyRef held = created(PyTuple_New(static_cast<Py_ssize_t>(dummies.size())));
  for (std::size_t d = 0; d < dummies.size(); ++d) {
    PyTuple_SET_ITEM(held.get(), static_cast<Py_ssize_t>(d),
                     Py_NewRef(effects.dummy_held_binary[d] ? Py_True : Py_False));
  }
  return checked(
      PyTuple_Pack(4, rows.get(), effect_totals.get(), jacobian_totals.get(), held.get()));
}

// _report(effect_totals, jacobian_totals, n, cov, intercept_indices, names)
// -> the DataFrame mfx returns for these totals over n rows.
PyRef report(PyObject* args) {
  PyObject* effect_array = nullptr;
  PyObject* jacobian_array = nullptr;
  Py_ssize_t n = 0;
  PyObject* cov = nullptr;
  PyObject* intercept_list = nullptr;
  PyObject* name_list = nullptr;
  if (PyArg_ParseTuple(args, "OOnOOO:_report", &effect_array, &jacobian_array, &n, &cov,
                       &intercept_list, &name_list) == 0) {
    throw PythonErrorSet{};
  }
  if (n < 0) {
    PyErr_SetString(PyExc_ValueError, "the row count cannot be negative");
    throw PythonErrorSet{};
  }
  require_float64_array(effect_array, 1);
  const auto k = static_cast<std::size_t>(PyArray_SIZE(reinterpret_cast<PyArrayObject*>(effect_array)));
  require_addressable_square(k);
  const std::span<const double> effect_totals = contiguous_values(effect_array, 1, k);
  const std::span<const double> jacobian_totals = contiguous_values(jacobian_array, 2, k * k);
  require_float64_array(cov, 2);
  const MatrixView V = matrix_view(cov);
  const std::vector<std::size_t> intercepts = index_list_of(intercept_list, k, "intercepts");
  const std::vector<std::string> names = names_of(name_list);
  const blas::Routines& blas = scipy_blas_routines();
  const EffectsTable table = build_effects_table(effect_totals, jacobian_totals,
                                                 static_cast<std::size_t>(n), V, intercepts, names,
                                                 blas);
  return build_result_frame(table);
}

template <PyRef (*Body)(PyObject*)>
PyObject* entry(PyObject* /*module*/, PyObject* args) {
  return call_scope([&] { return Body(args); });
}

PyMethodDef entry_points[] = {
    {"_read_model", entry<read_model>, METH_VARARGS,
     "The model read as mfx reads it: (family, params, cov, names, intercept indices, exog)."},
    {"_binary_columns", entry<binary_columns>, METH_VARARGS,
     "The non-intercept columns that hold only 0 and 1 in a block."},
    {"_block_totals", entry<block_totals>, METH_VARARGS,
     "Rows, effect and Jacobian totals of one block, and whether each dummy held."},
    {"_report", entry<report>, METH_VARARGS, "The DataFrame for totals over n rows."},
};

}  // namespace

void add_block_entry_points(PyObject* module) {
  const PyRef module_name = checked(PyModule_GetNameObject(module));
  for (PyMethodDef& definition : entry_points) {
    const PyRef function = checked(PyCFunction_NewEx(&definition, module, module_name.get()));
    check_status(PyObject_SetAttrString(module, definition.ml_name, function.get()));
  }
}

}  // namespace velmora
