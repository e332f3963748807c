// Cooperative interruption of long kernels. The core never sees Python: a
// binding module installs a checker, which long sequential kernels call
// between blocks of work (options, path blocks, sweeps) while the calling
// thread holds the interpreter lock; it throws to abandon the call. Code
// inside an OpenMP region never calls it: it polls cancel_requested() instead.
#pragma once

namespace orvelta {

using InterruptChecker = void (*)();

// Installed once by each binding module; null means "never interrupted".
void set_interrupt_checker(InterruptChecker checker) noexcept;

// Calls the installed checker, if any (which may throw).
void poll_interrupt();

// A flag that parallel regions poll (relaxed) to stop early; whoever set it
// reports the interruption once the region has ended.
bool cancel_requested() noexcept;
void request_cancel() noexcept;
void clear_cancel() noexcept;

}  // namespace orvelta
