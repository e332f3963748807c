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
// type, define `name_baseline`, `name_avx2` (ORVELTA_TARGET_AVX2) and
// `name_avx512` (ORVELTA_TARGET_AVX512) that instantiate it, and call
// `dispatch(name_avx512, name_avx2, name_baseline)(args...)`.
#pragma once

namespace orvelta {

enum class Isa : int { baseline = 0, avx2 = 1, avx512 = 2 };

#define ORVELTA_TARGET_AVX512 __attribute__((target("avx512f,avx512dq,avx512vl,avx512bw"), noinline))
#define ORVELTA_TARGET_AVX2 __attribute__((target("avx2"), noinline))

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

}  // namespace orvelta
