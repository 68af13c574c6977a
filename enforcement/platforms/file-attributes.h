/*
 * The attributes of a file as the process event reports them. Reentrant; keeps no state.
 */
#pragma once

#include <cstdint>

struct platform_file_attributes {
    bool directory;
    bool read_only;  /* nobody may write it (no write permission at all) */
    bool executable; /* a regular file that some user may execute */
    uint64_t size;
    /* Unix seconds. creation_time is the birth time where the file system keeps it, else
     * the last status change. */
    int64_t access_time;
    int64_t modification_time;
    int64_t creation_time;
};

/*
 * The attributes of path (links followed), or false with *win32_error: 2 when it does not
 * exist, 3 when a folder of the path does not, 5 when it may not be looked at.
 */
bool platform_get_file_attributes(const char *path, platform_file_attributes *out, uint32_t *win32_error);
