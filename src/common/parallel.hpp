// The one parallel loop of the core. Every batch that runs on the OpenMP team
// goes through parallel_for: the team is woken only when the caller says the
// work repays it (run_parallel), iterations are handed out dynamically in
// chunks of the given size, an exception thrown by an iteration is captured
// (never let out of the region) and rethrown on the calling thread after the
// loop, and once an iteration has failed or a cancellation is requested
// (cancel_requested, set by SIGINT) the remaining iterations are skipped.
// The body must not touch a Python object. Results written per iteration are
// the same bits whatever the thread count, as long as each iteration depends
// on its own inputs only.
#pragma once

#include "common/interrupt.hpp"
#include "common/threads.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>

namespace orvelta {

// Runs body(i, local) for i in [begin, end), where `local` is a Local
// default-constructed once per thread of the region (for working storage the
// thread reuses across its iterations). The loop runs on the team when
// `parallel` is true, else on the calling thread.
template <class Local, class Body>
void parallel_for_local(std::size_t begin, std::size_t end, std::size_t chunk, bool parallel,
                        Body&& body) {
    if (begin >= end) return;
    const auto first = static_cast<std::int64_t>(begin);
    const auto last = static_cast<std::int64_t>(end);
    const auto step = static_cast<std::int64_t>(chunk < 1 ? 1 : chunk);
    std::exception_ptr failure;
    std::atomic<bool> failed{false};
#pragma omp parallel if (parallel)
    {
        Local local{};
#pragma omp for schedule(nonmonotonic : dynamic, step) nowait
        for (std::int64_t i = first; i < last; ++i) {
            if (failed.load(std::memory_order_relaxed) || cancel_requested()) continue;
            try {
                body(static_cast<std::size_t>(i), local);
            } catch (...) {
#pragma omp critical(orvelta_parallel_failure)
                if (!failure) failure = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
            }
        }
    }
    if (failure) std::rethrow_exception(failure);
}

namespace detail {
struct NoLocal {};
}  // namespace detail

// Runs body(i) for i in [begin, end); as parallel_for_local without
// per-thread state.
template <class Body>
void parallel_for(std::size_t begin, std::size_t end, std::size_t chunk, bool parallel,
                  Body&& body) {
    parallel_for_local<detail::NoLocal>(begin, end, chunk, parallel,
                                        [&](std::size_t i, detail::NoLocal&) { body(i); });
}

}  // namespace orvelta
