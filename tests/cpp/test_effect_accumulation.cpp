// The chunked pass: effect and Jacobian totals of both standard-error methods,
// checked against a direct loop over the observations.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "counting_poll.hpp"
#include "engine/effect_accumulation.hpp"
#include "engine/internal_failure.hpp"
#include "engine/interruption.hpp"
#include "engine/variable_classification.hpp"
#include "system_blas.hpp"

namespace velmora {
namespace {

using Indices = std::vector<std::size_t>;
using Chunk = std::optional<std::uint64_t>;
constexpr ModelKind kKinds[] = {ModelKind::Logit, ModelKind::Probit};
constexpr SeMethod kMethods[] = {SeMethod::Orvo, SeMethod::Sm};

bool contains(const Indices& list, std::size_t j) {
  return std::find(list.begin(), list.end(), j) != list.end();
}

// Column classes: 'I' intercept, 'D' dummy, 'C' continuous, 'Z' continuous with beta 0.
struct Design {
  std::size_t n = 0, k = 0;
  std::vector<double> x;  // row-major
  std::vector<double> beta;
  Indices intercepts, dummies;

  [[nodiscard]] MatrixView view() const {
    return {x.data(), n, k, static_cast<std::ptrdiff_t>(k), 1};
  }
  [[nodiscard]] VectorView beta_view() const { return {beta.data(), k, 1}; }
};

Design make_design(std::string_view classes, std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::bernoulli_distribution coin(0.35);
  Design d{n, classes.size(), std::vector<double>(n * classes.size()), {}, {}, {}};
  for (std::size_t j = 0; j < d.k; ++j) {
    if (classes[j] == 'I') d.intercepts.push_back(j);
    if (classes[j] == 'D') d.dummies.push_back(j);
    d.beta.push_back(classes[j] == 'Z' ? 0.0 : 0.7 * normal(gen));
  }
  for (std::size_t i = 0; i < n * d.k; ++i) {
    const char c = classes[i % d.k];
    d.x[i] = c == 'I' ? 1.0 : c == 'D' ? (coin(gen) ? 1.0 : 0.0) : 0.3 + 1.2 * normal(gen);
  }
  return d;
}

// The four totals (orvo effects, orvo Jacobian, sm effects, sm Jacobian) and, per
// element, the sum of the magnitudes of its terms, which bounds the rounding error.
struct Reference {
  std::vector<double> total[4], scale[4];
};

Reference reference_totals(ModelKind kind, SeMethod method, const Design& d) {
  const std::size_t k = d.k;
  Reference ref;
  for (std::size_t v = 0; v < 4; ++v)
    ref.scale[v] = ref.total[v] = std::vector<double>(v % 2 ? k * k : k);
  const bool logit = kind == ModelKind::Logit;
  const auto F = [&](double z) {
    return logit ? 1.0 / (1.0 + std::exp(-z)) : 0.5 * std::erfc(-z / std::numbers::sqrt2);
  };
  const auto f = [&](double z) {
    return logit ? F(z) * F(-z) : std::exp(-0.5 * z * z) / std::sqrt(2.0 * std::numbers::pi);
  };
  const auto add = [&](std::size_t v, std::size_t at, double value, double magnitude) {
    ref.total[v][at] += value;
    ref.scale[v][at] += magnitude;
  };
  const std::size_t selected = method == SeMethod::Sm ? 2 : 0;
  for (std::size_t r = 0; r < d.n; ++r) {
    const double* x = &d.x[r * k];
    double z = 0.0;
    for (std::size_t l = 0; l < k; ++l) z += x[l] * d.beta[l];
    const double slope = logit ? f(z) * (1.0 - 2.0 * F(z)) : -z * f(z);
    for (std::size_t i = 0; i < k; ++i) {
      const double b = d.beta[i];
      if (contains(d.intercepts, i)) continue;
      if (contains(d.dummies, i)) {
        const double z1 = z + (1.0 - x[i]) * b, z0 = z - x[i] * b;
        for (const std::size_t set : {0u, 2u}) {
          add(set, i, F(z1) - F(z0), F(z1) + F(z0));
          for (std::size_t l = 0; l < k; ++l) {
            add(set + 1, i * k + l, l == i ? f(z1) : (f(z1) - f(z0)) * x[l],
                (f(z1) + f(z0)) * (1.0 + std::abs(x[l])));
          }
        }
        continue;
      }
      add(selected, i, b * f(z), std::abs(b * f(z)));
      for (std::size_t l = 0; l < k; ++l) {
        const double diagonal = l == i ? f(z) : 0.0;
        double term = b * slope * x[l];
        if (method == SeMethod::Orvo) term = l == i ? 0.0 : -b * z * f(z) * x[l];
        add(selected + 1, i * k + l, diagonal + term, diagonal + std::abs(term));
      }
    }
  }
  return ref;
}

void expect_matches_reference(const EffectAccumulators& got, ModelKind kind, SeMethod method,
                              const Design& d) {
  const Reference ref = reference_totals(kind, method, d);
  const std::vector<double>* sets[] = {&got.orvo_effects, &got.orvo_jacobian, &got.sm_effects,
                                       &got.sm_jacobian};
  for (std::size_t v = 0; v < 4; ++v) {
    ASSERT_EQ(sets[v]->size(), ref.total[v].size()) << v;
    std::size_t bad = 0, first = 0;
    for (std::size_t e = 0; e < ref.total[v].size(); ++e) {
      if (!(std::abs((*sets[v])[e] - ref.total[v][e]) <= 1e-12 * ref.scale[v][e]) && bad++ == 0) {
        first = e;
      }
    }
    EXPECT_EQ(bad, 0u) << "vector " << v << ", first at " << first << ": " << (*sets[v])[first]
                       << " vs " << ref.total[v][first];
  }
  for (const std::size_t j : d.dummies) {  // one contribution, written to both sets
    EXPECT_EQ(got.orvo_effects[j], got.sm_effects[j]);
    for (std::size_t l = 0; l < d.k; ++l) {
      EXPECT_EQ(got.orvo_jacobian[j * d.k + l], got.sm_jacobian[j * d.k + l]);
    }
  }
}

TEST(Accumulation, MethodTextMatchesExactly) {
  EXPECT_EQ(parse_se_method("orvo"), SeMethod::Orvo);
  EXPECT_EQ(parse_se_method("sm"), SeMethod::Sm);
  for (const char* text : {"", "SM", "Sm", "Orvo", "ORVO", " sm", "sm ", "orvo\n", "smm"}) {
    EXPECT_EQ(parse_se_method(text), std::nullopt) << text;
  }
}

TEST(Accumulation, WorkedSingleObservationExamples) {
  const struct {
    ModelKind kind;
    SeMethod method;
    bool dummy;
    double effect, row0, row1;  // column 1's effect total and Jacobian row
  } cases[] = {
      {ModelKind::Logit, SeMethod::Sm, false, 0.147459, -0.068143, 0.060325},
      {ModelKind::Logit, SeMethod::Orvo, false, 0.147459, -0.147459, 0.196612},
      {ModelKind::Probit, SeMethod::Sm, false, 0.181478, -0.181478, -0.120985},
      {ModelKind::Probit, SeMethod::Orvo, false, 0.181478, -0.181478, 0.241971},
      {ModelKind::Probit, SeMethod::Sm, true, 0.178777, -0.078789, 0.312254},
      {ModelKind::Probit, SeMethod::Orvo, true, 0.178777, -0.078789, 0.312254},
      {ModelKind::Logit, SeMethod::Sm, true, 0.118354, -0.025804, 0.221713},
      {ModelKind::Logit, SeMethod::Orvo, true, 0.118354, -0.025804, 0.221713},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "probit=" << (c.kind == ModelKind::Probit) << " sm="
                                    << (c.method == SeMethod::Sm) << " dummy=" << c.dummy);
    const double x[] = {1.0, c.dummy ? 0.0 : 2.0};
    const double beta[] = {c.dummy ? 0.2 : -0.5, c.dummy ? 0.5 : 0.75};
    const EffectAccumulators acc =
        accumulate_effects(c.kind, {beta, 2, 1}, {x, 1, 2, 2, 1}, Indices{0},
                           c.dummy ? Indices{1} : Indices{}, std::nullopt, c.method, system_blas());
    const SelectedTotals sel = selected_totals(acc, c.method);
    ASSERT_EQ(sel.effects.size(), 2u);
    ASSERT_EQ(sel.jacobian.size(), 4u);
    EXPECT_NEAR(sel.effects[1], c.effect, 1e-6);
    EXPECT_NEAR(sel.jacobian[2], c.row0, 1e-6);
    EXPECT_NEAR(sel.jacobian[3], c.row1, 1e-6);
    EXPECT_TRUE(sel.effects[0] == 0.0 && sel.jacobian[0] == 0.0 && sel.jacobian[1] == 0.0);
    const SelectedTotals other =
        selected_totals(acc, c.method == SeMethod::Sm ? SeMethod::Orvo : SeMethod::Sm);
    EXPECT_EQ(other.effects[1], c.dummy ? sel.effects[1] : 0.0);
    EXPECT_EQ(other.jacobian[2], c.dummy ? sel.jacobian[2] : 0.0);
  }
}

// Random designs for many chunk sizes; the larger ones span several internal row blocks.
TEST(Accumulation, MatchesPerObservationLoopForAnyChunkSize) {
  const Chunk all = std::nullopt, huge = std::numeric_limits<std::uint64_t>::max();
  const struct {
    const char* classes;
    std::size_t n;
    std::vector<Chunk> chunks;
  } cases[] = {
      {"IDDCCZ", 10, {all, 1, 3, 4, 9, 10, 11, huge}},
      {"IDDCCZ", 1000, {all, 1, 7, 999, 1000, huge}},
      {"IDDCCZ", 10000, {all, 4096, 10001}},
      {"CICDCD", 1537, {all, 100}},
      {"C", 10000, {all, 333}},
      {"D", 1000, {all, 64}},
      {"I", 50, {all}},
  };
  unsigned seed = 7;
  for (const auto& c : cases) {
    const Design d = make_design(c.classes, c.n, ++seed);
    for (const ModelKind kind : kKinds) {
      for (const SeMethod method : kMethods) {
        for (const Chunk& chunk : c.chunks) {
          SCOPED_TRACE(testing::Message()
                       << c.classes << " n=" << c.n << " probit=" << (kind == ModelKind::Probit)
                       << " sm=" << (method == SeMethod::Sm)
                       << " chunk=" << (chunk ? std::to_string(*chunk) : "all"));
          expect_matches_reference(accumulate_effects(kind, d.beta_view(), d.view(), d.intercepts,
                                                      d.dummies, chunk, method, system_blas()),
                                   kind, method, d);
        }
      }
    }
  }
}

TEST(Accumulation, AnyStridesOfXAndBeta) {
  const Design d = make_design("IDDCCZ", 700, 3);
  const auto n = static_cast<std::ptrdiff_t>(d.n), k = static_cast<std::ptrdiff_t>(d.k);
  std::vector<double> col_major(d.x.size()), strided(3 * d.x.size()), reversed(d.x.size());
  for (std::ptrdiff_t e = 0; e < n * k; ++e) {
    const std::ptrdiff_t i = e / k, j = e % k;
    const double v = d.x[static_cast<std::size_t>(e)];
    col_major[static_cast<std::size_t>(j * n + i)] = v;
    strided[static_cast<std::size_t>(i * 3 * k + 2 * j)] = v;
    reversed[static_cast<std::size_t>(n * k - 1 - e)] = v;
  }
  std::vector<double> beta_strided(3 * d.beta.size()),
      beta_reversed(d.beta.rbegin(), d.beta.rend());
  for (std::size_t j = 0; j < d.beta.size(); ++j) beta_strided[3 * j] = d.beta[j];
  const VectorView strided_beta{beta_strided.data(), d.k, 3};
  const std::pair<MatrixView, VectorView> layouts[] = {
      {{col_major.data(), d.n, d.k, 1, n}, d.beta_view()},
      {{col_major.data() + n - 1, d.n, d.k, -1, n}, strided_beta},
      {{strided.data(), d.n, d.k, 3 * k, 2}, strided_beta},
      {{reversed.data() + n * k - 1, d.n, d.k, -k, -1}, {beta_reversed.data() + k - 1, d.k, -1}},
  };
  for (const auto& [X, beta] : layouts) {
    for (const ModelKind kind : kKinds) {
      for (const SeMethod method : kMethods) {
        SCOPED_TRACE(testing::Message() << X.row_stride << ", " << X.col_stride);
        expect_matches_reference(accumulate_effects(kind, beta, X, d.intercepts, d.dummies,
                                                    Chunk{128}, method, system_blas()),
                                 kind, method, d);
      }
    }
  }
  // Broadcast rows (row stride 0) against the row written out 300 times.
  Design repeated = make_design("IDCC", 1, 4);
  const std::vector<double> row = repeated.x;
  for (repeated.n = 1; repeated.n < 300; ++repeated.n) {
    repeated.x.insert(repeated.x.end(), row.begin(), row.end());
  }
  expect_matches_reference(
      accumulate_effects(ModelKind::Probit, repeated.beta_view(), {row.data(), 300, 4, 0, 1},
                         repeated.intercepts, repeated.dummies, Chunk{64}, SeMethod::Sm,
                         system_blas()),
      ModelKind::Probit, SeMethod::Sm, repeated);
}

TEST(Accumulation, EdgeInputs) {
  // An intercept position beyond the columns matches none of them.
  const Design d = make_design("ICC", 20, 5);
  expect_matches_reference(
      accumulate_effects(ModelKind::Logit, d.beta_view(), d.view(), Indices{0, 9}, d.dummies,
                         Chunk{3}, SeMethod::Orvo, system_blas()),
      ModelKind::Logit, SeMethod::Orvo, d);

  // No rows: zero totals, and beta's length is not checked.
  const double beta[] = {0.5, -1.0};
  const EffectAccumulators none =
      accumulate_effects(ModelKind::Probit, {beta, 2, 1}, {nullptr, 0, 3, 3, 1}, Indices{0},
                         Indices{1}, Chunk{4}, SeMethod::Orvo, system_blas());
  EXPECT_EQ(none.orvo_effects, std::vector<double>(3));
  EXPECT_EQ(none.sm_effects, std::vector<double>(3));
  EXPECT_EQ(none.orvo_jacobian, std::vector<double>(9));
  EXPECT_EQ(none.sm_jacobian, std::vector<double>(9));

  // Logit far tails beside a dummy of a modest coefficient: exp(xb) overflows,
  // underflows or is subnormal in some rows, where exp(xb) times exp(-+beta_j)
  // must give way to the dummy's own exponential.
  Design tails = make_design("IDCD", 400, 9);
  tails.beta[2] = 600.0;
  tails.beta[3] = 0.8;
  for (std::size_t r = 0; r < 8; ++r) {
    tails.x[r * 4 + 2] = -1.1825 - 0.0005 * static_cast<double>(r);  // xb near -710 to -713
  }
  for (const SeMethod method : kMethods) {
    expect_matches_reference(
        accumulate_effects(ModelKind::Logit, tails.beta_view(), tails.view(), tails.intercepts,
                           tails.dummies, Chunk{64}, method, system_blas()),
        ModelKind::Logit, method, tails);
  }

  // Non-finite values are not screened: one NaN makes the sums NaN.
  Design with_nan = make_design("IDC", 300, 8);
  with_nan.x[123 * 3 + 2] = std::numeric_limits<double>::quiet_NaN();
  const EffectAccumulators acc = accumulate_effects(
      ModelKind::Logit, with_nan.beta_view(), with_nan.view(), with_nan.intercepts,
      with_nan.dummies, Chunk{64}, SeMethod::Sm, system_blas());
  EXPECT_TRUE(std::isnan(acc.sm_effects[1]) && std::isnan(acc.sm_effects[2]));
  EXPECT_TRUE(std::isnan(acc.sm_jacobian[3]) && std::isnan(acc.sm_jacobian[7]));
}

TEST(Accumulation, InvalidArgumentsAreInternalFailures) {
  const Design d = make_design("IDC", 10, 6);
  for (const std::size_t len : {2u, 4u}) {
    const std::vector<double> beta(len, 0.1);
    try {
      (void)accumulate_effects(ModelKind::Logit, {beta.data(), len, 1}, d.view(), d.intercepts,
                               d.dummies, Chunk{4}, SeMethod::Orvo, system_blas());
      ADD_FAILURE() << "beta of length " << len << " accepted";
    } catch (const InternalFailure& e) {
      EXPECT_NE(std::string(e.what()).find("incompatible shapes"), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW((void)accumulate_effects(ModelKind::Logit, d.beta_view(), d.view(), d.intercepts,
                                        d.dummies, Chunk{0}, SeMethod::Sm, system_blas()),
               InternalFailure);
}

// The pass polls its caller at a bounded interval of work, however the rows
// are chunked, and a poll that asks to stop ends it with Interrupted.
TEST(Accumulation, PollsBetweenBlocksAndStopsWhenAsked) {
  const Design d = make_design("IDCC", 300000, 12);  // 1.2M elements
  // A poll comes once the work since the last one reaches the interval, at
  // the end of a block of at most 64 rows.
  const std::size_t interval = InterruptionPoller::elements_between_polls;
  const std::size_t most = d.n * d.k / interval, least = d.n * d.k / (interval + 64 * d.k);
  for (const Chunk chunk : {Chunk{}, Chunk{1}, Chunk{1000}}) {
    CountingPoll polls;
    const EffectAccumulators acc =
        accumulate_effects(ModelKind::Logit, d.beta_view(), d.view(), d.intercepts, d.dummies,
                           chunk, SeMethod::Sm, system_blas(), polls.check());
    EXPECT_LE(polls.count, most) << chunk.value_or(0);
    EXPECT_GE(polls.count, least) << chunk.value_or(0);
    expect_matches_reference(acc, ModelKind::Logit, SeMethod::Sm, d);
    polls = {.count = 0, .stop_at = 2};
    EXPECT_THROW(
        (void)accumulate_effects(ModelKind::Logit, d.beta_view(), d.view(), d.intercepts, d.dummies,
                                 chunk, SeMethod::Sm, system_blas(), polls.check()),
        Interrupted);
    EXPECT_EQ(polls.count, 2u);
  }
}

// Classifying on the way gives the lists and totals of classifying all of X
// first, bit for bit, also where a column is 0/1 for thousands of rows and
// then is not (the guess from the first rows is contradicted).
TEST(ClassifyAndAccumulate, SameAsClassifyingFirst) {
  const std::size_t n = 9000;
  for (const std::size_t break_row :
       {std::size_t{0}, std::size_t{4095}, std::size_t{4096}, std::size_t{6000}, n - 1, n}) {
    Design d = make_design("IDDCD", n, 11);
    if (break_row < n) {
      d.x[break_row * d.k + 2] = 2.0;  // column 2 is a count, not a dummy
    }
    std::vector<std::string> names = {"const", "a", "b", "c", "e"};
    for (const Chunk chunk : {Chunk{}, Chunk{1000}, Chunk{4096}, Chunk{8999}}) {
      for (const SeMethod method : kMethods) {
        SCOPED_TRACE(testing::Message() << "break " << break_row << " chunk " << chunk.value_or(0)
                                        << " sm " << (method == SeMethod::Sm));
        const ClassifiedEffects got = classify_and_accumulate(
            ModelKind::Logit, d.beta_view(), d.view(), names, chunk, method, system_blas());
        const Indices intercepts = build_intercept_indices(names);
        const Indices dummies = build_dummy_indices(names, d.view(), intercepts);
        const EffectAccumulators want =
            accumulate_effects(ModelKind::Logit, d.beta_view(), d.view(), intercepts, dummies,
                               chunk, method, system_blas());
        EXPECT_EQ(got.intercept_indices, intercepts);
        EXPECT_EQ(got.dummy_indices, dummies);
        EXPECT_EQ(got.dummy_indices, break_row < n ? (Indices{1, 4}) : (Indices{1, 2, 4}));
        EXPECT_EQ(got.totals.orvo_effects, want.orvo_effects);
        EXPECT_EQ(got.totals.orvo_jacobian, want.orvo_jacobian);
        EXPECT_EQ(got.totals.sm_effects, want.sm_effects);
        EXPECT_EQ(got.totals.sm_jacobian, want.sm_jacobian);
      }
    }
  }
}

TEST(ClassifyAndAccumulate, NamesWithoutColumnsFailBeforeAnyEffect) {
  const Design d = make_design("ID", 10, 3);
  const std::vector<std::string> names = {"const", "a", "b"};
  EXPECT_THROW((void)classify_and_accumulate(ModelKind::Probit, d.beta_view(), d.view(), names,
                                             Chunk{}, SeMethod::Orvo, system_blas()),
               InternalFailure);
}

}  // namespace
}  // namespace velmora
