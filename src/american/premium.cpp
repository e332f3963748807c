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
    return k * exp(-r * tau) * ncdf(-d2) - s * exp(-q * tau) * ncdf(-d1);
}

namespace {

// Put price on a fitted boundary; optionally delta and gamma in s.
template <class T>
T put_on_boundary(double s, const Put<T>& p, const Boundary<T>& fit, int level, double* delta,
                  double* gamma) {
    const double k = p.k;
    const double tau = p.tau;
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
        const double t = tau * a[j];
        disc[j] = -r * t;
        disc[count + j] = -q * t;
    }
    exp_many(disc, 2 * count, disc);
    // -d- and -d+ per point, then their normal distributions in one pass.
    T nd[2 * kMaxPremiumPoints];
    for (int j = 0; j < count; ++j) {
        const double st = std::sqrt(tau * a[j]);
        const T dp = (ln_s - lbus[j]) * (1.0 / (sigma * st)) + mp * st;
        nd[j] = -(dp - sigma * st);
        nd[count + j] = -dp;
    }
    ncdf_many(nd, 2 * count, nd);
    for (int j = 0; j < count; ++j) {
        const double t = tau * a[j];
        const double st = std::sqrt(t);
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
    T v = euro + tau * prem;
    if (delta) {
        const double vol = sv * std::sqrt(tau);
        const double d1 = (std::log(s / k) + (rv - qv) * tau) / vol + 0.5 * vol;
        const double eqtau = std::exp(-qv * tau);
        *delta = -eqtau * norm_cdf(-d1) + tau * dsum;
        *gamma = eqtau * norm_pdf(d1) / (s * vol) + tau * gsum;
    }
    if (value(v) < k - s) v = T(k - s);
    return v;
}

// Fallback for a put with q < r <= 0: a Cox-Ross-Rubinstein lattice with
// early exercise, averaged over two neighbouring step counts and
// extrapolated in 1/n. Its accuracy is about 1e-6 of the strike, not tol.
double put_double_boundary(double s, double k, double r, double q, double sigma, double tau) {
    auto tree = [&](int n) {
        const double dt = tau / n;
        const double u = std::exp(sigma * std::sqrt(dt));
        const double d = 1.0 / u;
        double p = (std::exp((r - q) * dt) - d) / (u - d);
        p = std::min(std::max(p, 0.0), 1.0);
        const double disc = std::exp(-r * dt);
        std::vector<double> v(static_cast<std::size_t>(n) + 1);
        for (int j = 0; j <= n; ++j) v[j] = positive_part(k - s * std::pow(u, 2.0 * j - n));
        for (int f = n - 1; f >= 0; --f) {
            for (int j = 0; j <= f; ++j) {
                const double cont = disc * (p * v[j + 1] + (1.0 - p) * v[j]);
                const double ex = k - s * std::pow(u, 2.0 * j - f);
                v[j] = std::max(cont, ex);
            }
        }
        return v[0];
    };
    const double a = 0.5 * (tree(2000) + tree(2001));
    const double b = 0.5 * (tree(4000) + tree(4001));
    return 2.0 * b - a;
}

}  // namespace


// Put price for valid inputs (s, k, sigma, tau > 0, all finite).
// `warm` optionally starts the boundary sweeps; `keep` receives the fitted
// boundary's values (both used by the implied-volatility iteration).
template <class T>
T put_price(double s, const Put<T>& p, const Scheme& sc, double* delta, double* gamma,
            const Boundary<double>* warm, Boundary<double>* keep) {
    const Regime regime = put_regime(value(p.r), value(p.q));
    if (regime == Regime::SingleBoundary) {
        Boundary<T> fit;
        fit_boundary(p, sc, fit, warm);
        if (keep) {
            keep->n = fit.n;
            keep->ln_x = value(fit.ln_x);
            for (int j = 0; j <= fit.n; ++j) keep->coef[j] = value(fit.coef[j]);
        }
        return put_on_boundary(s, p, fit, sc.premium, delta, gamma);
    }
    if (keep) keep->n = 0;
    T v = european_put(s, p.k, p.r, p.q, p.sigma, p.tau);
    if (regime == Regime::DoubleBoundary) {
        v = T(put_double_boundary(s, p.k, value(p.r), value(p.q), value(p.sigma), p.tau));
    }
    if (delta) {
        const double sv = value(p.sigma), rv = value(p.r), qv = value(p.q);
        const double vol = sv * std::sqrt(p.tau);
        const double d1 = (std::log(s / p.k) + (rv - qv) * p.tau) / vol + 0.5 * vol;
        const double eq = std::exp(-qv * p.tau);
        *delta = -eq * norm_cdf(-d1);
        *gamma = eq * norm_pdf(d1) / (s * vol);
    }
    if (value(v) < p.k - s) v = T(p.k - s);
    return v;
}

template double european_put(double, double, const double&, const double&, const double&, double);
template Dual<1> european_put(double, double, const Dual<1>&, const Dual<1>&, const Dual<1>&, double);
template Dual<2> european_put(double, double, const Dual<2>&, const Dual<2>&, const Dual<2>&, double);
template double put_price(double, const Put<double>&, const Scheme&, double*, double*,
                          const Boundary<double>*, Boundary<double>*);
template Dual<1> put_price(double, const Put<Dual<1>>&, const Scheme&, double*, double*,
                           const Boundary<double>*, Boundary<double>*);
template Dual<2> put_price(double, const Put<Dual<2>>&, const Scheme&, double*, double*,
                           const Boundary<double>*, Boundary<double>*);

}  // namespace orvelta::american
