#pragma once
// Vectors of doubles of an explicit width, for the loops that each
// instruction set's version compiles at its registers' width (8 doubles for
// AVX-512, 4 for AVX2, 2 for the baseline and NEON). Both GCC and Clang
// compile these to the same vector instructions, where each compiler's own
// vectoriser takes the plain loops differently.

#include <cstddef>
#include <cstdint>

namespace velmora {

template <std::size_t N>
struct Pack {
  using type [[gnu::vector_size(N * sizeof(double))]] = double;
  // The bits of N doubles (a cast between the two reinterprets), and the
  // type of a comparison of two `type`s: all ones where it holds.
  using bits [[gnu::vector_size(N * sizeof(std::int64_t))]] = std::int64_t;
  // The same at any address of a double, for loads from X: a memcpy into a
  // vector was split into 16-byte moves through the stack at width 4.
  using unaligned
      [[gnu::vector_size(N * sizeof(double)), gnu::aligned(sizeof(double)), gnu::may_alias]] =
          double;
};

// Through a reference: a vector returned by value would change the ABI
// between the instruction sets' versions.
template <class Vec>
[[gnu::always_inline]] inline void load(Vec& into, const double* from) {
  using Unaligned = typename Pack<sizeof(Vec) / sizeof(double)>::unaligned;
  into = *reinterpret_cast<const Unaligned*>(from);
}

template <class Vec>
[[gnu::always_inline]] inline void store(double* to, const Vec& from) {
  using Unaligned = typename Pack<sizeof(Vec) / sizeof(double)>::unaligned;
  *reinterpret_cast<Unaligned*>(to) = from;
}

}  // namespace velmora
