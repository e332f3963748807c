// Subnormal results flushed to zero (and subnormal operands read as zero)
// for the life of a FlushSubnormals, on the calling thread only. The
// finite-difference grids use it: far out of the money, under heavy
// discounting or at a tiny volatility their values underflow through the
// subnormal range, where x86 arithmetic costs twenty times as much, which
// made their work limits take ten to twenty seconds instead of one. What is
// flushed lies below 2.2e-308, far below any price's last bit. The flags
// are restored on every exit.
#pragma once

#if defined(__SSE2__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

namespace orvelta {

class FlushSubnormals {
public:
#if defined(__SSE2__) || defined(_M_X64)
    FlushSubnormals() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | kFlushToZero | kZeroOperands); }
    ~FlushSubnormals() { _mm_setcsr(saved_); }
#else
    FlushSubnormals() = default;
#endif
    FlushSubnormals(const FlushSubnormals&) = delete;
    FlushSubnormals& operator=(const FlushSubnormals&) = delete;

#if defined(__SSE2__) || defined(_M_X64)
private:
    static constexpr unsigned kFlushToZero = 0x8000, kZeroOperands = 0x0040;
    unsigned saved_;
#endif
};

}  // namespace orvelta
