#pragma once
// One block of rows whose rows belong to groups: the totals of every group
// from one pass over the block, for a caller that reports effects by group.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/blas.hpp"
#include "engine/effect_accumulation.hpp"
#include "engine/link_functions.hpp"
#include "engine/strided_view.hpp"

namespace velmora {

// The totals of the groups that have rows in the block, in ascending order of
// their codes, group g's at offset g of each: its code, rows, the weights'
// sum (the row count without weights), the selected method's effect totals
// (k each) and Jacobian totals (k x k each, row-major); and, for each entry
// of dummy_indices, whether the whole block held only 0 and 1 in it.
struct GroupBlockEffects {
  std::vector<std::int64_t> groups;
  std::vector<std::uint64_t> rows;
  std::vector<double> weight_totals;
  std::vector<double> effects;
  std::vector<double> jacobian;
  std::vector<bool> dummy_held_binary;
};

// A row's group code that is negative or not below the group count.
struct GroupCodeOutOfRange {
  std::size_t row;
  std::int64_t code;
};

// What accumulate_block_effects gives over the rows r with group_codes[r] ==
// c, for each code c below group_count that occurs, with that call's rules
// for dummies and weights; X is read once. Runs of one group long enough to
// fill the pass's blocks are summed where they lie; the other rows are
// copied, a segment of the block at a time, into a buffer in group order and
// summed from there, so the memory beyond the groups' sums is at most a
// block's. Throws GroupCodeOutOfRange (for the first such row) when a code
// is negative or not below group_count, InternalFailure when there is not
// one code per row or there are weights but not one per row.
[[nodiscard]] GroupBlockEffects accumulate_group_block_effects(
    ModelKind kind, const VectorView& beta, const MatrixView& X,
    std::span<const std::size_t> intercept_indices, std::span<const std::size_t> dummy_indices,
    SeMethod method, const blas::Routines& blas, std::span<const std::int64_t> group_codes,
    std::size_t group_count, std::span<const double> row_weights = {});

}  // namespace velmora
