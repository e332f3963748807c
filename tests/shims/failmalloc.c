/* A malloc that fails once on request, for tests of allocation failures.
 *
 * Loaded with LD_PRELOAD. Disarmed at start; failmalloc_arm(lo, hi, nth),
 * called through ctypes, makes the nth allocation whose size lies in
 * [lo, hi] fail (malloc, calloc and realloc return NULL with ENOMEM, so
 * operator new throws std::bad_alloc), after which it is disarmed again.
 * failmalloc_failed() tells whether that failure has happened.
 *
 * Allocations made by the OpenMP runtime (libgomp) are neither counted nor
 * failed: libgomp ends the process on any allocation failure by design, and
 * whether it allocates through malloc (GCC 10's, which wheels carry) or
 * through aligned_alloc (GCC 11 and later, which this shim does not see)
 * depends on its version.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <link.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);

static size_t g_lo, g_hi;
static long g_left = -1; /* matching allocations left before the failing one; -1: disarmed */
static int g_failed;
static uintptr_t g_gomp_lo, g_gomp_hi; /* libgomp's code, found when armed */

static int find_gomp(struct dl_phdr_info *info, size_t size, void *data) {
    (void)size;
    (void)data;
    if (info->dlpi_name == NULL || strstr(info->dlpi_name, "libgomp") == NULL) return 0;
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr) *ph = &info->dlpi_phdr[i];
        if (ph->p_type == PT_LOAD && (ph->p_flags & PF_X)) {
            g_gomp_lo = info->dlpi_addr + ph->p_vaddr;
            g_gomp_hi = g_gomp_lo + ph->p_memsz;
        }
    }
    return 1;
}

void failmalloc_arm(size_t lo, size_t hi, long nth) {
    g_lo = lo;
    g_hi = hi;
    g_failed = 0;
    if (nth >= 0) dl_iterate_phdr(find_gomp, NULL);
    __atomic_store_n(&g_left, nth, __ATOMIC_SEQ_CST);
}

int failmalloc_failed(void) { return __atomic_load_n(&g_failed, __ATOMIC_SEQ_CST); }

static int should_fail(size_t n, void *caller) {
    if (__atomic_load_n(&g_left, __ATOMIC_RELAXED) < 0 || n < g_lo || n > g_hi) return 0;
    if ((uintptr_t)caller >= g_gomp_lo && (uintptr_t)caller < g_gomp_hi) return 0;
    if (__atomic_sub_fetch(&g_left, 1, __ATOMIC_SEQ_CST) != 0) return 0;
    __atomic_store_n(&g_left, -1, __ATOMIC_SEQ_CST);
    __atomic_store_n(&g_failed, 1, __ATOMIC_SEQ_CST);
    return 1;
}

void *malloc(size_t n) {
    if (should_fail(n, __builtin_return_address(0))) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_malloc(n);
}

void *calloc(size_t count, size_t size) {
    if (size != 0 && count <= (size_t)-1 / size && should_fail(count * size, __builtin_return_address(0))) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_calloc(count, size);
}

void *realloc(void *p, size_t n) {
    if (should_fail(n, __builtin_return_address(0))) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_realloc(p, n);
}
