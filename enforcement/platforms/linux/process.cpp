#include "enforcement/platforms/process.h"

#include <glib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

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

static bool read_text(const char *path, std::string *out, Error **errp)
{
    g_autofree char *text = nullptr;
    gsize len = 0;
    g_autoptr(GError) gerr = nullptr;
    if (!g_file_get_contents(path, &text, &len, &gerr)) {
        error_setg(errp, "%s", gerr->message);
        return false;
    }
    out->assign(text, len);
    return true;
}

bool platform_self_cpu_jiffies(uint64_t *jiffies, Error **errp)
{
    std::string text;
    if (!read_text("/proc/self/stat", &text, errp)) {
        return false;
    }
    /* The command name may hold blanks: fields are counted after its closing parenthesis. */
    size_t paren = text.rfind(')');
    unsigned long long utime = 0, stime = 0;
    if (paren == std::string::npos ||
        sscanf(text.c_str() + paren + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
               &stime) != 2) {
        error_setg(errp, "unexpected format of /proc/self/stat");
        return false;
    }
    *jiffies = utime + stime;
    return true;
}

bool platform_self_memory_bytes(uint64_t *bytes, Error **errp)
{
    std::string text;
    if (!read_text("/proc/self/statm", &text, errp)) {
        return false;
    }
    unsigned long long size = 0, resident = 0;
    if (sscanf(text.c_str(), "%llu %llu", &size, &resident) != 2) {
        error_setg(errp, "unexpected format of /proc/self/statm");
        return false;
    }
    *bytes = resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    return true;
}
