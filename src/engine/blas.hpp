#pragma once
// The one place that knows the BLAS interface: the routines' Fortran calling
// convention and integer type, which strides they can take, where they expect
// a vector with a negative increment to start, and a dot product that splits
// counts too large for them and falls back to a plain loop for increments
// they cannot take (such as 0).
//
// The core links no BLAS. Whoever calls it finds the routines (the Python
// module takes those SciPy exports, so a process has one BLAS and one thread
// pool) and hands them down as a Routines record.

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>

#include "engine/strided_view.hpp"

namespace velmora::blas {

// The BLAS that SciPy exports takes 32-bit integers.
using Int = int;

// Fortran convention: every argument by address, matrices column-major,
// transposition as a character. The routines write only their outputs.
using Ddot = double(Int* n, double* x, Int* incx, double* y, Int* incy);
using Dgemm = void(char* trans_a, char* trans_b, Int* m, Int* n, Int* k, double* alpha, double* a,
                   Int* lda, double* b, Int* ldb, double* beta, double* c, Int* ldc);

enum class Transpose : char { No = 'N', Yes = 'T' };

// Whether an operand is used as stored or transposed, in column-major terms.
[[nodiscard]] inline Transpose transpose_if(bool transposed) {
  return transposed ? Transpose::Yes : Transpose::No;
}

struct Routines {
  Ddot* ddot = nullptr;
  Dgemm* dgemm = nullptr;

  // C = alpha * op(A) * op(B) + beta * C, all column-major; C is m x n.
  void gemm(Transpose trans_a, Transpose trans_b, Int m, Int n, Int k, double alpha,
            const double* a, Int lda, const double* b, Int ldb, double beta, double* c,
            Int ldc) const {
    auto ta = static_cast<char>(trans_a);
    auto tb = static_cast<char>(trans_b);
    dgemm(&ta, &tb, &m, &n, &k, &alpha, const_cast<double*>(a), &lda, const_cast<double*>(b), &ldb,
          &beta, c, &ldc);
  }

  [[nodiscard]] double dot_piece(Int n, const double* x, Int incx, const double* y,
                                 Int incy) const {
    return ddot(&n, const_cast<double*>(x), &incx, const_cast<double*>(y), &incy);
  }

  // Sum of x[i] * y[i]; the caller passes views of equal size.
  [[nodiscard]] double dot(const VectorView& x, const VectorView& y) const;
};

// OpenBLAS's threaded level-3 driver mallocs a job table on every call and
// ends the process when that fails. Making sure, just before a dgemm, that
// more than that can still be had turns an exhausted address space into
// std::bad_alloc (MemoryError for a Python caller) instead. Callers probe
// before their products; nothing else allocates between a probe and the
// products that follow it on the same thread.
inline void require_level3_workspace() {
  constexpr std::size_t workspace_bytes = std::size_t{8} << 20;
  void* volatile probe = std::malloc(workspace_bytes);  // volatile: kept, not elided
  if (probe == nullptr) {
    throw std::bad_alloc{};
  }
  std::free(probe);
}

inline constexpr std::size_t max_count = static_cast<std::size_t>(std::numeric_limits<Int>::max());

[[nodiscard]] inline bool fits(std::size_t count) { return count <= max_count; }

[[nodiscard]] inline bool fits(std::ptrdiff_t value) {
  return value >= std::numeric_limits<Int>::min() && value <= std::numeric_limits<Int>::max();
}

[[nodiscard]] inline Int to_int(std::size_t count) { return static_cast<Int>(count); }
[[nodiscard]] inline Int to_int(std::ptrdiff_t value) { return static_cast<Int>(value); }

// A vector increment BLAS accepts: nonzero and representable.
[[nodiscard]] inline bool usable_increment(std::ptrdiff_t stride) {
  return stride != 0 && fits(stride);
}

// BLAS walks a vector with a negative increment from its lowest address, so
// that is the pointer it must be given.
[[nodiscard]] inline const double* vector_start(const double* element0, std::size_t n,
                                                std::ptrdiff_t stride) {
  if (stride >= 0 || n == 0) {
    return element0;
  }
  return element0 + static_cast<std::ptrdiff_t>(n - 1) * stride;
}

inline double Routines::dot(const VectorView& x, const VectorView& y) const {
  const std::size_t n = std::min(x.size, y.size);
  double total = 0.0;
  if (usable_increment(x.stride) && usable_increment(y.stride)) {
    for (std::size_t done = 0; done < n;) {
      const std::size_t piece = std::min(n - done, max_count);
      const double* xs = x.base + static_cast<std::ptrdiff_t>(done) * x.stride;
      const double* ys = y.base + static_cast<std::ptrdiff_t>(done) * y.stride;
      total += dot_piece(to_int(piece), vector_start(xs, piece, x.stride), to_int(x.stride),
                         vector_start(ys, piece, y.stride), to_int(y.stride));
      done += piece;
    }
    return total;
  }
  for (std::size_t i = 0; i < n; ++i) {
    total += x[i] * y[i];
  }
  return total;
}

}  // namespace velmora::blas
