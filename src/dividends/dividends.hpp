// American and European options under Black-Scholes dynamics with discrete
// dividends (cash amounts or proportions of the stock, paid on ex-dates) and
// piecewise-constant term structures of rate, dividend yield and volatility,
// priced to a requested absolute accuracy.
//
// Method: the pricing equation in x = ln S, solved backward from expiry on a
// uniform grid that has the spot on a node and a time grid that steps exactly
// onto every ex-date and curve knot. Crank-Nicolson between events, started
// with implicit-Euler half steps (Rannacher) and a time grid graded towards
// expiry and towards each ex-date, where the value has a kink; the exercise
// constraint solved exactly at every step (a linear complementarity problem,
// by policy iteration, which also handles an exercise region between two
// boundaries); across an ex-date the value is carried to S - D by cubic
// interpolation; the payoff is averaged over each node's cell. The grid is
// refined by halving the space and time steps together, the prices of
// successive grids are Richardson-extrapolated, and refinement continues
// until the difference of two successive extrapolations, the error
// estimate, is within the tolerance.
//
// Where exercise can pay only just before an ex-date or at expiry (every
// European option; an American call whose every segment has r >= 0 and
// q <= 0, a put with r <= 0 and q >= 0) the stock is lognormal between those
// dates and the price is first sought by a backward recursion of
// one-dimensional integrals (recursion.hpp), which converges spectrally and
// costs a fraction of a millisecond; so is an American put with r, q >= 0
// whose dividends each outweigh the interest on the strike since the one
// before, exercised between ex-dates only where the stock has fallen to
// about a dividend's size (the recursion allows exercise just after each
// drop, takes its last stage from the flat pricer and bounds what exercise
// between the ex-dates would add). The grids take over where the
// recursion's own error estimate does not reach the tolerance. An American option with no dividend
// and no curve knot before its expiry is the flat pricer's (american.hpp),
// bit for bit.
#pragma once

#include "common/greeks.hpp"
#include <cstddef>
#include <vector>

namespace orvelta::dividends {

// Piecewise-constant forward curve: values[i] holds on (times[i-1], times[i]]
// (from 0 for i = 0) and the last value beyond the last time. One knot is a
// flat curve.
struct Curve {
    std::vector<double> times;
    std::vector<double> values;
    // The value on the interval just after time t (t >= 0).
    double at(double t) const noexcept;
};

// The dividends of one underlying: ex-dates in years from today and cash
// amounts, or fractions of the stock when `proportional`.
struct Schedule {
    std::vector<double> times;
    std::vector<double> amounts;
    bool proportional = false;
};

// One option and its market. `sigma_shift` is added to every value of the
// volatility curve (a parallel shift; the implied-volatility solve moves it).
struct Contract {
    double s = 0.0, k = 0.0, tau = 0.0;
    bool call = false, american = true;
};

struct Market {
    const Curve* r = nullptr;
    const Curve* q = nullptr;
    const Curve* sigma = nullptr;
    const Schedule* dividends = nullptr;
    double r_shift = 0.0;
    double sigma_shift = 0.0;
};

using orvelta::Greeks;

// Checks a curve: at least one knot, as many values as times, times finite,
// non-negative and strictly increasing, values finite. Returns an empty
// string when valid, else the reason.
const char* curve_error(const Curve& c) noexcept;

// Price to absolute accuracy `tol`. NaN for non-positive or NaN s or k, a NaN
// tau, a non-positive volatility anywhere before expiry, a negative or NaN
// dividend, a non-finite curve value, or when the accuracy cannot be reached
// within the work limit. tau <= 0 gives the intrinsic value.
double price(const Contract& c, const Market& m, double tol);

// Price and sensitivities: delta and gamma in the spot, theta = dV/dt per
// year with the ex-dates and knots held at their calendar dates, vega per 1.0
// of a parallel shift of the volatility curve, rho per 1.0 of a parallel
// shift of the rate curve. Each is extrapolated and error-controlled as the
// price is (the price to tol, the sensitivities on the same grids).
Greeks greeks(const Contract& c, const Market& m, double tol);

// The parallel shift of the volatility curve (the flat volatility for a flat
// curve: the returned value is sigma(0) + shift, see below) that reproduces
// `target`. Returns the shift added to the curve; NaN when no shift in the
// search range reproduces the price.
double implied_shift(double target, const Contract& c, const Market& m, double tol);

// Grid price with explicit refinement (levels of halving beyond the coarsest
// grid of `points` space points and `steps` time steps, Richardson-
// extrapolated). For convergence studies; `estimate` receives the error
// estimate.
double price_levels(const Contract& c, const Market& m, int points, int steps, int levels,
                    double* estimate);

// Batches: option i has spot s[i], strike k[i], expiry tau[i], type
// option_type[i] (> 0 call), and its rate, yield and volatility either from
// the shared curve (when the per-option array is null) or flat at the
// array's entry. Parallel over options; each entry bit for bit the single
// call.
struct BatchInput {
    std::size_t count = 0;
    const double* s = nullptr;
    const double* k = nullptr;
    const double* tau = nullptr;
    const double* option_type = nullptr;  // > 0 call, else put; NaN gives NaN
    const double* r = nullptr;            // per option, or null: r_curve
    const double* q = nullptr;            // per option, or null: q_curve
    const double* sigma = nullptr;        // per option, or null: sigma_curve
    const Curve* r_curve = nullptr;
    const Curve* q_curve = nullptr;
    const Curve* sigma_curve = nullptr;
    const Schedule* dividends = nullptr;
    bool american = true;
};

void price_batch(const BatchInput& in, double tol, double* out);
void greeks_batch(const BatchInput& in, double tol, double* price, double* delta, double* gamma,
                  double* theta, double* vega, double* rho);
// target[i] quoted prices; with per-option sigma ignored (the shift is
// returned as the volatility: flat curves of zero plus the shift), else the
// shift of the shared volatility curve.
void implied_batch(const BatchInput& in, const double* target, double tol, double* out);

}  // namespace orvelta::dividends
