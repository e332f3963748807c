// The put at the core of the accurate American pricer (a call is priced as
// the put of put-call symmetry): its inputs, its exercise boundary and the
// boundary fit's working storage, shared by the files that fit the boundary,
// integrate the premium and solve for implied volatilities. The routines are
// templates over the scalar type: double for prices, Dual<N> to carry
// derivatives along N directions; each is instantiated for double, Dual<1>
// and Dual<2>.
#pragma once

#include "american/american.hpp"
#include "american/dual.hpp"
#include "american/tables.hpp"
#include "american/vector.hpp"
#include "common/constants.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace orvelta::american {

// Above this r / sigma^2 the boundary iteration switches equations.
constexpr double kSlowRatio = 2.0;
constexpr double kSlowRatioLong = 1.0;
// Yields below which the boundary iteration switches equations.
constexpr double kDriftingYield = -0.02;
// Maturities (years) below which a capped boundary uses the value-matching form.
constexpr double kShortCapped = 0.1;
// Maturities (years) below which the value-matching sweeps may run four
// times their usual number.
constexpr double kShortSlow = 0.05;
// Node counts from which a capped boundary always uses the value-matching form.
constexpr int kFineNodes = 64;
// Maturities (years) beyond which the settings of a tolerance are those of a
// ten times smaller one.
constexpr double kLongMaturity = 2.0;

// A put on strike k with time to expiry tau; r, q and sigma carry the
// derivative directions of the scalar type T.
template <class T>
struct Put {
    double k;
    double tau;
    T r, q, sigma;
};

// The boundary B(u), u in [0, tau], as H(z) = ln(B / X)^2 interpolated by a
// Chebyshev polynomial in z = sqrt(u) on [0, sqrt(tau)]; X = B(0+).
template <class T>
struct Boundary {
    int n = 0;
    T ln_x;
    T coef[kMaxNodes + 1];  // first and last already halved

    // ln B at Chebyshev argument x = 2 sqrt(u) / sqrt(tau) - 1.
    T ln_b(double x) const {
        T b1 = 0.0, b2 = 0.0;
        for (int j = n; j >= 1; --j) {
            const T b0 = coef[j] + (2.0 * x) * b1 - b2;
            b2 = b1;
            b1 = b0;
        }
        const T h = coef[0] + x * b1 - b2;
        if (!(value(h) > 0.0)) return ln_x;
        return ln_x - sqrt(h);
    }

    // ln B at `count` arguments at once: the same recurrence as ln_b, run
    // across the points so that it vectorises (per point the operations and
    // their order are those of ln_b).
    void ln_b_many(const double* x, int count, T* out) const {
        clenshaw_many(coef, n, x, count, out);
        for (int p = 0; p < count; ++p) out[p] = value(out[p]) > 0.0 ? ln_x - sqrt(out[p]) : ln_x;
    }
};

// Work space of one boundary fit, per thread.
template <class T>
struct FitWork {
    std::vector<double> s;   // sqrt(tau_i - u) per quadrature point
    std::vector<double> xu;  // Chebyshev argument of u per quadrature point
    std::vector<T> weq;      // Gauss weight times e^{-q (tau_i - u)}
    std::vector<T> inv_ss;   // 1 / (sigma s)
    std::vector<T> wer;      // Gauss weight times e^{-r (tau_i - u)} s
    std::vector<T> lbu;      // ln B at one node's points
    std::vector<T> all_lbu, all_dj, all_e,
        all_nd;  // ln B, d, exponentials and N(d) at every point of a sweep
    // Sizes every vector for m quadrature points. Each vector is checked on
    // its own, so an allocation that fails part-way (std::bad_alloc) leaves
    // no vector that a later call would take for large enough.
    void reserve(std::size_t m) {
        grow(lbu, kMaxPremiumPoints);
        for (std::vector<double>* v : {&s, &xu}) grow(*v, m);
        for (std::vector<T>* v : {&weq, &inv_ss, &wer, &all_lbu, &all_dj}) grow(*v, m);
        for (std::vector<T>* v : {&all_e, &all_nd}) grow(*v, 2 * m);
    }
    template <class V>
    static void grow(V& v, std::size_t m) {
        if (v.size() < m) v.resize(m);
    }
};

template <class T>
FitWork<T>& fit_work() {
    static thread_local FitWork<T> work;
    return work;
}

// Early exercise of the put is never optimal: r <= 0 and q >= r.
// Both rates negative with q < r give an exercise band between two
// boundaries; see double_boundary.cpp.
enum class Regime { European, SingleBoundary, DoubleBoundary };

inline Regime put_regime(double r, double q) noexcept {
    if (r > 0.0) return Regime::SingleBoundary;
    if (q >= r) return Regime::European;
    return Regime::DoubleBoundary;
}

inline Scheme clamp_scheme(Scheme sc) {
    sc.nodes = std::min(std::max(sc.nodes, 2), kMaxNodes);
    sc.quad = std::min(std::max(sc.quad, 2), kMaxQuad);
    sc.iterations = std::min(std::max(sc.iterations, 0), kMaxIterations);
    sc.slow_iterations = std::min(std::max(sc.slow_iterations, 0), kMaxIterations);
    sc.premium = std::min(std::max(sc.premium, 0), kMaxPremiumLevel);
    return sc;
}

enum class Domain { Invalid, Intrinsic, Price };

inline Domain classify(double s, double k, double r, double q, double sigma, double tau) noexcept {
    if (!(s > 0.0) || !(k > 0.0) || std::isnan(r) || std::isnan(q) || std::isnan(sigma) ||
        std::isnan(tau))
        return Domain::Invalid;
    if (!std::isfinite(s) || !std::isfinite(k) || !std::isfinite(r) || !std::isfinite(q))
        return Domain::Invalid;
    if (tau <= 0.0 || sigma <= 0.0) return Domain::Intrinsic;
    if (!std::isfinite(tau) || !std::isfinite(sigma)) return Domain::Invalid;
    return Domain::Price;
}

inline double intrinsic(double s, double k, bool call) noexcept {
    return positive_part(call ? s - k : k - s);
}

// Ju-Zhong quadratic approximation of the critical price at tau (r > 0), a
// start for the boundary sweeps.
double qd_boundary(double k, double r, double q, double sigma, double tau, double x_cap,
                   double start);

// Fits the exercise boundary of put `p` with settings `sc` (see boundary.cpp).
template <class T>
void fit_boundary(const Put<T>& p, const Scheme& sc, Boundary<T>& fit,
                  const Boundary<double>* warm);

// e^{x^2} erfc(x) for x >= 0, for either scalar type.
double erfcx_value(double x) noexcept;
inline double erfcx(double x) noexcept { return erfcx_value(x); }
template <int N>
Dual<N> erfcx(const Dual<N>& x) noexcept {
    const double e = erfcx_value(x.v);
    return chain(x, e, 2.0 * x.v * e - 2.0 / std::sqrt(kPi));
}

// Integrals of the premium below a constant boundary (see limits.cpp).
template <class T>
struct PassageIntegrals {
    T i, j1, j2;
};

template <class T>
PassageIntegrals<T> passage_integrals(const T& x, const T& nu, const T& beta, const T& sigma,
                                      double span);

// Premium of put (k, r, q, sigma) at spot s earned below the constant
// boundary e^{ln_b} < s over t in [0, span]; optionally its delta and gamma.
template <class T>
T constant_boundary_premium(double s, double k, const T& r, const T& q, const T& sigma,
                            const T& ln_b, double span, double* delta, double* gamma);

// Exercise boundary and price of the perpetual put (r > 0).
template <class T>
T perpetual_boundary(double k, const T& r, const T& q, const T& sigma);
template <class T>
T perpetual_put(double s, double k, const T& r, const T& q, const T& sigma, double* delta,
                double* gamma);

// Value of the put at zero volatility (deterministic exercise date).
template <class T>
T zero_vol_put(double s, double k, const T& r, const T& q, double tau, double* delta,
               double* gamma);

// The settings a price at tol uses (see american.cpp): tol's own inside the
// box they were chosen on; outside it, finer ones that confirm each other,
// with their price in *value (NaN inside the box). False where none do.
bool checked_scheme(double s, double k, double r, double q, double sigma, double tau, bool call,
                    double tol, Scheme* out, double* value);

// Node solves the finite-difference fallback below may spend on one price
// (each round of policy iteration at each time step costs the grid's size):
// about two seconds; Greeks, five prices' worth, an implied volatility ten.
// The outermost FdBudget of a thread sets it; the solves spend it and give
// NaN where they would overrun it (a tiny volatility once took 25 s to reach
// NaN).
class FdBudget {
public:
    explicit FdBudget(double prices = 1.0);
    ~FdBudget();
    FdBudget(const FdBudget&) = delete;
    FdBudget& operator=(const FdBudget&) = delete;
    // False (and nothing spent) where `nodes` more would overrun the budget.
    static bool spend(double nodes) noexcept;
    static double left() noexcept;
};

// Put in the double-boundary regime (q < r <= 0) to absolute accuracy tol,
// NaN where that is out of reach; see double_boundary.cpp.
double double_boundary_put(double s, double k, double r, double q, double sigma, double tau,
                           double tol, double* delta, double* gamma, int* grids = nullptr,
                           const double* at = nullptr);

// True where a band's early-exercise premium is within half tol: it accrues
// at most k (r - q) e^{-r u} per year (its density r k - q S peaks at S = k),
// which with both rates nearly zero bounds it; the put is then priced as
// European.
inline bool negligible_band(double k, double r, double q, double tau, double tol) {
    const double span = r == 0.0 ? tau : std::expm1(-r * tau) / -r;
    return k * (r - q) * span <= 0.5 * tol;
}

// The same put by its integral equations (band.cpp): NaN where the method
// cannot vouch for tol.
double band_put(double s, double k, double r, double q, double sigma, double tau, double tol,
                double* delta, double* gamma);

// Its price, delta, gamma, vega and rho in r (with `rate_q`, in q) in
// out[0..4]: 2 where all are had, 1 where only the price and delta and gamma
// are (a bumped solve failed), 0 where band_put gives NaN.
int band_greeks(double s, double k, double r, double q, double sigma, double tau, double tol,
                bool rate_q, double* out);

// The same put at explicit settings: n nodes, l points per node's
// integral (before the graded tail, where there is one), p for the premium
// (for tests of convergence); NaN where the solve fails.
double band_put_at(double s, double k, double r, double q, double sigma, double tau, int n, int l,
                   int p);

// European put with a continuous yield (s, k, tau > 0, sigma > 0).
template <class T>
T european_put(double s, double k, const T& r, const T& q, const T& sigma, double tau);

// Put price for valid inputs (s, k, sigma, tau > 0, all finite); optionally
// delta and gamma in s. `warm` optionally starts the boundary sweeps; `keep`
// receives the fitted boundary's values (both used by the implied-volatility
// iteration).
template <class T>
T put_price(double s, const Put<T>& p, const Scheme& sc, double* delta, double* gamma,
            const Boundary<double>* warm = nullptr, Boundary<double>* keep = nullptr);

// The boundary of a put whose put_price at every spot fits it over the
// whole life, and the put's value at a spot on that fit (false where a
// closed form would take over there); see premium.cpp.
template <class T>
bool fit_whole_life(const Put<T>& p, const Scheme& sc, Boundary<T>& fit);
template <class T>
bool price_on_fit(double s, const Put<T>& p, const Scheme& sc, const Boundary<T>& fit, T* out);

}  // namespace orvelta::american
