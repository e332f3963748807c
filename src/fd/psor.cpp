#include "fd/psor.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace orvelta::fd {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A node is exercised when its value lies this close to a positive payoff.
constexpr double kExerciseTolerance = 5e-5;

// Smallest time step numerator, so that dt stays positive for tau <= 0.
constexpr double kMinTau = 1e-10;

// One projected Gauss-Seidel sweep over the interior nodes 1..N-1 in ascending
// order, updating v in place; returns the largest absolute change. The
// coefficients of the backward-Euler operator are recomputed from i at every
// node rather than stored, and every product is evaluated in the written order
// so the result is the same double on every build. std::max(a, b) keeps a
// unless b is greater: a NaN change leaves err alone, a NaN relaxed value is
// projected to the payoff.
template <bool American>
double sweep(std::int64_t N, double* v, const double* rhs, const double* P, double sig2,
             double drift, double r, double dt, double mhdt, double omega) noexcept {
    double err = 0.0;
    for (std::int64_t i = 1; i < N; ++i) {
        const double x = static_cast<double>(i);
        const double w = sig2 * x * x;
        const double a = (w - x * drift) * mhdt;  // coefficient of V[i-1]
        const double c = (x * drift + w) * mhdt;  // coefficient of V[i+1]
        const double b = (w + r) * dt + 1.0;      // diagonal
        const double y = ((rhs[i] - a * v[i - 1]) - c * v[i + 1]) / b;
        const double before = v[i];
        double z = (y - before) * omega + before;
        if (American) z = std::max(P[i], z);
        err = std::max(err, std::fabs(z - before));
        v[i] = z;
    }
    return err;
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

template <bool American>
PsorResult solve(double s, double k, double r, double q, double sigma, double tau, bool call,
                 std::int64_t N, std::int64_t M, double s_max_mult, double omega, double tol,
                 int max_iter, double* s_grid, double* boundary, double* residuals,
                 double* values) {
    const auto nodes = static_cast<std::size_t>(N) + 1;

    // The five work vectors (grid, payoff, old, new, right-hand side), zero
    // filled, in one allocation.
    std::vector<double> work(5 * nodes, 0.0);
    double* S = work.data();
    double* P = S + nodes;
    double* old_v = P + nodes;
    double* new_v = old_v + nodes;
    double* rhs = new_v + nodes;

    // Grid from 0 to s_max; std::max(s, k) takes s when the two are unordered.
    const double m = std::max(s, k);
    const double s_max = std::max(1.5 * m, m * s_max_mult);
    const double ds = s_max / static_cast<double>(N);
    for (std::int64_t i = 0; i <= N; ++i) S[i] = static_cast<double>(i) * ds;

    for (std::int64_t i = 0; i <= N; ++i) {
        P[i] = call ? std::max(S[i] - k, 0.0) : std::max(k - S[i], 0.0);
    }
    std::copy(P, P + nodes, old_v);
    std::copy(P, P + nodes, new_v);

    if (boundary != nullptr) {
        std::fill(boundary, boundary + M + 1, kNaN);
        boundary[M] = k;
    }
    if (values != nullptr) std::copy(P, P + nodes, values + static_cast<std::size_t>(M) * nodes);

    const double dt = std::max(tau, kMinTau) / static_cast<double>(M);
    const double mhdt = -0.5 * dt;
    const double sig2 = sigma * sigma;
    const double drift = r - q;

    double max_residual = 0.0;
    for (std::int64_t n = M - 1; n >= 0; --n) {
        // Time to expiry of this level, from the unfloored tau.
        const double tn = tau - static_cast<double>(n) * dt;

        // Dirichlet values at S = 0 and S = s_max, never below the payoff.
        double lower;
        double upper;
        if (call) {
            lower = 0.0;
            upper = s_max * std::exp(-q * tn) - k * std::exp(-r * tn);
        } else {
            lower = k * std::exp(-r * tn);
            upper = 0.0;
        }
        lower = std::max(P[0], lower);
        upper = std::max(P[N], upper);

        for (std::int64_t i = 1; i < N; ++i) {
            rhs[i] = old_v[i];
            new_v[i] = old_v[i];
        }
        rhs[0] = new_v[0] = lower;
        rhs[N] = new_v[N] = upper;

        // Sweep until the largest change drops strictly below tol, at most
        // max_iter times; no sweep at all leaves the level at its start.
        double err = 0.0;
        for (int it = 0; it < max_iter; ++it) {
            err = sweep<American>(N, new_v, rhs, P, sig2, drift, r, dt, mhdt, omega);
            if (err < tol) break;
        }
        if (residuals != nullptr) residuals[n] = err;
        max_residual = std::max(max_residual, err);

        if (boundary != nullptr) {
            boundary[n] = American ? exercise_boundary(N, new_v, P, S, call) : kNaN;
        }
        if (values != nullptr) {
            std::copy(new_v, new_v + nodes, values + static_cast<std::size_t>(n) * nodes);
        }
        std::swap(old_v, new_v);
    }

    // Level 0 now sits in old_v: interpolate linearly between the nodes around s.
    const double* V = old_v;
    const std::int64_t i0 = lower_node(s / ds, N);
    const double w = (s - S[i0]) / ds;
    const double price = (1.0 - w) * V[i0] + w * V[i0 + 1];

    if (s_grid != nullptr) std::copy(S, S + nodes, s_grid);
    return {price, max_residual};
}

}  // namespace

PsorResult pde_psor_solve(double s, double k, double r, double q, double sigma, double tau,
                          int option_type, int s_steps, int t_steps, double s_max_mult,
                          double omega, double tol, int max_iter, bool american,
                          double* s_grid, double* boundary, double* residuals, double* values) {
    const std::int64_t N = price_intervals(s_steps);
    const std::int64_t M = time_steps(t_steps);
    const bool call = option_type > 0;
    if (american) {
        return solve<true>(s, k, r, q, sigma, tau, call, N, M, s_max_mult, omega, tol, max_iter,
                           s_grid, boundary, residuals, values);
    }
    return solve<false>(s, k, r, q, sigma, tau, call, N, M, s_max_mult, omega, tol, max_iter,
                        s_grid, boundary, residuals, values);
}

void pde_psor_batch(std::size_t count, const double* s, const double* k, const double* r,
                    const double* q, const double* sigma, const double* tau,
                    const int* option_type, int s_steps, int t_steps, double s_max_mult,
                    double omega, double tol, int max_iter, bool american, double* prices,
                    double* residuals) {
    for (std::size_t i = 0; i < count; ++i) {
        const PsorResult res =
            pde_psor_solve(s[i], k[i], r[i], q[i], sigma[i], tau[i], option_type[i], s_steps,
                           t_steps, s_max_mult, omega, tol, max_iter, american, nullptr, nullptr,
                           nullptr, nullptr);
        prices[i] = res.price;
        residuals[i] = res.max_residual;
    }
}

}  // namespace orvelta::fd
