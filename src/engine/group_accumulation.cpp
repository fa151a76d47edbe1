#include "engine/group_accumulation.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <string>
#include <utility>

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
// per piece, and with many groups up to half a block of the pass per group,
// so that the pieces are not all a row or two (a full block per group was
// slower on two threads, whose buffers then left the caches). segment_bytes
// is the smallest second-level cache of the CPUs timed: the copy's writes
// then stay there. The rows per group are bounded by the larger of
// grouped_buffer_bytes and the size of the groups' own totals (k x k
// doubles each), so the buffer outgrows neither by much.
constexpr std::size_t buffered_rows_per_group = 32;
constexpr std::size_t segment_bytes = 512 * 1024;
constexpr std::size_t grouped_buffer_bytes = 16 * 1024 * 1024;

// The copy into the buffer asks for the row this many bytes ahead of the one
// it moves: the prefetch of the next segment, issued while the previous one
// is summed, still left the copy waiting for memory.
constexpr std::size_t copy_prefetch_bytes = 10 * 1024;
constexpr std::size_t cache_line = 64;

std::size_t checked_product(std::size_t a, std::size_t b) {
  if (a != 0 && b > std::numeric_limits<std::size_t>::max() / sizeof(double) / a) {
    throw std::bad_alloc{};
  }
  return a * b;
}

// Consecutive rows of the block taken into the buffer, rows first .. stop - 1.
struct RowWindow {
  std::size_t first;
  std::size_t stop;
};

// Row `row` (k >= 4 doubles) into `into`, four doubles a vector move; a
// row whose length is no multiple of four ends with a move that overlaps
// the one before, not with a loop of single doubles. The loop moves two
// vectors a turn and is kept from unrolling: unrolled, GCC made it a call of
// memcpy for every row.
[[gnu::always_inline]] inline void copy_row_of_at_least_four(const double* __restrict row,
                                                             double* __restrict into,
                                                             std::size_t k) {
  using Vec = Pack<4>::type;
  Vec first;
  Vec second;
  const double* const end = row + k;
#pragma GCC unroll 1
  for (; row + 8 <= end; row += 8, into += 8) {
    load(first, row);
    load(second, row + 4);
    store(into, first);
    store(into + 4, second);
  }
  if (row + 4 <= end) {
    load(first, row);
    store(into, first);
    row += 4;
    into += 4;
  }
  if (row < end) {
    load(first, end - 4);
    store(into - (row - (end - 4)), first);
  }
}

// The row of k doubles (4 <= k <= 4 * moves) at `row` to `into` in `moves`
// vector moves of four, unrolled: at 0, 4, ..., 4 * (moves - 2) and the last
// at k - 4, which overlaps the one before where k is no multiple of four.
[[gnu::always_inline]] inline void move_four(const double* __restrict from, double* __restrict to) {
  Pack<4>::type values;
  load(values, from);
  store(to, values);
}

template <std::size_t moves>
[[gnu::always_inline]] inline void copy_row_in_moves(const double* __restrict row,
                                                     double* __restrict into, std::size_t k) {
  [&]<std::size_t... move>(std::index_sequence<move...>) {
    (move_four(row + 4 * move, into + 4 * move), ...);
  }
  (std::make_index_sequence<moves - 1>{});
  move_four(row + k - 4, into + k - 4);
}

// Every row r of the windows copied to its group's place: row r of X (k
// doubles, row_stride doubles after row r - 1 from base on) to
// place[group_of_code[codes[r]]], which then moves on by a row, its weight
// likewise to weight_place[...] where there are weights. One loop reads
// each row's code, finds its place and moves it, so nothing per row is
// stored beside the row itself. Compiled per instruction set; the windows
// come as a pointer and a count, since Clang left a span's iterator out of
// the module when the cloned versions iterated over one.
template <bool with_weights, std::size_t moves>
[[gnu::always_inline]] inline void copy_windows_to_groups_of(
    const double* base, std::ptrdiff_t row_stride, std::size_t k, const RowWindow* windows,
    std::size_t window_count, const std::int64_t* codes, const std::uint32_t* group_of_code,
    double** place, const double* weights, double** weight_place) {
  const std::size_t row_bytes = k * sizeof(double);
  const auto rows_ahead = static_cast<std::ptrdiff_t>(
      std::max<std::size_t>(4, copy_prefetch_bytes / std::max<std::size_t>(row_bytes, 1)));
  // Addresses, not pointers: the rows ahead may lie past the end of X, and
  // the hint reads nothing.
  const auto bytes_ahead =
      static_cast<std::uintptr_t>(rows_ahead * row_stride * std::ptrdiff_t{sizeof(double)});
  for (std::size_t w = 0; w < window_count; ++w) {
    const RowWindow& window = windows[w];
    const double* row = base + static_cast<std::ptrdiff_t>(window.first) * row_stride;
    for (std::size_t r = window.first; r < window.stop; ++r, row += row_stride) {
      const std::uintptr_t ahead = reinterpret_cast<std::uintptr_t>(row) + bytes_ahead;
      if constexpr (moves > 0) {
        // More than 32 * (moves - 1) bytes: a line from each of these
        // offsets, unrolled, lies within the row.
        [&]<std::size_t... line>(std::index_sequence<line...>) {
          (__builtin_prefetch(reinterpret_cast<const void*>(ahead + line * cache_line), 0, 3), ...);
        }
        (std::make_index_sequence<(moves + 1) / 2>{});
      } else {
        for (std::size_t byte = 0; byte < row_bytes; byte += cache_line) {
          __builtin_prefetch(reinterpret_cast<const void*>(ahead + byte), 0, 3);
        }
      }
      __builtin_prefetch(reinterpret_cast<const void*>(ahead + row_bytes - 1), 0, 3);
      const std::uint32_t g = group_of_code[codes[r]];
      double* const into = place[g];
      place[g] = into + k;
      if constexpr (moves > 0) {
        copy_row_in_moves<moves>(row, into, k);
      } else if (k >= 4) {
        copy_row_of_at_least_four(row, into, k);
      } else {
        for (std::size_t l = 0; l < k; ++l) {
          into[l] = row[l];
        }
      }
      if constexpr (with_weights) {
        *weight_place[g]++ = weights[r];
      }
    }
  }
}

// The copy for rows of `moves` vector moves (0: any length), with or
// without weights; chosen by plain calls, so that it is inlined into each
// instruction set's version.
template <std::size_t moves>
[[gnu::always_inline]] inline void copy_windows_in_moves(
    const double* base, std::ptrdiff_t row_stride, std::size_t k, const RowWindow* windows,
    std::size_t window_count, const std::int64_t* codes, const std::uint32_t* group_of_code,
    double** place, const double* weights, double** weight_place) {
  if (weights == nullptr) {
    copy_windows_to_groups_of<false, moves>(base, row_stride, k, windows, window_count, codes,
                                            group_of_code, place, nullptr, nullptr);
  } else {
    copy_windows_to_groups_of<true, moves>(base, row_stride, k, windows, window_count, codes,
                                           group_of_code, place, weights, weight_place);
  }
}

VELMORA_SIMD_CLONES
void copy_windows_to_groups(const double* base, std::ptrdiff_t row_stride, std::size_t k,
                            const RowWindow* windows, std::size_t window_count,
                            const std::int64_t* codes, const std::uint32_t* group_of_code,
                            double** place, const double* weights, double** weight_place) {
#define VELMORA_COPY_IN(moves)                                                                   \
  copy_windows_in_moves<moves>(base, row_stride, k, windows, window_count, codes, group_of_code, \
                               place, weights, weight_place)
  // Rows of up to 32 doubles in moves unrolled for their count, longer ones
  // in a loop of moves.
  switch (k < 4 ? 0 : (k + 3) / 4) {
    case 1:
      return VELMORA_COPY_IN(1);
    case 2:
      return VELMORA_COPY_IN(2);
    case 3:
      return VELMORA_COPY_IN(3);
    case 4:
      return VELMORA_COPY_IN(4);
    case 5:
      return VELMORA_COPY_IN(5);
    case 6:
      return VELMORA_COPY_IN(6);
    case 7:
      return VELMORA_COPY_IN(7);
    case 8:
      return VELMORA_COPY_IN(8);
    default:
      return VELMORA_COPY_IN(0);
  }
#undef VELMORA_COPY_IN
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

// The window_rows codes from `codes` on: the greatest as unsigned (a
// negative code compares as a huge one) and whether all equal the first.
// Compiled per instruction set and without branches, so that a window takes
// a few vector steps and mixed codes cost no mispredictions.
struct WindowCodes {
  std::uint64_t highest;
  bool one_code;
};

VELMORA_SIMD_CLONES
WindowCodes window_codes(const std::int64_t* codes) {
  const std::int64_t code = codes[0];
  std::uint64_t highest = 0;
  std::int64_t differ = 0;
  for (std::size_t r = 0; r < window_rows; ++r) {
    highest = std::max(highest, static_cast<std::uint64_t>(codes[r]));
    differ |= codes[r] ^ code;
  }
  return {highest, differ == 0};
}

// Whether rows first .. first + window_rows - 1 exist and share one code.
bool one_code_window(std::span<const std::int64_t> codes, std::size_t first) {
  return first + window_rows <= codes.size() && window_codes(codes.data() + first).one_code;
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
    if (stop - first == window_rows) {
      const WindowCodes window = window_codes(group_codes.data() + first);
      if (window.highest >= group_count) {
        require_codes_below(group_codes, first, stop, group_count);
      }
      if (window.one_code) {
        code_rows[static_cast<std::size_t>(group_codes[first])] += window_rows;
        first += window_rows;
        continue;
      }
    } else {
      require_codes_below(group_codes, first, stop, group_count);
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
  const std::size_t row_bytes = sizeof(double) * std::max<std::size_t>(k, 1);
  const std::size_t rows_for_groups =
      std::min(checked_product(buffered_rows_per_group, groups),
               std::max(grouped_buffer_bytes / row_bytes, checked_product(groups, k)));
  const std::size_t segment_rows =
      std::min(n, std::max(segment_bytes / row_bytes, rows_for_groups));
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
  std::vector<ChunkSums> sums(groups, in_place_totals.empty_sums());

  BlockArray buffer(checked_product(segment_rows, k));
  std::vector<double> buffer_weights(weights == nullptr ? 0 : segment_rows);
  std::vector<std::size_t> next_row(groups + 1);
  std::vector<double*> place(groups);
  std::vector<double*> weight_place(weights == nullptr ? 0 : groups);
  std::vector<RowWindow> windows;
  windows.reserve(segment_rows / window_rows + 2);
  std::size_t buffered = 0;
  // The windows taken so far, copied into the buffer by group, each group's
  // rows in their order, and summed from there; meanwhile the rows from
  // `next` on come from memory.
  const auto sum_buffered_rows = [&](std::size_t next) {
    // Each group's rows (and weights) in the windows, then where its rows
    // begin in the buffer.
    for (const RowWindow& window : windows) {
      for (std::size_t r = window.first; r < window.stop; ++r) {
        const std::uint32_t g = group_of_code[static_cast<std::size_t>(group_codes[r])];
        ++next_row[g + 1];
        if (weights != nullptr) {
          result.weight_totals[g] += weights[r];
        }
      }
    }
    for (std::size_t g = 0; g < groups; ++g) {
      if (weights == nullptr) {
        result.weight_totals[g] += static_cast<double>(next_row[g + 1]);
      }
      next_row[g + 1] += next_row[g];
    }
    // next_row[g] is now where group g's rows begin.
    for (std::size_t g = 0; g < groups; ++g) {
      place[g] = buffer.data() + next_row[g] * k;
      if (weights != nullptr) {
        weight_place[g] = buffer_weights.data() + next_row[g];
      }
    }
    if (X.col_stride == 1) {
      copy_windows_to_groups(X.base, X.row_stride, k, windows.data(), windows.size(),
                             group_codes.data(), group_of_code.data(), place.data(), weights,
                             weight_place.data());
    } else {
      for (const RowWindow& window : windows) {
        for (std::size_t r = window.first; r < window.stop; ++r) {
          const std::uint32_t g = group_of_code[static_cast<std::size_t>(group_codes[r])];
          double* const into = place[g];
          place[g] = into + k;
          for (std::size_t l = 0; l < k; ++l) {
            into[l] = X(r, l);
          }
          if (weights != nullptr) {
            *weight_place[g]++ = weights[r];
          }
        }
      }
    }
    std::size_t ahead_first = next;
    for (std::size_t g = 0; g < groups; ++g) {
      const std::size_t group_first = next_row[g];
      const std::size_t count = next_row[g + 1] - group_first;
      if (count > 0) {
        const MatrixView rows{buffer.data() + group_first * k, count, k,
                              static_cast<std::ptrdiff_t>(k), 1};
        const MatrixView ahead = X.row_block(ahead_first, std::min(count, n - ahead_first));
        ahead_first += ahead.rows;
        buffered_totals.add_chunk_to(
            sums[g], rows, weights == nullptr ? nullptr : buffer_weights.data() + group_first,
            &ahead);
      }
    }
    std::fill(next_row.begin(), next_row.end(), 0);
    windows.clear();
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
      in_place_totals.add_chunk_to(sums[g], X.row_block(first, last - first), run_weights);
      first = last;
      continue;
    }
    const std::size_t stop = std::min(n, first + window_rows);
    if (buffered + (stop - first) > segment_rows) {
      sum_buffered_rows(first);
    }
    windows.push_back({first, stop});
    buffered += stop - first;
    first = stop;
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
