#include "enforcement/framework/agent/en-driver.h"

#include "agent-common/logger.h"
#include "enforcement/platforms/driver-device.h"
#include "enforcement/platforms/platform-version.h"
#include "enforcement/platforms/process.h"
#include "util/error.h"

#include <glib.h>

#include <array>
#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <string>

namespace {
constexpr const char *kDeviceName = "\\\\.\\hv-enforcement";
constexpr const char *kServiceName = "hv-enforcement";
constexpr const char *kDriverFileName = "hv-enforcement64.sys";
constexpr const char *kIpFilterDependency = "IPFilterDriver";

constexpr uint32_t kScmAccess = 0x20002;
constexpr uint32_t kServiceAccess = 0x30030;
constexpr uint32_t kKernelDriver = 1;
constexpr uint32_t kDemandStart = 3;
constexpr uint32_t kErrorControlNormal = 1;

constexpr size_t kMaxPath = 260;
constexpr size_t kMaxDirectory = 239;

constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kPathNotFound = 3;
constexpr uint32_t kInvalidImageHash = 577;
constexpr uint32_t kOperationAborted = 995;
constexpr uint32_t kInvalidHandleError = 6;
constexpr uint32_t kServiceAlreadyRunning = 1056;
constexpr uint32_t kServiceDisabled = 1058;
constexpr uint32_t kServiceDoesNotExist = 1060;
constexpr unsigned kDisabledRetrySeconds = 5;

constexpr bool is_network_code(uint32_t code)
{
    uint32_t method = code & 3;
    return (code >> 16) == 0x12 && ((code >> 14) & 3) == 0 && (method == 1 || method == 2);
}
static_assert(is_network_code(EN_IOCTL_READ_EVENT) && is_network_code(EN_IOCTL_SET_QUEUE_SIZE) &&
              is_network_code(EN_IOCTL_GET_METRICS) && is_network_code(EN_IOCTL_GET_DRIVER_VERSION) &&
              is_network_code(EN_IOCTL_GET_DNS_SNAPSHOT) && is_network_code(EN_IOCTL_GET_DRIVER_LOGS) &&
              is_network_code(EN_IOCTL_GET_CONNECTIONS) && is_network_code(EN_IOCTL_EXISTING_SERVICE_TUPLES));

/* The Win32 analogue of an OVERLAPPED with its event: lent to one request at a time. */
struct ioctl_slot {
    std::mutex lock;
    en_ioctl_header header;
    uint32_t returned;
};

struct module_state {
    std::shared_mutex lock;
    bool initialised = false;
    bool install_if_missing = false;
    std::array<ioctl_slot, EN_DRIVER_EVENT_CACHE_SLOTS> cache;
    char driver_path[kMaxPath * 4] = {};
    std::atomic<bool> layer4_policy_required{false};
    std::atomic<bool> sid_rules_supported{false};
    std::atomic<bool> ipfilter_dependency{false};
    std::atomic<bool> service_rules_supported{false};
    std::atomic<unsigned> in_flight{0};
    std::atomic<unsigned> cached_in_use{0};
};

module_state &state()
{
    static module_state s;
    return s;
}

std::mutex s_seam_lock;
std::string s_host_path_override;
bool s_host_path_overridden = false;
void (*s_retry_sleep)(unsigned) = nullptr;

const char *yes_no(bool v) { return v ? "yes" : "no"; }

/* Length in the wide characters the Win32 path buffer counts. */
size_t wide_length(const char *s, size_t bytes)
{
    glong written = 0;
    g_autofree gunichar2 *wide = g_utf8_to_utf16(s, static_cast<glong>(bytes), nullptr, &written, nullptr);
    return wide ? static_cast<size_t>(written) : bytes;
}

char *host_image_path(Error **errp)
{
    {
        std::lock_guard<std::mutex> guard(s_seam_lock);
        if (s_host_path_overridden) {
            return g_strdup(s_host_path_override.c_str());
        }
    }
    return platform_self_image_path(errp);
}

bool build_driver_path(module_state &s)
{
    Error *err = nullptr;
    g_autofree char *exe = host_image_path(&err);
    if (!exe) {
        logger_win32_critical(error_get_win32_code(err), "[en_driver] failed to get driver path");
        error_free(err);
        return false;
    }
    size_t len = strlen(exe);
    /* The wide buffer truncates at 259 characters and reports insufficient buffer. */
    if (wide_length(exe, len) >= kMaxPath) {
        g_critical("[en_driver] failed to get driver path: path too long");
        return false;
    }
    const char *sep = strrchr(exe, '/');
    if (!sep) {
        g_critical("[en_driver] failed to get driver path: no backslash in exe path");
        return false;
    }
    size_t dir_bytes = static_cast<size_t>(sep - exe) + 1;
    if (wide_length(exe, dir_bytes) > kMaxDirectory) {
        g_critical("[en_driver] failed to get driver path: path too long");
        return false;
    }
    memcpy(s.driver_path, exe, dir_bytes);
    memcpy(s.driver_path + dir_bytes, kDriverFileName, strlen(kDriverFileName) + 1);

    g_autoptr(GError) gerr = nullptr;
    g_autofree char *utf8 = g_filename_to_utf8(s.driver_path, -1, nullptr, nullptr, &gerr);
    if (utf8) {
        g_message("[en_driver] driver path detected: %s", utf8);
    } else {
        g_message("[en_driver] driver path detected (couldn't convert path to ascii): %s", gerr->message);
    }
    return true;
}

bool load_capabilities(module_state &s)
{
    uint32_t code = 0;
    platform_resource_file *file = platform_resource_file_load(s.driver_path, &code);
    if (!file) {
        logger_win32_critical(code, "[en_driver] failed to load driver as datafile");
        return false;
    }
    std::atomic<bool> *targets[] = {&s.layer4_policy_required, &s.sid_rules_supported, &s.ipfilter_dependency,
                                    &s.service_rules_supported};
    bool ok = true;
    for (unsigned id = 4; id <= 7 && ok; id++) {
        g_autofree char *text = platform_resource_file_string(file, id, &code);
        if (!text) {
            logger_win32_critical(code, "[en_driver] failed to load resource %u", id);
            ok = false;
            break;
        }
        /* LoadStringA into an 8-byte buffer: at most 7 characters are seen. */
        char seen[8] = {};
        g_strlcpy(seen, text, sizeof seen);
        if (strcmp(seen, "TRUE") == 0) {
            targets[id - 4]->store(true);
        } else if (strcmp(seen, "FALSE") == 0) {
            targets[id - 4]->store(false);
        } else {
            g_critical("[en_driver] unexpected value for resource %u: %s", id, seen);
            ok = false;
        }
    }
    if (ok) {
        g_message("[en_driver] Loaded driver resources");
        g_message("[en_driver] Layer 4 policy required: %s", yes_no(s.layer4_policy_required));
        g_message("[en_driver] SID rules supported: %s", yes_no(s.sid_rules_supported));
        g_message("[en_driver] IPFilterDriver dependency: %s", yes_no(s.ipfilter_dependency));
        g_message("[en_driver] Service rules supported: %s", yes_no(s.service_rules_supported));
    }
    platform_resource_file_free(file);
    return ok;
}

platform_device *open_device(uint32_t *code) { return platform_device_open(kDeviceName, code); }

bool stop_and_delete_driver_service(platform_service *service, Error **errp)
{
    g_debug("[en_driver] stopping and deleting driver service");
    uint32_t code = 0;
    if (!platform_service_stop(service, &code)) {
        error_setg_win32(errp, code, "failed to stop enforcement service driver");
        return false;
    }
    if (!platform_service_delete(service, &code)) {
        error_setg_win32(errp, code, "failed to delete enforcement service driver");
        return false;
    }
    g_message("[en_driver] stopped and deleted driver service");
    return true;
}

void cleanup_service(platform_service *service)
{
    Error *err = nullptr;
    if (!stop_and_delete_driver_service(service, &err)) {
        g_warning("[en_driver] driver cleanup failed: %s", error_get_message(err));
        error_free(err);
    }
}

platform_service *open_driver_service(platform_scm *scm, uint32_t *code)
{
    return platform_service_open(scm, kServiceName, kServiceAccess, code);
}

platform_service *open_or_create_driver_service(module_state &s, platform_scm *scm, uint32_t *fail_code,
                                                Error **errp)
{
    g_debug("[en_driver] opening driver service");
    uint32_t code = 0;
    platform_service *service = open_driver_service(scm, &code);
    if (service) {
        g_message("[en_driver] driver service already exists");
        return service;
    }
    if (code != kServiceDoesNotExist) {
        *fail_code = code;
        error_setg_win32(errp, code, "failed to open driver service");
        return nullptr;
    }
    g_message("[en_driver] creating driver service");
    service = platform_service_create(scm, kServiceName, kServiceName, kServiceAccess, kKernelDriver, kDemandStart,
                                      kErrorControlNormal, s.driver_path,
                                      s.ipfilter_dependency ? kIpFilterDependency : nullptr, &code);
    if (!service) {
        *fail_code = code;
        error_setg_win32(errp, code, "failed to create driver service");
    }
    return service;
}

bool start_driver_service(platform_service *service, uint32_t *fail_code, Error **errp)
{
    uint32_t code = 0;
    if (platform_service_start(service, &code)) {
        g_message("[en_driver] driver service started");
        return true;
    }
    if (code == kServiceAlreadyRunning) {
        g_message("[en_driver] driver service already running");
        return true;
    }
    *fail_code = code;
    if (code == kInvalidImageHash) {
        unsigned major = 0, minor = 0;
        platform_version(&major, &minor);
        bool sha2_hint = major == 6 && minor < 2;
        error_setg(errp, "Driver signature verification failed. %sPlease contact support.",
                   sha2_hint ? "You may be missing a Microsoft hotfix to support SHA-2 signatures. " : "");
    } else {
        error_setg_win32(errp, code, "failed to start driver service");
    }
    return false;
}

platform_device *install_and_start_driver_service(module_state &s, uint32_t *fail_code, Error **errp)
{
    uint32_t code = 0;
    platform_scm *scm = platform_scm_open(kScmAccess, &code);
    if (!scm) {
        *fail_code = code;
        error_setg_win32(errp, code, "failed to open SCM handle");
        return nullptr;
    }
    platform_service *service = open_or_create_driver_service(s, scm, fail_code, errp);
    if (!service) {
        platform_scm_close(scm);
        return nullptr;
    }
    g_debug("[en_driver] starting driver service");
    if (!start_driver_service(service, fail_code, errp)) {
        cleanup_service(service);
        platform_service_close(service);
        platform_scm_close(scm);
        return nullptr;
    }
    platform_scm_close(scm);
    g_debug("[en_driver] driver open: second device open attempt");
    platform_device *device = open_device(&code);
    if (device) {
        g_message("[en_driver] opened device handle");
        platform_service_close(service);
        return device;
    }
    *fail_code = code;
    error_setg_win32(errp, code, "failed to open device handle after successfully installing");
    cleanup_service(service);
    platform_service_close(service);
    return nullptr;
}

platform_device *open_attempt(module_state &s, uint32_t *fail_code, Error **errp)
{
    g_debug("[en_driver] driver open: first device open attempt");
    uint32_t code = 0;
    platform_device *device = open_device(&code);
    if (device) {
        g_message("[en_driver] opened device handle");
        return device;
    }
    if ((code == kFileNotFound || code == kPathNotFound) && s.install_if_missing) {
        g_message("[en_driver] driver open: device not found, installing and starting driver service now");
        return install_and_start_driver_service(s, fail_code, errp);
    }
    *fail_code = code;
    error_setg_win32(errp, code, "failed to open device handle");
    return nullptr;
}

/*
 * The calling thread's last request error, as the platform's per-thread error would be.
 * A thread key rather than thread_local: this module is loaded at run time, and the leak
 * checker of sanitized builds misreads dynamically allocated thread-local blocks once
 * several threads have used them and ended, and crashes at exit.
 */
GPrivate s_last_error;

void set_last_error(uint32_t error)
{
    g_private_set(&s_last_error, GUINT_TO_POINTER(error));
}

void report_failure(uint32_t code, uint32_t error)
{
    if (error == kOperationAborted) {
        g_warning("[en_driver] ioctl operation aborted");
    } else {
        logger_win32_critical(error, "[en_driver] failed to send ioctl with code %u", code);
    }
}

/* Holds the module lock for reading and a lent event for one request. */
bool send_ioctl(platform_device *device, uint32_t code, uint8_t selector, uint64_t value, uint32_t length,
                void *output, uint32_t output_size, uint32_t *returned)
{
    module_state &s = state();
    std::shared_lock<std::shared_mutex> module_lock(s.lock);
    if (!s.initialised) {
        g_warning("[en_driver] ioctl: module has already been unloaded");
        set_last_error(kInvalidHandleError);
        return false;
    }
    ioctl_slot temporary;
    ioctl_slot *slot = &temporary;
    std::unique_lock<std::mutex> slot_lock;
    for (ioctl_slot &cached : s.cache) {
        std::unique_lock<std::mutex> attempt(cached.lock, std::try_to_lock);
        if (attempt.owns_lock()) {
            slot = &cached;
            slot_lock = std::move(attempt);
            s.cached_in_use++;
            break;
        }
    }
    slot->header = en_ioctl_header{EN_IOCTL_MAGIC, EN_IOCTL_VERSION, selector, value, length};
    slot->returned = 0;

    s.in_flight++;
    uint32_t error = 0;
    bool ok = platform_device_ioctl(device, code, &slot->header, sizeof slot->header, output, output_size,
                                    &slot->returned, &error);
    s.in_flight--;
    set_last_error(ok ? 0 : error);
    if (ok) {
        if (returned) {
            *returned = slot->returned;
        }
    } else {
        report_failure(code, error);
    }
    if (slot_lock.owns_lock()) {
        s.cached_in_use--;
    }
    return ok;
}
} // namespace

uint32_t en_driver_last_error(void)
{
    return GPOINTER_TO_UINT(g_private_get(&s_last_error));
}

bool en_driver_init(bool install_if_missing)
{
    module_state &s = state();
    {
        std::unique_lock<std::shared_mutex> guard(s.lock);
        if (s.initialised) {
            return true;
        }
        g_message("[en_driver] initializing module");
        s.initialised = true;
        s.install_if_missing = install_if_missing;
    }
    /* Nothing to create per slot on this platform: a slot's mutex and context are its event. */
    g_message("[en_driver] initializing ioctl event cache");
    if (!install_if_missing) {
        return true;
    }
    return build_driver_path(s) && load_capabilities(s);
}

void en_driver_free(void)
{
    module_state &s = state();
    {
        std::unique_lock<std::shared_mutex> guard(s.lock);
        if (!s.initialised) {
            return;
        }
        g_message("[en_driver] freeing module");
        s.initialised = false;
    }
    g_message("[en_driver] freeing ioctl event cache");
    for (ioctl_slot &slot : s.cache) {
        std::lock_guard<std::mutex> guard(slot.lock);
        slot.header = {};
        slot.returned = 0;
    }
}

platform_device *do_en_driver_win_open(Error **errp)
{
    g_debug("[en_driver] opening driver handle");
    module_state &s = state();
    std::shared_lock<std::shared_mutex> module_lock(s.lock);
    if (!s.initialised) {
        g_warning("[en_driver] driver open: module has already been unloaded");
        error_setg(errp, "driver open: module has already been unloaded");
        return nullptr;
    }
    for (int attempt = 0;; attempt++) {
        Error *err = nullptr;
        uint32_t fail_code = 0;
        platform_device *device = open_attempt(s, &fail_code, &err);
        if (device) {
            return device;
        }
        /* The failure that ended the attempt, not the cleanup after it, decides the retry. */
        if (attempt == 0 && fail_code == kServiceDisabled) {
            g_critical("[en_driver] driver load failed because service is disabled (%s), this happens when the "
                       "service was recently removed and didn't sync yet, trying again in %u seconds...",
                       error_get_message(err), kDisabledRetrySeconds);
            error_free(err);
            void (*sleep_fn)(unsigned);
            {
                std::lock_guard<std::mutex> guard(s_seam_lock);
                sleep_fn = s_retry_sleep;
            }
            if (sleep_fn) {
                sleep_fn(kDisabledRetrySeconds);
            } else {
                g_usleep(static_cast<gulong>(kDisabledRetrySeconds) * G_USEC_PER_SEC);
            }
            continue;
        }
        error_propagate(errp, err);
        return nullptr;
    }
}

bool en_clean_existing_driver(Error **errp)
{
    g_debug("[en_driver] cleaning up existing driver");
    uint32_t code = 0;
    platform_scm *scm = platform_scm_open(kScmAccess, &code);
    if (!scm) {
        error_setg_win32(errp, code, "failed to open SCM handle");
        return false;
    }
    g_debug("[en_driver] opening driver service");
    platform_service *service = open_driver_service(scm, &code);
    if (!service) {
        g_debug("[en_driver] driver service not found, nothing to clean up");
        platform_scm_close(scm);
        return true;
    }
    Error *err = nullptr;
    bool ok = stop_and_delete_driver_service(service, &err);
    if (!ok) {
        g_critical("failed to stop driver: %s", error_get_message(err));
        error_propagate(errp, err);
    }
    platform_service_close(service);
    platform_scm_close(scm);
    return ok;
}

bool en_driver_send_value(platform_device *device, uint32_t code, uint64_t value)
{
    return send_ioctl(device, code, 0, value, 0, nullptr, 0, nullptr);
}

bool en_driver_send_buffer(platform_device *device, uint32_t code, void *buffer, uint32_t length)
{
    return send_ioctl(device, code, 0, reinterpret_cast<uintptr_t>(buffer), length, nullptr, 0, nullptr);
}

bool en_driver_read_output(platform_device *device, uint32_t code, void *output, uint32_t output_size)
{
    return send_ioctl(device, code, 0, 0, 0, output, output_size, nullptr);
}

bool en_driver_read_event(platform_device *device, void *event_area, void *buffer, uint32_t *bytes_returned)
{
    return send_ioctl(device, EN_IOCTL_READ_EVENT, 0, reinterpret_cast<uintptr_t>(event_area), 0, buffer,
                      EN_DRIVER_EVENT_BUFFER_SIZE, bytes_returned);
}

bool en_driver_set_queue_size(platform_device *device, uint8_t selector, uint32_t size)
{
    bool valid = (selector == EN_DRIVER_QUEUE_SELECTOR_0 && size >= EN_DRIVER_QUEUE_0_MIN &&
                  size <= EN_DRIVER_QUEUE_0_MAX) ||
                 (selector == EN_DRIVER_QUEUE_SELECTOR_1 && size >= EN_DRIVER_QUEUE_1_MIN &&
                  size <= EN_DRIVER_QUEUE_1_MAX);
    if (!valid) {
        return false;
    }
    return send_ioctl(device, EN_IOCTL_SET_QUEUE_SIZE, selector, size, 0, nullptr, 0, nullptr);
}

struct en_driver_pipeline {
    struct Sent {
        uint32_t code;
        platform_overlapped *ov;
        uint32_t error; /* when not sent: why */
        bool unloaded;
    };
    platform_device *device;
    uint32_t group;
    std::deque<Sent> sent;
};

en_driver_pipeline *en_driver_pipeline_new(platform_device *device)
{
    return new en_driver_pipeline{device, platform_device_group(device), {}};
}

void en_driver_pipeline_send_buffer(en_driver_pipeline *p, uint32_t code, const void *buffer, uint32_t length)
{
    module_state &s = state();
    en_driver_pipeline::Sent entry{code, nullptr, 0, false};
    std::shared_lock<std::shared_mutex> module_lock(s.lock);
    if (!s.initialised) {
        entry.unloaded = true;
    } else {
        en_ioctl_header header{EN_IOCTL_MAGIC, EN_IOCTL_VERSION, 0, reinterpret_cast<uintptr_t>(buffer), length};
        if (platform_device_ioctl_begin(p->device, code, &header, sizeof header, p->group, &entry.ov, &entry.error)) {
            s.in_flight++;
        }
    }
    p->sent.push_back(entry);
}

size_t en_driver_pipeline_outstanding(const en_driver_pipeline *p) { return p->sent.size(); }

/* The result of the oldest entry, dropped from the pipeline; its error in *error. */
static bool settle_oldest(en_driver_pipeline *p, uint32_t *error)
{
    en_driver_pipeline::Sent entry = p->sent.front();
    p->sent.pop_front();
    *error = entry.unloaded ? kInvalidHandleError : entry.error;
    if (!entry.ov) {
        return false;
    }
    bool ok = platform_device_ioctl_result(p->device, entry.ov, error);
    state().in_flight--;
    return ok;
}

bool en_driver_pipeline_take(en_driver_pipeline *p)
{
    if (p->sent.empty()) {
        return false;
    }
    uint32_t code = p->sent.front().code;
    bool unloaded = p->sent.front().unloaded;
    uint32_t error = 0;
    bool ok = settle_oldest(p, &error);
    set_last_error(ok ? 0 : error);
    if (unloaded) {
        g_warning("[en_driver] ioctl: module has already been unloaded");
    } else if (!ok) {
        report_failure(code, error);
    }
    return ok;
}

void en_driver_pipeline_free(en_driver_pipeline *p)
{
    if (!p) {
        return;
    }
    while (!p->sent.empty()) {
        uint32_t error = 0;
        settle_oldest(p, &error);
    }
    delete p;
}

bool layer4_policy_required(void) { return state().layer4_policy_required; }
bool sid_rules_supported(void) { return state().sid_rules_supported; }
bool service_rules_supported(void) { return state().service_rules_supported; }
bool ipfilter_dependency(void) { return state().ipfilter_dependency; }

void en_driver_set_host_path_for_test(const char *path)
{
    std::lock_guard<std::mutex> guard(s_seam_lock);
    s_host_path_overridden = path != nullptr;
    s_host_path_override = path ? path : "";
}

void en_driver_set_retry_sleep_for_test(void (*sleep_fn)(unsigned seconds))
{
    std::lock_guard<std::mutex> guard(s_seam_lock);
    s_retry_sleep = sleep_fn;
}

unsigned en_driver_requests_in_flight(void) { return state().in_flight; }
unsigned en_driver_cached_events_in_use(void) { return state().cached_in_use; }
