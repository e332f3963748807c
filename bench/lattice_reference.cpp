// Ceiling for the lattice batch benchmark: the American CRR induction of 8
// options at once in the 8 lanes of one AVX-512 register, written as plainly
// as possible: the same operations in the same order as the batch pricer, so
// its prices are the same doubles, and nothing else (no validation, no
// dispatch, no threads, no tail). Built by bench_lattice.py with
//   g++ -O2 -mavx512f -ffp-contract=off -shared -fPIC
// and called through ctypes; count must be a multiple of 8 and every option
// valid (s, k, sigma, tau > 0, steps >= 2).
#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <vector>

extern "C" void reference_batch(std::int64_t count, const double* s, const double* k,
                                const double* r, const double* q, const double* sigma,
                                const double* tau, const int* option_type, int steps, double* out) {
    const std::int64_t n = steps;
    std::vector<double> storage((n + 2) * 8 + 8);
    double* V = reinterpret_cast<double*>((reinterpret_cast<std::uintptr_t>(storage.data()) + 63) &
                                          ~std::uintptr_t{63});
    alignas(64) double lk[8], lp[8], lpd[8], ldisc[8], lratio[8], llogd[8], ls[8], start[8];
    for (std::int64_t g = 0; g < count; g += 8) {
        __mmask8 put = 0;
        for (int l = 0; l < 8; ++l) {
            const std::int64_t i = g + l;
            const double dt = tau[i] / static_cast<double>(n);
            const double a = std::exp((r[i] - q[i]) * dt);
            const double u = std::exp(sigma[i] * std::sqrt(dt));
            const double d = 1.0 / u;
            double p = (a - d) / (u - d);
            if (p < 1e-10) {
                p = 1e-10;
            } else if (p > 0.9999999999) {
                p = 0.9999999999;
            }
            ls[l] = s[i];
            lk[l] = k[i];
            lp[l] = p;
            lpd[l] = 1.0 - p;
            ldisc[l] = std::exp(-r[i] * dt);
            lratio[l] = u / d;
            llogd[l] = std::log(d);
            if (option_type[i] <= 0) put |= static_cast<__mmask8>(1u << l);
        }
        const __m512d vk = _mm512_load_pd(lk), vp = _mm512_load_pd(lp), vpd = _mm512_load_pd(lpd);
        const __m512d vdisc = _mm512_load_pd(ldisc), vratio = _mm512_load_pd(lratio);
        const __m512d zero = _mm512_setzero_pd();

        for (int l = 0; l < 8; ++l) start[l] = ls[l] * std::exp(static_cast<double>(n) * llogd[l]);
        __m512d S = _mm512_load_pd(start);
        for (std::int64_t j = 0; j <= n; ++j) {
            __m512d x = _mm512_mask_sub_pd(_mm512_sub_pd(S, vk), put, vk, S);
            x = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(x, zero, _CMP_LT_OQ), x, zero);
            _mm512_store_pd(V + j * 8, x);
            S = _mm512_mul_pd(S, vratio);
        }
        for (std::int64_t F = n - 1; F >= 0; --F) {
            for (int l = 0; l < 8; ++l)
                start[l] = ls[l] * std::exp(static_cast<double>(F) * llogd[l]);
            S = _mm512_load_pd(start);
            __m512d v0 = _mm512_load_pd(V);
            for (std::int64_t j = 0; j <= F; ++j) {
                const __m512d v1 = _mm512_load_pd(V + (j + 1) * 8);
                const __m512d cont = _mm512_mul_pd(
                    _mm512_add_pd(_mm512_mul_pd(vp, v1), _mm512_mul_pd(vpd, v0)), vdisc);
                __m512d ex = _mm512_mask_sub_pd(_mm512_sub_pd(S, vk), put, vk, S);
                ex = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(ex, zero, _CMP_LT_OQ), ex, zero);
                // Exercise value unless continuation is worth more (or NaN).
                _mm512_store_pd(V + j * 8, _mm512_mask_blend_pd(
                                               _mm512_cmp_pd_mask(cont, ex, _CMP_LE_OQ), cont, ex));
                S = _mm512_mul_pd(S, vratio);
                v0 = v1;
            }
        }
        _mm512_storeu_pd(out + g, _mm512_load_pd(V));
    }
}
