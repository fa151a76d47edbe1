// The private entry points behind velmora_dask: the model and se_method read
// as mfx reads them, the checks and the classification mfx makes before its
// pass, the per-block totals and the report from totals added over blocks.
// Every number, check and message comes from the same code as mfx's; only
// the graph and the additions live in Python.

#include "lib/block_entry_points.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/effect_accumulation.hpp"
#include "engine/group_accumulation.hpp"
#include "engine/index_list.hpp"
#include "engine/variable_classification.hpp"
#include "lib/arguments.hpp"
#include "lib/call_scope.hpp"
#include "lib/model_reader.hpp"
#include "lib/numpy_arrays.hpp"
#include "lib/result_frame.hpp"
#include "lib/scipy_blas.hpp"
#include "report/delta_method.hpp"

namespace velmora {
namespace {

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

const char* method_name(SeMethod method) { return method == SeMethod::Sm ? "sm" : "orvo"; }

// The method as _read_model named it.
SeMethod method_of(PyObject* text) {
  if (!PyUnicode_Check(text)) {
    raise_conversion_error(text, "PyString");
  }
  if (const auto method = parse_se_method(utf8_view(text))) {
    return *method;
  }
  PyErr_Format(PyExc_ValueError, "se_method must be 'orvo' or 'sm', got '%U'", text);
  throw PythonErrorSet{};
}

// A list of column indices, strictly ascending (as the classification builds
// them) and, with a `limit`, each below it.
std::vector<std::size_t> index_list_of(PyObject* value, std::optional<std::size_t> limit,
                                       const char* what) {
  const PyRef sequence = checked(PySequence_Fast(value, "column indices must be a sequence"));
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.get());
  std::vector<std::size_t> indices;
  indices.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    const std::size_t index = PyLong_AsSize_t(PySequence_Fast_GET_ITEM(sequence.get(), i));
    if (index == static_cast<std::size_t>(-1) && PyErr_Occurred() != nullptr) {
      throw PythonErrorSet{};
    }
    if (!indices.empty() && index <= indices.back()) {
      PyErr_Format(PyExc_ValueError, "%s must be ascending column indices", what);
      throw PythonErrorSet{};
    }
    if (limit && index >= *limit) {
      PyErr_Format(PyExc_ValueError, "%s must be column indices below %zu", what, *limit);
      throw PythonErrorSet{};
    }
    indices.push_back(index);
  }
  return indices;
}

// Intercepts are positions of names, which may lie beyond the columns (an
// extra name "const" is an intercept of no column, as in mfx).
std::vector<std::size_t> intercepts_of(PyObject* value) {
  return index_list_of(value, std::nullopt, "intercepts");
}

PyRef text_list(std::span<const std::string> texts) {
  PyRef list = created(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    created(PyUnicode_FromStringAndSize(texts[i].data(),
                                                        static_cast<Py_ssize_t>(texts[i].size())))
                        .release());
  }
  return list;
}

PyRef index_list_object(std::span<const std::size_t> indices) {
  PyRef list = created(PyList_New(static_cast<Py_ssize_t>(indices.size())));
  for (std::size_t i = 0; i < indices.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    created(PyLong_FromSize_t(indices[i])).release());
  }
  return list;
}

// A block of rows: a float64 matrix as mfx accepts it.
MatrixView block_view(PyObject* block) {
  require_float64_array(block, 2);
  return matrix_view(block);
}

// _read_model(model, se_method, array_type, frame_type) -> (family, method,
// params, cov, names, exog): se_method converted as mfx converts it, before
// the model is read as mfx reads it; an exog of array_type or frame_type is
// handed back unchecked (see DeferredExogTypes).
PyRef method_and_model(PyObject* args) {
  PyObject* results = nullptr;
  PyObject* se_method = nullptr;
  PyObject* array_type = nullptr;
  PyObject* frame_type = nullptr;
  if (PyArg_ParseTuple(args, "OOOO:_read_model", &results, &se_method, &array_type, &frame_type) ==
      0) {
    throw PythonErrorSet{};
  }
  const SeMethod method = convert_se_method(se_method);
  const ReadModel read = read_model(results, {array_type == Py_None ? nullptr : array_type,
                                              frame_type == Py_None ? nullptr : frame_type});
  const PyRef family = created(PyUnicode_FromString(family_name(read.kind)));
  const PyRef method_text = created(PyUnicode_FromString(method_name(method)));
  const PyRef names = text_list(read.names);
  return checked(PyTuple_Pack(6, family.get(), method_text.get(), read.params_array.get(),
                              read.cov_array.get(), names.get(), read.exog.get()));
}

// _intercept_indices(names, rows, columns, coefficients) -> the intercepts
// among the names, after the checks mfx makes before its pass over a design
// matrix of that shape (rows < 0: not known yet, and the coefficients are
// then checked block by block): a k x k that fits in memory, a column for
// every other name, and one coefficient per column where there are rows.
PyRef intercept_indices(PyObject* args) {
  PyObject* name_list = nullptr;
  Py_ssize_t rows = 0;
  Py_ssize_t columns = 0;
  Py_ssize_t coefficients = 0;
  if (PyArg_ParseTuple(args, "Onnn:_intercept_indices", &name_list, &rows, &columns,
                       &coefficients) == 0) {
    throw PythonErrorSet{};
  }
  if (columns < 0 || coefficients < 0) {
    PyErr_SetString(PyExc_ValueError, "column and coefficient counts cannot be negative");
    throw PythonErrorSet{};
  }
  const std::vector<std::string> names = names_of(name_list);
  const auto k = static_cast<std::size_t>(columns);
  require_addressable_square(k);
  static_cast<void>(scipy_blas_routines());
  const std::vector<std::size_t> intercepts = build_intercept_indices(names);
  require_column_per_name(names, k, intercepts);
  if (rows > 0) {
    require_coefficient_per_column(static_cast<std::size_t>(rows), k,
                                   static_cast<std::size_t>(coefficients));
  }
  return index_list_object(intercepts);
}

// _guess_dummies(block, names, intercept_indices) -> the dummies as mfx
// guesses them from the first rows, which every block's totals then check.
PyRef guess_dummies(PyObject* args) {
  PyObject* block = nullptr;
  PyObject* name_list = nullptr;
  PyObject* intercept_list = nullptr;
  if (PyArg_ParseTuple(args, "OOO:_guess_dummies", &block, &name_list, &intercept_list) == 0) {
    throw PythonErrorSet{};
  }
  const MatrixView X = block_view(block);
  const std::vector<std::string> names = names_of(name_list);
  const std::vector<std::size_t> intercepts = intercepts_of(intercept_list);
  std::vector<std::size_t> dummies;
  {
    const InterpreterLockReleased unlocked;
    dummies = guess_dummy_indices(names, X, intercepts);
  }
  return index_list_object(dummies);
}

// One weight per row, each finite and not negative, else ValueError.
std::span<const double> row_weights_of(PyObject* weights, std::size_t rows) {
  require_float64_array(weights, 1);
  const VectorView view = vector_view(weights);
  if (view.size != rows) {
    PyErr_Format(PyExc_ValueError, "weights must hold one value per row: %zu rows, %zu weights",
                 rows, view.size);
    throw PythonErrorSet{};
  }
  if (view.size > 1 && view.stride != 1) {
    PyErr_SetString(PyExc_ValueError, "weights must be contiguous");
    throw PythonErrorSet{};
  }
  const std::span<const double> values(view.base, view.size);
  for (const double w : values) {
    if (!(w >= 0.0) || std::isinf(w)) {
      PyErr_Format(PyExc_ValueError, "weights must be finite and not negative, not %R",
                   created(PyFloat_FromDouble(w)).get());
      throw PythonErrorSet{};
    }
  }
  return values;
}

// The arguments _block_totals and _group_block_totals share, checked.
struct BlockArguments {
  ModelKind kind = ModelKind::Logit;
  SeMethod method = SeMethod::Orvo;
  VectorView beta;
  MatrixView X;
  std::vector<std::size_t> intercepts;
  std::vector<std::size_t> dummies;
  std::span<const double> row_weights;  // empty without weights
};

BlockArguments block_arguments(PyObject* family, PyObject* params, PyObject* block,
                               PyObject* intercept_list, PyObject* dummy_list,
                               PyObject* method_text, PyObject* weights) {
  BlockArguments arguments;
  arguments.kind = family_of(family);
  arguments.method = method_of(method_text);
  require_float64_array(params, 1);
  arguments.beta = vector_view(params);
  arguments.X = block_view(block);
  const std::size_t k = arguments.X.cols;
  arguments.intercepts = intercepts_of(intercept_list);
  arguments.dummies = index_list_of(dummy_list, k, "dummies");
  if (std::any_of(arguments.dummies.begin(), arguments.dummies.end(),
                  [&](std::size_t j) { return contains_index(arguments.intercepts, j); })) {
    PyErr_SetString(PyExc_ValueError, "an intercept cannot be a dummy");
    throw PythonErrorSet{};
  }
  require_addressable_square(k);
  if (weights != Py_None) {
    arguments.row_weights = row_weights_of(weights, arguments.X.rows);
  }
  return arguments;
}

PyRef held_tuple(const std::vector<bool>& held_binary) {
  PyRef held = created(PyTuple_New(static_cast<Py_ssize_t>(held_binary.size())));
  for (std::size_t d = 0; d < held_binary.size(); ++d) {
    PyTuple_SET_ITEM(held.get(), static_cast<Py_ssize_t>(d),
                     Py_NewRef(held_binary[d] ? Py_True : Py_False));
  }
  return held;
}

// _block_totals(family, params, block, intercept_indices, dummy_indices,
// se_method[, weights]) -> (rows, effect totals (k,), Jacobian totals
// (k, k), for each dummy whether the block held only 0 and 1 in it); with
// weights (one per row), the totals weighted and their sum fifth.
PyRef block_totals(PyObject* args) {
  PyObject* family = nullptr;
  PyObject* params = nullptr;
  PyObject* block = nullptr;
  PyObject* intercept_list = nullptr;
  PyObject* dummy_list = nullptr;
  PyObject* method_text = nullptr;
  PyObject* weights = Py_None;
  if (PyArg_ParseTuple(args, "OOOOOO|O:_block_totals", &family, &params, &block, &intercept_list,
                       &dummy_list, &method_text, &weights) == 0) {
    throw PythonErrorSet{};
  }
  const BlockArguments in =
      block_arguments(family, params, block, intercept_list, dummy_list, method_text, weights);
  const blas::Routines& blas = scipy_blas_routines();

  BlockEffects effects;
  {
    // The block, params, weights and their arrays stay referenced by this
    // call's arguments while the lock is let go.
    const InterpreterLockReleased unlocked;
    effects = accumulate_block_effects(in.kind, in.beta, in.X, in.intercepts, in.dummies, in.method,
                                       blas, in.row_weights);
  }
  const SelectedTotals selected = selected_totals(effects.totals, in.method);

  const PyRef rows = created(PyLong_FromSize_t(in.X.rows));
  const auto order = static_cast<Py_ssize_t>(in.X.cols);
  const PyRef effect_totals = float64_array(selected.effects, {order});
  const PyRef jacobian_totals = float64_array(selected.jacobian, {order, order});
  const PyRef held = held_tuple(effects.dummy_held_binary);
  if (weights == Py_None) {
    return checked(
        PyTuple_Pack(4, rows.get(), effect_totals.get(), jacobian_totals.get(), held.get()));
  }
  const PyRef weight_total = created(PyFloat_FromDouble(effects.weight_total));
  return checked(PyTuple_Pack(5, rows.get(), effect_totals.get(), jacobian_totals.get(), held.get(),
                              weight_total.get()));
}

// _group_block_totals(family, params, block, intercept_indices,
// dummy_indices, se_method, weights, group_codes, group_count) -> (codes
// (G,), rows (G,), effect totals (G, k), Jacobian totals (G, k, k), for each
// dummy whether the block held only 0 and 1 in it, weight totals (G,)): for
// each code below group_count that a row has (a C-contiguous int64 array of
// one code per row), ascending, the totals of _block_totals over its rows;
// weights may be None, and the weight totals are then the rows.
PyRef group_block_totals(PyObject* args) {
  PyObject* family = nullptr;
  PyObject* params = nullptr;
  PyObject* block = nullptr;
  PyObject* intercept_list = nullptr;
  PyObject* dummy_list = nullptr;
  PyObject* method_text = nullptr;
  PyObject* weights = nullptr;
  PyObject* codes = nullptr;
  Py_ssize_t group_count = 0;
  if (PyArg_ParseTuple(args, "OOOOOOOOn:_group_block_totals", &family, &params, &block,
                       &intercept_list, &dummy_list, &method_text, &weights, &codes,
                       &group_count) == 0) {
    throw PythonErrorSet{};
  }
  const BlockArguments in =
      block_arguments(family, params, block, intercept_list, dummy_list, method_text, weights);
  const std::span<const std::int64_t> group_codes = contiguous_int64_values(codes, "group codes");
  if (group_codes.size() != in.X.rows) {
    PyErr_Format(PyExc_ValueError, "group codes must hold one value per row: %zu rows, %zu codes",
                 in.X.rows, group_codes.size());
    throw PythonErrorSet{};
  }
  if (group_count < 0) {
    PyErr_SetString(PyExc_ValueError, "the group count cannot be negative");
    throw PythonErrorSet{};
  }
  const auto groups = static_cast<std::size_t>(group_count);
  const blas::Routines& blas = scipy_blas_routines();

  GroupBlockEffects effects;
  try {
    const InterpreterLockReleased unlocked;
    effects = accumulate_group_block_effects(in.kind, in.beta, in.X, in.intercepts, in.dummies,
                                             in.method, blas, group_codes, groups, in.row_weights);
  } catch (const GroupCodeOutOfRange& bad) {
    // The lock is held again here.
    PyErr_Format(PyExc_ValueError, "group codes must lie in [0, %zu): row %zu has %lld", groups,
                 bad.row, static_cast<long long>(bad.code));
    throw PythonErrorSet{};
  }
  const auto k = static_cast<Py_ssize_t>(in.X.cols);
  const auto present = static_cast<Py_ssize_t>(effects.groups.size());
  const PyRef present_codes = int64_array(effects.groups);
  const PyRef rows = int64_array(effects.rows);
  const PyRef effect_totals = float64_array(effects.effects, {present, k});
  const PyRef jacobian_totals = float64_array(effects.jacobian, {present, k, k});
  const PyRef held = held_tuple(effects.dummy_held_binary);
  const PyRef weight_totals = float64_array(effects.weight_totals, {present});
  return checked(PyTuple_Pack(6, present_codes.get(), rows.get(), effect_totals.get(),
                              jacobian_totals.get(), held.get(), weight_totals.get()));
}

void require_observation_count(double n) {
  if (n < 0.0) {
    PyErr_SetString(PyExc_ValueError, "the row count cannot be negative");
    throw PythonErrorSet{};
  }
  if (!std::isfinite(n)) {
    PyErr_SetString(PyExc_ValueError, "the row count must be finite");
    throw PythonErrorSet{};
  }
}

void append_table(EffectsTable& to, const EffectsTable& table) {
  const auto append = [](auto& into, const auto& values) {
    into.insert(into.end(), values.begin(), values.end());
  };
  append(to.dydx, table.dydx);
  append(to.std_err, table.std_err);
  append(to.z, table.z);
  append(to.p_value, table.p_value);
  append(to.ci_low, table.ci_low);
  append(to.ci_high, table.ci_high);
  append(to.significance, table.significance);
  append(to.row_names, table.row_names);
}

// _report(effect_totals, jacobian_totals, n, cov, intercept_indices, names)
// -> the DataFrame mfx returns for these totals over n rows (or, for
// weighted totals, their weights' sum).
PyRef report(PyObject* args) {
  PyObject* effect_array = nullptr;
  PyObject* jacobian_array = nullptr;
  double n = 0.0;
  PyObject* cov = nullptr;
  PyObject* intercept_list = nullptr;
  PyObject* name_list = nullptr;
  if (PyArg_ParseTuple(args, "OOdOOO:_report", &effect_array, &jacobian_array, &n, &cov,
                       &intercept_list, &name_list) == 0) {
    throw PythonErrorSet{};
  }
  require_observation_count(n);
  require_float64_array(effect_array, 1);
  const std::size_t k = element_count(effect_array);
  require_addressable_square(k);
  const std::span<const double> effect_totals = contiguous_values(effect_array, 1, k);
  const std::span<const double> jacobian_totals = contiguous_values(jacobian_array, 2, k * k);
  require_float64_array(cov, 2);
  const MatrixView V = matrix_view(cov);
  const std::vector<std::size_t> intercepts = intercepts_of(intercept_list);
  const std::vector<std::string> names = names_of(name_list);
  const blas::Routines& blas = scipy_blas_routines();
  const EffectsTable table =
      build_effects_table(effect_totals, jacobian_totals, n, V, intercepts, names, blas);
  return build_result_frame(table);
}

// _group_report(effect_totals (G, k), jacobian_totals (G, k, k),
// observations (G,), cov, intercept_indices, names) -> one DataFrame of the
// G tables _report gives for each group's totals, one after the other,
// each row named by its regressor. A group of no weight gets NaN.
PyRef group_report(PyObject* args) {
  PyObject* effect_array = nullptr;
  PyObject* jacobian_array = nullptr;
  PyObject* observation_array = nullptr;
  PyObject* cov = nullptr;
  PyObject* intercept_list = nullptr;
  PyObject* name_list = nullptr;
  if (PyArg_ParseTuple(args, "OOOOOO:_group_report", &effect_array, &jacobian_array,
                       &observation_array, &cov, &intercept_list, &name_list) == 0) {
    throw PythonErrorSet{};
  }
  require_float64_array(effect_array, 2);
  const MatrixView effect_shape = matrix_view(effect_array);
  const std::size_t groups = effect_shape.rows;
  const std::size_t k = effect_shape.cols;
  require_addressable_square(k);
  const std::span<const double> effect_totals = contiguous_values(effect_array, 2, groups * k);
  const std::span<const double> jacobian_totals =
      contiguous_values(jacobian_array, 3, groups * k * k);
  const std::span<const double> observations = contiguous_values(observation_array, 1, groups);
  for (const double n : observations) {
    require_observation_count(n);
  }
  require_float64_array(cov, 2);
  const MatrixView V = matrix_view(cov);
  const std::vector<std::size_t> intercepts = intercepts_of(intercept_list);
  const std::vector<std::string> names = names_of(name_list);
  const blas::Routines& blas = scipy_blas_routines();
  EffectsTable tables;
  for (std::size_t g = 0; g < groups; ++g) {
    EffectsTable table = build_effects_table(effect_totals.subspan(g * k, k),
                                             jacobian_totals.subspan(g * k * k, k * k),
                                             observations[g], V, intercepts, names, blas);
    if (observations[g] == 0.0) {
      // Averages over no weight are not defined, nor is anything drawn from them.
      for (std::vector<double>* column :
           {&table.dydx, &table.std_err, &table.z, &table.p_value, &table.ci_low, &table.ci_high}) {
        std::fill(column->begin(), column->end(), std::numeric_limits<double>::quiet_NaN());
      }
      std::fill(table.significance.begin(), table.significance.end(), std::string_view{});
    }
    append_table(tables, table);
  }
  return build_result_frame(tables, NumberColumns::Float64Arrays);
}

template <PyRef (*Body)(PyObject*)>
PyObject* entry(PyObject* /*module*/, PyObject* args) {
  return call_scope([&] { return Body(args); });
}

PyMethodDef entry_points[] = {
    {"_read_model", entry<method_and_model>, METH_VARARGS,
     "se_method and the model read as mfx reads them: (family, method, params, cov, names, "
     "exog)."},
    {"_intercept_indices", entry<intercept_indices>, METH_VARARGS,
     "The intercepts among the names, after mfx's checks of the names and shapes."},
    {"_guess_dummies", entry<guess_dummies>, METH_VARARGS,
     "The dummies as mfx guesses them from a block's first rows."},
    {"_block_totals", entry<block_totals>, METH_VARARGS,
     "Rows, effect and Jacobian totals of one block, and whether each dummy held."},
    {"_group_block_totals", entry<group_block_totals>, METH_VARARGS,
     "Rows, effect, Jacobian and weight totals of each group of one block, and whether each "
     "dummy held."},
    {"_report", entry<report>, METH_VARARGS, "The DataFrame for totals over n rows."},
    {"_group_report", entry<group_report>, METH_VARARGS,
     "One DataFrame of the tables for each group's totals."},
};

}  // namespace

void add_block_entry_points(PyObject* module) {
  // The rows of the first block that _guess_dummies reads, so that a caller
  // hands it no more than that (a whole block may have to cross a network).
  check_status(PyModule_AddIntConstant(module, "_guess_rows",
                                       static_cast<long>(classification_sample_rows)));
  const PyRef module_name = checked(PyModule_GetNameObject(module));
  for (PyMethodDef& definition : entry_points) {
    const PyRef function = checked(PyCFunction_NewEx(&definition, module, module_name.get()));
    check_status(PyObject_SetAttrString(module, definition.ml_name, function.get()));
  }
}

}  // namespace velmora
