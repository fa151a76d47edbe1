#pragma once
// The loops over the elements of a block's working arrays that the pass
// runs besides the link functions: sums, and for each dummy column its
// gather and 0/1 check, its other index, and the picks of F and f. Each is
// compiled once per instruction set (VELMORA_SIMD_CLONES), the running CPU
// choosing.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

namespace velmora {

// Sums of n values in eight running sums, one per lane of a vector
// register, added pairwise at the end: the same order of additions at any
// vector width.
[[nodiscard]] double sum(const double* __restrict values, std::size_t n);
[[nodiscard]] double sum(std::span<const double> values);
// The sum of row_weights[r] * values[r] in the same order.
[[nodiscard]] double weighted_sum(const double* __restrict values,
                                  const double* __restrict row_weights, std::size_t n);

// The weights of the continuous columns in a block, with the sum of the
// densities f that sum() gives, in one loop: out[r] = a[r] * f[r] for
// "orvo" (a the linear index), f[r] * (1 - 2 a[r]) for Logit's "sm" (a its F)
// and f[r] * -a[r] for Probit's (a the linear index), the derivative of the
// density as link_pdf_derivative has it. With row_weights, each out[r] and
// f[r] are taken row_weights[r] times.
enum class ContinuousWeights { IndexTimesDensity, LogitSlope, ProbitSlope };
[[nodiscard]] double continuous_weights_and_density_sum(
    ContinuousWeights kind, const double* __restrict a, const double* __restrict f,
    double* __restrict out, std::size_t n, const double* __restrict row_weights = nullptr);

// A dummy column's values in a block gathered to unit stride (m values
// `stride` apart from `column` into x_j); true when all of them are exactly
// 0 or 1 (-0 included).
[[nodiscard]] bool gather_binary(const double* __restrict column, std::ptrdiff_t stride,
                                 double* __restrict x_j, std::size_t m);

// gather_binary, and for a 0/1 column the index that is not xb itself into
// `other` in the same loop: xb - beta_j at x = 1, xb + beta_j at x = 0 (the
// general formulas' values, as (1 - 1) * beta_j and -0 * beta_j are zeros).
// Where the column is not 0/1, `other` is of no use.
[[nodiscard]] bool gather_binary_with_other_index(const double* __restrict column,
                                                  std::ptrdiff_t stride,
                                                  const double* __restrict xb, double beta_j,
                                                  double* __restrict x_j, double* __restrict other,
                                                  std::size_t m);

// A positive double that is neither subnormal nor infinite (false for NaN).
inline bool positive_normal(double v) {
  // In the bits of a double the positive normal numbers are one unsigned
  // range: one subtraction and one comparison, without a branch.
  constexpr auto least = std::bit_cast<std::uint64_t>(std::numeric_limits<double>::min());
  constexpr auto most = std::bit_cast<std::uint64_t>(std::numeric_limits<double>::max());
  return std::bit_cast<std::uint64_t>(v) - least <= most - least;
}

// Logit: exp of the other index of a 0/1 column as exp(xb) times at_one =
// exp(-beta_j) (at x = 1) or at_zero = exp(beta_j) (at x = 0), a product
// instead of an exponential. It differs from exp(xb -/+ beta_j) by rounding
// only where both exp(xb) and the product are normal numbers (the factors
// are checked by the caller); false when some element is not, for the
// caller to compute those again.
[[nodiscard]] bool scaled_exponentials(const double* __restrict x_j,
                                       const double* __restrict exp_xb, double at_one,
                                       double at_zero, double* __restrict out, std::size_t m);

// Sums over a block's rows of F at x_j = 1, F at x_j = 0 and f at x_j = 1.
struct DummySums {
  double cdf1;
  double cdf0;
  double pdf1;
};

// F and f at x_j = 1 and at x_j = 0, picked from those of xb and of the
// other index (selects, not arithmetic: exact), summed as sum() sums, and
// the dummy's weight f1 - f0 for each row; with row_weights, each row's
// values taken row_weights[r] times.
[[nodiscard]] DummySums pick_dummy_values(
    const double* __restrict x_j, const double* __restrict cdf_xb, const double* __restrict fxb,
    const double* __restrict other_cdf, const double* __restrict other_pdf,
    double* __restrict weights, std::size_t m, const double* __restrict row_weights = nullptr);

// The fused Logit dummy loop below stays on its fast path where the factor
// exp(-/+beta_j) lies within these bounds and every scaled exponential
// within the wider ones: exp(xb) is then a normal number too, and neither
// the exponential nor the square of 1 plus it is infinite, so the F and f
// need none of the limits' guards.
constexpr double scaled_factor_lower = 0x1p-300;
constexpr double scaled_factor_upper = 0x1p300;
constexpr double scaled_exponential_lower = 0x1p-500;
constexpr double scaled_exponential_upper = 0x1p500;

inline bool within_scaled_factor_bounds(double factor) {
  return factor >= scaled_factor_lower && factor <= scaled_factor_upper;
}

// Logit, a dummy column read from X (m values `stride` apart from `column`):
// gather_binary's test, scaled_exponentials, the F and f of the other index
// from its exponential (as logit_cdf_and_pdf_of_exp) and pick_dummy_values
// in one loop, the same values without the arrays between them. False, and
// `sums` and `weights` of no use, where the column holds a value other than
// 0 and 1 or some scaled exponential is outside the bounds above; the
// caller then takes the separate steps, which handle those. The factors
// at_one and at_zero are within their bounds. Row weights as for
// pick_dummy_values.
[[nodiscard]] bool logit_dummy_values(const double* __restrict column, std::ptrdiff_t stride,
                                      const double* __restrict exp_xb, double at_one,
                                      double at_zero, const double* __restrict cdf_xb,
                                      const double* __restrict fxb, double* __restrict weights,
                                      std::size_t m, DummySums& sums,
                                      const double* __restrict row_weights = nullptr);

}  // namespace velmora
