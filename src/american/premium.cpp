#include "american/put.hpp"

#include "common/black_scholes.hpp"
#include "common/constants.hpp"

#include <cmath>
#include <vector>

namespace orvelta::american {

// European put with a continuous yield (s, k, tau > 0, sigma > 0).
template <class T>
T european_put(double s, double k, const T& r, const T& q, const T& sigma, double tau) {
    const double st = std::sqrt(tau);
    const T vol = sigma * st;
    const T d1 = (std::log(s / k) + (r - q) * tau) / vol + 0.5 * vol;
    const T d2 = d1 - vol;
    if (std::fabs(value(r)) * tau < 700.0 && std::fabs(value(q)) * tau < 700.0)
        return k * exp(-r * tau) * ncdf(-d2) - s * exp(-q * tau) * ncdf(-d1);
    // Extreme rates: each discount factor taken with its normal tail, so that
    // a huge factor meets a vanishing probability in one exponential.
    auto term = [&](const T& rate, const T& d) {
        if (value(d) > 0.0) return 0.5 * erfcx(d * kInvSqrt2) * exp(-rate * tau - 0.5 * d * d);
        return exp(-rate * tau) * ncdf(-d);
    };
    return k * term(r, d2) - s * term(q, d1);
}

namespace {

// Put price on a fitted boundary; optionally delta and gamma in s. The
// boundary spans the last `span` years before expiry; the premium earned
// before them (t < tau - span) comes in as `early`, with its delta and gamma.
template <class T>
T put_on_boundary(double s, const Put<T>& p, const Boundary<T>& fit, double span, int level,
                  const T& early, double early_delta, double early_gamma, double* delta,
                  double* gamma) {
    const double k = p.k;
    const double tau = p.tau;
    const double t0 = tau - span;
    const T& r = p.r;
    const T& q = p.q;
    const T& sigma = p.sigma;
    const T lb_tau = fit.ln_b(1.0);
    const double ln_s = std::log(s);
    if (ln_s <= value(lb_tau)) {
        if (delta) *delta = -1.0;
        if (gamma) *gamma = 0.0;
        return T(k - s);
    }
    const T euro = european_put(s, k, r, q, sigma, tau);
    const TanhSinh& ts = tanh_sinh();
    const int count = ts.count[level];
    const double* a = ts.a[level];
    const double* ca = ts.ca[level];
    const double* w = ts.w[level];
    const T mp = (r - q) / sigma + 0.5 * sigma;
    const T rk = r * k;
    const T qs = q * s;
    FitWork<T>& work = fit_work<T>();
    work.reserve(0);
    double xus[kMaxPremiumPoints];
    for (int j = 0; j < count; ++j) xus[j] = 2.0 * std::sqrt(ca[j]) - 1.0;
    T* lbus = work.lbu.data();
    fit.ln_b_many(xus, count, lbus);
    T prem = 0.0;
    double dsum = 0.0, gsum = 0.0;
    const double rv = value(r), qv = value(q), sv = value(sigma);
    // Discount factors e^{-r t_j} and e^{-q t_j}: for plain prices in one vector pass.
    T disc[2 * kMaxPremiumPoints];
    for (int j = 0; j < count; ++j) {
        const double t = t0 + span * a[j];
        disc[j] = -r * t;
        disc[count + j] = -q * t;
    }
    exp_many(disc, 2 * count, disc);
    // -d- and -d+ per point, then their normal distributions in one pass.
    T nd[2 * kMaxPremiumPoints];
    for (int j = 0; j < count; ++j) {
        const double st = std::sqrt(t0 + span * a[j]);
        const T dp = (ln_s - lbus[j]) * (1.0 / (sigma * st)) + mp * st;
        nd[j] = -(dp - sigma * st);
        nd[count + j] = -dp;
    }
    ncdf_many(nd, 2 * count, nd);
    for (int j = 0; j < count; ++j) {
        const double st = std::sqrt(t0 + span * a[j]);
        const T& lbu = lbus[j];
        const T iss = 1.0 / (sigma * st);
        const T dp = (ln_s - lbu) * iss + mp * st;
        const T& ert = disc[j];
        const T& eqt = disc[count + j];
        const T g = rk * ert * nd[j] - qs * eqt * nd[count + j];
        prem += w[j] * g;
        if (delta) {
            const double phi = norm_pdf(value(dp));
            const double e = value(eqt);
            const double issv = value(iss);
            const double c = qv - rv * k / std::exp(value(lbu));
            dsum += w[j] * e * (phi * c * issv - qv * norm_cdf(-value(dp)));
            gsum += w[j] * e * phi * issv / s * (qv - c * value(dp) * issv);
        }
    }
    T v = euro + early + span * prem;
    if (delta) {
        const double vol = sv * std::sqrt(tau);
        const double d1 = (std::log(s / k) + (rv - qv) * tau) / vol + 0.5 * vol;
        const double eqtau = std::exp(-qv * tau);
        *delta = -eqtau * norm_cdf(-d1) + early_delta + span * dsum;
        *gamma = eqtau * norm_pdf(d1) / (s * vol) + early_gamma + span * gsum;
    }
    if (value(v) < k - s) v = T(k - s);
    return v;
}

// European put's delta and gamma in s.
void european_put_delta(double s, double k, double r, double q, double sigma, double tau,
                        double* delta, double* gamma) {
    const double vol = sigma * std::sqrt(tau);
    const double d1 = (std::log(s / k) + (r - q) * tau) / vol + 0.5 * vol;
    if (std::fabs(q) * tau < 700.0) {
        const double eq = std::exp(-q * tau);
        *delta = -eq * norm_cdf(-d1);
        *gamma = eq * norm_pdf(d1) / (s * vol);
        return;
    }
    // An extreme yield: the discount factor taken with the normal tail.
    const double e = -q * tau - 0.5 * d1 * d1;
    *delta =
        d1 > 0.0 ? -0.5 * erfcx(d1 * kInvSqrt2) * std::exp(e) : -std::exp(-q * tau) * norm_cdf(-d1);
    *gamma = kInvSqrt2Pi * std::exp(e) / (s * vol);
}

// Maturities whose boundary has settled, in units of its settling time 1 / rho.
constexpr double kSettled = 36.0;
// Volatilities below which the closed-form bounds are tried first.
constexpr double kSmallSigma = 0.04;

// Years after which the put's boundary (r > 0) has come within about
// e^{-kSettled} of its perpetual level: the first-passage densities of the
// premium decay at rho = r + nu^2 / (2 sigma^2), nu = r - q - sigma^2 / 2.
double settling_time(double r, double q, double sigma) {
    const double nu = r - q - 0.5 * sigma * sigma;
    const double rho = r + nu * nu / (2.0 * sigma * sigma);
    return kSettled / rho;
}

// The put (r > 0) from closed forms where they pin the price within tol:
// volatility too small to matter (the zero-volatility value), or bounds that
// meet: the premium below the perpetual boundary (which lies below the put's
// boundary at every maturity) from below, the perpetual price and the
// premium below the cap min(k, k r / q) from above. Returns false when they
// do not meet.
template <class T>
bool put_from_limits(double s, const Put<T>& p, double tol, bool bounds, T* out, double* delta,
                     double* gamma) {
    const double k = p.k, tau = p.tau;
    const double rv = value(p.r), qv = value(p.q), sv = value(p.sigma);
    // |V(sigma) - V(0)| <= 2 s max(1, e^{-q tau}) sqrt(e^{sigma^2 tau} - 1): the
    // payoff is 1-Lipschitz in the spot and Doob's inequality bounds the
    // discounted spot's largest departure from its zero-volatility path.
    const double spread =
        2.0 * s * std::max(1.0, std::exp(-qv * tau)) * std::sqrt(std::expm1(sv * sv * tau));
    if (spread <= tol || sv < 1e-100) {
        *out = zero_vol_put(s, k, p.r, p.q, tau, delta, gamma);
        return true;
    }
    if (!bounds) return false;
    const T b_inf = perpetual_boundary(k, p.r, p.q, p.sigma);
    if (!(s > value(b_inf))) {
        *out = T(k - s);
        if (delta) *delta = -1.0, *gamma = 0.0;
        return true;
    }
    double dl = 0.0, gl = 0.0, dh = 0.0, gh = 0.0, de = 0.0, ge = 0.0;
    double* pd = delta ? &dl : nullptr;
    double* pg = delta ? &gl : nullptr;
    const bool finite = tau < 1e300;
    const T euro = finite ? european_put(s, k, p.r, p.q, p.sigma, tau) : T(0.0);
    if (delta && finite) european_put_delta(s, k, rv, qv, sv, tau, &de, &ge);
    const T lo = euro + constant_boundary_premium(s, k, p.r, p.q, p.sigma, log(b_inf), tau, pd, pg);
    T hi = perpetual_put(s, k, p.r, p.q, p.sigma, delta ? &dh : nullptr, delta ? &gh : nullptr);
    const double cap = qv > rv ? k * rv / qv : k;
    if (s > cap) {
        double dc = 0.0, gc = 0.0;
        const T capped =
            euro + constant_boundary_premium(s, k, p.r, p.q, p.sigma, T(std::log(cap)), tau,
                                             delta ? &dc : nullptr, delta ? &gc : nullptr);
        if (value(capped) < value(hi)) hi = capped, dh = de + dc, gh = ge + gc;
    }
    const double gap = value(hi) - value(lo);
    if (!(gap <= tol) || !std::isfinite(value(lo))) return false;
    *out = 0.5 * (lo + hi);
    if (value(*out) < k - s) *out = T(k - s);
    if (delta) {
        *delta = 0.5 * (de + dl + dh);
        *gamma = 0.5 * (ge + gl + gh);
    }
    return true;
}

// The single-boundary put (r > 0). Where the maturity is many times the
// boundary's settling time, the boundary is fitted over the last stretch
// only, `settle` years before expiry; before that it is flat to within
// e^{-36} of its perpetual level, and the premium it earns comes from the
// constant-boundary closed form at the fitted end value. The error of that
// is below the difference between the closed form at the fitted end and at
// the perpetual level, which is checked against tol (the stretch grows
// until it passes).
template <class T>
T single_boundary_put(double s, const Put<T>& p, const Scheme& sc, double* delta, double* gamma,
                      const Boundary<double>* warm, Boundary<double>* keep) {
    const double k = p.k, tau = p.tau;
    const double tol = sc.tol > 0.0 ? sc.tol : 1e-13 * k;
    const double rv = value(p.r), qv = value(p.q), sv = value(p.sigma);
    double settle = settling_time(rv, qv, sv);
    T v;
    // (`keep` may be `warm` itself: it is written only once the fit is done.)
    if (put_from_limits(s, p, tol, sv < kSmallSigma || tau > settle, &v, delta, gamma)) {
        if (keep) keep->n = 0;
        return v;
    }
    Boundary<T> fit;
    if (!(settle < tau)) {
        fit_boundary(p, sc, fit, warm);
        if (keep) {
            keep->n = fit.n;
            keep->ln_x = value(fit.ln_x);
            for (int j = 0; j <= fit.n; ++j) keep->coef[j] = value(fit.coef[j]);
        }
        return put_on_boundary(s, p, fit, tau, sc.premium, T(0.0), 0.0, 0.0, delta, gamma);
    }
    if (keep) keep->n = 0;
    const double ln_inf = std::log(value(perpetual_boundary(k, rv, qv, sv)));
    for (int attempt = 0;; ++attempt) {
        Put<T> last = p;
        last.tau = settle;
        const Scheme sl = sc.tol > 0.0 ? clamp_scheme(scheme_for(sc.tol, k, settle)) : sc;
        fit_boundary(last, sl, fit, nullptr);
        const T ln_end = fit.ln_b(1.0);
        if (std::log(s) <= value(ln_end)) {
            if (delta) *delta = -1.0, *gamma = 0.0;
            return T(k - s);
        }
        double ed = 0.0, eg = 0.0;
        const double before = tau - settle;
        const T early = constant_boundary_premium(s, k, p.r, p.q, p.sigma, ln_end, before,
                                                  delta ? &ed : nullptr, delta ? &eg : nullptr);
        const double floor =
            value(constant_boundary_premium(s, k, rv, qv, sv, ln_inf, before, nullptr, nullptr));
        if (value(early) - floor <= 0.25 * tol) {
            return put_on_boundary(s, p, fit, settle, sl.premium, early, ed, eg, delta, gamma);
        }
        if (attempt >= 4 || !(4.0 * settle < tau)) return T(kNaN);
        settle *= 4.0;
    }
}

}  // namespace

// Put price for valid inputs (s, k, sigma, tau > 0, all finite).
// `warm` optionally starts the boundary sweeps; `keep` receives the fitted
// boundary's values (both used by the implied-volatility iteration).
template <class T>
T put_price(double s, const Put<T>& p, const Scheme& sc, double* delta, double* gamma,
            const Boundary<double>* warm, Boundary<double>* keep) {
    const Regime regime = put_regime(value(p.r), value(p.q));
    if (regime == Regime::SingleBoundary)
        return single_boundary_put(s, p, sc, delta, gamma, warm, keep);
    if (keep) keep->n = 0;
    // Where the band's premium is negligible, the European price.
    const double tol = sc.tol > 0.0 ? sc.tol : 1e-13 * p.k;
    if (regime == Regime::DoubleBoundary &&
        !negligible_band(p.k, value(p.r), value(p.q), p.tau, tol)) {
        // Values only: the sensitivities of this regime come from its own routine.
        const double v =
            band_put(s, p.k, value(p.r), value(p.q), value(p.sigma), p.tau, tol, delta, gamma);
        if (!std::isnan(v)) return T(v);
        return T(double_boundary_put(s, p.k, value(p.r), value(p.q), value(p.sigma), p.tau, tol,
                                     delta, gamma));
    }
    T v = european_put(s, p.k, p.r, p.q, p.sigma, p.tau);
    if (delta)
        european_put_delta(s, p.k, value(p.r), value(p.q), value(p.sigma), p.tau, delta, gamma);
    if (value(v) < p.k - s) v = T(p.k - s);
    return v;
}

// The boundary of a put whose price at every spot fits it over the whole
// life (single_boundary_put's path when r > 0, sigma is not small and the
// life is within the boundary's settling time). False where that is not so.
template <class T>
bool fit_whole_life(const Put<T>& p, const Scheme& sc, Boundary<T>& fit) {
    if (put_regime(value(p.r), value(p.q)) != Regime::SingleBoundary) return false;
    const double sv = value(p.sigma);
    if (sv < kSmallSigma || !(settling_time(value(p.r), value(p.q), sv) >= p.tau)) return false;
    fit_boundary(p, sc, fit, nullptr);
    return true;
}

// The put at spot s on a fit of fit_whole_life: put_price's value there, or
// false where no closed form would take over at s instead (a zero-volatility
// spread within tol).
template <class T>
bool price_on_fit(double s, const Put<T>& p, const Scheme& sc, const Boundary<T>& fit, T* out) {
    const double tol = sc.tol > 0.0 ? sc.tol : 1e-13 * p.k;
    const double qv = value(p.q), sv = value(p.sigma);
    const double widen =
        std::max(1.0, std::exp(-qv * p.tau)) * std::sqrt(std::expm1(sv * sv * p.tau));
    if (!(s > 0.0) || !std::isfinite(s) || 2.0 * s * widen <= tol) return false;
    *out = put_on_boundary(s, p, fit, p.tau, sc.premium, T(0.0), 0.0, 0.0, nullptr, nullptr);
    return true;
}

template double european_put(double, double, const double&, const double&, const double&, double);
template Dual<1> european_put(double, double, const Dual<1>&, const Dual<1>&, const Dual<1>&,
                              double);
template Dual<2> european_put(double, double, const Dual<2>&, const Dual<2>&, const Dual<2>&,
                              double);
template double put_price(double, const Put<double>&, const Scheme&, double*, double*,
                          const Boundary<double>*, Boundary<double>*);
template Dual<1> put_price(double, const Put<Dual<1>>&, const Scheme&, double*, double*,
                           const Boundary<double>*, Boundary<double>*);
template Dual<2> put_price(double, const Put<Dual<2>>&, const Scheme&, double*, double*,
                           const Boundary<double>*, Boundary<double>*);
template bool fit_whole_life(const Put<double>&, const Scheme&, Boundary<double>&);
template bool fit_whole_life(const Put<Dual<2>>&, const Scheme&, Boundary<Dual<2>>&);
template bool price_on_fit(double, const Put<double>&, const Scheme&, const Boundary<double>&,
                           double*);
template bool price_on_fit(double, const Put<Dual<2>>&, const Scheme&, const Boundary<Dual<2>>&,
                           Dual<2>*);

}  // namespace orvelta::american
