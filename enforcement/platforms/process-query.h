/*
 * Other processes and threads as the enforcement API sees them: the running processes
 * as one snapshot (the toolhelp snapshot on Windows, /proc on Linux), a process's image,
 * the calling thread's id. Reentrant; keeps no state.
 */
#pragma once

#include <glib.h>

#include <cstdint>

/*
 * Process ids (uint64_t) of the processes running now, in ascending order. NULL with
 * *win32_error set when the list cannot be read (the snapshot failed), or with 18 (no
 * more files) when it holds no process at all (its first entry cannot be read).
 * Free with g_array_unref.
 */
GArray *platform_process_ids(uint32_t *win32_error);

/*
 * Full path of the image of process pid (g_free), or NULL with *win32_error: 87 when no
 * such process exists (it exited), 5 when it exists but its image cannot be read (kernel
 * threads, or another user's process without privilege).
 */
char *platform_process_image_path(uint64_t pid, uint32_t *win32_error);

/* Parses a /proc entry name: a decimal process id without sign or leading zero. */
bool platform_parse_pid_name(const char *name, uint64_t *pid);

/* The calling thread's system id. */
uint32_t platform_thread_id(void);
