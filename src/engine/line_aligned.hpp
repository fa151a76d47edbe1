#pragma once
// Working arrays of the pass that start on a cache line, so that the vector
// loads and stores of the element loops never straddle two lines.

#include <cstddef>
#include <new>
#include <vector>

namespace velmora {

template <class T>
struct LineAligned {
  using value_type = T;
  static constexpr std::align_val_t alignment{64};
  LineAligned() = default;
  template <class U>
  explicit LineAligned(const LineAligned<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), alignment)); }
  void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, alignment); }
  friend bool operator==(const LineAligned&, const LineAligned&) { return true; }
};
using BlockArray = std::vector<double, LineAligned<double>>;

}  // namespace velmora
