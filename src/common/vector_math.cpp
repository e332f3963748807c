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

}  // namespace

ORVELTA_KERNEL_BUILDS(void, exp_array, (const double* x, int n, double* out) noexcept, (x, n, out),
                      (map_lanes<Exp, vm::v4d>), (map_lanes<Exp, vm::v4d>),
                      (map_lanes<Exp, vm::v8d>))
ORVELTA_KERNEL_BUILDS(void, ncdf_array, (const double* x, int n, double* out) noexcept, (x, n, out),
                      (map_lanes<NormalCdf, vm::v4d>), (map_lanes<NormalCdf, vm::v4d>),
                      (map_lanes<NormalCdf, vm::v8d>))

}  // namespace orvelta
