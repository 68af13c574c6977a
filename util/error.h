/*
 * Error: one failure, with its class, message and the source location that raised it.
 *
 * Rules for callers (errp):
 *  - errp is the last parameter. Pass the address of a NULL Error* to receive the
 *    failure, or NULL when you do not care.
 *  - A function that takes errp also returns a value that says whether it succeeded
 *    (false, NULL or 0 on failure); check that value, not *errp.
 *  - A callee never reads *errp. Collect a callee's failure in a local Error* and
 *    error_propagate() it.
 *  - The first error set wins; a second one is logged at debug level and dropped.
 *  - Messages are one phrase, no trailing punctuation.
 */
#pragma once

#include <cstdarg>
#include <cstdint>

enum ErrorClass : int32_t {
    ERROR_CLASS_GENERIC_ERROR = 0,
    ERROR_CLASS_COMMAND_NOT_FOUND = 1,
    ERROR_CLASS_NOT_IMPLEMENTED = 2,
    ERROR_CLASS_CHANNEL_ERROR = 3,
    ERROR_CLASS_MAX = 4,
};

/* JSON names of the classes, indexed by ErrorClass, NULL-terminated. */
extern const char *const ErrorClass_lookup[];

struct Error;

void error_set_internal(Error **errp, const char *file, const char *func, int line,
                        ErrorClass err_class, const char *fmt, ...)
    __attribute__((format(printf, 6, 7)));
void error_set_errno_internal(Error **errp, int os_errno, const char *file, const char *func,
                              int line, ErrorClass err_class, const char *fmt, ...)
    __attribute__((format(printf, 7, 8)));
void error_set_win32_internal(Error **errp, uint32_t code, const char *file, const char *func,
                              int line, ErrorClass err_class, const char *fmt, ...)
    __attribute__((format(printf, 7, 8)));

#define error_set(errp, err_class, ...) \
    error_set_internal((errp), __FILE__, __func__, __LINE__, (err_class), __VA_ARGS__)
#define error_setg(errp, ...) error_set((errp), ERROR_CLASS_GENERIC_ERROR, __VA_ARGS__)
#define error_set_errno(errp, os_errno, err_class, ...) \
    error_set_errno_internal((errp), (os_errno), __FILE__, __func__, __LINE__, (err_class), __VA_ARGS__)
#define error_setg_errno(errp, os_errno, ...) \
    error_set_errno((errp), (os_errno), ERROR_CLASS_GENERIC_ERROR, __VA_ARGS__)
#define error_set_win32(errp, code, err_class, ...) \
    error_set_win32_internal((errp), (code), __FILE__, __func__, __LINE__, (err_class), __VA_ARGS__)
#define error_setg_win32(errp, code, ...) \
    error_set_win32((errp), (code), ERROR_CLASS_GENERIC_ERROR, __VA_ARGS__)

const char *error_get_message(const Error *err);
ErrorClass error_get_class(const Error *err);
const char *error_get_code_file(const Error *err);
const char *error_get_code_func(const Error *err);
int32_t error_get_code_line(const Error *err);
uint32_t error_get_win32_code(const Error *err);
uint32_t error_get_errno(const Error *err);

Error *error_copy(const Error *err);
void error_free(Error *err);
void error_free_and_clear(Error **errp);
void error_report_and_free(Error *err);

/* Moves local into *dst_errp when that is free; otherwise frees local.
 * Returns true when local was moved. */
bool error_propagate(Error **dst_errp, Error *local);
/* As error_propagate, and always leaves *local_errp NULL for reuse. */
bool error_propagate_reuse(Error **dst_errp, Error **local_errp);
