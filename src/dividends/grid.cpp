#include "dividends/grid.hpp"

#include "common/constants.hpp"
#include "common/interrupt.hpp"
#include "common/subnormals.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace orvelta::dividends {

double Curve::at(double t) const noexcept {
    // values[i] holds on (times[i-1], times[i]]: the interval just after t
    // belongs to the first knot strictly beyond t.
    const std::size_t n = values.size();
    for (std::size_t i = 0; i + 1 < n; ++i) {
        if (t < times[i]) return values[i];
    }
    return values[n - 1];
}

const char* curve_error(const Curve& c) noexcept {
    if (c.values.empty()) return "a curve needs at least one knot";
    if (c.values.size() != c.times.size()) return "a curve needs as many values as times";
    for (std::size_t i = 0; i < c.times.size(); ++i) {
        if (!std::isfinite(c.times[i]) || c.times[i] < 0.0)
            return "curve times must be finite and non-negative";
        if (i > 0 && !(c.times[i] > c.times[i - 1]))
            return "curve times must be strictly increasing";
        if (!std::isfinite(c.values[i])) return "curve values must be finite";
    }
    return "";
}

namespace detail {

namespace {

// Knots of a curve strictly inside (0, tau): where its value may change.
void add_knots(const Curve& c, double tau, std::vector<double>& out) {
    for (std::size_t i = 0; i + 1 < c.times.size(); ++i) {
        if (c.times[i] > 0.0 && c.times[i] < tau) out.push_back(c.times[i]);
    }
}

}  // namespace

bool make_plan(const Contract& c, const Market& m, double z, Plan& plan) {
    if (!(c.s > 0.0) || !(c.k > 0.0) || !std::isfinite(c.s) || !std::isfinite(c.k)) return false;
    if (!(c.tau > 0.0) || !std::isfinite(c.tau)) return false;
    if (!std::isfinite(m.r_shift) || !std::isfinite(m.sigma_shift)) return false;
    plan.s = c.s;
    plan.k = c.k;
    plan.tau = c.tau;
    plan.call = c.call;
    plan.american = c.american;
    const double tau = c.tau;

    std::vector<double> cuts;
    cuts.push_back(0.0);
    cuts.push_back(tau);
    add_knots(*m.r, tau, cuts);
    add_knots(*m.q, tau, cuts);
    add_knots(*m.sigma, tau, cuts);
    const Schedule* d = m.dividends;
    if (d != nullptr) {
        for (std::size_t i = 0; i < d->times.size(); ++i) {
            const double t = d->times[i], a = d->amounts[i];
            if (std::isnan(t) || std::isnan(a) || a < 0.0 || !std::isfinite(a)) return false;
            if (d->proportional && a > 1.0) return false;
            if (t > 0.0 && t < tau && a > 0.0) cuts.push_back(t);
        }
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());

    plan.segments.clear();
    double var = 0.0, drift_lo = 0.0, drift_hi = 0.0, drift = 0.0, peclet = kInf;
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
        Segment sg;
        sg.t0 = cuts[i];
        sg.t1 = cuts[i + 1];
        // Values on the open interval (t0, t1): the curve's value just after t0.
        sg.r = m.r->at(sg.t0) + m.r_shift;
        sg.q = m.q->at(sg.t0);
        sg.sigma = m.sigma->at(sg.t0) + m.sigma_shift;
        if (!(sg.sigma > 0.0) || !std::isfinite(sg.sigma) || !std::isfinite(sg.r) ||
            !std::isfinite(sg.q))
            return false;
        if (d != nullptr && sg.t0 > 0.0) {
            for (std::size_t j = 0; j < d->times.size(); ++j) {
                if (d->times[j] == sg.t0 && d->amounts[j] > 0.0) {
                    sg.dividend = true;
                    if (d->proportional)
                        sg.keep *= 1.0 - d->amounts[j];
                    else
                        sg.cash += d->amounts[j];
                }
            }
        }
        const double len = sg.t1 - sg.t0;
        var += sg.sigma * sg.sigma * len;
        const double a = 0.5 * sg.sigma * sg.sigma;
        const double b = sg.r - sg.q - a;
        drift += b * len;
        drift_lo = std::min(drift_lo, drift);
        drift_hi = std::max(drift_hi, drift);
        if (b != 0.0) peclet = std::min(peclet, 2.0 * a / std::fabs(b));
        // A knot where no value changes (a curve of equal values) and no
        // dividend is paid is no event: the segment goes on (so that such a
        // curve prices exactly as the flat value does).
        if (!plan.segments.empty() && !sg.dividend) {
            Segment& last = plan.segments.back();
            if (last.r == sg.r && last.q == sg.q && last.sigma == sg.sigma) {
                last.t1 = sg.t1;
                continue;
            }
        }
        plan.segments.push_back(sg);
    }
    // How far the dividends can pull the stock down: the spot less every cash
    // amount (each a drop of at most the stock), times every kept fraction.
    double low = c.s;
    for (const Segment& sg : plan.segments) {
        if (sg.dividend) low = low * sg.keep - sg.cash;
    }
    const double sd = std::sqrt(var);
    const double xs = std::log(c.s), xk = std::log(c.k);
    double floor_x = std::min(xs, xk);
    if (low < c.s) {
        // A stock that may lose most of its value: cover down to where it
        // would be after the dividends, or to a small fraction of the
        // strike where they could take it all (the value below the grid
        // comes from the value at S = 0).
        const double lowest = std::max(low, 1e-3 * std::min(c.s, c.k));
        floor_x = std::min(floor_x, std::log(lowest));
    }
    // Where a drop can take the stock to about zero, the value just after it
    // near zero has the features of the later dividends (cut where they are
    // worth more than the stock): cover down to the smallest of them, not
    // only to the first node above zero, below which the value is taken as
    // linear in S (a European put once 3.7e-4 off that way).
    double path = c.s;
    for (std::size_t i = 0; i < plan.segments.size(); ++i) {
        const Segment& sg = plan.segments[i];
        if (!sg.dividend) continue;
        const bool to_zero = path * std::exp(-z * sd) * sg.keep - sg.cash <= 0.0;
        path = std::max(path * sg.keep - sg.cash, 0.0);
        if (!to_zero) continue;
        double later = kInf;
        for (std::size_t j = i + 1; j < plan.segments.size(); ++j) {
            const Segment& nx = plan.segments[j];
            if (nx.dividend && nx.cash > 0.0) later = std::min(later, nx.cash / nx.keep);
        }
        if (std::isfinite(later))
            floor_x = std::min(floor_x, std::log(std::max(later, 1e-3 * std::min(c.s, c.k))));
    }
    plan.x0 = xs;
    plan.width_sd = z;
    plan.xlo = floor_x + drift_lo - z * sd;
    plan.xhi = std::max(xs, xk) + drift_hi + z * sd;
    plan.peclet_h = peclet;
    return std::isfinite(plan.xlo) && std::isfinite(plan.xhi) && plan.xlo < plan.xhi;
}

double grid_bytes(double points, int directions) {
    // Work's arrays of one double per node: nine for the value's steps,
    // five for the cached factors, two per direction and one more with any;
    // and the exercise flags.
    return points * 8.0 * (14.0 + 2.0 * directions + (directions > 0 ? 1.0 : 0.0)) + points;
}

namespace {

// Cell average of the payoff over [x - h/2, x + h/2].
double cell_payoff(double x, double h, double k, double lk, bool call) {
    const double a = x - 0.5 * h, b = x + 0.5 * h;
    if (call) {
        if (b <= lk) return 0.0;
        const double lo = std::max(a, lk);
        return ((std::exp(b) - std::exp(lo)) - k * (b - lo)) / h;
    }
    if (a >= lk) return 0.0;
    const double hi = std::min(b, lk);
    return (k * (hi - a) - (std::exp(hi) - std::exp(a))) / h;
}

// Value of the option when the stock is worth nothing at time t (it stays at
// zero): a put pays k at the best exercise date (at expiry for a European
// one), a call nothing. `drate` receives its derivative in a parallel rate
// shift.
double zero_stock_value(const Plan& p, std::size_t first_segment, double* drate) {
    *drate = 0.0;
    if (p.call) return 0.0;
    // Discount factors to each later segment end; the largest for an American
    // put (exercise at once is a factor of 1), the one to expiry otherwise.
    double integral = 0.0, best = p.american ? 1.0 : 0.0, best_len = 0.0;
    const double t = p.segments[first_segment].t0;
    for (std::size_t i = first_segment; i < p.segments.size(); ++i) {
        const Segment& sg = p.segments[i];
        integral += sg.r * (sg.t1 - sg.t0);
        const double df = std::exp(-integral);
        const bool last = i + 1 == p.segments.size();
        if ((p.american && df > best) || (!p.american && last)) {
            best = df;
            best_len = sg.t1 - t;
        }
    }
    *drate = -best_len * p.k * best;
    return p.k * best;
}

// Value far from the money at calendar time t in segment si, stock price S:
// deep in or out of the money the option is worth its forward intrinsic
// value at the best deterministic exercise date (exercise now, just before
// an ex-date, at a knot or at expiry for an American option; at expiry for a
// European one). Used as the grid's boundary values, where the chance of the
// stock returning to the money is below e^{-z^2/2}. `drate` receives its
// derivative in a parallel rate shift: a dividend that can take the stock
// to the grid's floor gives the floor's value a large weight at the spot.
double far_value(const Plan& p, std::size_t si, double t, double s, double* drate) {
    double x = s, dx = 0.0, disc = 0.0, ddisc = 0.0;
    double best = p.american ? positive_part(p.call ? s - p.k : p.k - s) : 0.0, dbest = 0.0;
    for (std::size_t i = si; i < p.segments.size(); ++i) {
        const Segment& sg = p.segments[i];
        if (i > si && sg.dividend) {
            const double cut = x * sg.keep - sg.cash;
            x = positive_part(cut);
            dx = cut > 0.0 ? dx * sg.keep : 0.0;
        }
        const double len = sg.t1 - std::max(t, sg.t0);
        const double grow = std::exp((sg.r - sg.q) * len);
        x *= grow;
        dx = dx * grow + x * len;
        disc += sg.r * len;
        ddisc += len;
        const double df = std::exp(-disc);
        const double pay = p.call ? x - p.k : p.k - x;
        const double v = df * positive_part(pay);
        const double dv = pay > 0.0 ? -ddisc * v + df * (p.call ? dx : -dx) : 0.0;
        const bool last = i + 1 == p.segments.size();
        if ((p.american && v > best) || (!p.american && last)) best = v, dbest = dv;
    }
    *drate = dbest;
    return best;
}

// Rows 1..n-2 of the interior system: row j reads
// lo u_{j-1} + di u_j + up u_{j+1} = rhs_j. The known boundary values are
// already in rhs_1 and rhs_{n-2}.
struct Rows {
    double al, ad, au;  // interior row of I - theta dt L; u_0 and u_{n-1} are known
};

// The solve of the rows with the given policy: active rows are u_j = rhs_j.
// Elimination from row 1 upward starts afresh at row 1 and after every
// active row (which couples to nothing), so the k-th free row of every run
// has the same pivot: the pivots' reciprocals and the eliminated couplings
// of a run are tabulated once per matrix in `w` (up to where they reach
// their fixed point, which the rest of a long run repeats), and the solve
// itself only multiplies.
void thomas(int n, const Rows& m, const std::uint8_t* active, const double* rhs, double* u,
            Work& w) {
    const int last = n - 2;
    if (!(w.tkey_n == n && w.tkey[0] == m.al && w.tkey[1] == m.ad && w.tkey[2] == m.au)) {
        w.tinv.resize(n);
        w.tc.resize(n);
        double carried = 0.0;
        w.tfixed = last - 1;
        for (int k = 0; k < last; ++k) {
            const double r = 1.0 / (m.ad - m.al * carried);
            const double before = carried;
            w.tinv[k] = r;
            w.tc[k] = m.au * r;
            carried = w.tc[k];
            if (k >= 1 && carried == before) {
                w.tfixed = k;
                break;
            }
        }
        w.tkey[0] = m.al, w.tkey[1] = m.ad, w.tkey[2] = m.au;
        w.tkey_n = n;
    }
    const double* inv = w.tinv.data();
    const double* tc = w.tc.data();
    double* cp = w.cp.data();
    double* dp = w.dp.data();
    double d = 0.0;
    int k = 0;
    for (int j = 1; j <= last; ++j) {
        if (active[j]) {
            cp[j] = 0.0;
            dp[j] = d = rhs[j];
            k = 0;
            continue;
        }
        const int t = k < w.tfixed ? k : w.tfixed;
        ++k;
        const double lo = (j == 1) ? 0.0 : m.al;
        cp[j] = (j == last) ? 0.0 : tc[t];
        dp[j] = d = (rhs[j] - lo * d) * inv[t];
    }
    u[last] = dp[last];
    for (int j = last - 1; j >= 1; --j) u[j] = dp[j] - cp[j] * u[j + 1];
}

// LU factors of the interior matrix rows 1..n-2 (unknowns next to the
// boundary nodes couple to nothing beyond them: their values are in the
// right-hand side). Elimination runs from the low end upward (`low_end`
// false) or from the high end downward (true); the result is cached in `w`
// and recomputed only when the matrix or the direction changes, which
// within a stretch of equal time steps it does not. Row j eliminated after
// its neighbour p(j) reads den_j = ad - (coupling to p) c_{p(j)},
// c_j = (coupling to the other side) / den_j.
void factorize(int n, const Rows& m, bool low_end, Work& w) {
    if (w.key_n == n && w.key_low == low_end && w.key[0] == m.al && w.key[1] == m.ad &&
        w.key[2] == m.au)
        return;
    w.fc.resize(n);
    w.finv.resize(n);
    w.fe.resize(n);
    double* c = w.fc.data();
    double* inv = w.finv.data();
    double* e = w.fe.data();
    const int last = n - 2;
    // Elimination from one end: `toward` is the off-diagonal towards the
    // rows already eliminated, `away` the one towards the rest.
    double carried = 0.0;
    auto eliminate = [&](int j, double toward, double away) {
        const double r = 1.0 / (m.ad - toward * carried);
        inv[j] = r;
        c[j] = away * r;
        e[j] = toward * r;
        carried = c[j];
    };
    // The k-th row eliminated; its couplings towards and away from the rows
    // done, none past either end.
    auto row = [&](int k) { return low_end ? last - k : 1 + k; };
    const double toward = low_end ? m.au : m.al, away = low_end ? m.al : m.au;
    for (int k = 0; k < last; ++k) {
        const double before = carried;
        eliminate(row(k), k == 0 ? 0.0 : toward, k == last - 1 ? 0.0 : away);
        // Every row between the first and the last maps `carried` the same
        // way: once it comes out unchanged it has reached its fixed point,
        // and the rows up to the last repeat this one's factors exactly.
        if (k >= 1 && k < last - 1 && carried == before) {
            const int j = row(k);
            for (int k2 = k + 1; k2 < last - 1; ++k2) {
                const int j2 = row(k2);
                inv[j2] = inv[j], c[j2] = c[j], e[j2] = e[j];
            }
            eliminate(row(last - 1), toward, 0.0);
            break;
        }
    }
    w.key[0] = m.al;
    w.key[1] = m.ad;
    w.key[2] = m.au;
    w.key_n = n;
    w.key_low = low_end;
}

// The recurrence x_j = a_j m_j - f_j x_{j-s} (m_j = 1 without `m`) over
// `count` rows j = first, first + s, ..., from x_{first-s} = before. A
// first-order recurrence runs at the latency of a multiply and a subtract
// per row; the rows are split into four runs solved side by side, the
// last three from zero, each also carrying the product P of the -f_j it
// has crossed, so that the true run is x = p + P x_start once the run
// before it is known (a second pass, vectorisable). `scratch` holds P.
void recurrence(const double* a, const double* m, const double* f, int first, int s, int count,
                double before, double* x, double* scratch) {
    constexpr int kRuns = 4;
    if (count < 16 * kRuns) {
        double v = before;
        for (int t = 0, j = first; t < count; ++t, j += s) {
            v = (m ? a[j] * m[j] : a[j]) - f[j] * v;
            x[j] = v;
        }
        return;
    }
    const int len = count / kRuns;
    double p[kRuns] = {before, 0.0, 0.0, 0.0};
    double prod[kRuns] = {1.0, 1.0, 1.0, 1.0};
    int j[kRuns];
    for (int r = 0; r < kRuns; ++r) j[r] = first + s * r * len;
    for (int t = 0; t < len; ++t) {
        for (int r = 0; r < kRuns; ++r) {
            const int i = j[r];
            p[r] = (m ? a[i] * m[i] : a[i]) - f[i] * p[r];
            prod[r] = -f[i] * prod[r];
            x[i] = p[r];
            scratch[i] = prod[r];
            j[r] = i + s;
        }
    }
    // The last run's remaining rows.
    for (int t = kRuns * len; t < count; ++t) {
        const int i = j[kRuns - 1];
        p[kRuns - 1] = (m ? a[i] * m[i] : a[i]) - f[i] * p[kRuns - 1];
        prod[kRuns - 1] = -f[i] * prod[kRuns - 1];
        x[i] = p[kRuns - 1];
        scratch[i] = prod[kRuns - 1];
        j[kRuns - 1] = i + s;
    }
    // Each later run from the true value ending the one before it.
    double start = x[first + s * (len - 1)];
    for (int r = 1; r < kRuns; ++r) {
        const int from = first + s * r * len;
        const int rows = (r == kRuns - 1) ? count - r * len : len;
        if (s > 0) {
            for (int i = from; i < from + rows; ++i) x[i] += scratch[i] * start;
        } else {
            for (int i = from; i > from - rows; --i) x[i] += scratch[i] * start;
        }
        start = x[from + s * (rows - 1)];
    }
}

// Solve with the cached factors. With `g`, the Brennan-Schwartz solve of
// the linear complementarity problem min(A u - rhs, u - g) = 0 when the
// exercise region is one interval at an end of the grid: the elimination
// runs towards that end (from the top down for a put, whose region is at
// the low end) and the back substitution away from it, each node taking the
// payoff where it is larger, marked in `active`. Without `g`, the plain
// linear solve. With `zero_active` the rows
// marked active are u_j = 0 (the derivatives' solve, the exercise region a
// contiguous end of the grid where the elimination finishes). `dp` is
// scratch.
void factored_solve(int n, Work& w, const double* rhs, const double* g, double* u,
                    std::uint8_t* active, bool zero_active, double* dp) {
    const double* c = w.fc.data();
    const double* inv = w.finv.data();
    const double* e = w.fe.data();
    const int last = n - 2;
    double* sc = w.chain.data();
    // Elimination (rows in the order eliminated) and back substitution (the
    // other way), each a recurrence x = a - f x_before.
    const int elim0 = w.key_low ? last : 1, back0 = w.key_low ? 1 : last;
    const int step = w.key_low ? -1 : 1;
    recurrence(rhs, inv, e, elim0, step, last, 0.0, dp, sc);
    // Back substitution: x_j = dp_j - c_j x_before, from the end where the
    // elimination finished.
    if (g == nullptr && !zero_active) {
        recurrence(dp, nullptr, c, back0, -step, last, 0.0, u, sc);
        return;
    }
    // Node j's value from the back substitution's v: the payoff where it is
    // larger (marking the node active), or zero on active rows.
    auto settle = [&](int j, double v) {
        if (g != nullptr) {
            const bool ex = g[j] > 0.0 && g[j] >= v;
            u[j] = ex ? g[j] : v;
            active[j] = ex ? 1 : 0;
        } else {
            u[j] = active[j] ? 0.0 : v;
        }
        return u[j];
    };
    // Node by node through the nodes the rule sets (the exercise region, or
    // the active rows, at that end), then the rest as one linear recurrence,
    // checked: from a node where the rule would have acted, node by node.
    double next = 0.0;
    int k = 0;
    for (; k < last; ++k) {
        const int j = back0 - step * k;
        next = settle(j, dp[j] - c[j] * next);
        if (!active[j]) break;
    }
    ++k;
    if (k >= last) return;
    const int j1 = back0 - step * k;
    recurrence(dp, nullptr, c, j1, -step, last - k, next, u, sc);
    for (; k < last; ++k) {
        const int j = back0 - step * k;
        const bool acts = g != nullptr ? (g[j] > 0.0 && g[j] >= u[j]) : active[j] != 0;
        if (acts) break;
        if (g != nullptr) active[j] = 0;
    }
    if (k >= last) return;
    next = (k == 0) ? 0.0 : u[back0 - step * (k - 1)];
    for (; k < last; ++k) {
        const int j = back0 - step * k;
        next = settle(j, dp[j] - c[j] * next);
    }
}

// True when the rows marked active form one interval at the end of the grid
// where the factored elimination finishes (the low end when it runs from
// the top down): then rows there set to zero leave the other rows' factors
// valid.
bool active_at_finish(int n, const std::uint8_t* act, bool low_end) {
    const int last = n - 2;
    if (low_end) {
        int j = 1;
        while (j <= last && act[j]) ++j;
        for (; j <= last; ++j)
            if (act[j]) return false;
    } else {
        int j = last;
        while (j >= 1 && act[j]) --j;
        for (; j >= 1; --j)
            if (act[j]) return false;
    }
    return true;
}

// True when the rows marked active and the solution u satisfy the
// complementarity conditions: every active row's residual A u - rhs is
// non-negative and every free node is at or above a positive payoff (where
// the payoff is zero there is nothing to exercise: a value a rounding below
// zero far out of the money is no reason to exercise, as in the one-pass
// solve).
bool complementary(int n, const Rows& m, const std::uint8_t* act, const double* rhs,
                   const double* g, const double* u) {
    for (int j = 1; j < n - 1; ++j) {
        if (act[j]) {
            const double left_u = j == 1 ? 0.0 : u[j - 1];
            const double right_u = j == n - 2 ? 0.0 : u[j + 1];
            if (m.al * left_u + m.ad * u[j] + m.au * right_u - rhs[j] < 0.0) return false;
        } else if (g[j] > 0.0 && u[j] < g[j]) {
            return false;
        }
    }
    return true;
}

}  // namespace

GridResult solve_grid(const Plan& p, double h, int steps, int directions, Work& w) {
    const FlushSubnormals flush;
    GridResult res;
    // Nodes x0 + j h for j in [-left, right].
    const int left = static_cast<int>(std::ceil((p.x0 - p.xlo) / h));
    const int right = static_cast<int>(std::ceil((p.xhi - p.x0) / h));
    const int n = left + right + 1;
    const int spot = left;
    const double xlo = p.x0 - left * h;
    const double lk = std::log(p.k);
    for (auto* v : {&w.u, &w.old, &w.rhs, &w.g, &w.cp, &w.dp, &w.x, &w.scratch, &w.chain})
        v->assign(n, 0.0);
    if (directions > 0) w.mix.assign(n, 0.0);
    for (int d = 0; d < directions; ++d) {
        w.du[d].assign(n, 0.0);
        w.dold[d].assign(n, 0.0);
    }
    w.active.assign(n, 0);
    double* u = w.u.data();
    double* g = w.g.data();
    for (int j = 0; j < n; ++j) {
        const double x = xlo + j * h;
        w.x[j] = x;
        const double sx = std::exp(x);
        g[j] = p.call ? positive_part(sx - p.k) : positive_part(p.k - sx);
        u[j] = cell_payoff(x, h, p.k, lk, p.call);
    }
    const double s_lo = std::exp(xlo), s_hi = std::exp(xlo + (n - 1) * h);
    const double tau = p.tau;
    bool kinked = true;  // the value has a kink at the start of the next segment (backward)
    const std::size_t nseg = p.segments.size();
    for (std::size_t si = nseg; si-- > 0;) {
        const Segment& sg = p.segments[si];
        const double len = sg.t1 - sg.t0;
        const double a = 0.5 * sg.sigma * sg.sigma;
        const double b = sg.r - sg.q - a;
        const double lo = a / (h * h) - b / (2.0 * h);
        const double up = a / (h * h) + b / (2.0 * h);
        const double di = -2.0 * a / (h * h) - sg.r;
        // Derivative operators: volatility shift (a' = sigma, b' = -sigma),
        // rate shift (b' = 1, r' = 1).
        const double vlo = sg.sigma / (h * h) + sg.sigma / (2.0 * h);
        const double vup = sg.sigma / (h * h) - sg.sigma / (2.0 * h);
        const double vdi = -2.0 * sg.sigma / (h * h);
        const double rlo = -1.0 / (2.0 * h), rup = 1.0 / (2.0 * h), rdi = -1.0;
        const double dlo[2] = {vlo, rlo}, dup[2] = {vup, rup}, ddi[2] = {vdi, rdi};

        // Exercise inside the segment never beats holding on to its end
        // where the option's carry is not negative: a call with r >= 0 and
        // q <= 0 is worth at least S e^{-q s} - K e^{-r s} >= S - K after a
        // time s, a put with r <= 0 and q >= 0 at least K e^{-r s} - S e^{-q s}
        // >= K - S. There the segment is solved without the constraint (a
        // call is then exercised only just before an ex-date, where the
        // choice is made below): with it, a grid's error could put nodes
        // into exercise whose true value lies above the payoff by less than
        // that error, and every grid would agree on the payoff.
        const bool constrained =
            p.american && !(p.call ? sg.r >= 0.0 && sg.q <= 0.0 : sg.r <= 0.0 && sg.q >= 0.0);
        if (p.american && !constrained) std::fill(w.active.begin(), w.active.end(), 0);
        int m = static_cast<int>(std::ceil(steps * len / tau));
        const int m_min = std::max(4, steps / 8);
        if (m < m_min) m = m_min;
        // Time grid: away from a kink, the first `kg` steps graded as
        // (i/kg)^2 over a stretch kg dt_u / 2 long, then steps of dt_u (the
        // last graded step is about dt_u: the grading joins smoothly); all
        // m steps uniform without a kink. Equal steps reuse one matrix
        // factorization.
        const bool graded = kinked;
        const int kg = graded ? std::max(2, m / 2) : 0;
        const double dt_u = len / (m - 0.5 * kg);
        const double graded_len = 0.5 * kg * dt_u;
        int rannacher = graded ? 2 : 0;
        double elapsed = 0.0;
        for (int i = 1; i <= m; ++i) {
            if (cancel_requested() || (w.budget -= n) < 0.0) {
                res.ok = false;
                return res;
            }
            double dt_full;
            if (i <= kg) {
                const double f = static_cast<double>(i) / kg;
                const double target = graded_len * f * f;
                dt_full = target - elapsed;
                elapsed = target;
            } else {
                dt_full = dt_u;
                elapsed += dt_u;
            }
            const int sub = (rannacher > 0) ? 2 : 1;
            const double theta = (rannacher > 0) ? 1.0 : 0.5;
            if (rannacher > 0) --rannacher;
            const double dt = dt_full / sub;
            for (int s = 0; s < sub; ++s) {
                const double t_new = sg.t1 - (elapsed - dt_full + (s + 1) * dt);
                double db[2];
                const double b_lo = far_value(p, si, t_new, s_lo, &db[0]);
                const double b_hi = far_value(p, si, t_new, s_hi, &db[1]);
                // Explicit part.
                std::copy(w.u.begin(), w.u.end(), w.old.begin());
                const double* o = w.old.data();
                const double ex = (1.0 - theta) * dt;
                double* rhs = w.rhs.data();
                for (int j = 1; j < n - 1; ++j)
                    rhs[j] = o[j] + ex * (lo * o[j - 1] + di * o[j] + up * o[j + 1]);
                Rows rows;
                rows.al = -theta * dt * lo;
                rows.ad = 1.0 - theta * dt * di;
                rows.au = -theta * dt * up;
                rhs[1] -= rows.al * b_lo;
                rhs[n - 2] -= rows.au * b_hi;
                std::uint8_t* act = w.active.data();
                double* srhs = w.scratch.data();
                // One exercise boundary (a put with r >= 0, a call with
                // q >= 0 on this segment): Brennan-Schwartz in one pass,
                // checked; otherwise, or when the check fails, policy
                // iteration from the previous step's exercise set.
                bool solved = false;
                const bool one_boundary = p.call ? sg.q >= 0.0 : sg.r >= 0.0;
                if (constrained && one_boundary) {
                    factorize(n, rows, !p.call, w);
                    factored_solve(n, w, rhs, g, u, act, false, w.dp.data());
                    u[0] = b_lo;
                    u[n - 1] = b_hi;
                    solved = complementary(n, rows, act, rhs, g, u);
                }
                if (constrained && !solved) {
                    for (int it = 0; it < n + 2; ++it) {
                        if (it > 0 && (w.budget -= n) < 0.0) {
                            res.ok = false;
                            return res;
                        }
                        for (int j = 1; j < n - 1; ++j) srhs[j] = act[j] ? g[j] : rhs[j];
                        thomas(n, rows, act, srhs, u, w);
                        u[0] = b_lo;
                        u[n - 1] = b_hi;
                        bool changed = false;
                        for (int j = 1; j < n - 1; ++j) {
                            if (act[j]) {
                                // rhs_1 and rhs_{n-2} already hold the boundary terms.
                                const double left_u = j == 1 ? 0.0 : u[j - 1];
                                const double right_u = j == n - 2 ? 0.0 : u[j + 1];
                                const double res_j =
                                    rows.al * left_u + rows.ad * u[j] + rows.au * right_u - rhs[j];
                                if (res_j < 0.0) {
                                    act[j] = 0;
                                    changed = true;
                                }
                            } else if (g[j] > 0.0 && u[j] < g[j]) {
                                act[j] = 1;
                                changed = true;
                            }
                        }
                        if (!changed) break;
                    }
                } else if (!constrained) {
                    factorize(n, rows, !p.call, w);
                    factored_solve(n, w, rhs, nullptr, u, act, false, w.dp.data());
                    u[0] = b_lo;
                    u[n - 1] = b_hi;
                }
                // Derivatives: the same matrix and policy, right-hand side
                // (I + ex L) du_old + ex L' u_old + theta dt L' u_new.
                // The cached factors serve when they belong to this matrix
                // and the exercise rows are where the elimination finishes.
                bool fast_dirs = false;
                if (directions > 0) {
                    if (!constrained || !one_boundary || !solved) factorize(n, rows, !p.call, w);
                    fast_dirs = active_at_finish(n, act, !p.call);
                }
                // ex L' u_old + theta dt L' u_new = L' (ex u_old + theta dt u_new):
                // the mix once for both directions.
                double* mix = w.mix.data();
                if (directions > 0) {
                    const double im = theta * dt;
                    for (int j = 0; j < n; ++j) mix[j] = ex * o[j] + im * u[j];
                }
                for (int d = 0; d < directions; ++d) {
                    w.du[d].swap(w.dold[d]);  // the solve below writes every row of du
                    const double* q0 = w.dold[d].data();
                    double* du = w.du[d].data();
                    const double cl = dlo[d], cd = ddi[d], cu = dup[d];
                    for (int j = 1; j < n - 1; ++j)
                        srhs[j] = q0[j] + ex * (lo * q0[j - 1] + di * q0[j] + up * q0[j + 1]) +
                                  (cl * mix[j - 1] + cd * mix[j] + cu * mix[j + 1]);
                    // The far values depend on the rate, not the volatility.
                    const double dlo_b = d == 1 ? db[0] : 0.0, dhi_b = d == 1 ? db[1] : 0.0;
                    srhs[1] -= rows.al * dlo_b;
                    srhs[n - 2] -= rows.au * dhi_b;
                    for (int j = 1; j < n - 1; ++j)
                        if (act[j]) srhs[j] = 0.0;
                    if (fast_dirs) {
                        factored_solve(n, w, srhs, nullptr, du, act, true, w.dp.data());
                    } else {
                        thomas(n, rows, act, srhs, du, w);
                    }
                    du[0] = dlo_b;
                    du[n - 1] = dhi_b;
                }
            }
        }
        kinked = false;
        if (!sg.dividend) continue;
        // Ex-date t0: just before it the stock is worth S, just after S - D
        // (or S times the kept fraction), at least zero.
        double dv0 = 0.0;
        const double v0 = zero_stock_value(p, si, &dv0);
        const double s_min = std::exp(xlo);
        std::copy(w.u.begin(), w.u.end(), w.old.begin());
        for (int d = 0; d < directions; ++d)
            std::copy(w.du[d].begin(), w.du[d].end(), w.dold[d].begin());
        // The value just before the ex-date at log-spot x, from the values
        // just after it (before the choice to exercise), with its
        // derivatives along the directions in dval.
        auto carried = [&](double x, double* dval) {
            const double after = std::exp(x) * sg.keep - sg.cash;
            double val;
            dval[0] = dval[1] = 0.0;
            if (!(after > 0.0)) {
                val = v0;
                dval[1] = dv0;
            } else {
                const double pos = (std::log(after) - xlo) / h;
                if (pos < 0.0) {
                    // Below the grid: linear in S between S = 0 and the first node.
                    const double f = after / s_min;
                    val = v0 + (w.old[0] - v0) * f;
                    dval[1] = dv0 + (0.0 - dv0) * f;
                    for (int d = 0; d < directions; ++d) dval[d] += w.dold[d][0] * f;
                } else {
                    int i = static_cast<int>(pos);
                    i = std::min(std::max(i, 1), n - 3);
                    const double t = pos - i;  // offset from node i, in [-1, 2]
                    // Cubic Lagrange weights on nodes i-1, i, i+1, i+2.
                    const double wm = -t * (t - 1.0) * (t - 2.0) / 6.0;
                    const double w0 = (t + 1.0) * (t - 1.0) * (t - 2.0) / 2.0;
                    const double w1 = -(t + 1.0) * t * (t - 2.0) / 2.0;
                    const double w2 = (t + 1.0) * t * (t - 1.0) / 6.0;
                    const double* o = w.old.data();
                    val = wm * o[i - 1] + w0 * o[i] + w1 * o[i + 1] + w2 * o[i + 2];
                    for (int d = 0; d < directions; ++d) {
                        const double* q0 = w.dold[d].data();
                        dval[d] = wm * q0[i - 1] + w0 * q0[i] + w1 * q0[i + 1] + w2 * q0[i + 2];
                    }
                }
            }
            return val;
        };
        auto payoff = [&](double x) {
            const double sx = std::exp(x);
            return p.call ? positive_part(sx - p.k) : positive_part(p.k - sx);
        };
        // ... and after the choice.
        auto chosen = [&](double x, double* dval) {
            double val = carried(x, dval);
            const double gx = payoff(x);
            if (p.american && gx > val) {
                val = gx;
                dval[0] = dval[1] = 0.0;
            }
            return val;
        };
        double* held = w.scratch.data();  // the carried values at the nodes
        for (int j = 0; j < n; ++j) {
            double dval[2];
            double val = carried(w.x[j], dval);
            held[j] = val;
            if (p.american && g[j] > val) {
                val = g[j];
                dval[0] = dval[1] = 0.0;
            }
            u[j] = val;
            for (int d = 0; d < directions; ++d) w.du[d][j] = dval[d];
        }
        // Where the value just before the ex-date has a kink (where the stock
        // would go to zero, and where exercise starts), the node whose cell
        // holds it takes the cell's average, each side of the kink
        // integrated apart: a kink between nodes otherwise leaves an error
        // that varies with its place between them, which the extrapolation
        // of successive grids does not remove.
        const double x_zero = sg.cash > 0.0 ? std::log(sg.cash / sg.keep) : -kInf;
        auto smooth = [&](double xk) {
            const int k = static_cast<int>(std::lround((xk - xlo) / h));
            if (k <= 0 || k >= n - 1 || !std::isfinite(xk)) return;
            const double a = w.x[k] - 0.5 * h, b = w.x[k] + 0.5 * h;
            static constexpr double gx[4] = {-0.8611363115940526, -0.3399810435848563,
                                             0.3399810435848563, 0.8611363115940526};
            static constexpr double gw[4] = {0.3478548451374538, 0.6521451548625461,
                                             0.6521451548625461, 0.3478548451374538};
            // Pieces between the cell's ends and every kink inside it: this
            // one, where the stock would go to zero and the strike.
            double cut[5] = {a, xk, b, b, b};
            int cuts = 3;
            for (const double extra : {x_zero, lk}) {
                if (extra > a && extra < b && extra != xk) cut[cuts++] = extra;
            }
            std::sort(cut, cut + cuts);
            double sum = 0.0, dsum[2] = {0.0, 0.0};
            for (int c = 0; c + 1 < cuts; ++c) {
                const double lo = cut[c], hi = cut[c + 1];
                const double half = 0.5 * (hi - lo), mid = 0.5 * (hi + lo);
                for (int m = 0; m < 4; ++m) {
                    double dval[2];
                    const double v = chosen(mid + half * gx[m], dval);
                    sum += gw[m] * half * v;
                    for (int d = 0; d < directions; ++d) dsum[d] += gw[m] * half * dval[d];
                }
            }
            u[k] = sum / h;
            for (int d = 0; d < directions; ++d) w.du[d][k] = dsum[d] / h;
        };
        if (sg.cash > 0.0) smooth(x_zero);
        if (p.american) {
            for (int j = 0; j + 1 < n; ++j) {
                const bool ex0 = g[j] > held[j], ex1 = g[j + 1] > held[j + 1];
                if (ex0 == ex1) continue;
                // The crossing of the carried value and the payoff, by bisection.
                double lo = w.x[j], hi = w.x[j + 1];
                for (int it = 0; it < 60 && hi - lo > 1e-14 * h; ++it) {
                    const double mid = 0.5 * (lo + hi);
                    double dval[2];
                    const bool ex = payoff(mid) > carried(mid, dval);
                    (ex == ex0 ? lo : hi) = mid;
                }
                smooth(0.5 * (lo + hi));
            }
        }
        for (int j = 0; j < n; ++j)
            w.active[j] = (p.american && u[j] == g[j] && g[j] > 0.0) ? 1 : 0;
        kinked = true;
    }
    res.value = u[spot];
    res.dx = (u[spot + 1] - u[spot - 1]) / (2.0 * h);
    res.dxx = (u[spot + 1] - 2.0 * u[spot] + u[spot - 1]) / (h * h);
    res.exercised = p.american && w.active[spot] != 0;
    for (int d = 0; d < directions; ++d) res.dir[d] = w.du[d][spot];
    return res;
}

}  // namespace detail

}  // namespace orvelta::dividends
