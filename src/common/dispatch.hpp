// Processor dispatch: which instruction-set build of a vectorised kernel runs.
//
// A vectorised kernel is written once over a lane type (see common/simd.hpp)
// and compiled three times: for the x86-64 baseline, for AVX2 and for
// AVX-512 (F, DQ, VL, BW), the last two as functions with a `target`
// attribute. Every build performs the same IEEE operations in the same order
// in every lane, so all three give the same bits; the fastest one the
// processor runs is detected once, when the library is loaded, and
// `dispatch` calls it. Tests select another build through a private hook of
// each module (`_isa`) to check that every build gives the same bits.
//
// Adding a kernel: write its body as an always-inline template over the lane
// type (common/simd.hpp) and let ORVELTA_KERNEL_BUILDS define its three
// builds and the function that calls the active one:
//
//   ORVELTA_KERNEL_BUILDS(void, exp_array, (const double* x, int n, double* out) noexcept,
//                         (x, n, out), exp_lanes<vm::v4d>, exp_lanes<vm::v4d>, exp_lanes<vm::v8d>)
//
// defines exp_array_baseline, exp_array_avx2 and exp_array_avx512, each the
// template instantiated inside a function compiled for that instruction set
// (so everything it inlines is too), and exp_array(x, n, out), which calls
// the build of the active instruction set.
#pragma once

namespace orvelta {

enum class Isa : int { baseline = 0, avx2 = 1, avx512 = 2 };

#if defined(__GNUC__) && defined(__x86_64__)
#define ORVELTA_TARGET_AVX512 \
    __attribute__((target("avx512f,avx512dq,avx512vl,avx512bw"), noinline))
#define ORVELTA_TARGET_AVX2 __attribute__((target("avx2"), noinline))
#else
#define ORVELTA_TARGET_AVX512
#define ORVELTA_TARGET_AVX2
#endif

const char* isa_name(Isa isa) noexcept;
bool isa_supported(Isa isa) noexcept;  // can this processor run the build?
Isa best_isa() noexcept;               // the load-time choice
Isa active_isa() noexcept;             // best_isa() unless a test selected another
// Selects the build used from now on; false, and no change, when the
// processor cannot run it. For tests only.
bool select_isa(Isa isa) noexcept;

// The build of a kernel for the active instruction set.
template <class Fn>
inline Fn dispatch(Fn avx512, Fn avx2, Fn baseline) noexcept {
    switch (active_isa()) {
        case Isa::avx512: return avx512;
        case Isa::avx2: return avx2;
        case Isa::baseline: break;
    }
    return baseline;
}

// The three builds of a kernel and its dispatching entry (see above). Params
// is the parenthesised parameter list with any trailing noexcept, Args the
// parenthesised arguments passed on, Baseline/Avx2/Avx512 the body each
// build calls.
#define ORVELTA_KERNEL_BUILDS(Ret, name, Params, Args, Baseline, Avx2, Avx512)        \
    Ret name##_baseline Params { return Baseline Args; }                              \
    ORVELTA_TARGET_AVX2 Ret name##_avx2 Params { return Avx2 Args; }                  \
    ORVELTA_TARGET_AVX512 Ret name##_avx512 Params { return Avx512 Args; }            \
    Ret name Params {                                                                 \
        return ::orvelta::dispatch(name##_avx512, name##_avx2, name##_baseline) Args; \
    }

}  // namespace orvelta
