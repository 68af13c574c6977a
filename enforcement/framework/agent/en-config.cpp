#include "enforcement/framework/agent/en-config.h"

#include <glib.h>

#include <atomic>

#include "enforcement/framework/agent/en-api.h"
#include "util/agent-config.h"
#include "util/error.h"

en_config_t g_en_config;

namespace {

using ull = unsigned long long;

constexpr en_config_t kDefaults = {
    .enforcement_mode = EN_MODE_ENFORCING,
    .windows_firewall_mode = EN_FIREWALL_HARD_IMPLICIT,
    .driver_verbosity = EN_VERBOSE_OFF,
    .drop_out_of_session = false,
    .dns_enable = true,
    .dns_rate_limit = 1000,
    .conn_request_size = 500,
    .conn_request_sufficient_size = 100,
    .conn_request_timeout_ms = 500,
    .driver_log_req_timeout_ms = 2000,
    .keepalive_interval = 10000000,
    .max_chains_num = 16,
    .max_rules_num = 2048,
    .max_entity_field_num = 40000,
    .max_rule_buffer_len = 4194304,
    .max_json_policy_buffer_len = 25165824,
    .endr_sm_timeout = 10,
    .max_vectors_in_bag = 8388608,
    .max_index_range_count = 8388608,
    .max_rule_index_size = 67108864,
    .enable_roaming_mode = false,
    .roaming_domain_name = nullptr,
    .en_driver_blocklist_enabled = true,
};

const char *bool_text(bool value)
{
    return value ? "true" : "false";
}

const char *enforcement_mode_name(uint64_t mode)
{
    switch (mode) {
    case EN_MODE_VISTOR_ONLY:
        return "VISTOR_ONLY";
    case EN_MODE_MONITORING:
        return "MONITORING";
    case EN_MODE_ENFORCING:
        return "ENFORCING";
    case EN_MODE_METRICS_ONLY:
        return "METRICS_ONLY";
    default:
        return "UNKNOWN";
    }
}

const char *firewall_mode_name(uint64_t mode)
{
    switch (mode) {
    case EN_FIREWALL_SOFT_ALLOW:
        return "SOFT_ALLOW";
    case EN_FIREWALL_HARD_IMPLICIT:
        return "HARD_IMPLICIT";
    case EN_FIREWALL_HARD_EXPLICIT:
        return "HARD_EXPLICIT";
    case EN_FIREWALL_HARD_ALLOW:
        return "HARD_ALLOW";
    default:
        return "UNKNOWN";
    }
}

const char *verbosity_name(uint64_t level)
{
    switch (level) {
    case EN_VERBOSE_OFF:
        return "VERBOSE_OFF";
    case EN_VERBOSE_LOG:
        return "VERBOSE_LOG";
    case EN_VERBOSE_LOG_KERNLOG:
        return "VERBOSE_LOG_KERNLOG";
    default:
        return "UNKNOWN";
    }
}

void (*s_mode_change_hook)(uint64_t mode);
std::atomic<const en_roaming_hooks *> s_roaming_hooks{nullptr};

bool on_enforcement_mode(const char *, uint64_t, uint64_t new_value, Error **)
{
    g_message("[config] setting agent enforcement mode=%s", enforcement_mode_name(new_value));
    if (s_mode_change_hook) {
        s_mode_change_hook(new_value);
    }
    if (en_handle *handle = g_en_handle) {
        g_message("[config] update enforcement mode");
        en_api_set_enforcement_mode(handle, new_value);
    } else {
        g_warning("[config] could not update agent enforcement mode. driver handle is NULL.");
    }
    return true;
}

bool on_firewall_mode(const char *, uint64_t, uint64_t new_value, Error **)
{
    g_message("[config] setting agent firewall mode=%s", firewall_mode_name(new_value));
    if (en_handle *handle = g_en_handle) {
        g_message("[config] update firewall mode");
        en_api_set_windows_firewall_mode(handle, new_value);
    } else {
        g_warning("[config] could not update agent firewall mode. driver handle is NULL.");
    }
    return true;
}

bool on_driver_verbosity(const char *, uint64_t, uint64_t new_value, Error **)
{
    g_message("[config] setting driver verbosity mode=%s", verbosity_name(new_value));
    if (en_handle *handle = g_en_handle) {
        g_message("[config] update driver verbosity");
        en_api_set_driver_verbosity(handle, new_value);
    } else {
        g_warning("[config] could not update driver verbosity. driver handle is NULL.");
    }
    return true;
}

bool on_drop_out_of_session(const char *, bool, bool new_value, Error **)
{
    g_message("[config] setting agent drop out-of-session=%s", bool_text(new_value));
    if (en_handle *handle = g_en_handle) {
        g_message("[config] update agent driver drop out-of-session");
        en_api_set_drop_out_of_session(handle, new_value);
    } else {
        g_warning("[config] could not update agent driver drop out-of-session. driver handle is NULL.");
    }
    return true;
}

bool on_dns_enable(const char *, bool, bool new_value, Error **)
{
    g_message("[config] setting agent dns status=%s", bool_text(new_value));
    if (en_handle *handle = g_en_handle) {
        g_message("[config] update agent driver dns status");
        en_api_set_dns_enable(handle, new_value);
    } else {
        g_warning("[config] could not update agent driver dns status. driver handle is NULL.");
    }
    return true;
}

bool on_dns_rate_limit(const char *, uint64_t old_value, uint64_t new_value, Error **)
{
    g_message("[config] setting driver dns rate limit %llu -> %llu", static_cast<ull>(old_value),
              static_cast<ull>(new_value));
    return en_api_set_dns_rate_limit(g_en_handle, new_value);
}

bool on_conn_request_size(const char *, uint64_t old_value, uint64_t new_value, Error **)
{
    g_message("[config] setting connection request size %llu -> %llu", static_cast<ull>(old_value),
              static_cast<ull>(new_value));
    return true;
}

bool on_conn_request_sufficient_size(const char *, uint64_t old_value, uint64_t new_value, Error **)
{
    g_message("[config] setting connection request sufficient size %llu -> %llu", static_cast<ull>(old_value),
              static_cast<ull>(new_value));
    return en_api_set_req_sufficient_size(g_en_handle, new_value);
}

bool on_conn_request_timeout(const char *, uint64_t old_value, uint64_t new_value, Error **)
{
    g_message("[config] setting connection request timeout ms %llu -> %llu", static_cast<ull>(old_value),
              static_cast<ull>(new_value));
    return true;
}

bool on_driver_log_req_timeout(const char *, uint64_t old_value, uint64_t new_value, Error **)
{
    g_message("[config] setting driver log request timeout ms %llu -> %llu", static_cast<ull>(old_value),
              static_cast<ull>(new_value));
    return true;
}

/* The driver's answer does not decide: the field keeps the new limit either way. */
bool on_policy_limit(const char *key, uint64_t old_value, uint64_t new_value, Error **)
{
    g_message("[config] %s changed: %llu->%llu", key, static_cast<ull>(old_value), static_cast<ull>(new_value));
    en_policy_limits_t limits;
    en_config_policy_limits(&limits);
    en_api_set_policy_limits(g_en_handle, &limits);
    return true;
}

bool on_index_limit(const char *key, uint64_t old_value, uint64_t new_value, Error **)
{
    g_message("[config] %s changed: %llu->%llu", key, static_cast<ull>(old_value), static_cast<ull>(new_value));
    en_index_limits_t limits;
    en_config_index_limits(&limits);
    en_api_set_index_limits(g_en_handle, &limits);
    return true;
}

bool on_syn_sent_timeout(const char *, uint64_t old_value, uint64_t new_value, Error **)
{
    g_message("[config] setting endr syn sent timeout %llu -> %llu", static_cast<ull>(old_value),
              static_cast<ull>(new_value));
    return en_api_set_syn_sent_timeout(g_en_handle, new_value);
}

bool on_roaming_mode(const char *, bool, bool new_value, Error **)
{
    g_message("[config] setting agent roaming mode=%s", bool_text(new_value));
    if (auto hooks = s_roaming_hooks.load()) {
        hooks->mode_changed(new_value);
    }
    return true;
}

bool on_roaming_domain_name(const char *, const char *, const char *new_value, Error **errp)
{
    g_message("[config] setting roaming domain name '%s'", new_value ? new_value : "");
    auto hooks = s_roaming_hooks.load();
    return !hooks || hooks->domain_list_changed(new_value, errp);
}

bool on_blocklist_enabled(const char *, bool, bool new_value, Error **)
{
    return en_api_set_dns_blocklist_enabled(g_en_handle, new_value);
}

} // namespace

void en_config_policy_limits(en_policy_limits_t *limits)
{
    *limits = {g_en_config.max_chains_num, g_en_config.max_rules_num, g_en_config.max_entity_field_num,
               g_en_config.max_rule_buffer_len};
}

void en_config_index_limits(en_index_limits_t *limits)
{
    *limits = {g_en_config.max_index_range_count, g_en_config.max_vectors_in_bag, g_en_config.max_rule_index_size};
}

bool enforcement_register_config(void)
{
    en_config_t &c = g_en_config;
    /* The registry owns the string from a former registration and frees it at its cleanup. */
    char *roaming_domain_name = c.roaming_domain_name;
    c = kDefaults;
    c.roaming_domain_name = roaming_domain_name;

    agent_config_register_int_range("agent.enforcement_mode", &c.enforcement_mode, 1, 5, on_enforcement_mode);
    agent_config_register_int_range("agent.windows_firewall_mode", &c.windows_firewall_mode, 0, 3,
                                    on_firewall_mode);
    agent_config_register_int_range("agent.driver_verbosity", &c.driver_verbosity, 0, 2, on_driver_verbosity);
    agent_config_register_bool("agent.drop_out_of_session", &c.drop_out_of_session, on_drop_out_of_session);
    agent_config_register_bool("dns.enable", &c.dns_enable, on_dns_enable);
    agent_config_register_int("dns.rate_limit", &c.dns_rate_limit, on_dns_rate_limit);
    agent_config_register_int("api.conn_request_size", &c.conn_request_size, on_conn_request_size);
    agent_config_register_int("api.conn_request_sufficient_size", &c.conn_request_sufficient_size,
                              on_conn_request_sufficient_size);
    agent_config_register_int("api.conn_request_timeout_ms", &c.conn_request_timeout_ms, on_conn_request_timeout);
    agent_config_register_int("api.driver_log_req_timeout_ms", &c.driver_log_req_timeout_ms,
                              on_driver_log_req_timeout);
    agent_config_register_int("api.keepalive_interval", &c.keepalive_interval, nullptr);
    agent_config_register_int("policy.max_chains_num", &c.max_chains_num, on_policy_limit);
    agent_config_register_int("policy.max_rules_num", &c.max_rules_num, on_policy_limit);
    agent_config_register_int("policy.max_entity_field_num", &c.max_entity_field_num, on_policy_limit);
    agent_config_register_int("policy.max_rule_buffer_len", &c.max_rule_buffer_len, on_policy_limit);
    agent_config_register_int("policy.max_json_policy_buffer_len", &c.max_json_policy_buffer_len, nullptr);
    agent_config_register_int("policy.endr_sm_timeout", &c.endr_sm_timeout, on_syn_sent_timeout);
    agent_config_register_int("index.max_vectors_in_bag", &c.max_vectors_in_bag, on_index_limit);
    agent_config_register_int("index.max_index_range_count", &c.max_index_range_count, on_index_limit);
    agent_config_register_int("index.max_rule_index_size", &c.max_rule_index_size, on_index_limit);
    agent_config_register_bool("agent.enable_roaming_mode", &c.enable_roaming_mode, on_roaming_mode);
    agent_config_register_str("agent.roaming_domain_name", &c.roaming_domain_name, on_roaming_domain_name, "", false);
    agent_config_register_bool("agent.en_driver_blocklist_enabled", &c.en_driver_blocklist_enabled,
                               on_blocklist_enabled);
    return true;
}

void en_config_set_roaming_hooks(const en_roaming_hooks *hooks)
{
    s_roaming_hooks.store(hooks);
}

void en_config_set_mode_change_hook(void (*hook)(uint64_t mode))
{
    s_mode_change_hook = hook;
}

bool get_agent_metrics_internal(Error **errp)
{
    en_handle *handle = g_en_handle;
    if (!en_api_is_started(handle)) {
        return true;
    }
    if (!en_api_get_metrics(handle)) {
        Error *err = nullptr;
        error_setg(&err, "[commands] failed to get driver metrics");
        g_warning("%s", error_get_message(err));
        error_propagate(errp, err);
        return false;
    }
    return true;
}
