/*
 * JSON reader fuzz target. Whatever the bytes: no crash, hang or leak. Whatever is
 * accepted must survive writing and reading back: the value read again equals the
 * original, numbers within what the float text form keeps and strings after the
 * writer's replacement of invalid UTF-8. The bytes are also streamed in odd chunks, once
 * as tokens and once as text: both modes must give the same values and errors, and what
 * the direct text reader takes must be what the token path makes of it.
 */
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include <glib.h>
#include <string>

#include "qobject/json-parser.h"
#include "qobject/json-streamer.h"
#include "qobject/qbool.h"
#include "qobject/qdict.h"
#include "qobject/qfloat.h"
#include "qobject/qint.h"
#include "qobject/qjson.h"
#include "qobject/qlist.h"
#include "qobject/qstring.h"
#include "qobject/quint.h"
#include "util/error.h"

static bool as_number(const QObject *o, double *out)
{
    if (const QInt *i = qobject_to_qint(o)) {
        *out = static_cast<double>(qint_get_int(i));
    } else if (const QUInt *u = qobject_to_quint(o)) {
        *out = static_cast<double>(quint_get_uint(u));
    } else if (const QFloat *f = qobject_to_qfloat(o)) {
        *out = qfloat_get_double(f);
    } else {
        return false;
    }
    return true;
}

static std::string quoted(const QString *s)
{
    QString *q = qstring_new();
    qjson_append_quoted(q, s->string, s->length);
    std::string out(q->string, q->length);
    qobject_decref(QOBJECT(q));
    return out;
}

static bool same_after_roundtrip(const QObject *a, const QObject *b)
{
    if (const QFloat *f = qobject_to_qfloat(a)) {
        double x = qfloat_get_double(f), y;
        if (!std::isfinite(x)) {
            return qobject_type(b) == QTYPE_QNULL;
        }
        return as_number(b, &y) && std::fabs(x - y) <= 5e-7 + std::fabs(x) * 1e-15;
    }
    if (qobject_to_qint(a) || qobject_to_quint(a)) {
        /* "-0" reads as a signed zero and comes back unsigned. */
        auto wide = [](const QObject *o, __int128 *v) {
            if (const QInt *i = qobject_to_qint(o)) {
                *v = qint_get_int(i);
            } else if (const QUInt *u = qobject_to_quint(o)) {
                *v = quint_get_uint(u);
            } else {
                return false;
            }
            return true;
        };
        __int128 x, y;
        return wide(a, &x) && wide(b, &y) && x == y;
    }
    if (qobject_type(a) != qobject_type(b)) {
        return false;
    }
    switch (qobject_type(a)) {
    case QTYPE_QSTRING:
        return quoted(qobject_to_qstring(a)) == quoted(qobject_to_qstring(b));
    case QTYPE_QLIST: {
        const QListEntry *x = qlist_first(qobject_to_qlist(a)), *y = qlist_first(qobject_to_qlist(b));
        for (; x && y; x = qlist_next(x), y = qlist_next(y)) {
            if (!same_after_roundtrip(x->value, y->value)) {
                return false;
            }
        }
        return !x && !y;
    }
    case QTYPE_QDICT: {
        /* Keys are compared as written: invalid UTF-8 in them becomes U+FFFD. */
        auto by_written_key = [](const QDict *d, bool *collided) {
            std::map<std::string, const QObject *> m;
            for (const QDictEntry *e = qdict_first(d); e; e = qdict_next(d, e)) {
                QString *k = qstring_from_str(e->key);
                *collided |= !m.emplace(quoted(k), e->value).second;
                qobject_decref(QOBJECT(k));
            }
            return m;
        };
        bool collided = false, unused = false;
        auto x = by_written_key(qobject_to_qdict(a), &collided);
        auto y = by_written_key(qobject_to_qdict(b), &unused);
        if (x.size() != y.size()) {
            return false;
        }
        for (const auto &[key, value] : x) {
            auto it = y.find(key);
            /* Which of two colliding members survives depends on the hash order. */
            if (it == y.end() || (!collided && !same_after_roundtrip(value, it->second))) {
                return false;
            }
        }
        return true;
    }
    default:
        return qobject_is_equal(a, b);
    }
}

struct Outcome {
    QObject *value;
    std::string error;
};

static Outcome outcome_of(QObject *value, Error *err)
{
    Outcome o{value, err ? error_get_message(err) : ""};
    error_free(err);
    return o;
}

static void take_tokens(void *opaque, const JSONTokenList *tokens)
{
    Error *err = nullptr;
    QObject *value = json_parser_parse(tokens, &err);
    static_cast<std::vector<Outcome> *>(opaque)->push_back(outcome_of(value, err));
}

static void take_text(void *opaque, const char *text, size_t len)
{
    Error *err = nullptr;
    QObject *value = json_parser_parse_text(text, len, &err);
    static_cast<std::vector<Outcome> *>(opaque)->push_back(outcome_of(value, err));
}

static std::vector<Outcome> stream(const char *text, size_t size, size_t chunk, bool text_mode)
{
    std::vector<Outcome> out;
    JSONMessageParser parser;
    if (text_mode) {
        json_message_parser_init_text(&parser, take_text, &out);
    } else {
        json_message_parser_init(&parser, take_tokens, &out);
    }
    for (size_t i = 0; i < size; i += chunk) {
        json_message_parser_feed(&parser, text + i, size - i < chunk ? size - i : chunk);
    }
    json_message_parser_flush(&parser);
    json_message_parser_destroy(&parser);
    return out;
}

static std::string written(const QObject *obj)
{
    if (!obj) {
        return "";
    }
    QString *s = qobject_to_json(obj);
    std::string out(s->string, s->length);
    qobject_decref(QOBJECT(s));
    return out;
}

static void release(std::vector<Outcome> &v)
{
    for (Outcome &o : v) {
        qobject_decref(o.value);
    }
}

static void drop_log(const gchar *, GLogLevelFlags, const gchar *, gpointer) {}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    /* Rejected input is logged with its whole text; that would drown the fuzzer's output. */
    g_log_set_default_handler(drop_log, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    Error *err = nullptr;
    QObject *obj = qobject_from_json_len(text, size, &err);
    if (obj) {
        for (bool pretty : {false, true}) {
            QString *written = pretty ? qobject_to_json_pretty(obj) : qobject_to_json(obj);
            Error *err2 = nullptr;
            QObject *again = qobject_from_json_len(written->string, written->length, &err2);
            if (!again || err2 || !same_after_roundtrip(obj, again)) {
                fprintf(stderr, "round trip failed for: %s\n", written->string);
                abort();
            }
            qobject_decref(again);
            qobject_decref(QOBJECT(written));
        }
        qobject_decref(obj);
    }
    error_free(err);

    size_t chunk = size ? 1 + data[0] % 17 : 1;
    std::vector<Outcome> by_tokens = stream(text, size, chunk, false);
    std::vector<Outcome> by_text = stream(text, size, chunk, true);
    if (by_tokens.size() != by_text.size()) {
        fprintf(stderr, "%zu values as tokens, %zu as text\n", by_tokens.size(), by_text.size());
        abort();
    }
    for (size_t i = 0; i < by_tokens.size(); i++) {
        if (by_tokens[i].error != by_text[i].error || !qobject_is_equal(by_tokens[i].value, by_text[i].value) ||
            written(by_tokens[i].value) != written(by_text[i].value)) {
            fprintf(stderr, "value %zu differs: \"%s\" / \"%s\"\n", i, by_tokens[i].error.c_str(),
                    by_text[i].error.c_str());
            abort();
        }
    }
    release(by_text);

    if (QObject *direct = json_parser_try_whole(text, size)) {
        std::vector<Outcome> whole = stream(text, size, size, false);
        if (whole.size() != 1 || !whole[0].error.empty() || !qobject_is_equal(whole[0].value, direct) ||
            written(whole[0].value) != written(direct)) {
            fprintf(stderr, "the direct reader took what the token path does not give\n");
            abort();
        }
        release(whole);
        qobject_decref(direct);
    }
    release(by_tokens);
    return 0;
}
