// How the European pricer prices one maturity (internal to src/european):
// the plan of a route with its settings, shared by the prices
// (pricing.cpp) and their sensitivities (greeks.cpp).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "common/black_scholes.hpp"
#include "european/european.hpp"

namespace orvelta::european::detail {

// Strikes up to this multiple of the forward are covered by the error bounds.
constexpr double kStrikeScale = 5.0;
// Most terms a COS expansion may take.
constexpr std::size_t kCosMaxTerms = std::size_t{1} << 20;

// Discounted Black put on forward F with total standard deviation v.
inline double black_put(double F, double K, double v, double D) noexcept {
    if (!(v > 0.0)) return D * std::max(K - F, 0.0);
    const double d1 = std::log(F / K) / v + 0.5 * v;
    return D * (K * norm_cdf(v - d1) - F * norm_cdf(-d1));
}

struct Plan {
    Route route = Route::Failed;
    double tau = 0.0, F = 0.0, D = 1.0;
    // COS: range of Z, coefficients A_j, frequencies and payoff factors.
    double a = 0.0, b = 0.0;
    std::vector<double> A, u, inv_1pu2, inv_u1pu2;
    // Strike-free factors of the put sum: B_j = A_j / (u_j (1 + u_j^2)) and
    // C_j = A_j / (1 + u_j^2) (zero-padded to a multiple of 8), and sum_j C_j.
    std::vector<double> B, C;
    double c_sum = 0.0;
    // Lognormal and Merton: total variances.
    double var = 0.0;
    std::size_t terms = 0;
    // Gamma clock: nodes (weight, conditional forward, standard deviation,
    // clock value), F at g = 0.
    std::vector<double> w, Fg, sd, g;
    double F0 = 0.0;
    // Bates given the number of jumps: Poisson weights and one COS plan each.
    std::vector<Plan> parts;
};

// The route and its settings for one maturity (and spot, rate and yield) at
// absolute accuracy tol; Route::Failed where it cannot be met.
Plan make_plan(const Model& m, double tau, double s, double r, double q, double tol);

// The plan of group g of a batch (see Batch) under parameter set `set`.
Plan group_plan(const Batch& batch, std::size_t g, std::size_t set, double tol);

// The COS truncation range [a, b] of Z for strikes up to K_ref (discounted)
// at accuracy tol, from Chernoff bounds on its tails; false where the
// bounds give none.
bool cos_range(const Model& m, double tau, double K_ref, double tol, double& a, double& b);

// COS plan on a given range and number of terms (no tail search, no
// convergence test); route Failed when the coefficients are not finite.
void plan_cos_fixed(const Model& m, Plan& p, double a, double b, std::size_t terms);

// The undiscounted-forward COS put of a plan, D F sum' A_j V_j(ln(K / F)).
double cos_put(const Plan& p, double K);

// The put by the plan's route, the call by parity; bounded: clipped to the
// no-arbitrage bounds, otherwise the route's raw value.
double plan_price(const Model& m, const Plan& p, double K, bool call, bool bounded = true);

// Number of Poisson terms whose tail weight times K_ref stays below a tenth
// of tol; 0 when the series is too long.
std::size_t poisson_terms(double lt, double K_ref, double tol);

}  // namespace orvelta::european::detail
