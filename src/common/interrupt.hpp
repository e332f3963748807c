// Cooperative interruption of long kernels. The core never sees Python: a
// binding module installs a checker, which long sequential kernels call
// between blocks of work (options, path blocks, sweeps) while the calling
// thread holds the interpreter lock; it throws to abandon the call. Code
// inside an OpenMP region never calls it: it polls cancel_requested() instead.
#pragma once

#include <cstdint>

namespace orvelta {

using InterruptChecker = void (*)();

// Installed once by each binding module; null means "never interrupted".
void set_interrupt_checker(InterruptChecker checker) noexcept;

// Calls the installed checker, if any (which may throw).
void poll_interrupt();

// Calls poll_interrupt() once every `period` calls of tick(), so that a loop
// whose steps are tiny can poll at a negligible cost.
class InterruptPacer {
public:
    explicit InterruptPacer(std::int64_t period) noexcept : period_(period), left_(period) {}
    // Counts `work` units done; polls when a period's worth has accumulated.
    void tick(std::int64_t work = 1) {
        left_ -= work;
        if (left_ <= 0) {
            left_ = period_;
            poll_interrupt();
        }
    }

private:
    std::int64_t period_;
    std::int64_t left_;
};

// A flag that parallel regions poll (relaxed) to stop early; whoever set it
// reports the interruption once the region has ended.
bool cancel_requested() noexcept;
void request_cancel() noexcept;
void clear_cancel() noexcept;

// Number of SIGINTs that have set the cancel flag so far in this process. A
// caller compares the counts before and after a piece of work to learn
// whether that work may have been cut short.
std::uint64_t cancel_signals() noexcept;

// While at least one SigintCancel is alive (on any thread), a SIGINT sets the
// cancel flag and then runs the handler that was installed before (the
// interpreter's, which records the signal for Python to raise on). The first
// scope installs the handler, the last one restores the previous handler and
// clears the flag. A SIGINT that is ignored stays ignored. Safe for several
// threads at once; a child process forked inside a scope gets the previous
// handler back.
class SigintCancel {
public:
    SigintCancel() noexcept;
    ~SigintCancel();
    SigintCancel(const SigintCancel&) = delete;
    SigintCancel& operator=(const SigintCancel&) = delete;
};

}  // namespace orvelta
