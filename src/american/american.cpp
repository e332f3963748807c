#include "american/american.hpp"

#include "american/put.hpp"
#include "common/constants.hpp"
#include "common/parallel.hpp"
#include "common/threads.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace orvelta::american {

namespace {

double price_scheme(double s, double k, double r, double q, double sigma, double tau, bool call,
                    const Scheme& scheme) {
    switch (classify(s, k, r, q, sigma, tau)) {
        case Domain::Invalid: return kNaN;
        case Domain::Intrinsic: return intrinsic(s, k, call);
        case Domain::Price: break;
    }
    // Call on (s, k, r, q) = put on (k, s, q, r).
    const Put<double> p =
        call ? Put<double>{s, tau, q, r, sigma} : Put<double>{k, tau, r, q, sigma};
    const double spot = call ? k : s;
    return put_price(spot, p, clamp_scheme(scheme), nullptr, nullptr);
}

// The settings of each tolerance (scheme_for) were chosen from sweeps over
// sigma 0.05..1, maturities of a day to ten years and put-form rates r in 0..0.12
// and q in 0..0.12; 6,000 options with q in -0.02..0 (a call at a negative
// rate) stayed within tol where sigma >= 0.1 and tau <= 5 (beyond, one was
// 1.7 tol off at tol 1e-2, nine years at sigma 0.1). Outside that box a hostile
// sweep found prices tens of tolerances off at large rates or
// volatilities, long maturities and negative yields, and low volatilities
// with a negative yield were off at every tol; there a price stands only
// once finer settings agree.
constexpr double kOneDay = 1.0 / 365.0, kValidatedMaturity = 10.0, kShorterMaturity = 5.0;

bool settings_validated(double pr, double pq, double sigma, double tau) {
    const bool yield =
        (pq >= 0.0 && pq <= 0.12) || (pq >= -0.02 && sigma >= 0.1 && tau <= kShorterMaturity);
    return sigma >= 0.05 && sigma <= 1.0 && tau >= kOneDay && tau <= kValidatedMaturity &&
           pr <= 0.12 && yield;
}

bool same_settings(const Scheme& a, const Scheme& b) {
    return a.nodes == b.nodes && a.quad == b.quad && a.iterations == b.iterations &&
           a.slow_iterations == b.slow_iterations && a.premium == b.premium;
}

}  // namespace

// The scheme a price at tol uses: tol's own inside the box above (or
// outside the single-boundary regime). Outside it, the rows of settings from
// tol's own on (or the three finest, where fewer remain) in turn, until one
// agrees within tol with the row before it, and that one within the
// coarser one's own tolerance with the row before it; the finest is taken,
// its price in *value. (Two rows alone agreed by chance where the rows
// converge unevenly: two coarse ones 2e-3 apart and 2.2e-2 off at sigma 3.5
// over seventeen years.) False where no rows do: the price is NaN.
bool checked_scheme(double s, double k, double r, double q, double sigma, double tau, bool call,
                    double tol, Scheme* out, double* value) {
    const double strike = call ? s : k;
    *out = clamp_scheme(scheme_for(tol, strike, tau));
    *value = kNaN;
    const double pr = call ? q : r, pq = call ? r : q;
    if (put_regime(pr, pq) != Regime::SingleBoundary || settings_validated(pr, pq, sigma, tau))
        return true;
    // The distinct rows, coarsest first, each with the largest tolerance
    // that takes it; and where tol's own falls.
    constexpr int kRows = 16;
    Scheme rows[kRows];
    double nominal[kRows];
    int count = 0, own = 0;
    for (double rel = 1.0; rel > 1e-17 && count < kRows; rel *= 0.5) {
        const Scheme sc = clamp_scheme(scheme_for(rel * strike, strike, tau));
        if (count > 0 && same_settings(sc, rows[count - 1])) continue;
        nominal[count] = rel * strike;
        rows[count++] = sc;
    }
    for (int i = 0; i < count; ++i)
        if (same_settings(rows[i], *out)) own = i;
    const int first = std::max(0, std::min(own, count - 3));
    double last = kNaN;
    bool settled = false;  // the last row agreed with the one before within its tolerance
    for (int i = first; i < count; ++i) {
        Scheme sc = rows[i];
        sc.tol = tol;  // closed forms and long-maturity fits as for tol itself
        const double v = price_scheme(s, k, r, q, sigma, tau, call, sc);
        const double step = std::fabs(v - last);
        if (i >= own && settled && step <= tol) {
            *out = sc;
            *value = v;
            return true;
        }
        settled = i > first && step <= 0.5 * std::max(tol, nominal[i - 1]);
        last = v;
    }
    return false;
}

namespace {

// Greeks of the option from its put form's price v, delta pd and gamma pg in
// the put's spot ps (strike pk, rates pr, pq), and vega and rho of the price.
Greeks option_greeks(double v, double pd, double pg, double vega, double rho, double ps, double pk,
                     double pr, double pq, double sigma, bool call) {
    Greeks g{};
    g.price = v;
    g.vega = vega;
    g.rho = rho;
    const bool exercised = (v == pk - ps) && pd == -1.0;
    // Theta from the pricing equation in the continuation region.
    g.theta = exercised ? 0.0 : pr * v - (pr - pq) * ps * pd - 0.5 * sigma * sigma * ps * ps * pg;
    if (exercised) {
        g.vega = 0.0;
        g.rho = 0.0;
    }
    if (call) {
        // By homogeneity of degree one in (spot, strike).
        g.delta = (v - ps * pd) / pk;
        g.gamma = (ps / pk) * (ps / pk) * pg;
    } else {
        g.delta = pd;
        g.gamma = pg;
    }
    return g;
}

// The double-boundary regime: from the integral equations where they vouch
// for tol (delta and gamma from the premium, vega and rho by central
// differences of solves at the accepted setting); otherwise delta and gamma
// from the finite-difference grids, vega and rho by central differences of
// the price on the same grids (their count and geometry fixed at the
// unbumped option's, so that the differences see a smooth function). The
// price is always the one `price` gives: where the integral equations price
// the option but a bumped solve fails, theirs, with the grids'
// sensitivities (NaN where the grids cannot reach tol).
Greeks double_boundary_greeks(double s, double k, double r, double q, double sigma, double tau,
                              bool call, double tol) {
    const double ps = call ? k : s, pk = call ? s : k, pr = call ? q : r, pq = call ? r : q;
    const double ptol = scheme_for(tol, pk, tau).tol;
    // The option's own rate: the put's r, or for a call the put's q.
    double band[5];
    const int had = band_greeks(ps, pk, pr, pq, sigma, tau, ptol, call, band);
    if (had == 2)
        return option_greeks(band[0], band[1], band[2], band[3], band[4], ps, pk, pr, pq, sigma,
                             call);
    double pd = 0.0, pg = 0.0;
    int grids = 0;
    double v = double_boundary_put(ps, pk, pr, pq, sigma, tau, ptol, &pd, &pg, &grids);
    if (had == 1) {
        v = band[0];
        pd = band[1];
        pg = band[2];
    }
    if (std::isnan(v) || !std::isfinite(v)) return {v, kNaN, kNaN, kNaN, kNaN, kNaN};
    const double at[4] = {ps, pr, pq, sigma};
    auto bumped = [&](double dr, double dq, double dsig) {
        int fixed = grids;
        return double_boundary_put(ps, pk, pr + dr, pq + dq, sigma + dsig, tau, ptol, nullptr,
                                   nullptr, &fixed, at);
    };
    const double hs = 1e-4 * std::max(sigma, 0.05), hr = 1e-4;
    const double vega = (bumped(0.0, 0.0, hs) - bumped(0.0, 0.0, -hs)) / (2.0 * hs);
    const double rho = call ? (bumped(0.0, hr, 0.0) - bumped(0.0, -hr, 0.0)) / (2.0 * hr)
                            : (bumped(hr, 0.0, 0.0) - bumped(-hr, 0.0, 0.0)) / (2.0 * hr);
    return option_greeks(v, pd, pg, vega, rho, ps, pk, pr, pq, sigma, call);
}

}  // namespace

// --------------------------------------------------------------- settings

Scheme scheme_for(double tol, double strike, double tau) noexcept {
    // Error relative to the put-equivalent strike, which sets the price scale.
    // Each row keeps every part of the error (interpolation, quadrature,
    // iteration, premium integral) below a third of its level, as measured
    // against converged prices over sigma 0.05..1, tau one day..10 years,
    // moneyness 0.5..2 and rates 0..0.12. The parts rarely peak on the same
    // option, so a tolerance takes the row at twice its relative size: over
    // 900 options of that domain the largest error was 0.86 tol (tol 1e-8)
    // and at most 0.45 tol for tol 1e-3..1e-7.
    double rel = 2.0 * tol / strike;
    // Long maturities: the boundary varies over more of its range and the
    // sweeps converge more slowly, so they take the next finer row.
    if (tau > kLongMaturity) rel *= 0.1;
    if (!(rel > 0.0)) rel = 0.0;
    const double stop = 0.03 * rel;
    // Coarse tolerances (rel >= 2e-5): the largest error at the band's edge
    // was 0.42 tol over 18,000 options of the domain up to two years, 0.53
    // tol over 60,000 of the whole domain.
    if (rel >= 2e-5) return {6, 5, 3, 12, 2, stop, tol};
    if (rel >= 1e-5) return {7, 6, 4, 16, 2, stop, tol};
    if (rel >= 1e-6) return {10, 8, 5, 20, 3, stop, tol};
    if (rel >= 1e-7) return {14, 12, 6, 24, 3, stop, tol};
    if (rel >= 1e-8) return {24, 20, 7, 32, 4, stop, tol};
    if (rel >= 1e-9) return {32, 40, 9, 36, 4, stop, tol};
    if (rel >= 1e-10) return {48, 40, 10, 44, 4, stop, tol};
    return {64, 64, 16, 48, 5, stop, tol};
}

double price_with(double s, double k, double r, double q, double sigma, double tau, bool call,
                  const Scheme& scheme) {
    return price_scheme(s, k, r, q, sigma, tau, call, scheme);
}

double price(double s, double k, double r, double q, double sigma, double tau, bool call,
             double tol) {
    const FdBudget budget;
    if (classify(s, k, r, q, sigma, tau) != Domain::Price)
        return price_scheme(s, k, r, q, sigma, tau, call, scheme_for(tol, call ? s : k, tau));
    Scheme sc;
    double v = kNaN;
    if (!checked_scheme(s, k, r, q, sigma, tau, call, tol, &sc, &v)) return kNaN;
    return std::isnan(v) ? price_scheme(s, k, r, q, sigma, tau, call, sc) : v;
}

Greeks greeks(double s, double k, double r, double q, double sigma, double tau, bool call,
              double tol) {
    const FdBudget budget(5.0);  // the price and four bumped ones
    switch (classify(s, k, r, q, sigma, tau)) {
        case Domain::Invalid: return Greeks::nan();
        case Domain::Intrinsic: {
            const double v = intrinsic(s, k, call);
            const double in = call ? (s > k ? 1.0 : 0.0) : (s < k ? -1.0 : 0.0);
            return {v, in, 0.0, 0.0, 0.0, 0.0};
        }
        case Domain::Price: break;
    }
    if (put_regime(call ? q : r, call ? r : q) == Regime::DoubleBoundary &&
        !negligible_band(call ? s : k, call ? q : r, call ? r : q, tau, tol)) {
        return double_boundary_greeks(s, k, r, q, sigma, tau, call, tol);
    }
    {
        using D = Dual<2>;
        // (See option_greeks for the conversion of the put form's values.)
        Scheme sc;
        double checked = 0.0;
        if (!checked_scheme(s, k, r, q, sigma, tau, call, tol, &sc, &checked)) return Greeks::nan();
        // Directions: 0 = sigma, 1 = the option's own rate r (the put's q for a call).
        D dsig(sigma), drate(r), dother(q);
        dsig.d[0] = 1.0;
        drate.d[1] = 1.0;
        const double ps = call ? k : s;  // put spot
        const double pk = call ? s : k;  // put strike
        const Put<D> p =
            call ? Put<D>{pk, tau, dother, drate, dsig} : Put<D>{pk, tau, drate, dother, dsig};
        double pd = 0.0, pg = 0.0;
        const D v = put_price(ps, p, sc, &pd, &pg);
        return option_greeks(v.v, pd, pg, v.d[0], v.d[1], ps, pk, value(p.r), value(p.q), sigma,
                             call);
    }
}

struct PutOnBoundary::Fit {
    Scheme scheme;
    bool sensitivities = false;
    Put<double> plain;
    Put<Dual<2>> put;
    Boundary<double> boundary;
    Boundary<Dual<2>> dual;
};

bool PutOnBoundary::fit(double k, double r, double q, double sigma, double tau, double tol,
                        bool sensitivities) {
    fit_.reset();
    if (classify(k, k, r, q, sigma, tau) != Domain::Price || !(tol > 0.0)) return false;
    if (put_regime(r, q) != Regime::SingleBoundary || !settings_validated(r, q, sigma, tau))
        return false;
    auto f = std::make_shared<Fit>();
    f->scheme = clamp_scheme(scheme_for(tol, k, tau));
    f->sensitivities = sensitivities;
    if (!sensitivities) {
        f->plain = Put<double>{k, tau, r, q, sigma};
        if (!fit_whole_life(f->plain, f->scheme, f->boundary)) return false;
        boundary_ = std::exp(f->boundary.ln_b(1.0));
    } else {
        // Directions as in greeks: 0 = sigma, 1 = r.
        Dual<2> dsig(sigma), drate(r), dq(q);
        dsig.d[0] = 1.0;
        drate.d[1] = 1.0;
        f->put = Put<Dual<2>>{k, tau, drate, dq, dsig};
        if (!fit_whole_life(f->put, f->scheme, f->dual)) return false;
        boundary_ = std::exp(f->dual.ln_b(1.0).v);
    }
    fit_ = std::move(f);
    return true;
}

bool PutOnBoundary::price(const std::vector<double>& s, std::vector<double>& out,
                          std::vector<double>* sens) const {
    if (!fit_ || (sens != nullptr) != fit_->sensitivities) return false;
    const Fit& f = *fit_;
    out.resize(s.size());
    if (sens == nullptr) {
        for (std::size_t i = 0; i < s.size(); ++i)
            if (!price_on_fit(s[i], f.plain, f.scheme, f.boundary, &out[i])) return false;
        return true;
    }
    sens->resize(2 * s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        Dual<2> v;
        if (!price_on_fit(s[i], f.put, f.scheme, f.dual, &v)) return false;
        out[i] = v.v;
        (*sens)[2 * i] = v.d[0];
        (*sens)[2 * i + 1] = v.d[1];
    }
    return true;
}

// ---------------------------------------------------------------- batches

namespace {

// Options are handed to threads four at a time: their costs differ widely.
template <class Body>
void parallel_options(std::size_t count, Body&& body) {
    parallel_for(0, count, 4, run_parallel(count), body);
}

}  // namespace

void price_batch(std::size_t count, const double* s, const double* k, const double* r,
                 const double* q, const double* sigma, const double* tau, const double* option_type,
                 double tol, double* out) {
    parallel_options(count, [&](std::size_t i) {
        out[i] = std::isnan(option_type[i]) ? kNaN
                                            : price(s[i], k[i], r[i], q[i], sigma[i], tau[i],
                                                    is_call(option_type[i]), tol);
    });
}

void greeks_batch(std::size_t count, const double* s, const double* k, const double* r,
                  const double* q, const double* sigma, const double* tau,
                  const double* option_type, double tol, double* price, double* delta,
                  double* gamma, double* theta, double* vega, double* rho) {
    parallel_options(count, [&](std::size_t i) {
        const Greeks g = std::isnan(option_type[i]) ? Greeks::nan()
                                                    : greeks(s[i], k[i], r[i], q[i], sigma[i],
                                                             tau[i], is_call(option_type[i]), tol);
        g.store(i, price, delta, gamma, theta, vega, rho);
    });
}

void implied_vol_batch(std::size_t count, const double* target, const double* s, const double* k,
                       const double* r, const double* q, const double* tau,
                       const double* option_type, double tol, double* out) {
    parallel_options(count, [&](std::size_t i) {
        out[i] = std::isnan(option_type[i]) ? kNaN
                                            : implied_vol(target[i], s[i], k[i], r[i], q[i], tau[i],
                                                          is_call(option_type[i]), tol);
    });
}

}  // namespace orvelta::american
