/*
 * Command executor: one thread that runs requests through the dispatcher off the main
 * loop and hands each outcome back to the main loop (default main context) as an idle
 * callback. A request whose server reconnected since it was queued is not run.
 */
#pragma once

#include <cstdint>

struct QObject;
struct QmpServer;
struct QmpCommandExecutor;

struct QmpCommandContext {
    char *command_name;       /* owned */
    int64_t enqueue_time_us;  /* monotonic */
    uint32_t generation;      /* the server's generation at enqueue time */
};

/*
 * Runs on the main loop. text (owned by the completion) is the result on success or
 * the error object otherwise; NULL on success from a command registered without a
 * success reply. ctx stays the executor's and is freed after the call.
 */
typedef void (*QmpCommandCompletion)(bool success, char *text, QmpServer *server, QmpCommandContext *ctx);

/* Starts the thread named name; NULL when it cannot start. */
QmpCommandExecutor *qmp_command_executor_new(const char *name);
/*
 * Queues request with one new reference; takes ownership of ctx (g_free of it and its
 * name). NULL executor, server, request or completion is a fatal assertion.
 */
void qmp_command_executor_dispatch(QmpCommandExecutor *executor, QmpServer *server, QObject *request,
                                   QmpCommandCompletion completion, QmpCommandContext *ctx);
/*
 * Stops the thread after the command it is running, drops what is still queued and
 * cancels completions not yet delivered. Main-loop thread; NULL-safe.
 */
void qmp_command_executor_destroy(QmpCommandExecutor *executor);
