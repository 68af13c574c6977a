#include "enforcement/framework/agent/en-event.h"

#include <glib.h>

#include <cstring>
#include <string>

#include "agent-common/net-event.h"
#include "agent-common/logger.h"
#include "util/error.h"

namespace {

bool verbose_events(void)
{
    return (logger_get_level() & G_LOG_LEVEL_DEBUG) != 0;
}

bool present(const char *text)
{
    return text && text[0] != '\0';
}

bool serialize(NetEvent *event, uint8_t *out, size_t *len)
{
    Error *err = nullptr;
    if (!serialize_event(event, out, len, &err)) {
        g_critical("[event] error serializing event: %s", error_get_message(err));
        error_free(err);
        return false;
    }
    return true;
}

bool map_verdict(endr_verdict_e verdict, NetConnectionEvent::EnforcementVerdict *out)
{
    switch (verdict) {
    case ENDR_VERDICT_ALLOW:
        *out = NetConnectionEvent::Allow;
        return true;
    case ENDR_VERDICT_BLOCK:
        *out = NetConnectionEvent::Block;
        return true;
    case ENDR_VERDICT_UNKNOWN:
        *out = NetConnectionEvent::Unused;
        return true;
    default:
        return false;
    }
}

bool map_state(endr_enforcement_state_e state, NetConnectionEvent::EnforcementState *out)
{
    switch (state) {
    case ENDR_STATE_UNUSED:
        *out = NetConnectionEvent::UnusedState;
        return true;
    case ENDR_STATE_VISTOR_ONLY:
        *out = NetConnectionEvent::VistorOnly;
        return true;
    case ENDR_STATE_MONITORING:
        *out = NetConnectionEvent::Monitoring;
        return true;
    case ENDR_STATE_ENFORCING:
        *out = NetConnectionEvent::Enforcing;
        return true;
    case ENDR_STATE_METRICS_ONLY:
        *out = NetConnectionEvent::MetricsOnly;
        return true;
    default:
        return false;
    }
}

/*
 * The strings that come from the machine rather than the driver record: paths run to 4095
 * bytes here and unit descriptions to any length, and an event past its space is dropped.
 * They are cut as in process events (the display name as the service manager's own).
 */
void cut_machine_strings(NetConnectionEvent *conn)
{
    const struct {
        std::string *(NetConnectionEvent::*field)();
        bool (NetConnectionEvent::*has)() const;
        size_t limit;
    } limits[] = {
        {&NetConnectionEvent::mutable_process_name, &NetConnectionEvent::has_process_name, 128},
        {&NetConnectionEvent::mutable_parent_name, &NetConnectionEvent::has_parent_name, 128},
        {&NetConnectionEvent::mutable_username, &NetConnectionEvent::has_username, 64},
        {&NetConnectionEvent::mutable_image_path, &NetConnectionEvent::has_image_path, 1024},
        {&NetConnectionEvent::mutable_win_service_display, &NetConnectionEvent::has_win_service_display, 256},
    };
    for (const auto &l : limits) {
        if ((conn->*l.has)()) {
            net_event_cut_text((conn->*l.field)(), l.limit);
        }
    }
}

const NetConnectionEvent::DeceptionVerdict kDeceptionVerdicts[] = {
    NetConnectionEvent::UnknownVerdict, NetConnectionEvent::NoMatch, NetConnectionEvent::Ignore,
    NetConnectionEvent::Bypass, NetConnectionEvent::Inspect,
};

} // namespace

bool en_event_create(bool inbound, const endr_l4_tuple_t *conn_tuple, const en_process_info_t *info,
                     endr_verdict_e verdict, const char *rule_id, uint64_t policy_revision,
                     uint64_t dc_inventory_revision, const char *dns_name, const char *user_name,
                     endr_conn_status_e status, endr_enrich_type_e enrichment_type,
                     endr_enforcement_state_e enforcement_state, uint8_t *out, size_t *len, uint64_t sm_id,
                     bool deception_present, bool redirected, endr_dec_policy_verdict_e deception_verdict,
                     endr_dec_reason_e deception_reason, uint32_t redirect_id, const char *dns_pattern,
                     const char *service_name, const char *service_display)
{
    if (!conn_tuple) {
        g_critical("[%s:%d] %s is NULL", __PRETTY_FUNCTION__, __LINE__, "conn_tuple");
        return false;
    }
    if (!rule_id) {
        g_critical("[%s:%d] %s is NULL", __PRETTY_FUNCTION__, __LINE__, "rule_id");
        return false;
    }
    int32_t errorcode;
    switch (status) {
    case ENDR_CONN_STATUS_SUCCESS:
        errorcode = 0;
        break;
    case ENDR_CONN_STATUS_FAILED:
        errorcode = -1;
        break;
    case ENDR_CONN_STATUS_UNKNOWN:
        errorcode = -2;
        break;
    default:
        g_critical("en_event_create: unknown connection status %d", static_cast<int>(status));
        return false;
    }
    NetConnectionEvent::EnforcementVerdict pb_verdict;
    if (!map_verdict(verdict, &pb_verdict)) {
        g_critical("[event] en_event_create: unknown connection verdict %d", static_cast<int>(verdict));
        return false;
    }
    NetConnectionEvent::IpProtocol protocol;
    NetConnectionEvent::Type type;
    switch (conn_tuple->protocol) {
    case ENDR_PROTOCOL_TCP:
        protocol = NetConnectionEvent::TCP;
        type = inbound ? NetConnectionEvent::Accept : NetConnectionEvent::Connect;
        break;
    case ENDR_PROTOCOL_UDP:
        protocol = NetConnectionEvent::UDP;
        type = inbound ? NetConnectionEvent::RecvFrom : NetConnectionEvent::SendTo;
        break;
    case ENDR_PROTOCOL_ICMP:
        /* The schema has no ICMP; its verdicts are still worth reporting. */
        protocol = NetConnectionEvent::UnknownIpProtocol;
        type = NetConnectionEvent::Unknown;
        break;
    default:
        g_critical("[event] en_event_create: unknown connection protocol: %u", conn_tuple->protocol);
        return false;
    }
    NetConnectionEvent::EnforcementState pb_state;
    if (enrichment_type > ENDR_ENRICH_STATUS || !map_state(enforcement_state, &pb_state)) {
        g_critical("[event] en_event_create: unknown enrichment type: %u", static_cast<unsigned>(enrichment_type));
        return false;
    }
    if (deception_verdict >= G_N_ELEMENTS(kDeceptionVerdicts)) {
        g_critical("[event] en_event_create: unknown deception policy verdict: %u",
                   static_cast<unsigned>(deception_verdict));
        return false;
    }
    if (deception_reason > ENDR_DEC_REASON_LAST) {
        g_critical("[event] en_event_create: unknown deception reason: %u", static_cast<unsigned>(deception_reason));
        return false;
    }

    NetEvent event;
    event.set_type(NetEvent::Connection);
    net_event_set_time(&event);
    NetConnectionEvent *conn = event.MutableExtension(NetConnectionEvent::header);
    if (!conn) {
        g_critical("[event] failed to init network event");
        return false;
    }
    conn->set_type(type);
    conn->set_pid(info ? static_cast<uint32_t>(info->pid) : 0xFFFFFFFFu);
    conn->set_ppid(info && info->has_ppid ? static_cast<uint32_t>(info->ppid) : 0xFFFFFFFFu);
    if (info) {
        if (present(info->app_name)) {
            conn->set_process_name(info->app_name);
        }
        if (present(info->parent_name)) {
            conn->set_parent_name(info->parent_name);
        }
        if (present(info->image_path)) {
            conn->set_image_path(info->image_path);
        }
        if (present(info->container_id)) {
            conn->set_container_id(info->container_id);
        }
        if (present(info->pod_id)) {
            conn->set_pod_id(info->pod_id);
        }
    }
    if (present(user_name)) {
        conn->set_username(user_name);
    }
    conn->set_errorcode(errorcode);
    conn->set_fd(-1);
    conn->set_n_threads(1);
    conn->set_ip_protocol(protocol);
    conn->set_source_port(conn_tuple->source_port);
    conn->set_dest_port(conn_tuple->destination_port);
    if (conn_tuple->family == 1) {
        uint32_t src = 0, dst = 0;
        memcpy(&src, conn_tuple->source.address, sizeof src);
        memcpy(&dst, conn_tuple->destination.address, sizeof dst);
        auto *t = conn->mutable_ipv4_tuple();
        t->set_source_ip(src);
        t->set_dest_ip(dst);
    } else if (conn_tuple->family == 2) {
        auto *t = conn->mutable_ipv6_tuple();
        t->set_source_ip(conn_tuple->source.address, sizeof conn_tuple->source.address);
        t->set_dest_ip(conn_tuple->destination.address, sizeof conn_tuple->destination.address);
    } else {
        g_warning("[event logger] unknown address family %hu", conn_tuple->family);
        return false;
    }
    if (enforcement_state != ENDR_STATE_VISTOR_ONLY && enrichment_type != ENDR_ENRICH_STATUS) {
        auto *e = conn->mutable_enforcement();
        e->set_verdict(pb_verdict);
        e->set_rule_id(rule_id);
        e->set_revision(policy_revision);
        e->set_dc_inventory_revision(dc_inventory_revision);
    }
    conn->set_enforcement_state(pb_state);
    if (enrichment_type == ENDR_ENRICH_STATUS) {
        conn->set_enrichment_type(NetConnectionEvent::EnrichStatus);
    }
    conn->set_endr_sm_id(sm_id);
    if (present(dns_name)) {
        conn->set_dns_name(dns_name);
    }
    if (present(dns_pattern)) {
        conn->set_dns_pattern(dns_pattern);
    }
    if (present(service_name)) {
        conn->set_win_service_name(service_name);
    }
    if (present(service_display)) {
        conn->set_win_service_display(service_display);
    }
    if (conn_tuple->family == 1 && deception_present) {
        auto *d = conn->mutable_deception_info();
        d->set_redirected(redirected);
        d->set_policy_verdict(kDeceptionVerdicts[deception_verdict]);
        if (redirected) {
            d->set_rdr_id(redirect_id);
        } else {
            d->set_no_redirect_reason(static_cast<NetConnectionEvent::NoRedirectReason>(deception_reason));
        }
    }
    cut_machine_strings(conn);
    if (verbose_events()) {
        g_debug("[event logger] connection event: %s", event.ShortDebugString().c_str());
    }
    return serialize(&event, out, len);
}

char *en_event_record_text(const char *field, size_t width)
{
    return g_strndup(field, strnlen(field, width));
}
