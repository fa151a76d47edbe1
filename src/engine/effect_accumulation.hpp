#pragma once
// The chunked pass over the observations: for every regressor that is not an
// intercept, the sum of its per-observation effects and the sum of their
// derivatives with respect to every coefficient.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/blas.hpp"
#include "engine/interruption.hpp"
#include "engine/link_functions.hpp"
#include "engine/strided_view.hpp"

namespace velmora {

// How continuous regressors get their Jacobian rows: Orvo from the
// per-observation effect -beta_i * z * f(z) * x_l, Sm from beta_i * f'(z) * x_l
// in the style of statsmodels. Dummies are treated alike under both.
enum class SeMethod { Orvo, Sm };

// "orvo" or "sm", compared exactly (case-sensitive, nothing trimmed).
[[nodiscard]] std::optional<SeMethod> parse_se_method(std::string_view text);

// Running totals of both methods; jacobians are k x k row-major, element
// i * k + l belonging to regressor i and coefficient l. Rows of intercepts
// stay zero, dummy rows are the same in both sets, continuous rows are filled
// only in the set of the selected method.
struct EffectAccumulators {
  std::vector<double> orvo_effects;
  std::vector<double> orvo_jacobian;
  std::vector<double> sm_effects;
  std::vector<double> sm_jacobian;
};

// Walks the rows of X in chunks of `chunk_size` rows (all rows when absent).
// Throws InternalFailure when beta does not have one entry per column of X
// (checked at the first chunk, so not when X has no rows) or when chunk_size
// is 0. The products go through `blas`. `interruption` is polled between
// blocks of rows; when it asks to stop, Interrupted is thrown.
[[nodiscard]] EffectAccumulators accumulate_effects(ModelKind kind, const VectorView& beta,
                                                    const MatrixView& X,
                                                    std::span<const std::size_t> intercept_indices,
                                                    std::span<const std::size_t> dummy_indices,
                                                    std::optional<std::uint64_t> chunk_size,
                                                    SeMethod method, const blas::Routines& blas,
                                                    const InterruptionCheck& interruption = {});

// The classification of the columns and the pass over the rows, as if the
// lists were built from all of X first (build_dummy_indices) and then handed
// to accumulate_effects; the same lists, the same totals. X is read once
// unless a column is 0/1 in its first few thousand rows and not later.
struct ClassifiedEffects {
  std::vector<std::size_t> intercept_indices;
  std::vector<std::size_t> dummy_indices;
  EffectAccumulators totals;
};

[[nodiscard]] ClassifiedEffects classify_and_accumulate(ModelKind kind, const VectorView& beta,
                                                        const MatrixView& X,
                                                        std::span<const std::string> names,
                                                        std::optional<std::uint64_t> chunk_size,
                                                        SeMethod method, const blas::Routines& blas,
                                                        const InterruptionCheck& interruption = {});

// One block of the rows of a larger design matrix, for a caller that adds the
// totals of many blocks: the totals of accumulate_effects over all of X in
// one chunk, and for each entry of dummy_indices whether the block held only
// 0 and 1 in that column. A column that did not is still taken as a dummy
// here (the discrete change by the general formulas); the caller, which
// classifies over all blocks, makes it continuous and passes again. Polls
// nothing and calls back into nothing, so it may run on any thread. With
// row_weights (one per row, finite and not negative, which the caller
// checks), every total sums each row's terms times its weight, and
// weight_total is their sum (else the row count); the averages are the
// totals over it. Throws InternalFailure when there are weights but not one
// per row.
struct BlockEffects {
  EffectAccumulators totals;
  std::vector<bool> dummy_held_binary;  // one entry per entry of dummy_indices
  double weight_total = 0.0;
};

[[nodiscard]] BlockEffects accumulate_block_effects(ModelKind kind, const VectorView& beta,
                                                    const MatrixView& X,
                                                    std::span<const std::size_t> intercept_indices,
                                                    std::span<const std::size_t> dummy_indices,
                                                    SeMethod method, const blas::Routines& blas,
                                                    std::span<const double> row_weights = {});

// The accumulators and the delta method hold k x k matrices of doubles. A k
// whose square does not fit in memory's address range cannot be allocated,
// and k * k must not be left to wrap around into a small size: throws
// std::bad_alloc.
void require_addressable_square(std::size_t k);

// The pass needs one coefficient per column of the rows x columns design
// matrix; throws InternalFailure, naming both shapes, when there is not.
// The pass checks it only where there are rows to multiply.
void require_coefficient_per_column(std::size_t rows, std::size_t columns,
                                    std::size_t coefficients);

struct SelectedTotals {
  std::span<const double> effects;   // k
  std::span<const double> jacobian;  // k * k, row-major
};

[[nodiscard]] SelectedTotals selected_totals(const EffectAccumulators& totals, SeMethod method);

}  // namespace velmora
