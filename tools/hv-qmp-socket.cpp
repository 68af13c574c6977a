#include "tools/hv-qmp-socket.h"

#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>

#include <cerrno>
#include <climits>

int hv_qmp_socket_open(int timeout_ms)
{
    int sock = nn_socket(AF_SP, NN_REQ);
    if (sock < 0) {
        return -1;
    }
    int send_timeout = HV_QMP_SEND_TIMEOUT_MS;
    /* A request sent again while the module still runs the first would run the command twice:
     * no resend before this client has given up waiting. */
    int resend_ms = timeout_ms > INT_MAX - HV_QMP_SEND_TIMEOUT_MS ? INT_MAX : timeout_ms + HV_QMP_SEND_TIMEOUT_MS;
    int max_size = -1;
    if (nn_setsockopt(sock, NN_SOL_SOCKET, NN_SNDTIMEO, &send_timeout, sizeof send_timeout) < 0 ||
        nn_setsockopt(sock, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout_ms, sizeof timeout_ms) < 0 ||
        nn_setsockopt(sock, NN_REQ, NN_REQ_RESEND_IVL, &resend_ms, sizeof resend_ms) < 0 ||
        nn_setsockopt(sock, NN_SOL_SOCKET, NN_RCVMAXSIZE, &max_size, sizeof max_size) < 0) {
        int saved = nn_errno();
        nn_close(sock);
        errno = saved;
        return -1;
    }
    return sock;
}
