#include "common/vector_math.hpp"

#include "common/dispatch.hpp"
#include "common/simd.hpp"

#include <cstddef>

namespace orvelta {

namespace {

using ArrayFn = void (*)(const double*, int, double*) noexcept;

// Each register of lanes, the partial last one padded (loads and stores of
// only the live lanes). Plain loops, no lambdas: a lambda's body would not be
// compiled for the caller's instruction set.
template <class D>
inline __attribute__((always_inline)) void exp_lanes(const double* x, int n, double* out) noexcept {
    constexpr int W = vm::lanes<D>;
    for (int i = 0; i < n; i += W) {
        const auto left = static_cast<std::size_t>(n - i);
        vm::store(out + i, vm::vexp_clamped(vm::load<D>(x + i, left)), left);
    }
}

template <class D>
inline __attribute__((always_inline)) void ncdf_lanes(const double* x, int n, double* out) noexcept {
    constexpr int W = vm::lanes<D>;
    for (int i = 0; i < n; i += W) {
        const auto left = static_cast<std::size_t>(n - i);
        vm::store(out + i, vm::vncdf(vm::load<D>(x + i, left)), left);
    }
}

void exp_baseline(const double* x, int n, double* out) noexcept { exp_lanes<vm::v4d>(x, n, out); }
ORVELTA_TARGET_AVX2 void exp_avx2(const double* x, int n, double* out) noexcept {
    exp_lanes<vm::v4d>(x, n, out);
}
ORVELTA_TARGET_AVX512 void exp_avx512(const double* x, int n, double* out) noexcept {
    exp_lanes<vm::v8d>(x, n, out);
}

void ncdf_baseline(const double* x, int n, double* out) noexcept { ncdf_lanes<vm::v4d>(x, n, out); }
ORVELTA_TARGET_AVX2 void ncdf_avx2(const double* x, int n, double* out) noexcept {
    ncdf_lanes<vm::v4d>(x, n, out);
}
ORVELTA_TARGET_AVX512 void ncdf_avx512(const double* x, int n, double* out) noexcept {
    ncdf_lanes<vm::v8d>(x, n, out);
}

}  // namespace

void exp_array(const double* x, int n, double* out) noexcept {
    dispatch<ArrayFn>(exp_avx512, exp_avx2, exp_baseline)(x, n, out);
}

void ncdf_array(const double* x, int n, double* out) noexcept {
    dispatch<ArrayFn>(ncdf_avx512, ncdf_avx2, ncdf_baseline)(x, n, out);
}

}  // namespace orvelta
