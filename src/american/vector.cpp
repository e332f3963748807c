#include "american/vector.hpp"

#include "common/dispatch.hpp"
#include "common/simd.hpp"

#include <algorithm>
#include <cstring>

namespace orvelta::american {

namespace {

// Four vector registers of points at a time.
template <class D>
inline __attribute__((always_inline)) void clenshaw_lanes(const double* coef, int n,
                                                          const double* x, int count,
                                                          double* h) noexcept {
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

}  // namespace

ORVELTA_KERNEL_BUILDS(void, clenshaw_array,
                      (const double* coef, int n, const double* x, int count, double* h) noexcept,
                      (coef, n, x, count, h), clenshaw_lanes<vm::v4d>, clenshaw_lanes<vm::v4d>,
                      clenshaw_lanes<vm::v8d>)

}  // namespace orvelta::american
