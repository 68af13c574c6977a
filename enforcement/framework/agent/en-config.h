/*
 * The enforcement module's configuration fields: their storage, their registration and
 * what a change sends to the driver (through g_en_handle). Other threads read the
 * storages without a lock; each is one machine word or byte.
 */
#pragma once

#include <cstdint>

#include "enforcement/framework/agent/en-api.h"

struct Error;


struct en_config_t {
    uint64_t enforcement_mode;       /* "agent.enforcement_mode" */
    uint64_t windows_firewall_mode;  /* "agent.windows_firewall_mode" */
    uint64_t driver_verbosity;       /* "agent.driver_verbosity" */
    bool drop_out_of_session;        /* "agent.drop_out_of_session" */
    bool dns_enable;                 /* "dns.enable" */
    uint64_t dns_rate_limit;         /* "dns.rate_limit" */
    uint64_t conn_request_size;      /* "api.conn_request_size" */
    uint64_t conn_request_sufficient_size;
    uint64_t conn_request_timeout_ms;
    uint64_t driver_log_req_timeout_ms;
    uint64_t keepalive_interval;
    uint64_t max_chains_num;         /* "policy.*" */
    uint64_t max_rules_num;
    uint64_t max_entity_field_num;
    uint64_t max_rule_buffer_len;
    uint64_t max_json_policy_buffer_len;
    uint64_t endr_sm_timeout;
    uint64_t max_vectors_in_bag;     /* "index.*" */
    uint64_t max_index_range_count;
    uint64_t max_rule_index_size;
    bool enable_roaming_mode;        /* "agent.enable_roaming_mode" */
    char *roaming_domain_name;       /* "agent.roaming_domain_name", owned by the registry */
    bool en_driver_blocklist_enabled; /* "agent.en_driver_blocklist_enabled" */
};

extern en_config_t g_en_config;

/* Resets the storages to their defaults and registers every field (the descriptor's
 * register_config_cb). The configuration registry must be initialised. */
bool enforcement_register_config(void);

/* The policy and index limits blocks as the fields hold them now. */
void en_config_policy_limits(en_policy_limits_t *limits);
void en_config_index_limits(en_index_limits_t *limits);

/* What the two roaming fields hand their new values to (the roaming unit, once the policy
 * is initialised); without hooks both changes are only logged and accepted. */
struct en_roaming_hooks {
    void (*mode_changed)(bool enabled);
    bool (*domain_list_changed)(const char *config, Error **errp);
};
void en_config_set_roaming_hooks(const en_roaming_hooks *hooks);

/* Called with the new "agent.enforcement_mode" on every change (the policy's fallback decision). */
void en_config_set_mode_change_hook(void (*hook)(uint64_t mode));

/* The metrics module hook: adds the driver's metrics while the driver handle is open. */
bool get_agent_metrics_internal(Error **errp);
