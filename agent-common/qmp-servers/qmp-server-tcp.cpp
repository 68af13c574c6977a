#include "agent-common/qmp-servers/qmp-server-tcp.h"

#include <gio/gio.h>
#include <gio/gnetworking.h>

#include "agent-common/qmp-servers/qmp-server.h"
#include "util/agent-assert.h"
#include "util/error.h"

struct ConnectAttempt;

struct QmpServerTcp : QmpServer {
    char **addresses = nullptr;
    uint32_t connect_timeout_ms = 0;
    GSocket *socket = nullptr;
    GObject *socket_owner = nullptr; /* the socket itself, or the connection holding it */
    GIOChannel *channel = nullptr;
    guint in_watch = 0;
    QmpStreamOutput out;
    ConnectAttempt *connecting = nullptr;
};

/* A connection being made for a re-run; tcp is cleared when the server stops meanwhile. */
struct ConnectAttempt {
    QmpServerTcp *tcp;
    GCancellable *cancel;
    guint timeout;
    bool timed_out;
};

static QmpServerTcp *tcp_of(QmpServer *server)
{
    return static_cast<QmpServerTcp *>(server);
}

static GSocket *connect_with_timeout(GSocketAddress *address, uint32_t timeout_ms, GError **gerr)
{
    GSocket *sock = g_socket_new(g_socket_address_get_family(address), G_SOCKET_TYPE_STREAM,
                                 G_SOCKET_PROTOCOL_TCP, gerr);
    if (!sock) {
        return nullptr;
    }
    g_socket_set_blocking(sock, FALSE);
    GError *local = nullptr;
    if (!g_socket_connect(sock, address, nullptr, &local)) {
        if (!g_error_matches(local, G_IO_ERROR, G_IO_ERROR_PENDING)) {
            g_propagate_error(gerr, local);
            g_object_unref(sock);
            return nullptr;
        }
        g_clear_error(&local);
        if (!g_socket_condition_timed_wait(sock, G_IO_OUT, static_cast<gint64>(timeout_ms) * 1000, nullptr, gerr) ||
            !g_socket_check_connect_result(sock, gerr)) {
            g_object_unref(sock);
            return nullptr;
        }
    }
    return sock;
}

/* owner keeps the socket open; the server takes the reference. */
static void adopt_socket(QmpServerTcp *tcp, GSocket *sock, GObject *owner)
{
    tcp->socket = sock;
    tcp->socket_owner = owner;
    /* A reply leaves in several writes; with Nagle's delay each one after the first waits
     * for the peer's delayed acknowledgement, some 40 ms per command. */
    g_socket_set_option(sock, IPPROTO_TCP, TCP_NODELAY, 1, nullptr);
    tcp->channel = g_io_channel_unix_new(g_socket_get_fd(sock));
    g_io_channel_set_encoding(tcp->channel, nullptr, nullptr);
    g_io_channel_set_buffered(tcp->channel, FALSE);
    g_io_channel_set_flags(tcp->channel, G_IO_FLAG_NONBLOCK, nullptr);
    tcp->out.channel = tcp->channel;
}

/* Tries every resolved address of the first entry; the others are for the callers' policy. */
static bool open_connection(QmpServerTcp *tcp, Error **errp)
{
    const char *target = tcp->addresses[0];
    GError *gerr = nullptr;
    GSocketConnectable *connectable = g_network_address_parse(target, 0, &gerr);
    GSocket *sock = nullptr;
    if (connectable) {
        GSocketAddressEnumerator *addrs = g_socket_connectable_enumerate(connectable);
        while (!sock) {
            GError *next_err = nullptr;
            GSocketAddress *address = g_socket_address_enumerator_next(addrs, nullptr, &next_err);
            if (!address) {
                if (next_err) {
                    g_clear_error(&gerr);
                    gerr = next_err;
                }
                break;
            }
            g_clear_error(&gerr);
            sock = connect_with_timeout(address, tcp->connect_timeout_ms, &gerr);
            g_object_unref(address);
        }
        g_object_unref(addrs);
        g_object_unref(connectable);
    }
    if (!sock) {
        const char *why = gerr ? gerr->message : "no address";
        g_critical("[qmp-server-tcp]  error opening socket channel (%s): %s", target, why);
        error_setg(errp, "error opening socket channel (%s): %s", target, why);
        g_clear_error(&gerr);
        return false;
    }
    adopt_socket(tcp, sock, G_OBJECT(sock));
    return true;
}

static void close_connection(QmpServerTcp *tcp)
{
    if (tcp->connecting) {
        /* The attempt ends on its own; it only must not find this server any more. */
        tcp->connecting->tcp = nullptr;
        g_cancellable_cancel(tcp->connecting->cancel);
        tcp->connecting = nullptr;
    }
    if (tcp->in_watch) {
        g_source_remove(tcp->in_watch);
        tcp->in_watch = 0;
    }
    qmp_stream_output_stop(&tcp->out);
    tcp->out.channel = nullptr;
    if (tcp->channel) {
        g_io_channel_unref(tcp->channel);
        tcp->channel = nullptr;
    }
    if (tcp->socket) {
        g_socket_close(tcp->socket, nullptr);
        g_object_unref(tcp->socket_owner);
        tcp->socket = nullptr;
        tcp->socket_owner = nullptr;
    }
}

static void fail(QmpServerTcp *tcp)
{
    close_connection(tcp);
    qmp_server_set_state(tcp, QMP_SERVER_STATE_FAILED);
}

static void write_done(QmpServer *)
{
    g_debug("[qmp-server-tcp] request sent completed");
}

static void write_failed(QmpServer *server, const Error *err)
{
    g_warning("[qmp-server-tcp] failed to write data into TCP channel: %s", error_get_message(err));
    fail(tcp_of(server));
}

static gboolean input_ready(GIOChannel *channel, GIOCondition, gpointer opaque)
{
    QmpServerTcp *tcp = static_cast<QmpServerTcp *>(opaque);
    if (qmp_server_stream_read(tcp, channel, "qmp-server-tcp")) {
        return G_SOURCE_CONTINUE;
    }
    tcp->in_watch = 0; /* this source ends with the G_SOURCE_REMOVE below */
    fail(tcp);
    return G_SOURCE_REMOVE;
}

static void start_serving(QmpServerTcp *tcp)
{
    tcp->in_watch = g_io_add_watch(tcp->channel, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                                   input_ready, tcp);
    qmp_server_set_state(tcp, QMP_SERVER_STATE_ACTIVE);
}

static gboolean connect_timed_out(gpointer data)
{
    ConnectAttempt *attempt = static_cast<ConnectAttempt *>(data);
    attempt->timeout = 0;
    attempt->timed_out = true;
    g_cancellable_cancel(attempt->cancel);
    return G_SOURCE_REMOVE;
}

static void connect_finished(GObject *client, GAsyncResult *result, gpointer data)
{
    ConnectAttempt *attempt = static_cast<ConnectAttempt *>(data);
    GError *gerr = nullptr;
    GSocketConnection *conn = g_socket_client_connect_to_host_finish(G_SOCKET_CLIENT(client), result, &gerr);
    if (attempt->timeout) {
        g_source_remove(attempt->timeout);
    }
    QmpServerTcp *tcp = attempt->tcp;
    bool timed_out = attempt->timed_out;
    g_object_unref(attempt->cancel);
    delete attempt;
    if (!tcp) {
        g_clear_object(&conn);
        g_clear_error(&gerr);
        return;
    }
    tcp->connecting = nullptr;
    if (!conn) {
        /* Ends as a failed run does: the manager decides, and a required server takes the loop down. */
        const char *why = timed_out ? "connection timed out" : gerr->message;
        g_critical("[qmp-server-tcp]  error opening socket channel (%s): %s", tcp->addresses[0], why);
        g_warning("[qmp-server] [%s] failed to run", tcp->name);
        g_clear_error(&gerr);
        qmp_server_set_state(tcp, QMP_SERVER_STATE_FAILED);
        return;
    }
    GSocket *sock = g_socket_connection_get_socket(conn);
    g_socket_set_blocking(sock, FALSE);
    adopt_socket(tcp, sock, G_OBJECT(conn));
    start_serving(tcp);
}

/* A re-run connects without blocking the main loop: the server turns ACTIVE once connected. */
static void connect_async(QmpServerTcp *tcp)
{
    ConnectAttempt *attempt = new ConnectAttempt{tcp, g_cancellable_new(), 0, false};
    tcp->connecting = attempt;
    if (tcp->connect_timeout_ms) {
        attempt->timeout = g_timeout_add(tcp->connect_timeout_ms, connect_timed_out, attempt);
    }
    GSocketClient *client = g_socket_client_new();
    g_socket_client_connect_to_host_async(client, tcp->addresses[0], 0, attempt->cancel, connect_finished, attempt);
    g_object_unref(client);
}

static bool tcp_run(QmpServer *server, Error **errp)
{
    QmpServerTcp *tcp = tcp_of(server);
    if (tcp->state == QMP_SERVER_STATE_ACTIVE || tcp->connecting) {
        error_setg(errp, "TCP server is running already");
        return false;
    }
    /* The constructor's connection is used first; a stopped server connects again. */
    if (!tcp->channel) {
        connect_async(tcp);
        return true;
    }
    start_serving(tcp);
    return true;
}

static void tcp_stop(QmpServer *server)
{
    QmpServerTcp *tcp = tcp_of(server);
    close_connection(tcp);
    if (tcp->state != QMP_SERVER_STATE_INACTIVE) {
        qmp_server_set_state(tcp, QMP_SERVER_STATE_INACTIVE);
    }
}

static void tcp_send(QmpServer *server, char *text, QmpReplyType type)
{
    QmpServerTcp *tcp = tcp_of(server);
    qmp_server_stream_send(tcp, &tcp->out, text, type);
}

static void tcp_destroy(QmpServer *server)
{
    QmpServerTcp *tcp = tcp_of(server);
    close_connection(tcp);
    qmp_server_finalize(tcp);
    g_strfreev(tcp->addresses);
    delete tcp;
}

static const QmpServerOps kTcpOps = {
    tcp_destroy, tcp_run, tcp_stop, tcp_send, nullptr,
};

QmpServer *qmp_server_new_tcp(const char *addresses, uint32_t connect_timeout_ms)
{
    char **split = g_strsplit_set(addresses ? addresses : "", ",;", -1);
    /* Empty pieces (",,", a trailing ';') are not addresses. */
    GPtrArray *kept = g_ptr_array_new();
    for (char **p = split; *p; p++) {
        g_strstrip(*p);
        if (**p) {
            g_ptr_array_add(kept, g_strdup(*p));
        }
    }
    g_strfreev(split);
    guint addr_count = kept->len;
    AGENT_ASSERT(addr_count > 0);
    g_ptr_array_add(kept, nullptr);

    QmpServerTcp *tcp = new QmpServerTcp();
    qmp_server_init(tcp, "qmp-server-tcp", &kTcpOps);
    tcp->addresses = reinterpret_cast<char **>(g_ptr_array_free(kept, FALSE));
    tcp->connect_timeout_ms = connect_timeout_ms;
    tcp->supports_push = true;
    tcp->aggregator = true;
    tcp->required = true;
    tcp->supports_reconnect = false;
    tcp->out.written = write_done;
    tcp->out.failed = write_failed;
    if (!open_connection(tcp, nullptr)) {
        tcp_destroy(tcp);
        return nullptr;
    }
    return tcp;
}
