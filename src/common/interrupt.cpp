#include "common/interrupt.hpp"

#include <atomic>

namespace orvelta {

namespace {
std::atomic<InterruptChecker> g_checker{nullptr};
std::atomic<bool> g_cancel{false};
}  // namespace

void set_interrupt_checker(InterruptChecker checker) noexcept { g_checker.store(checker); }

void poll_interrupt() {
    const InterruptChecker check = g_checker.load(std::memory_order_relaxed);
    if (check != nullptr) check();
}

bool cancel_requested() noexcept { return g_cancel.load(std::memory_order_relaxed); }
void request_cancel() noexcept { g_cancel.store(true, std::memory_order_relaxed); }
void clear_cancel() noexcept { g_cancel.store(false, std::memory_order_relaxed); }

}  // namespace orvelta
