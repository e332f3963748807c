#include "american/american.hpp"

#include "american/dual.hpp"
#include "common/black_scholes.hpp"
#include "common/interrupt.hpp"
#include "common/threads.hpp"
#include "european/european.hpp"
#include "european/vmath.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <immintrin.h>
#include <limits>
#include <type_traits>
#include <vector>

namespace orvelta::american {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPi = 3.141592653589793;
// Above this r / sigma^2 the boundary iteration switches equations.
constexpr double kSlowRatio = 2.0;
constexpr double kSlowRatioLong = 1.0;
// Maturities (years) below which a capped boundary uses the value-matching form.
constexpr double kShortCapped = 0.1;
// Maturities (years) below which the value-matching sweeps may run four
// times their usual number.
constexpr double kShortSlow = 0.05;
// Node counts from which a capped boundary always uses the value-matching form.
constexpr int kFineNodes = 64;
// Maturities (years) beyond which the settings of a tolerance are those of a
// ten times smaller one.
constexpr double kLongMaturity = 2.0;

// ---------------------------------------------------------- vector exp

// out[i] = e^x[i] for i < n, x[i] clamped to [-700, 700] first (below -700 the
// result, under 1e-304, only ever scales terms of a sum that are negligible
// beside its others). Without the special cases the loop has no lane masks,
// so it runs as straight vector code; the operations and their order are the
// same in every lane at every width, so all clones give the same bits.
namespace vm = orvelta::european::vm;

constexpr double kExpLo = -700.0;
constexpr double kExpHi = 700.0;

template <class D>
inline __attribute__((always_inline)) D exp_kernel(D x) noexcept {
    using L = vm::mask_of<D>;
    const D t = x * 1.4426950408889634 + vm::kRound;
    const D k = t - vm::kRound;
    const D r = (x - k * vm::kLn2Hi) - k * vm::kLn2Lo;
    // Taylor polynomial to degree 13 on |r| <= ln(2) / 2.
    D p = vm::splat<D>(1.0 / 6227020800.0);
    p = p * r + 1.0 / 479001600.0;
    p = p * r + 1.0 / 39916800.0;
    p = p * r + 1.0 / 3628800.0;
    p = p * r + 1.0 / 362880.0;
    p = p * r + 1.0 / 40320.0;
    p = p * r + 1.0 / 5040.0;
    p = p * r + 1.0 / 720.0;
    p = p * r + 1.0 / 120.0;
    p = p * r + 1.0 / 24.0;
    p = p * r + 1.0 / 6.0;
    p = p * r + 0.5;
    p = p * r + 1.0;
    p = p * r + 1.0;
    const L ni = vm::bits<L>(t) - vm::bits<L>(vm::splat<D>(vm::kRound));
    return p * vm::bits<D>((ni + 1023) << 52);
}

__attribute__((target("avx512f,avx512dq"), noinline)) void exp_array_avx512(const double* x, int n,
                                                                             double* out) noexcept {
    const __m512d lo = _mm512_set1_pd(kExpLo), hi = _mm512_set1_pd(kExpHi);
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m512d v = _mm512_min_pd(_mm512_max_pd(_mm512_loadu_pd(x + i), lo), hi);
        _mm512_storeu_pd(out + i, (__m512d)exp_kernel<vm::v8d>((vm::v8d)v));
    }
    if (i < n) {
        const __mmask8 m = static_cast<__mmask8>((1u << (n - i)) - 1u);
        const __m512d v = _mm512_min_pd(_mm512_max_pd(_mm512_maskz_loadu_pd(m, x + i), lo), hi);
        _mm512_mask_storeu_pd(out + i, m, (__m512d)exp_kernel<vm::v8d>((vm::v8d)v));
    }
}

__attribute__((target("avx2"), noinline)) void exp_array_avx2(const double* x, int n,
                                                               double* out) noexcept {
    const __m256d lo = _mm256_set1_pd(kExpLo), hi = _mm256_set1_pd(kExpHi);
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d v = _mm256_min_pd(_mm256_max_pd(_mm256_loadu_pd(x + i), lo), hi);
        _mm256_storeu_pd(out + i, (__m256d)exp_kernel<vm::v4d>((vm::v4d)v));
    }
    if (i < n) {
        alignas(32) double tail[4] = {0.0, 0.0, 0.0, 0.0};
        for (int j = i; j < n; ++j) tail[j - i] = x[j];
        const __m256d v = _mm256_min_pd(_mm256_max_pd(_mm256_load_pd(tail), lo), hi);
        _mm256_store_pd(tail, (__m256d)exp_kernel<vm::v4d>((vm::v4d)v));
        for (int j = i; j < n; ++j) out[j] = tail[j - i];
    }
}

// Baseline x86-64: the same kernel a lane set at a time.
void exp_array_baseline(const double* x, int n, double* out) noexcept {
    for (int i = 0; i < n; i += 4) {
        vm::v4d v = vm::splat<vm::v4d>(0.0);
        const int m = std::min(4, n - i);
        for (int j = 0; j < m; ++j) v[j] = std::min(std::max(x[i + j], kExpLo), kExpHi);
        const vm::v4d e = exp_kernel<vm::v4d>(v);
        for (int j = 0; j < m; ++j) out[i + j] = e[j];
    }
}

void exp_array(const double* x, int n, double* out) noexcept {
    static const int width = [] {
        __builtin_cpu_init();
        if (vm::widest_lanes() == 8) return 8;
        return __builtin_cpu_supports("avx2") ? 4 : 0;
    }();
    if (width == 8) {
        exp_array_avx512(x, n, out);
    } else if (width == 4) {
        exp_array_avx2(x, n, out);
    } else {
        exp_array_baseline(x, n, out);
    }
}

// ------------------------------------------------- vector normal distribution

// out[i] = N(x[i]) = erfc(-x[i] / sqrt(2)) / 2 for i < n. With a = |z|,
// erfc(a) = e^{-a^2} g(Z) / (4 + a), Z = (4 - a) / (4 + a), where g is a
// 24-term Chebyshev series (scripts/erfc-coefficients); relative error a few
// ulps for a below 6, absolute error under 1e-300 beyond. Above a = 26.45
// (erfc there is below 1e-305) erfc is taken as 0, which keeps the
// exponential in range; z < 0 takes 2 - erfc(a). As for exp_array, every width performs the same
// operations in the same order and gives the same bits.
constexpr double kErfcCoef[24] = {
    1.6320978781965259,
    1.5054329427054698,
    0.5903214182888945,
    0.19828527172011035,
    0.0569084302284687,
    0.013773973050870096,
    0.002729016733135232,
    0.00041361807903024755,
    3.89141838079606e-05,
    -4.795485503364818e-07,
    -8.699107081379825e-07,
    -1.2116707094396558e-07,
    3.79196702608182e-09,
    3.4533646779963824e-09,
    2.748862570381361e-10,
    -6.813959375318511e-11,
    -1.3568522747316355e-11,
    1.0463235067416098e-12,
    4.851070321243456e-13,
    -8.458758172979236e-15,
    -1.6469363733616713e-14,
    -2.5314850886802834e-16,
    5.757244393379938e-16,
    1.8245979193136522e-17,
};
constexpr double kErfcCap = 26.45;

// erfc(a) / 2 for 0 <= a <= kErfcCap (NaN stays NaN).
template <class D>
inline __attribute__((always_inline)) D half_erfc_kernel(D a) noexcept {
    const D inv = 1.0 / (a + 4.0);
    const D z = (4.0 - a) * inv;
    const D z2 = 2.0 * z;
    D b1 = vm::splat<D>(0.0), b2 = vm::splat<D>(0.0);
    for (int j = 23; j >= 1; --j) {
        // c - b2 is off the chain through b1, which then costs one product and one sum.
        const D b0 = (kErfcCoef[j] - b2) + z2 * b1;
        b2 = b1;
        b1 = b0;
    }
    const D g = kErfcCoef[0] + z * b1 - b2;
    return 0.5 * ((exp_kernel<D>(-(a * a)) * g) * inv);
}

__attribute__((target("avx512f,avx512dq"), always_inline)) inline __m512d ncdf_lanes8(__m512d v) noexcept {
    const __m512d cap = _mm512_set1_pd(kErfcCap);
    const __m512d z = _mm512_mul_pd(v, _mm512_set1_pd(-0.7071067811865476));
    const __m512d az = _mm512_andnot_pd(_mm512_set1_pd(-0.0), z);
    const __m512d a = _mm512_min_pd(cap, az);
    const __mmask8 far = _mm512_cmp_pd_mask(az, cap, _CMP_GT_OQ);
    const __m512d h =
        _mm512_mask_blend_pd(far, (__m512d)half_erfc_kernel<vm::v8d>((vm::v8d)a), _mm512_setzero_pd());
    const __mmask8 neg = _mm512_cmp_pd_mask(z, _mm512_setzero_pd(), _CMP_LT_OQ);
    return _mm512_mask_blend_pd(neg, h, _mm512_sub_pd(_mm512_set1_pd(1.0), h));
}

__attribute__((target("avx512f,avx512dq"), noinline)) void ncdf_array_avx512(const double* x, int n,
                                                                              double* out) noexcept {
    int i = 0;
    for (; i + 8 <= n; i += 8) _mm512_storeu_pd(out + i, ncdf_lanes8(_mm512_loadu_pd(x + i)));
    if (i < n) {
        const __mmask8 m = static_cast<__mmask8>((1u << (n - i)) - 1u);
        _mm512_mask_storeu_pd(out + i, m, ncdf_lanes8(_mm512_maskz_loadu_pd(m, x + i)));
    }
}

__attribute__((target("avx2"), always_inline)) inline __m256d ncdf_lanes4(__m256d v) noexcept {
    const __m256d cap = _mm256_set1_pd(kErfcCap);
    const __m256d z = _mm256_mul_pd(v, _mm256_set1_pd(-0.7071067811865476));
    const __m256d az = _mm256_andnot_pd(_mm256_set1_pd(-0.0), z);
    const __m256d a = _mm256_min_pd(cap, az);
    const __m256d far = _mm256_cmp_pd(az, cap, _CMP_GT_OQ);
    const __m256d h =
        _mm256_blendv_pd((__m256d)half_erfc_kernel<vm::v4d>((vm::v4d)a), _mm256_setzero_pd(), far);
    const __m256d neg = _mm256_cmp_pd(z, _mm256_setzero_pd(), _CMP_LT_OQ);
    return _mm256_blendv_pd(h, _mm256_sub_pd(_mm256_set1_pd(1.0), h), neg);
}

__attribute__((target("avx2"), noinline)) void ncdf_array_avx2(const double* x, int n,
                                                                double* out) noexcept {
    int i = 0;
    for (; i + 4 <= n; i += 4) _mm256_storeu_pd(out + i, ncdf_lanes4(_mm256_loadu_pd(x + i)));
    if (i < n) {
        alignas(32) double tail[4] = {0.0, 0.0, 0.0, 0.0};
        for (int j = i; j < n; ++j) tail[j - i] = x[j];
        _mm256_store_pd(tail, ncdf_lanes4(_mm256_load_pd(tail)));
        for (int j = i; j < n; ++j) out[j] = tail[j - i];
    }
}

void ncdf_array_baseline(const double* x, int n, double* out) noexcept {
    for (int i = 0; i < n; i += 4) {
        vm::v4d a = vm::splat<vm::v4d>(0.0);
        double z[4] = {0.0, 0.0, 0.0, 0.0};
        const int m = std::min(4, n - i);
        for (int j = 0; j < m; ++j) {
            z[j] = x[i + j] * -0.7071067811865476;
            const double az = std::fabs(z[j]);
            a[j] = az > kErfcCap ? kErfcCap : az;  // NaN stays NaN
        }
        const vm::v4d h = half_erfc_kernel<vm::v4d>(a);
        for (int j = 0; j < m; ++j) {
            const double hj = std::fabs(z[j]) > kErfcCap ? 0.0 : h[j];
            out[i + j] = z[j] < 0.0 ? 1.0 - hj : hj;
        }
    }
}

void ncdf_array(const double* x, int n, double* out) noexcept {
    static const int width = [] {
        __builtin_cpu_init();
        if (vm::widest_lanes() == 8) return 8;
        return __builtin_cpu_supports("avx2") ? 4 : 0;
    }();
    if (width == 8) {
        ncdf_array_avx512(x, n, out);
    } else if (width == 4) {
        ncdf_array_avx2(x, n, out);
    } else {
        ncdf_array_baseline(x, n, out);
    }
}

// h[p] = sum_j coef[j] T_j(x[p]) for p < count (first and last coefficients
// already halved) by the Clenshaw recurrence, four vector registers of points
// at a time. Per point the operations and their order are those of the
// scalar recurrence in Boundary::ln_b, at every width.
template <class D>
inline __attribute__((always_inline)) void clenshaw_lanes(const double* coef, int n, const double* x,
                                                          int count, double* h) noexcept {
    constexpr int W = vm::lanes<D>;
    constexpr int kRegs = 4;
    constexpr int kStep = kRegs * W;
    for (int p0 = 0; p0 < count; p0 += kStep) {
        const int m = std::min(kStep, count - p0);
        alignas(64) double xs[kStep];
        for (int p = 0; p < kStep; ++p) xs[p] = x[p0 + (p < m ? p : m - 1)];
        D xv[kRegs], x2[kRegs], b1[kRegs], b2[kRegs];
        for (int v = 0; v < kRegs; ++v) {
            std::memcpy(&xv[v], xs + v * W, sizeof(D));
            x2[v] = 2.0 * xv[v];
            b1[v] = vm::splat<D>(0.0);
            b2[v] = vm::splat<D>(0.0);
        }
        for (int j = n; j >= 1; --j) {
            const double c = coef[j];
            for (int v = 0; v < kRegs; ++v) {
                const D b0 = c + x2[v] * b1[v] - b2[v];
                b2[v] = b1[v];
                b1[v] = b0;
            }
        }
        alignas(64) double out[kStep];
        for (int v = 0; v < kRegs; ++v) {
            const D hv = coef[0] + xv[v] * b1[v] - b2[v];
            std::memcpy(out + v * W, &hv, sizeof(D));
        }
        for (int p = 0; p < m; ++p) h[p0 + p] = out[p];
    }
}

__attribute__((target("avx512f,avx512dq"), noinline)) void clenshaw_avx512(
    const double* coef, int n, const double* x, int count, double* h) noexcept {
    clenshaw_lanes<vm::v8d>(coef, n, x, count, h);
}

__attribute__((target("avx2"), noinline)) void clenshaw_avx2(const double* coef, int n,
                                                              const double* x, int count,
                                                              double* h) noexcept {
    clenshaw_lanes<vm::v4d>(coef, n, x, count, h);
}

void clenshaw_array(const double* coef, int n, const double* x, int count, double* h) noexcept {
    static const int width = [] {
        __builtin_cpu_init();
        if (vm::widest_lanes() == 8) return 8;
        return __builtin_cpu_supports("avx2") ? 4 : 0;
    }();
    if (width == 8) {
        clenshaw_avx512(coef, n, x, count, h);
    } else if (width == 4) {
        clenshaw_avx2(coef, n, x, count, h);
    } else {
        clenshaw_lanes<vm::v4d>(coef, n, x, count, h);
    }
}

// The same two passes for either scalar type. With derivative directions the
// values go through the vector pass unchanged (so a price and its Greeks
// share their bits) and the derivatives follow by the chain rule; the
// Clenshaw sum is linear in the coefficients, so each direction is the sum
// over that direction's coefficients.
inline void exp_many(const double* x, int n, double* out) noexcept { exp_array(x, n, out); }

template <int N>
void exp_many(const Dual<N>* x, int n, Dual<N>* out) {
    static thread_local std::vector<double> e;
    if (e.size() < static_cast<std::size_t>(n)) e.resize(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) e[i] = x[i].v;
    exp_array(e.data(), n, e.data());
    for (int i = 0; i < n; ++i) out[i] = chain(x[i], e[i], e[i]);
}

inline void ncdf_many(const double* x, int n, double* out) noexcept { ncdf_array(x, n, out); }

template <int N>
void ncdf_many(const Dual<N>* x, int n, Dual<N>* out) {
    static thread_local std::vector<double> c, e;
    if (c.size() < static_cast<std::size_t>(n)) {
        c.resize(static_cast<std::size_t>(n));
        e.resize(static_cast<std::size_t>(n));
    }
    for (int i = 0; i < n; ++i) {
        c[i] = x[i].v;
        e[i] = -0.5 * (x[i].v * x[i].v);
    }
    ncdf_array(c.data(), n, c.data());
    exp_array(e.data(), n, e.data());
    for (int i = 0; i < n; ++i) out[i] = chain(x[i], c[i], kInvSqrt2Pi * e[i]);
}

inline void clenshaw_many(const double* coef, int n, const double* x, int count, double* h) noexcept {
    clenshaw_array(coef, n, x, count, h);
}

template <int N>
void clenshaw_many(const Dual<N>* coef, int n, const double* x, int count, Dual<N>* h) {
    static thread_local std::vector<double> part;
    if (part.size() < static_cast<std::size_t>(count)) part.resize(static_cast<std::size_t>(count));
    double c[kMaxNodes + 1];
    for (int dir = -1; dir < N; ++dir) {
        for (int j = 0; j <= n; ++j) c[j] = dir < 0 ? coef[j].v : coef[j].d[dir];
        clenshaw_array(c, n, x, count, part.data());
        for (int p = 0; p < count; ++p) {
            if (dir < 0) {
                h[p] = Dual<N>(part[p]);
            } else {
                h[p].d[dir] = part[p];
            }
        }
    }
}

// ------------------------------------------------------------------ tables

// Gauss-Legendre nodes and weights on [-1, 1] for every order 1..kMaxQuad.
struct GaussLegendre {
    double x[kMaxQuad + 1][kMaxQuad];
    double w[kMaxQuad + 1][kMaxQuad];
    // For the substitution u = tau sin^2(theta), theta = pi (1 + x) / 4:
    // sin(theta), cos(theta) and the weight pi w sin(theta) / 2.
    double sn[kMaxQuad + 1][kMaxQuad];
    double cs[kMaxQuad + 1][kMaxQuad];
    double ws[kMaxQuad + 1][kMaxQuad];
    GaussLegendre() {
        for (int l = 1; l <= kMaxQuad; ++l) {
            for (int i = 0; i < l; ++i) {
                double z = std::cos(kPi * (i + 0.75) / (l + 0.5));
                double dp = 1.0;
                for (int it = 0; it < 100; ++it) {
                    double p0 = 1.0, p1 = z;
                    for (int j = 2; j <= l; ++j) {
                        const double p2 = ((2.0 * j - 1.0) * z * p1 - (j - 1.0) * p0) / j;
                        p0 = p1;
                        p1 = p2;
                    }
                    if (l == 1) p0 = 1.0;
                    dp = l * (z * p1 - p0) / (z * z - 1.0);
                    const double step = p1 / dp;
                    z -= step;
                    if (std::fabs(step) < 1e-16) break;
                }
                // Recompute the derivative at the converged node for the weight.
                double p0 = 1.0, p1 = z;
                for (int j = 2; j <= l; ++j) {
                    const double p2 = ((2.0 * j - 1.0) * z * p1 - (j - 1.0) * p0) / j;
                    p0 = p1;
                    p1 = p2;
                }
                dp = l * (z * p1 - p0) / (z * z - 1.0);
                x[l][i] = z;
                w[l][i] = 2.0 / ((1.0 - z * z) * dp * dp);
                const double theta = 0.25 * kPi * (1.0 + z);
                sn[l][i] = std::sin(theta);
                cs[l][i] = std::cos(theta);
                ws[l][i] = 0.5 * kPi * w[l][i] * sn[l][i];
            }
        }
    }
};

const GaussLegendre& gauss_legendre() {
    static const GaussLegendre table;
    return table;
}

// cos(m pi / n) for m = 0 .. 2n - 1, per degree n (Chebyshev-Lobatto points
// and the discrete cosine transform that gives the coefficients).
struct ChebyshevCosines {
    double c[kMaxNodes + 1][2 * kMaxNodes];
    ChebyshevCosines() {
        for (int n = 1; n <= kMaxNodes; ++n)
            for (int m = 0; m < 2 * n; ++m) c[n][m] = std::cos(kPi * m / n);
    }
};

const ChebyshevCosines& chebyshev_cosines() {
    static const ChebyshevCosines table;
    return table;
}

// Tanh-sinh rule on [0, 1] per level (step h = 2^-level, |k h| <= 3.5): the
// abscissa a and its complement 1 - a, both accurate near their endpoint.
constexpr int kMaxPremiumPoints = 2 * 112 + 1;

struct TanhSinh {
    static constexpr int kMaxPoints = kMaxPremiumPoints;
    int count[kMaxPremiumLevel + 1];
    double a[kMaxPremiumLevel + 1][kMaxPoints];
    double ca[kMaxPremiumLevel + 1][kMaxPoints];
    double w[kMaxPremiumLevel + 1][kMaxPoints];
    TanhSinh() {
        for (int level = 0; level <= kMaxPremiumLevel; ++level) {
            const double h = std::ldexp(1.0, -level);
            const int kmax = static_cast<int>(3.5 / h);
            int c = 0;
            for (int k = -kmax; k <= kmax; ++k) {
                const double t = k * h;
                const double u = 0.5 * kPi * std::sinh(t);
                // x = tanh(u); (1 + x) / 2 = 1 / (1 + e^{-2u}); (1 - x) / 2 = 1 / (1 + e^{2u}).
                a[level][c] = 1.0 / (1.0 + std::exp(-2.0 * u));
                ca[level][c] = 1.0 / (1.0 + std::exp(2.0 * u));
                const double ch = std::cosh(u);
                w[level][c] = 0.5 * h * 0.5 * kPi * std::cosh(t) / (ch * ch);
                ++c;
            }
            count[level] = c;
        }
    }
};

const TanhSinh& tanh_sinh() {
    static const TanhSinh table;
    return table;
}

// ------------------------------------------------------------------ put core

// A put on strike k with time to expiry tau; r, q and sigma carry the
// derivative directions of the scalar type T.
template <class T>
struct Put {
    double k;
    double tau;
    T r, q, sigma;
};

// The boundary B(u), u in [0, tau], as H(z) = ln(B / X)^2 interpolated by a
// Chebyshev polynomial in z = sqrt(u) on [0, sqrt(tau)]; X = B(0+).
template <class T>
struct Boundary {
    int n = 0;
    T ln_x;
    T coef[kMaxNodes + 1];  // first and last already halved

    // ln B at Chebyshev argument x = 2 sqrt(u) / sqrt(tau) - 1.
    T ln_b(double x) const {
        T b1 = 0.0, b2 = 0.0;
        for (int j = n; j >= 1; --j) {
            const T b0 = coef[j] + (2.0 * x) * b1 - b2;
            b2 = b1;
            b1 = b0;
        }
        const T h = coef[0] + x * b1 - b2;
        if (!(value(h) > 0.0)) return ln_x;
        return ln_x - sqrt(h);
    }

    // ln B at `count` arguments at once: the same recurrence as ln_b, run
    // across the points so that it vectorises (per point the operations and
    // their order are those of ln_b).
    void ln_b_many(const double* x, int count, T* out) const {
        clenshaw_many(coef, n, x, count, out);
        for (int p = 0; p < count; ++p) out[p] = value(out[p]) > 0.0 ? ln_x - sqrt(out[p]) : ln_x;
    }
};

// Work space of one boundary fit, per thread.
template <class T>
struct FitWork {
    std::vector<double> s;      // sqrt(tau_i - u) per quadrature point
    std::vector<double> xu;     // Chebyshev argument of u per quadrature point
    std::vector<T> weq;         // Gauss weight times e^{-q (tau_i - u)}
    std::vector<T> inv_ss;      // 1 / (sigma s)
    std::vector<T> wer;         // Gauss weight times e^{-r (tau_i - u)} s
    std::vector<T> lbu;         // ln B at one node's points
    std::vector<T> all_lbu, all_dj, all_e, all_nd;  // ln B, d, exponentials and N(d) at every point of a sweep
    void reserve(std::size_t m) {
        if (lbu.size() < kMaxPremiumPoints) lbu.resize(kMaxPremiumPoints);
        if (s.size() < m) {
            s.resize(m);
            wer.resize(m);
            xu.resize(m);
            weq.resize(m);
            inv_ss.resize(m);
            all_lbu.resize(m);
            all_dj.resize(m);
            all_e.resize(2 * m);
            all_nd.resize(2 * m);
        }
    }
};

template <class T>
FitWork<T>& fit_work() {
    static thread_local FitWork<T> work;
    return work;
}

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
        if (g < 0.0) lo = b; else hi = b;
        double next = b - g / dg;
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        const double step = std::fabs(next - b);
        b = next;
        if (step <= 1e-5 * k) break;  // a start only: the sweeps refine it
    }
    return b;
}

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
    // Long maturities drift from a lower ratio on.
    const double ratio = value(r) / (value(sigma) * value(sigma));
    const bool slow = (capped && (n >= kFineNodes || p.tau < kShortCapped || p.tau > kLongMaturity)) ||
                      ratio > kSlowRatio || (ratio > kSlowRatioLong && p.tau > kLongMaturity);
    // Days from expiry the value-matching sweeps first overshoot (the
    // boundary passes below its limit) and then settle over a hundred sweeps
    // or more; the stop test below still ends them once they have settled.
    int sweeps = slow ? sc.slow_iterations : sc.iterations;
    if (slow && p.tau < kShortSlow) sweeps = std::min(4 * sweeps, kMaxIterations);
    T er_node[kMaxNodes];
    for (int i = 0; i < n; ++i) er_node[i] = exp(-r * (zs[i] * zs[i]));
    for (int sweep = 0; sweep < sweeps; ++sweep) {
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
            if (!(value(next) > 0.0)) next = 0.5 * bi;
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

// European put with a continuous yield (s, k, tau > 0, sigma > 0).
template <class T>
T european_put(double s, double k, const T& r, const T& q, const T& sigma, double tau) {
    const double st = std::sqrt(tau);
    const T vol = sigma * st;
    const T d1 = (std::log(s / k) + (r - q) * tau) / vol + 0.5 * vol;
    const T d2 = d1 - vol;
    return k * exp(-r * tau) * ncdf(-d2) - s * exp(-q * tau) * ncdf(-d1);
}

// Put price on a fitted boundary; optionally delta and gamma in s.
template <class T>
T put_on_boundary(double s, const Put<T>& p, const Boundary<T>& fit, int level, double* delta,
                  double* gamma) {
    const double k = p.k;
    const double tau = p.tau;
    const T& r = p.r;
    const T& q = p.q;
    const T& sigma = p.sigma;
    const T lb_tau = fit.ln_b(1.0);
    const double ln_s = std::log(s);
    if (ln_s <= value(lb_tau)) {
        if (delta) *delta = -1.0;
        if (gamma) *gamma = 0.0;
        return T(k - s);
    }
    const T euro = european_put(s, k, r, q, sigma, tau);
    const TanhSinh& ts = tanh_sinh();
    const int count = ts.count[level];
    const double* a = ts.a[level];
    const double* ca = ts.ca[level];
    const double* w = ts.w[level];
    const T mp = (r - q) / sigma + 0.5 * sigma;
    const T rk = r * k;
    const T qs = q * s;
    FitWork<T>& work = fit_work<T>();
    work.reserve(0);
    double xus[kMaxPremiumPoints];
    for (int j = 0; j < count; ++j) xus[j] = 2.0 * std::sqrt(ca[j]) - 1.0;
    T* lbus = work.lbu.data();
    fit.ln_b_many(xus, count, lbus);
    T prem = 0.0;
    double dsum = 0.0, gsum = 0.0;
    const double rv = value(r), qv = value(q), sv = value(sigma);
    // Discount factors e^{-r t_j} and e^{-q t_j}: for plain prices in one vector pass.
    T disc[2 * kMaxPremiumPoints];
    for (int j = 0; j < count; ++j) {
        const double t = tau * a[j];
        disc[j] = -r * t;
        disc[count + j] = -q * t;
    }
    exp_many(disc, 2 * count, disc);
    // -d- and -d+ per point, then their normal distributions in one pass.
    T nd[2 * kMaxPremiumPoints];
    for (int j = 0; j < count; ++j) {
        const double st = std::sqrt(tau * a[j]);
        const T dp = (ln_s - lbus[j]) * (1.0 / (sigma * st)) + mp * st;
        nd[j] = -(dp - sigma * st);
        nd[count + j] = -dp;
    }
    ncdf_many(nd, 2 * count, nd);
    for (int j = 0; j < count; ++j) {
        const double t = tau * a[j];
        const double st = std::sqrt(t);
        const T& lbu = lbus[j];
        const T iss = 1.0 / (sigma * st);
        const T dp = (ln_s - lbu) * iss + mp * st;
        const T& ert = disc[j];
        const T& eqt = disc[count + j];
        const T g = rk * ert * nd[j] - qs * eqt * nd[count + j];
        prem += w[j] * g;
        if (delta) {
            const double phi = norm_pdf(value(dp));
            const double e = value(eqt);
            const double issv = value(iss);
            const double c = qv - rv * k / std::exp(value(lbu));
            dsum += w[j] * e * (phi * c * issv - qv * norm_cdf(-value(dp)));
            gsum += w[j] * e * phi * issv / s * (qv - c * value(dp) * issv);
        }
    }
    T v = euro + tau * prem;
    if (delta) {
        const double vol = sv * std::sqrt(tau);
        const double d1 = (std::log(s / k) + (rv - qv) * tau) / vol + 0.5 * vol;
        const double eqtau = std::exp(-qv * tau);
        *delta = -eqtau * norm_cdf(-d1) + tau * dsum;
        *gamma = eqtau * norm_pdf(d1) / (s * vol) + tau * gsum;
    }
    if (value(v) < k - s) v = T(k - s);
    return v;
}

inline double positive_part(double x) noexcept { return x < 0.0 ? 0.0 : x; }

// Early exercise of the put is never optimal: r <= 0 and q >= r.
// Both rates negative with q < r give a second (upper) boundary that the
// single-boundary scheme does not represent; see price_double_boundary.
enum class Regime { European, SingleBoundary, DoubleBoundary };

inline Regime put_regime(double r, double q) noexcept {
    if (r > 0.0) return Regime::SingleBoundary;
    if (q >= r) return Regime::European;
    return Regime::DoubleBoundary;
}

// Fallback for a put with q < r <= 0: a Cox-Ross-Rubinstein lattice with
// early exercise, averaged over two neighbouring step counts and
// extrapolated in 1/n. Its accuracy is about 1e-6 of the strike, not tol.
double put_double_boundary(double s, double k, double r, double q, double sigma, double tau) {
    auto tree = [&](int n) {
        const double dt = tau / n;
        const double u = std::exp(sigma * std::sqrt(dt));
        const double d = 1.0 / u;
        double p = (std::exp((r - q) * dt) - d) / (u - d);
        p = std::min(std::max(p, 0.0), 1.0);
        const double disc = std::exp(-r * dt);
        std::vector<double> v(static_cast<std::size_t>(n) + 1);
        for (int j = 0; j <= n; ++j) v[j] = positive_part(k - s * std::pow(u, 2.0 * j - n));
        for (int f = n - 1; f >= 0; --f) {
            for (int j = 0; j <= f; ++j) {
                const double cont = disc * (p * v[j + 1] + (1.0 - p) * v[j]);
                const double ex = k - s * std::pow(u, 2.0 * j - f);
                v[j] = std::max(cont, ex);
            }
        }
        return v[0];
    };
    const double a = 0.5 * (tree(2000) + tree(2001));
    const double b = 0.5 * (tree(4000) + tree(4001));
    return 2.0 * b - a;
}

template <class T>
Scheme clamp_scheme(Scheme sc) {
    sc.nodes = std::min(std::max(sc.nodes, 2), kMaxNodes);
    sc.quad = std::min(std::max(sc.quad, 2), kMaxQuad);
    sc.iterations = std::min(std::max(sc.iterations, 0), kMaxIterations);
    sc.slow_iterations = std::min(std::max(sc.slow_iterations, 0), kMaxIterations);
    sc.premium = std::min(std::max(sc.premium, 0), kMaxPremiumLevel);
    return sc;
}

// Put price for valid inputs (s, k, sigma, tau > 0, all finite).
// `warm` optionally starts the boundary sweeps; `keep` receives the fitted
// boundary's values (both used by the implied-volatility iteration).
template <class T>
T put_price(double s, const Put<T>& p, const Scheme& sc, double* delta, double* gamma,
            const Boundary<double>* warm = nullptr, Boundary<double>* keep = nullptr) {
    const Regime regime = put_regime(value(p.r), value(p.q));
    if (regime == Regime::SingleBoundary) {
        Boundary<T> fit;
        fit_boundary(p, sc, fit, warm);
        if (keep) {
            keep->n = fit.n;
            keep->ln_x = value(fit.ln_x);
            for (int j = 0; j <= fit.n; ++j) keep->coef[j] = value(fit.coef[j]);
        }
        return put_on_boundary(s, p, fit, sc.premium, delta, gamma);
    }
    if (keep) keep->n = 0;
    T v = european_put(s, p.k, p.r, p.q, p.sigma, p.tau);
    if (regime == Regime::DoubleBoundary) {
        v = T(put_double_boundary(s, p.k, value(p.r), value(p.q), value(p.sigma), p.tau));
    }
    if (delta) {
        const double sv = value(p.sigma), rv = value(p.r), qv = value(p.q);
        const double vol = sv * std::sqrt(p.tau);
        const double d1 = (std::log(s / p.k) + (rv - qv) * p.tau) / vol + 0.5 * vol;
        const double eq = std::exp(-qv * p.tau);
        *delta = -eq * norm_cdf(-d1);
        *gamma = eq * norm_pdf(d1) / (s * vol);
    }
    if (value(v) < p.k - s) v = T(p.k - s);
    return v;
}

enum class Domain { Invalid, Intrinsic, Price };

inline Domain classify(double s, double k, double r, double q, double sigma, double tau) noexcept {
    if (!(s > 0.0) || !(k > 0.0) || std::isnan(r) || std::isnan(q) || std::isnan(sigma) ||
        std::isnan(tau))
        return Domain::Invalid;
    if (!std::isfinite(s) || !std::isfinite(k) || !std::isfinite(r) || !std::isfinite(q))
        return Domain::Invalid;
    if (tau <= 0.0 || sigma <= 0.0) return Domain::Intrinsic;
    if (!std::isfinite(tau) || !std::isfinite(sigma)) return Domain::Invalid;
    return Domain::Price;
}

inline double intrinsic(double s, double k, bool call) noexcept {
    return positive_part(call ? s - k : k - s);
}

double price_scheme(double s, double k, double r, double q, double sigma, double tau, bool call,
                    const Scheme& scheme) noexcept {
    switch (classify(s, k, r, q, sigma, tau)) {
        case Domain::Invalid: return kNaN;
        case Domain::Intrinsic: return intrinsic(s, k, call);
        case Domain::Price: break;
    }
    try {
        // Call on (s, k, r, q) = put on (k, s, q, r).
        const Put<double> p = call ? Put<double>{s, tau, q, r, sigma} : Put<double>{k, tau, r, q, sigma};
        const double spot = call ? k : s;
        return put_price(spot, p, clamp_scheme<double>(scheme), nullptr, nullptr);
    } catch (...) {
        return kNaN;
    }
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
    if (rel >= 2e-5) return {6, 5, 3, 12, 2, stop};
    if (rel >= 1e-5) return {7, 6, 4, 16, 2, stop};
    if (rel >= 1e-6) return {10, 8, 5, 20, 3, stop};
    if (rel >= 1e-7) return {14, 12, 6, 24, 3, stop};
    if (rel >= 1e-8) return {24, 20, 7, 32, 4, stop};
    if (rel >= 1e-9) return {32, 40, 9, 36, 4, stop};
    if (rel >= 1e-10) return {48, 40, 10, 44, 4, stop};
    return {64, 64, 16, 48, 5, stop};
}

double price_with(double s, double k, double r, double q, double sigma, double tau, bool call,
                  const Scheme& scheme) noexcept {
    return price_scheme(s, k, r, q, sigma, tau, call, scheme);
}

double price(double s, double k, double r, double q, double sigma, double tau, bool call,
             double tol) noexcept {
    return price_scheme(s, k, r, q, sigma, tau, call, scheme_for(tol, call ? s : k, tau));
}

Greeks greeks(double s, double k, double r, double q, double sigma, double tau, bool call,
              double tol) noexcept {
    switch (classify(s, k, r, q, sigma, tau)) {
        case Domain::Invalid: return {kNaN, kNaN, kNaN, kNaN, kNaN, kNaN};
        case Domain::Intrinsic: {
            const double v = intrinsic(s, k, call);
            const double in = call ? (s > k ? 1.0 : 0.0) : (s < k ? -1.0 : 0.0);
            return {v, in, 0.0, 0.0, 0.0, 0.0};
        }
        case Domain::Price: break;
    }
    if (put_regime(call ? q : r, call ? r : q) == Regime::DoubleBoundary) {
        // The lattice fallback gives a price but no sensitivities.
        return {price(s, k, r, q, sigma, tau, call, tol), kNaN, kNaN, kNaN, kNaN, kNaN};
    }
    try {
        using D = Dual<2>;
        const Scheme sc = clamp_scheme<double>(scheme_for(tol, call ? s : k, tau));
        // Directions: 0 = sigma, 1 = the option's own rate r (the put's q for a call).
        D dsig(sigma), drate(r), dother(q);
        dsig.d[0] = 1.0;
        drate.d[1] = 1.0;
        const double ps = call ? k : s;       // put spot
        const double pk = call ? s : k;       // put strike
        const Put<D> p = call ? Put<D>{pk, tau, dother, drate, dsig} : Put<D>{pk, tau, drate, dother, dsig};
        double pd = 0.0, pg = 0.0;
        const D v = put_price(ps, p, sc, &pd, &pg);
        const double pr = value(p.r), pq = value(p.q);
        Greeks g{};
        g.price = v.v;
        g.vega = v.d[0];
        g.rho = v.d[1];
        const bool exercised = (v.v == pk - ps) && pd == -1.0;
        // Theta from the pricing equation in the continuation region.
        g.theta = exercised ? 0.0 : pr * v.v - (pr - pq) * ps * pd - 0.5 * sigma * sigma * ps * ps * pg;
        if (exercised) {
            g.vega = 0.0;
            g.rho = 0.0;
        }
        if (call) {
            // By homogeneity of degree one in (spot, strike).
            g.delta = (v.v - ps * pd) / pk;
            g.gamma = (ps / pk) * (ps / pk) * pg;
        } else {
            g.delta = pd;
            g.gamma = pg;
        }
        return g;
    } catch (...) {
        return {kNaN, kNaN, kNaN, kNaN, kNaN, kNaN};
    }
}

// ---------------------------------------------------------- implied vol

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
    const Put<double> p = call ? Put<double>{s, tau, q, r, sigma} : Put<double>{k, tau, r, q, sigma};
    return put_price(call ? k : s, p, sc, nullptr, nullptr, warm, nullptr);
}

// Value as sigma -> 0: the best deterministic exercise date.
double zero_vol_value(double s, double k, double r, double q, double tau, bool call) {
    // Put form: f(t) = k e^{-rt} - s e^{-qt} on [0, tau] (a call swaps s, k and r, q).
    const double ps = call ? k : s, pk = call ? s : k, pr = call ? q : r, pq = call ? r : q;
    auto f = [&](double t) { return pk * std::exp(-pr * t) - ps * std::exp(-pq * t); };
    double best = std::max(f(0.0), f(tau));
    if (pr != pq && pr > 0.0 && pq > 0.0) {
        const double t = std::log(pq * ps / (pr * pk)) / (pq - pr);
        if (t > 0.0 && t < tau) best = std::max(best, f(t));
    }
    return positive_part(best);
}

}  // namespace

double implied_vol(double target, double s, double k, double r, double q, double tau, bool call,
                   double tol) noexcept {
    if (std::isnan(target) || classify(s, k, r, q, 0.2, tau) != Domain::Price) return kNaN;
    const double bound = call ? s : k;
    if (!(target < bound)) return kNaN;
    if (!(target > zero_vol_value(s, k, r, q, tau, call))) return kNaN;
    if (!(tol > 0.0)) tol = 1e-10;
    // Not solved where the price comes from the lattice fallback.
    if (put_regime(call ? q : r, call ? r : q) == Regime::DoubleBoundary) return kNaN;
    try {
        constexpr double kLo = 1e-4, kHi = 10.0;
        const double scale = call ? s : k;
        // Newton steps on a price good to 1e-6 of the strike bring sigma
        // close; one step on a price good to max(tol * vega / 2, 1e-8) then
        // lands within tol (Newton's error is quadratic in the last step).
        Scheme sc = clamp_scheme<double>(scheme_for(1e-6 * scale, scale, tau));
        // The European implied volatility of the same price is an upper
        // bound (the American price is the larger at every sigma) and close
        // where early exercise is worth little.
        const double euro = european::implied_vol(target, s, k, r, q, tau, call);
        double lo = kLo, hi = kHi;
        double sigma = (euro > 2.0 * kLo && euro < kHi) ? euro : 0.3;
        bool fine = false;
        Boundary<double> last;  // the previous iterate's boundary starts the next
        last.n = 0;
        for (int it = 0; it < 64; ++it) {
            double vega = 0.0;
            const Boundary<double>* warm = (last.n == sc.nodes) ? &last : nullptr;
            const double diff =
                price_vega(s, k, r, q, sigma, tau, call, sc, &vega, warm, &last) - target;
            if (diff == 0.0 && fine) return sigma;
            if (diff > 0.0) hi = std::min(hi, sigma); else lo = std::max(lo, sigma);
            double next = (vega > 0.0 && std::isfinite(vega)) ? sigma - diff / vega : kNaN;
            if (!(next >= lo && next <= hi)) next = 0.5 * (lo + hi);
            const double step = std::fabs(next - sigma);
            if (fine && (step <= tol || step <= 1e-5 * sigma)) return next;
            if (!fine && step <= 1e-6 * sigma) {
                fine = true;
                const double ptol = std::max(0.5 * tol * vega, 1e-8);
                sc = clamp_scheme<double>(scheme_for(ptol, scale, tau));
                // One step on the accurate price with the vega just found (its
                // small error only scales a step that is already tiny), the
                // sweeps started from the coarse boundary at this sigma.
                const Boundary<double>* start = last.n > 0 ? &last : nullptr;
                const double fdiff = price_warm(s, k, r, q, next, tau, call, sc, start) - target;
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
    } catch (...) {
        return kNaN;
    }
}

// ------------------------------------------------------------ test hook

bool vector_kernel_path(int path, const double* x, int n, double* e, double* c, const double* coef,
                        int degree, const double* z, int count, double* h) noexcept {
    if (degree < 0 || degree > kMaxNodes) return false;
    __builtin_cpu_init();
    switch (path) {
        case 0:
            exp_array_baseline(x, n, e);
            ncdf_array_baseline(x, n, c);
            clenshaw_lanes<vm::v4d>(coef, degree, z, count, h);
            return true;
        case 1:
            if (!__builtin_cpu_supports("avx2")) return false;
            exp_array_avx2(x, n, e);
            ncdf_array_avx2(x, n, c);
            clenshaw_avx2(coef, degree, z, count, h);
            return true;
        case 2:
            if (vm::widest_lanes() != 8) return false;
            exp_array_avx512(x, n, e);
            ncdf_array_avx512(x, n, c);
            clenshaw_avx512(coef, degree, z, count, h);
            return true;
        default:
            return false;
    }
}

// ---------------------------------------------------------------- batches

namespace {

template <class Body>
void parallel_options(std::size_t count, Body body) {
    const std::int64_t total = static_cast<std::int64_t>(count);
    std::exception_ptr failure;
    std::atomic<bool> failed{false};
#pragma omp parallel if (orvelta::run_parallel(count))
    {
#pragma omp for schedule(nonmonotonic : dynamic, 4) nowait
        for (std::int64_t i = 0; i < total; ++i) {
            if (failed.load(std::memory_order_relaxed) || orvelta::cancel_requested()) continue;
            try {
                body(static_cast<std::size_t>(i));
            } catch (...) {
#pragma omp critical(orvelta_american_batch_failure)
                if (!failure) failure = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
            }
        }
    }
    if (failure) std::rethrow_exception(failure);
}

}  // namespace

void price_batch(std::size_t count, const double* s, const double* k, const double* r,
                 const double* q, const double* sigma, const double* tau, const int* option_type,
                 double tol, double* out) {
    parallel_options(count, [&](std::size_t i) {
        out[i] = price(s[i], k[i], r[i], q[i], sigma[i], tau[i], option_type[i] > 0, tol);
    });
}

void greeks_batch(std::size_t count, const double* s, const double* k, const double* r,
                  const double* q, const double* sigma, const double* tau, const int* option_type,
                  double tol, double* price, double* delta, double* gamma, double* theta,
                  double* vega, double* rho) {
    parallel_options(count, [&](std::size_t i) {
        const Greeks g = greeks(s[i], k[i], r[i], q[i], sigma[i], tau[i], option_type[i] > 0, tol);
        price[i] = g.price;
        delta[i] = g.delta;
        gamma[i] = g.gamma;
        theta[i] = g.theta;
        vega[i] = g.vega;
        rho[i] = g.rho;
    });
}

void implied_vol_batch(std::size_t count, const double* target, const double* s, const double* k,
                       const double* r, const double* q, const double* tau,
                       const int* option_type, double tol, double* out) {
    parallel_options(count, [&](std::size_t i) {
        out[i] = implied_vol(target[i], s[i], k[i], r[i], q[i], tau[i], option_type[i] > 0, tol);
    });
}

}  // namespace orvelta::american
