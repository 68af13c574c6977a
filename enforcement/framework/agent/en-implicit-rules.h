/*
 * Implicit rules: the allow rules the module adds to every policy so that the machine
 * keeps working whatever the management side sends (management servers, own addresses,
 * localhost, broadcast, multicast, cloud metadata, DNS servers, roaming interfaces).
 *
 * They live in chains marked implicit ("IMPLICIT-OUTPUT", "IMPLICIT-INPUT",
 * "IMPLICIT-PRE-DEFAULT"), which each run removes and rebuilds.
 */
#pragma once

#include <glib.h>

#include <cstdint>

struct Error;
struct EnforcementChainList;
struct EnforcementPolicyImplicitRuleList;
struct InetSocketAddressList;
struct IpProtocolList;
struct NetworkInterfaceList;

/* The instance-metadata host name the second cloud rule allows. */
#define EN_CLOUD_METADATA_HOST "metadata.cloud.internal"
#define EN_CLOUD_METADATA_ADDRESS "169.254.169.254"

/* "policy.implicit_dns_rules": whether the DNS server rule is added. */
extern bool g_en_implicit_dns_rules;

/* The four protocol lists of the implicit rules: [TCP], [UDP], [UDP, TCP], [UDP, TCP, ICMP].
 * Built on first use; free releases them. */
const IpProtocolList *en_implicit_protocols_tcp(void);
const IpProtocolList *en_implicit_protocols_udp(void);
const IpProtocolList *en_implicit_protocols_udp_tcp(void);
const IpProtocolList *en_implicit_protocols_all(void);
void en_implicit_protocols_free(void);

/*
 * Removes the implicit chains of both tables, builds them afresh and returns the records
 * of what was added, in the order the management side expects. Never fails: unusable
 * inputs are logged and skipped. The table heads may change.
 */
EnforcementPolicyImplicitRuleList *en_policy_add_implicit_rules(const InetSocketAddressList *servers,
                                                                EnforcementChainList **output_table,
                                                                EnforcementChainList **input_table, bool roaming);

/* Sets rule_type on every rule: "DEFAULT-ALLOW" rules default, implicit chains implicit
 * (the two roaming rules explicit), everything else explicit. */
void en_policy_assign_rule_types(EnforcementChainList *table);

/* Broadcast address texts (g_free each), rebuilt on every builder run, read from the
 * interfaces on first use otherwise. */
GSList *en_broadcast_list(void);
bool en_broadcast_is_member(const char *address);
void en_broadcast_cache_free(void);

/* Where the builder reads interfaces and DNS servers; NULL restores the machine's own. */
struct en_implicit_sources {
    NetworkInterfaceList *(*read_interfaces)(Error **errp);
    GSList *(*dns_servers)(void); /* g_strdup'ed texts */
};
void en_implicit_set_sources(const en_implicit_sources *sources);
