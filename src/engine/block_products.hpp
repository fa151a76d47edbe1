#pragma once
// The linear index of a small block of rows of X and its product with the
// pass's weight columns, both read straight from X, and the software
// prefetch of the block that comes next. A BLAS dgemm would copy (pack) the
// block on every call, which for a block of a few dozen rows costs more than
// the product itself; a dgemv's fixed cost per call is similar.

#include <cstddef>

#include "engine/strided_view.hpp"

namespace velmora {

// products[w * block.cols + l] += sum over r of block(r, l) * weights[w * weights_stride + r],
// for the `weight_columns` columns of `weights` (column-major, block.rows
// values each). Handles blocks whose rows are contiguous (column stride 1)
// or whose columns are (row stride 1, rows ascending) and returns true;
// leaves `products` alone and returns false for any other layout.
bool add_block_products(const MatrixView& block, const double* weights,
                        std::size_t weights_stride, std::size_t weight_columns,
                        double* products);

// xb[r] = sum over l of block(r, l) * beta[l], beta contiguous with
// block.cols entries, for blocks whose rows or columns are contiguous (as
// add_block_products); false, and xb untouched, for any other layout. A BLAS
// dgemv per block of a few dozen rows costs more in its fixed overhead than
// this loop takes for the whole block.
bool block_linear_index(const MatrixView& block, const double* beta, double* xb);

// Asks the cache for the memory of `block` ahead of its use; a hint only,
// nothing is read. Blocks with neither rows nor columns contiguous are left
// to the hardware.
void prefetch_block(const MatrixView& block);

}  // namespace velmora
