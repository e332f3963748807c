// Closed forms at the edges of the accurate American pricer's domain, all for
// the put form with r > 0: the perpetual put, the zero-volatility value, and
// the early-exercise premium earned below a constant exercise boundary over
// a span of time. The last gives, for any boundary that lies between two
// constants, bounds on the premium that the fitted boundary would give: a
// put's boundary lies between its perpetual level and min(k, k r / q), and
// the premium integrand grows with the boundary below that cap.
#include "american/put.hpp"

#include "common/black_scholes.hpp"

#include <cmath>

namespace orvelta::american {

// e^{x^2} erfc(x) for x >= 0 (and moderately negative x).
double erfcx_value(double x) noexcept {
    if (x < 26.0) return std::exp(x * x) * std::erfc(x);
    // Asymptotic series; beyond x = 26 its eighth term is below 2e-17.
    const double y = 1.0 / (2.0 * x * x);
    double term = 1.0, sum = 1.0;
    for (int j = 1; j <= 7; ++j) {
        term *= -(2.0 * j - 1.0) * y;
        sum += term;
    }
    return sum / (x * std::sqrt(kPi));
}

namespace {

// e^{-rate t}, 1 at rate 0 whatever t (also t = inf).
template <class T>
T discount(const T& rate, double t) {
    if (value(rate) == 0.0) return T(1.0);
    return exp(-rate * t);
}

}  // namespace

// Integrals over t in [0, span] of beta e^{-beta t} N(-w), e^{-beta t} (x / sigma)
// t^{-3/2} n(w) and e^{-beta t} t^{-1/2} n(w), where w = (x + nu t) / (sigma sqrt t):
// the probability that ln S_t, drifting at nu from 0, lies below -x, and the
// first-passage density of that level, discounted at beta. Needs x > 0,
// beta >= 0 or nu + sigma^2 > 0 (so that g below is real and g + nu >= 0).
// Every large exponential is formed with its Gaussian partner (through erfcx),
// so that nothing overflows for small sigma or long spans.
template <class T>
PassageIntegrals<T> passage_integrals(const T& x, const T& nu, const T& beta, const T& sigma,
                                      double span) {
    const T s2 = sigma * sigma;
    const T g = sqrt(nu * nu + 2.0 * beta * s2);
    T gpn, gmn;  // g + nu and g - nu, each without cancellation
    if (value(nu) >= 0.0) {
        gpn = g + nu;
        gmn = 2.0 * beta * s2 / gpn;
    } else {
        gmn = g - nu;
        gpn = 2.0 * beta * s2 / gmn;
    }
    PassageIntegrals<T> out;
    if (!(span < 1e300)) {
        // Span without end (beta > 0): only the passage term survives.
        const T pb = exp(-x * gpn / s2);
        out.i = 0.5 * (gmn / g) * pb;
        out.j1 = pb;
        out.j2 = sigma * pb / g;
        return out;
    }
    const double sq = std::sqrt(span);
    const T vs = sigma * sq;
    const T w = (x + nu * span) / vs;
    const T log_gauss = -0.5 * w * w - beta * span;
    const T gauss = exp(log_gauss);
    const T za = (x + g * span) / vs;
    const T pa = 0.5 * erfcx(za * kInvSqrt2) * gauss;
    const T zb = (x - g * span) / vs;
    const T pb =
        value(zb) > 0.0 ? 0.5 * erfcx(zb * kInvSqrt2) * gauss : exp(-x * gpn / s2) * ncdf(-zb);
    const T end =
        value(w) > 0.0 ? 0.5 * erfcx(w * kInvSqrt2) * gauss : discount(beta, span) * ncdf(-w);
    out.i = 0.5 * ((gpn / g) * pa + (gmn / g) * pb) - end;
    out.j1 = pa + pb;
    out.j2 = sigma * (pb - pa) / g;
    return out;
}

// Premium of put (k, r, q, sigma) at spot s earned below the constant
// boundary e^{ln_b} (ln s > ln_b) over t in [0, span]:
// int e^{-r t} E[(r k - q S_t) 1{S_t < b}] dt; optionally its first and second
// derivatives in s.
template <class T>
T constant_boundary_premium(double s, double k, const T& r, const T& q, const T& sigma,
                            const T& ln_b, double span, double* delta, double* gamma) {
    const T x = std::log(s) - ln_b;
    const T s2 = sigma * sigma;
    const T nu = r - q - 0.5 * s2;
    const PassageIntegrals<T> pr = passage_integrals(x, nu, r, sigma, span);
    T prem = k * pr.i;
    PassageIntegrals<T> pq{};
    const bool dividends = value(q) != 0.0;
    if (dividends) {
        pq = passage_integrals(x, nu + s2, q, sigma, span);
        prem = prem - s * pq.i;
    }
    if (delta) {
        const double sv = value(sigma);
        const double c = value(r) * k - value(q) * std::exp(value(ln_b));
        const double iq = dividends ? value(pq.i) : 0.0;
        const double jq = dividends ? value(pq.j2) : 0.0;
        *delta = -c / (s * sv) * value(pr.j2) - iq;
        *gamma = c / (sv * s * s) *
                     (value(pr.j2) + (value(pr.j1) + value(nu) / sv * value(pr.j2)) / sv) +
                 value(q) * jq / (s * sv);
    }
    return prem;
}

// The negative root of sigma^2 / 2 l (l - 1) + (r - q) l - r = 0 (r > 0).
template <class T>
T perpetual_exponent(const T& r, const T& q, const T& sigma) {
    const T s2 = sigma * sigma;
    const T nu = r - q - 0.5 * s2;
    const T root = sqrt(nu * nu + 2.0 * r * s2);
    if (value(nu) >= 0.0) return -(nu + root) / s2;
    return -2.0 * r / (root - nu);
}

template <class T>
T perpetual_boundary(double k, const T& r, const T& q, const T& sigma) {
    const T l = perpetual_exponent(r, q, sigma);
    return k * l / (l - 1.0);
}

// Perpetual American put (r > 0); optionally its delta and gamma.
template <class T>
T perpetual_put(double s, double k, const T& r, const T& q, const T& sigma, double* delta,
                double* gamma) {
    const T l = perpetual_exponent(r, q, sigma);
    const T b = k * l / (l - 1.0);
    if (!(s > value(b))) {
        if (delta) {
            *delta = -1.0;
            *gamma = 0.0;
        }
        return T(k - s);
    }
    const T v = (k / (1.0 - l)) * exp(l * (std::log(s) - log(b)));
    if (delta) {
        const double lv = value(l), vv = value(v);
        *delta = lv * vv / s;
        *gamma = lv * (lv - 1.0) * vv / (s * s);
    }
    return v;
}

// Zero-volatility value of the put: the best of exercising now, at expiry or
// at the date where k e^{-r t} - s e^{-q t} peaks; tau may be infinite.
template <class T>
T zero_vol_put(double s, double k, const T& r, const T& q, double tau, double* delta,
               double* gamma) {
    auto value_at = [&](double t) { return k * discount(r, t) - s * discount(q, t); };
    double t_best = 0.0;
    T best = T(k - s);
    auto consider = [&](double t) {
        const T v = value_at(t);
        if (value(v) > value(best)) {
            best = v;
            t_best = t;
        }
    };
    if (tau < kInf || (value(r) > 0.0 && value(q) >= 0.0)) consider(tau);
    const double rv = value(r), qv = value(q);
    if (rv != qv && rv != 0.0) {
        const double ratio = qv * s / (rv * k);
        if (ratio > 0.0) {
            const double t = std::log(ratio) / (qv - rv);
            if (t > 0.0 && t < tau) consider(t);
        }
    }
    if (delta) {
        *delta = value(best) > 0.0 ? -value(discount(q, t_best)) : 0.0;
        *gamma = 0.0;
    }
    if (!(value(best) > 0.0)) return T(0.0);
    return best;
}

#define ORVELTA_LIMITS(T)                                                                        \
    template PassageIntegrals<T> passage_integrals(const T&, const T&, const T&, const T&,       \
                                                   double);                                      \
    template T constant_boundary_premium(double, double, const T&, const T&, const T&, const T&, \
                                         double, double*, double*);                              \
    template T perpetual_boundary(double, const T&, const T&, const T&);                         \
    template T perpetual_put(double, double, const T&, const T&, const T&, double*, double*);    \
    template T zero_vol_put(double, double, const T&, const T&, double, double*, double*);
ORVELTA_LIMITS(double)
ORVELTA_LIMITS(Dual<1>)
ORVELTA_LIMITS(Dual<2>)
#undef ORVELTA_LIMITS

}  // namespace orvelta::american
