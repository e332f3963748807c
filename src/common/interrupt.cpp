#include "common/interrupt.hpp"

#include <pthread.h>
#include <signal.h>

#include <atomic>

namespace orvelta {

namespace {

std::atomic<InterruptChecker> g_checker{nullptr};
std::atomic<bool> g_cancel{false};
std::atomic<std::uint64_t> g_signals{0};

// Scope bookkeeping, guarded by g_lock (also across fork(), below).
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
int g_scopes = 0;
// The handler that was in place when the first scope began. Written only
// while our handler is not installed, read by our handler.
struct sigaction g_previous;

void on_sigint(int sig, siginfo_t* info, void* context) {
    const struct sigaction& prev = g_previous;
    if (!(prev.sa_flags & SA_SIGINFO) && prev.sa_handler == SIG_IGN) return;
    g_cancel.store(true, std::memory_order_relaxed);
    g_signals.fetch_add(1, std::memory_order_relaxed);
    if (prev.sa_flags & SA_SIGINFO) {
        if (prev.sa_sigaction != nullptr) prev.sa_sigaction(sig, info, context);
    } else if (prev.sa_handler == SIG_DFL) {
        // The default action ends the process: let it.
        ::signal(sig, SIG_DFL);
        ::raise(sig);
    } else {
        prev.sa_handler(sig);
    }
}

bool ours(const struct sigaction& act) noexcept {
    return (act.sa_flags & SA_SIGINFO) && act.sa_sigaction == &on_sigint;
}

// fork() while a scope is alive must not leave the child with our handler and
// a scope count that no scope will ever bring back down.
void before_fork() { pthread_mutex_lock(&g_lock); }
void after_fork_parent() { pthread_mutex_unlock(&g_lock); }
void after_fork_child() {
    if (g_scopes > 0) {
        struct sigaction current;
        if (::sigaction(SIGINT, nullptr, &current) == 0 && ours(current)) {
            ::sigaction(SIGINT, &g_previous, nullptr);
        }
        g_scopes = 0;
    }
    g_cancel.store(false, std::memory_order_relaxed);
    pthread_mutex_unlock(&g_lock);
}

const int g_atfork_registered = pthread_atfork(&before_fork, &after_fork_parent, &after_fork_child);

}  // namespace

void set_interrupt_checker(InterruptChecker checker) noexcept { g_checker.store(checker); }

void poll_interrupt() {
    const InterruptChecker check = g_checker.load(std::memory_order_relaxed);
    if (check != nullptr) check();
}

bool cancel_requested() noexcept { return g_cancel.load(std::memory_order_relaxed); }
void request_cancel() noexcept { g_cancel.store(true, std::memory_order_relaxed); }
void clear_cancel() noexcept { g_cancel.store(false, std::memory_order_relaxed); }
std::uint64_t cancel_signals() noexcept { return g_signals.load(std::memory_order_relaxed); }

SigintCancel::SigintCancel() noexcept {
    (void)g_atfork_registered;
    pthread_mutex_lock(&g_lock);
    if (g_scopes++ == 0) {
        g_cancel.store(false, std::memory_order_relaxed);
        struct sigaction mine {};
        mine.sa_sigaction = &on_sigint;
        mine.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&mine.sa_mask);
        struct sigaction previous;
        if (::sigaction(SIGINT, nullptr, &previous) == 0 && !ours(previous)) {
            g_previous = previous;
            ::sigaction(SIGINT, &mine, nullptr);
        }
    }
    pthread_mutex_unlock(&g_lock);
}

SigintCancel::~SigintCancel() {
    pthread_mutex_lock(&g_lock);
    if (--g_scopes == 0) {
        // Put the previous handler back, unless someone replaced ours
        // meanwhile: theirs then goes back in.
        struct sigaction current;
        if (::sigaction(SIGINT, &g_previous, &current) == 0 && !ours(current)) {
            ::sigaction(SIGINT, &current, nullptr);
        }
        g_cancel.store(false, std::memory_order_relaxed);
    }
    pthread_mutex_unlock(&g_lock);
}

}  // namespace orvelta
