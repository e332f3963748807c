// The boundary sweeps' vector passes for either scalar type: exponentials,
// the normal distribution and Chebyshev sums over arrays of points. With
// derivative directions (Dual) the values go through the vector pass
// unchanged, so a price and its Greeks share their bits, and the derivatives
// follow by the chain rule; the Clenshaw sum is linear in the coefficients,
// so each direction is the sum over that direction's coefficients.
#pragma once

#include "american/american.hpp"
#include "american/dual.hpp"
#include "common/constants.hpp"
#include "common/vector_math.hpp"

#include <cstddef>
#include <vector>

namespace orvelta::american {

// h[p] = sum_j coef[j] T_j(x[p]) for p < count (first and last coefficients
// already halved), degree n <= kMaxNodes, by the Clenshaw recurrence; per
// point the operations and their order are those of the scalar recurrence
// in Boundary::ln_b, on every instruction-set build.
void clenshaw_array(const double* coef, int n, const double* x, int count, double* h) noexcept;

inline void exp_many(const double* x, int n, double* out) noexcept { exp_array(x, n, out); }

template <int N>
void exp_many(const Dual<N>* x, int n, Dual<N>* out) {
    static thread_local std::vector<double> e;
    if (e.size() < static_cast<std::size_t>(n)) e.resize(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) e[i] = x[i].v;
    exp_array(e.data(), n, e.data());
    for (int i = 0; i < n; ++i) out[i] = chain(x[i], e[i], e[i]);
}

inline void ncdf_many(const double* x, int n, double* out) noexcept { ncdf_array(x, n, out); }

template <int N>
void ncdf_many(const Dual<N>* x, int n, Dual<N>* out) {
    static thread_local std::vector<double> c, e;
    if (c.size() < static_cast<std::size_t>(n)) c.resize(static_cast<std::size_t>(n));
    if (e.size() < static_cast<std::size_t>(n)) e.resize(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        c[i] = x[i].v;
        e[i] = -0.5 * (x[i].v * x[i].v);
    }
    ncdf_array(c.data(), n, c.data());
    exp_array(e.data(), n, e.data());
    for (int i = 0; i < n; ++i) out[i] = chain(x[i], c[i], kInvSqrt2Pi * e[i]);
}

inline void clenshaw_many(const double* coef, int n, const double* x, int count,
                          double* h) noexcept {
    clenshaw_array(coef, n, x, count, h);
}

template <int N>
void clenshaw_many(const Dual<N>* coef, int n, const double* x, int count, Dual<N>* h) {
    static thread_local std::vector<double> part;
    if (part.size() < static_cast<std::size_t>(count)) part.resize(static_cast<std::size_t>(count));
    double c[kMaxNodes + 1];
    for (int dir = -1; dir < N; ++dir) {
        for (int j = 0; j <= n; ++j) c[j] = dir < 0 ? coef[j].v : coef[j].d[dir];
        clenshaw_array(c, n, x, count, part.data());
        for (int p = 0; p < count; ++p) {
            if (dir < 0) {
                h[p] = Dual<N>(part[p]);
            } else {
                h[p].d[dir] = part[p];
            }
        }
    }
}

}  // namespace orvelta::american
