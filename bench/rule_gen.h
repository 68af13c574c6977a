/* Seeded random 5-tuple tables for index benchmarks: prefixes of mixed lengths on both
 * sides, exact ports and ranges on the destination, TCP/UDP/ICMP, and a few catch-all
 * rules placed in the middle of the table. The same seed gives the same table. */
#pragma once

#include <cstddef>
#include <cstdint>

struct EnforcementChainList;

struct rule_gen_shape {
    size_t rules;
    size_t catch_all;   /* rules matching every address, port and protocol, mid-table */
    uint32_t seed;
};

EnforcementChainList *rule_gen_table(const rule_gen_shape &shape);
