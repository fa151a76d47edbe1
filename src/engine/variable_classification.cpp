#include "engine/variable_classification.hpp"

#include <algorithm>
#include <string>

#include "engine/ascii_case.hpp"
#include "engine/internal_failure.hpp"

namespace velmora {
namespace {

bool contains(std::span<const std::size_t> list, std::size_t value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

}  // namespace

bool is_intercept_name(std::string_view name) {
  return equals_ignoring_ascii_case(name, "const") || equals_ignoring_ascii_case(name, "intercept");
}

bool is_dummy_column(const MatrixView& X, std::size_t j,
                     std::span<const std::size_t> intercept_indices) {
  if (contains(intercept_indices, j)) {
    return false;
  }
  if (j >= X.cols) {
    throw InternalFailure("column index " + std::to_string(j) +
                          " is out of range for a design matrix with " + std::to_string(X.cols) +
                          " columns");
  }
  const VectorView column = X.column(j);
  for (std::size_t r = 0; r < column.size; ++r) {
    const double value = column[r];
    if (!(value == 0.0 || value == 1.0)) {
      return false;
    }
  }
  return true;
}

std::vector<std::size_t> build_intercept_indices(std::span<const std::string> names) {
  std::vector<std::size_t> indices;
  for (std::size_t p = 0; p < names.size(); ++p) {
    if (is_intercept_name(names[p])) {
      indices.push_back(p);
    }
  }
  return indices;
}

std::vector<std::size_t> build_dummy_indices(std::span<const std::string> names,
                                             const MatrixView& X,
                                             std::span<const std::size_t> intercept_indices) {
  std::vector<std::size_t> indices;
  for (std::size_t p = 0; p < names.size(); ++p) {
    if (is_dummy_column(X, p, intercept_indices)) {
      indices.push_back(p);
    }
  }
  return indices;
}

}  // namespace velmora
