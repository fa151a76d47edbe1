// Sorting regressors into intercepts, dummies and continuous columns.

#include <gtest/gtest.h>

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "counting_poll.hpp"
#include "engine/internal_failure.hpp"
#include "engine/interruption.hpp"
#include "engine/variable_classification.hpp"

namespace velmora {
namespace {

using Indices = std::vector<std::size_t>;
using Names = std::vector<std::string>;

TEST(Classification, InterceptNamesAreWholeWordsInAnyCase) {
  for (const char* name :
       {"const", "Const", "CONST", "cOnSt", "intercept", "Intercept", "INTERCEPT"}) {
    EXPECT_TRUE(is_intercept_name(name)) << name;
  }
  for (const char* name : {"", " const", "const ", "const_1", "constant", "(Intercept)", "cons",
                           "intercep", "x_const", "one", "\xC4\xB0ntercept"}) {
    EXPECT_FALSE(is_intercept_name(name)) << name;
  }
  EXPECT_FALSE(is_intercept_name(std::string("const\0", 6)));
  EXPECT_EQ(build_intercept_indices(Names{"Intercept", "x", "const", "constant", "CONST"}),
            (Indices{0, 2, 4}));
  EXPECT_EQ(build_intercept_indices(Names{}), Indices{});
}

TEST(Classification, DummiesHoldOnlyExactZerosAndOnesInAnyLayout) {
  constexpr std::size_t n = 4, k = 9;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Names names = {"const", "age",  "female", "negzero", "withnan",
                       "two",   "half", "one",    "zero"};
  // The intercept column holds values that would fail the dummy test: it is never read.
  const double values[n][k] = {{3.0, 21.5, 0.0, -0.0, 0.0, 0.0, 0.5, 1.0, 0.0},
                               {1.0, 40.0, 1.0, 1.0, 1.0, 1.0, 0.5, 1.0, 0.0},
                               {0.0, 33.0, 1.0, -0.0, nan, 2.0, 0.5, 1.0, 0.0},
                               {1.0, 1.0, 0.0, 1.0, 1.0, 0.0, 0.5, 1.0, 0.0}};
  std::vector<double> col_major(n * k), reversed(n * k);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < k; ++j) {
      col_major[j * n + i] = values[i][j];
      reversed[(n - 1 - i) * k + (k - 1 - j)] = values[i][j];
    }
  }
  const MatrixView layouts[] = {
      {&values[0][0], n, k, k, 1},
      {col_major.data(), n, k, 1, n},
      {reversed.data() + n * k - 1, n, k, -static_cast<std::ptrdiff_t>(k), -1}};
  const Indices intercepts = build_intercept_indices(names);
  EXPECT_EQ(intercepts, Indices{0});
  for (const MatrixView& X : layouts) {
    SCOPED_TRACE(X.row_stride);
    EXPECT_EQ(build_dummy_indices(names, X, intercepts), (Indices{2, 3, 7, 8}));
    EXPECT_FALSE(is_dummy_column(X, 0, intercepts));
    EXPECT_TRUE(is_dummy_column(X, 3, intercepts));
    EXPECT_FALSE(is_dummy_column(X, 4, intercepts));
  }
}

TEST(Classification, EmptyMatricesAndPositionsBeyondTheColumns) {
  // No rows: every column not named as an intercept is a dummy.
  const MatrixView empty{nullptr, 0, 3, 3, 1};
  EXPECT_EQ(build_dummy_indices(Names{"a", "Intercept", "b"}, empty, Indices{1}), (Indices{0, 2}));
  EXPECT_EQ(build_dummy_indices(Names{}, empty, Indices{}), Indices{});

  const double values[] = {0.0, 2.0, 1.0, 3.0};
  const MatrixView X{values, 2, 2, 2, 1};
  EXPECT_FALSE(is_dummy_column(X, 5, Indices{5}));  // an intercept is not looked up in X
  EXPECT_THROW((void)is_dummy_column(X, 2, Indices{}), InternalFailure);
  EXPECT_THROW((void)build_dummy_indices(Names{"a", "b", "c"}, X, Indices{}), InternalFailure);
  EXPECT_EQ(build_dummy_indices(Names{"a", "b", "const"}, X, Indices{2}), Indices{0});
  EXPECT_EQ(build_dummy_indices(Names{"a"}, X, Indices{}), Indices{0});  // columns past the names
}

// The scan of all of X (after a contradicted guess) can take as long as the
// pass itself, so it polls as it reads, in either layout, and stops when asked.
TEST(Classification, FullScanPollsAndStopsWhenAsked) {
  constexpr std::size_t n = 300000, k = 4;
  std::vector<double> x(n * k);
  for (std::size_t e = 0; e < x.size(); ++e) {
    x[e] = static_cast<double>(e % 3 == 0);
  }
  const Names names = {"a", "b", "c", "d"};
  const std::size_t interval = InterruptionPoller::elements_between_polls;
  for (const MatrixView& X : {MatrixView{x.data(), n, k, k, 1}, MatrixView{x.data(), n, k, 1, n}}) {
    SCOPED_TRACE(X.row_stride);
    CountingPoll polls;
    InterruptionPoller poller(polls.check());
    EXPECT_EQ(build_dummy_indices(names, X, Indices{}, &poller), (Indices{0, 1, 2, 3}));
    EXPECT_GE(polls.count, n * k / interval - 1);
    EXPECT_LE(polls.count, n * k / interval);
    polls = {.count = 0, .stop_at = 1};
    InterruptionPoller stopping(polls.check());
    EXPECT_THROW((void)build_dummy_indices(names, X, Indices{}, &stopping), Interrupted);
    EXPECT_EQ(polls.count, 1u);
  }
}

}  // namespace
}  // namespace velmora
