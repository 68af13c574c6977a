/*
 * Command server core shared by every channel kind. A kind derives from QmpServer,
 * calls qmp_server_init from its constructor and fills in the operations; the core
 * turns received bytes into requests, runs them (here or on the command executor)
 * and hands framed replies to the kind's send operation.
 *
 * Everything here runs on the main-loop thread, except that the command executor
 * reads the generation from its own thread.
 */
#pragma once

#include <glib.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "qapi/qmp-dispatch.h"
#include "qobject/json-streamer.h"

struct Error;
struct InetSocketAddressList;
struct QmpCommandExecutor;
struct QmpServer;

enum QmpServerState : int32_t {
    QMP_SERVER_STATE_INACTIVE = 0,
    QMP_SERVER_STATE_CONNECTING = 1,
    QMP_SERVER_STATE_ACTIVE = 2,
    QMP_SERVER_STATE_FAILED = 3,
};

/* "INACTIVE", "CONNECTING", "ACTIVE", "FAILED". */
const char *qmp_server_state_name(QmpServerState state);

typedef void (*QmpServerStateFn)(QmpServer *server, QmpServerState old_state,
                                 QmpServerState new_state, void *opaque);

struct QmpServerOps {
    /* Releases the kind's resources, then qmp_server_finalize, then frees the object. */
    void (*destroy)(QmpServer *server);
    bool (*run)(QmpServer *server, Error **errp);
    void (*stop)(QmpServer *server);
    /* Takes ownership of text (the reply body). */
    void (*send)(QmpServer *server, char *text, QmpReplyType type);
    /* Optional; an owned list. */
    InetSocketAddressList *(*get_allowed_addresses)(QmpServer *server);
};

enum QmpReplyPart {
    QMP_REPLY_PART_PREFIX = 0,
    QMP_REPLY_PART_BODY = 1,
    QMP_REPLY_PART_SUFFIX = 2,
    QMP_REPLY_PART_DONE = 3,
};

struct QmpReply {
    const char *prefix;
    char *body;
    size_t body_len;
    const char *suffix;
    size_t pos;
    QmpReplyPart part;
};

/* Takes ownership of body. */
QmpReply *qmp_reply_new(QmpReplyType type, char *body);
void qmp_reply_free(QmpReply *reply);

/* The AGGREGATOR_CONN_TMR_MINS default, in seconds. */
#define QMP_SERVER_AGGREGATOR_TIMEOUT_DEFAULT 600u

struct QmpServer {
    JSONMessageParser parser;
    const char *name = nullptr;
    QmpServerState state = QMP_SERVER_STATE_INACTIVE;
    QmpServerStateFn state_cb = nullptr;
    void *state_opaque = nullptr;
    const QmpServerOps *ops = nullptr;
    GQueue reply_queue = G_QUEUE_INIT; /* of QmpReply */
    QmpReply *current_reply = nullptr;
    bool reply_in_progress = false;
    bool supports_push = false;
    bool supports_reconnect = false;
    bool required = false;
    bool aggregator = false;
    char *selected_destination = nullptr; /* "host:port" */
    QmpCommandExecutor *executor = nullptr;
    std::atomic<uint32_t> generation{0};
    guint reconnect_timer = 0;
    guint reconnect_interval = QMP_SERVER_AGGREGATOR_TIMEOUT_DEFAULT; /* seconds */
    /* A reset asked for while the parser is delivering waits until it returns. */
    int feeding = 0;
    bool reset_pending = false;
    /* Top-level values handed to the request handler so far. */
    uint64_t requests_seen = 0;
    /* Request/reply channel: every request is answered, also by a command without a success reply. */
    bool reply_required = false;
    /*
     * Message channel: the values of one message are held until qmp_server_end_message,
     * which runs the message only when it was exactly one value.
     */
    bool whole_messages = false;
    QObject *message_value = nullptr;
    Error *message_error = nullptr;
    int message_values = 0;
};

/* Called by each kind's constructor. */
void qmp_server_init(QmpServer *server, const char *name, const QmpServerOps *ops);
/* Releases the core's parts; called by the kind's destroy operation. */
void qmp_server_finalize(QmpServer *server);

bool qmp_server_run(QmpServer *server, Error **errp);
void qmp_server_stop(QmpServer *server);
/* NULL-safe. */
void qmp_server_destroy(QmpServer *server);
/* Takes ownership of text. */
void qmp_server_send(QmpServer *server, char *text, QmpReplyType type);

void qmp_server_set_state(QmpServer *server, QmpServerState state);
/* Takes ownership of text; sent as an Event when the kind supports pushes. */
void qmp_server_push_event(QmpServer *server, char *text);
void qmp_server_set_executor(QmpServer *server, QmpCommandExecutor *executor);

/* Received bytes go through these so that a state change while delivering is safe. */
void qmp_server_feed(QmpServer *server, const char *data, size_t len);
void qmp_server_flush(QmpServer *server);
/*
 * For a whole-message kind, after the message was fed and flushed: runs it when it was
 * exactly one value, else answers one error and runs nothing.
 */
void qmp_server_end_message(QmpServer *server);

/*
 * Writes what is left of reply from its saved position. A would-block returns true
 * with the reply unfinished (part below QMP_REPLY_PART_DONE); a write error returns
 * false with "failed to write message to io channel".
 */
bool qmp_write_response_io_channel(GIOChannel *channel, QmpReply *reply, Error **errp);

/*
 * Output side of the TCP kind: a reply is written at once when
 * none is in progress; an unfinished reply stays current and an output watch finishes
 * it and then the queued ones in order.
 */
struct QmpStreamOutput {
    GIOChannel *channel = nullptr;
    guint watch = 0;
    /* Optional; after each whole reply. */
    void (*written)(QmpServer *server) = nullptr;
    /* The kind closes its channels and fails the server. */
    void (*failed)(QmpServer *server, const Error *err) = nullptr;
};
/*
 * Reads one chunk of up to 20480 bytes into the parser. False when the channel is
 * finished (end of input, an error), logged under tag; the kind then closes and fails.
 */
bool qmp_server_stream_read(QmpServer *server, GIOChannel *channel, const char *tag);
/* Takes ownership of text; dropped unless the server is ACTIVE with a connection. */
void qmp_server_stream_send(QmpServer *server, QmpStreamOutput *out, char *text, QmpReplyType type);
/* Removes the output watch. */
void qmp_stream_output_stop(QmpStreamOutput *out);
