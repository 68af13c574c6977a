#include "enforcement/framework/agent/en-api.h"
#include "enforcement/framework/agent/en-api-internal.h"

#include <glib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>
#include <cinttypes>
#include <cstring>

#include "agent-common/agent-metrics.h"
#include "agent-common/exclude-ifaces.h"
#include "agent-common/logger.h"
#include "enforcement/framework/agent/en-driver.h"
#include "enforcement/framework/agent/en-lid-map.h"
#include "enforcement/framework/agent/en-proc-info.h"
#include "enforcement/framework/agent/en-process-event-queue.h"
#include "enforcement/framework/agent/en-service-map.h"
#include "enforcement/framework/agent/en-user-sessions.h"
#include "enforcement/platforms/driver-device.h"
#include "enforcement/platforms/netif-luid.h"
#include "enforcement/platforms/process-query.h"
#include "util/agent-assert.h"
#include "util/check-null.h"
#include "util/error.h"

struct en_handle {
    std::atomic<platform_device *> device; /* NULL: closed */
    /* Shut-down devices stay allocated until en_api_free: another thread may still hold one. */
    std::vector<platform_device *> retired;
    GThread *recv_thread;
    GHashTable *volume_device_cache;
    std::atomic<bool> m_stop_event;
    /* Wakes the receive thread's wait between failed reads when stop is set. */
    std::mutex stop_lock;
    std::condition_variable stop_cv;
    std::atomic<bool> started;
    /* Orders lid replies against the adoption of a new numbering at the swap. */
    std::mutex reply_lock;
    en_user_sessions_monitor *user_sessions_monitor;
    en_service_name_map_monitor *service_name_map_monitor;
};

en_handle *g_en_handle;

using ull = unsigned long long;


namespace {

constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kMaxMetricEntries =
    (EN_API_METRICS_BUFFER_SIZE - EN_API_METRIC_ENTRIES_OFFSET) / EN_API_METRIC_ENTRY_SIZE;

bool s_send_batch_events = true;
en_api_lid_reply_hook s_lid_reply_hook;
bool s_once_done;
bool s_user_sessions_initialised;

uint8_t *g_msg_data_buffer;
GMutex s_msg_data_mutex;
uint8_t *s_metrics_buffer;
GMutex s_metrics_mutex;

uint32_t last_request_error(void)
{
    return en_driver_last_error();
}

process_event_queue *s_process_event_queue;

void set_default_lid(en_lid_reply_t *reply)
{
    reply->lid_count = 1;
    memset(reply->lids, 0, sizeof reply->lids);
    reply->lids[0] = EN_API_DEFAULT_LID;
}

/* "1,7(2)": the lids and their count, cut to 15 characters. */
void format_lids(const en_lid_reply_t *reply, char (&text)[16])
{
    GString *s = g_string_new(nullptr);
    unsigned count = std::min<unsigned>(reply->lid_count, EN_API_MAX_LIDS);
    for (unsigned i = 0; i < count; i++) {
        g_string_append_printf(s, "%s%u", i ? "," : "", static_cast<unsigned>(reply->lids[i]));
    }
    g_string_append_printf(s, "(%u)", static_cast<unsigned>(reply->lid_count));
    g_strlcpy(text, s->str, sizeof text);
    g_string_free(s, TRUE);
}

enum class lid_send { sent, failed };

/* Answers the lids of pid: to a driver request (update false) or after a swap. */
lid_send answer_lid(en_handle *en_handle, uint64_t pid, bool update)
{
    en_lid_reply_t reply{};
    reply.pid = pid;
    reply.update = update ? 1 : 0;

    en_process_info_t *info = nullptr;
    Error *err = nullptr;
    agent_metrics_trace_enter("fetch_process_info");
    bool fetched = fetch_process_info(pid, &info, update ? nullptr : s_process_event_queue, &err);
    agent_metrics_trace_exit("fetch_process_info");
    /* The lids are computed without the reply lock, so that a push is never held up by
     * an answer; one computed under a numbering replaced since is computed again. */
    en_lids_t lids{};
    static_assert(sizeof lids.lids == sizeof reply.lids);
    uint64_t generation = 0;
    en_lid_lookup found = EN_LID_LOOKUP_FAILED;
    if (fetched) {
        g_debug("[api] getting lid for pid: %llu, image: %s", static_cast<ull>(pid), info->image_path);
        found = en_lid_map_lookup(info, &lids, &generation);
    }
    if (s_lid_reply_hook) {
        s_lid_reply_hook(pid, update);
    }
    std::lock_guard<std::mutex> guard(en_handle->reply_lock);
    if (fetched) {
        if (generation != en_lid_map_generation()) {
            g_debug("[api] lid map changed while answering pid: %llu, looking up again", static_cast<ull>(pid));
            lids = en_lids_t{};
            found = en_lid_map_lookup(info, &lids, nullptr);
        }
        if (found == EN_LID_LOOKUP_FOUND || found == EN_LID_LOOKUP_NONE) {
            /* The map owns the information from here. */
            uint32_t cid = 0;
            en_lid_map_add_pid_info(info, &cid);
            info = nullptr;
            reply.cid = cid;
        }
        if (found == EN_LID_LOOKUP_FOUND) {
            reply.lid_count = lids.count;
            memcpy(reply.lids, lids.lids, sizeof lids.lids);
        } else {
            g_warning("[api] failed to find lid for pid: %llu", static_cast<ull>(pid));
            set_default_lid(&reply);
        }
    } else {
        if (err) {
            g_log(G_LOG_DOMAIN, update ? G_LOG_LEVEL_DEBUG : G_LOG_LEVEL_WARNING,
                  "[api] failed to fetch process info for pid %llu: %s", static_cast<ull>(pid),
                  error_get_message(err));
            error_free(err);
        }
        set_default_lid(&reply);
    }
    en_process_info_free(info);

    char lids_text[16];
    format_lids(&reply, lids_text);
    g_debug("[api] sending lid reply: pid: %llu, lids: %s", static_cast<ull>(pid), lids_text);
    return en_driver_send_buffer(en_handle->device, EN_IOCTL_LID_REPLY, &reply, sizeof reply) ? lid_send::sent
                                                                                               : lid_send::failed;
}

void *recv_thread_main(void *arg)
{
    return en_api_thread_entry(arg);
}

struct excluded_walk {
    uint64_t luids[EN_API_MAX_EXCLUDED_IFACES];
    size_t filled;
    bool stopped;
};

void excluded_iface_visit(const char *name, size_t list_length, void *data)
{
    auto *walk = static_cast<excluded_walk *>(data);
    if (walk->stopped) {
        return;
    }
    if (walk->filled == EN_API_MAX_EXCLUDED_IFACES) {
        g_warning("[api] reached maximum number of interfaces (needed %zu)", list_length);
        walk->stopped = true;
        return;
    }
    uint64_t luid = platform_iface_luid(name);
    if (luid == 0) {
        g_warning("[api] interface %s does not have LUID", name);
        return;
    }
    walk->luids[walk->filled++] = luid;
}

bool send_excluded_interfaces(en_handle *en_handle)
{
    excluded_walk walk{};
    exclude_ifaces_foreach(excluded_iface_visit, &walk);
    return en_driver_send_buffer(en_handle->device, EN_IOCTL_SET_EXCLUDED_INTERFACES, walk.luids, sizeof walk.luids);
}

void _en_common_api_init(void)
{
    AGENT_ASSERT(NULL == g_msg_data_buffer);
    if (s_send_batch_events) {
        g_msg_data_buffer = static_cast<uint8_t *>(g_malloc0(EN_API_MSG_DATA_BUFFER_SIZE));
        g_mutex_init(&s_msg_data_mutex);
        g_debug("[api] connections event sending support batch events");
    }
    s_metrics_buffer = static_cast<uint8_t *>(g_malloc0(EN_API_METRICS_BUFFER_SIZE));
    g_mutex_init(&s_metrics_mutex);
}

void _en_common_api_free(void)
{
    if (g_msg_data_buffer) {
        g_free(g_msg_data_buffer);
        g_msg_data_buffer = nullptr;
        g_mutex_clear(&s_msg_data_mutex);
    }
    if (s_metrics_buffer) {
        g_free(s_metrics_buffer);
        s_metrics_buffer = nullptr;
        g_mutex_clear(&s_metrics_mutex);
    }
}

void en_api_once_init(void)
{
    if (!en_driver_init(true)) {
        agent_fatal_error("[api] failed to initialize driver module");
    }
    /* The debug privilege has no Linux counterpart: reading /proc of other users' processes
     * needs root, which the service has. */
    if (sid_rules_supported()) {
        s_user_sessions_initialised = en_user_sessions_init();
        if (!s_user_sessions_initialised) {
            g_critical("[api] user sessions module failed to init, continuing without it");
        }
    }
    if (service_rules_supported() && !en_service_name_map_module_init()) {
        agent_fatal_error("[api] failed to initialize service name map module");
    }
    s_once_done = true;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
/* A value request whose log lines print the value as %llu. */
bool send_logged_u64(en_handle *en_handle, uint32_t code, uint64_t value, const char *ok_fmt, const char *fail_fmt)
{
    if (!en_driver_send_value(en_handle->device, code, value)) {
        g_warning(fail_fmt, static_cast<ull>(value));
        return false;
    }
    g_debug(ok_fmt, static_cast<ull>(value));
    return true;
}

/* A bool widened to 64 bits, logged as %d. */
bool send_logged_bool(en_handle *en_handle, uint32_t code, bool value, const char *ok_fmt, const char *fail_fmt)
{
    if (!en_driver_send_value(en_handle->device, code, value ? 1 : 0)) {
        g_warning(fail_fmt, value ? 1 : 0);
        return false;
    }
    g_debug(ok_fmt, value ? 1 : 0);
    return true;
}
#pragma GCC diagnostic pop

} // namespace

void en_api_set_send_batch_events(bool enabled)
{
    s_send_batch_events = enabled;
}

en_handle *en_api_init(void)
{
    if (!s_once_done) {
        en_api_once_init();
    }
    _en_common_api_init();
    auto *handle = new en_handle{};
    handle->device = nullptr;
    s_process_event_queue = process_event_queue_new(s_send_batch_events);
    return handle;
}

bool en_api_start(en_handle *en_handle)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    if (en_handle->started) {
        g_debug("[api] api is already started");
        return true;
    }
    en_handle->m_stop_event = false;

    Error *err = nullptr;
    uint64_t version = 0;
    /* Linux image paths need no volume translation, so the cache stays empty here. */
    en_handle->volume_device_cache = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    if (!en_handle->volume_device_cache) {
        g_critical("[api] failed to initialize volume device cache");
        goto fail;
    }

    g_debug("[api] opening enforcement device handle");
    en_handle->device = do_en_driver_win_open(&err);
    if (!en_handle->device) {
        g_critical("[api] failed to open the enforcement device: %s", err ? error_get_message(err) : "");
        error_free(err);
        goto fail;
    }
    g_debug("[api] opened enforcement device handle");

    if (!en_driver_read_output(en_handle->device, EN_IOCTL_GET_DRIVER_VERSION, &version, sizeof version)) {
        g_critical("[api] error: failed to get driver version");
        goto fail;
    }
    if (!en_driver_send_value(en_handle->device, EN_IOCTL_SET_CONSUMER_ROLE, 0)) {
        g_critical("[api] error: failed to set the consumer role to enforcement");
        goto fail;
    }
    if (version != EN_API_VERSION) {
        g_critical("[api] error: driver version (%llu) doesn't match api version (%llu)", static_cast<ull>(version),
                   static_cast<ull>(EN_API_VERSION));
        goto fail;
    }
    if (!send_excluded_interfaces(en_handle)) {
        g_critical("[api] error: failed to set excluded interfaces");
        goto fail;
    }
    if (sid_rules_supported() && s_user_sessions_initialised) {
        en_handle->user_sessions_monitor = en_user_sessions_start(en_handle->device);
        if (!en_handle->user_sessions_monitor) {
            g_critical("[api] error: failed to start user sessions monitoring");
            goto fail;
        }
    }
    if (service_rules_supported()) {
        en_handle->service_name_map_monitor = en_service_name_map_monitor_start(en_handle->device);
        if (!en_handle->service_name_map_monitor) {
            g_critical("[api] error: failed to start service name map monitoring");
            goto fail;
        }
    }
    process_event_queue_start(s_process_event_queue);
    if (!en_driver_send_value(en_handle->device, EN_IOCTL_START_MONITORING, 0)) {
        g_critical("[api] error: failed to start monitoring");
        goto fail;
    }
    if (!en_driver_set_queue_size(en_handle->device, EN_DRIVER_QUEUE_SELECTOR_0, EN_API_QUEUE_SIZE)) {
        logger_win32_critical(last_request_error(), "[api] error: failed to set queue size");
        goto fail;
    }
    if (service_rules_supported() && !en_service_existing_send(en_handle->device)) {
        g_warning("[api] error: failed to send existing service tags");
    }
    {
        GError *gerr = nullptr;
        en_handle->recv_thread = g_thread_try_new("en-api-recv", recv_thread_main, en_handle, &gerr);
        if (!en_handle->recv_thread) {
            logger_win32_critical(kErrorNotEnoughMemory, "[api] error creating enforcement capturing thread");
            g_clear_error(&gerr);
            goto fail;
        }
    }
    en_handle->started = true;
    return true;

fail:
    en_api_stop(en_handle);
    return false;
}

bool en_api_stop(en_handle *en_handle)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    en_handle->started = false;
    {
        std::lock_guard<std::mutex> guard(en_handle->stop_lock);
        en_handle->m_stop_event = true;
    }
    en_handle->stop_cv.notify_all();

    process_event_queue_stop(s_process_event_queue);
    if (en_handle->service_name_map_monitor) {
        g_message("[api] closing service name map handle");
        en_service_name_map_monitor_stop(en_handle->service_name_map_monitor);
        en_handle->service_name_map_monitor = nullptr;
    }
    bool ok = true;
    if (en_handle->user_sessions_monitor) {
        g_message("[api] closing user sessions handle");
        if (!en_user_sessions_stop(en_handle->user_sessions_monitor)) {
            g_critical("[api] failed to close user sessions handle");
            ok = false;
        }
        en_handle->user_sessions_monitor = nullptr;
    }
    if (platform_device *device = en_handle->device.exchange(nullptr)) {
        g_message("[api] closing enforcement device handle");
        /* Closing wakes the receive thread's pending event read. */
        platform_device_shutdown(device);
        en_handle->retired.push_back(device);
    }
    if (en_handle->recv_thread) {
        g_debug("[api] waiting for recv thread");
        g_thread_join(en_handle->recv_thread);
        en_handle->recv_thread = nullptr;
    }
    if (en_handle->volume_device_cache) {
        g_hash_table_destroy(en_handle->volume_device_cache);
        en_handle->volume_device_cache = nullptr;
    }
    return ok;
}

void en_api_free(en_handle *en_handle)
{
    if (!en_handle) {
        return;
    }
    AGENT_ASSERT(en_handle->m_stop_event);
    if (en_handle->device) {
        g_warning("[api] enforcement device handle is still valid at exit");
    }
    for (platform_device *device : en_handle->retired) {
        platform_device_close(device);
    }
    en_handle->retired.clear();
    process_event_queue_destroy(s_process_event_queue);
    s_process_event_queue = nullptr;
    _en_common_api_free();
    if (s_once_done) {
        if (service_rules_supported()) {
            en_service_name_map_module_free();
        }
        if (sid_rules_supported() && s_user_sessions_initialised) {
            en_user_sessions_free();
        }
        s_user_sessions_initialised = false;
        en_driver_free();
        s_once_done = false;
    }
    delete en_handle;
}

bool en_api_is_started(const en_handle *en_handle)
{
    return en_handle && en_handle->started;
}

/* Pause after a failed read: a few ms at first, doubling while failures repeat. */
constexpr int kReadRetryFirstMs = 5;
constexpr int kReadRetryMaxMs = 1000;

/* False when stop was set meanwhile. */
static bool wait_unless_stopped(en_handle *en_handle, int ms)
{
    std::unique_lock<std::mutex> lock(en_handle->stop_lock);
    return !en_handle->stop_cv.wait_for(lock, std::chrono::milliseconds(ms),
                                        [en_handle] { return en_handle->m_stop_event.load(); });
}

void *en_api_thread_entry(void *arg)
{
    auto *en_handle = static_cast<struct en_handle *>(arg);
    AGENT_CHECK_NULL(en_handle, "en_handle", nullptr);
    g_message("[api] starting recv thread: %d", static_cast<int>(platform_thread_id()));
    static_assert(EN_API_EVENT_AREA_SIZE == EN_DRIVER_EVENT_AREA_SIZE &&
                  EN_API_EVENT_BUFFER_SIZE == EN_DRIVER_EVENT_BUFFER_SIZE);
    uint8_t event[EN_API_EVENT_AREA_SIZE];
    auto *buffer = static_cast<uint8_t *>(g_malloc(EN_DRIVER_EVENT_BUFFER_SIZE));
    /* A driver that is gone fails every read at once: without a pause the thread would spin
     * and fill the log. */
    int retry_ms = kReadRetryFirstMs;
    while (!en_handle->m_stop_event) {
        memset(event, 0, sizeof event);
        uint32_t returned = 0;
        if (!en_driver_read_event(en_handle->device, event, buffer, &returned)) {
            if (en_handle->m_stop_event) {
                break;
            }
            logger_win32_warning(last_request_error(), "[api] failed to read packet");
            if (!wait_unless_stopped(en_handle, retry_ms)) {
                break;
            }
            retry_ms = std::min(retry_ms * 2, kReadRetryMaxMs);
            continue;
        }
        retry_ms = kReadRetryFirstMs;
        uint32_t type = 0;
        uint64_t pid = 0;
        memcpy(&type, event, sizeof type);
        memcpy(&pid, event + 4, sizeof pid);
        if (type != EN_API_EVENT_LID_REQUEST) {
            g_critical("[api] unknown event type from driver: %u", type);
            continue;
        }
        g_debug("[api] received a new lid request from driver");
        if (answer_lid(en_handle, pid, false) == lid_send::failed) {
            if (en_handle->m_stop_event) {
                break;
            }
            logger_win32_warning(last_request_error(), "[api] failed to send lid reply");
        }
    }
    g_free(buffer);
    g_message("[api] exiting recv thread: %d", static_cast<int>(platform_thread_id()));
    return nullptr;
}

bool en_api_update_existing_lids(en_handle *en_handle)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    uint32_t code = 0;
    GArray *pids = platform_process_ids(&code);
    if (!pids) {
        if (code == 18) {
            logger_win32_critical(code, "[api] error reading first process from the process list snapshot");
        } else {
            logger_win32_critical(code, "[api] error reading ps list to update existing lids");
        }
        return false;
    }
    for (guint i = 0; i < pids->len; i++) {
        if (answer_lid(en_handle, g_array_index(pids, uint64_t, i), true) == lid_send::failed &&
            !en_handle->m_stop_event) {
            logger_win32_warning(last_request_error(), "[api] failed to send lid reply");
        }
    }
    g_array_unref(pids);
    return true;
}

/* ---- requests without success logs ---- */

bool en_api_init_input_table(en_handle *en_handle, uint64_t chain_count)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    if (!en_driver_send_value(en_handle->device, EN_IOCTL_INIT_INPUT_TABLE, chain_count)) {
        g_warning("[api] failed to init input table on the driver");
        return false;
    }
    return true;
}

bool en_api_init_output_table(en_handle *en_handle, uint64_t chain_count)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    if (!en_driver_send_value(en_handle->device, EN_IOCTL_INIT_OUTPUT_TABLE, chain_count)) {
        g_warning("[api] failed to init output table on the driver");
        return false;
    }
    return true;
}

bool en_api_init_input_table_index(en_handle *en_handle, void *index, uint32_t length)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    if (!en_driver_send_buffer(en_handle->device, EN_IOCTL_INIT_INPUT_TABLE_INDEX, index, length)) {
        g_warning("[api] failed to init input table index");
        return false;
    }
    return true;
}

bool en_api_init_output_table_index(en_handle *en_handle, void *index, uint32_t length)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    if (!en_driver_send_buffer(en_handle->device, EN_IOCTL_INIT_OUTPUT_TABLE_INDEX, index, length)) {
        g_warning("[api] failed to init output table index");
        return false;
    }
    return true;
}

bool en_api_platform_add_chain(en_handle *en_handle, void *buf, uint32_t length)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    AGENT_CHECK_NULL(buf, "buf", false);
    if (!en_driver_send_buffer(en_handle->device, EN_IOCTL_ADD_CHAIN, buf, length)) {
        g_warning("[api] failed to add chain");
        return false;
    }
    return true;
}

bool en_api_platform_add_rule(en_handle *en_handle, void *buf, uint32_t length)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    AGENT_CHECK_NULL(buf, "buf", false);
    if (!en_driver_send_buffer(en_handle->device, EN_IOCTL_ADD_RULE, buf, length)) {
        g_warning("[api] failed to add rule");
        return false;
    }
    return true;
}

bool en_api_add_chain(en_handle *en_handle, void *add_chain_msg)
{
    return en_api_platform_add_chain(en_handle, add_chain_msg, EN_API_ADD_CHAIN_SIZE);
}

/* The add-rule message around a rule buffer (names present), or NULL after the refusal is
 * reported. */
static uint8_t *add_rule_msg(const char *table_name, const char *chain_name, const void *rule, uint64_t rule_length,
                             uint32_t *msg_length, Error **errp)
{
    if (strlen(table_name) >= EN_API_NAME_SIZE) {
        g_warning("[api] table name is too long");
        error_setg(errp, "[api] table name is too long");
        return nullptr;
    }
    if (strlen(chain_name) >= EN_API_NAME_SIZE) {
        g_warning("[api] chain name is too long");
        error_setg(errp, "[api] chain name is too long");
        return nullptr;
    }
    if (rule_length > UINT32_MAX - EN_API_ADD_RULE_HEADER_SIZE) {
        g_warning("[api] failed to add rule");
        return nullptr;
    }
    uint64_t total = EN_API_ADD_RULE_HEADER_SIZE + rule_length;
    auto *msg = static_cast<uint8_t *>(g_malloc0(total));
    memcpy(msg, table_name, strlen(table_name));
    memcpy(msg + EN_API_NAME_SIZE, chain_name, strlen(chain_name));
    memcpy(msg + 2 * EN_API_NAME_SIZE, &rule_length, sizeof rule_length);
    if (rule_length) {
        memcpy(msg + EN_API_ADD_RULE_HEADER_SIZE, rule, rule_length);
    }
    *msg_length = static_cast<uint32_t>(total);
    return msg;
}

bool en_api_add_rule(en_handle *en_handle, const char *table_name, const char *chain_name, const void *rule,
                     uint64_t rule_length, Error **errp)
{
    AGENT_CHECK_NULL_ERR(en_handle, "en_handle", errp, false);
    AGENT_CHECK_NULL_ERR(table_name, "table_name", errp, false);
    AGENT_CHECK_NULL_ERR(chain_name, "chain_name", errp, false);
    AGENT_CHECK_NULL_ERR(rule || rule_length == 0, "rule", errp, false);
    uint32_t total = 0;
    uint8_t *msg = add_rule_msg(table_name, chain_name, rule, rule_length, &total, errp);
    if (!msg) {
        return false;
    }
    bool ok = en_api_platform_add_rule(en_handle, msg, total);
    g_free(msg);
    return ok;
}

en_driver_pipeline *en_api_pipeline_new(en_handle *en_handle)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", nullptr);
    return en_driver_pipeline_new(en_handle->device);
}

void en_api_add_chain_send(en_driver_pipeline *pipeline, void *add_chain_msg)
{
    en_driver_pipeline_send_buffer(pipeline, EN_IOCTL_ADD_CHAIN, add_chain_msg, EN_API_ADD_CHAIN_SIZE);
}

bool en_api_add_chain_result(en_driver_pipeline *pipeline)
{
    if (!en_driver_pipeline_take(pipeline)) {
        g_warning("[api] failed to add chain");
        return false;
    }
    return true;
}

bool en_api_add_rule_send(en_driver_pipeline *pipeline, const char *table_name, const char *chain_name,
                          const void *rule, uint64_t rule_length, Error **errp)
{
    AGENT_CHECK_NULL_ERR(table_name, "table_name", errp, false);
    AGENT_CHECK_NULL_ERR(chain_name, "chain_name", errp, false);
    AGENT_CHECK_NULL_ERR(rule || rule_length == 0, "rule", errp, false);
    uint32_t total = 0;
    uint8_t *msg = add_rule_msg(table_name, chain_name, rule, rule_length, &total, errp);
    if (!msg) {
        return false;
    }
    en_driver_pipeline_send_buffer(pipeline, EN_IOCTL_ADD_RULE, msg, total);
    g_free(msg);
    return true;
}

bool en_api_add_rule_result(en_driver_pipeline *pipeline)
{
    if (!en_driver_pipeline_take(pipeline)) {
        g_warning("[api] failed to add rule");
        return false;
    }
    return true;
}

bool en_api_policy_set_revision(en_handle *en_handle, uint64_t revision)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    if (!en_driver_send_value(en_handle->device, EN_IOCTL_SET_POLICY_REVISION, revision)) {
        g_warning("[api] failed to set policy revision");
        return false;
    }
    return true;
}

bool en_api_policy_light_revision_update(en_handle *en_handle, uint64_t revision)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    if (!en_driver_send_value(en_handle->device, EN_IOCTL_LIGHT_REVISION_UPDATE, revision)) {
        g_warning("[api] failed to do a light revision update");
        return false;
    }
    return true;
}

bool en_api_policy_swap(en_handle *en_handle)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    if (!en_driver_send_value(en_handle->device, EN_IOCTL_SWAP_POLICY, 0)) {
        g_warning("[api] failed to swap policy");
        return false;
    }
    {
        /* The driver enforces the new policy from here: its numbering answers from here too. */
        std::lock_guard<std::mutex> guard(en_handle->reply_lock);
        en_lid_map_stage_commit();
    }
    en_api_update_existing_lids(en_handle);
    /* The swap is the commit point: connections decided earlier keep their verdict until
     * they are seen again, which is no reason to report the new policy as not in force. */
    if (!en_driver_send_value(en_handle->device, EN_IOCTL_TRIGGER_REAUTHORIZATION, 0)) {
        g_warning("[api] failed to trigger reauthorization");
    }
    return true;
}

void en_api_set_lid_reply_hook_for_test(en_api_lid_reply_hook hook)
{
    s_lid_reply_hook = hook;
}

/* ---- settings ---- */

bool en_api_set_driver_verbosity(en_handle *en_handle, uint64_t level)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    return send_logged_u64(en_handle, EN_IOCTL_SET_DRIVER_VERBOSITY, level, "[api] driver log verbosity set to: %llu",
                           "[api] failed to set log verbosity level: %llu");
}

bool en_api_set_block_non_tcp_udp(en_handle *en_handle, bool block)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    return send_logged_bool(en_handle, EN_IOCTL_BLOCK_NON_TCP_UDP, block, "[api] driver block icmp set to: %d",
                            "[api] failed to set block icmp: %d");
}

bool en_api_set_dns_enable(en_handle *en_handle, bool enable)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    return send_logged_bool(en_handle, EN_IOCTL_DNS_ENABLE, enable, "[api] driver dns enable set to: %d",
                            "[api] failed to set dns enable: %d");
}

bool en_api_set_dns_rate_limit(en_handle *en_handle, uint64_t value)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    return send_logged_u64(en_handle, EN_IOCTL_DNS_RATE_LIMIT, value, "[api] driver dns rate limit set to: %llu",
                           "[api] failed to set dns rate limit: %llu");
}

bool en_api_set_syn_sent_timeout(en_handle *en_handle, uint64_t value)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    return send_logged_u64(en_handle, EN_IOCTL_SYN_SENT_TIMEOUT, value, "[api] syn set timeout set to: %llu",
                           "[api] failed to set syn set timeout: %llu");
}

bool en_api_set_enforcement_mode(en_handle *en_handle, uint64_t mode)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    return send_logged_u64(en_handle, EN_IOCTL_ENFORCEMENT_MODE, mode, "[api] driver enforcement mode set to: %llu",
                           "[api] failed to set enforcement mode: %llu");
}

bool en_api_set_windows_firewall_mode(en_handle *en_handle, uint64_t mode)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    return send_logged_u64(en_handle, EN_IOCTL_WINDOWS_FIREWALL_MODE, mode, "[api] driver firewall mode set to: %llu",
                           "[api] failed to set firewall mode: %llu");
}

bool en_api_set_drop_out_of_session(en_handle *en_handle, bool drop)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    return send_logged_bool(en_handle, EN_IOCTL_DROP_OUT_OF_SESSION, drop,
                            "[api] driver drop out-of-session set to: %d",
                            "[api] failed to set drop out-of-session: %d");
}

bool en_api_set_policy_limits(en_handle *en_handle, const en_policy_limits_t *limits)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    en_policy_limits_t block = *limits;
    if (!en_driver_send_buffer(en_handle->device, EN_IOCTL_SET_POLICY_LIMITS, &block, sizeof block)) {
        g_warning("[api] failed to set policy limits");
        return false;
    }
    g_debug("[api] policy limits set");
    return true;
}

bool en_api_set_index_limits(en_handle *en_handle, const en_index_limits_t *limits)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    en_index_limits_t block = *limits;
    if (!en_driver_send_buffer(en_handle->device, EN_IOCTL_SET_INDEX_LIMITS, &block, sizeof block)) {
        g_warning("[api] failed to set index limits");
        return false;
    }
    g_debug("[api] index limits set");
    return true;
}

bool en_api_set_dns_blocklist_policy(en_handle *en_handle, void *dns_blocklist, uint32_t length)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    AGENT_CHECK_NULL(dns_blocklist, "dns_blocklist", false);
    if (length == 0) {
        g_warning("[api] buffer cannot be of size 0");
        return false;
    }
    return en_driver_send_buffer(en_handle->device, EN_IOCTL_DNS_BLOCKLIST_POLICY, dns_blocklist, length);
}

bool en_api_set_dns_blocklist_enabled(en_handle *en_handle, bool enabled)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    return en_driver_send_value(en_handle->device, EN_IOCTL_DNS_BLOCKLIST_ENABLED, enabled ? 1 : 0);
}

bool en_api_set_req_sufficient_size(en_handle *en_handle, uint64_t value)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    return send_logged_u64(en_handle, EN_IOCTL_REQ_SUFFICIENT_SIZE, value,
                           "[api] driver conn request sufficient size set to: %llu",
                           "[api] failed to set conn request sufficient size: %llu");
}

/* ---- reads ---- */

bool en_api_get_dns_snapshot(en_handle *en_handle, void *snapshot)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    if (!en_driver_send_buffer(en_handle->device, EN_IOCTL_GET_DNS_SNAPSHOT, snapshot, EN_API_DNS_SNAPSHOT_SIZE)) {
        g_warning("[api] failed to get dns snapshot");
        return false;
    }
    g_debug("[api] fetched dns snapshot from driver");
    return true;
}

bool en_api_set_dns_snapshot(en_handle *en_handle, void *snapshot)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    if (!en_driver_send_buffer(en_handle->device, EN_IOCTL_SET_DNS_SNAPSHOT, snapshot, EN_API_DNS_SNAPSHOT_SIZE)) {
        g_warning("[api] failed to set dns snapshot");
        return false;
    }
    g_debug("[api] pushed dns snapshot to driver");
    return true;
}

bool _en_api_get_metrics(en_handle *en_handle, void *buf, uint32_t size)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    return en_driver_read_output(en_handle->device, EN_IOCTL_GET_METRICS, buf, size);
}

bool en_api_get_metrics(en_handle *en_handle)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    g_mutex_lock(&s_metrics_mutex);
    if (!_en_api_get_metrics(en_handle, s_metrics_buffer, EN_API_METRICS_BUFFER_SIZE)) {
        g_warning("[api] failed to get driver metrics");
        g_mutex_unlock(&s_metrics_mutex);
        return false;
    }
    uint64_t count = 0;
    memcpy(&count, s_metrics_buffer, sizeof count);
    /* Only entries inside the buffer are read, whatever the count says. */
    uint64_t entries = std::min<uint64_t>(count, kMaxMetricEntries);
    for (uint64_t i = 0; i < entries; i++) {
        const uint8_t *entry = s_metrics_buffer + EN_API_METRIC_ENTRIES_OFFSET + i * EN_API_METRIC_ENTRY_SIZE;
        int64_t value = 0;
        memcpy(&value, entry, sizeof value);
        char name[EN_API_METRIC_NAME_SIZE + 1];
        memcpy(name, entry + sizeof value, EN_API_METRIC_NAME_SIZE);
        name[EN_API_METRIC_NAME_SIZE] = '\0';
        if (name[0] == '\0') {
            continue;
        }
        g_debug("[driver metrics] %s: %lld", name, static_cast<long long>(value));
        agent_metrics_set("%s", static_cast<uint64_t>(value), name);
    }
    g_mutex_unlock(&s_metrics_mutex);
    return true;
}

uint32_t en_api_get_driver_logs(en_handle *en_handle, void *log_request)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", 0);
    if (!en_driver_send_buffer(en_handle->device, EN_IOCTL_GET_DRIVER_LOGS, log_request, EN_API_LOG_REQUEST_SIZE)) {
        /* A stop closes the device under a request that waits: that is no failure to report. */
        if (!en_handle->m_stop_event) {
            g_warning("[api] failed to get driver logs");
        }
        return 0;
    }
    uint32_t filled = 0;
    memcpy(&filled, static_cast<uint8_t *>(log_request) + 24, sizeof filled);
    g_debug("[api] received %d log bytes from driver", static_cast<int>(filled));
    return filled;
}

bool en_api_get_connections(en_handle *en_handle, void *conn_request)
{
    AGENT_CHECK_NULL(en_handle, "en_handle", false);
    if (!en_driver_send_buffer(en_handle->device, EN_IOCTL_GET_CONNECTIONS, conn_request, EN_API_CONN_REQUEST_SIZE)) {
        /* A stop closes the device under a read that waits: that is no failure to report. */
        if (!en_handle->m_stop_event) {
            g_warning("[api] failed to get connections");
        }
        return false;
    }
    return true;
}

uint8_t *en_api_msg_data_buffer(void)
{
    return g_msg_data_buffer;
}

void en_api_msg_data_lock(void)
{
    g_mutex_lock(&s_msg_data_mutex);
}

void en_api_msg_data_unlock(void)
{
    g_mutex_unlock(&s_msg_data_mutex);
}

bool en_api_layer4_policy_required(void)
{
    return layer4_policy_required();
}

bool en_api_sid_rules_supported(void)
{
    return sid_rules_supported();
}

bool en_api_service_rules_supported(void)
{
    return service_rules_supported();
}
