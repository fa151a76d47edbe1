#pragma once
// The NumPy arrays the module reads in place and the ones it makes. Its
// source is the one file that includes NumPy's headers: it owns NumPy's
// function table, taken at the first array check.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "engine/strided_view.hpp"
#include "lib/python_support.hpp"

namespace velmora {

// The reader's array check: a float64 NumPy array (subclasses included) of
// exactly `dimensions` axes whose elements can be addressed as doubles in
// place, else TypeError "'TYPE' object cannot be converted to
// 'PyArray<T, D>'"; never converted or reshaped. Throws InternalFailure
// when NumPy's C API cannot be reached.
void require_float64_array(PyObject* candidate, int dimensions);

// Views of arrays that passed require_float64_array.
[[nodiscard]] VectorView vector_view(PyObject* checked_array);
[[nodiscard]] MatrixView matrix_view(PyObject* checked_array);

// The elements of a float64 array of `dimensions` axes that holds exactly
// `size` of them in C order, else ValueError.
[[nodiscard]] std::span<const double> contiguous_values(PyObject* array, int dimensions,
                                                        std::size_t size);

// The number of elements of an array that passed require_float64_array.
[[nodiscard]] std::size_t element_count(PyObject* checked_array);

// The elements of a C-contiguous 1-D int64 array, else TypeError naming
// `what`.
[[nodiscard]] std::span<const std::int64_t> contiguous_int64_values(PyObject* array,
                                                                    const char* what);

// New 1-D int64 arrays holding `values`.
[[nodiscard]] PyRef int64_array(std::span<const std::int64_t> values);
[[nodiscard]] PyRef int64_array(std::span<const std::uint64_t> values);

// A new C-ordered float64 array of the given shape holding `values`.
[[nodiscard]] PyRef float64_array(std::span<const double> values,
                                  std::initializer_list<Py_ssize_t> shape);

}  // namespace velmora
