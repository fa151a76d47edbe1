#pragma once
// erfc for the element loops of the Probit link: W. J. Cody's rational
// Chebyshev approximations (Math. Comp. 23, 1969) over |a| < 0.5, 0.5 to 4 and
// above 4, evaluated on every element and selected without branches, so that
// a loop calling it vectorises wherever exp does; for arguments known to lie
// below 3.9, one rational function over the whole range instead. No vector
// erfc from the C library is needed (glibc's exists only from 2.35 on).

#include <bit>
#include <cmath>
#include <cstdint>

#include "engine/vector_math.hpp"

namespace velmora {

// A rational approximation as numerator and denominator, so that the ranges
// share one division.
struct ErfcRatio {
  double num;
  double den;
};

// |a| < 0.5: 1 - erf(a), erf(a) = a * P(a^2) / Q(a^2); t = a^2.
[[gnu::always_inline]] inline ErfcRatio erfc_small_ratio(double a, double t) {
  double num = 1.85777706184603153e-1 * t;
  num = (num + 3.16112374387056560e0) * t;
  num = (num + 1.13864154151050156e2) * t;
  num = (num + 3.77485237685302021e2) * t;
  num = (num + 3.20937758913846947e3) * a;
  double den = t;
  den = (den + 2.36012909523441209e1) * t;
  den = (den + 2.44024637934444173e2) * t;
  den = (den + 1.28261652607737228e3) * t;
  den = den + 2.84423683343917062e3;
  return {num, den};
}

// 0.5 <= |a| <= 4: erfc(y) = exp(-y^2) * P(y) / Q(y).
[[gnu::always_inline]] inline ErfcRatio erfc_mid_ratio(double y) {
  double num = 2.15311535474403846e-8 * y;
  num = (num + 5.64188496988670089e-1) * y;
  num = (num + 8.88314979438837594e0) * y;
  num = (num + 6.61191906371416295e1) * y;
  num = (num + 2.98635138197400131e2) * y;
  num = (num + 8.81952221241769090e2) * y;
  num = (num + 1.71204761263407058e3) * y;
  num = (num + 2.05107837782607147e3) * y;
  num = num + 1.23033935479799725e3;
  double den = y;
  den = (den + 1.57449261107098347e1) * y;
  den = (den + 1.17693950891312499e2) * y;
  den = (den + 5.37181101862009858e2) * y;
  den = (den + 1.62138957456669019e3) * y;
  den = (den + 3.29079923573345963e3) * y;
  den = (den + 4.36261909014324716e3) * y;
  den = (den + 3.43936767414372164e3) * y;
  den = den + 1.23033935480374942e3;
  return {num, den};
}

// |a| > 4: erfc(y) = exp(-y^2) / y * (1/sqrt(pi) - r * P(r) / Q(r)) with r = 1/y^2,
// multiplied through by y^12 into polynomials in t = y^2 (no division of its
// own), 1/sqrt(pi) folded into the numerator's coefficients.
[[gnu::always_inline]] inline ErfcRatio erfc_tail_ratio(double y, double t) {
  constexpr double q0 = 2.56852019228982242e0, q1 = 1.87295284992346725e0,
                   q2 = 5.27905102951428412e-1, q3 = 6.05183413124413191e-2,
                   q4 = 2.33520497626869185e-3;
  constexpr double p0 = 3.05326634961232344e-1, p1 = 3.60344899949804439e-1,
                   p2 = 1.25781726111229246e-1, p3 = 1.60837851487422766e-2,
                   p4 = 6.58749161529837803e-4, p5 = 1.63153871373020978e-2;
  constexpr double r = 5.6418958354775628695e-1;  // 1/sqrt(pi)
  double num = r * q4 * t;
  num = (num + (r * q3 - p4)) * t;
  num = (num + (r * q2 - p3)) * t;
  num = (num + (r * q1 - p2)) * t;
  num = (num + (r * q0 - p1)) * t;
  num = (num + (r - p0)) * t;
  num = num - p5;
  double den = q4 * t;
  den = (den + q3) * t;
  den = (den + q2) * t;
  den = (den + q1) * t;
  den = (den + q0) * t;
  den = (den + 1.0) * t * y;
  return {num, den};
}

// |a| < 3.9: erfc(y) = exp(-y^2) * P(y) / Q(y), one ratio in place of
// Cody's first two, fitted to exp(y^2) * erfc(y) over [0, 3.9] for the least
// largest relative error by tools/fit_erfc_near.py (6e-17 in exact
// arithmetic; P(0) = Q(0) = 1, so that erfc(0) is exactly 1). Its degrees 7
// and 8 cost fewer operations than the two ratios that it replaces and no
// select between them.
//
// The numerator comes times `scale`, a power of 2 (exact: every step of it
// is scaled alike), so that half of erfc costs no multiplication of its own.
[[gnu::always_inline]] inline ErfcRatio erfc_near_ratio(double y, double scale) {
  double num = (scale * 4.1866562109003587961e-4) * y;
  num = (num + scale * 6.7629114308372623348e-3) * y;
  num = (num + scale * 5.1254946429230016444e-2) * y;
  num = (num + scale * 2.3467005739084798350e-1) * y;
  num = (num + scale * 7.0048887882182631140e-1) * y;
  num = (num + scale * 1.3716267951492756159e0) * y;
  num = (num + scale * 1.6554319391580966175e0) * y;
  num = num + scale;
  double den = 7.4206596755896744658e-4 * y;
  den = (den + 1.1986928129622367273e-2) * y;
  den = (den + 9.1218478417695920011e-2) * y;
  den = (den + 4.2192975308470870041e-1) * y;
  den = (den + 1.2866903389500569690e0) * y;
  den = (den + 2.6327248697561983973e0) * y;
  den = (den + 3.5128212525755747099e0) * y;
  den = (den + 2.7838111062535981143e0) * y;
  den = den + 1.0;
  return {num, den};
}

// The arguments an element loop passes: any, or only |a| < 3.9 (NaN
// included), for which the single ratio above stands for Cody's three.
enum class ErfcArguments { Any, Near };

// How the rounding error of a * a is found: from halves of |a|, or as one
// fused multiply-add, for versions whose instruction set has it (the two
// are the same exact value).
enum class SquareError { FromHalves, Fused };

// erfc(a) within 2e-15 relative of the C library's (a few units of the least
// subnormal where the value is subnormal); 2 and 0 at -inf and +inf, 1 at both
// zeros, NaN for NaN. It is computed from exp_s = exp(s) for an s within a few
// ulps of -a * a, which a caller may have at hand: the normal density's
// exp((-0.5 * z) * z) is one for a = -z / sqrt(2), and then erfc costs no
// exponential of its own.
// With `halved`, for Near only, erfc(a) / 2, to the bit the half of erfc(a).
template <ErfcArguments arguments = ErfcArguments::Any,
          SquareError square_error = SquareError::FromHalves, bool halved = false>
[[gnu::always_inline]] inline double erfc_from_exp(double a, double s, double exp_s) {
  static_assert(!halved || arguments == ErfcArguments::Near);
  const double y = std::fabs(a);
  const double t = a * a;
  double quotient = 0.0;
  if constexpr (arguments == ErfcArguments::Near) {
    const ErfcRatio near_ratio = erfc_near_ratio(y, halved ? 0.5 : 1.0);
    quotient = near_ratio.num / near_ratio.den;
  } else {
    const bool small = y < 0.5;
    const ErfcRatio small_ratio = erfc_small_ratio(a, t);
    const ErfcRatio mid_ratio = erfc_mid_ratio(y);
    const ErfcRatio tail_ratio = erfc_tail_ratio(y, t);
    const double num = small ? small_ratio.num : y <= 4.0 ? mid_ratio.num : tail_ratio.num;
    const double den = small ? small_ratio.den : y <= 4.0 ? mid_ratio.den : tail_ratio.den;
    quotient = num / den;
  }

  // exp(-y^2) = exp(s) * exp(-(t + s) - t_low), with y^2 = t + t_low exactly:
  // exp(s) alone is off by about y^2 ulps, 1e-13 at the edge of underflow.
  // t + s is exact (the two are within a factor 2 of each other) and the
  // correction's exponent a few ulps of t, so its exponential is 1 plus it to
  // the last bit, and it needs only a few correct digits itself. The halves of
  // y come from masking its low 27 bits rather than from the usual
  // multiply-and-subtract split, which a fused multiply-add would undo.
  double t_low = 0.0;
  if constexpr (square_error == SquareError::Fused) {
    t_low = std::fma(a, a, -t);
  } else {
    const double y_high =
        std::bit_cast<double>(std::bit_cast<std::uint64_t>(y) & 0xFFFFFFFFF8000000u);
    const double y_low = y - y_high;
    t_low = ((y_high * y_high - t) + 2.0 * y_high * y_low) + y_low * y_low;
  }
  const double decay = exp_s - exp_s * ((t + s) + t_low);

  if constexpr (arguments == ErfcArguments::Near) {
    const double upper = decay * quotient;
    return a < 0.0 ? (halved ? 1.0 : 2.0) - upper : upper;
  } else {
    // Beyond 27.3 erfc(y) is below half the least subnormal; the cut also
    // keeps the overflow of y^2 (y above 1e154, where the correction is NaN)
    // out of the result.
    const double upper = y > 27.3 ? 0.0 : decay * quotient;
    const double outer = a < 0.0 ? 2.0 - upper : upper;
    return y < 0.5 ? 1.0 - quotient : outer;
  }
}

template <ErfcArguments arguments = ErfcArguments::Any,
          SquareError square_error = SquareError::FromHalves, bool halved = false>
[[gnu::always_inline]] inline double erfc_elementwise(double a) {
  const double s = -(a * a);
  return erfc_from_exp<arguments, square_error, halved>(a, s, exp(s));
}

}  // namespace velmora
