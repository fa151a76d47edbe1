#pragma once
// Reading a fitted Logit or Probit results object: the family from the model's
// class name, params, cov_params(), the model's exog and the regressor names.
// The arrays are read in place; this struct keeps them alive for the call.

#include <cstddef>

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

// The accumulators and the delta method hold k x k matrices of doubles. A k
// whose square does not fit in memory's address range cannot be allocated,
// and k * k must not be left to wrap around into a small size: throws
// std::bad_alloc (MemoryError for the caller).
void require_addressable_square(std::size_t k);

// Kinds of exog that a caller computes on elsewhere (null: none). An exog,
// or its values, of `array_type` is handed back unchecked, named by the
// model's exog_names; an exog of `frame_type` is handed back itself, not
// its values, named by its columns.
struct DeferredExogTypes {
  PyObject* array_type = nullptr;
  PyObject* frame_type = nullptr;
};

// The same reads in the same order, with the same messages, for callers whose
// rows may live elsewhere: the model's exog (its values where it has them) is
// checked as a float64 matrix unless it is of a deferred type, and handed
// back as it is.
struct ModelObjects {
  ModelKind kind = ModelKind::Logit;
  std::vector<std::string> names;
  PyRef params_array;
  PyRef cov_array;
  PyRef exog;
};

[[nodiscard]] ModelObjects read_model_objects(PyObject* results, const DeferredExogTypes& deferred);

// The names rule: a sequence (not a str) of str, copied as UTF-8.
[[nodiscard]] std::vector<std::string> names_of(PyObject* value);

// The reader's array check: a float64 NumPy array (subclasses included) of
// exactly `dimensions` axes whose elements can be addressed as doubles in
// place, else TypeError "'TYPE' object cannot be converted to
// 'PyArray<T, D>'"; never converted or reshaped. Makes NumPy's C API ready
// for the rest of the process.
void require_float64_array(PyObject* candidate, int dimensions);

// Views of arrays that passed require_float64_array.
[[nodiscard]] VectorView vector_view(PyObject* checked_array);
[[nodiscard]] MatrixView matrix_view(PyObject* checked_array);

}  // namespace velmora
