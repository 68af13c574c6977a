#include "qobject/json-parser.h"

#include <glib.h>

#include <array>
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
size_t utf8_encode(unsigned cp, char *buf)
{
    if (cp == 0) {
        buf[0] = static_cast<char>(0xC0);
        buf[1] = static_cast<char>(0x80);
        return 2;
    }
    if (cp < 0x80) {
        buf[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        buf[0] = static_cast<char>(0xC0 | (cp >> 6));
        buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        buf[0] = static_cast<char>(0xE0 | (cp >> 12));
        buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    buf[0] = static_cast<char>(0xF0 | (cp >> 18));
    buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

enum class Unescape { OK, BAD_HEX, BAD_ESCAPE };

/*
 * Decodes the text between a string's quotes into out (anything with append_len). Both
 * readers share it so that they agree on every escape.
 */
template <typename Out> Unescape unescape(const char *p, const char *end, Out &out)
{
    while (p < end) {
        const char *run = p;
        while (p < end && *p != '\\') {
            p++;
        }
        if (p > run) {
            out.append_len(run, static_cast<size_t>(p - run));
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
            out.append_len(&c, 1);
            break;
        case 'b':
            out.append_len("\b", 1);
            break;
        case 'f':
            out.append_len("\f", 1);
            break;
        case 'n':
            out.append_len("\n", 1);
            break;
        case 'r':
            out.append_len("\r", 1);
            break;
        case 't':
            out.append_len("\t", 1);
            break;
        case 'u': {
            unsigned cp;
            if (!read_hex4(p, end, &cp)) {
                return Unescape::BAD_HEX;
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
            char buf[4];
            out.append_len(buf, utf8_encode(cp, buf));
            break;
        }
        default:
            return Unescape::BAD_ESCAPE;
        }
    }
    return Unescape::OK;
}

struct QStringOut {
    QString *qs;
    void append_len(const char *s, size_t n) { qstring_append_len(qs, s, n); }
};

QString *parse_string_text(ParserContext *ctxt, const JSONToken *tok)
{
    /* The token holds the quotes. */
    const char *p = tok->str + 1;
    const char *end = tok->str + tok->len - 1;
    if (!has_escape(tok)) {
        return qstring_from_len(p, static_cast<size_t>(end - p));
    }
    QStringOut out{qstring_new()};
    switch (unescape(p, end, out)) {
    case Unescape::OK:
        return out.qs;
    case Unescape::BAD_HEX:
        parse_error(ctxt, "invalid hex escape sequence in string");
        break;
    case Unescape::BAD_ESCAPE:
        parse_error(ctxt, "invalid escape sequence in string");
        break;
    }
    qobject_decref(QOBJECT(out.qs));
    return nullptr;
}

QObject *float_from_text(const char *str, size_t len)
{
    double d;
    auto [ptr, ec] = std::from_chars(str, str + len, d);
    if (ec != std::errc() || ptr != str + len) {
        /* Out of the double's range: keep the C library's overflow/underflow result. */
        std::string text(str, len);
        d = strtod(text.c_str(), nullptr);
    }
    return QOBJECT(qfloat_from_double(d));
}

QObject *number_from_text(bool is_float, const char *first, size_t len)
{
    const char *last = first + len;
    if (is_float) {
        return float_from_text(first, len);
    }
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
    return float_from_text(first, len);
}

QObject *parse_number(const JSONToken *tok)
{
    return number_from_text(tok->type == JSON_FLOAT, tok->str, tok->len);
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

/*
 * Reading straight from the text, without tokens. It accepts only what the lexer, the
 * splitter and the token parser above would turn into the same value, and gives up
 * (returns NULL) on anything else: errors, limits, several values. The caller then runs
 * the token path, which decides and words every error.
 */
struct TextReader {
    const char *p;
    const char *end;
    int braces;
    int brackets;
    std::string scratch;
    void append_len(const char *s, size_t n) { scratch.append(s, n); }
};

/* Bytes a string token takes as they are: not the quote, the backslash or a control byte. */
constexpr std::array<bool, 256> kPlainStringByte = [] {
    std::array<bool, 256> t{};
    for (int c = 0x20; c < 0x100; c++) {
        t[c] = c != '"' && c != '\\';
    }
    return t;
}();

inline void skip_space(TextReader *r)
{
    while (r->p < r->end && (*r->p == ' ' || *r->p == '\n' || *r->p == '\t' || *r->p == '\r')) {
        r->p++;
    }
}

/*
 * At an opening quote: the string's content, decoded into scratch when it has escapes.
 * The content is [*first, *last) of the text or of scratch.
 */
bool text_string(TextReader *r, const char **first, size_t *len)
{
    const char *start = ++r->p;
    bool escaped = false;
    for (;;) {
        while (r->p < r->end && kPlainStringByte[static_cast<uint8_t>(*r->p)]) {
            r->p++;
        }
        if (r->p >= r->end) {
            return false;
        }
        if (*r->p == '"') {
            break;
        }
        if (*r->p != '\\' || r->end - r->p < 2 || static_cast<uint8_t>(r->p[1]) < 0x20) {
            return false;
        }
        escaped = true;
        r->p += 2;
    }
    const char *stop = r->p++;
    if (!escaped) {
        *first = start;
        *len = static_cast<size_t>(stop - start);
        return true;
    }
    r->scratch.clear();
    if (unescape(start, stop, *r) != Unescape::OK) {
        return false;
    }
    *first = r->scratch.data();
    *len = r->scratch.size();
    return true;
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

QObject *text_number(TextReader *r)
{
    const char *start = r->p;
    const char *p = r->p;
    const char *end = r->end;
    bool is_float = false;
    if (*p == '-') {
        p++;
    }
    if (p < end && *p == '0') {
        p++;
    } else if (p < end && is_digit(*p)) {
        while (p < end && is_digit(*p)) {
            p++;
        }
    } else {
        return nullptr;
    }
    if (p < end && *p == '.') {
        p++;
        if (p >= end || !is_digit(*p)) {
            return nullptr;
        }
        while (p < end && is_digit(*p)) {
            p++;
        }
        is_float = true;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        p++;
        if (p < end && (*p == '+' || *p == '-')) {
            p++;
        }
        if (p >= end || !is_digit(*p)) {
            return nullptr;
        }
        while (p < end && is_digit(*p)) {
            p++;
        }
        is_float = true;
    }
    r->p = p;
    return number_from_text(is_float, start, static_cast<size_t>(p - start));
}

QObject *text_keyword(TextReader *r)
{
    const char *start = r->p;
    while (r->p < r->end && *r->p >= 'a' && *r->p <= 'z') {
        r->p++;
    }
    std::string_view word(start, static_cast<size_t>(r->p - start));
    if (word == "true") {
        return QOBJECT(qbool_from_bool(true));
    }
    if (word == "false") {
        return QOBJECT(qbool_from_bool(false));
    }
    if (word == "null") {
        return qnull();
    }
    return nullptr;
}

QObject *text_value(TextReader *r);

QObject *text_object(TextReader *r)
{
    if (++r->braces > JSON_MAX_NESTING) {
        return nullptr;
    }
    r->p++;
    QDict *dict = qdict_new();
    skip_space(r);
    if (r->p < r->end && *r->p == '}') {
        r->p++;
        r->braces--;
        return QOBJECT(dict);
    }
    for (;;) {
        if (r->p >= r->end || *r->p != '"') {
            break;
        }
        const char *key;
        size_t key_len;
        if (!text_string(r, &key, &key_len)) {
            break;
        }
        /* The key needs its own copy: scratch is reused by the value. */
        char short_key[64];
        std::string long_key;
        const char *key_text;
        if (key_len < sizeof short_key) {
            memcpy(short_key, key, key_len);
            short_key[key_len] = '\0';
            key_text = short_key;
        } else {
            long_key.assign(key, key_len);
            key_text = long_key.c_str();
        }
        skip_space(r);
        if (r->p >= r->end || *r->p != ':') {
            break;
        }
        r->p++;
        skip_space(r);
        QObject *value = text_value(r);
        if (!value) {
            break;
        }
        qdict_put_obj(dict, key_text, value);
        skip_space(r);
        if (r->p >= r->end) {
            break;
        }
        if (*r->p == '}') {
            r->p++;
            r->braces--;
            return QOBJECT(dict);
        }
        if (*r->p != ',') {
            break;
        }
        r->p++;
        skip_space(r);
    }
    qobject_decref(QOBJECT(dict));
    return nullptr;
}

QObject *text_array(TextReader *r)
{
    if (++r->brackets > JSON_MAX_NESTING) {
        return nullptr;
    }
    r->p++;
    QList *list = qlist_new();
    skip_space(r);
    if (r->p < r->end && *r->p == ']') {
        r->p++;
        r->brackets--;
        return QOBJECT(list);
    }
    for (;;) {
        QObject *elem = text_value(r);
        if (!elem) {
            break;
        }
        qlist_append_obj(list, elem);
        skip_space(r);
        if (r->p >= r->end) {
            break;
        }
        if (*r->p == ']') {
            r->p++;
            r->brackets--;
            return QOBJECT(list);
        }
        if (*r->p != ',') {
            break;
        }
        r->p++;
        skip_space(r);
    }
    qobject_decref(QOBJECT(list));
    return nullptr;
}

QObject *text_value(TextReader *r)
{
    if (r->p >= r->end) {
        return nullptr;
    }
    QObject *value;
    switch (*r->p) {
    case '{':
        return text_object(r);
    case '[':
        return text_array(r);
    case '"': {
        const char *first;
        size_t len;
        if (!text_string(r, &first, &len)) {
            return nullptr;
        }
        return QOBJECT(qstring_from_len(first, len));
    }
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
        value = text_number(r);
        break;
    default:
        if (*r->p < 'a' || *r->p > 'z') {
            return nullptr;
        }
        value = text_keyword(r);
        break;
    }
    /* Whatever follows a number or keyword is checked by the caller like any next token. */
    return value;
}

struct FirstMessage {
    QObject *value;
    Error *err;
    bool seen;
};

void parse_first_message(void *opaque, const JSONTokenList *tokens)
{
    FirstMessage *m = static_cast<FirstMessage *>(opaque);
    if (m->seen) {
        return;
    }
    m->seen = true;
    m->value = json_parser_parse(tokens, &m->err);
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

QObject *json_parser_try_whole(const char *text, size_t len)
{
    if (len > JSON_MAX_MESSAGE_SIZE) {
        return nullptr; /* the splitter would cut it */
    }
    TextReader r{text, text + len, 0, 0, {}};
    skip_space(&r);
    QObject *value = text_value(&r);
    if (!value) {
        return nullptr;
    }
    skip_space(&r);
    if (r.p != r.end) {
        qobject_decref(value);
        return nullptr;
    }
    return value;
}

QObject *json_parser_parse_text(const char *text, size_t len, Error **errp)
{
    if (!text) {
        return nullptr;
    }
    QObject *value = json_parser_try_whole(text, len);
    if (value) {
        return value;
    }
    /* The message's tokens split again exactly where the splitter cut them. */
    FirstMessage m{nullptr, nullptr, false};
    JSONMessageParser parser;
    json_message_parser_init_borrowing(&parser, parse_first_message, &m);
    json_message_parser_feed(&parser, text, len);
    json_message_parser_flush(&parser);
    json_message_parser_destroy(&parser);
    if (m.err) {
        qobject_decref(m.value);
        error_propagate(errp, m.err);
        return nullptr;
    }
    return m.value;
}
