#include "enforcement/platforms/large-buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

void platform_large_buffer_hint(void *buf, size_t len)
{
    /* Below two huge pages there is at most one to gain. */
    constexpr size_t kWorthIt = size_t{4} << 20;
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    if (!buf || len < kWorthIt || page == 0 || (page & (page - 1)) != 0) {
        return;
    }
    /* madvise takes whole pages; the buffer's first and last pages may be shared. */
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(buf) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(buf) + len) & ~(page - 1);
    if (end > begin) {
        (void)madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
    }
}
