// Fourier pricing of European options: the characteristic functions of the
// five log-price models and the three pricers built on them (damped-call FFT,
// Gil-Pelaez direct integration, COS expansion).
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace orvelta::fourier {

using cplx = std::complex<double>;

// Model numbers; every other value selects the lognormal model.
inline constexpr int kMerton = 1;
inline constexpr int kVarianceGamma = 2;
inline constexpr int kHeston = 3;
inline constexpr int kBates = 4;

// z^p for real p: pow(Re z, p) when z is real and positive, otherwise
// exp(p * Log z) built from its modulus exp(p * Re Log z) and angle p * Im Log z.
cplx complex_pow(cplx z, double p) noexcept;

// Heston characteristic function of ln S_T over the entries [begin, end)
// (v0, kappa, theta, sigma_v, rho, with defaults for missing entries and the
// model's floors and clamp); extra_drift is added to r - q.
cplx heston_characteristic(const double* begin, const double* end, cplx u, double s, double r,
                           double q, double tau, double extra_drift) noexcept;

// E[exp(i u ln S_T)] under the model selected by model_id, with the model's
// defaults for entries missing from params.
cplx characteristic_function(int model_id, const std::vector<double>& params, cplx u, double s,
                             double r, double q, double tau) noexcept;

// Largest n the FFT grid accepts: 2^30 points.
inline constexpr std::int64_t kMaxFftPoints = std::int64_t{1} << 30;

// Number of FFT grid points for a requested n: the smallest power of two
// >= max(n, 16). Throws std::runtime_error for n above kMaxFftPoints.
std::int64_t fft_grid_size(int n);

// Carr-Madan prices on the log-strike grid centred on ln s. `strikes` and
// `prices` must each hold fft_grid_size(n) entries.
void fft_prices(int model_id, const std::vector<double>& params, double s, double r, double q,
                double tau, double alpha, int n, double eta, int option_type, double* strikes,
                double* prices);

// Gil-Pelaez prices of `count` options (strikes[m], tau[m]) by the midpoint
// rule; the integrand is shared across options when all maturities agree.
void direct_prices(int model_id, const std::vector<double>& params, std::size_t count,
                   const double* strikes, const double* tau, double s, double r, double q,
                   int n_terms, double u_max, int option_type, double* out);

// COS-expansion prices of `count` options (strikes[m], tau[m]), each on its own
// truncation interval.
void cos_prices(int model_id, const std::vector<double>& params, std::size_t count,
                const double* strikes, const double* tau, double s, double r, double q, int n_terms,
                double truncation_width, int option_type, double* out);

}  // namespace orvelta::fourier
