// When a parallel kernel may wake the OpenMP team: not for batches too small
// to repay the wake-up, and not in a child process forked after the parent
// used the team (libgomp's pool does not survive fork()).
#pragma once

#include <cstddef>

namespace orvelta {

// Below this many options a batch runs on the calling thread.
inline constexpr std::size_t kMinParallelBatch = 32;

// True when a batch of `count` items should run on the OpenMP team.
bool run_parallel(std::size_t count) noexcept;

}  // namespace orvelta
