#pragma once
// Distribution function F, density f and density derivative f' of the two
// binary-choice links, and the standard normal distribution function used for
// every p-value.

#include <span>

namespace velmora {

enum class ModelKind { Logit, Probit };

[[nodiscard]] double link_cdf(ModelKind kind, double z);
[[nodiscard]] double link_pdf(ModelKind kind, double z);
[[nodiscard]] double link_pdf_derivative(ModelKind kind, double z);
[[nodiscard]] double standard_normal_cdf(double x);

// Element-wise forms over the linear predictors of a block of rows. `out`
// must have the length of `z`; it is written, `z` only read.
void link_cdf(ModelKind kind, std::span<const double> z, std::span<double> out);
void link_pdf(ModelKind kind, std::span<const double> z, std::span<double> out);
void link_pdf_derivative(ModelKind kind, std::span<const double> z, std::span<double> out);

}  // namespace velmora
