#include "agent-common/agent-identity.h"

#include <glib.h>
#include <glib/gstdio.h>

#include "agent-common/agent-main.h"
#include "util/error.h"

static char *uuid_path(void)
{
    return g_build_filename(agent_data_folder(), "config", "agent-uuid", nullptr);
}

bool agent_identity_set_uuid(const char *text, Error **errp)
{
    if (!text || !g_uuid_string_is_valid(text)) {
        error_setg(errp, "invalid agent UUID '%s'", text ? text : "");
        return false;
    }
    g_autofree char *path = uuid_path();
    g_autofree char *dir = g_path_get_dirname(path);
    g_mkdir_with_parents(dir, 0750);
    g_autofree char *lower = g_ascii_strdown(text, -1);
    g_autoptr(GError) gerr = nullptr;
    /* g_file_set_contents writes a temporary file and renames it over the old one. */
    if (!g_file_set_contents(path, lower, -1, &gerr)) {
        error_setg(errp, "can't store agent UUID: %s", gerr->message);
        return false;
    }
    return true;
}

char *agent_identity_load_uuid(Error **errp)
{
    g_autofree char *path = uuid_path();
    g_autofree char *text = nullptr;
    g_autoptr(GError) gerr = nullptr;
    if (!g_file_get_contents(path, &text, nullptr, &gerr)) {
        error_setg(errp, "%s", gerr->message);
        return nullptr;
    }
    g_strstrip(text);
    if (!g_uuid_string_is_valid(text)) {
        error_setg(errp, "'%s' holds no valid UUID", path);
        return nullptr;
    }
    return g_steal_pointer(&text);
}
