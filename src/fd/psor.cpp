#include "fd/psor.hpp"

#include "common/constants.hpp"
#include "common/interrupt.hpp"
#include "common/memory.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

namespace orvelta::fd {

namespace {

// A node is exercised when its value lies this close to a positive payoff.
constexpr double kExerciseTolerance = 5e-5;

// Smallest time step numerator, so that dt stays positive for tau <= 0.
constexpr double kMinTau = 1e-10;

// A Gauss-Seidel sweep is one long chain of dependent operations (each node
// waits for the division of the one below it), so a plain solve is bound by
// latency. Two ways give the processor independent chains to overlap without
// changing any operation: a lone solve runs two consecutive sweeps pipelined
// in one pass over the nodes, and the batch sweeps up to kLanes options side
// by side. Every price and residual is bit for bit that of the plain solve.
constexpr int kLanes = 4;

// Settings shared by every option of a call.
struct Settings {
    std::int64_t N;  // price intervals
    std::int64_t M;  // time steps
    double s_max_mult;
    double omega;
    double tol;
    int max_iter;
    bool american;
};

// One option on its grid: constants, work vectors, progress through the time
// levels and the optional per-level outputs of a single solve.
struct Lane {
    double s, k, r, q, tau;
    bool call;
    double s_max, ds, dt, mhdt, sig2, drift;
    double* S;           // price grid
    double* P;           // payoff
    double* old_v;       // values at the later level, already solved
    double* new_v;       // values at the level being solved (the iterate)
    double* rhs;         // right-hand side of the level's system
    double* ahead;       // the sweep after the current one, computed alongside it
    std::int64_t level;  // level being solved, M - 1 down to 0; -1 once solved
    int sweeps;          // sweeps made at this level
    double err;          // largest change of the last sweep
    double tol;          // stopping rule of the levels (from the settings)
    int max_iter;
    double max_residual;
    double* boundary;   // M + 1 entries, or null
    double* residuals;  // M entries, or null
    double* values;     // (M + 1) x (N + 1), or null
};

// Vectors per lane: the five of the solver and the look-ahead iterate.
constexpr std::size_t kVectors = 6;

// Points the lane's vectors into `work` (kVectors * (N + 1) entries).
void attach(Lane& L, double* work, std::int64_t N) noexcept {
    const auto nodes = static_cast<std::size_t>(N) + 1;
    L.S = work;
    L.P = L.S + nodes;
    L.old_v = L.P + nodes;
    L.new_v = L.old_v + nodes;
    L.rhs = L.new_v + nodes;
    L.ahead = L.rhs + nodes;
}

// Sets up the time level L.level: Dirichlet values at S = 0 and S = s_max,
// never below the payoff, and the starting iterate.
void begin_level(Lane& L, const Settings& g) noexcept {
    const std::int64_t N = g.N;
    // Time to expiry of this level, from the unfloored tau.
    const double tn = L.tau - static_cast<double>(L.level) * L.dt;
    double lower;
    double upper;
    if (L.call) {
        lower = 0.0;
        upper = L.s_max * std::exp(-L.q * tn) - L.k * std::exp(-L.r * tn);
    } else {
        lower = L.k * std::exp(-L.r * tn);
        upper = 0.0;
    }
    lower = std::max(L.P[0], lower);
    upper = std::max(L.P[N], upper);
    for (std::int64_t i = 1; i < N; ++i) {
        L.rhs[i] = L.old_v[i];
        L.new_v[i] = L.old_v[i];
    }
    L.rhs[0] = L.new_v[0] = lower;
    L.rhs[N] = L.new_v[N] = upper;
    L.ahead[0] = lower;
    L.ahead[N] = upper;
    L.sweeps = 0;
    L.err = 0.0;
}

// Starts solving one option: grid, payoff, outputs at expiry, first level.
void begin_option(Lane& L, const Settings& g, double s, double k, double r, double q, double sigma,
                  double tau, int option_type) noexcept {
    const std::int64_t N = g.N;
    const std::int64_t M = g.M;
    const auto nodes = static_cast<std::size_t>(N) + 1;
    L.s = s;
    L.k = k;
    L.r = r;
    L.q = q;
    L.tau = tau;
    L.call = option_type > 0;

    // Grid from 0 to s_max; std::max(s, k) takes s when the two are unordered.
    const double m = std::max(s, k);
    L.s_max = std::max(1.5 * m, m * g.s_max_mult);
    L.ds = L.s_max / static_cast<double>(N);
    for (std::int64_t i = 0; i <= N; ++i) L.S[i] = static_cast<double>(i) * L.ds;
    for (std::int64_t i = 0; i <= N; ++i) {
        L.P[i] = L.call ? std::max(L.S[i] - k, 0.0) : std::max(k - L.S[i], 0.0);
    }
    std::copy(L.P, L.P + nodes, L.old_v);
    std::copy(L.P, L.P + nodes, L.new_v);
    std::fill(L.rhs, L.rhs + nodes, 0.0);

    if (L.boundary != nullptr) {
        std::fill(L.boundary, L.boundary + M + 1, kNaN);
        L.boundary[M] = k;
    }
    if (L.values != nullptr)
        std::copy(L.P, L.P + nodes, L.values + static_cast<std::size_t>(M) * nodes);

    L.dt = std::max(tau, kMinTau) / static_cast<double>(M);
    L.mhdt = -0.5 * L.dt;
    L.sig2 = sigma * sigma;
    L.drift = r - q;
    L.max_residual = 0.0;
    L.tol = g.tol;
    L.max_iter = g.max_iter;
    L.level = M - 1;
    begin_level(L, g);
}

// Critical price of one level: the smallest exercised node for a call, the
// largest for a put, NaN when no interior node is exercised.
double exercise_boundary(std::int64_t N, const double* v, const double* P, const double* S,
                         bool call) noexcept {
    double found = kNaN;
    for (std::int64_t i = 1; i < N; ++i) {
        if (std::fabs(v[i] - P[i]) < kExerciseTolerance && P[i] > 0.0) {
            if (call) return S[i];
            found = S[i];
        }
    }
    return found;
}

// Ends levels for as long as their stopping rule holds: after a sweep whose
// largest change is strictly below tol, after max_iter sweeps, or at once when
// max_iter <= 0 (no sweep, residual 0). The solved level becomes the old
// vector of the next one.
void advance(Lane& L, const Settings& g) noexcept {
    const std::int64_t N = g.N;
    const auto nodes = static_cast<std::size_t>(N) + 1;
    while (L.level >= 0 && (L.sweeps >= g.max_iter || (L.sweeps > 0 && L.err < g.tol))) {
        const std::int64_t n = L.level;
        if (L.residuals != nullptr) L.residuals[n] = L.err;
        L.max_residual = std::max(L.max_residual, L.err);
        if (L.boundary != nullptr) {
            L.boundary[n] = g.american ? exercise_boundary(N, L.new_v, L.P, L.S, L.call) : kNaN;
        }
        if (L.values != nullptr) {
            std::copy(L.new_v, L.new_v + nodes, L.values + static_cast<std::size_t>(n) * nodes);
        }
        std::swap(L.old_v, L.new_v);
        L.level = n - 1;
        if (L.level >= 0) begin_level(L, g);
    }
}

// Index of the node at or below x = s / ds, clamped to 0..N-1. The clamp is
// done on the double so that NaN (taken as 0) and values outside the int range
// never reach an undefined conversion.
std::int64_t lower_node(double x, std::int64_t N) noexcept {
    const double f = std::floor(x);
    if (!(f > 0.0)) return 0;
    const double top = static_cast<double>(N - 1);
    if (f >= top) return N - 1;
    return static_cast<std::int64_t>(f);
}

// Price at the spot from the level-0 values (in old_v once the lane is
// solved): linear interpolation between the nodes around s.
double spot_price(const Lane& L, std::int64_t N) noexcept {
    const std::int64_t i0 = lower_node(L.s / L.ds, N);
    const double w = (L.s - L.S[i0]) / L.ds;
    return (1.0 - w) * L.old_v[i0] + w * L.old_v[i0 + 1];
}

// Books a pipelined pair of sweeps with changes err1 and err2. The first
// always counts. The second counts only where the stopping rule would have run
// it: when the first left a change not below tol and max_iter allows another
// sweep; its iterate then becomes the level's current one.
inline void accept_sweeps(Lane& L, double err1, double err2) noexcept {
    ++L.sweeps;
    L.err = err1;
    if (err1 < L.tol || L.sweeps >= L.max_iter) return;
    ++L.sweeps;
    L.err = err2;
    std::swap(L.new_v, L.ahead);
}

// Constants of the backward-Euler operator of one option.
struct Operator {
    double sig2, drift, r, dt, mhdt;
};

inline Operator operator_of(const Lane& L) noexcept { return {L.sig2, L.drift, L.r, L.dt, L.mhdt}; }

// Row i of the level's tridiagonal system, x = i as a double. The
// coefficients are recomputed from i rather than stored, and every product is
// evaluated in the written order.
struct Coefficients {
    double a;  // of V[i-1]
    double c;  // of V[i+1]
    double b;  // diagonal
};

inline Coefficients coefficients(const Operator& op, double x) noexcept {
    const double w = op.sig2 * x * x;
    return {(w - x * op.drift) * op.mhdt, (x * op.drift + w) * op.mhdt, (w + op.r) * op.dt + 1.0};
}

// One projected, over-relaxed Gauss-Seidel update of a node from its lower
// neighbour as already updated, its upper neighbour from the previous sweep
// and its own current value; the largest change is kept in err.
// std::max(a, b) keeps a unless b is greater: a NaN change leaves err alone,
// a NaN relaxed value is projected to the payoff.
template <bool American>
inline double relax(double rhs, const Coefficients& co, double below, double above, double here,
                    double payoff, double omega, double& err) noexcept {
    const double y = ((rhs - co.a * below) - co.c * above) / co.b;
    double z = (y - here) * omega + here;
    if (American) z = std::max(payoff, z);
    err = std::max(err, std::fabs(z - here));
    return z;
}

// Two consecutive projected Gauss-Seidel sweeps of one lane, pipelined. A sweep visits the interior
// nodes 1..N-1 in ascending order, updating in place: node i uses node i - 1 as already updated in
// this sweep and node i + 1 from the previous sweep. The following sweep can therefore update node
// i - 1 as soon as this one has updated node i, so both run in one pass over
// the nodes, the first in new_v and the second into `ahead`, and the processor
// overlaps their dependency chains (and those of the other lanes). Whether the
// second sweep counts is decided afterwards by the stopping rule (see
// accept_sweeps); its values are the ones a separate sweep would give.
template <bool American>
void sweep_twice(Lane& L, std::int64_t N, double omega) noexcept {
    const Operator op = operator_of(L);
    double* v1 = L.new_v;
    double* v2 = L.ahead;
    const double* rhs = L.rhs;
    const double* P = L.P;
    double err1 = 0.0;
    double err2 = 0.0;
    double below1 = v1[0];  // node i - 1 after the first sweep
    double here1 = v1[1];   // node i before the first sweep
    double below2 = v1[0];  // node i - 2 after the second sweep
    // Node 1 of the first sweep has no second-sweep partner yet.
    Coefficients prev = coefficients(op, 1.0);
    double last1 = relax<American>(rhs[1], prev, below1, v1[2], here1, P[1], omega, err1);
    v1[1] = last1;
    below1 = last1;
    here1 = v1[2];
    // Node i of the first sweep, then node i - 1 of the second, whose upper
    // neighbour is now final.
    for (std::int64_t i = 2; i < N; ++i) {
        const double above = v1[i + 1];
        const Coefficients co = coefficients(op, static_cast<double>(i));
        const double z = relax<American>(rhs[i], co, below1, above, here1, P[i], omega, err1);
        v1[i] = z;
        const double z2 =
            relax<American>(rhs[i - 1], prev, below2, z, last1, P[i - 1], omega, err2);
        v2[i - 1] = z2;
        below2 = z2;
        below1 = z;
        here1 = above;
        last1 = z;
        prev = co;
    }
    // Second sweep, last interior node, under the fixed end value.
    v2[N - 1] = relax<American>(rhs[N - 1], prev, below2, v1[N], last1, P[N - 1], omega, err2);
    accept_sweeps(L, err1, err2);
}

// One projected Gauss-Seidel sweep for each of Count lanes, interleaved node
// by node. Several lanes give the processor independent chains to overlap
// without the register pressure of pipelined pairs.
template <bool American, int Count>
void sweep_once(Lane* const* lanes, std::int64_t N, double omega) noexcept {
    Operator op[Count];
    double err[Count], below[Count], here[Count];
    double* v[Count];
    const double* rhs[Count];
    const double* P[Count];
    for (int l = 0; l < Count; ++l) {
        const Lane& L = *lanes[l];
        op[l] = operator_of(L);
        err[l] = 0.0;
        v[l] = L.new_v;
        rhs[l] = L.rhs;
        P[l] = L.P;
        below[l] = L.new_v[0];
        here[l] = L.new_v[1];
    }
    for (std::int64_t i = 1; i < N; ++i) {
        const double x = static_cast<double>(i);
#pragma GCC unroll 4
        for (int l = 0; l < Count; ++l) {
            const double above = v[l][i + 1];
            const double z = relax<American>(rhs[l][i], coefficients(op[l], x), below[l], above,
                                             here[l], P[l][i], omega, err[l]);
            v[l][i] = z;
            below[l] = z;
            here[l] = above;
        }
    }
    for (int l = 0; l < Count; ++l) {
        lanes[l]->err = err[l];
        ++lanes[l]->sweeps;
    }
}

template <bool American>
void sweep_lanes(Lane* const* lanes, int count, std::int64_t N, double omega) noexcept {
    // Measured: a lone option gains most from a pipelined pair, several from
    // interleaving single sweeps of different options.
    switch (count) {
        case 1: sweep_twice<American>(*lanes[0], N, omega); break;
        case 2: sweep_once<American, 2>(lanes, N, omega); break;
        case 3: sweep_once<American, 3>(lanes, N, omega); break;
        default: sweep_once<American, 4>(lanes, N, omega); break;
    }
}

void sweep_lanes(bool american, Lane* const* lanes, int count, std::int64_t N,
                 double omega) noexcept {
    if (american) {
        sweep_lanes<true>(lanes, count, N, omega);
    } else {
        sweep_lanes<false>(lanes, count, N, omega);
    }
}

// Node updates between two interrupt polls (well under a millisecond).
constexpr std::int64_t kPollNodes = 1 << 16;

bool finite_inputs(double s, double k, double r, double q, double sigma, double tau) noexcept {
    // Any NaN or infinity makes the sum non-finite.
    return std::isfinite(s) && std::isfinite(k) && std::isfinite(r) && std::isfinite(q) &&
           std::isfinite(sigma) && std::isfinite(tau);
}

// An option whose inputs are not all finite has no price. Its lane is set up
// as usual (grid, payoff, expiry outputs), then every level is booked as
// unsolved: NaN residuals, boundary and values.
void book_undefined(Lane& L, const Settings& g) noexcept {
    const auto nodes = static_cast<std::size_t>(g.N) + 1;
    for (std::int64_t n = L.level; n >= 0; --n) {
        if (L.residuals != nullptr) L.residuals[n] = kNaN;
        if (L.boundary != nullptr) L.boundary[n] = kNaN;
        if (L.values != nullptr) {
            std::fill(L.values + static_cast<std::size_t>(n) * nodes,
                      L.values + static_cast<std::size_t>(n + 1) * nodes, kNaN);
        }
    }
    std::fill(L.new_v, L.new_v + nodes, kNaN);
    std::fill(L.old_v, L.old_v + nodes, kNaN);
    L.max_residual = kNaN;
    L.level = -1;
}

Settings settings(int s_steps, int t_steps, double s_max_mult, double omega, double tol,
                  int max_iter, bool american) noexcept {
    return {
        price_intervals(s_steps), time_steps(t_steps), s_max_mult, omega, tol, max_iter, american};
}

}  // namespace

void check_settings(double omega, double tol) {
    if (!(omega > 0.0 && omega < 2.0)) throw std::runtime_error("omega must lie in (0, 2)");
    if (!(tol >= 0.0)) throw std::runtime_error("tol must be a number >= 0");
}

double solve_work_bytes(int s_steps) noexcept {
    return bytes_of(
        static_cast<double>(kVectors) * static_cast<double>(price_intervals(s_steps) + 1),
        sizeof(double));
}

double batch_work_bytes(int s_steps, std::size_t count) noexcept {
    const auto width = static_cast<double>(std::min<std::size_t>(count, kLanes));
    return width * solve_work_bytes(s_steps);
}

PsorResult pde_psor_solve(double s, double k, double r, double q, double sigma, double tau,
                          int option_type, int s_steps, int t_steps, double s_max_mult,
                          double omega, double tol, int max_iter, bool american, double* s_grid,
                          double* boundary, double* residuals, double* values) {
    check_settings(omega, tol);
    const Settings g = settings(s_steps, t_steps, s_max_mult, omega, tol, max_iter, american);
    const auto nodes = static_cast<std::size_t>(g.N) + 1;
    // The work vectors, zero filled, in one allocation before the time
    // loop; the loop itself allocates nothing and swaps old and new.
    require_memory("pde_psor_solve", solve_work_bytes(s_steps));
    std::vector<double> work(kVectors * nodes, 0.0);
    Lane L{};
    attach(L, work.data(), g.N);
    L.boundary = boundary;
    L.residuals = residuals;
    L.values = values;
    begin_option(L, g, s, k, r, q, sigma, tau, option_type);
    Lane* const lanes[1] = {&L};
    if (!finite_inputs(s, k, r, q, sigma, tau)) {
        book_undefined(L, g);
        if (s_grid != nullptr) std::copy(L.S, L.S + nodes, s_grid);
        return {kNaN, kNaN};
    }
    advance(L, g);
    InterruptPacer pacer(kPollNodes);
    while (L.level >= 0) {
        sweep_lanes(american, lanes, 1, g.N, omega);
        advance(L, g);
        pacer.tick(2 * g.N);
    }
    if (s_grid != nullptr) std::copy(L.S, L.S + nodes, s_grid);
    return {spot_price(L, g.N), L.max_residual};
}

void pde_psor_batch(std::size_t count, const double* s, const double* k, const double* r,
                    const double* q, const double* sigma, const double* tau, const int* option_type,
                    int s_steps, int t_steps, double s_max_mult, double omega, double tol,
                    int max_iter, bool american, double* prices, double* residuals) {
    check_settings(omega, tol);
    if (count == 0) return;
    const Settings g = settings(s_steps, t_steps, s_max_mult, omega, tol, max_iter, american);
    const auto nodes = static_cast<std::size_t>(g.N) + 1;
    const int width = static_cast<int>(std::min<std::size_t>(count, kLanes));
    require_memory("pde_psor_batch", batch_work_bytes(s_steps, count));
    InterruptPacer pacer(kPollNodes);
    std::vector<double> work(static_cast<std::size_t>(width) * kVectors * nodes, 0.0);
    Lane pool[kLanes] = {};
    std::size_t option_of[kLanes] = {};
    Lane* active[kLanes];
    int n_active = 0;
    std::size_t next = 0;

    // Puts the next options on lane `L` until one needs sweeps (an option
    // solved without any, max_iter <= 0, is written at once); false when no
    // option is left.
    auto load = [&](Lane& L, std::size_t& slot) {
        while (next < count) {
            const std::size_t i = next++;
            begin_option(L, g, s[i], k[i], r[i], q[i], sigma[i], tau[i], option_type[i]);
            pacer.tick(g.N);
            if (!finite_inputs(s[i], k[i], r[i], q[i], sigma[i], tau[i])) {
                prices[i] = kNaN;
                residuals[i] = kNaN;
                continue;
            }
            advance(L, g);
            if (L.level >= 0) {
                slot = i;
                return true;
            }
            prices[i] = spot_price(L, g.N);
            residuals[i] = L.max_residual;
        }
        return false;
    };

    for (int l = 0; l < width; ++l) {
        attach(pool[l], work.data() + static_cast<std::size_t>(l) * kVectors * nodes, g.N);
        if (load(pool[l], option_of[l])) active[n_active++] = &pool[l];
    }
    while (n_active > 0) {
        sweep_lanes(american, active, n_active, g.N, omega);
        pacer.tick(n_active * g.N);
        int kept = 0;
        for (int a = 0; a < n_active; ++a) {
            Lane& L = *active[a];
            std::size_t& slot = option_of[&L - pool];
            advance(L, g);
            if (L.level < 0) {
                prices[slot] = spot_price(L, g.N);
                residuals[slot] = L.max_residual;
                if (!load(L, slot)) continue;
            }
            active[kept++] = &L;
        }
        n_active = kept;
    }
}

}  // namespace orvelta::fd
