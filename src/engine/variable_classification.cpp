#include "engine/variable_classification.hpp"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "engine/ascii_case.hpp"
#include "engine/index_list.hpp"
#include "engine/internal_failure.hpp"

namespace velmora {
namespace {

bool passes_dummy_test(double value) { return value == 0.0 || value == 1.0; }

// Rows of one column scanned between two reports to the poller.
constexpr std::size_t rows_between_reports = std::size_t{1} << 14;

// Whether all of column j is 0/1, reporting the work to `poller` (if any) at
// least every rows_between_reports rows.
bool column_is_binary(const MatrixView& X, std::size_t j, InterruptionPoller* poller) {
  const VectorView column = X.column(j);
  for (std::size_t first = 0; first < column.size; first += rows_between_reports) {
    const std::size_t last = std::min(column.size, first + rows_between_reports);
    for (std::size_t r = first; r < last; ++r) {
      if (!passes_dummy_test(column[r])) {
        return false;
      }
    }
    if (poller != nullptr) {
      poller->add_work(last - first);
    }
  }
  return true;
}

void require_column(std::size_t columns, std::size_t j) {
  if (j >= columns) {
    throw InternalFailure("column index " + std::to_string(j) +
                          " is out of range for a design matrix with " + std::to_string(columns) +
                          " columns");
  }
}

}  // namespace

bool is_intercept_name(std::string_view name) {
  return equals_ignoring_ascii_case(name, "const") || equals_ignoring_ascii_case(name, "intercept");
}

bool is_dummy_column(const MatrixView& X, std::size_t j,
                     std::span<const std::size_t> intercept_indices) {
  if (contains_index(intercept_indices, j)) {
    return false;
  }
  require_column(X.cols, j);
  return column_is_binary(X, j, nullptr);
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

void require_column_per_name(std::span<const std::string> names, std::size_t columns,
                             std::span<const std::size_t> intercept_indices) {
  for (std::size_t p = 0; p < names.size(); ++p) {
    if (!contains_index(intercept_indices, p)) {
      require_column(columns, p);
    }
  }
}

std::vector<std::size_t> guess_dummy_indices(std::span<const std::string> names,
                                             const MatrixView& X,
                                             std::span<const std::size_t> intercept_indices) {
  return build_dummy_indices(names, X.row_block(0, std::min(X.rows, classification_sample_rows)),
                             intercept_indices);
}

std::vector<std::size_t> build_dummy_indices(std::span<const std::string> names,
                                             const MatrixView& X,
                                             std::span<const std::size_t> intercept_indices,
                                             InterruptionPoller* poller) {
  require_column_per_name(names, X.cols, intercept_indices);
  std::vector<std::size_t> candidates;
  for (std::size_t p = 0; p < names.size(); ++p) {
    if (!contains_index(intercept_indices, p)) {
      candidates.push_back(p);
    }
  }
  const auto row_distance = static_cast<std::size_t>(std::abs(X.row_stride));
  const auto column_distance = static_cast<std::size_t>(std::abs(X.col_stride));
  if (row_distance <= column_distance) {
    // Columns are contiguous: one column after the other, each scan stopping
    // at its first value that is neither 0 nor 1.
    std::erase_if(candidates, [&](std::size_t j) { return !column_is_binary(X, j, poller); });
    return candidates;
  }
  // Rows are contiguous: scanning a column would read every cache line of X
  // again, so all candidates are tested together, row by row, each dropped at
  // its first failing value, until none is left.
  std::vector<std::size_t> undecided = candidates;
  std::vector<std::size_t> failed;
  for (std::size_t r = 0; r < X.rows && !undecided.empty(); ++r) {
    if (poller != nullptr) {
      poller->add_work(undecided.size());
    }
    bool any_failed = false;
    for (const std::size_t j : undecided) {
      any_failed = any_failed || !passes_dummy_test(X(r, j));
    }
    if (any_failed) {
      std::erase_if(undecided, [&](std::size_t j) {
        const bool fails = !passes_dummy_test(X(r, j));
        if (fails) {
          failed.push_back(j);
        }
        return fails;
      });
    }
  }
  std::erase_if(candidates, [&](std::size_t j) { return contains_index(failed, j); });
  return candidates;
}

}  // namespace velmora
