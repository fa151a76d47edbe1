#pragma once
// Reading a fitted Logit or Probit results object: the family from the model's
// class name, params, cov_params(), the model's exog and the regressor names.
// The arrays are read in place; this struct keeps them alive for the call.

#include "engine/model_inputs.hpp"
#include "lib/python_support.hpp"

namespace velmora {

struct ReadModel {
  ModelInputs inputs;  // views into the arrays below
  PyRef params_array;
  PyRef cov_array;
  PyRef exog_array;
};

// Throws PythonErrorSet for the reader's TypeError/ValueError and for whatever
// the results object raises, InternalFailure when NumPy cannot be reached.
[[nodiscard]] ReadModel read_model_inputs(PyObject* results);

}  // namespace velmora
