/*
 * The module side of the device socket (frames in endr-device-frame.h): one connection
 * is one open device handle. Requests may be issued from many threads at once; each waits
 * for its own answer. Every function returns a Win32 error code: 0 for success.
 */
#pragma once

#include <cstdint>

struct endr_client;

/* 2 when nothing answers at path (no driver loaded), else the daemon's open result. */
uint32_t endr_client_open(const char *path, endr_client **client);
/*
 * One request: in is the 16-byte header, out the output buffer. The caller buffers the
 * header (and a connection or log request inside it) points at travel with the request
 * and come back filled for the requests that return data. 1167 when the daemon is gone.
 */
uint32_t endr_client_ioctl(endr_client *client, uint32_t code, const void *in, uint32_t in_len, void *out,
                           uint32_t out_len, uint32_t *returned);
/*
 * A request sent without waiting for its answer, for requests that return nothing (no
 * output buffer, no caller memory written back, none that may wait). Requests sent this
 * way run in the order sent. group: 0, or a number from endr_client_group; once a request
 * of a group fails, the later ones of that group are not run and end with 1235. On
 * success *pending must be passed to endr_client_ioctl_wait exactly once.
 */
struct endr_pending;
uint32_t endr_client_group(endr_client *client);
uint32_t endr_client_ioctl_send(endr_client *client, uint32_t code, const void *in, uint32_t in_len, uint32_t group,
                                endr_pending **pending);
/* The result of a sent request (1167 when the daemon went away before answering). */
uint32_t endr_client_ioctl_wait(endr_client *client, endr_pending *pending);
/* Waiting requests end with 995, later ones fail with 6, as when a handle is closed. */
void endr_client_cancel(endr_client *client);
/* Disconnects once the daemon has released what this handle held. No request may be in progress. */
void endr_client_close(endr_client *client);
