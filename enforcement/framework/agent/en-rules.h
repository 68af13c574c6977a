/*
 * Rule conversion: one typed policy table into the driver's packed messages, sent in the
 * order init table, table index, then each chain followed by its rules.
 *
 * Rule messages leave out protocols, ports, port ranges and IPv4 addresses and subnets:
 * those reach the driver only through the table index.
 *
 * The builders (en_entity_build, en_rule_build, en_chain_build_msg) touch no driver and
 * can be used on their own; the *_convert functions build and send. The builders take
 * lids from the lid map, which must be initialised for rules with processes or services.
 * Every failure logs and sets errp with the same text.
 */
#pragma once

#include <cstddef>
#include <cstdint>

#include "enforcement/framework/agent/en-api.h"
#include "enforcement/framework/common/en-utils.h"

struct Error;
struct en_handle;
struct EntityMatch;
struct EnforcementRule;
struct EnforcementRuleList;
struct EnforcementChainList;

#define EN_ENTITY_FIXED_SIZE 39
#define EN_IP_FIELD_SIZE 17
#define EN_RULE_TRAILER_SIZE 144
#define EN_RULE_ID_SIZE 128
#define EN_TABLE_INPUT "INPUT"
#define EN_TABLE_OUTPUT "OUTPUT"

enum en_endr_rule_type : uint64_t {
    ENDR_RULE_DEFAULT = 0,
    ENDR_RULE_IMPLICIT = 1,
    ENDR_RULE_EXPLICIT = 2,
};

enum en_endr_verdict : uint64_t {
    ENDR_VERDICT_UNKNOWN = 0,
    ENDR_VERDICT_BLOCK = 1,
    ENDR_VERDICT_ALLOW = 2,
    ENDR_VERDICT_CONTINUE = 3,
};

/* Driver capabilities the entity conversion depends on. */
struct en_rule_caps_t {
    bool sid_rules;
    bool service_rules;
};

/* The capabilities of the opened driver (en_api_sid_rules_supported and friends). */
en_rule_caps_t en_rule_driver_caps(void);

/* Writes one 17-byte IP field at *cursor and advances it; fails when it would pass end. */
bool write_endr_ip_field(uint8_t **cursor, const uint8_t *end, const en_ip_addr_t *ip, Error **errp);

/* One entity buffer in a fresh g_malloc'ed allocation of *out_len bytes (caller g_frees). */
bool en_entity_build(const EntityMatch *qmp_entity_match, const en_rule_caps_t *caps, uint8_t **out_buf,
                     size_t *out_len, Error **errp);
/* en_entity_build with the opened driver's capabilities. */
bool en_entity_convert(const EntityMatch *qmp_entity_match, uint8_t **out_buf, size_t *out_len, Error **errp);

/* One rule buffer (S + D + 144 bytes, caller g_frees); the names only label messages. */
bool en_rule_build(const char *table_name, const char *chain_name, const EnforcementRule *qmp_rule,
                   const en_rule_caps_t *caps, uint8_t **out_buf, size_t *out_len, Error **errp);

/* The 260-byte add-chain message; refuses names of 128 characters or more. */
bool en_chain_build_msg(const char *table_name, const char *chain_name, uint32_t rule_count,
                        uint8_t msg[EN_API_ADD_CHAIN_SIZE], Error **errp);

/* Builds one rule and sends it through en_api_add_rule. */
bool en_rule_convert(en_handle *en_handle, const char *table_name, const char *chain_name,
                     const EnforcementRule *qmp_rule, Error **errp);
/* Sends one chain, then its rules; *rules_count is the chain's rule count. */
bool en_chain_convert(en_handle *en_handle, const char *table_name, const char *chain_name,
                      const EnforcementRuleList *rules, uint64_t *rules_count, Error **errp);
/* Converts the "INPUT" (output false) or "OUTPUT" table; *rules_count is the rules sent. */
bool en_table_convert(en_handle *en_handle, bool output, const EnforcementChainList *chains, uint64_t *rules_count,
                      Error **errp);
