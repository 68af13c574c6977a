#include "enforcement/platforms/driver-device.h"

#include "enforcement/driver-daemon/endr-device-client.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {
constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kPathNotFound = 3;
constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kInvalidHandle = 6;
constexpr uint32_t kOperationAborted = 995;
constexpr uint32_t kGenFailure = 31;
constexpr uint32_t kInvalidParameter = 87;
constexpr uint32_t kBadExeFormat = 193;
constexpr uint32_t kInvalidImageHash = 577;
constexpr uint32_t kServiceRequestTimeout = 1053;
constexpr uint32_t kServiceAlreadyRunning = 1056;
constexpr uint32_t kServiceDisabled = 1058;
constexpr uint32_t kServiceDoesNotExist = 1060;
constexpr uint32_t kServiceNotActive = 1062;
constexpr uint32_t kServiceExists = 1073;
constexpr uint32_t kResourceNameNotFound = 1814;

constexpr const char *kServiceName = "hv-enforcement";
constexpr const char *kDeviceName = "\\\\.\\hv-enforcement";
constexpr const char *kIpFilterService = "IPFilterDriver";
constexpr uint32_t kKernelDriverType = 1;

bool fail(uint32_t *win32_error, uint32_t code)
{
    if (win32_error) {
        *win32_error = code;
    }
    return false;
}

uint32_t errno_to_win32(int err)
{
    switch (err) {
    case ENOENT:
        return kFileNotFound;
    case ENOTDIR:
        return kPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
        return kAccessDenied;
    default:
        return kGenFailure;
    }
}

uint32_t file_error_to_win32(const GError *err)
{
    if (!err || err->domain != G_FILE_ERROR) {
        return kGenFailure;
    }
    switch (err->code) {
    case G_FILE_ERROR_NOENT:
        return kFileNotFound;
    case G_FILE_ERROR_NOTDIR:
        return kPathNotFound;
    case G_FILE_ERROR_ACCES:
    case G_FILE_ERROR_PERM:
    case G_FILE_ERROR_ISDIR:
        return kAccessDenied;
    default:
        return kGenFailure;
    }
}

std::string runtime_file(const char *name)
{
    const char *dir = g_getenv("HV_RUNTIME_DIR");
    if (!dir || !*dir) {
        dir = "/run/holvenstad";
    }
    g_mkdir_with_parents(dir, 0755);
    return std::string(dir) + "/" + name;
}

std::string disabled_marker() { return runtime_file("hv-enforcement.disabled"); }
std::string service_record() { return runtime_file("hv-enforcement.service"); }
std::string daemon_pid_file() { return runtime_file("hv-endrd.pid"); }
std::string device_socket() { return runtime_file("hv-enforcement.sock"); }

/* How long a start or stop may take before the manager gives up on it. */
constexpr auto kServiceWait = std::chrono::seconds(20);
} // namespace

struct platform_resource_file {
    std::map<unsigned, std::string> strings;
    std::map<std::string, std::string> attributes;
};

/* Pure parser of a driver file's text; false when a line looks like a resource entry but is none. */
static bool parse_resource_table(const std::string &text, platform_resource_file *out)
{
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        size_t space = line.find(' ');
        std::string key = line.substr(0, space);
        std::string value = space == std::string::npos ? std::string() : line.substr(space + 1);
        if (!g_ascii_isdigit(key[0])) {
            out->attributes[key] = value;
            continue;
        }
        guint64 id = 0;
        if (!g_ascii_string_to_unsigned(key.c_str(), 10, 0, 65535, &id, nullptr)) {
            return false;
        }
        if (!value.empty()) {
            out->strings[static_cast<unsigned>(id)] = value;
        }
    }
    return true;
}

platform_resource_file *platform_resource_file_load(const char *file, uint32_t *win32_error)
{
    g_autofree char *text = nullptr;
    gsize len = 0;
    g_autoptr(GError) gerr = nullptr;
    if (!file) {
        fail(win32_error, kFileNotFound);
        return nullptr;
    }
    /* The path comes from the service state other processes write: read only a small
     * regular file. */
    GStatBuf st;
    if (g_stat(file, &st) != 0) {
        fail(win32_error, kFileNotFound);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode) || st.st_size > 64 * 1024) {
        fail(win32_error, kBadExeFormat);
        return nullptr;
    }
    if (!g_file_get_contents(file, &text, &len, &gerr)) {
        fail(win32_error, file_error_to_win32(gerr));
        return nullptr;
    }
    auto *res = new platform_resource_file;
    if (!parse_resource_table(std::string(text, len), res)) {
        delete res;
        fail(win32_error, kBadExeFormat);
        return nullptr;
    }
    return res;
}

char *platform_resource_file_string(const platform_resource_file *file, unsigned id, uint32_t *win32_error)
{
    if (!file) {
        fail(win32_error, kInvalidHandle);
        return nullptr;
    }
    auto it = file->strings.find(id);
    if (it == file->strings.end()) {
        fail(win32_error, kResourceNameNotFound);
        return nullptr;
    }
    return g_strdup(it->second.c_str());
}

void platform_resource_file_free(platform_resource_file *file) { delete file; }

char *platform_load_string_resource(const char *file, unsigned id, uint32_t *win32_error)
{
    platform_resource_file *res = platform_resource_file_load(file, win32_error);
    if (!res) {
        return nullptr;
    }
    char *text = platform_resource_file_string(res, id, win32_error);
    platform_resource_file_free(res);
    return text;
}

/* The installed service: its record under the run-time folder, "<key>=<value>" lines. */
struct ServiceRecord {
    std::string binary_path;
    bool ipfilter_dependency = false;
};

static bool read_service_record(ServiceRecord *out)
{
    g_autofree char *text = nullptr;
    if (!g_file_get_contents(service_record().c_str(), &text, nullptr, nullptr)) {
        return false;
    }
    g_auto(GStrv) lines = g_strsplit(text, "\n", -1);
    for (char **l = lines; *l; l++) {
        if (g_str_has_prefix(*l, "binary-path=")) {
            out->binary_path = *l + strlen("binary-path=");
        } else if (g_str_has_prefix(*l, "ipfilter-dependency=")) {
            out->ipfilter_dependency = strcmp(*l + strlen("ipfilter-dependency="), "1") == 0;
        }
    }
    return !out->binary_path.empty();
}

/* A process that exists and is no zombie: a daemon killed outright leaves its pid file. */
static bool process_running(pid_t pid)
{
    if (pid <= 0) {
        return false;
    }
    g_autofree char *path = g_strdup_printf("/proc/%d/stat", static_cast<int>(pid));
    g_autofree char *text = nullptr;
    if (!g_file_get_contents(path, &text, nullptr, nullptr)) {
        return false;
    }
    const char *p = strrchr(text, ')');
    return p && p[1] == ' ' && p[2] != 'Z' && p[2] != 'X';
}

/* The running daemon's pid, or 0 when none runs. */
static pid_t daemon_pid()
{
    g_autofree char *text = nullptr;
    if (!g_file_get_contents(daemon_pid_file().c_str(), &text, nullptr, nullptr)) {
        return 0;
    }
    guint64 pid = 0;
    if (!g_ascii_string_to_unsigned(g_strstrip(text), 10, 1, INT32_MAX, &pid, nullptr)) {
        return 0;
    }
    return process_running(static_cast<pid_t>(pid)) ? static_cast<pid_t>(pid) : 0;
}

static bool device_answers()
{
    struct sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = device_socket();
    if (path.size() >= sizeof(addr.sun_path)) {
        return false;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return ok;
}

/* An attribute of the image the installed service points at; empty when unreadable. */
static std::string service_image_attribute(const char *key)
{
    ServiceRecord record;
    if (!read_service_record(&record)) {
        return {};
    }
    platform_resource_file *res = platform_resource_file_load(record.binary_path.c_str(), nullptr);
    if (!res) {
        return {};
    }
    auto it = res->attributes.find(key);
    std::string value = it == res->attributes.end() ? std::string() : it->second;
    platform_resource_file_free(res);
    return value;
}

/* ---- device ---- */

struct platform_device {
    endr_client *client = nullptr;
    int lock_fd = -1;
    std::mutex mutex;
    std::condition_variable idle;
    unsigned in_flight = 0;
    bool closing = false;
};

platform_device *platform_device_open(const char *device_name, uint32_t *win32_error)
{
    if (!device_name || strcmp(device_name, kDeviceName) != 0) {
        fail(win32_error, kFileNotFound);
        return nullptr;
    }
    std::string lock_path = runtime_file("hv-enforcement.device.lock");
    int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        fail(win32_error, errno_to_win32(errno));
        return nullptr;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        close(fd);
        fail(win32_error, err == EWOULDBLOCK ? kAccessDenied : errno_to_win32(err));
        return nullptr;
    }
    if (service_image_attribute("device") == "FALSE") {
        close(fd);
        fail(win32_error, kFileNotFound);
        return nullptr;
    }
    endr_client *client = nullptr;
    uint32_t code = endr_client_open(device_socket().c_str(), &client);
    if (code != 0) {
        close(fd);
        fail(win32_error, code);
        return nullptr;
    }
    auto *device = new platform_device;
    device->client = client;
    device->lock_fd = fd;
    return device;
}

/*
 * The result of a request that was under way when it got it. The driver refuses with 6
 * only a handle closed before the request reached it: this request was issued before the
 * close, and its close-time cancel merely overtook it on the way, so it was aborted.
 */
static uint32_t in_progress_result(uint32_t rc)
{
    return rc == kInvalidHandle ? kOperationAborted : rc;
}

bool platform_device_ioctl(platform_device *device, uint32_t code, const void *in, uint32_t in_len, void *out,
                           uint32_t out_len, uint32_t *returned, uint32_t *win32_error)
{
    if (returned) {
        *returned = 0;
    }
    if (!device) {
        return fail(win32_error, kInvalidHandle);
    }
    {
        std::lock_guard<std::mutex> guard(device->mutex);
        if (device->closing) {
            return fail(win32_error, kInvalidHandle);
        }
        device->in_flight++;
    }
    uint32_t count = 0;
    uint32_t rc = in_progress_result(endr_client_ioctl(device->client, code, in, in_len, out, out_len, &count));
    {
        /* Notified under the lock: the closer may free the device as soon as it sees 0. */
        std::lock_guard<std::mutex> guard(device->mutex);
        device->in_flight--;
        device->idle.notify_all();
    }
    if (rc != 0) {
        return fail(win32_error, rc);
    }
    if (returned) {
        *returned = count;
    }
    return true;
}

struct platform_overlapped {
    endr_pending *pending = nullptr;
};

uint32_t platform_device_group(platform_device *device)
{
    return device ? endr_client_group(device->client) : 0;
}

bool platform_device_ioctl_begin(platform_device *device, uint32_t code, const void *in, uint32_t in_len,
                                 uint32_t group, platform_overlapped **ov, uint32_t *win32_error)
{
    *ov = nullptr;
    if (!device) {
        return fail(win32_error, kInvalidHandle);
    }
    {
        std::lock_guard<std::mutex> guard(device->mutex);
        if (device->closing) {
            return fail(win32_error, kInvalidHandle);
        }
        device->in_flight++;
    }
    endr_pending *pending = nullptr;
    uint32_t rc = endr_client_ioctl_send(device->client, code, in, in_len, group, &pending);
    if (rc != 0) {
        std::lock_guard<std::mutex> guard(device->mutex);
        device->in_flight--;
        device->idle.notify_all();
        return fail(win32_error, rc);
    }
    *ov = new platform_overlapped{pending};
    return true;
}

bool platform_device_ioctl_result(platform_device *device, platform_overlapped *ov, uint32_t *win32_error)
{
    if (!device || !ov) {
        return fail(win32_error, kInvalidHandle);
    }
    uint32_t rc = in_progress_result(endr_client_ioctl_wait(device->client, ov->pending));
    delete ov;
    {
        std::lock_guard<std::mutex> guard(device->mutex);
        device->in_flight--;
        device->idle.notify_all();
    }
    return rc == 0 || fail(win32_error, rc);
}

void platform_device_shutdown(platform_device *device)
{
    if (!device) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(device->mutex);
        if (device->closing) {
            return;
        }
        device->closing = true;
    }
    /* Wake the waiting requests with 995, let every request come back, and only then
     * disconnect: the daemon releases what the handle held. */
    endr_client_cancel(device->client);
    {
        std::unique_lock<std::mutex> lock(device->mutex);
        device->idle.wait(lock, [device] { return device->in_flight == 0; });
    }
    endr_client_close(device->client);
    device->client = nullptr;
    close(device->lock_fd);
    device->lock_fd = -1;
}

void platform_device_close(platform_device *device)
{
    if (!device) {
        return;
    }
    platform_device_shutdown(device);
    delete device;
}

/* ---- service manager: the driver service is the daemon hv-endrd beside its image ---- */

struct platform_scm {
    uint32_t access;
};

struct platform_service {
    uint32_t access;
};

platform_scm *platform_scm_open(uint32_t access, uint32_t *win32_error) { return new platform_scm{access}; }

void platform_scm_close(platform_scm *scm) { delete scm; }

bool platform_service_query(platform_service_status *status)
{
    ServiceRecord record;
    *status = platform_service_status{};
    status->installed = read_service_record(&record);
    status->binary_path = record.binary_path;
    status->ipfilter_dependency = record.ipfilter_dependency;
    status->pid = daemon_pid();
    status->running = status->pid != 0;
    return true;
}

platform_service *platform_service_open(platform_scm *scm, const char *name, uint32_t access, uint32_t *win32_error)
{
    if (!scm) {
        fail(win32_error, kInvalidHandle);
        return nullptr;
    }
    ServiceRecord record;
    if (!name || strcmp(name, kServiceName) != 0 || !read_service_record(&record)) {
        fail(win32_error, kServiceDoesNotExist);
        return nullptr;
    }
    return new platform_service{access};
}

platform_service *platform_service_create(platform_scm *scm, const char *name, const char *display_name,
                                          uint32_t access, uint32_t type, uint32_t start_type,
                                          uint32_t error_control, const char *binary_path, const char *dependency,
                                          uint32_t *win32_error)
{
    if (!scm) {
        fail(win32_error, kInvalidHandle);
        return nullptr;
    }
    /* The emulated manager knows one kernel-driver service and one possible dependency. */
    if (!name || strcmp(name, kServiceName) != 0 || type != kKernelDriverType || !binary_path || !*binary_path ||
        strchr(binary_path, '\n') || (dependency && strcmp(dependency, kIpFilterService) != 0)) {
        fail(win32_error, kInvalidParameter);
        return nullptr;
    }
    ServiceRecord existing;
    if (read_service_record(&existing)) {
        fail(win32_error, kServiceExists);
        return nullptr;
    }
    g_autofree char *text = g_strdup_printf("binary-path=%s\nipfilter-dependency=%d\n", binary_path,
                                            dependency != nullptr);
    if (!g_file_set_contents(service_record().c_str(), text, -1, nullptr)) {
        fail(win32_error, kAccessDenied);
        return nullptr;
    }
    g_remove(disabled_marker().c_str());
    return new platform_service{access};
}

/*
 * Starts the daemon detached from this process (its own session, reparented at once), so
 * that it outlives the module and no terminal signal of the module reaches it. Its output
 * goes to hv-endrd.log in the run-time folder.
 */
static uint32_t spawn_daemon(const std::string &exe)
{
    std::string log = runtime_file("hv-endrd.log");
    const char *argv[] = {exe.c_str(), nullptr};
    pid_t child = fork();
    if (child < 0) {
        return kGenFailure;
    }
    if (child == 0) {
        setsid();
        if (fork() != 0) {
            _exit(0);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
            signal(sig, SIG_DFL);
        }
        int in = open("/dev/null", O_RDONLY);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in >= 0) {
            dup2(in, 0);
        }
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        execv(exe.c_str(), const_cast<char **>(argv));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return 0;
}

bool platform_service_start(platform_service *service, uint32_t *win32_error)
{
    if (!service) {
        return fail(win32_error, kInvalidHandle);
    }
    ServiceRecord record;
    if (!read_service_record(&record)) {
        return fail(win32_error, kServiceDoesNotExist);
    }
    if (daemon_pid() != 0) {
        return fail(win32_error, kServiceAlreadyRunning);
    }
    if (g_file_test(disabled_marker().c_str(), G_FILE_TEST_EXISTS)) {
        return fail(win32_error, kServiceDisabled);
    }
    if (!g_file_test(record.binary_path.c_str(), G_FILE_TEST_IS_REGULAR)) {
        return fail(win32_error, kFileNotFound);
    }
    if (service_image_attribute("signed") == "FALSE") {
        return fail(win32_error, kInvalidImageHash);
    }
    g_autofree char *dir = g_path_get_dirname(record.binary_path.c_str());
    std::string exe = std::string(dir) + "/hv-endrd";
    if (!g_file_test(exe.c_str(), G_FILE_TEST_IS_EXECUTABLE)) {
        return fail(win32_error, kFileNotFound);
    }
    if (uint32_t rc = spawn_daemon(exe)) {
        return fail(win32_error, rc);
    }
    auto until = std::chrono::steady_clock::now() + kServiceWait;
    while (daemon_pid() == 0 || !device_answers()) {
        if (std::chrono::steady_clock::now() > until) {
            return fail(win32_error, kServiceRequestTimeout);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool platform_service_stop(platform_service *service, uint32_t *win32_error)
{
    if (!service) {
        return fail(win32_error, kInvalidHandle);
    }
    pid_t pid = daemon_pid();
    if (pid == 0) {
        return fail(win32_error, kServiceNotActive);
    }
    if (kill(pid, SIGTERM) != 0) {
        return fail(win32_error, errno == EPERM ? kAccessDenied : kServiceNotActive);
    }
    auto until = std::chrono::steady_clock::now() + kServiceWait;
    while (process_running(pid)) {
        if (std::chrono::steady_clock::now() > until) {
            return fail(win32_error, kServiceRequestTimeout);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool platform_service_delete(platform_service *service, uint32_t *win32_error)
{
    if (!service) {
        return fail(win32_error, kInvalidHandle);
    }
    ServiceRecord record;
    if (!read_service_record(&record)) {
        return fail(win32_error, kServiceDoesNotExist);
    }
    if (daemon_pid() != 0 && !platform_service_stop(service, win32_error)) {
        return false;
    }
    if (g_remove(service_record().c_str()) != 0) {
        return fail(win32_error, errno_to_win32(errno));
    }
    g_remove(disabled_marker().c_str());
    return true;
}

bool platform_service_set_disabled(platform_service *service, bool disabled, uint32_t *win32_error)
{
    if (!service) {
        return fail(win32_error, kInvalidHandle);
    }
    ServiceRecord record;
    if (!read_service_record(&record)) {
        return fail(win32_error, kServiceDoesNotExist);
    }
    std::string marker = disabled_marker();
    if (!disabled) {
        g_remove(marker.c_str());
        return true;
    }
    g_autoptr(GError) gerr = nullptr;
    if (!g_file_set_contents(marker.c_str(), "", 0, &gerr)) {
        return fail(win32_error, kAccessDenied);
    }
    return true;
}

void platform_service_close(platform_service *service) { delete service; }
