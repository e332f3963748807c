// Four-lane exp, expm1 (small arguments), log, sincos and atan2 in plain IEEE
// arithmetic on GCC vector types, for the characteristic-function loops.
//
// Only additions, multiplications, divisions, comparisons and bit operations
// are used, in a fixed order and without contraction, so a function compiled
// for SSE2 (two halves) and for AVX2 (one register) gives the same bits on
// every machine. Accuracy is about one ulp (two for atan2 near its branch
// points), against the system library's correctly rounded or near results.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace orvelta::european::vm {

typedef double v4d __attribute__((vector_size(32)));
typedef std::int64_t v4l __attribute__((vector_size(32)));

inline __attribute__((always_inline)) v4d splat(double x) { return v4d{x, x, x, x}; }
inline __attribute__((always_inline)) v4l splat_l(std::int64_t x) { return v4l{x, x, x, x}; }

inline __attribute__((always_inline)) v4d bits_d(v4l x) {
    v4d out;
    std::memcpy(&out, &x, sizeof out);
    return out;
}
inline __attribute__((always_inline)) v4l bits_l(v4d x) {
    v4l out;
    std::memcpy(&out, &x, sizeof out);
    return out;
}

// Lane-wise mask ? a : b for a comparison mask (all ones or zeros per lane).
inline __attribute__((always_inline)) v4d sel(v4l mask, v4d a, v4d b) {
    return bits_d((bits_l(a) & mask) | (bits_l(b) & ~mask));
}

inline __attribute__((always_inline)) v4d vabs(v4d x) {
    return bits_d(bits_l(x) & splat_l(0x7fffffffffffffffLL));
}

inline __attribute__((always_inline)) v4d vsqrt(v4d x) {
    v4d out;
    for (int i = 0; i < 4; ++i) out[i] = std::sqrt(x[i]);
    return out;
}

constexpr double kRound = 6755399441055744.0;  // 1.5 * 2^52: x + kRound - kRound rounds to an integer
constexpr double kLn2Hi = 6.93147180369123816490e-01;
constexpr double kLn2Lo = 1.90821492927058770002e-10;

// e^x; 0 below -708 (where the result would be subnormal), +inf above 709,
// NaN for NaN.
inline __attribute__((always_inline)) v4d vexp(v4d x) {
    const v4l tiny = x < splat(-708.0);
    const v4l huge = x > splat(709.0);
    const v4l nan = x != x;
    const v4d xc = sel(tiny | huge | nan, splat(0.0), x);
    const v4d t = xc * 1.4426950408889634 + kRound;
    const v4d n = t - kRound;
    const v4d r = (xc - n * kLn2Hi) - n * kLn2Lo;
    // Taylor polynomial to degree 13 on |r| <= ln(2) / 2.
    v4d p = splat(1.0 / 6227020800.0);
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
    const v4l ni = bits_l(t) - bits_l(splat(kRound));
    const v4d scale = bits_d((ni + 1023) << 52);
    const v4d out = sel(tiny, splat(0.0), p * scale);
    return sel(nan, x, sel(huge, splat(HUGE_VAL), out));
}

// e^x - 1 for |x| <= 0.5, accurate in relative terms (Taylor to degree 17).
inline __attribute__((always_inline)) v4d vexpm1_small(v4d x) {
    static constexpr double c[] = {1.0 / 6402373705728000.0, 1.0 / 355687428096000.0,
                                   1.0 / 20922789888000.0,   1.0 / 1307674368000.0,
                                   1.0 / 87178291200.0,      1.0 / 6227020800.0,
                                   1.0 / 479001600.0,        1.0 / 39916800.0,
                                   1.0 / 3628800.0,          1.0 / 362880.0,
                                   1.0 / 40320.0,            1.0 / 5040.0,
                                   1.0 / 720.0,              1.0 / 120.0,
                                   1.0 / 24.0,               1.0 / 6.0,
                                   0.5};
    v4d p = splat(c[0]);
    for (int k = 1; k < 17; ++k) p = p * x + c[k];
    return x + x * (x * p);
}

// ln x for positive normal x.
inline __attribute__((always_inline)) v4d vlog(v4d x) {
    const v4l bits = bits_l(x);
    v4l e = ((bits >> 52) & splat_l(0x7ff)) - 1023;
    v4d m = bits_d((bits & splat_l(0x000fffffffffffffLL)) | splat_l(0x3ff0000000000000LL));
    const v4l big = m > splat(1.4142135623730951);
    m = sel(big, m * 0.5, m);
    e = e - big;  // the mask is -1 where big
    const v4d f = m - 1.0;
    const v4d s = f / (f + 2.0);
    const v4d z = s * s;
    // ln(1 + f) = 2 atanh(s) = 2 s + s R(z), R = 2 (z/3 + z^2/5 + ...), |s| <= 0.1716.
    v4d R = splat(2.0 / 23.0);
    R = R * z + 2.0 / 21.0;
    R = R * z + 2.0 / 19.0;
    R = R * z + 2.0 / 17.0;
    R = R * z + 2.0 / 15.0;
    R = R * z + 2.0 / 13.0;
    R = R * z + 2.0 / 11.0;
    R = R * z + 2.0 / 9.0;
    R = R * z + 2.0 / 7.0;
    R = R * z + 2.0 / 5.0;
    R = R * z + 2.0 / 3.0;
    R = R * z;
    // f - (hfsq - s (hfsq + R)) as in the classic formulation, for a small error near 1.
    const v4d hfsq = 0.5 * f * f;
    const v4d lm = f - (hfsq - s * (hfsq + R));
    const v4d ed = bits_d(e + bits_l(splat(kRound))) - kRound;
    return ed * kLn2Hi + (lm + ed * kLn2Lo);
}

constexpr double kPio2_1 = 1.57079632673412561417e+00;
constexpr double kPio2_2 = 6.07710050650619224932e-11;
constexpr double kPio2_3 = 2.02226624879595063154e-21;
// Beyond this the three-part reduction is no longer exact: the system library.
constexpr double kSinCosLimit = 1e5;

// sin x and cos x.
inline __attribute__((always_inline)) void vsincos(v4d x, v4d& sn, v4d& cs) {
    const v4d t = x * 0.63661977236758134308 + kRound;
    const v4d n = t - kRound;
    const v4d r = ((x - n * kPio2_1) - n * kPio2_2) - n * kPio2_3;
    const v4l q = bits_l(t) - bits_l(splat(kRound));
    const v4d z = r * r;
    v4d ps = splat(1.0 / 355687428096000.0);  // sin: to degree 17
    ps = ps * z - 1.0 / 1307674368000.0;
    ps = ps * z + 1.0 / 6227020800.0;
    ps = ps * z - 1.0 / 39916800.0;
    ps = ps * z + 1.0 / 362880.0;
    ps = ps * z - 1.0 / 5040.0;
    ps = ps * z + 1.0 / 120.0;
    ps = ps * z - 1.0 / 6.0;
    const v4d s = r + r * (z * ps);
    v4d pc = splat(-1.0 / 6402373705728000.0);  // cos: to degree 18
    pc = pc * z + 1.0 / 20922789888000.0;
    pc = pc * z - 1.0 / 87178291200.0;
    pc = pc * z + 1.0 / 479001600.0;
    pc = pc * z - 1.0 / 3628800.0;
    pc = pc * z + 1.0 / 40320.0;
    pc = pc * z - 1.0 / 720.0;
    pc = pc * z + 1.0 / 24.0;
    const v4d hz = 0.5 * z;
    const v4d w = 1.0 - hz;
    const v4d c = w + (((1.0 - w) - hz) + z * (z * pc));
    const v4l swap = (q & 1) != 0;
    const v4d a = sel(swap, c, s);
    const v4d b = sel(swap, s, c);
    const v4l neg_s = (q & 2) != 0;
    const v4l neg_c = ((q + 1) & 2) != 0;
    sn = sel(neg_s, -a, a);
    cs = sel(neg_c, -b, b);
    for (int i = 0; i < 4; ++i) {
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
inline __attribute__((always_inline)) v4d vatan2(v4d y, v4d x) {
    const v4d ay = vabs(y);
    const v4d ax = vabs(x);
    const v4l swap = ay > ax;
    const v4d num = sel(swap, ax, ay);
    const v4d den = sel(swap, ay, ax);
    const v4l zero = den == splat(0.0);
    const v4d t = sel(zero, splat(0.0), num / sel(zero, splat(1.0), den));
    // atan t = atan c + atan((t - c) / (1 + t c)), c the nearest eighth.
    const v4d kt = t * 8.0 + kRound;
    const v4l k = bits_l(kt) - bits_l(splat(kRound));
    const v4d c = (kt - kRound) * 0.125;
    v4d base;
    for (int i = 0; i < 4; ++i) base[i] = kAtanEighths[k[i]];
    const v4d tt = (t - c) / (1.0 + t * c);
    const v4d z = tt * tt;
    v4d p = splat(1.0 / 17.0);  // atan series to degree 17, |tt| <= 1/16
    p = p * z - 1.0 / 15.0;
    p = p * z + 1.0 / 13.0;
    p = p * z - 1.0 / 11.0;
    p = p * z + 1.0 / 9.0;
    p = p * z - 1.0 / 7.0;
    p = p * z + 1.0 / 5.0;
    p = p * z - 1.0 / 3.0;
    const v4d at = base + (tt + tt * (z * p));
    const double pio2_hi = 1.5707963267948966, pio2_lo = 6.123233995736766e-17;
    const double pi_hi = 3.141592653589793, pi_lo = 1.2246467991473532e-16;
    v4d res = sel(swap, (pio2_hi - at) + pio2_lo, at);
    res = sel(bits_l(x) < 0, (pi_hi - res) + pi_lo, res);
    return sel(bits_l(y) < 0, -res, res);
}

}  // namespace orvelta::european::vm

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
