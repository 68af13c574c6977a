#include "qobject/qjson.h"

#include <glib.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "qobject/json-parser.h"
#include "qobject/json-streamer.h"
#include "qobject/qbool.h"
#include "qobject/qdict.h"
#include "qobject/qfloat.h"
#include "qobject/qint.h"
#include "qobject/qlist.h"
#include "qobject/quint.h"
#include "util/error.h"
#include "util/unicode.h"

/* Bytes that need no escaping: printable ASCII but the quote and the backslash. */
static bool is_plain(unsigned char c)
{
    return c >= 0x20 && c <= 0x7E && c != '"' && c != '\\';
}

void qjson_append_quoted(QString *out, const char *str, size_t len)
{
    const char *p = str;
    const char *end = str + len;
    char buf[16];
    qstring_append_chr(out, '"');
    while (p < end) {
        const char *run = p;
        while (p < end && is_plain(static_cast<unsigned char>(*p))) {
            p++;
        }
        if (p > run) {
            qstring_append_len(out, run, static_cast<size_t>(p - run));
        }
        if (p >= end) {
            break;
        }
        const char *next;
        size_t avail = static_cast<size_t>(end - p);
        int cp = mod_utf8_codepoint(p, avail < 6 ? avail : 6, &next);
        if (next == p) {
            next = p + 1; /* an embedded NUL: step over it */
        }
        p = next;
        switch (cp) {
        case '"':
            qstring_append_len(out, "\\\"", 2);
            break;
        case '\\':
            qstring_append_len(out, "\\\\", 2);
            break;
        case '\b':
            qstring_append_len(out, "\\b", 2);
            break;
        case '\f':
            qstring_append_len(out, "\\f", 2);
            break;
        case '\n':
            qstring_append_len(out, "\\n", 2);
            break;
        case '\r':
            qstring_append_len(out, "\\r", 2);
            break;
        case '\t':
            qstring_append_len(out, "\\t", 2);
            break;
        default: {
            if (cp < 0) {
                cp = 0xFFFD;
            }
            int n;
            if (cp > 0xFFFF) {
                unsigned v = static_cast<unsigned>(cp) - 0x10000;
                n = snprintf(buf, sizeof buf, "\\u%04X\\u%04X", 0xD800 + (v >> 10), 0xDC00 + (v & 0x3FF));
            } else {
                n = snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(cp));
            }
            qstring_append_len(out, buf, static_cast<size_t>(n));
            break;
        }
        }
    }
    qstring_append_chr(out, '"');
}

static void append_float(QString *out, double d)
{
    if (!std::isfinite(d)) {
        /* JSON has no spelling for these; "inf" or "nan" would make the document unreadable. */
        qstring_append_len(out, "null", 4);
        return;
    }
    char stack_buf[64];
    int n = snprintf(stack_buf, sizeof stack_buf, "%f", d);
    g_autofree char *heap_buf = nullptr;
    char *buf = stack_buf;
    if (static_cast<size_t>(n) >= sizeof stack_buf) {
        heap_buf = g_strdup_printf("%f", d);
        buf = heap_buf;
    }
    /* %f always prints a decimal point: drop trailing zeros, then a bare point. */
    while (n > 0 && buf[n - 1] == '0') {
        n--;
    }
    if (n > 0 && buf[n - 1] == '.') {
        n--;
    }
    qstring_append_len(out, buf, static_cast<size_t>(n));
}

static void append_indent(QString *out, int level)
{
    for (int i = 0; i < level; i++) {
        qstring_append_len(out, "    ", 4);
    }
}

static void to_json(const QObject *obj, QString *out, bool pretty, int indent);

static void separator(QString *out, bool pretty, bool first, int indent)
{
    if (!first) {
        qstring_append(out, pretty ? "," : ", ");
    }
    if (pretty) {
        qstring_append_chr(out, '\n');
        append_indent(out, indent);
    }
}

static void to_json(const QObject *obj, QString *out, bool pretty, int indent)
{
    char buf[32];
    switch (qobject_type(obj)) {
    case QTYPE_QNULL:
        qstring_append_len(out, "null", 4);
        break;
    case QTYPE_QINT: {
        int n = snprintf(buf, sizeof buf, "%" PRId64, qint_get_int(qobject_to_qint(obj)));
        qstring_append_len(out, buf, static_cast<size_t>(n));
        break;
    }
    case QTYPE_QUINT: {
        int n = snprintf(buf, sizeof buf, "%" PRIu64, quint_get_uint(qobject_to_quint(obj)));
        qstring_append_len(out, buf, static_cast<size_t>(n));
        break;
    }
    case QTYPE_QFLOAT:
        append_float(out, qfloat_get_double(qobject_to_qfloat(obj)));
        break;
    case QTYPE_QBOOL:
        qstring_append(out, qbool_get_bool(qobject_to_qbool(obj)) ? "true" : "false");
        break;
    case QTYPE_QSTRING: {
        const QString *qs = qobject_to_qstring(obj);
        qjson_append_quoted(out, qs->string, qs->length);
        break;
    }
    case QTYPE_QDICT: {
        const QDict *dict = qobject_to_qdict(obj);
        qstring_append_chr(out, '{');
        bool first = true;
        for (const QDictEntry *e = qdict_first(dict); e; e = qdict_next(dict, e)) {
            separator(out, pretty, first, indent + 1);
            first = false;
            qjson_append_quoted(out, e->key, strlen(e->key));
            qstring_append_len(out, ": ", 2);
            to_json(e->value, out, pretty, indent + 1);
        }
        if (pretty) {
            qstring_append_chr(out, '\n');
            append_indent(out, indent);
        }
        qstring_append_chr(out, '}');
        break;
    }
    case QTYPE_QLIST: {
        qstring_append_chr(out, '[');
        bool first = true;
        for (const QListEntry *e = qlist_first(qobject_to_qlist(obj)); e; e = qlist_next(e)) {
            separator(out, pretty, first, indent + 1);
            first = false;
            to_json(e->value, out, pretty, indent + 1);
        }
        if (pretty) {
            qstring_append_chr(out, '\n');
            append_indent(out, indent);
        }
        qstring_append_chr(out, ']');
        break;
    }
    default:
        break;
    }
}

QString *qobject_to_json(const QObject *obj)
{
    QString *out = qstring_new();
    to_json(obj, out, false, 0);
    return out;
}

QString *qobject_to_json_pretty(const QObject *obj)
{
    QString *out = qstring_new();
    to_json(obj, out, true, 0);
    return out;
}

namespace {
struct JSONParsingState {
    QObject *result;
    Error *err;
};
} // namespace

static void parse_json_value(void *opaque, const JSONTokenList *tokens)
{
    JSONParsingState *s = static_cast<JSONParsingState *>(opaque);
    if (!tokens) {
        /* Reporting nothing here would make garbage look like empty input. */
        error_setg(&s->err, "JSON parse error, invalid token");
        return;
    }
    Error *local = nullptr;
    QObject *obj = json_parser_parse(tokens, &local);
    if (local) {
        error_propagate(&s->err, local);
    }
    if (!obj) {
        return;
    }
    if (s->result) {
        error_setg(&s->err, "results for JSON are set more than once, might be more than one "
                            "JSON in string or invalid JSON?");
        qobject_decref(obj);
        return;
    }
    s->result = obj;
}

QObject *qobject_from_json_len(const char *text, size_t len, Error **errp)
{
    QObject *value = json_parser_try_whole(text, len);
    if (value) {
        return value;
    }
    JSONParsingState state{nullptr, nullptr};
    JSONMessageParser parser;
    json_message_parser_init_borrowing(&parser, parse_json_value, &state);
    json_message_parser_feed(&parser, text, len);
    json_message_parser_flush(&parser);
    json_message_parser_destroy(&parser);

    if (state.err) {
        if (state.result) {
            g_critical("[qjson] JSON result returned after error (%s) with %d bytes JSON: %.*s",
                       error_get_message(state.err), static_cast<int>(len), static_cast<int>(len), text);
            qobject_decref(state.result);
        }
        error_propagate(errp, state.err);
        return nullptr;
    }
    return state.result;
}

QObject *qobject_from_json(const char *text, Error **errp)
{
    return qobject_from_json_len(text, strlen(text), errp);
}
