#include "agent-common/nnmsg-channel.h"

#include <glib.h>
#include <nanomsg/nn.h>
#include <nanomsg/pipeline.h>

#include <atomic>
#include <cerrno>

namespace {

std::atomic<int> s_report_socket{-1};
/* Shared by every sender: the receiver is one, whichever thread found it behind. */
std::atomic<bool> s_receiver_keeps_up{true};

/* *nn_err gets the nanomsg error of a failed send (0 when none applies). */
bool send_once(int socket, const void *msg, size_t len, int *nn_err, Error **errp)
{
    *nn_err = 0;
    if (socket < 0) {
        error_setg(errp, "channel is not initialized, dropping event");
        return false;
    }
    int rc = nn_send(socket, msg, len, NN_DONTWAIT);
    if (rc >= 0 && static_cast<size_t>(rc) == len) {
        return true;
    }
    int err = rc >= 0 ? 0 : nn_errno();
    *nn_err = err;
    if (err == 0 || err == EBADF) {
        error_setg(errp, "channel already closed");
    } else {
        error_setg(errp, "error sending message on nanomsg channel: %s", nn_strerror(err));
    }
    return false;
}

} // namespace

int nnmsg_channel_open_push(const char *address)
{
    g_debug("[nnmsg-channel-rpc] opening push channel to: %s", address);
    int sock = nn_socket(AF_SP, NN_PUSH);
    if (sock < 0) {
        g_critical("[nnmsg-channel-rpc] error creating nanomsg channel: %s\n", nn_strerror(nn_errno()));
        return -1;
    }
    int timeout = NNMSG_CHANNEL_SEND_TIMEOUT_MS;
    if (nn_setsockopt(sock, NN_SOL_SOCKET, NN_SNDTIMEO, &timeout, sizeof(timeout)) < 0) {
        g_critical("[nnmsg-channel-rpc] failed to set socket send timeout: %s", nn_strerror(nn_errno()));
        nn_close(sock);
        return -1;
    }
    if (nn_connect(sock, address) < 0) {
        g_critical("[nnmsg-channel-rpc] error connecting channel: %s\n", nn_strerror(nn_errno()));
        nn_close(sock);
        return -1;
    }
    return sock;
}

bool send_msg_on_push_channel(int socket, const void *msg, size_t len, Error **errp)
{
    int nn_err = 0;
    return send_once(socket, msg, len, &nn_err, errp);
}

int nnmsg_channel_wait_peer(int socket, int timeout_ms)
{
    gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(timeout_ms) * 1000;
    for (;;) {
        if (nn_get_statistic(socket, NN_STAT_CURRENT_CONNECTIONS) > 0) {
            return 1;
        }
        if (nn_get_statistic(socket, NN_STAT_CONNECT_ERRORS) > 0) {
            return 0;
        }
        if (g_get_monotonic_time() >= deadline) {
            return -1;
        }
        g_usleep(1000);
    }
}

bool nnmsg_channel_send_timeout(int socket, const void *msg, size_t len, int timeout_ms, Error **errp)
{
    int64_t deadline = g_get_monotonic_time() + static_cast<int64_t>(timeout_ms) * 1000;
    for (;;) {
        Error *err = nullptr;
        int nn_err = 0;
        if (send_once(socket, msg, len, &nn_err, &err)) {
            return true;
        }
        int64_t left_ms = (deadline - g_get_monotonic_time()) / 1000;
        if (nn_err != EAGAIN || left_ms <= 0) {
            error_propagate(errp, err);
            return false;
        }
        error_free(err);
        struct nn_pollfd pfd = {socket, NN_POLLOUT, 0};
        /* Another sender may take the room first: poll again until the deadline. */
        if (nn_poll(&pfd, 1, static_cast<int>(left_ms)) < 0 && nn_errno() != EINTR) {
            return send_once(socket, msg, len, &nn_err, errp);
        }
    }
}

void nnmsg_channel_close(int socket)
{
    if (socket < 0) {
        return;
    }
    if (nn_close(socket) < 0 && nn_errno() != EBADF) {
        g_critical("[nnmsg-channel-rpc] failed to close nnmsg socket: %s", nn_strerror(nn_errno()));
    }
}

void nnmsg_channel_set_report_socket(int socket)
{
    s_report_socket.store(socket);
}

int nnmsg_channel_report_socket(void)
{
    return s_report_socket.load();
}

bool nnmsg_channel_report_send(const void *msg, size_t len, Error **errp)
{
    int socket = s_report_socket.load();
    bool sent = s_receiver_keeps_up.load()
                    ? nnmsg_channel_send_timeout(socket, msg, len, NNMSG_CHANNEL_REPORT_WAIT_MS, errp)
                    : send_msg_on_push_channel(socket, msg, len, errp);
    s_receiver_keeps_up.store(sent);
    return sent;
}
