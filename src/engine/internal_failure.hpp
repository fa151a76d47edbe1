#pragma once
// Broken internal invariants. The numerical core throws InternalFailure when a
// check fails (an index beyond a list, matrices of incompatible shapes); the
// entry point turns it into a raised PanicException. Nothing here knows Python.

#include <cstddef>
#include <source_location>
#include <span>
#include <stdexcept>
#include <string>

namespace velmora {

class InternalFailure : public std::runtime_error {
 public:
  explicit InternalFailure(const std::string& message,
                           std::source_location where = std::source_location::current())
      : std::runtime_error(message), where_(where) {}

  // Where the failed check sits in the source, for the diagnostic on stderr.
  [[nodiscard]] const std::source_location& where() const noexcept { return where_; }

 private:
  std::source_location where_;
};

// The message a caller sees for an index beyond a list.
[[nodiscard]] inline std::string index_out_of_bounds_message(std::size_t len, std::size_t index) {
  return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
         std::to_string(index);
}

// Bounds-checked element access for lists whose length comes from the caller's data.
template <class T>
[[nodiscard]] const T& checked_at(std::span<const T> list, std::size_t index,
                                  std::source_location where = std::source_location::current()) {
  if (index >= list.size()) {
    throw InternalFailure(index_out_of_bounds_message(list.size(), index), where);
  }
  return list[index];
}

}  // namespace velmora
