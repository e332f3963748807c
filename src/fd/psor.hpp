// Finite-difference pricing: a fully implicit grid in the underlying price whose
// time levels are solved by projected successive over-relaxation (PSOR), for one
// option and for a sequential batch.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvelta::fd {

// Number of price intervals N (the grid has N + 1 nodes) for a requested count.
inline std::int64_t price_intervals(int s_steps) noexcept { return s_steps < 20 ? 20 : s_steps; }

// Number of time steps M (M + 1 levels, level 0 today) for a requested count.
inline std::int64_t time_steps(int t_steps) noexcept { return t_steps < 4 ? 4 : t_steps; }

// Refuses relaxation settings under which the iteration cannot converge:
// std::runtime_error "omega must lie in (0, 2)" for omega outside (0, 2) or
// NaN, "tol must be a number >= 0" for a negative or NaN tol.
void check_settings(double omega, double tol);

// Bytes of work vectors that one solve (or one batch of `count` options) on a
// grid of price_intervals(s_steps) intervals allocates.
double solve_work_bytes(int s_steps) noexcept;
double batch_work_bytes(int s_steps, std::size_t count) noexcept;

struct PsorResult {
    double price;         // option value at the spot today
    double max_residual;  // max(0, largest per-level residual)
};

// Prices one option with N = price_intervals(s_steps), M = time_steps(t_steps).
// Every output buffer is optional (nullptr skips it):
//   s_grid     N + 1 entries, the price nodes i * ds;
//   boundary   M + 1 entries, the exercise boundary per level (NaN where there
//              is none, k at expiry);
//   residuals  M entries, the change of the last sweep of each level;
//   values     (M + 1) * (N + 1) entries, row-major, row n the values at level n
//              (row M the payoff); a null pointer means no value surface.
// The work vectors (grid, payoff, old and new values, right-hand side and a
// look-ahead iterate for pipelined sweeps) are taken in one allocation before
// the time loop (std::bad_alloc, or MemoryLimitError when they cannot fit in
// memory); the loop allocates nothing.
// The settings are checked first (check_settings). A NaN or infinite s, k, r,
// q, sigma or tau gives a NaN price: no sweep runs, the residuals and the
// value rows below expiry are NaN, and the grid, the payoff row and the
// boundary at expiry are as usual. Other out-of-range inputs run through the
// arithmetic. Between sweeps the solver calls poll_interrupt(), which may
// throw; the outputs are then incomplete.
PsorResult pde_psor_solve(double s, double k, double r, double q, double sigma, double tau,
                          int option_type, int s_steps, int t_steps, double s_max_mult,
                          double omega, double tol, int max_iter, bool american, double* s_grid,
                          double* boundary, double* residuals, double* values);

// Prices `count` options one after another with pde_psor_solve and no value
// surface; prices[i] and residuals[i] are exactly the price and max_residual of
// the single solve of option i (NaN and NaN for non-finite inputs). Checks the
// settings first, even for count 0.
void pde_psor_batch(std::size_t count, const double* s, const double* k, const double* r,
                    const double* q, const double* sigma, const double* tau, const int* option_type,
                    int s_steps, int t_steps, double s_max_mult, double omega, double tol,
                    int max_iter, bool american, double* prices, double* residuals);

}  // namespace orvelta::fd
