#include "common/threads.hpp"

#include <omp.h>
#include <pthread.h>

#include <algorithm>

namespace orvelta {

namespace {

// libgomp keeps each thread's pool of workers in that thread's own state. A
// forked child has only the thread that called fork(), whose pool still lists
// the parent's workers: its next team would wait for them for ever, and
// omp_set_num_threads does not rebuild the pool. So that thread runs every
// later batch itself. Threads the child starts afterwards begin with no pool
// and get a working team of their own.
thread_local bool t_team_lost = false;

void after_fork_child() noexcept { t_team_lost = true; }

const int g_atfork_registered = pthread_atfork(nullptr, nullptr, &after_fork_child);

}  // namespace

bool run_parallel(std::size_t count) noexcept {
    (void)g_atfork_registered;
    return count >= kMinParallelBatch && !t_team_lost;
}

std::size_t team_size(std::size_t count) noexcept {
    if (!run_parallel(count)) return 1;
    return std::min(count, static_cast<std::size_t>(std::max(1, omp_get_max_threads())));
}

}  // namespace orvelta
