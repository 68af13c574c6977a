/*
 * Human-readable forms of a policy: the text dump (log, "get-enforcement-policy" text
 * form) and the CSV export of the control command client.
 *
 * Rendering never fails the caller's operation: a missing part is logged at critical
 * level ("[%s:%d] %s is NULL") and left out.
 */
#pragma once

#include <glib.h>

#include <cstdint>
#include <cstdio>

#include "qapi/qmp-enforcement-types.h"

/* The log refuses a size-checked dump whose two table texts together pass this. */
#define EN_DUMP_MAX_LOG_TEXT 0xFFFFFu

/* Text form of one table, g_free'd by the caller; NULL when table_name is NULL. */
char *en_table_dump(const char *table_name, const EnforcementChainList *chains);
/* Appends one chain (name line, then its rules); a chain without a name is skipped. */
void en_chain_dump(const EnforcementChain *chain, GString *out);
/* Appends one rule line, newline included. */
void en_rule_dump(const EnforcementRule *rule, GString *out);
/* Appends the entity text; false when match is NULL (nothing appended) or when its
 * container matches cannot be written as JSON (the text stops there). */
bool en_entity_match_dump(const EntityMatch *match, GString *out);

/* The policy dump to the log (message level); size_check as for "dump-policies". */
void en_policy_dump_to_log(const EnforcementChainList *input_table, const EnforcementChainList *output_table,
                           uint64_t revision, uint64_t dc_inventory_revision, bool size_check);

/*
 * CSV export; false (after printing the error to stderr) when the file can't be opened or
 * written. Fields holding ';', '"' or a line break are quoted, inner quotes doubled.
 */
bool en_policy_export(const EnforcementChainList *input_table, const EnforcementChainList *output_table,
                      const char *path);
/* One line per rule; a chain without a name or a missing rule ends the table there. */
void en_table_export(const char *direction, const EnforcementChainList *chains, FILE *file);
/* The entity's single addresses, last first, joined by ","; " " when none (g_free). */
char *en_entity_ip_match_export(const EntityMatch *match);
/* Single ports last first, then ranges last first, joined by ","; " " when none (g_free). */
char *en_entity_port_match_export(const EntityMatch *match);

/* Display names (static strings). */
const char *en_protocols_display_name(const IpProtocolList *protocols);
const char *en_rule_type_display_name(bool has_rule_type, RuleType type);
const char *en_verdict_display_name(RuleVerdict verdict);
const char *en_transport_display_name(uint64_t transport);
const char *en_driver_verdict_display_name(uint64_t verdict);
/* 0 PRIMARY, 1 STATUS. */
const char *en_event_kind_display_name(uint64_t kind);
