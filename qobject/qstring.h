/* QString: an owned byte string with length and capacity; always NUL-terminated. */
#pragma once
#include <cstdarg>
#include "qobject/qobject.h"

struct QString {
    QObject base;
    char *string;
    size_t length;
    size_t capacity;
};

QString *qstring_new(void);
QString *qstring_from_str(const char *str);
/* Bytes start to end inclusive. */
QString *qstring_from_substr(const char *str, size_t start, size_t end);
QString *qstring_from_format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
/* Takes the bytes as they are, NULs included. */
QString *qstring_from_len(const char *str, size_t len);

void qstring_append(QString *qs, const char *str);
void qstring_append_len(QString *qs, const char *str, size_t len);
void qstring_append_chr(QString *qs, char c);
void qstring_append_int(QString *qs, int64_t value);
void qstring_append_format(QString *qs, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void qstring_append_vformat(QString *qs, const char *fmt, va_list ap)
    __attribute__((format(printf, 2, 0)));

const char *qstring_get_str(const QString *qs);
size_t qstring_get_length(const QString *qs);
/* Hands the buffer to the caller (free with g_free) and drops the reference. */
char *qstring_steal(QString *qs);
QString *qobject_to_qstring(const QObject *obj);
