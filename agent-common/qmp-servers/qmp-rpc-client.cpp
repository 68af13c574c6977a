#include "agent-common/qmp-servers/qmp-rpc-client.h"

#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "agent-common/nnmsg-channel.h"
#include "qobject/qjson.h"
#include "qobject/qobject.h"
#include "util/agent-assert.h"
#include "util/error.h"

#define RPC_DEFAULT_RECV_TIMEOUT_US 5000000
#define RPC_RECV_RETRY_MS 75
#define RPC_SEND_MAX_RETRIES 10
#define RPC_REINIT_DELAY_MS 50
/* A send only queues the request inside the library; this bounds the rare case where even
 * that would block, so the whole call stays within the caller's time-out. */
#define RPC_SYNC_SEND_TIMEOUT_MS 250

enum RpcRequestState {
    RPC_REQUEST_QUEUED = 0,
    RPC_REQUEST_SENDING = 1,
    RPC_REQUEST_RECEIVING = 2,
    RPC_REQUEST_FINISHED = 3,
};

struct qmp_rpc_request {
    int id = 0;
    int64_t recv_timeout_us = 0;
    qmp_rpc_completion completion = nullptr;
    void *context = nullptr;
    char *text = nullptr;
    int len = 0;
    int send_retries = 0;
    int64_t deadline = 0;
    bool finalize_requested = false;
    /* Set by the caller's thread at once; the op that frees the request may come later. */
    std::atomic<bool> released{false};
    uint32_t request_id = 0;
    RpcRequestState state = RPC_REQUEST_QUEUED;
};

namespace {

struct RpcEntry {
    int id = 0;
    char *address = nullptr;
    int sock = -1;
    GQueue queue = G_QUEUE_INIT;
    qmp_rpc_request *running = nullptr;
    guint send_watch = 0;
    guint recv_watch = 0;
    guint reinit_watch = 0;
    uint32_t next_request_id = 0;
};

enum RpcOpKind { RPC_OP_ENQUEUE, RPC_OP_FINALIZE };

struct RpcOp {
    RpcOpKind kind;
    qmp_rpc_request *request;
};

struct RpcClientCtx {
    /* id -> RpcEntry; written on the main loop, read by synchronous callers under lock. */
    GHashTable *entries = nullptr;
    /* Every request not yet freed: a handle released after cleanup must not be touched. */
    GHashTable *live = nullptr;
    /* Work posted from any thread, run in order by one idle source. */
    GQueue ops = G_QUEUE_INIT;
    guint ops_watch = 0;
};

RpcClientCtx rpc_client_ctx;
GMutex rpc_client_lock;

} // namespace

static void request_free(qmp_rpc_request *request)
{
    g_mutex_lock(&rpc_client_lock);
    if (rpc_client_ctx.live) {
        g_hash_table_remove(rpc_client_ctx.live, request);
    }
    g_mutex_unlock(&rpc_client_lock);
    g_free(request->text);
    delete request;
}

static RpcEntry *entry_lookup(int id)
{
    if (!rpc_client_ctx.entries) {
        return nullptr;
    }
    return static_cast<RpcEntry *>(g_hash_table_lookup(rpc_client_ctx.entries, GINT_TO_POINTER(id)));
}

static void remove_source(guint *watch)
{
    if (*watch) {
        g_source_remove(*watch);
        *watch = 0;
    }
}

static void close_socket(RpcEntry *entry)
{
    remove_source(&entry->send_watch);
    remove_source(&entry->recv_watch);
    if (entry->sock >= 0) {
        nn_close(entry->sock);
        entry->sock = -1;
    }
}

static void start(RpcEntry *entry);

static gboolean reinit_cb(gpointer opaque)
{
    RpcEntry *entry = static_cast<RpcEntry *>(opaque);
    entry->reinit_watch = 0;
    start(entry);
    return G_SOURCE_REMOVE;
}

static void socket_failed(RpcEntry *entry, Error *err)
{
    qmp_rpc_request *request = entry->running;
    entry->running = nullptr;
    close_socket(entry);
    if (request) {
        request->state = RPC_REQUEST_FINISHED;
        if (request->finalize_requested) {
            request_free(request);
        } else if (!request->released) {
            request->completion(request, nullptr, err, request->context);
        }
    }
    error_free(err);
    if (!g_queue_is_empty(&entry->queue)) {
        AGENT_ASSERT(0 == entry->reinit_watch);
        entry->reinit_watch = g_timeout_add(RPC_REINIT_DELAY_MS, reinit_cb, entry);
    }
}

static gboolean send_cb(gpointer opaque);

static void schedule_send(RpcEntry *entry)
{
    if (!entry->send_watch) {
        entry->send_watch = g_idle_add(send_cb, entry);
    }
}

static void finish_with_reply(RpcEntry *entry, qmp_rpc_request *request, const char *data, int len)
{
    request->state = RPC_REQUEST_FINISHED;
    entry->running = nullptr;
    if (request->finalize_requested) {
        request_free(request);
        return;
    }
    if (request->released) {
        return;
    }
    Error *err = nullptr;
    QObject *reply = qobject_from_json_len(data, static_cast<size_t>(len), &err);
    if (!reply && !err) {
        /* Nothing but blanks: the caller is promised a value or an error. */
        error_setg(&err, "empty reply for rpc async request");
    }
    request->completion(request, reply, err, request->context);
    error_free(err);
}

static gboolean recv_cb(gpointer opaque)
{
    RpcEntry *entry = static_cast<RpcEntry *>(opaque);
    entry->recv_watch = 0;
    qmp_rpc_request *request = entry->running;
    AGENT_ASSERT(request);
    AGENT_ASSERT(RPC_REQUEST_RECEIVING == request->state);
    AGENT_ASSERT(request->deadline);

    void *buf = nullptr;
    int rc = nn_recv(entry->sock, &buf, NN_MSG, NN_DONTWAIT);
    if (rc < 0) {
        int errnum = nn_errno();
        Error *err = nullptr;
        if (errnum == EAGAIN) {
            if (g_get_monotonic_time() < request->deadline) {
                entry->recv_watch = g_timeout_add(RPC_RECV_RETRY_MS, recv_cb, entry);
                return G_SOURCE_REMOVE;
            }
            error_setg(&err, "recv timeout reached for rpc async request");
        } else {
            error_setg(&err, "nn socket error on recv: %s", nn_strerror(errnum));
        }
        g_warning("[qmp-rpc-client] [request-id=%u] failed to recv response message: %s via %s", request->request_id,
                  error_get_message(err), entry->address);
        socket_failed(entry, err);
        return G_SOURCE_REMOVE;
    }
    g_debug("[qmp-rpc-client] [request-id=%u] recv completed from %s (bytes=%d): %.*s", request->request_id,
            entry->address, rc, rc, static_cast<const char *>(buf));
    finish_with_reply(entry, request, static_cast<const char *>(buf), rc);
    if (nn_freemsg(buf) < 0) {
        g_warning("[qmp-rpc-client] failed to release nanomsg message reply: %s", nn_strerror(nn_errno()));
    }
    schedule_send(entry);
    return G_SOURCE_REMOVE;
}

static gboolean send_cb(gpointer opaque)
{
    RpcEntry *entry = static_cast<RpcEntry *>(opaque);
    if (!entry->running) {
        qmp_rpc_request *next = static_cast<qmp_rpc_request *>(g_queue_pop_head(&entry->queue));
        if (!next) {
            g_debug("[qmp-rpc-client] all queued requests to %s are sent", entry->address);
            entry->send_watch = 0;
            return G_SOURCE_REMOVE;
        }
        g_debug("[qmp-rpc-client] [request-id=%u] pop from queue", next->request_id);
        next->state = RPC_REQUEST_SENDING;
        next->send_retries = 0;
        entry->running = next;
    }
    qmp_rpc_request *request = entry->running;
    int rc = nn_send(entry->sock, request->text, static_cast<size_t>(request->len), NN_DONTWAIT);
    int errnum = rc < 0 ? nn_errno() : 0;
    if (rc < 0 && errnum == EAGAIN && request->send_retries < RPC_SEND_MAX_RETRIES) {
        request->send_retries++;
        g_debug("[qmp-rpc-client] [request-id=%u] retry send to %s", request->request_id, entry->address);
        return G_SOURCE_CONTINUE;
    }
    entry->send_watch = 0;
    if (rc == request->len) {
        g_debug("[qmp-rpc-client] [request-id=%u] sent completed to %s", request->request_id, entry->address);
        request->state = RPC_REQUEST_RECEIVING;
        request->deadline = g_get_monotonic_time() + request->recv_timeout_us;
        entry->recv_watch = g_idle_add(recv_cb, entry);
        return G_SOURCE_REMOVE;
    }
    Error *err = nullptr;
    /* A short count leaves errno meaningless; report it as the I/O fault it is. */
    error_setg(&err, "nn socket error on send: %s", nn_strerror(rc < 0 ? errnum : EIO));
    g_warning("[qmp-rpc-client] [request-id=%u] failed to send request: %s via %s", request->request_id,
              error_get_message(err), entry->address);
    socket_failed(entry, err);
    return G_SOURCE_REMOVE;
}

static bool open_socket(RpcEntry *entry)
{
    entry->sock = nn_socket(AF_SP, NN_REQ);
    if (entry->sock < 0) {
        int errnum = nn_errno();
        if (errnum == EBADF || errnum == ETERM) {
            g_debug("[qmp-rpc-client] not calling agent command because agent is already terminated");
        } else {
            g_critical("[qmp-rpc-client] failed to create nanomsg socket: %s", nn_strerror(errnum));
        }
        return false;
    }
    int linger = 0;
    if (nn_setsockopt(entry->sock, NN_SOL_SOCKET, NN_LINGER, &linger, sizeof linger) < 0) {
        g_critical("[qmp-rpc-client] error setting NN_LINGER for agent command socket: %s", nn_strerror(nn_errno()));
        return false;
    }
    g_debug("[qmp-rpc-client] connecting to agent IPC: %s", entry->address);
    if (nn_connect(entry->sock, entry->address) < 0) {
        g_critical("[qmp-rpc-client] failed to connect to agent IPC: %s", nn_strerror(nn_errno()));
        return false;
    }
    /* Replies are polled for, but a socket that cannot give its receive descriptor is broken. */
    int fd = -1;
    size_t fd_len = sizeof fd;
    if (nn_getsockopt(entry->sock, NN_SOL_SOCKET, NN_RCVFD, &fd, &fd_len) < 0) {
        g_critical("[qmp-rpc-client] failed to get nanomsg socket recvfd: %s", nn_strerror(nn_errno()));
        return false;
    }
    return true;
}

static void start(RpcEntry *entry)
{
    if (entry->sock < 0 && !open_socket(entry)) {
        agent_fatal_error("[qmp-rpc-client] Could not init socket for qmp rpc client - %s", entry->address);
    }
    if (!entry->running && !entry->send_watch) {
        g_debug("[qmp-rpc-client] start sending new request");
        schedule_send(entry);
    }
}

static void enqueue(qmp_rpc_request *request)
{
    RpcEntry *entry = entry_lookup(request->id);
    if (!entry) {
        agent_fatal_error("[qmp-rpc-client] Attempt to use unregistered qmp rpc client - %d", request->id);
    }
    request->request_id = ++entry->next_request_id;
    g_debug("[qmp-rpc-client] [request-id=%u] rpc request to %s enqueued (bytes=%d): %.*s", request->request_id,
            entry->address, request->len, request->len, request->text);
    g_queue_push_tail(&entry->queue, request);
    if (!entry->reinit_watch) {
        start(entry);
    }
}

static void finalize(qmp_rpc_request *request)
{
    AGENT_ASSERT(!request->finalize_requested);
    if (request->state == RPC_REQUEST_QUEUED) {
        g_debug("[qmp-rpc-client] finalizing enqueued request");
        RpcEntry *entry = entry_lookup(request->id);
        if (entry) {
            g_queue_remove(&entry->queue, request);
        }
        request_free(request);
    } else if (request->state == RPC_REQUEST_FINISHED) {
        g_debug("[qmp-rpc-client] finalizing finished request");
        request_free(request);
    } else {
        g_debug("[qmp-rpc-client] finalizing in progress request");
        request->finalize_requested = true;
    }
}

static gboolean ops_cb(gpointer)
{
    for (;;) {
        g_mutex_lock(&rpc_client_lock);
        RpcOp *op = static_cast<RpcOp *>(g_queue_pop_head(&rpc_client_ctx.ops));
        bool live = op && rpc_client_ctx.live && g_hash_table_contains(rpc_client_ctx.live, op->request);
        if (!op) {
            rpc_client_ctx.ops_watch = 0;
        }
        g_mutex_unlock(&rpc_client_lock);
        if (!op) {
            return G_SOURCE_REMOVE;
        }
        if (op->kind == RPC_OP_ENQUEUE) {
            enqueue(op->request);
        } else if (live) {
            finalize(op->request);
        } else {
            g_debug("[qmp-rpc-client] ignoring finalization of a request already released");
        }
        delete op;
    }
}

static void post(RpcOpKind kind, qmp_rpc_request *request)
{
    g_mutex_lock(&rpc_client_lock);
    g_queue_push_tail(&rpc_client_ctx.ops, new RpcOp{kind, request});
    if (!rpc_client_ctx.ops_watch) {
        rpc_client_ctx.ops_watch = g_idle_add(ops_cb, nullptr);
    }
    g_mutex_unlock(&rpc_client_lock);
}

void qmp_rpc_client_init(void)
{
    g_mutex_lock(&rpc_client_lock);
    AGENT_ASSERT(NULL == rpc_client_ctx.entries);
    rpc_client_ctx.entries = g_hash_table_new(g_direct_hash, g_direct_equal);
    if (!rpc_client_ctx.live) {
        rpc_client_ctx.live = g_hash_table_new(g_direct_hash, g_direct_equal);
    }
    g_mutex_unlock(&rpc_client_lock);
}

bool qmp_rpc_client_register(int id, const char *ipc_address, Error **errp)
{
    AGENT_ASSERT(rpc_client_ctx.entries);
    AGENT_ASSERT(ipc_address);
    if (entry_lookup(id)) {
        error_setg(errp, "qmp rpc client with this id already exists");
        return false;
    }
    RpcEntry *entry = new RpcEntry;
    entry->id = id;
    entry->address = g_strdup(ipc_address);
    g_mutex_lock(&rpc_client_lock);
    g_hash_table_insert(rpc_client_ctx.entries, GINT_TO_POINTER(id), entry);
    g_mutex_unlock(&rpc_client_lock);
    return true;
}

/* The request line; NULL when the arguments cannot be formatted or the line outgrows an int. */
static char *format_line(const char *command, const char *args_fmt, va_list ap, int *len)
{
    char *args = g_strdup_vprintf(args_fmt ? args_fmt : "", ap);
    if (!args) {
        return nullptr;
    }
    char *text = g_strdup_printf("{\"execute\": \"%s\", \"arguments\": {%s}}\n", command, args);
    g_free(args);
    size_t n = strlen(text);
    if (n > INT_MAX) {
        g_free(text);
        return nullptr;
    }
    *len = static_cast<int>(n);
    return text;
}

qmp_rpc_request *qmp_rpc_client_run_async_command(int id, int recv_timeout_ms, qmp_rpc_completion completion,
                                                  void *context, const char *command, const char *args_fmt, ...)
{
    AGENT_ASSERT(recv_timeout_ms >= 0);
    AGENT_ASSERT(completion);
    AGENT_ASSERT(command);
    qmp_rpc_request *request = new qmp_rpc_request;
    request->id = id;
    request->recv_timeout_us =
        recv_timeout_ms ? static_cast<int64_t>(recv_timeout_ms) * 1000 : RPC_DEFAULT_RECV_TIMEOUT_US;
    request->completion = completion;
    request->context = context;
    va_list ap;
    va_start(ap, args_fmt);
    request->text = format_line(command, args_fmt, ap, &request->len);
    va_end(ap);
    AGENT_ASSERT(request->text);
    g_mutex_lock(&rpc_client_lock);
    if (!rpc_client_ctx.live) {
        rpc_client_ctx.live = g_hash_table_new(g_direct_hash, g_direct_equal);
    }
    g_hash_table_add(rpc_client_ctx.live, request);
    g_mutex_unlock(&rpc_client_lock);
    post(RPC_OP_ENQUEUE, request);
    return request;
}

void qmp_rpc_client_finalize_request(qmp_rpc_request *request)
{
    if (!request) {
        return;
    }
    /* The caller may free the context right after this call, before the posted op runs:
     * a reply already waiting must not reach the completion in between. */
    g_mutex_lock(&rpc_client_lock);
    if (rpc_client_ctx.live && g_hash_table_contains(rpc_client_ctx.live, request)) {
        request->released = true;
    }
    g_mutex_unlock(&rpc_client_lock);
    post(RPC_OP_FINALIZE, request);
}

static void entry_destroy(RpcEntry *entry)
{
    g_debug("[qmp-rpc-client] destroying qmp rpc client - %s", entry->address);
    remove_source(&entry->reinit_watch);
    close_socket(entry);
    while (qmp_rpc_request *request = static_cast<qmp_rpc_request *>(g_queue_pop_head(&entry->queue))) {
        request_free(request);
    }
    if (entry->running) {
        request_free(entry->running);
        entry->running = nullptr;
    }
    g_free(entry->address);
    delete entry;
}

void qmp_rpc_client_cleanup(void)
{
    g_debug("[qmp-rpc-client] cleanup");
    g_mutex_lock(&rpc_client_lock);
    GHashTable *entries = rpc_client_ctx.entries;
    rpc_client_ctx.entries = nullptr;
    GQueue ops = rpc_client_ctx.ops;
    g_queue_init(&rpc_client_ctx.ops);
    guint ops_watch = rpc_client_ctx.ops_watch;
    rpc_client_ctx.ops_watch = 0;
    g_mutex_unlock(&rpc_client_lock);

    if (ops_watch) {
        g_source_remove(ops_watch);
    }
    /* Requests still on their way to a queue are freed with everything else below. */
    while (RpcOp *op = static_cast<RpcOp *>(g_queue_pop_head(&ops))) {
        delete op;
    }
    if (entries) {
        GHashTableIter it;
        gpointer value = nullptr;
        g_hash_table_iter_init(&it, entries);
        while (g_hash_table_iter_next(&it, nullptr, &value)) {
            entry_destroy(static_cast<RpcEntry *>(value));
        }
        g_hash_table_destroy(entries);
    }

    /* Finished requests the callers have not released yet, and those never enqueued. */
    g_mutex_lock(&rpc_client_lock);
    GHashTable *live = rpc_client_ctx.live;
    rpc_client_ctx.live = nullptr;
    g_mutex_unlock(&rpc_client_lock);
    if (live) {
        GHashTableIter it;
        gpointer key = nullptr;
        g_hash_table_iter_init(&it, live);
        while (g_hash_table_iter_next(&it, &key, nullptr)) {
            qmp_rpc_request *request = static_cast<qmp_rpc_request *>(key);
            g_free(request->text);
            delete request;
        }
        g_hash_table_destroy(live);
    }
}

static bool copy_address(int id, char **address, Error **errp)
{
    g_mutex_lock(&rpc_client_lock);
    RpcEntry *entry = entry_lookup(id);
    *address = entry ? g_strdup(entry->address) : nullptr;
    g_mutex_unlock(&rpc_client_lock);
    if (!*address) {
        error_setg(errp, "qmp rpc client with id %d is not registered", id);
        return false;
    }
    return true;
}

static QObject *exchange(int sock, const char *address, int timeout_ms, const char *text, int len, Error **errp)
{
    int linger = 0;
    int send_timeout = timeout_ms < RPC_SYNC_SEND_TIMEOUT_MS ? timeout_ms : RPC_SYNC_SEND_TIMEOUT_MS;
    if (nn_setsockopt(sock, NN_SOL_SOCKET, NN_LINGER, &linger, sizeof linger) < 0 ||
        nn_setsockopt(sock, NN_SOL_SOCKET, NN_SNDTIMEO, &send_timeout, sizeof send_timeout) < 0 ||
        nn_setsockopt(sock, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout_ms, sizeof timeout_ms) < 0) {
        error_setg(errp, "nn socket error on setsockopt: %s", nn_strerror(nn_errno()));
        return nullptr;
    }
    if (nn_connect(sock, address) < 0) {
        error_setg(errp, "nn socket error on connect: %s", nn_strerror(nn_errno()));
        return nullptr;
    }
    /* A REQ socket holds a request for a peer that may never come; a refused connection
     * fails the call now instead of after the whole receive time-out. */
    if (nnmsg_channel_wait_peer(sock, send_timeout) == 0) {
        error_setg(errp, "nn socket error on connect: %s", nn_strerror(ECONNREFUSED));
        return nullptr;
    }
    int rc = nn_send(sock, text, static_cast<size_t>(len), 0);
    if (rc != len) {
        error_setg(errp, "nn socket error on send: %s", nn_strerror(rc < 0 ? nn_errno() : EIO));
        return nullptr;
    }
    void *buf = nullptr;
    rc = nn_recv(sock, &buf, NN_MSG, 0);
    if (rc < 0) {
        int errnum = nn_errno();
        if (errnum == ETIMEDOUT) {
            error_setg(errp, "recv timeout reached for rpc sync request to %s", address);
        } else {
            error_setg(errp, "nn socket error on recv: %s", nn_strerror(errnum));
        }
        return nullptr;
    }
    g_debug("[qmp-rpc-client] sync recv completed from %s (bytes=%d): %.*s", address, rc, rc,
            static_cast<const char *>(buf));
    Error *err = nullptr;
    QObject *reply = qobject_from_json_len(static_cast<const char *>(buf), static_cast<size_t>(rc), &err);
    nn_freemsg(buf);
    if (!reply && !err) {
        error_setg(&err, "empty reply for rpc sync request");
    }
    error_propagate(errp, err);
    return reply;
}

QObject *qmp_rpc_client_call_sync(int id, int timeout_ms, Error **errp, const char *command, const char *args_fmt,
                                  ...)
{
    AGENT_ASSERT(timeout_ms >= 0);
    AGENT_ASSERT(command);
    if (timeout_ms == 0) {
        timeout_ms = RPC_DEFAULT_RECV_TIMEOUT_US / 1000;
    }
    char *address = nullptr;
    if (!copy_address(id, &address, errp)) {
        return nullptr;
    }
    int len = 0;
    va_list ap;
    va_start(ap, args_fmt);
    char *text = format_line(command, args_fmt, ap, &len);
    va_end(ap);
    QObject *reply = nullptr;
    if (!text) {
        error_setg(errp, "rpc request to %s could not be formatted", address);
    } else {
        int sock = nn_socket(AF_SP, NN_REQ);
        if (sock < 0) {
            error_setg(errp, "nn socket error on create: %s", nn_strerror(nn_errno()));
        } else {
            g_debug("[qmp-rpc-client] sync rpc request to %s (bytes=%d): %.*s", address, len, len, text);
            reply = exchange(sock, address, timeout_ms, text, len, errp);
            nn_close(sock);
        }
    }
    g_free(text);
    g_free(address);
    return reply;
}
