// Array forms of the vector-math layer, each through the instruction-set
// build the processor runs (common/dispatch.hpp); every build gives the same
// bits. For loops that gather their arguments first and then evaluate them in
// one pass.
#pragma once

namespace orvelta {

// out[i] = e^x[i] for i < n, x[i] clamped to [-700, 700] first (NaN stays
// NaN). `out` may be `x`.
void exp_array(const double* x, int n, double* out) noexcept;

// out[i] = N(x[i]), the standard normal distribution, for i < n. `out` may be `x`.
void ncdf_array(const double* x, int n, double* out) noexcept;

// out[i] = c[0] + sum of c[j] T_j(x[i]) over 1 <= j < m, the Chebyshev series
// with coefficients c at x[i] in [-1, 1] (Clenshaw's recurrence), for i < n.
// `out` may be `x`.
void chebyshev_array(const double* c, int m, const double* x, int n, double* out) noexcept;

}  // namespace orvelta
