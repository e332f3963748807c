// The series routes of the European pricer: Merton as a Poisson series of
// Black-Scholes puts, Bates as a Poisson mixture of COS-priced Heston puts
// when its diffusion is too narrow for one expansion, and variance gamma as
// the Black-Scholes put integrated over the gamma clock.
#include "european/plan.hpp"

#include "common/constants.hpp"
#include "common/interrupt.hpp"
#include "common/memory.hpp"

#include <algorithm>
#include <cmath>

namespace orvelta::european {

// Number of Poisson terms whose tail weight, times the largest put, stays
// below a tenth of the tolerance; 0 when the series is too long.
std::size_t poisson_terms(double lt, double K_ref, double tol) {
    if (!(lt > 0.0)) return 1;
    const double log_lt = std::log(lt);
    for (std::size_t n = 0; n < kSeriesMaxTerms; ++n) {
        const double nd = static_cast<double>(n);
        // Tail after term n: w_(n+1) / (1 - lt / (n + 2)) once n + 2 > 2 lt.
        if (nd + 2.0 > 2.0 * lt) {
            const double log_next = -lt + (nd + 1.0) * log_lt - std::lgamma(nd + 2.0);
            if (std::exp(log_next) / (1.0 - lt / (nd + 2.0)) * K_ref < 0.1 * tol) return n + 1;
        }
    }
    return 0;
}

// Bates: a single COS expansion when it converges within kBatesDirectTerms,
// otherwise the Poisson mixture over the number of jumps n of Heston prices
// with the jumps' normal shift N(n mu_J - lambda kappa_J tau, n delta_J^2).
void plan_bates(const Model& m, Plan& p, double tol) {
    plan_cos(m, p, tol, kBatesDirectTerms);
    if (p.route == Route::Cos) return;
    const double lt = m.lambda * p.tau;
    const std::size_t n_terms = poisson_terms(lt, kStrikeScale * p.F * p.D, tol);
    if (n_terms == 0) {
        plan_cos(m, p, tol);
        return;
    }
    p.route = Route::JumpSeries;
    constexpr double kCheckStep = 64.0 * 1024.0 * 1024.0;
    double checked = 0.0, bytes = 0.0;
    p.parts.assign(n_terms, Plan{});
    p.w.assign(n_terms, 0.0);
    p.terms = 0;
    for (std::size_t n = 0; n < n_terms; ++n) {
        const double nd = static_cast<double>(n);
        p.w[n] = lt > 0.0 ? std::exp(-lt + nd * std::log(lt) - std::lgamma(nd + 1.0)) : 1.0;
        Model c = m;
        c.kind = Kind::Heston;
        c.gauss_mean = nd * m.mu_j - lt * m.kappa_j;
        c.gauss_var = 2.0 * nd * m.half_dd;
        Plan& part = p.parts[n];
        part.tau = p.tau;
        part.F = p.F;
        part.D = p.D;
        plan_cos(c, part, tol);
        if (part.route != Route::Cos) {
            p.route = Route::Failed;
            return;
        }
        p.terms += part.terms;
        // A long series of wide expansions can reach gigabytes: compared
        // with the machine's memory as it grows (MemoryError with the size).
        bytes += plan_bytes(part) + sizeof(Plan);
        if (bytes >= checked + kCheckStep) {
            require_memory("european_price", bytes);
            checked = bytes;
        }
    }
    // Report the widest range of the parts.
    p.a = p.parts.back().a;
    p.b = p.parts.back().b;
    for (const Plan& part : p.parts) {
        p.a = std::min(p.a, part.a);
        p.b = std::max(p.b, part.b);
    }
}

// Merton: Poisson mixture of lognormal puts; the number of terms is fixed
// by the tail of the Poisson weights.
void plan_merton(const Model& m, Plan& p, double tol) {
    const double lt = m.lambda * p.tau;
    if (lt > 1000.0) {
        plan_cos(m, p, tol);
        return;
    }
    const std::size_t n_terms = poisson_terms(lt, kStrikeScale * p.F * p.D, tol);
    if (n_terms == 0) {
        p.route = Route::Failed;
        return;
    }
    p.route = Route::PoissonSeries;
    p.terms = n_terms;
    p.var = m.sigma * m.sigma * p.tau;
}

double merton_put(const Model& m, const Plan& p, double K) {
    const double lt = m.lambda * p.tau;
    const double dd = 2.0 * m.half_dd;
    const double base = std::log(p.F) - lt * m.kappa_j;
    const double jump_drift = m.mu_j + m.half_dd;
    if (!(lt > 0.0)) return black_put(p.F, K, std::sqrt(p.var), p.D);
    const double log_lt = std::log(lt);
    double sum = 0.0;
    for (std::size_t n = 0; n < p.terms; ++n) {
        const double nd = static_cast<double>(n);
        const double w = std::exp(-lt + nd * log_lt - std::lgamma(nd + 1.0));
        if (w == 0.0) continue;
        const double Fn = std::exp(base + nd * jump_drift);
        sum += w * black_put(Fn, K, std::sqrt(p.var + nd * dd), p.D);
    }
    return sum;
}

double gamma_clock_put(const Plan& p, double K) {
    const double h0 = p.D * std::max(K - p.F0, 0.0);
    double sum = 0.0;
    for (std::size_t i = 0; i < p.terms; ++i) {
        sum += p.w[i] * (black_put(p.Fg[i], K, p.sd[i], p.D) - h0);
    }
    return h0 + sum;
}

// Variance gamma over the gamma clock G ~ Gamma(tau / nu, nu): given G = g the
// log price is normal, so the put is a Black put averaged over g. In t = ln g
// the integrand is smooth with fast tails once the value at g = 0 (the
// intrinsic value on the forward F0) is taken out; the trapezoid rule on t
// then converges geometrically.
void plan_gamma_clock(const Model& m, Plan& p, double tol) {
    const double a = p.tau / m.nu;
    const double K_ref = kStrikeScale * p.F * p.D;
    const double budget = 0.01 * tol;
    const double sigma = std::fabs(m.sigma);
    p.F0 = p.F * std::exp(m.omega * p.tau);
    // Lower cut: |put(g) - put(0)| <= F (sigma sqrt(g) + (|theta| + sigma^2) g) there.
    const double scale = p.F * std::max(1.0, std::exp(m.omega * p.tau));
    double g_lo = m.nu * 1e-3;
    if (sigma > 0.0) g_lo = std::min(g_lo, std::pow(budget / (scale * sigma), 2.0));
    const double drift = std::fabs(m.theta) + sigma * sigma;
    if (drift > 0.0) g_lo = std::min(g_lo, budget / (scale * drift));
    // Upper cut: gamma tail times the largest put.
    const double log_target = std::log(budget / K_ref);
    const double lg = std::lgamma(a);
    double x = a + 10.0;
    for (int i = 0; i < 100000 && (a - 1.0) * std::log(x) - x - lg > log_target; ++i) x += 2.0;
    const double t_lo = std::log(g_lo);
    const double t_hi = std::log(m.nu * x);
    const double log_norm = -a * std::log(m.nu) - lg;
    const double hv = 0.5 * m.sigma * m.sigma;
    p.route = Route::GammaClock;
    // The step is halved until the rule agrees with the previous one to a
    // quarter of the tolerance at probe strikes: five spanning the covered
    // range, and strikes whose conditional forward F0 e^((theta + sigma^2/2) g)
    // crosses them inside the clock's range. With a small sigma the put given
    // g has a near-kink there, which the rule must resolve; the probes sit at
    // golden-ratio offsets so that they do not all land on nodes.
    // Kink probes, where the kink is narrower in ln g than the first step at
    // the top of the clock (sigma / (|theta + sigma^2/2| sqrt(g))): 16 clock
    // values spread evenly up to the upper cut and 8 evenly in ln g over its
    // last eight e-folds.
    constexpr int kFixedProbes = 5;
    constexpr int kKinkProbes = 24;
    double refs[kFixedProbes + kKinkProbes] = {1.0 / kStrikeScale, 0.5, 1.0, 2.0, kStrikeScale};
    int probes = kFixedProbes;
    const double drift_g = m.theta + hv;
    const double g_hi = m.nu * x;
    if (kGammaStep * std::fabs(drift_g) * std::sqrt(g_hi) > sigma) {
        for (int j = 0; j < kKinkProbes; ++j) {
            const double offset = std::fmod(0.6180339887498949 * (j + 1), 1.0);
            const double g =
                j < 16 ? g_hi * (j + offset) / 16.0 : g_hi * std::exp(-8.0 + (j - 16 + offset));
            const double ratio = p.F0 / p.F * std::exp(drift_g * g);
            if (ratio > 1.0 / kStrikeScale && ratio < kStrikeScale) refs[probes++] = ratio;
        }
    }
    double prev[kFixedProbes + kKinkProbes] = {};
    double step = kGammaStep;
    for (int level = 0; level <= kGammaHalvings; ++level, step *= 0.5) {
        const auto nodes = static_cast<std::size_t>(std::ceil((t_hi - t_lo) / step)) + 1;
        p.w.resize(nodes);
        p.Fg.resize(nodes);
        p.sd.resize(nodes);
        p.g.resize(nodes);
        for (std::size_t i = 0; i < nodes; ++i) {
            const double t = t_lo + static_cast<double>(i) * step;
            const double g = std::exp(t);
            p.w[i] = step * std::exp(a * t - g / m.nu + log_norm);
            p.Fg[i] = p.F0 * std::exp((m.theta + hv) * g);
            p.sd[i] = sigma * std::sqrt(g);
            p.g[i] = g;
        }
        p.terms = nodes;
        bool agree = level > 0;
        for (int j = 0; j < probes; ++j) {
            const double cur = gamma_clock_put(p, refs[j] * p.F);
            if (!(std::fabs(cur - prev[j]) <= 0.25 * tol)) agree = false;
            prev[j] = cur;
        }
        if (agree) return;
    }
    p.route = Route::Failed;
}

}  // namespace orvelta::european
