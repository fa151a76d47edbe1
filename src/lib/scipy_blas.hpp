#pragma once
// The BLAS routines the core calls, taken from SciPy's Cython BLAS
// (scipy.linalg.cython_blas), so that velmora shares the process's one BLAS
// and its thread pool instead of loading its own.

#include "engine/blas.hpp"

namespace velmora {

// Looked up at the first call that succeeds and kept for the life of the
// process, as NumPy's API table is. Throws PythonErrorSet with ImportError
// naming what is missing when SciPy cannot be imported, lacks a routine or
// exports one with another signature.
[[nodiscard]] const blas::Routines& scipy_blas_routines();

}  // namespace velmora
