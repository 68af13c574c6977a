/*
 * Other processes and threads as the enforcement API sees them: the running processes
 * as one snapshot (the toolhelp snapshot on Windows, /proc on Linux), a process's image,
 * the calling thread's id. Reentrant; keeps no state.
 */
#pragma once

#include <glib.h>

#include <cstddef>
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
 * threads, or another user's process without privilege). An image whose file was replaced
 * or removed since the start keeps the path it was started from.
 */
char *platform_process_image_path(uint64_t pid, uint32_t *win32_error);

/* Parses a /proc entry name: a decimal process id without sign or leading zero. */
bool platform_parse_pid_name(const char *name, uint64_t *pid);

struct Error;

/*
 * The running processes as a set: keys are GSIZE_TO_POINTER(pid), test membership with
 * g_hash_table_contains. NULL with errp set when the process list cannot be read.
 * Free with g_hash_table_unref.
 */
GHashTable *get_process_ids_set(Error **errp);
/* The set of the pid names among count entry names of a /proc listing; others are ignored. */
GHashTable *platform_parse_process_ids(const char *const *names, size_t count);

/*
 * Parent id of process pid from its /proc stat, or false with *win32_error: 87 when no
 * such process exists, 5 when its stat cannot be read, 13 when the text is malformed.
 */
bool platform_process_parent_id(uint64_t pid, uint64_t *ppid, uint32_t *win32_error);
/* The parent id (fourth field) of a /proc/<pid>/stat text; the command name may hold
 * spaces and parentheses. */
bool platform_parse_stat_ppid(const char *stat_text, uint64_t *ppid);

/*
 * The name of kernel thread pid (the text of its /proc comm, g_free), or NULL when pid is
 * no kernel thread or does not exist. Kernel threads have no image; this is their name.
 */
char *platform_kernel_thread_name(uint64_t pid);
/* Whether a /proc/<pid>/stat text has the kernel-thread flag (field 9); false when malformed. */
bool platform_parse_stat_kernel_thread(const char *stat_text, bool *kernel_thread);

/* The calling thread's system id. */
uint32_t platform_thread_id(void);

/*
 * An open process: the /proc entry of one process, held open so that every read through
 * it names that process even if its pid is reused meanwhile (a read of an exited process
 * fails with 87). Not shared between threads; close with platform_process_close.
 */
struct platform_process;

/* The process pid, or NULL with *win32_error: 87 when no such process exists, 5 when it
 * cannot be opened. */
platform_process *platform_process_open(uint64_t pid, uint32_t *win32_error);
/* NULL-safe. */
void platform_process_close(platform_process *process);
uint64_t platform_process_pid(const platform_process *process);

/* As platform_process_image_path, for the opened process. */
char *platform_process_open_image_path(platform_process *process, uint32_t *win32_error);
/* As platform_process_parent_id, for the opened process. */
bool platform_process_open_parent_id(platform_process *process, uint64_t *ppid, uint32_t *win32_error);

/*
 * The user id the process runs as (its effective id), or false with *win32_error: 87 when
 * it exited, 5 when its status cannot be read, 13 when the text is malformed.
 */
bool platform_process_user_id(platform_process *process, uint32_t *uid, uint32_t *win32_error);
/* The effective user id (second number of the "Uid:" line) of a /proc/<pid>/status text. */
bool platform_parse_status_uid(const char *status_text, uint32_t *uid);

/*
 * The argument list of the process (g_strfreev; empty for a kernel thread or a zombie),
 * or NULL with *win32_error as for platform_process_user_id.
 */
char **platform_process_arguments(platform_process *process, uint32_t *win32_error);
/* The arguments of a /proc/<pid>/cmdline text of len bytes: NUL-separated, the last one
 * with or without its NUL. Never NULL. */
char **platform_parse_cmdline(const char *text, size_t len);

/* The current folder of the process (g_free), or NULL with *win32_error as above. */
char *platform_process_current_directory(platform_process *process, uint32_t *win32_error);

/*
 * The account of user id uid in the user database: its name (g_free) and the domain that
 * qualifies it (g_free; the host name for local accounts). False with *win32_error 1332
 * (no mapping) when the database has no such user.
 */
bool platform_account_name(uint32_t uid, char **domain, char **name, uint32_t *win32_error);
