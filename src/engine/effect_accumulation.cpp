#include "engine/effect_accumulation.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <string>

#include "engine/blas.hpp"
#include "engine/block_products.hpp"
#include "engine/index_list.hpp"
#include "engine/internal_failure.hpp"
#include "engine/variable_classification.hpp"
#include "engine/vector_math.hpp"

namespace velmora {
namespace {

// A chunk is processed in blocks of rows small enough for the block of X to
// stay in the nearest cache between the passes over it (the linear index,
// the dummy columns and the product with the weights), together with the
// next block, which arrives meanwhile, so X is read from memory once. With
// rows contiguous, blocks of 16 KiB and at most 64 rows measured fastest for
// k = 5 to 80 (at k = 80, 25 rows: 7 % faster than 64). With columns
// contiguous, 64 rows throughout: shorter columns cost the column loops more
// than the cache saves (at k = 80, 25 rows were 25 % slower).
constexpr std::size_t row_block_bytes = 16 * 1024;
constexpr std::size_t min_block_rows = 8;
constexpr std::size_t max_block_rows = 64;

// The block's working arrays start on a cache line, so that the vector loads
// and stores of the element loops never straddle two lines, as they did on
// the default allocator's 16-byte alignment (a call at n = 10^6, k = 20
// measured 3-4 % faster aligned).
template <class T>
struct LineAligned {
  using value_type = T;
  static constexpr std::align_val_t alignment{64};
  LineAligned() = default;
  template <class U>
  explicit LineAligned(const LineAligned<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), alignment)); }
  void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, alignment); }
  friend bool operator==(const LineAligned&, const LineAligned&) { return true; }
};
using BlockArray = std::vector<double, LineAligned<double>>;

std::size_t block_rows_for(std::size_t k, bool rows_contiguous) {
  if (!rows_contiguous) {
    return max_block_rows;
  }
  return std::clamp(row_block_bytes / (sizeof(double) * std::max<std::size_t>(k, 1)),
                    min_block_rows, max_block_rows);
}

// Eight running sums, one per lane of a vector register, break the chain of
// dependent additions and let the loop vectorise without reordering any one
// sum; the order of additions within a chunk is free.
constexpr std::size_t sum_lanes = 8;

inline double lane_total(const double (&partial)[sum_lanes]) {
  return ((partial[0] + partial[1]) + (partial[2] + partial[3])) +
         ((partial[4] + partial[5]) + (partial[6] + partial[7]));
}

VELMORA_SIMD_CLONES
double sum(const double* __restrict values, std::size_t n) {
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

double sum(std::span<const double> values) { return sum(values.data(), values.size()); }

// A dummy column's values in a block gathered to unit stride; true when all
// of them are exactly 0 or 1 (-0 included). The test runs on the gathered
// copy in the bits of the values (integer operations that vectorise), not
// as a chain of comparisons along the strided reads.
VELMORA_SIMD_CLONES
bool gather_binary(const double* __restrict column, std::ptrdiff_t stride, double* __restrict x_j,
                   std::size_t m) {
  for (std::size_t r = 0; r < m; ++r) {
    x_j[r] = column[static_cast<std::ptrdiff_t>(r) * stride];
  }
  constexpr std::uint64_t magnitude = 0x7FFF'FFFF'FFFF'FFFFu;
  constexpr auto one = std::bit_cast<std::uint64_t>(1.0);
  std::uint64_t other = 0;
  for (std::size_t r = 0; r < m; ++r) {
    const auto bits = std::bit_cast<std::uint64_t>(x_j[r]);
    // Neither a zero of either sign nor +1.
    other |= ((bits & magnitude) != 0 && bits != one) ? std::uint64_t{1} : 0;
  }
  return other == 0;
}

// For a 0/1 column the index that is not xb itself: xb - beta_j at x = 1,
// xb + beta_j at x = 0 (the general formulas' values, as (1 - 1) * beta_j and
// -0 * beta_j are zeros).
VELMORA_SIMD_CLONES
void other_index(const double* __restrict x_j, const double* __restrict xb, double beta_j,
                 double* __restrict other, std::size_t m) {
  for (std::size_t r = 0; r < m; ++r) {
    other[r] = xb[r] + (x_j[r] == 1.0 ? -beta_j : beta_j);
  }
}

// A positive double that is neither subnormal nor infinite (false for NaN).
inline bool positive_normal(double v) {
  return (v >= std::numeric_limits<double>::min()) & (v <= std::numeric_limits<double>::max());
}

// Logit: exp of the other index of a 0/1 column as exp(xb) times exp(-beta_j)
// (at x = 1) or exp(beta_j) (at x = 0), a product instead of an exponential.
// It differs from exp(xb -/+ beta_j) by rounding only where both exp(xb) and
// the product are normal numbers (the factors are checked by the caller);
// false when some element is not, for the caller to compute those again.
VELMORA_SIMD_CLONES
bool scaled_exponentials(const double* __restrict x_j, const double* __restrict exp_xb,
                         double at_one, double at_zero, double* __restrict out, std::size_t m) {
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

// Sums over a block's rows of F at x_j = 1, F at x_j = 0 and f at x_j = 1.
struct DummySums {
  double cdf1;
  double cdf0;
  double pdf1;
};

// F and f at x_j = 1 and at x_j = 0, picked from those of xb and of the other
// index (selects, not arithmetic: exact), summed as sum() sums, and the
// dummy's weight f1 - f0 for each row.
VELMORA_SIMD_CLONES
DummySums pick_dummy_values(const double* __restrict x_j, const double* __restrict cdf_xb,
                            const double* __restrict fxb, const double* __restrict other_cdf,
                            const double* __restrict other_pdf, double* __restrict weights,
                            std::size_t m) {
  double cdf1[sum_lanes] = {};
  double cdf0[sum_lanes] = {};
  double pdf1[sum_lanes] = {};
  const auto pick = [&](std::size_t r, std::size_t lane) {
    const bool at_one = x_j[r] == 1.0;
    cdf1[lane] += at_one ? cdf_xb[r] : other_cdf[r];
    cdf0[lane] += at_one ? other_cdf[r] : cdf_xb[r];
    const double g1 = at_one ? fxb[r] : other_pdf[r];
    const double g0 = at_one ? other_pdf[r] : fxb[r];
    pdf1[lane] += g1;
    weights[r] = g1 - g0;
  };
  std::size_t r = 0;
  for (; r + sum_lanes <= m; r += sum_lanes) {
    for (std::size_t l = 0; l < sum_lanes; ++l) {
      pick(r + l, l);
    }
  }
  for (; r < m; ++r) {
    pick(r, 0);
  }
  return {lane_total(cdf1), lane_total(cdf0), lane_total(pdf1)};
}

// Sums over rows do not depend on the order of the rows, so a block stored
// bottom-up (negative row stride) is walked in memory order instead.
MatrixView with_ascending_rows(const MatrixView& block) {
  if (block.row_stride >= 0 || block.rows == 0) {
    return block;
  }
  return {block.address(block.rows - 1, 0), block.rows, block.cols, -block.row_stride,
          block.col_stride};
}

// F(xb) is needed by every dummy and, for Logit, by f' = f * (1 - 2F).
bool needs_cdf_of_xb(ModelKind kind, std::span<const std::size_t> dummies, bool has_continuous,
                     SeMethod method) {
  return !dummies.empty() || (has_continuous && method == SeMethod::Sm && kind == ModelKind::Logit);
}

enum class ColumnClass { Intercept, Dummy, Continuous };

// What a block does when a dummy column holds a value other than 0 and 1:
// nothing (the lists are known to be right), stop the pass (the guess from
// the first rows was wrong; mfx classifies and passes again), or note the
// column and go on (a block of a larger matrix, whose caller classifies
// over all blocks).
enum class DummyCheck { Off, Stop, Record };

std::vector<ColumnClass> column_classes(std::size_t k, std::span<const std::size_t> intercepts,
                                        std::span<const std::size_t> dummies) {
  std::vector<ColumnClass> classes(k, ColumnClass::Continuous);
  for (std::size_t i = 0; i < k; ++i) {
    if (contains_index(intercepts, i)) {
      classes[i] = ColumnClass::Intercept;
    } else if (contains_index(dummies, i)) {
      classes[i] = ColumnClass::Dummy;
    }
  }
  return classes;
}

// One weight column per dummy (f(xb1) - f(xb0)) and, when there are
// continuous regressors, one for the method (xb * f(xb) for Orvo, f'(xb) for
// Sm). X_c^T times the weights gives every Jacobian row of the chunk in one
// product instead of k dot products per regressor.
class ChunkAccumulator {
 public:
  // `most_rows` bounds the rows of any chunk, so a small call gets no
  // full-sized block buffers; `rows_contiguous` (X's column stride is 1)
  // sets the size of the blocks. `dummy_check` says what a block does with a
  // dummy column that holds a value other than 0 and 1: with Stop the chunk
  // ends there (contradicted()), with Record the column is noted
  // (contradicted_dummies()) and the general formulas take it.
  ChunkAccumulator(ModelKind kind, const VectorView& beta, std::size_t k, std::size_t most_rows,
                   bool rows_contiguous, std::span<const std::size_t> dummies, bool has_continuous,
                   SeMethod method, DummyCheck dummy_check, const blas::Routines& blas,
                   InterruptionPoller& poller)
      : blas_(blas),
        poller_(poller),
        kind_(kind),
        beta_(beta),
        k_(k),
        dummies_(dummies),
        method_(method),
        dummy_check_(dummy_check),
        contradicted_dummies_(dummies.size(), false),
        block_rows_(
            std::min(block_rows_for(k, rows_contiguous), std::max<std::size_t>(most_rows, 1))),
        weight_columns_(dummies.size() + (has_continuous ? 1 : 0)),
        prefetch_steps_(4 + dummies.size()),
        xb_(block_rows_),
        fxb_(block_rows_),
        xb1_(block_rows_),
        xb0_(block_rows_),
        scratch_(block_rows_),
        cdf_xb_(needs_cdf_of_xb(kind, dummies, has_continuous, method) ? block_rows_ : 0),
        column_(dummies.empty() ? 0 : block_rows_),
        dummy_cdf0_rows_(dummies.empty() ? 0 : block_rows_),
        weights_(block_rows_ * weight_columns_),
        dummy_cdf1_(dummies.size()),
        dummy_cdf0_(dummies.size()),
        dummy_pdf1_(dummies.size()),
        products_(k * weight_columns_),
        beta_contiguous_(k),
        exp_xb_(kind == ModelKind::Logit && !dummies.empty() ? block_rows_ : 0) {
    for (std::size_t l = 0; l < k; ++l) {
      beta_contiguous_[l] = beta[l];
    }
    if (!exp_xb_.empty()) {
      for (const std::size_t j : dummies) {
        exp_of_beta_.push_back(std::exp(-beta[j]));  // x_j = 1: the other index is xb - beta_j
        exp_of_beta_.push_back(std::exp(beta[j]));   // x_j = 0: xb + beta_j
      }
    }
  }

  [[nodiscard]] bool contradicted() const { return contradicted_; }
  // Entry d is true when dummy d held another value in some block (Record).
  [[nodiscard]] const std::vector<bool>& contradicted_dummies() const {
    return contradicted_dummies_;
  }

  // Totals of one chunk, formed over its blocks; read after add_chunk.
  [[nodiscard]] double sum_pdf() const { return sum_pdf_; }
  [[nodiscard]] double dummy_effect(std::size_t d) const { return dummy_cdf1_[d] - dummy_cdf0_[d]; }
  [[nodiscard]] double dummy_pdf1(std::size_t d) const { return dummy_pdf1_[d]; }
  // Element l of X_c^T times weight column w.
  [[nodiscard]] double product(std::size_t w, std::size_t l) const { return products_[w * k_ + l]; }

  void add_chunk(const MatrixView& chunk) {
    sum_pdf_ = 0.0;
    std::fill(dummy_cdf1_.begin(), dummy_cdf1_.end(), 0.0);
    std::fill(dummy_cdf0_.begin(), dummy_cdf0_.end(), 0.0);
    std::fill(dummy_pdf1_.begin(), dummy_pdf1_.end(), 0.0);
    std::fill(products_.begin(), products_.end(), 0.0);
    for (std::size_t first = 0; first < chunk.rows && !contradicted_; first += block_rows_) {
      const std::size_t m = std::min(block_rows_, chunk.rows - first);
      // The next block comes from memory while this one is worked on.
      const std::size_t next = first + m;
      next_block_.plan(
          with_ascending_rows(chunk.row_block(next, std::min(block_rows_, chunk.rows - next))),
          prefetch_steps_);
      add_block(with_ascending_rows(chunk.row_block(first, m)));
      next_block_.finish();
      poller_.add_work(m * std::max<std::size_t>(k_, 1));
    }
  }

 private:
  void add_block(const MatrixView& block) {
    const std::size_t m = block.rows;
    const std::span<double> xb(xb_.data(), m);
    const std::span<double> fxb(fxb_.data(), m);
    const std::span<double> cdf_xb(cdf_xb_.data(), cdf_xb_.empty() ? 0 : m);
    next_block_.step();
    linear_index(block, xb);
    next_block_.step();
    if (cdf_xb_.empty()) {
      link_pdf(kind_, xb, fxb);
    } else if (!exp_xb_.empty()) {
      // Logit with dummies: exp(xb) is kept for the dummies' other indices.
      const std::span<double> exp_xb(exp_xb_.data(), m);
      exponentials(xb, exp_xb);
      logit_cdf_and_pdf_of_exp(exp_xb, cdf_xb, fxb);
    } else {
      link_cdf_and_pdf(kind_, xb, cdf_xb, fxb);
    }
    sum_pdf_ += sum(fxb);
    next_block_.step();

    for (std::size_t d = 0; d < dummies_.size(); ++d) {
      add_dummy_weights(block.column(dummies_[d]), d, xb);
      next_block_.step();
    }
    if (weight_columns_ > dummies_.size()) {
      const std::span<double> method_weights(weights_.data() + dummies_.size() * block_rows_, m);
      if (method_ == SeMethod::Orvo) {
        for (std::size_t r = 0; r < m; ++r) {
          method_weights[r] = xb[r] * fxb[r];
        }
      } else {
        link_pdf_derivative(kind_, xb, cdf_xb, fxb, method_weights);
      }
    }
    add_weight_products(block);
  }

  // Rows or columns contiguous: the loops of block_products.cpp. Any other
  // layout: a dot product per row.
  void linear_index(const MatrixView& block, std::span<double> xb) const {
    if (k_ == 0) {
      std::fill(xb.begin(), xb.end(), 0.0);
      return;
    }
    if (block_linear_index(block, beta_contiguous_.data(), xb.data())) {
      return;
    }
    for (std::size_t r = 0; r < block.rows; ++r) {
      xb[r] = blas_.dot(block.row(r), beta_);
    }
  }

  // For a column of exact zeros and ones one of the two shifted indices is
  // xb itself ((1 - 1) * beta_j and -0 * beta_j are zeros), so F and f there
  // are those of xb, computed once per block for all dummies; only the other
  // index needs the link functions. The sums are the same, bit for bit.
  void add_dummy_weights(const VectorView& column, std::size_t d, std::span<const double> xb) {
    const std::size_t m = xb.size();
    const double beta_j = beta_[dummies_[d]];
    // Gathered to unit stride so the loops below vectorise.
    double* x_j = column_.data();
    const bool all_binary = gather_binary(column.base, column.stride, x_j, m);
    if (!all_binary && stops_on_contradiction(d)) {
      return;
    }
    if (!all_binary || !std::isfinite(beta_j)) {
      add_general_dummy_weights(std::span<const double>(x_j, m), d, xb);
      return;
    }
    double* other = xb1_.data();
    double* other_cdf = xb0_.data();
    double* other_pdf = scratch_.data();
    if (!exp_xb_.empty() && positive_normal(exp_of_beta_[2 * d]) &&
        positive_normal(exp_of_beta_[2 * d + 1])) {
      // Logit: F and f of the other index from exp(xb) times a factor; where
      // a product is not a normal number, from the exponential itself, as
      // below, so limits, signed zeros and NaN stay those of the formulas.
      double* other_exp = other;
      if (!scaled_exponentials(x_j, exp_xb_.data(), exp_of_beta_[2 * d], exp_of_beta_[2 * d + 1],
                               other_exp, m)) {
        for (std::size_t r = 0; r < m; ++r) {
          if (!positive_normal(exp_xb_[r]) || !positive_normal(other_exp[r])) {
            other_exp[r] = std::exp(xb[r] + (x_j[r] == 1.0 ? -beta_j : beta_j));
          }
        }
      }
      logit_cdf_and_pdf_of_exp(std::span<const double>(other_exp, m),
                               std::span<double>(other_cdf, m), std::span<double>(other_pdf, m));
    } else {
      other_index(x_j, xb.data(), beta_j, other, m);
      link_cdf_and_pdf(kind_, std::span<const double>(other, m), std::span<double>(other_cdf, m),
                       std::span<double>(other_pdf, m));
    }

    const DummySums sums = pick_dummy_values(x_j, cdf_xb_.data(), fxb_.data(), other_cdf,
                                             other_pdf, weights_.data() + d * block_rows_, m);
    dummy_cdf1_[d] += sums.cdf1;
    dummy_cdf0_[d] += sums.cdf0;
    dummy_pdf1_[d] += sums.pdf1;
  }

  // Any column values: both shifted indices through the link functions.
  void add_general_dummy_weights(std::span<const double> x_j, std::size_t d,
                                 std::span<const double> xb) {
    const std::size_t m = xb.size();
    const double beta_j = beta_[dummies_[d]];
    const std::span<double> xb1(xb1_.data(), m);
    const std::span<double> xb0(xb0_.data(), m);
    for (std::size_t r = 0; r < m; ++r) {
      xb1[r] = xb[r] + ((1.0 - x_j[r]) * beta_j);
      xb0[r] = xb[r] + ((-x_j[r]) * beta_j);
    }
    const std::span<double> cdf(scratch_.data(), m);
    const std::span<double> pdf0(dummy_cdf0_rows_.data(), m);
    const std::span<double> weights(weights_.data() + d * block_rows_, m);
    link_cdf_and_pdf(kind_, xb1, cdf, weights);
    dummy_cdf1_[d] += sum(cdf);
    dummy_pdf1_[d] += sum(weights);
    link_cdf_and_pdf(kind_, xb0, cdf, pdf0);
    dummy_cdf0_[d] += sum(cdf);
    for (std::size_t r = 0; r < m; ++r) {
      weights[r] = weights[r] - pdf0[r];
    }
  }

  // The block's rows or columns contiguous: a register-blocked loop reads
  // X where it lies. Otherwise one dot product per column and weight.
  void add_weight_products(const MatrixView& block) {
    const std::size_t m = block.rows;
    if (k_ == 0 || weight_columns_ == 0 || m == 0) {
      return;
    }
    if (add_block_products(block, weights_.data(), block_rows_, weight_columns_,
                           products_.data())) {
      return;
    }
    for (std::size_t w = 0; w < weight_columns_; ++w) {
      const VectorView weights{weights_.data() + w * block_rows_, m, 1};
      for (std::size_t l = 0; l < k_; ++l) {
        products_[w * k_ + l] += blas_.dot(block.column(l), weights);
      }
    }
  }

  // Dummy d held a value other than 0 and 1 in the current block; true when
  // the chunk is to stop there.
  bool stops_on_contradiction(std::size_t d) {
    switch (dummy_check_) {
      case DummyCheck::Off:
        return false;
      case DummyCheck::Record:
        contradicted_dummies_[d] = true;
        return false;
      case DummyCheck::Stop:
        break;
    }
    contradicted_ = true;
    return true;
  }

  const blas::Routines& blas_;
  InterruptionPoller& poller_;
  ModelKind kind_;
  VectorView beta_;
  std::size_t k_;
  std::span<const std::size_t> dummies_;
  SeMethod method_;
  DummyCheck dummy_check_;
  bool contradicted_ = false;
  std::vector<bool> contradicted_dummies_;
  std::size_t block_rows_;
  std::size_t weight_columns_;
  // The next block's lines, asked for in shares: one before and one after
  // the linear index, one after the link functions and one after each
  // dummy, with the last share issued after the product with the weights.
  SpreadPrefetch next_block_;
  std::size_t prefetch_steps_;

  // Per block of rows.
  BlockArray xb_, fxb_, xb1_, xb0_, scratch_;
  BlockArray cdf_xb_;  // F(xb), empty where nothing needs it
  BlockArray column_;  // the current dummy's values in the block
  BlockArray dummy_cdf0_rows_;
  BlockArray weights_;  // block_rows_ x weight_columns_, column-major

  // Per chunk.
  double sum_pdf_ = 0.0;
  std::vector<double> dummy_cdf1_, dummy_cdf0_, dummy_pdf1_;
  std::vector<double> products_;  // k x weight_columns_, column-major
  std::vector<double> beta_contiguous_;  // beta at unit stride, for the block loops
  // Logit with dummies: exp(xb) of the block, and per dummy exp(-beta_j), exp(beta_j).
  BlockArray exp_xb_;
  std::vector<double> exp_of_beta_;
};

}  // namespace

std::optional<SeMethod> parse_se_method(std::string_view text) {
  if (text == "orvo") {
    return SeMethod::Orvo;
  }
  if (text == "sm") {
    return SeMethod::Sm;
  }
  return std::nullopt;
}

namespace {

// The pass itself; with DummyCheck::Stop, nothing when a dummy column turns
// out to hold a value other than 0 and 1. With DummyCheck::Record, the
// columns of dummy_indices that did so are added to `contradicted_columns`
// (when given).
std::optional<EffectAccumulators> accumulate(ModelKind kind, const VectorView& beta,
                                             const MatrixView& X,
                                             std::span<const std::size_t> intercept_indices,
                                             std::span<const std::size_t> dummy_indices,
                                             std::optional<std::uint64_t> chunk_size,
                                             SeMethod method, DummyCheck dummy_check,
                                             const blas::Routines& blas, InterruptionPoller& poller,
                                             std::vector<std::size_t>* contradicted_columns = nullptr) {
  const std::size_t n = X.rows;
  const std::size_t k = X.cols;
  EffectAccumulators totals{std::vector<double>(k, 0.0), std::vector<double>(k * k, 0.0),
                            std::vector<double>(k, 0.0), std::vector<double>(k * k, 0.0)};
  if (n == 0) {
    return totals;
  }
  require_coefficient_per_column(n, k, beta.size);
  const std::uint64_t rows_per_chunk = chunk_size.value_or(n);
  if (rows_per_chunk == 0) {
    throw InternalFailure("chunk_size must be at least 1");
  }

  const std::vector<ColumnClass> classes = column_classes(k, intercept_indices, dummy_indices);
  std::vector<std::size_t> dummies;
  for (std::size_t j = 0; j < k; ++j) {
    if (classes[j] == ColumnClass::Dummy) {
      dummies.push_back(j);
    }
  }
  const bool has_continuous =
      std::find(classes.begin(), classes.end(), ColumnClass::Continuous) != classes.end();
  std::vector<double>& continuous_effects =
      method == SeMethod::Sm ? totals.sm_effects : totals.orvo_effects;
  std::vector<double>& continuous_jacobian =
      method == SeMethod::Sm ? totals.sm_jacobian : totals.orvo_jacobian;

  const auto most_rows = static_cast<std::size_t>(std::min<std::uint64_t>(rows_per_chunk, n));
  ChunkAccumulator chunk_totals(kind, beta, k, most_rows, X.col_stride == 1, dummies,
                                has_continuous, method, dummy_check, blas, poller);
  const std::size_t method_column = dummies.size();
  for (std::size_t start = 0; start < n;) {
    const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>(rows_per_chunk, n - start));
    chunk_totals.add_chunk(X.row_block(start, m));
    start += m;
    if (chunk_totals.contradicted()) {
      return std::nullopt;
    }

    for (std::size_t d = 0; d < dummies.size(); ++d) {
      const std::size_t j = dummies[d];
      const double effect = chunk_totals.dummy_effect(d);
      totals.orvo_effects[j] += effect;
      totals.sm_effects[j] += effect;
      for (std::size_t l = 0; l < k; ++l) {
        const double v = l == j ? chunk_totals.dummy_pdf1(d) : chunk_totals.product(d, l);
        totals.orvo_jacobian[j * k + l] += v;
        totals.sm_jacobian[j * k + l] += v;
      }
    }
    const double sum_pdf = chunk_totals.sum_pdf();
    for (std::size_t i = 0; i < k; ++i) {
      if (classes[i] != ColumnClass::Continuous) {
        continue;
      }
      const double beta_i = beta[i];
      continuous_effects[i] += sum_pdf * beta_i;
      for (std::size_t l = 0; l < k; ++l) {
        const double product = chunk_totals.product(method_column, l);
        double v = 0.0;
        if (method == SeMethod::Orvo) {
          v = l == i ? sum_pdf : product * (-beta_i);
        } else {
          v = l == i ? product * beta_i + sum_pdf : product * beta_i;
        }
        continuous_jacobian[i * k + l] += v;
      }
    }
  }
  if (contradicted_columns != nullptr) {
    for (std::size_t d = 0; d < dummies.size(); ++d) {
      if (chunk_totals.contradicted_dummies()[d]) {
        contradicted_columns->push_back(dummies[d]);
      }
    }
  }
  return totals;
}

}  // namespace

EffectAccumulators accumulate_effects(ModelKind kind, const VectorView& beta, const MatrixView& X,
                                      std::span<const std::size_t> intercept_indices,
                                      std::span<const std::size_t> dummy_indices,
                                      std::optional<std::uint64_t> chunk_size, SeMethod method,
                                      const blas::Routines& blas,
                                      const InterruptionCheck& interruption) {
  InterruptionPoller poller(interruption);
  return *accumulate(kind, beta, X, intercept_indices, dummy_indices, chunk_size, method,
                     DummyCheck::Off, blas, poller);
}

ClassifiedEffects classify_and_accumulate(ModelKind kind, const VectorView& beta,
                                          const MatrixView& X, std::span<const std::string> names,
                                          std::optional<std::uint64_t> chunk_size,
                                          SeMethod method, const blas::Routines& blas,
                                          const InterruptionCheck& interruption) {
  InterruptionPoller poller(interruption);
  ClassifiedEffects result;
  result.intercept_indices = build_intercept_indices(names);
  // The pass checks the guess in every block; where it is contradicted, the
  // columns are classified on all rows and the pass runs again, so the lists
  // and the totals are those of classifying first.
  result.dummy_indices = guess_dummy_indices(names, X, result.intercept_indices);
  const bool guessed_from_part = X.rows > classification_sample_rows;
  std::optional<EffectAccumulators> totals =
      accumulate(kind, beta, X, result.intercept_indices, result.dummy_indices, chunk_size, method,
                 guessed_from_part ? DummyCheck::Stop : DummyCheck::Off, blas, poller);
  if (!totals) {
    result.dummy_indices = build_dummy_indices(names, X, result.intercept_indices, &poller);
    totals = accumulate(kind, beta, X, result.intercept_indices, result.dummy_indices, chunk_size,
                        method, DummyCheck::Off, blas, poller);
  }
  result.totals = std::move(*totals);
  return result;
}

BlockEffects accumulate_block_effects(ModelKind kind, const VectorView& beta, const MatrixView& X,
                                      std::span<const std::size_t> intercept_indices,
                                      std::span<const std::size_t> dummy_indices, SeMethod method,
                                      const blas::Routines& blas) {
  // Nothing to poll: the caller may run this without the interpreter's lock.
  InterruptionPoller poller(InterruptionCheck{});
  BlockEffects result;
  std::vector<std::size_t> contradicted;
  result.totals = *accumulate(kind, beta, X, intercept_indices, dummy_indices, std::nullopt, method,
                              DummyCheck::Record, blas, poller, &contradicted);
  result.dummy_held_binary.reserve(dummy_indices.size());
  for (const std::size_t j : dummy_indices) {
    result.dummy_held_binary.push_back(!contains_index(contradicted, j));
  }
  return result;
}

void require_addressable_square(std::size_t k) {
  constexpr std::size_t max_elements = std::numeric_limits<std::size_t>::max() / sizeof(double);
  if (k != 0 && k > max_elements / k) {
    throw std::bad_alloc{};
  }
}

void require_coefficient_per_column(std::size_t rows, std::size_t columns,
                                    std::size_t coefficients) {
  if (coefficients != columns) {
    throw InternalFailure("matrices of incompatible shapes: the design matrix is " +
                          std::to_string(rows) + " x " + std::to_string(columns) +
                          " but the coefficient vector has " + std::to_string(coefficients) +
                          " entries");
  }
}

SelectedTotals selected_totals(const EffectAccumulators& totals, SeMethod method) {
  if (method == SeMethod::Sm) {
    return {totals.sm_effects, totals.sm_jacobian};
  }
  return {totals.orvo_effects, totals.orvo_jacobian};
}

}  // namespace velmora
