#include "american/american.hpp"

#include "american/put.hpp"
#include "common/constants.hpp"
#include "european/european.hpp"

#include <algorithm>
#include <cmath>

namespace orvelta::american {

namespace {

// Price and vega by forward differentiation in sigma.
double price_vega(double s, double k, double r, double q, double sigma, double tau, bool call,
                  const Scheme& sc, double* vega, const Boundary<double>* warm,
                  Boundary<double>* keep) {
    using D = Dual<1>;
    D dsig(sigma);
    dsig.d[0] = 1.0;
    const Put<D> p = call ? Put<D>{s, tau, D(q), D(r), dsig} : Put<D>{k, tau, D(r), D(q), dsig};
    const D v = put_price(call ? k : s, p, sc, nullptr, nullptr, warm, keep);
    *vega = v.d[0];
    return v.v;
}

// Price alone, the sweeps started from `warm`.
double price_warm(double s, double k, double r, double q, double sigma, double tau, bool call,
                  const Scheme& sc, const Boundary<double>* warm) {
    const Put<double> p =
        call ? Put<double>{s, tau, q, r, sigma} : Put<double>{k, tau, r, q, sigma};
    return put_price(call ? k : s, p, sc, nullptr, nullptr, warm, nullptr);
}

// Value as sigma -> 0: the best deterministic exercise date.
double zero_vol_value(double s, double k, double r, double q, double tau, bool call) {
    return call ? zero_vol_put(k, s, q, r, tau, nullptr, nullptr)
                : zero_vol_put(s, k, r, q, tau, nullptr, nullptr);
}

// The double-boundary regime: regula falsi (Illinois) on the price (by the
// integral equations, or by finite differences where those do not vouch
// for the accuracy), between zero and the European implied volatility (an
// upper bound) or 10. Prices good to 1e-7 of the
// put-equivalent strike bound the attainable accuracy in sigma.
double double_boundary_implied_vol(double target, double s, double k, double r, double q,
                                   double tau, bool call, double tol) {
    const double ps = call ? k : s, pk = call ? s : k, pr = call ? q : r, pq = call ? r : q;
    const double ptol = 1e-7 * pk;
    auto f = [&](double sigma) {
        const double v = band_put(ps, pk, pr, pq, sigma, tau, ptol, nullptr, nullptr);
        if (!std::isnan(v)) return v - target;
        return double_boundary_put(ps, pk, pr, pq, sigma, tau, ptol, nullptr, nullptr) - target;
    };
    // The price rises from its zero-volatility value, which brackets the
    // root from below without a price at a tiny volatility (where the band
    // is hardest to solve).
    double lo = 0.0, hi = 10.0;
    const double euro = european::implied_vol(target, s, k, r, q, tau, call);
    if (euro > 1e-4 && euro < hi) hi = euro * (1.0 + 1e-9);
    double flo = zero_vol_value(s, k, r, q, tau, call) - target, fhi = f(hi);
    if (std::isnan(flo) || std::isnan(fhi) || flo > 0.0 || fhi < 0.0) return kNaN;
    int side = 0;
    for (int it = 0; it < 100; ++it) {
        if (hi - lo <= tol) break;
        double mid = (lo * fhi - hi * flo) / (fhi - flo);
        if (!(mid > lo && mid < hi)) mid = 0.5 * (lo + hi);
        const double fm = f(mid);
        if (std::isnan(fm)) return kNaN;
        if (std::fabs(fm) <= 0.25 * ptol) return mid;
        if (fm > 0.0) {
            hi = mid;
            fhi = fm;
            if (side == 1) flo *= 0.5;
            side = 1;
        } else {
            lo = mid;
            flo = fm;
            if (side == -1) fhi *= 0.5;
            side = -1;
        }
    }
    return 0.5 * (lo + hi);
}

}  // namespace

double implied_vol(double target, double s, double k, double r, double q, double tau, bool call,
                   double tol) {
    const FdBudget budget(10.0);
    if (std::isnan(target) || classify(s, k, r, q, 0.2, tau) != Domain::Price) return kNaN;
    // No-arbitrage bound: the price at infinite volatility, the best of the
    // underlying's (call) or the strike's (put) discounted value now or at
    // expiry; above s or k when the yield or the rate is negative.
    const double bound =
        call ? s * std::max(1.0, std::exp(-q * tau)) : k * std::max(1.0, std::exp(-r * tau));
    if (!(target < bound)) return kNaN;
    if (!(target > zero_vol_value(s, k, r, q, tau, call))) return kNaN;
    if (!(tol > 0.0)) tol = 1e-10;
    if (put_regime(call ? q : r, call ? r : q) == Regime::DoubleBoundary)
        return double_boundary_implied_vol(target, s, k, r, q, tau, call, tol);
    {
        constexpr double kLo = 1e-4, kHi = 10.0;
        const double scale = call ? s : k;
        // Newton steps on a price good to 1e-6 of the strike bring sigma
        // close; one step on a price good to max(tol * vega / 2, 1e-8) then
        // lands within tol (Newton's error is quadratic in the last step).
        Scheme sc = clamp_scheme(scheme_for(1e-6 * scale, scale, tau));
        // The European implied volatility of the same price is an upper
        // bound (the American price is the larger at every sigma) and close
        // where early exercise is worth little.
        const double euro = european::implied_vol(target, s, k, r, q, tau, call);
        double lo = kLo, hi = kHi;
        double sigma = (euro > 2.0 * kLo && euro < kHi) ? euro : 0.3;
        bool fine = false;
        Boundary<double> last;  // the previous iterate's boundary starts the next
        last.n = 0;
        double last_sigma = kNaN;
        for (int it = 0; it < 64; ++it) {
            double vega = 0.0;
            // Only a boundary fitted nearby is a good start: from one far off
            // the few sweeps of a coarse price do not reach the fixed point.
            const bool near = std::fabs(sigma - last_sigma) <= 0.02 * sigma;
            const Boundary<double>* warm = (last.n == sc.nodes && near) ? &last : nullptr;
            last_sigma = sigma;
            const double diff =
                price_vega(s, k, r, q, sigma, tau, call, sc, &vega, warm, &last) - target;
            if (diff == 0.0 && fine) return sigma;
            if (diff > 0.0)
                hi = std::min(hi, sigma);
            else
                lo = std::max(lo, sigma);
            double next = (vega > 0.0 && std::isfinite(vega)) ? sigma - diff / vega : kNaN;
            if (!(next >= lo && next <= hi)) next = 0.5 * (lo + hi);
            const double step = std::fabs(next - sigma);
            if (fine && (step <= tol || step <= 1e-5 * sigma)) return next;
            if (!fine && step <= 1e-6 * sigma) {
                fine = true;
                double ptol = std::max(0.5 * tol * vega, 1e-8);
                // Outside the box the settings were chosen on, the accurate
                // price is one finer settings confirm: at ptol, or else at
                // the finest tolerance up to 1e-6 of the scale they confirm
                // (which then bounds the accuracy in sigma); NaN where none.
                double checked = kNaN;
                while (!checked_scheme(s, k, r, q, next, tau, call, ptol, &sc, &checked)) {
                    ptol *= 10.0;
                    if (!(ptol <= 1e-6 * scale)) return kNaN;
                }
                // One step on the accurate price with the vega just found (its
                // small error only scales a step that is already tiny), the
                // sweeps started from the coarse boundary at this sigma.
                const Boundary<double>* start = last.n > 0 ? &last : nullptr;
                const double accurate = std::isnan(checked)
                                            ? price_warm(s, k, r, q, next, tau, call, sc, start)
                                            : checked;
                const double fdiff = accurate - target;
                if (fdiff == 0.0) return next;
                const double fnext = next - fdiff / vega;
                if (std::fabs(fnext - next) <= tol || std::fabs(fnext - next) <= 1e-5 * next) {
                    if (fnext >= kLo && fnext <= kHi) return fnext;
                }
                last.n = 0;
                lo = kLo;  // the finer price moves the root slightly
                hi = kHi;
            }
            sigma = next;
            if (hi - lo <= tol) return 0.5 * (lo + hi);
            if (sigma <= 1.0001 * kLo && hi <= 1.001 * kLo) return kNaN;
        }
        return kNaN;
    }
}

}  // namespace orvelta::american
