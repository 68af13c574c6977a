#include "agent-common/qmp-servers/qmp-manager.h"

#include <cstdarg>
#include <map>
#include <vector>

#include "agent-common/qmp-servers/qmp-command-executor.h"
#include "agent-common/qmp-servers/qmp-server.h"
#include "util/agent-assert.h"
#include "util/error.h"

#define QMP_MANAGER_RECONNECT_DEFAULT 5u

namespace {
struct QmpManager {
    GMainLoop *main_loop = nullptr;
    std::vector<QmpServer *> servers;
    QmpServer *push_server = nullptr;
    QmpServer *aggregator = nullptr;
    bool terminating = false;
    unsigned reconnect_interval = QMP_MANAGER_RECONNECT_DEFAULT;
    QmpCommandExecutor *executor = nullptr;
    std::map<QmpServer *, guint> reconnects; /* pending reruns */
};

/* The status fields are read by commands on other threads. */
GMutex s_status_lock;
bool s_running_offline = false;
char *s_selected_destination = nullptr;
}

static QmpManager *g_main_qmp_manager = nullptr;

static void quit_main_loop(void)
{
    if (g_main_qmp_manager->main_loop) {
        g_main_loop_quit(g_main_qmp_manager->main_loop);
    }
}

static void set_running_offline(bool offline)
{
    g_message("[qmp-manager] update running offline to : %s", offline ? "true" : "false");
    g_mutex_lock(&s_status_lock);
    s_running_offline = offline;
    g_mutex_unlock(&s_status_lock);
}

static gboolean rerun_server(gpointer opaque)
{
    QmpServer *server = static_cast<QmpServer *>(opaque);
    g_main_qmp_manager->reconnects.erase(server);
    g_message("[qmp-manager] reconnect");
    Error *err = nullptr;
    if (!qmp_server_run(server, &err)) {
        g_critical("[qmp-manager] %s - failed to re-run, dead forever...", server->name);
        error_free(err);
    }
    return G_SOURCE_REMOVE;
}

static void on_failed(QmpManager *m, QmpServer *server)
{
    if (server->supports_reconnect) {
        if (m->reconnect_interval == 0) {
            g_critical("[qmp-manager] Channel supposed to reconnect, but no interval set, terminating");
            quit_main_loop();
            return;
        }
        if (m->reconnects.count(server)) {
            return;
        }
        g_message("[qmp-manager] scheduling server reconnect with interval - %u", m->reconnect_interval);
        m->reconnects[server] = g_timeout_add_seconds(m->reconnect_interval, rerun_server, server);
        return;
    }
    if (server->required) {
        g_critical("[qmp-manager] %s server does not support reconnect, but required to be running!", server->name);
        quit_main_loop();
    }
}

static void manager_state_changed(QmpServer *server, QmpServerState, QmpServerState new_state, void *)
{
    QmpManager *m = g_main_qmp_manager;
    if (!m || m->terminating) {
        return;
    }
    if (new_state == QMP_SERVER_STATE_FAILED) {
        on_failed(m, server);
    }
    if (server != m->aggregator) {
        return;
    }
    if (new_state == QMP_SERVER_STATE_ACTIVE) {
        if (server->selected_destination) {
            g_message("[qmp-manager] update selected SSL destination to :%s", server->selected_destination);
            g_mutex_lock(&s_status_lock);
            g_free(s_selected_destination);
            s_selected_destination = g_strdup(server->selected_destination);
            g_mutex_unlock(&s_status_lock);
        }
        set_running_offline(false);
    } else if (new_state == QMP_SERVER_STATE_INACTIVE || new_state == QMP_SERVER_STATE_FAILED) {
        set_running_offline(true);
    }
}

void qmp_manager_init(GMainLoop *main_loop, bool with_executor)
{
    AGENT_ASSERT(NULL == g_main_qmp_manager);
    QmpManager *m = new QmpManager();
    m->main_loop = main_loop ? g_main_loop_ref(main_loop) : nullptr;
    if (with_executor) {
        m->executor = qmp_command_executor_new("main-executor");
        if (!m->executor) {
            g_warning("[qmp-manager] failed to create command executor - running qmp server without it");
        }
    }
    g_mutex_lock(&s_status_lock);
    s_running_offline = false;
    g_free(s_selected_destination);
    s_selected_destination = nullptr;
    g_mutex_unlock(&s_status_lock);
    g_main_qmp_manager = m;
}

void qmp_manager_set_reconnect_interval(unsigned interval_sec)
{
    AGENT_ASSERT(NULL != g_main_qmp_manager);
    g_main_qmp_manager->reconnect_interval = interval_sec;
}

void qmp_manager_register_server(QmpServer *server)
{
    AGENT_ASSERT(NULL != g_main_qmp_manager);
    AGENT_ASSERT(NULL != server);
    QmpManager *m = g_main_qmp_manager;
    g_message("[qmp-manager] register - %s", server->name);
    server->state_cb = manager_state_changed;
    server->state_opaque = m;
    qmp_server_set_executor(server, m->executor);
    if (server->supports_push) {
        m->push_server = server;
    }
    if (server->aggregator) {
        if (m->aggregator) {
            g_warning("[qmp-manager] overwrite current aggregator qmp server");
        }
        m->aggregator = server;
    }
    m->servers.push_back(server);
}

bool qmp_manager_run(void)
{
    AGENT_ASSERT(NULL != g_main_qmp_manager);
    bool all = true;
    /* A copy: a failure below may quit the loop but never changes the list. */
    std::vector<QmpServer *> servers = g_main_qmp_manager->servers;
    for (QmpServer *server : servers) {
        g_message("[qmp-manager] attempt to run - %s", server->name);
        Error *err = nullptr;
        if (qmp_server_run(server, &err)) {
            continue;
        }
        all = false;
        g_warning("[qmp-server] [%s] failed to run", server->name);
        error_free(err);
        /* A start failure is handled like a lost channel: rerun later, or stop when required. */
        if (server->state != QMP_SERVER_STATE_FAILED) {
            qmp_server_set_state(server, QMP_SERVER_STATE_FAILED);
        }
    }
    return all;
}

void qmp_manager_cleanup(void)
{
    QmpManager *m = g_main_qmp_manager;
    if (!m) {
        return;
    }
    g_debug("[qmp-manager] cleanup");
    m->terminating = true;
    qmp_command_executor_destroy(m->executor);
    m->executor = nullptr;
    for (auto &entry : m->reconnects) {
        g_source_remove(entry.second);
    }
    m->reconnects.clear();
    for (QmpServer *server : m->servers) {
        qmp_server_stop(server);
        qmp_server_destroy(server);
    }
    m->servers.clear();
    if (m->main_loop) {
        g_main_loop_unref(m->main_loop);
    }
    g_main_qmp_manager = nullptr;
    delete m;
}

static gboolean deliver_push(gpointer opaque)
{
    char *text = static_cast<char *>(opaque);
    QmpManager *m = g_main_qmp_manager;
    if (!m || !m->push_server) {
        g_warning("[qmp-manager] Push notification qmp server does not exists");
        g_free(text);
        return G_SOURCE_REMOVE;
    }
    if (m->push_server->state != QMP_SERVER_STATE_ACTIVE) {
        g_warning("[qmp-manager] could not send push notification, server is inactive, push notification deleted");
        g_free(text);
        return G_SOURCE_REMOVE;
    }
    g_debug("[qmp-manager] enqueue push notification");
    qmp_server_push_event(m->push_server, text);
    return G_SOURCE_REMOVE;
}

void qmp_manager_push_event(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char *text = g_strdup_vprintf(fmt, ap);
    va_end(ap);
    g_idle_add(deliver_push, text);
}

InetSocketAddressList *qmp_manager_get_allow_addresses(void)
{
    QmpManager *m = g_main_qmp_manager;
    if (!m || !m->aggregator || !m->aggregator->ops->get_allowed_addresses) {
        return nullptr;
    }
    return m->aggregator->ops->get_allowed_addresses(m->aggregator);
}

bool qmp_manager_is_running_offline(void)
{
    g_mutex_lock(&s_status_lock);
    bool offline = s_running_offline;
    g_mutex_unlock(&s_status_lock);
    return offline;
}

char *qmp_manager_get_selected_destination(void)
{
    g_mutex_lock(&s_status_lock);
    char *dest = g_strdup(s_selected_destination);
    g_mutex_unlock(&s_status_lock);
    return dest;
}
