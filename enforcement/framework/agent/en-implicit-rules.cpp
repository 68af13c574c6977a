#include "enforcement/framework/agent/en-implicit-rules.h"

#include <arpa/inet.h>
#include <glib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "enforcement/framework/agent/en-roaming.h"
#include "enforcement/framework/agent/en-rules.h"
#include "enforcement/framework/common/en-utils.h"
#include "enforcement/platforms/name-resolve.h"
#include "qapi/qmp-enforcement-types.h"
#include "util/aux-netif.h"
#include "util/error.h"

bool g_en_implicit_dns_rules = true;

namespace {

IpProtocolList *s_proto_tcp, *s_proto_udp, *s_proto_udp_tcp, *s_proto_all;
std::mutex s_proto_lock;

std::mutex s_broadcast_lock;
GHashTable *s_broadcast; /* address text -> itself; NULL until built */

NetworkInterfaceList *default_read_interfaces(Error **errp)
{
    /* Virtual adapters carry real local addresses too; loopback is covered by the localhost rule. */
    aux_iface_options options;
    options.include_virtual = true;
    return get_network_interfaces(&options, errp);
}

const en_implicit_sources kMachineSources = {default_read_interfaces, aux_get_dns_servers};
const en_implicit_sources *s_sources = &kMachineSources;

bool ipv6_supported(void)
{
    /* Address text conversion for IPv6 is always there on this platform. */
    return true;
}

IpProtocolList *protocol_list(std::initializer_list<IpProtocol> protocols)
{
    IpProtocolList *head = nullptr, **tail = &head;
    for (IpProtocol p : protocols) {
        *tail = qapi_new_IpProtocolList(p);
        tail = &(*tail)->next;
    }
    return head;
}

void build_protocols_locked(void)
{
    if (!s_proto_tcp) {
        s_proto_tcp = protocol_list({IP_PROTOCOL_TCP});
        s_proto_udp = protocol_list({IP_PROTOCOL_UDP});
        s_proto_udp_tcp = protocol_list({IP_PROTOCOL_UDP, IP_PROTOCOL_TCP});
        s_proto_all = protocol_list({IP_PROTOCOL_UDP, IP_PROTOCOL_TCP, IP_PROTOCOL_ICMP});
    }
}

const IpProtocolList *protocols(IpProtocolList *const *which)
{
    std::lock_guard<std::mutex> guard(s_proto_lock);
    build_protocols_locked();
    return *which;
}

void str_prepend(strList **list, const char *text)
{
    strList *node = qapi_new_strList(g_strdup(text));
    node->next = *list;
    *list = node;
}

void set_ip_hash(EntityMatch *entity, strList *addresses)
{
    entity->has_match_ip_hash = addresses != nullptr;
    entity->match_ip_hash = addresses;
}

void set_subnets(EntityMatch *entity, strList *subnets)
{
    entity->has_match_multiple_subnets = subnets != nullptr;
    entity->match_multiple_subnets = subnets;
}

void set_port(EntityMatch *entity, uint16_t port)
{
    entity->has_match_ports = true;
    entity->match_ports = qapi_new_uint16List(port);
}

EnforcementRule *new_rule(const char *id, const IpProtocolList *protos)
{
    EntityMatch *any = qapi_new_EntityMatch();
    EnforcementRule *rule = qapi_new_EnforcementRule(any, any, protos, RULE_VERDICT_ALLOW, id);
    qapi_free_EntityMatch(any);
    return rule;
}

EnforcementChain *new_implicit_chain(const char *name)
{
    return qapi_new_EnforcementChain_full(name, nullptr, true);
}

/* Rules go to the front, so the final order is the reverse of the order of adding. */
void chain_prepend(EnforcementChain *chain, EnforcementRule *rule)
{
    EnforcementRuleList *node = qapi_new_EnforcementRuleList(rule);
    node->next = chain->rules;
    chain->rules = node;
}

void add_to_both(EnforcementChain *output, EnforcementChain *input, EnforcementRule *rule)
{
    chain_prepend(input, qapi_copy_EnforcementRule(rule));
    chain_prepend(output, rule);
}

void record_prepend(EnforcementPolicyImplicitRuleList **records, EnforcementPolicyImplicitRuleType type,
                    EnforcementPolicyTableType table, EnforcementPolicyImplicitRulePosition position)
{
    EnforcementPolicyImplicitRuleList *node = qapi_new_EnforcementPolicyImplicitRuleList_elem(type, table, position);
    node->next = *records;
    *records = node;
}

void remove_implicit_chains(EnforcementChainList **table)
{
    EnforcementChainList **link = table;
    while (*link) {
        EnforcementChainList *node = *link;
        if (node->value && node->value->has_implicit && node->value->implicit) {
            *link = node->next;
            node->next = nullptr;
            qapi_free_EnforcementChainList(node);
        } else {
            link = &node->next;
        }
    }
}

void table_prepend(EnforcementChainList **table, EnforcementChain *chain)
{
    EnforcementChainList *node = qapi_new_EnforcementChainList(chain);
    node->next = *table;
    *table = node;
}

void insert_before_default(EnforcementChainList **table, EnforcementChain *chain)
{
    EnforcementChainList **link = table;
    while (*link) {
        const EnforcementChain *c = (*link)->value;
        if (c && c->chain_name && strncmp(c->chain_name, "DEFAULT-", 8) == 0) {
            break;
        }
        link = &(*link)->next;
    }
    EnforcementChainList *node = qapi_new_EnforcementChainList(chain);
    node->next = *link;
    *link = node;
}

bool parse_server_port(const char *text, uint16_t *port)
{
    if (!text) {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    unsigned long long value = strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value > 65534) {
        return false;
    }
    *port = (uint16_t)value;
    return true;
}

/* EN_AF_INET or EN_AF_INET6 for an address in standard notation, -1 for anything else. */
int literal_family(const char *host)
{
    unsigned char buf[16];
    if (!host) {
        return -1;
    }
    if (inet_pton(AF_INET, host, buf) == 1) {
        return EN_AF_INET;
    }
    /* A zone ("fe80::1%eth0") names an interface, not another address. */
    g_autofree char *bare = g_strndup(host, strcspn(host, "%"));
    if (inet_pton(AF_INET6, bare, buf) != 1) {
        return -1;
    }
    /* A mapped IPv4 address becomes its IPv4 rule, so it is IPv4 everywhere. */
    static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return memcmp(buf, kMapped, sizeof kMapped) == 0 ? EN_AF_INET : EN_AF_INET6;
}

const char *family_name(int family)
{
    return family == EN_AF_INET6 ? "IPv6" : "IPv4";
}

/* Flags that name only the other family, or deny this one. */
bool flags_contradict(const InetSocketAddress *server, int family)
{
    bool v4 = server->has_ipv4 && server->ipv4, v6 = server->has_ipv6 && server->ipv6;
    if (family == EN_AF_INET) {
        return (v6 && !v4) || (server->has_ipv4 && !server->ipv4);
    }
    return (v4 && !v6) || (server->has_ipv6 && !server->ipv6);
}

/* For a host name the flags choose what to ask for: one family when only it is set. */
platform_resolve_family name_family(const InetSocketAddress *server)
{
    bool v4 = server->has_ipv4 && server->ipv4, v6 = server->has_ipv6 && server->ipv6;
    if (v6 && !v4) {
        return PLATFORM_RESOLVE_IPV6;
    }
    if (v4 && !v6) {
        return PLATFORM_RESOLVE_IPV4;
    }
    return PLATFORM_RESOLVE_ANY;
}

void add_server_rule(EnforcementChain *output, const char *address, uint16_t port)
{
    g_debug("[policy] adding server implicit rule to: %s:%d", address, port);
    EnforcementRule *rule = new_rule("implicit-server-rule", protocols(&s_proto_tcp));
    g_autofree char *subnet = g_strdup_printf(en_str_af(address) == EN_AF_INET6 ? "%s/128" : "%s/32", address);
    strList *subnets = nullptr;
    str_prepend(&subnets, subnet);
    set_subnets(rule->match_dst, subnets);
    set_port(rule->match_dst, port);
    chain_prepend(output, rule);
}

void add_server_rules(const InetSocketAddressList *servers, EnforcementChain *output)
{
    std::vector<const InetSocketAddress *> usable;
    std::vector<uint16_t> ports;
    std::vector<platform_host_lookup> lookups;
    for (const InetSocketAddressList *s = servers; s; s = s->next) {
        const InetSocketAddress *server = s->value;
        if (!server || !server->host) {
            continue;
        }
        uint16_t port = 0;
        if (!parse_server_port(server->port, &port)) {
            g_warning("[policy] wrong port in server implicit rule to: %s:%s", server->host, server->port);
            continue;
        }
        platform_host_lookup lookup{};
        lookup.name = server->host;
        int family = literal_family(server->host);
        if (family < 0) {
            lookup.family = name_family(server);
        } else if (flags_contradict(server, family)) {
            g_warning("[policy] address family flags of implicit server address %s:%s contradict the address, "
                      "using it as %s",
                      server->host, server->port, family_name(family));
        }
        usable.push_back(server);
        ports.push_back(port);
        lookups.push_back(lookup);
    }
    /* Literals come back at once in canonical form; names are looked up together. */
    platform_resolve_hosts(lookups.data(), lookups.size(), EN_SERVER_RESOLVE_TIMEOUT_MS);
    bool added = false;
    for (size_t i = 0; i < lookups.size(); i++) {
        if (!lookups[i].addresses) {
            g_warning("[policy] failed resolving implicit server address %s:%s (%s), skipping it",
                      usable[i]->host, usable[i]->port, lookups[i].error ? lookups[i].error : "no address");
            continue;
        }
        for (GSList *a = lookups[i].addresses; a; a = a->next) {
            add_server_rule(output, static_cast<const char *>(a->data), ports[i]);
            added = true;
        }
    }
    platform_host_lookups_clear(lookups.data(), lookups.size());
    if (!added) {
        g_debug("[policy] no IP for server implicit rule");
    }
}

void add_local_rules(const NetworkInterfaceList *ifaces, EnforcementChain *output, EnforcementChain *input,
                     EnforcementPolicyImplicitRuleList **records)
{
    g_debug("[policy] adding local IPs implicit rules");
    for (const NetworkInterfaceList *i = ifaces; i; i = i->next) {
        for (const InterfaceIpAddressList *a = i->value->ip_addresses; a; a = a->next) {
            const InterfaceIpAddress *address = a->value;
            if (address->ip_address_type == IP_ADDRESS_TYPE_IPV6 && !ipv6_supported()) {
                g_debug("[policy] skipping local ip: %s because of its type", address->ip_address);
                continue;
            }
            g_debug("[policy] adding local ip rule to: %s", address->ip_address);
            EnforcementRule *rule = new_rule("implicit-local-ip-rule", protocols(&s_proto_all));
            strList *src = nullptr, *dst = nullptr;
            str_prepend(&src, address->ip_address);
            str_prepend(&dst, address->ip_address);
            set_ip_hash(rule->match_src, src);
            set_ip_hash(rule->match_dst, dst);
            add_to_both(output, input, rule);
        }
    }
    record_prepend(records, ENFORCEMENT_POLICY_IMPLICIT_RULE_TYPE_LOCAL, ENFORCEMENT_POLICY_TABLE_TYPE_OUTPUT,
                   ENFORCEMENT_POLICY_IMPLICIT_RULE_POSITION_TOP);
}

void broadcast_rebuild_locked(const NetworkInterfaceList *ifaces)
{
    if (!s_broadcast) {
        s_broadcast = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, nullptr);
    }
    g_hash_table_remove_all(s_broadcast);
    g_debug("[ip-broadcast] reloading broadcast addresses cache from network interfaces list");
    for (const NetworkInterfaceList *i = ifaces; i; i = i->next) {
        for (const InterfaceIpAddressList *a = i->value->ip_addresses; a; a = a->next) {
            const InterfaceIpAddress *address = a->value;
            if (address->ip_address_type != IP_ADDRESS_TYPE_IPV4) {
                g_debug("[ip-broadcast] skipping broadcast IPv4 rule: %s because of its type (non-IPv4)",
                        address->ip_address);
                continue;
            }
            struct in_addr in {};
            if (inet_pton(AF_INET, address->ip_address, &in) != 1) {
                g_debug("[ip-broadcast] ipv4 string to IPv4 conversion failed");
                continue;
            }
            int64_t prefix = address->prefix;
            if (prefix < 2 || prefix >= 32) {
                g_debug("[ip-broadcast] skipping broadcast IPv4 rule because of no broadcast address, address: %s, "
                        "prefix: %lli",
                        address->ip_address, (long long)prefix);
                continue;
            }
            uint32_t host = ntohl(in.s_addr);
            uint32_t mask = 0xFFFFFFFFu << (32 - prefix);
            struct in_addr bcast {};
            bcast.s_addr = htonl(host | ~mask);
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &bcast, text, sizeof text);
            g_hash_table_add(s_broadcast, g_strdup(text));
            g_debug("[ip-broadcast] broadcast IPv4 found - address: %s, prefix: %lli, broadcast: %s",
                    address->ip_address, (long long)prefix, text);
        }
    }
    g_hash_table_add(s_broadcast, g_strdup("255.255.255.255"));
}

/* The cache as a sorted list, so rules come out the same on every run. */
GSList *broadcast_list_locked(void)
{
    GSList *list = nullptr;
    GHashTableIter iter;
    gpointer key;
    g_hash_table_iter_init(&iter, s_broadcast);
    while (g_hash_table_iter_next(&iter, &key, nullptr)) {
        list = g_slist_prepend(list, g_strdup((const char *)key));
    }
    return g_slist_sort(list, (GCompareFunc)strcmp);
}

bool broadcast_ensure_locked(void)
{
    if (s_broadcast) {
        return true;
    }
    Error *err = nullptr;
    NetworkInterfaceList *ifaces = s_sources->read_interfaces(&err);
    if (err) {
        g_warning("[ip-broadcast] failed gathering network interfaces for initializing broadcasts: %s",
                  error_get_message(err));
        error_free(err);
        return false;
    }
    broadcast_rebuild_locked(ifaces);
    qapi_free_NetworkInterfaceList(ifaces);
    return true;
}

void add_broadcast_rules(const NetworkInterfaceList *ifaces, EnforcementChain *output, EnforcementChain *input,
                         EnforcementPolicyImplicitRuleList **records)
{
    GSList *list;
    {
        std::lock_guard<std::mutex> guard(s_broadcast_lock);
        broadcast_rebuild_locked(ifaces);
        g_debug("[policy] adding broadcast implicit rules");
        list = broadcast_list_locked();
    }
    if (list) {
        EnforcementRule *rule = new_rule("implicit-broadcast-rule", protocols(&s_proto_all));
        strList *dst = nullptr, **tail = &dst;
        for (GSList *l = list; l; l = l->next) {
            g_debug("[policy] adding broadcast ip rule for address: %s", (const char *)l->data);
            *tail = qapi_new_strList(g_strdup((const char *)l->data));
            tail = &(*tail)->next;
        }
        set_ip_hash(rule->match_dst, dst);
        add_to_both(output, input, rule);
        record_prepend(records, ENFORCEMENT_POLICY_IMPLICIT_RULE_TYPE_BROADCAST, ENFORCEMENT_POLICY_TABLE_TYPE_OUTPUT,
                       ENFORCEMENT_POLICY_IMPLICIT_RULE_POSITION_TOP);
        g_slist_free_full(list, g_free);
    } else {
        g_debug("[policy] no broadcast addresses, not adding implicit rule");
    }
    if (*records) {
        const EnforcementPolicyImplicitRule *front = (*records)->value;
        record_prepend(records, front->rule_type, ENFORCEMENT_POLICY_TABLE_TYPE_INPUT, front->rule_position);
    }
}

/* The subnet rule shared by multicast and localhost: IPv6 subnet first when supported. */
strList *subnet_pair(const char *v4, const char *v6)
{
    strList *list = nullptr;
    str_prepend(&list, v4);
    if (ipv6_supported()) {
        str_prepend(&list, v6);
    }
    return list;
}

void add_multicast_rules(EnforcementChain *output, EnforcementChain *input,
                         EnforcementPolicyImplicitRuleList **records)
{
    g_debug("[policy] adding multicast implicit rules");
    EnforcementRule *rule = new_rule("implicit-multicast-rule", protocols(&s_proto_all));
    set_subnets(rule->match_dst, subnet_pair("224.0.0.0/4", "ff00::/8"));
    add_to_both(output, input, rule);
    record_prepend(records, ENFORCEMENT_POLICY_IMPLICIT_RULE_TYPE_MULTICAST, ENFORCEMENT_POLICY_TABLE_TYPE_OUTPUT,
                   ENFORCEMENT_POLICY_IMPLICIT_RULE_POSITION_TOP);
    record_prepend(records, ENFORCEMENT_POLICY_IMPLICIT_RULE_TYPE_MULTICAST, ENFORCEMENT_POLICY_TABLE_TYPE_INPUT,
                   ENFORCEMENT_POLICY_IMPLICIT_RULE_POSITION_TOP);
}

void add_localhost_rules(EnforcementChain *output, EnforcementChain *input,
                         EnforcementPolicyImplicitRuleList **records)
{
    g_debug("[policy] adding localhost implicit rules");
    EnforcementRule *rule = new_rule("implicit-local-rule", protocols(&s_proto_all));
    set_subnets(rule->match_src, subnet_pair("127.0.0.0/8", "::1/128"));
    set_subnets(rule->match_dst, subnet_pair("127.0.0.0/8", "::1/128"));
    add_to_both(output, input, rule);
    record_prepend(records, ENFORCEMENT_POLICY_IMPLICIT_RULE_TYPE_LOCALHOST, ENFORCEMENT_POLICY_TABLE_TYPE_OUTPUT,
                   ENFORCEMENT_POLICY_IMPLICIT_RULE_POSITION_TOP);
    record_prepend(records, ENFORCEMENT_POLICY_IMPLICIT_RULE_TYPE_LOCALHOST, ENFORCEMENT_POLICY_TABLE_TYPE_INPUT,
                   ENFORCEMENT_POLICY_IMPLICIT_RULE_POSITION_TOP);
}

void add_cloud_rules(EnforcementChain *output, EnforcementPolicyImplicitRuleList **records)
{
    g_debug("[policy] adding cloud apipa implicit rules");
    EnforcementRule *by_address = new_rule("implicit-cloud-apipa-rule", protocols(&s_proto_tcp));
    strList *addresses = nullptr;
    str_prepend(&addresses, EN_CLOUD_METADATA_ADDRESS);
    set_ip_hash(by_address->match_dst, addresses);
    set_port(by_address->match_dst, 80);
    chain_prepend(output, by_address);

    EnforcementRule *by_name = new_rule("implicit-cloud-apipa-rule", protocols(&s_proto_tcp));
    by_name->match_dst->has_match_dns_list = true;
    str_prepend(&by_name->match_dst->match_dns_list, EN_CLOUD_METADATA_HOST);
    set_port(by_name->match_dst, 80);
    chain_prepend(output, by_name);
    record_prepend(records, ENFORCEMENT_POLICY_IMPLICIT_RULE_TYPE_APIPA_CLOUD, ENFORCEMENT_POLICY_TABLE_TYPE_OUTPUT,
                   ENFORCEMENT_POLICY_IMPLICIT_RULE_POSITION_TOP);
}

void add_roaming_rules(EnforcementChain *output, EnforcementChain *input,
                       EnforcementPolicyImplicitRuleList **records)
{
    Error *err = nullptr;
    NetworkInterfaceList *ifaces = s_sources->read_interfaces(&err);
    if (err) {
        error_free(err);
        return;
    }
    g_debug("[policy] adding roaming implicit rules");
    /* Only the office interface stays enforced; without one every interface is away. */
    uint64_t office_luid = 0;
    bool in_office = en_roaming_office_luid(&office_luid);
    strList *collected = nullptr, **tail = &collected;
    for (const NetworkInterfaceList *i = ifaces; i; i = i->next) {
        if (in_office && i->value->has_luid && i->value->luid == office_luid) {
            continue;
        }
        for (const InterfaceIpAddressList *a = i->value->ip_addresses; a; a = a->next) {
            const InterfaceIpAddress *address = a->value;
            if (address->ip_address_type == IP_ADDRESS_TYPE_IPV6 && !ipv6_supported()) {
                g_debug("[policy] skipping roaming ip: %s because of its type", address->ip_address);
                continue;
            }
            g_debug("[policy] adding roaming ip rule to: %s", address->ip_address);
            *tail = qapi_new_strList(g_strdup(address->ip_address));
            tail = &(*tail)->next;
        }
    }
    qapi_free_NetworkInterfaceList(ifaces);
    if (!collected) {
        return;
    }
    EnforcementRule *outgoing = new_rule("implicit-outgoing-roaming-rule", protocols(&s_proto_all));
    EnforcementRule *incoming = new_rule("implicit-incoming-roaming-rule", protocols(&s_proto_all));
    set_ip_hash(incoming->match_dst, qapi_copy_strList(collected));
    set_ip_hash(outgoing->match_src, collected);
    chain_prepend(output, outgoing);
    chain_prepend(input, incoming);
    record_prepend(records, ENFORCEMENT_POLICY_IMPLICIT_RULE_TYPE_ROAMING, ENFORCEMENT_POLICY_TABLE_TYPE_OUTPUT,
                   ENFORCEMENT_POLICY_IMPLICIT_RULE_POSITION_TOP);
}

void add_dns_rule(EnforcementChainList **output_table, EnforcementPolicyImplicitRuleList **records)
{
    g_debug("[policy] adding DNS implicit rules");
    EnforcementRule *rule = new_rule("implicit-dns-rule", protocols(&s_proto_udp));
    set_port(rule->match_dst, 53);
    GSList *servers = s_sources->dns_servers();
    strList *addresses = nullptr, **tail = &addresses;
    for (GSList *l = servers; l; l = l->next) {
        const char *text = (const char *)l->data;
        int family = en_str_af(text);
        if (family == EN_AF_INET6 && !ipv6_supported()) {
            g_debug("[policy] skipping DNS implicit ip: %s because of its type (IPv6)", text);
            continue;
        }
        if (family != EN_AF_INET && family != EN_AF_INET6) {
            g_debug("[policy] skipping DNS implicit ip: %s because of its type (non-IPv4 and non-IPv6)", text);
            continue;
        }
        *tail = qapi_new_strList(g_strdup(text));
        tail = &(*tail)->next;
    }
    g_slist_free_full(servers, g_free);
    set_ip_hash(rule->match_dst, addresses);
    EnforcementChain *chain = new_implicit_chain("IMPLICIT-PRE-DEFAULT");
    chain_prepend(chain, rule);
    insert_before_default(output_table, chain);
    record_prepend(records, ENFORCEMENT_POLICY_IMPLICIT_RULE_TYPE_DNS, ENFORCEMENT_POLICY_TABLE_TYPE_OUTPUT,
                   ENFORCEMENT_POLICY_IMPLICIT_RULE_POSITION_PRE_DEFAULT);
}

} // namespace

const IpProtocolList *en_implicit_protocols_tcp(void)
{
    return protocols(&s_proto_tcp);
}

const IpProtocolList *en_implicit_protocols_udp(void)
{
    return protocols(&s_proto_udp);
}

const IpProtocolList *en_implicit_protocols_udp_tcp(void)
{
    return protocols(&s_proto_udp_tcp);
}

const IpProtocolList *en_implicit_protocols_all(void)
{
    return protocols(&s_proto_all);
}

void en_implicit_protocols_free(void)
{
    std::lock_guard<std::mutex> guard(s_proto_lock);
    for (IpProtocolList **p : {&s_proto_tcp, &s_proto_udp, &s_proto_udp_tcp, &s_proto_all}) {
        qapi_free_IpProtocolList(*p);
        *p = nullptr;
    }
}

EnforcementPolicyImplicitRuleList *en_policy_add_implicit_rules(const InetSocketAddressList *servers,
                                                                EnforcementChainList **output_table,
                                                                EnforcementChainList **input_table, bool roaming)
{
    remove_implicit_chains(output_table);
    remove_implicit_chains(input_table);
    g_autofree char *output_name = g_strdup_printf("IMPLICIT-%s", EN_TABLE_OUTPUT);
    g_autofree char *input_name = g_strdup_printf("IMPLICIT-%s", EN_TABLE_INPUT);
    EnforcementChain *output = new_implicit_chain(output_name);
    EnforcementChain *input = new_implicit_chain(input_name);
    EnforcementPolicyImplicitRuleList *records = nullptr;

    add_server_rules(servers, output);

    Error *err = nullptr;
    NetworkInterfaceList *ifaces = s_sources->read_interfaces(&err);
    if (err) {
        g_warning("[policy] failed gathering network interfaces for creating broadcast implicit rules: %s",
                  error_get_message(err));
        error_free(err);
    } else {
        add_local_rules(ifaces, output, input, &records);
        add_broadcast_rules(ifaces, output, input, &records);
        qapi_free_NetworkInterfaceList(ifaces);
    }
    add_multicast_rules(output, input, &records);
    add_localhost_rules(output, input, &records);
    add_cloud_rules(output, &records);
    if (roaming) {
        add_roaming_rules(output, input, &records);
    }
    table_prepend(output_table, output);
    table_prepend(input_table, input);
    if (g_en_implicit_dns_rules) {
        add_dns_rule(output_table, &records);
    }
    return records;
}

void en_policy_assign_rule_types(EnforcementChainList *table)
{
    for (EnforcementChainList *c = table; c; c = c->next) {
        EnforcementChain *chain = c->value;
        if (!chain) {
            continue;
        }
        bool is_default = chain->chain_name && strcmp(chain->chain_name, "DEFAULT-ALLOW") == 0;
        bool is_implicit = chain->has_implicit && chain->implicit;
        for (EnforcementRuleList *r = chain->rules; r; r = r->next) {
            EnforcementRule *rule = r->value;
            if (!rule) {
                continue;
            }
            RuleType type = RULE_TYPE_EXPLICIT;
            if (is_default) {
                type = RULE_TYPE_DEFAULT;
            } else if (is_implicit) {
                bool roaming_rule = rule->id && (strcmp(rule->id, "implicit-incoming-roaming-rule") == 0 ||
                                                 strcmp(rule->id, "implicit-outgoing-roaming-rule") == 0);
                type = roaming_rule ? RULE_TYPE_EXPLICIT : RULE_TYPE_IMPLICIT;
            }
            rule->has_rule_type = true;
            rule->rule_type = type;
        }
    }
}

GSList *en_broadcast_list(void)
{
    std::lock_guard<std::mutex> guard(s_broadcast_lock);
    if (!broadcast_ensure_locked()) {
        return nullptr;
    }
    return broadcast_list_locked();
}

bool en_broadcast_is_member(const char *address)
{
    if (!address) {
        return false;
    }
    std::lock_guard<std::mutex> guard(s_broadcast_lock);
    return broadcast_ensure_locked() && g_hash_table_contains(s_broadcast, address);
}

void en_broadcast_cache_free(void)
{
    std::lock_guard<std::mutex> guard(s_broadcast_lock);
    if (s_broadcast) {
        g_hash_table_destroy(s_broadcast);
        s_broadcast = nullptr;
    }
}

bool en_server_address_is_ipv6(const InetSocketAddress *server)
{
    if (!server) {
        return false;
    }
    int family = literal_family(server->host);
    if (family >= 0) {
        return family == EN_AF_INET6;
    }
    return name_family(server) == PLATFORM_RESOLVE_IPV6;
}

void en_implicit_set_sources(const en_implicit_sources *sources)
{
    s_sources = sources ? sources : &kMachineSources;
}
