// The vector-math layer of the core: lane types (four doubles, which the
// baseline build runs as SSE2 pairs and AVX2 as one register, and eight for
// AVX-512), loads, stores, selects, and exp, expm1 (small arguments), log,
// sqrt, sincos, atan2 and the normal distribution in plain IEEE arithmetic
// on GCC vector types. Which build of a kernel runs is chosen by
// common/dispatch.hpp.
//
// Only additions, multiplications, divisions, comparisons and bit operations
// are used, in a fixed order and without contraction, so a loop compiled for
// SSE2, AVX2 or AVX-512 gives the same bits on every machine. Accuracy is about one ulp (two for
// atan2 near its branch points), against the system library's correctly rounded or near results.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <immintrin.h>

// Vector arguments of inlined helpers: no ABI concern (silences -Wpsabi in
// the files that include this one).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace orvelta::vm {

// Four lanes (SSE2 halves or one AVX2 register) and eight (AVX-512); every
// function below is a template over the lane type, so all widths compute the
// same operations lane by lane.
typedef double v4d __attribute__((vector_size(32)));
typedef std::int64_t v4l __attribute__((vector_size(32)));
typedef double v8d __attribute__((vector_size(64)));
typedef std::int64_t v8l __attribute__((vector_size(64)));

#define ORVELTA_VM inline __attribute__((always_inline))

template <class D>
constexpr int lanes = static_cast<int>(sizeof(D) / sizeof(double));

template <class D>
using mask_of = decltype(D{} < D{});

template <class D>
ORVELTA_VM D splat(double x) {
    return D{} + x;
}
template <class D>
ORVELTA_VM mask_of<D> splat_l(std::int64_t x) {
    return mask_of<D>{} + x;
}

template <class To, class From>
ORVELTA_VM To bits(From x) {
    static_assert(sizeof(To) == sizeof(From), "same width");
    To out;
    std::memcpy(&out, &x, sizeof out);
    return out;
}

// Lane sets by their count, for kernels written over W (the lattice's):
// W = 1 is a plain double and bool mask, so the baseline build of such a
// kernel is the scalar loop; 4 and 8 are the vector types above.
template <int W>
struct Lanes {
    typedef double D __attribute__((vector_size(8 * W)));
    typedef std::int64_t M __attribute__((vector_size(8 * W)));
};
template <>
struct Lanes<1> {
    using D = double;
    using M = bool;
};

template <int W>
ORVELTA_VM typename Lanes<W>::D load_lanes(const double* p) {
    typename Lanes<W>::D v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

template <int W>
ORVELTA_VM void store_lanes(double* p, typename Lanes<W>::D v) {
    __builtin_memcpy(p, &v, sizeof v);
}

template <int W>
ORVELTA_VM typename Lanes<W>::D splat_lanes(double x) {
    if constexpr (W == 1) {
        return x;
    } else {
        typename Lanes<W>::D v;
        for (int l = 0; l < W; ++l) v[l] = x;
        return v;
    }
}

// Lane-wise mask ? a : b for a comparison mask (all ones or zeros per lane).
template <class D>
ORVELTA_VM D sel(mask_of<D> mask, D a, D b) {
    using L = mask_of<D>;
    return bits<D>((bits<L>(a) & mask) | (bits<L>(b) & ~mask));
}

template <class D>
ORVELTA_VM D vabs(D x) {
    return bits<D>(bits<mask_of<D>>(x) & splat_l<D>(0x7fffffffffffffffLL));
}

// Whether any lane of a mask is set.
template <class L>
ORVELTA_VM bool any(L mask) {
    std::int64_t acc = 0;
    for (std::size_t i = 0; i < sizeof(L) / sizeof(std::int64_t); ++i) acc |= mask[i];
    return acc != 0;
}

// Loads n <= lanes values, padding with the last one.
template <class D>
ORVELTA_VM D load(const double* p, std::size_t n) {
    D out;
    if (n >= static_cast<std::size_t>(lanes<D>)) {
        std::memcpy(&out, p, sizeof out);
    } else {
        for (std::size_t i = 0; i < static_cast<std::size_t>(lanes<D>); ++i)
            out[i] = p[i < n ? i : n - 1];
    }
    return out;
}

// Stores the first n <= lanes values.
template <class D>
ORVELTA_VM void store(double* p, D x, std::size_t n) {
    if (n >= static_cast<std::size_t>(lanes<D>)) {
        std::memcpy(p, &x, sizeof x);
    } else {
        for (std::size_t i = 0; i < n; ++i) p[i] = x[i];
    }
}

// Square root: the correctly rounded SSE2 instruction on each pair of lanes,
// the same bits as std::sqrt lane by lane (which the compiler keeps scalar,
// with a branch for errno) and valid on every path.
template <class D>
ORVELTA_VM D vsqrt(D x) {
    constexpr int kPairs = static_cast<int>(sizeof(D) / sizeof(__m128d));
    __m128d pair[kPairs];
    std::memcpy(pair, &x, sizeof x);
    for (int i = 0; i < kPairs; ++i) pair[i] = _mm_sqrt_pd(pair[i]);
    std::memcpy(&x, pair, sizeof x);
    return x;
}

constexpr double kRound =
    6755399441055744.0;  // 1.5 * 2^52: x + kRound - kRound rounds to an integer
constexpr double kLn2Hi = 6.93147180369123816490e-01;
constexpr double kLn2Lo = 1.90821492927058770002e-10;

// p(x) = c[0] x^(N-1) + ... + c[N-1] by Horner's rule, highest power first.
template <class D, std::size_t N>
ORVELTA_VM D horner(D x, const double (&c)[N]) {
    D p = splat<D>(c[0]);
    for (std::size_t i = 1; i < N; ++i) p = p * x + c[i];
    return p;
}

// p(x) = c[hi] x^(hi-lo) + ... + c[lo] by Horner's rule over a table in
// ascending powers (the same operations as horner on the reversed entries).
template <class D, std::size_t N>
ORVELTA_VM D horner_up(D x, const double (&c)[N], std::size_t lo, std::size_t hi) {
    D p = splat<D>(c[hi]);
    for (std::size_t i = hi; i-- > lo;) p = p * x + c[i];
    return p;
}

// 1 / n! for n = 0 .. 18: the Taylor coefficients of e^x and e^x - 1.
constexpr double kInvFactorial[] = {
    1.0,
    1.0,
    0.5,
    1.0 / 6.0,
    1.0 / 24.0,
    1.0 / 120.0,
    1.0 / 720.0,
    1.0 / 5040.0,
    1.0 / 40320.0,
    1.0 / 362880.0,
    1.0 / 3628800.0,
    1.0 / 39916800.0,
    1.0 / 479001600.0,
    1.0 / 6227020800.0,
    1.0 / 87178291200.0,
    1.0 / 1307674368000.0,
    1.0 / 20922789888000.0,
    1.0 / 355687428096000.0,
    1.0 / 6402373705728000.0,
};

// Polynomial coefficients, highest power first: the series of
// ln(1 + f) = 2 atanh(s) (odd powers of s, as a polynomial in z = s^2); of
// sin and cos to degrees 17 and 18 (in z = r^2); of atan to degree 17.
constexpr double kLogCoef[] = {
    2.0 / 23.0, 2.0 / 21.0, 2.0 / 19.0, 2.0 / 17.0, 2.0 / 15.0, 2.0 / 13.0,
    2.0 / 11.0, 2.0 / 9.0,  2.0 / 7.0,  2.0 / 5.0,  2.0 / 3.0,
};
constexpr double kSinCoef[] = {
    1.0 / 355687428096000.0, -1.0 / 1307674368000.0, 1.0 / 6227020800.0, -1.0 / 39916800.0,
    1.0 / 362880.0,          -1.0 / 5040.0,          1.0 / 120.0,        -1.0 / 6.0,
};
constexpr double kCosCoef[] = {
    -1.0 / 6402373705728000.0, 1.0 / 20922789888000.0, -1.0 / 87178291200.0, 1.0 / 479001600.0,
    -1.0 / 3628800.0,          1.0 / 40320.0,          -1.0 / 720.0,         1.0 / 24.0,
};
constexpr double kAtanCoef[] = {
    1.0 / 17.0, -1.0 / 15.0, 1.0 / 13.0, -1.0 / 11.0, 1.0 / 9.0, -1.0 / 7.0, 1.0 / 5.0, -1.0 / 3.0,
};

// e^x for |x| <= 708 (no special cases, so a loop over it runs without lane
// masks): reduction by round-to-nearest multiples of ln 2, then the Taylor
// polynomial to degree 13 on |r| <= ln(2) / 2.
template <class D>
ORVELTA_VM D vexp_core(D x) {
    using L = mask_of<D>;
    const D t = x * 1.4426950408889634 + kRound;
    const D n = t - kRound;
    const D r = (x - n * kLn2Hi) - n * kLn2Lo;
    D p = horner_up(r, kInvFactorial, 0, 13);
    const L ni = bits<L>(t) - bits<L>(splat<D>(kRound));
    return p * bits<D>((ni + 1023) << 52);
}

// e^x; 0 below -708 (where the result would be subnormal), +inf above 709,
// NaN for NaN.
template <class D>
ORVELTA_VM D vexp(D x) {
    using L = mask_of<D>;
    const L tiny = x < splat<D>(-708.0);
    const L huge = x > splat<D>(709.0);
    const L nan = x != x;
    const D xc = sel(tiny | huge | nan, splat<D>(0.0), x);
    const D out = sel(tiny, splat<D>(0.0), vexp_core(xc));
    return sel(nan, x, sel(huge, splat<D>(HUGE_VAL), out));
}

// e^x with x first clamped to [-700, 700] (NaN stays NaN): below -700 the
// result, under 1e-304, only ever scales terms of a sum that are negligible
// beside its others.
template <class D>
ORVELTA_VM D vexp_clamped(D x) {
    x = sel(x < splat<D>(-700.0), splat<D>(-700.0), x);
    x = sel(x > splat<D>(700.0), splat<D>(700.0), x);
    return vexp_core(x);
}

// e^x - 1 for |x| <= 0.5, accurate in relative terms (Taylor to degree 17).
template <class D>
ORVELTA_VM D vexpm1_small(D x) {
    const D p = horner_up(x, kInvFactorial, 2, 18);
    return x + x * (x * p);
}

// ln x for positive normal x.
template <class D>
ORVELTA_VM D vlog(D x) {
    using L = mask_of<D>;
    const L b = bits<L>(x);
    L e = ((b >> 52) & splat_l<D>(0x7ff)) - 1023;
    D m = bits<D>((b & splat_l<D>(0x000fffffffffffffLL)) | splat_l<D>(0x3ff0000000000000LL));
    const L big = m > splat<D>(1.4142135623730951);
    m = sel(big, m * 0.5, m);
    e = e - big;  // the mask is -1 where big
    const D f = m - 1.0;
    const D s = f / (f + 2.0);
    const D z = s * s;
    // ln(1 + f) = 2 atanh(s) = 2 s + s R(z), R = 2 (z/3 + z^2/5 + ...), |s| <= 0.1716.
    D R = horner(z, kLogCoef);
    R = R * z;
    // f - (hfsq - s (hfsq + R)) as in the classic formulation, for a small error near 1.
    const D hfsq = 0.5 * f * f;
    const D lm = f - (hfsq - s * (hfsq + R));
    const D ed = bits<D>(e + bits<L>(splat<D>(kRound))) - kRound;
    return ed * kLn2Hi + (lm + ed * kLn2Lo);
}

constexpr double kPio2_1 = 1.57079632673412561417e+00;
constexpr double kPio2_2 = 6.07710050650619224932e-11;
constexpr double kPio2_3 = 2.02226624879595063154e-21;
// Beyond this the three-part reduction is no longer exact: the system library.
constexpr double kSinCosLimit = 1e5;

// sin x and cos x.
template <class D>
ORVELTA_VM void vsincos(D x, D& sn, D& cs) {
    using L = mask_of<D>;
    const D t = x * 0.63661977236758134308 + kRound;
    const D n = t - kRound;
    const D r = ((x - n * kPio2_1) - n * kPio2_2) - n * kPio2_3;
    const L q = bits<L>(t) - bits<L>(splat<D>(kRound));
    const D z = r * r;
    D ps = horner(z, kSinCoef);  // sin: to degree 17
    const D s = r + r * (z * ps);
    D pc = horner(z, kCosCoef);  // cos: to degree 18
    const D hz = 0.5 * z;
    const D w = 1.0 - hz;
    const D c = w + (((1.0 - w) - hz) + z * (z * pc));
    const L swap = (q & 1) != 0;
    const D a = sel(swap, c, s);
    const D b = sel(swap, s, c);
    const L neg_s = (q & 2) != 0;
    const L neg_c = ((q + 1) & 2) != 0;
    sn = sel(neg_s, -a, a);
    cs = sel(neg_c, -b, b);
    if (!any(!(vabs(x) <= splat<D>(kSinCosLimit)))) return;
    for (int i = 0; i < lanes<D>; ++i) {
        if (!(std::fabs(x[i]) <= kSinCosLimit)) {
            double si, ci;
            ::sincos(x[i], &si, &ci);
            sn[i] = si;
            cs[i] = ci;
        }
    }
}

// atan(k / 8), k = 0..8.
constexpr double kAtanEighths[9] = {0.0,
                                    0.12435499454676144,
                                    0.24497866312686414,
                                    0.35877067027057225,
                                    0.4636476090008061,
                                    0.5585993153435624,
                                    0.6435011087932844,
                                    0.7188299996216245,
                                    0.7853981633974483};

// atan2(y, x) for finite arguments (0 where both are zero).
template <class D>
ORVELTA_VM D vatan2(D y, D x) {
    using L = mask_of<D>;
    const D ay = vabs(y);
    const D ax = vabs(x);
    const L swap = ay > ax;
    const D num = sel(swap, ax, ay);
    const D den = sel(swap, ay, ax);
    const L zero = den == splat<D>(0.0);
    const D t = sel(zero, splat<D>(0.0), num / sel(zero, splat<D>(1.0), den));
    // atan t = atan c + atan((t - c) / (1 + t c)), c the nearest eighth.
    const D kt = t * 8.0 + kRound;
    const L k = bits<L>(kt) - bits<L>(splat<D>(kRound));
    const D c = (kt - kRound) * 0.125;
    D base = splat<D>(0.0);
    for (int j = 1; j <= 8; ++j) base = sel(k == j, splat<D>(kAtanEighths[j]), base);
    const D tt = (t - c) / (1.0 + t * c);
    const D z = tt * tt;
    D p = horner(z, kAtanCoef);  // atan series to degree 17, |tt| <= 1/16
    const D at = base + (tt + tt * (z * p));
    const double pio2_hi = 1.5707963267948966, pio2_lo = 6.123233995736766e-17;
    const double pi_hi = 3.141592653589793, pi_lo = 1.2246467991473532e-16;
    D res = sel(swap, (pio2_hi - at) + pio2_lo, at);
    res = sel(bits<L>(x) < 0, (pi_hi - res) + pi_lo, res);
    return sel(bits<L>(y) < 0, -res, res);
}

// erfc(a) / 2 for 0 <= a <= kErfcCap (NaN stays NaN). With Z = (4 - a) /
// (4 + a), erfc(a) = e^{-a^2} g(Z) / (4 + a), g a 24-term Chebyshev series
// (scripts/erfc-coefficients): relative error a few ulps for a below 6,
// absolute error under 1e-300 beyond.
constexpr double kErfcCoef[24] = {
    1.6320978781965259,      1.5054329427054698,      0.5903214182888945,
    0.19828527172011035,     0.0569084302284687,      0.013773973050870096,
    0.002729016733135232,    0.00041361807903024755,  3.89141838079606e-05,
    -4.795485503364818e-07,  -8.699107081379825e-07,  -1.2116707094396558e-07,
    3.79196702608182e-09,    3.4533646779963824e-09,  2.748862570381361e-10,
    -6.813959375318511e-11,  -1.3568522747316355e-11, 1.0463235067416098e-12,
    4.851070321243456e-13,   -8.458758172979236e-15,  -1.6469363733616713e-14,
    -2.5314850886802834e-16, 5.757244393379938e-16,   1.8245979193136522e-17,
};
// Above this erfc is below 1e-305 and taken as 0 (which keeps the
// exponential in range).
constexpr double kErfcCap = 26.45;

template <class D>
ORVELTA_VM D vhalf_erfc(D a) {
    const D inv = 1.0 / (a + 4.0);
    const D z = (4.0 - a) * inv;
    const D z2 = 2.0 * z;
    D b1 = splat<D>(0.0), b2 = splat<D>(0.0);
    for (int j = 23; j >= 1; --j) {
        // c - b2 is off the chain through b1, which then costs one product and one sum.
        const D b0 = (kErfcCoef[j] - b2) + z2 * b1;
        b2 = b1;
        b1 = b0;
    }
    const D g = kErfcCoef[0] + z * b1 - b2;
    return 0.5 * ((vexp_core(-(a * a)) * g) * inv);
}

// The standard normal distribution N(x) = erfc(-x / sqrt(2)) / 2, accurate in
// relative terms in both tails; NaN stays NaN.
template <class D>
ORVELTA_VM D vncdf(D x) {
    using L = mask_of<D>;
    const D z = x * -0.7071067811865476;
    const D az = vabs(z);
    const L far = az > splat<D>(kErfcCap);
    const D a = sel(far, splat<D>(kErfcCap), az);
    const D h = sel(far, splat<D>(0.0), vhalf_erfc(a));
    return sel(z < splat<D>(0.0), 1.0 - h, h);
}

}  // namespace orvelta::vm

#undef ORVELTA_VM
