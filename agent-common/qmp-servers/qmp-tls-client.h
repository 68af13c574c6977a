/*
 * One outgoing TLS connection attempt to the management side, directly or through an
 * HTTP proxy tunnel, driven from the main loop without ever blocking it: a non-blocking
 * TCP connect, the proxy CONNECT exchange, then the TLS handshake, all polled every 25 ms
 * and bounded by one time-out. The completion runs exactly once, on the main loop and
 * never from within qmp_tls_client_start.
 */
#pragma once

#include <gio/gio.h>

#include <cstdint>

#include "agent-common/tls-channel.h"

struct Error;
struct QmpTlsClient;

/* Where the attempt goes. address is used only without a proxy (the proxy resolves host). */
struct QmpTlsDestination {
    GSocketAddress *address;
    const char *host;
    const char *port;
};

/*
 * On success socket and channel are the caller's (the channel is over the socket's fd;
 * free the channel before closing the socket) and err is NULL; on failure both are NULL
 * and err (owned by the client, valid during the call) says why. The client is freed
 * once this returns.
 */
typedef void (*QmpTlsClientDone)(GSocket *socket, tls_channel_t *channel, const Error *err, void *opaque);

/*
 * Copies dest, params and proxy_address (NULL: a direct connection). timeout_ms bounds
 * the whole attempt ("connection failed after timeout").
 */
QmpTlsClient *qmp_tls_client_start(const QmpTlsDestination *dest, const tls_channel_params_t *params,
                                   uint32_t timeout_ms, QmpTlsClientDone done, GSocketAddress *proxy_address,
                                   void *opaque);

/* Abandons an attempt that has not completed: the completion never runs. NULL-safe. */
void qmp_tls_client_cancel(QmpTlsClient *client);
