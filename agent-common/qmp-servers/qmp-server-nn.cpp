#include "agent-common/qmp-servers/qmp-server-nn.h"

#include <glib.h>
#include <nanomsg/ipc.h>
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>

#include <cerrno>
#include <cstring>

#include "agent-common/qmp-servers/qmp-server.h"
#include "enforcement/platforms/platform-version.h"
#include "util/agent-assert.h"
#include "util/error.h"

#define NN_IPC_BUFFER_SIZE 10485760
#define NN_MAX_MESSAGE_SIZE 20971520
#define NN_MIN_COMMAND_SIZE 16
#define NN_RECV_DEADLINE_US 3000
#define NN_RECV_RETRY_MS 40
#define NN_SEND_MAX_RETRIES 10

enum NnSocketState {
    NN_SOCKET_CLOSED = 0,
    NN_SOCKET_LISTENING = 1,
    NN_SOCKET_RECEIVING = 2,
    NN_SOCKET_REQUEST_RECEIVED = 3,
};

struct QmpServerNn : QmpServer {
    char *address = nullptr;
    int sock = -1;
    NnSocketState sock_state = NN_SOCKET_CLOSED;
    GIOChannel *rcv_channel = nullptr;
    guint in_watch = 0;
    guint retry_timer = 0;
    guint send_idle = 0;
    int64_t deadline_us = 0;
    char *send_buf = nullptr;
    size_t send_len = 0;
    int send_retries = 0;
};

static QmpServerNn *nn_of(QmpServer *server)
{
    return static_cast<QmpServerNn *>(server);
}

/* Deadlines use the monotonic microsecond clock, the counterpart of the performance counter. */
static int64_t now_us(void)
{
    return g_get_monotonic_time();
}

static void close_socket(QmpServerNn *nn)
{
    if (nn->in_watch) {
        g_source_remove(nn->in_watch);
        nn->in_watch = 0;
    }
    if (nn->retry_timer) {
        g_source_remove(nn->retry_timer);
        nn->retry_timer = 0;
    }
    if (nn->send_idle) {
        g_source_remove(nn->send_idle);
        nn->send_idle = 0;
    }
    g_free(nn->send_buf);
    nn->send_buf = nullptr;
    nn->send_len = 0;
    if (nn->rcv_channel) {
        g_io_channel_unref(nn->rcv_channel);
        nn->rcv_channel = nullptr;
    }
    if (nn->sock >= 0) {
        nn_close(nn->sock);
        nn->sock = -1;
    }
    nn->sock_state = NN_SOCKET_CLOSED;
}

static void fail(QmpServerNn *nn)
{
    close_socket(nn);
    qmp_server_set_state(nn, QMP_SERVER_STATE_FAILED);
}

static gboolean socket_readable(GIOChannel *, GIOCondition, gpointer opaque);

static void watch_input(QmpServerNn *nn)
{
    if (!nn->in_watch) {
        nn->in_watch = g_io_add_watch(nn->rcv_channel, static_cast<GIOCondition>(G_IO_IN | G_IO_ERR | G_IO_HUP),
                                      socket_readable, nn);
    }
}

static void send_error_reply(QmpServerNn *nn, const char *message)
{
    Error *err = nullptr;
    error_setg(&err, "%s", message);
    char *body = qmp_error_object(err);
    error_free(err);
    g_debug("[qmp-server-nn] sending error response: %s", body);
    qmp_server_send(nn, body, QMP_REPLY_ERROR);
}

static void handle_message(QmpServerNn *nn, const char *data, int len)
{
    if (len < NN_MIN_COMMAND_SIZE) {
        g_warning("[qmp-server-nn] command too small (%d bytes): %.*s", len, len, data);
        send_error_reply(nn, "command too small");
        return;
    }
    int body_len = len;
    if (data[body_len - 1] == '\n') {
        body_len--;
    }
    if (data[0] != '{' || data[body_len - 1] != '}') {
        g_warning("[qmp-server-nn] invalid command received on nanomsg channel (%d bytes): %.*s", len, len, data);
        send_error_reply(nn, "invalid command format");
        return;
    }
    g_debug("[qmp-server-nn] incoming request data from nn (%d bytes): %.*s", len, len, data);
    uint64_t seen = nn->requests_seen;
    qmp_server_feed(nn, data, static_cast<size_t>(body_len));
    qmp_server_flush(nn);
    qmp_server_end_message(nn);
    json_message_parser_reset(&nn->parser);
    /* The REP socket owes the peer a reply; braces around something that never forms a value still get one. */
    if (nn->requests_seen == seen && nn->state == QMP_SERVER_STATE_ACTIVE &&
        nn->sock_state == NN_SOCKET_REQUEST_RECEIVED && !nn->send_idle) {
        g_warning("[qmp-server-nn] invalid command received on nanomsg channel (%d bytes): %.*s", len, len, data);
        send_error_reply(nn, "invalid command format");
    }
}

static gboolean retry_receive(gpointer opaque);

static void receive(QmpServerNn *nn, int64_t attempt_start)
{
    void *msg = nullptr;
    int rc = nn_recv(nn->sock, &msg, NN_MSG, NN_DONTWAIT);
    if (rc < 0) {
        int err = nn_errno();
        if (err == EAGAIN) {
            if (attempt_start < nn->deadline_us) {
                g_debug("[qmp-server-nn] scheduled retry recv on %s", nn->address);
                nn->retry_timer = g_timeout_add(NN_RECV_RETRY_MS, retry_receive, nn);
                return;
            }
            g_warning("[qmp-server-nn] failed to recv request message after timeout via %s", nn->address);
        } else {
            g_warning("[qmp-server-nn] failed to read from nanomsg socket: %s", nn_strerror(err));
        }
        fail(nn);
        return;
    }
    nn->sock_state = NN_SOCKET_REQUEST_RECEIVED;
    handle_message(nn, static_cast<const char *>(msg), rc);
    if (nn_freemsg(msg) < 0) {
        g_warning("[qmp-server-nn] failed to release nanomsg message: %s", nn_strerror(nn_errno()));
    }
}

static void start_receiving(QmpServerNn *nn)
{
    nn->sock_state = NN_SOCKET_RECEIVING;
    nn->deadline_us = now_us() + NN_RECV_DEADLINE_US;
}

static void on_readable(QmpServerNn *nn)
{
    int64_t attempt_start = now_us();
    if (nn->sock_state == NN_SOCKET_LISTENING) {
        g_debug("[qmp-server-nn] NN socket ready recv new message");
        start_receiving(nn);
    } else if (nn->sock_state == NN_SOCKET_RECEIVING) {
        g_debug("[qmp-server-nn] NN socket retry recv message");
    } else {
        agent_fatal_error("[qmp-server-nn] attempt to recv on NN socket in wrong state");
    }
    receive(nn, attempt_start);
}

static gboolean socket_readable(GIOChannel *, GIOCondition, gpointer opaque)
{
    QmpServerNn *nn = static_cast<QmpServerNn *>(opaque);
    /* The watch stays off until the reply has gone, so requests are served one at a time. */
    nn->in_watch = 0;
    on_readable(nn);
    return G_SOURCE_REMOVE;
}

static gboolean retry_receive(gpointer opaque)
{
    QmpServerNn *nn = static_cast<QmpServerNn *>(opaque);
    nn->retry_timer = 0;
    on_readable(nn);
    return G_SOURCE_REMOVE;
}

static void after_send(QmpServerNn *nn)
{
    struct nn_pollfd pfd = {nn->sock, NN_POLLIN, 0};
    int rc = nn_poll(&pfd, 1, 0);
    if (rc < 0 && nn_errno() != EINTR) {
        g_warning("[qmp-server-nn] polling error: %s", nn_strerror(nn_errno()));
    }
    if (rc > 0 && (pfd.revents & NN_POLLIN)) {
        g_debug("[qmp-server-nn] detected pending request in socket, start receiving");
        start_receiving(nn);
        receive(nn, now_us());
        return;
    }
    nn->sock_state = NN_SOCKET_LISTENING;
    watch_input(nn);
    g_debug("[qmp-server-nn] re-started listening on NN rep socket after reply sent");
}

static gboolean send_pending(gpointer opaque)
{
    QmpServerNn *nn = static_cast<QmpServerNn *>(opaque);
    int rc = nn_send(nn->sock, nn->send_buf, nn->send_len, NN_DONTWAIT);
    if (rc < 0 && nn_errno() == EAGAIN && nn->send_retries < NN_SEND_MAX_RETRIES) {
        nn->send_retries++;
        g_debug("[qmp-server-nn] rescheduled send to %s", nn->address);
        return G_SOURCE_CONTINUE;
    }
    nn->send_idle = 0;
    if (rc < 0 || static_cast<size_t>(rc) != nn->send_len) {
        g_warning("[qmp-server-nn] failed to send response message via %s", nn->address);
        fail(nn);
        return G_SOURCE_REMOVE;
    }
    g_debug("[qmp-server-nn] sent completed to %s", nn->address);
    g_free(nn->send_buf);
    nn->send_buf = nullptr;
    nn->send_len = 0;
    after_send(nn);
    return G_SOURCE_REMOVE;
}

/* The send operation. */
static void qmp_server_nn_send_response_async(QmpServer *server, char *text, QmpReplyType type)
{
    QmpServerNn *nn = nn_of(server);
    if (nn->sock_state != NN_SOCKET_REQUEST_RECEIVED) {
        g_warning("[qmp-server-nn] NN server rep socket is not ready to send reply");
        g_free(text);
        return;
    }
    if (nn->send_idle) {
        g_warning("[qmp-server-nn] NN server is sending response already. Response %s - dropped!", text);
        g_free(text);
        return;
    }
    nn->send_buf = g_strconcat(qmp_reply_prefix(type), text, QMP_REPLY_SUFFIX, nullptr);
    nn->send_len = strlen(nn->send_buf);
    nn->send_retries = 0;
    g_free(text);
    nn->send_idle = g_idle_add(send_pending, nn);
}

static bool nn_run(QmpServer *server, Error **errp)
{
    QmpServerNn *nn = nn_of(server);
    if (nn->state != QMP_SERVER_STATE_INACTIVE && nn->state != QMP_SERVER_STATE_FAILED) {
        g_warning("[qmp-server-nn] failed to run from state '%s'", qmp_server_state_name(nn->state));
        error_setg(errp, "[qmp-server-nn] failed to run from state '%s'", qmp_server_state_name(nn->state));
        return false;
    }
    g_message("[qmp-server-nn] initializing NN listener for ipc: %s", nn->address);
    bool ok = false;
    do {
        g_debug("[nnmsg-channel-rpc] %s create nanomsg socket", nn->address);
        nn->sock = nn_socket(AF_SP, NN_REP);
        if (nn->sock < 0) {
            break;
        }
        int size = NN_IPC_BUFFER_SIZE;
        if (nn_setsockopt(nn->sock, NN_IPC, NN_IPC_OUTBUFSZ, &size, sizeof(size)) < 0) {
            g_warning("[nnmsg-channel-rpc] %s failed to set socket send buffer size: %s", nn->address,
                      nn_strerror(nn_errno()));
            break;
        }
        if (nn_setsockopt(nn->sock, NN_IPC, NN_IPC_INBUFSZ, &size, sizeof(size)) < 0) {
            g_warning("[nnmsg-channel-rpc] %s failed to set socket receive buffer size: %s", nn->address,
                      nn_strerror(nn_errno()));
            break;
        }
        unsigned major = 0, minor = 0;
        platform_version(&major, &minor);
        if (major > 5) {
            int max_size = NN_MAX_MESSAGE_SIZE;
            if (nn_setsockopt(nn->sock, NN_SOL_SOCKET, NN_RCVMAXSIZE, &max_size, sizeof(max_size)) < 0) {
                break;
            }
        }
        if (nn_bind(nn->sock, nn->address) < 0) {
            g_warning("[qmp-server-nn] failed to bind nanomsg socket to %s: %s", nn->address, nn_strerror(nn_errno()));
            break;
        }
        int fd = -1;
        size_t fd_size = sizeof(fd);
        if (nn_getsockopt(nn->sock, NN_SOL_SOCKET, NN_RCVFD, &fd, &fd_size) < 0) {
            break;
        }
        nn->rcv_channel = g_io_channel_unix_new(fd);
        ok = true;
    } while (false);
    if (!ok) {
        g_warning("[qmp-server-nn] could not init NN rep socket");
        error_setg(errp, "[qmp-server-nn] could not init NN rep socket");
        close_socket(nn);
        return false;
    }
    watch_input(nn);
    nn->sock_state = NN_SOCKET_LISTENING;
    qmp_server_set_state(nn, QMP_SERVER_STATE_ACTIVE);
    g_message("[qmp-server-nn] started listening on NN rep socket");
    return true;
}

static void nn_stop(QmpServer *server)
{
    QmpServerNn *nn = nn_of(server);
    close_socket(nn);
    qmp_server_set_state(nn, QMP_SERVER_STATE_INACTIVE);
}

static void nn_destroy(QmpServer *server)
{
    QmpServerNn *nn = nn_of(server);
    close_socket(nn);
    qmp_server_finalize(nn);
    g_free(nn->address);
    delete nn;
}

static const QmpServerOps kNnOps = {
    nn_destroy, nn_run, nn_stop, qmp_server_nn_send_response_async, nullptr,
};

QmpServer *qmp_server_new_nn(const char *ipc_address)
{
    AGENT_ASSERT(NULL != ipc_address);
    QmpServerNn *nn = new QmpServerNn();
    qmp_server_init(nn, "qmp-server-nn", &kNnOps);
    nn->supports_reconnect = true;
    nn->reply_required = true;
    nn->whole_messages = true;
    nn->address = g_strdup(ipc_address);
    return nn;
}
