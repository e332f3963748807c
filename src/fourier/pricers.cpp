// The three Fourier pricers: Carr-Madan FFT on a log-strike grid, Gil-Pelaez
// direct integration and the COS expansion. They know no model; every model
// enters through characteristic_function.
#include "fourier/fourier.hpp"

#include "common/constants.hpp"
#include "common/interrupt.hpp"
#include "common/memory.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

namespace orvelta::fourier {

namespace {

constexpr double kTwoPi = 6.283185307179586;

// Units of work (characteristic-function evaluations, butterflies, strike
// updates) between two interrupt polls: well under a millisecond.
constexpr std::int64_t kPollWork = 4096;

// True when the inputs shared by every option of a call are finite: the
// scalars and every model parameter. A NaN or infinite market input has no
// price; the pricers return NaN for it rather than let a floor, clamp or
// comparison turn it into a plausible number.
bool finite_inputs(const std::vector<double>& params, double s, double r, double q) noexcept {
    if (!(std::isfinite(s) && std::isfinite(r) && std::isfinite(q))) return false;
    for (const double p : params) {
        if (!std::isfinite(p)) return false;
    }
    return true;
}

// e^(-i pi) as the m = 2 stage factor: sincos(-pi) rounded.
const cplx kHalfTurn{-1.0, -1.2246467991473532e-16};

// max(x, 0) that lets a NaN through.
inline double floor_zero(double x) noexcept { return x < 0.0 ? 0.0 : x; }

// exp(i * x) for real x.
inline cplx unit(double x) noexcept { return std::exp(cplx(0.0, x)); }

// In-place forward transform X_m = sum_j x_j e^(-2 pi i j m / N), unscaled, by
// iterative radix-2 decimation in time; N is a power of two.
void fft_forward(cplx* x, std::int64_t N, InterruptPacer& pacer) {
    std::int64_t rev = 0;
    for (std::int64_t i = 1; i < N; ++i) {
        std::int64_t bit = N >> 1;
        while (rev & bit) {
            rev ^= bit;
            bit >>= 1;
        }
        rev |= bit;
        if (i < rev) std::swap(x[i], x[rev]);
    }
    for (std::int64_t m = 2; m <= N; m <<= 1) {
        cplx wm = kHalfTurn;
        if (m > 2) {
            double sn = 0.0;
            double cs = 0.0;
            ::sincos(-kTwoPi / static_cast<double>(m), &sn, &cs);
            wm = cplx(cs, sn);
        }
        const std::int64_t half = m >> 1;
        for (std::int64_t b = 0; b < N; b += m) {
            cplx w(1.0, 0.0);
            for (std::int64_t t = 0; t < half; ++t) {
                const cplx p = w * x[b + t + half];
                x[b + t + half] = x[b + t] - p;
                x[b + t] = x[b + t] + p;
                w = w * wm;
            }
            pacer.tick(half);
        }
    }
}

// Call from the two exercise probabilities, floored at 0, then the put by
// parity from the floored call (the put is not floored).
inline double parity_price(double call, double s_disc, double k, double r_disc,
                           bool is_call) noexcept {
    call = floor_zero(call);
    return is_call ? call : call - s_disc + k * r_disc;
}

// Variance rate of ln S_T used to size the COS interval: the model's
// diffusion variance (mean Heston variance over the option's life) plus the
// jump variance, with the characteristic function's defaults for missing
// entries (model 4 included).
double cos_variance_rate(int model_id, const std::vector<double>& p, double tau) noexcept {
    const auto n = p.size();
    auto get = [&](std::size_t j, double fallback) { return j < n ? p[j] : fallback; };
    auto jump_term = [&](std::size_t base) {
        double lambda = get(base, 0.3);
        if (!(lambda >= 0.0)) lambda = 0.0;
        const double mu_j = get(base + 1, -0.05);
        const double delta_j = get(base + 2, 0.2);
        const double dd = delta_j >= 1e-10 ? delta_j * delta_j : 1e-20;
        return lambda * (mu_j * mu_j + dd);
    };
    switch (model_id) {
        case kMerton: {
            const double sigma = get(0, 0.2);
            return sigma * sigma + jump_term(1);
        }
        case kVarianceGamma: {
            const double sigma = get(0, 0.2);
            const double theta = get(1, -0.08);
            const double nu = get(2, 0.2);
            return sigma * sigma + theta * theta * std::max(nu, 1e-10);
        }
        case kHeston:
        case kBates: {
            const double v = std::max(get(0, 0.04), 1e-10);
            const double k = std::max(get(1, 2.0), 1e-10);
            const double th = std::max(get(2, 0.04), 1e-10);
            const double kt = k * tau;
            const double D = kt >= 1e-10 ? kt : 1e-10;
            double w = th + (v - th) * (1.0 - std::exp(-k * tau)) / D;
            if (model_id == kBates) w += jump_term(5);
            return w;
        }
        default: {
            const double sigma = get(0, 0.2);
            return sigma * sigma;
        }
    }
}

}  // namespace

std::int64_t fft_grid_size(int n) {
    if (n > kMaxFftPoints) throw std::runtime_error("n must be at most 1073741824");
    const std::int64_t target = std::max<std::int64_t>(n, 16);
    std::int64_t N = 2;
    while (N < target) N *= 2;
    return N;
}

void fft_prices(int model_id, const std::vector<double>& params, double s, double r, double q,
                double tau, double alpha, int n, double eta, int option_type, double* strikes,
                double* prices) {
    const std::int64_t N = fft_grid_size(n);
    const double Nd = static_cast<double>(N);
    const double lambda = kTwoPi / (Nd * eta);
    const double k0 = std::log(s) - Nd * lambda / 2.0;
    if (!finite_inputs(params, s, r, q) || !std::isfinite(tau)) {
        for (std::int64_t m = 0; m < N; ++m) {
            strikes[m] = std::exp(static_cast<double>(m) * lambda + k0);
            prices[m] = kNaN;
        }
        return;
    }
    require_memory("fft_prices", bytes_of(Nd, sizeof(cplx)));
    // Storage left unconstructed: the fill loop below writes every element,
    // so for a large grid the first touch of its pages happens in that loop,
    // which polls for interrupts, rather than in an uninterruptible zero fill.
    struct Release {
        void operator()(cplx* p) const noexcept { std::allocator<cplx>().deallocate(p, n); }
        std::size_t n;
    };
    const auto points = static_cast<std::size_t>(N);
    const std::unique_ptr<cplx, Release> buffer(std::allocator<cplx>().allocate(points),
                                                Release{points});
    cplx* const x = buffer.get();
    InterruptPacer pacer(kPollWork);

    // Damped call transform psi(v) on the frequency grid, with the phase that
    // moves the log-strike grid to k0 and the trapezoid weights.
    const double disc = std::exp(-r * tau);
    const double shift = alpha + 1.0;
    const double imag_coef = 2.0 * alpha + 1.0;
    for (std::int64_t j = 0; j < N; ++j) {
        const double v = static_cast<double>(j) * eta;
        const cplx phi = characteristic_function(model_id, params, cplx(v, -shift), s, r, q, tau);
        const cplx denom(alpha * alpha + alpha - v * v, imag_coef * v);
        const cplx psi = disc * phi / denom;
        cplx xj = unit(-v * k0) * psi * eta;
        if (j == 0) xj = xj * 0.5;
        new (x + j) cplx(xj);
        pacer.tick();
    }

    fft_forward(x, N, pacer);

    const bool is_call = option_type >= 1;
    const double s_disc = s * std::exp(-q * tau);
    const double r_disc = std::exp(-r * tau);
    for (std::int64_t m = 0; m < N; ++m) {
        const double km = static_cast<double>(m) * lambda + k0;
        const double strike = std::exp(km);
        strikes[m] = strike;
        const double call = std::exp(-alpha * km) * x[static_cast<std::size_t>(m)].real() / kPi;
        prices[m] = parity_price(call, s_disc, strike, r_disc, is_call);
        pacer.tick();
    }
}

void direct_prices(int model_id, const std::vector<double>& params, std::size_t count,
                   const double* strikes, const double* tau, double s, double r, double q,
                   int n_terms, double u_max, int option_type, double* out) {
    if (count == 0) return;
    if (!finite_inputs(params, s, r, q)) {
        std::fill(out, out + count, kNaN);
        return;
    }
    const int M = std::max(n_terms, 64);
    const double U = u_max > 10.0 ? u_max : 10.0;
    const double du = U / static_cast<double>(M);
    const double weight = du / kPi;
    const bool is_call = option_type >= 1;
    const cplx minus_i(0.0, -1.0);
    InterruptPacer pacer(kPollWork);

    // One maturity for all when every one lies within 1e-13 of the first; a
    // non-finite maturity never does.
    bool shared = std::isfinite(tau[0]);
    for (std::size_t m = 1; m < count && shared; ++m) {
        if (!(std::fabs(tau[m] - tau[0]) <= 1e-13)) shared = false;
    }

    if (!shared) {
        for (std::size_t m = 0; m < count; ++m) {
            const double K = strikes[m];
            const double T = tau[m];
            pacer.tick();
            if (!(std::isfinite(K) && std::isfinite(T))) {
                out[m] = kNaN;
                continue;
            }
            const double lnK = std::log(K);
            const cplx F = characteristic_function(model_id, params, minus_i, s, r, q, T);
            double P1 = 0.5;
            double P2 = 0.5;
            for (int j = 1; j <= M; ++j) {
                const double u = (static_cast<double>(j) - 0.5) * du;
                const cplx e = unit(-u * lnK);
                const cplx iu(0.0, u);
                const cplx phi1 =
                    characteristic_function(model_id, params, cplx(u, -1.0), s, r, q, T);
                const cplx phi2 =
                    characteristic_function(model_id, params, cplx(u, 0.0), s, r, q, T);
                P1 += weight * (e * phi1 / (iu * F)).real();
                P2 += weight * (e * phi2 / iu).real();
                pacer.tick(2);
            }
            const double call = s * std::exp(-q * T) * P1 - K * std::exp(-r * T) * P2;
            out[m] = parity_price(call, s * std::exp(-q * T), K, std::exp(-r * T), is_call);
        }
        return;
    }

    // One maturity for all options: each node's two integrands are evaluated
    // once and only the strike phase varies per option.
    const double T = tau[0];
    const cplx F = characteristic_function(model_id, params, minus_i, s, r, q, T);
    require_memory("direct_prices", bytes_of(3.0 * static_cast<double>(count), sizeof(double)));
    std::vector<double> P1(count, 0.5);
    std::vector<double> P2(count, 0.5);
    std::vector<double> lnK(count);
    for (std::size_t m = 0; m < count; ++m) lnK[m] = std::log(strikes[m]);
    for (int j = 1; j <= M; ++j) {
        const double u = (static_cast<double>(j) - 0.5) * du;
        const cplx iu(0.0, u);
        const cplx A =
            characteristic_function(model_id, params, cplx(u, -1.0), s, r, q, T) / (iu * F);
        const cplx B = characteristic_function(model_id, params, cplx(u, 0.0), s, r, q, T) / iu;
        for (std::size_t m = 0; m < count; ++m) {
            const cplx e = unit(-u * lnK[m]);
            P1[m] += weight * (A * e).real();
            P2[m] += weight * (B * e).real();
        }
        pacer.tick(2 + static_cast<std::int64_t>(count));
    }
    const double q_disc = std::exp(-q * T);
    const double r_disc = std::exp(-r * T);
    for (std::size_t m = 0; m < count; ++m) {
        const double K = strikes[m];
        const double call = s * q_disc * P1[m] - K * r_disc * P2[m];
        out[m] = std::isfinite(K) ? parity_price(call, s * q_disc, K, r_disc, is_call) : kNaN;
    }
}

namespace {

// Cosine-series integrals (chi_k, psi_k) of exp(y) and 1 over [c, d] inside the
// expansion interval [a, b], given ec = e^c and ed = e^d (constant per option,
// so the COS loop evaluates them once rather than once per term).
std::pair<double, double> cos_chi_psi(int k, double a, double b, double c, double d, double ec,
                                      double ed) noexcept {
    if (k == 0) return {ed - ec, d - c};
    const double w = static_cast<double>(k) * kPi / (b - a);
    double sd = 0.0;
    double cd = 0.0;
    double sc = 0.0;
    double cc = 0.0;
    ::sincos(w * (d - a), &sd, &cd);
    ::sincos(w * (c - a), &sc, &cc);
    const double chi = (cd * ed - cc * ec + w * (sd * ed - sc * ec)) / (1.0 + w * w);
    const double psi = (sd - sc) / w;
    return {chi, psi};
}

}  // namespace

void cos_prices(int model_id, const std::vector<double>& params, std::size_t count,
                const double* strikes, const double* tau, double s, double r, double q, int n_terms,
                double truncation_width, int option_type, double* out) {
    if (!finite_inputs(params, s, r, q)) {
        std::fill(out, out + count, kNaN);
        return;
    }
    const int N = std::max(n_terms, 8);
    const bool is_call = option_type >= 1;
    InterruptPacer pacer(kPollWork);
    for (std::size_t m = 0; m < count; ++m) {
        const double K = strikes[m];
        const double T = tau[m];
        if (!(std::isfinite(K) && std::isfinite(T))) {
            out[m] = kNaN;
            pacer.tick();
            continue;
        }
        // Interval for y = ln(S_T / K): centred on the forward log-moneyness,
        // half-width from the model's variance over the option's life.
        double w = cos_variance_rate(model_id, params, T);
        if (w < 1e-10) w = 1e-10;
        const double c2 = std::max(1e-10, w * T);
        const double c1 = std::log(s / K) + (r - q) * T;
        const double L = std::max(0.35, truncation_width * std::sqrt(c2) + 0.1 * std::fabs(c1));
        const double a = c1 - L;
        const double b = c1 + L;
        const double width = b - a;
        const double lnK = std::log(K);
        // The payoff's sub-interval: [max(a, 0), b] for a call, [a, min(b, 0)] for a put.
        const double lo = is_call ? (a > 0.0 ? a : 0.0) : a;
        const double hi = is_call ? b : (b < 0.0 ? b : 0.0);
        const bool empty = is_call ? lo >= b : a >= hi;
        const double e_lo = std::exp(lo);
        const double e_hi = std::exp(hi);

        double sum = 0.0;
        for (int k = 0; k < N; ++k) {
            const double u = static_cast<double>(k) * kPi / width;
            // Characteristic function of ln(S_T / K), then the phase of the
            // interval's left end.
            const cplx f = unit(-u * lnK) *
                           characteristic_function(model_id, params, cplx(u, 0.0), s, r, q, T);
            const double t = (f * unit(-u * a)).real();
            double V = 0.0;
            if (!empty) {
                const auto [chi, psi] = cos_chi_psi(k, a, b, lo, hi, e_lo, e_hi);
                V = is_call ? 2.0 * K * (chi - psi) / width : 2.0 * K * (psi - chi) / width;
            }
            sum += k == 0 ? 0.5 * V * t : V * t;
            pacer.tick();
        }
        out[m] = floor_zero(std::exp(-r * T) * sum);
    }
}

}  // namespace orvelta::fourier
