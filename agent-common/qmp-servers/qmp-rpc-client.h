/*
 * Commands this module sends to its sibling modules over their IPC command sockets.
 *
 * Destinations are registered by id with their IPC address; each gets one REQ socket,
 * opened on first use, and a queue served strictly one request at a time on the main
 * loop. qmp_rpc_client_run_async_command and qmp_rpc_client_finalize_request may be
 * called from any thread: they only post work to the main loop (the default GLib
 * context), where every socket operation and every completion runs.
 */
#pragma once

#include <glib.h>

struct Error;
struct QObject;
struct qmp_rpc_request;

/*
 * Called once on the main loop: with the parsed reply (owned by the callee; "return"
 * or "error" are the caller's to read) or, when the exchange failed, with err set.
 * err stays the client's. Never called once qmp_rpc_client_finalize_request was called
 * for the request, even when its reply had already arrived.
 */
typedef void (*qmp_rpc_completion)(qmp_rpc_request *request, QObject *reply, Error *err, void *context);

/* A second call is a fatal assertion. */
void qmp_rpc_client_init(void);
/* false with "qmp rpc client with this id already exists" when id is taken. */
bool qmp_rpc_client_register(int id, const char *ipc_address, Error **errp);
/*
 * Queues "{"execute": "<command>", "arguments": {<args_fmt...>}}\n" for destination id.
 * recv_timeout_ms 0 means 5 seconds; negative is a fatal assertion. The returned handle
 * stays valid until the caller passes it to qmp_rpc_client_finalize_request, which it
 * must do exactly once (after or before the completion).
 */
qmp_rpc_request *qmp_rpc_client_run_async_command(int id, int recv_timeout_ms, qmp_rpc_completion completion,
                                                  void *context, const char *command, const char *args_fmt, ...)
    __attribute__((format(printf, 6, 7)));
void qmp_rpc_client_finalize_request(qmp_rpc_request *request);
/*
 * One request and its reply on a socket of its own, blocking the caller (any thread) at
 * most about timeout_ms in all. Returns the parsed reply (owned by the caller) or NULL
 * with errp set; a reply carrying "error" is returned as it is.
 */
QObject *qmp_rpc_client_call_sync(int id, int timeout_ms, Error **errp, const char *command, const char *args_fmt,
                                  ...) __attribute__((format(printf, 5, 6)));
/* Frees every destination: queued requests without completion, sources, sockets. */
void qmp_rpc_client_cleanup(void);
