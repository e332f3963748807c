// European puts to a requested absolute accuracy, calls by parity.
//
// Error budget: every route keeps its own bound below a tenth of the
// tolerance for strikes up to kStrikeScale times the forward, with settings
// that depend on the model and maturity only, never on the strikes, so an
// option priced alone or inside any batch gets the same bits.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "common/black_scholes.hpp"
#include "common/interrupt.hpp"
#include "common/threads.hpp"
#include "european/european.hpp"
#include "european/plan.hpp"
#include "common/constants.hpp"
#include "common/dispatch.hpp"
#include "common/parallel.hpp"
#include "common/simd.hpp"

namespace orvelta::european {

namespace detail {

constexpr std::size_t kCosBlock = 32;
// Bates tries a single expansion up to this many terms before conditioning on
// the number of jumps (a small diffusion leaves an atom-like no-jump part).
constexpr std::size_t kBatesDirectTerms = 4096;
constexpr std::size_t kSeriesMaxTerms = 200000;
// Variance gamma clocks with shape tau / nu below this go to the gamma-clock
// integral: the characteristic function decays like |u|^(-2 tau / nu).
constexpr double kGammaClockShape = 4.0;
constexpr double kGammaStep = 0.4;
constexpr int kGammaHalvings = 8;

// Chernoff bound on one tail: P(sign Z > x) <= exp(psi(sign p) - p x) for
// every p > 0 with a finite moment, so x = min_p (psi(sign p) - ln eps) / p
// keeps the tail below eps. Coarse search over powers of two, then golden
// section in ln p around the best one. Returns sign * x, or NaN.
double tail_point(const Model& m, double tau, double log_eps, double sign) {
    auto h = [&](double lp) {
        const double p = std::exp(lp);
        const double v = (log_mgf(m, tau, sign * p) - log_eps) / p;
        return std::isnan(v) ? std::numeric_limits<double>::infinity() : v;
    };
    const double ln4 = std::log(4.0);
    double best = std::numeric_limits<double>::infinity();
    int best_k = 0;
    for (int k = -4; k <= 10; ++k) {
        const double v = h(k * ln4);
        if (v < best) {
            best = v;
            best_k = k;
        }
    }
    if (!std::isfinite(best)) return kNaN;
    double lo = (best_k - 1) * ln4, hi = (best_k + 1) * ln4;
    const double ratio = 0.6180339887498949;
    double x1 = hi - ratio * (hi - lo), x2 = lo + ratio * (hi - lo);
    double f1 = h(x1), f2 = h(x2);
    for (int it = 0; it < 10; ++it) {
        if (f1 < f2) {
            hi = x2;
            x2 = x1;
            f2 = f1;
            x1 = hi - ratio * (hi - lo);
            f1 = h(x1);
        } else {
            lo = x1;
            x1 = x2;
            f1 = f2;
            x2 = lo + ratio * (hi - lo);
            f2 = h(x2);
        }
    }
    best = std::min(best, std::min(f1, f2));
    return sign * best;
}

// COS coefficients scale |phi_j| cos(arg phi_j - u_j a) from the exponent
// psi_j = re_j + i im_j, a lane set at a time; returns the largest |phi_j|
// (NaN if any is NaN).
template <class D>
inline __attribute__((always_inline)) double cos_coefficients_lanes(
    std::size_t n, const double* re, const double* im, const double* u, double a, double scale,
    double* out) noexcept {
    constexpr std::size_t W = vm::lanes<D>;
    using L = vm::mask_of<D>;
    D largest = vm::splat<D>(0.0);
    L nan = vm::splat_l<D>(0);
    for (std::size_t j0 = 0; j0 < n; j0 += W) {
        const D r = vm::load<D>(re + j0, n - j0);
        const D ph = vm::load<D>(im + j0, n - j0) - vm::load<D>(u + j0, n - j0) * a;
        const D mod = vm::vexp(r);
        D sn, cs;
        vm::vsincos(ph, sn, cs);
        vm::store(out + j0, scale * mod * cs, n - j0);
        largest = vm::sel(mod > largest, mod, largest);
        nan = nan | (mod != mod);
    }
    if (vm::any(nan)) return std::numeric_limits<double>::quiet_NaN();
    double best = 0.0;
    for (std::size_t i = 0; i < W; ++i) best = std::max(best, largest[i]);
    return best;
}

double cos_coefficients_baseline(std::size_t n, const double* re, const double* im, const double* u,
                                 double a, double scale, double* out) noexcept {
    return cos_coefficients_lanes<vm::v4d>(n, re, im, u, a, scale, out);
}
ORVELTA_TARGET_AVX2 double cos_coefficients_avx2(std::size_t n, const double* re, const double* im,
                                                 const double* u, double a, double scale,
                                                 double* out) noexcept {
    return cos_coefficients_lanes<vm::v4d>(n, re, im, u, a, scale, out);
}
ORVELTA_TARGET_AVX512 double cos_coefficients_avx512(std::size_t n, const double* re, const double* im,
                                                     const double* u, double a, double scale,
                                                     double* out) noexcept {
    return cos_coefficients_lanes<vm::v8d>(n, re, im, u, a, scale, out);
}

using CoefficientsFn = double (*)(std::size_t, const double*, const double*, const double*, double,
                                  double, double*) noexcept;

double cos_coefficients(std::size_t n, const double* re, const double* im, const double* u,
                        double a, double scale, double* out) noexcept {
    return dispatch<CoefficientsFn>(cos_coefficients_avx512, cos_coefficients_avx2,
                                    cos_coefficients_baseline)(n, re, im, u, a, scale, out);
}

// Payoff factors 1 / (1 + u^2), 1 / (u (1 + u^2)) and the put sum's B_j and
// C_j for j in [1, n), a lane set at a time: element-wise IEEE operations, so
// every width gives the bits of the scalar loop.
template <class D>
inline __attribute__((always_inline)) void payoff_factors_lanes(std::size_t n, const double* u,
                                                                const double* A, double* i1,
                                                                double* iu, double* B,
                                                                double* C) noexcept {
    constexpr std::size_t W = vm::lanes<D>;
    for (std::size_t j = 1; j < n; j += W) {
        const std::size_t left = n - j;
        const D uj = vm::load<D>(u + j, left);
        const D aj = vm::load<D>(A + j, left);
        const D inv = 1.0 / (1.0 + uj * uj);
        const D inv_u = inv / uj;
        vm::store(i1 + j, inv, left);
        vm::store(iu + j, inv_u, left);
        vm::store(B + j, aj * inv_u, left);
        vm::store(C + j, aj * inv, left);
    }
}

void payoff_factors_baseline(std::size_t n, const double* u, const double* A, double* i1,
                             double* iu, double* B, double* C) noexcept {
    payoff_factors_lanes<vm::v4d>(n, u, A, i1, iu, B, C);
}
ORVELTA_TARGET_AVX2 void payoff_factors_avx2(std::size_t n, const double* u, const double* A,
                                             double* i1, double* iu, double* B, double* C) noexcept {
    payoff_factors_lanes<vm::v4d>(n, u, A, i1, iu, B, C);
}
ORVELTA_TARGET_AVX512 void payoff_factors_avx512(std::size_t n, const double* u, const double* A,
                                                 double* i1, double* iu, double* B,
                                                 double* C) noexcept {
    payoff_factors_lanes<vm::v8d>(n, u, A, i1, iu, B, C);
}

using PayoffFactorsFn = void (*)(std::size_t, const double*, const double*, double*, double*,
                                 double*, double*) noexcept;

// The strike-free factors of the put sum from the coefficients A_j.
void finish_cos(Plan& p) {
    p.A[0] *= 0.5;
    p.terms = p.A.size();
    p.inv_1pu2.assign(p.terms, 0.0);
    p.inv_u1pu2.assign(p.terms, 0.0);
    const std::size_t padded = (p.terms + 7) / 8 * 8;
    p.B.assign(padded, 0.0);
    p.C.assign(padded, 0.0);
    const std::size_t n = p.terms;
    dispatch<PayoffFactorsFn>(payoff_factors_avx512, payoff_factors_avx2, payoff_factors_baseline)(
        n, p.u.data(), p.A.data(), p.inv_1pu2.data(), p.inv_u1pu2.data(), p.B.data(), p.C.data());
    for (std::size_t j = 1; j < n; ++j) p.c_sum += p.C[j];
}

// Largest |phi(u_j)| over a block with the jump factor's cosine cos(mu_J u)
// raised to 1: exp(re_j + lambda tau e^(-delta^2 u^2 / 2) (1 - cos(mu_J u))),
// a bound on |phi| over each crest of the jump factor.
double jump_envelope_max(const Model& m, double tau, std::size_t n, const double* u,
                         const double* re) noexcept {
    const double lt = m.lambda * tau;
    double best = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        const double amp = std::exp(-m.half_dd * u[j] * u[j]);
        best = std::max(best, std::exp(re[j] + lt * amp * (1.0 - std::cos(m.mu_j * u[j]))));
    }
    return best;
}

bool cos_range(const Model& m, double tau, double K_ref, double tol, double& a, double& b) {
    // Mass outside [a, b] costs at most K times that mass (truncation and aliasing).
    const double log_eps = std::log(tol / (20.0 * K_ref));
    a = tail_point(m, tau, log_eps, -1.0);
    b = tail_point(m, tau, log_eps, 1.0);
    return std::isfinite(a) && std::isfinite(b) && b > a;
}

void plan_cos(const Model& m, Plan& p, double tol, std::size_t max_terms = kCosMaxTerms) {
    const double K_ref = kStrikeScale * p.F * p.D;
    if (!cos_range(m, p.tau, K_ref, tol, p.a, p.b)) {
        p.route = Route::Failed;
        return;
    }
    p.route = Route::Cos;
    const double width = p.b - p.a;
    // Term j of the put is at most 6 K |phi(u_j)| / ((b - a) (1 + u_j^2)). The
    // tail beyond a block is estimated from the block's largest |phi| and the
    // decay from the previous block (geometric while it lasts), or else
    // bounded as if |phi| stayed at that level.
    const double tail_factor = 6.0 * K_ref / width;
    // The jumps' factor |exp(lambda tau (e^(i mu u - delta^2 u^2 / 2) - 1))|
    // oscillates with mu u: its troughs can sit below the tolerance for blocks
    // on end while the next crest is far above it. The decay is judged on its
    // envelope instead.
    const bool jumps = (m.kind == Kind::Bates || m.kind == Kind::Merton) && m.lambda > 0.0;
    const double target = 0.1 * tol;
    double re[kCosBlock], im[kCosBlock];
    double prev_max = std::numeric_limits<double>::infinity();
    double prev_decay = 1.0;
    int passes = 0;
    bool converged = false;
    for (std::size_t start = 0; start < max_terms; start += kCosBlock) {
        p.u.resize(start + kCosBlock);
        for (std::size_t j = start; j < start + kCosBlock; ++j) {
            p.u[j] = static_cast<double>(j) * kPi / width;
        }
        log_return_exponent(m, p.tau, kCosBlock, p.u.data() + start, re, im);
        p.A.resize(start + kCosBlock);
        double block_max = cos_coefficients(kCosBlock, re, im, p.u.data() + start, p.a,
                                            2.0 / width, p.A.data() + start);
        if (!std::isfinite(block_max)) {
            p.route = Route::Failed;
            return;
        }
        if (jumps) block_max = std::max(block_max, jump_envelope_max(m, p.tau, kCosBlock, p.u.data() + start, re));
        const double next = static_cast<double>(start + kCosBlock);
        const double u_next = next * kPi / width;
        // The slower of the last two decays, so that a sudden drop (the jump
        // part of Bates dying out) is not extrapolated.
        const double decay_now = block_max / prev_max;
        const double decay = std::max(decay_now, prev_decay);
        prev_max = block_max;
        prev_decay = decay_now;
        if (start < 2 * kCosBlock) continue;
        // |phi| held at this block's level: sum_(j >= next) 1 / (1 + u_j^2)
        // < (b - a)^2 / (pi^2 (next - 1)) with u_j = j pi / (b - a).
        double tail = block_max * tail_factor * width * width / (kPi * kPi * (next - 1.0));
        if (decay < 0.5) {
            tail = std::min(tail, block_max * tail_factor * static_cast<double>(kCosBlock) /
                                      (u_next * u_next * (1.0 - decay)));
        }
        passes = tail < target ? passes + 1 : 0;
        if (passes == 2) {
            converged = true;
            break;
        }
    }
    if (!converged) {
        p.route = Route::Failed;
        return;
    }
    finish_cos(p);
}

// COS plan on a given range and number of terms, those of another parameter
// set: no tail search and no convergence test. Its error varies smoothly with
// the parameters, which is what difference quotients need.
void plan_cos_fixed(const Model& m, Plan& p, double a, double b, std::size_t terms) {
    p.route = Route::Failed;
    if (terms == 0 || !(b > a)) return;
    p.a = a;
    p.b = b;
    const double width = b - a;
    p.u.resize(terms);
    for (std::size_t j = 0; j < terms; ++j) p.u[j] = static_cast<double>(j) * kPi / width;
    std::vector<double> re(terms), im(terms);
    log_return_exponent(m, p.tau, terms, p.u.data(), re.data(), im.data());
    p.A.resize(terms);
    if (!std::isfinite(cos_coefficients(terms, re.data(), im.data(), p.u.data(), a, 2.0 / width,
                                         p.A.data()))) {
        return;
    }
    p.route = Route::Cos;
    finish_cos(p);
}

// For a strike inside the range: sum_(j>=1) A_j V_j = e^k (sum B_j sin(j step)
// - sum C_j cos(j step)) + e^a sum C_j. Eight logical lanes (one AVX-512
// register or two of four), lane l summing the terms j = l mod 8; each lane's
// angle advances by a rotation by 8 step and is re-seeded from sincos every
// 64 terms. The lanes do the same operations at every width, so every machine
// gets the same bits.
template <class D>
inline __attribute__((always_inline)) double cos_series_at_strike_lanes(const Plan& p, double step,
                                                                      double ek, double ea) {
    constexpr int R = 8 / vm::lanes<D>;
    constexpr int W = vm::lanes<D>;
    D offset[R];
    for (int r = 0; r < R; ++r) {
        for (int l = 0; l < W; ++l) offset[r][l] = static_cast<double>(r * W + l);
    }
    D s8, c8;
    vm::vsincos(vm::splat<D>(8.0 * step), s8, c8);
    D sin_acc[R], cos_acc[R], sn[R], cs[R];
    for (int r = 0; r < R; ++r) {
        sin_acc[r] = vm::splat<D>(0.0);
        cos_acc[r] = vm::splat<D>(0.0);
    }
    const std::size_t n = p.B.size();
    const double* B = p.B.data();
    const double* C = p.C.data();
    for (std::size_t block = 0; block < n; block += 64) {
        const std::size_t end = std::min(block + 64, n);
        for (int r = 0; r < R; ++r) vm::vsincos((static_cast<double>(block) + offset[r]) * step, sn[r], cs[r]);
        for (std::size_t j = block; j < end; j += 8) {
            for (int r = 0; r < R; ++r) {
                const std::size_t at = j + static_cast<std::size_t>(r * W);
                sin_acc[r] += vm::load<D>(B + at, W) * sn[r];
                cos_acc[r] += vm::load<D>(C + at, W) * cs[r];
                const D t = cs[r] * c8 - sn[r] * s8;
                sn[r] = sn[r] * c8 + cs[r] * s8;
                cs[r] = t;
            }
        }
    }
    double sa[8], ca[8];
    for (int r = 0; r < R; ++r) {
        std::memcpy(sa + r * W, &sin_acc[r], sizeof(D));
        std::memcpy(ca + r * W, &cos_acc[r], sizeof(D));
    }
    const double sin_sum = ((sa[0] + sa[1]) + (sa[2] + sa[3])) + ((sa[4] + sa[5]) + (sa[6] + sa[7]));
    const double cos_sum = ((ca[0] + ca[1]) + (ca[2] + ca[3])) + ((ca[4] + ca[5]) + (ca[6] + ca[7]));
    return ek * (sin_sum - cos_sum) + ea * p.c_sum;
}

double cos_series_at_strike_baseline(const Plan& p, double step, double ek, double ea) {
    return cos_series_at_strike_lanes<vm::v4d>(p, step, ek, ea);
}
ORVELTA_TARGET_AVX2 double cos_series_at_strike_avx2(const Plan& p, double step, double ek, double ea) {
    return cos_series_at_strike_lanes<vm::v4d>(p, step, ek, ea);
}
ORVELTA_TARGET_AVX512 double cos_series_at_strike_avx512(const Plan& p, double step, double ek,
                                                         double ea) {
    return cos_series_at_strike_lanes<vm::v8d>(p, step, ek, ea);
}

using StrikeSumFn = double (*)(const Plan&, double, double, double);

double cos_series_at_strike(const Plan& p, double step, double ek, double ea) {
    return dispatch<StrikeSumFn>(cos_series_at_strike_avx512, cos_series_at_strike_avx2,
                                 cos_series_at_strike_baseline)(p, step, ek, ea);
}

// sum_j A_j V_j over j >= 1 for a strike above the range (payoff cut at b),
// the angles advanced as in cos_series_at_strike.
double cos_series_beyond(const Plan& p, double step, double ek, double ed, double ea) {
    double s4, c4;
    ::sincos(4.0 * step, &s4, &c4);
    double acc[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t block = 1; block < p.terms; block += 64) {
        const std::size_t end = std::min(block + 64, p.terms);
        double sn[4], cs[4];
        for (int r = 0; r < 4; ++r) ::sincos(static_cast<double>(block + r) * step, &sn[r], &cs[r]);
        for (std::size_t j = block; j < end; j += 4) {
            for (int r = 0; r < 4; ++r) {
                const std::size_t idx = j + static_cast<std::size_t>(r);
                if (idx < end) {
                    const double sin_coef = ek / p.u[idx] - p.u[idx] * ed * p.inv_1pu2[idx];
                    const double V = sn[r] * sin_coef - (ed * cs[r] - ea) * p.inv_1pu2[idx];
                    acc[r] += p.A[idx] * V;
                }
                const double t = cs[r] * c4 - sn[r] * s4;
                sn[r] = sn[r] * c4 + cs[r] * s4;
                cs[r] = t;
            }
        }
    }
    return (acc[0] + acc[1]) + (acc[2] + acc[3]);
}

double cos_put(const Plan& p, double K) {
    const double k = std::log(K / p.F);
    if (!(k > p.a)) return 0.0;
    const double d = std::min(k, p.b);
    const double ek = K / p.F;
    const double ed = d == k ? ek : std::exp(d);
    const double ea = std::exp(p.a);
    const double first = p.A[0] * (ek * (d - p.a) - (ed - ea));
    const double step = kPi * (d - p.a) / (p.b - p.a);
    const double rest = d == k ? cos_series_at_strike(p, step, ek, ea)
                               : cos_series_beyond(p, step, ek, ed, ea);
    return p.D * p.F * (first + rest);
}

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
            const double g = j < 16 ? g_hi * (j + offset) / 16.0
                                    : g_hi * std::exp(-8.0 + (j - 16 + offset));
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

Plan make_plan(const Model& m, double tau, double s, double r, double q, double tol) {
    Plan p;
    p.tau = tau;
    if (!(tau >= 0.0) || !std::isfinite(tau) || !std::isfinite(s) || !std::isfinite(r) ||
        !std::isfinite(q) || !(s > 0.0)) {
        p.route = Route::Failed;
        return p;
    }
    p.F = s * std::exp((r - q) * tau);
    p.D = std::exp(-r * tau);
    if (tau == 0.0) {
        p.route = Route::Intrinsic;
        return p;
    }
    switch (m.kind) {
        case Kind::Lognormal:
            p.route = Route::ClosedForm;
            p.var = m.sigma * m.sigma * tau;
            break;
        case Kind::Merton:
            plan_merton(m, p, tol);
            break;
        case Kind::VarianceGamma:
            if (tau / m.nu < kGammaClockShape) {
                plan_gamma_clock(m, p, tol);
            } else {
                plan_cos(m, p, tol);
            }
            break;
        case Kind::Heston:
            if (deterministic_variance(m) && m.gauss_mean == 0.0) {
                p.route = Route::ClosedForm;
                p.var = integrated_variance(m, tau) + m.gauss_var;
            } else {
                plan_cos(m, p, tol);
            }
            break;
        case Kind::Bates:
            if (deterministic_variance(m)) {
                // Merton's series with the integrated variance as the diffusion's.
                plan_merton(m, p, tol);
                if (p.route == Route::PoissonSeries) p.var = integrated_variance(m, tau);
            } else {
                plan_bates(m, p, tol);
            }
            break;
    }
    return p;
}

// The put by the plan's route; the call by parity. Bounded: clipped to the
// no-arbitrage bounds (the prices users see); otherwise the route's raw value.
double plan_price(const Model& m, const Plan& p, double K, bool call, bool bounded) {
    if (!(K > 0.0) || !std::isfinite(K)) return kNaN;
    double put;
    switch (p.route) {
        case Route::Intrinsic:
            return call ? std::max(p.F - K, 0.0) : std::max(K - p.F, 0.0);
        case Route::ClosedForm:
            put = black_put(p.F, K, std::sqrt(p.var), p.D);
            break;
        case Route::PoissonSeries:
            put = merton_put(m, p, K);
            break;
        case Route::GammaClock:
            put = gamma_clock_put(p, K);
            break;
        case Route::Cos:
            put = cos_put(p, K);
            break;
        case Route::JumpSeries:
            put = 0.0;
            for (std::size_t n = 0; n < p.parts.size(); ++n) put += p.w[n] * cos_put(p.parts[n], K);
            break;
        default:
            return kNaN;
    }
    if (!bounded) return call ? put + p.D * (p.F - K) : put;
    // No-arbitrage bounds of the put, then the call by parity.
    const double lower = p.D * std::max(K - p.F, 0.0);
    put = std::min(std::max(put, lower), p.D * K);
    if (!call) return put;
    const double callv = put + p.D * (p.F - K);
    return std::min(std::max(callv, p.D * std::max(p.F - K, 0.0)), p.D * p.F);
}

}  // namespace detail

using namespace detail;

Settings european_settings(const Model& m, double tau, double s, double r, double q, double tol) {
    const Plan p = make_plan(m, tau, s, r, q, tol);
    return {p.route, p.a, p.b, p.terms};
}

Batch prepare_batch(int model_id, std::size_t sets, std::size_t width, const double* params,
                    std::size_t count, const double* strikes, const double* tau,
                    PerOption<double> s, PerOption<double> r, PerOption<double> q,
                    PerOption<int> option_type, double tol, bool per_option) {
    if (!(tol > 0.0)) throw std::invalid_argument("tol must be a positive number");
    if (per_option && sets != count) throw std::invalid_argument("params must have one row per option");
    Batch b;
    b.per_option = per_option;
    b.models.reserve(sets);
    for (std::size_t j = 0; j < sets; ++j) {
        b.models.push_back(resolve_model(model_id, params + j * width, width));
    }
    // Below about 1e-15 of the strike scale the rounding of the sums dominates.
    b.tol = tol;
    b.count = count;
    b.strikes = strikes;
    b.tau = tau;
    b.s = s;
    b.r = r;
    b.q = q;
    b.option_type = option_type;
    b.order.resize(count);
    std::iota(b.order.begin(), b.order.end(), std::size_t{0});
    // Options of one maturity, spot, rate and yield share a plan: sorted by
    // those four (ascending, NaNs last), equal ones stay together.
    const auto before = [](double x, double y) {
        if (std::isnan(y)) return !std::isnan(x);
        return x < y;
    };
    std::stable_sort(b.order.begin(), b.order.end(), [&](std::size_t x, std::size_t y) {
        const double kx[4] = {tau[x], b.s[x], b.r[x], b.q[x]};
        const double ky[4] = {tau[y], b.s[y], b.r[y], b.q[y]};
        for (int i = 0; i < 4; ++i) {
            if (before(kx[i], ky[i])) return true;
            if (before(ky[i], kx[i])) return false;
        }
        if (per_option) {
            const double* px = params + x * width;
            const double* py = params + y * width;
            for (std::size_t j = 0; j < width; ++j) {
                if (px[j] != py[j]) return px[j] < py[j];
            }
        }
        return false;
    });
    const auto same_row = [&](std::size_t x, std::size_t y) {
        if (!per_option) return true;
        for (std::size_t j = 0; j < width; ++j) {
            if (!(params[x * width + j] == params[y * width + j])) return false;
        }
        return true;
    };
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t x = b.order[i];
        const std::size_t y = i == 0 ? x : b.order[i - 1];
        if (i == 0 || !(tau[x] == tau[y] && b.s[x] == b.s[y] && b.r[x] == b.r[y] && b.q[x] == b.q[y] &&
                        same_row(x, y))) {
            b.group_start.push_back(i);
        }
    }
    b.group_start.push_back(count);
    return b;
}

Plan detail::group_plan(const Batch& batch, std::size_t g, std::size_t set, double tol) {
    const std::size_t first = batch.order[batch.group_start[g]];
    return make_plan(batch.model(set, g), batch.tau[first], batch.s[first], batch.r[first],
                     batch.q[first], tol);
}

std::size_t batch_tasks(const Batch& batch) noexcept {
    const std::size_t groups = batch.group_start.size() - 1;
    return batch.shared_settings ? groups : batch.sets() * groups;
}

namespace {

// Routes other than COS choose their terms or nodes from each set's own
// parameters; priced this tightly, a change of settings between sets stays
// far below a difference quotient's resolution.
constexpr double kSharedOwnTol = 1e-8;

void price_group(const Batch& batch, std::size_t g, std::size_t set, const Plan& p, bool bounded,
                 double* out) {
    const Model& m = batch.model(set, g);
    double* o = out + set * batch.count;
    for (std::size_t i = batch.group_start[g]; i < batch.group_start[g + 1]; ++i) {
        const std::size_t opt = batch.order[i];
        o[opt] = plan_price(m, p, batch.strikes[opt], batch.option_type[opt] > 0, bounded);
    }
}

// Maturities [begin, end) of a shared-settings batch: first every maturity's
// plan of the first set, then the other sets on those plans' COS range and
// terms (their own plans on other routes), one (maturity, set) per task.
void run_shared(const Batch& batch, std::size_t begin, std::size_t end, double* out) {
    const std::size_t count = end - begin;
    const std::size_t sets = batch.models.size();
    const double own_tol = std::min(batch.tol, kSharedOwnTol);
    std::vector<Plan> firsts(count);
    const std::size_t work = count > 1 || sets > 1 ? count * sets * batch.count / (batch.group_start.size() - 1) : 0;
    const bool parallel = orvelta::run_parallel(work);
    parallel_for(0, count, 1, parallel, [&](std::size_t t) {
        const std::size_t g = begin + t;
        Plan& first = firsts[t];
        first = group_plan(batch, g, 0, batch.tol);
        if (first.route != Route::Cos && own_tol < batch.tol) first = group_plan(batch, g, 0, own_tol);
        price_group(batch, g, 0, first, false, out);
    });
    parallel_for(0, count * (sets - 1), 1, parallel, [&](std::size_t t) {
        const std::size_t i = t / (sets - 1);
        const std::size_t set = 1 + t % (sets - 1);
        const std::size_t g = begin + i;
        const Plan& first = firsts[i];
        Plan own;
        if (first.route == Route::Cos) {
            own.tau = first.tau;
            own.F = first.F;
            own.D = first.D;
            plan_cos_fixed(batch.models[set], own, first.a, first.b, first.terms);
        }
        if (own.route != Route::Cos) {
            own = group_plan(batch, g, set, own_tol);
        }
        price_group(batch, g, set, own, false, out);
    });
}

}  // namespace

void run_batch(const Batch& batch, std::size_t begin, std::size_t end, double* out) {
    const std::size_t groups = batch.group_start.size() - 1;
    if (groups == 0 || begin >= end) return;
    if (batch.shared_settings) {
        run_shared(batch, begin, end, out);
        return;
    }
    // The work measure for the parallel decision: options in the slice; a
    // single task never wakes the team.
    const std::size_t work = end - begin > 1 ? (end - begin) * batch.count / groups : 0;
    parallel_for(begin, end, 1, orvelta::run_parallel(work), [&](std::size_t task) {
        const std::size_t set = task / groups;
        const std::size_t g = task % groups;
        const Plan p = group_plan(batch, g, set, batch.tol);
        price_group(batch, g, set, p, true, out);
    });
}

}  // namespace orvelta::european
