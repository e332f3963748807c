// The put whose exercise region is a band between two boundaries: q < r < 0
// (a call with r < q < 0 through put-call symmetry). At expiry the band is
// [k r / q, k]; it narrows with the time to expiry and may close for good.
// The fallback where the band's integral equations (band.cpp) do not vouch
// for tol: at the corners of the domain (tiny volatilities, very wide or
// very thin bands, long maturities).
//
// Priced by finite differences in the coordinate that follows the drift,
// y = ln S + nu u (u the time to expiry, nu = r - q - sigma^2 / 2), where the
// Black-Scholes equation is the heat equation W_u = sigma^2 / 2 W_yy - r W
// and early exercise a moving obstacle (the payoff at S = e^{y - nu u}). The
// grid covers eight standard deviations either side of today's point
// whatever the volatility, with the strike's payoff kink on a node;
// Crank-Nicolson steps after four implicit half steps (Rannacher), bunched
// towards expiry and today; the obstacle problem solved exactly at each step
// by policy iteration (the matrix is an M-matrix, so it ends in finitely
// many rounds); any number of boundaries. Grids doubling in both directions
// are Richardson-extrapolated (second order) until the last extrapolation's
// change, a third of which bounds its error, is within 1.5 tol; where the
// finest grid allowed does not reach that, the price is NaN.
#include "american/put.hpp"

#include "common/black_scholes.hpp"
#include "common/interrupt.hpp"
#include "common/subnormals.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace orvelta::american {

namespace {

// Node solves per option (see FdBudget): about two seconds, in which the
// grids reach tol 1e-6 of the strike where they reach it at all.
constexpr double kFdBudget = 3e8;

struct BudgetState {
    double left = kInf;
    int depth = 0;
};

BudgetState& budget_state() {
    static thread_local BudgetState state;
    return state;
}

}  // namespace

FdBudget::FdBudget(double prices) {
    BudgetState& st = budget_state();
    if (st.depth++ == 0) st.left = prices * kFdBudget;
}

FdBudget::~FdBudget() {
    BudgetState& st = budget_state();
    if (--st.depth == 0) st.left = kInf;
}

bool FdBudget::spend(double nodes) noexcept {
    BudgetState& st = budget_state();
    if (!(nodes <= st.left)) return false;
    st.left -= nodes;
    return true;
}

double FdBudget::left() noexcept { return budget_state().left; }

namespace {

// Coarsest and finest grids (space intervals = time steps).
constexpr int kCoarseGrid = 64;
constexpr int kFinestGrid = 4096;
// Standard deviations of ln S covered either side of today's point.
constexpr double kWidth = 8.0;
// Policy-iteration rounds per step: each round fixes at least one node, and
// in practice one or two suffice from the previous step's exercise set.
constexpr int kMaxRounds = 64;

struct HeatWork {
    std::vector<double> y, w, g, rhs, c, d;
    std::vector<unsigned char> active;
    void reserve(std::size_t n) {
        for (std::vector<double>* v : {&y, &w, &g, &rhs, &c, &d})
            if (v->size() < n) v->resize(n);
        if (active.size() < n) active.resize(n);
    }
};

HeatWork& heat_work() {
    static thread_local HeatWork work;
    return work;
}

// Grid geometry: node j at start + j h, j = 0..n.
struct Geometry {
    double start, h;
    int n;
};

Geometry geometry(double s, double k, double r, double q, double sigma, double tau, int n) {
    const double nu = r - q - 0.5 * sigma * sigma;
    const double y0 = std::log(s) + nu * tau;
    const double half = kWidth * sigma * std::sqrt(tau);
    const double h = 2.0 * half / n;
    const double lk = std::log(k);
    return {lk + h * std::floor((y0 - half - lk) / h), h, n};
}

struct GridValue {
    double v, dy, dyy;  // value and its first two derivatives in y at today's point
};

GridValue heat_solve(double s, double k, double r, double q, double sigma, double tau,
                     const Geometry& geo, int m) {
    const FlushSubnormals flush;
    const int n = geo.n;
    const double nu = r - q - 0.5 * sigma * sigma;
    const double y0 = std::log(s) + nu * tau;
    const double h = geo.h;
    const double a = 0.5 * sigma * sigma / (h * h);
    HeatWork& wk = heat_work();
    wk.reserve(static_cast<std::size_t>(n) + 1);
    double* y = wk.y.data();
    double* w = wk.w.data();
    double* g = wk.g.data();
    double* rhs = wk.rhs.data();
    double* c = wk.c.data();
    double* d = wk.d.data();
    unsigned char* active = wk.active.data();
    auto payoff = [&](double x) { return positive_part(k - std::exp(x)); };
    for (int j = 0; j <= n; ++j) {
        y[j] = geo.start + h * j;
        w[j] = payoff(y[j]);
        active[j] = 0;
    }
    auto time = [&](int i) {
        const double f = static_cast<double>(i) / m;
        return tau * (f * f * (3.0 - 2.0 * f));
    };
    const int steps = m + 2;  // the first two intervals as four implicit half steps
    for (int step = 0; step < steps; ++step) {
        if (cancel_requested()) return {kNaN, kNaN, kNaN};  // the batch is abandoned
        double u0, u1, th;
        if (step < 4) {
            const int i = step / 2;
            const double lo = time(i), hi = time(i + 1), mid = 0.5 * (lo + hi);
            u0 = step % 2 == 0 ? lo : mid;
            u1 = step % 2 == 0 ? mid : hi;
            th = 1.0;
        } else {
            u0 = time(step - 2);
            u1 = time(step - 1);
            th = 0.5;
        }
        const double dt = u1 - u0;
        const double ex = (1.0 - th) * dt;
        for (int j = 1; j < n; ++j)
            rhs[j] = w[j] + ex * (a * (w[j - 1] - 2.0 * w[j] + w[j + 1]) - r * w[j]);
        for (int j = 0; j <= n; ++j) g[j] = payoff(y[j] - nu * u1);
        // Far ends: the larger of exercise and the European value.
        const double b0 =
            std::max(g[0], black_scholes(std::exp(y[0] - nu * u1), k, r, q, sigma, u1, false));
        const double bn =
            std::max(g[n], black_scholes(std::exp(y[n] - nu * u1), k, r, q, sigma, u1, false));
        const double off = -th * dt * a, diag = 1.0 + th * dt * (2.0 * a + r);
        for (int round = 0; round < kMaxRounds; ++round) {
            if (!FdBudget::spend(n)) return {kNaN, kNaN, kNaN};
            // Thomas' algorithm; active rows pinned to the obstacle.
            c[0] = 0.0;
            d[0] = b0;
            for (int j = 1; j <= n; ++j) {
                if (j == n || active[j]) {
                    c[j] = 0.0;
                    d[j] = j == n ? bn : g[j];
                    continue;
                }
                const double den = diag - off * c[j - 1];
                c[j] = off / den;
                d[j] = (rhs[j] - off * d[j - 1]) / den;
            }
            w[n] = d[n];
            for (int j = n - 1; j >= 0; --j) w[j] = d[j] - c[j] * w[j + 1];
            bool same = true;
            for (int j = 1; j < n; ++j) {
                const double eq = off * (w[j - 1] + w[j + 1]) + diag * w[j] - rhs[j];
                const unsigned char next = (w[j] - g[j]) < eq;
                if (next != active[j]) {
                    active[j] = next;
                    same = false;
                }
            }
            if (same) break;
        }
    }
    // Quintic through the six nodes around today's point: its value and two
    // derivatives there are accurate to O(h^4) whatever today's place
    // between nodes, which changes from grid to grid.
    const int j = std::min(std::max(static_cast<int>(std::floor((y0 - geo.start) / h)), 2), n - 3);
    const double f = (y0 - geo.start) / h - j;
    GridValue out{0.0, 0.0, 0.0};
    for (int i = -2; i <= 3; ++i) {
        // Lagrange basis of node i at f, with its first two derivatives.
        double l = 1.0, dl = 0.0, ddl = 0.0, den = 1.0;
        for (int m2 = -2; m2 <= 3; ++m2) {
            if (m2 == i) continue;
            const double t = f - m2;
            ddl = ddl * t + 2.0 * dl;
            dl = dl * t + l;
            l *= t;
            den *= i - m2;
        }
        const double wi = w[j + i] / den;
        out.v += wi * l;
        out.dy += wi * dl;
        out.dyy += wi * ddl;
    }
    out.dy /= h;
    out.dyy /= h * h;
    return out;
}

}  // namespace

// Put price in the double-boundary regime (valid inputs, q < r <= 0) to
// absolute accuracy `tol`, NaN where the finest grid does not reach it;
// optionally delta and gamma in s. `grids` > 0 fixes the number of grids
// (and the geometry that of the unbumped option, `s`, `r`, `q`, `sigma`
// of `at`), for sensitivities by differences; it receives the number used.
double double_boundary_put(double s, double k, double r, double q, double sigma, double tau,
                           double tol, double* delta, double* gamma, int* grids, const double* at) {
    const double euro = european_put(s, k, r, q, sigma, tau);
    if (std::isnan(euro) && -r * tau > 700.0) {
        // Both terms overflow: the strike's, k e^{-r tau} N(-d2), has the
        // larger logarithm (the put is worth more than the share's term), so
        // the value is beyond the range of doubles.
        return kInf;
    }
    if (!std::isfinite(euro)) return euro;
    const bool fixed = grids && *grids > 0;
    double v[3], dy[3], dyy[3];
    double best = kNaN, best_dy = kNaN, best_dyy = kNaN, last = kNaN;
    int level = 0;
    for (int n = kCoarseGrid; n <= kFinestGrid; n *= 2, ++level) {
        // A grid that could not finish within the budget even at one round
        // per step is not started.
        if (!(static_cast<double>(n) * (n + 2) <= FdBudget::left())) return kNaN;
        const Geometry geo = at ? geometry(at[0], k, at[1], at[2], at[3], tau, n)
                                : geometry(s, k, r, q, sigma, tau, n);
        const GridValue gv = heat_solve(s, k, r, q, sigma, tau, geo, n);
        if (std::isnan(gv.v)) return kNaN;
        v[level % 3] = gv.v;
        dy[level % 3] = gv.dy;
        dyy[level % 3] = gv.dyy;
        if (level == 0) continue;
        const int i1 = level % 3, i0 = (level + 2) % 3;
        const double ext = (4.0 * v[i1] - v[i0]) / 3.0;
        const double ext_dy = (4.0 * dy[i1] - dy[i0]) / 3.0;
        const double ext_dyy = (4.0 * dyy[i1] - dyy[i0]) / 3.0;
        if (level >= 2) {
            // The extrapolations converge at second order or better, so the
            // last one is within a third of its change from the one before.
            const bool met = std::fabs(ext - last) <= 1.5 * tol;
            if ((fixed && level + 1 == *grids) || (!fixed && met)) {
                best = ext;
                best_dy = ext_dy;
                best_dyy = ext_dyy;
                if (grids) *grids = level + 1;
                break;
            }
        }
        last = ext;
    }
    if (std::isnan(best)) return kNaN;
    if (delta) {
        *delta = best_dy / s;
        *gamma = (best_dyy - best_dy) / (s * s);
    }
    if (!(best > k - s)) {  // in the band: exercised
        if (delta) *delta = -1.0, *gamma = 0.0;
        return k - s;
    }
    return std::max(best, euro);
}

}  // namespace orvelta::american
