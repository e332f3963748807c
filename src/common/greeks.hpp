// A price and its six sensitivities, as the American and dividend engines
// return them, and how a batch stores them.
#pragma once

#include "common/constants.hpp"

#include <cstddef>

namespace orvelta {

struct Greeks {
    double price, delta, gamma, theta, vega, rho;

    static constexpr Greeks nan() noexcept { return {kNaN, kNaN, kNaN, kNaN, kNaN, kNaN}; }

    // Writes entry i of the six result arrays of a batch.
    void store(std::size_t i, double* p, double* d, double* g, double* t, double* v,
               double* r) const noexcept {
        p[i] = price;
        d[i] = delta;
        g[i] = gamma;
        t[i] = theta;
        v[i] = vega;
        r[i] = rho;
    }
};

}  // namespace orvelta
