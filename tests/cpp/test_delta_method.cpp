// From totals to the table: averages, delta-method errors, tests, stars and intervals.

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "engine/internal_failure.hpp"
#include "report/delta_method.hpp"
#include "system_blas.hpp"

namespace velmora {
namespace {

using Indices = std::vector<std::size_t>;
using Names = std::vector<std::string>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double two_sided_p(double z) {
  return 2.0 * (1.0 - 0.5 * std::erfc(-std::abs(z) / std::numbers::sqrt2));
}

// A k x k matrix given row-major, stored row-major, column-major, with gaps of NaN
// between the elements, and with both strides negative.
struct Layouts {
  std::vector<double> col_major, strided, reversed;
  std::vector<MatrixView> views;

  Layouts(const std::vector<double>& a, std::size_t k)
      : col_major(a.size()), strided(3 * a.size(), kNaN), reversed(a.rbegin(), a.rend()) {
    const auto sk = static_cast<std::ptrdiff_t>(k);
    for (std::size_t e = 0; e < a.size(); ++e) {
      col_major[(e % k) * k + e / k] = a[e];
      strided[(e / k) * 3 * k + 2 * (e % k)] = a[e];
    }
    views = {{a.data(), k, k, sk, 1},
             {col_major.data(), k, k, 1, sk},
             {strided.data(), k, k, 3 * sk, 2},
             {reversed.data() + a.size() - 1, k, k, -sk, -1}};
  }
};

// J = 1, V = variance and n = 1, so the AME is the effect and z is effect / sqrt(variance).
EffectsTable one_regressor(double effect, double variance) {
  const double effects[] = {effect}, jacobian[] = {1.0}, V[] = {variance};
  return build_effects_table(effects, jacobian, 1, {V, 1, 1, 1, 1}, Indices{}, Names{"x"},
                             system_blas());
}

void expect_fallback_row(const EffectsTable& t, double ame) {
  ASSERT_EQ(t.dydx.size(), 1u);
  EXPECT_TRUE(t.z[0] == 0.0 && t.p_value[0] == 1.0 && t.significance[0].empty());
  EXPECT_TRUE(t.ci_low[0] == ame && t.ci_high[0] == ame);
}

TEST(EffectsTable, WorkedExampleInEveryLayoutOfV) {
  const std::vector<double> effects{0.4, 0.6}, jacobian{2.0, 2.0, 0.0, 4.0},
      V{0.04, 0.01, 0.01, 0.09};
  const double se[] = {0.387298, 0.6}, z[] = {0.516398, 0.5}, p[] = {0.605577, 0.617075},
               low[] = {-0.559105, -0.876}, high[] = {0.959105, 1.476};
  const Layouts layouts(V, 2);
  for (const MatrixView& v : layouts.views) {
    SCOPED_TRACE(testing::Message() << v.row_stride << ", " << v.col_stride);
    const EffectsTable t =
        build_effects_table(effects, jacobian, 2, v, Indices{}, Names{"a", "b"}, system_blas());
    ASSERT_EQ(t.dydx.size(), 2u);
    EXPECT_EQ(t.dydx, (std::vector<double>{0.2, 0.3}));
    EXPECT_NEAR(t.std_err[0], std::sqrt(0.15), 1e-15);
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_NEAR(t.std_err[i], se[i], 1e-6);
      EXPECT_NEAR(t.z[i], z[i], 1e-6);
      EXPECT_NEAR(t.p_value[i], p[i], 1e-6);
      EXPECT_NEAR(t.ci_low[i], low[i], 1e-6);
      EXPECT_NEAR(t.ci_high[i], high[i], 1e-6);
      EXPECT_EQ(t.significance[i], "");
    }
    EXPECT_EQ(t.row_names, (Names{"a", "b"}));
  }
}

// Random J and positive definite V against diag(J V J^T) summed directly, on both sides
// of the size from which the products go to BLAS.
TEST(EffectsTable, MatchesDirectQuadraticForms) {
  std::mt19937 gen(42);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (const std::size_t k : {3u, 7u, 8u, 12u}) {
    const std::size_t n = 250;
    const auto nd = static_cast<double>(n);
    std::vector<double> effects(k), jacobian(k * k), A(k * k), V(k * k, 0.0);
    for (double& e : effects) e = 50.0 * normal(gen);
    for (double& j : jacobian) j = 100.0 * normal(gen);
    for (double& a : A) a = 0.05 * normal(gen);
    for (std::size_t e = 0; e < k * k; ++e) {
      for (std::size_t c = 0; c < k; ++c) V[e] += A[(e / k) * k + c] * A[(e % k) * k + c];
    }
    const Indices intercepts = k > 7 ? Indices{0, 4} : Indices{0};
    Names names;
    for (std::size_t i = 0; i < k; ++i) {
      std::string name = "x";  // not "x" + ...: GCC 12 -O3 warns wrongly about that
      names.push_back(name += std::to_string(i));
    }
    const Layouts layouts(V, k);
    for (const MatrixView& v : layouts.views) {
      SCOPED_TRACE(testing::Message()
                   << "k=" << k << " strides " << v.row_stride << ", " << v.col_stride);
      const EffectsTable t =
          build_effects_table(effects, jacobian, n, v, intercepts, names, system_blas());
      ASSERT_EQ(t.dydx.size(), k - intercepts.size());
      ASSERT_EQ(t.significance.size(), t.dydx.size());
      ASSERT_EQ(t.row_names.size(), t.dydx.size());
      for (std::size_t i = 0, row = 0; i < k; ++i) {
        if (i == 0 || (k > 7 && i == 4)) continue;
        double var = 0.0;
        for (std::size_t e = 0; e < k * k; ++e) {
          var += jacobian[i * k + e / k] / nd * V[e] * (jacobian[i * k + e % k] / nd);
        }
        const double ame = effects[i] / nd, se = std::sqrt(var), p = two_sided_p(ame / se);
        EXPECT_EQ(t.dydx[row], ame);
        EXPECT_NEAR(t.std_err[row], se, 1e-12 * se);
        EXPECT_NEAR(t.z[row], ame / se, 1e-12 * std::abs(ame / se));
        EXPECT_NEAR(t.p_value[row], p, 1e-12);
        EXPECT_NEAR(t.ci_low[row], ame - 1.96 * se, 1e-12 * (std::abs(ame) + se));
        EXPECT_NEAR(t.ci_high[row], ame + 1.96 * se, 1e-12 * (std::abs(ame) + se));
        EXPECT_EQ(t.significance[row], p < 0.01 ? "***" : p < 0.05 ? "**" : p < 0.1 ? "*" : "");
        EXPECT_EQ(t.row_names[row++], names[i]);
      }
    }
  }
}

TEST(EffectsTable, StarsFromStrictThresholds) {
  // p is a multiple of 2^-52 and so never exactly 0.01, 0.05 or 0.1: the cases
  // bracket each threshold closely instead.
  const struct {
    double z;
    const char* stars;
  } cases[] = {{1.0, ""},    {1.644, ""},  {1.645, "*"},  {1.959, "*"}, {1.96, "**"},
               {-2.0, "**"}, {2.57, "**"}, {2.58, "***"}, {3.0, "***"}, {9.0, "***"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.z);
    const EffectsTable t = one_regressor(c.z, 1.0);
    EXPECT_TRUE(t.std_err[0] == 1.0 && t.z[0] == c.z);
    EXPECT_NEAR(t.p_value[0], two_sided_p(c.z), 1e-15);
    EXPECT_EQ(t.significance[0], c.stars);
    EXPECT_DOUBLE_EQ(t.ci_low[0], c.z - 1.96);
    EXPECT_DOUBLE_EQ(t.ci_high[0], c.z + 1.96);
  }
  EXPECT_NEAR(one_regressor(1.0, 1.0).p_value[0], 0.3173105078629141, 1e-15);
  EXPECT_EQ(one_regressor(9.0, 1.0).p_value[0], 0.0);  // Phi(9) rounds to 1
  const EffectsTable nan_effect = one_regressor(kNaN, 1.0);
  EXPECT_TRUE(std::isnan(nan_effect.p_value[0]) && nan_effect.significance[0].empty());
}

TEST(EffectsTable, StandardErrorThresholdAndClampedVariances) {
  const double at = 1e-15, above = std::nextafter(1e-15, 1.0);
  ASSERT_TRUE(std::sqrt(at * at) == at && std::sqrt(above * above) == above);
  const EffectsTable exactly = one_regressor(2.0 * at, at * at);
  EXPECT_EQ(exactly.std_err[0], at);
  expect_fallback_row(exactly, 2.0 * at);

  const EffectsTable full = one_regressor(2.0 * above, above * above);
  EXPECT_EQ(full.std_err[0], above);
  EXPECT_DOUBLE_EQ(full.z[0], 2.0);
  EXPECT_NEAR(full.p_value[0], two_sided_p(2.0), 1e-15);
  EXPECT_EQ(full.significance[0], "**");
  EXPECT_EQ(full.ci_high[0], 2.0 * above + above * 1.96);

  for (const double variance : {0.0, -0.0, -1.0, -std::numeric_limits<double>::infinity(), kNaN}) {
    SCOPED_TRACE(variance);
    const EffectsTable t = one_regressor(0.7, variance);
    EXPECT_TRUE(t.std_err[0] == 0.0 && !std::signbit(t.std_err[0]));
    expect_fallback_row(t, 0.7);
  }
}

TEST(EffectsTable, RowsForNonInterceptColumnsOnly) {
  const std::vector<double> effects{1.0, 2.0, 3.0}, zeros(9), V{1, 0, 0, 0, 1, 0, 0, 0, 1};
  const MatrixView v{V.data(), 3, 3, 3, 1};
  const EffectsTable middle = build_effects_table(effects, zeros, 2, v, Indices{1},
                                                  Names{"a", "const", "b"}, system_blas());
  EXPECT_EQ(middle.row_names, (Names{"a", "b"}));
  EXPECT_EQ(middle.dydx, (std::vector<double>{0.5, 1.5}));
  EXPECT_EQ(middle.p_value, (std::vector<double>{1.0, 1.0}));  // all-zero Jacobian rows

  const EffectsTable none = build_effects_table(
      effects, zeros, 2, v, Indices{0, 1, 2}, Names{"const", "Intercept", "CONST"}, system_blas());
  EXPECT_TRUE(none.dydx.empty() && none.std_err.empty() && none.z.empty() && none.p_value.empty() &&
              none.ci_low.empty() && none.ci_high.empty() && none.significance.empty() &&
              none.row_names.empty());

  // No observations: every AME is 0 / 0.
  const EffectsTable no_rows =
      build_effects_table(std::span(zeros).first(2), std::span(zeros).first(4), 0,
                          {V.data(), 2, 2, 3, 1}, Indices{}, Names{"a", "b"}, system_blas());
  ASSERT_EQ(no_rows.dydx.size(), 2u);
  EXPECT_TRUE(std::isnan(no_rows.dydx[0]) && std::isnan(no_rows.dydx[1]));
  EXPECT_EQ(no_rows.std_err, (std::vector<double>{0.0, 0.0}));
}

TEST(EffectsTable, BrokenInputsAreInternalFailures) {
  const std::vector<double> effects{1.0, 2.0, 3.0}, jacobian(9, 1.0), V(9, 0.5);
  try {
    (void)build_effects_table(effects, jacobian, 3, {V.data(), 3, 3, 3, 1}, Indices{0},
                              Names{"const", "x"}, system_blas());
    ADD_FAILURE() << "a missing name was accepted";
  } catch (const InternalFailure& e) {
    EXPECT_STREQ(e.what(), "index out of bounds: the len is 2 but the index is 2");
  }
  const struct {
    std::size_t k, rows, cols;
  } shapes[] = {{2, 3, 3}, {2, 2, 3}, {2, 3, 2}, {2, 1, 2}, {2, 0, 0}, {9, 9, 8}, {9, 8, 9}};
  for (const auto& s : shapes) {
    SCOPED_TRACE(testing::Message() << "k=" << s.k << ", V " << s.rows << " x " << s.cols);
    const std::vector<double> e(s.k, 1.0), j(s.k * s.k, 1.0), v(s.rows * s.cols + 1, 0.1);
    const MatrixView view{v.data(), s.rows, s.cols, static_cast<std::ptrdiff_t>(s.cols), 1};
    try {
      (void)build_effects_table(e, j, 10, view, Indices{}, Names(s.k, "x"), system_blas());
      ADD_FAILURE() << "accepted";
    } catch (const InternalFailure& failure) {
      EXPECT_NE(std::string(failure.what()).find("incompatible shapes"), std::string::npos)
          << failure.what();
    }
  }
}

}  // namespace
}  // namespace velmora
