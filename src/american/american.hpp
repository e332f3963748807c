// American options priced to a requested accuracy: the early-exercise boundary
// from the fixed-point equations of Andersen, Lake and Offengenden (2016),
// collocated on Chebyshev nodes in sqrt(tau), the price from the
// early-exercise premium integral over that boundary. Greeks by forward-mode
// differentiation of the same computation; implied volatility by a
// safeguarded Newton iteration on it.
//
// Calls are priced as puts through put-call symmetry,
// call(s, k, r, q) = put(k, s, q, r). At the edges of the domain closed forms
// take over where they pin the price within tol (vanishing volatility, the
// perpetual limit of long maturities); long maturities fit the boundary over
// its last stretch only. Where both rates are negative and the put form has
// q < r, the exercise region is a band, which may close: priced by its
// integral equations where two settings agree to tol (band.cpp), otherwise
// by finite differences extrapolated to tol (double_boundary.cpp).
#pragma once

#include "common/greeks.hpp"
#include <cstddef>
#include <memory>
#include <vector>

namespace orvelta::american {

// Numerical settings of one price.
struct Scheme {
    int nodes;       // Chebyshev degree of the boundary interpolant (nodes + 1 collocation points)
    int quad;        // Gauss-Legendre points of each boundary integral
    int iterations;  // fixed-point sweeps over the nodes
    int slow_iterations;  // sweeps where r / sigma^2 is large (slower convergence)
    int premium;          // tanh-sinh level of the premium integral (step 2^-premium)
    double stop;          // sweeps end once no node moves by more than stop * strike
    double tol = 0.0;     // absolute accuracy asked for (0: settings given explicitly)
};

// Largest settings accepted by price_with (and used by the finest tolerance).
inline constexpr int kMaxNodes = 64;
inline constexpr int kMaxQuad = 64;
inline constexpr int kMaxIterations = 256;
inline constexpr int kMaxPremiumLevel = 5;

// Settings that keep the absolute error within `tol` for an option whose
// put-equivalent strike is `strike` (the strike of a put, the spot of a call)
// and time to expiry `tau`.
Scheme scheme_for(double tol, double strike, double tau = 0.0) noexcept;

using orvelta::Greeks;

// Price to absolute accuracy `tol`. Non-positive or NaN s or k give NaN; a NaN
// in r, q, sigma or tau gives NaN; otherwise non-positive tau or sigma give the
// intrinsic value. NaN also where tol is out of reach (in the double-boundary
// regime where the integral equations cannot vouch for tol and tol is below
// about 1e-6 of the strike; where the long-maturity split cannot bound its
// error). Throws std::bad_alloc when working storage cannot be had.
double price(double s, double k, double r, double q, double sigma, double tau, bool call,
             double tol);

// The same price with explicit settings (clamped to their valid ranges).
double price_with(double s, double k, double r, double q, double sigma, double tau, bool call,
                  const Scheme& scheme);

// Price and its six sensitivities: delta and gamma in s, theta = dV/dt per year
// (-dV/dtau), vega per 1.0 of sigma, rho per 1.0 of r. The price is bit for bit
// the one `price` returns. Domain as for `price` (sensitivities NaN with a NaN
// price; zero where the value is intrinsic and frozen). Where the put form
// has q < r <= 0 (two exercise boundaries) delta and gamma come from the
// finite-difference grids and vega and rho are central differences on them.
Greeks greeks(double s, double k, double r, double q, double sigma, double tau, bool call,
              double tol);

// Volatility that reproduces `target`, to `tol` in sigma (limited by the
// accuracy of the price); NaN when no volatility does (a price below the
// zero-volatility value, or at or above the no-arbitrage bound: the larger of
// s e^{-q tau} and s for a call, of k e^{-r tau} and k for a put), and for
// invalid inputs.
double implied_vol(double target, double s, double k, double r, double q, double tau, bool call,
                   double tol);

// A put (strike k; r, q, sigma flat over tau) whose price at every spot, to
// absolute accuracy tol, comes from one fit of its exercise boundary: where
// tol's settings are validated for these inputs (r > 0, no closed-form
// limit, no long-maturity split). Fitted once, it prices any spots, each
// value bit for bit `price`'s, and with sensitivities their derivatives in
// sigma and r.
class PutOnBoundary {
public:
    // Fits the boundary; false where one fit does not serve.
    bool fit(double k, double r, double q, double sigma, double tau, double tol,
             bool sensitivities);
    // Today's exercise boundary: spots at or below it are exercised.
    double boundary() const noexcept { return boundary_; }
    // Values at the spots s in out, and with sens non-null their
    // derivatives in sigma and r at sens[2 i] and sens[2 i + 1]. False where
    // some spot's price would not come from this fit.
    bool price(const std::vector<double>& s, std::vector<double>& out,
               std::vector<double>* sens) const;

private:
    struct Fit;
    std::shared_ptr<const Fit> fit_;
    double boundary_ = 0.0;
};

// Option types of the batches: > 0 a call, otherwise a put; NaN gives a
// NaN result.
inline bool is_call(double option_type) noexcept { return option_type > 0.0; }

// Working storage of one thread of a batch, an upper bound (boundary fit
// scratch at the finest settings with two derivative directions, and the
// vector passes' buffers).
inline constexpr double kWorkBytesPerThread = 4.0 * 1024.0 * 1024.0;

// Batches over options [0, count): run in parallel on the OpenMP team (small
// batches on the calling thread); each entry bit for bit equal to the single
// call. An exception raised inside the loop is rethrown after it; a requested
// cancellation stops the loop early.
void price_batch(std::size_t count, const double* s, const double* k, const double* r,
                 const double* q, const double* sigma, const double* tau, const double* option_type,
                 double tol, double* out);

void greeks_batch(std::size_t count, const double* s, const double* k, const double* r,
                  const double* q, const double* sigma, const double* tau,
                  const double* option_type, double tol, double* price, double* delta,
                  double* gamma, double* theta, double* vega, double* rho);

void implied_vol_batch(std::size_t count, const double* target, const double* s, const double* k,
                       const double* r, const double* q, const double* tau,
                       const double* option_type, double tol, double* out);

}  // namespace orvelta::american
