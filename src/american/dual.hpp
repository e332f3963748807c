// Forward-mode dual numbers: a value and its derivatives along N directions.
// The value part of every operation is the same IEEE operation as on plain
// doubles, so a computation templated on the scalar type yields bit for bit
// the same values whether or not derivatives are carried.
#pragma once

#include <cmath>

#include "common/black_scholes.hpp"

namespace orvelta::american {

template <int N>
struct Dual {
    double v = 0.0;
    double d[N] = {};

    Dual() = default;
    Dual(double value) : v(value) {}  // NOLINT: constants promote implicitly
};

inline double value(double x) noexcept { return x; }
template <int N>
inline double value(const Dual<N>& x) noexcept {
    return x.v;
}

// f(x) with f(x.v) = fx and f'(x.v) = dfx.
template <int N>
inline Dual<N> chain(const Dual<N>& x, double fx, double dfx) noexcept {
    Dual<N> r(fx);
    for (int i = 0; i < N; ++i) r.d[i] = dfx * x.d[i];
    return r;
}

template <int N>
inline Dual<N> operator+(const Dual<N>& a, const Dual<N>& b) noexcept {
    Dual<N> r(a.v + b.v);
    for (int i = 0; i < N; ++i) r.d[i] = a.d[i] + b.d[i];
    return r;
}
template <int N>
inline Dual<N> operator-(const Dual<N>& a, const Dual<N>& b) noexcept {
    Dual<N> r(a.v - b.v);
    for (int i = 0; i < N; ++i) r.d[i] = a.d[i] - b.d[i];
    return r;
}
template <int N>
inline Dual<N> operator-(const Dual<N>& a) noexcept {
    Dual<N> r(-a.v);
    for (int i = 0; i < N; ++i) r.d[i] = -a.d[i];
    return r;
}
template <int N>
inline Dual<N> operator*(const Dual<N>& a, const Dual<N>& b) noexcept {
    Dual<N> r(a.v * b.v);
    for (int i = 0; i < N; ++i) r.d[i] = a.d[i] * b.v + a.v * b.d[i];
    return r;
}
template <int N>
inline Dual<N> operator/(const Dual<N>& a, const Dual<N>& b) noexcept {
    Dual<N> r(a.v / b.v);
    const double inv = 1.0 / b.v;
    for (int i = 0; i < N; ++i) r.d[i] = (a.d[i] - r.v * b.d[i]) * inv;
    return r;
}
template <int N>
inline Dual<N> operator+(const Dual<N>& a, double b) noexcept {
    Dual<N> r = a;
    r.v = a.v + b;
    return r;
}
template <int N>
inline Dual<N> operator+(double a, const Dual<N>& b) noexcept {
    Dual<N> r = b;
    r.v = a + b.v;
    return r;
}
template <int N>
inline Dual<N> operator-(const Dual<N>& a, double b) noexcept {
    Dual<N> r = a;
    r.v = a.v - b;
    return r;
}
template <int N>
inline Dual<N> operator-(double a, const Dual<N>& b) noexcept {
    Dual<N> r(a - b.v);
    for (int i = 0; i < N; ++i) r.d[i] = -b.d[i];
    return r;
}
template <int N>
inline Dual<N> operator*(const Dual<N>& a, double b) noexcept {
    Dual<N> r(a.v * b);
    for (int i = 0; i < N; ++i) r.d[i] = a.d[i] * b;
    return r;
}
template <int N>
inline Dual<N> operator*(double a, const Dual<N>& b) noexcept {
    Dual<N> r(a * b.v);
    for (int i = 0; i < N; ++i) r.d[i] = a * b.d[i];
    return r;
}
template <int N>
inline Dual<N> operator/(const Dual<N>& a, double b) noexcept {
    Dual<N> r(a.v / b);
    for (int i = 0; i < N; ++i) r.d[i] = a.d[i] / b;
    return r;
}
template <int N>
inline Dual<N> operator/(double a, const Dual<N>& b) noexcept {
    Dual<N> r(a / b.v);
    const double f = -r.v / b.v;
    for (int i = 0; i < N; ++i) r.d[i] = f * b.d[i];
    return r;
}
template <int N, class U>
inline Dual<N>& operator+=(Dual<N>& a, const U& b) noexcept {
    return a = a + b;
}

template <int N>
inline Dual<N> exp(const Dual<N>& x) noexcept {
    const double e = std::exp(x.v);
    return chain(x, e, e);
}
template <int N>
inline Dual<N> log(const Dual<N>& x) noexcept {
    return chain(x, std::log(x.v), 1.0 / x.v);
}
template <int N>
inline Dual<N> sqrt(const Dual<N>& x) noexcept {
    const double s = std::sqrt(x.v);
    return chain(x, s, s > 0.0 ? 0.5 / s : 0.0);
}
using std::exp;
using std::log;
using std::sqrt;

// Normal density and distribution for either scalar type.
inline double npdf(double x) noexcept { return norm_pdf(x); }
inline double ncdf(double x) noexcept { return norm_cdf(x); }
template <int N>
inline Dual<N> npdf(const Dual<N>& x) noexcept {
    const double p = norm_pdf(x.v);
    return chain(x, p, -x.v * p);
}
template <int N>
inline Dual<N> ncdf(const Dual<N>& x) noexcept {
    return chain(x, norm_cdf(x.v), norm_pdf(x.v));
}

}  // namespace orvelta::american
