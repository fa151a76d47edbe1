#include "engine/chunk_accumulator.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "engine/block_element_loops.hpp"
#include "engine/index_list.hpp"

namespace velmora {
namespace {

// A chunk is processed in blocks of rows small enough for the block of X to
// stay in the nearest cache between the passes over it (the linear index,
// the dummy columns and the product with the weights), together with the
// next block, which arrives meanwhile, so X is read from memory once. With
// rows contiguous, blocks of 16 KiB and at most 64 rows timed best for k = 5
// to 80; with columns contiguous, 64 rows throughout, as shorter columns cost
// the column loops more than the cache saves.
constexpr std::size_t row_block_bytes = 16 * 1024;
constexpr std::size_t min_block_rows = 8;
constexpr std::size_t max_block_rows = 64;

std::size_t block_rows_for(std::size_t k, bool rows_contiguous) {
  if (!rows_contiguous) {
    return max_block_rows;
  }
  return std::clamp(row_block_bytes / (sizeof(double) * std::max<std::size_t>(k, 1)),
                    min_block_rows, max_block_rows);
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

}  // namespace

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

ColumnRoles column_roles(std::size_t k, std::span<const std::size_t> intercepts,
                         std::span<const std::size_t> dummies) {
  ColumnRoles roles{column_classes(k, intercepts, dummies), {}, false};
  for (std::size_t j = 0; j < k; ++j) {
    if (roles.classes[j] == ColumnClass::Dummy) {
      roles.dummies.push_back(j);
    }
    roles.has_continuous = roles.has_continuous || roles.classes[j] == ColumnClass::Continuous;
  }
  return roles;
}

ChunkAccumulator::ChunkAccumulator(const ChunkSettings& settings, const blas::Routines& blas,
                                   InterruptionPoller& poller)
    : settings_(settings),
      blas_(blas),
      poller_(poller),
      contradicted_dummies_(settings.dummies.size(), false),
      block_rows_(std::min(block_rows_for(settings.k, settings.rows_contiguous),
                           std::max<std::size_t>(settings.most_rows, 1))),
      weight_columns_(settings.dummies.size() + (settings.has_continuous ? 1 : 0)),
      xb_(block_rows_),
      fxb_(block_rows_),
      xb1_(block_rows_),
      xb0_(block_rows_),
      scratch_(block_rows_),
      cdf_xb_(
          needs_cdf_of_xb(settings.kind, settings.dummies, settings.has_continuous, settings.method)
              ? block_rows_
              : 0),
      column_(settings.dummies.empty() ? 0 : block_rows_),
      dummy_cdf0_rows_(settings.dummies.empty() ? 0 : block_rows_),
      weights_(block_rows_ * weight_columns_),
      chunk_sums_(settings.k, settings.dummies.size(), weight_columns_),
      beta_contiguous_(settings.k),
      exp_xb_(settings.kind == ModelKind::Logit && !settings.dummies.empty() ? block_rows_ : 0) {
  for (std::size_t l = 0; l < settings.k; ++l) {
    beta_contiguous_[l] = settings.beta[l];
  }
  if (!exp_xb_.empty()) {
    for (const std::size_t j : settings.dummies) {
      exp_of_beta_.push_back(
          std::exp(-settings.beta[j]));  // x_j = 1: the other index is xb - beta_j
      exp_of_beta_.push_back(std::exp(settings.beta[j]));  // x_j = 0: xb + beta_j
    }
  }
  stages_.push_back({StageKind::LinearIndex});
  stages_.push_back({StageKind::LinkFunctions});
  for (std::size_t d = 0; d < settings.dummies.size(); ++d) {
    stages_.push_back({StageKind::DummyWeights, d});
  }
  stages_.push_back({StageKind::MethodWeightsAndProducts});
}

void ChunkSums::clear() {
  sum_pdf_ = 0.0;
  for (std::vector<double>* values : {&cdf1_, &cdf0_, &pdf1_, &products_}) {
    std::fill(values->begin(), values->end(), 0.0);
  }
}

ChunkSums ChunkAccumulator::empty_sums() const {
  return {settings_.k, settings_.dummies.size(), weight_columns_};
}

void ChunkAccumulator::add_chunk(const MatrixView& chunk, const double* row_weights,
                                 const MatrixView* ahead) {
  chunk_sums_.clear();
  add_chunk_to(chunk_sums_, chunk, row_weights, ahead);
}

void ChunkAccumulator::add_chunk_to(ChunkSums& sums, const MatrixView& chunk,
                                    const double* row_weights, const MatrixView* ahead) {
  sums_ = &sums;
  for (std::size_t first = 0; first < chunk.rows && !contradicted_; first += block_rows_) {
    const std::size_t m = std::min(block_rows_, chunk.rows - first);
    // The next block comes from memory while this one is worked on.
    const std::size_t next = first + m;
    if (ahead == nullptr) {
      next_block_.plan(
          with_ascending_rows(chunk.row_block(next, std::min(block_rows_, chunk.rows - next))),
          stages_.size() + 1);
    } else {
      const std::size_t from = std::min(first, ahead->rows);
      next_block_.plan(with_ascending_rows(ahead->row_block(from, std::min(m, ahead->rows - from))),
                       stages_.size() + 1);
    }
    const MatrixView rows = chunk.row_block(first, m);
    const double* block_weights = row_weights == nullptr ? nullptr : row_weights + first;
    if (block_weights != nullptr && rows.row_stride < 0 && m > 1) {
      // The weights follow their rows when those are walked in memory order.
      reversed_weights_.assign(std::make_reverse_iterator(block_weights + m),
                               std::make_reverse_iterator(block_weights));
      block_weights = reversed_weights_.data();
    }
    add_block(with_ascending_rows(rows), block_weights);
    next_block_.finish();
    poller_.add_work(m * std::max<std::size_t>(settings_.k, 1));
  }
}

void ChunkAccumulator::add_block(const MatrixView& block, const double* row_weights) {
  const std::size_t m = block.rows;
  for (const Stage& stage : stages_) {
    next_block_.step();
    switch (stage.kind) {
      case StageKind::LinearIndex:
        linear_index(block, std::span<double>(xb_.data(), m));
        break;
      case StageKind::LinkFunctions:
        link_functions(m);
        break;
      case StageKind::DummyWeights:
        add_dummy_weights(block.column(settings_.dummies[stage.dummy]), stage.dummy,
                          std::span<const double>(xb_.data(), m), row_weights);
        break;
      case StageKind::MethodWeightsAndProducts:
        method_weights(m, row_weights);
        add_weight_products(block);
        break;
    }
  }
}

void ChunkAccumulator::link_functions(std::size_t m) {
  const std::span<const double> xb(xb_.data(), m);
  const std::span<double> fxb(fxb_.data(), m);
  const std::span<double> cdf_xb(cdf_xb_.data(), cdf_xb_.empty() ? 0 : m);
  if (cdf_xb_.empty()) {
    link_pdf(settings_.kind, xb, fxb);
  } else if (!exp_xb_.empty()) {
    // Logit with dummies: exp(xb) is kept for the dummies' other indices.
    logit_exp_cdf_and_pdf(xb, std::span<double>(exp_xb_.data(), m), cdf_xb, fxb);
  } else {
    link_cdf_and_pdf(settings_.kind, xb, cdf_xb, fxb);
  }
}

// The sum of f goes with the continuous columns' weights, read in the same
// loop.
void ChunkAccumulator::method_weights(std::size_t m, const double* row_weights) {
  if (weight_columns_ == settings_.dummies.size()) {
    sums_->sum_pdf_ +=
        row_weights == nullptr ? sum(fxb_.data(), m) : weighted_sum(fxb_.data(), row_weights, m);
    return;
  }
  double* weights = weights_.data() + settings_.dummies.size() * block_rows_;
  if (settings_.method == SeMethod::Orvo) {
    sums_->sum_pdf_ += continuous_weights_and_density_sum(
        ContinuousWeights::IndexTimesDensity, xb_.data(), fxb_.data(), weights, m, row_weights);
  } else if (settings_.kind == ModelKind::Logit) {
    sums_->sum_pdf_ += continuous_weights_and_density_sum(
        ContinuousWeights::LogitSlope, cdf_xb_.data(), fxb_.data(), weights, m, row_weights);
  } else {
    sums_->sum_pdf_ += continuous_weights_and_density_sum(
        ContinuousWeights::ProbitSlope, xb_.data(), fxb_.data(), weights, m, row_weights);
  }
}

// Rows or columns contiguous: the loops of block_products.cpp. Any other
// layout: a dot product per row.
void ChunkAccumulator::linear_index(const MatrixView& block, std::span<double> xb) const {
  if (settings_.k == 0) {
    std::fill(xb.begin(), xb.end(), 0.0);
    return;
  }
  if (block_linear_index(block, beta_contiguous_.data(), xb.data())) {
    return;
  }
  for (std::size_t r = 0; r < block.rows; ++r) {
    xb[r] = blas_.dot(block.row(r), settings_.beta);
  }
}

// For a column of exact zeros and ones one of the two shifted indices is
// xb itself ((1 - 1) * beta_j and -0 * beta_j are zeros), so F and f there
// are those of xb, computed once per block for all dummies; only the other
// index needs the link functions. The sums are the same, bit for bit.
void ChunkAccumulator::add_dummy_weights(const VectorView& column, std::size_t d,
                                         std::span<const double> xb, const double* row_weights) {
  const std::size_t m = xb.size();
  const double beta_j = settings_.beta[settings_.dummies[d]];
  const bool logit_factors = !exp_xb_.empty() && positive_normal(exp_of_beta_[2 * d]) &&
                             positive_normal(exp_of_beta_[2 * d + 1]);
  if (logit_factors && within_scaled_factor_bounds(exp_of_beta_[2 * d]) &&
      within_scaled_factor_bounds(exp_of_beta_[2 * d + 1])) {
    // Logit: F and f of the other index from exp(xb) times a factor, read
    // from X with the column's test and the picks in one loop; a column that
    // is not 0/1, a factor or a product far from 1, takes the steps below,
    // so contradictions, limits, signed zeros and NaN are handled there as
    // the formulas have them.
    DummySums sums{};
    if (logit_dummy_values(column.base, column.stride, exp_xb_.data(), exp_of_beta_[2 * d],
                           exp_of_beta_[2 * d + 1], cdf_xb_.data(), fxb_.data(),
                           weights_.data() + d * block_rows_, m, sums, row_weights)) {
      add_dummy_sums(d, sums);
      return;
    }
  }
  // Gathered to unit stride so the loops below vectorise; where the other
  // index is needed (not Logit's products), it comes with the gather.
  double* x_j = column_.data();
  double* other = xb1_.data();
  const bool all_binary = logit_factors
                              ? gather_binary(column.base, column.stride, x_j, m)
                              : gather_binary_with_other_index(column.base, column.stride,
                                                               xb.data(), beta_j, x_j, other, m);
  if (!all_binary && stops_on_contradiction(d)) {
    return;
  }
  if (!all_binary || !std::isfinite(beta_j)) {
    add_general_dummy_weights(std::span<const double>(x_j, m), d, xb, row_weights);
    return;
  }
  double* other_cdf = xb0_.data();
  double* other_pdf = scratch_.data();
  if (logit_factors) {
    // Where a product is not a normal number, from the exponential itself,
    // as below.
    double* other_exp = other;
    if (!scaled_exponentials(x_j, exp_xb_.data(), exp_of_beta_[2 * d], exp_of_beta_[2 * d + 1],
                             other_exp, m)) {
      for (std::size_t r = 0; r < m; ++r) {
        if (!positive_normal(exp_xb_[r]) || !positive_normal(other_exp[r])) {
          other_exp[r] = std::exp(xb[r] + (x_j[r] == 1.0 ? -beta_j : beta_j));
        }
      }
    }
    logit_cdf_and_pdf_of_exp(std::span<const double>(other_exp, m), std::span<double>(other_cdf, m),
                             std::span<double>(other_pdf, m));
  } else {
    link_cdf_and_pdf(settings_.kind, std::span<const double>(other, m),
                     std::span<double>(other_cdf, m), std::span<double>(other_pdf, m));
  }

  const DummySums sums = pick_dummy_values(x_j, cdf_xb_.data(), fxb_.data(), other_cdf, other_pdf,
                                           weights_.data() + d * block_rows_, m, row_weights);
  add_dummy_sums(d, sums);
}

void ChunkAccumulator::add_dummy_sums(std::size_t d, const DummySums& sums) {
  sums_->cdf1_[d] += sums.cdf1;
  sums_->cdf0_[d] += sums.cdf0;
  sums_->pdf1_[d] += sums.pdf1;
}

// Any column values: both shifted indices through the link functions.
void ChunkAccumulator::add_general_dummy_weights(std::span<const double> x_j, std::size_t d,
                                                 std::span<const double> xb,
                                                 const double* row_weights) {
  const std::size_t m = xb.size();
  const double beta_j = settings_.beta[settings_.dummies[d]];
  const std::span<double> xb1(xb1_.data(), m);
  const std::span<double> xb0(xb0_.data(), m);
  for (std::size_t r = 0; r < m; ++r) {
    xb1[r] = xb[r] + ((1.0 - x_j[r]) * beta_j);
    xb0[r] = xb[r] + ((-x_j[r]) * beta_j);
  }
  const std::span<double> cdf(scratch_.data(), m);
  const std::span<double> pdf0(dummy_cdf0_rows_.data(), m);
  const std::span<double> weights(weights_.data() + d * block_rows_, m);
  link_cdf_and_pdf(settings_.kind, xb1, cdf, weights);
  if (row_weights == nullptr) {
    sums_->cdf1_[d] += sum(cdf);
    sums_->pdf1_[d] += sum(weights);
  } else {
    sums_->cdf1_[d] += weighted_sum(cdf.data(), row_weights, m);
    sums_->pdf1_[d] += weighted_sum(weights.data(), row_weights, m);
  }
  link_cdf_and_pdf(settings_.kind, xb0, cdf, pdf0);
  if (row_weights == nullptr) {
    sums_->cdf0_[d] += sum(cdf);
    for (std::size_t r = 0; r < m; ++r) {
      weights[r] = weights[r] - pdf0[r];
    }
  } else {
    sums_->cdf0_[d] += weighted_sum(cdf.data(), row_weights, m);
    for (std::size_t r = 0; r < m; ++r) {
      weights[r] = (weights[r] - pdf0[r]) * row_weights[r];
    }
  }
}

// The block's rows or columns contiguous: a register-blocked loop reads
// X where it lies. Otherwise one dot product per column and weight.
void ChunkAccumulator::add_weight_products(const MatrixView& block) {
  const std::size_t m = block.rows;
  if (settings_.k == 0 || weight_columns_ == 0 || m == 0) {
    return;
  }
  if (add_block_products(block, weights_.data(), block_rows_, weight_columns_,
                         sums_->products_.data())) {
    return;
  }
  for (std::size_t w = 0; w < weight_columns_; ++w) {
    const VectorView weights{weights_.data() + w * block_rows_, m, 1};
    for (std::size_t l = 0; l < settings_.k; ++l) {
      sums_->products_[w * settings_.k + l] += blas_.dot(block.column(l), weights);
    }
  }
}

// Dummy d held a value other than 0 and 1 in the current block; true when
// the chunk is to stop there.
bool ChunkAccumulator::stops_on_contradiction(std::size_t d) {
  switch (settings_.dummy_check) {
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

}  // namespace velmora
