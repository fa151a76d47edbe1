#include "engine/group_accumulation.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <string>

#include "engine/block_element_loops.hpp"
#include "engine/chunk_accumulator.hpp"
#include "engine/index_list.hpp"
#include "engine/internal_failure.hpp"
#include "engine/interruption.hpp"
#include "engine/line_aligned.hpp"
#include "engine/vector_math.hpp"
#include "engine/vector_pack.hpp"

namespace velmora {
namespace {

// A window of this many rows of one group fills the pass's blocks of rows,
// so it is summed where it lies; copying it would gain nothing.
constexpr std::size_t window_rows = 64;

// The buffer takes a segment of the block of at least segment_bytes, so that
// with few groups each group's piece is long beside the pass's fixed costs
// per piece, and at least this many rows per group, so that with many groups
// the pieces are not all a row or two. segment_bytes is the smallest
// second-level cache of the CPUs timed: the copy's writes then stay there,
// and larger buffers fall out of the cache.
constexpr std::size_t buffered_rows_per_group = 16;
constexpr std::size_t segment_bytes = 512 * 1024;

std::size_t checked_product(std::size_t a, std::size_t b) {
  if (a != 0 && b > std::numeric_limits<std::size_t>::max() / sizeof(double) / a) {
    throw std::bad_alloc{};
  }
  return a * b;
}

// Row r of X into k doubles from `out` on, for rows that are not contiguous.
void copy_row(const MatrixView& X, std::size_t r, double* out) {
  for (std::size_t l = 0; l < X.cols; ++l) {
    out[l] = X(r, l);
  }
}

// Rows of contiguous doubles copied into their groups' places: row
// rows[i] of X (row_stride doubles apart from base, k doubles each) to
// place next_row[groups[i]]++ of `out`, its weight likewise where there are
// weights. Compiled per instruction set, four doubles a vector move (a
// memcpy of 32 bytes became two moves of 16).
VELMORA_SIMD_CLONES
void copy_rows_to_groups(const double* base, std::ptrdiff_t row_stride, std::size_t k,
                         const std::size_t* rows, const std::uint32_t* groups, std::size_t count,
                         std::size_t* next_row, double* out, const double* weights,
                         double* out_weights) {
  using Vec = Pack<4>::type;
  const std::size_t whole = k / 4 * 4;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t to = next_row[groups[i]]++;
    const double* __restrict row = base + static_cast<std::ptrdiff_t>(rows[i]) * row_stride;
    double* __restrict into = out + to * k;
#pragma GCC unroll 1
    for (std::size_t l = 0; l < whole; l += 4) {
      Vec values;
      load(values, row + l);
      store(into + l, values);
    }
#pragma GCC unroll 1
    for (std::size_t l = whole; l < k; ++l) {
      into[l] = row[l];
    }
    if (weights != nullptr) {
      out_weights[to] = weights[rows[i]];
    }
  }
}

// Throws GroupCodeOutOfRange for the first of rows first .. stop - 1 whose
// code is negative or not below group_count. Negative codes compare as huge
// unsigned ones, so one comparison in vectors finds whether there is one.
void require_codes_below(std::span<const std::int64_t> codes, std::size_t first, std::size_t stop,
                         std::size_t group_count) {
  const auto limit = static_cast<std::uint64_t>(group_count);
  bool any = false;
  for (std::size_t r = first; r < stop; ++r) {
    any |= static_cast<std::uint64_t>(codes[r]) >= limit;
  }
  if (!any) {
    return;
  }
  while (static_cast<std::uint64_t>(codes[first]) < limit) {
    ++first;
  }
  throw GroupCodeOutOfRange{first, codes[first]};
}

// Whether rows first .. first + window_rows - 1 exist and share one code;
// compared without branches and in vectors, so mixed codes cost no
// mispredictions.
bool one_code_window(std::span<const std::int64_t> codes, std::size_t first) {
  if (first + window_rows > codes.size()) {
    return false;
  }
  const std::int64_t code = codes[first];
  std::int64_t differ = 0;
  for (std::size_t r = 0; r < window_rows; ++r) {
    differ |= codes[first + r] ^ code;
  }
  return differ == 0;
}

}  // namespace

GroupBlockEffects accumulate_group_block_effects(
    ModelKind kind, const VectorView& beta, const MatrixView& X,
    std::span<const std::size_t> intercept_indices, std::span<const std::size_t> dummy_indices,
    SeMethod method, const blas::Routines& blas, std::span<const std::int64_t> group_codes,
    std::size_t group_count, std::span<const double> row_weights) {
  const std::size_t n = X.rows;
  const std::size_t k = X.cols;
  if (group_codes.size() != n) {
    throw InternalFailure("matrices of incompatible shapes: the block has " + std::to_string(n) +
                          " rows but " + std::to_string(group_codes.size()) + " group codes");
  }
  if (!row_weights.empty() && row_weights.size() != n) {
    throw InternalFailure("matrices of incompatible shapes: the block has " + std::to_string(n) +
                          " rows but " + std::to_string(row_weights.size()) + " row weights");
  }
  require_addressable_square(k);
  const double* weights = row_weights.empty() ? nullptr : row_weights.data();

  // Rows per code, counted a window at a time where a window holds one
  // code; then the codes that occur, numbered in ascending order. Each
  // window's codes are checked before they are counted, in the same pass.
  std::vector<std::uint64_t> code_rows(group_count, 0);
  for (std::size_t first = 0; first < n;) {
    const std::size_t stop = std::min(n, first + window_rows);
    require_codes_below(group_codes, first, stop, group_count);
    if (one_code_window(group_codes, first)) {
      code_rows[static_cast<std::size_t>(group_codes[first])] += window_rows;
      first += window_rows;
      continue;
    }
    for (; first < stop; ++first) {
      ++code_rows[static_cast<std::size_t>(group_codes[first])];
    }
  }
  GroupBlockEffects result;
  std::vector<std::uint32_t> group_of_code(group_count, 0);
  for (std::size_t code = 0; code < group_count; ++code) {
    if (code_rows[code] > 0) {
      group_of_code[code] = static_cast<std::uint32_t>(result.groups.size());
      result.groups.push_back(static_cast<std::int64_t>(code));
      result.rows.push_back(code_rows[code]);
    }
  }
  code_rows = {};
  const std::size_t groups = result.groups.size();
  result.weight_totals.assign(groups, 0.0);
  result.effects.assign(checked_product(groups, k), 0.0);
  result.jacobian.assign(checked_product(groups, k * k), 0.0);
  result.dummy_held_binary.assign(dummy_indices.size(), true);
  if (n == 0) {
    return result;
  }
  require_coefficient_per_column(n, k, beta.size);

  const ColumnRoles roles = column_roles(k, intercept_indices, dummy_indices);
  const std::size_t segment_rows =
      std::min(n, std::max(segment_bytes / (sizeof(double) * std::max<std::size_t>(k, 1)),
                           checked_product(buffered_rows_per_group, groups)));
  const ChunkSettings in_place{.kind = kind,
                               .beta = beta,
                               .k = k,
                               .most_rows = n,
                               .rows_contiguous = X.col_stride == 1,
                               .dummies = roles.dummies,
                               .has_continuous = roles.has_continuous,
                               .method = method,
                               .dummy_check = DummyCheck::Record};
  ChunkSettings from_buffer = in_place;
  from_buffer.most_rows = segment_rows;
  from_buffer.rows_contiguous = true;
  // Nothing to poll: the caller may run this without the interpreter's lock.
  InterruptionPoller poller(InterruptionCheck{});
  ChunkAccumulator in_place_totals(in_place, blas, poller);
  ChunkAccumulator buffered_totals(from_buffer, blas, poller);
  std::vector<ChunkSums> sums(groups, ChunkSums(in_place_totals));

  BlockArray buffer(checked_product(segment_rows, k));
  std::vector<double> buffer_weights(weights == nullptr ? 0 : segment_rows);
  std::vector<std::size_t> next_row(groups + 1);
  std::vector<std::size_t> buffered_rows(segment_rows);
  std::vector<std::uint32_t> buffered_groups(segment_rows);
  std::size_t buffered = 0;
  // The rows taken so far, copied into the buffer by group, each group's
  // rows in their order, and summed from there; meanwhile the rows from
  // `next` on come from memory.
  const auto sum_buffered_rows = [&](std::size_t next) {
    for (std::size_t g = 0; g < groups; ++g) {
      if (weights == nullptr) {
        result.weight_totals[g] += static_cast<double>(next_row[g + 1]);
      }
      next_row[g + 1] += next_row[g];
    }
    if (X.col_stride == 1) {
      copy_rows_to_groups(X.base, X.row_stride, k, buffered_rows.data(), buffered_groups.data(),
                          buffered, next_row.data(), buffer.data(), weights, buffer_weights.data());
    } else {
      for (std::size_t i = 0; i < buffered; ++i) {
        const std::size_t to = next_row[buffered_groups[i]]++;
        copy_row(X, buffered_rows[i], buffer.data() + to * k);
        if (weights != nullptr) {
          buffer_weights[to] = weights[buffered_rows[i]];
        }
      }
    }
    // next_row[g] is now where group g + 1's rows begin.
    std::size_t group_first = 0;
    std::size_t ahead_first = next;
    for (std::size_t g = 0; g < groups; ++g) {
      const std::size_t count = next_row[g] - group_first;
      if (count > 0) {
        const MatrixView rows{buffer.data() + group_first * k, count, k,
                              static_cast<std::ptrdiff_t>(k), 1};
        const MatrixView ahead = X.row_block(ahead_first, std::min(count, n - ahead_first));
        ahead_first += ahead.rows;
        buffered_totals.add_chunk(
            rows, weights == nullptr ? nullptr : buffer_weights.data() + group_first, &ahead);
        sums[g].add(buffered_totals);
      }
      group_first = next_row[g];
    }
    std::fill(next_row.begin(), next_row.end(), 0);
    buffered = 0;
  };
  for (std::size_t first = 0; first < n;) {
    // Whole windows of one code, and the rest of their run, are summed in
    // place; the rows of any other window go to the buffer.
    const std::int64_t code = group_codes[first];
    std::size_t last = first;
    while (one_code_window(group_codes, last) && group_codes[last] == code) {
      last += window_rows;
    }
    if (last > first) {
      while (last < n && group_codes[last] == code) {
        ++last;
      }
      const std::size_t g = group_of_code[static_cast<std::size_t>(code)];
      const double* run_weights = weights == nullptr ? nullptr : weights + first;
      result.weight_totals[g] += run_weights == nullptr ? static_cast<double>(last - first)
                                                        : sum(run_weights, last - first);
      in_place_totals.add_chunk(X.row_block(first, last - first), run_weights);
      sums[g].add(in_place_totals);
      first = last;
      continue;
    }
    const std::size_t stop = std::min(n, first + window_rows);
    if (buffered + (stop - first) > segment_rows) {
      sum_buffered_rows(first);
    }
    // A local count: the lambda's, taken by reference, would be stored and
    // read again for every row.
    std::size_t count = buffered;
    for (; first < stop; ++first) {
      const std::uint32_t g = group_of_code[static_cast<std::size_t>(group_codes[first])];
      buffered_rows[count] = first;
      buffered_groups[count] = g;
      ++count;
      ++next_row[g + 1];
      if (weights != nullptr) {
        result.weight_totals[g] += weights[first];
      }
    }
    buffered = count;
  }
  if (buffered > 0) {
    sum_buffered_rows(n);
  }

  EffectAccumulators totals{std::vector<double>(k), std::vector<double>(k * k),
                            std::vector<double>(k), std::vector<double>(k * k)};
  for (std::size_t g = 0; g < groups; ++g) {
    for (std::vector<double>* values :
         {&totals.orvo_effects, &totals.orvo_jacobian, &totals.sm_effects, &totals.sm_jacobian}) {
      std::fill(values->begin(), values->end(), 0.0);
    }
    add_to_effect_totals(sums[g], in_place, roles.classes, totals);
    const SelectedTotals selected = selected_totals(totals, method);
    std::copy(selected.effects.begin(), selected.effects.end(), result.effects.data() + g * k);
    std::copy(selected.jacobian.begin(), selected.jacobian.end(),
              result.jacobian.data() + g * k * k);
  }
  for (std::size_t d = 0; d < dummy_indices.size(); ++d) {
    const auto position = std::find(roles.dummies.begin(), roles.dummies.end(), dummy_indices[d]);
    if (position != roles.dummies.end()) {
      const auto e = static_cast<std::size_t>(position - roles.dummies.begin());
      result.dummy_held_binary[d] =
          !in_place_totals.contradicted_dummies()[e] && !buffered_totals.contradicted_dummies()[e];
    }
  }
  return result;
}

}  // namespace velmora
