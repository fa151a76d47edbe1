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

// Element-wise forms over the linear predictors of a block of rows. Outputs
// must have the length of `z`; they are written, `z` only read. Where the
// build has a vector math library these run several elements per instruction.
// They agree with the scalar forms to a few units in the last place (the
// Probit F, whose erfc is not the C library's, to 2e-15 relative); limits,
// signed zeros and NaN are the same.
void link_cdf(ModelKind kind, std::span<const double> z, std::span<double> out);
void link_pdf(ModelKind kind, std::span<const double> z, std::span<double> out);
void link_pdf_derivative(ModelKind kind, std::span<const double> z, std::span<double> out);

// F and f of the same predictors; for Logit both come from one exponential.
void link_cdf_and_pdf(ModelKind kind, std::span<const double> z, std::span<double> cdf,
                      std::span<double> pdf);

// The Logit F and f of the predictors whose exponentials exp(z) are `g`,
// exactly as link_cdf_and_pdf computes them from its own exponential.
void logit_cdf_and_pdf_of_exp(std::span<const double> g, std::span<double> cdf,
                              std::span<double> pdf);

// exp(z) into `g` and the Logit F and f of z from it, as exp and
// logit_cdf_and_pdf_of_exp would give them, in one loop.
void logit_exp_cdf_and_pdf(std::span<const double> z, std::span<double> g, std::span<double> cdf,
                           std::span<double> pdf);

}  // namespace velmora
