#include "agent-common/qmp-servers/qmp-server-std-io.h"

#include <glib.h>

#include "agent-common/logger.h"
#include "agent-common/qmp-servers/qmp-server.h"
#include "util/error.h"

struct QmpServerStdIo : QmpServer {
    int in_fd = 0;
    int out_fd = 1;
    GIOChannel *in_channel = nullptr;
    GIOChannel *out_channel = nullptr;
    guint in_watch = 0;
};

static QmpServerStdIo *std_io_of(QmpServer *server)
{
    return static_cast<QmpServerStdIo *>(server);
}

/*
 * Raw bytes, no buffering. The descriptors stay as they are: on a terminal (or a pipe
 * shared with the console log) they are one open file, and making it non-blocking here
 * would make every other writer of it, the log among them, lose bytes. Input is read
 * only when the watch reports some, so a read does not wait.
 */
static GIOChannel *raw_channel(int fd)
{
    GIOChannel *channel = g_io_channel_unix_new(fd);
    g_io_channel_set_encoding(channel, nullptr, nullptr);
    g_io_channel_set_buffered(channel, FALSE);
    g_io_channel_set_close_on_unref(channel, TRUE);
    return channel;
}

static void close_channels(QmpServerStdIo *s)
{
    if (s->in_watch) {
        g_source_remove(s->in_watch);
        s->in_watch = 0;
    }
    if (s->in_channel) {
        g_io_channel_unref(s->in_channel);
        s->in_channel = nullptr;
    }
    if (s->out_channel) {
        g_io_channel_unref(s->out_channel);
        s->out_channel = nullptr;
    }
}

static void fail(QmpServerStdIo *s)
{
    close_channels(s);
    qmp_server_set_state(s, QMP_SERVER_STATE_FAILED);
}

static gboolean input_ready(GIOChannel *channel, GIOCondition, gpointer opaque)
{
    QmpServerStdIo *s = static_cast<QmpServerStdIo *>(opaque);
    if (qmp_server_stream_read(s, channel, "qmp-server-std-io")) {
        return G_SOURCE_CONTINUE;
    }
    s->in_watch = 0; /* this source ends with the G_SOURCE_REMOVE below */
    fail(s);
    return G_SOURCE_REMOVE;
}

/*
 * The whole reply in one go, with the log held back meanwhile: the console log may
 * write to the same descriptor and must not land inside a reply line. A reader that
 * takes its time delays the module rather than losing the reply.
 */
static bool write_whole_reply(QmpServerStdIo *s, QmpReply *reply, Error **errp)
{
    base_logger_ctx_t *held = logger_lock_output();
    bool ok = true;
    while (ok && reply->part != QMP_REPLY_PART_DONE) {
        ok = qmp_write_response_io_channel(s->out_channel, reply, errp);
        if (ok && reply->part != QMP_REPLY_PART_DONE) {
            /* A descriptor made non-blocking by someone else: wait until it takes more. */
            GPollFD pfd = {s->out_fd, static_cast<gushort>(G_IO_OUT | G_IO_ERR | G_IO_HUP), 0};
            g_poll(&pfd, 1, -1);
        }
    }
    logger_unlock_output(held);
    return ok;
}

static bool std_io_run(QmpServer *server, Error **errp)
{
    QmpServerStdIo *s = std_io_of(server);
    if (s->state != QMP_SERVER_STATE_INACTIVE) {
        error_setg(errp, "standard I/O server cannot run from state '%s'", qmp_server_state_name(s->state));
        return false;
    }
    /* A stopped server keeps its channels: they own the descriptors. */
    if (!s->in_channel) {
        s->in_channel = raw_channel(s->in_fd);
    }
    if (!s->out_channel) {
        s->out_channel = raw_channel(s->out_fd);
    }
    s->in_watch = g_io_add_watch(s->in_channel, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                                 input_ready, s);
    qmp_server_set_state(s, QMP_SERVER_STATE_ACTIVE);
    return true;
}

static void std_io_stop(QmpServer *server)
{
    QmpServerStdIo *s = std_io_of(server);
    if (s->in_watch) {
        g_source_remove(s->in_watch);
        s->in_watch = 0;
    }
    if (s->state != QMP_SERVER_STATE_INACTIVE && s->state != QMP_SERVER_STATE_FAILED) {
        qmp_server_set_state(s, QMP_SERVER_STATE_INACTIVE);
    }
}

static void std_io_send(QmpServer *server, char *text, QmpReplyType type)
{
    QmpServerStdIo *s = std_io_of(server);
    if (!s->out_channel || s->state != QMP_SERVER_STATE_ACTIVE) {
        g_free(text);
        return;
    }
    QmpReply *reply = qmp_reply_new(type, text);
    Error *err = nullptr;
    bool ok = write_whole_reply(s, reply, &err);
    qmp_reply_free(reply);
    if (!ok) {
        g_warning("[qmp-server-std-io] disconnected");
        error_free(err);
        fail(s);
    }
}

static void std_io_destroy(QmpServer *server)
{
    QmpServerStdIo *s = std_io_of(server);
    close_channels(s);
    qmp_server_finalize(s);
    delete s;
}

static const QmpServerOps kStdIoOps = {
    std_io_destroy, std_io_run, std_io_stop, std_io_send, nullptr,
};

QmpServer *qmp_server_new_std_io_fds(int in_fd, int out_fd)
{
    QmpServerStdIo *s = new QmpServerStdIo();
    qmp_server_init(s, "qmp-server-std-io", &kStdIoOps);
    s->in_fd = in_fd;
    s->out_fd = out_fd;
    return s;
}

QmpServer *qmp_server_new_std_io(void)
{
    return qmp_server_new_std_io_fds(0, 1);
}
