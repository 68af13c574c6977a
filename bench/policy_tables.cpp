#include "bench/policy_tables.h"

#include <glib.h>

#include <initializer_list>
#include <iterator>
#include <random>
#include <string>

#include "qapi/qmp-enforcement-types.h"

namespace {

strList *str_list(std::initializer_list<std::string> items)
{
    strList *head = nullptr;
    for (auto it = std::rbegin(items); it != std::rend(items); ++it) {
        strList *node = qapi_new_strList(g_strdup(it->c_str()));
        node->next = head;
        head = node;
    }
    return head;
}

/* Rules share their servers: addresses come from a pool of 2,000 hosts in 100 subnets. */
std::string ipv4(std::mt19937 &rng)
{
    unsigned host = static_cast<unsigned>(rng() % 2000);
    g_autofree char *text = g_strdup_printf("10.%u.%u.%u", host % 100, (host / 100) % 256, 1 + host % 254);
    return text;
}

EnforcementRule *make_rule(std::mt19937 &rng, size_t n)
{
    EnforcementRule *rule = qapi_alloc_EnforcementRule();
    rule->match_src = qapi_alloc_EntityMatch();
    rule->match_dst = qapi_alloc_EntityMatch();
    EntityMatch *dst = rule->match_dst;
    switch (rng() % 3) {
    case 0:
        dst->has_match_ip_hash = true;
        dst->match_ip_hash = str_list({ipv4(rng), ipv4(rng)});
        break;
    case 1: {
        unsigned a = 10, b = static_cast<unsigned>(rng() % 100);
        g_autofree char *net = g_strdup_printf("%u.%u.0.0/16", a, b);
        g_autofree char *hole = g_strdup_printf("!%u.%u.1.0/24", a, b);
        dst->has_match_multiple_subnets = true;
        dst->match_multiple_subnets = rng() % 4 == 0 ? str_list({net, hole}) : str_list({net});
        break;
    }
    default:
        break;
    }
    if (rng() % 2) {
        dst->has_match_ports = true;
        /* Services share ports: 300 distinct ones. */
        dst->match_ports = qapi_new_uint16List(static_cast<uint16_t>(1 + (rng() % 300) * 211 % 65535));
    }
    if (rng() % 3 == 0) {
        uint16_t start = static_cast<uint16_t>(1024 + (rng() % 50) * 1000);
        dst->has_match_port_ranges = true;
        dst->match_port_ranges =
            qapi_new_PortRangeMatchList_elem(start, static_cast<uint16_t>(start + 500));
    }
    rule->protocols = qapi_new_IpProtocolList(rng() % 2 ? IP_PROTOCOL_TCP : IP_PROTOCOL_UDP);
    rule->has_rule_type = true; /* the policy push assigns types before conversion */
    rule->rule_type = RULE_TYPE_EXPLICIT;
    rule->verdict = rng() % 4 ? RULE_VERDICT_ALLOW : RULE_VERDICT_BLOCK;
    rule->id = g_strdup_printf("rule-%zu", n);
    return rule;
}

} // namespace

EnforcementChainList *bench_policy_table(size_t rules)
{
    std::mt19937 rng(20261206);
    EnforcementChainList *head = nullptr;
    EnforcementChainList **tail = &head;
    const size_t chains = 16;
    size_t n = 0;
    for (size_t c = 0; c < chains; c++) {
        EnforcementChain *chain = qapi_alloc_EnforcementChain();
        chain->chain_name = g_strdup_printf("chain-%zu", c);
        EnforcementRuleList **rtail = &chain->rules;
        for (size_t r = 0; r < rules / chains + (c < rules % chains ? 1 : 0); r++) {
            *rtail = qapi_new_EnforcementRuleList(make_rule(rng, n++));
            rtail = &(*rtail)->next;
        }
        *tail = qapi_new_EnforcementChainList(chain);
        tail = &(*tail)->next;
    }
    return head;
}


