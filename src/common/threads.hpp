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

// Threads a batch of `count` items runs on (1 when it stays on the calling
// thread), for sizing per-thread working storage before a call.
std::size_t team_size(std::size_t count) noexcept;

}  // namespace orvelta
