#include "common/vector_math.hpp"

#include "common/dispatch.hpp"
#include "common/simd.hpp"

#include <cstddef>

namespace orvelta {

namespace {

// Each register of lanes, the partial last one padded (loads and stores of
// only the live lanes). The operation is a type with a static always-inline
// function, not a lambda: a lambda's body would not be compiled for the
// caller's instruction set.
template <class Op, class D>
inline __attribute__((always_inline)) void map_lanes(const double* x, int n, double* out) noexcept {
    constexpr int W = vm::lanes<D>;
    for (int i = 0; i < n; i += W) {
        const auto left = static_cast<std::size_t>(n - i);
        vm::store(out + i, Op::apply(vm::load<D>(x + i, left)), left);
    }
}

struct Exp {
    template <class D>
    static inline __attribute__((always_inline)) D apply(D x) noexcept {
        return vm::vexp_clamped(x);
    }
};

struct NormalCdf {
    template <class D>
    static inline __attribute__((always_inline)) D apply(D x) noexcept {
        return vm::vncdf(x);
    }
};

// Clenshaw's recurrence on two registers of points at a time, whose chains
// of dependent operations interleave.
template <class D>
inline __attribute__((always_inline)) void chebyshev_lanes(const double* c, int m, const double* x,
                                                           int n, double* out) noexcept {
    constexpr int W = vm::lanes<D>;
    for (int i = 0; i < n; i += 2 * W) {
        const auto left = static_cast<std::size_t>(n - i);
        const auto left2 = left > static_cast<std::size_t>(W) ? left - W : 0;
        const D xa = vm::load<D>(x + i, left);
        const D xb = left2 > 0 ? vm::load<D>(x + i + W, left2) : xa;
        const D xa2 = xa + xa, xb2 = xb + xb;
        D a1 = xa - xa, a2 = a1, b1 = a1, b2 = a1;
        for (int j = m - 1; j >= 1; --j) {
            const double cj = c[j];
            const D a0 = xa2 * a1 - a2 + cj;
            const D b0 = xb2 * b1 - b2 + cj;
            a2 = a1;
            a1 = a0;
            b2 = b1;
            b1 = b0;
        }
        vm::store(out + i, xa * a1 - a2 + c[0], left);
        if (left2 > 0) vm::store(out + i + W, xb * b1 - b2 + c[0], left2);
    }
}

}  // namespace

ORVELTA_KERNEL_BUILDS(void, exp_array, (const double* x, int n, double* out) noexcept, (x, n, out),
                      (map_lanes<Exp, vm::v4d>), (map_lanes<Exp, vm::v4d>),
                      (map_lanes<Exp, vm::v8d>))
ORVELTA_KERNEL_BUILDS(void, ncdf_array, (const double* x, int n, double* out) noexcept, (x, n, out),
                      (map_lanes<NormalCdf, vm::v4d>), (map_lanes<NormalCdf, vm::v4d>),
                      (map_lanes<NormalCdf, vm::v8d>))
ORVELTA_KERNEL_BUILDS(void, chebyshev_array,
                      (const double* c, int m, const double* x, int n, double* out) noexcept,
                      (c, m, x, n, out), (chebyshev_lanes<vm::v4d>), (chebyshev_lanes<vm::v4d>),
                      (chebyshev_lanes<vm::v8d>))

}  // namespace orvelta
