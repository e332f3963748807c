// Monte Carlo pricing of American-style options: seeded antithetic GBM paths,
// the Longstaff-Schwartz least-squares exercise policy fitted backwards on a
// paths array, and the evaluation of a fitted policy on other paths.
//
// A paths array is row-major: n rows (paths) by m columns (dates 0 .. m-1,
// equally spaced from 0 to tau), column 0 the spot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>

namespace orvelta::mc {

// a * b elements of `elem` bytes each, or std::bad_alloc when that many bytes
// cannot be addressed (so a huge request reports MemoryError, never wraps).
inline std::int64_t checked_elements(std::int64_t a, std::int64_t b, std::size_t elem) {
    constexpr std::int64_t kMaxBytes = std::numeric_limits<std::int64_t>::max();
    const auto bytes_per = static_cast<std::int64_t>(elem);
    if (a < 0 || b < 0) throw std::bad_alloc();
    if (a != 0 && b > kMaxBytes / bytes_per / a) throw std::bad_alloc();
    return a * b;
}

// Effective sizes of a path request: at least 1 step; at least one antithetic
// pair, and an odd path count loses one path.
struct PathShape {
    std::int64_t steps;  // time steps; the array has steps + 1 columns
    std::int64_t pairs;  // antithetic pairs; the array has 2 * pairs rows
};

inline PathShape path_shape(int steps, int paths) noexcept {
    const std::int64_t s = steps >= 1 ? steps : 1;
    const std::int64_t p = paths <= 3 ? 1 : static_cast<std::int64_t>(paths) / 2;
    return {s, p};
}

// Fills `out` ((2 * pairs) x (steps + 1), row-major) with GBM paths from a
// fresh generator seeded with `seed`. Row i and row i + pairs take opposite
// shocks; the normals are consumed pair by pair, step by step.
void gbm_paths_antithetic(double s0, double r, double q, double sigma, double tau,
                          const PathShape& shape, std::uint32_t seed, double* out);

// Gauss-Jordan elimination with partial pivoting on copies of the nb x nb
// row-major matrix A and of b. `M` is scratch of nb * nb entries; `beta`
// (nb entries) receives the solution. A column whose remaining entries are all
// below 1e-12 in magnitude is passed over. A and b are left unchanged.
void solve_normal_equations(const double* A, const double* b, std::int64_t nb, double* M,
                            double* beta) noexcept;

// Number of basis functions for a regression degree: max(degree, 0) + 1.
inline std::int64_t basis_size(int degree) noexcept {
    return static_cast<std::int64_t>(degree < 0 ? 0 : degree) + 1;
}

// Longstaff-Schwartz backward pass with the basis 1, x, .., x^(nb-1) of
// x = ln(max(S, 1e-300) / strike), nb = basis_size(degree). Writes each path's
// cash-flow date to exercise_time (n entries) and the policy to coefficients
// (m x nb, row-major; row t the regression of date t, zero where none ran) and
// returns the mean cash flow discounted to date 0. Throws std::runtime_error
// "paths must have at least one column" for n >= 1 rows and m = 0 columns;
// std::bad_alloc when the working storage cannot be had.
double lsm_backward(const double* paths, std::int64_t n, std::int64_t m, double strike, double r,
                    double tau, int option_type, int degree, std::int32_t* exercise_time,
                    double* coefficients);

// Forward evaluation of the policy `coefficients` (coef_rows x nb, row-major):
// each path is exercised at its first date 1 .. m-2 where the exercise value
// is positive and exceeds the continuation estimate. Writes the dates to
// exercise_time (n entries) and returns the mean discounted cash flow. Throws
// std::runtime_error for n >= 1 rows and m = 0 columns, and for m >= 3 when
// coef_rows < m - 1 (a date without its policy row), before anything is
// computed.
double lsm_eval_policy(const double* paths, std::int64_t n, std::int64_t m, double strike, double r,
                       double tau, int option_type, const double* coefficients,
                       std::int64_t coef_rows, std::int64_t nb, std::int32_t* exercise_time);

}  // namespace orvelta::mc
