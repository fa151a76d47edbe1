#include "engine/effect_accumulation.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <string>

#include "engine/blas.hpp"
#include "engine/block_element_loops.hpp"
#include "engine/chunk_accumulator.hpp"
#include "engine/index_list.hpp"
#include "engine/internal_failure.hpp"
#include "engine/variable_classification.hpp"

namespace velmora {

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
std::optional<EffectAccumulators> accumulate(
    ModelKind kind, const VectorView& beta, const MatrixView& X,
    std::span<const std::size_t> intercept_indices, std::span<const std::size_t> dummy_indices,
    std::optional<std::uint64_t> chunk_size, SeMethod method, DummyCheck dummy_check,
    const blas::Routines& blas, InterruptionPoller& poller,
    std::vector<std::size_t>* contradicted_columns = nullptr, const double* row_weights = nullptr) {
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

  const ColumnRoles roles = column_roles(k, intercept_indices, dummy_indices);
  const auto most_rows = static_cast<std::size_t>(std::min<std::uint64_t>(rows_per_chunk, n));
  const ChunkSettings settings{.kind = kind,
                               .beta = beta,
                               .k = k,
                               .most_rows = most_rows,
                               .rows_contiguous = X.col_stride == 1,
                               .dummies = roles.dummies,
                               .has_continuous = roles.has_continuous,
                               .method = method,
                               .dummy_check = dummy_check};
  ChunkAccumulator chunk_totals(settings, blas, poller);
  for (std::size_t start = 0; start < n;) {
    const std::size_t m =
        static_cast<std::size_t>(std::min<std::uint64_t>(rows_per_chunk, n - start));
    chunk_totals.add_chunk(X.row_block(start, m),
                           row_weights == nullptr ? nullptr : row_weights + start);
    start += m;
    if (chunk_totals.contradicted()) {
      return std::nullopt;
    }

    add_to_effect_totals(chunk_totals, settings, roles.classes, totals);
  }
  if (contradicted_columns != nullptr) {
    for (std::size_t d = 0; d < roles.dummies.size(); ++d) {
      if (chunk_totals.contradicted_dummies()[d]) {
        contradicted_columns->push_back(roles.dummies[d]);
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
                                          std::optional<std::uint64_t> chunk_size, SeMethod method,
                                          const blas::Routines& blas,
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
                                      const blas::Routines& blas,
                                      std::span<const double> row_weights) {
  if (!row_weights.empty() && row_weights.size() != X.rows) {
    throw InternalFailure("matrices of incompatible shapes: the block has " +
                          std::to_string(X.rows) + " rows but " +
                          std::to_string(row_weights.size()) + " row weights");
  }
  // Nothing to poll: the caller may run this without the interpreter's lock.
  InterruptionPoller poller(InterruptionCheck{});
  BlockEffects result;
  std::vector<std::size_t> contradicted;
  result.totals = *accumulate(kind, beta, X, intercept_indices, dummy_indices, std::nullopt, method,
                              DummyCheck::Record, blas, poller, &contradicted,
                              row_weights.empty() ? nullptr : row_weights.data());
  result.weight_total = row_weights.empty() ? static_cast<double>(X.rows) : sum(row_weights);
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
