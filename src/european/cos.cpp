// The COS expansion of the put: the truncation range from Chernoff bounds on
// the tails of the log return, as many terms as the decay of the
// characteristic function asks for, and the sums over the terms at each
// strike, vectorised through the shared dispatch.
#include "european/plan.hpp"

#include "common/constants.hpp"
#include "common/dispatch.hpp"
#include "common/interrupt.hpp"
#include "common/simd.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace orvelta::european {

namespace {

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
inline __attribute__((always_inline)) double cos_coefficients_lanes(std::size_t n, const double* re,
                                                                    const double* im,
                                                                    const double* u, double a,
                                                                    double scale,
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

ORVELTA_KERNEL_BUILDS(double, cos_coefficients,
                      (std::size_t n, const double* re, const double* im, const double* u, double a,
                       double scale, double* out) noexcept,
                      (n, re, im, u, a, scale, out), cos_coefficients_lanes<vm::v4d>,
                      cos_coefficients_lanes<vm::v4d>, cos_coefficients_lanes<vm::v8d>)

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

ORVELTA_KERNEL_BUILDS(void, payoff_factors,
                      (std::size_t n, const double* u, const double* A, double* i1, double* iu,
                       double* B, double* C) noexcept,
                      (n, u, A, i1, iu, B, C), payoff_factors_lanes<vm::v4d>,
                      payoff_factors_lanes<vm::v4d>, payoff_factors_lanes<vm::v8d>)

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
    payoff_factors(n, p.u.data(), p.A.data(), p.inv_1pu2.data(), p.inv_u1pu2.data(), p.B.data(),
                   p.C.data());
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

}  // namespace

bool cos_range(const Model& m, double tau, double K_ref, double tol, double& a, double& b) {
    // Mass outside [a, b] costs at most K times that mass (truncation and aliasing).
    const double log_eps = std::log(tol / (20.0 * K_ref));
    a = tail_point(m, tau, log_eps, -1.0);
    b = tail_point(m, tau, log_eps, 1.0);
    return std::isfinite(a) && std::isfinite(b) && b > a;
}

void plan_cos(const Model& m, Plan& p, double tol, std::size_t max_terms) {
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
        // A plan of a million terms takes tens of milliseconds: Ctrl-C is
        // looked for every block (the caller reports it).
        if (cancel_requested()) {
            p.route = Route::Failed;
            return;
        }
        p.u.resize(start + kCosBlock);
        for (std::size_t j = start; j < start + kCosBlock; ++j) {
            p.u[j] = static_cast<double>(j) * kPi / width;
        }
        log_return_exponent(m, p.tau, kCosBlock, p.u.data() + start, re, im);
        p.A.resize(start + kCosBlock);
        double block_max = cos_coefficients(kCosBlock, re, im, p.u.data() + start, p.a, 2.0 / width,
                                            p.A.data() + start);
        if (!std::isfinite(block_max)) {
            p.route = Route::Failed;
            return;
        }
        if (jumps)
            block_max =
                std::max(block_max, jump_envelope_max(m, p.tau, kCosBlock, p.u.data() + start, re));
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

namespace {

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
        for (int r = 0; r < R; ++r)
            vm::vsincos((static_cast<double>(block) + offset[r]) * step, sn[r], cs[r]);
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
    const double sin_sum =
        ((sa[0] + sa[1]) + (sa[2] + sa[3])) + ((sa[4] + sa[5]) + (sa[6] + sa[7]));
    const double cos_sum =
        ((ca[0] + ca[1]) + (ca[2] + ca[3])) + ((ca[4] + ca[5]) + (ca[6] + ca[7]));
    return ek * (sin_sum - cos_sum) + ea * p.c_sum;
}

ORVELTA_KERNEL_BUILDS(double, cos_series_at_strike,
                      (const Plan& p, double step, double ek, double ea), (p, step, ek, ea),
                      cos_series_at_strike_lanes<vm::v4d>, cos_series_at_strike_lanes<vm::v4d>,
                      cos_series_at_strike_lanes<vm::v8d>)

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

}  // namespace

double cos_put(const Plan& p, double K) {
    const double k = std::log(K / p.F);
    if (!(k > p.a)) return 0.0;
    const double d = std::min(k, p.b);
    const double ek = K / p.F;
    const double ed = d == k ? ek : std::exp(d);
    const double ea = std::exp(p.a);
    const double first = p.A[0] * (ek * (d - p.a) - (ed - ea));
    const double step = kPi * (d - p.a) / (p.b - p.a);
    const double rest =
        d == k ? cos_series_at_strike(p, step, ek, ea) : cos_series_beyond(p, step, ek, ed, ea);
    return p.D * p.F * (first + rest);
}

}  // namespace orvelta::european
