// The finite-difference solve of one option on one grid (see dividends.hpp
// for the method), shared by the pricer's refinement loop, its Greeks and
// its implied-volatility iteration.
#pragma once

#include "dividends/dividends.hpp"

#include <cstdint>
#include <vector>

namespace orvelta::dividends::detail {

// A stretch of time between two events with its constant coefficients.
struct Segment {
    double t0, t1;          // calendar times, t0 < t1
    double r, q, sigma;     // forward rate, yield and volatility on (t0, t1)
    double cash = 0.0;      // cash dividend paid at t0 (ex-date t0 > 0)
    double keep = 1.0;      // fraction of the stock kept at t0 (proportional dividends)
    bool dividend = false;  // a dividend is paid at t0
};

// Everything about an option that does not depend on the grid size.
struct Plan {
    double s, k, tau;
    bool call, american;
    std::vector<Segment> segments;  // in calendar order, covering [0, tau]
    double x0;                      // ln s
    double xlo, xhi;                // the grid's range in ln S (before rounding to nodes)
    double width_sd;  // standard deviations of ln S covered beyond the spot and strike
    double peclet_h;  // largest step for which the scheme stays monotone
};

// Builds the plan; false when the inputs are outside the domain (the price
// is NaN). `z` is the number of standard deviations the grid spans beyond
// the spot, the strike and the dividends' drop.
bool make_plan(const Contract& c, const Market& m, double z, Plan& plan);

// Results of one grid: the value at the spot, the first and second
// differences there (delta and gamma in ln S), the pricing equation's time
// derivative at the spot and the derivatives along the requested directions
// (0: volatility shift, 1: rate shift).
struct GridResult {
    double value = 0.0;
    double dx = 0.0, dxx = 0.0;
    bool exercised = false;      // the spot node is in the exercise region
    double dir[2] = {0.0, 0.0};  // d value / d shift along each direction
    bool ok = true;              // false when interrupted
};

// Working storage of one thread, reused across calls.
struct Work {
    std::vector<double> u, old, rhs, g, cp, dp, x, scratch;
    std::vector<double> du[2], dold[2];
    std::vector<std::uint8_t> active;
    // The LU factors of the last step's matrix (see grid.cpp), reused while
    // the matrix stays the same: c[j] couples u_j to the unknown eliminated
    // before it, inv[j] is the reciprocal pivot and e[j] the next
    // coefficient times it.
    std::vector<double> fc, finv, fe;
    std::vector<double> chain;  // scratch of the split recurrences
    std::vector<double> mix;    // the derivatives' shared term (see solve_grid)
    double key[3] = {0.0, 0.0, 0.0};
    int key_n = -1;
    bool key_low = false;
    // The same for the solve with a policy: reciprocal pivots and couplings
    // of the k-th free row of a run, the same from `tfixed` on.
    std::vector<double> tinv, tc;
    double tkey[3] = {0.0, 0.0, 0.0};
    int tkey_n = -1, tfixed = 0;
    // Node solves left before solve_grid gives up (every tridiagonal solve
    // of the value, policy iterations included, spends one per node).
    double budget = 0.0;
};

// Solves the plan on a grid whose space step is h0 / 2^level with the spot on
// a node, and `steps` time steps per year-equivalent share (see grid.cpp).
// With `directions` > 0 also carries the derivatives along the first
// `directions` of (volatility shift, rate shift). Not ok when interrupted or
// when the solves would exceed `w.budget`, which they spend.
GridResult solve_grid(const Plan& plan, double h, int steps, int directions, Work& w);

// Bytes one grid of `points` nodes needs (for the memory check).
double grid_bytes(double points, int directions);

}  // namespace orvelta::dividends::detail
