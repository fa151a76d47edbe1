#pragma once
// Non-owning views of float64 data laid out with arbitrary signed element
// strides, so NumPy arrays of any layout are read in place. Element i of a
// view along an axis is always element i of the array along that axis, also
// when the stride is negative.

#include <cstddef>

namespace velmora {

struct VectorView {
  const double* base = nullptr;  // position of element 0
  std::size_t size = 0;
  std::ptrdiff_t stride = 1;  // in elements

  [[nodiscard]] double operator[](std::size_t i) const {
    return base[static_cast<std::ptrdiff_t>(i) * stride];
  }
};

struct MatrixView {
  const double* base = nullptr;  // position of element (0, 0)
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::ptrdiff_t row_stride = 0;  // in elements, from row i to row i + 1
  std::ptrdiff_t col_stride = 1;  // in elements, from column j to column j + 1

  [[nodiscard]] const double* address(std::size_t i, std::size_t j) const {
    return base + static_cast<std::ptrdiff_t>(i) * row_stride +
           static_cast<std::ptrdiff_t>(j) * col_stride;
  }
  [[nodiscard]] double operator()(std::size_t i, std::size_t j) const { return *address(i, j); }

  // Rows first .. first + count - 1, all columns; the caller keeps the range inside.
  [[nodiscard]] MatrixView row_block(std::size_t first, std::size_t count) const {
    return {count == 0 ? base : address(first, 0), count, cols, row_stride, col_stride};
  }
  [[nodiscard]] VectorView column(std::size_t j) const {
    return {cols == 0 ? base : address(0, j), rows, row_stride};
  }
  [[nodiscard]] VectorView row(std::size_t i) const {
    return {rows == 0 ? base : address(i, 0), cols, col_stride};
  }
};

}  // namespace velmora
