#include "lattice/lattice.hpp"

#include "common/constants.hpp"
#include "common/dispatch.hpp"
#include "common/interrupt.hpp"
#include "common/option_arrays.hpp"
#include "common/parallel.hpp"
#include "common/simd.hpp"
#include "common/threads.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cmath>
#include <exception>
#include <limits>
#include <vector>

namespace orvelta::lattice {

// The kernels are written once over a lane count W and built three times:
// 8 lanes of AVX-512, 4 of AVX2 and a plain scalar loop for the x86-64
// baseline, chosen at load time. Each lane repeats the scalar operation
// sequence exactly (element-wise IEEE arithmetic, no contraction), so every
// build gives the same doubles; everything a build uses is forced inline so
// that it is compiled for that build's instruction set.
#define ORVELTA_INLINE inline __attribute__((always_inline))

namespace {

constexpr double kMaxFinite = std::numeric_limits<double>::max();
constexpr double kBoundaryMargin = 1e-10;

// Options handed to a thread at a time; the valid ones among them are priced
// in groups of lanes. Two groups of 8 lanes: a batch of a few dozen options
// (where waking the thread team starts to pay, measured at 50 to 200 steps:
// the threshold in common/threads.hpp) is still shared between threads.
constexpr std::int64_t kBlock = 16;
// Rows between two looks at the cancellation flag inside one lattice.
constexpr std::int64_t kCancelRows = 16;
// Node updates between two interrupt polls of the single-option pricer.
constexpr std::int64_t kPollNodes = std::int64_t{1} << 22;
// Rows whose node prices the single-option pricer builds side by side.
constexpr std::int64_t kRowGroup = 8;
// Widest lane count of any build.
constexpr std::int64_t kMaxLanes = 8;

inline double intrinsic(double s, double k, bool call) noexcept {
    return positive_part(call ? s - k : k - s);
}

// The lattice has no meaning for an undefined or infinite rate or yield: the
// growth factor or the discount factor would be 0, infinite or NaN, and the
// clamped probability would turn that into a plausible but arbitrary price.
inline bool rates_defined(double r, double q) noexcept {
    return std::isfinite(r) && std::isfinite(q);
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

// ---------------------------------------------------------------------------
// Lanes: W doubles processed by one instruction (common/simd.hpp). W = 1 is
// plain scalar code.

using vm::Lanes;

template <int W>
ORVELTA_INLINE typename Lanes<W>::D load(const double* p) noexcept {
    return vm::load_lanes<W>(p);
}

template <int W>
ORVELTA_INLINE void store(double* p, typename Lanes<W>::D v) noexcept {
    vm::store_lanes<W>(p, v);
}

template <int W>
ORVELTA_INLINE typename Lanes<W>::D splat(double x) noexcept {
    return vm::splat_lanes<W>(x);
}

// Exercise value max(S - k, 0) in call lanes, max(k - S, 0) in put lanes;
// a NaN difference stays NaN.
template <int W>
ORVELTA_INLINE typename Lanes<W>::D payoff(typename Lanes<W>::D S, typename Lanes<W>::D k,
                                           typename Lanes<W>::M put) noexcept {
    using D = typename Lanes<W>::D;
    const D zero = splat<W>(0.0);
    const D x = put ? k - S : S - k;
    return x < zero ? zero : x;
}

template <bool Call>
ORVELTA_INLINE double payoff(double S, double k) noexcept {
    return positive_part(Call ? S - k : k - S);
}

// The American value of a node: the continuation value unless exercise is
// worth at least as much. A NaN continuation value stays NaN, so an undefined
// input cannot fall through to the exercise value.
template <typename D>
ORVELTA_INLINE D american_value(D cont, D ex) noexcept {
    return cont <= ex ? ex : cont;
}

// x where a > b (ordered: false when either is NaN), else y.
template <typename D>
ORVELTA_INLINE D select_gt(D a, D b, D x, D y) noexcept {
    return a > b ? x : y;
}

// ---------------------------------------------------------------------------
// Batch: W options side by side, lane l of every vector belonging to option l.
// The value vector is interleaved: V[j * W + l] is node j of option l.

template <int W>
struct Group {
    alignas(64) double s[W];
    alignas(64) double k[W];
    alignas(64) double disc[W];
    alignas(64) double ratio[W];
    alignas(64) double p[W];
    alignas(64) double pd[W];
    alignas(64) double log_d[W];
    alignas(64) std::int64_t put[W];  // -1 for a put, 0 for a call
};

template <int W>
ORVELTA_INLINE typename Lanes<W>::M load_mask(const std::int64_t* m) noexcept {
    if constexpr (W == 1) {
        return m[0] != 0;
    } else {
        typename Lanes<W>::M v;
        __builtin_memcpy(&v, m, sizeof v);
        return v;
    }
}

// Lowest node price of row F of every lane: s * exp(F * log(d)).
template <int W>
ORVELTA_INLINE typename Lanes<W>::D row_start(const Group<W>& g, std::int64_t F) noexcept {
    alignas(64) double start[W];
    const double f = static_cast<double>(F);
    for (int l = 0; l < W; ++l) start[l] = g.s[l] * std::exp(f * g.log_d[l]);
    return load<W>(start);
}

// Backward induction of the W lattices of a group; V holds (n + 1) * W
// values. Lane l's price is V[l] afterwards. Returns early, with V
// unspecified, when cancellation is requested.
template <int W, bool American>
ORVELTA_INLINE void group_induction(const Group<W>& g, std::int64_t n, double* V) noexcept {
    using D = typename Lanes<W>::D;
    using M = typename Lanes<W>::M;
    const D k = load<W>(g.k);
    const D p = load<W>(g.p);
    const D pd = load<W>(g.pd);
    const D disc = load<W>(g.disc);
    const D ratio = load<W>(g.ratio);
    const M put = load_mask<W>(g.put);

    D S = row_start<W>(g, n);
    for (std::int64_t j = 0; j <= n; ++j) {
        store<W>(V + j * W, payoff<W>(S, k, put));
        S = S * ratio;
    }
    for (std::int64_t F = n - 1; F >= 0; --F) {
        if (F % kCancelRows == 0 && cancel_requested()) return;
        D v0 = load<W>(V);
        if (American) {
            S = row_start<W>(g, F);
            for (std::int64_t j = 0; j <= F; ++j) {
                const D v1 = load<W>(V + (j + 1) * W);
                const D cont = (p * v1 + pd * v0) * disc;
                store<W>(V + j * W, american_value(cont, payoff<W>(S, k, put)));
                S = S * ratio;
                v0 = v1;
            }
        } else {
            // A European node needs no price: no exponential, no chain.
            for (std::int64_t j = 0; j <= F; ++j) {
                const D v1 = load<W>(V + (j + 1) * W);
                store<W>(V + j * W, (p * v1 + pd * v0) * disc);
                v0 = v1;
            }
        }
    }
}

using Book = OptionArrays<int>;

// Prices the `count` valid options idx[0 .. count) in groups of W lanes; a
// short last group repeats its first option in the spare lanes (their results
// are dropped), so no input is read past the arrays. V holds (n + 1) * W.
template <int W>
ORVELTA_INLINE void price_valid(const Book& b, const std::int64_t* idx, std::int64_t count,
                                std::int64_t n, int tree_type, bool american, double* V,
                                double* out) noexcept {
    for (std::int64_t g0 = 0; g0 < count; g0 += W) {
        Group<W> g;
        for (int l = 0; l < W; ++l) {
            const std::int64_t i = idx[g0 + l < count ? g0 + l : g0];
            const Steps c = step_constants(b.r[i], b.q[i], b.sigma[i], b.tau[i], n, tree_type);
            g.s[l] = b.s[i];
            g.k[l] = b.k[i];
            g.disc[l] = c.disc;
            g.ratio[l] = c.ratio;
            g.p[l] = c.p;
            g.pd[l] = c.pd;
            g.log_d[l] = c.log_d;
            g.put[l] = b.option_type[i] > 0 ? 0 : -1;
        }
        if (american) {
            group_induction<W, true>(g, n, V);
        } else {
            group_induction<W, false>(g, n, V);
        }
        if (cancel_requested()) return;
        const std::int64_t used = std::min<std::int64_t>(W, count - g0);
        for (std::int64_t l = 0; l < used; ++l) out[idx[g0 + l]] = V[l];
    }
}

// ---------------------------------------------------------------------------
// Single option: lanes run along the nodes of one row. Node prices of
// kRowGroup consecutive rows come from as many independent multiplication
// chains built side by side into a scratch block (the plain loop would wait
// on one multiply per node); each row's update then reads them back with no
// serial dependency left.

// Updates row F (nodes 0 .. F) in place from row F + 1 and returns its
// critical price: the lowest exercised node price of a call, the highest of a
// put, NaN when no node is exercised. Exercised node prices are never NaN
// (their exercise value beats a number) and, for a put, never infinite (its
// exercise value is then 0), so the min or max over the row is the value the
// node-by-node rule "first exercised price, then min/max" gives, in any order.
template <int W, bool Call, bool Track>
ORVELTA_INLINE double american_row(double* V, const double* S, std::int64_t F, double k, double p,
                                   double pd, double disc) noexcept {
    using D = typename Lanes<W>::D;
    const double none = Call ? kInf : -kInf;
    double best = none;
    bool any = false;
    std::int64_t j = 0;
    if constexpr (W > 1) {
        const D kv = splat<W>(k), pv = splat<W>(p), pdv = splat<W>(pd), dv = splat<W>(disc);
        const D zero = splat<W>(0.0), margin = splat<W>(kBoundaryMargin);
        // Whether a lane saw an exercised node is kept as 0.0 or 1.0: plain
        // selects between doubles, which every build keeps in vector form.
        const D one = splat<W>(1.0);
        D bestv = splat<W>(none);
        D anyv = zero;
        for (; j + W <= F + 1; j += W) {
            const D v0 = load<W>(V + j);
            const D v1 = load<W>(V + j + 1);
            const D s = load<W>(S + j);
            const D cont = (pv * v1 + pdv * v0) * dv;
            const D x = Call ? s - kv : kv - s;
            const D ex = x < zero ? zero : x;
            store<W>(V + j, american_value(cont, ex));
            if (Track) {
                const D better =
                    Call ? select_gt(bestv, s, s, bestv) : select_gt(s, bestv, s, bestv);
                const D edge = cont + margin;
                bestv = select_gt(ex, edge, better, bestv);
                anyv = select_gt(ex, edge, one, anyv);
            }
        }
        if (Track) {
            for (int l = 0; l < W; ++l) {
                any = any || anyv[l] != 0.0;
                best = Call ? (bestv[l] < best ? bestv[l] : best)
                            : (bestv[l] > best ? bestv[l] : best);
            }
        }
    }
    for (; j <= F; ++j) {
        const double cont = (p * V[j + 1] + pd * V[j]) * disc;
        const double ex = payoff<Call>(S[j], k);
        V[j] = american_value(cont, ex);
        if (Track && ex > cont + kBoundaryMargin) {
            any = true;
            best = Call ? (S[j] < best ? S[j] : best) : (S[j] > best ? S[j] : best);
        }
    }
    return any ? best : kNaN;
}

template <int W>
ORVELTA_INLINE void european_row(double* V, std::int64_t F, double p, double pd,
                                 double disc) noexcept {
    using D = typename Lanes<W>::D;
    std::int64_t j = 0;
    if constexpr (W > 1) {
        const D pv = splat<W>(p), pdv = splat<W>(pd), dv = splat<W>(disc);
        for (; j + W <= F + 1; j += W) {
            store<W>(V + j, (pv * load<W>(V + j + 1) + pdv * load<W>(V + j)) * dv);
        }
    }
    for (; j <= F; ++j) V[j] = (p * V[j + 1] + pd * V[j]) * disc;
}

// Polls for an interrupt once about every kPollNodes node updates.
struct PollClock {
    std::int64_t due = kPollNodes;
    void tick(std::int64_t nodes) {
        due -= nodes;
        if (due <= 0) {
            due = kPollNodes;
            poll_interrupt();
        }
    }
};

// Node prices of rows top, top - 1, .., top - rows + 1 into S (row g at
// S + g * stride). Row top - g has top - g + 1 nodes; the chains run side by
// side over the nodes all of them have, then finish one by one. Plain scalar
// code shared by every build: vectorising across the rows would leave each
// lane to be stored on its own.
__attribute__((noinline)) void row_prices(double s, double log_d, double ratio, std::int64_t top,
                                          std::int64_t rows, std::int64_t stride,
                                          double* S) noexcept {
    double xs[kRowGroup];
    for (std::int64_t g = 0; g < rows; ++g)
        xs[g] = s * std::exp(static_cast<double>(top - g) * log_d);
    const std::int64_t shortest = top - rows + 2;
    if (rows == kRowGroup) {
        double x0 = xs[0], x1 = xs[1], x2 = xs[2], x3 = xs[3], x4 = xs[4], x5 = xs[5], x6 = xs[6],
               x7 = xs[7];
        double* s0 = S;
        for (std::int64_t j = 0; j < shortest; ++j) {
            s0[j] = x0;
            s0[stride + j] = x1;
            s0[2 * stride + j] = x2;
            s0[3 * stride + j] = x3;
            s0[4 * stride + j] = x4;
            s0[5 * stride + j] = x5;
            s0[6 * stride + j] = x6;
            s0[7 * stride + j] = x7;
            x0 *= ratio;
            x1 *= ratio;
            x2 *= ratio;
            x3 *= ratio;
            x4 *= ratio;
            x5 *= ratio;
            x6 *= ratio;
            x7 *= ratio;
        }
        xs[0] = x0, xs[1] = x1, xs[2] = x2, xs[3] = x3, xs[4] = x4, xs[5] = x5, xs[6] = x6,
        xs[7] = x7;
    } else {
        for (std::int64_t g = 0; g < rows; ++g) {
            for (std::int64_t j = 0; j < shortest; ++j) {
                S[g * stride + j] = xs[g];
                xs[g] *= ratio;
            }
        }
    }
    for (std::int64_t g = 0; g < rows; ++g) {
        for (std::int64_t j = shortest; j <= top - g; ++j) {
            S[g * stride + j] = xs[g];
            xs[g] *= ratio;
        }
    }
}

// Backward induction of one valid option, with its boundary when `boundary`
// is not null (n + 1 entries). V holds n + 2 values, S kRowGroup * (n + 1).
template <int W, bool Call>
ORVELTA_INLINE double single_induction(double s, double k, const Steps& c, std::int64_t n,
                                       bool american, double* V, double* S, double* boundary) {
    PollClock clock;
    double x = s * std::exp(static_cast<double>(n) * c.log_d);
    for (std::int64_t j = 0; j <= n; ++j) {
        V[j] = payoff<Call>(x, k);
        x *= c.ratio;
    }
    if (boundary != nullptr) boundary[n] = k;
    if (!american) {
        for (std::int64_t F = n - 1; F >= 0; --F) {
            european_row<W>(V, F, c.p, c.pd, c.disc);
            clock.tick(F + 1);
        }
        return V[0];
    }
    const std::int64_t stride = n + 1;
    std::int64_t top = n - 1;
    while (top >= 0) {
        const std::int64_t rows = std::min<std::int64_t>(kRowGroup, top + 1);
        row_prices(s, c.log_d, c.ratio, top, rows, stride, S);
        for (std::int64_t g = 0; g < rows; ++g) {
            const std::int64_t F = top - g;
            if (boundary != nullptr) {
                boundary[F] =
                    american_row<W, Call, true>(V, S + g * stride, F, k, c.p, c.pd, c.disc);
            } else {
                american_row<W, Call, false>(V, S + g * stride, F, k, c.p, c.pd, c.disc);
            }
        }
        clock.tick(rows * (top + 1));
        top -= rows;
    }
    return V[0];
}

template <int W>
ORVELTA_INLINE double single_price(double s, double k, const Steps& c, bool call, std::int64_t n,
                                   bool american, double* V, double* S, double* boundary) {
    return call ? single_induction<W, true>(s, k, c, n, american, V, S, boundary)
                : single_induction<W, false>(s, k, c, n, american, V, S, boundary);
}

// ---------------------------------------------------------------------------
// Builds and load-time dispatch.

ORVELTA_KERNEL_BUILDS(void, batch_group,
                      (const Book& b, const std::int64_t* idx, std::int64_t count, std::int64_t n,
                       int tree_type, bool american, double* V, double* out) noexcept,
                      (b, idx, count, n, tree_type, american, V, out), price_valid<1>,
                      price_valid<4>, price_valid<8>)
// Four lanes on AVX-512 too: GCC 12 turns the boundary's compare-and-select
// over 8 lanes into scalar compares (3x slower); over 4 it stays in vector form.
ORVELTA_KERNEL_BUILDS(double, single_lattice,
                      (double s, double k, const Steps& c, bool call, std::int64_t n, bool american,
                       double* V, double* S, double* boundary),
                      (s, k, c, call, n, american, V, S, boundary), single_price<1>,
                      single_price<4>, single_price<4>)

}  // namespace

TreeParameters tree_parameters(int tree_type, double r, double q, double sigma,
                               double dt) noexcept {
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

std::size_t tree_batch_work_bytes(int steps) noexcept {
    const auto nodes = static_cast<std::size_t>(steps < 2 ? 2 : steps) + 1;
    return (nodes * kMaxLanes + kMaxLanes) * sizeof(double) + kBlock * sizeof(std::int64_t);
}

std::size_t tree_boundary_work_bytes(int steps) noexcept {
    const auto nodes = static_cast<std::size_t>(boundary_steps(steps)) + 1;
    return (nodes + 1 + nodes * kRowGroup) * sizeof(double);
}

double tree_boundary(double s, double k, double r, double q, double sigma, double tau,
                     int option_type, int steps, int tree_type, bool american, double* times,
                     double* boundary) {
    const std::int64_t n = boundary_steps(steps);
    const double nd = static_cast<double>(n);
    for (std::int64_t j = 0; j <= n; ++j) {
        times[j] = static_cast<double>(j) * tau / nd;
        boundary[j] = kNaN;
    }
    const bool call = option_type > 0;
    // Undefined inputs give NaN before anything else.
    if (std::isnan(s) || std::isnan(k) || std::isnan(sigma) || std::isnan(tau) ||
        !rates_defined(r, q)) {
        return kNaN;
    }
    if (!(s > 0.0) || !(k > 0.0) || tau <= 0.0 || sigma <= 0.0) {
        return intrinsic(s, k, call);
    }
    const auto nodes = static_cast<std::size_t>(n) + 1;
    std::vector<double> V(nodes + 1, 0.0);
    std::vector<double> S(american ? nodes * kRowGroup : 0);
    const Steps c = step_constants(r, q, sigma, tau, n, tree_type);
    return single_lattice(s, k, c, call, n, american, V.data(), S.data(), boundary);
}

void tree_batch(std::size_t count, const double* s, const double* k, const double* r,
                const double* q, const double* sigma, const double* tau, const int* option_type,
                int steps, int tree_type, bool american, double* out) {
    const std::int64_t total = static_cast<std::int64_t>(count);
    const std::int64_t blocks = (total + kBlock - 1) / kBlock;
    const std::int64_t n = steps;
    const Book book{s, k, r, q, sigma, tau, option_type};
    // One working vector per thread, sized when the thread first needs a
    // lattice; each group overwrites the entries it reads.
    parallel_for_local<std::vector<double>>(
        0, static_cast<std::size_t>(blocks), 1, run_parallel(count),
        [&](std::size_t b, std::vector<double>& work) {
            const std::int64_t blk = static_cast<std::int64_t>(b);
            const std::int64_t begin = blk * kBlock;
            const std::int64_t end = std::min(total, begin + kBlock);
            std::int64_t valid[kBlock];
            std::int64_t count_valid = 0;
            for (std::int64_t i = begin; i < end; ++i) {
                const double si = s[i];
                const double ki = k[i];
                const double ti = tau[i];
                const double vi = sigma[i];
                if (!(si > 0.0) || !(ki > 0.0) || std::isnan(ti) || std::isnan(vi) ||
                    !rates_defined(r[i], q[i])) {
                    out[i] = kNaN;
                } else if (ti <= 0.0 || vi <= 0.0 || n <= 1) {
                    out[i] = intrinsic(si, ki, option_type[i] > 0);
                } else {
                    valid[count_valid++] = i;
                }
            }
            if (count_valid == 0) return;
            if (work.empty())
                work.assign(static_cast<std::size_t>(n + 1) * kMaxLanes + kMaxLanes, 0.0);
            // Groups start on a 64-byte boundary.
            const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(work.data()) + 63;
            double* V = reinterpret_cast<double*>(base & ~std::uintptr_t{63});
            batch_group(book, valid, count_valid, n, tree_type, american, V, out);
        });
}

}  // namespace orvelta::lattice
