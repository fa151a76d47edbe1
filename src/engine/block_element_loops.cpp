#include "engine/block_element_loops.hpp"

#include <bit>
#include <cstdint>
#include <limits>

#include "engine/vector_math.hpp"
#include "engine/vector_pack.hpp"

namespace velmora {
namespace {

// Eight running sums, one per lane of a vector register, break the chain of
// dependent additions and let the loop vectorise without reordering any one
// sum; the order of additions within a chunk is free.
constexpr std::size_t sum_lanes = 8;

[[gnu::always_inline]] inline double lane_total(const double (&partial)[sum_lanes]) {
  return ((partial[0] + partial[1]) + (partial[2] + partial[3])) +
         ((partial[4] + partial[5]) + (partial[6] + partial[7]));
}

// Each loop below is compiled once per instruction set and dispatched at
// load time; the functions of the header call them, so that every caller
// reaches the dispatch (a cloned function of external linkage is not one
// symbol to every compiler).

VELMORA_SIMD_CLONES
double weighted_sum_elements(const double* __restrict values, const double* __restrict w,
                             std::size_t n) {
  double partial[sum_lanes] = {};
  std::size_t r = 0;
  for (; r + sum_lanes <= n; r += sum_lanes) {
    for (std::size_t l = 0; l < sum_lanes; ++l) {
      partial[l] += w[r + l] * values[r + l];
    }
  }
  for (; r < n; ++r) {
    partial[0] += w[r] * values[r];
  }
  return lane_total(partial);
}

VELMORA_SIMD_CLONES
double sum_elements(const double* __restrict values, std::size_t n) {
  double partial[sum_lanes] = {};
  std::size_t r = 0;
  for (; r + sum_lanes <= n; r += sum_lanes) {
    for (std::size_t l = 0; l < sum_lanes; ++l) {
      partial[l] += values[r + l];
    }
  }
  for (; r < n; ++r) {
    partial[0] += values[r];
  }
  return lane_total(partial);
}

template <ContinuousWeights kind>
[[gnu::always_inline]] inline double continuous_weight(double a, double f) {
  if constexpr (kind == ContinuousWeights::IndexTimesDensity) {
    return a * f;
  } else if constexpr (kind == ContinuousWeights::LogitSlope) {
    return f * (1.0 - (a + a));
  } else {
    return f * (-a);
  }
}

// sum_elements' order of additions, with the weights beside it.
template <ContinuousWeights kind>
[[gnu::always_inline]] inline double continuous_weights_loop(const double* __restrict a,
                                                             const double* __restrict f,
                                                             double* __restrict out,
                                                             std::size_t n) {
  double partial[sum_lanes] = {};
  std::size_t r = 0;
  for (; r + sum_lanes <= n; r += sum_lanes) {
    for (std::size_t l = 0; l < sum_lanes; ++l) {
      partial[l] += f[r + l];
      out[r + l] = continuous_weight<kind>(a[r + l], f[r + l]);
    }
  }
  for (; r < n; ++r) {
    partial[0] += f[r];
    out[r] = continuous_weight<kind>(a[r], f[r]);
  }
  return lane_total(partial);
}

template <ContinuousWeights kind>
[[gnu::always_inline]] inline double weighted_continuous_weights_loop(const double* __restrict a,
                                                                      const double* __restrict f,
                                                                      double* __restrict out,
                                                                      std::size_t n,
                                                                      const double* __restrict w) {
  double partial[sum_lanes] = {};
  std::size_t r = 0;
  for (; r + sum_lanes <= n; r += sum_lanes) {
    for (std::size_t l = 0; l < sum_lanes; ++l) {
      partial[l] += w[r + l] * f[r + l];
      out[r + l] = continuous_weight<kind>(a[r + l], f[r + l]) * w[r + l];
    }
  }
  for (; r < n; ++r) {
    partial[0] += w[r] * f[r];
    out[r] = continuous_weight<kind>(a[r], f[r]) * w[r];
  }
  return lane_total(partial);
}

template <ContinuousWeights kind>
[[gnu::always_inline]] inline double continuous_weights_either(const double* __restrict a,
                                                               const double* __restrict f,
                                                               double* __restrict out,
                                                               std::size_t n,
                                                               const double* __restrict w) {
  return w == nullptr ? continuous_weights_loop<kind>(a, f, out, n)
                      : weighted_continuous_weights_loop<kind>(a, f, out, n, w);
}

VELMORA_SIMD_CLONES
double index_times_density_elements(const double* __restrict a, const double* __restrict f,
                                    double* __restrict out, std::size_t n,
                                    const double* __restrict w) {
  return continuous_weights_either<ContinuousWeights::IndexTimesDensity>(a, f, out, n, w);
}

VELMORA_SIMD_CLONES
double logit_slope_weight_elements(const double* __restrict a, const double* __restrict f,
                                   double* __restrict out, std::size_t n,
                                   const double* __restrict w) {
  return continuous_weights_either<ContinuousWeights::LogitSlope>(a, f, out, n, w);
}

VELMORA_SIMD_CLONES
double probit_slope_weight_elements(const double* __restrict a, const double* __restrict f,
                                    double* __restrict out, std::size_t n,
                                    const double* __restrict w) {
  return continuous_weights_either<ContinuousWeights::ProbitSlope>(a, f, out, n, w);
}

VELMORA_SIMD_CLONES
bool scaled_exponentials_elements(const double* __restrict x_j, const double* __restrict exp_xb,
                                  double at_one, double at_zero, double* __restrict out,
                                  std::size_t m) {
  // In the bits of a double, the positive normal numbers are one unsigned
  // range; the check is then integer operations of the width of a double,
  // which vectorise with the rest of the loop.
  constexpr auto least = std::bit_cast<std::uint64_t>(std::numeric_limits<double>::min());
  constexpr std::uint64_t span =
      std::bit_cast<std::uint64_t>(std::numeric_limits<double>::max()) - least;
  std::uint64_t outside = 0;
  for (std::size_t r = 0; r < m; ++r) {
    const double g = exp_xb[r];
    const double product = g * (x_j[r] == 1.0 ? at_one : at_zero);
    out[r] = product;
    const std::uint64_t g_offset = std::bit_cast<std::uint64_t>(g) - least;
    const std::uint64_t product_offset = std::bit_cast<std::uint64_t>(product) - least;
    outside |=
        (g_offset > span ? std::uint64_t{1} : 0) | (product_offset > span ? std::uint64_t{1} : 0);
  }
  return outside == 0;
}

}  // namespace

// lane_total of the sum_lanes running sums held in vectors of Width doubles.
template <std::size_t Width>
[[gnu::always_inline]] inline double lanes_total(
    const typename Pack<Width>::type (&sums)[sum_lanes / Width]) {
  double partial[sum_lanes];
  for (std::size_t p = 0; p < sum_lanes / Width; ++p) {
    for (std::size_t i = 0; i < Width; ++i) {
      partial[p * Width + i] = sums[p][i];
    }
  }
  return lane_total(partial);
}

// The picks on vectors of Width doubles, sum_lanes / Width of them holding
// the running sums: the order of additions of sum() at any width, and
// vectorised by either compiler (Clang's vectoriser would not split the sums
// into lanes itself).
// One pack's F and f at x_j = 1 and 0, picked from those of xb and of the
// other index, added to the running sums, and its rows' weights f1 - f0
// stored; weighted, each row's values taken row_weights[r] times.
template <bool weighted, class Vec, class Mask>
[[gnu::always_inline]] inline void add_pack_picks(const Mask& at_one, const Vec& f_xb,
                                                  const Vec& f_other, const Vec& g_xb,
                                                  const Vec& g_other,
                                                  const double* __restrict row_weights, Vec& cdf1,
                                                  Vec& cdf0, Vec& pdf1,
                                                  double* __restrict weights) {
  const Vec g1 = at_one ? g_xb : g_other;
  const Vec g0 = at_one ? g_other : g_xb;
  if constexpr (weighted) {
    Vec w;
    load(w, row_weights);
    cdf1 += w * (at_one ? f_xb : f_other);
    cdf0 += w * (at_one ? f_other : f_xb);
    pdf1 += w * g1;
    store(weights, (g1 - g0) * w);
  } else {
    cdf1 += at_one ? f_xb : f_other;
    cdf0 += at_one ? f_other : f_xb;
    pdf1 += g1;
    store(weights, g1 - g0);
  }
}

template <std::size_t Width, bool weighted>
[[gnu::always_inline]] inline DummySums pick_dummy_values_of(
    const double* __restrict x_j, const double* __restrict cdf_xb, const double* __restrict fxb,
    const double* __restrict other_cdf, const double* __restrict other_pdf,
    double* __restrict weights, std::size_t m, const double* __restrict row_weights) {
  using Vec = typename Pack<Width>::type;
  constexpr std::size_t packs = sum_lanes / Width;
  Vec cdf1[packs] = {};
  Vec cdf0[packs] = {};
  Vec pdf1[packs] = {};
  std::size_t r = 0;
  for (; r + sum_lanes <= m; r += sum_lanes) {
    for (std::size_t p = 0; p < packs; ++p) {
      const std::size_t at = r + p * Width;
      Vec x, f_xb, g_xb, f_other, g_other;
      load(x, x_j + at);
      load(f_xb, cdf_xb + at);
      load(g_xb, fxb + at);
      load(f_other, other_cdf + at);
      load(g_other, other_pdf + at);
      add_pack_picks<weighted>(x == 1.0, f_xb, f_other, g_xb, g_other,
                               weighted ? row_weights + at : nullptr, cdf1[p], cdf0[p], pdf1[p],
                               weights + at);
    }
  }
  for (; r < m; ++r) {
    const bool at_one = x_j[r] == 1.0;
    const double w = weighted ? row_weights[r] : 1.0;
    cdf1[0][0] += w * (at_one ? cdf_xb[r] : other_cdf[r]);
    cdf0[0][0] += w * (at_one ? other_cdf[r] : cdf_xb[r]);
    const double g1 = at_one ? fxb[r] : other_pdf[r];
    const double g0 = at_one ? other_pdf[r] : fxb[r];
    pdf1[0][0] += w * g1;
    weights[r] = (g1 - g0) * w;
  }
  return {lanes_total<Width>(cdf1), lanes_total<Width>(cdf0), lanes_total<Width>(pdf1)};
}

// The loops that test and select by comparisons run at most four doubles
// wide, whatever the registers' width: at eight, GCC 12 splits their masks
// into scalar steps (on an AMD Zen 4 the AVX-512 versions ran at about half
// the AVX2 ones' speed). Their order of additions is the same at any width.
template <std::size_t Width>
constexpr std::size_t masked_width = Width < 4 ? Width : 4;

// Multiplying by a weight of 1.0 is exact, so the unweighted values are
// those of the loop without the products, which it is.
template <std::size_t Width>
[[gnu::always_inline]] inline DummySums pick_dummy_values_at(
    const double* __restrict x_j, const double* __restrict cdf_xb, const double* __restrict fxb,
    const double* __restrict other_cdf, const double* __restrict other_pdf,
    double* __restrict weights, std::size_t m, const double* __restrict row_weights) {
  constexpr std::size_t width = masked_width<Width>;
  if (row_weights == nullptr) {
    return pick_dummy_values_of<width, false>(x_j, cdf_xb, fxb, other_cdf, other_pdf, weights, m,
                                              nullptr);
  }
  return pick_dummy_values_of<width, true>(x_j, cdf_xb, fxb, other_cdf, other_pdf, weights, m,
                                           row_weights);
}

// The gather and the test in one loop on vectors of Width doubles (at most
// four), the test as two comparisons of doubles that hold (x is 1 or a zero
// of either sign; NaN is neither) on the vector just built, not a chain of
// comparisons along the strided reads. With `with_other`, the other index
// (xb - beta_j at x = 1, xb + beta_j at x = 0) in the same loop, from the
// same comparison with 1.
template <std::size_t Registers, bool with_other>
[[gnu::always_inline]] inline bool gather_binary_of(const double* __restrict column,
                                                    std::ptrdiff_t stride, double* __restrict x_j,
                                                    std::size_t m, const double* __restrict xb,
                                                    double beta_j, double* __restrict other) {
  constexpr std::size_t Width = masked_width<Registers>;
  using Vec = typename Pack<Width>::type;
  using Bits = typename Pack<Width>::bits;
  const Vec at_one = Vec{} - beta_j;
  const Vec at_zero = Vec{} + beta_j;
  Bits all_binary = ~Bits{};
  std::size_t r = 0;
  for (; r + Width <= m; r += Width) {
    Vec v;
    if (stride == 1) {
      load(v, column + r);
    } else {
      for (std::size_t i = 0; i < Width; ++i) {
        v[i] = column[static_cast<std::ptrdiff_t>(r + i) * stride];
      }
    }
    store(x_j + r, v);
    const auto one = v == 1.0;
    all_binary &= one | (v == 0.0);
    if constexpr (with_other) {
      Vec index;
      load(index, xb + r);
      store(other + r, index + (one ? at_one : at_zero));
    }
  }
  bool binary = true;
  for (std::size_t i = 0; i < Width; ++i) {
    binary &= all_binary[i] != 0;
  }
  for (; r < m; ++r) {
    const double value = column[static_cast<std::ptrdiff_t>(r) * stride];
    x_j[r] = value;
    binary &= value == 1.0 || value == 0.0;
    if constexpr (with_other) {
      other[r] = xb[r] + (value == 1.0 ? -beta_j : beta_j);
    }
  }
  return binary;
}

template <std::size_t Registers>
[[gnu::always_inline]] inline bool gather_binary_at(const double* __restrict column,
                                                    std::ptrdiff_t stride, double* __restrict x_j,
                                                    std::size_t m) {
  return gather_binary_of<Registers, false>(column, stride, x_j, m, nullptr, 0.0, nullptr);
}

template <std::size_t Registers>
[[gnu::always_inline]] inline bool gather_binary_with_other_index_at(
    const double* __restrict column, std::ptrdiff_t stride, const double* __restrict xb,
    double beta_j, double* __restrict x_j, double* __restrict other, std::size_t m) {
  return gather_binary_of<Registers, true>(column, stride, x_j, m, xb, beta_j, other);
}

// logit_dummy_values on vectors of Width doubles: each step is that of
// gather_binary_at, scaled_exponentials, logistic_cdf_pdf_of_exp and
// pick_dummy_values_of, in their order, so the values are theirs bit for bit.
template <std::size_t Width, bool weighted>
[[gnu::always_inline]] inline bool logit_dummy_values_of(
    const double* __restrict column, std::ptrdiff_t stride, const double* __restrict exp_xb,
    double at_one, double at_zero, const double* __restrict cdf_xb, const double* __restrict fxb,
    double* __restrict weights, std::size_t m, const double* __restrict row_weights,
    DummySums& sums) {
  using Vec = typename Pack<Width>::type;
  using Bits = typename Pack<Width>::bits;
  constexpr std::size_t packs = sum_lanes / Width;
  // The tests as comparisons of doubles that hold, so that none needs its
  // negation: x is a zero of either sign or 1; the scaled exponential lies
  // within its bounds (NaN in no range).
  const Vec one = Vec{} + 1.0;
  Bits all_within = ~Bits{};
  Vec cdf1[packs] = {};
  Vec cdf0[packs] = {};
  Vec pdf1[packs] = {};
  std::size_t r = 0;
  for (; r + sum_lanes <= m; r += sum_lanes) {
    for (std::size_t p = 0; p < packs; ++p) {
      const std::size_t at = r + p * Width;
      Vec x, g, f_xb, g_xb;
      if (stride == 1) {
        load(x, column + at);
      } else {
        for (std::size_t i = 0; i < Width; ++i) {
          x[i] = column[static_cast<std::ptrdiff_t>(at + i) * stride];
        }
      }
      load(g, exp_xb + at);
      load(f_xb, cdf_xb + at);
      load(g_xb, fxb + at);
      const auto at_x_one = x == 1.0;
      const Vec factor = at_x_one ? Vec{} + at_one : Vec{} + at_zero;
      const Vec other = g * factor;
      all_within &= (at_x_one | (x == 0.0)) & (other >= scaled_exponential_lower) &
                    (other <= scaled_exponential_upper);
      const Vec s = other + 1.0;
      const Vec q = one / s;
      const Vec f_other = other * q;
      const Vec g_other = f_other * q;
      add_pack_picks<weighted>(at_x_one, f_xb, f_other, g_xb, g_other,
                               weighted ? row_weights + at : nullptr, cdf1[p], cdf0[p], pdf1[p],
                               weights + at);
    }
  }
  bool within = true;
  for (std::size_t i = 0; i < Width; ++i) {
    within &= all_within[i] != 0;
  }
  for (; r < m; ++r) {
    const double x = column[static_cast<std::ptrdiff_t>(r) * stride];
    const bool at_x_one = x == 1.0;
    const double g = exp_xb[r];
    const double other = g * (at_x_one ? at_one : at_zero);
    within &= (at_x_one || x == 0.0) && other >= scaled_exponential_lower &&
              other <= scaled_exponential_upper;
    const double s = other + 1.0;
    const double q = 1.0 / s;
    const double f_other = other * q;
    const double g_other = f_other * q;
    const double w = weighted ? row_weights[r] : 1.0;
    cdf1[0][0] += w * (at_x_one ? cdf_xb[r] : f_other);
    cdf0[0][0] += w * (at_x_one ? f_other : cdf_xb[r]);
    const double g1 = at_x_one ? fxb[r] : g_other;
    const double g0 = at_x_one ? g_other : fxb[r];
    pdf1[0][0] += w * g1;
    weights[r] = (g1 - g0) * w;
  }
  sums = {lanes_total<Width>(cdf1), lanes_total<Width>(cdf0), lanes_total<Width>(pdf1)};
  return within;
}

template <std::size_t Width>
[[gnu::always_inline]] inline bool logit_dummy_values_at(
    const double* __restrict column, std::ptrdiff_t stride, const double* __restrict exp_xb,
    double at_one, double at_zero, const double* __restrict cdf_xb, const double* __restrict fxb,
    double* __restrict weights, std::size_t m, const double* __restrict row_weights,
    DummySums& sums) {
  constexpr std::size_t width = masked_width<Width>;
  if (row_weights == nullptr) {
    return logit_dummy_values_of<width, false>(column, stride, exp_xb, at_one, at_zero, cdf_xb, fxb,
                                               weights, m, nullptr, sums);
  }
  return logit_dummy_values_of<width, true>(column, stride, exp_xb, at_one, at_zero, cdf_xb, fxb,
                                            weights, m, row_weights, sums);
}

namespace width_versions {

VELMORA_WIDTH_VERSIONS(bool, gather_binary,
                       (const double* __restrict column, std::ptrdiff_t stride,
                        double* __restrict x_j, std::size_t m),
                       gather_binary_at, (column, stride, x_j, m))

VELMORA_WIDTH_VERSIONS(bool, gather_binary_with_other_index,
                       (const double* __restrict column, std::ptrdiff_t stride,
                        const double* __restrict xb, double beta_j, double* __restrict x_j,
                        double* __restrict other, std::size_t m),
                       gather_binary_with_other_index_at,
                       (column, stride, xb, beta_j, x_j, other, m))

VELMORA_WIDTH_VERSIONS(DummySums, pick_dummy_values,
                       (const double* __restrict x_j, const double* __restrict cdf_xb,
                        const double* __restrict fxb, const double* __restrict other_cdf,
                        const double* __restrict other_pdf, double* __restrict weights,
                        std::size_t m, const double* __restrict row_weights),
                       pick_dummy_values_at,
                       (x_j, cdf_xb, fxb, other_cdf, other_pdf, weights, m, row_weights))

VELMORA_WIDTH_VERSIONS(bool, logit_dummy_values,
                       (const double* __restrict column, std::ptrdiff_t stride,
                        const double* __restrict exp_xb, double at_one, double at_zero,
                        const double* __restrict cdf_xb, const double* __restrict fxb,
                        double* __restrict weights, std::size_t m,
                        const double* __restrict row_weights, DummySums& sums),
                       logit_dummy_values_at,
                       (column, stride, exp_xb, at_one, at_zero, cdf_xb, fxb, weights, m,
                        row_weights, sums))

}  // namespace width_versions

double sum(const double* __restrict values, std::size_t n) { return sum_elements(values, n); }

double sum(std::span<const double> values) { return sum_elements(values.data(), values.size()); }

double weighted_sum(const double* __restrict values, const double* __restrict row_weights,
                    std::size_t n) {
  return weighted_sum_elements(values, row_weights, n);
}

double continuous_weights_and_density_sum(ContinuousWeights kind, const double* __restrict a,
                                          const double* __restrict f, double* __restrict out,
                                          std::size_t n, const double* __restrict row_weights) {
  switch (kind) {
    case ContinuousWeights::IndexTimesDensity:
      return index_times_density_elements(a, f, out, n, row_weights);
    case ContinuousWeights::LogitSlope:
      return logit_slope_weight_elements(a, f, out, n, row_weights);
    case ContinuousWeights::ProbitSlope:
      break;
  }
  return probit_slope_weight_elements(a, f, out, n, row_weights);
}

bool gather_binary(const double* __restrict column, std::ptrdiff_t stride, double* __restrict x_j,
                   std::size_t m) {
  return width_versions::gather_binary(column, stride, x_j, m);
}

bool gather_binary_with_other_index(const double* __restrict column, std::ptrdiff_t stride,
                                    const double* __restrict xb, double beta_j,
                                    double* __restrict x_j, double* __restrict other,
                                    std::size_t m) {
  return width_versions::gather_binary_with_other_index(column, stride, xb, beta_j, x_j, other, m);
}

bool scaled_exponentials(const double* __restrict x_j, const double* __restrict exp_xb,
                         double at_one, double at_zero, double* __restrict out, std::size_t m) {
  return scaled_exponentials_elements(x_j, exp_xb, at_one, at_zero, out, m);
}

DummySums pick_dummy_values(const double* __restrict x_j, const double* __restrict cdf_xb,
                            const double* __restrict fxb, const double* __restrict other_cdf,
                            const double* __restrict other_pdf, double* __restrict weights,
                            std::size_t m, const double* __restrict row_weights) {
  return width_versions::pick_dummy_values(x_j, cdf_xb, fxb, other_cdf, other_pdf, weights, m,
                                           row_weights);
}

bool logit_dummy_values(const double* __restrict column, std::ptrdiff_t stride,
                        const double* __restrict exp_xb, double at_one, double at_zero,
                        const double* __restrict cdf_xb, const double* __restrict fxb,
                        double* __restrict weights, std::size_t m, DummySums& sums,
                        const double* __restrict row_weights) {
  return width_versions::logit_dummy_values(column, stride, exp_xb, at_one, at_zero, cdf_xb, fxb,
                                            weights, m, row_weights, sums);
}

}  // namespace velmora
