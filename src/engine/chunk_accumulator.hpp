#pragma once
// The totals of one chunk of rows, formed block by block: the linear index,
// the link functions, each dummy's discrete change and the weights whose
// product with the block gives every Jacobian row. Used by the pass over the
// chunks (effect_accumulation.cpp).

#include <cstddef>
#include <span>
#include <vector>

#include "engine/blas.hpp"
#include "engine/block_element_loops.hpp"
#include "engine/block_products.hpp"
#include "engine/effect_accumulation.hpp"
#include "engine/interruption.hpp"
#include "engine/line_aligned.hpp"
#include "engine/link_functions.hpp"
#include "engine/strided_view.hpp"

namespace velmora {

enum class ColumnClass { Intercept, Dummy, Continuous };

// The class of each of the k columns; indices beyond them are ignored.
[[nodiscard]] std::vector<ColumnClass> column_classes(std::size_t k,
                                                      std::span<const std::size_t> intercepts,
                                                      std::span<const std::size_t> dummies);

// The classes of the k columns with what the pass's settings take from them:
// the dummy columns, ascending (the settings refer to this list), and whether
// any column is continuous.
struct ColumnRoles {
  std::vector<ColumnClass> classes;
  std::vector<std::size_t> dummies;
  bool has_continuous = false;
};

[[nodiscard]] ColumnRoles column_roles(std::size_t k, std::span<const std::size_t> intercepts,
                                       std::span<const std::size_t> dummies);

// What a block does when a dummy column holds a value other than 0 and 1:
// nothing (the lists are known to be right), stop the pass (the guess from
// the first rows was wrong; mfx classifies and passes again), or note the
// column and go on (a block of a larger matrix, whose caller classifies
// over all blocks).
enum class DummyCheck { Off, Stop, Record };

struct ChunkSettings {
  ModelKind kind = ModelKind::Logit;
  VectorView beta;
  std::size_t k = 0;
  // Bounds the rows of any chunk, so a small call gets no full-sized block buffers.
  std::size_t most_rows = 0;
  // X's column stride is 1; sets the size of the blocks.
  bool rows_contiguous = false;
  std::span<const std::size_t> dummies;  // the dummy columns, ascending
  bool has_continuous = false;
  SeMethod method = SeMethod::Orvo;
  // What a block does with a dummy column that holds a value other than 0
  // and 1: with Stop the chunk ends there (contradicted()), with Record the
  // column is noted (contradicted_dummies()) and the general formulas take it.
  DummyCheck dummy_check = DummyCheck::Off;
};

// The sums over the rows of one chunk, or of several chunks added into the
// same sums: the effect and Jacobian totals follow from them linearly, so a
// group whose rows come in many pieces is turned into totals once, at its end.
class ChunkSums {
 public:
  ChunkSums(std::size_t k, std::size_t dummies, std::size_t weight_columns)
      : k_(k), cdf1_(dummies), cdf0_(dummies), pdf1_(dummies), products_(weight_columns * k) {}

  [[nodiscard]] double sum_pdf() const { return sum_pdf_; }
  [[nodiscard]] double dummy_effect(std::size_t d) const { return cdf1_[d] - cdf0_[d]; }
  [[nodiscard]] double dummy_pdf1(std::size_t d) const { return pdf1_[d]; }
  // Element l of X_c^T times weight column w.
  [[nodiscard]] double product(std::size_t w, std::size_t l) const { return products_[w * k_ + l]; }

 private:
  friend class ChunkAccumulator;

  void clear();

  std::size_t k_;
  double sum_pdf_ = 0.0;
  std::vector<double> cdf1_, cdf0_, pdf1_;
  std::vector<double> products_;  // k x weight columns, column-major
};

// One weight column per dummy (f(xb1) - f(xb0)) and, when there are
// continuous regressors, one for the method (xb * f(xb) for Orvo, f'(xb) for
// Sm). X_c^T times the weights gives every Jacobian row of the chunk in one
// product instead of k dot products per regressor.
class ChunkAccumulator {
 public:
  ChunkAccumulator(const ChunkSettings& settings, const blas::Routines& blas,
                   InterruptionPoller& poller);
  ChunkAccumulator(const ChunkAccumulator&) = delete;
  ChunkAccumulator& operator=(const ChunkAccumulator&) = delete;

  [[nodiscard]] bool contradicted() const { return contradicted_; }
  // Entry d is true when dummy d held another value in some block (Record).
  [[nodiscard]] const std::vector<bool>& contradicted_dummies() const {
    return contradicted_dummies_;
  }

  // Totals of one chunk, formed over its blocks; read after add_chunk.
  [[nodiscard]] double sum_pdf() const { return chunk_sums_.sum_pdf(); }
  [[nodiscard]] double dummy_effect(std::size_t d) const { return chunk_sums_.dummy_effect(d); }
  [[nodiscard]] double dummy_pdf1(std::size_t d) const { return chunk_sums_.dummy_pdf1(d); }
  [[nodiscard]] double product(std::size_t w, std::size_t l) const {
    return chunk_sums_.product(w, l);
  }
  // Sums shaped for this accumulator's settings, for add_chunk_to.
  [[nodiscard]] ChunkSums empty_sums() const;

  // With row_weights (one per row of the chunk, not negative), every total is
  // the sum of each row's terms taken row_weights[r] times.
  // With `ahead`, each block of the chunk asks for the rows of `ahead` at its
  // own offset instead of the chunk's next block: a chunk already in the
  // cache overlaps the reads of rows that come later.
  void add_chunk(const MatrixView& chunk, const double* row_weights = nullptr,
                 const MatrixView* ahead = nullptr);
  // As add_chunk, but the chunk's terms are added to `sums` (from
  // empty_sums()) instead of replacing the chunk's own totals: a caller
  // whose groups come in many short pieces keeps no per-piece totals.
  void add_chunk_to(ChunkSums& sums, const MatrixView& chunk, const double* row_weights = nullptr,
                    const MatrixView* ahead = nullptr);

 private:
  // The work on a block, in order. A share of the next block's lines is
  // asked for before each stage and the rest after the last, so the plan
  // of the prefetch follows from this list.
  enum class StageKind { LinearIndex, LinkFunctions, DummyWeights, MethodWeightsAndProducts };
  struct Stage {
    StageKind kind;
    std::size_t dummy = 0;  // for DummyWeights: its position in settings_.dummies
  };

  void add_block(const MatrixView& block, const double* row_weights);
  void link_functions(std::size_t m);
  void method_weights(std::size_t m, const double* row_weights);
  void linear_index(const MatrixView& block, std::span<double> xb) const;
  void add_dummy_weights(const VectorView& column, std::size_t d, std::span<const double> xb,
                         const double* row_weights);
  void add_dummy_sums(std::size_t d, const DummySums& sums);
  void add_general_dummy_weights(std::span<const double> x_j, std::size_t d,
                                 std::span<const double> xb, const double* row_weights);
  void add_weight_products(const MatrixView& block);
  bool stops_on_contradiction(std::size_t d);

  ChunkSettings settings_;
  const blas::Routines& blas_;
  InterruptionPoller& poller_;
  bool contradicted_ = false;
  std::vector<bool> contradicted_dummies_;
  std::size_t block_rows_;
  std::size_t weight_columns_;
  std::vector<Stage> stages_;
  SpreadPrefetch next_block_;

  // Per block of rows.
  BlockArray xb_, fxb_, xb1_, xb0_, scratch_;
  BlockArray cdf_xb_;  // F(xb), empty where nothing needs it
  BlockArray column_;  // the current dummy's values in the block
  BlockArray dummy_cdf0_rows_;
  BlockArray weights_;  // block_rows_ x weight_columns_, column-major

  // Per chunk: the totals of add_chunk, and, while a chunk is added, the
  // sums its terms go to (those, or the caller's).
  ChunkSums chunk_sums_;
  ChunkSums* sums_ = nullptr;
  std::vector<double> beta_contiguous_;  // beta at unit stride, for the block loops
  // Logit with dummies: exp(xb) of the block, and per dummy exp(-beta_j), exp(beta_j).
  BlockArray exp_xb_;
  std::vector<double> exp_of_beta_;
  // A block's row weights in the order of its rows in memory, where the two differ.
  std::vector<double> reversed_weights_;
};

// Adds the effect and Jacobian terms of a chunk's sums (a ChunkAccumulator
// after add_chunk, or ChunkSums) to `totals`: dummies to both methods'
// rows, continuous regressors to the settings' method's.
template <class Sums>
void add_to_effect_totals(const Sums& chunk, const ChunkSettings& settings,
                          std::span<const ColumnClass> classes, EffectAccumulators& totals) {
  const std::size_t k = settings.k;
  for (std::size_t d = 0; d < settings.dummies.size(); ++d) {
    const std::size_t j = settings.dummies[d];
    const double effect = chunk.dummy_effect(d);
    totals.orvo_effects[j] += effect;
    totals.sm_effects[j] += effect;
    for (std::size_t l = 0; l < k; ++l) {
      const double v = l == j ? chunk.dummy_pdf1(d) : chunk.product(d, l);
      totals.orvo_jacobian[j * k + l] += v;
      totals.sm_jacobian[j * k + l] += v;
    }
  }
  const bool sm = settings.method == SeMethod::Sm;
  std::vector<double>& continuous_effects = sm ? totals.sm_effects : totals.orvo_effects;
  std::vector<double>& continuous_jacobian = sm ? totals.sm_jacobian : totals.orvo_jacobian;
  const std::size_t method_column = settings.dummies.size();
  const double sum_pdf = chunk.sum_pdf();
  for (std::size_t i = 0; i < k; ++i) {
    if (classes[i] != ColumnClass::Continuous) {
      continue;
    }
    const double beta_i = settings.beta[i];
    continuous_effects[i] += sum_pdf * beta_i;
    for (std::size_t l = 0; l < k; ++l) {
      const double product = chunk.product(method_column, l);
      double v = 0.0;
      if (!sm) {
        v = l == i ? sum_pdf : product * (-beta_i);
      } else {
        v = l == i ? product * beta_i + sum_pdf : product * beta_i;
      }
      continuous_jacobian[i * k + l] += v;
    }
  }
}

}  // namespace velmora
