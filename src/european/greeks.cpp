// Sensitivities of European prices: delta, gamma, theta, rho and the
// derivatives in the model's volatility parameters.
//
// Every route is differentiated analytically on settings chosen for the
// sensitivities, never by bumping prices:
//
// * The market Greeks follow from the put's strike derivatives, because a
//   price is homogeneous of degree one in (s, K): delta = (P - K dP/dK) / s
//   and gamma = K^2 d2P/dK2 / s^2. rho = tau (s delta - P) and theta =
//   r P - (r - q) s delta - T hold for any European payoff, T being the
//   derivative in tau at a fixed forward and discount factor (the model's
//   clock). Calls follow from puts by parity.
// * COS: with the range [a, b] and the terms held fixed, the derivative of
//   the expansion is the expansion with derivative coefficients. dP/dK and
//   d2P/dK2 are the distribution function and the density of the log return
//   as cosine series; T and the volatility sensitivities use coefficients
//   from phi(u) dpsi/dtau and phi(u) dpsi/dp, the exponent differentiated in
//   closed form (the Heston terms from their Riccati equations: dA/dtau =
//   kappa theta B, dB/dtau = sigma_v^2 B^2 / 2 - beta B - (u^2 + i u) / 2).
// * Closed form, Poisson series (Merton) and gamma clock (variance gamma):
//   each term's Black-Scholes sensitivities, the weights differentiated too.
//
// Settings: the COS range is the price's at a hundredth of the tolerance,
// and terms are added a block at a time until the bound on the rest of every
// derivative series (density, distribution function, and the price-like
// series of the clock and the parameters) is below a tenth of the tolerance;
// the gamma clock halves its step until its rule agrees with the rule of
// twice the step at probe strikes; the Poisson series take the terms their
// weights' derivatives need. Where that fails, the sensitivities are NaN.
#include <algorithm>
#include <cmath>
#include <complex>
#include <vector>

#include "common/black_scholes.hpp"
#include "common/constants.hpp"
#include "common/interrupt.hpp"
#include "common/parallel.hpp"
#include "common/threads.hpp"
#include "european/european.hpp"
#include "european/plan.hpp"

namespace orvelta::european {

namespace {

// The settings of the sensitivities are those of the price at this fraction
// of the tolerance, then checked and refined.
constexpr double kGreekPlanTol = 1e-2;
constexpr int kGammaClockRefinements = 3;

// ---------------------------------------------------------------- exponent derivatives

// exp(z) - 1 without cancellation for small |z|.
cplx expm1c(cplx z) noexcept {
    const double x = z.real(), y = z.imag();
    const double s = std::sin(0.5 * y);
    return {std::expm1(x) * std::cos(y) - 2.0 * s * s, std::exp(x) * std::sin(y)};
}

// log(1 + z) without cancellation for small |z|.
cplx log1pc(cplx z) noexcept {
    const double x = z.real(), y = z.imag();
    return {0.5 * std::log1p(x * (2.0 + x) + y * y), std::atan2(y, 1.0 + x)};
}

// psi(u) = ln E[exp(i u Z)] with its derivatives in tau (at a fixed forward)
// and in the model's volatility parameters.
struct ExponentDerivatives {
    cplx psi, dtau, dp[2];
};

// Derivatives of the integrated variance of a deterministic Heston variance.
struct VarianceDerivatives {
    double var, dtau, dv0, dtheta;
};

VarianceDerivatives deterministic_variance_derivatives(const Model& m, double tau) noexcept {
    const double kt = m.kappa * tau;
    const double decay = kt < 1e-8 ? tau * (1.0 - 0.5 * kt) : -std::expm1(-kt) / m.kappa;
    return {integrated_variance(m, tau), m.theta_v + (m.v0 - m.theta_v) * std::exp(-kt), decay,
            tau - decay};
}

// The Heston part: psi = A + B v0 with A = (kappa theta / sigma_v^2)((beta - d) tau
// - 2 ln((1 - g E) / (1 - g))), formed as the pricing loop forms it.
void heston_derivatives(const Model& m, double tau, double u, ExponentDerivatives& e) noexcept {
    const cplx c(-0.5 * u * u, -0.5 * u);  // -(u^2 + i u) / 2
    if (deterministic_variance(m)) {
        const VarianceDerivatives v = deterministic_variance_derivatives(m, tau);
        e.psi = v.var * c;
        e.dtau = v.dtau * c;
        e.dp[0] = v.dv0 * c;
        e.dp[1] = v.dtheta * c;
        return;
    }
    const double ss = m.ss;
    const double ss_free = ss * (1.0 - m.rho * m.rho);
    const cplx beta(m.kappa, -m.rs * u);
    const cplx d =
        std::sqrt(cplx(m.kappa * m.kappa + ss_free * u * u, (ss - 2.0 * m.kappa * m.rs) * u));
    const cplx bpd = beta + d;
    const cplx bmd = cplx(-ss * u * u, -ss * u) / bpd;  // (beta^2 - d^2) / (beta + d)
    const cplx g = bmd / bpd;
    const cplx one_minus_e = -expm1c(-d * tau);
    const cplx one_minus_g = 1.0 - g;
    const cplx delta = g * one_minus_e / one_minus_g;
    const cplx log_ratio = log1pc(delta);  // ln((1 - g E) / (1 - g))
    const cplx B = 2.0 * c * one_minus_e / (bpd * one_minus_g * (1.0 + delta));
    const cplx a_per_theta = (m.kappa / ss) * (bmd * tau - 2.0 * log_ratio);
    e.psi = m.theta_v * a_per_theta + m.v0 * B;
    e.dp[0] = B;
    e.dp[1] = a_per_theta;
    const cplx b_tau = 0.5 * ss * B * B - beta * B + c;
    e.dtau = m.kappa * m.theta_v * B + m.v0 * b_tau;
}

// lambda (E[e^(i u Y)] - 1) - i u lambda kappa_J: the jumps' exponent per year.
cplx jump_rate(const Model& m, double u) noexcept {
    const double amp = std::exp(-m.half_dd * u * u);
    return {m.lambda * (amp * std::cos(m.mu_j * u) - 1.0),
            m.lambda * (amp * std::sin(m.mu_j * u) - m.kappa_j * u)};
}

// gauss_mean_tau: the derivative in tau of the Heston part's normal shift
// (the jump series' parts shift by n mu_J - lambda kappa_J tau).
ExponentDerivatives exponent_derivatives(const Model& m, double tau, double u,
                                         double gauss_mean_tau) noexcept {
    ExponentDerivatives e{};
    const cplx c(-0.5 * u * u, -0.5 * u);
    switch (m.kind) {
        case Kind::Lognormal:
        case Kind::Merton: {
            const double ss = m.sigma * m.sigma;
            e.psi = ss * tau * c;
            e.dtau = ss * c;
            e.dp[0] = 2.0 * m.sigma * tau * c;
            if (m.kind == Kind::Merton) {
                const cplx j = jump_rate(m, u);
                e.psi += tau * j;
                e.dtau += j;
            }
            break;
        }
        case Kind::VarianceGamma: {
            const double hv = 0.5 * m.sigma * m.sigma * m.nu;
            const double x = hv * u * u;
            const cplx base(1.0 + x, -m.theta * m.nu * u);
            const cplx log_base = log1pc(cplx(x, base.imag()));
            const double A = 1.0 - m.theta * m.nu - hv;
            e.psi = -(tau / m.nu) * log_base + cplx(0.0, m.omega * tau * u);
            e.dtau = -log_base / m.nu + cplx(0.0, m.omega * u);
            e.dp[0] = -(tau * m.sigma * u * u) / base + cplx(0.0, -tau * m.sigma / A * u);
            break;
        }
        case Kind::Heston:
            heston_derivatives(m, tau, u, e);
            e.psi += cplx(-0.5 * m.gauss_var * u * u, m.gauss_mean * u);
            e.dtau += cplx(0.0, gauss_mean_tau * u);
            break;
        case Kind::Bates: {
            heston_derivatives(m, tau, u, e);
            const cplx j = jump_rate(m, u);
            e.psi += tau * j;
            e.dtau += j;
            break;
        }
    }
    return e;
}

// ---------------------------------------------------------------- what a route gives

// A put's strike derivatives and its derivatives in the model's clock and
// volatility parameters, at a fixed forward and discount factor.
struct PutParts {
    double put = 0.0, dk = 0.0, dkk = 0.0, dtau = 0.0, dp[2] = {0.0, 0.0};
};

// Bounds that the sensitivities' truncation errors must meet.
struct Targets {
    double price;  // a price-like series (put, T, dP/dp)
    double dk;     // dP/dK
    double dkk;    // d2P/dK2
};

Targets targets(double tol, double s, double r, double q, double tau, double F) noexcept {
    const double t = 0.1 * tol;
    // delta = (P - K dP/dK) / s with K up to kStrikeScale F, and delta enters
    // theta times (r - q) s and rho times tau s.
    const double delta_weight = std::max({1.0, std::fabs(r - q) * s, tau * s});
    const double dk = t * s / (kStrikeScale * F * delta_weight);
    // gamma = K^2 d2P/dK2 / s^2
    const double dkk = t * s * s / (kStrikeScale * kStrikeScale * F * F);
    return {t, dk, dkk};
}

// COS for the sensitivities: the coefficients A_j of the density of Z on
// [a, b] and those of its derivatives in tau and the volatility parameters,
// A_0's halved, with the frequencies u_j and 1 / (1 + u_j^2).
struct CosGreeks {
    double a = 0.0, b = 0.0, F = 0.0, D = 1.0;
    std::size_t terms = 0;
    std::vector<double> u, i1, A, at, ap[2];
};

constexpr std::size_t kBlock = 32;

// Terms are added a block at a time until the bound on what the remaining
// terms add to every series is below its target: each block's sums of |A_j|
// (density), |A_j| / u_j (distribution) and |A^x_j| / (1 + u_j^2) (the
// price-like series), relative to their targets, decay like a power of j or
// faster; the tail after a block is estimated from the slower of the last two
// decays as a power law (which also bounds a geometric decay). False when the
// series do not converge within kCosMaxTerms or a coefficient is not finite.
bool build_cos_greeks(const Model& m, double tau, double a, double b, int nvol,
                      double gauss_mean_tau, const Targets& t, CosGreeks& c) {
    c.a = a;
    c.b = b;
    const double width = b - a;
    const double scale = 2.0 / width;
    const double cv = c.D * c.F * (2.0 * kStrikeScale + std::exp(a));
    double prev = kInf, prev_ratio = 1.0;
    int passes = 0;
    for (std::size_t start = 0; start < kCosMaxTerms; start += kBlock) {
        if (cancel_requested()) return false;  // Ctrl-C: the call is abandoned
        const std::size_t end = start + kBlock;
        c.u.resize(end);
        c.i1.resize(end);
        c.A.resize(end);
        c.at.resize(end);
        for (int i = 0; i < nvol; ++i) c.ap[i].resize(end);
        double x = 0.0;
        for (std::size_t j = start; j < end; ++j) {
            const double u = static_cast<double>(j) * kPi / width;
            const ExponentDerivatives e = exponent_derivatives(m, tau, u, gauss_mean_tau);
            const double mod = std::exp(e.psi.real());
            const double ph = e.psi.imag() - u * a;
            const double half = j == 0 ? 0.5 : 1.0;
            const cplx z(half * scale * mod * std::cos(ph), half * scale * mod * std::sin(ph));
            c.u[j] = u;
            c.i1[j] = 1.0 / (1.0 + u * u);
            c.A[j] = z.real();
            c.at[j] = (z * e.dtau).real();
            double price_like = std::fabs(c.A[j]) + std::fabs(c.at[j]);
            for (int i = 0; i < nvol; ++i) {
                c.ap[i][j] = (z * e.dp[i]).real();
                price_like += std::fabs(c.ap[i][j]);
            }
            if (j == 0) continue;
            x = std::max({x, c.D * std::fabs(c.A[j]) * kStrikeScale / c.F / t.dkk,
                          c.D * std::fabs(c.A[j]) / u / t.dk, cv * price_like * c.i1[j] / t.price});
        }
        if (!std::isfinite(x)) return false;
        const double ratio = x / prev;
        const double slower = std::max(ratio, prev_ratio);
        prev = x;
        prev_ratio = ratio;
        if (start < 2 * kBlock) continue;
        // x bounds one term of the block relative to its target; a term
        // decaying like j^-p leaves about x j / (p - 1) after the block.
        const double jm = static_cast<double>(start) + 0.5 * kBlock;
        const double p = slower > 0.0 ? std::log(1.0 / slower) / std::log1p(kBlock / jm) : kInf;
        const bool small = x == 0.0 || (p > 1.5 && x * static_cast<double>(end) / (p - 1.0) < 1.0);
        passes = small ? passes + 1 : 0;
        if (passes == 2) {
            c.terms = end;
            return true;
        }
    }
    return false;
}

// The put's parts at strike K from the COS coefficients.
PutParts cos_parts(const CosGreeks& c, int nvol, double K) {
    PutParts out;
    const double k = std::log(K / c.F);
    if (!(k > c.a)) return out;
    const bool inside = k < c.b;
    const double dd = inside ? k : c.b;
    const double ek = K / c.F;
    const double ed = inside ? ek : std::exp(dd);
    const double ea = std::exp(c.a);
    const double v0 = ek * (dd - c.a) - (ed - ea);
    double put = c.A[0] * v0, cdf = c.A[0] * (dd - c.a), dens = inside ? c.A[0] : 0.0;
    double t = c.at[0] * v0, par[2] = {0.0, 0.0};
    for (int i = 0; i < nvol; ++i) par[i] = c.ap[i][0] * v0;
    const double step = kPi * (dd - c.a) / (c.b - c.a);
    double s1, c1;
    ::sincos(step, &s1, &c1);
    for (std::size_t block = 1; block < c.terms; block += 64) {
        const std::size_t end = std::min(block + 64, c.terms);
        double sn, cs;
        ::sincos(static_cast<double>(block) * step, &sn, &cs);
        for (std::size_t j = block; j < end; ++j) {
            const double u = c.u[j];
            const double vj = ek * sn / u - (ed * (cs + u * sn) - ea) * c.i1[j];
            put += c.A[j] * vj;
            cdf += c.A[j] * sn / u;
            if (inside) dens += c.A[j] * cs;
            t += c.at[j] * vj;
            for (int i = 0; i < nvol; ++i) par[i] += c.ap[i][j] * vj;
            const double next = cs * c1 - sn * s1;
            sn = sn * c1 + cs * s1;
            cs = next;
        }
    }
    const double df = c.D * c.F;
    out.put = df * put;
    out.dk = c.D * cdf;
    out.dkk = c.D * dens / K;
    out.dtau = df * t;
    for (int i = 0; i < nvol; ++i) out.dp[i] = df * par[i];
    return out;
}

// Lognormal put with total variance var and its derivatives dvar[] in
// (tau, parameters): returns the parts.
PutParts black_parts(double F, double K, double D, double var, double dvar_tau,
                     const double* dvar_p, int nvol) {
    PutParts out;
    const double v = std::sqrt(var);
    if (!(v > 0.0)) {
        out.put = D * std::max(K - F, 0.0);
        const double nan = kNaN;
        out.dk = K > F ? D : (K < F ? 0.0 : nan);
        const double flat = K == F ? nan : 0.0;
        out.dkk = flat;
        out.dtau = flat;
        for (int i = 0; i < nvol; ++i) out.dp[i] = flat;
        return out;
    }
    const double d1 = std::log(F / K) / v + 0.5 * v;
    const double d2 = d1 - v;
    out.put = D * (K * norm_cdf(-d2) - F * norm_cdf(-d1));
    out.dk = D * norm_cdf(-d2);
    out.dkk = D * norm_pdf(d2) / (K * v);
    const double per_var = D * F * norm_pdf(d1) / (2.0 * v);  // dP/dvar
    out.dtau = per_var * dvar_tau;
    for (int i = 0; i < nvol; ++i) out.dp[i] = per_var * dvar_p[i];
    return out;
}

// Digamma function for x > 0: the recurrence up to 10, then the asymptotic series.
double digamma(double x) noexcept {
    double acc = 0.0;
    while (x < 10.0) {
        acc -= 1.0 / x;
        x += 1.0;
    }
    const double i2 = 1.0 / (x * x);
    const double series =
        i2 * (1.0 / 12 - i2 * (1.0 / 120 - i2 * (1.0 / 252 - i2 * (1.0 / 240 - i2 * (1.0 / 132)))));
    return acc + std::log(x) - 0.5 / x - series;
}

// ---------------------------------------------------------------- the plan of the sensitivities

struct GreekPlan {
    Plan plan;
    bool ok = false;
    int nvol = 1;
    // COS, and the parts of the jump series.
    CosGreeks cos;
    std::vector<CosGreeks> parts;
    // Poisson series: terms; lognormal-type routes: the variance's derivatives.
    std::size_t series_terms = 0;
    double var_tau = 0.0, var_p[2] = {0.0, 0.0};
    // Gamma clock: the derivative of the weights in tau per node.
    std::vector<double> w_tau;
};

// Derivatives of a lognormal-type route's variance (the diffusion's, or the
// integrated deterministic Heston variance) in tau and the parameters.
void variance_derivatives(const Model& m, double tau, GreekPlan& gp) {
    if (m.kind == Kind::Heston || m.kind == Kind::Bates) {
        const VarianceDerivatives v = deterministic_variance_derivatives(m, tau);
        gp.var_tau = v.dtau;
        gp.var_p[0] = v.dv0;
        gp.var_p[1] = v.dtheta;
    } else {
        gp.var_tau = m.sigma * m.sigma;
        gp.var_p[0] = 2.0 * m.sigma * tau;
    }
}

PutParts merton_parts(const Model& m, const GreekPlan& gp, double K) {
    const Plan& p = gp.plan;
    const double lt = m.lambda * p.tau;
    const double dd = 2.0 * m.half_dd;
    const double base = std::log(p.F) - lt * m.kappa_j;
    const double jump_drift = m.mu_j + m.half_dd;
    PutParts out;
    if (!(lt > 0.0)) return black_parts(p.F, K, p.D, p.var, gp.var_tau, gp.var_p, gp.nvol);
    const double log_lt = std::log(lt);
    for (std::size_t n = 0; n < gp.series_terms; ++n) {
        const double nd = static_cast<double>(n);
        const double w = std::exp(-lt + nd * log_lt - std::lgamma(nd + 1.0));
        if (w == 0.0) continue;
        const double Fn = std::exp(base + nd * jump_drift);
        const PutParts b = black_parts(Fn, K, p.D, p.var + nd * dd, gp.var_tau, gp.var_p, gp.nvol);
        const double v = std::sqrt(p.var + nd * dd);
        // dP_n/dF_n, for the forward's drift -lambda kappa_J per year
        const double dfn =
            v > 0.0 ? -p.D * norm_cdf(-(std::log(Fn / K) / v + 0.5 * v)) : (K > Fn ? -p.D : 0.0);
        out.put += w * b.put;
        out.dk += w * b.dk;
        out.dkk += w * b.dkk;
        out.dtau +=
            w * ((nd / p.tau - m.lambda) * b.put + b.dtau - dfn * Fn * m.lambda * m.kappa_j);
        for (int i = 0; i < gp.nvol; ++i) out.dp[i] += w * b.dp[i];
    }
    return out;
}

// Variance gamma over the gamma clock: P = h0 (1 - sum w) + sum w_i b_i with
// b_i the Black put given the clock at node i and h0 the value at g = 0.
PutParts gamma_clock_parts(const Model& m, const GreekPlan& gp, double K, std::size_t stride = 1) {
    const Plan& p = gp.plan;
    PutParts out;
    const double D = p.D;
    const double A = 1.0 - m.theta * m.nu - 0.5 * m.sigma * m.sigma * m.nu;
    const double omega_sigma = -m.sigma / A;  // d omega / d sigma
    const double h0 = D * std::max(K - p.F0, 0.0);
    const double h0_slope = K > p.F0 ? D : 0.0;  // dh0/dK = -dh0/dF0
    double w_sum = 0.0, w_tau_sum = 0.0;
    const double scale = static_cast<double>(stride);
    for (std::size_t i = 0; i < p.terms; i += stride) {
        const double w = scale * p.w[i];
        const double w_tau = scale * gp.w_tau[i];
        const double Fg = p.Fg[i];
        const double sd = p.sd[i];
        double b, bk, bkk, bf, bv;
        if (sd > 0.0) {
            const double d1 = std::log(Fg / K) / sd + 0.5 * sd;
            const double d2 = d1 - sd;
            b = D * (K * norm_cdf(-d2) - Fg * norm_cdf(-d1));
            bk = D * norm_cdf(-d2);
            bkk = D * norm_pdf(d2) / (K * sd);
            bf = -D * norm_cdf(-d1);
            bv = D * Fg * norm_pdf(d1);
        } else {
            b = D * std::max(K - Fg, 0.0);
            bk = K > Fg ? D : 0.0;
            bkk = 0.0;
            bf = -bk;
            bv = 0.0;
        }
        w_sum += w;
        w_tau_sum += w_tau;
        out.put += w * b;
        out.dk += w * bk;
        out.dkk += w * bkk;
        // tau moves the weights and, through omega tau, every forward
        out.dtau += w_tau * b + w * bf * Fg * m.omega;
        // sigma moves omega, the clock's drift theta + sigma^2 / 2 and sd
        out.dp[0] +=
            w * (bf * Fg * (p.tau * omega_sigma + m.sigma * p.g[i]) + bv * std::sqrt(p.g[i]));
    }
    out.put += h0 * (1.0 - w_sum);
    out.dk += h0_slope * (1.0 - w_sum);
    out.dtau += -h0 * w_tau_sum - h0_slope * p.F0 * m.omega * (1.0 - w_sum);
    out.dp[0] += -h0_slope * p.F0 * p.tau * omega_sigma * (1.0 - w_sum);
    return out;
}

bool gamma_clock_converged(const Model& m, const GreekPlan& gp, const Targets& t) {
    static constexpr double kProbes[] = {1.0 / kStrikeScale, 0.5, 0.8, 0.95, 1.05, 1.25, 2.0,
                                         kStrikeScale};
    for (const double ratio : kProbes) {
        const double K = ratio * gp.plan.F;
        const PutParts fine = gamma_clock_parts(m, gp, K);
        const PutParts coarse = gamma_clock_parts(m, gp, K, 2);
        if (!(std::fabs(fine.dk - coarse.dk) <= t.dk && std::fabs(fine.dkk - coarse.dkk) <= t.dkk &&
              std::fabs(fine.dtau - coarse.dtau) <= t.price &&
              std::fabs(fine.dp[0] - coarse.dp[0]) <= t.price)) {
            return false;
        }
    }
    return true;
}

void gamma_clock_weight_derivatives(const Model& m, GreekPlan& gp) {
    const Plan& p = gp.plan;
    const double a = p.tau / m.nu;
    const double shift = std::log(m.nu) + digamma(a);
    gp.w_tau.resize(p.terms);
    for (std::size_t i = 0; i < p.terms; ++i)
        gp.w_tau[i] = p.w[i] * (std::log(p.g[i]) - shift) / m.nu;
}

// The sensitivities' settings for a maturity whose price goes by `route`.
GreekPlan greek_plan(const Model& m, Route route, double tau, double s, double r, double q,
                     double tol) {
    GreekPlan gp;
    gp.nvol = volatility_parameters(m.kind);
    const double F = s * std::exp((r - q) * tau);
    const double D = std::exp(-r * tau);
    const Targets t = targets(tol, s, r, q, tau, F);
    const double plan_tol = kGreekPlanTol * tol;
    Plan& p = gp.plan;
    p.route = route;
    p.tau = tau;
    p.F = F;
    p.D = D;
    switch (route) {
        case Route::ClosedForm:
            p = make_plan(m, tau, s, r, q, plan_tol);
            variance_derivatives(m, tau, gp);
            gp.ok = p.route == Route::ClosedForm;
            return gp;
        case Route::PoissonSeries: {
            p = make_plan(m, tau, s, r, q, plan_tol);
            if (p.route != Route::PoissonSeries) return gp;
            variance_derivatives(m, tau, gp);
            // The tail weights are multiplied by n / tau + lambda in T.
            const double K_ref = kStrikeScale * F * D;
            gp.series_terms = poisson_terms(
                m.lambda * tau,
                K_ref * (2.0 * static_cast<double>(p.terms + 2) / tau + m.lambda + 1.0), plan_tol);
            gp.ok = gp.series_terms > 0;
            return gp;
        }
        case Route::GammaClock: {
            double clock_tol = plan_tol;
            for (int attempt = 0; attempt <= kGammaClockRefinements; ++attempt, clock_tol *= 1e-2) {
                p = make_plan(m, tau, s, r, q, clock_tol);
                if (p.route != Route::GammaClock) return gp;
                gamma_clock_weight_derivatives(m, gp);
                if (gamma_clock_converged(m, gp, t)) {
                    gp.ok = true;
                    return gp;
                }
            }
            return gp;
        }
        case Route::Cos: {
            double a, b;
            gp.cos.F = F;
            gp.cos.D = D;
            gp.ok = cos_range(m, tau, kStrikeScale * F * D, plan_tol, a, b) &&
                    build_cos_greeks(m, tau, a, b, gp.nvol, 0.0, t, gp.cos);
            return gp;
        }
        case Route::JumpSeries: {
            // The jump series' weights differentiated in tau grow by n / tau.
            const double series_tol = plan_tol * std::min(1.0, tau) / (1.0 + m.lambda * tau);
            p = make_plan(m, tau, s, r, q, series_tol);
            if (p.route != Route::JumpSeries) return gp;
            gp.parts.resize(p.parts.size());
            gp.ok = true;
            for (std::size_t n = 0; n < p.parts.size() && gp.ok; ++n) {
                Model c = m;
                c.kind = Kind::Heston;
                c.gauss_mean = static_cast<double>(n) * m.mu_j - m.lambda * tau * m.kappa_j;
                c.gauss_var = 2.0 * static_cast<double>(n) * m.half_dd;
                CosGreeks& part = gp.parts[n];
                part.F = F;
                part.D = D;
                gp.ok = build_cos_greeks(c, tau, p.parts[n].a, p.parts[n].b, gp.nvol,
                                         -m.lambda * m.kappa_j, t, part);
            }
            return gp;
        }
        default: return gp;
    }
}

PutParts put_parts(const Model& m, const GreekPlan& gp, double K) {
    const Plan& p = gp.plan;
    switch (p.route) {
        case Route::ClosedForm:
            return black_parts(p.F, K, p.D, p.var, gp.var_tau, gp.var_p, gp.nvol);
        case Route::PoissonSeries: return merton_parts(m, gp, K);
        case Route::GammaClock: return gamma_clock_parts(m, gp, K);
        case Route::Cos: return cos_parts(gp.cos, gp.nvol, K);
        case Route::JumpSeries: {
            PutParts out;
            for (std::size_t n = 0; n < p.parts.size(); ++n) {
                const PutParts part = cos_parts(gp.parts[n], gp.nvol, K);
                const double w = p.w[n];
                const double w_tau = w * (static_cast<double>(n) / p.tau - m.lambda);
                out.put += w * part.put;
                out.dk += w * part.dk;
                out.dkk += w * part.dkk;
                out.dtau += w_tau * part.put + w * part.dtau;
                for (int i = 0; i < gp.nvol; ++i) out.dp[i] += w * part.dp[i];
            }
            return out;
        }
        default: {
            PutParts nan;
            nan.put = nan.dk = nan.dkk = nan.dtau = nan.dp[0] = nan.dp[1] = kNaN;
            return nan;
        }
    }
}

void write_nan(const GreekArrays& out, std::size_t i, int nvol) {
    out.delta[i] = out.gamma[i] = out.theta[i] = out.rho[i] = kNaN;
    for (int v = 0; v < nvol; ++v) out.vega[v][i] = kNaN;
}

void greeks_group(const Batch& batch, std::size_t g, const GreekArrays& out) {
    const Model& m = batch.model(0, g);
    const int nvol = volatility_parameters(m.kind);
    const std::size_t first = batch.order[batch.group_start[g]];
    const double tau = batch.tau[first], s = batch.s[first], r = batch.r[first], q = batch.q[first];
    const Plan price_plan = group_plan(batch, g, 0, batch.tol);
    const std::size_t lo = batch.group_start[g], hi = batch.group_start[g + 1];
    for (std::size_t i = lo; i < hi; ++i) {
        const std::size_t opt = batch.order[i];
        const double type = batch.option_type[opt];
        out.price[opt] =
            std::isnan(type) ? kNaN : plan_price(m, price_plan, batch.strikes[opt], type > 0.0);
    }
    if (price_plan.route == Route::Failed) {
        for (std::size_t i = lo; i < hi; ++i) write_nan(out, batch.order[i], nvol);
        return;
    }
    if (price_plan.route == Route::Intrinsic) {
        // At expiry: the payoff's slope; no curvature, no sensitivity to the
        // model or the rate; theta is unbounded at the money and left NaN.
        for (std::size_t i = lo; i < hi; ++i) {
            const std::size_t opt = batch.order[i];
            const double K = batch.strikes[opt];
            const bool call = batch.option_type[opt] > 0;
            if (!(K > 0.0) || !std::isfinite(K) || std::isnan(batch.option_type[opt])) {
                write_nan(out, opt, nvol);
                continue;
            }
            const double at = s == K ? kNaN : 0.0;
            out.delta[opt] = s == K ? kNaN : (call ? (s > K ? 1.0 : 0.0) : (s < K ? -1.0 : 0.0));
            out.gamma[opt] = at;
            out.theta[opt] = kNaN;
            out.rho[opt] = 0.0;
            for (int v = 0; v < nvol; ++v) out.vega[v][opt] = at;
        }
        return;
    }
    const GreekPlan gp = greek_plan(m, price_plan.route, tau, s, r, q, batch.tol);
    const double dq = std::exp(-q * tau);
    for (std::size_t i = lo; i < hi; ++i) {
        const std::size_t opt = batch.order[i];
        const double K = batch.strikes[opt];
        if (!gp.ok || !(K > 0.0) || !std::isfinite(K) || std::isnan(batch.option_type[opt])) {
            write_nan(out, opt, nvol);
            continue;
        }
        const PutParts pp = put_parts(m, gp, K);
        double price = pp.put;
        double delta = (pp.put - K * pp.dk) / s;
        if (batch.option_type[opt] > 0) {
            price += s * dq - K * gp.plan.D;
            delta += dq;
        }
        out.delta[opt] = delta;
        out.gamma[opt] = K * K * pp.dkk / (s * s);
        out.theta[opt] = r * price - (r - q) * s * delta - pp.dtau;
        out.rho[opt] = tau * (s * delta - price);
        for (int v = 0; v < nvol; ++v) out.vega[v][opt] = pp.dp[v];
    }
}

}  // namespace

int volatility_parameters(Kind kind) noexcept {
    return kind == Kind::Heston || kind == Kind::Bates ? 2 : 1;
}

void run_greeks(const Batch& batch, std::size_t begin, std::size_t end, const GreekArrays& out) {
    const std::size_t groups = batch.group_start.size() - 1;
    if (groups == 0 || begin >= end) return;
    const std::size_t work = end - begin > 1 ? (end - begin) * batch.count / groups : 0;
    parallel_for(begin, end, 1, orvelta::run_parallel(work),
                 [&](std::size_t g) { greeks_group(batch, g, out); });
}

}  // namespace orvelta::european
