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
struct InetSocketAddress;
struct InetSocketAddressList;
struct IpProtocolList;
struct NetworkInterfaceList;

/* The instance-metadata host name the second cloud rule allows. */
#define EN_CLOUD_METADATA_HOST "metadata.cloud.internal"
#define EN_CLOUD_METADATA_ADDRESS "169.254.169.254"

/* The most the builder waits for the host names of the server list, all names together. */
#define EN_SERVER_RESOLVE_TIMEOUT_MS 2000

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
 *
 * Server rules: an address's family comes from its text (IPv4 gives /32, IPv6 /128; flags
 * that say otherwise are logged and ignored). A host name is resolved here, within
 * EN_SERVER_RESOLVE_TIMEOUT_MS, asking for the one family its flags name if they name only
 * one; every address found gets its rule, a name without one is logged and skipped.
 */
EnforcementPolicyImplicitRuleList *en_policy_add_implicit_rules(const InetSocketAddressList *servers,
                                                                EnforcementChainList **output_table,
                                                                EnforcementChainList **input_table, bool roaming);

/* Whether a server entry stands for IPv6: its text when it is an address, else its flags. */
bool en_server_address_is_ipv6(const InetSocketAddress *server);

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
