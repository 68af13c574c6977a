#include "agent-common/qmp-servers/qmp-server-tls.h"

#include <gio/gio.h>

#include <atomic>
#include <cstdlib>

#include "agent-common/qmp-servers/qmp-server.h"
#include "agent-common/qmp-servers/qmp-tls-client.h"
#include "qapi/qmp-common-types.h"
#include "util/agent-assert.h"
#include "util/error.h"

#define QMP_TLS_READ_CHUNK 20480
#define QMP_TLS_PROXY_DEFAULT_PORT 8080

/* One configured address as resolved (or, with a proxy, only parsed). */
struct TlsRemote {
    GSocketAddress *address; /* NULL with a proxy: the proxy resolves host */
    char *fqdn;              /* the configured piece */
    char *host;              /* the address, or the parsed host name with a proxy */
    char *port;
};

static void remote_free(gpointer p)
{
    TlsRemote *r = static_cast<TlsRemote *>(p);
    g_clear_object(&r->address);
    g_free(r->fqdn);
    g_free(r->host);
    g_free(r->port);
    g_free(r);
}

/*
 * The TLS channel seen as a GIOChannel, so that replies go through the core's writer.
 * Its watches wait on the direction the TLS layer last asked for, and an input watch
 * also fires for decrypted bytes already buffered.
 */
struct TlsIoChannel {
    GIOChannel base;
    tls_channel_t *tls;
    GSocket *socket;
    GIOCondition read_wants;
    GIOCondition write_wants;
};

struct TlsWatch {
    GSource source;
    TlsIoChannel *channel;
    GIOCondition condition;
    gpointer tag;
};

struct QmpServerTls : QmpServer {
    char *addresses = nullptr;
    char *proxy = nullptr;
    char *ca_file = nullptr;
    char *client_cert = nullptr;
    char *client_key = nullptr;
    char *remote_name = nullptr;
    uint32_t connect_timeout_ms = 0;
    GMutex remotes_lock;
    GPtrArray *remotes = nullptr; /* of TlsRemote */
    GSocketAddress *proxy_address = nullptr;
    guint current = 0;
    char *current_host = nullptr;
    char *current_port = nullptr;
    GIOChannel *channel = nullptr;
    guint in_watch = 0;
    QmpStreamOutput out;
    QmpTlsClient *client = nullptr;
    int attempts = 0;
    int threshold = QMP_SERVER_TLS_RESOLVE_THRESHOLD;
    std::atomic<bool> resolving{false};
    GThread *resolver = nullptr;
};

static QmpServerTls *tls_of(QmpServer *server)
{
    return static_cast<QmpServerTls *>(server);
}

/* ---- the channel adapter ---- */

static TlsIoChannel *adapter_of(GIOChannel *channel)
{
    return reinterpret_cast<TlsIoChannel *>(channel);
}

static void set_channel_error(GError **err, Error *e, const char *fallback)
{
    g_set_error_literal(err, G_IO_CHANNEL_ERROR, G_IO_CHANNEL_ERROR_FAILED, e ? error_get_message(e) : fallback);
    error_free(e);
}

static GIOStatus adapter_read(GIOChannel *channel, gchar *buf, gsize count, gsize *bytes_read, GError **err)
{
    TlsIoChannel *t = adapter_of(channel);
    *bytes_read = 0;
    if (count == 0) {
        return G_IO_STATUS_NORMAL;
    }
    size_t done = 0;
    Error *e = nullptr;
    switch (tls_channel_read(t->tls, buf, count, &done, &e)) {
    case TLS_STATUS_OK:
        t->read_wants = G_IO_IN;
        *bytes_read = done;
        return G_IO_STATUS_NORMAL;
    case TLS_STATUS_WANT_READ:
    case TLS_STATUS_WANT_WRITE:
        t->read_wants = tls_channel_wanted(t->tls);
        return G_IO_STATUS_AGAIN;
    case TLS_STATUS_CLOSED:
        error_free(e);
        return G_IO_STATUS_EOF;
    default:
        set_channel_error(err, e, "TLS read failed");
        return G_IO_STATUS_ERROR;
    }
}

static GIOStatus adapter_write(GIOChannel *channel, const gchar *buf, gsize count, gsize *bytes_written, GError **err)
{
    TlsIoChannel *t = adapter_of(channel);
    *bytes_written = 0;
    if (count == 0) {
        return G_IO_STATUS_NORMAL;
    }
    size_t done = 0;
    Error *e = nullptr;
    switch (tls_channel_write(t->tls, buf, count, &done, &e)) {
    case TLS_STATUS_OK:
        t->write_wants = G_IO_OUT;
        *bytes_written = done;
        return G_IO_STATUS_NORMAL;
    case TLS_STATUS_WANT_READ:
    case TLS_STATUS_WANT_WRITE:
        t->write_wants = tls_channel_wanted(t->tls);
        return G_IO_STATUS_AGAIN;
    case TLS_STATUS_CLOSED:
        set_channel_error(err, e, "connection closed");
        return G_IO_STATUS_ERROR;
    default:
        set_channel_error(err, e, "TLS write failed");
        return G_IO_STATUS_ERROR;
    }
}

static GIOStatus adapter_seek(GIOChannel *, gint64, GSeekType, GError **err)
{
    g_set_error_literal(err, G_IO_CHANNEL_ERROR, G_IO_CHANNEL_ERROR_FAILED, "a TLS channel cannot seek");
    return G_IO_STATUS_ERROR;
}

static GIOStatus adapter_close(GIOChannel *channel, GError **)
{
    tls_channel_shutdown(adapter_of(channel)->tls);
    return G_IO_STATUS_NORMAL;
}

static GIOCondition watch_events(TlsWatch *w)
{
    int events = G_IO_ERR | G_IO_HUP;
    if (w->condition & G_IO_IN) {
        events |= w->channel->read_wants;
    }
    if (w->condition & G_IO_OUT) {
        events |= w->channel->write_wants;
    }
    return static_cast<GIOCondition>(events);
}

static bool watch_buffered(TlsWatch *w)
{
    return (w->condition & G_IO_IN) && tls_channel_pending(w->channel->tls);
}

static gboolean watch_prepare(GSource *source, gint *timeout)
{
    TlsWatch *w = reinterpret_cast<TlsWatch *>(source);
    *timeout = -1;
    g_source_modify_unix_fd(source, w->tag, watch_events(w));
    return watch_buffered(w);
}

static gboolean watch_check(GSource *source)
{
    TlsWatch *w = reinterpret_cast<TlsWatch *>(source);
    return (g_source_query_unix_fd(source, w->tag) & watch_events(w)) || watch_buffered(w);
}

static gboolean watch_dispatch(GSource *source, GSourceFunc callback, gpointer user_data)
{
    TlsWatch *w = reinterpret_cast<TlsWatch *>(source);
    if (!callback) {
        return G_SOURCE_REMOVE;
    }
    /* The direction asked for is ready as far as the caller is concerned, whichever the fd showed. */
    int ready = g_source_query_unix_fd(source, w->tag) & (G_IO_ERR | G_IO_HUP);
    ready |= w->condition & (G_IO_IN | G_IO_OUT);
    return reinterpret_cast<GIOFunc>(reinterpret_cast<void (*)(void)>(callback))(&w->channel->base, static_cast<GIOCondition>(ready & w->condition),
                                               user_data);
}

static void watch_finalize(GSource *source)
{
    g_io_channel_unref(&reinterpret_cast<TlsWatch *>(source)->channel->base);
}

static GSourceFuncs kWatchFuncs = {watch_prepare, watch_check, watch_dispatch, watch_finalize, nullptr, nullptr};

static GSource *adapter_create_watch(GIOChannel *channel, GIOCondition condition)
{
    TlsIoChannel *t = adapter_of(channel);
    GSource *source = g_source_new(&kWatchFuncs, sizeof(TlsWatch));
    TlsWatch *w = reinterpret_cast<TlsWatch *>(source);
    g_io_channel_ref(channel);
    w->channel = t;
    w->condition = condition;
    w->tag = g_source_add_unix_fd(source, g_socket_get_fd(t->socket), watch_events(w));
    return source;
}

static void adapter_free(GIOChannel *channel)
{
    TlsIoChannel *t = adapter_of(channel);
    tls_channel_free(t->tls);
    g_socket_close(t->socket, nullptr);
    g_object_unref(t->socket);
    g_free(t);
}

static GIOStatus adapter_set_flags(GIOChannel *, GIOFlags, GError **)
{
    return G_IO_STATUS_NORMAL; /* always non-blocking */
}

static GIOFlags adapter_get_flags(GIOChannel *)
{
    return G_IO_FLAG_NONBLOCK;
}

static GIOFuncs kAdapterFuncs = {adapter_read,         adapter_write, adapter_seek,      adapter_close,
                                 adapter_create_watch, adapter_free,  adapter_set_flags, adapter_get_flags};

/* Takes both; the channel is over the socket's fd. */
static GIOChannel *adapter_new(GSocket *socket, tls_channel_t *tls)
{
    TlsIoChannel *t = g_new0(TlsIoChannel, 1);
    g_io_channel_init(&t->base);
    t->base.funcs = &kAdapterFuncs;
    t->base.is_readable = TRUE;
    t->base.is_writeable = TRUE;
    t->base.is_seekable = FALSE;
    t->tls = tls;
    t->socket = socket;
    t->read_wants = G_IO_IN;
    t->write_wants = G_IO_OUT;
    g_io_channel_set_encoding(&t->base, nullptr, nullptr);
    g_io_channel_set_buffered(&t->base, FALSE);
    return &t->base;
}

/* ---- remotes ---- */

static char *inet_text(GSocketAddress *address, char **port)
{
    GInetSocketAddress *inet = G_INET_SOCKET_ADDRESS(address);
    *port = g_strdup_printf("%u", g_inet_socket_address_get_port(inet));
    return g_inet_address_to_string(g_inet_socket_address_get_address(inet));
}

static char **split_addresses(const char *addresses)
{
    char **split = g_strsplit_set(addresses ? addresses : "", ",;", -1);
    GPtrArray *kept = g_ptr_array_new();
    for (char **p = split; *p; p++) {
        g_strstrip(*p);
        if (**p) {
            g_ptr_array_add(kept, g_strdup(*p));
        }
    }
    g_strfreev(split);
    g_ptr_array_add(kept, nullptr);
    return reinterpret_cast<char **>(g_ptr_array_free(kept, FALSE));
}

/* Every internet address a name resolves to; *error_text when there is none. */
static GList *resolve(GSocketConnectable *connectable, char **error_text)
{
    GList *found = nullptr;
    GSocketAddressEnumerator *e = g_socket_connectable_enumerate(connectable);
    for (;;) {
        GError *gerr = nullptr;
        GSocketAddress *address = g_socket_address_enumerator_next(e, nullptr, &gerr);
        if (!address) {
            if (!found) {
                *error_text = g_strdup(gerr ? gerr->message : "no address");
            }
            g_clear_error(&gerr);
            break;
        }
        if (G_IS_INET_SOCKET_ADDRESS(address)) {
            found = g_list_append(found, address);
        } else {
            g_object_unref(address);
        }
    }
    g_object_unref(e);
    return found;
}

static void add_direct_remotes(char **pieces, GPtrArray *remotes)
{
    for (char **p = pieces; *p; p++) {
        g_message("[qmp-server-tls] resolving address %s", *p);
        GError *gerr = nullptr;
        GSocketConnectable *connectable = g_network_address_parse(*p, 0, &gerr);
        if (!connectable) {
            g_warning("[qmp-server-tls] error resolving address %s: %s", *p, gerr->message);
            g_error_free(gerr);
            continue;
        }
        char *why = nullptr;
        GList *found = resolve(connectable, &why);
        g_object_unref(connectable);
        if (!found) {
            g_warning("[qmp-server-tls] error resolving address %s: %s", *p, why);
            g_free(why);
            continue;
        }
        for (GList *l = found; l; l = l->next) {
            TlsRemote *r = g_new0(TlsRemote, 1);
            r->address = G_SOCKET_ADDRESS(l->data);
            r->fqdn = g_strdup(*p);
            r->host = inet_text(r->address, &r->port);
            g_ptr_array_add(remotes, r);
        }
        g_list_free(found);
    }
}

/* The proxy's address, or NULL when the URL cannot be used (logged). */
static GSocketAddress *resolve_proxy(const char *url)
{
    GError *gerr = nullptr;
    GSocketConnectable *parsed = g_network_address_parse_uri(url, QMP_TLS_PROXY_DEFAULT_PORT, &gerr);
    if (!parsed) {
        g_warning("[qmp-server-tls] failed to parse proxy url %s: %s", url, gerr->message);
        g_error_free(gerr);
        return nullptr;
    }
    GNetworkAddress *net = G_NETWORK_ADDRESS(parsed);
    char *target = g_strdup_printf("%s:%d", g_network_address_get_hostname(net),
                                   static_cast<int>(g_network_address_get_port(net)));
    g_message("[qmp-server-tls] resolving proxy address %s", target);
    char *why = nullptr;
    GList *found = resolve(parsed, &why);
    g_object_unref(parsed);
    GSocketAddress *first = nullptr;
    if (!found) {
        g_warning("[qmp-server-tls] error resolving proxy address %s: %s", target, why);
        g_free(why);
    } else {
        first = G_SOCKET_ADDRESS(g_object_ref(found->data));
        g_list_free_full(found, g_object_unref);
    }
    g_free(target);
    return first;
}

static void add_proxied_remotes(char **pieces, GPtrArray *remotes)
{
    for (char **p = pieces; *p; p++) {
        g_message("[qmp-server-tls] adding address %s", *p);
        GError *gerr = nullptr;
        GSocketConnectable *parsed = g_network_address_parse(*p, 0, &gerr);
        if (!parsed) {
            g_warning("[qmp-server-tls] error parsing address %s: %s", *p, gerr->message);
            g_error_free(gerr);
            continue;
        }
        GNetworkAddress *net = G_NETWORK_ADDRESS(parsed);
        TlsRemote *r = g_new0(TlsRemote, 1);
        r->fqdn = g_strdup(*p);
        r->host = g_strdup(g_network_address_get_hostname(net));
        r->port = g_strdup_printf("%u", g_network_address_get_port(net));
        g_object_unref(parsed);
        g_ptr_array_add(remotes, r);
    }
}

/* Any thread. Leaves the current remotes in place when nothing usable came out. */
static void build_remotes(QmpServerTls *tls)
{
    char **pieces = split_addresses(tls->addresses);
    AGENT_ASSERT(pieces[0] != NULL);
    g_message("[qmp-server-tls] remote addresses: %s, proxy - %s", tls->addresses, tls->proxy ? tls->proxy : "no proxy");
    GPtrArray *remotes = g_ptr_array_new_with_free_func(remote_free);
    GSocketAddress *proxy_address = nullptr;
    if (!tls->proxy) {
        add_direct_remotes(pieces, remotes);
        if (remotes->len == 0) {
            g_warning("[qmp-server-tls] could not DNS resolve provided addresses");
        }
    } else {
        proxy_address = resolve_proxy(tls->proxy);
        if (proxy_address) {
            add_proxied_remotes(pieces, remotes);
        }
        if (remotes->len == 0) {
            g_warning("[qmp-server-tls] could not DNS resolve provided proxy address or parse addresses");
        }
    }
    g_strfreev(pieces);
    if (remotes->len == 0) {
        g_ptr_array_unref(remotes);
        g_clear_object(&proxy_address);
        return;
    }
    char *proxy_host = nullptr;
    char *proxy_port = nullptr;
    if (proxy_address) {
        proxy_host = inet_text(proxy_address, &proxy_port);
    }
    for (guint i = 0; i < remotes->len; i++) {
        TlsRemote *r = static_cast<TlsRemote *>(g_ptr_array_index(remotes, i));
        char *via = proxy_host ? g_strdup_printf(", proxy address %s:%s", proxy_host, proxy_port) : g_strdup("");
        g_debug("[qmp-server-tls] tls remote %d - %s:%s, FQDN - %s%s", static_cast<int>(i + 1), r->host, r->port,
                r->fqdn, via);
        g_free(via);
    }
    g_free(proxy_host);
    g_free(proxy_port);

    g_mutex_lock(&tls->remotes_lock);
    GPtrArray *old = tls->remotes;
    GSocketAddress *old_proxy = tls->proxy_address;
    tls->remotes = remotes;
    tls->proxy_address = proxy_address;
    g_mutex_unlock(&tls->remotes_lock);
    if (old) {
        g_ptr_array_unref(old);
    }
    g_clear_object(&old_proxy);
}

static gpointer resolver_main(gpointer opaque)
{
    QmpServerTls *tls = static_cast<QmpServerTls *>(opaque);
    g_message("[qmp-server-tls] DNS resolution thread running");
    build_remotes(tls);
    tls->resolving.store(false);
    g_message("[qmp-server-tls] DNS resolution thread finished");
    return nullptr;
}

static void start_resolution(QmpServerTls *tls)
{
    if (tls->resolving.exchange(true)) {
        return;
    }
    if (tls->resolver) {
        g_thread_join(tls->resolver);
        tls->resolver = nullptr;
    }
    GError *gerr = nullptr;
    tls->resolver = g_thread_try_new("qmp-tls-resolver", resolver_main, tls, &gerr);
    if (!tls->resolver) {
        g_warning("[qmp-server-tls] failed to start DNS resolution thread: %s", gerr->message);
        g_error_free(gerr);
        tls->resolving.store(false);
    }
}

/* ---- the connection ---- */

static void close_connection(QmpServerTls *tls)
{
    qmp_tls_client_cancel(tls->client);
    tls->client = nullptr;
    if (tls->in_watch) {
        g_source_remove(tls->in_watch);
        tls->in_watch = 0;
    }
    qmp_stream_output_stop(&tls->out);
    tls->out.channel = nullptr;
    if (tls->channel) {
        g_io_channel_shutdown(tls->channel, FALSE, nullptr);
        g_io_channel_unref(tls->channel);
        tls->channel = nullptr;
    }
}

static void fail(QmpServerTls *tls)
{
    close_connection(tls);
    qmp_server_set_state(tls, QMP_SERVER_STATE_FAILED);
}

static void write_failed(QmpServer *server, const Error *err)
{
    g_warning("[qmp-server-tls] failed to write data into TLS channel: %s", error_get_message(err));
    fail(tls_of(server));
}

enum ReadOutcome { READ_KEEP, READ_CLOSED, READ_GONE };

/* Reads until the TLS layer has nothing more; READ_GONE when serving replaced the channel. */
static ReadOutcome read_available(QmpServerTls *tls)
{
    GIOChannel *channel = tls->channel;
    char *buf = static_cast<char *>(g_malloc(QMP_TLS_READ_CHUNK));
    ReadOutcome outcome = READ_KEEP;
    for (;;) {
        gsize got = 0;
        GError *gerr = nullptr;
        GIOStatus status = g_io_channel_read_chars(channel, buf, QMP_TLS_READ_CHUNK, &got, &gerr);
        g_clear_error(&gerr);
        if (status == G_IO_STATUS_NORMAL) {
            g_debug("[qmp-server-tls] inbound (%d bytes): %.*s", static_cast<int>(got), static_cast<int>(got), buf);
            tls->attempts = 0;
            qmp_server_feed(tls, buf, got);
            /* A reply that failed to go out closed the connection while this read was delivering. */
            if (tls->channel != channel) {
                outcome = READ_GONE;
                break;
            }
            if (tls_channel_pending(adapter_of(channel)->tls)) {
                continue;
            }
            break;
        }
        if (status == G_IO_STATUS_AGAIN) {
            break;
        }
        if (status == G_IO_STATUS_EOF) {
            g_message("[qmp-server-tls] received EOF");
        } else if (status == G_IO_STATUS_ERROR) {
            g_warning("[qmp-server-tls] disconnected");
        } else {
            g_warning("[qmp-server-tls] unknown read status %d, closing", static_cast<int>(status));
        }
        outcome = READ_CLOSED;
        break;
    }
    g_free(buf);
    return outcome;
}

static gboolean input_ready(GIOChannel *, GIOCondition, gpointer opaque)
{
    QmpServerTls *tls = static_cast<QmpServerTls *>(opaque);
    switch (read_available(tls)) {
    case READ_KEEP:
        return G_SOURCE_CONTINUE;
    case READ_GONE:
        return G_SOURCE_REMOVE;
    default:
        tls->in_watch = 0; /* this source ends with the G_SOURCE_REMOVE below */
        fail(tls);
        return G_SOURCE_REMOVE;
    }
}

static void client_done(GSocket *socket, tls_channel_t *channel, const Error *err, void *opaque);

/* Under the remotes lock; false when index is past the last remote. */
static bool start_client_locked(QmpServerTls *tls, guint index)
{
    if (!tls->remotes || index >= tls->remotes->len) {
        return false;
    }
    TlsRemote *r = static_cast<TlsRemote *>(g_ptr_array_index(tls->remotes, index));
    tls->current = index;
    g_free(tls->current_host);
    g_free(tls->current_port);
    tls->current_host = g_strdup(r->host);
    tls->current_port = g_strdup(r->port);
    QmpTlsDestination dest = {r->address, r->host, r->port};
    tls_channel_params_t params = {tls->ca_file, tls->client_cert, tls->client_key, tls->remote_name};
    tls->client =
        qmp_tls_client_start(&dest, &params, tls->connect_timeout_ms, client_done, tls->proxy_address, tls);
    return true;
}

static void client_done(GSocket *socket, tls_channel_t *channel, const Error *err, void *opaque)
{
    QmpServerTls *tls = static_cast<QmpServerTls *>(opaque);
    tls->client = nullptr;
    if (!err) {
        tls->channel = adapter_new(socket, channel);
        tls->out.channel = tls->channel;
        tls->in_watch = g_io_add_watch(tls->channel, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                                       input_ready, tls);
        g_free(tls->selected_destination);
        tls->selected_destination = g_strdup_printf("%s:%s", tls->current_host, tls->current_port);
        g_message("[qmp-server-tls] connection established with '%s' and ready to accept commands",
                  tls->selected_destination);
        qmp_server_set_state(tls, QMP_SERVER_STATE_ACTIVE);
        /* The handshake may have brought request bytes along that no fd watch will announce. */
        if (tls->channel && tls->state == QMP_SERVER_STATE_ACTIVE && read_available(tls) == READ_CLOSED) {
            fail(tls);
        }
        return;
    }
    g_warning("[qmp-server-tls] failed to establish TCP/TLS connection: %s", error_get_message(err));
    g_mutex_lock(&tls->remotes_lock);
    bool next = false;
    if (tls->remotes && tls->current + 1 < tls->remotes->len) {
        TlsRemote *r = static_cast<TlsRemote *>(g_ptr_array_index(tls->remotes, tls->current + 1));
        char *where = g_strdup_printf("%s:%s", r->host, r->port);
        g_message("[qmp-server-tls] TCP/TLS connect to next remote - %s -%s", where, r->fqdn);
        g_free(where);
        next = start_client_locked(tls, tls->current + 1);
    }
    g_mutex_unlock(&tls->remotes_lock);
    if (!next) {
        qmp_server_set_state(tls, QMP_SERVER_STATE_FAILED);
    }
}

/* ---- operations ---- */

static bool tls_run(QmpServer *server, Error **errp)
{
    QmpServerTls *tls = tls_of(server);
    if (tls->state != QMP_SERVER_STATE_INACTIVE && tls->state != QMP_SERVER_STATE_FAILED) {
        g_warning("[qmp-server-tls] failed to run from state '%s'", qmp_server_state_name(tls->state));
        error_setg(errp, "failed to run from state '%s'", qmp_server_state_name(tls->state));
        return false;
    }
    if (++tls->attempts >= tls->threshold) {
        tls->attempts = 0;
        start_resolution(tls);
    }
    g_mutex_lock(&tls->remotes_lock);
    bool started = start_client_locked(tls, 0);
    g_mutex_unlock(&tls->remotes_lock);
    qmp_server_set_state(tls, QMP_SERVER_STATE_CONNECTING);
    if (!started) {
        /* Nothing resolved yet: fail now, the manager's reruns resolve again in time. */
        g_warning("[qmp-server-tls] failed to establish TCP/TLS connection: %s", "no resolved remote address");
        qmp_server_set_state(tls, QMP_SERVER_STATE_FAILED);
    }
    return true;
}

static void tls_stop(QmpServer *server)
{
    QmpServerTls *tls = tls_of(server);
    close_connection(tls);
    if (tls->state != QMP_SERVER_STATE_INACTIVE) {
        qmp_server_set_state(tls, QMP_SERVER_STATE_INACTIVE);
    }
}

static void tls_send(QmpServer *server, char *text, QmpReplyType type)
{
    QmpServerTls *tls = tls_of(server);
    qmp_server_stream_send(tls, &tls->out, text, type);
}

static InetSocketAddressList *prepend_address(InetSocketAddressList *list, const char *host, const char *port)
{
    InetSocketAddressList *item = g_new0(InetSocketAddressList, 1);
    item->value = g_new0(InetSocketAddress, 1);
    item->value->host = g_strdup(host);
    item->value->port = g_strdup(port);
    item->next = list;
    return item;
}

static InetSocketAddressList *tls_allowed_addresses(QmpServer *server)
{
    QmpServerTls *tls = tls_of(server);
    InetSocketAddressList *list = nullptr;
    g_mutex_lock(&tls->remotes_lock);
    if (tls->proxy_address) {
        char *port = nullptr;
        char *host = inet_text(tls->proxy_address, &port);
        list = prepend_address(list, host, port);
        g_free(host);
        g_free(port);
    } else if (tls->remotes) {
        for (guint i = tls->remotes->len; i > 0; i--) {
            TlsRemote *r = static_cast<TlsRemote *>(g_ptr_array_index(tls->remotes, i - 1));
            list = prepend_address(list, r->host, r->port);
        }
    }
    g_mutex_unlock(&tls->remotes_lock);
    return list;
}

static void tls_destroy(QmpServer *server)
{
    QmpServerTls *tls = tls_of(server);
    close_connection(tls);
    if (tls->resolver) {
        g_thread_join(tls->resolver);
        tls->resolver = nullptr;
    }
    qmp_server_finalize(tls);
    if (tls->remotes) {
        g_ptr_array_unref(tls->remotes);
    }
    g_clear_object(&tls->proxy_address);
    g_mutex_clear(&tls->remotes_lock);
    g_free(tls->addresses);
    g_free(tls->proxy);
    g_free(tls->ca_file);
    g_free(tls->client_cert);
    g_free(tls->client_key);
    g_free(tls->remote_name);
    g_free(tls->current_host);
    g_free(tls->current_port);
    delete tls;
}

static const QmpServerOps kTlsOps = {
    tls_destroy, tls_run, tls_stop, tls_send, tls_allowed_addresses,
};

static int resolve_threshold(void)
{
    const char *text = g_getenv("FQDN_TRY_COUNT_THRESHOLD");
    if (!text) {
        return QMP_SERVER_TLS_RESOLVE_THRESHOLD;
    }
    char *end = nullptr;
    long value = strtol(text, &end, 10);
    /* Zero or less would re-resolve on every run, or never; neither is meant. */
    if (end == text || *end != '\0' || value <= 0 || value > G_MAXINT) {
        return QMP_SERVER_TLS_RESOLVE_THRESHOLD;
    }
    return static_cast<int>(value);
}

QmpServer *qmp_server_new_tls(const char *addresses, const char *proxy, const tls_channel_params_t *params,
                              uint32_t connect_timeout_ms)
{
    AGENT_ASSERT(params != NULL);
    QmpServerTls *tls = new QmpServerTls();
    qmp_server_init(tls, "qmp-server-tls", &kTlsOps);
    g_mutex_init(&tls->remotes_lock);
    tls->addresses = g_strdup(addresses ? addresses : "");
    tls->proxy = proxy && *proxy ? g_strdup(proxy) : nullptr;
    tls->ca_file = g_strdup(params->ca_file);
    tls->client_cert = g_strdup(params->client_cert);
    tls->client_key = g_strdup(params->client_key);
    tls->remote_name = g_strdup(params->remote_name);
    tls->connect_timeout_ms = connect_timeout_ms;
    tls->threshold = resolve_threshold();
    tls->supports_push = true;
    tls->supports_reconnect = true;
    tls->aggregator = true;
    tls->out.failed = write_failed;
    build_remotes(tls);
    return tls;
}
