/* The running process as the platform sees it. */
#pragma once

#include <cstdint>

struct Error;

/* Full path of the executable image (g_free), or NULL with *errp set. */
char *platform_self_image_path(Error **errp);
/* CPU time used so far, in clock ticks (jiffies); false with *errp set on failure. */
bool platform_self_cpu_jiffies(uint64_t *jiffies, Error **errp);
/* Resident memory in bytes; false with *errp set on failure. */
bool platform_self_memory_bytes(uint64_t *bytes, Error **errp);
