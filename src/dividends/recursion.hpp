// Options whose exercise can pay only just before an ex-date or at expiry:
// every European option, and an American call (put) whose every segment has
// r >= 0 and q <= 0 (r <= 0 and q >= 0), where holding is worth at least the
// payoff between those dates. Between them the stock is lognormal, so the
// value just after an ex-date is a discounted expectation of the value just
// before the next one: the price is a backward recursion of one-dimensional
// integrals, with no time stepping and no space grid to converge.
//
// An American put with r >= 0 and q >= 0 whose dividends each outweigh the
// interest on the strike since the one before takes the same recursion with
// exercise allowed just after each drop and throughout the last stage (the
// flat pricer's values on that stage's nodes): between two ex-dates holding
// to the next drop and exercising then is worth more than exercising now
// wherever the stock is above about a dividend's size, and the premium
// exercise there could add is bounded (recursion.cpp) and counted in the
// error estimate.
#pragma once

#include "common/constants.hpp"
#include "dividends/grid.hpp"

namespace orvelta::dividends::detail {

// True when the plan's exercise can pay only at its ex-dates and at expiry,
// or it is such a put.
bool recursion_applies(const Plan& plan);

struct RecursionResult {
    double value = kNaN;
    double dx = kNaN, dxx = kNaN;  // first and second derivatives in ln S at the spot
    double dir[2] = {kNaN, kNaN};  // along (volatility shift, rate shift)
    double estimate = kInf;        // error estimate of value; kInf: not reached
};

// The price (and with `directions` > 0 the derivatives along the first
// `directions` of (volatility shift, rate shift), and always dx and dxx),
// refined until two successive refinements agree within `tol`. An infinite
// estimate when they do not within the work limit, or when the recursion
// does not fit the inputs (more than a few exercise crossings at an ex-date,
// a variance too large for the integrals): the caller then uses the grids.
RecursionResult recursion_price(const Plan& plan, double tol, int directions);

}  // namespace orvelta::dividends::detail
