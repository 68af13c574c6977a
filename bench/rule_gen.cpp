#include "bench/rule_gen.h"

#include <glib.h>

#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "qapi/qmp-enforcement-types.h"

namespace {

/* Prefixes come from a pool so that rules share them, as filter sets do: a quarter of the
 * sides are wildcards, the rest /8 to /32, weighted towards long prefixes. */
struct Pool {
    std::vector<std::string> prefixes;

    Pool(std::mt19937 &rng, size_t size)
    {
        static const unsigned lengths[] = {8, 16, 16, 24, 24, 24, 28, 32, 32, 32};
        for (size_t i = 0; i < size; i++) {
            const unsigned len = lengths[rng() % std::size(lengths)];
            const uint32_t addr = static_cast<uint32_t>(rng()) & (len == 0 ? 0 : ~uint32_t{0} << (32 - len));
            g_autofree char *text = g_strdup_printf("%u.%u.%u.%u/%u", addr >> 24, (addr >> 16) & 255,
                                                    (addr >> 8) & 255, addr & 255, len);
            prefixes.emplace_back(text);
        }
    }
};

void set_side(EntityMatch *e, std::mt19937 &rng, const Pool &pool)
{
    if (rng() % 4 == 0) {
        return;
    }
    e->has_match_multiple_subnets = true;
    e->match_multiple_subnets = qapi_new_strList(g_strdup(pool.prefixes[rng() % pool.prefixes.size()].c_str()));
}

void set_ports(EntityMatch *dst, std::mt19937 &rng)
{
    switch (rng() % 10) {
    case 0:
    case 1:
    case 2:
    case 3:
        return;
    case 4:
    case 5:
    case 6:
    case 7:
        /* Well-known and registered ports, a thousand distinct ones. */
        dst->has_match_ports = true;
        dst->match_ports = qapi_new_uint16List(static_cast<uint16_t>(1 + (rng() % 1000) * 37 % 49151));
        return;
    case 8:
        dst->has_match_port_ranges = true;
        dst->match_port_ranges = qapi_new_PortRangeMatchList_elem(1024, 65535);
        return;
    default: {
        const uint16_t start = static_cast<uint16_t>(rng() % 60000);
        dst->has_match_port_ranges = true;
        dst->match_port_ranges =
            qapi_new_PortRangeMatchList_elem(start, static_cast<uint16_t>(start + 1 + rng() % 4000));
        return;
    }
    }
}

IpProtocolList *protocols(std::mt19937 &rng, bool all)
{
    if (all) {
        IpProtocolList *l = qapi_new_IpProtocolList(IP_PROTOCOL_TCP);
        l->next = qapi_new_IpProtocolList(IP_PROTOCOL_UDP);
        l->next->next = qapi_new_IpProtocolList(IP_PROTOCOL_ICMP);
        return l;
    }
    const unsigned p = static_cast<unsigned>(rng() % 10);
    return qapi_new_IpProtocolList(p < 6 ? IP_PROTOCOL_TCP : p < 9 ? IP_PROTOCOL_UDP : IP_PROTOCOL_ICMP);
}

} // namespace

EnforcementChainList *rule_gen_table(const rule_gen_shape &shape)
{
    std::mt19937 rng(shape.seed);
    const Pool src(rng, 4000), dst(rng, 4000);
    /* The catch-all rules sit together in the middle, each a few rules apart. */
    const size_t first_catch_all = shape.rules / 2;
    EnforcementChain *chain = qapi_alloc_EnforcementChain();
    chain->chain_name = g_strdup("generated");
    EnforcementRuleList **tail = &chain->rules;
    for (size_t n = 0; n < shape.rules; n++) {
        const bool all = n >= first_catch_all && n < first_catch_all + 8 * shape.catch_all && (n - first_catch_all) % 8 == 0;
        EnforcementRule *rule = qapi_alloc_EnforcementRule();
        rule->match_src = qapi_alloc_EntityMatch();
        rule->match_dst = qapi_alloc_EntityMatch();
        if (!all) {
            set_side(rule->match_src, rng, src);
            set_side(rule->match_dst, rng, dst);
            set_ports(rule->match_dst, rng);
        }
        rule->protocols = protocols(rng, all);
        rule->has_rule_type = true;
        rule->rule_type = RULE_TYPE_EXPLICIT;
        rule->verdict = rng() % 4 ? RULE_VERDICT_ALLOW : RULE_VERDICT_BLOCK;
        rule->id = g_strdup_printf("gen-%zu", n);
        *tail = qapi_new_EnforcementRuleList(rule);
        tail = &(*tail)->next;
    }
    return qapi_new_EnforcementChainList(chain);
}
