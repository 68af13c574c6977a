#include "agent-common/qmp-servers/qmp-server.h"

#include <cstring>

#include "agent-common/agent-metrics.h"
#include "agent-common/qmp-servers/qmp-command-executor.h"
#include "qobject/json-parser.h"
#include "qobject/qdict.h"
#include "qobject/qstring.h"
#include "util/agent-assert.h"
#include "util/error.h"

#define QMP_STREAM_READ_CHUNK 20480

static const char *const kStateNames[] = {"INACTIVE", "CONNECTING", "ACTIVE", "FAILED"};

const char *qmp_server_state_name(QmpServerState state)
{
    if (state < QMP_SERVER_STATE_INACTIVE || state > QMP_SERVER_STATE_FAILED) {
        return "UNKNOWN";
    }
    return kStateNames[state];
}

QmpReply *qmp_reply_new(QmpReplyType type, char *body)
{
    QmpReply *reply = g_new0(QmpReply, 1);
    reply->prefix = qmp_reply_prefix(type);
    reply->body = body;
    reply->body_len = body ? strlen(body) : 0;
    reply->suffix = QMP_REPLY_SUFFIX;
    reply->part = QMP_REPLY_PART_PREFIX;
    return reply;
}

void qmp_reply_free(QmpReply *reply)
{
    if (reply) {
        g_free(reply->body);
        g_free(reply);
    }
}

static void drop_replies(QmpServer *server)
{
    if (server->reply_in_progress || server->current_reply) {
        qmp_reply_free(server->current_reply);
        server->current_reply = nullptr;
        server->reply_in_progress = false;
    }
    while (QmpReply *reply = static_cast<QmpReply *>(g_queue_pop_head(&server->reply_queue))) {
        qmp_reply_free(reply);
    }
}

static void reset_parser(QmpServer *server)
{
    if (server->feeding > 0) {
        server->reset_pending = true;
        return;
    }
    server->reset_pending = false;
    json_message_parser_reset(&server->parser);
}

void qmp_server_feed(QmpServer *server, const char *data, size_t len)
{
    server->feeding++;
    json_message_parser_feed(&server->parser, data, len);
    server->feeding--;
    if (server->feeding == 0 && server->reset_pending) {
        reset_parser(server);
    }
}

void qmp_server_flush(QmpServer *server)
{
    server->feeding++;
    json_message_parser_flush(&server->parser);
    server->feeding--;
    if (server->feeding == 0 && server->reset_pending) {
        reset_parser(server);
    }
}

static void log_outbound(QmpServer *server, QmpReplyType type, const char *text)
{
    g_debug("[qmp-server] [%s] outbound (type - %s) : %s", server->name, qmp_reply_type_name(type), text);
}

static uint64_t elapsed_ms(int64_t since_us)
{
    int64_t now = g_get_monotonic_time();
    return now > since_us ? static_cast<uint64_t>(now - since_us) / 1000 : 0;
}

static gboolean aggregator_timer_fired(gpointer opaque)
{
    QmpServer *server = static_cast<QmpServer *>(opaque);
    g_warning("[qmp-server] Re-establish connection to the aggregator after timeout");
    qmp_server_stop(server);
    Error *err = nullptr;
    if (!qmp_server_run(server, &err)) {
        g_warning("[qmp-server] [%s] failed to run", server->name);
        g_warning("[qmp-server] %s - failed to re-run, next try to establish connection after timeout",
                  server->name);
        error_free(err);
    }
    return G_SOURCE_CONTINUE;
}

static void restart_aggregator_timer(QmpServer *server)
{
    if (server->reconnect_timer) {
        g_source_remove(server->reconnect_timer);
    }
    server->reconnect_timer = g_timeout_add_seconds(server->reconnect_interval, aggregator_timer_fired, server);
}

/*
 * A command registered without a success reply leaves text NULL: nothing goes back,
 * except on a request/reply channel, whose peer would otherwise wait for ever.
 */
static void send_outcome(QmpServer *server, QmpReplyType type, char *text)
{
    if (!text) {
        if (!server->reply_required) {
            g_debug("[qmp-server] [%s] command sends no success reply", server->name);
            return;
        }
        text = g_strdup("{}");
    }
    log_outbound(server, type, text);
    qmp_server_send(server, text, type);
}

/* The executor's completion, on the main loop. */
static void command_done(bool success, char *text, QmpServer *server, QmpCommandContext *ctx)
{
    agent_metrics_set("%s.execute.%s.time", elapsed_ms(ctx->enqueue_time_us), server->name, ctx->command_name);
    if (server->state != QMP_SERVER_STATE_ACTIVE) {
        g_warning("[qmp-server] [%s] received response from command executor when server was disconnected, dropped",
                  server->name);
        g_free(text);
        return;
    }
    if (server->generation.load() != ctx->generation) {
        g_warning("[qmp-server] [%s] received response from command executor when server has reconnected, dropped",
                  server->name);
        g_free(text);
        return;
    }
    send_outcome(server, success ? QMP_REPLY_RETURN : QMP_REPLY_ERROR, text);
}

/* One parsed top-level value (request NULL with err set when it did not parse). */
static void handle_request(QmpServer *server, QObject *request, Error *err)
{
    if (!request || qobject_type(request) != QTYPE_QDICT) {
        if (!err) {
            error_setg(&err, "Invalid JSON syntax");
        }
        char *body = qmp_error_object(err);
        g_debug("[qmp-server] [%s] failed to parse event: %s", server->name, error_get_message(err));
        log_outbound(server, QMP_REPLY_ERROR, body);
        error_free(err);
        qobject_decref(request);
        qmp_server_send(server, body, QMP_REPLY_ERROR);
        return;
    }

    if (server->aggregator) {
        restart_aggregator_timer(server);
    }

    QString *execute = qobject_to_qstring(qdict_get(qobject_to_qdict(request), "execute"));
    const char *command = execute ? qstring_get_str(execute) : "unknown-command";
    int64_t start = g_get_monotonic_time();

    if (server->executor) {
        QmpCommandContext *ctx = g_new0(QmpCommandContext, 1);
        ctx->command_name = g_strdup(command);
        ctx->enqueue_time_us = start;
        ctx->generation = server->generation.load();
        /* The executor holds its own reference and gives it back on the main loop. */
        qmp_command_executor_dispatch(server->executor, server, request, command_done, ctx);
        qobject_decref(request);
        return;
    }

    char *text = do_qmp_dispatch(request, &err);
    QmpReplyType type = QMP_REPLY_RETURN;
    if (err) {
        g_warning("[qmp-server]  [%s] error inside qmp command is: '%s'", server->name, error_get_message(err));
        g_free(text);
        text = qmp_error_object(err);
        type = QMP_REPLY_ERROR;
        error_free(err);
    }
    agent_metrics_set("%s.execute.%s.time", elapsed_ms(start), server->name, command);
    qobject_decref(request);
    send_outcome(server, type, text);
}

static void drop_message(QmpServer *server)
{
    qobject_decref(server->message_value);
    server->message_value = nullptr;
    error_free(server->message_error);
    server->message_error = nullptr;
    server->message_values = 0;
}

static void process_json_object(void *opaque, const char *text, size_t len)
{
    QmpServer *server = static_cast<QmpServer *>(opaque);
    /* After a failure in the middle of a read the rest of that read has nowhere to go. */
    if (server->state != QMP_SERVER_STATE_ACTIVE) {
        return;
    }
    server->requests_seen++;

    Error *err = nullptr;
    QObject *request = json_parser_parse_text(text, len, &err);
    if (!server->whole_messages) {
        handle_request(server, request, err);
        return;
    }
    /* Nothing of a message runs before all of it is known to be one value. */
    if (!request && !err) {
        error_setg(&err, "Invalid JSON syntax");
    }
    server->message_values++;
    if (server->message_values == 1 && request) {
        server->message_value = request;
        request = nullptr;
    } else if (err && !server->message_error) {
        server->message_error = err;
        err = nullptr;
    }
    qobject_decref(request);
    error_free(err);
}

void qmp_server_end_message(QmpServer *server)
{
    if (server->message_values == 0 || server->state != QMP_SERVER_STATE_ACTIVE) {
        drop_message(server);
        return;
    }
    QObject *request = nullptr;
    Error *err = nullptr;
    if (server->message_values == 1 && server->message_value) {
        request = server->message_value;
        server->message_value = nullptr;
    } else if (server->message_error) {
        err = server->message_error;
        server->message_error = nullptr;
    } else {
        error_setg(&err, "results for JSON are set more than once, might be more than one JSON in string or "
                         "invalid JSON?");
    }
    drop_message(server);
    handle_request(server, request, err);
}

static guint aggregator_interval_from_env(void)
{
    const char *value = g_getenv("AGGREGATOR_CONN_TMR_MINS");
    if (!value || !*value) {
        return QMP_SERVER_AGGREGATOR_TIMEOUT_DEFAULT;
    }
    char *end = nullptr;
    guint64 minutes = g_ascii_strtoull(value, &end, 10);
    /* A value that is not a whole number of minutes, zero, or absurdly long falls back. */
    if (*end != '\0' || minutes == 0 || minutes > G_MAXUINT / 60) {
        return QMP_SERVER_AGGREGATOR_TIMEOUT_DEFAULT;
    }
    return static_cast<guint>(minutes * 60);
}

void qmp_server_init(QmpServer *server, const char *name, const QmpServerOps *ops)
{
    AGENT_ASSERT(server && name && ops);
    json_message_parser_init_text(&server->parser, process_json_object, server);
    server->name = name;
    server->ops = ops;
    server->state = QMP_SERVER_STATE_INACTIVE;
    g_queue_init(&server->reply_queue);
    server->reconnect_interval = aggregator_interval_from_env();
}

void qmp_server_finalize(QmpServer *server)
{
    if (server->reconnect_timer) {
        g_source_remove(server->reconnect_timer);
        server->reconnect_timer = 0;
    }
    drop_replies(server);
    drop_message(server);
    json_message_parser_destroy(&server->parser);
    g_free(server->selected_destination);
    server->selected_destination = nullptr;
}

bool qmp_server_run(QmpServer *server, Error **errp)
{
    return server->ops->run(server, errp);
}

void qmp_server_stop(QmpServer *server)
{
    server->ops->stop(server);
}

void qmp_server_destroy(QmpServer *server)
{
    if (!server) {
        return;
    }
    g_debug("[qmp-server] [%s] server object destroyed", server->name);
    server->ops->destroy(server);
}

void qmp_server_send(QmpServer *server, char *text, QmpReplyType type)
{
    server->ops->send(server, text, type);
}

void qmp_server_set_state(QmpServer *server, QmpServerState state)
{
    QmpServerState old_state = server->state;
    if (state == QMP_SERVER_STATE_INACTIVE || state == QMP_SERVER_STATE_FAILED) {
        g_debug("[qmp-server] [%s] server is '%s', cleaning internal objects", server->name,
                qmp_server_state_name(state));
        drop_replies(server);
        reset_parser(server);
    }
    g_message("[qmp-server] [%s] state changed from '%s' to '%s'", server->name,
              qmp_server_state_name(old_state), qmp_server_state_name(state));
    server->state = state;
    if (state == QMP_SERVER_STATE_ACTIVE) {
        server->generation.fetch_add(1);
        if (server->aggregator && !server->reconnect_timer) {
            restart_aggregator_timer(server);
        }
    }
    if (server->state_cb) {
        server->state_cb(server, old_state, state, server->state_opaque);
    }
}

void qmp_server_push_event(QmpServer *server, char *text)
{
    if (!server->supports_push) {
        g_warning("[qmp-server] [%s] push notifications are not supported", server->name);
        g_free(text);
        return;
    }
    qmp_server_send(server, text, QMP_REPLY_EVENT);
}

void qmp_server_set_executor(QmpServer *server, QmpCommandExecutor *executor)
{
    server->executor = executor;
}

bool qmp_write_response_io_channel(GIOChannel *channel, QmpReply *reply, Error **errp)
{
    while (reply->part != QMP_REPLY_PART_DONE) {
        const char *text;
        size_t len;
        switch (reply->part) {
        case QMP_REPLY_PART_PREFIX:
            text = reply->prefix;
            len = strlen(text);
            break;
        case QMP_REPLY_PART_BODY:
            text = reply->body ? reply->body : "";
            len = reply->body_len;
            break;
        case QMP_REPLY_PART_SUFFIX:
            text = reply->suffix;
            len = strlen(text);
            break;
        default:
            error_setg(errp, "invalid qmp response sending state");
            return false;
        }
        while (reply->pos < len) {
            gsize written = 0;
            GError *gerr = nullptr;
            GIOStatus status = g_io_channel_write_chars(channel, text + reply->pos,
                                                        static_cast<gssize>(len - reply->pos), &written, &gerr);
            if (gerr) {
                g_error_free(gerr);
            }
            reply->pos += written;
            if (status == G_IO_STATUS_AGAIN) {
                return true;
            }
            if (status != G_IO_STATUS_NORMAL) {
                error_setg(errp, "failed to write message to io channel");
                return false;
            }
        }
        reply->pos = 0;
        reply->part = static_cast<QmpReplyPart>(reply->part + 1);
    }
    return true;
}

void qmp_stream_output_stop(QmpStreamOutput *out)
{
    if (out->watch) {
        g_source_remove(out->watch);
        out->watch = 0;
    }
}

namespace {
struct StreamWatch {
    QmpServer *server;
    QmpStreamOutput *out;
};
}

/* Writes the current reply and then queued ones; false when the channel failed. */
static bool write_pending(QmpServer *server, QmpStreamOutput *out, bool *blocked)
{
    *blocked = false;
    while (server->current_reply) {
        Error *err = nullptr;
        if (!qmp_write_response_io_channel(out->channel, server->current_reply, &err)) {
            out->failed(server, err);
            error_free(err);
            return false;
        }
        if (server->current_reply->part != QMP_REPLY_PART_DONE) {
            *blocked = true;
            return true;
        }
        qmp_reply_free(server->current_reply);
        server->current_reply = static_cast<QmpReply *>(g_queue_pop_head(&server->reply_queue));
        server->reply_in_progress = server->current_reply != nullptr;
        if (out->written) {
            out->written(server);
        }
    }
    return true;
}

static gboolean stream_writable(GIOChannel *, GIOCondition, gpointer opaque)
{
    StreamWatch *w = static_cast<StreamWatch *>(opaque);
    bool blocked = false;
    guint self = w->out->watch;
    /* The failure handler closes the channel; this source must not be removed twice. */
    w->out->watch = 0;
    if (!write_pending(w->server, w->out, &blocked)) {
        return G_SOURCE_REMOVE;
    }
    if (blocked) {
        w->out->watch = self;
        return G_SOURCE_CONTINUE;
    }
    return G_SOURCE_REMOVE;
}

void qmp_server_stream_send(QmpServer *server, QmpStreamOutput *out, char *text, QmpReplyType type)
{
    if (!out->channel || server->state != QMP_SERVER_STATE_ACTIVE) {
        g_free(text);
        return;
    }
    QmpReply *reply = qmp_reply_new(type, text);
    if (server->reply_in_progress) {
        g_queue_push_tail(&server->reply_queue, reply);
        return;
    }
    server->current_reply = reply;
    server->reply_in_progress = true;
    bool blocked = false;
    if (!write_pending(server, out, &blocked) || !blocked || out->watch) {
        return;
    }
    StreamWatch *w = g_new(StreamWatch, 1);
    w->server = server;
    w->out = out;
    out->watch = g_io_add_watch_full(out->channel, G_PRIORITY_DEFAULT, G_IO_OUT, stream_writable, w, g_free);
}

bool qmp_server_stream_read(QmpServer *server, GIOChannel *channel, const char *tag)
{
    char buf[QMP_STREAM_READ_CHUNK];
    gsize got = 0;
    GError *gerr = nullptr;
    GIOStatus status = g_io_channel_read_chars(channel, buf, sizeof(buf), &got, &gerr);
    if (gerr) {
        g_error_free(gerr);
    }
    switch (status) {
    case G_IO_STATUS_NORMAL:
        g_debug("[%s] inbound (%d bytes): %.*s", tag, static_cast<int>(got), static_cast<int>(got), buf);
        qmp_server_feed(server, buf, got);
        return true;
    case G_IO_STATUS_AGAIN:
        return true;
    case G_IO_STATUS_EOF:
        g_message("[%s] received EOF", tag);
        return false;
    case G_IO_STATUS_ERROR:
        g_warning("[%s] disconnected", tag);
        return false;
    default:
        g_warning("[%s] unknown read status %d, closing", tag, static_cast<int>(status));
        return false;
    }
}
