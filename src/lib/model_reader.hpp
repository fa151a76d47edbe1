#pragma once
// Reading a fitted Logit or Probit results object: the family from the model's
// class name, params, cov_params(), the model's exog and the regressor names.
// The arrays are read in place; the record keeps them alive for the call.

#include <string>
#include <vector>

#include "engine/model_inputs.hpp"
#include "lib/python_support.hpp"

namespace velmora {

// Kinds of exog that a caller computes on elsewhere (null: none). An exog,
// or its values, of `array_type` is handed back unchecked, named by the
// model's exog_names; an exog of `frame_type` is handed back itself, not
// its values, named by its columns.
struct DeferredExogTypes {
  PyObject* array_type = nullptr;
  PyObject* frame_type = nullptr;
};

// What the reader read: the family, copies of the names, and the arrays
// (the exog as it is where it was of a deferred type).
struct ReadModel {
  ModelKind kind = ModelKind::Logit;
  std::vector<std::string> names;
  PyRef params_array;
  PyRef cov_array;
  PyRef exog;
};

// The reads in a fixed order, so that the first failure decides what the
// caller sees. Throws PythonErrorSet for the reader's TypeError/ValueError
// and for whatever the results object raises, InternalFailure when NumPy
// cannot be reached.
[[nodiscard]] ReadModel read_model(PyObject* results, const DeferredExogTypes& deferred = {});

// The views of a model read with no deferred types, valid while `read` lives.
[[nodiscard]] ModelInputs model_inputs(const ReadModel& read);

// The names rule: a sequence (not a str) of str, copied as UTF-8.
[[nodiscard]] std::vector<std::string> names_of(PyObject* value);

}  // namespace velmora
