// The plan of one maturity: how the European pricer prices every strike of
// one (model, maturity), chosen once per maturity so that an option gets the
// same bits alone or in any batch. Shared by the route files: cos.cpp (the
// COS expansion and its tail search), series.cpp (Poisson series, jump series
// and the gamma clock) and pricing.cpp (route choice, prices and batches).
#pragma once

#include "european/european.hpp"

#include <cmath>
#include <cstddef>
#include <vector>

#include "common/black_scholes.hpp"

namespace orvelta::european {

// Strikes up to this multiple of the forward are covered by the error bounds.
constexpr double kStrikeScale = 5.0;
constexpr std::size_t kCosBlock = 32;
constexpr std::size_t kCosMaxTerms = std::size_t{1} << 20;
// Bytes of the largest COS plan: six vectors of kCosMaxTerms doubles.
constexpr double kPlanBytes = 6.0 * sizeof(double) * static_cast<double>(kCosMaxTerms);
// Bates tries a single expansion up to this many terms before conditioning on
// the number of jumps (a small diffusion leaves an atom-like no-jump part).
constexpr std::size_t kBatesDirectTerms = 4096;
constexpr std::size_t kSeriesMaxTerms = 200000;
// Variance gamma clocks with shape tau / nu below this go to the gamma-clock
// integral: the characteristic function decays like |u|^(-2 tau / nu).
constexpr double kGammaClockShape = 4.0;
constexpr double kGammaStep = 0.4;
constexpr int kGammaHalvings = 8;

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
    // Lognormal with a forward or discount factor out of range (maturities
    // of centuries and more): ln(s e^(-q tau)) and r tau, for the closed form
    // in discounted terms: s e^(-q tau), its logarithm and r tau.
    double spot_disc = 0.0, ln_sd = 0.0, rt = 0.0;
};

// Bytes a plan holds (its vectors and its parts').
double plan_bytes(const Plan& p) noexcept;

// COS plan to `tol` from the tails of the log return and the decay of the
// characteristic function, at most max_terms terms; route Failed if it
// cannot. Polls the cancel flag between blocks of terms.
void plan_cos(const Model& m, Plan& p, double tol, std::size_t max_terms = kCosMaxTerms);

// The COS truncation range [a, b] of Z for strikes up to K_ref (discounted)
// at accuracy tol, from Chernoff bounds on its tails; false where the
// bounds give none.
bool cos_range(const Model& m, double tau, double K_ref, double tol, double& a, double& b);

// COS plan on a given range and number of terms (no search, no test).
void plan_cos_fixed(const Model& m, Plan& p, double a, double b, std::size_t terms);

// The discounted put at strike K on a COS plan.
double cos_put(const Plan& p, double K);

// Plans and puts of the series routes.
void plan_bates(const Model& m, Plan& p, double tol);
void plan_merton(const Model& m, Plan& p, double tol);
void plan_gamma_clock(const Model& m, Plan& p, double tol);
double merton_put(const Model& m, const Plan& p, double K);
// Number of Poisson terms whose tail weight times K_ref stays below a tenth
// of tol; 0 when the series is too long.
std::size_t poisson_terms(double lt, double K_ref, double tol);
double gamma_clock_put(const Plan& p, double K);

// The plan of one maturity for every route.
Plan make_plan(const Model& m, double tau, double s, double r, double q, double tol);

// The plan of group g of a batch (see Batch) under parameter set `set`.
Plan group_plan(const Batch& batch, std::size_t g, std::size_t set, double tol);

// The put by the plan's route, the call by parity; clipped to the
// no-arbitrage bounds when `bounded`, else the route's raw value.
double plan_price(const Model& m, const Plan& p, double K, bool call, bool bounded = true);

}  // namespace orvelta::european
