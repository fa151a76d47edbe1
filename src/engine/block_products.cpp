#include "engine/block_products.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/vector_math.hpp"
#include "engine/vector_pack.hpp"

namespace velmora {
namespace {

// Weight columns taken together in one sweep over the rows: the usual pass
// has three (two dummies and the method's column).
constexpr std::size_t weights_per_sweep = 3;

// Each instruction set's version of the loops below uses vectors up to its
// registers' width: wider values are split by the compiler, and arrays of
// them then live on the stack.

// The lanes of v added pairwise: ((v0 + v1) + (v2 + v3)) + ...
template <std::size_t Width>
[[gnu::always_inline]] inline double lane_sum(const typename Pack<Width>::type& v) {
  if constexpr (Width == 8) {
    return ((v[0] + v[1]) + (v[2] + v[3])) + ((v[4] + v[5]) + (v[6] + v[7]));
  } else if constexpr (Width == 4) {
    return (v[0] + v[1]) + (v[2] + v[3]);
  } else {
    static_assert(Width == 2);
    return v[0] + v[1];
  }
}

// Rows contiguous: a row is read at most four doubles at a time, also where
// registers hold eight. NumPy places an array 16 bytes past a cache line, so
// with rows of most lengths every eight-double load would straddle two lines.
template <std::size_t Width>
constexpr std::size_t row_width = Width < 4 ? Width : 4;

// The columns of X in tiles, each against up to three weight columns, every
// partial sum in a register. With sixteen registers (AVX2), as many columns
// as leave one register for a broadcast weight, the row's values then read
// by the FMAs themselves: each weight is broadcast once per row and tile,
// and fewer, wider tiles mean fewer broadcasts (k = 20 is one tile). Other
// versions take tiles of two registers' width.
template <std::size_t Version, std::size_t Width, std::size_t Weights>
constexpr std::size_t widest_row_tile() {
  if constexpr (Version == 4) {
#if defined(__clang__)
    // Clang keeps a row's values in registers of their own, and would spill.
    constexpr std::size_t spare = 1 + Weights;
#else
    constexpr std::size_t spare = 1;
#endif
    constexpr std::size_t packs = (16 - spare) / Weights;
    return Width * (packs < 8 ? packs : 8);
  } else {
    return 2 * Width;
  }
}

// Where the sums are few, each would wait on its own previous addition (the
// latency of an FMA is several cycles), so `Ways` sets of sums take
// alternate rows and are added at the end; Ways = 2 only where twice the
// sums still fit the sixteen registers with the row's loads.
template <std::size_t Width, std::size_t Cols, std::size_t Weights>
constexpr std::size_t row_ways() {
  constexpr std::size_t registers_per_row = (Cols + Width - 1) / Width;
  return 2 * Weights * registers_per_row + registers_per_row <= 14 ? 2 : 1;
}

// `Cols` adjacent columns of X against `Weights` weight columns; a row's
// Cols values are a few vector loads.
template <std::size_t Width, std::size_t Cols, std::size_t Weights>
[[gnu::always_inline]] inline void row_tile(const double* x, std::ptrdiff_t row_stride,
                                            std::size_t m, const double* weights,
                                            std::size_t weights_stride, double* products,
                                            std::size_t k) {
  constexpr std::size_t width = Cols < Width ? Cols : Width;
  constexpr std::size_t packs = Cols / width;
  constexpr std::size_t ways = row_ways<Width, Cols, Weights>();
  using Vec = typename Pack<width>::type;
  Vec partial[ways][Weights][packs] = {};
  std::size_t r = 0;
  const auto add_row = [&](std::size_t row_index, Vec(&sums)[Weights][packs]) {
    const double* row = x + static_cast<std::ptrdiff_t>(row_index) * row_stride;
    Vec values[packs];
    for (std::size_t p = 0; p < packs; ++p) {
      load(values[p], row + p * width);
    }
    for (std::size_t w = 0; w < Weights; ++w) {
      const double weight = weights[w * weights_stride + row_index];
      for (std::size_t p = 0; p < packs; ++p) {
        sums[w][p] += values[p] * weight;
      }
    }
  };
  for (; r + ways <= m; r += ways) {
    for (std::size_t v = 0; v < ways; ++v) {
      add_row(r + v, partial[v]);
    }
  }
  for (; r < m; ++r) {
    add_row(r, partial[0]);
  }
  for (std::size_t w = 0; w < Weights; ++w) {
    for (std::size_t p = 0; p < packs; ++p) {
      Vec total = partial[0][w][p];
      for (std::size_t v = 1; v < ways; ++v) {
        total += partial[v][w][p];
      }
      double* into = products + w * k + p * width;
      Vec sums;
      load(sums, into);
      store(into, sums + total);
    }
  }
}

template <std::size_t Width, std::size_t Weights, std::size_t Version>
[[gnu::always_inline]] inline void row_sweep(const MatrixView& block, const double* weights,
                                             std::size_t weights_stride, double* products) {
  constexpr std::size_t widest = widest_row_tile<Version, Width, Weights>();
  const std::size_t k = block.cols;
  const std::size_t m = block.rows;
  std::size_t l = 0;
  const auto tile = [&]<std::size_t Cols>() {
    row_tile<Width, Cols, Weights>(block.base + l, block.row_stride, m, weights, weights_stride,
                                   products + l, k);
    l += Cols;
  };
  while (l + widest <= k) {
    tile.template operator()<widest>();
  }
  // What is left of the columns, in halving tiles down to one column.
  if constexpr (widest > 16) {
    if (l + 16 <= k) {
      tile.template operator()<16>();
    }
  }
  if constexpr (widest > 8) {
    if (l + 8 <= k) {
      tile.template operator()<8>();
    }
  }
  if constexpr (widest > 4) {
    if (l + 4 <= k) {
      tile.template operator()<4>();
    }
  }
  if (l + 2 <= k) {
    tile.template operator()<2>();
  }
  if (l < k) {
    tile.template operator()<1>();
  }
}

// Columns contiguous: each product is a dot product down a column, run in
// Width lanes of rows; two columns against up to three weight columns keep
// six sums in registers.
constexpr std::size_t columns_per_tile = 2;

template <std::size_t Width, std::size_t Cols, std::size_t Weights>
[[gnu::always_inline]] inline void column_tile(const double* x, std::ptrdiff_t col_stride,
                                               std::size_t m, const double* weights,
                                               std::size_t weights_stride, double* products,
                                               std::size_t k) {
  using Vec = typename Pack<Width>::type;
  Vec partial[Weights][Cols] = {};
  double tail[Weights][Cols] = {};
  std::size_t r = 0;
  for (; r + Width <= m; r += Width) {
    Vec values[Cols];
    for (std::size_t c = 0; c < Cols; ++c) {
      load(values[c],
           x + static_cast<std::ptrdiff_t>(c) * col_stride + static_cast<std::ptrdiff_t>(r));
    }
    for (std::size_t w = 0; w < Weights; ++w) {
      Vec weight;
      load(weight, weights + w * weights_stride + r);
      for (std::size_t c = 0; c < Cols; ++c) {
        partial[w][c] += values[c] * weight;
      }
    }
  }
  for (; r < m; ++r) {
    for (std::size_t w = 0; w < Weights; ++w) {
      for (std::size_t c = 0; c < Cols; ++c) {
        tail[w][c] +=
            x[static_cast<std::ptrdiff_t>(c) * col_stride + static_cast<std::ptrdiff_t>(r)] *
            weights[w * weights_stride + r];
      }
    }
  }
  for (std::size_t w = 0; w < Weights; ++w) {
    for (std::size_t c = 0; c < Cols; ++c) {
      products[w * k + c] += lane_sum<Width>(partial[w][c]) + tail[w][c];
    }
  }
}

template <std::size_t Width, std::size_t Weights>
[[gnu::always_inline]] inline void column_sweep(const MatrixView& block, const double* weights,
                                                std::size_t weights_stride, double* products) {
  const std::size_t k = block.cols;
  std::size_t l = 0;
  for (; l + columns_per_tile <= k; l += columns_per_tile) {
    column_tile<Width, columns_per_tile, Weights>(block.address(0, l), block.col_stride, block.rows,
                                                  weights, weights_stride, products + l, k);
  }
  if (l < k) {
    column_tile<Width, 1, Weights>(block.address(0, l), block.col_stride, block.rows, weights,
                                   weights_stride, products + l, k);
  }
}

template <std::size_t Width, bool RowsContiguous, std::size_t Weights, std::size_t Version>
[[gnu::always_inline]] inline void sweep(const MatrixView& block, const double* weights,
                                         std::size_t weights_stride, double* products) {
  if constexpr (RowsContiguous) {
    row_sweep<Width, Weights, Version>(block, weights, weights_stride, products);
  } else {
    column_sweep<Width, Weights>(block, weights, weights_stride, products);
  }
}

// One sweep per group of up to three weight columns; Version is the width of
// the instruction set's registers, Width that of the loads.
template <std::size_t Width, bool RowsContiguous, std::size_t Version = Width>
[[gnu::always_inline]] inline void sweeps(const MatrixView& block, const double* weights,
                                          std::size_t weights_stride, std::size_t weight_columns,
                                          double* products) {
  const std::size_t k = block.cols;
  std::size_t w = 0;
  for (; w + weights_per_sweep <= weight_columns; w += weights_per_sweep) {
    sweep<Width, RowsContiguous, weights_per_sweep, Version>(block, weights + w * weights_stride,
                                                             weights_stride, products + w * k);
  }
  if (w + 2 <= weight_columns) {
    sweep<Width, RowsContiguous, 2, Version>(block, weights + w * weights_stride, weights_stride,
                                             products + w * k);
    w += 2;
  }
  if (w < weight_columns) {
    sweep<Width, RowsContiguous, 1, Version>(block, weights + w * weights_stride, weights_stride,
                                             products + w * k);
  }
}

// The linear index of rows lying contiguously: four rows at once, each
// row's products summed in Width lanes (then singly for what is left of the
// columns), so beta is loaded once for the four rows; at width 4 the lanes
// of the four rows are then added up together, a few shuffles for all four
// rather than a chain of additions per row.
using Vec4 = Pack<4>::type;

// The lanes I0 .. I3 of a and b taken together (0 to 3 from a, 4 to 7 from
// b); through a reference, as for load(). Clang and GCC from 12 on have
// __builtin_shufflevector, older GCC only its own __builtin_shuffle.
template <int I0, int I1, int I2, int I3>
[[gnu::always_inline]] inline void shuffle(const Vec4& a, const Vec4& b, Vec4& out) {
#if defined(__clang__) || __GNUC__ >= 12
  out = __builtin_shufflevector(a, b, I0, I1, I2, I3);
#else
  using Lanes4 = std::int64_t __attribute__((vector_size(4 * sizeof(std::int64_t))));
  out = __builtin_shuffle(a, b, Lanes4{I0, I1, I2, I3});
#endif
}

// sums = {sum of a, sum of b, sum of c, sum of d}; through a reference, as
// for load().
[[gnu::always_inline]] inline void sums_of_four(const Vec4& a, const Vec4& b, const Vec4& c,
                                                const Vec4& d, Vec4& sums) {
  Vec4 even;
  Vec4 odd;
  shuffle<0, 4, 2, 6>(a, b, even);
  shuffle<1, 5, 3, 7>(a, b, odd);
  const Vec4 ab = even + odd;
  shuffle<0, 4, 2, 6>(c, d, even);
  shuffle<1, 5, 3, 7>(c, d, odd);
  const Vec4 cd = even + odd;
  Vec4 low;
  Vec4 high;
  shuffle<0, 1, 4, 5>(ab, cd, low);
  shuffle<2, 3, 6, 7>(ab, cd, high);
  sums = low + high;
}

// Columns l .. l + width - 1 of `Rows` rows against the same columns of beta,
// added lane by lane to each row's sums.
template <class Vec, std::size_t Rows>
[[gnu::always_inline]] inline void add_row_columns(const double* x, std::ptrdiff_t row_stride,
                                                   std::size_t l, const double* beta,
                                                   Vec (&sums)[Rows]) {
  Vec b;
  load(b, beta + l);
  for (std::size_t i = 0; i < Rows; ++i) {
    Vec v;
    load(v, x + static_cast<std::ptrdiff_t>(i) * row_stride + static_cast<std::ptrdiff_t>(l));
    sums[i] += v * b;
  }
}

template <std::size_t Width, std::size_t Rows>
[[gnu::always_inline]] inline void row_dots(const double* x, std::ptrdiff_t row_stride,
                                            std::size_t k, const double* beta, double* xb) {
  using Wide = typename Pack<Width>::type;
  Wide wide[Rows] = {};
  double single[Rows] = {};
  std::size_t l = 0;
  for (; l + Width <= k; l += Width) {
    add_row_columns(x, row_stride, l, beta, wide);
  }
  if constexpr (Width == 2) {
    if (l < k) {
      for (std::size_t i = 0; i < Rows; ++i) {
        single[i] =
            x[static_cast<std::ptrdiff_t>(i) * row_stride + static_cast<std::ptrdiff_t>(l)] *
            beta[l];
      }
    }
    for (std::size_t i = 0; i < Rows; ++i) {
      xb[i] = (wide[i][0] + wide[i][1]) + single[i];
    }
  } else {
    static_assert(Width == 4);
    for (; l < k; ++l) {
      for (std::size_t i = 0; i < Rows; ++i) {
        single[i] +=
            x[static_cast<std::ptrdiff_t>(i) * row_stride + static_cast<std::ptrdiff_t>(l)] *
            beta[l];
      }
    }
    if constexpr (Rows == 4) {
      Vec4 sums;
      sums_of_four(wide[0], wide[1], wide[2], wide[3], sums);
      for (std::size_t i = 0; i < Rows; ++i) {
        xb[i] = sums[i] + single[i];
      }
    } else {
      for (std::size_t i = 0; i < Rows; ++i) {
        const Vec4& v = wide[i];
        xb[i] = ((v[0] + v[2]) + (v[1] + v[3])) + single[i];
      }
    }
  }
}

// With AVX2 and rows of 4 to 35 columns: beta's Packs of four in registers
// for the whole block and their number known to the compiler, so four rows
// are their FMAs, a few shuffles and a store, with no loop over the columns.
// The additions are row_dots' own, in its order.
template <std::size_t Packs>
[[gnu::always_inline]] inline void row_linear_index_of_packs(const MatrixView& block,
                                                             const double* beta, double* xb) {
  const std::size_t k = block.cols;
  const std::size_t m = block.rows;
  Vec4 b[Packs];
  for (std::size_t p = 0; p < Packs; ++p) {
    load(b[p], beta + 4 * p);
  }
  std::size_t r = 0;
  for (; r + 4 <= m; r += 4) {
    // A pointer per row, so that every load is a register plus a constant.
    const double* rows[4];
    for (std::size_t i = 0; i < 4; ++i) {
      rows[i] = block.address(r + i, 0);
    }
    Vec4 wide[4] = {};
    for (std::size_t p = 0; p < Packs; ++p) {
      for (std::size_t i = 0; i < 4; ++i) {
        Vec4 v;
        load(v, rows[i] + 4 * p);
        wide[i] += v * b[p];
      }
    }
    double single[4] = {};
    for (std::size_t l = 4 * Packs; l < k; ++l) {
      for (std::size_t i = 0; i < 4; ++i) {
        single[i] += rows[i][l] * beta[l];
      }
    }
    Vec4 sums;
    sums_of_four(wide[0], wide[1], wide[2], wide[3], sums);
    for (std::size_t i = 0; i < 4; ++i) {
      xb[r + i] = sums[i] + single[i];
    }
  }
  for (; r < m; ++r) {
    row_dots<4, 1>(block.address(r, 0), block.row_stride, k, beta, xb + r);
  }
}

// True when an AVX2 version took the block (k from 4 to 35).
template <std::size_t Width>
[[gnu::always_inline]] inline bool row_linear_index_by_packs(const MatrixView& block,
                                                             const double* beta, double* xb) {
  if constexpr (Width == 4) {
    switch (block.cols / 4) {
      case 1:
        row_linear_index_of_packs<1>(block, beta, xb);
        return true;
      case 2:
        row_linear_index_of_packs<2>(block, beta, xb);
        return true;
      case 3:
        row_linear_index_of_packs<3>(block, beta, xb);
        return true;
      case 4:
        row_linear_index_of_packs<4>(block, beta, xb);
        return true;
      case 5:
        row_linear_index_of_packs<5>(block, beta, xb);
        return true;
      case 6:
        row_linear_index_of_packs<6>(block, beta, xb);
        return true;
      case 7:
        row_linear_index_of_packs<7>(block, beta, xb);
        return true;
      case 8:
        row_linear_index_of_packs<8>(block, beta, xb);
        return true;
      default:
        return false;
    }
  }
  return false;
}

template <std::size_t Width>
[[gnu::always_inline]] inline void row_linear_index_at(const MatrixView& block, const double* beta,
                                                       double* xb) {
  if (row_linear_index_by_packs<Width>(block, beta, xb)) {
    return;
  }
  constexpr std::size_t rows_at_once = 4;
  constexpr std::size_t width = row_width<Width>;
  const std::size_t m = block.rows;
  std::size_t r = 0;
  for (; r + rows_at_once <= m; r += rows_at_once) {
    row_dots<width, rows_at_once>(block.address(r, 0), block.row_stride, block.cols, beta, xb + r);
  }
  for (; r < m; ++r) {
    row_dots<width, 1>(block.address(r, 0), block.row_stride, block.cols, beta, xb + r);
  }
}

// Columns contiguous: xb is built up column by column (an axpy down each),
// a few dozen rows of it held in registers across all the columns.
template <std::size_t Width, std::size_t Packs>
[[gnu::always_inline]] inline void column_axpys(const double* x, std::ptrdiff_t col_stride,
                                                std::size_t k, const double* beta, double* xb) {
  using Vec = typename Pack<Width>::type;
  Vec partial[Packs] = {};
  for (std::size_t l = 0; l < k; ++l) {
    const double* column = x + static_cast<std::ptrdiff_t>(l) * col_stride;
    const double b = beta[l];
    for (std::size_t p = 0; p < Packs; ++p) {
      Vec v;
      load(v, column + p * Width);
      partial[p] += v * b;
    }
  }
  std::memcpy(xb, partial, sizeof partial);
}

template <std::size_t Width>
[[gnu::always_inline]] inline void column_linear_index_at(const MatrixView& block,
                                                          const double* beta, double* xb) {
  // 32 rows at once at width 8 and 4, 16 at width 2: the tilings that timed best.
  constexpr std::size_t packs = Width == 8 ? 4 : 8;
  const std::size_t m = block.rows;
  const std::size_t k = block.cols;
  std::size_t r = 0;
  for (; r + packs * Width <= m; r += packs * Width) {
    column_axpys<Width, packs>(block.address(r, 0), block.col_stride, k, beta, xb + r);
  }
  for (; r + Width <= m; r += Width) {
    column_axpys<Width, 1>(block.address(r, 0), block.col_stride, k, beta, xb + r);
  }
  for (; r < m; ++r) {
    double total = 0.0;
    for (std::size_t l = 0; l < k; ++l) {
      total += block(r, l) * beta[l];
    }
    xb[r] = total;
  }
}

template <std::size_t Width>
[[gnu::always_inline]] inline void row_products_at(const MatrixView& block, const double* weights,
                                                   std::size_t weights_stride,
                                                   std::size_t weight_columns, double* products) {
  sweeps<row_width<Width>, true, Width>(block, weights, weights_stride, weight_columns, products);
}

template <std::size_t Width>
[[gnu::always_inline]] inline void column_products_at(const MatrixView& block,
                                                      const double* weights,
                                                      std::size_t weights_stride,
                                                      std::size_t weight_columns,
                                                      double* products) {
  sweeps<Width, false>(block, weights, weights_stride, weight_columns, products);
}

// The loop for the block's layout: `rows` where its rows are contiguous,
// `columns` where its columns are; false, and neither run, for any other.
template <class Rows, class Columns>
[[gnu::always_inline]] inline bool by_layout(const MatrixView& block, Rows rows, Columns columns) {
  if (block.col_stride == 1) {
    rows();
    return true;
  }
  if (block.row_stride == 1) {
    columns();
    return true;
  }
  return false;
}

template <std::size_t Width>
bool block_products_at(const MatrixView& block, const double* weights, std::size_t weights_stride,
                       std::size_t weight_columns, double* products) {
  return by_layout(
      block,
      [&] { row_products_at<Width>(block, weights, weights_stride, weight_columns, products); },
      [&] { column_products_at<Width>(block, weights, weights_stride, weight_columns, products); });
}

template <std::size_t Width>
bool linear_index_at(const MatrixView& block, const double* beta, double* xb) {
  return by_layout(
      block, [&] { row_linear_index_at<Width>(block, beta, xb); },
      [&] { column_linear_index_at<Width>(block, beta, xb); });
}

}  // namespace

// One version of each loop per instruction set, at its width.
namespace width_versions {

VELMORA_WIDTH_VERSIONS(void, products_of_contiguous_rows,
                       (const MatrixView& block, const double* weights, std::size_t weights_stride,
                        std::size_t weight_columns, double* products),
                       row_products_at, (block, weights, weights_stride, weight_columns, products))
VELMORA_WIDTH_VERSIONS(void, products_of_contiguous_columns,
                       (const MatrixView& block, const double* weights, std::size_t weights_stride,
                        std::size_t weight_columns, double* products),
                       column_products_at,
                       (block, weights, weights_stride, weight_columns, products))
VELMORA_WIDTH_VERSIONS(void, linear_index_of_contiguous_rows,
                       (const MatrixView& block, const double* beta, double* xb),
                       row_linear_index_at, (block, beta, xb))
VELMORA_WIDTH_VERSIONS(void, linear_index_of_contiguous_columns,
                       (const MatrixView& block, const double* beta, double* xb),
                       column_linear_index_at, (block, beta, xb))

}  // namespace width_versions

bool add_block_products(const MatrixView& block, const double* weights, std::size_t weights_stride,
                        std::size_t weight_columns, double* products) {
  return by_layout(
      block,
      [&] {
        width_versions::products_of_contiguous_rows(block, weights, weights_stride, weight_columns,
                                                    products);
      },
      [&] {
        width_versions::products_of_contiguous_columns(block, weights, weights_stride,
                                                       weight_columns, products);
      });
}

bool block_linear_index(const MatrixView& block, const double* beta, double* xb) {
  return by_layout(
      block, [&] { width_versions::linear_index_of_contiguous_rows(block, beta, xb); },
      [&] { width_versions::linear_index_of_contiguous_columns(block, beta, xb); });
}

bool add_block_products_at_width(std::size_t width, const MatrixView& block, const double* weights,
                                 std::size_t weights_stride, std::size_t weight_columns,
                                 double* products) {
  switch (width) {
    case 2:
      return block_products_at<2>(block, weights, weights_stride, weight_columns, products);
    case 4:
      return block_products_at<4>(block, weights, weights_stride, weight_columns, products);
    case 8:
      return block_products_at<8>(block, weights, weights_stride, weight_columns, products);
    default:
      return false;
  }
}

bool block_linear_index_at_width(std::size_t width, const MatrixView& block, const double* beta,
                                 double* xb) {
  switch (width) {
    case 2:
      return linear_index_at<2>(block, beta, xb);
    case 4:
      return linear_index_at<4>(block, beta, xb);
    case 8:
      return linear_index_at<8>(block, beta, xb);
    default:
      return false;
  }
}

void SpreadPrefetch::plan(const MatrixView& block, std::size_t steps) {
  runs_ = 0;
  run_ = 0;
  lines_per_step_ = 0;
  if (block.rows == 0 || block.cols == 0) {
    return;
  }
  // The block's rows, or its columns, as runs of contiguous doubles; one run
  // where they follow each other.
  std::size_t run_elements = 0;
  std::ptrdiff_t run_stride = 0;
  if (block.col_stride == 1) {
    runs_ = block.rows;
    run_elements = block.cols;
    run_stride = block.row_stride;
  } else if (block.row_stride == 1) {
    runs_ = block.cols;
    run_elements = block.rows;
    run_stride = block.col_stride;
  } else {
    return;
  }
  if (run_stride == static_cast<std::ptrdiff_t>(run_elements)) {
    run_elements *= runs_;
    runs_ = 1;
  }
  first_ = reinterpret_cast<std::uintptr_t>(block.base);
  run_stride_ = run_stride * static_cast<std::ptrdiff_t>(sizeof(double));
  run_bytes_ = run_elements * sizeof(double);
  // A run not aligned to a line touches one line more than its length.
  const std::size_t lines = runs_ * (run_bytes_ / cache_line + 2);
  lines_per_step_ = (lines + steps - 1) / std::max<std::size_t>(steps, 1);
  start_run();
}

void SpreadPrefetch::start_run() {
  const std::uintptr_t start =
      first_ + static_cast<std::uintptr_t>(static_cast<std::ptrdiff_t>(run_) * run_stride_);
  next_line_ = start & ~std::uintptr_t{cache_line - 1};
  run_end_ = start + run_bytes_;
}

void SpreadPrefetch::issue(std::size_t lines) {
  // Locality 1: into the second-level cache, leaving the first-level one to
  // the block being worked on. A share is a run of consecutive lines, asked
  // for from a register in a loop of a few instructions per line.
  while (lines > 0 && run_ < runs_) {
    const std::size_t left = (run_end_ - next_line_ + cache_line - 1) / cache_line;
    const std::size_t now = std::min(lines, left);
    const std::uintptr_t stop = next_line_ + now * cache_line;
#pragma GCC unroll 4
    for (std::uintptr_t line = next_line_; line != stop; line += cache_line) {
      __builtin_prefetch(reinterpret_cast<const void*>(line), 0, 1);
    }
    next_line_ = stop;
    lines -= now;
    if (next_line_ >= run_end_ && ++run_ < runs_) {
      start_run();
    }
  }
}

}  // namespace velmora
