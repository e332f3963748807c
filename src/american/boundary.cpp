#include "american/put.hpp"

#include "common/black_scholes.hpp"
#include "common/interrupt.hpp"

#include <cmath>

namespace orvelta::american {

// Ju-Zhong quadratic approximation of the critical price at tau, by a
// bracketed Newton iteration (r > 0).
double qd_boundary(double k, double r, double q, double sigma, double tau, double x_cap,
                   double start) {
    const double s2 = sigma * sigma;
    const double alpha = 2.0 * r / s2;
    const double beta = 2.0 * (r - q) / s2;
    const double h = -std::expm1(-r * tau);
    const double bm1 = beta - 1.0;
    const double lambda = 0.5 * (-bm1 - std::sqrt(bm1 * bm1 + 4.0 * alpha / h));
    const double vol = sigma * std::sqrt(tau);
    const double eq = std::exp(-q * tau);
    const double er = std::exp(-r * tau);
    double lo = 0.0, hi = x_cap;
    double b = (start > 0.0 && start < x_cap) ? start : 0.9 * x_cap;
    for (int it = 0; it < 6; ++it) {
        const double d1 = (std::log(b / k) + (r - q) * tau) / vol + 0.5 * vol;
        const double nd1 = norm_cdf(-d1);
        const double put = k * er * norm_cdf(-(d1 - vol)) - b * eq * nd1;
        const double g = b * (1.0 - eq * nd1) + lambda * (k - b - put);
        const double dg = (1.0 - lambda) * (1.0 - eq * nd1) + eq * norm_pdf(d1) / vol;
        if (g < 0.0)
            lo = b;
        else
            hi = b;
        double next = b - g / dg;
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        const double step = std::fabs(next - b);
        b = next;
        if (step <= 1e-5 * k) break;  // a start only: the sweeps refine it
    }
    return b;
}

namespace {

template <class T>
void chebyshev_fit(Boundary<T>& fit, const T* ln_b_nodes) {
    const int n = fit.n;
    const double* c = chebyshev_cosines().c[n];
    T hv[kMaxNodes + 1];
    for (int i = 0; i < n; ++i) {
        const T d = ln_b_nodes[i] - fit.ln_x;
        hv[i] = d * d;
    }
    hv[n] = 0.0;
    const double scale = 2.0 / n;
    for (int j = 0; j <= n; ++j) {
        T sum = 0.5 * hv[0];  // i = 0 term halved, i = n term is zero
        int idx = 0;          // (i * j) mod 2n, advanced without a division
        for (int i = 1; i < n; ++i) {
            idx += j;
            if (idx >= 2 * n) idx -= 2 * n;
            sum += hv[i] * c[idx];
        }
        fit.coef[j] = scale * sum;
    }
    fit.coef[0] = 0.5 * fit.coef[0];
    fit.coef[n] = 0.5 * fit.coef[n];
}

}  // namespace

// Solves the fixed-point equations for the put boundary on the Chebyshev
// nodes (the smooth-pasting form, "FP-B" of Andersen, Lake and Offengenden:
// B = K N(B) / D(B)), all nodes updated together from the previous sweep's
// interpolant. Requires r > 0. The integrals over u in [0, tau_i] use
// u = tau_i sin^2(theta), which makes both the 1/sqrt(tau_i - u) kernel and
// the sqrt(u) behaviour of the boundary near expiry smooth in theta.
// A `warm` boundary of the same put (another sigma nearby) replaces the
// quadratic-approximation start, so that fewer sweeps reach the stop test.
template <class T>
void fit_boundary(const Put<T>& p, const Scheme& sc, Boundary<T>& fit,
                  const Boundary<double>* warm) {
    const int n = sc.nodes;
    const int l = sc.quad;
    const double k = p.k;
    const double ln_k = std::log(k);
    const T& r = p.r;
    const T& q = p.q;
    const T& sigma = p.sigma;
    const bool capped = value(q) > value(r);
    const T x = capped ? k * r / q : T(k);
    fit.n = n;
    fit.ln_x = log(x);
    const double sqrt_tau = std::sqrt(p.tau);
    const double* cosines = chebyshev_cosines().c[n];
    const GaussLegendre& gl = gauss_legendre();
    const double* sn_t = gl.sn[l];
    const double* cs_t = gl.cs[l];
    const double* ws_t = gl.ws[l];

    FitWork<T>& work = fit_work<T>();
    work.reserve(static_cast<std::size_t>(n) * l);

    const T mp = (r - q) / sigma + 0.5 * sigma;  // d+ = ln(ratio) / (sigma s) + mp s
    const T floor = perpetual_boundary(k, r, q, sigma);
    const T inv_sigma = 1.0 / sigma;
    const double xv = value(x);

    T b[kMaxNodes], ln_b[kMaxNodes], eq_node[kMaxNodes], inv_vol[kMaxNodes];
    double zs[kMaxNodes];
    for (int i = 0; i < n; ++i) {
        const double z = 0.5 * sqrt_tau * (1.0 + cosines[i]);
        const double ti = z * z;
        zs[i] = z;
        eq_node[i] = exp(-q * ti);
        inv_vol[i] = 1.0 / (sigma * z);
        double b0 = warm ? std::exp(warm->ln_b(cosines[i]))
                         : qd_boundary(k, value(r), value(q), value(sigma), ti, xv,
                                       i == 0 ? 0.9 * xv : value(b[i - 1]));
        if (!(b0 > 0.0) || !(b0 < xv)) b0 = xv * (1.0 - 1e-9);
        b[i] = T(b0);
        ln_b[i] = log(b[i]);
        for (int j = 0; j < l; ++j) {
            const int m = i * l + j;
            const double s = z * cs_t[j];  // sqrt(tau_i - u)
            work.s[m] = s;
            work.xu[m] = 2.0 * (z * sn_t[j]) / sqrt_tau - 1.0;
            // Exponents only; the exponentials follow for all points at once.
            work.weq[m] = -q * (s * s);
            work.wer[m] = -r * (s * s);
            work.inv_ss[m] = inv_sigma / s;
        }
    }
    exp_many(work.weq.data(), n * l, work.weq.data());
    exp_many(work.wer.data(), n * l, work.wer.data());
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < l; ++j) {
            const int m = i * l + j;
            work.weq[m] = (ws_t[j] * zs[i]) * work.weq[m];
            work.wer[m] = (ws_t[j] * zs[i] * work.s[m]) * work.wer[m];
        }
    }

    // The smooth-pasting form converges in a few sweeps unless r / sigma^2 is
    // large, where it drifts away slowly; there the value-matching form
    // ("FP-A", B = K N_A / D_A), which is stable, takes over after two sweeps.
    // So does a capped boundary (q > r) on fine node sets, near expiry and at
    // long maturities, where the smooth-pasting form loses accuracy.
    // Long maturities drift from a lower ratio on. So do the smooth-pasting
    // sweeps of a put with a yield below -2% (r = 0.079, q = -0.094, sigma
    // 0.34, nine years: 1e-5 off after the sweeps of tol 1e-8, 4e-5 after
    // sixteen times as many), where the value-matching ones settle to 1e-11
    // whatever their number.
    const double ratio = value(r) / (value(sigma) * value(sigma));
    const bool slow =
        (capped && (n >= kFineNodes || p.tau < kShortCapped || p.tau > kLongMaturity)) ||
        ratio > kSlowRatio || (ratio > kSlowRatioLong && p.tau > kLongMaturity) ||
        value(q) < kDriftingYield;
    // Days from expiry the value-matching sweeps first overshoot (the
    // boundary passes below its limit) and then settle over a hundred sweeps
    // or more; the stop test below still ends them once they have settled.
    int sweeps = slow ? sc.slow_iterations : sc.iterations;
    if (slow && p.tau < kShortSlow) sweeps = std::min(4 * sweeps, kMaxIterations);
    T er_node[kMaxNodes];
    for (int i = 0; i < n; ++i) er_node[i] = exp(-r * (zs[i] * zs[i]));
    for (int sweep = 0; sweep < sweeps; ++sweep) {
        // A requested cancellation (Ctrl-C) abandons the batch: the sweeps stop
        // and the result is discarded.
        if (cancel_requested()) break;
        chebyshev_fit(fit, ln_b);
        T nb[kMaxNodes];
        const bool value_matching = slow && sweep >= 2;
        const int total = n * l;
        if (!value_matching) {
            // Every point of the sweep at once, so that the exponentials (the
            // density at d and 1 / B(u)) run as one long vector pass.
            T* lb = work.all_lbu.data();
            T* dj = work.all_dj.data();
            T* e = work.all_e.data();
            fit.ln_b_many(work.xu.data(), total, lb);
            for (int i = 0; i < n; ++i) {
                for (int j = 0; j < l; ++j) {
                    const int m = i * l + j;
                    dj[m] = (ln_b[i] - lb[m]) * work.inv_ss[m] + mp * work.s[m];
                    e[m] = -0.5 * dj[m] * dj[m];
                    e[total + m] = -lb[m];
                }
            }
            exp_many(e, 2 * total, e);
            ncdf_many(dj, total, work.all_nd.data());
        }
        for (int i = 0; i < n; ++i) {
            const T& bi = b[i];
            const T& lbi = ln_b[i];
            const T d0 = (lbi - ln_k) * inv_vol[i] + mp * zs[i];
            T sn = 0.0, sd = 0.0, num, den;
            T* lbus = work.lbu.data();
            if (value_matching) fit.ln_b_many(&work.xu[i * l], l, lbus);
            if (value_matching) {
                // N(d) and N(d - sigma s) of the node's points in one vector pass.
                T* nd = work.all_nd.data();
                for (int j = 0; j < l; ++j) {
                    const int m = i * l + j;
                    const double s = work.s[m];
                    const T dj = (lbi - lbus[j]) * work.inv_ss[m] + mp * s;
                    nd[j] = dj;
                    nd[l + j] = dj - sigma * s;
                }
                ncdf_many(nd, 2 * l, nd);
                for (int j = 0; j < l; ++j) {
                    const int m = i * l + j;
                    sd += work.weq[m] * work.s[m] * nd[j];
                    sn += work.wer[m] * nd[l + j];
                }
                num = er_node[i] * ncdf(d0 - sigma * zs[i]) + r * sn;
                den = eq_node[i] * ncdf(d0) + q * sd;
            } else {
                const T* nd = work.all_nd.data();
                const T* e = work.all_e.data();
                for (int j = 0; j < l; ++j) {
                    const int m = i * l + j;
                    const T wphi = work.weq[m] * (kInvSqrt2Pi * e[m]);
                    sn += wphi * e[total + m];
                    sd += work.weq[m] * (work.s[m] * nd[m]) + wphi * inv_sigma;
                }
                const T phi0 = npdf(d0);
                num = bi * (eq_node[i] * phi0 * inv_vol[i] / k + r * inv_sigma * sn);
                den = eq_node[i] * (phi0 * inv_vol[i] + ncdf(d0)) + q * sd;
            }
            T next = k * num / den;
            // An update that is not positive: with q < 0 the denominator
            // turns negative far below the boundary, where an overshoot of
            // the smooth-pasting form (a large r / sigma^2) can put a node.
            // Halving from there ran every later sweep down to zero (a put at
            // r = 5, q = -0.01 priced 20 times too low); the node restarts
            // from the perpetual put's boundary instead, which the boundary
            // lies above at every maturity.
            if (!(value(next) > 0.0)) next = value(floor) > 0.0 ? floor : 0.5 * bi;
            if (!(value(next) < xv)) next = T(xv * (1.0 - 1e-12));
            nb[i] = next;
        }
        double change = 0.0;
        for (int i = 0; i < n; ++i) {
            change = std::max(change, std::fabs(value(nb[i]) - value(b[i])));
            b[i] = nb[i];
            ln_b[i] = log(b[i]);
        }
        // Converged well below the target accuracy: further sweeps change nothing that matters.
        if (sweep >= 1 && change <= sc.stop * k) break;
    }
    chebyshev_fit(fit, ln_b);
}

template void fit_boundary(const Put<double>&, const Scheme&, Boundary<double>&,
                           const Boundary<double>*);
template void fit_boundary(const Put<Dual<1>>&, const Scheme&, Boundary<Dual<1>>&,
                           const Boundary<double>*);
template void fit_boundary(const Put<Dual<2>>&, const Scheme&, Boundary<Dual<2>>&,
                           const Boundary<double>*);

}  // namespace orvelta::american
