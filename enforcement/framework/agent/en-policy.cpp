#include "enforcement/framework/agent/en-policy.h"

#include <glib.h>

#include <atomic>
#include <cstring>

#include "agent-common/agent-metrics.h"
#include "agent-common/agent-status-common.h"
#include "agent-common/qmp-servers/qmp-manager.h"
#include "enforcement/framework/agent/en-api.h"
#include "enforcement/framework/agent/en-config.h"
#include "enforcement/framework/agent/en-dump.h"
#include "enforcement/framework/agent/en-implicit-rules.h"
#include "enforcement/framework/agent/en-index.h"
#include "enforcement/framework/agent/en-lid-map.h"
#include "enforcement/framework/agent/en-persistent-storage.h"
#include "enforcement/framework/agent/en-roaming.h"
#include "enforcement/framework/agent/en-rules.h"
#include "qapi/qmp-enforcement-commands.h"
#include "qapi/qmp-enforcement-types.h"
#include "util/agent-config.h"
#include "util/aux-netif.h"
#include "util/check-null.h"
#include "util/error.h"

namespace {

/* Everything below is guarded by s_lock. */
GRecMutex s_lock;
bool s_lock_ready;
EnforcementChainList *s_input;
EnforcementChainList *s_output;
uint64_t s_revision;
uint64_t s_dc_revision;
InetSocketAddressList *s_servers;
/* False after a server update that did not reach the driver: the same list is pushed again. */
bool s_servers_pushed = true;
EnforcementPolicyDerivationDetails *s_last_details;

std::atomic<bool> s_active{false};
std::atomic<int32_t> s_state{AGENT_STATE_ON};
bool s_implicit_dns_locked;

struct PolicyLock {
    PolicyLock() { g_rec_mutex_lock(&s_lock); }
    ~PolicyLock() { g_rec_mutex_unlock(&s_lock); }
    PolicyLock(const PolicyLock &) = delete;
    PolicyLock &operator=(const PolicyLock &) = delete;
};

bool api_open(void)
{
    return g_en_handle && en_api_is_started(g_en_handle);
}

bool refresh_policy_after_implicit_dns_rules(const char *, bool old_value, bool new_value, Error **errp)
{
    if (s_implicit_dns_locked && !old_value && new_value) {
        error_setg(errp, "can't override implicit DNS rules disabled from cmdliine");
        return false;
    }
    return true;
}

bool same_server(const InetSocketAddress *a, const InetSocketAddress *b)
{
    auto same = [](bool has_a, auto va, bool has_b, auto vb) { return has_a == has_b && (!has_a || va == vb); };
    return g_strcmp0(a->host, b->host) == 0 && g_strcmp0(a->port, b->port) == 0 &&
           same(a->has_to, a->to, b->has_to, b->to) && same(a->has_ipv4, a->ipv4, b->has_ipv4, b->ipv4) &&
           same(a->has_ipv6, a->ipv6, b->has_ipv6, b->ipv6);
}

bool same_server_list(const InetSocketAddressList *fresh, const InetSocketAddressList *stored)
{
    size_t n_fresh = 0, n_stored = 0;
    for (const InetSocketAddressList *s = fresh; s; s = s->next) {
        n_fresh++;
    }
    for (const InetSocketAddressList *s = stored; s; s = s->next) {
        n_stored++;
    }
    if (n_fresh != n_stored) {
        return false;
    }
    for (const InetSocketAddressList *f = fresh; f; f = f->next) {
        bool found = false;
        for (const InetSocketAddressList *s = stored; s && !found; s = s->next) {
            found = f->value && s->value && same_server(f->value, s->value);
        }
        if (!found) {
            return false;
        }
    }
    return true;
}

void persist_stored_policy_locked(void)
{
    /* The file takes the stored tables as they are; nothing is copied for it. */
    EnforcementPolicyOutputJson doc{};
    doc.input_table = s_input;
    doc.output_table = s_output;
    doc.revision = s_revision;
    doc.has_dc_inventory_revision = s_dc_revision != 0;
    doc.dc_inventory_revision = s_dc_revision;
    Error *err = nullptr;
    if (!persistent_EnforcementPolicyOutputJson_dump(&doc, &err)) {
        g_warning("[policy] error dumping persistent policy into file (revision %llu)",
                  (unsigned long long)s_revision);
        g_debug("[policy] %s", error_get_message(err));
        error_free(err);
    }
}

/* in_force: pushed with a non-zero revision, read under the lock; the hooks run outside it. */
void finish_push(bool in_force)
{
    if (in_force) {
        s_active = true;
        en_policy_disable_fallback();
    } else {
        s_active = false;
        en_policy_fallback_decision();
    }
}

void on_mode_change(uint64_t mode)
{
    if (mode != EN_MODE_ENFORCING || s_active) {
        en_policy_disable_fallback();
    } else {
        en_policy_enable_fallback();
    }
}

void load_persistent_policy(void)
{
    Error *err = nullptr;
    EnforcementPolicyOutputJson *doc = persistent_EnforcementPolicyOutputJson_get(&err);
    if (!doc) {
        if (err) {
            g_warning("[policy] error reading persistent policy: %s", error_get_message(err));
            error_free(err);
        } else {
            g_message("[policy] no persistent policy found");
        }
        return;
    }
    g_message("[policy] loaded persistent enforcement policy from file, revision=%llu",
              (unsigned long long)doc->revision);
    PolicyLock guard;
    qapi_free_EnforcementChainList(s_input);
    qapi_free_EnforcementChainList(s_output);
    s_input = doc->input_table;
    s_output = doc->output_table;
    doc->input_table = nullptr;
    doc->output_table = nullptr;
    s_revision = doc->revision;
    s_dc_revision = doc->has_dc_inventory_revision ? doc->dc_inventory_revision : 0;
    en_policy_assign_rule_types(s_input);
    en_policy_assign_rule_types(s_output);
    g_message("Loaded persistent policy from file:");
    en_policy_dump_to_log(s_input, s_output, s_revision, s_dc_revision, false);
    qapi_free_EnforcementPolicyOutputJson(doc);
}

} // namespace

bool get_policy_full_revision(uint64_t revision, uint64_t dc_inventory_revision, uint64_t *full_revision,
                              Error **errp)
{
    if (revision > 0xFFFFFFFFull) {
        error_setg(errp, "revision is larger then 32 bit, revision %llu", (unsigned long long)revision);
        return false;
    }
    if (dc_inventory_revision > 0xFFFFFFFFull) {
        error_setg(errp, "dc_inventory_revision is larger then 32 bit, dc_inventory_revision %llu",
                   (unsigned long long)dc_inventory_revision);
        return false;
    }
    *full_revision = (revision << 32) | dc_inventory_revision;
    return true;
}

bool en_policy_init(bool load_persistent, bool implicit_dns_locked)
{
    en_implicit_protocols_all();
    if (!en_lid_map_init()) {
        g_critical("[policy] failed to init lid map");
        en_policy_cleanup();
        return false;
    }
    en_index_free_thread_init();
    if (!g_en_handle) {
        g_en_handle = en_api_init();
    }
    if (!g_en_handle) {
        g_critical("[policy] failed to allocate enforcement handle: %s", "allocation failed");
        en_policy_cleanup();
        return false;
    }
    if (!s_lock_ready) {
        g_rec_mutex_init(&s_lock);
        s_lock_ready = true;
    }
    {
        PolicyLock guard;
        qapi_free_InetSocketAddressList(s_servers);
        s_servers = nullptr;
        s_servers_pushed = true;
    }
    en_roaming_init();
    s_state = AGENT_STATE_ON;
    s_active = false;
    if (load_persistent) {
        load_persistent_policy();
    }
    s_implicit_dns_locked = implicit_dns_locked;
    g_en_implicit_dns_rules = !implicit_dns_locked;
    agent_config_register_bool("policy.implicit_dns_rules", &g_en_implicit_dns_rules,
                               refresh_policy_after_implicit_dns_rules);
    en_config_set_mode_change_hook(on_mode_change);
    return true;
}

bool en_policy_start_api(Error **errp)
{
    AGENT_CHECK_NULL_ERR(g_en_handle, "g_en_handle", errp, false);
    g_message("[policy] opening enforcement handle");
    if (!en_api_start(g_en_handle)) {
        error_setg(errp, "error starting enforcement API");
        return false;
    }
    return true;
}

bool en_policy_stop_api(void)
{
    if (!g_en_handle) {
        return true;
    }
    g_message("[policy] closing enforcement handle");
    return en_api_stop(g_en_handle);
}

bool en_push_policy_to_driver(const EnforcementChainList *input_table, const EnforcementChainList *output_table,
                              uint64_t revision, uint64_t dc_inventory_revision,
                              const InetSocketAddressList *servers, Error **errp)
{
    PolicyLock guard;
    uint64_t full = 0;
    if (!get_policy_full_revision(revision, dc_inventory_revision, &full, errp)) {
        return false;
    }
    /* Lids are numbered aside and adopted by the swap; a refused push leaves the driver's
     * numbering answering. Aborting after the swap changes nothing. */
    en_lid_map_stage_begin();
    struct StageGuard {
        ~StageGuard() { en_lid_map_stage_abort(); }
    } stage_guard;
    uint64_t input_rules = 0, output_rules = 0;
    if (!en_table_convert(g_en_handle, false, input_table, &input_rules, errp) ||
        !en_table_convert(g_en_handle, true, output_table, &output_rules, errp)) {
        return false;
    }
    g_debug("[policy] finished converting rules, setting policy revision: %llu, DC-inventory-revision: %llu",
            (unsigned long long)revision, (unsigned long long)dc_inventory_revision);
    if (!en_api_policy_set_revision(g_en_handle, full)) {
        error_setg(errp, "error setting API policy revision %llu", (unsigned long long)revision);
        return false;
    }
    agent_metrics_set("policy.input_rules", input_rules);
    agent_metrics_set("policy.output_rules", output_rules);
    agent_metrics_add("policy.swap", 1);
    g_debug("[policy] swapping policy");
    if (!en_api_policy_swap(g_en_handle)) {
        error_setg(errp, "error swapping policy for revision %llu", (unsigned long long)revision);
        return false;
    }
    if (servers) {
        g_debug("Implicit server rules:");
        for (const InetSocketAddressList *s = servers; s; s = s->next) {
            g_debug("\tServer IP: %s, Server Port: %s", s->value->host, s->value->port);
        }
    }
    en_policy_dump_to_log(input_table, output_table, revision, dc_inventory_revision, false);
    return true;
}

namespace {

/* Called with s_lock held: a server list that arrived while the device was closed is in
 * no stored implicit rule yet, so the stored policy is re-derived with it. */
bool push_pending_servers_locked(void)
{
    Error *err = nullptr;
    EnforcementPolicyDerivationDetails *details =
        update_enforcement_policy(s_input, s_output, s_revision, s_dc_revision, s_servers, true, false,
                                  en_roaming_is_enabled(), &err);
    if (err) {
        /* The stored policy as it is still protects better than none. */
        g_warning("[policy] failed to apply the pending server addresses: %s", error_get_message(err));
        error_free(err);
        qapi_free_EnforcementPolicyDerivationDetails(details);
        return false;
    }
    s_servers_pushed = true;
    qapi_free_EnforcementPolicyDerivationDetails(s_last_details);
    s_last_details = details;
    return true;
}

} // namespace

bool en_policy_start(Error **errp)
{
    if (!api_open()) {
        error_setg(errp, "can't push policy because API handle is closed");
        s_active = false;
        en_policy_fallback_decision();
        return false;
    }
    en_api_set_req_sufficient_size(g_en_handle, g_en_config.conn_request_sufficient_size);
    bool pushed, in_force;
    {
        PolicyLock guard;
        if (!s_servers_pushed && push_pending_servers_locked()) {
            return true;
        }
        pushed = en_push_policy_to_driver(s_input, s_output, s_revision, s_dc_revision, s_servers, errp);
        if (!pushed) {
            persistent_policy_move_aside();
        }
        in_force = pushed && s_revision != 0;
    }
    finish_push(in_force);
    return pushed;
}

void en_policy_discard_stored(void)
{
    if (!s_lock_ready) {
        return;
    }
    PolicyLock guard;
    g_warning("[policy] dropping the stored policy the driver did not take (revision %llu)",
              (unsigned long long)s_revision);
    qapi_free_EnforcementChainList(s_input);
    qapi_free_EnforcementChainList(s_output);
    s_input = nullptr;
    s_output = nullptr;
    s_revision = 0;
    s_dc_revision = 0;
    qapi_free_EnforcementPolicyDerivationDetails(s_last_details);
    s_last_details = nullptr;
}

EnforcementPolicyDerivationDetails *update_enforcement_policy(EnforcementChainList *input_table,
                                                              EnforcementChainList *output_table, uint64_t revision,
                                                              uint64_t dc_inventory_revision,
                                                              const InetSocketAddressList *servers, bool in_place,
                                                              bool log_change, bool roaming, Error **errp)
{
    if (!api_open()) {
        error_setg(errp, "can't push enforcement policy because API handle is closed");
        s_active = false;
        en_policy_fallback_decision();
        return nullptr;
    }
    bool pushed = false, in_force = false;
    EnforcementPolicyDerivationDetails *details;
    {
        PolicyLock guard;
        /*
         * In place re-derives the stored tables, but on copies all the same: a failed push
         * must leave the stored policy equal to the one the driver keeps.
         */
        EnforcementChainList *input = qapi_copy_EnforcementChainList(in_place ? s_input : input_table);
        EnforcementChainList *output = qapi_copy_EnforcementChainList(in_place ? s_output : output_table);
        details = qapi_alloc_EnforcementPolicyDerivationDetails();
        details->new_revision = revision;
        details->old_revision = s_revision;
        details->has_dc_inventory_revision = dc_inventory_revision != 0;
        details->dc_inventory_revision = dc_inventory_revision;
        details->implicit_rules = en_policy_add_implicit_rules(servers, &output, &input, roaming);
        if (log_change) {
            if (revision != s_revision || dc_inventory_revision != s_dc_revision) {
                g_message("[policy] received a new enforcement policy with revision %llu->%llu, DC inventory "
                          "revision: %llu-> %llu",
                          (unsigned long long)s_revision, (unsigned long long)revision,
                          (unsigned long long)s_dc_revision, (unsigned long long)dc_inventory_revision);
            } else {
                g_message("[policy] received a new enforcement policy, revision didn't change: (%llu, %llu)",
                          (unsigned long long)revision, (unsigned long long)dc_inventory_revision);
            }
        }
        en_policy_assign_rule_types(input);
        en_policy_assign_rule_types(output);
        Error *err = nullptr;
        pushed = en_push_policy_to_driver(input, output, revision, dc_inventory_revision, servers, &err);
        if (!pushed) {
            g_warning("[policy] error pushing policy to driver (revision %llu): %s. Policy not persisted.",
                      (unsigned long long)revision, error_get_message(err));
            error_propagate(errp, err);
            en_index_free_thread_enqueue(input, (GDestroyNotify)qapi_free_EnforcementChainList);
            en_index_free_thread_enqueue(output, (GDestroyNotify)qapi_free_EnforcementChainList);
        } else {
            en_index_free_thread_enqueue(s_input, (GDestroyNotify)qapi_free_EnforcementChainList);
            en_index_free_thread_enqueue(s_output, (GDestroyNotify)qapi_free_EnforcementChainList);
            s_input = input;
            s_output = output;
            s_revision = revision;
            s_dc_revision = dc_inventory_revision;
            persist_stored_policy_locked();
        }
        in_force = pushed && s_revision != 0;
    }
    finish_push(in_force);
    return details;
}

EnforcementPolicyDerivationDetails *en_policy_set_server_addresses(const InetSocketAddressList *servers,
                                                                   Error **errp)
{
    PolicyLock guard;
    if (s_servers_pushed && same_server_list(servers, s_servers)) {
        g_message("[policy] same server addresses rules, nothing to change in policy");
        return s_last_details ? qapi_copy_EnforcementPolicyDerivationDetails(s_last_details) : nullptr;
    }
    g_message("[policy] changed server addresses rules list, updating policy");
    qapi_free_InetSocketAddressList(s_servers);
    s_servers = qapi_copy_InetSocketAddressList(servers);
    Error *err = nullptr;
    EnforcementPolicyDerivationDetails *details =
        update_enforcement_policy(s_input, s_output, s_revision, s_dc_revision, s_servers, true, false,
                                  en_roaming_is_enabled(), &err);
    s_servers_pushed = err == nullptr;
    error_propagate(errp, err);
    if (!details) {
        return nullptr;
    }
    qapi_free_EnforcementPolicyDerivationDetails(s_last_details);
    s_last_details = details;
    return qapi_copy_EnforcementPolicyDerivationDetails(details);
}

bool en_policy_update_for_roaming(bool roaming, Error **errp)
{
    PolicyLock guard;
    Error *err = nullptr;
    EnforcementPolicyDerivationDetails *details =
        update_enforcement_policy(s_input, s_output, s_revision, s_dc_revision, s_servers, true, false, roaming,
                                  &err);
    if (details) {
        qapi_free_EnforcementPolicyDerivationDetails(s_last_details);
        s_last_details = details;
    }
    if (err) {
        error_propagate(errp, err);
        return false;
    }
    return true;
}

bool en_policy_is_active(void)
{
    return s_active;
}

AgentState en_policy_agent_state(void)
{
    return (AgentState)s_state.load();
}

void en_policy_set_agent_state(AgentState state)
{
    s_state = state;
}

void en_policy_fallback_decision(void)
{
    if (g_en_config.enforcement_mode == EN_MODE_ENFORCING) {
        en_policy_enable_fallback();
    } else {
        g_debug("[enforcement-fallback] not enabling agent enforcement module fallback as mode is not enforcing");
    }
}

/* This platform has no agent-level fallback to switch; the hooks mark where it would be. */
void en_policy_enable_fallback(void) {}

void en_policy_disable_fallback(void) {}

void en_policy_cleanup(void)
{
    /* Every module thread ends before the handle goes: the receive thread with the stop,
     * then the free thread (joined, so that no release runs once the bundle is unloaded). */
    if (g_en_handle) {
        g_message("[policy] closing enforcement handle");
        en_api_stop(g_en_handle);
    }
    en_index_free_thread_stop();
    if (g_en_handle) {
        en_api_free(g_en_handle);
        g_en_handle = nullptr;
    }
    if (s_lock_ready) {
        {
            PolicyLock guard;
            qapi_free_InetSocketAddressList(s_servers);
            qapi_free_EnforcementChainList(s_input);
            qapi_free_EnforcementChainList(s_output);
            qapi_free_EnforcementPolicyDerivationDetails(s_last_details);
            s_servers = nullptr;
            s_input = s_output = nullptr;
            s_last_details = nullptr;
            s_revision = s_dc_revision = 0;
        }
        g_rec_mutex_clear(&s_lock);
        s_lock_ready = false;
    }
    /* Taken only once the policy lock is released: roaming nests the policy lock inside. */
    en_roaming_cleanup();
    s_active = false;
    en_config_set_mode_change_hook(nullptr);
    en_broadcast_cache_free();
    en_lid_map_free();
    en_implicit_protocols_free();
}

/* ---- commands that read or change the stored policy ---- */

EnforcementPolicyDerivationDetails *qmp_set_enforcement_policy(EnforcementChainList *input_table,
                                                               EnforcementChainList *output_table, uint64_t revision,
                                                               bool has_dc_inventory_revision,
                                                               uint64_t dc_inventory_revision, Error **errp)
{
    /* The roaming state is read under the lock the push takes: a roaming change either
     * finished before it, or pushes again after it. */
    PolicyLock guard;
    InetSocketAddressList *servers = qapi_copy_InetSocketAddressList(s_servers);
    EnforcementPolicyDerivationDetails *details =
        update_enforcement_policy(input_table, output_table, revision,
                                  has_dc_inventory_revision ? dc_inventory_revision : 0, servers, false, true,
                                  en_roaming_is_enabled(), errp);
    qapi_free_InetSocketAddressList(servers);
    return details;
}

EnforcementPolicyDerivationDetails *qmp_set_server_address_info_list(InetSocketAddressList *server_address_info_list,
                                                                     Error **errp)
{
    return en_policy_set_server_addresses(server_address_info_list, errp);
}

EnforcementPolicyDerivationDetails *qmp_set_enforcement_policy_revision(uint64_t revision,
                                                                        uint64_t dc_inventory_revision, Error **errp)
{
    PolicyLock guard;
    if (revision != s_revision || dc_inventory_revision != s_dc_revision) {
        g_message("[policy] received enforcement policy revision update with revision %llu->%llu, DC inventory "
                  "revision: %llu->%llu",
                  (unsigned long long)s_revision, (unsigned long long)revision, (unsigned long long)s_dc_revision,
                  (unsigned long long)dc_inventory_revision);
    } else {
        g_message("[policy] received enforcement policy revision update,revision didn't change: (%llu, %llu)",
                  (unsigned long long)revision, (unsigned long long)dc_inventory_revision);
    }
    uint64_t full = 0;
    if (!get_policy_full_revision(revision, dc_inventory_revision, &full, errp)) {
        return nullptr;
    }
    if (!en_api_policy_light_revision_update(g_en_handle, full)) {
        error_setg(errp, "error in light revision update API, revision %llu", (unsigned long long)revision);
        return nullptr;
    }
    EnforcementPolicyDerivationDetails *details =
        qapi_new_EnforcementPolicyDerivationDetails_full(revision, s_revision, dc_inventory_revision, nullptr);
    s_revision = revision;
    s_dc_revision = dc_inventory_revision;
    return details;
}

EnforcementPolicyOutput *qmp_get_enforcement_policy(bool has_format, EnforcementPolicyFormat format, Error **)
{
    PolicyLock guard;
    EnforcementPolicyOutput *out = qapi_alloc_EnforcementPolicyOutput();
    if (has_format && format == ENFORCEMENT_POLICY_FORMAT_JSON) {
        EnforcementPolicyOutputJson *json = qapi_alloc_EnforcementPolicyOutputJson();
        json->input_table = qapi_copy_EnforcementChainList(s_input);
        json->output_table = qapi_copy_EnforcementChainList(s_output);
        json->revision = s_revision;
        json->has_dc_inventory_revision = s_dc_revision != 0;
        json->dc_inventory_revision = s_dc_revision;
        out->has_json = true;
        out->json = json;
        return out;
    }
    EnforcementPolicyOutputText *text = qapi_alloc_EnforcementPolicyOutputText();
    text->input_table = en_table_dump(EN_TABLE_INPUT, s_input);
    text->output_table = en_table_dump(EN_TABLE_OUTPUT, s_output);
    /* The record requires a server: the first management server, else an empty one. */
    const InetSocketAddress *server = s_servers ? s_servers->value : nullptr;
    text->server_ip = g_strdup(server ? server->host : "");
    text->server_ip_type = en_server_address_is_ipv6(server) ? IP_ADDRESS_TYPE_IPV6 : IP_ADDRESS_TYPE_IPV4;
    guint64 port = 0;
    if (server && g_ascii_string_to_unsigned(server->port, 10, 0, 65535, &port, nullptr)) {
        text->server_port = (uint16_t)port;
    }
    text->revision = s_revision;
    text->has_dc_inventory_revision = s_dc_revision != 0;
    text->dc_inventory_revision = s_dc_revision;
    out->has_text = true;
    out->text = text;
    return out;
}

EnforcementPolicyDerivationDetails *qmp_get_last_enforcement_policy_details(bool has_full, bool full, Error **)
{
    PolicyLock guard;
    if (has_full && full && s_last_details) {
        return qapi_copy_EnforcementPolicyDerivationDetails(s_last_details);
    }
    EnforcementPolicyDerivationDetails *details = qapi_alloc_EnforcementPolicyDerivationDetails();
    if (s_last_details) {
        details->new_revision = s_last_details->new_revision;
        details->old_revision = s_last_details->old_revision;
        details->has_dc_inventory_revision =
            s_last_details->has_dc_inventory_revision && s_last_details->dc_inventory_revision != 0;
        details->dc_inventory_revision = s_last_details->dc_inventory_revision;
    } else {
        details->new_revision = s_revision;
        details->has_dc_inventory_revision = s_dc_revision != 0;
        details->dc_inventory_revision = s_dc_revision;
    }
    return details;
}

ModuleInternalStatus *en_policy_internal_status(Error **errp)
{
    EnforcementInternalStatus *status = qapi_alloc_EnforcementInternalStatus();
    {
        PolicyLock guard;
        status->revision = s_revision;
        status->has_dc_inventory_revision = s_dc_revision != 0;
        status->dc_inventory_revision = s_dc_revision;
    }
    status->operating_mode = (uint32_t)g_en_config.enforcement_mode;
    if (agent_status_is_no_channels_supported()) {
        status->has_is_running_offline = true;
        status->is_running_offline = qmp_manager_is_running_offline();
    }
    status->is_roaming_on = en_roaming_is_enabled();
    Error *err = nullptr;
    aux_iface_options options;
    options.include_virtual = true;
    NetworkInterfaceList *ifaces = get_network_interfaces(&options, &err);
    if (err) {
        error_setg(errp, "[commands] failed gathering network interfaces for roaming NIC information: %s",
                   error_get_message(err));
        g_warning("[commands] failed gathering network interfaces for roaming NIC information: %s",
                  error_get_message(err));
        error_free(err);
        qapi_free_EnforcementInternalStatus(status);
        return nullptr;
    }
    status->has_roaming_ifaces = ifaces != nullptr;
    status->roaming_ifaces = ifaces;
    ModuleInternalStatus *out = qapi_alloc_ModuleInternalStatus();
    out->has_enforcement = true;
    out->enforcement = status;
    return out;
}
