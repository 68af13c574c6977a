#include "agent-common/logger.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "agent-common/agent-main.h"
#include "agent-common/base-logger.h"
#include "enforcement/platforms/platform-error.h"
#include "util/agent-assert.h"
#include "util/error.h"

struct logger_ctx_t {
    bool console;
    uint32_t pid;
    uint32_t level;
    uint32_t init_level;
    guint default_handler_id;
    guint handler_id;
    logger_hook_fn hook;
};

static logger_ctx_t *g_logger_ctx;
static base_logger_ctx_t *g_base_logger_ctx;

namespace {
constexpr size_t kPrefixSize = 128;
constexpr size_t kDirectSize = 10240; /* 10239 characters and the terminator */
constexpr GLogLevelFlags kOutLevels =
    static_cast<GLogLevelFlags>(G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO | G_LOG_LEVEL_DEBUG);

struct LevelName {
    uint32_t level;
    const char *plain;
    const char *coloured;
};
const LevelName kLevelNames[] = {
    {G_LOG_LEVEL_ERROR, "ERROR", "\033[1;31;40mERROR\033[0m"},
    {G_LOG_LEVEL_CRITICAL, "CRITICAL", "\033[1;37;41mCRITICAL\033[0m"},
    {G_LOG_LEVEL_WARNING, "WARNING", "\033[0;33;40mWARNING\033[0m"},
    {G_LOG_LEVEL_MESSAGE, "MESSAGE", "\033[0;32;40mMESSAGE\033[0m"},
    {G_LOG_LEVEL_INFO, "INFO", "\033[0;36;40mINFO\033[0m"},
    {G_LOG_LEVEL_DEBUG, "DEBUG", "\033[0;37;40mDEBUG\033[0m"},
};

const char *const kProfileNames[] = {nullptr, "min", "medium", "max"};
logger_profile_t s_profiles[] = {{0, 0, false}, {2, 3, true}, {6, 5, true}, {15, 8, true}};
int s_cli_profile = LOGGER_PROFILE_NONE;

uint32_t s_saved_level;
guint s_revert_timer_fallback;
} // namespace

const char *logger_level_name(uint32_t level, bool coloured)
{
    for (const LevelName &n : kLevelNames) {
        if (n.level == level) {
            return coloured ? n.coloured : n.plain;
        }
    }
    return coloured ? "\033[0;37;40mUSER\033[0m" : "USER";
}

static void format_prefix(char *buf, size_t size, uint32_t pid, const char *level_name,
                          bool epoch_time)
{
    gint64 now = g_get_real_time();
    time_t seconds = static_cast<time_t>(now / G_USEC_PER_SEC);
    long usec = static_cast<long>(now % G_USEC_PER_SEC);
    char time_text[64];
    struct tm tm;
    if (epoch_time || !localtime_r(&seconds, &tm) ||
        strftime(time_text, sizeof time_text, "%Y-%m-%d %H:%M:%S", &tm) == 0) {
        snprintf(time_text, sizeof time_text, "%ld.%ld", static_cast<long>(seconds), usec);
    }
    snprintf(buf, size, "%s,%lu\t[%d:%s]\t", time_text, static_cast<unsigned long>(usec),
             static_cast<int>(pid), level_name);
}

static void log_handler(const gchar *domain, GLogLevelFlags flags, const gchar *message,
                        gpointer user_data)
{
    int saved_errno = errno;
    uint32_t level = flags & G_LOG_LEVEL_MASK;
    logger_ctx_t *ctx = g_logger_ctx;
    base_logger_ctx_t *base = g_base_logger_ctx;
    if (ctx && base && base_logger_is_ready(base, message) && (level & ctx->level)) {
        size_t len = strnlen(message, BASE_LOGGER_MAX_MESSAGE);
        char prefix[kPrefixSize];
        format_prefix(prefix, sizeof prefix, ctx->pid, logger_level_name(level, ctx->console),
                      false);
        base_logger_lock(base);
        if (ctx->hook) {
            ctx->hook(static_cast<GLogLevelFlags>(level), message, len);
        }
        size_t written = base_logger_write_line(base, prefix, message, len, level & kOutLevels);
        if (!ctx->console) {
            base_logger_add_size(base, written);
        }
        if (level == G_LOG_LEVEL_ERROR) {
            base_logger_unlock(base);
            exit(1);
        }
        base_logger_check_rotate(base, false);
        base_logger_unlock(base);
    }
    if (level & G_LOG_LEVEL_ERROR) {
        exit(1);
    }
    errno = saved_errno;
}

static void write_direct(GLogLevelFlags level, const char *fmt, va_list ap)
    __attribute__((format(printf, 2, 0)));
static void write_direct(GLogLevelFlags level, const char *fmt, va_list ap)
{
    char text[kDirectSize];
    vsnprintf(text, sizeof text, fmt, ap);
    base_logger_ctx_t *base = g_base_logger_ctx;
    if (!base_logger_is_initialized(base) || !base_logger_is_enabled(base)) {
        printf("** critical error but no logger ** - %s\r\n", text);
        fflush(stdout);
        return;
    }
    logger_ctx_t *ctx = g_logger_ctx;
    bool console = ctx && ctx->console;
    char prefix[kPrefixSize];
    format_prefix(prefix, sizeof prefix, ctx ? ctx->pid : static_cast<uint32_t>(getpid()),
                  logger_level_name(level, console), true);
    base_logger_lock(base);
    size_t written = base_logger_write_line(base, prefix, text, strlen(text), level & kOutLevels);
    if (!console) {
        base_logger_add_size(base, written);
    }
    base_logger_unlock(base);
}

void logger_write_critical(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    write_direct(G_LOG_LEVEL_CRITICAL, fmt, ap);
    va_end(ap);
}

void logger_write_message(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    write_direct(G_LOG_LEVEL_MESSAGE, fmt, ap);
    va_end(ap);
}

static void assert_writer(const char *text)
{
    logger_write_critical("%s", text);
}

bool start_logger(uint32_t level_mask, const char *path)
{
    AGENT_ASSERT(NULL == g_base_logger_ctx);
    AGENT_ASSERT(NULL == g_logger_ctx);
    g_base_logger_ctx = start_base_logger(path, logger_write_critical);
    g_logger_ctx = g_new0(logger_ctx_t, 1);
    /* Colour only where a person reads the lines. */
    g_logger_ctx->console = isatty(STDERR_FILENO);
    g_logger_ctx->pid = static_cast<uint32_t>(getpid());
    g_logger_ctx->level = level_mask;
    g_logger_ctx->init_level = level_mask;
    g_log_set_default_handler(log_handler, nullptr);
    g_logger_ctx->default_handler_id = g_log_set_handler(
        nullptr,
        static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION),
        log_handler, nullptr);
    g_log_set_always_fatal(G_LOG_LEVEL_ERROR);
    agent_assert_set_writer(assert_writer);

    Error *err = nullptr;
    bool ok = logger_open_log_file(&err);
    error_free(err);
    return ok;
}

void stop_logger(void)
{
    if (g_logger_ctx) {
        g_log_remove_handler(nullptr, g_logger_ctx->default_handler_id);
        g_log_set_default_handler(g_log_default_handler, nullptr);
    }
    /* The compression thread may still log: the handlers are gone by now. */
    stop_base_logger(g_base_logger_ctx);
    g_base_logger_ctx = nullptr;
    g_free(g_logger_ctx);
    g_logger_ctx = nullptr;
}

bool logger_open_log_file(Error **errp)
{
    if (!g_base_logger_ctx) {
        error_setg(errp, "logger is not started");
        return false;
    }
    if (!open_base_log_file(g_base_logger_ctx, errp)) {
        return false;
    }
    /* Lines go to the file now, not to a console. */
    if (g_logger_ctx && base_logger_has_file(g_base_logger_ctx)) {
        g_logger_ctx->console = false;
    }
    return true;
}

uint32_t logger_get_level(void)
{
    if (g_logger_ctx && base_logger_is_initialized(g_base_logger_ctx)) {
        return g_logger_ctx->level;
    }
    return G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL;
}

void logger_set_level(uint32_t mask)
{
    if (!g_logger_ctx) {
        return;
    }
    if ((g_logger_ctx->init_level & LOGGER_LEVELS_ALL) == LOGGER_LEVELS_ALL) {
        g_message("[logger] not changing init log level from verbose");
        return;
    }
    g_logger_ctx->level = mask;
}

uint64_t logger_get_file_size(void)
{
    return base_logger_get_size(g_base_logger_ctx);
}

bool logger_set_rotate_threshold(uint64_t threshold_mib)
{
    return g_base_logger_ctx && base_logger_set_rotate_threshold(g_base_logger_ctx, threshold_mib);
}

bool logger_set_rotate_count(uint64_t count)
{
    return g_base_logger_ctx && base_logger_set_rotate_count(g_base_logger_ctx, count);
}

bool logger_set_rotate_compressed(bool compressed)
{
    return g_base_logger_ctx && base_logger_set_compressed(g_base_logger_ctx, compressed);
}

bool logger_set_enabled(bool enabled)
{
    return g_base_logger_ctx && base_logger_set_enabled(g_base_logger_ctx, enabled);
}

bool logger_set_rotation(uint64_t threshold_bytes, uint64_t count, bool compressed)
{
    /* The threshold last: the other two setters' lines must not rotate by the new one. */
    return g_base_logger_ctx && base_logger_set_compressed(g_base_logger_ctx, compressed) &&
           base_logger_set_rotate_count(g_base_logger_ctx, count) &&
           base_logger_set_rotate_threshold_bytes(g_base_logger_ctx, threshold_bytes);
}

void logger_wait_compression(void)
{
    if (g_base_logger_ctx) {
        base_logger_wait_compression(g_base_logger_ctx);
    }
}

static bool same_file(int a, int b)
{
    struct stat sa, sb;
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

base_logger_ctx_t *logger_lock_output(int fd)
{
    base_logger_ctx_t *base = g_base_logger_ctx;
    if (!base) {
        return nullptr;
    }
    /* Decided under the lock: the log changes between its file and the console only there. */
    base_logger_lock(base);
    if (base_logger_has_file(base) || (!same_file(fd, STDOUT_FILENO) && !same_file(fd, STDERR_FILENO))) {
        base_logger_unlock(base);
        return nullptr;
    }
    return base;
}

void logger_unlock_output(base_logger_ctx_t *held)
{
    if (held) {
        base_logger_unlock(held);
    }
}

void logger_set_hook(logger_hook_fn hook)
{
    if (g_logger_ctx) {
        g_logger_ctx->hook = hook;
    }
}

log_ctx_wrapper_t *get_log_ctx_wrapper(void)
{
    auto *wrapper = g_new0(log_ctx_wrapper_t, 1);
    wrapper->logger_ctx = g_logger_ctx;
    wrapper->base_logger_ctx = g_base_logger_ctx;
    return wrapper;
}

void set_log_ctx_wrapper(const log_ctx_wrapper_t *log_ctx_wrapper)
{
    AGENT_ASSERT((NULL == g_base_logger_ctx) ||
                 (g_base_logger_ctx == log_ctx_wrapper->base_logger_ctx));
    AGENT_ASSERT((NULL == g_logger_ctx) || (g_logger_ctx == log_ctx_wrapper->logger_ctx));
    g_base_logger_ctx = log_ctx_wrapper->base_logger_ctx;
    g_logger_ctx = log_ctx_wrapper->logger_ctx;
    agent_assert_set_writer(assert_writer);
}

void free_log_ctx_wrapper(log_ctx_wrapper_t *log_ctx_wrapper)
{
    g_free(log_ctx_wrapper);
}

void logger_set_profile(int index, uint64_t threshold_mib, uint64_t count, bool compressed)
{
    if (index >= LOGGER_PROFILE_MIN && index <= LOGGER_PROFILE_MAX) {
        s_profiles[index] = {threshold_mib, count, compressed};
    }
}

static int profile_index(const char *name)
{
    for (int i = LOGGER_PROFILE_MIN; i <= LOGGER_PROFILE_MAX; i++) {
        if (name && strcmp(name, kProfileNames[i]) == 0) {
            return i;
        }
    }
    return LOGGER_PROFILE_NONE;
}

int logger_parse_profile_arg(const char *arg)
{
    int index = profile_index(arg);
    if (index != LOGGER_PROFILE_NONE) {
        s_cli_profile = index;
    }
    return index;
}

void logger_reset_profile_choice(void)
{
    s_cli_profile = LOGGER_PROFILE_NONE;
}

logger_profile_t logger_get_profile(bool *is_explicit)
{
    int index = s_cli_profile;
    bool chosen = true;
    if (index != LOGGER_PROFILE_NONE) {
        g_message("[logger-profile] Logging profile set to '%s' from cli arg",
                  kProfileNames[index]);
    } else if ((index = profile_index(g_getenv("HV_LOGGING_PROFILE"))) != LOGGER_PROFILE_NONE) {
        g_message("[logger-profile] Logging profile set to '%s' from environment variable",
                  kProfileNames[index]);
    } else {
        index = LOGGER_PROFILE_MEDIUM;
        chosen = false;
    }
    if (is_explicit) {
        *is_explicit = chosen;
    }
    return s_profiles[index];
}

static guint *revert_timer_slot(void)
{
    return ga_state ? &ga_state->verbose_revert_timer : &s_revert_timer_fallback;
}

static gboolean verbose_revert_cb(gpointer)
{
    g_message("[log trigger] verbose log timer expired");
    logger_set_level(s_saved_level);
    *revert_timer_slot() = 0;
    return G_SOURCE_REMOVE;
}

void logger_trigger_verbose_log(uint64_t seconds)
{
    g_message("[log trigger] triggering verbose log for %u seconds",
              static_cast<unsigned>(seconds));
    guint *timer = revert_timer_slot();
    if (*timer) {
        /* Overlapping triggers revert to the level from before the first one. */
        g_source_remove(*timer);
        *timer = 0;
    } else {
        s_saved_level = logger_get_level();
    }
    logger_set_level(LOGGER_LEVELS_ALL);
    guint interval = seconds > G_MAXUINT ? G_MAXUINT : static_cast<guint>(seconds);
    *timer = g_timeout_add_seconds(interval, verbose_revert_cb, nullptr);
}

void logger_cancel_verbose_log_revert(void)
{
    guint *timer = revert_timer_slot();
    if (*timer) {
        g_source_remove(*timer);
        *timer = 0;
    }
}

void qmp_trigger_verbose_log(uint64_t verbose_timer, Error **errp)
{
    logger_trigger_verbose_log(verbose_timer);
}

static void log_with_code(GLogLevelFlags level, const char *code_text, long code,
                          const char *fmt, va_list ap) __attribute__((format(printf, 4, 0)));
/* code_text NULL: the text alone. code < 0: no "(error: ...)" part. */
static void log_with_code(GLogLevelFlags level, const char *code_text, long code,
                          const char *fmt, va_list ap)
{
    g_autofree char *text = g_strdup_vprintf(fmt, ap);
    if (!code_text) {
        g_log(G_LOG_DOMAIN, level, "%s", text);
    } else if (code < 0) {
        g_log(G_LOG_DOMAIN, level, "%s: %s", text, code_text);
    } else {
        g_log(G_LOG_DOMAIN, level, "%s: %s (error: %ld)", text, code_text, code);
    }
}

static void log_win32v(GLogLevelFlags level, uint32_t code, const char *fmt, va_list ap)
    __attribute__((format(printf, 3, 0)));
static void log_win32v(GLogLevelFlags level, uint32_t code, const char *fmt, va_list ap)
{
    g_autofree char *code_text = code ? platform_error_message(code) : nullptr;
    log_with_code(level, code_text, static_cast<long>(code), fmt, ap);
}

static void log_errnov(GLogLevelFlags level, int errnum, const char *fmt, va_list ap)
    __attribute__((format(printf, 3, 0)));
static void log_errnov(GLogLevelFlags level, int errnum, const char *fmt, va_list ap)
{
    int saved_errno = errno;
    log_with_code(level, errnum ? g_strerror(errnum) : nullptr, -1, fmt, ap);
    errno = saved_errno;
}

#define LOGGER_FAMILY(name, impl, code_type, level)   \
    void name(code_type code, const char *fmt, ...)   \
    {                                                 \
        va_list ap;                                   \
        va_start(ap, fmt);                            \
        impl(level, code, fmt, ap);                   \
        va_end(ap);                                   \
    }

void logger_log_win32(GLogLevelFlags level, uint32_t code, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    log_win32v(level, code, fmt, ap);
    va_end(ap);
}

LOGGER_FAMILY(logger_win32_critical, log_win32v, uint32_t, G_LOG_LEVEL_CRITICAL)
LOGGER_FAMILY(logger_win32_warning, log_win32v, uint32_t, G_LOG_LEVEL_WARNING)
LOGGER_FAMILY(logger_win32_message, log_win32v, uint32_t, G_LOG_LEVEL_MESSAGE)
LOGGER_FAMILY(logger_win32_debug, log_win32v, uint32_t, G_LOG_LEVEL_DEBUG)

void logger_log_errno(GLogLevelFlags level, int errnum, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    log_errnov(level, errnum, fmt, ap);
    va_end(ap);
}

LOGGER_FAMILY(logger_errno_critical, log_errnov, int, G_LOG_LEVEL_CRITICAL)
LOGGER_FAMILY(logger_errno_warning, log_errnov, int, G_LOG_LEVEL_WARNING)
LOGGER_FAMILY(logger_errno_message, log_errnov, int, G_LOG_LEVEL_MESSAGE)
LOGGER_FAMILY(logger_errno_debug, log_errnov, int, G_LOG_LEVEL_DEBUG)

void logger_console_errno(int errnum, const char *fmt, ...)
{
    int saved_errno = errno;
    va_list ap;
    va_start(ap, fmt);
    g_autofree char *text = g_strdup_vprintf(fmt, ap);
    va_end(ap);
    if (errnum) {
        printf("%s: %s\n", text, g_strerror(errnum));
    } else {
        printf("%s\n", text);
    }
    fflush(stdout);
    errno = saved_errno;
}
