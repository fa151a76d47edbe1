#pragma once
// What the model reader hands to the numerical core: plain views into the
// caller's arrays (never copies) and into the reader's copies of the
// regressor names. Column j
// of X, beta[j], row and column j of V and names[j] belong to regressor j;
// the reader does not compare their sizes, the core checks them where used.

#include <span>
#include <string>

#include "engine/link_functions.hpp"
#include "engine/strided_view.hpp"

namespace velmora {

struct ModelInputs {
  ModelKind kind = ModelKind::Logit;
  VectorView beta;
  MatrixView V;
  MatrixView X;  // n observations by k regressors
  std::span<const std::string> names;
};

}  // namespace velmora
