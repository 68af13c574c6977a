#include "enforcement/platforms/process-query.h"
#include "linux-read.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "util/error.h"

namespace {
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorNoMoreFiles = 18;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorInvalidData = 13;
constexpr uint32_t kErrorNoneMapped = 1332;

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

/*
 * The kernel marks the link of an image whose file was replaced or removed; the process
 * still runs what it was started from. A file really named so is left alone: it is the
 * image itself.
 */
static void strip_deleted_mark(const char *exe_link, char *path)
{
    static constexpr char kMark[] = " (deleted)";
    constexpr size_t k = sizeof kMark - 1;
    size_t n = strlen(path);
    if (n <= k || strcmp(path + n - k, kMark) != 0) {
        return;
    }
    struct stat image, named;
    if (stat(exe_link, &image) == 0 && stat(path, &named) == 0 && image.st_dev == named.st_dev &&
        image.st_ino == named.st_ino) {
        return;
    }
    path[n - k] = '\0';
}

/* Field n (1-based, from 3 on: the command name may hold anything) of a stat text. */
static bool stat_field(const char *stat_text, unsigned n, std::string *out)
{
    const char *close = stat_text ? strrchr(stat_text, ')') : nullptr;
    if (!close || close[1] != ' ' || n < 3) {
        return false;
    }
    const char *p = close + 2;
    for (unsigned field = 3; field < n; field++) {
        p = strchr(p, ' ');
        if (!p) {
            return false;
        }
        p++;
    }
    size_t len = strcspn(p, " \n");
    if (len == 0) {
        return false;
    }
    out->assign(p, len);
    return true;
}

char *platform_process_image_path(uint64_t pid, uint32_t *win32_error)
{
    g_autofree char *exe = g_strdup_printf("/proc/%llu/exe", static_cast<unsigned long long>(pid));
    char *path = g_file_read_link(exe, nullptr);
    if (path) {
        strip_deleted_mark(exe, path);
        return path;
    }
    g_autofree char *dir = g_strdup_printf("/proc/%llu", static_cast<unsigned long long>(pid));
    struct stat st;
    *win32_error = pid != 0 && stat(dir, &st) == 0 ? kErrorAccessDenied : kErrorInvalidParameter;
    return nullptr;
}

static_assert(sizeof(gsize) >= sizeof(uint64_t), "pids are stored in pointer keys");

GHashTable *platform_parse_process_ids(const char *const *names, size_t count)
{
    GHashTable *set = g_hash_table_new(g_direct_hash, g_direct_equal);
    for (size_t i = 0; i < count; i++) {
        uint64_t pid = 0;
        if (platform_parse_pid_name(names[i], &pid)) {
            g_hash_table_add(set, GSIZE_TO_POINTER(static_cast<gsize>(pid)));
        }
    }
    return set;
}

GHashTable *get_process_ids_set(Error **errp)
{
    DIR *dir = opendir("/proc");
    if (!dir) {
        error_setg_win32(errp, win32_from_errno(errno), "error reading the process list");
        return nullptr;
    }
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent *entry = readdir(dir)) {
        names.emplace_back(entry->d_name);
    }
    int err = errno;
    closedir(dir);
    if (err != 0) {
        error_setg_win32(errp, win32_from_errno(err), "error reading the process list");
        return nullptr;
    }
    std::vector<const char *> views;
    views.reserve(names.size());
    for (const std::string &name : names) {
        views.push_back(name.c_str());
    }
    return platform_parse_process_ids(views.data(), views.size());
}

bool platform_parse_stat_ppid(const char *stat_text, uint64_t *ppid)
{
    /* The command name is the only field that may hold spaces or ')': skip to its last ')'. */
    const char *close = stat_text ? strrchr(stat_text, ')') : nullptr;
    if (!close || close[1] != ' ') {
        return false;
    }
    const char *state = close + 2;
    if (*state == '\0' || state[1] != ' ') {
        return false;
    }
    const char *field = state + 2;
    const char *end = strchr(field, ' ');
    g_autofree char *number = end ? g_strndup(field, static_cast<gsize>(end - field)) : g_strdup(field);
    g_strchomp(number);
    if (strcmp(number, "0") == 0) {
        *ppid = 0;
        return true;
    }
    return platform_parse_pid_name(number, ppid);
}

bool platform_process_parent_id(uint64_t pid, uint64_t *ppid, uint32_t *win32_error)
{
    g_autofree char *path = g_strdup_printf("/proc/%llu/stat", static_cast<unsigned long long>(pid));
    g_autofree char *text = nullptr;
    GError *gerr = nullptr;
    if (!g_file_get_contents(path, &text, nullptr, &gerr)) {
        *win32_error = g_error_matches(gerr, G_FILE_ERROR, G_FILE_ERROR_NOENT) ? kErrorInvalidParameter
                                                                                 : kErrorAccessDenied;
        g_error_free(gerr);
        return false;
    }
    if (!platform_parse_stat_ppid(text, ppid)) {
        *win32_error = kErrorInvalidData;
        return false;
    }
    return true;
}

bool platform_parse_stat_kernel_thread(const char *stat_text, bool *kernel_thread)
{
    constexpr unsigned long long kFlagKernelThread = 0x00200000; /* PF_KTHREAD */
    std::string flags;
    if (!stat_field(stat_text, 9, &flags) || flags.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *kernel_thread = (g_ascii_strtoull(flags.c_str(), nullptr, 10) & kFlagKernelThread) != 0;
    return true;
}

char *platform_kernel_thread_name(uint64_t pid)
{
    g_autofree char *stat_path = g_strdup_printf("/proc/%llu/stat", static_cast<unsigned long long>(pid));
    g_autofree char *stat_text = nullptr;
    bool kernel_thread = false;
    if (!g_file_get_contents(stat_path, &stat_text, nullptr, nullptr) ||
        !platform_parse_stat_kernel_thread(stat_text, &kernel_thread) || !kernel_thread) {
        return nullptr;
    }
    g_autofree char *comm_path = g_strdup_printf("/proc/%llu/comm", static_cast<unsigned long long>(pid));
    char *comm = nullptr;
    if (!g_file_get_contents(comm_path, &comm, nullptr, nullptr)) {
        return nullptr;
    }
    g_strchomp(comm);
    if (!*comm) {
        g_free(comm);
        return nullptr;
    }
    return comm;
}

uint32_t platform_thread_id(void)
{
    return static_cast<uint32_t>(gettid());
}

struct platform_process {
    uint64_t pid;
    int dir_fd; /* /proc/<pid>: reads through it fail once that process is gone */
};

/* A read through an open process: ESRCH or ENOENT mean it exited. */
static uint32_t open_read_error(int err)
{
    return err == ESRCH || err == ENOENT ? kErrorInvalidParameter
           : err == EACCES || err == EPERM ? kErrorAccessDenied
                                           : kErrorGenFailure;
}

platform_process *platform_process_open(uint64_t pid, uint32_t *win32_error)
{
    g_autofree char *path = g_strdup_printf("/proc/%llu", static_cast<unsigned long long>(pid));
    int fd = pid == 0 ? -1 : open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *win32_error = pid == 0 || errno == ENOENT ? kErrorInvalidParameter : win32_from_errno(errno);
        return nullptr;
    }
    auto *process = g_new(platform_process, 1);
    process->pid = pid;
    process->dir_fd = fd;
    return process;
}

void platform_process_close(platform_process *process)
{
    if (process) {
        close(process->dir_fd);
        g_free(process);
    }
}

uint64_t platform_process_pid(const platform_process *process)
{
    return process->pid;
}

/* The whole of one file of the process's entry, at most limit bytes. */
static bool read_entry(platform_process *process, const char *name, size_t limit, std::string *out,
                       uint32_t *win32_error)
{
    int fd = openat(process->dir_fd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *win32_error = open_read_error(errno);
        return false;
    }
    int err = 0;
    bool ok = linux_read_upto(fd, limit, out, &err);
    close(fd);
    if (!ok) {
        *win32_error = open_read_error(err);
    }
    return ok;
}

static char *read_entry_link(platform_process *process, const char *name, uint32_t *win32_error)
{
    std::vector<char> buf(256);
    for (;;) {
        ssize_t n = readlinkat(process->dir_fd, name, buf.data(), buf.size());
        if (n < 0) {
            *win32_error = open_read_error(errno);
            return nullptr;
        }
        if (static_cast<size_t>(n) < buf.size()) {
            return g_strndup(buf.data(), static_cast<gsize>(n));
        }
        if (buf.size() >= 1 << 20) {
            *win32_error = kErrorGenFailure;
            return nullptr;
        }
        buf.resize(buf.size() * 2);
    }
}

char *platform_process_open_image_path(platform_process *process, uint32_t *win32_error)
{
    char *path = read_entry_link(process, "exe", win32_error);
    if (path) {
        g_autofree char *exe = g_strdup_printf("/proc/%llu/exe", static_cast<unsigned long long>(process->pid));
        strip_deleted_mark(exe, path);
        return path;
    }
    /* No image (a kernel thread, or another user's process): the entry itself still reads. */
    if (*win32_error == kErrorFileNotFound || *win32_error == kErrorInvalidParameter) {
        struct stat st;
        *win32_error = fstatat(process->dir_fd, "stat", &st, 0) == 0 ? kErrorAccessDenied : kErrorInvalidParameter;
    }
    return nullptr;
}

bool platform_process_open_parent_id(platform_process *process, uint64_t *ppid, uint32_t *win32_error)
{
    std::string text;
    if (!read_entry(process, "stat", 4096, &text, win32_error)) {
        return false;
    }
    if (!platform_parse_stat_ppid(text.c_str(), ppid)) {
        *win32_error = kErrorInvalidData;
        return false;
    }
    return true;
}

bool platform_parse_status_uid(const char *status_text, uint32_t *uid)
{
    const char *line = status_text;
    while (line && *line) {
        if (strncmp(line, "Uid:", 4) == 0) {
            g_auto(GStrv) fields = g_strsplit_set(line + 4, " \t\n", -1);
            int seen = 0;
            for (char **f = fields; *f; f++) {
                if (**f == '\0') {
                    continue;
                }
                if (++seen == 2) {
                    uint64_t value = 0;
                    if ((strcmp(*f, "0") != 0 && !platform_parse_pid_name(*f, &value)) || value > UINT32_MAX) {
                        return false;
                    }
                    *uid = static_cast<uint32_t>(value);
                    return true;
                }
            }
            return false;
        }
        line = strchr(line, '\n');
        line = line ? line + 1 : nullptr;
    }
    return false;
}

bool platform_process_user_id(platform_process *process, uint32_t *uid, uint32_t *win32_error)
{
    std::string text;
    if (!read_entry(process, "status", 65536, &text, win32_error)) {
        return false;
    }
    /* The Uid line comes before anything long, so a cut text still holds it. */
    if (!platform_parse_status_uid(text.c_str(), uid)) {
        *win32_error = kErrorInvalidData;
        return false;
    }
    return true;
}

char **platform_parse_cmdline(const char *text, size_t len)
{
    GPtrArray *args = g_ptr_array_new();
    size_t start = 0;
    for (size_t i = 0; i <= len; i++) {
        if (i == len || text[i] == '\0') {
            if (i > start || i < len) {
                g_ptr_array_add(args, g_strndup(text + start, static_cast<gsize>(i - start)));
            }
            start = i + 1;
        }
    }
    g_ptr_array_add(args, nullptr);
    return reinterpret_cast<char **>(g_ptr_array_free(args, FALSE));
}

char **platform_process_arguments(platform_process *process, uint32_t *win32_error)
{
    /* More than the event can carry is never needed. */
    std::string text;
    if (!read_entry(process, "cmdline", 65536, &text, win32_error)) {
        return nullptr;
    }
    return platform_parse_cmdline(text.data(), text.size());
}

char *platform_process_current_directory(platform_process *process, uint32_t *win32_error)
{
    return read_entry_link(process, "cwd", win32_error);
}

bool platform_account_name(uint32_t uid, char **domain, char **name, uint32_t *win32_error)
{
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 4096);
    struct passwd pw;
    struct passwd *found = nullptr;
    int rc;
    while ((rc = getpwuid_r(uid, &pw, buf.data(), buf.size(), &found)) == ERANGE && buf.size() < (1u << 20)) {
        buf.resize(buf.size() * 2);
    }
    if (rc != 0 || !found) {
        *win32_error = kErrorNoneMapped;
        return false;
    }
    *name = g_strdup(found->pw_name);
    *domain = g_strdup(g_get_host_name());
    return true;
}
