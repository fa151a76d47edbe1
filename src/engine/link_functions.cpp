#include "engine/link_functions.hpp"

#include <cassert>
#include <cmath>

namespace velmora {
namespace {

constexpr double sqrt_two_pi = 2.5066282746310002;
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

double normal_pdf(double z) { return std::exp((-0.5 * z) * z) / sqrt_two_pi; }

template <class Scalar>
void apply(std::span<const double> z, std::span<double> out, Scalar scalar) {
  assert(out.size() == z.size());
  for (std::size_t r = 0; r < z.size(); ++r) {
    out[r] = scalar(z[r]);
  }
}

}  // namespace

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
  if (kind == ModelKind::Logit) {
    apply(z, out, logistic_cdf);
  } else {
    apply(z, out, standard_normal_cdf);
  }
}

void link_pdf(ModelKind kind, std::span<const double> z, std::span<double> out) {
  if (kind == ModelKind::Logit) {
    apply(z, out, logistic_pdf);
  } else {
    apply(z, out, normal_pdf);
  }
}

void link_pdf_derivative(ModelKind kind, std::span<const double> z, std::span<double> out) {
  if (kind == ModelKind::Logit) {
    apply(z, out, [](double v) { return link_pdf_derivative(ModelKind::Logit, v); });
  } else {
    apply(z, out, [](double v) { return normal_pdf(v) * (-v); });
  }
}

}  // namespace velmora
