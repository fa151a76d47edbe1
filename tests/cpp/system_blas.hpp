#pragma once
// The tests of the core hand it the system's OpenBLAS through the same
// Fortran-style interface that the module takes from SciPy.

#include "engine/blas.hpp"

extern "C" {
velmora::blas::Ddot ddot_;
velmora::blas::Dgemm dgemm_;
}

namespace velmora {

inline const blas::Routines& system_blas() {
  static const blas::Routines routines{ddot_, dgemm_};
  return routines;
}

}  // namespace velmora
