#include "common/dispatch.hpp"

#include <atomic>

namespace orvelta {

namespace {

bool cpu_runs(Isa isa) noexcept {
#if defined(__GNUC__) && defined(__x86_64__)
    __builtin_cpu_init();
    switch (isa) {
        case Isa::avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw");
        case Isa::avx2: return __builtin_cpu_supports("avx2");
        case Isa::baseline: return true;
    }
    return false;
#else
    return isa == Isa::baseline;
#endif
}

Isa detect_best() noexcept {
    if (cpu_runs(Isa::avx512)) return Isa::avx512;
    if (cpu_runs(Isa::avx2)) return Isa::avx2;
    return Isa::baseline;
}

// Detected when the library is loaded; the build in use is read on every
// dispatch (a relaxed load, as cheap as a plain one).
const Isa g_best = detect_best();
std::atomic<int> g_active{static_cast<int>(g_best)};

}  // namespace

const char* isa_name(Isa isa) noexcept {
    switch (isa) {
        case Isa::avx512: return "avx512";
        case Isa::avx2: return "avx2";
        case Isa::baseline: return "baseline";
    }
    return "baseline";
}

bool isa_supported(Isa isa) noexcept { return cpu_runs(isa); }
Isa best_isa() noexcept { return g_best; }
Isa active_isa() noexcept { return static_cast<Isa>(g_active.load(std::memory_order_relaxed)); }

bool select_isa(Isa isa) noexcept {
    if (!cpu_runs(isa)) return false;
    g_active.store(static_cast<int>(isa), std::memory_order_relaxed);
    return true;
}

}  // namespace orvelta
