#include "american/tables.hpp"

#include "common/constants.hpp"

#include <cmath>

namespace orvelta::american {

GaussLegendre::GaussLegendre() {
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

const GaussLegendre& gauss_legendre() {
    static const GaussLegendre table;
    return table;
}

ChebyshevCosines::ChebyshevCosines() {
    for (int n = 1; n <= kMaxNodes; ++n)
        for (int m = 0; m < 2 * n; ++m) c[n][m] = std::cos(kPi * m / n);
}

const ChebyshevCosines& chebyshev_cosines() {
    static const ChebyshevCosines table;
    return table;
}

TanhSinh::TanhSinh() {
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

const TanhSinh& tanh_sinh() {
    static const TanhSinh table;
    return table;
}

}  // namespace orvelta::american
