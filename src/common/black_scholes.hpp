// Closed-form Black-Scholes pieces shared by the accurate pricers: the normal
// density and distribution and the European price with a continuous yield.
#pragma once

#include "common/constants.hpp"

#include <cmath>

namespace orvelta {

inline double norm_pdf(double x) noexcept { return kInvSqrt2Pi * std::exp(-0.5 * x * x); }

// Phi(x) through erfc, accurate in both tails.
inline double norm_cdf(double x) noexcept { return 0.5 * std::erfc(-x * kInvSqrt2); }

// European price; call when `call`, else put. Requires s, k, sigma, tau > 0.
inline double black_scholes(double s, double k, double r, double q, double sigma, double tau,
                            bool call) noexcept {
    const double vol = sigma * std::sqrt(tau);
    const double d1 = (std::log(s / k) + (r - q) * tau) / vol + 0.5 * vol;
    const double d2 = d1 - vol;
    const double fs = s * std::exp(-q * tau);
    const double fk = k * std::exp(-r * tau);
    return call ? fs * norm_cdf(d1) - fk * norm_cdf(d2) : fk * norm_cdf(-d2) - fs * norm_cdf(-d1);
}

}  // namespace orvelta
