#include "enforcement/framework/agent/en-driver-logger.h"

#include <glib.h>

#include <atomic>
#include <cstdarg>
#include <cstring>

#include "agent-common/base-logger.h"
#include "enforcement/framework/agent/en-api.h"
#include "enforcement/framework/agent/en-config.h"
#include "util/error.h"

namespace {

using ull = unsigned long long;

/* A request that brings nothing sooner than this is a failure, not a wait that ran out:
 * the thread pauses instead of asking again at once. */
constexpr uint64_t kMinRetryMs = 100;
/* The wait time is configured freely; a pause longer than a day would also overflow the
 * clock arithmetic, and an overflowed deadline ends at once: a busy loop. */
constexpr uint64_t kMaxPauseMs = 86400000;

base_logger_ctx_t *s_ctx;
GThread *s_thread;
std::atomic<uint32_t> s_stop;
GMutex s_wait_mutex;
GCond s_wait_cond;
uint8_t s_buffer[EN_DRIVER_LOGGER_BUFFER_SIZE];

__attribute__((format(printf, 1, 2))) void report_to_module_log(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    g_autofree char *text = g_strdup_vprintf(fmt, ap);
    va_end(ap);
    g_critical("%s", text);
}

void put_le(uint8_t *at, uint64_t value, size_t width)
{
    for (size_t i = 0; i < width; i++) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

/* Waits up to ms unless a stop comes first. */
void pause_unless_stopped(uint64_t ms)
{
    ms = ms < kMaxPauseMs ? ms : kMaxPauseMs;
    gint64 until = g_get_monotonic_time() + static_cast<gint64>(ms) * G_TIME_SPAN_MILLISECOND;
    g_mutex_lock(&s_wait_mutex);
    while (!s_stop && g_cond_wait_until(&s_wait_cond, &s_wait_mutex, until)) {
    }
    g_mutex_unlock(&s_wait_mutex);
}

void *driver_logger_thread(void *)
{
    g_debug("[driver_logger] driver logger thread is started");
    uint8_t request[EN_API_LOG_REQUEST_SIZE];
    while (!s_stop) {
        uint64_t wait_ms = g_en_config.driver_log_req_timeout_ms;
        uint64_t pause_ms = wait_ms > kMinRetryMs ? wait_ms : kMinRetryMs;
        if (!base_logger_is_ready(s_ctx, s_buffer)) {
            pause_unless_stopped(pause_ms);
            continue;
        }
        put_le(request, wait_ms, 8);
        put_le(request + 8, reinterpret_cast<uintptr_t>(s_buffer), 8);
        put_le(request + 16, EN_DRIVER_LOGGER_BUFFER_SIZE, 4);
        put_le(request + 20, 0x800, 4);
        put_le(request + 24, 0, 4);
        gint64 asked = g_get_monotonic_time();
        uint32_t filled = en_api_get_driver_logs(g_en_handle, request);
        /* The count comes from the driver: never trust it past the buffer. */
        if (filled > EN_DRIVER_LOGGER_BUFFER_SIZE) {
            g_warning("[driver_logger] driver reported %u log bytes for a buffer of %u", filled,
                      EN_DRIVER_LOGGER_BUFFER_SIZE);
            filled = 0;
        }
        if (filled == 0) {
            uint64_t waited_ms = static_cast<uint64_t>(g_get_monotonic_time() - asked) / 1000;
            if (waited_ms < pause_ms) {
                pause_unless_stopped(pause_ms - waited_ms);
            }
            continue;
        }
        size_t written = base_logger_append(s_ctx, s_buffer, filled);
        if (written != filled) {
            g_warning("[driver_logger] failed to write to whole buffer to the file. (bytes_written=%llu, "
                      "buffer_len=%llu)",
                      static_cast<ull>(written), static_cast<ull>(filled));
        }
    }
    g_debug("[driver_logger] stop flag is set. Breaking from loop.");
    g_debug("[driver_logger] exiting driver logger thread");
    return nullptr;
}

} // namespace

bool en_driver_logger_init(const char *path, Error **errp)
{
    if (s_ctx) {
        error_setg(errp, "driver logger is already initialized");
        return false;
    }
    if (!g_en_handle || !en_api_is_started(g_en_handle)) {
        error_setg(errp, "could not locate driver handle");
        return false;
    }
    base_logger_ctx_t *ctx = start_base_logger(path, report_to_module_log);
    if (!ctx) {
        error_setg(errp, "start_base_logger() failed");
        return false;
    }
    Error *err = nullptr;
    if (!open_base_log_file(ctx, &err)) {
        error_setg(errp, "unable to open driver log file: %s", error_get_message(err));
        error_free(err);
        stop_base_logger(ctx);
        return false;
    }
    base_logger_set_rotate_threshold(ctx, EN_DRIVER_LOGGER_ROTATE_MIB);
    base_logger_set_rotate_count(ctx, EN_DRIVER_LOGGER_ROTATE_COUNT);
    base_logger_set_compressed(ctx, true);
    s_ctx = ctx;
    s_stop = 0;
    return true;
}

bool en_driver_logger_start(Error **errp)
{
    if (s_thread) {
        error_setg(errp, "enforcement driver logger thread is already started");
        return false;
    }
    if (!s_ctx) {
        error_setg(errp, "driver logger is not initialized");
        return false;
    }
    s_stop = 0;
    GError *gerr = nullptr;
    s_thread = g_thread_try_new("enforcement_driver_logger", driver_logger_thread, nullptr, &gerr);
    if (!s_thread) {
        error_setg(errp, "failed starting enforcement driver logger thread: %s", gerr ? gerr->message : "");
        g_clear_error(&gerr);
        return false;
    }
    return true;
}

void en_driver_logger_request_stop(void)
{
    if (!s_ctx) {
        return;
    }
    g_mutex_lock(&s_wait_mutex);
    s_stop = 1;
    g_cond_broadcast(&s_wait_cond);
    g_mutex_unlock(&s_wait_mutex);
}

void en_driver_logger_stop(void)
{
    if (!s_ctx) {
        return;
    }
    g_debug("[driver_logger] stopping the driver logger thread");
    en_driver_logger_request_stop();
    if (s_thread) {
        g_debug("[driver_logger] wait for driver logger thread to stop");
        g_thread_join(s_thread);
        s_thread = nullptr;
        g_debug("[driver_logger] driver logger thread stopped successfully");
    }
    stop_base_logger(s_ctx);
    s_ctx = nullptr;
    s_stop = 0;
}
