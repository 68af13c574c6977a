#include "enforcement/platforms/process.h"

#include <glib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "util/error.h"

char *platform_self_image_path(Error **errp)
{
    g_autoptr(GError) gerr = nullptr;
    char *path = g_file_read_link("/proc/self/exe", &gerr);
    if (!path) {
        error_setg(errp, "%s", gerr->message);
    }
    return path;
}

static char *read_text(const char *path, Error **errp)
{
    char *text = nullptr;
    g_autoptr(GError) gerr = nullptr;
    if (!g_file_get_contents(path, &text, nullptr, &gerr)) {
        error_setg(errp, "%s", gerr->message);
    }
    return text;
}

bool platform_self_cpu_jiffies(uint64_t *jiffies, Error **errp)
{
    g_autofree char *text = read_text("/proc/self/stat", errp);
    if (!text) {
        return false;
    }
    /* The command name may hold blanks: fields are counted after its closing parenthesis. */
    const char *p = strrchr(text, ')');
    unsigned long long utime = 0, stime = 0;
    if (!p || sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2) {
        error_setg(errp, "unexpected format of /proc/self/stat");
        return false;
    }
    *jiffies = utime + stime;
    return true;
}

bool platform_self_memory_bytes(uint64_t *bytes, Error **errp)
{
    g_autofree char *text = read_text("/proc/self/statm", errp);
    if (!text) {
        return false;
    }
    unsigned long long size = 0, resident = 0;
    if (sscanf(text, "%llu %llu", &size, &resident) != 2) {
        error_setg(errp, "unexpected format of /proc/self/statm");
        return false;
    }
    *bytes = resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    return true;
}
