/*
 * Lookup aids the engine builds beside a decoded table, so that a classification can stop
 * at the first matching rule instead of ANDing every word of the candidate vectors:
 * - a summary per bag: one bit per vector word, set when that word is non-zero; ANDing
 *   the summaries of a connection's vectors names the only words that can hold
 *   candidates;
 * - per region list, a jump table from a value's top bits to the few regions that can
 *   hold it, instead of a binary search over all of them;
 * - per family, a bit per rule whose rule-buffer criteria hold for every connection of
 *   that family, so such a candidate decides without reading its rule.
 * The index part is built when the index arrives, the rule part at the swap; neither
 * changes which rule decides (endr-policy.h).
 */
#pragma once

#include <cstdint>
#include <vector>

#include "enforcement/driver-daemon/endr-policy.h"

namespace endr {

/* Region numbers: first[b] is the region holding b << shift, first[buckets] the last one. */
struct RegionJump {
    uint32_t shift = 0;
    std::vector<uint32_t> first;
};

struct FastIndex {
    uint32_t summary_words = 0; /* per bag: ceil(words / 64) */
    std::vector<uint64_t> summary;
    RegionJump port, src, dst;

    const uint64_t *of(uint32_t bag_number) const { return summary.data() + size_t{bag_number} * summary_words; }
};

void fastpath_index(const DecodedIndex &index, FastIndex *out);

/* Bit 0: the rule's buffer criteria hold for every IPv4 connection; bit 1: for every IPv6
 * one; bit 2: it has a service criterion. */
uint8_t fastpath_rule_flags(const DecodedRule &rule);

struct FastRules {
    std::vector<uint64_t> always_v4;
    std::vector<uint64_t> always_v6;
    /* Some rule reads the connection's service. */
    bool services = false;
};

/* flags in rule-number order, as fastpath_rule_flags gave them. */
void fastpath_rules(const std::vector<uint8_t> &flags, FastRules *out);

/* The aids were built from this index and a table of this many rules. */
bool fastpath_ready(const DecodedIndex &index, const FastIndex &fast_index, const FastRules &fast, size_t rules);

/*
 * The decision classify_table would take, without counting candidates (left at 0). rules
 * must be the ones fast was built from, fast_index built from index (fastpath_ready).
 */
Verdict fastpath_classify(const DecodedIndex &index, const FastIndex &fast_index, const FastRules &fast,
                          const std::vector<DecodedRule> &rules, const Connection &c);

} // namespace endr
