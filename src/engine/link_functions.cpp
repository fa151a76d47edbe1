#include "engine/link_functions.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "engine/complementary_error_function.hpp"
#include "engine/vector_math.hpp"

// Clang takes each version of an element loop, functions of internal
// linkage here, for one that nothing calls.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wunused-function"
#endif

namespace velmora {
namespace {

// The normal density is exp(-z^2/2) times 1/sqrt(2 pi): the product differs
// from the quotient by sqrt(2 pi) by an ulp at most, and a division costs the
// vector units as much as several multiplications.
constexpr double inverse_sqrt_two_pi = 0.39894228040143267794;
constexpr double sqrt_two = 1.4142135623730951;

double logistic_cdf(double z) { return 1.0 / (std::exp(-z) + 1.0); }

double logistic_pdf(double z) {
  const double g = std::exp(z);
  // Above log(DBL_MAX) exp(z) is infinite and inf/inf would give NaN; the
  // density's limit there is 0.
  if (std::isinf(g)) {
    return 0.0;
  }
  return g / ((g + 1.0) * (g + 1.0));
}

double normal_pdf(double z) { return std::exp((-0.5 * z) * z) * inverse_sqrt_two_pi; }

// The helpers of the element loops are always inlined, so that each
// instruction set's clone of a loop compiles them for its own target (Clang
// would otherwise call one baseline copy from every clone).
// The element loops below are written without branches (selects of values
// computed on every element) so that they vectorise; `restrict` promises the
// compiler that outputs and inputs do not overlap.

// The Logit density from g = exp(z); where g is infinite the density's limit 0.
[[gnu::always_inline]] inline double logistic_pdf_of_exp(double g) {
  const double f = g / ((g + 1.0) * (g + 1.0));
  return g == INFINITY ? 0.0 : f;  // NaN stays NaN
}

// F and f together from g = exp(z), so that they share one exponential, and
// with one division, q = 1 / (g + 1): F = g * q, f = F * q, which differ from
// 1 / (exp(-z) + 1) and g / (g + 1)^2 by rounding (a division costs several
// multiplications). At g = inf F is 1 and f is 0, the limits, and f is 0
// wherever the formula's squared denominator overflows, as in the scalar
// form. Where exp(-z) overflows (z below about -709.8) the scalar F is 0 and
// this is g, at most 1.4e-308.
[[gnu::always_inline]] inline void logistic_cdf_pdf_of_exp(double g, double& cdf, double& pdf) {
  const double s = g + 1.0;
  const double q = 1.0 / s;
  const double t = g * q;
  cdf = g == INFINITY ? 1.0 : t;
  pdf = s * s == INFINITY ? 0.0 : t * q;  // NaN stays NaN
}

// The erfc routines give the limits at infinity and NaN for NaN themselves.
// In the near range a = x / -sqrt(2), one division, is the same value (the
// sign of a zero a aside, which erfc's single ratio does not see), and
// erfc's halving is folded into its ratio.
template <ErfcArguments arguments, SquareError square_error = SquareError::FromHalves>
[[gnu::always_inline]] inline double normal_cdf_element(double x) {
  constexpr double mean = 0.0;
  constexpr double sd = 1.0;
  if constexpr (arguments == ErfcArguments::Near) {
    return erfc_elementwise<arguments, square_error, true>(x / -sqrt_two);
  } else {
    const double a = (mean - x) / (sd * sqrt_two);
    return erfc_elementwise<arguments, square_error>(a) * 0.5;
  }
}

// The same from the density's exponential exp_s = exp((-0.5 * x) * x).
template <ErfcArguments arguments, SquareError square_error = SquareError::FromHalves>
[[gnu::always_inline]] inline double normal_cdf_element(double x, double s, double exp_s) {
  constexpr double mean = 0.0;
  constexpr double sd = 1.0;
  if constexpr (arguments == ErfcArguments::Near) {
    return erfc_from_exp<arguments, square_error, true>(x / -sqrt_two, s, exp_s);
  } else {
    const double a = (mean - x) / (sd * sqrt_two);
    return erfc_from_exp<arguments, square_error>(a, s, exp_s) * 0.5;
  }
}

[[gnu::always_inline]] inline double normal_pdf_element(double z) {
  return exp((-0.5 * z) * z) * inverse_sqrt_two_pi;
}

[[gnu::always_inline]] inline void logit_cdf_elements_loop(const double* __restrict z,
                                                           double* __restrict out, std::size_t n) {
  for (std::size_t r = 0; r < n; ++r) {
    out[r] = 1.0 / (exp(-z[r]) + 1.0);
  }
}
VELMORA_ELEMENT_VERSIONS(void, logit_cdf_elements,
                         (const double* __restrict z, double* __restrict out, std::size_t n),
                         logit_cdf_elements_loop, (z, out, n))

[[gnu::always_inline]] inline void logit_pdf_elements_loop(const double* __restrict z,
                                                           double* __restrict out, std::size_t n) {
  for (std::size_t r = 0; r < n; ++r) {
    out[r] = logistic_pdf_of_exp(exp(z[r]));
  }
}
VELMORA_ELEMENT_VERSIONS(void, logit_pdf_elements,
                         (const double* __restrict z, double* __restrict out, std::size_t n),
                         logit_pdf_elements_loop, (z, out, n))

[[gnu::always_inline]] inline void logit_cdf_pdf_elements_loop(const double* __restrict z,
                                                               double* __restrict cdf,
                                                               double* __restrict pdf,
                                                               std::size_t n) {
  for (std::size_t r = 0; r < n; ++r) {
    logistic_cdf_pdf_of_exp(exp(z[r]), cdf[r], pdf[r]);
  }
}
VELMORA_ELEMENT_VERSIONS(void, logit_cdf_pdf_elements,
                         (const double* __restrict z, double* __restrict cdf,
                          double* __restrict pdf, std::size_t n),
                         logit_cdf_pdf_elements_loop, (z, cdf, pdf, n))

[[gnu::always_inline]] inline void logit_cdf_pdf_of_exp_elements_loop(const double* __restrict g,
                                                                      double* __restrict cdf,
                                                                      double* __restrict pdf,
                                                                      std::size_t n) {
  for (std::size_t r = 0; r < n; ++r) {
    logistic_cdf_pdf_of_exp(g[r], cdf[r], pdf[r]);
  }
}
VELMORA_ELEMENT_VERSIONS(void, logit_cdf_pdf_of_exp_elements,
                         (const double* __restrict g, double* __restrict cdf,
                          double* __restrict pdf, std::size_t n),
                         logit_cdf_pdf_of_exp_elements_loop, (g, cdf, pdf, n))

[[gnu::always_inline]] inline void logit_slope_elements_loop(const double* __restrict z,
                                                             double* __restrict out,
                                                             std::size_t n) {
  for (std::size_t r = 0; r < n; ++r) {
    double t = 0.0;
    double f = 0.0;
    logistic_cdf_pdf_of_exp(exp(z[r]), t, f);
    out[r] = f * (1.0 - (t + t));
  }
}
VELMORA_ELEMENT_VERSIONS(void, logit_slope_elements,
                         (const double* __restrict z, double* __restrict out, std::size_t n),
                         logit_slope_elements_loop, (z, out, n))

[[gnu::always_inline]] inline void logit_exp_cdf_pdf_elements_loop(const double* __restrict z,
                                                                   double* __restrict g,
                                                                   double* __restrict cdf,
                                                                   double* __restrict pdf,
                                                                   std::size_t n) {
  for (std::size_t r = 0; r < n; ++r) {
    const double e = exp(z[r]);
    g[r] = e;
    logistic_cdf_pdf_of_exp(e, cdf[r], pdf[r]);
  }
}
VELMORA_ELEMENT_VERSIONS(void, logit_exp_cdf_pdf_elements,
                         (const double* __restrict z, double* __restrict g, double* __restrict cdf,
                          double* __restrict pdf, std::size_t n),
                         logit_exp_cdf_pdf_elements_loop, (z, g, cdf, pdf, n))

// Below this |z|, |z| / sqrt(2) is below 3.9 after rounding too, within
// the range of erfc's single ratio.
constexpr double near_bound = 5.5;

// In the bits of a double without its sign, |z| < near_bound is the unsigned
// comparison, and NaN compares as far (either erfc gives NaN for it). The
// top bit of the difference below is set exactly for the near ones, so one
// AND over a run says whether all are: integer operations that vectorise
// beside the link functions' own.
[[gnu::always_inline]] inline std::uint64_t near_bits(double z) {
  constexpr std::uint64_t magnitude = 0x7FFF'FFFF'FFFF'FFFFu;
  constexpr std::uint64_t bound = std::bit_cast<std::uint64_t>(near_bound);
  return (std::bit_cast<std::uint64_t>(z) & magnitude) - bound;
}

[[gnu::always_inline]] inline bool all_near_of(std::uint64_t all) { return (all >> 63) != 0; }

[[gnu::always_inline]] inline void probit_cdf_elements_loop(const double* __restrict z,
                                                            double* __restrict out, std::size_t n) {
  for (std::size_t r = 0; r < n; ++r) {
    out[r] = normal_cdf_element<ErfcArguments::Any>(z[r]);
  }
}
VELMORA_ELEMENT_VERSIONS(void, probit_cdf_elements,
                         (const double* __restrict z, double* __restrict out, std::size_t n),
                         probit_cdf_elements_loop, (z, out, n))

// The near loops compute every element as though near and say whether all
// were, for the caller to compute a run again where some were not. They are
// versions by registers' width only for the square's rounding error in erfc:
// one fused multiply-add in the versions for AVX2 and AVX-512, whose
// instruction sets have it, halves of |a| in the baseline's.
template <std::size_t Width>
constexpr SquareError square_error_at = Width >= 4 ? SquareError::Fused : SquareError::FromHalves;

template <std::size_t Width>
[[gnu::always_inline]] inline bool probit_cdf_near_elements_at(const double* __restrict z,
                                                               double* __restrict out,
                                                               std::size_t n) {
  std::uint64_t all = ~std::uint64_t{0};
  for (std::size_t r = 0; r < n; ++r) {
    all &= near_bits(z[r]);
    out[r] = normal_cdf_element<ErfcArguments::Near, square_error_at<Width>>(z[r]);
  }
  return all_near_of(all);
}
VELMORA_WIDTH_VERSIONS(bool, probit_cdf_near_elements,
                       (const double* __restrict z, double* __restrict out, std::size_t n),
                       probit_cdf_near_elements_at, (z, out, n))

[[gnu::always_inline]] inline void probit_pdf_elements_loop(const double* __restrict z,
                                                            double* __restrict out, std::size_t n) {
  for (std::size_t r = 0; r < n; ++r) {
    out[r] = normal_pdf_element(z[r]);
  }
}
VELMORA_ELEMENT_VERSIONS(void, probit_pdf_elements,
                         (const double* __restrict z, double* __restrict out, std::size_t n),
                         probit_pdf_elements_loop, (z, out, n))

// One exponential for both: erfc's exp(-z^2/2) is the density's.
template <ErfcArguments arguments, SquareError square_error = SquareError::FromHalves>
[[gnu::always_inline]] inline void probit_cdf_pdf_element(double z, double& cdf, double& pdf) {
  const double s = (-0.5 * z) * z;
  const double g = exp(s);
  cdf = normal_cdf_element<arguments, square_error>(z, s, g);
  pdf = g * inverse_sqrt_two_pi;
}

[[gnu::always_inline]] inline void probit_cdf_pdf_elements_loop(const double* __restrict z,
                                                                double* __restrict cdf,
                                                                double* __restrict pdf,
                                                                std::size_t n) {
  for (std::size_t r = 0; r < n; ++r) {
    probit_cdf_pdf_element<ErfcArguments::Any>(z[r], cdf[r], pdf[r]);
  }
}
VELMORA_ELEMENT_VERSIONS(void, probit_cdf_pdf_elements,
                         (const double* __restrict z, double* __restrict cdf,
                          double* __restrict pdf, std::size_t n),
                         probit_cdf_pdf_elements_loop, (z, cdf, pdf, n))

template <std::size_t Width>
[[gnu::always_inline]] inline bool probit_cdf_pdf_near_elements_at(const double* __restrict z,
                                                                   double* __restrict cdf,
                                                                   double* __restrict pdf,
                                                                   std::size_t n) {
  std::uint64_t all = ~std::uint64_t{0};
  for (std::size_t r = 0; r < n; ++r) {
    all &= near_bits(z[r]);
    probit_cdf_pdf_element<ErfcArguments::Near, square_error_at<Width>>(z[r], cdf[r], pdf[r]);
  }
  return all_near_of(all);
}
VELMORA_WIDTH_VERSIONS(bool, probit_cdf_pdf_near_elements,
                       (const double* __restrict z, double* __restrict cdf, double* __restrict pdf,
                        std::size_t n),
                       probit_cdf_pdf_near_elements_at, (z, cdf, pdf, n))

[[gnu::always_inline]] inline bool all_near_loop(const double* z, std::size_t n) {
  std::uint64_t all = ~std::uint64_t{0};
  for (std::size_t r = 0; r < n; ++r) {
    all &= near_bits(z[r]);
  }
  return all_near_of(all);
}
VELMORA_ELEMENT_VERSIONS(bool, all_near, (const double* z, std::size_t n), all_near_loop, (z, n))

// The Probit loops take runs of this many elements. A run whose |z| are all
// below near_bound (nearly every run of a fitted model's predictors) is done
// by the near loop alone, with a single ratio for erfc; one that is not is
// done again by the loop for any argument. After such a run the next ones
// are tested first, so that a stretch of far predictors costs the test and
// not the near loop's work as well; short runs keep a few far predictors
// from costing the rest.
constexpr std::size_t probit_run = 512;

// near(start, n) and any(start, n) compute the elements from start on;
// near returns whether they were all near.
template <class NearLoop, class AnyLoop>
void probit_runs(const double* z, std::size_t size, NearLoop near, AnyLoop any) {
  if (size <= probit_run) {  // a block of the pass, in one run
    if (!near(0, size)) {
      any(0, size);
    }
    return;
  }
  bool far_before = false;
  for (std::size_t start = 0; start < size; start += probit_run) {
    const std::size_t n = std::min(probit_run, size - start);
    if (far_before && !all_near(z + start, n)) {
      any(start, n);
      continue;
    }
    far_before = !near(start, n);
    if (far_before) {
      any(start, n);
    }
  }
}

[[gnu::always_inline]] inline void probit_slope_elements_loop(const double* __restrict z,
                                                              double* __restrict out,
                                                              std::size_t n) {
  for (std::size_t r = 0; r < n; ++r) {
    out[r] = normal_pdf_element(z[r]) * (-z[r]);
  }
}
VELMORA_ELEMENT_VERSIONS(void, probit_slope_elements,
                         (const double* __restrict z, double* __restrict out, std::size_t n),
                         probit_slope_elements_loop, (z, out, n))

}  // namespace

// The p-values keep the C library's erfc: one call per result row, in no
// vector loop.
double standard_normal_cdf(double x) {
  constexpr double mean = 0.0;
  constexpr double sd = 1.0;
  const double a = (mean - x) / (sd * sqrt_two);
  if (std::isnan(a)) {
    return a;
  }
  if (a >= INFINITY) {
    return 0.0;
  }
  if (a <= -INFINITY) {
    return 1.0;
  }
  return std::erfc(a) * 0.5;
}

double link_cdf(ModelKind kind, double z) {
  return kind == ModelKind::Logit ? logistic_cdf(z) : standard_normal_cdf(z);
}

double link_pdf(ModelKind kind, double z) {
  return kind == ModelKind::Logit ? logistic_pdf(z) : normal_pdf(z);
}

double link_pdf_derivative(ModelKind kind, double z) {
  if (kind == ModelKind::Logit) {
    const double t = logistic_cdf(z);
    return logistic_pdf(z) * (1.0 - (t + t));
  }
  return normal_pdf(z) * (-z);
}

// The vector forms pick the family once, outside the element loop.
void link_cdf(ModelKind kind, std::span<const double> z, std::span<double> out) {
  assert(out.size() == z.size());
  if (kind == ModelKind::Logit) {
    logit_cdf_elements(z.data(), out.data(), z.size());
    return;
  }
  probit_runs(
      z.data(), z.size(),
      [&](std::size_t start, std::size_t n) {
        return probit_cdf_near_elements(z.data() + start, out.data() + start, n);
      },
      [&](std::size_t start, std::size_t n) {
        probit_cdf_elements(z.data() + start, out.data() + start, n);
      });
}

void link_pdf(ModelKind kind, std::span<const double> z, std::span<double> out) {
  assert(out.size() == z.size());
  if (kind == ModelKind::Logit) {
    logit_pdf_elements(z.data(), out.data(), z.size());
  } else {
    probit_pdf_elements(z.data(), out.data(), z.size());
  }
}

void link_pdf_derivative(ModelKind kind, std::span<const double> z, std::span<double> out) {
  assert(out.size() == z.size());
  if (kind == ModelKind::Logit) {
    logit_slope_elements(z.data(), out.data(), z.size());
  } else {
    probit_slope_elements(z.data(), out.data(), z.size());
  }
}

void link_cdf_and_pdf(ModelKind kind, std::span<const double> z, std::span<double> cdf,
                      std::span<double> pdf) {
  assert(cdf.size() == z.size() && pdf.size() == z.size());
  if (kind == ModelKind::Logit) {
    logit_cdf_pdf_elements(z.data(), cdf.data(), pdf.data(), z.size());
    return;
  }
  probit_runs(
      z.data(), z.size(),
      [&](std::size_t start, std::size_t n) {
        return probit_cdf_pdf_near_elements(z.data() + start, cdf.data() + start,
                                            pdf.data() + start, n);
      },
      [&](std::size_t start, std::size_t n) {
        probit_cdf_pdf_elements(z.data() + start, cdf.data() + start, pdf.data() + start, n);
      });
}

void logit_cdf_and_pdf_of_exp(std::span<const double> g, std::span<double> cdf,
                              std::span<double> pdf) {
  assert(cdf.size() == g.size() && pdf.size() == g.size());
  logit_cdf_pdf_of_exp_elements(g.data(), cdf.data(), pdf.data(), g.size());
}

void logit_exp_cdf_and_pdf(std::span<const double> z, std::span<double> g, std::span<double> cdf,
                           std::span<double> pdf) {
  assert(g.size() == z.size() && cdf.size() == z.size() && pdf.size() == z.size());
  logit_exp_cdf_pdf_elements(z.data(), g.data(), cdf.data(), pdf.data(), z.size());
}

}  // namespace velmora
