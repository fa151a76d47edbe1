#pragma once
// The linear index of a small block of rows of X and its product with the
// pass's weight columns, both read straight from X, and the software
// prefetch of the block that comes next. A BLAS dgemm would copy (pack) the
// block on every call, which for a block of a few dozen rows costs more than
// the product itself; a dgemv's fixed cost per call is similar.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "engine/strided_view.hpp"

namespace velmora {

// products[w * block.cols + l] += sum over r of block(r, l) * weights[w * weights_stride + r],
// for the `weight_columns` columns of `weights` (column-major, block.rows
// values each). Handles blocks whose rows are contiguous (column stride 1)
// or whose columns are (row stride 1, rows ascending) and returns true;
// leaves `products` alone and returns false for any other layout.
bool add_block_products(const MatrixView& block, const double* weights, std::size_t weights_stride,
                        std::size_t weight_columns, double* products);

// xb[r] = sum over l of block(r, l) * beta[l], beta contiguous with
// block.cols entries, for blocks whose rows or columns are contiguous (as
// add_block_products); false, and xb untouched, for any other layout. A BLAS
// dgemv per block of a few dozen rows costs more in its fixed overhead than
// this loop takes for the whole block.
bool block_linear_index(const MatrixView& block, const double* beta, double* xb);

// The same loops at a given vector width in doubles (2, 4 or 8; false for
// any other; rows are read at most four at a time at any width), compiled
// for the baseline instruction set: the running CPU picks one width for the
// two functions above, and these let the tests check the loops of every
// width on any machine.
bool add_block_products_at_width(std::size_t width, const MatrixView& block, const double* weights,
                                 std::size_t weights_stride, std::size_t weight_columns,
                                 double* products);
bool block_linear_index_at_width(std::size_t width, const MatrixView& block, const double* beta,
                                 double* xb);

// Asks for the memory of the block that comes next a share at a time,
// spread over the work on the current one. Asked for all at once, the lines
// of a block queue behind each other and stall the work until most have
// arrived, so reading and arithmetic take turns; a share between each step
// of the work keeps memory busy while the arithmetic runs. The lines go to
// the second-level cache, so the first-level one keeps the current block.
// A hint only: nothing is read, and blocks with neither rows nor columns
// contiguous are left to the hardware.
class SpreadPrefetch {
 public:
  // Plans the lines of `block` over `steps` calls of step(); drops what was
  // left of the previous plan.
  void plan(const MatrixView& block, std::size_t steps);
  // The next share of the lines.
  void step() {
    if (runs_ == 1) {
      issue_within_run(std::min(next_line_ + lines_per_step_ * cache_line, run_end_));
    } else {
      issue(lines_per_step_);
    }
  }
  // Whatever is left.
  void finish() {
    if (runs_ == 1) {
      issue_within_run(run_end_);
    } else {
      issue(SIZE_MAX);
    }
  }

 private:
  static constexpr std::size_t cache_line = 64;

  // A block in one run (its rows following each other, the usual case)
  // takes this inline path: lines four at a time up to `stop`, a few past it
  // at most, which lie in the run or just after it and do no harm (the
  // hint reads nothing).
  void issue_within_run(std::uintptr_t stop) {
    std::uintptr_t line = next_line_;
    for (; line < stop; line += 4 * cache_line) {
      __builtin_prefetch(reinterpret_cast<const void*>(line), 0, 1);
      __builtin_prefetch(reinterpret_cast<const void*>(line + cache_line), 0, 1);
      __builtin_prefetch(reinterpret_cast<const void*>(line + 2 * cache_line), 0, 1);
      __builtin_prefetch(reinterpret_cast<const void*>(line + 3 * cache_line), 0, 1);
    }
    next_line_ = line;
  }
  void issue(std::size_t lines);
  void start_run();

  // The block as runs of contiguous memory: its rows or columns, or the
  // whole block where those follow each other.
  std::uintptr_t first_ = 0;       // first byte of run 0
  std::ptrdiff_t run_stride_ = 0;  // bytes from the start of one run to the next's
  std::size_t run_bytes_ = 0;
  std::size_t runs_ = 0;
  std::size_t run_ = 0;           // the run being asked for,
  std::uintptr_t next_line_ = 0;  // its next line
  std::uintptr_t run_end_ = 0;    // and one past its last byte
  std::size_t lines_per_step_ = 0;
};

}  // namespace velmora
