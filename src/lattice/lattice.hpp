// Binomial lattice pricing: Cox-Ross-Rubinstein and Tian trees, one option
// with its early-exercise boundary and a parallel batch.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvelta::lattice {

struct TreeParameters {
    double u;  // up factor
    double d;  // down factor
    double p;  // probability of the up move, kept inside [1e-10, 1 - 1e-10]
};

// Per-step factors for a step of length dt. tree_type 1 selects Tian's
// moment-matching lattice (falling back to CRR when its factors are unusable);
// every other value selects Cox-Ross-Rubinstein.
TreeParameters tree_parameters(int tree_type, double r, double q, double sigma, double dt) noexcept;

// Number of lattice steps the single-option pricer uses for a requested count.
inline std::int64_t boundary_steps(int steps) noexcept { return steps < 2 ? 2 : steps; }

// Prices one option on a lattice of boundary_steps(steps) steps.
// `times` and `boundary` must each hold boundary_steps(steps) + 1 entries; they
// receive the step times and the critical exercise price per step (NaN where no
// node is exercised). Invalid inputs (s, k not positive; tau, sigma not
// positive) give the intrinsic value and an all-NaN boundary. A NaN or
// infinite r or q, or a NaN tau or sigma, gives a NaN price.
// Calls orvelta::poll_interrupt() between blocks of rows of large lattices,
// so it may throw whatever the installed checker throws.
double tree_boundary(double s, double k, double r, double q, double sigma, double tau,
                     int option_type, int steps, int tree_type, bool american, double* times,
                     double* boundary);

// Prices `count` independent options in parallel (OpenMP, dynamic chunks of
// 16 options), in groups of SIMD lanes. Entry i of `out` equals, bit for bit, the
// price tree_boundary returns for option i whenever its inputs are valid and
// steps >= 2; non-positive or NaN spot or strike gives NaN, non-positive tau
// or sigma or steps < 2 the intrinsic value. Each entry depends on its own
// inputs only, so any slice of a batch gives the same entries as the whole.
// Runs without touching any Python object; an allocation failure inside the
// parallel loop is rethrown on the calling thread after the loop has ended.
// When orvelta::cancel_requested() becomes true the loop stops early and the
// content of `out` is unspecified.
void tree_batch(std::size_t count, const double* s, const double* k, const double* r,
                const double* q, const double* sigma, const double* tau, const int* option_type,
                int steps, int tree_type, bool american, double* out);

// Working memory, in bytes, that tree_batch needs per thread, and that
// tree_boundary needs besides its two result arrays.
std::size_t tree_batch_work_bytes(int steps) noexcept;
std::size_t tree_boundary_work_bytes(int steps) noexcept;

}  // namespace orvelta::lattice
