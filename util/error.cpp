#include "util/error.h"

#include <glib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "enforcement/platforms/platform-error.h"
#include "util/agent-assert.h"

struct Error {
    char *message;
    char *file;
    char *func;
    int32_t line;
    ErrorClass err_class;
    uint32_t win32_code;
    uint32_t errno_code;
};

const char *const ErrorClass_lookup[] = {
    "GenericError", "CommandNotFound", "NotImplemented", "ChannelError", nullptr,
};

/* Takes ownership of message. */
static void error_install(Error **errp, const char *file, const char *func, int line,
                          ErrorClass err_class, char *message, uint32_t win32_code,
                          uint32_t errno_code)
{
    if (!errp) {
        g_debug("[check] unset error on %s:%u: %s", file, static_cast<unsigned>(line), message);
        g_free(message);
        return;
    }
    if (*errp) {
        g_debug("[check] error set twice on %s:%u, ignoring second error: %s", file,
                static_cast<unsigned>(line), message);
        g_free(message);
        return;
    }
    Error *err = g_new0(Error, 1);
    err->message = message;
    err->file = g_strdup(file);
    err->func = g_strdup(func);
    err->line = line;
    err->err_class = err_class;
    err->win32_code = win32_code;
    err->errno_code = errno_code;
    *errp = err;
}

/* Formats the message, adds the text of a non-zero code and installs the error. */
static void error_setv(Error **errp, const char *file, const char *func, int line,
                       ErrorClass err_class, uint32_t win32_code, int os_errno, const char *fmt,
                       va_list ap) __attribute__((format(printf, 8, 0)));
static void error_setv(Error **errp, const char *file, const char *func, int line,
                       ErrorClass err_class, uint32_t win32_code, int os_errno, const char *fmt,
                       va_list ap)
{
    int saved_errno = errno;
    char *message = g_strdup_vprintf(fmt, ap);
    char *full = nullptr;
    if (os_errno != 0) {
        full = g_strdup_printf("%s: %s", message, g_strerror(os_errno));
    } else if (win32_code != 0) {
        g_autofree char *text = platform_error_message(win32_code);
        full = g_strdup_printf("%s: %s (error: %x)", message, text, win32_code);
    }
    if (full) {
        g_free(message);
        message = full;
    }
    error_install(errp, file, func, line, err_class, message, win32_code,
                  static_cast<uint32_t>(os_errno));
    errno = saved_errno;
}

void error_set_internal(Error **errp, const char *file, const char *func, int line,
                        ErrorClass err_class, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    error_setv(errp, file, func, line, err_class, 0, 0, fmt, ap);
    va_end(ap);
}

void error_set_errno_internal(Error **errp, int os_errno, const char *file, const char *func,
                              int line, ErrorClass err_class, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    error_setv(errp, file, func, line, err_class, 0, os_errno, fmt, ap);
    va_end(ap);
}

void error_set_win32_internal(Error **errp, uint32_t code, const char *file, const char *func,
                              int line, ErrorClass err_class, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    error_setv(errp, file, func, line, err_class, code, 0, fmt, ap);
    va_end(ap);
}

const char *error_get_message(const Error *err)
{
    return err ? err->message : nullptr;
}

ErrorClass error_get_class(const Error *err)
{
    return err ? err->err_class : ERROR_CLASS_GENERIC_ERROR;
}

const char *error_get_code_file(const Error *error)
{
    AGENT_ASSERT(NULL != error);
    return error->file;
}

const char *error_get_code_func(const Error *error)
{
    AGENT_ASSERT(NULL != error);
    return error->func;
}

int32_t error_get_code_line(const Error *error)
{
    AGENT_ASSERT(NULL != error);
    return error->line;
}

uint32_t error_get_win32_code(const Error *err)
{
    return err ? err->win32_code : 0;
}

uint32_t error_get_errno(const Error *err)
{
    return err ? err->errno_code : 0;
}

Error *error_copy(const Error *err)
{
    Error *copy = g_new0(Error, 1);
    copy->message = g_strdup(err->message);
    copy->file = g_strdup(err->file);
    copy->func = g_strdup(err->func);
    copy->line = err->line;
    copy->err_class = err->err_class;
    return copy;
}

void error_free(Error *err)
{
    if (err) {
        g_free(err->message);
        g_free(err->file);
        g_free(err->func);
        g_free(err);
    }
}

void error_free_and_clear(Error **errp)
{
    if (errp && *errp) {
        error_free(*errp);
        *errp = nullptr;
    }
}

void error_report_and_free(Error *err)
{
    fprintf(stderr, "%s", err ? err->message : "");
    error_free(err);
}

bool error_propagate(Error **dst_errp, Error *local)
{
    if (dst_errp && !*dst_errp) {
        *dst_errp = local;
        return local != nullptr;
    }
    error_free(local);
    return false;
}

bool error_propagate_reuse(Error **dst_errp, Error **local_error)
{
    AGENT_ASSERT(NULL != local_error);
    Error *local = *local_error;
    *local_error = nullptr;
    return error_propagate(dst_errp, local);
}
