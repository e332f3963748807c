// Black-Scholes implied volatility from the normalised Black function
//   b(x, v) = e^(x/2) Phi(x/v + v/2) - e^(-x/2) Phi(x/v - v/2),
// x = ln(F/K) <= 0 (every price is first turned into the out-of-the-money
// one by parity), v = sigma sqrt(tau). With z = -x/v and t = v/2,
//   b = E (m(z - t) - m(z + t)),  E = exp(-(z^2 + t^2)/2) / sqrt(2 pi),
// where m is the Mills ratio Phi(-y)/phi(y). The difference is evaluated
// without cancellation: by its Taylor series in t for small z and t, by
// Gauss-Laguerre quadrature of its integral representation for large z,
// and directly elsewhere (where it loses at most a factor of about 4).
// The solver is a bracketed Newton iteration on ln b (or on ln(b_max - b)
// for prices in the upper half), run to the last bit.
#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>

#include "common/constants.hpp"
#include "common/parallel.hpp"
#include "common/threads.hpp"
#include "european/european.hpp"

namespace orvelta::european {

namespace {

constexpr double kSqrtPiOver2 = 1.2533141373155003;
constexpr double kInvSqrtPi = 0.5641895835477563;
constexpr double kHalfLog2Pi = 0.9189385332046728;

// Gauss-Laguerre rule of order 32 (nodes, weights).
constexpr double kLaguerre[32][2] = {
#include "european/laguerre32.inc"
};

// y^2 as an unevaluated sum hi + lo (Dekker's exact product).
inline void exact_square(double y, double& hi, double& lo) noexcept {
    const double c = 134217729.0 * y;
    const double yh = c - (c - y);
    const double yl = y - yh;
    hi = y * y;
    lo = ((yh * yh - hi) + 2.0 * yh * yl) + yl * yl;
}

// erfcx(y) = exp(y^2) erfc(y) for y >= 0, to a few ulps.
double erfcx_pos(double y) noexcept {
    if (y < 26.0) {
        double hi, lo;
        exact_square(y, hi, lo);
        return std::exp(hi) * (1.0 + lo) * std::erfc(y);
    }
    // Asymptotic series 1/(y sqrt(pi)) sum (-1)^k (2k-1)!! / (2y^2)^k.
    const double w = 1.0 / (2.0 * y * y);
    double term = 1.0, sum = 1.0;
    for (int k = 1; k <= 10; ++k) {
        term *= -(2.0 * k - 1.0) * w;
        sum += term;
    }
    return kInvSqrtPi / y * sum;
}

// Mills ratio m(y) = Phi(-y) / phi(y), y >= 0.
inline double mills(double y) noexcept { return kSqrtPiOver2 * erfcx_pos(y * kInvSqrt2); }

// m(z - t) - m(z + t) by its Taylor series in t: -2 sum_(k odd) m^(k)(z) t^k / k!,
// with m' = z m - 1 and m^(k+1) = z m^(k) + k m^(k-1).
double mills_gap_taylor(double z, double t) noexcept {
    const double m0 = mills(z);
    double prev = m0, cur = z * m0 - 1.0;
    double tk = t, sum = 0.0;
    const double tt = t * t;
    for (int k = 1; k < 120; k += 2) {
        const double term = -2.0 * cur * tk;
        sum += term;
        if (k > 3 && std::fabs(term) <= 1e-18 * std::fabs(sum)) break;
        const double next = z * cur + k * prev;
        const double next2 = z * next + (k + 1) * cur;
        prev = next;
        cur = next2;
        tk *= tt / ((k + 1.0) * (k + 2.0));
    }
    return sum;
}

// m(z - t) - m(z + t) from b = v/sqrt(2 pi) e^(-z^2/2) int_0^1
// exp(-z^2 (1/y^2 - 1)/2 - t^2 y^2 / 2) dy with 1/y^2 = 1 + zeta, zeta = s/alpha:
// an integral against e^(-s) of a function smooth on the scale alpha = z^2/2.
double mills_gap_laguerre(double z, double t) noexcept {
    const double alpha = 0.5 * z * z;
    const double half_tt = 0.5 * t * t;
    double sum = 0.0;
    for (const auto& node : kLaguerre) {
        const double one_zeta = 1.0 + node[0] / alpha;
        // e^(t^2/2) exp(-t^2 / (2 (1 + zeta))), folded so that it cannot overflow
        const double zeta = node[0] / alpha;
        sum +=
            node[1] * 0.5 / (one_zeta * std::sqrt(one_zeta)) * std::exp(half_tt * zeta / one_zeta);
    }
    // b = v / sqrt(2 pi) e^(-z^2/2) sum / alpha and b = E * gap, E carrying e^(-(z^2+t^2)/2).
    return 2.0 * t * sum / alpha;
}

// ln b and ln E (E = db/dv) for x = -2 z t <= 0.
void log_black(double z, double t, double& log_b, double& log_e) noexcept {
    log_e = -0.5 * (z * z + t * t) - kHalfLog2Pi;
    if (z <= 3.0 && t <= 0.5) {
        log_b = log_e + std::log(mills_gap_taylor(z, t));
    } else if (z > 3.0 && t <= 0.5 * z) {
        log_b = log_e + std::log(mills_gap_laguerre(z, t));
    } else if (t <= z) {
        log_b = log_e + std::log(mills(z - t) - mills(z + t));
    } else {
        // e^(x/2) Phi(t - z) - E m(z + t)
        const double first = std::exp(-z * t) * 0.5 * std::erfc((z - t) * kInvSqrt2);
        log_b = std::log(first - std::exp(log_e) * mills(z + t));
    }
}

// ln(b_max - b) = ln(e^(x/2) Phi(z - t) + E m(z + t)) and ln E.
void log_black_gap(double z, double t, double& log_g, double& log_e) noexcept {
    log_e = -0.5 * (z * z + t * t) - kHalfLog2Pi;
    const double first = std::exp(-z * t) * 0.5 * std::erfc((t - z) * kInvSqrt2);
    log_g = std::log(first + std::exp(log_e) * mills(z + t));
}

// v with b(x, v) = beta, for x <= 0 and 0 < beta < e^(x/2).
double solve_normalised(double x, double beta) noexcept {
    const double bmax = std::exp(0.5 * x);
    const bool upper = beta > 0.5 * bmax;
    const double target = upper ? std::log(bmax - beta) : std::log(beta);
    const double ax = -x;
    double v;
    if (upper) {
        const double l = std::max(-2.0 * std::log((bmax - beta) / bmax), 1e-3);
        v = std::sqrt(2.0 * ax) + 2.0 * std::sqrt(l);
    } else if (ax > 0.0) {
        v = ax / std::sqrt(2.0 * std::max(-std::log(beta / bmax), 0.5));
    } else {
        v = beta * 2.5066282746310002;
    }
    double lo = 0.0, hi = std::numeric_limits<double>::infinity();
    for (int it = 0; it < 200; ++it) {
        const double z = ax / v;
        const double t = 0.5 * v;
        double lf, le;
        if (upper) {
            log_black_gap(z, t, lf, le);
        } else {
            log_black(z, t, lf, le);
        }
        const double f = lf - target;
        if (f == 0.0 || !std::isfinite(f)) {
            if (!std::isfinite(f)) {
                // Outside the representable range: move inside the bracket.
                const bool too_small = upper ? (f > 0.0) : (f < 0.0);
                if (too_small) {
                    lo = v;
                } else {
                    hi = v;
                }
                v = std::isfinite(hi) ? (lo > 0.0 ? std::sqrt(lo * hi) : 0.5 * hi) : 2.0 * v;
                continue;
            }
            break;
        }
        // f increases with v on the lower branch and decreases on the upper one.
        const bool below = upper ? (f > 0.0) : (f < 0.0);
        if (below) {
            lo = v;
        } else {
            hi = v;
        }
        const double slope = (upper ? -1.0 : 1.0) * std::exp(le - lf);
        double next = v - f / slope;
        if (!(next > lo && next < hi)) {
            next = std::isfinite(hi) ? (lo > 0.0 ? std::sqrt(lo * hi) : 0.5 * hi) : 2.0 * v;
        }
        if (std::fabs(next - v) <= 4.0 * std::numeric_limits<double>::epsilon() * v) {
            v = next;
            break;
        }
        v = next;
    }
    return v;
}

}  // namespace

double normalised_black_otm(double x, double v) noexcept {
    if (!(v > 0.0)) return 0.0;
    const double z = -x / v;
    double lb, le;
    log_black(z, 0.5 * v, lb, le);
    return std::exp(lb);
}

double implied_vol(double price, double s, double k, double r, double q, double tau,
                   bool call) noexcept {
    if (!(s > 0.0) || !(k > 0.0) || !(tau > 0.0) || !std::isfinite(s) || !std::isfinite(k) ||
        !std::isfinite(tau) || !std::isfinite(r) || !std::isfinite(q) || !std::isfinite(price)) {
        return kNaN;
    }
    // x = ln(F/K) = ln(s/K) + (r - q) tau, without the rounding of F: near the
    // money and at short maturities the volatility is very sensitive to x.
    const double lsk = (s >= 0.5 * k && s <= 2.0 * k) ? std::log1p((s - k) / k) : std::log(s / k);
    double x = lsk + (r - q) * tau;
    const double D = std::exp(-r * tau);
    const double sqrt_fk = std::sqrt(s) * std::sqrt(k) * std::exp(0.5 * (r - q) * tau);
    double beta = price / (D * sqrt_fk);
    if (!call) x = -x;
    if (x > 0.0) {
        const double intrinsic = 2.0 * std::sinh(0.5 * x);
        // A price within rounding of the intrinsic value is the zero-volatility price.
        if (std::fabs(beta - intrinsic) <= 4.0 * std::numeric_limits<double>::epsilon() * beta)
            return 0.0;
        beta -= intrinsic;
        x = -x;
    }
    if (beta == 0.0) return 0.0;
    if (!(beta > 0.0) || !(beta < std::exp(0.5 * x))) return kNaN;
    return solve_normalised(x, beta) / std::sqrt(tau);
}

void implied_vols(std::size_t begin, std::size_t end, const double* price, const double* s,
                  const double* k, const double* r, const double* q, const double* tau,
                  const double* option_type, double* out) {
    parallel_for(begin, end, 64, orvelta::run_parallel(end - begin), [&](std::size_t j) {
        out[j] = std::isnan(option_type[j])
                     ? kNaN
                     : implied_vol(price[j], s[j], k[j], r[j], q[j], tau[j], option_type[j] > 0.0);
    });
}

}  // namespace orvelta::european
