/* Fresh buffers of many MiB that are written whole right away (the policy index): the
 * system may back them with large pages, which saves a page fault per 4 KiB. */
#pragma once

#include <cstddef>

/* A hint only: nothing changes for the caller, and a refusal is not an error. */
void platform_large_buffer_hint(void *buf, size_t len);
