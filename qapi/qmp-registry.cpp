#include "qapi/qmp-registry.h"

#include <glib.h>

#include "util/agent-assert.h"

static GHashTable *s_commands;

static void command_free(gpointer data)
{
    QmpCommand *cmd = static_cast<QmpCommand *>(data);
    g_free(cmd->name);
    g_free(cmd);
}

void qmp_register_command(const char *name, QmpCommandFunc fn, int options)
{
    if (!s_commands) {
        s_commands = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, command_free);
    }
    if (g_hash_table_contains(s_commands, name)) {
        agent_fatal_error("[qmp registry] QMP command '%s' is being registered more than once", name);
    }
    QmpCommand *cmd = g_new0(QmpCommand, 1);
    cmd->name = g_strdup(name);
    cmd->type = QCT_NORMAL;
    cmd->fn = fn;
    cmd->options = options;
    cmd->enabled = true;
    g_hash_table_insert(s_commands, g_strdup(name), cmd);
}

QmpCommand *qmp_find_command(const char *name)
{
    if (!s_commands) {
        return nullptr;
    }
    return static_cast<QmpCommand *>(g_hash_table_lookup(s_commands, name));
}

static void toggle_command(const char *name, bool enabled)
{
    QmpCommand *cmd = qmp_find_command(name);
    if (!cmd) {
        agent_fatal_error("[qmp-registry] can't toggle command '%s' to enabled=%s, command doesn't exist",
                          name, enabled ? "true" : "false");
    }
    cmd->enabled = enabled;
}

void qmp_enable_command(const char *name)
{
    toggle_command(name, true);
}

void qmp_disable_command(const char *name)
{
    toggle_command(name, false);
}

bool qmp_command_is_enabled(const QmpCommand *cmd)
{
    return cmd->enabled;
}

const char *qmp_command_name(const QmpCommand *cmd)
{
    return cmd->name;
}

bool qmp_has_success_response(const QmpCommand *cmd)
{
    return !(cmd->options & QCO_NO_SUCCESS_RESP);
}

void qmp_for_each_command(void (*fn)(QmpCommand *cmd, void *opaque), void *opaque)
{
    AGENT_ASSERT(NULL != fn);
    if (!s_commands) {
        return;
    }
    GHashTableIter iter;
    gpointer value;
    g_hash_table_iter_init(&iter, s_commands);
    while (g_hash_table_iter_next(&iter, nullptr, &value)) {
        fn(static_cast<QmpCommand *>(value), opaque);
    }
}

void qmp_registry_cleanup(void)
{
    if (!s_commands) {
        return;
    }
    g_debug("[qmp registry] %llu QMP commands in dispatch table on cleanup",
            static_cast<unsigned long long>(g_hash_table_size(s_commands)));
    g_hash_table_destroy(s_commands);
    s_commands = nullptr;
    g_debug("[qmp registry] cleaned QMP commands dispatch table");
}
