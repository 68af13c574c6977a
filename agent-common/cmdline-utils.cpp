#include "agent-common/cmdline-utils.h"

#include <glib.h>

#include <utility>

int add_priority_path(cmdline_priority_paths_t *paths, const char *path, int index)
{
    if (index < 0 || index >= CMDLINE_PRIORITY_SLOTS || paths->slots[index]) {
        return 0;
    }
    g_auto(GStrv) parts = g_strsplit_set(path, ",;", -1);
    g_autoptr(GPtrArray) tokens = g_ptr_array_new();
    for (char **part = parts; *part; part++) {
        /* "a,,b" or a trailing separator must not yield an empty address. */
        if (**part) {
            g_ptr_array_add(tokens, *part);
        }
    }

    GRand *rand = g_rand_new();
    for (guint i = tokens->len; i >= 2; i--) {
        guint j = static_cast<guint>(g_rand_int_range(rand, 0, static_cast<gint32>(i)));
        std::swap(tokens->pdata[i - 1], tokens->pdata[j]);
    }
    g_rand_free(rand);

    g_ptr_array_add(tokens, nullptr);
    paths->slots[index] = g_strjoinv(",", reinterpret_cast<char **>(tokens->pdata));
    return 1;
}

bool cmdline_priority_paths_any(const cmdline_priority_paths_t *paths)
{
    for (const char *slot : paths->slots) {
        if (slot) {
            return true;
        }
    }
    return false;
}

void cmdline_priority_paths_compact(cmdline_priority_paths_t *paths)
{
    int next = 0;
    for (int i = 0; i < CMDLINE_PRIORITY_SLOTS; i++) {
        if (paths->slots[i]) {
            std::swap(paths->slots[next++], paths->slots[i]);
        }
    }
}

char *cmdline_priority_paths_join(cmdline_priority_paths_t *paths)
{
    cmdline_priority_paths_compact(paths);
    GString *joined = g_string_new(nullptr);
    for (const char *slot : paths->slots) {
        if (!slot || !*slot) {
            continue;
        }
        if (joined->len) {
            g_string_append_c(joined, ',');
        }
        g_string_append(joined, slot);
    }
    if (!joined->len) {
        g_string_free(joined, TRUE);
        return nullptr;
    }
    return g_string_free(joined, FALSE);
}

void cmdline_priority_paths_clear(cmdline_priority_paths_t *paths)
{
    for (char *&slot : paths->slots) {
        g_free(slot);
        slot = nullptr;
    }
}
