#pragma once
// Membership in the short ascending column-index lists of the classification;
// they are never longer than the names list, so a linear scan is enough.

#include <algorithm>
#include <cstddef>
#include <span>

namespace velmora {

[[nodiscard]] inline bool contains_index(std::span<const std::size_t> list, std::size_t index) {
  return std::find(list.begin(), list.end(), index) != list.end();
}

}  // namespace velmora
