/*
 * Push channels: the nanomsg PUSH socket on which the module reports its network events.
 *
 * A push socket with no peer, or whose peer stopped reading and whose buffer is full, would
 * hold a blocking sender for the whole send timeout; the senders run on the driver's read
 * path, which must not stall for a receiver that is absent or slow. So
 * send_msg_on_push_channel fails at once in that case (the nanomsg error "Resource
 * temporarily unavailable") and the caller counts the event as dropped. A receiver that
 * reads still needs a moment for the previous message, and another thread's, to leave:
 * the module's senders go through nnmsg_channel_report_send, which waits that moment.
 *
 * Every function is safe from any thread; nanomsg sockets accept concurrent sends.
 */
#pragma once

#include <cstddef>

#include "util/error.h"

#define NNMSG_CHANNEL_SEND_TIMEOUT_MS 10000
/* The module's report channel, relative to its working folder. */
#define NNMSG_CHANNEL_REPORT_ADDRESS "ipc://holvenstad_en_report.ipc"

/* Creates a PUSH socket with the send timeout and connects it to address (the peer may come
 * later: nanomsg keeps reconnecting). Returns the socket, or -1 with a critical log line. */
int nnmsg_channel_open_push(const char *address);

/* Sends the whole message without waiting. Fails with "channel is not initialized, dropping
 * event" for socket -1, "channel already closed" once the socket is gone, and otherwise
 * "error sending message on nanomsg channel: %s". */
bool send_msg_on_push_channel(int socket, const void *msg, size_t len, Error **errp);

/* As send_msg_on_push_channel, but waits up to timeout_ms for a peer with room. */
bool nnmsg_channel_send_timeout(int socket, const void *msg, size_t len, int timeout_ms, Error **errp);

/*
 * After nn_connect on socket: waits up to timeout_ms for the peer. 1: connected; 0: an
 * attempt failed and none is up (nobody listens: a request would only wait out its
 * time-out); -1: neither happened in time.
 */
int nnmsg_channel_wait_peer(int socket, int timeout_ms);

/* Closes the socket; -1 is ignored. */
void nnmsg_channel_close(int socket);

/* The module-wide report channel: set once at start, read by every event sender, -1 when
 * none is open. */
void nnmsg_channel_set_report_socket(int socket);
int nnmsg_channel_report_socket(void);

/* How long a report send waits for room while the receiver keeps up. */
#define NNMSG_CHANNEL_REPORT_WAIT_MS 1000
/*
 * Sends on the module's report channel. Waits up to NNMSG_CHANNEL_REPORT_WAIT_MS for room;
 * once a send found none (a receiver absent or not keeping up), later sends of any thread
 * do not wait until one goes through again. Errors as send_msg_on_push_channel.
 */
bool nnmsg_channel_report_send(const void *msg, size_t len, Error **errp);
