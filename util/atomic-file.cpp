#include "util/atomic-file.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <cerrno>

#include "util/check-null.h"
#include "util/error.h"

bool atomic_file_replace(const char *path, const char *data, size_t len, int mode, Error **errp)
{
    AGENT_CHECK_NULL_ERR(path, "path", errp, false);
    AGENT_CHECK_NULL_ERR(data, "data", errp, false);
    if (len > G_MAXSSIZE) {
        error_setg(errp, "Failed to write file '%s': %zu bytes is too large", path, len);
        return false;
    }
    g_autofree char *folder = g_path_get_dirname(path);
    if (g_mkdir_with_parents(folder, 0750) != 0) {
        int saved = errno;
        error_setg(errp, "Failed to create folder '%s': %s", folder, g_strerror(saved));
        return false;
    }
    /* GLib writes path.XXXXXX, fsyncs it and renames it over path; it unlinks the
     * temporary file itself when a write, the sync or the rename fails. */
    GError *gerr = nullptr;
    if (!g_file_set_contents_full(path, data, static_cast<gssize>(len),
                                  static_cast<GFileSetContentsFlags>(G_FILE_SET_CONTENTS_CONSISTENT |
                                                                     G_FILE_SET_CONTENTS_DURABLE),
                                  mode, &gerr)) {
        error_setg(errp, "%s", gerr->message);
        g_error_free(gerr);
        return false;
    }
    return true;
}
