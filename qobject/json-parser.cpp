#include "qobject/json-parser.h"

#include <glib.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "qobject/qbool.h"
#include "qobject/qdict.h"
#include "qobject/qfloat.h"
#include "qobject/qint.h"
#include "qobject/qlist.h"
#include "qobject/qnull.h"
#include "qobject/qstring.h"
#include "qobject/quint.h"
#include "util/error.h"

namespace {

struct ParserContext {
    const JSONTokenList *tokens;
    size_t pos;
    Error *err;
};

bool has_escape(const JSONToken *tok)
{
    return memchr(tok->str, '\\', tok->len) != nullptr;
}

/* A new parse error replaces an earlier one. */
void parse_error(ParserContext *ctxt, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void parse_error(ParserContext *ctxt, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    g_autofree char *msg = g_strdup_vprintf(fmt, ap);
    va_end(ap);
    error_free_and_clear(&ctxt->err);
    error_setg(&ctxt->err, "JSON parse error, %s", msg);
}

const JSONToken *peek_token(ParserContext *ctxt)
{
    return ctxt->pos < ctxt->tokens->count ? ctxt->tokens->tokens[ctxt->pos] : nullptr;
}

const JSONToken *pop_token(ParserContext *ctxt)
{
    const JSONToken *tok = peek_token(ctxt);
    if (tok) {
        ctxt->pos++;
    }
    return tok;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool read_hex4(const char *p, const char *end, unsigned *out)
{
    if (end - p < 4) {
        return false;
    }
    unsigned v = 0;
    for (int i = 0; i < 4; i++) {
        int h = hex_value(p[i]);
        if (h < 0) {
            return false;
        }
        v = (v << 4) | static_cast<unsigned>(h);
    }
    *out = v;
    return true;
}

/* U+0000 is stored as C0 80 so that strings never hold a NUL byte. */
void append_utf8(QString *qs, unsigned cp)
{
    char buf[4];
    size_t n;
    if (cp == 0) {
        buf[0] = static_cast<char>(0xC0);
        buf[1] = static_cast<char>(0x80);
        n = 2;
    } else if (cp < 0x80) {
        buf[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        buf[0] = static_cast<char>(0xC0 | (cp >> 6));
        buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        buf[0] = static_cast<char>(0xE0 | (cp >> 12));
        buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        buf[0] = static_cast<char>(0xF0 | (cp >> 18));
        buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    qstring_append_len(qs, buf, n);
}

QString *parse_string_text(ParserContext *ctxt, const JSONToken *tok)
{
    /* The token holds the quotes. */
    const char *p = tok->str + 1;
    const char *end = tok->str + tok->len - 1;
    if (!has_escape(tok)) {
        return qstring_from_len(p, static_cast<size_t>(end - p));
    }
    QString *qs = qstring_new();
    while (p < end) {
        const char *run = p;
        while (p < end && *p != '\\') {
            p++;
        }
        if (p > run) {
            qstring_append_len(qs, run, static_cast<size_t>(p - run));
        }
        if (p >= end) {
            break;
        }
        p++; /* backslash */
        char c = p < end ? *p : '\0';
        p++;
        switch (c) {
        case '"':
        case '\'':
        case '\\':
        case '/':
            qstring_append_chr(qs, c);
            break;
        case 'b':
            qstring_append_chr(qs, '\b');
            break;
        case 'f':
            qstring_append_chr(qs, '\f');
            break;
        case 'n':
            qstring_append_chr(qs, '\n');
            break;
        case 'r':
            qstring_append_chr(qs, '\r');
            break;
        case 't':
            qstring_append_chr(qs, '\t');
            break;
        case 'u': {
            unsigned cp;
            if (!read_hex4(p, end, &cp)) {
                parse_error(ctxt, "invalid hex escape sequence in string");
                qobject_decref(QOBJECT(qs));
                return nullptr;
            }
            p += 4;
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                /* A surrogate pair stands for one code point above U+FFFF. */
                unsigned low;
                if (end - p >= 6 && p[0] == '\\' && p[1] == 'u' && read_hex4(p + 2, end, &low) &&
                    low >= 0xDC00 && low <= 0xDFFF) {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    p += 6;
                } else {
                    cp = 0xFFFD;
                }
            } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                cp = 0xFFFD;
            }
            append_utf8(qs, cp);
            break;
        }
        default:
            parse_error(ctxt, "invalid escape sequence in string");
            qobject_decref(QOBJECT(qs));
            return nullptr;
        }
    }
    return qs;
}

QObject *float_from_text(const JSONToken *tok)
{
    double d;
    auto [ptr, ec] = std::from_chars(tok->str, tok->str + tok->len, d);
    if (ec != std::errc() || ptr != tok->str + tok->len) {
        /* Out of the double's range: keep the C library's overflow/underflow result. */
        std::string text(tok->str, tok->len);
        d = strtod(text.c_str(), nullptr);
    }
    return QOBJECT(qfloat_from_double(d));
}

QObject *parse_number(const JSONToken *tok)
{
    if (tok->type == JSON_FLOAT) {
        return float_from_text(tok);
    }
    const char *first = tok->str;
    const char *last = tok->str + tok->len;
    if (*first == '-') {
        int64_t v;
        auto [ptr, ec] = std::from_chars(first, last, v);
        if (ec == std::errc() && ptr == last) {
            return QOBJECT(qint_from_int(v));
        }
    } else {
        uint64_t v;
        auto [ptr, ec] = std::from_chars(first, last, v);
        if (ec == std::errc() && ptr == last) {
            return QOBJECT(quint_from_uint(v));
        }
    }
    return float_from_text(tok);
}

QObject *parse_value(ParserContext *ctxt);

QObject *parse_keyword(ParserContext *ctxt)
{
    const JSONToken *tok = pop_token(ctxt);
    std::string_view word(tok->str, tok->len);
    if (word == "true") {
        return QOBJECT(qbool_from_bool(true));
    }
    if (word == "false") {
        return QOBJECT(qbool_from_bool(false));
    }
    if (word == "null") {
        return qnull();
    }
    parse_error(ctxt, "invalid keyword '%.*s'", static_cast<int>(tok->len), tok->str);
    return nullptr;
}

bool parse_pair(ParserContext *ctxt, QDict *dict)
{
    const JSONToken *peek = peek_token(ctxt);
    if (!peek) {
        parse_error(ctxt, "premature EOI");
        return false;
    }
    QObject *key = nullptr;
    const char *key_text;
    char short_key[64];
    std::string long_key;
    if (peek->type == JSON_STRING && !has_escape(peek)) {
        /* The common case needs no temporary string value. */
        pop_token(ctxt);
        size_t n = peek->len - 2;
        if (n < sizeof short_key) {
            memcpy(short_key, peek->str + 1, n);
            short_key[n] = '\0';
            key_text = short_key;
        } else {
            long_key.assign(peek->str + 1, n);
            key_text = long_key.c_str();
        }
    } else {
        key = parse_value(ctxt);
        if (!key || qobject_type(key) != QTYPE_QSTRING) {
            parse_error(ctxt, "key is not a string in object");
            qobject_decref(key);
            return false;
        }
        key_text = qstring_get_str(qobject_to_qstring(key));
    }
    const JSONToken *tok = pop_token(ctxt);
    if (!tok) {
        parse_error(ctxt, "premature EOI");
        qobject_decref(key);
        return false;
    }
    if (tok->type != JSON_COLON) {
        parse_error(ctxt, "missing : in object pair");
        qobject_decref(key);
        return false;
    }
    QObject *value = parse_value(ctxt);
    if (!value) {
        parse_error(ctxt, "Missing value in dict");
        qobject_decref(key);
        return false;
    }
    qdict_put_obj(dict, key_text, value);
    qobject_decref(key);
    return true;
}

QObject *parse_object(ParserContext *ctxt)
{
    pop_token(ctxt); /* { */
    QDict *dict = qdict_new();
    const JSONToken *tok = peek_token(ctxt);
    if (!tok) {
        parse_error(ctxt, "premature EOI");
        goto fail;
    }
    if (tok->type == JSON_RCURLY) {
        pop_token(ctxt);
        return QOBJECT(dict);
    }
    for (;;) {
        if (!parse_pair(ctxt, dict)) {
            goto fail;
        }
        tok = pop_token(ctxt);
        if (!tok) {
            parse_error(ctxt, "premature EOI");
            goto fail;
        }
        if (tok->type == JSON_RCURLY) {
            return QOBJECT(dict);
        }
        if (tok->type != JSON_COMMA) {
            parse_error(ctxt, "expected separator in dict");
            goto fail;
        }
    }
fail:
    qobject_decref(QOBJECT(dict));
    return nullptr;
}

QObject *parse_array(ParserContext *ctxt)
{
    pop_token(ctxt); /* [ */
    QList *list = qlist_new();
    const JSONToken *tok = peek_token(ctxt);
    if (!tok) {
        parse_error(ctxt, "premature EOI");
        goto fail;
    }
    if (tok->type == JSON_RSQUARE) {
        pop_token(ctxt);
        return QOBJECT(list);
    }
    for (;;) {
        QObject *elem = parse_value(ctxt);
        if (!elem) {
            parse_error(ctxt, "expecting value");
            goto fail;
        }
        qlist_append_obj(list, elem);
        tok = pop_token(ctxt);
        if (!tok) {
            parse_error(ctxt, "premature EOI");
            goto fail;
        }
        if (tok->type == JSON_RSQUARE) {
            return QOBJECT(list);
        }
        if (tok->type != JSON_COMMA) {
            parse_error(ctxt, "expected separator in list");
            goto fail;
        }
    }
fail:
    qobject_decref(QOBJECT(list));
    return nullptr;
}

QObject *parse_value(ParserContext *ctxt)
{
    const JSONToken *tok = peek_token(ctxt);
    if (!tok) {
        parse_error(ctxt, "premature EOI");
        return nullptr;
    }
    switch (tok->type) {
    case JSON_LCURLY:
        return parse_object(ctxt);
    case JSON_LSQUARE:
        return parse_array(ctxt);
    case JSON_STRING: {
        pop_token(ctxt);
        QString *qs = parse_string_text(ctxt, tok);
        return qs ? QOBJECT(qs) : nullptr;
    }
    case JSON_INTEGER:
    case JSON_FLOAT:
        pop_token(ctxt);
        return parse_number(tok);
    case JSON_KEYWORD:
        return parse_keyword(ctxt);
    default:
        /* Escapes are interpolation placeholders; nothing here supplies their values. */
        parse_error(ctxt, "expecting value");
        return nullptr;
    }
}

} // namespace

QObject *json_parser_parse(const JSONTokenList *tokens, Error **errp)
{
    if (!tokens) {
        return nullptr;
    }
    ParserContext ctxt{tokens, 0, nullptr};
    QObject *result = parse_value(&ctxt);
    if (ctxt.err) {
        qobject_decref(result);
        error_propagate(errp, ctxt.err);
        return nullptr;
    }
    return result;
}
