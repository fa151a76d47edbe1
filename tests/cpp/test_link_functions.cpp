// Link distributions of the two model families and the normal CDF behind the p-values.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "engine/block_element_loops.hpp"
#include "engine/link_functions.hpp"

namespace velmora {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr ModelKind kKinds[] = {ModelKind::Logit, ModelKind::Probit};

TEST(LinkFunctions, ValuesAtZeroAndOne) {
  const struct {
    ModelKind kind;
    double z, cdf, pdf, slope;
  } cases[] = {
      {ModelKind::Logit, 0.0, 0.5, 0.25, 0.0},
      {ModelKind::Probit, 0.0, 0.5, 0.3989422804014327, -0.0},
      {ModelKind::Logit, 1.0, 0.7310585786300049, 0.19661193324148185, -0.09085774767294842},
      {ModelKind::Probit, 1.0, 0.8413447460685429, 0.24197072451914337, -0.24197072451914337},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "probit=" << (c.kind == ModelKind::Probit) << " z=" << c.z);
    EXPECT_NEAR(link_cdf(c.kind, c.z), c.cdf, 1e-15);
    EXPECT_DOUBLE_EQ(link_pdf(c.kind, c.z), c.pdf);
    EXPECT_DOUBLE_EQ(link_pdf_derivative(c.kind, c.z), c.slope);
  }
  // erf(0) is exact, so F(0) is exactly one half; the Probit slope there is -0 * f(0).
  EXPECT_EQ(link_cdf(ModelKind::Probit, 0.0), 0.5);
  EXPECT_FALSE(std::signbit(link_pdf_derivative(ModelKind::Logit, 0.0)));
  EXPECT_TRUE(std::signbit(link_pdf_derivative(ModelKind::Probit, 0.0)));
}

TEST(LinkFunctions, FarTailsGiveLimitsNotNaN) {
  EXPECT_EQ(link_cdf(ModelKind::Logit, -800.0), 0.0);  // 1 / exp(800) = 1 / inf
  EXPECT_EQ(link_cdf(ModelKind::Logit, 800.0), 1.0);
  EXPECT_EQ(link_pdf(ModelKind::Logit, -800.0), 0.0);
  EXPECT_EQ(link_pdf(ModelKind::Logit, 400.0), 0.0);  // the squared denominator overflows
  EXPECT_EQ(link_pdf(ModelKind::Probit, 40.0), 0.0);
  EXPECT_EQ(link_pdf(ModelKind::Probit, -40.0), 0.0);
  for (const ModelKind kind : kKinds) {
    EXPECT_EQ(link_cdf(kind, -kInf), 0.0);
    EXPECT_EQ(link_cdf(kind, kInf), 1.0);
    EXPECT_TRUE(std::isnan(link_cdf(kind, kNaN)));
    EXPECT_TRUE(std::isnan(link_pdf(kind, kNaN)));
    EXPECT_TRUE(std::isnan(link_pdf_derivative(kind, kNaN)));
  }
  // Where exp(z) itself overflows, the Logit density is its limit +0 and the slope -0.
  for (const double z : {709.78, 709.79, 710.0, 1e300, kInf}) {
    SCOPED_TRACE(z);
    const double f = link_pdf(ModelKind::Logit, z);
    const double slope = link_pdf_derivative(ModelKind::Logit, z);
    EXPECT_TRUE(f == 0.0 && !std::signbit(f));
    EXPECT_TRUE(slope == 0.0 && std::signbit(slope));
    // Mirrored, exp(-z) is subnormal or zero: tiny, never NaN.
    EXPECT_LE(std::abs(link_pdf_derivative(ModelKind::Logit, -z)), 1e-300);
  }
}

TEST(StandardNormalCdf, TailsInfinitiesAndNaN) {
  EXPECT_EQ(standard_normal_cdf(-200.0), 0.0);
  EXPECT_EQ(standard_normal_cdf(200.0), 1.0);
  EXPECT_EQ(standard_normal_cdf(-kInf), 0.0);
  EXPECT_EQ(standard_normal_cdf(kInf), 1.0);
  EXPECT_TRUE(std::isnan(standard_normal_cdf(kNaN)));
  EXPECT_NEAR(standard_normal_cdf(1.0), 0.841344746068543, 1e-15);
  EXPECT_NEAR(standard_normal_cdf(-5.0), 2.866515718791939e-07, 1e-21);
  EXPECT_EQ(standard_normal_cdf(8.3), 1.0);  // the source of p-values of exactly 0
  EXPECT_LT(standard_normal_cdf(8.2), 1.0);
}

// The vector forms may use a vector math library, and the Probit F its own
// erfc: they agree with the scalar forms to a relative 1e-14 on a dense grid
// (absolutely, to 1e-14 of the least normal double, where the value is
// subnormal), and exactly on limits, signed zeros and NaN. Below z = -709.8
// the scalar Logit F is 0 and the combined form's is exp(z), at most 1.4e-308.
// The Logit slope
// f * (1 - 2F) cancels near z = 0, where a last-place difference in F shows as
// about 1e-16 * f, in either form.
TEST(LinkFunctions, SpanFormsAgreeWithScalarForms) {
  constexpr double kMax = std::numeric_limits<double>::max();
  std::vector<double> z = {0.0,     -0.0,  1.0,    -1.0,   0.3,   -2.5,  7.0,    -12.0,
                           40.0,    -40.0, 400.0,  -800.0, 800.0, 710.0, -710.0, 1e-300,
                           -1e-300, 1e300, -1e300, kMax,   -kMax, kInf,  -kInf,  kNaN};
  for (double v = -750.0; v <= 750.0; v += 0.0137) {
    z.push_back(v);
  }
  for (double v = -3.0; v <= 3.0; v += 1e-4) {
    z.push_back(v);
  }
  // Where F is far from 0 and 1 and where it underflows through the
  // subnormals (z about -37.5 to -38.5), and a few hundred ulps around the
  // joins of the Probit erfc's ranges, |z| / sqrt(2) = 0.5 and 4.
  for (double v = -40.0; v <= 10.0; v += 1.7e-4) {
    z.push_back(v);
  }
  for (const double join : {0.5 * 1.4142135623730951, 4.0 * 1.4142135623730951}) {
    for (const double sign : {1.0, -1.0}) {
      double v = sign * join;
      for (int step = 0; step < 200; ++step) {
        v = std::nextafter(v, 0.0);
      }
      for (int step = 0; step < 400; ++step) {
        z.push_back(v);
        v = std::nextafter(v, sign * kInf);
      }
    }
  }
  const auto agree = [](double got, double want, double cancelled) {
    constexpr double subnormal_tolerance = 1e-14 * std::numeric_limits<double>::min();
    if (std::isnan(want) || std::isinf(want) || want == 0.0) {
      return std::bit_cast<std::uint64_t>(got) == std::bit_cast<std::uint64_t>(want) ||
             (std::isnan(want) && std::isnan(got)) || (want == 0.0 && std::abs(got) < 1e-300);
    }
    return std::abs(got - want) <= 1e-14 * std::abs(want) + 1e-15 * cancelled + subnormal_tolerance;
  };
  const struct {
    double (*scalar)(ModelKind, double);
    void (*vector)(ModelKind, std::span<const double>, std::span<double>);
  } forms[] = {
      {&link_cdf, &link_cdf}, {&link_pdf, &link_pdf}, {&link_pdf_derivative, &link_pdf_derivative}};
  for (const std::size_t len : {std::size_t{0}, std::size_t{1}, std::size_t{7}, z.size()}) {
    const std::span<const double> zs(z.data(), len);
    for (const ModelKind kind : kKinds) {
      std::vector<double> cdf(len), pdf(len), slope(len), slope_from(len);
      link_cdf_and_pdf(kind, zs, cdf, pdf);
      const bool logit = kind == ModelKind::Logit;
      const double density_sum = continuous_weights_and_density_sum(
          logit ? ContinuousWeights::LogitSlope : ContinuousWeights::ProbitSlope,
          logit ? cdf.data() : zs.data(), pdf.data(), slope_from.data(), len);
      EXPECT_EQ(std::bit_cast<std::uint64_t>(density_sum),
                std::bit_cast<std::uint64_t>(sum(std::span<const double>(pdf))));
      const std::vector<double>* combined[] = {&cdf, &pdf, &slope_from};
      for (std::size_t f = 0; f < 3; ++f) {
        std::vector<double> out(len, 12345.0);
        forms[f].vector(kind, zs, out);
        for (std::size_t r = 0; r < len; ++r) {
          const double want = forms[f].scalar(kind, z[r]);
          const double cancelled = f == 2 && kind == ModelKind::Logit ? pdf[r] : 0.0;
          EXPECT_TRUE(agree(out[r], want, cancelled))
              << "form " << f << " z " << z[r] << ": " << out[r] << " vs " << want;
          EXPECT_TRUE(agree((*combined[f])[r], want, cancelled))
              << "combined form " << f << " z " << z[r] << ": " << (*combined[f])[r] << " vs "
              << want;
        }
      }
    }
  }
}

// Exact values that hold for the vector forms too, whatever their rounding.
TEST(LinkFunctions, SpanFormsKeepLimitsAndSigns) {
  const std::vector<double> z = {0.0, -800.0, 800.0, 400.0, 710.0, -kInf, kInf, kNaN};
  std::vector<double> cdf(z.size()), pdf(z.size()), slope(z.size());
  link_cdf_and_pdf(ModelKind::Logit, z, cdf, pdf);
  link_pdf_derivative(ModelKind::Logit, z, slope);
  EXPECT_EQ(cdf[0], 0.5);
  EXPECT_EQ(pdf[0], 0.25);
  EXPECT_EQ(cdf[1], 0.0);
  EXPECT_EQ(cdf[2], 1.0);
  EXPECT_EQ(pdf[1], 0.0);
  EXPECT_EQ(pdf[3], 0.0);  // the squared denominator overflows
  EXPECT_TRUE(pdf[4] == 0.0 && !std::signbit(pdf[4]));
  EXPECT_TRUE(slope[4] == 0.0 && std::signbit(slope[4]));
  EXPECT_EQ(cdf[5], 0.0);
  EXPECT_EQ(cdf[6], 1.0);
  EXPECT_TRUE(std::isnan(cdf[7]) && std::isnan(pdf[7]) && std::isnan(slope[7]));

  link_cdf_and_pdf(ModelKind::Probit, z, cdf, pdf);
  link_pdf_derivative(ModelKind::Probit, z, slope);
  EXPECT_EQ(cdf[0], 0.5);
  EXPECT_EQ(cdf[1], 0.0);  // erfc(565.7) / 2, which underflows to exactly 0
  EXPECT_EQ(cdf[2], 1.0);  // (2 - erfc(565.7)) / 2
  EXPECT_TRUE(slope[0] == 0.0 && std::signbit(slope[0]));
  EXPECT_EQ(cdf[5], 0.0);
  EXPECT_EQ(cdf[6], 1.0);
  EXPECT_EQ(pdf[5], 0.0);
  EXPECT_TRUE(std::isnan(cdf[7]) && std::isnan(pdf[7]) && std::isnan(slope[7]));
}

}  // namespace
}  // namespace velmora
