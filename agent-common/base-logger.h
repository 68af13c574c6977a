/*
 * Base logger: owns one log file, writes bytes to it, rotates it by size into the
 * series "<path>.1" .. "<path>.<count>" (".cab" appended when compressed; 1 is the
 * newest) and compresses rotated files on the thread "compress-rotate-log", one at a
 * time. Rotations that come while a compression runs wait as "<path>.pending-<n>", in
 * order; each is moved to "<path>.1" and compressed in its turn, so no rotated content is
 * lost however fast the log rotates (only what falls beyond count is dropped). A file the
 * compression fails on stays uncompressed in its place of the series, with a warning.
 * Pending files an earlier run left behind, and a plain "<path>.1" whose compression was cut
 * short, are queued at the first open and new pending names never replace an existing file.
 *
 * Only the context holding an exclusive lock on "<path>.rotate" (tried at the first open and
 * again whenever a rotation is due, held until stop) rotates, compresses, queues leftovers or
 * deletes rotated files; another process opening the same log while it runs (a control
 * command) only appends to it.
 *
 * Until a file is opened the context writes to standard error; after a failed
 * rotation it has no handle and writes to the standard streams until a later rotation
 * reopens the file. Writes, size accounting and rotation run under the context's
 * recursive lock (base_logger_lock), so callers that write several pieces of one
 * line take it around them. Setters belong to the main-loop thread.
 *
 * The report function receives the problems the base logger cannot log itself.
 */
#pragma once

#include <cstddef>
#include <cstdint>

struct Error;

/* Longest message a line carries; the rest is cut. */
#define BASE_LOGGER_MAX_MESSAGE 1048576u
#define BASE_LOGGER_DEFAULT_THRESHOLD 10485760u
#define BASE_LOGGER_DEFAULT_COUNT 3u

typedef void (*base_logger_report_fn)(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

struct base_logger_ctx_t;

/* Never NULL. filepath may be NULL (no file). */
base_logger_ctx_t *start_base_logger(const char *filepath, base_logger_report_fn report);
/* Removes the flush timer, waits for a running compression, closes the file. NULL-safe. */
void stop_base_logger(base_logger_ctx_t *ctx);

/*
 * Opens filepath for appending (creating its folder). A file locked by another
 * process is reported on standard output and the context continues without a file
 * (success). Opening again while a file is open does nothing.
 */
bool open_base_log_file(base_logger_ctx_t *ctx, Error **errp);
/* True when a file of ours is open (not standard error, not "none"). */
bool base_logger_has_file(const base_logger_ctx_t *ctx);

/* Initialised, enabled and buffer present; otherwise tells the report function why. */
bool base_logger_is_ready(const base_logger_ctx_t *ctx, const void *buffer);
bool base_logger_is_initialized(const base_logger_ctx_t *ctx);
bool base_logger_is_enabled(const base_logger_ctx_t *ctx);

void base_logger_lock(base_logger_ctx_t *ctx);
void base_logger_unlock(base_logger_ctx_t *ctx);

/*
 * Writes prefix, message (len bytes) and "\r\n"; returns the bytes written. Without
 * a handle the line goes to standard output when to_stdout, else to standard error.
 * Does not count the bytes: see base_logger_add_size.
 */
size_t base_logger_write_line(base_logger_ctx_t *ctx, const char *prefix, const char *message,
                              size_t len, bool to_stdout);
void base_logger_add_size(base_logger_ctx_t *ctx, uint64_t bytes);
/* Rotates when the size exceeds the threshold; reload_size re-reads it from disk first. */
void base_logger_check_rotate(base_logger_ctx_t *ctx, bool reload_size);
/* Writes raw bytes, counts them and rotates when due; returns the bytes written. */
size_t base_logger_append(base_logger_ctx_t *ctx, const void *data, size_t len);

/* Closes, shifts the series (uncompressed) or queues the file for compression, reopens.
 * Does nothing without the rotation lock. */
bool do_base_log_rotate(base_logger_ctx_t *ctx, Error **errp);

uint64_t base_logger_get_size(const base_logger_ctx_t *ctx);
uint64_t base_logger_get_threshold(const base_logger_ctx_t *ctx);
uint32_t base_logger_get_count(const base_logger_ctx_t *ctx);
bool base_logger_get_compressed(const base_logger_ctx_t *ctx);
const char *base_logger_get_filepath(const base_logger_ctx_t *ctx);

/*
 * The four setters refuse (false, nothing changed) while the agent runs a control
 * command. The threshold is given in MiB; lowering the count deletes the surplus
 * rotated files at once.
 */
bool base_logger_set_rotate_threshold(base_logger_ctx_t *ctx, uint64_t threshold_mib);
bool base_logger_set_rotate_count(base_logger_ctx_t *ctx, uint64_t count);
bool base_logger_set_compressed(base_logger_ctx_t *ctx, bool compressed);
bool base_logger_set_enabled(base_logger_ctx_t *ctx, bool enabled);
/* As the threshold setter, in bytes (thresholds below 1 MiB). */
bool base_logger_set_rotate_threshold_bytes(base_logger_ctx_t *ctx, uint64_t threshold);

/* Waits until no compression runs and none waits. */
void base_logger_wait_compression(base_logger_ctx_t *ctx);
