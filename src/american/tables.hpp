// Quadrature and interpolation tables of the accurate American pricer, built
// once on first use: Gauss-Legendre rules, the Chebyshev-Lobatto cosines and
// tanh-sinh rules.
#pragma once

#include "american/american.hpp"

namespace orvelta::american {

// Gauss-Legendre nodes and weights on [-1, 1] for every order 1..kMaxQuad.
struct GaussLegendre {
    double x[kMaxQuad + 1][kMaxQuad];
    double w[kMaxQuad + 1][kMaxQuad];
    // For the substitution u = tau sin^2(theta), theta = pi (1 + x) / 4:
    // sin(theta), cos(theta) and the weight pi w sin(theta) / 2.
    double sn[kMaxQuad + 1][kMaxQuad];
    double cs[kMaxQuad + 1][kMaxQuad];
    double ws[kMaxQuad + 1][kMaxQuad];
    GaussLegendre();
};
const GaussLegendre& gauss_legendre();

// cos(m pi / n) for m = 0 .. 2n - 1, per degree n (Chebyshev-Lobatto points
// and the discrete cosine transform that gives the coefficients).
struct ChebyshevCosines {
    double c[kMaxNodes + 1][2 * kMaxNodes];
    ChebyshevCosines();
};
const ChebyshevCosines& chebyshev_cosines();

// Tanh-sinh rule on [0, 1] per level (step h = 2^-level, |k h| <= 3.5): the
// abscissa a and its complement 1 - a, both accurate near their endpoint.
inline constexpr int kMaxPremiumPoints = 2 * 112 + 1;

struct TanhSinh {
    static constexpr int kMaxPoints = kMaxPremiumPoints;
    int count[kMaxPremiumLevel + 1];
    double a[kMaxPremiumLevel + 1][kMaxPoints];
    double ca[kMaxPremiumLevel + 1][kMaxPoints];
    double w[kMaxPremiumLevel + 1][kMaxPoints];
    TanhSinh();
};
const TanhSinh& tanh_sinh();

}  // namespace orvelta::american
