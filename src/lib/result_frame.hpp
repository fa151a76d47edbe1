#pragma once
// The pandas DataFrame that mfx returns, built from the effects table, and
// the NumPy arrays that it and the block entry points hand back.

#include <initializer_list>
#include <span>

#include "lib/python_support.hpp"
#include "report/delta_method.hpp"

namespace velmora {

// How the numeric columns are handed to pandas: as new lists of Python
// floats (mfx's frame), or as float64 NumPy arrays, which pandas takes
// without converting each number (the tables of many groups).
enum class NumberColumns { FloatLists, Float64Arrays };

// pandas.DataFrame(data={...seven columns...}, index=[names]); whatever the
// constructor returns is handed back as it is.
[[nodiscard]] PyRef build_result_frame(const EffectsTable& table,
                                       NumberColumns numbers = NumberColumns::FloatLists);

// A new C-ordered float64 array of the given shape holding `values`.
[[nodiscard]] PyRef float64_array(std::span<const double> values,
                                  std::initializer_list<Py_ssize_t> shape);

}  // namespace velmora
