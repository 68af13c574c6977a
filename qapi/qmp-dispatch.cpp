#include "qapi/qmp-dispatch.h"

#include <glib.h>
#include <zstd.h>

#include <cstring>

#include "agent-common/agent-metrics.h"
#include "qapi/qmp-registry.h"
#include "qobject/qdict.h"
#include "qobject/qjson.h"
#include "qobject/qstring.h"
#include "qobject/quint.h"
#include "util/agent-assert.h"
#include "util/error.h"

/* Far above any real policy (65,536 rules are about 24 MiB of JSON); a bigger claim is refused. */
static constexpr uint64_t kMaxDecompressedArgsSize = 256ull * 1024 * 1024;

static const char *const kReplyPrefixes[] = {"{\"return\": ", "{\"error\": ", "{\"event\": "};
static const char *const kReplyNames[] = {"Return", "Error", "Event"};

const char *qmp_reply_type_name(QmpReplyType type)
{
    return kReplyNames[type];
}

const char *qmp_reply_prefix(QmpReplyType type)
{
    return kReplyPrefixes[type];
}

char *qmp_format_reply(QmpReplyType type, const char *body)
{
    return g_strconcat(qmp_reply_prefix(type), body, QMP_REPLY_SUFFIX, nullptr);
}

char *qmp_error_object(const Error *err)
{
    QString *out = qstring_from_format("{\"class\": \"%s\", \"desc\": ", ErrorClass_lookup[error_get_class(err)]);
    const char *desc = error_get_message(err);
    qjson_append_quoted(out, desc, strlen(desc));
    /* Paths and names are escaped too, so that a backslash or a quote keeps the JSON valid. */
    const char *file = error_get_code_file(err);
    qstring_append(out, ", \"file\": ");
    qjson_append_quoted(out, file, strlen(file));
    const char *func = error_get_code_func(err);
    qstring_append(out, ", \"func\": ");
    qjson_append_quoted(out, func, strlen(func));
    qstring_append_format(out, ", \"line\": %d}", error_get_code_line(err));
    return qstring_steal(out);
}

namespace {

struct RequestMembers {
    const char *execute = nullptr;
    const char *compressed_args = nullptr;
    bool has_decompressed_size = false;
    uint64_t decompressed_size = 0;
    QDict *arguments = nullptr;
};

bool qmp_dispatch_check_obj(const QObject *request, RequestMembers *m, Error **errp)
{
    const QDict *dict = qobject_to_qdict(request);
    if (!dict) {
        error_setg(errp, "Expected '%s' in QMP input", "request is not a dictionary");
        return false;
    }
    if (qdict_size(dict) == 0) {
        error_setg(errp, "Expected '%s' in QMP input", "execute");
        return false;
    }
    for (const QDictEntry *e = qdict_first(dict); e; e = qdict_next(dict, e)) {
        const char *key = qdict_entry_key(e);
        QObject *value = qdict_entry_value(e);
        if (strcmp(key, "execute") == 0) {
            if (!qobject_to_qstring(value)) {
                error_setg(errp, "QMP input object member '%s' expects '%s'", "execute", "string");
                return false;
            }
            m->execute = qstring_get_str(qobject_to_qstring(value));
        } else if (strcmp(key, "compressed_args") == 0) {
            if (!qobject_to_qstring(value)) {
                error_setg(errp, "QMP input object member '%s' expects '%s'", "compressed_args", "string");
                return false;
            }
            m->compressed_args = qstring_get_str(qobject_to_qstring(value));
        } else if (strcmp(key, "decompressed_args_size") == 0) {
            if (!qobject_to_quint(value)) {
                error_setg(errp, "QMP input object member '%s' expects '%s'", "decompressed_args_size", "uint");
                return false;
            }
            m->has_decompressed_size = true;
            m->decompressed_size = quint_get_uint(qobject_to_quint(value));
        } else if (strcmp(key, "arguments") == 0) {
            if (!qobject_to_qdict(value)) {
                error_setg(errp, "QMP input object member '%s' expects '%s'", "arguments", "object");
                return false;
            }
            m->arguments = qobject_to_qdict(value);
        } else {
            error_setg(errp, "QMP input object member '%s' is unexpected", key);
            return false;
        }
    }
    if (!m->execute) {
        error_setg(errp, "Expected '%s' in QMP input", "execute");
        return false;
    }
    if (m->compressed_args && !m->has_decompressed_size) {
        error_setg(errp, "Expected '%s' in QMP input", "decompressed_args_size");
        return false;
    }
    if (!m->compressed_args && m->has_decompressed_size) {
        error_setg(errp, "Expected '%s' in QMP input", "compressed_args");
        return false;
    }
    return true;
}

/*
 * GLib's decoder skips every byte outside the alphabet. Encoders end and wrap their lines,
 * so white space is skipped here too; anything else would run a command on a mangled
 * argument and is refused.
 */
bool is_base64(const char *text)
{
    size_t symbols = 0;
    size_t padding = 0;
    for (const char *p = text; *p; p++) {
        const char c = *p;
        if (g_ascii_isspace(c)) {
            continue;
        }
        symbols++;
        if (c == '=') {
            padding++;
        } else if (padding || !(g_ascii_isalnum(c) || c == '+' || c == '/')) {
            return false;
        }
    }
    return symbols > 0 && symbols % 4 == 0 && padding <= 2;
}

QDict *qmp_dispatch_check_decompressed_args(QObject *value, Error **errp)
{
    QDict *dict = qobject_to_qdict(value);
    if (!dict) {
        error_setg(errp, "Expected '%s' in QMP input", "decompressed args are not a dictionary");
        qobject_decref(value);
        return nullptr;
    }
    return dict;
}

QDict *qmp_parse_compressed_args(const char *compressed, uint64_t size, Error **errp)
{
    if (!is_base64(compressed)) {
        error_setg(errp, "failed converting compressed_args from base64 to string");
        return nullptr;
    }
    gsize raw_len = 0;
    g_autofree guchar *raw = g_base64_decode(compressed, &raw_len);
    if (size > kMaxDecompressedArgsSize) {
        error_setg(errp, "error decompressing args: %s", "decompressed size too large");
        return nullptr;
    }
    g_autofree char *text = static_cast<char *>(g_malloc0(size + 1));
    size_t got = ZSTD_decompress(text, size, raw, raw_len);
    if (ZSTD_isError(got)) {
        error_setg(errp, "error decompressing args: %s", ZSTD_getErrorName(got));
        return nullptr;
    }
    text[size] = '\0';
    g_debug("[qmp-dispatch] decompressed command arguments: %s", text);

    Error *local = nullptr;
    QObject *value = qobject_from_json(text, &local);
    if (local) {
        error_setg(errp, "can't read decompressed json: %s", error_get_message(local));
        error_free(local);
        return nullptr;
    }
    QDict *dict = qmp_dispatch_check_decompressed_args(value, &local);
    if (!dict) {
        error_setg(errp, "failed checking decompressed args: %s", error_get_message(local));
        error_free(local);
        return nullptr;
    }
    return dict;
}

} // namespace

char *do_qmp_dispatch(QObject *request, Error **errp)
{
    RequestMembers m;
    if (!qmp_dispatch_check_obj(request, &m, errp)) {
        return nullptr;
    }
    agent_metrics_add("qmp-commands.calls.%s", 1, m.execute);

    QmpCommand *cmd = qmp_find_command(m.execute);
    if (!cmd) {
        agent_metrics_add("qmp-commands.missing-cmd.%s", 1, m.execute);
        error_set(errp, ERROR_CLASS_COMMAND_NOT_FOUND, "The command %s has not been found", m.execute);
        return nullptr;
    }
    if (!qmp_command_is_enabled(cmd)) {
        agent_metrics_add("qmp-commands.disabled.%s", 1, m.execute);
        error_setg(errp, "The command %s has been disabled for this instance", m.execute);
        return nullptr;
    }

    QDict *args;
    if (m.compressed_args) {
        Error *local = nullptr;
        args = qmp_parse_compressed_args(m.compressed_args, m.decompressed_size, &local);
        if (!args) {
            error_setg(errp, "can't parse compressed args: %s", error_get_message(local));
            error_free(local);
            return nullptr;
        }
    } else if (m.arguments) {
        args = m.arguments;
        qobject_incref(QOBJECT(args));
    } else {
        args = qdict_new();
    }

    char *ret = nullptr;
    Error *local = nullptr;
    cmd->fn(args, &ret, &local);
    if (local) {
        agent_metrics_add("qmp-commands.dispatch.error.%s", 1, m.execute);
        g_free(ret);
        ret = nullptr;
        error_propagate(errp, local);
    } else {
        agent_metrics_add("qmp-commands.dispatch.success.%s", 1, m.execute);
        if (!qmp_has_success_response(cmd)) {
            AGENT_ASSERT(!ret);
        } else if (!ret) {
            ret = g_strdup("{}");
        }
    }
    qobject_decref(QOBJECT(args));
    return ret;
}
