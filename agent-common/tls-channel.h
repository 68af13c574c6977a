/*
 * The client end of a TLS connection to the management side, over a connected stream
 * socket that the caller owns (the channel never closes it).
 *
 * Nothing here blocks: every step returns at once and, when it cannot go on, says which
 * direction it waits for. A GLib caller watches tls_channel_get_fd() for
 * tls_channel_wanted() and calls the same step again when the watch fires. Decrypted
 * bytes may stay buffered inside the channel, where no fd watch sees them: after a read,
 * keep reading while tls_channel_pending() is true.
 *
 * The peer is verified: its chain against the certificate authority file, its validity
 * dates, and its certificate against the expected remote name (a host name, also sent as
 * SNI, or an IP address). A refused handshake names its cause in the error text, logs it
 * and counts it in the agent metrics as "tls.refused.<cause>" (tls_refusal_name).
 *
 * One channel is used by one thread at a time; different channels are independent.
 */
#pragma once

#include <glib.h>

#include <cstddef>

struct Error;
struct tls_channel_t;

struct tls_channel_params_t {
    const char *ca_file;     /* PEM certificate authorities the peer must chain to; required */
    const char *client_cert; /* PEM certificate shown to the peer; NULL or "" for none */
    const char *client_key;  /* PEM key of client_cert; given exactly when client_cert is */
    const char *remote_name; /* host name or IP address the peer certificate must carry; required */
};

enum tls_status {
    TLS_STATUS_OK = 0,         /* the handshake is done, or bytes were moved */
    TLS_STATUS_WANT_READ = 1,  /* call again once the fd is readable */
    TLS_STATUS_WANT_WRITE = 2, /* call again once the fd is writable */
    TLS_STATUS_CLOSED = 3,     /* the peer ended the connection */
    TLS_STATUS_ERROR = 4,      /* failed for good; *errp says why */
};

enum tls_refusal {
    TLS_REFUSAL_NONE = 0,
    TLS_REFUSAL_UNKNOWN_CA,      /* the peer's chain does not lead to the configured authority */
    TLS_REFUSAL_NAME_MISMATCH,   /* the peer certificate is for another name */
    TLS_REFUSAL_EXPIRED,         /* a certificate of the chain has expired */
    TLS_REFUSAL_NOT_YET_VALID,   /* a certificate of the chain is not valid yet */
    TLS_REFUSAL_BAD_CERTIFICATE, /* any other verification failure */
    TLS_REFUSAL_NOT_TLS,         /* the peer answered with something that is not TLS */
    TLS_REFUSAL_PEER_REFUSED,    /* the peer sent a fatal alert (it refused us) */
    TLS_REFUSAL_HANDSHAKE,       /* any other handshake failure, e.g. the peer hung up */
};

/* Process-wide library set-up; idempotent, any thread. */
bool tls_channel_global_init(Error **errp);

/*
 * Loads the authority file and the client certificate and key (the key must match the
 * certificate) and prepares the handshake over fd. NULL with *errp when a parameter is
 * missing or a file cannot be used; nothing is sent yet.
 */
tls_channel_t *tls_channel_new(int fd, const tls_channel_params_t *params, Error **errp);

/*
 * One step of the handshake: OK when it is complete (again OK on later calls), WANT_READ
 * or WANT_WRITE, or ERROR with the refusal's cause in *errp and tls_channel_get_refusal().
 */
tls_status tls_channel_handshake(tls_channel_t *channel, Error **errp);

/*
 * Reads up to len decrypted bytes (len > 0) into buf: OK with *done > 0, WANT_READ or
 * WANT_WRITE (the protocol may need either), CLOSED once the peer has ended the
 * connection (orderly or not), or ERROR. Before the handshake completes, it drives the
 * handshake first. *done is 0 unless OK.
 */
tls_status tls_channel_read(tls_channel_t *channel, void *buf, size_t len, size_t *done, Error **errp);

/*
 * Writes up to len bytes (len > 0): OK with 0 < *done <= len bytes taken (possibly fewer
 * than len, like a socket), WANT_WRITE or WANT_READ, CLOSED when the peer is gone or has
 * ended the connection, or ERROR. After a WANT_*, call again with the same bytes (at least
 * as many; the same buf address is not required).
 */
tls_status tls_channel_write(tls_channel_t *channel, const void *buf, size_t len, size_t *done, Error **errp);

/* True when decrypted bytes are buffered that a read returns without touching the fd. */
bool tls_channel_pending(const tls_channel_t *channel);

/*
 * Sends the closing alert once, without waiting for the peer's; best effort, nothing is
 * sent after an error or before the handshake completed. Further reads and writes give
 * CLOSED. Idempotent.
 */
void tls_channel_shutdown(tls_channel_t *channel);

/* Frees the channel (NULL-safe); the fd stays open. */
void tls_channel_free(tls_channel_t *channel);

int tls_channel_get_fd(const tls_channel_t *channel);
/* G_IO_IN or G_IO_OUT: the direction the last WANT_* status asked for (G_IO_IN before any). */
GIOCondition tls_channel_wanted(const tls_channel_t *channel);
/* The cause of a refused handshake, TLS_REFUSAL_NONE otherwise. */
tls_refusal tls_channel_get_refusal(const tls_channel_t *channel);
/* "unknown_ca", "name_mismatch", "expired", "not_yet_valid", "bad_certificate", "not_tls",
 * "peer_refused", "handshake"; "none" for TLS_REFUSAL_NONE. */
const char *tls_refusal_name(tls_refusal refusal);
