/*
 * The enforcement API: the module's view of the driver. One handle owns the open
 * device and the receive thread that answers the driver's lid requests; every other
 * function is one driver request (log tag "[api]").
 *
 * Every operation takes the handle first; a NULL handle logs critical
 * "[%s:%d] %s is NULL" and fails. Requests may come from any thread at once; start,
 * stop and free belong to one thread (the policy lifecycle) and never overlap.
 */
#pragma once

#include <cstddef>
#include <cstdint>

struct Error;
struct en_handle;

/* Published by the module start so that configuration handlers and commands reach the
 * driver; NULL while no handle exists. */
extern en_handle *g_en_handle;

#define EN_API_VERSION 420005ULL
#define EN_API_MSG_DATA_BUFFER_SIZE 102400
#define EN_API_METRICS_BUFFER_SIZE 102400
#define EN_API_METRIC_ENTRY_SIZE 136
#define EN_API_METRIC_ENTRIES_OFFSET 16
#define EN_API_METRIC_NAME_SIZE 128
#define EN_API_DNS_SNAPSHOT_SIZE 2960016
#define EN_API_EVENT_AREA_SIZE 48
#define EN_API_EVENT_BUFFER_SIZE 65535
#define EN_API_EVENT_LID_REQUEST 2
#define EN_API_MAX_EXCLUDED_IFACES 16
#define EN_API_MAX_LIDS 8
#define EN_API_DEFAULT_LID 1
#define EN_API_QUEUE_SIZE 32768
#define EN_API_ADD_CHAIN_SIZE 260
#define EN_API_NAME_SIZE 128
#define EN_API_ADD_RULE_HEADER_SIZE 264
#define EN_API_LOG_REQUEST_SIZE 28
#define EN_API_CONN_REQUEST_SIZE 40

/* Values of the driver settings, passed unchanged from the configuration fields. */
enum en_enforcement_mode : uint64_t {
    EN_MODE_VISTOR_ONLY = 1,
    EN_MODE_MONITORING = 2,
    EN_MODE_ENFORCING = 3,
    EN_MODE_METRICS_ONLY = 5,
};
enum en_firewall_mode : uint64_t {
    EN_FIREWALL_SOFT_ALLOW = 0,
    EN_FIREWALL_HARD_IMPLICIT = 1,
    EN_FIREWALL_HARD_EXPLICIT = 2,
    EN_FIREWALL_HARD_ALLOW = 3,
};
enum en_driver_verbosity : uint64_t {
    EN_VERBOSE_OFF = 0,
    EN_VERBOSE_LOG = 1,
    EN_VERBOSE_LOG_KERNLOG = 2,
};

#pragma pack(push, 1)
/* Packed little-endian wire records. */
struct en_lid_reply_t {
    uint64_t pid;
    uint32_t cid;
    uint16_t lid_count;
    uint16_t lids[EN_API_MAX_LIDS];
    uint8_t update;
};
struct en_policy_limits_t {
    uint64_t max_chains_num;
    uint64_t max_rules_num;
    uint64_t max_entity_field_num;
    uint64_t max_rule_buffer_len;
};
struct en_index_limits_t {
    uint64_t max_index_range_count;
    uint64_t max_vectors_in_bag;
    uint64_t max_rule_index_size;
};
#pragma pack(pop)
static_assert(sizeof(en_lid_reply_t) == 31);
static_assert(sizeof(en_policy_limits_t) == 32);
static_assert(sizeof(en_index_limits_t) == 24);

/* Whether connection reporting sends batches (the -B option clears it); read by
 * en_api_init. Default true. */
void en_api_set_send_batch_events(bool enabled);

/*
 * A new handle, stopped, device closed. The first call of a process (and the first after
 * en_api_free) also initialises the driver channel; its failure ends the process.
 */
en_handle *en_api_init(void);
/* Brings the driver into service and starts the receive thread; a failed start leaves
 * the handle stopped with nothing running. True at once when already started. */
bool en_api_start(en_handle *en_handle);
/* Stops the monitors, closes the device (ending the receive thread's pending read), joins
 * the thread. Runs every step even after a failed one; false when any failed. */
bool en_api_stop(en_handle *en_handle);
/* Must follow en_api_stop (fatal assertion otherwise); NULL-safe. */
void en_api_free(en_handle *en_handle);
bool en_api_is_started(const en_handle *en_handle);

/* The receive thread's body (en_api_start runs it with the handle). */
void *en_api_thread_entry(void *arg);
/* Answers, with byte 30 set, the lids of every running process (after a policy swap). A
 * lid answer is sent under the numbering in force when it is sent, never an older one. */
bool en_api_update_existing_lids(en_handle *en_handle);

/* Policy loading. */
bool en_api_init_input_table(en_handle *en_handle, uint64_t chain_count);
bool en_api_init_output_table(en_handle *en_handle, uint64_t chain_count);
bool en_api_init_input_table_index(en_handle *en_handle, void *index, uint32_t length);
bool en_api_init_output_table_index(en_handle *en_handle, void *index, uint32_t length);
bool en_api_platform_add_chain(en_handle *en_handle, void *buf, uint32_t length);
bool en_api_platform_add_rule(en_handle *en_handle, void *buf, uint32_t length);
/* The 260-byte add-chain message as rule conversion builds it. */
bool en_api_add_chain(en_handle *en_handle, void *add_chain_msg);
/* Wraps a rule buffer into the add-rule message (names under 128 characters). A missing
 * or too long name is refused with errp set; a refusal by the driver only logs. */
bool en_api_add_rule(en_handle *en_handle, const char *table_name, const char *chain_name, const void *rule,
                     uint64_t rule_length, Error **errp);
/*
 * The same two requests without waiting for the driver (en_driver_pipeline): a send
 * refuses what en_api_add_rule refuses before the driver sees it; the driver's answers are
 * taken in the order sent, a refusal logged as by the calls above.
 */
struct en_driver_pipeline;
en_driver_pipeline *en_api_pipeline_new(en_handle *en_handle);
void en_api_add_chain_send(en_driver_pipeline *pipeline, void *add_chain_msg);
bool en_api_add_chain_result(en_driver_pipeline *pipeline);
bool en_api_add_rule_send(en_driver_pipeline *pipeline, const char *table_name, const char *chain_name,
                          const void *rule, uint64_t rule_length, Error **errp);
bool en_api_add_rule_result(en_driver_pipeline *pipeline);
bool en_api_policy_set_revision(en_handle *en_handle, uint64_t revision);
bool en_api_policy_light_revision_update(en_handle *en_handle, uint64_t revision);
/* Swap, adoption of the lid numbering built aside, existing lids update, reauthorization.
 * True once the swap succeeded: a refused reauthorization only logs its warning. */
bool en_api_policy_swap(en_handle *en_handle);

/* Settings. */
bool en_api_set_driver_verbosity(en_handle *en_handle, uint64_t level);
bool en_api_set_block_non_tcp_udp(en_handle *en_handle, bool block);
bool en_api_set_dns_enable(en_handle *en_handle, bool enable);
bool en_api_set_dns_rate_limit(en_handle *en_handle, uint64_t value);
bool en_api_set_syn_sent_timeout(en_handle *en_handle, uint64_t value);
bool en_api_set_enforcement_mode(en_handle *en_handle, uint64_t mode);
bool en_api_set_windows_firewall_mode(en_handle *en_handle, uint64_t mode);
bool en_api_set_drop_out_of_session(en_handle *en_handle, bool drop);
bool en_api_set_policy_limits(en_handle *en_handle, const en_policy_limits_t *limits);
bool en_api_set_index_limits(en_handle *en_handle, const en_index_limits_t *limits);
bool en_api_set_dns_blocklist_policy(en_handle *en_handle, void *dns_blocklist, uint32_t length);
bool en_api_set_dns_blocklist_enabled(en_handle *en_handle, bool enabled);
bool en_api_set_req_sufficient_size(en_handle *en_handle, uint64_t value);

/* DNS snapshot buffers of EN_API_DNS_SNAPSHOT_SIZE bytes. */
bool en_api_get_dns_snapshot(en_handle *en_handle, void *snapshot);
bool en_api_set_dns_snapshot(en_handle *en_handle, void *snapshot);

/* Raw metrics buffer read; en_api_get_metrics publishes it as agent metrics. */
bool _en_api_get_metrics(en_handle *en_handle, void *buf, uint32_t size);
bool en_api_get_metrics(en_handle *en_handle);

/* The 28-byte log request; returns the byte count the driver filled in, 0 on failure. */
uint32_t en_api_get_driver_logs(en_handle *en_handle, void *log_request);
/* The 40-byte connection request, filled by the driver. */
bool en_api_get_connections(en_handle *en_handle, void *conn_request);

/* The batch buffer of connection reporting (NULL when batches are off) and its lock. */
uint8_t *en_api_msg_data_buffer(void);
void en_api_msg_data_lock(void);
void en_api_msg_data_unlock(void);

/* Driver capabilities, re-exported for rule conversion and connection reporting. */
bool en_api_layer4_policy_required(void);
bool en_api_sid_rules_supported(void);
bool en_api_service_rules_supported(void);
