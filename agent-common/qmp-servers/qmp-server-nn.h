/*
 * The nanomsg REP command server on an IPC address: one request at a time, replies sent
 * without blocking the main loop, and a failed socket left FAILED for the manager to
 * rerun.
 */
#pragma once

struct QmpServer;

/* Creates the server (INACTIVE; nothing is bound until it runs). */
QmpServer *qmp_server_new_nn(const char *ipc_address);
