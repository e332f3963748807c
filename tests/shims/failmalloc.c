/* A malloc that fails once on request, for tests of allocation failures.
 *
 * Loaded with LD_PRELOAD. Disarmed at start; failmalloc_arm(lo, hi, nth),
 * called through ctypes, makes the nth allocation whose size lies in
 * [lo, hi] fail (malloc, calloc and realloc return NULL with ENOMEM, so
 * operator new throws std::bad_alloc), after which it is disarmed again.
 * failmalloc_failed() tells whether that failure has happened.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <stddef.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);

static size_t g_lo, g_hi;
static long g_left = -1; /* matching allocations left before the failing one; -1: disarmed */
static int g_failed;

void failmalloc_arm(size_t lo, size_t hi, long nth) {
    g_lo = lo;
    g_hi = hi;
    g_failed = 0;
    __atomic_store_n(&g_left, nth, __ATOMIC_SEQ_CST);
}

int failmalloc_failed(void) { return __atomic_load_n(&g_failed, __ATOMIC_SEQ_CST); }

static int should_fail(size_t n) {
    if (__atomic_load_n(&g_left, __ATOMIC_RELAXED) < 0 || n < g_lo || n > g_hi) return 0;
    if (__atomic_sub_fetch(&g_left, 1, __ATOMIC_SEQ_CST) != 0) return 0;
    __atomic_store_n(&g_left, -1, __ATOMIC_SEQ_CST);
    __atomic_store_n(&g_failed, 1, __ATOMIC_SEQ_CST);
    return 1;
}

void *malloc(size_t n) {
    if (should_fail(n)) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_malloc(n);
}

void *calloc(size_t count, size_t size) {
    if (size != 0 && count <= (size_t)-1 / size && should_fail(count * size)) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_calloc(count, size);
}

void *realloc(void *p, size_t n) {
    if (should_fail(n)) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_realloc(p, n);
}
