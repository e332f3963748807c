// Constants and one-line helpers that several areas of the core share.
#pragma once

#include <limits>

namespace orvelta {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kPi = 3.141592653589793;
inline constexpr double kInvSqrt2 = 0.7071067811865476;
inline constexpr double kInvSqrt2Pi = 0.3989422804014327;

// max(x, 0) that lets a NaN through.
inline double positive_part(double x) noexcept { return x < 0.0 ? 0.0 : x; }

}  // namespace orvelta
