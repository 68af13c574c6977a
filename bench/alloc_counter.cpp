/*
 * Interposes the C allocator of the benchmark binary (GLib, the C++ runtime and the
 * comparison library all allocate through it) and counts usable bytes.
 */
#include "bench/alloc_counter.h"

#include <malloc.h>

#include <atomic>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
void *__libc_memalign(size_t, size_t);
}

static std::atomic<size_t> s_live{0};
static std::atomic<size_t> s_peak{0};

static void count_in(void *p)
{
    if (p) {
        size_t live = s_live.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
        size_t peak = s_peak.load();
        while (live > peak && !s_peak.compare_exchange_weak(peak, live)) {
        }
    }
}

static void count_out(void *p)
{
    if (p) {
        s_live.fetch_sub(malloc_usable_size(p));
    }
}

extern "C" void *malloc(size_t n)
{
    void *p = __libc_malloc(n);
    count_in(p);
    return p;
}

extern "C" void *calloc(size_t n, size_t m)
{
    void *p = __libc_calloc(n, m);
    count_in(p);
    return p;
}

extern "C" void *realloc(void *old, size_t n)
{
    count_out(old);
    void *p = __libc_realloc(old, n);
    count_in(p ? p : (n ? old : nullptr));
    return p;
}

extern "C" void *memalign(size_t align, size_t n)
{
    void *p = __libc_memalign(align, n);
    count_in(p);
    return p;
}

extern "C" void *aligned_alloc(size_t align, size_t n)
{
    return memalign(align, n);
}

extern "C" int posix_memalign(void **out, size_t align, size_t n)
{
    void *p = memalign(align, n);
    if (!p) {
        return 12; /* ENOMEM */
    }
    *out = p;
    return 0;
}

extern "C" void free(void *p)
{
    count_out(p);
    __libc_free(p);
}

size_t alloc_counter_live(void)
{
    return s_live.load();
}

size_t alloc_counter_peak(void)
{
    return s_peak.load();
}

void alloc_counter_reset_peak(void)
{
    s_peak.store(s_live.load());
}
