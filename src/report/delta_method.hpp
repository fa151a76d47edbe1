#pragma once
// From the effect and Jacobian totals to the table of average marginal
// effects: averages, delta-method covariance C = (J V) J^T, standard errors,
// z statistics, two-sided p-values, stars and 95 % intervals.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/blas.hpp"
#include "engine/strided_view.hpp"

namespace velmora {

// One entry per regressor that is not an intercept, in ascending column order.
struct EffectsTable {
  std::vector<double> dydx;
  std::vector<double> std_err;
  std::vector<double> z;
  std::vector<double> p_value;
  std::vector<double> ci_low;
  std::vector<double> ci_high;
  std::vector<std::string_view> significance;  // "***", "**", "*" or "" (static texts)
  std::vector<std::string> row_names;
};

// The averages are the totals over `observations`: the row count, or for
// weighted totals the weights' sum. Throws InternalFailure when V is not
// k x k or when a reported column has no name. The products go through
// `blas`.
[[nodiscard]] EffectsTable build_effects_table(std::span<const double> effect_totals,
                                               std::span<const double> jacobian_totals,
                                               double observations, const MatrixView& V,
                                               std::span<const std::size_t> intercept_indices,
                                               std::span<const std::string> names,
                                               const blas::Routines& blas);

}  // namespace velmora
