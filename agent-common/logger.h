/*
 * The process logger: GLib's default log handler writing through one base logger
 * (agent-common/base-logger.h). Lines read
 *   "<local time>,<microseconds>\t[<pid>:<LEVEL>]\t<message>\r\n".
 *
 * The launcher starts and stops it once per process; a module loaded into that
 * process attaches through the context wrapper and then shares its level, file and
 * rotation settings. Any thread may log; the level and the settings change on the
 * main-loop thread.
 */
#pragma once

#include <glib.h>

#include <cstdint>

struct Error;
struct logger_ctx_t;
struct base_logger_ctx_t;

#define LOGGER_LEVELS_DEFAULT \
    (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE)
#define LOGGER_LEVELS_ALL (LOGGER_LEVELS_DEFAULT | G_LOG_LEVEL_INFO | G_LOG_LEVEL_DEBUG)

/*
 * Installs the handler for every level and the default domain and opens path
 * (NULL: standard error only). Fatal assertion when a logger exists. Returns false
 * when the file cannot be opened; the logger then writes to standard error.
 */
bool start_logger(uint32_t level_mask, const char *path);
/* Restores GLib's default handler and frees both contexts; NULL-safe when not started. */
void stop_logger(void);
/* Opens the log file given at start (nothing when already open); success clears console. */
bool logger_open_log_file(Error **errp);

/* The level mask; error|critical when no logger runs. */
uint32_t logger_get_level(void);
/* Kept unchanged when the process was started with all levels. */
void logger_set_level(uint32_t mask);
/* Plain or coloured name of a GLib level ("USER" for anything else). */
const char *logger_level_name(uint32_t level, bool coloured);

/* Bytes written to the current log file. */
uint64_t logger_get_file_size(void);
/* Each refused (false) while the agent runs a control command. */
bool logger_set_rotate_threshold(uint64_t threshold_mib);
bool logger_set_rotate_count(uint64_t count);
bool logger_set_rotate_compressed(bool compressed);
bool logger_set_enabled(bool enabled);
/* The three rotation settings at once; the threshold in bytes. */
bool logger_set_rotation(uint64_t threshold_bytes, uint64_t count, bool compressed);
/* Waits for a running compression of rotated file 1. */
void logger_wait_compression(void);

/*
 * Holds every log write back until the matching unlock, so that a caller can write one
 * whole unit to fd when the log writes to the same file (its console output on standard
 * output or error). Recursive; any thread; nothing held (NULL) when no logger runs or
 * the log goes elsewhere, so that logging threads do not wait on that unit.
 */
base_logger_ctx_t *logger_lock_output(int fd);
void logger_unlock_output(base_logger_ctx_t *held);

/* Receives each message text just before it is written (NULL removes it). */
typedef void (*logger_hook_fn)(GLogLevelFlags level, const char *message, size_t len);
void logger_set_hook(logger_hook_fn hook);

/* The launcher's contexts, handed to a module it loads. */
struct log_ctx_wrapper_t {
    logger_ctx_t *logger_ctx;
    base_logger_ctx_t *base_logger_ctx;
};
/* Newly allocated (free_log_ctx_wrapper); the contexts stay the launcher's. */
log_ctx_wrapper_t *get_log_ctx_wrapper(void);
/* Fatal assertion when this module already has other contexts. */
void set_log_ctx_wrapper(const log_ctx_wrapper_t *log_ctx_wrapper);
void free_log_ctx_wrapper(log_ctx_wrapper_t *log_ctx_wrapper);

/*
 * Writes one line directly, bypassing GLib and the level mask, with the epoch time
 * form; without a ready logger prints "** critical error but no logger ** - ..." to
 * standard output. Also the writer of assertion failures.
 */
void logger_write_critical(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void logger_write_message(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Logging profiles: index 1 "min", 2 "medium", 3 "max"; 0 holds none. */
#define LOGGER_PROFILE_NONE 0
#define LOGGER_PROFILE_MIN 1
#define LOGGER_PROFILE_MEDIUM 2
#define LOGGER_PROFILE_MAX 3

struct logger_profile_t {
    uint64_t threshold_mib;
    uint64_t count;
    bool compressed;
};

/* Replaces a built-in entry (index 1 to 3; other indexes are ignored). */
void logger_set_profile(int index, uint64_t threshold_mib, uint64_t count, bool compressed);
/*
 * The -x argument: "min", "medium" or "max" gives 1, 2 or 3 and records it as the
 * command line's choice; anything else gives 0 and records nothing (the caller prints
 * "invalid logging profile option (%s).\n" and exits 1).
 */
int logger_parse_profile_arg(const char *arg);
/* The profile from -x, else from HV_LOGGING_PROFILE (both explicit), else "medium". */
logger_profile_t logger_get_profile(bool *is_explicit);
/* Forgets the -x choice. */
void logger_reset_profile_choice(void);

/*
 * Verbose-log trigger: all levels for the given seconds, then back to the level in
 * force before the first of overlapping triggers. Main-loop thread; the timer runs
 * on the default main context and its id lives in ga_state->verbose_revert_timer.
 */
void logger_trigger_verbose_log(uint64_t seconds);
/* Drops a pending revert (a change of "agent.log_verbose" decides the level instead). */
void logger_cancel_verbose_log_revert(void);
/* Handler of "trigger-verbose-log". */
void qmp_trigger_verbose_log(uint64_t verbose_timer, Error **errp);

/*
 * Error-logging families. A zero code logs the formatted text alone. Win32: "%s: %s
 * (error: %ld)" with the platform's text for the code; errno: "%s: %s" with strerror
 * (errno is preserved); console: "%s: %s\n" to standard output.
 */
void logger_log_win32(GLogLevelFlags level, uint32_t code, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
void logger_win32_critical(uint32_t code, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
void logger_win32_warning(uint32_t code, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
void logger_win32_message(uint32_t code, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
void logger_win32_debug(uint32_t code, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
void logger_log_errno(GLogLevelFlags level, int errnum, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
void logger_errno_critical(int errnum, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
void logger_errno_warning(int errnum, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
void logger_errno_message(int errnum, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
void logger_errno_debug(int errnum, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
void logger_console_errno(int errnum, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
