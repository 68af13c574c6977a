#include "qobject/qstring.h"

#include <glib.h>

#include "qobject/qobject-internal.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

/*
 * A string is built with its bytes in the same block, right after the value; it moves
 * to a buffer of its own only when appending outgrows them.
 */
static char *inline_bytes(QString *qs)
{
    return reinterpret_cast<char *>(qs + 1);
}

static void qstring_destroy(QObject *obj)
{
    QString *qs = reinterpret_cast<QString *>(obj);
    if (qs->string != inline_bytes(qs)) {
        g_free(qs->string);
    }
    qobject_release<QString>(obj);
}

static const QType s_qstring_type = {QTYPE_QSTRING, sizeof(QString), qstring_destroy};

static void qstring_set_buffer(QString *qs, size_t capacity)
{
    if (qs->string == inline_bytes(qs)) {
        char *buf = static_cast<char *>(g_malloc(capacity + 1));
        memcpy(buf, qs->string, qs->length + 1);
        qs->string = buf;
    } else {
        qs->string = static_cast<char *>(g_realloc(qs->string, capacity + 1));
    }
    qs->capacity = capacity;
    qobject_stats_add_field_memory(QTYPE_QSTRING, capacity + 1);
}

QString *qstring_from_len(const char *str, size_t len)
{
    if (len > G_MAXSIZE - sizeof(QString) - 1) {
        g_error("[qstring] string of %zu bytes", len);
    }
    QString *qs = static_cast<QString *>(g_malloc(sizeof(QString) + len + 1));
    qobject_init(QOBJECT(qs), &s_qstring_type);
    qs->string = inline_bytes(qs);
    qs->capacity = len;
    qobject_stats_add_field_memory(QTYPE_QSTRING, len + 1);
    if (len) {
        memcpy(qs->string, str, len);
    }
    qs->string[len] = '\0';
    qs->length = len;
    return qs;
}

QString *qstring_new(void)
{
    return qstring_from_len("", 0);
}

QString *qstring_from_str(const char *str)
{
    return qstring_from_len(str, strlen(str));
}

QString *qstring_from_substr(const char *str, size_t start, size_t end)
{
    return qstring_from_len(str + start, end - start + 1);
}

QString *qstring_from_format(const char *fmt, ...)
{
    QString *qs = qstring_new();
    va_list ap;
    va_start(ap, fmt);
    qstring_append_vformat(qs, fmt, ap);
    va_end(ap);
    return qs;
}

void qstring_append_len(QString *qs, const char *str, size_t len)
{
    if (qs->length + len > qs->capacity) {
        qstring_set_buffer(qs, (qs->capacity + len) * 2);
    }
    memcpy(qs->string + qs->length, str, len);
    qs->length += len;
    qs->string[qs->length] = '\0';
}

void qstring_append(QString *qs, const char *str)
{
    qstring_append_len(qs, str, strlen(str));
}

void qstring_append_chr(QString *qs, char c)
{
    qstring_append_len(qs, &c, 1);
}

void qstring_append_int(QString *qs, int64_t value)
{
    char buf[32];
    int n = snprintf(buf, sizeof buf, "%" PRId64, value);
    qstring_append_len(qs, buf, static_cast<size_t>(n));
}

void qstring_append_vformat(QString *qs, const char *fmt, va_list ap)
{
    va_list ap2;
    va_copy(ap2, ap);
    char buf[256];
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    if (n < 0) {
        va_end(ap2);
        return;
    }
    if (static_cast<size_t>(n) < sizeof buf) {
        qstring_append_len(qs, buf, static_cast<size_t>(n));
    } else {
        g_autofree char *big = g_strdup_vprintf(fmt, ap2);
        qstring_append_len(qs, big, static_cast<size_t>(n));
    }
    va_end(ap2);
}

void qstring_append_format(QString *qs, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    qstring_append_vformat(qs, fmt, ap);
    va_end(ap);
}

const char *qstring_get_str(const QString *qs)
{
    return qs->string;
}

size_t qstring_get_length(const QString *qs)
{
    return qs->length;
}

char *qstring_steal(QString *qs)
{
    char *str = qs->string;
    if (qs->base.refcnt == 1 && str != inline_bytes(qs)) {
        qs->string = nullptr; /* the value is about to go */
    } else {
        str = g_strndup(qs->string, qs->length);
    }
    qobject_decref(QOBJECT(qs));
    return str;
}

QString *qobject_to_qstring(const QObject *obj)
{
    return qobject_downcast<QString>(obj, QTYPE_QSTRING);
}
