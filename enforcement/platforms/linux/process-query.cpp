#include "enforcement/platforms/process-query.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorNoMoreFiles = 18;
constexpr uint32_t kErrorInvalidParameter = 87;

uint32_t win32_from_errno(int err)
{
    switch (err) {
    case ENOENT:
        return kErrorFileNotFound;
    case EACCES:
    case EPERM:
        return kErrorAccessDenied;
    default:
        return kErrorGenFailure;
    }
}
} // namespace

bool platform_parse_pid_name(const char *name, uint64_t *pid)
{
    if (!name || name[0] < '1' || name[0] > '9') {
        return false;
    }
    uint64_t value = 0;
    for (const char *p = name; *p; p++) {
        if (*p < '0' || *p > '9' || value > (UINT64_MAX - 9) / 10) {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(*p - '0');
    }
    *pid = value;
    return true;
}

GArray *platform_process_ids(uint32_t *win32_error)
{
    DIR *dir = opendir("/proc");
    if (!dir) {
        *win32_error = win32_from_errno(errno);
        return nullptr;
    }
    GArray *pids = g_array_new(FALSE, FALSE, sizeof(uint64_t));
    errno = 0;
    while (struct dirent *entry = readdir(dir)) {
        uint64_t pid = 0;
        if (platform_parse_pid_name(entry->d_name, &pid)) {
            g_array_append_val(pids, pid);
        }
    }
    int err = errno;
    closedir(dir);
    if (err != 0) {
        g_array_unref(pids);
        *win32_error = win32_from_errno(err);
        return nullptr;
    }
    if (pids->len == 0) {
        g_array_unref(pids);
        *win32_error = kErrorNoMoreFiles;
        return nullptr;
    }
    auto *first = reinterpret_cast<uint64_t *>(pids->data);
    std::sort(first, first + pids->len);
    return pids;
}

char *platform_process_image_path(uint64_t pid, uint32_t *win32_error)
{
    g_autofree char *exe = g_strdup_printf("/proc/%llu/exe", static_cast<unsigned long long>(pid));
    char *path = g_file_read_link(exe, nullptr);
    if (path) {
        return path;
    }
    g_autofree char *dir = g_strdup_printf("/proc/%llu", static_cast<unsigned long long>(pid));
    struct stat st;
    *win32_error = pid != 0 && stat(dir, &st) == 0 ? kErrorAccessDenied : kErrorInvalidParameter;
    return nullptr;
}

uint32_t platform_thread_id(void)
{
    return static_cast<uint32_t>(gettid());
}
