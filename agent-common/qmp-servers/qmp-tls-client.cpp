#include "agent-common/qmp-servers/qmp-tls-client.h"

#include <gio/gnetworking.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "util/agent-assert.h"
#include "util/error.h"

#define QMP_TLS_CLIENT_POLL_MS 25
#define QMP_TLS_PROXY_BUF_SIZE 1024
#define QMP_TLS_KEEPALIVE_IDLE_S 90
#define QMP_TLS_KEEPALIVE_INTERVAL_S 5

enum QmpTlsClientState {
    QMP_TLS_CLIENT_STATE_CONNECTING = 0,
    QMP_TLS_CLIENT_STATE_PROXY_SEND = 1,
    QMP_TLS_CLIENT_STATE_PROXY_RECV = 2,
    QMP_TLS_CLIENT_STATE_HANDSHAKE = 3,
    QMP_TLS_CLIENT_STATE_FINISHED = 4,
};

struct QmpTlsClient {
    GSocketAddress *address = nullptr;
    char *host = nullptr;
    char *port = nullptr;
    char *ca_file = nullptr;
    char *client_cert = nullptr;
    char *client_key = nullptr;
    char *remote_name = nullptr;
    QmpTlsClientDone done = nullptr;
    void *opaque = nullptr;
    GSocketAddress *proxy_address = nullptr;
    char request[QMP_TLS_PROXY_BUF_SIZE] = {};
    size_t request_len = 0;
    size_t request_sent = 0;
    GSocket *socket = nullptr;
    tls_channel_t *channel = nullptr;
    guint timeout_source = 0;
    guint poll_source = 0;
    guint start_source = 0;
    char response[QMP_TLS_PROXY_BUF_SIZE] = {};
    size_t response_len = 0;
    size_t response_room = QMP_TLS_PROXY_BUF_SIZE - 1;
    QmpTlsClientState state = QMP_TLS_CLIENT_STATE_CONNECTING;
};

static void remove_source(guint *source)
{
    if (*source) {
        g_source_remove(*source);
        *source = 0;
    }
}

static void client_free(QmpTlsClient *c)
{
    remove_source(&c->timeout_source);
    remove_source(&c->poll_source);
    remove_source(&c->start_source);
    tls_channel_free(c->channel);
    if (c->socket) {
        g_socket_close(c->socket, nullptr);
        g_object_unref(c->socket);
    }
    g_clear_object(&c->address);
    g_clear_object(&c->proxy_address);
    g_free(c->host);
    g_free(c->port);
    g_free(c->ca_file);
    g_free(c->client_cert);
    g_free(c->client_key);
    g_free(c->remote_name);
    delete c;
}

/* "ip:port" of a socket address, or NULL when it is not an internet address. */
static char *address_text(GSocketAddress *address)
{
    if (!address || !G_IS_INET_SOCKET_ADDRESS(address)) {
        return nullptr;
    }
    GInetSocketAddress *inet = G_INET_SOCKET_ADDRESS(address);
    char *ip = g_inet_address_to_string(g_inet_socket_address_get_address(inet));
    char *text = g_strdup_printf("%s:%u", ip, g_inet_socket_address_get_port(inet));
    g_free(ip);
    return text;
}

/* err is NULL on success; takes ownership of err. Frees the client. */
static void finish(QmpTlsClient *c, Error *err)
{
    AGENT_ASSERT(QMP_TLS_CLIENT_STATE_FINISHED != c->state);
    c->state = QMP_TLS_CLIENT_STATE_FINISHED;
    g_message("[qmp-tls-client] tls client finished - notifying");
    remove_source(&c->timeout_source);
    remove_source(&c->poll_source);
    remove_source(&c->start_source);
    GSocket *socket = nullptr;
    tls_channel_t *channel = nullptr;
    if (err) {
        if (c->channel) {
            tls_channel_shutdown(c->channel);
        }
    } else {
        socket = c->socket;
        channel = c->channel;
        c->socket = nullptr;
        c->channel = nullptr;
    }
    c->done(socket, channel, err, c->opaque);
    error_free(err);
    client_free(c);
}

static void fail(QmpTlsClient *c, const char *fmt, ...) G_GNUC_PRINTF(2, 3);
static void fail(QmpTlsClient *c, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char *text = g_strdup_vprintf(fmt, ap);
    va_end(ap);
    Error *err = nullptr;
    error_setg(&err, "%s", text);
    g_free(text);
    finish(c, err);
}

static bool start_handshake(QmpTlsClient *c)
{
    tls_channel_params_t params = {c->ca_file, c->client_cert, c->client_key, c->remote_name};
    Error *err = nullptr;
    c->channel = tls_channel_new(g_socket_get_fd(c->socket), &params, &err);
    if (!c->channel) {
        g_warning("[qmp-tls-client] tls handshake failed with error: %s", error_get_message(err));
        finish(c, err);
        return false;
    }
    c->state = QMP_TLS_CLIENT_STATE_HANDSHAKE;
    return true;
}

/* False when the attempt finished. */
static bool step_connecting(QmpTlsClient *c)
{
    GIOCondition ready = g_socket_condition_check(c->socket, static_cast<GIOCondition>(G_IO_OUT | G_IO_ERR | G_IO_HUP));
    if (!ready) {
        return true;
    }
    GError *gerr = nullptr;
    if (!g_socket_check_connect_result(c->socket, &gerr)) {
        char *where = address_text(c->proxy_address ? c->proxy_address : c->address);
        fail(c, "error attempting connect to %s: %s", where ? where : "remote machine", gerr->message);
        g_free(where);
        g_error_free(gerr);
        return false;
    }
    g_message("[qmp-tls-client] tcp connection established");
    g_socket_set_keepalive(c->socket, TRUE);
    if (!g_socket_set_option(c->socket, IPPROTO_TCP, TCP_KEEPIDLE, QMP_TLS_KEEPALIVE_IDLE_S, nullptr) ||
        !g_socket_set_option(c->socket, IPPROTO_TCP, TCP_KEEPINTVL, QMP_TLS_KEEPALIVE_INTERVAL_S, nullptr)) {
        fail(c, "error setting socket to be with keepalive");
        return false;
    }
    /* A reply leaves in several small TLS records; with Nagle's delay each one after the
     * first waits for the peer's delayed acknowledgement, some 40 ms per command. */
    if (!g_socket_set_option(c->socket, IPPROTO_TCP, TCP_NODELAY, 1, nullptr)) {
        g_warning("[qmp-tls-client] could not turn off the send delay; replies may be slow");
    }
    if (c->proxy_address) {
        c->state = QMP_TLS_CLIENT_STATE_PROXY_SEND;
        return true;
    }
    return start_handshake(c);
}

static bool step_proxy_send(QmpTlsClient *c)
{
    if (c->request_len == 0) {
        fail(c, "failed to send proxy request");
        return false;
    }
    while (c->request_sent < c->request_len) {
        GError *gerr = nullptr;
        gssize n = g_socket_send(c->socket, c->request + c->request_sent, c->request_len - c->request_sent, nullptr,
                                 &gerr);
        if (n < 0) {
            bool again = g_error_matches(gerr, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK);
            g_error_free(gerr);
            if (again) {
                return true;
            }
            fail(c, "failed to send proxy request");
            return false;
        }
        c->request_sent += static_cast<size_t>(n);
    }
    c->state = QMP_TLS_CLIENT_STATE_PROXY_RECV;
    return true;
}

static bool step_proxy_recv(QmpTlsClient *c)
{
    for (;;) {
        if (c->response_room == 0) {
            fail(c, "invalid response from proxy server");
            return false;
        }
        /* One byte at a time: whatever follows the empty line already belongs to the tunnel. */
        GError *gerr = nullptr;
        gssize n = g_socket_receive(c->socket, c->response + c->response_len, 1, nullptr, &gerr);
        if (n < 0 && g_error_matches(gerr, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK)) {
            g_error_free(gerr);
            return true;
        }
        if (n <= 0) {
            g_clear_error(&gerr);
            fail(c, "failed to receive response from proxy server");
            return false;
        }
        c->response_len++;
        c->response_room--;
        c->response[c->response_len] = '\0';
        if (c->response_len >= 4 && memcmp(c->response + c->response_len - 4, "\r\n\r\n", 4) == 0) {
            break;
        }
    }
    /* The code belongs on the status line: a scan left free would take a number from a later header. */
    char *eol = strstr(c->response, "\r\n"); /* none when a NUL byte came first */
    if (eol) {
        *eol = '\0';
    }
    int status = 0;
    int scanned = sscanf(c->response, "%*s %d", &status);
    if (eol) {
        *eol = '\r';
    }
    if (scanned != 1) {
        fail(c, "invalid proxy server response");
        return false;
    }
    if (status != 200) {
        fail(c, "received HTTP Status %d from proxy server", status);
        return false;
    }
    return start_handshake(c);
}

static bool step_handshake(QmpTlsClient *c)
{
    Error *err = nullptr;
    tls_status st = tls_channel_handshake(c->channel, &err);
    if (st == TLS_STATUS_OK) {
        g_message("[qmp-tls-client] tls handshake completed");
        finish(c, nullptr);
        return false;
    }
    if (st == TLS_STATUS_WANT_READ || st == TLS_STATUS_WANT_WRITE) {
        return true;
    }
    if (!err) {
        error_setg(&err, "tls handshake ended with status %d", static_cast<int>(st));
    }
    g_warning("[qmp-tls-client] tls handshake failed with error: %s", error_get_message(err));
    finish(c, err);
    return false;
}

static gboolean poll_step(gpointer opaque)
{
    QmpTlsClient *c = static_cast<QmpTlsClient *>(opaque);
    /* Each step may finish (and free) the client; a step that moved on lets the next run at once. */
    for (;;) {
        QmpTlsClientState before = c->state;
        bool going = true;
        switch (c->state) {
        case QMP_TLS_CLIENT_STATE_CONNECTING:
            going = step_connecting(c);
            break;
        case QMP_TLS_CLIENT_STATE_PROXY_SEND:
            going = step_proxy_send(c);
            break;
        case QMP_TLS_CLIENT_STATE_PROXY_RECV:
            going = step_proxy_recv(c);
            break;
        case QMP_TLS_CLIENT_STATE_HANDSHAKE:
            going = step_handshake(c);
            break;
        default:
            AGENT_ASSERT(QMP_TLS_CLIENT_STATE_FINISHED != c->state);
        }
        if (!going) {
            /* finish() removed this source already. */
            return G_SOURCE_REMOVE;
        }
        if (c->state == before) {
            return G_SOURCE_CONTINUE;
        }
    }
}

static gboolean timed_out(gpointer opaque)
{
    QmpTlsClient *c = static_cast<QmpTlsClient *>(opaque);
    c->timeout_source = 0;
    g_warning("[qmp-tls-client] connection to %s:%s failed after timeout", c->host, c->port);
    Error *err = nullptr;
    error_setg(&err, "connection failed after timeout");
    finish(c, err);
    return G_SOURCE_REMOVE;
}

static gboolean begin(gpointer opaque)
{
    QmpTlsClient *c = static_cast<QmpTlsClient *>(opaque);
    c->start_source = 0;
    GSocketAddress *target = c->proxy_address ? c->proxy_address : c->address;
    g_message(c->proxy_address ? "[qmp-tls-client] proxy tcp/tls connection" : "[qmp-tls-client] direct tcp/tls connection");
    char *where = address_text(target);
    g_message("[qmp-tls-client] attempting to connect %s", where ? where : "remote machine");
    g_free(where);

    const char *why = nullptr;
    GError *gerr = nullptr;
    if (!target) {
        why = "failed to create socket";
    } else {
        c->socket = g_socket_new(g_socket_address_get_family(target), G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, &gerr);
        if (!c->socket) {
            why = "failed to create socket";
        } else {
            g_socket_set_blocking(c->socket, FALSE);
            if (!g_socket_connect(c->socket, target, nullptr, &gerr) &&
                !g_error_matches(gerr, G_IO_ERROR, G_IO_ERROR_PENDING)) {
                why = "error attempting connect to";
            }
        }
    }
    if (why) {
        char *text = gerr ? g_strdup_printf("%s: %s", why, gerr->message) : g_strdup(why);
        g_warning("[qmp-tls-client] failed on non blocking connect init to %s:%s, error: %s", c->host, c->port, text);
        g_clear_error(&gerr);
        fail(c, "%s", text);
        g_free(text);
        return G_SOURCE_REMOVE;
    }
    g_clear_error(&gerr);
    c->poll_source = g_timeout_add(QMP_TLS_CLIENT_POLL_MS, poll_step, c);
    return G_SOURCE_REMOVE;
}

QmpTlsClient *qmp_tls_client_start(const QmpTlsDestination *dest, const tls_channel_params_t *params,
                                   uint32_t timeout_ms, QmpTlsClientDone done, GSocketAddress *proxy_address,
                                   void *opaque)
{
    AGENT_ASSERT(dest && params && done);
    QmpTlsClient *c = new QmpTlsClient();
    c->address = dest->address ? G_SOCKET_ADDRESS(g_object_ref(dest->address)) : nullptr;
    c->host = g_strdup(dest->host ? dest->host : "");
    c->port = g_strdup(dest->port ? dest->port : "");
    c->ca_file = g_strdup(params->ca_file);
    c->client_cert = g_strdup(params->client_cert);
    c->client_key = g_strdup(params->client_key);
    c->remote_name = g_strdup(params->remote_name);
    c->done = done;
    c->opaque = opaque;
    c->proxy_address = proxy_address ? G_SOCKET_ADDRESS(g_object_ref(proxy_address)) : nullptr;
    if (c->proxy_address) {
        /* An IPv6 literal needs its brackets, or the proxy takes its last group for the port. */
        bool v6 = strchr(c->host, ':') != nullptr;
        int n = g_snprintf(c->request, sizeof c->request, "CONNECT %s%s%s:%s HTTP/1.1\r\n\r\n", v6 ? "[" : "",
                           c->host, v6 ? "]" : "", c->port);
        /* A name too long for the buffer must not be sent cut short. */
        c->request_len = n > 0 && static_cast<size_t>(n) < sizeof c->request ? static_cast<size_t>(n) : 0;
    }
    if (timeout_ms) {
        c->timeout_source = g_timeout_add(timeout_ms, timed_out, c);
    }
    /* At the default priority: a busy loop must not starve the attempt until it times out. */
    c->start_source = g_idle_add_full(G_PRIORITY_DEFAULT, begin, c, nullptr);
    return c;
}

void qmp_tls_client_cancel(QmpTlsClient *client)
{
    if (client) {
        client_free(client);
    }
}
