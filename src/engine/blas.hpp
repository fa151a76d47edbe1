#pragma once
// The one place that knows the CBLAS interface: its symbol names, its integer
// type, which strides it can take, where it expects a vector with a negative
// increment to start, and a dot product that splits counts too large for it
// and falls back to a plain loop for increments it cannot take (such as 0).

#include <cblas.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>

#include "engine/strided_view.hpp"

// The OpenBLAS build of the scipy-openblas32 wheel prefixes its symbols
// (scipy_cblas_dgemm) so that it can live beside another BLAS in one process.
#if defined(VELMORA_SCIPY_OPENBLAS)
#define VELMORA_CBLAS(name) scipy_cblas_##name
#else
#define VELMORA_CBLAS(name) cblas_##name
#endif

namespace velmora::blas {

using Int = blasint;

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

inline void dgemv(CBLAS_ORDER order, CBLAS_TRANSPOSE trans, Int m, Int n, double alpha,
                  const double* a, Int lda, const double* x, Int incx, double beta, double* y,
                  Int incy) {
  VELMORA_CBLAS(dgemv)(order, trans, m, n, alpha, a, lda, x, incx, beta, y, incy);
}

inline void dgemm(CBLAS_ORDER order, CBLAS_TRANSPOSE trans_a, CBLAS_TRANSPOSE trans_b, Int m,
                  Int n, Int k, double alpha, const double* a, Int lda, const double* b, Int ldb,
                  double beta, double* c, Int ldc) {
  VELMORA_CBLAS(dgemm)(order, trans_a, trans_b, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
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

// Sum of x[i] * y[i]; the caller passes views of equal size.
[[nodiscard]] inline double dot(const VectorView& x, const VectorView& y) {
  const std::size_t n = std::min(x.size, y.size);
  double total = 0.0;
  if (usable_increment(x.stride) && usable_increment(y.stride)) {
    for (std::size_t done = 0; done < n;) {
      const std::size_t piece = std::min(n - done, max_count);
      const double* xs = x.base + static_cast<std::ptrdiff_t>(done) * x.stride;
      const double* ys = y.base + static_cast<std::ptrdiff_t>(done) * y.stride;
      total += VELMORA_CBLAS(ddot)(to_int(piece), vector_start(xs, piece, x.stride), to_int(x.stride),
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
