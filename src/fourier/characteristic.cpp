// Characteristic functions of x = ln S_T for the five models. Each one carries
// its martingale correction in the drift, so phi(-i) = s * exp((r - q) * T)
// (for variance gamma only while its A term stays above the floor).
#include "fourier/fourier.hpp"

#include <cmath>
#include <cstddef>

namespace orvelta::fourier {

namespace {

// i * u, exactly.
inline cplx times_i(cplx u) noexcept { return {-u.imag(), u.real()}; }

// Entry j of the parameter range, or the model's default when it is missing.
inline double entry(const double* p, std::ptrdiff_t n, std::ptrdiff_t j, double fallback) noexcept {
    return j < n ? p[j] : fallback;
}

// Raise x to the bound when it lies below it; NaN passes unchanged.
inline double floor_at(double x, double bound) noexcept { return x < bound ? bound : x; }

// Defaults of the jump part shared by the Merton and Bates models.
constexpr double kLambdaDefault = 0.3;
constexpr double kMuJDefault = -0.05;
constexpr double kDeltaJDefault = 0.2;

// Lognormal (and Merton, whose jump part is added to the exponent).
cplx lognormal(const double* p, std::ptrdiff_t n, cplx u, double s, double r, double q,
               double tau) noexcept {
    const double sigma = entry(p, n, 0, 0.2);
    const double half_var = 0.5 * sigma * sigma;
    const cplx iu = times_i(u);
    const cplx u2 = u * u;
    const double x0 = std::log(s);
    return std::exp(iu * (x0 + (r - q - half_var) * tau) - half_var * u2 * tau);
}

cplx merton(const double* p, std::ptrdiff_t n, cplx u, double s, double r, double q,
            double tau) noexcept {
    const double sigma = entry(p, n, 0, 0.2);
    const double lambda = entry(p, n, 1, kLambdaDefault);
    const double mu_j = entry(p, n, 2, kMuJDefault);
    const double delta_j = entry(p, n, 3, kDeltaJDefault);
    const double half_var = 0.5 * sigma * sigma;
    const double half_jump_var = 0.5 * delta_j * delta_j;
    const double kappa_j = std::exp(mu_j + half_jump_var) - 1.0;
    const cplx iu = times_i(u);
    const cplx u2 = u * u;
    const double x0 = std::log(s);
    const cplx jump = std::exp(iu * mu_j - half_jump_var * u2);
    return std::exp(iu * (x0 + (r - q - lambda * kappa_j - half_var) * tau) - half_var * u2 * tau +
                    lambda * tau * (jump - 1.0));
}

cplx variance_gamma(const double* p, std::ptrdiff_t n, cplx u, double s, double r, double q,
                    double tau) noexcept {
    const double sigma = entry(p, n, 0, 0.2);
    const double theta = entry(p, n, 1, -0.08);
    const double nu = n > 2 ? floor_at(p[2], 1e-6) : 0.2;
    const double half_var = 0.5 * sigma * sigma;
    // A = 1 - theta nu - sigma^2 nu / 2 must stay positive for the drift
    // correction ln(A) / nu; the floor keeps it finite.
    double A = 1.0 - theta * nu - half_var * nu;
    if (A < 1e-8) A = 1e-8;
    const double omega = std::log(A) / nu;
    const cplx iu = times_i(u);
    const cplx u2 = u * u;
    const double x0 = std::log(s);
    const cplx base = 1.0 - iu * theta * nu + half_var * nu * u2;
    return std::exp(iu * (x0 + (r - q + omega) * tau)) * complex_pow(base, -tau / nu);
}

cplx bates(const double* p, std::ptrdiff_t n, cplx u, double s, double r, double q,
           double tau) noexcept {
    // The diffusion entries are read from a five-entry copy padded with zeros,
    // so missing ones become the Heston floors, never the Heston defaults.
    double h[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
    for (std::ptrdiff_t j = 0; j < n && j < 5; ++j) h[j] = p[j];
    const double lambda = entry(p, n, 5, kLambdaDefault);
    const double mu_j = entry(p, n, 6, kMuJDefault);
    const double half_jump_var = n > 7 ? 0.5 * p[7] * p[7] : 0.5 * kDeltaJDefault * kDeltaJDefault;
    const double kappa_j = std::exp(mu_j + half_jump_var) - 1.0;
    const cplx iu = times_i(u);
    const cplx u2 = u * u;
    const cplx jump = std::exp(iu * mu_j - half_jump_var * u2);
    return heston_characteristic(h, h + 5, u, s, r, q, tau, -lambda * kappa_j) *
           std::exp(lambda * tau * (jump - 1.0));
}

}  // namespace

cplx complex_pow(cplx z, double p) noexcept {
    if (z.imag() == 0.0 && z.real() > 0.0) return {std::pow(z.real(), p), 0.0};
    const cplx w = std::log(z);
    const double modulus = std::exp(p * w.real());
    const double angle = p * w.imag();
    return {modulus * std::cos(angle), modulus * std::sin(angle)};
}

cplx heston_characteristic(const double* begin, const double* end, cplx u, double s, double r,
                           double q, double tau, double extra_drift) noexcept {
    const std::ptrdiff_t n = end - begin;
    const double v0 = n > 0 ? floor_at(begin[0], 1e-8) : 0.04;
    const double kappa = n > 1 ? floor_at(begin[1], 1e-8) : 2.0;
    const double theta = n > 2 ? floor_at(begin[2], 1e-8) : 0.04;
    double sigma_v = 0.6;
    double ss = 0.6 * 0.6;
    if (n > 3) {
        sigma_v = begin[3];
        if (sigma_v < 1e-8) {
            // A vanishing vol of vol would divide by zero below.
            sigma_v = 1e-8;
            ss = 1e-16;
        } else {
            ss = sigma_v * sigma_v;
        }
    }
    double rho = -0.5;
    if (n > 4) {
        rho = begin[4];
        if (rho < -0.999) {
            rho = -0.999;
        } else if (rho > 0.999) {
            rho = 0.999;
        }
    }
    const double rs = rho * sigma_v;

    const cplx iu = times_i(u);
    const cplx u2 = u * u;
    const double x0 = std::log(s);
    const cplx beta = kappa - rs * iu;
    const cplx d = std::sqrt(complex_pow(rs * iu - kappa, 2.0) + ss * (u2 + iu));
    const cplx beta_minus_d = beta - d;
    // g and E in this orientation keep the logarithm on its principal branch
    // for long maturities.
    const cplx g = beta_minus_d / (beta + d);
    const cplx E = std::exp(-d * tau);
    const cplx K2 = beta_minus_d / ss * (1.0 - E) / (1.0 - g * E);
    const cplx K1 =
        iu * (r - q + extra_drift) * tau +
        (kappa * theta / ss) * (beta_minus_d * tau - 2.0 * std::log((1.0 - g * E) / (1.0 - g)));
    return std::exp(K1 + K2 * v0 + iu * x0);
}

cplx characteristic_function(int model_id, const std::vector<double>& params, cplx u, double s,
                             double r, double q, double tau) noexcept {
    const double* p = params.data();
    const auto n = static_cast<std::ptrdiff_t>(params.size());
    switch (model_id) {
        case kMerton: return merton(p, n, u, s, r, q, tau);
        case kVarianceGamma: return variance_gamma(p, n, u, s, r, q, tau);
        case kHeston: return heston_characteristic(p, p + n, u, s, r, q, tau, 0.0);
        case kBates: return bates(p, n, u, s, r, q, tau);
        default: return lognormal(p, n, u, s, r, q, tau);
    }
}

}  // namespace orvelta::fourier
