#include "agent-common/qmp-servers/qmp-command-executor.h"

#include <glib.h>

#include <unordered_set>

#include "agent-common/qmp-servers/qmp-server.h"
#include "qapi/qmp-dispatch.h"
#include "qobject/qobject.h"
#include "util/agent-assert.h"
#include "util/error.h"

namespace {

enum ItemKind { ITEM_COMMAND = 0, ITEM_STOP = 1 };

struct Item {
    ItemKind kind;
    QmpServer *server;
    QObject *request;
    QmpCommandCompletion completion;
    QmpCommandContext *ctx;
};

/*
 * An outcome on its way to the main loop. QObject reference counts are not atomic, so
 * the request's reference is given back there too.
 */
struct Delivery {
    QmpCommandExecutor *executor;
    GSource *source;
    bool run; /* false: dropped, only the reference goes */
    bool success;
    char *text;
    Item *item;
};

}

struct QmpCommandExecutor {
    char *name;
    GAsyncQueue *queue;
    GThread *thread;
    GMutex lock;
    std::unordered_set<Delivery *> pending; /* under lock */
};

static void free_context(QmpCommandContext *ctx)
{
    if (ctx) {
        g_free(ctx->command_name);
        g_free(ctx);
    }
}

static void free_item(Item *item)
{
    if (item->request) {
        qobject_decref(item->request);
    }
    free_context(item->ctx);
    g_free(item);
}

static void free_delivery(Delivery *d)
{
    g_free(d->text);
    free_item(d->item);
    g_free(d);
}

static gboolean deliver(gpointer opaque)
{
    Delivery *d = static_cast<Delivery *>(opaque);
    QmpCommandExecutor *executor = d->executor;
    g_mutex_lock(&executor->lock);
    executor->pending.erase(d);
    g_mutex_unlock(&executor->lock);
    if (d->run) {
        char *text = d->text;
        d->text = nullptr;
        d->item->completion(d->success, text, d->item->server, d->item->ctx);
    }
    g_source_unref(d->source);
    free_delivery(d);
    return G_SOURCE_REMOVE;
}

static void post(QmpCommandExecutor *executor, Item *item, bool run, bool success, char *text)
{
    Delivery *d = g_new0(Delivery, 1);
    d->executor = executor;
    d->run = run;
    d->success = success;
    d->text = text;
    d->item = item;
    d->source = g_idle_source_new();
    g_source_set_callback(d->source, deliver, d, nullptr);
    g_mutex_lock(&executor->lock);
    executor->pending.insert(d);
    g_source_attach(d->source, nullptr);
    g_mutex_unlock(&executor->lock);
}

static gpointer executor_thread(gpointer opaque)
{
    QmpCommandExecutor *executor = static_cast<QmpCommandExecutor *>(opaque);
    for (;;) {
        Item *item = static_cast<Item *>(g_async_queue_pop(executor->queue));
        if (item->kind == ITEM_STOP) {
            g_debug("[qmp-command-executor] %s received destroy notification, exiting thread", executor->name);
            free_item(item);
            break;
        }
        if (item->ctx->generation != item->server->generation.load()) {
            g_warning("[qmp-command-executor] %s dequeued old command from before reconnection, dropping %s",
                      executor->name, item->ctx->command_name);
            post(executor, item, false, false, nullptr);
            continue;
        }
        g_debug("[qmp-command-executor] %s dequeued command from server %s", executor->name, item->server->name);
        Error *err = nullptr;
        char *text = do_qmp_dispatch(item->request, &err);
        /* A command without a success reply leaves no text and no error. */
        bool success = err == nullptr;
        if (!success) {
            g_free(text);
            g_warning("[qmp-command-executor]  [%s] (command from %s) error inside qmp command is: '%s'",
                      executor->name, item->server->name, error_get_message(err));
            text = qmp_error_object(err);
            error_free(err);
        }
        post(executor, item, true, success, text);
    }
    g_debug("[qmp-command-executor] %s thread done", executor->name);
    return nullptr;
}

QmpCommandExecutor *qmp_command_executor_new(const char *name)
{
    QmpCommandExecutor *executor = new QmpCommandExecutor();
    executor->name = g_strdup(name);
    executor->queue = g_async_queue_new();
    g_mutex_init(&executor->lock);
    GError *gerr = nullptr;
    executor->thread = g_thread_try_new(name, executor_thread, executor, &gerr);
    if (!executor->thread) {
        g_critical("[qmp-command-executor] failed starting qmp executor thread: %s", gerr->message);
        g_error_free(gerr);
        g_async_queue_unref(executor->queue);
        g_mutex_clear(&executor->lock);
        g_free(executor->name);
        delete executor;
        return nullptr;
    }
    return executor;
}

void qmp_command_executor_dispatch(QmpCommandExecutor *executor, QmpServer *server, QObject *request,
                                   QmpCommandCompletion completion, QmpCommandContext *ctx)
{
    AGENT_ASSERT(NULL != executor);
    AGENT_ASSERT(NULL != server);
    AGENT_ASSERT(NULL != request);
    AGENT_ASSERT(NULL != completion);
    Item *item = g_new0(Item, 1);
    item->kind = ITEM_COMMAND;
    item->server = server;
    qobject_incref(request);
    item->request = request;
    item->completion = completion;
    item->ctx = ctx;
    g_debug("[qmp-command-executor] %s enqueued command from server %s", executor->name, server->name);
    g_async_queue_push(executor->queue, item);
}

void qmp_command_executor_destroy(QmpCommandExecutor *executor)
{
    if (!executor) {
        return;
    }
    g_debug("[qmp-command-executor] removing executor - %s", executor->name);
    Item *stop = g_new0(Item, 1);
    stop->kind = ITEM_STOP;
    g_async_queue_push_front(executor->queue, stop);
    g_thread_join(executor->thread);
    while (Item *item = static_cast<Item *>(g_async_queue_try_pop(executor->queue))) {
        free_item(item);
    }
    g_async_queue_unref(executor->queue);
    /* The thread is gone, so nothing is added any more; outcomes not yet delivered go. */
    for (Delivery *d : executor->pending) {
        g_source_destroy(d->source);
        g_source_unref(d->source);
        free_delivery(d);
    }
    executor->pending.clear();
    g_mutex_clear(&executor->lock);
    g_free(executor->name);
    delete executor;
}
