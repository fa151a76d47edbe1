// Link distributions of the two model families and the normal CDF behind the p-values.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

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

TEST(LinkFunctions, SpanFormsEqualScalarFormsElementByElement) {
  const std::vector<double> pool = {0.0,  -0.0,   1.0,   -1.0,   0.3,  -2.5,  7.0, -12.0,
                                    40.0, -800.0, 710.0, 1e-300, kInf, -kInf, kNaN};
  const struct {
    double (*scalar)(ModelKind, double);
    void (*vector)(ModelKind, std::span<const double>, std::span<double>);
  } forms[] = {
      {&link_cdf, &link_cdf}, {&link_pdf, &link_pdf}, {&link_pdf_derivative, &link_pdf_derivative}};
  for (const std::size_t len : {0u, 1u, 2u, 7u, 8u, 15u}) {
    const std::span<const double> z(pool.data(), len);
    for (const ModelKind kind : kKinds) {
      for (const auto& form : forms) {
        std::vector<double> out(len, 12345.0);
        form.vector(kind, z, out);
        for (std::size_t r = 0; r < len; ++r) {
          const double want = form.scalar(kind, z[r]);
          EXPECT_TRUE(std::isnan(want) ? std::isnan(out[r])
                                       : std::bit_cast<std::uint64_t>(out[r]) ==
                                             std::bit_cast<std::uint64_t>(want))
              << "len " << len << " z " << z[r] << ": " << out[r] << " vs " << want;
        }
      }
    }
  }
}

}  // namespace
}  // namespace velmora
