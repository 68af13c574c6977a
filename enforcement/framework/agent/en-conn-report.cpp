#include "enforcement/framework/agent/en-conn-report.h"

#include <glib.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "agent-common/agent-metrics.h"
#include "agent-common/net-event.h"
#include "agent-common/nnmsg-channel.h"
#include "enforcement/framework/agent/en-api.h"
#include "enforcement/framework/agent/en-config.h"
#include "enforcement/framework/agent/en-event.h"
#include "enforcement/framework/agent/en-lid-map.h"
#include "enforcement/framework/common/en-utils.h"
#include "enforcement/platforms/account-lookup.h"
#include "util/agent-assert.h"
#include "util/error.h"

namespace {

using ull = unsigned long long;

constexpr size_t kRecordBufferSize = size_t{EN_CONN_REPORT_MAX_RECORDS} * EN_EVENT_CONN_RECORD_SIZE;
constexpr uint32_t kPlaceholderPid = 0xFFFFFFFEu;

bool s_initialized;
GThread *s_thread;
std::atomic<bool> s_stop;
/* Monotonic microseconds of the last report or keepalive sent. */
gint64 s_keepalive_clock;
uint8_t s_single_buffer[EN_EVENT_SPACE];
uint8_t s_keepalive_buffer[NET_EVENT_KEEPALIVE_SPACE];

#pragma pack(push, 1)
struct conn_request_t {
    uint64_t wait_ms;
    uint32_t max_records;
    uint32_t sufficient;
    uint32_t returned;
    uint32_t buffer_size;
    uint64_t buffer;
    uint64_t aux;
};
#pragma pack(pop)
static_assert(sizeof(conn_request_t) == EN_API_CONN_REQUEST_SIZE);
static_assert(EN_API_MSG_DATA_BUFFER_SIZE - EN_CONN_REPORT_BATCH_THRESHOLD - NET_EVENT_RECORD_HEADER_SIZE >= 1024);

bool push(const uint8_t *data, size_t length, Error **errp)
{
    return nnmsg_channel_report_send(data, length, errp);
}

const char *protocol_name(uint32_t protocol)
{
    switch (protocol) {
    case ENDR_PROTOCOL_TCP:
        return "TCP";
    case ENDR_PROTOCOL_UDP:
        return "UDP";
    case ENDR_PROTOCOL_ALL:
        return "ALL";
    default:
        return "ERROR";
    }
}

const char *verdict_name(uint32_t verdict)
{
    static const char *const names[] = {"UNKNOWN", "BLOCK", "ALLOW", "CONTINUE"};
    return verdict < G_N_ELEMENTS(names) ? names[verdict] : "ERROR";
}

const char *status_name(uint8_t status)
{
    static const char *const names[] = {"UNKNOWN", "SUCCESS", "FAILED"};
    return status < G_N_ELEMENTS(names) ? names[status] : "ERROR";
}

/* "10.0.0.1" or "[fe80::1]". */
void address_text(const endr_address_t &a, uint16_t family, char (&text)[64])
{
    text[0] = '\0';
    if (family == 2) {
        char inner[60];
        if (_en_ntop(EN_AF_INET6, a.address, inner, sizeof inner)) {
            g_snprintf(text, sizeof text, "[%s]", inner);
        }
    } else {
        _en_ntop(EN_AF_INET, a.address, text, sizeof text);
    }
}

/* The debug line of a record; false (after a warning) for an enrichment type unknown here. */
bool log_record(const endr_conn_record_t *r, const char *dns_name, const char *rule_id)
{
    const endr_l4_tuple_t &t = r->tuple;
    char src[64], dst[64];
    address_text(t.source, t.family, src);
    address_text(t.destination, t.family, dst);
    switch (r->enrichment_type) {
    case ENDR_ENRICH_PRIMARY:
        g_debug("[api] new %s connection by %llu: %s:%hu -> %s:%hu (%s) = %s (%s) status = %s",
                protocol_name(t.protocol), static_cast<ull>(r->pid), src, t.source_port, dst, t.destination_port,
                dns_name, verdict_name(r->verdict), rule_id, status_name(r->status));
        return true;
    case ENDR_ENRICH_STATUS:
        g_debug("[api] new %s enrichment (%s): %s:%hu -> %s:%hu status = %s", protocol_name(t.protocol), "STATUS",
                src, t.source_port, dst, t.destination_port, status_name(r->status));
        return true;
    default:
        g_warning("[api] unknown %s enrichment type (%d): %s:%hu -> %s:%hu (%s) = %s (%s) status = %s",
                  protocol_name(t.protocol), static_cast<int>(r->enrichment_type), src, t.source_port, dst,
                  t.destination_port, dns_name, verdict_name(r->verdict), rule_id, status_name(r->status));
        return false;
    }
}

en_process_info_t *placeholder(const char *name)
{
    auto *info = g_new0(en_process_info_t, 1);
    info->app_name = g_strdup(name);
    info->container_id = g_strdup("HOST");
    info->pod_id = g_strdup("HOST");
    info->pid = kPlaceholderPid;
    info->ppid = kPlaceholderPid;
    info->has_ppid = true;
    info->creation_time = g_get_real_time() / G_USEC_PER_SEC;
    return info;
}

/* The process of a record; NULL (after a warning) when the lid map does not know it. */
en_process_info_t *resolve_process(const endr_conn_record_t *r)
{
    if (en_api_layer4_policy_required()) {
        return placeholder("Unknown Process");
    }
    if (r->enrichment_type == ENDR_ENRICH_STATUS || r->no_process) {
        return placeholder(nullptr);
    }
    en_process_info_t *info = nullptr;
    if (!en_lid_map_get_pid(r->pid, r->cid, &info)) {
        g_warning("[api] couldn't find application name for pid: %llu cid: %u", static_cast<ull>(r->pid), r->cid);
        return nullptr;
    }
    return info;
}

char *resolve_user(const endr_conn_record_t *r)
{
    if (r->sub_authority_count == 0) {
        return nullptr;
    }
    /* The record is packed: the sub-authorities need an aligned copy. */
    uint32_t subs[G_N_ELEMENTS(r->sub_authorities)];
    memcpy(subs, r->sub_authorities, sizeof subs);
    Error *err = nullptr;
    char *name = lookup_name_from_nt_auth_sid(r->sub_authority_count, subs, &err);
    if (!name) {
        g_warning("[api] error looking up user SID: %s", error_get_message(err));
        error_free(err);
    }
    return name;
}

/*
 * Logs, resolves and serializes one connection record into out (space *len). False when
 * the record is dropped: unknown enrichment, unknown process or a refused event.
 */
bool record_event(const endr_conn_record_t *r, uint8_t *out, size_t *len)
{
    g_autofree char *rule_id = en_event_record_text(r->rule_id, sizeof r->rule_id);
    g_autofree char *dns_name = en_event_record_text(r->dns_name, sizeof r->dns_name);
    if (!log_record(r, dns_name, rule_id)) {
        return false;
    }
    en_process_info_t *info = resolve_process(r);
    if (!info) {
        return false;
    }
    g_autofree char *user = resolve_user(r);
    g_autofree char *pattern = en_event_record_text(r->dns_pattern, sizeof r->dns_pattern);
    g_autofree char *service = nullptr;
    g_autofree char *display = nullptr;
    if (r->service_kind != 0) {
        service = en_event_record_text(r->service_name, sizeof r->service_name);
        if (r->service_kind == 1) {
            display = platform_service_display_name(service);
        }
        if (!display) {
            display = g_strdup(service);
        }
    }
    bool ok = en_event_create(r->inbound != 0, &r->tuple, info, static_cast<endr_verdict_e>(r->verdict), rule_id,
                              r->policy_revision, r->dc_inventory_revision, dns_name, user,
                              static_cast<endr_conn_status_e>(r->status),
                              static_cast<endr_enrich_type_e>(r->enrichment_type),
                              static_cast<endr_enforcement_state_e>(r->enforcement_state), out, len, r->sm_id,
                              r->deception_present != 0, r->redirected != 0,
                              static_cast<endr_dec_policy_verdict_e>(r->deception_verdict),
                              static_cast<endr_dec_reason_e>(r->deception_reason), r->redirect_id, pattern, service,
                              display);
    en_process_info_free(info);
    return ok;
}

/* Records are copied out of the driver's buffer, which carries no alignment promise. */
void load_record(const uint8_t *records, size_t index, endr_conn_record_t *r)
{
    memcpy(r, records + index * EN_EVENT_CONN_RECORD_SIZE, sizeof *r);
}

uint32_t record_type(const uint8_t *records, size_t index)
{
    uint32_t type;
    memcpy(&type, records + index * EN_EVENT_CONN_RECORD_SIZE, sizeof type);
    return type;
}

/*
 * One message per event. A record that cannot become an event costs only itself, as in a
 * batch: the records after it are good and still go. A failed send ends the chunk, since
 * the channel refuses; that record and every connection after it are counted as dropped.
 */
bool report_single(const uint8_t *records, size_t count)
{
    endr_conn_record_t r;
    for (size_t i = 0; i < count; i++) {
        if (record_type(records, i) != EN_EVENT_RECORD_TYPE_CONNECTION) {
            continue;
        }
        load_record(records, i, &r);
        size_t len = sizeof s_single_buffer;
        if (!record_event(&r, s_single_buffer, &len)) {
            agent_metrics_add("en_report.dropped_connections", 1);
            continue;
        }
        Error *err = nullptr;
        if (!push(s_single_buffer, len, &err)) {
            size_t unsent = 0;
            for (size_t j = i; j < count; j++) {
                unsent += record_type(records, j) == EN_EVENT_RECORD_TYPE_CONNECTION;
            }
            agent_metrics_add("en_report.dropped_connections", unsent);
            g_warning("[api] failed sending a single connection (%d bytes) toward Vistor agent: %s",
                      static_cast<int>(len), error_get_message(err));
            error_free(err);
            return false;
        }
    }
    return true;
}

bool report_batch(const uint8_t *records, size_t count, size_t connections)
{
    uint8_t *batch = en_api_msg_data_buffer();
    AGENT_ASSERT(NULL != batch);
    en_api_msg_data_lock();
    size_t used = 0;
    Error *err = nullptr;
    bool sent = true;
    endr_conn_record_t r;
    for (size_t i = 0; i < count; i++) {
        if (record_type(records, i) != EN_EVENT_RECORD_TYPE_CONNECTION) {
            continue;
        }
        if (used > EN_CONN_REPORT_BATCH_THRESHOLD) {
            if (!(sent = push(batch, used, &err))) {
                break;
            }
            used = 0;
        }
        load_record(records, i, &r);
        /* Past the threshold an event may not take its full space: the buffer ends first. */
        size_t len = std::min<size_t>(EN_EVENT_SPACE, EN_API_MSG_DATA_BUFFER_SIZE - used - NET_EVENT_RECORD_HEADER_SIZE);
        if (!record_event(&r, batch + used + NET_EVENT_RECORD_HEADER_SIZE, &len)) {
            agent_metrics_add("en_report.dropped_connections", 1);
            continue;
        }
        net_event_write_record_header(batch + used, static_cast<uint16_t>(len));
        used += NET_EVENT_RECORD_HEADER_SIZE + len;
    }
    if (sent && used) {
        sent = push(batch, used, &err);
    }
    en_api_msg_data_unlock();
    if (!sent) {
        agent_metrics_add("en_report.dropped_connections", connections);
        g_warning("[api] failed sending batch of %zu connections (%zu bytes) toward Vistor agent: %s", connections,
                  used, error_get_message(err));
        error_free(err);
        return false;
    }
    return true;
}

void keepalive_check(void)
{
    gint64 now = g_get_monotonic_time();
    if (now - s_keepalive_clock < static_cast<gint64>(g_en_config.keepalive_interval)) {
        return;
    }
    g_debug("[api] sending keepalive");
    size_t len = sizeof s_keepalive_buffer;
    Error *err = nullptr;
    if (!net_event_create_keepalive(s_keepalive_buffer, &len, &err)) {
        g_critical("[event] error serializing event: %s", error_get_message(err));
        error_free_and_clear(&err);
        g_warning("[api] failed creating keepalive event buffer");
        return;
    }
    if (!push(s_keepalive_buffer, len, &err)) {
        g_warning("[api] failed sending keepalive (%d bytes) toward Vistor agent: %s", static_cast<int>(len),
                  error_get_message(err));
        error_free(err);
        return;
    }
    s_keepalive_clock = g_get_monotonic_time();
}

void report_chunks(const uint8_t *records, uint32_t n)
{
    bool layer4 = en_api_layer4_policy_required();
    for (size_t start = 0; start < n; start += EN_CONN_REPORT_CHUNK) {
        size_t size = std::min<size_t>(EN_CONN_REPORT_CHUNK, n - start);
        const uint8_t *chunk = records + start * EN_EVENT_CONN_RECORD_SIZE;
        size_t hooked = 0;
        for (size_t i = 0; i < size; i++) {
            /* Handed to a platform hook that has nothing to do on this platform. */
            hooked += record_type(chunk, i) == EN_EVENT_RECORD_TYPE_HOOK;
        }
        size_t connections = size - hooked;
        if (en_api_report_connections(chunk, size, connections)) {
            agent_metrics_add("connections-report-batches", 1);
            agent_metrics_add("connections-reported", connections);
            if (!layer4) {
                s_keepalive_clock = g_get_monotonic_time();
            }
        } else {
            g_warning("[conn_report] failed reporting %zu connection reports", connections);
            agent_metrics_add("failed-connections-report-batches", 1);
            agent_metrics_add("failed-connections-reported", connections);
        }
    }
}

/* A read that fails at once (the device gone, the driver refusing) is not retried at
 * once: that would spin a core and flood the log. It waits as long as an empty read. */
void pause_after_failed_read(void)
{
    gint64 until = g_get_monotonic_time() +
                   static_cast<gint64>(std::min<uint64_t>(g_en_config.conn_request_timeout_ms, 1000)) * 1000;
    while (!s_stop && g_get_monotonic_time() < until) {
        g_usleep(10000);
    }
}

gpointer en_connection_thread(gpointer)
{
    auto *records = static_cast<uint8_t *>(g_malloc0(kRecordBufferSize));
    auto *aux = static_cast<uint8_t *>(g_malloc0(EN_CONN_REPORT_AUX_SIZE));
    if (!en_api_layer4_policy_required()) {
        s_keepalive_clock = g_get_monotonic_time();
    }
    g_message("[conn_report] starting enforcement driver unified report thread");
    while (!s_stop) {
        conn_request_t req{};
        req.wait_ms = g_en_config.conn_request_timeout_ms;
        req.max_records = static_cast<uint32_t>(std::min<uint64_t>(g_en_config.conn_request_size,
                                                                   EN_CONN_REPORT_MAX_RECORDS));
        req.sufficient = static_cast<uint32_t>(g_en_config.conn_request_sufficient_size);
        req.buffer_size = req.max_records * EN_EVENT_CONN_RECORD_SIZE;
        req.buffer = reinterpret_cast<uintptr_t>(records);
        req.aux = reinterpret_cast<uintptr_t>(aux);
        bool ok = en_api_get_connections(g_en_handle, &req);
        if (s_stop) {
            break;
        }
        if (!ok) {
            pause_after_failed_read();
            continue;
        }
        /* Never more than the buffer holds, whatever the driver says. */
        uint32_t n = std::min(req.returned, req.max_records);
        g_debug("[conn_report] received %u connections from driver", n);
        agent_metrics_add("enforcement.driver.linux.read-events", n);
        if (n == 0) {
            if (!en_api_layer4_policy_required()) {
                keepalive_check();
            }
            continue;
        }
        report_chunks(records, n);
    }
    g_free(records);
    g_free(aux);
    g_message("[conn_report] exiting enforcement driver connection report thread");
    return nullptr;
}

} // namespace

bool en_api_report_connections(const uint8_t *records, size_t count, size_t connections)
{
    if (connections > EN_CONN_REPORT_CHUNK) {
        g_critical("[api] sent connections request with too many events (%zu events)", connections);
        return false;
    }
    if (!en_api_msg_data_buffer()) {
        return count == 0 || report_single(records, count);
    }
    return report_batch(records, count, connections);
}

bool en_conn_report_init_and_start(Error **errp)
{
    if (s_initialized) {
        g_debug("[conn_report] module is already initialized");
        return true;
    }
    if (!g_en_handle) {
        error_setg(errp, "could not locate driver handle");
        return false;
    }
    if (s_thread) {
        error_setg(errp, "connection thread is already started");
        return false;
    }
    s_stop = false;
    GError *gerr = nullptr;
    s_thread = g_thread_try_new("en_connection_thread", en_connection_thread, nullptr, &gerr);
    if (!s_thread) {
        error_setg(errp, "failed starting connection report thread: %s", gerr ? gerr->message : "");
        g_clear_error(&gerr);
        return false;
    }
    s_initialized = true;
    g_debug("[conn_report] created enforcement driver connection report thread");
    return true;
}

void en_conn_report_request_stop(void)
{
    if (s_initialized) {
        s_stop = true;
    }
}

void en_conn_report_stop(void)
{
    if (!s_initialized) {
        return;
    }
    s_initialized = false;
    g_debug("[conn_report] stopping the connection report thread");
    s_stop = true;
    if (s_thread) {
        g_debug("[conn_report] wait for connection report thread to stop");
        g_thread_join(s_thread);
        g_debug("[conn_report] connection report thread stopped successfully");
    }
    s_stop = false;
    s_thread = nullptr;
}
