// The block loops at every vector width against direct sums: the running CPU
// uses one width only, so the others would otherwise go unchecked here.

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

#include "engine/block_products.hpp"

namespace velmora {
namespace {

TEST(BlockProducts, EveryWidthMatchesDirectSums) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> normal;
  // Column counts across every tile and its remainders, row counts across
  // the lanes, and from one to seven weight columns (two sweeps and a rest).
  for (const std::size_t k : {1u, 2u, 3u, 5u, 7u, 12u, 16u, 19u, 20u, 31u, 37u}) {
    for (const std::size_t m : {1u, 3u, 8u, 13u, 33u, 64u}) {
      const std::size_t weight_columns = 1 + (k + m) % 7;
      std::vector<double> x(m * (k + 3)), weights(m * weight_columns), beta(k);
      for (double& v : x) v = normal(rng);
      for (double& v : weights) v = normal(rng);
      for (double& v : beta) v = normal(rng);
      const auto padded = static_cast<std::ptrdiff_t>(k + 3);
      // Rows contiguous with room between them, and columns contiguous.
      const MatrixView layouts[] = {{x.data(), m, k, padded, 1},
                                    {x.data(), m, k, 1, static_cast<std::ptrdiff_t>(m)}};
      for (const MatrixView& block : layouts) {
        std::vector<double> want_products(k * weight_columns), want_xb(m);
        for (std::size_t r = 0; r < m; ++r) {
          for (std::size_t l = 0; l < k; ++l) {
            want_xb[r] += block(r, l) * beta[l];
            for (std::size_t w = 0; w < weight_columns; ++w) {
              want_products[w * k + l] += block(r, l) * weights[w * m + r];
            }
          }
        }
        for (const std::size_t width : {2u, 4u, 8u}) {
          SCOPED_TRACE(testing::Message() << "k " << k << ", m " << m << ", width " << width
                                          << ", row stride " << block.row_stride);
          std::vector<double> products(k * weight_columns, 1.0), xb(m);
          ASSERT_TRUE(add_block_products_at_width(width, block, weights.data(), m, weight_columns,
                                                  products.data()));
          ASSERT_TRUE(block_linear_index_at_width(width, block, beta.data(), xb.data()));
          for (std::size_t e = 0; e < products.size(); ++e) {
            EXPECT_NEAR(products[e], 1.0 + want_products[e], 1e-12 * (1.0 + std::sqrt(m)));
          }
          for (std::size_t r = 0; r < m; ++r) {
            EXPECT_NEAR(xb[r], want_xb[r], 1e-12 * (1.0 + std::sqrt(k)));
          }
        }
      }
    }
  }
  // Neither rows nor columns contiguous: left to the caller.
  double cell = 0.0;
  EXPECT_FALSE(add_block_products_at_width(8, {&cell, 1, 1, 2, 2}, &cell, 1, 1, &cell));
  EXPECT_FALSE(block_linear_index_at_width(4, {&cell, 1, 1, 2, 2}, &cell, &cell));
}

}  // namespace
}  // namespace velmora
