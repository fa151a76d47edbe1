#include "engine/block_products.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/vector_math.hpp"

namespace velmora {
namespace {

// Weight columns taken together in one sweep over the rows: the usual pass
// has three (two dummies and the method's column), and with 16 columns of X
// that is 48 partial sums, which stay in registers (6 AVX-512 or 12 AVX2).
constexpr std::size_t weights_per_sweep = 3;
constexpr std::size_t widest_tile = 16;

// N doubles handled as one value; the compiler maps it onto the registers of
// each clone's instruction set (one AVX-512 register for 8, two AVX2 ones).
template <std::size_t N>
struct Pack {
  using type [[gnu::vector_size(N * sizeof(double))]] = double;
};

// Through a reference: a vector returned by value would change the ABI
// between the clones.
template <class Vec>
[[gnu::always_inline]] inline void load(Vec& into, const double* from) {
  std::memcpy(&into, from, sizeof into);
}

// Rows contiguous: `Cols` adjacent columns of X against `Weights` weight
// columns, every partial sum held in a register for the whole sweep over the
// rows; a row's Cols values are a few vector loads.
template <std::size_t Cols, std::size_t Weights>
[[gnu::always_inline]] inline void row_tile(const double* x, std::ptrdiff_t row_stride,
                                            std::size_t m, const double* weights,
                                            std::size_t weights_stride, double* products,
                                            std::size_t k) {
  constexpr std::size_t width = Cols < 8 ? Cols : 8;
  constexpr std::size_t packs = Cols / width;
  using Vec = typename Pack<width>::type;
  Vec partial[Weights][packs] = {};
  for (std::size_t r = 0; r < m; ++r) {
    const double* row = x + static_cast<std::ptrdiff_t>(r) * row_stride;
    Vec values[packs];
    for (std::size_t p = 0; p < packs; ++p) {
      load(values[p], row + p * width);
    }
    for (std::size_t w = 0; w < Weights; ++w) {
      const double weight = weights[w * weights_stride + r];
      for (std::size_t p = 0; p < packs; ++p) {
        partial[w][p] += values[p] * weight;
      }
    }
  }
  for (std::size_t w = 0; w < Weights; ++w) {
    for (std::size_t p = 0; p < packs; ++p) {
      for (std::size_t c = 0; c < width; ++c) {
        products[w * k + p * width + c] += partial[w][p][c];
      }
    }
  }
}

template <std::size_t Weights>
[[gnu::always_inline]] inline void row_sweep(const MatrixView& block, const double* weights,
                                             std::size_t weights_stride, double* products) {
  const std::size_t k = block.cols;
  const std::size_t m = block.rows;
  std::size_t l = 0;
  for (; l + widest_tile <= k; l += widest_tile) {
    row_tile<widest_tile, Weights>(block.base + l, block.row_stride, m, weights, weights_stride,
                                   products + l, k);
  }
  // What is left of the columns, in tiles of 8, 4, 2 and 1.
  if (l + 8 <= k) {
    row_tile<8, Weights>(block.base + l, block.row_stride, m, weights, weights_stride,
                         products + l, k);
    l += 8;
  }
  if (l + 4 <= k) {
    row_tile<4, Weights>(block.base + l, block.row_stride, m, weights, weights_stride,
                         products + l, k);
    l += 4;
  }
  if (l + 2 <= k) {
    row_tile<2, Weights>(block.base + l, block.row_stride, m, weights, weights_stride,
                         products + l, k);
    l += 2;
  }
  if (l < k) {
    row_tile<1, Weights>(block.base + l, block.row_stride, m, weights, weights_stride,
                         products + l, k);
  }
}

// Columns contiguous: each product is a dot product down a column, run in
// eight lanes of rows; two columns against up to three weight columns keep
// six eight-lane sums in registers.
constexpr std::size_t lanes = 8;
constexpr std::size_t columns_per_tile = 2;

template <std::size_t Cols, std::size_t Weights>
[[gnu::always_inline]] inline void column_tile(const double* x, std::ptrdiff_t col_stride,
                                               std::size_t m, const double* weights,
                                               std::size_t weights_stride, double* products,
                                               std::size_t k) {
  using Vec = Pack<lanes>::type;
  Vec partial[Weights][Cols] = {};
  double tail[Weights][Cols] = {};
  std::size_t r = 0;
  for (; r + lanes <= m; r += lanes) {
    Vec values[Cols];
    for (std::size_t c = 0; c < Cols; ++c) {
      load(values[c], x + static_cast<std::ptrdiff_t>(c) * col_stride +
                          static_cast<std::ptrdiff_t>(r));
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
        tail[w][c] += x[static_cast<std::ptrdiff_t>(c) * col_stride +
                        static_cast<std::ptrdiff_t>(r)] *
                      weights[w * weights_stride + r];
      }
    }
  }
  for (std::size_t w = 0; w < Weights; ++w) {
    for (std::size_t c = 0; c < Cols; ++c) {
      const Vec& p = partial[w][c];
      products[w * k + c] +=
          (((p[0] + p[1]) + (p[2] + p[3])) + ((p[4] + p[5]) + (p[6] + p[7]))) + tail[w][c];
    }
  }
}

template <std::size_t Weights>
[[gnu::always_inline]] inline void column_sweep(const MatrixView& block, const double* weights,
                                                std::size_t weights_stride, double* products) {
  const std::size_t k = block.cols;
  std::size_t l = 0;
  for (; l + columns_per_tile <= k; l += columns_per_tile) {
    column_tile<columns_per_tile, Weights>(block.address(0, l), block.col_stride, block.rows,
                                           weights, weights_stride, products + l, k);
  }
  if (l < k) {
    column_tile<1, Weights>(block.address(0, l), block.col_stride, block.rows, weights,
                            weights_stride, products + l, k);
  }
}

template <bool RowsContiguous, std::size_t Weights>
[[gnu::always_inline]] inline void sweep(const MatrixView& block, const double* weights,
                                         std::size_t weights_stride, double* products) {
  if constexpr (RowsContiguous) {
    row_sweep<Weights>(block, weights, weights_stride, products);
  } else {
    column_sweep<Weights>(block, weights, weights_stride, products);
  }
}

// One sweep per group of up to three weight columns.
template <bool RowsContiguous>
[[gnu::always_inline]] inline void sweeps(const MatrixView& block, const double* weights,
                                          std::size_t weights_stride, std::size_t weight_columns,
                                          double* products) {
  const std::size_t k = block.cols;
  std::size_t w = 0;
  for (; w + weights_per_sweep <= weight_columns; w += weights_per_sweep) {
    sweep<RowsContiguous, weights_per_sweep>(block, weights + w * weights_stride, weights_stride,
                                             products + w * k);
  }
  if (w + 2 <= weight_columns) {
    sweep<RowsContiguous, 2>(block, weights + w * weights_stride, weights_stride,
                             products + w * k);
    w += 2;
  }
  if (w < weight_columns) {
    sweep<RowsContiguous, 1>(block, weights + w * weights_stride, weights_stride,
                             products + w * k);
  }
}

VELMORA_SIMD_CLONES
void products_of_contiguous_rows(const MatrixView& block, const double* weights,
                                 std::size_t weights_stride, std::size_t weight_columns,
                                 double* products) {
  sweeps<true>(block, weights, weights_stride, weight_columns, products);
}

VELMORA_SIMD_CLONES
void products_of_contiguous_columns(const MatrixView& block, const double* weights,
                                    std::size_t weights_stride, std::size_t weight_columns,
                                    double* products) {
  sweeps<false>(block, weights, weights_stride, weight_columns, products);
}

// The linear index of rows lying contiguously: four rows at once, each
// row's products summed in eight lanes (then four, then singly for what is
// left of the columns), so beta is loaded once for the four rows; the lanes
// of the four rows are then added up together, a few shuffles for all four
// rather than a chain of additions per row.
using Vec4 = Pack<4>::type;
using Lanes4 = std::int64_t __attribute__((vector_size(4 * sizeof(std::int64_t))));

// Results through references, as for load().
[[gnu::always_inline]] inline void add_halves(const Pack<8>::type& v, Vec4& into) {
  Vec4 low;
  Vec4 high;
  std::memcpy(&low, &v, sizeof low);
  std::memcpy(&high, reinterpret_cast<const char*>(&v) + sizeof low, sizeof high);
  into += low + high;
}

// sums = {sum of a, sum of b, sum of c, sum of d}.
[[gnu::always_inline]] inline void sums_of_four(const Vec4& a, const Vec4& b, const Vec4& c,
                                                const Vec4& d, Vec4& sums) {
  const Lanes4 even{0, 4, 2, 6};
  const Lanes4 odd{1, 5, 3, 7};
  const Vec4 ab = __builtin_shuffle(a, b, even) + __builtin_shuffle(a, b, odd);
  const Vec4 cd = __builtin_shuffle(c, d, even) + __builtin_shuffle(c, d, odd);
  sums =
      __builtin_shuffle(ab, cd, Lanes4{0, 1, 4, 5}) + __builtin_shuffle(ab, cd, Lanes4{2, 3, 6, 7});
}

template <std::size_t Rows>
[[gnu::always_inline]] inline void row_dots(const double* x, std::ptrdiff_t row_stride,
                                            std::size_t k, const double* beta, double* xb) {
  using Vec8 = Pack<8>::type;
  Vec8 wide[Rows] = {};
  Vec4 narrow[Rows] = {};
  double single[Rows] = {};
  std::size_t l = 0;
  for (; l + 8 <= k; l += 8) {
    Vec8 b;
    load(b, beta + l);
    for (std::size_t i = 0; i < Rows; ++i) {
      Vec8 v;
      load(v, x + static_cast<std::ptrdiff_t>(i) * row_stride + static_cast<std::ptrdiff_t>(l));
      wide[i] += v * b;
    }
  }
  if (l + 4 <= k) {
    Vec4 b;
    load(b, beta + l);
    for (std::size_t i = 0; i < Rows; ++i) {
      Vec4 v;
      load(v, x + static_cast<std::ptrdiff_t>(i) * row_stride + static_cast<std::ptrdiff_t>(l));
      narrow[i] += v * b;
    }
    l += 4;
  }
  for (; l < k; ++l) {
    for (std::size_t i = 0; i < Rows; ++i) {
      single[i] +=
          x[static_cast<std::ptrdiff_t>(i) * row_stride + static_cast<std::ptrdiff_t>(l)] * beta[l];
    }
  }
  for (std::size_t i = 0; i < Rows; ++i) {
    add_halves(wide[i], narrow[i]);
  }
  if constexpr (Rows == 4) {
    Vec4 sums;
    sums_of_four(narrow[0], narrow[1], narrow[2], narrow[3], sums);
    for (std::size_t i = 0; i < Rows; ++i) {
      xb[i] = sums[i] + single[i];
    }
  } else {
    for (std::size_t i = 0; i < Rows; ++i) {
      const Vec4& v = narrow[i];
      xb[i] = ((v[0] + v[2]) + (v[1] + v[3])) + single[i];
    }
  }
}

VELMORA_SIMD_CLONES
void linear_index_of_contiguous_rows(const MatrixView& block, const double* beta, double* xb) {
  constexpr std::size_t rows_at_once = 4;
  const std::size_t m = block.rows;
  std::size_t r = 0;
  for (; r + rows_at_once <= m; r += rows_at_once) {
    row_dots<rows_at_once>(block.address(r, 0), block.row_stride, block.cols, beta, xb + r);
  }
  for (; r < m; ++r) {
    row_dots<1>(block.address(r, 0), block.row_stride, block.cols, beta, xb + r);
  }
}

// Columns contiguous: xb is built up column by column (an axpy down each),
// 32 rows of it held in registers across all the columns.
template <std::size_t Packs>
[[gnu::always_inline]] inline void column_axpys(const double* x, std::ptrdiff_t col_stride,
                                                std::size_t k, const double* beta, double* xb) {
  using Vec = Pack<lanes>::type;
  Vec partial[Packs] = {};
  for (std::size_t l = 0; l < k; ++l) {
    const double* column = x + static_cast<std::ptrdiff_t>(l) * col_stride;
    const double b = beta[l];
    for (std::size_t p = 0; p < Packs; ++p) {
      Vec v;
      load(v, column + p * lanes);
      partial[p] += v * b;
    }
  }
  std::memcpy(xb, partial, sizeof partial);
}

VELMORA_SIMD_CLONES
void linear_index_of_contiguous_columns(const MatrixView& block, const double* beta, double* xb) {
  constexpr std::size_t packs = 4;
  const std::size_t m = block.rows;
  const std::size_t k = block.cols;
  std::size_t r = 0;
  for (; r + packs * lanes <= m; r += packs * lanes) {
    column_axpys<packs>(block.address(r, 0), block.col_stride, k, beta, xb + r);
  }
  for (; r + lanes <= m; r += lanes) {
    column_axpys<1>(block.address(r, 0), block.col_stride, k, beta, xb + r);
  }
  for (; r < m; ++r) {
    double total = 0.0;
    for (std::size_t l = 0; l < k; ++l) {
      total += block(r, l) * beta[l];
    }
    xb[r] = total;
  }
}

constexpr std::size_t cache_line_doubles = 64 / sizeof(double);

// Every cache line of `count` contiguous doubles from `first`.
inline void prefetch_span(const double* first, std::size_t count) {
  if (count == 0) {
    return;
  }
  for (std::size_t e = 0; e < count; e += cache_line_doubles) {
    __builtin_prefetch(first + e);
  }
  __builtin_prefetch(first + (count - 1));  // the last line, where the span is not aligned
}

}  // namespace

bool add_block_products(const MatrixView& block, const double* weights,
                        std::size_t weights_stride, std::size_t weight_columns,
                        double* products) {
  if (block.col_stride == 1) {
    products_of_contiguous_rows(block, weights, weights_stride, weight_columns, products);
    return true;
  }
  if (block.row_stride == 1) {
    products_of_contiguous_columns(block, weights, weights_stride, weight_columns, products);
    return true;
  }
  return false;
}

bool block_linear_index(const MatrixView& block, const double* beta, double* xb) {
  if (block.col_stride == 1) {
    linear_index_of_contiguous_rows(block, beta, xb);
    return true;
  }
  if (block.row_stride == 1) {
    linear_index_of_contiguous_columns(block, beta, xb);
    return true;
  }
  return false;
}

void prefetch_block(const MatrixView& block) {
  if (block.rows == 0 || block.cols == 0) {
    return;
  }
  if (block.col_stride == 1) {
    for (std::size_t r = 0; r < block.rows; ++r) {
      prefetch_span(block.address(r, 0), block.cols);
    }
  } else if (block.row_stride == 1) {
    for (std::size_t l = 0; l < block.cols; ++l) {
      prefetch_span(block.address(0, l), block.rows);
    }
  }
}

}  // namespace velmora
