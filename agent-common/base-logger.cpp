#include "agent-common/base-logger.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "agent-common/agent-main.h"
#include "util/agent-assert.h"
#include "util/error.h"

namespace {
/* The handle values that are not a file of ours. */
constexpr int kHandleNone = -1;
constexpr int kHandleStderr = STDERR_FILENO;
constexpr uint64_t kMiB = 1048576;
} // namespace

struct base_logger_ctx_t {
    bool is_initialized;
    int file;
    uint64_t size;
    uint64_t threshold;
    uint32_t count;
    bool compressed;
    bool enabled;
    char *filepath;
    /* The path the rotated series is named after; kept when filepath is dropped. */
    char *filepath_copy;
    GRecMutex lock;
    GThread *compressor;
    std::atomic<bool> compressing;
    /* Rotated files waiting for the compressor, oldest first (g_free'd paths). */
    GQueue pending;
    uint64_t pending_seq;
    /* Pending files a stopped run left behind were looked for (once, by the rotation owner). */
    bool leftovers_queued;
    /* Exclusive flock on "<path>.rotate": only its holder rotates, compresses or deletes rotated
     * files, so a second process appending to the same log (a control command) never takes
     * over the series while the service works on it. kHandleNone when not held. */
    int rotate_lock;
    base_logger_report_fn report;
    guint flush_timer;
};


static bool in_control_command_mode(void)
{
    return g_hv_agent && g_hv_agent->config && g_hv_agent->config->ctrl_mode;
}

static bool is_regular_file(const char *path, struct stat *st_out = nullptr)
{
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    if (st_out) {
        *st_out = st;
    }
    return true;
}

static char *rotated_name(const char *path, int index, bool compressed)
{
    return compressed ? g_strdup_printf("%s.%d.cab", path, index)
                      : g_strdup_printf("%s.%d", path, index);
}

static bool owns_file(const base_logger_ctx_t *ctx)
{
    return ctx->file != kHandleNone && ctx->file != kHandleStderr;
}

static void close_file(base_logger_ctx_t *ctx)
{
    if (owns_file(ctx)) {
        close(ctx->file);
    }
    ctx->file = kHandleNone;
}

static gboolean flush_timer_cb(gpointer data)
{
    auto *ctx = static_cast<base_logger_ctx_t *>(data);
    if (!ctx->is_initialized) {
        return G_SOURCE_CONTINUE;
    }
    g_rec_mutex_lock(&ctx->lock);
    if (owns_file(ctx)) {
        fsync(ctx->file);
    }
    g_rec_mutex_unlock(&ctx->lock);
    return G_SOURCE_CONTINUE;
}

base_logger_ctx_t *start_base_logger(const char *filepath, base_logger_report_fn report)
{
    auto *ctx = new base_logger_ctx_t{};
    ctx->file = kHandleStderr;
    ctx->rotate_lock = kHandleNone;
    ctx->threshold = BASE_LOGGER_DEFAULT_THRESHOLD;
    ctx->count = BASE_LOGGER_DEFAULT_COUNT;
    ctx->compressed = true;
    ctx->enabled = true;
    ctx->filepath = g_strdup(filepath);
    ctx->filepath_copy = g_strdup(filepath);
    ctx->report = report;
    g_rec_mutex_init(&ctx->lock);
    ctx->flush_timer = g_timeout_add_seconds(5, flush_timer_cb, ctx);
    ctx->is_initialized = true;
    return ctx;
}

void stop_base_logger(base_logger_ctx_t *ctx)
{
    if (!ctx) {
        return;
    }
    if (ctx->flush_timer) {
        g_source_remove(ctx->flush_timer);
        ctx->flush_timer = 0;
    }
    /* No rotation may start a new compression once stopping began. */
    g_rec_mutex_lock(&ctx->lock);
    ctx->is_initialized = false;
    g_rec_mutex_unlock(&ctx->lock);
    base_logger_wait_compression(ctx);
    g_rec_mutex_lock(&ctx->lock);
    close_file(ctx);
    if (ctx->rotate_lock != kHandleNone) {
        close(ctx->rotate_lock);
        ctx->rotate_lock = kHandleNone;
    }
    g_rec_mutex_unlock(&ctx->lock);
    g_rec_mutex_clear(&ctx->lock);
    g_queue_clear_full(&ctx->pending, g_free);
    g_free(ctx->filepath);
    g_free(ctx->filepath_copy);
    delete ctx;
}

/* "<path>.pending-<n>": n, or 0 when name is not one of them. */
static uint64_t pending_number(const char *base, const char *name)
{
    size_t base_len = strlen(base);
    static const char kInfix[] = ".pending-";
    if (strncmp(name, base, base_len) != 0 || strncmp(name + base_len, kInfix, sizeof kInfix - 1) != 0) {
        return 0;
    }
    const char *digits = name + base_len + sizeof kInfix - 1;
    if (*digits == '\0' || strspn(digits, "0123456789") != strlen(digits) || strlen(digits) > 18) {
        return 0;
    }
    return g_ascii_strtoull(digits, nullptr, 10);
}

/* Takes the rotation lock unless another live process holds it. */
static bool take_rotation_lock(base_logger_ctx_t *ctx)
{
    if (ctx->rotate_lock != kHandleNone) {
        return true;
    }
    g_autofree char *lock_path = g_strdup_printf("%s.rotate", ctx->filepath_copy);
    int fd = open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    ctx->rotate_lock = fd;
    return true;
}

/*
 * Rotated files that waited for a compression when an earlier run ended wait again, oldest
 * first, and new pending names start above them; the compressor starts with the next
 * rotation. A plain file 1 is older than any of them: its compression was cut short (a
 * cabinet beside it is half-written, since the source goes only after a compression
 * succeeded), so it is compressed again in place.
 */
static void queue_leftovers(base_logger_ctx_t *ctx)
{
    size_t queued = 0;
    g_autofree char *first = rotated_name(ctx->filepath_copy, 1, false);
    if (is_regular_file(first)) {
        g_autofree char *first_cab = rotated_name(ctx->filepath_copy, 1, true);
        if (is_regular_file(first_cab)) {
            unlink(first_cab);
        }
        g_queue_push_tail(&ctx->pending, g_steal_pointer(&first));
        queued++;
    }
    g_autofree char *dir = g_path_get_dirname(ctx->filepath_copy);
    g_autofree char *base = g_path_get_basename(ctx->filepath_copy);
    std::vector<std::pair<uint64_t, char *>> found;
    GDir *listing = g_dir_open(dir, 0, nullptr);
    while (const char *name = listing ? g_dir_read_name(listing) : nullptr) {
        uint64_t n = pending_number(base, name);
        g_autofree char *full = g_build_filename(dir, name, nullptr);
        if (n > 0 && is_regular_file(full)) {
            found.emplace_back(n, g_steal_pointer(&full));
        }
    }
    if (listing) {
        g_dir_close(listing);
    }
    std::sort(found.begin(), found.end());
    for (auto &[n, full] : found) {
        g_queue_push_tail(&ctx->pending, full);
        ctx->pending_seq = std::max(ctx->pending_seq, n);
    }
    queued += found.size();
    /* Logged once all are queued: the line itself may rotate. */
    if (queued > 0) {
        g_message("[base-logger] %zu rotated log files left by an earlier run wait for compression", queued);
    }
}

/*
 * True when this context owns the rotated series. A process that started while another held
 * the lock asks again whenever a rotation is due, so a service started during a control
 * command still takes the series over once the command ends.
 */
static bool own_rotation(base_logger_ctx_t *ctx)
{
    if (!take_rotation_lock(ctx)) {
        return false;
    }
    if (!ctx->leftovers_queued) {
        ctx->leftovers_queued = true;
        queue_leftovers(ctx);
    }
    return true;
}

bool open_base_log_file(base_logger_ctx_t *ctx, Error **errp)
{
    AGENT_ASSERT(ctx->is_initialized);
    g_rec_mutex_lock(&ctx->lock);
    bool ok = true;
    if (!ctx->filepath) {
        ctx->size = 0;
    } else if (!owns_file(ctx)) {
        g_autofree char *dir = g_path_get_dirname(ctx->filepath);
        /* Execute permission on the folder is what lets the owner create the file. */
        g_mkdir_with_parents(dir, 0750);
        int fd = open(ctx->filepath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
        struct stat st;
        if (fd >= 0 && flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            /* Another process holds the file exclusively. */
            close(fd);
            printf("[base-logger] log file '%s' is locked, running with no log\n", ctx->filepath);
            fflush(stdout);
            g_free(ctx->filepath);
            ctx->filepath = nullptr;
        } else if (fd < 0 || fstat(fd, &st) != 0) {
            if (fd >= 0) {
                close(fd);
            }
            error_setg(errp, "error opening log file in path '%s'", ctx->filepath);
            g_warning("[base-logger] error opening log file '%s'", ctx->filepath);
            ok = false;
        } else {
            ctx->file = fd;
            ctx->size = static_cast<uint64_t>(st.st_size);
            own_rotation(ctx);
        }
    }
    g_rec_mutex_unlock(&ctx->lock);
    return ok;
}

bool base_logger_has_file(const base_logger_ctx_t *ctx)
{
    return ctx && owns_file(ctx);
}

bool base_logger_is_ready(const base_logger_ctx_t *ctx, const void *buffer)
{
    if (!ctx->is_initialized || !ctx->enabled) {
        if (ctx->report) {
            ctx->report("[base-logger] not ready: is_initialized=%s, enabled=%s",
                        ctx->is_initialized ? "true" : "false", ctx->enabled ? "true" : "false");
        }
        return false;
    }
    if (!buffer) {
        if (ctx->report) {
            ctx->report("[base-logger] not ready: buffer is NULL");
        }
        return false;
    }
    return true;
}

bool base_logger_is_initialized(const base_logger_ctx_t *ctx)
{
    return ctx && ctx->is_initialized;
}

bool base_logger_is_enabled(const base_logger_ctx_t *ctx)
{
    return ctx && ctx->enabled;
}

void base_logger_lock(base_logger_ctx_t *ctx)
{
    g_rec_mutex_lock(&ctx->lock);
}

void base_logger_unlock(base_logger_ctx_t *ctx)
{
    g_rec_mutex_unlock(&ctx->lock);
}

static size_t write_fd(int fd, const char *data, size_t len)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, data + done, len - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

size_t base_logger_write_line(base_logger_ctx_t *ctx, const char *prefix, const char *message,
                              size_t len, bool to_stdout)
{
    size_t prefix_len = strlen(prefix);
    g_rec_mutex_lock(&ctx->lock);
    size_t written = 0;
    if (ctx->file != kHandleNone) {
        written += write_fd(ctx->file, prefix, prefix_len);
        written += write_fd(ctx->file, message, len);
        written += write_fd(ctx->file, "\r\n", 2);
    } else {
        FILE *stream = to_stdout ? stdout : stderr;
        written += fwrite(prefix, 1, prefix_len, stream);
        written += fwrite(message, 1, len, stream);
        written += fwrite("\r\n", 1, 2, stream);
        fflush(stream);
    }
    g_rec_mutex_unlock(&ctx->lock);
    return written;
}

void base_logger_add_size(base_logger_ctx_t *ctx, uint64_t bytes)
{
    g_rec_mutex_lock(&ctx->lock);
    ctx->size += bytes;
    g_rec_mutex_unlock(&ctx->lock);
}

void base_logger_check_rotate(base_logger_ctx_t *ctx, bool reload_size)
{
    g_rec_mutex_lock(&ctx->lock);
    /* Without a path there is nothing to rotate (standard error, or a locked file). */
    if (ctx->filepath && ctx->is_initialized) {
        if (reload_size) {
            struct stat st;
            if (stat(ctx->filepath, &st) == 0) {
                ctx->size = static_cast<uint64_t>(st.st_size);
            } else {
                g_warning("[base-logger] error loading file size for '%s': %s", ctx->filepath,
                          g_strerror(errno));
            }
        }
        /* Without the rotation lock another process owns the series: this one only appends.
         * Taking it may log, and that line may rotate already. */
        if (ctx->size > ctx->threshold && own_rotation(ctx) && ctx->size > ctx->threshold) {
            Error *err = nullptr;
            if (!do_base_log_rotate(ctx, &err)) {
                g_warning("[base-logger] error rotating log file: %s",
                          err ? error_get_message(err) : "");
                error_free(err);
            }
        }
    }
    g_rec_mutex_unlock(&ctx->lock);
}

size_t base_logger_append(base_logger_ctx_t *ctx, const void *data, size_t len)
{
    g_rec_mutex_lock(&ctx->lock);
    size_t written = 0;
    if (ctx->file != kHandleNone) {
        written = write_fd(ctx->file, static_cast<const char *>(data), len);
    }
    if (written > 0) {
        ctx->size += written;
    }
    base_logger_check_rotate(ctx, false);
    g_rec_mutex_unlock(&ctx->lock);
    return written;
}

/*
 * Moves rotated files 1 .. count-1 one place up, both forms: a file a compression could not
 * take stays uncompressed in its place of the series. keep_first_plain leaves the
 * uncompressed file 1 where it is (the file about to be compressed).
 */
static void shift_compressed_series(base_logger_ctx_t *ctx, bool keep_first_plain)
{
    for (int i = static_cast<int>(ctx->count); i >= 2; i--) {
        g_autofree char *newer_plain = rotated_name(ctx->filepath_copy, i - 1, false);
        g_autofree char *newer_cab = rotated_name(ctx->filepath_copy, i - 1, true);
        bool move_plain = !(keep_first_plain && i == 2) && is_regular_file(newer_plain);
        bool move_cab = is_regular_file(newer_cab);
        if (!move_plain && !move_cab) {
            continue;
        }
        for (bool compressed : {false, true}) {
            g_autofree char *older = rotated_name(ctx->filepath_copy, i, compressed);
            if (is_regular_file(older)) {
                unlink(older);
            }
        }
        if (move_plain) {
            g_autofree char *older = rotated_name(ctx->filepath_copy, i, false);
            rename(newer_plain, older);
        }
        if (move_cab) {
            g_autofree char *older = rotated_name(ctx->filepath_copy, i, true);
            rename(newer_cab, older);
        }
    }
}

/*
 * Under the lock: makes room for the newest rotated file and puts the oldest waiting file in
 * the place of rotated file 1. Returns the file to compress (g_free), or NULL when none waits.
 */
static char *next_compression(base_logger_ctx_t *ctx, struct stat *st)
{
    while (auto *waiting = static_cast<char *>(g_queue_pop_head(&ctx->pending))) {
        g_autofree char *first = rotated_name(ctx->filepath_copy, 1, false);
        g_autofree char *first_cab = rotated_name(ctx->filepath_copy, 1, true);
        bool in_place = strcmp(waiting, first) == 0;
        shift_compressed_series(ctx, in_place);
        if (is_regular_file(first_cab)) {
            unlink(first_cab);
        }
        /* Still there after the shift only when the series holds a single file. */
        if (!in_place && is_regular_file(first)) {
            unlink(first);
        }
        char *source = waiting;
        if (!in_place && rename(waiting, first) == 0) {
            g_free(waiting);
            source = g_strdup(first);
        }
        if (is_regular_file(source, st)) {
            return source;
        }
        g_free(source);
    }
    return nullptr;
}

static gpointer compress_thread(gpointer data)
{
    auto *ctx = static_cast<base_logger_ctx_t *>(data);
    for (;;) {
        struct stat st;
        g_rec_mutex_lock(&ctx->lock);
        char *source = next_compression(ctx, &st);
        if (!source) {
            ctx->compressing.store(false);
            g_rec_mutex_unlock(&ctx->lock);
            return nullptr;
        }
        g_autofree char *target = rotated_name(ctx->filepath_copy, 1, true);
        g_rec_mutex_unlock(&ctx->lock);

        g_autofree char *q_target = g_shell_quote(target);
        g_autofree char *q_source = g_shell_quote(source);
        /* -z: MSZIP compression; -n: the archive keeps the bare file name. */
        g_autofree char *cmdline =
            g_strdup_printf("gcab -c -z -n %s %s > /dev/null", q_target, q_source);
        g_debug("[base-logger] Starting background base log compression job of file '%s' into "
                "'%s' with cmdline: %s",
                source, target, cmdline);

        /* The shell runs apart from system(), which would ignore SIGINT in the whole process. */
        const char *argv[] = {"/bin/sh", "-c", cmdline, nullptr};
        int wait_status = 0;
        int ret = -1;
        if (g_spawn_sync(nullptr, const_cast<char **>(argv), nullptr, G_SPAWN_DEFAULT, nullptr,
                         nullptr, nullptr, nullptr, &wait_status, nullptr)) {
            ret = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
        }
        bool compressed = ret == 0 && is_regular_file(target);
        if (ret != 0) {
            g_warning("[base-logger] %s failed with return value: %d", cmdline, ret);
        } else if (compressed) {
            g_message("[base-logger] Background log compression job is done");
        }
        if (!compressed) {
            g_warning("[base-logger] keeping rotated log file '%s' uncompressed", source);
        }

        g_rec_mutex_lock(&ctx->lock);
        struct stat now;
        if (!compressed) {
            /* A half-written cabinet would stand beside the content it failed to hold. */
            if (is_regular_file(target)) {
                unlink(target);
            }
        } else if (is_regular_file(source, &now) && now.st_dev == st.st_dev && now.st_ino == st.st_ino) {
            /* Only the file that was compressed goes: the name may hold another by now. */
            unlink(source);
        }
        g_rec_mutex_unlock(&ctx->lock);
        g_free(source);
    }
}

/*
 * Queues a rotated file for compression, oldest first, and starts the compressor when none
 * runs. Rotations may outpace compressions; every queued file gets its turn, except those
 * so old that the series would drop them anyway.
 */
static void queue_compression(base_logger_ctx_t *ctx, char *source)
{
    g_queue_push_tail(&ctx->pending, source);
    while (g_queue_get_length(&ctx->pending) > ctx->count && ctx->count > 0) {
        g_autofree char *dropped = static_cast<char *>(g_queue_pop_head(&ctx->pending));
        unlink(dropped);
    }
    if (ctx->compressing.load()) {
        return;
    }
    if (ctx->compressor) {
        g_thread_join(ctx->compressor);
        ctx->compressor = nullptr;
    }
    ctx->compressing.store(true);
    GError *gerr = nullptr;
    ctx->compressor = g_thread_try_new("compress-rotate-log", compress_thread, ctx, &gerr);
    if (!ctx->compressor) {
        ctx->compressing.store(false);
        g_warning("[base-logger] failed starting log compression thread: %s", gerr->message);
        g_error_free(gerr);
    }
}

/* A name no file holds: a rename to it never replaces a rotated file still waiting. */
static char *new_pending_name(base_logger_ctx_t *ctx, const char *path)
{
    for (;;) {
        char *name = g_strdup_printf("%s.pending-%llu", path, static_cast<unsigned long long>(++ctx->pending_seq));
        struct stat st;
        if (lstat(name, &st) != 0) {
            return name;
        }
        g_free(name);
    }
}

bool do_base_log_rotate(base_logger_ctx_t *ctx, Error **errp)
{
    g_rec_mutex_lock(&ctx->lock);
    if (!ctx->filepath || !own_rotation(ctx)) {
        g_rec_mutex_unlock(&ctx->lock);
        return true;
    }
    close_file(ctx);
    ctx->size = 0;

    /* A copy: reopening may drop ctx->filepath (a locked file runs with no log). */
    g_autofree char *path = g_strdup(ctx->filepath);
    bool compress = ctx->compressed && ctx->is_initialized;
    if (compress) {
        /* The cabinets shift when the compressor takes the file: the series stays in order
         * however far rotations run ahead of compressions. */
        g_autofree char *first = rotated_name(path, 1, false);
        /* A file 1 already there is content a compression failed or never finished on. */
        bool busy = ctx->compressing.load() || !g_queue_is_empty(&ctx->pending) || is_regular_file(first);
        char *rotated = busy ? new_pending_name(ctx, path) : g_strdup(first);
        if (rename(path, rotated) == 0) {
            queue_compression(ctx, rotated);
        } else {
            g_free(rotated);
        }
    } else {
        for (int i = static_cast<int>(ctx->count); i >= 2; i--) {
            g_autofree char *older = rotated_name(path, i, false);
            g_autofree char *newer = rotated_name(path, i - 1, false);
            if (is_regular_file(newer)) {
                if (is_regular_file(older)) {
                    unlink(older);
                }
                rename(newer, older);
            }
        }
        g_autofree char *first = rotated_name(path, 1, false);
        rename(path, first);
    }

    bool ok = open_base_log_file(ctx, errp);
    g_rec_mutex_unlock(&ctx->lock);
    return ok;
}

uint64_t base_logger_get_size(const base_logger_ctx_t *ctx)
{
    return ctx ? ctx->size : 0;
}

uint64_t base_logger_get_threshold(const base_logger_ctx_t *ctx)
{
    return ctx->threshold;
}

uint32_t base_logger_get_count(const base_logger_ctx_t *ctx)
{
    return ctx->count;
}

bool base_logger_get_compressed(const base_logger_ctx_t *ctx)
{
    return ctx->compressed;
}

const char *base_logger_get_filepath(const base_logger_ctx_t *ctx)
{
    return ctx->filepath;
}

static bool set_threshold(base_logger_ctx_t *ctx, uint64_t logged_mib, uint64_t bytes)
{
    if (in_control_command_mode()) {
        return false;
    }
    g_message("[base-logger] setting agent logger threshold to %llu",
              static_cast<unsigned long long>(logged_mib));
    g_rec_mutex_lock(&ctx->lock);
    ctx->threshold = bytes;
    g_rec_mutex_unlock(&ctx->lock);
    return true;
}

bool base_logger_set_rotate_threshold(base_logger_ctx_t *ctx, uint64_t threshold_mib)
{
    return set_threshold(ctx, threshold_mib, threshold_mib * kMiB);
}

bool base_logger_set_rotate_threshold_bytes(base_logger_ctx_t *ctx, uint64_t threshold)
{
    return set_threshold(ctx, threshold / kMiB, threshold);
}

bool base_logger_set_rotate_count(base_logger_ctx_t *ctx, uint64_t count)
{
    if (in_control_command_mode()) {
        return false;
    }
    g_message("[base-logger] setting agent logger rotate count to %llu",
              static_cast<unsigned long long>(count));
    /* Every rotation walks the whole series under the logger lock; a count in the
     * billions would stall every thread that logs. */
    constexpr uint32_t kMaxRotateCount = 1000;
    uint32_t new_count = count > kMaxRotateCount ? kMaxRotateCount : static_cast<uint32_t>(count);
    if (count > kMaxRotateCount) {
        g_warning("[base-logger] rotate count %llu is above %u, using %u", static_cast<unsigned long long>(count),
                  kMaxRotateCount, kMaxRotateCount);
    }
    g_rec_mutex_lock(&ctx->lock);
    if (ctx->filepath && ctx->rotate_lock != kHandleNone) {
        for (uint32_t i = ctx->count; i > new_count; i--) {
            for (bool compressed : {false, true}) {
                g_autofree char *name =
                    rotated_name(ctx->filepath, static_cast<int>(i), compressed);
                if (is_regular_file(name)) {
                    unlink(name);
                }
            }
        }
    }
    ctx->count = new_count;
    g_rec_mutex_unlock(&ctx->lock);
    return true;
}

bool base_logger_set_compressed(base_logger_ctx_t *ctx, bool compressed)
{
    if (in_control_command_mode()) {
        return false;
    }
    g_message("[base_logger] setting agent logger to \"%s\" rotated log files",
              compressed ? "compress" : "not compress");
    g_rec_mutex_lock(&ctx->lock);
    ctx->compressed = compressed;
    g_rec_mutex_unlock(&ctx->lock);
    return true;
}

bool base_logger_set_enabled(base_logger_ctx_t *ctx, bool enabled)
{
    if (in_control_command_mode()) {
        return false;
    }
    g_message("[base_logger] setting agent logger to \"%s\" rotated log files",
              enabled ? "enabled" : "not enabled");
    g_rec_mutex_lock(&ctx->lock);
    ctx->enabled = enabled;
    g_rec_mutex_unlock(&ctx->lock);
    return true;
}

void base_logger_wait_compression(base_logger_ctx_t *ctx)
{
    g_rec_mutex_lock(&ctx->lock);
    GThread *thread = ctx->compressor;
    ctx->compressor = nullptr;
    g_rec_mutex_unlock(&ctx->lock);
    /* Joined outside the lock: the thread logs, and logging takes the lock. */
    if (thread) {
        g_thread_join(thread);
    }
}
