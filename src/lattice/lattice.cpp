#include "lattice/lattice.hpp"

#include "common/threads.hpp"

#include <atomic>
#include <cmath>
#include <exception>
#include <limits>
#include <vector>

namespace orvelta::lattice {

// The batch's per-option pricer is compiled for AVX2 and for the x86-64
// baseline, chosen at load time. Its loops are element-wise IEEE arithmetic in
// a fixed order with no contraction, so both builds give the same doubles; the
// routines it uses are forced inline so that they are compiled into each.
#if defined(__GNUC__) && defined(__x86_64__)
#define ORVELTA_CLONES __attribute__((target_clones("avx2", "default")))
#define ORVELTA_INLINE inline __attribute__((always_inline))
#else
#define ORVELTA_CLONES
#define ORVELTA_INLINE inline
#endif

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMaxFinite = std::numeric_limits<double>::max();

// max(x, 0) that lets a NaN through.
inline double positive_part(double x) noexcept { return x < 0.0 ? 0.0 : x; }

template <bool Call>
ORVELTA_INLINE double payoff(double spot, double k) noexcept {
    return positive_part(Call ? spot - k : k - spot);
}

inline double intrinsic(double s, double k, bool call) noexcept {
    return positive_part(call ? s - k : k - s);
}

// Per-step constants of a lattice of n steps over tau.
struct Steps {
    double disc;   // one-step discount factor
    double ratio;  // u / d, from one node to the next higher one
    double p;      // up-probability
    double pd;     // 1 - p
    double log_d;  // log of the down factor: row F starts at s * exp(F * log_d)
};

ORVELTA_INLINE Steps step_constants(double r, double q, double sigma, double tau, std::int64_t n,
                            int tree_type) noexcept {
    const double dt = tau / static_cast<double>(n);
    const TreeParameters tp = tree_parameters(tree_type, r, q, sigma, dt);
    return {std::exp(-r * dt), tp.u / tp.d, tp.p, 1.0 - tp.p, std::log(tp.d)};
}

// Payoffs at expiry, lowest node first.
template <bool Call>
ORVELTA_INLINE void terminal_row(double s, double k, std::int64_t n, const Steps& c, double* V) noexcept {
    double S = s * std::exp(static_cast<double>(n) * c.log_d);
    for (std::int64_t j = 0; j <= n; ++j) {
        V[j] = payoff<Call>(S, k);
        S *= c.ratio;
    }
}

// Backward induction over a lattice of n steps; V must hold n + 1 entries.
// With Track, boundary[F] receives the critical price of row F (n + 1 entries).
// Both pricers run this one routine, so a batch price is bit for bit the
// single-option price.
template <bool Call, bool American, bool Track>
ORVELTA_INLINE double induct(double s, double k, double r, double q, double sigma, double tau,
              std::int64_t n, int tree_type, double* V, double* boundary) noexcept {
    const Steps c = step_constants(r, q, sigma, tau, n, tree_type);
    const double disc = c.disc, ratio = c.ratio, p = c.p, pd = c.pd, log_d = c.log_d;
    terminal_row<Call>(s, k, n, c, V);

    if (Track) boundary[n] = k;

    for (std::int64_t F = n - 1; F >= 0; --F) {
        double S = s * std::exp(static_cast<double>(F) * log_d);
        double candidate = kNaN;
        for (std::int64_t j = 0; j <= F; ++j) {
            const double cont = (p * V[j + 1] + pd * V[j]) * disc;
            if (American) {
                const double ex = payoff<Call>(S, k);
                V[j] = cont > ex ? cont : ex;
                if (Track && ex > cont + 1e-10) {
                    if (!std::isfinite(candidate)) {
                        candidate = S;
                    } else if (Call) {
                        candidate = S < candidate ? S : candidate;
                    } else {
                        candidate = S > candidate ? S : candidate;
                    }
                }
            } else {
                V[j] = cont;
            }
            S *= ratio;
        }
        if (Track) boundary[F] = candidate;
    }
    return V[0];
}

// Rows handled together by the batch's American induction.
constexpr std::int64_t kRowGroup = 8;

// The same American induction as induct<Call, true, false>, operation for
// operation, organised for throughput. The node prices of a row come from a
// serial chain of multiplications, which bounds the plain loop by the latency
// of one multiply per node. Here the chains of kRowGroup consecutive rows run
// side by side into a scratch block (the processor overlaps independent chains),
// and each row's value update then reads its stored prices with no serial
// dependency left, so it vectorises. Prices and values are bit for bit those
// of the plain loop. S must hold kRowGroup * (n + 1) entries.
template <bool Call>
ORVELTA_INLINE double induct_american_grouped(double s, double k, double r, double q, double sigma, double tau,
                               std::int64_t n, int tree_type, double* V, double* S) noexcept {
    const Steps c = step_constants(r, q, sigma, tau, n, tree_type);
    const double disc = c.disc, ratio = c.ratio, p = c.p, pd = c.pd, log_d = c.log_d;
    terminal_row<Call>(s, k, n, c, V);
    const std::int64_t stride = n + 1;

    std::int64_t top = n - 1;
    for (; top >= kRowGroup - 1; top -= kRowGroup) {
        // Row top - g (g = 0 .. kRowGroup - 1) has top - g + 1 nodes.
        double x[kRowGroup];
        for (std::int64_t g = 0; g < kRowGroup; ++g) {
            x[g] = s * std::exp(static_cast<double>(top - g) * log_d);
        }
        const std::int64_t shortest = top - kRowGroup + 2;
        for (std::int64_t j = 0; j < shortest; ++j) {
            for (std::int64_t g = 0; g < kRowGroup; ++g) {
                S[g * stride + j] = x[g];
                x[g] *= ratio;
            }
        }
        for (std::int64_t g = 0; g < kRowGroup - 1; ++g) {
            for (std::int64_t j = shortest; j <= top - g; ++j) {
                S[g * stride + j] = x[g];
                x[g] *= ratio;
            }
        }
        for (std::int64_t g = 0; g < kRowGroup; ++g) {
            const double* Sg = S + g * stride;
            const std::int64_t F = top - g;
            for (std::int64_t i = 0; i <= F; ++i) {
                const double cont = (p * V[i + 1] + pd * V[i]) * disc;
                const double ex = payoff<Call>(Sg[i], k);
                V[i] = cont > ex ? cont : ex;
            }
        }
    }
    for (; top >= 0; --top) {
        double x = s * std::exp(static_cast<double>(top) * log_d);
        for (std::int64_t j = 0; j <= top; ++j) {
            const double cont = (p * V[j + 1] + pd * V[j]) * disc;
            const double ex = payoff<Call>(x, k);
            V[j] = cont > ex ? cont : ex;
            x *= ratio;
        }
    }
    return V[0];
}

template <bool Track>
double induct(double s, double k, double r, double q, double sigma, double tau, bool call,
              std::int64_t n, int tree_type, bool american, double* V, double* boundary) noexcept {
    if (call) {
        return american ? induct<true, true, Track>(s, k, r, q, sigma, tau, n, tree_type, V, boundary)
                        : induct<true, false, Track>(s, k, r, q, sigma, tau, n, tree_type, V, boundary);
    }
    return american ? induct<false, true, Track>(s, k, r, q, sigma, tau, n, tree_type, V, boundary)
                    : induct<false, false, Track>(s, k, r, q, sigma, tau, n, tree_type, V, boundary);
}

// Price of one valid batch option; V holds n + 1 values and S the node-price
// block of the grouped American induction.
ORVELTA_CLONES
double batch_option_price(double s, double k, double r, double q, double sigma, double tau,
                          bool call, std::int64_t n, int tree_type, bool american, double* V,
                          double* S) noexcept {
    if (!american) {
        return call ? induct<true, false, false>(s, k, r, q, sigma, tau, n, tree_type, V, nullptr)
                    : induct<false, false, false>(s, k, r, q, sigma, tau, n, tree_type, V, nullptr);
    }
    return call ? induct_american_grouped<true>(s, k, r, q, sigma, tau, n, tree_type, V, S)
                : induct_american_grouped<false>(s, k, r, q, sigma, tau, n, tree_type, V, S);
}

}  // namespace

TreeParameters tree_parameters(int tree_type, double r, double q, double sigma, double dt) noexcept {
    const double a = std::exp((r - q) * dt);
    double u = 0.0;
    double d = 0.0;
    bool accepted = false;
    if (tree_type == 1) {
        const double V = std::exp(sigma * sigma * dt);
        double w = V * V + 2.0 * V - 3.0;
        if (w < 0.0) w = 0.0;
        const double h = a * 0.5 * V;
        const double root = std::sqrt(w);
        u = (V + 1.0 + root) * h;
        d = (V + 1.0 - root) * h;
        // For huge sigma^2 dt, V + 1 - sqrt(w) cancels to zero or below; such a
        // down factor would make every node price 0 or NaN. A NaN fails every
        // comparison, so it is rejected here too.
        accepted = u > d && d > 0.0 && std::fabs(u) <= kMaxFinite && std::fabs(d) <= kMaxFinite;
    }
    if (!accepted) {
        u = std::exp(sigma * std::sqrt(dt));
        d = 1.0 / u;
    }
    double p = (a - d) / (u - d);
    if (p < 1e-10) {
        p = 1e-10;
    } else if (p > 0.9999999999) {
        p = 0.9999999999;
    }
    return {u, d, p};
}

double tree_boundary(double s, double k, double r, double q, double sigma, double tau,
                     int option_type, int steps, int tree_type, bool american,
                     double* times, double* boundary) {
    const std::int64_t n = boundary_steps(steps);
    const double nd = static_cast<double>(n);
    for (std::int64_t j = 0; j <= n; ++j) {
        times[j] = static_cast<double>(j) * tau / nd;
        boundary[j] = kNaN;
    }
    const bool call = option_type > 0;
    // NaN s or k fail these tests; a NaN tau or sigma runs through the lattice.
    if (!(s > 0.0) || !(k > 0.0) || tau <= 0.0 || sigma <= 0.0) {
        return intrinsic(s, k, call);
    }
    std::vector<double> V(static_cast<std::size_t>(n) + 1, 0.0);
    return induct<true>(s, k, r, q, sigma, tau, call, n, tree_type, american, V.data(), boundary);
}

void tree_batch(std::size_t count, const double* s, const double* k, const double* r,
                const double* q, const double* sigma, const double* tau,
                const int* option_type, int steps, int tree_type, bool american,
                double* out) {
    const std::int64_t total = static_cast<std::int64_t>(count);
    const std::int64_t n = steps;
    std::exception_ptr failure;
    std::atomic<bool> failed{false};

#pragma omp parallel if (run_parallel(count))
    {
        // One working vector per thread, sized when the thread first needs a
        // lattice; each option overwrites entries 0..n before reading them.
        std::vector<double> work;
#pragma omp for schedule(nonmonotonic : dynamic, 64) nowait
        for (std::int64_t i = 0; i < total; ++i) {
            if (failed.load(std::memory_order_relaxed)) continue;
            const double si = s[i];
            const double ki = k[i];
            if (!(si > 0.0) || !(ki > 0.0)) {
                out[i] = kNaN;
                continue;
            }
            const bool call = option_type[i] > 0;
            const double ti = tau[i];
            const double vi = sigma[i];
            if (ti <= 0.0 || vi <= 0.0 || n <= 1) {
                out[i] = intrinsic(si, ki, call);
                continue;
            }
            try {
                // Values (n + 1) followed by the node-price block of kRowGroup rows.
                if (work.empty()) work.assign(static_cast<std::size_t>(n + 1) * (kRowGroup + 1), 0.0);
            } catch (...) {
#pragma omp critical(orvelta_tree_batch_failure)
                if (!failure) failure = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
                continue;
            }
            double* V = work.data();
            out[i] = batch_option_price(si, ki, r[i], q[i], vi, ti, call, n, tree_type, american,
                                        V, V + (n + 1));
        }
    }
    if (failure) std::rethrow_exception(failure);
}

}  // namespace orvelta::lattice
