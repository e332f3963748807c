// Random source of the path generator: the 32-bit Mersenne Twister (MT19937),
// a 53-bit uniform built from two of its outputs, and Box-Muller normals.
// Everything here lives in the frame of one call; nothing outlives it.
#pragma once

#include <cmath>
#include <cstdint>

namespace orvelta::mc {

constexpr int kMtWords = 624;

// Generator state: 624 words and the position of the next output.
struct Mt19937 {
    std::uint32_t word[kMtWords];
    int index;
};

// Seeds with the reference initialisation (init_genrand); the first output
// regenerates the whole state.
inline void mt_seed(Mt19937& g, std::uint32_t seed) noexcept {
    g.word[0] = seed;
    for (int i = 1; i < kMtWords; ++i) {
        const std::uint32_t prev = g.word[i - 1];
        g.word[i] = 1812433253u * (prev ^ (prev >> 30)) + static_cast<std::uint32_t>(i);
    }
    g.index = kMtWords;
}

// Regenerates all 624 words in increasing order; each word uses the already
// regenerated words where the recurrence reaches them.
inline void mt_twist(Mt19937& g) noexcept {
    constexpr int kShift = 397;
    constexpr std::uint32_t kUpper = 0x80000000u;
    constexpr std::uint32_t kLower = 0x7fffffffu;
    constexpr std::uint32_t kMatrix = 0x9908b0dfu;
    std::uint32_t* w = g.word;
    int k = 0;
    for (; k < kMtWords - kShift; ++k) {
        const std::uint32_t y = (w[k] & kUpper) | (w[k + 1] & kLower);
        w[k] = w[k + kShift] ^ (y >> 1) ^ ((y & 1u) ? kMatrix : 0u);
    }
    for (; k < kMtWords - 1; ++k) {
        const std::uint32_t y = (w[k] & kUpper) | (w[k + 1] & kLower);
        w[k] = w[k + kShift - kMtWords] ^ (y >> 1) ^ ((y & 1u) ? kMatrix : 0u);
    }
    const std::uint32_t y = (w[kMtWords - 1] & kUpper) | (w[0] & kLower);
    w[kMtWords - 1] = w[kShift - 1] ^ (y >> 1) ^ ((y & 1u) ? kMatrix : 0u);
    g.index = 0;
}

inline std::uint32_t mt_temper(std::uint32_t y) noexcept {
    y ^= y >> 11;
    y ^= (y << 7) & 0x9d2c5680u;
    y ^= (y << 15) & 0xefc60000u;
    y ^= y >> 18;
    return y;
}

// Next tempered 32-bit output.
inline std::uint32_t mt_next(Mt19937& g) noexcept {
    if (g.index >= kMtWords) mt_twist(g);
    return mt_temper(g.word[g.index++]);
}

// The next `count` outputs, in order, into out (the same sequence as count
// calls of mt_next; the tempering runs over whole stretches of the state).
inline void mt_fill(Mt19937& g, std::uint32_t* out, int count) noexcept {
    while (count > 0) {
        if (g.index >= kMtWords) mt_twist(g);
        const int take = count < kMtWords - g.index ? count : kMtWords - g.index;
        const std::uint32_t* w = g.word + g.index;
        for (int i = 0; i < take; ++i) out[i] = mt_temper(w[i]);
        g.index += take;
        out += take;
        count -= take;
    }
}

// Uniform in [0, 1) with 53 random bits: the first output is the low word,
// the second the high word. The sum rounds once; the division by 2^64 is
// exact. A sum that rounds up to 2^64 maps to the largest double below 1.
inline double uniform_from(std::uint32_t low, std::uint32_t high) noexcept {
    const double x1 = static_cast<double>(low);
    const double x2 = static_cast<double>(high);
    const double u = (x1 + x2 * 4294967296.0) / 18446744073709551616.0;
    return u >= 1.0 ? 0.9999999999999999 : u;
}

inline double uniform01(Mt19937& g) noexcept {
    const std::uint32_t low = mt_next(g);
    return uniform_from(low, mt_next(g));
}

// Normal draws for one call: the generator and the spare of the last
// Box-Muller pair. A source starts with no spare; an unused spare is dropped
// with the source, so a call's output depends on its seed alone.
struct NormalSource {
    Mt19937 gen;
    bool spare_pending;
    double spare;
};

inline void normal_seed(NormalSource& src, std::uint32_t seed) noexcept {
    mt_seed(src.gen, seed);
    src.spare_pending = false;
    src.spare = 0.0;
}

// Box-Muller with both values used: returns rho*cos(theta) and keeps
// rho*sin(theta) for the next draw. The affine map keeps a and b in
// [1e-12, 1), so the logarithm is finite (largest radius about 7.4338).
inline double standard_normal(NormalSource& src) noexcept {
    if (src.spare_pending) {
        src.spare_pending = false;
        return src.spare;
    }
    const double u1 = uniform01(src.gen);
    const double u2 = uniform01(src.gen);
    const double a = 0.999999999999 * u1 + 1e-12;
    const double b = 0.999999999999 * u2 + 1e-12;
    const double rho = std::sqrt(-2.0 * std::log(a));
    const double theta = 6.283185307179586 * b;
    double s = 0.0;
    double c = 0.0;
    ::sincos(theta, &s, &c);
    src.spare = rho * s;
    src.spare_pending = true;
    return rho * c;
}

// Normals drawn a block at a time: the same sequence as standard_normal on a
// source seeded alike, with the transcendental calls of a block in tight
// loops of independent calls and everything else vectorisable.
class NormalStream {
public:
    explicit NormalStream(std::uint32_t seed) noexcept { mt_seed(gen_, seed); }

    // The next `count` normals, in order, into out.
    void take(double* out, std::int64_t count) noexcept {
        while (count > 0) {
            if (pos_ == kNormals) refill();
            const std::int64_t left = kNormals - pos_;
            const std::int64_t n = count < left ? count : left;
            for (std::int64_t i = 0; i < n; ++i) out[i] = buf_[pos_ + i];
            pos_ += static_cast<int>(n);
            out += n;
            count -= n;
        }
    }

private:
    static constexpr int kPairs = 128;  // Box-Muller pairs per block
    static constexpr int kNormals = 2 * kPairs;

    void refill() noexcept {
        std::uint32_t raw[4 * kPairs];
        double a[kPairs];
        double theta[kPairs];
        mt_fill(gen_, raw, 4 * kPairs);
        for (int i = 0; i < kPairs; ++i) {
            const double u1 = uniform_from(raw[4 * i], raw[4 * i + 1]);
            const double u2 = uniform_from(raw[4 * i + 2], raw[4 * i + 3]);
            a[i] = 0.999999999999 * u1 + 1e-12;
            theta[i] = 6.283185307179586 * (0.999999999999 * u2 + 1e-12);
        }
        for (int i = 0; i < kPairs; ++i) a[i] = std::log(a[i]);
        for (int i = 0; i < kPairs; ++i) a[i] = std::sqrt(-2.0 * a[i]);  // rho
        for (int i = 0; i < kPairs; ++i) {
            double s = 0.0;
            double c = 0.0;
            ::sincos(theta[i], &s, &c);
            buf_[2 * i] = a[i] * c;
            buf_[2 * i + 1] = a[i] * s;
        }
        pos_ = 0;
    }

    Mt19937 gen_;
    double buf_[kNormals];
    int pos_ = kNormals;
};

}  // namespace orvelta::mc
