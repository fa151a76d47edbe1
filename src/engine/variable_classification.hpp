#pragma once
// Sorting the regressors into intercepts (by name), dummies (columns holding
// only 0 and 1) and continuous regressors (all others, listed nowhere).

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/interruption.hpp"
#include "engine/strided_view.hpp"

namespace velmora {

// "const" or "intercept" in any letter case, the whole name and nothing else.
[[nodiscard]] bool is_intercept_name(std::string_view name);

// Whether column j holds only values equal to 0.0 or 1.0 (exact, so -0.0
// passes and NaN does not); intercept columns are never dummies and are not
// read. Throws InternalFailure when j is not a column of X.
[[nodiscard]] bool is_dummy_column(const MatrixView& X, std::size_t j,
                                   std::span<const std::size_t> intercept_indices);

// Ascending positions of the intercept names.
[[nodiscard]] std::vector<std::size_t> build_intercept_indices(std::span<const std::string> names);

// Throws InternalFailure when a name that is not an intercept's stands at a
// position with no column among the `columns` of the design matrix; the
// classification reads the column of every such name.
void require_column_per_name(std::span<const std::string> names, std::size_t columns,
                             std::span<const std::size_t> intercept_indices);

// Ascending positions p of `names` whose column of X is a dummy. X is read in
// full, whatever the chunk size of the accumulation. With a `poller` the scan
// reports the elements it reads to it, so a scan of a large X can be stopped
// (Interrupted is thrown from the poll).
[[nodiscard]] std::vector<std::size_t> build_dummy_indices(
    std::span<const std::string> names, const MatrixView& X,
    std::span<const std::size_t> intercept_indices, InterruptionPoller* poller = nullptr);

// Rows read to guess the dummies before a pass over all rows checks the
// guess as it reads each block (a scan of all of X first would read it from
// memory twice).
inline constexpr std::size_t classification_sample_rows = 4096;

// build_dummy_indices over the first classification_sample_rows rows of X.
[[nodiscard]] std::vector<std::size_t> guess_dummy_indices(
    std::span<const std::string> names, const MatrixView& X,
    std::span<const std::size_t> intercept_indices);

}  // namespace velmora
