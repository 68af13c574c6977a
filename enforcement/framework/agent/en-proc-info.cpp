#include "enforcement/framework/agent/en-proc-info.h"

#include <glib.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "enforcement/framework/agent/en-process-event-queue.h"
#include "enforcement/platforms/file-attributes.h"
#include "enforcement/platforms/process-query.h"
#include "util/check-null.h"
#include "util/error.h"

using ull = unsigned long long;

namespace {

constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr int64_t kModeDirectory = 040777;
constexpr int64_t kModeReadOnlyDirectory = 040555;
constexpr int64_t kModeFile = 0100666;
constexpr int64_t kModeReadOnlyFile = 0100444;
constexpr int64_t kModeExecute = 0111;

bool has_executable_extension(const char *path)
{
    const char *dot = strrchr(path, '.');
    if (!dot || strchr(dot, '/') || strchr(dot, '\\')) {
        return false;
    }
    for (const char *ext : {".bat", ".cmd", ".exe", ".com"}) {
        if (g_ascii_strcasecmp(dot, ext) == 0) {
            return true;
        }
    }
    return false;
}


en_process_info_t *new_placeholder(const char *name)
{
    auto *info = g_new0(en_process_info_t, 1);
    info->app_name = g_strdup(name);
    info->container_id = g_strdup("HOST");
    info->pod_id = g_strdup("HOST");
    info->pid = EN_PROCESS_PLACEHOLDER_PID;
    info->ppid = EN_PROCESS_PLACEHOLDER_PID;
    info->placeholder_mark = -1;
    info->creation_time = g_get_real_time() / G_USEC_PER_SEC;
    return info;
}

/*
 * The image path and application name of pid. A kernel thread has no image: its kernel
 * name stands for both, as it is, since it may hold separators and dots.
 */
bool identify(uint64_t pid, char **image_path, char **app_name, uint32_t *code)
{
    *image_path = platform_process_image_path(pid, code);
    if (*image_path) {
        *app_name = en_process_app_name(*image_path);
        return true;
    }
    if (*code != kErrorAccessDenied) {
        return false;
    }
    char *kernel_name = platform_kernel_thread_name(pid);
    if (!kernel_name) {
        return false;
    }
    *image_path = kernel_name;
    *app_name = g_strdup(kernel_name);
    return true;
}

void set_parent(en_process_info_t *info)
{
    uint32_t code = 0;
    uint64_t ppid = 0;
    if (!platform_process_parent_id(info->pid, &ppid, &code)) {
        Error *err = nullptr;
        error_setg_win32(&err, code, "error reading process %u parent ID", static_cast<unsigned>(info->pid));
        g_warning("[proc info] error reading parent id for process %llu: %s", static_cast<ull>(info->pid),
                  error_get_message(err));
        error_free(err);
        return;
    }
    info->ppid = ppid;
    info->has_ppid = true;
    g_autofree char *parent_image = nullptr;
    char *parent_name = nullptr;
    if (identify(ppid, &parent_image, &parent_name, &code)) {
        info->parent_name = parent_name;
        return;
    }
    if (code == kErrorInvalidParameter) {
        g_debug("[proc info] process '%s' (%llu) parent process %llu is dead", info->app_name,
                static_cast<ull>(info->pid), static_cast<ull>(ppid));
        return;
    }
    Error *err = nullptr;
    error_setg_win32(&err, code, "error opening handle to process %u", static_cast<unsigned>(ppid));
    g_warning("[proc info] error fetching parent name with pid %llu of pid %llu: %s", static_cast<ull>(ppid),
              static_cast<ull>(info->pid), error_get_message(err));
    error_free(err);
}

} // namespace

char *en_process_app_name(const char *image_path)
{
    if (!image_path) {
        return nullptr;
    }
    const char *base = image_path;
    for (const char *p = image_path; *p; p++) {
        if (*p == '\\' || *p == '/') {
            base = p + 1;
        }
    }
    const char *dot = strrchr(base, '.');
    return dot ? g_strndup(base, static_cast<gsize>(dot - base)) : g_strdup(base);
}

en_process_info_t *en_process_info_copy(const en_process_info_t *info)
{
    if (!info) {
        return nullptr;
    }
    auto *copy = g_new(en_process_info_t, 1);
    *copy = *info;
    copy->app_name = g_strdup(info->app_name);
    copy->image_path = g_strdup(info->image_path);
    copy->container_id = g_strdup(info->container_id);
    copy->pod_id = g_strdup(info->pod_id);
    copy->parent_name = g_strdup(info->parent_name);
    copy->cgroups = g_strdup(info->cgroups);
    return copy;
}

void en_process_info_free(en_process_info_t *info)
{
    if (!info) {
        return;
    }
    g_free(info->app_name);
    g_free(info->image_path);
    g_free(info->container_id);
    g_free(info->pod_id);
    g_free(info->parent_name);
    g_free(info->cgroups);
    g_free(info);
}

en_process_info_t *en_process_info_new_unknown(void)
{
    return new_placeholder("Unknown Process");
}

en_process_info_t *en_process_info_new_host(void)
{
    return new_placeholder(nullptr);
}

bool fetch_process_info(uint64_t pid, en_process_info_t **out, process_event_queue *queue, Error **errp)
{
    auto *info = g_new0(en_process_info_t, 1);
    info->pid = pid;
    uint32_t code = 0;
    if (!identify(pid, &info->image_path, &info->app_name, &code)) {
        if (code == kErrorAccessDenied) {
            g_debug("[proc info] no permissions reading process %llu module path, might be a system process",
                    static_cast<ull>(pid));
        } else if (code == kErrorInvalidParameter) {
            error_setg_win32(errp, code, "error opening handle to process %u", static_cast<unsigned>(pid));
        } else {
            error_setg_win32(errp, code, "failed getting module filename for process %llu", static_cast<ull>(pid));
        }
        en_process_info_free(info);
        return false;
    }
    set_parent(info);
    if (queue) {
        send_net_process_event_async(queue, info);
    }
    *out = info;
    return true;
}

en_process_query_session *initialize_process_query_session(uint64_t pid, Error **errp)
{
    uint32_t code = 0;
    platform_process *process = platform_process_open(pid, &code);
    if (!process) {
        g_debug("[process-info] can't obtain process handle for %u, might be a system process",
                static_cast<unsigned>(pid));
        error_setg_win32(errp, code, "error opening handle to process %u", static_cast<unsigned>(pid));
        return nullptr;
    }
    auto *session = g_new0(en_process_query_session, 1);
    session->pid = pid;
    session->process = process;
    session->is_self = pid == static_cast<uint64_t>(getpid());
    return session;
}

void close_process_query_session(en_process_query_session *session)
{
    if (session) {
        platform_process_close(session->process);
        g_free(session);
    }
}

bool get_process_parent_id(en_process_query_session *session, uint64_t *ppid, Error **errp)
{
    AGENT_CHECK_NULL(session, "session", false);
    uint32_t code = 0;
    if (!platform_process_open_parent_id(session->process, ppid, &code)) {
        error_setg_win32(errp, code, "error reading process %u parent ID", static_cast<unsigned>(session->pid));
        return false;
    }
    return true;
}

char *get_process_module_image_path(en_process_query_session *session, Error **errp)
{
    AGENT_CHECK_NULL(session, "session", nullptr);
    uint32_t code = 0;
    char *path = platform_process_open_image_path(session->process, &code);
    if (!path) {
        error_setg_win32(errp, code, "failed getting image path of process %u", static_cast<unsigned>(session->pid));
    }
    return path;
}

char *get_process_image_path(uint64_t pid, Error **errp)
{
    en_process_query_session *session = initialize_process_query_session(pid, errp);
    if (!session) {
        return nullptr;
    }
    char *path = get_process_module_image_path(session, errp);
    close_process_query_session(session);
    return path;
}

char *get_process_username(en_process_query_session *session, Error **errp)
{
    AGENT_CHECK_NULL(session, "session", nullptr);
    auto pid = static_cast<unsigned>(session->pid);
    uint32_t code = 0;
    uint32_t uid = 0;
    if (!platform_process_user_id(session->process, &uid, &code)) {
        if (code == kErrorAccessDenied) {
            return g_strdup("N/A");
        }
        error_setg_win32(errp, code, "Error opening process %u token handle", pid);
        return nullptr;
    }
    g_autofree char *domain = nullptr;
    g_autofree char *name = nullptr;
    if (!platform_account_name(uid, &domain, &name, &code)) {
        error_setg_win32(errp, code, "Error looking up account name for SID of process %u", pid);
        return nullptr;
    }
    return g_strdup_printf("%s\\%s", domain, name);
}

char **get_process_command_line(en_process_query_session *session, Error **errp)
{
    AGENT_CHECK_NULL(session, "session", nullptr);
    uint32_t code = 0;
    char **args = platform_process_arguments(session->process, &code);
    if (!args) {
        error_setg_win32(errp, code, "error reading process %u command line", static_cast<unsigned>(session->pid));
    }
    return args;
}

char *get_process_current_directory(en_process_query_session *session, Error **errp)
{
    AGENT_CHECK_NULL(session, "session", nullptr);
    uint32_t code = 0;
    char *dir = platform_process_current_directory(session->process, &code);
    if (!dir) {
        error_setg_win32(errp, code, "error reading process %u current directory",
                         static_cast<unsigned>(session->pid));
    }
    return dir;
}

bool guest_file_attributes(const char *path, en_file_attributes *out, Error **errp)
{
    platform_file_attributes attrs;
    uint32_t code = 0;
    if (!path || !platform_get_file_attributes(path, &attrs, &code)) {
        error_setg_win32(errp, code, "failed querying '%s' for attributes", path ? path : "(null)");
        return false;
    }
    *out = en_file_attributes{};
    if (attrs.directory) {
        out->mode = attrs.read_only ? kModeReadOnlyDirectory : kModeDirectory;
    } else {
        out->mode = attrs.read_only ? kModeReadOnlyFile : kModeFile;
        if (has_executable_extension(path) || attrs.executable) {
            out->mode |= kModeExecute;
        }
    }
    out->size = attrs.size;
    out->access_time = attrs.access_time;
    out->modification_time = attrs.modification_time;
    out->creation_time = attrs.creation_time;
    return true;
}

char *en_process_join_command_line(const char *const *args)
{
    if (!args || !args[0]) {
        return nullptr;
    }
    char buf[PROCESS_CMDLINE_SIZE];
    size_t used = 0;
    for (const char *const *a = args; *a && used < sizeof buf - 1; a++) {
        size_t left = sizeof buf - 1 - used;
        size_t n = std::min(strlen(*a), left);
        memcpy(buf + used, *a, n);
        used += n;
        if (used < sizeof buf - 1) {
            buf[used++] = ' ';
        }
    }
    if (used > 0 && buf[used - 1] == ' ') {
        used--;
    }
    return g_strndup(buf, used);
}

