#include "enforcement/platforms/registry.h"

#include <glib.h>

#include <cstring>

#include "util/error.h"

static const char *registry_path(void)
{
    const char *path = g_getenv("HV_REGISTRY_FILE");
    return path && *path ? path : "/etc/holvenstad/registry";
}

char *platform_registry_parse_value(const char *text, const char *name)
{
    size_t name_len = strlen(name);
    g_auto(GStrv) lines = g_strsplit(text, "\n", -1);
    for (char **line = lines; *line; line++) {
        char *l = g_strstrip(*line);
        if (*l == '\0' || *l == '#') {
            continue;
        }
        if (strncmp(l, name, name_len) == 0 && l[name_len] == '=') {
            return g_strdup(l + name_len + 1);
        }
    }
    return nullptr;
}

char *platform_registry_read_string(const char *config_key, const char *name, Error **errp)
{
    const char *path = registry_path();
    g_autofree char *text = nullptr;
    g_autoptr(GError) gerr = nullptr;
    if (!g_file_get_contents(path, &text, nullptr, &gerr)) {
        error_setg(errp, "can't read '%s\\%s' from '%s': %s", config_key, name, path, gerr->message);
        return nullptr;
    }
    char *value = platform_registry_parse_value(text, name);
    if (!value) {
        error_setg(errp, "value '%s\\%s' not found in '%s'", config_key, name, path);
    }
    return value;
}
