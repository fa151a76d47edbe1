#include "report/delta_method.hpp"

#include <cmath>

#include "engine/blas.hpp"
#include "engine/index_list.hpp"
#include "engine/internal_failure.hpp"
#include "engine/link_functions.hpp"

namespace velmora {
namespace {

constexpr double se_threshold = 1e-15;
constexpr double z_95 = 1.96;
// BLAS pays off only beyond tiny products; below this every dimension is
// handled by the plain loop.
constexpr std::size_t plain_product_limit = 7;

struct DenseMatrix {  // owned, row-major
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<double> values;

  DenseMatrix(std::size_t r, std::size_t c) : rows(r), cols(c), values(r * c, 0.0) {}
  [[nodiscard]] MatrixView view() const {
    return {values.data(), rows, cols, static_cast<std::ptrdiff_t>(cols), 1};
  }
};

std::string shape_text(std::size_t rows, std::size_t cols) {
  return std::to_string(rows) + " x " + std::to_string(cols);
}

bool fits_blas(const MatrixView& a, const MatrixView& b) {
  return blas::fits(a.rows) && blas::fits(a.cols) && blas::fits(b.cols);
}

// How a matrix can be passed to dgemm: as a row-major matrix, as the
// transpose of one (a column-major matrix), or not at all.
struct BlasOperand {
  bool usable = false;
  bool transposed = false;
  blas::Int leading_dimension = 0;
};

BlasOperand blas_operand(const MatrixView& m) {
  const auto rows = static_cast<std::ptrdiff_t>(m.rows);
  const auto cols = static_cast<std::ptrdiff_t>(m.cols);
  if (m.col_stride == 1 && m.row_stride >= std::max<std::ptrdiff_t>(cols, 1) &&
      blas::fits(m.row_stride)) {
    return {true, false, blas::to_int(m.row_stride)};
  }
  if (m.row_stride == 1 && m.col_stride >= std::max<std::ptrdiff_t>(rows, 1) &&
      blas::fits(m.col_stride)) {
    return {true, true, blas::to_int(m.col_stride)};
  }
  return {};
}

// a times b, written fresh. Tiny products and operands without a contiguous
// axis go through the plain loop; both agree up to rounding.
DenseMatrix multiply(const MatrixView& a, const MatrixView& b, const blas::Routines& blas) {
  if (a.cols != b.rows) {
    throw InternalFailure("matrices of incompatible shapes: " + shape_text(a.rows, a.cols) +
                          " times " + shape_text(b.rows, b.cols));
  }
  DenseMatrix product(a.rows, b.cols);
  if (product.values.empty()) {
    return product;
  }
  const bool tiny = a.rows <= plain_product_limit && a.cols <= plain_product_limit &&
                    b.cols <= plain_product_limit;
  const BlasOperand left = blas_operand(a);
  const BlasOperand right = blas_operand(b);
  if (!tiny && left.usable && right.usable && fits_blas(a, b) && a.cols > 0) {
    blas::require_level3_workspace();
    // BLAS is column-major: the row-major product a * b is the column-major
    // product b^T * a^T, written into the same memory.
    blas.gemm(blas::transpose_if(right.transposed), blas::transpose_if(left.transposed),
              blas::to_int(b.cols), blas::to_int(a.rows), blas::to_int(a.cols), 1.0, b.base,
              right.leading_dimension, a.base, left.leading_dimension, 0.0, product.values.data(),
              blas::to_int(b.cols));
    return product;
  }
  for (std::size_t i = 0; i < a.rows; ++i) {
    for (std::size_t c = 0; c < b.cols; ++c) {
      double total = 0.0;
      for (std::size_t j = 0; j < a.cols; ++j) {
        total += a(i, j) * b(j, c);
      }
      product.values[i * b.cols + c] = total;
    }
  }
  return product;
}

MatrixView transposed(const MatrixView& m) {
  return {m.base, m.cols, m.rows, m.col_stride, m.row_stride};
}

std::string_view stars_for(double p) {
  if (p < 0.01) {
    return "***";
  }
  if (p < 0.05) {
    return "**";
  }
  if (p < 0.1) {
    return "*";
  }
  return "";
}

}  // namespace

EffectsTable build_effects_table(std::span<const double> effect_totals,
                                 std::span<const double> jacobian_totals, double observations,
                                 const MatrixView& V,
                                 std::span<const std::size_t> intercept_indices,
                                 std::span<const std::string> names, const blas::Routines& blas) {
  const std::size_t k = effect_totals.size();
  if (jacobian_totals.size() != k * k) {
    throw InternalFailure("matrices of incompatible shapes: " + std::to_string(k) +
                          " effects but " + std::to_string(jacobian_totals.size()) +
                          " Jacobian entries");
  }
  std::vector<double> ame(k);
  for (std::size_t i = 0; i < k; ++i) {
    ame[i] = effect_totals[i] / observations;
  }
  DenseMatrix J(k, k);
  for (std::size_t e = 0; e < k * k; ++e) {
    J.values[e] = jacobian_totals[e] / observations;
  }

  const DenseMatrix JV = multiply(J.view(), V, blas);
  const DenseMatrix C = multiply(JV.view(), transposed(J.view()), blas);

  EffectsTable table;
  for (std::size_t i = 0; i < k; ++i) {
    if (contains_index(intercept_indices, i)) {
      continue;
    }
    const double variance = C.values[i * k + i];
    const double se = std::sqrt(variance > 0.0 ? variance : 0.0);
    table.dydx.push_back(ame[i]);
    table.std_err.push_back(se);
    if (se > se_threshold) {
      const double z = ame[i] / se;
      const double p = 2.0 * (1.0 - standard_normal_cdf(std::fabs(z)));
      const double half_width = se * z_95;
      table.z.push_back(z);
      table.p_value.push_back(p);
      table.significance.push_back(stars_for(p));
      table.ci_low.push_back(ame[i] - half_width);
      table.ci_high.push_back(ame[i] + half_width);
    } else {
      table.z.push_back(0.0);
      table.p_value.push_back(1.0);
      table.significance.push_back("");
      table.ci_low.push_back(ame[i]);
      table.ci_high.push_back(ame[i]);
    }
    table.row_names.push_back(checked_at(names, i));
  }
  return table;
}

}  // namespace velmora
