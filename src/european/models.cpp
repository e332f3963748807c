// The five models of the log return Z = ln(S_T / F): parameters with the
// Fourier kernels' defaults and floors, the exponent psi(u) = ln E[e^(iuZ)]
// on real frequencies, and the moment generating function on the real line
// for the tail bounds that set the COS truncation range.
//
// The exponents are written out in real arithmetic: the complex logarithm
// from log and atan2, the Heston discriminant as its real and imaginary
// parts (no complex power for a square), beta - d from the difference of
// squares so that it does not cancel at small u. The Heston loop runs on
// vector lanes (common/simd.hpp) with the widest instruction set the processor has;
// every width gives the same bits.
#include <cmath>
#include <limits>
#include <stdexcept>

#include "european/european.hpp"
#include "common/dispatch.hpp"
#include "common/simd.hpp"

namespace orvelta::european {

namespace {

constexpr double kLambdaDefault = 0.3;
constexpr double kMuJDefault = -0.05;
constexpr double kDeltaJDefault = 0.2;
// Floor of the Heston speed and vol-of-vol and of the variance-gamma clock's
// variance rate: far below any value that changes a digit of a price.
constexpr double kTiny = 1e-100;

inline double entry(const double* p, std::size_t n, std::size_t j, double fallback) noexcept {
    return j < n ? p[j] : fallback;
}

inline double floor_at(double x, double bound) noexcept { return x < bound ? bound : x; }

void set_jumps(Model& m, double lambda, double mu_j, double half_dd) {
    if (lambda < 0.0) throw std::invalid_argument("the jump intensity lambda must be >= 0");
    m.lambda = lambda;
    m.mu_j = mu_j;
    m.half_dd = half_dd;
    m.kappa_j = std::expm1(mu_j + half_dd);
}

// Heston entries [v0, kappa, theta, sigma_v, rho] with defaults for missing
// ones. Values inside the model's domain (v0, theta, kappa, sigma_v >= 0,
// |rho| <= 1) are taken as given; only outside it are they raised to 0 or
// cut to [-1, 1]. kappa and a positive sigma_v are raised to kTiny, which
// changes no digit of any exponent (their effect is of order kTiny tau) but
// keeps kappa theta / sigma_v^2 and 1 / (beta + d) finite; sigma_v = 0
// exactly is the deterministic variance, priced by the lognormal routes.
void set_heston(Model& m, const double* h, std::size_t n) {
    m.v0 = n > 0 ? floor_at(h[0], 0.0) : 0.04;
    m.kappa = n > 1 ? floor_at(h[1], kTiny) : 2.0;
    m.theta_v = n > 2 ? floor_at(h[2], 0.0) : 0.04;
    double sigma_v = 0.6;
    if (n > 3) sigma_v = h[3] > 0.0 ? floor_at(h[3], kTiny) : 0.0;
    m.ss = sigma_v * sigma_v;
    double rho = -0.5;
    if (n > 4) rho = h[4] < -1.0 ? -1.0 : (h[4] > 1.0 ? 1.0 : h[4]);
    m.rho = rho;
    m.rs = rho * sigma_v;
}

}  // namespace

Model resolve_model(int model_id, const double* p, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) {
        if (!std::isfinite(p[j])) throw std::invalid_argument("params must be finite");
    }
    Model m;
    switch (model_id) {
        case 1: {
            m.kind = Kind::Merton;
            m.sigma = entry(p, n, 0, 0.2);
            const double delta = entry(p, n, 3, kDeltaJDefault);
            set_jumps(m, entry(p, n, 1, kLambdaDefault), entry(p, n, 2, kMuJDefault),
                      0.5 * delta * delta);
            break;
        }
        case 2: {
            m.kind = Kind::VarianceGamma;
            m.sigma = entry(p, n, 0, 0.2);
            m.theta = entry(p, n, 1, -0.08);
            m.nu = n > 2 ? floor_at(p[2], kTiny) : 0.2;
            const double A = 1.0 - m.theta * m.nu - 0.5 * m.sigma * m.sigma * m.nu;
            if (!(A >= 1e-8)) {
                throw std::invalid_argument(
                    "variance gamma needs 1 - theta*nu - sigma^2*nu/2 >= 1e-8 (E[S_T] must exist)");
            }
            // ln(A) from A - 1: a small nu leaves A within rounding of 1,
            // and omega tau multiplies the error by tau / nu.
            m.omega = std::log1p(-m.theta * m.nu - 0.5 * m.sigma * m.sigma * m.nu) / m.nu;
            break;
        }
        case 3:
            m.kind = Kind::Heston;
            set_heston(m, p, n);
            break;
        case 4: {
            // Missing diffusion entries are zeros raised to their floors, as in
            // the kernels, never the Heston defaults.
            m.kind = Kind::Bates;
            double h[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
            for (std::size_t j = 0; j < n && j < 5; ++j) h[j] = p[j];
            set_heston(m, h, 5);
            const double half_dd =
                n > 7 ? 0.5 * p[7] * p[7] : 0.5 * kDeltaJDefault * kDeltaJDefault;
            set_jumps(m, entry(p, n, 5, kLambdaDefault), entry(p, n, 6, kMuJDefault), half_dd);
            break;
        }
        default:
            m.kind = Kind::Lognormal;
            m.sigma = entry(p, n, 0, 0.2);
            break;
    }
    return m;
}

namespace {

// Heston exponent over tau, with extra drift e added to the log return, a
// lane set of frequencies at a time (the last set padded with its final frequency).
template <class v4d>
inline __attribute__((always_inline)) void heston_lanes(const Model& m, double tau, double e,
                                                        std::size_t n, const double* uu, double* re,
                                                        double* im) noexcept {
    using v4l = vm::mask_of<v4d>;
    using vm::sel;
    constexpr std::size_t W = vm::lanes<v4d>;
    const double kappa = m.kappa;
    const double ss = m.ss;
    const double rs = m.rs;
    const double ss_free = ss * (1.0 - m.rho * m.rho);  // ss - rs^2 without cancellation
    const double kt_ss = kappa * m.theta_v / ss;
    const double v0 = m.v0;
    for (std::size_t j0 = 0; j0 < n; j0 += W) {
        const v4d u = vm::load<v4d>(uu + j0, n - j0);
        const v4d u2 = u * u;
        // d^2 = (rs i u - kappa)^2 + ss (u^2 + i u)
        const v4d dr2 = kappa * kappa + ss_free * u2;
        const v4d di2 = (ss - 2.0 * kappa * rs) * u;
        const v4d mod = vm::vsqrt(dr2 * dr2 + di2 * di2);
        const v4d dr = vm::vsqrt(0.5 * (mod + dr2));
        const v4l dr_pos = dr > vm::splat<v4d>(0.0);
        const v4d di =
            sel(dr_pos, 0.5 * di2 / sel(dr_pos, dr, vm::splat<v4d>(1.0)), vm::splat<v4d>(0.0));
        // beta = kappa - rs i u; beta + d and its inverse
        const v4d pr = kappa + dr;
        const v4d pi = -rs * u + di;
        const v4d pn = 1.0 / (pr * pr + pi * pi);
        const v4d ir = pr * pn;
        const v4d ii = -pi * pn;
        // beta - d = (beta^2 - d^2) / (beta + d) = -ss (u^2 + i u) / (beta + d)
        const v4d wr = -ss * u2;
        const v4d wi = -ss * u;
        const v4d br = wr * ir - wi * ii;
        const v4d bi = wr * ii + wi * ir;
        // g = (beta - d) / (beta + d)
        const v4d gr = br * ir - bi * ii;
        const v4d gi = br * ii + bi * ir;
        // 1 - E with E = exp(-d tau), without cancellation at small |d tau|
        v4d sn, cs;
        vm::vsincos<v4d>(di * tau, sn, cs);
        const v4d x_tau = dr * tau;
        const v4l small = x_tau < vm::splat<v4d>(0.5);
        // The series only where a lane needs it (small frequencies): same bits.
        const v4d em_far = vm::vexp(-x_tau) - 1.0;
        const v4d em =
            vm::any(small)
                ? sel(small, vm::vexpm1_small(-sel(small, x_tau, vm::splat<v4d>(0.0))), em_far)
                : em_far;
        const v4d one_minus_cos = sel(cs > vm::splat<v4d>(0.0), sn * sn / (1.0 + cs), 1.0 - cs);
        const v4d onr = one_minus_cos - em * cs;
        const v4d oni = (1.0 + em) * sn;
        // 1 - g E = (1 - g)(1 + delta) with delta = g (1 - E) / (1 - g)
        const v4d mr = 1.0 - gr;
        const v4d mi = -gi;
        const v4d mn = 1.0 / (mr * mr + mi * mi);
        const v4d xr = gr * onr - gi * oni;
        const v4d xi = gr * oni + gi * onr;
        const v4d dlr = (xr * mr + xi * mi) * mn;
        const v4d dli = (xi * mr - xr * mi) * mn;
        // Log(1 + delta), accurate when delta is small: log1p(mag) as
        // log(w) mag / (w - 1), w = 1 + mag, exact to a few ulps
        const v4d mag = dlr * (2.0 + dlr) + dli * dli;  // |1 + delta|^2 - 1
        const v4d w1 = 1.0 + mag;
        const v4l exact = w1 == vm::splat<v4d>(1.0);
        const v4d lr =
            0.5 * sel(exact, mag, vm::vlog(w1) * (mag / sel(exact, vm::splat<v4d>(1.0), w1 - 1.0)));
        const v4d li = vm::vatan2(dli, 1.0 + dlr);
        // K2 = -(u^2 + i u) / (beta + d) * (1 - E) / ((1 - g)(1 + delta))
        const v4d hr = -(u2 * ir - u * ii);
        const v4d hi = -(u2 * ii + u * ir);
        const v4d nr = mr * (1.0 + dlr) - mi * dli;
        const v4d ni = mr * dli + mi * (1.0 + dlr);
        const v4d nn = 1.0 / (nr * nr + ni * ni);
        const v4d fr = (onr * nr + oni * ni) * nn;
        const v4d fi = (oni * nr - onr * ni) * nn;
        const v4d k2r = hr * fr - hi * fi;
        const v4d k2i = hr * fi + hi * fr;
        // K1 = i u e tau + (kappa theta / ss) ((beta - d) tau - 2 Log ratio)
        const v4d k1r = kt_ss * (br * tau - 2.0 * lr);
        const v4d k1i = u * (e * tau) + kt_ss * (bi * tau - 2.0 * li);
        const v4d outr = k1r + k2r * v0;
        const v4d outi = k1i + k2i * v0;
        vm::store(re + j0, outr, n - j0);
        vm::store(im + j0, outi, n - j0);
    }
}

ORVELTA_KERNEL_BUILDS(void, heston_lanes_exponent,
                      (const Model& m, double tau, double e, std::size_t n, const double* u,
                       double* re, double* im) noexcept,
                      (m, tau, e, n, u, re, im), heston_lanes<vm::v4d>, heston_lanes<vm::v4d>,
                      heston_lanes<vm::v8d>)

void heston_exponent(const Model& m, double tau, double e, std::size_t n, const double* u,
                     double* re, double* im) noexcept {
    if (deterministic_variance(m)) {
        // A normal log return with the integrated variance.
        const double hv = 0.5 * integrated_variance(m, tau);
        for (std::size_t j = 0; j < n; ++j) {
            re[j] = -hv * u[j] * u[j];
            im[j] = (e * tau - hv) * u[j];
        }
        return;
    }
    heston_lanes_exponent(m, tau, e, n, u, re, im);
}

// Adds the jump exponent lambda tau (J(u) - 1) - i u lambda kappa_J tau.
void add_jumps(const Model& m, double tau, std::size_t n, const double* uu, double* re,
               double* im) noexcept {
    const double lt = m.lambda * tau;
    const double drift = -lt * m.kappa_j;
    for (std::size_t j = 0; j < n; ++j) {
        const double u = uu[j];
        double sn, cs;
        ::sincos(m.mu_j * u, &sn, &cs);
        const double amp = std::exp(-m.half_dd * u * u);
        re[j] += lt * (amp * cs - 1.0);
        im[j] += lt * amp * sn + drift * u;
    }
}

}  // namespace

bool deterministic_variance(const Model& m) noexcept {
    return m.ss == 0.0 || (m.v0 == 0.0 && m.theta_v == 0.0);
}

double integrated_variance(const Model& m, double tau) noexcept {
    const double kt = m.kappa * tau;
    // (1 - e^(-kappa tau)) / kappa, with its limit tau for a vanishing speed
    const double decay = kt < 1e-8 ? tau * (1.0 - 0.5 * kt) : -std::expm1(-kt) / m.kappa;
    return m.theta_v * tau + (m.v0 - m.theta_v) * decay;
}

void log_return_exponent(const Model& m, double tau, std::size_t n, const double* u, double* re,
                         double* im) noexcept {
    switch (m.kind) {
        case Kind::Lognormal:
        case Kind::Merton: {
            const double hv = 0.5 * m.sigma * m.sigma * tau;
            for (std::size_t j = 0; j < n; ++j) {
                re[j] = -hv * u[j] * u[j];
                im[j] = -hv * u[j];
            }
            if (m.kind == Kind::Merton) add_jumps(m, tau, n, u, re, im);
            return;
        }
        case Kind::VarianceGamma: {
            // (1 - i u theta nu + sigma^2 nu u^2 / 2)^(-tau / nu) e^(i u omega tau)
            const double p = -tau / m.nu;
            const double hv = 0.5 * m.sigma * m.sigma * m.nu;
            const double tn = m.theta * m.nu;
            const double wt = m.omega * tau;
            for (std::size_t j = 0; j < n; ++j) {
                const double x = hv * u[j] * u[j];
                const double br = 1.0 + x;
                const double bi = -tn * u[j];
                // |base|^2 - 1 formed without the 1: with tau / nu large the
                // exponent is a large multiple of a small logarithm.
                re[j] = p * 0.5 * std::log1p(x * (2.0 + x) + bi * bi);
                im[j] = p * std::atan2(bi, br) + wt * u[j];
            }
            return;
        }
        case Kind::Heston:
            heston_exponent(m, tau, 0.0, n, u, re, im);
            if (m.gauss_mean != 0.0 || m.gauss_var != 0.0) {
                for (std::size_t j = 0; j < n; ++j) {
                    re[j] -= 0.5 * m.gauss_var * u[j] * u[j];
                    im[j] += m.gauss_mean * u[j];
                }
            }
            return;
        case Kind::Bates:
            heston_exponent(m, tau, 0.0, n, u, re, im);
            add_jumps(m, tau, n, u, re, im);
            return;
    }
}

cplx characteristic(const Model& m, double u, double s, double r, double q, double tau) noexcept {
    double re, im;
    log_return_exponent(m, tau, 1, &u, &re, &im);
    const double phase = im + u * (std::log(s) + (r - q) * tau);
    double sn, cs;
    ::sincos(phase, &sn, &cs);
    const double mod = std::exp(re);
    return {mod * cs, mod * sn};
}

namespace {

// ln E[e^(alpha Z)] of the Heston part from the real solution of its Riccati
// equations, +inf at and beyond the moment's explosion time.
double heston_log_mgf(const Model& m, double tau, double alpha) noexcept {
    if (deterministic_variance(m))
        return 0.5 * integrated_variance(m, tau) * (alpha * alpha - alpha);
    const double inf = std::numeric_limits<double>::infinity();
    const double ss = m.ss;
    const double k = m.kappa - m.rs * alpha;
    const double c2 = ss * (alpha * alpha - alpha);  // sigma^2 alpha (alpha - 1)
    const double D = k * k - c2;
    const double kt_ss = m.kappa * m.theta_v / ss;
    double A, B;
    if (D >= 0.0) {
        const double d = std::sqrt(D);
        if (k < 0.0 && c2 > 0.0) {
            const double t_star = std::log((k - d) / (k + d)) / d;
            if (!(tau < t_star)) return inf;
        }
        // k - d = c2 / (k + d) when k + d > 0, without cancellation
        const double kmd = k + d > 0.0 ? c2 / (k + d) : k - d;
        const double kpd = k + d;
        const double E = std::exp(-d * tau);
        if (kpd == 0.0) {
            // c2 = 0 and k = 0: B = 0, A = 0
            return 0.0;
        }
        const double g = kmd / kpd;
        const double one_ge = 1.0 - g * E;
        B = (kmd / ss) * (-std::expm1(-d * tau)) / one_ge;
        A = kt_ss * (kmd * tau - 2.0 * std::log(one_ge / (1.0 - g)));
    } else {
        // B = omega tan(gamma t / 2 + C) + k / ss with omega = gamma / ss, C = atan(-k / gamma)
        const double gamma = std::sqrt(-D);
        const double C = std::atan(-k / gamma);
        const double angle = 0.5 * gamma * tau + C;
        if (!(angle < 0.5 * 3.141592653589793)) return inf;
        B = gamma / ss * std::tan(angle) + k / ss;
        A = kt_ss * (-2.0 * (std::log(std::cos(angle)) - std::log(std::cos(C))) + k * tau);
    }
    const double out = A + B * m.v0;
    return std::isnan(out) ? inf : out;
}

double jump_log_mgf(const Model& m, double tau, double alpha) noexcept {
    const double lt = m.lambda * tau;
    if (!(lt > 0.0)) return 0.0;
    return lt * (std::expm1(alpha * m.mu_j + alpha * alpha * m.half_dd) - alpha * m.kappa_j);
}

}  // namespace

double log_mgf(const Model& m, double tau, double alpha) noexcept {
    const double inf = std::numeric_limits<double>::infinity();
    switch (m.kind) {
        case Kind::Lognormal: return 0.5 * m.sigma * m.sigma * tau * (alpha * alpha - alpha);
        case Kind::Merton:
            return 0.5 * m.sigma * m.sigma * tau * (alpha * alpha - alpha) +
                   jump_log_mgf(m, tau, alpha);
        case Kind::VarianceGamma: {
            const double shift =
                -m.theta * m.nu * alpha - 0.5 * m.sigma * m.sigma * m.nu * alpha * alpha;
            if (!(shift > -1.0)) return inf;
            return alpha * m.omega * tau - tau / m.nu * std::log1p(shift);
        }
        case Kind::Heston:
            return heston_log_mgf(m, tau, alpha) + alpha * m.gauss_mean +
                   0.5 * m.gauss_var * alpha * alpha;
        case Kind::Bates: return heston_log_mgf(m, tau, alpha) + jump_log_mgf(m, tau, alpha);
    }
    return inf;
}

}  // namespace orvelta::european
