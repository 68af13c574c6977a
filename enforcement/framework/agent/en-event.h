/*
 * The driver's connection record and the connection event creator (log tags "[event]"
 * and "[event logger]"): one record's verdict, tuple, process, user, service and DNS
 * names become a serialized NetEvent of type Connection. Reentrant; no shared state.
 */
#pragma once

#include <cstddef>
#include <cstdint>

#include "enforcement/framework/agent/en-proc-info.h"

#define EN_EVENT_CONN_RECORD_SIZE 1852
#define EN_EVENT_RECORD_TYPE_HOOK 2
#define EN_EVENT_RECORD_TYPE_CONNECTION 3
/* Space one connection event may take, in the batch and in the single-event buffer. */
#define EN_EVENT_SPACE 4096

enum endr_verdict_e : uint32_t {
    ENDR_VERDICT_UNKNOWN = 0,
    ENDR_VERDICT_BLOCK = 1,
    ENDR_VERDICT_ALLOW = 2,
    ENDR_VERDICT_CONTINUE = 3,
};
enum endr_protocol_e : uint32_t {
    ENDR_PROTOCOL_TCP = 0,
    ENDR_PROTOCOL_UDP = 1,
    /* What the driver records for ICMP traffic (any value not TCP, UDP or ALL). */
    ENDR_PROTOCOL_ICMP = 2,
    ENDR_PROTOCOL_ALL = 65535,
};
enum endr_conn_status_e : uint8_t {
    ENDR_CONN_STATUS_UNKNOWN = 0,
    ENDR_CONN_STATUS_SUCCESS = 1,
    ENDR_CONN_STATUS_FAILED = 2,
};
enum endr_enrich_type_e : uint8_t {
    ENDR_ENRICH_PRIMARY = 0,
    ENDR_ENRICH_STATUS = 1,
};
enum endr_enforcement_state_e : uint8_t {
    ENDR_STATE_UNUSED = 0,
    ENDR_STATE_VISTOR_ONLY = 1,
    ENDR_STATE_MONITORING = 2,
    ENDR_STATE_ENFORCING = 3,
    ENDR_STATE_METRICS_ONLY = 5,
};
enum endr_dec_policy_verdict_e : uint8_t {
    ENDR_DEC_UNKNOWN = 0,
    ENDR_DEC_NO_MATCH = 1,
    ENDR_DEC_IGNORE = 2,
    ENDR_DEC_BYPASS = 3,
    ENDR_DEC_INSPECT = 4,
};
enum endr_dec_reason_e : uint8_t {
    ENDR_DEC_REASON_UNKNOWN = 0,
    ENDR_DEC_REASON_LAST = 8,
};

#pragma pack(push, 1)
/* 8-byte head (first byte non-zero for IPv4), then 16 address bytes; IPv4 is the host
 * order u32 at the start of the 16. */
struct endr_address_t {
    uint8_t head[8];
    uint8_t address[16];
};
/* The record from its offset 4 up to the address family. */
struct endr_l4_tuple_t {
    endr_address_t source;
    endr_address_t destination;
    uint16_t source_port;
    uint16_t destination_port;
    uint32_t protocol;
    uint16_t family; /* 1 IPv4, 2 IPv6 */
};
/* One connection record as the driver lays them end to end. Text fields are
 * NUL-terminated within their width, or fill it. */
struct endr_conn_record_t {
    uint32_t type;
    endr_l4_tuple_t tuple;
    uint8_t pad0[6];
    uint64_t pid;
    uint32_t cid;
    uint8_t inbound;
    uint8_t pad1[3];
    uint32_t verdict;
    uint8_t pad2[4];
    uint32_t dc_inventory_revision;
    uint32_t policy_revision;
    char rule_id[129];
    char dns_name[255];
    uint8_t no_process;
    char dns_pattern[255];
    uint8_t service_kind; /* 0 none, 1 look up the display name, others name only */
    char service_name[1025];
    uint32_t sub_authorities[15];
    uint8_t sub_authority_count;
    uint8_t status;
    uint8_t enrichment_type;
    uint8_t enforcement_state;
    uint8_t pad3[6];
    uint64_t sm_id;
    uint8_t deception_present;
    uint8_t redirected;
    uint8_t deception_verdict;
    uint8_t deception_reason;
    uint32_t redirect_id;
};
#pragma pack(pop)
static_assert(sizeof(endr_l4_tuple_t) == 58);
static_assert(sizeof(endr_conn_record_t) == EN_EVENT_CONN_RECORD_SIZE);
static_assert(offsetof(endr_conn_record_t, pid) == 68 && offsetof(endr_conn_record_t, verdict) == 84);
static_assert(offsetof(endr_conn_record_t, rule_id) == 100 && offsetof(endr_conn_record_t, dns_name) == 229);
static_assert(offsetof(endr_conn_record_t, dns_pattern) == 485 && offsetof(endr_conn_record_t, service_name) == 741);
static_assert(offsetof(endr_conn_record_t, sub_authorities) == 1766 &&
              offsetof(endr_conn_record_t, sub_authority_count) == 1826);
static_assert(offsetof(endr_conn_record_t, sm_id) == 1836 && offsetof(endr_conn_record_t, redirect_id) == 1848);

/*
 * Builds the Connection event of one record and serializes it into out, whose space
 * *len gives; *len becomes the serialized size. Strings may be NULL or empty (not set);
 * info may be NULL (pid and ppid unknown). False, after a critical or warning line,
 * for a value the event cannot carry or an event that does not fit.
 */
bool en_event_create(bool inbound, const endr_l4_tuple_t *conn_tuple, const en_process_info_t *info,
                     endr_verdict_e verdict, const char *rule_id, uint64_t policy_revision,
                     uint64_t dc_inventory_revision, const char *dns_name, const char *user_name,
                     endr_conn_status_e status, endr_enrich_type_e enrichment_type,
                     endr_enforcement_state_e enforcement_state, uint8_t *out, size_t *len, uint64_t sm_id,
                     bool deception_present, bool redirected, endr_dec_policy_verdict_e deception_verdict,
                     endr_dec_reason_e deception_reason, uint32_t redirect_id, const char *dns_pattern,
                     const char *service_name, const char *service_display);

/* A text field of a record as a string: up to its first NUL or its full width. */
char *en_event_record_text(const char *field, size_t width);
