/* The early-stopping search against the whole-vector one and a bit-by-bit walk, on random
 * tables of thousands of rules whose vectors have empty stretches, full words, bits past
 * the rules that arrived, and rules the index names but whose buffer criteria fail. */
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "enforcement/driver-daemon/endr-fastpath.h"

namespace {

using endr::Connection;
using endr::DecodedIndex;
using endr::DecodedRule;
using endr::Verdict;

struct Table {
    DecodedIndex index;
    std::vector<DecodedRule> rules;
    endr::FastIndex fast_index;
    endr::FastRules fast;
};

std::array<uint8_t, 16> V6(uint8_t last)
{
    return {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, last};
}

/* A rule the index may name that still fails on one criterion or another. */
DecodedRule RandomRule(std::mt19937_64 &rng, size_t n)
{
    DecodedRule r;
    r.verdict = 1 + rng() % 2;
    r.id = "r" + std::to_string(n);
    for (endr::Entity *e : {&r.src, &r.dst}) {
        switch (rng() % 9) {
        case 0:
            e->has_ips = true;
            e->ips.push_back(V6(static_cast<uint8_t>(rng() % 4)));
            break;
        case 1: {
            e->has_subnets = true;
            endr::Ip6Subnet s{};
            s.negated = rng() % 3 == 0;
            s.addr = V6(0);
            s.mask.fill(0xff);
            s.mask[15] = 0xfc;
            e->subnets.push_back(s);
            break;
        }
        case 2:
            e->has_processes = true;
            e->lids.push_back(static_cast<uint16_t>(rng() % 4));
            break;
        case 3:
            e->has_dns = true;
            e->dns.push_back(rng() % 2 ? "a.example" : "B.Example.");
            break;
        case 4:
            e->has_icmp = true;
            e->icmp.push_back({rng() % 2 == 0, static_cast<uint8_t>(rng() % 3), rng() % 2 == 0, 1});
            break;
        case 5:
            e->has_groups = true;
            e->local_users = true;
            break;
        default:
            break;
        }
    }
    return r;
}

/* Vectors from dense to empty, with runs of zero words so whole words drop out. */
std::vector<uint64_t> RandomVector(std::mt19937_64 &rng, size_t words)
{
    std::vector<uint64_t> v(words);
    int kind = static_cast<int>(rng() % 6);
    for (size_t w = 0; w < words; w++) {
        switch (kind) {
        case 0:
            v[w] = ~uint64_t{0};
            break;
        case 1:
            v[w] = rng() | rng();
            break;
        case 2:
            /* Every word set, few bits in each: blocks of words with no bit in common. */
            v[w] = uint64_t{1} << (rng() % 64) | uint64_t{1} << (rng() % 64);
            break;
        case 3:
            v[w] = (w / 4) % 3 == 0 ? rng() & rng() & rng() : 0;
            break;
        case 4:
            v[w] = rng() % 8 == 0 ? uint64_t{1} << (rng() % 64) : 0;
            break;
        default:
            v[w] = 0;
            break;
        }
    }
    return v;
}

Table RandomTable(std::mt19937_64 &rng)
{
    Table t;
    /* Small tables, and ones past 64 words where whole summary words are dense. */
    size_t rules = rng() % 2 ? 1 + rng() % 600 : 4096 + rng() % 5000;
    /* Sometimes the index speaks of more rules than arrived. */
    t.index.rules = static_cast<uint32_t>(rng() % 4 ? rules : rules + 1 + rng() % 200);
    t.index.words = static_cast<uint16_t>((t.index.rules + 63) / 64);
    uint32_t bags = 2 + static_cast<uint32_t>(rng() % 12);
    for (uint32_t b = 0; b < bags; b++) {
        std::vector<uint64_t> v = RandomVector(rng, t.index.words);
        t.index.bag.insert(t.index.bag.end(), v.begin(), v.end());
    }
    t.index.tcp = static_cast<uint32_t>(rng() % bags);
    t.index.udp = static_cast<uint32_t>(rng() % bags);
    t.index.icmp = static_cast<uint32_t>(rng() % bags);
    for (endr::Regions *r : {&t.index.port, &t.index.src, &t.index.dst}) {
        uint32_t start = 0;
        for (int i = 0; i < 4; i++) {
            r->starts.push_back(start);
            r->bags.push_back(static_cast<uint32_t>(rng() % bags));
            start += 1 + static_cast<uint32_t>(rng() % 30);
        }
    }
    std::vector<uint8_t> flags;
    for (size_t n = 0; n < rules; n++) {
        t.rules.push_back(RandomRule(rng, n));
        flags.push_back(endr::fastpath_rule_flags(t.rules.back()));
    }
    endr::fastpath_index(t.index, &t.fast_index);
    endr::fastpath_rules(flags, &t.fast);
    return t;
}

Connection RandomConnection(std::mt19937_64 &rng)
{
    Connection c;
    c.inbound = rng() % 2;
    c.protocol = static_cast<uint8_t>(rng() % 3);
    c.ipv6 = rng() % 3 == 0;
    if (c.ipv6) {
        c.local = V6(static_cast<uint8_t>(rng() % 6));
        c.remote = V6(static_cast<uint8_t>(rng() % 6));
    } else {
        c.local[3] = static_cast<uint8_t>(rng() % 100);
        c.remote[3] = static_cast<uint8_t>(rng() % 100);
    }
    c.local_port = static_cast<uint16_t>(rng() % 100);
    c.remote_port = static_cast<uint16_t>(rng() % 100);
    if (rng() % 2) {
        c.lids.push_back(static_cast<uint16_t>(rng() % 4));
    }
    c.dns = rng() % 2 ? "A.EXAMPLE" : "";
    c.has_icmp_type = rng() % 2;
    c.icmp_type = static_cast<uint8_t>(rng() % 3);
    c.has_icmp_code = rng() % 2;
    c.icmp_code = 1;
    c.user.murky = rng() % 4 == 0;
    c.user.session_user = true;
    c.user.local_user = rng() % 2;
    return c;
}

/* Every rule in order, its bit looked up one vector at a time. */
int64_t Walk(const Table &t, const Connection &c)
{
    uint32_t bags[4];
    size_t n = endr::table_bags(&t.index, t.rules, c, bags);
    for (size_t r = 0; n && r < std::min<size_t>(t.rules.size(), t.index.rules); r++) {
        bool in = true;
        for (size_t i = 0; i < n; i++) {
            in = in && ((t.index.vector(bags[i])[r / 64] >> (r % 64)) & 1);
        }
        if (in && endr::rule_matches(t.rules[r], c)) {
            return static_cast<int64_t>(r);
        }
    }
    return -1;
}

TEST(Fastpath, DecidesLikeTheWholeVectorSearch)
{
    std::mt19937_64 rng(20261207);
    size_t decided = 0, late = 0, compared = 0;
    for (int table = 0; table < 40; table++) {
        Table t = RandomTable(rng);
        ASSERT_TRUE(endr::fastpath_ready(t.index, t.fast_index, t.fast, t.rules.size()));
        for (int k = 0; k < 200; k++) {
            Connection c = RandomConnection(rng);
            Verdict whole = endr::classify_table(&t.index, t.rules, c);
            Verdict fast = endr::fastpath_classify(t.index, t.fast_index, t.fast, t.rules, c);
            ASSERT_EQ(fast.rule_number, whole.rule_number) << "table " << table << ", connection " << k;
            ASSERT_EQ(fast.rule_number, Walk(t, c)) << "table " << table << ", connection " << k;
            ASSERT_EQ(fast.verdict, whole.verdict);
            ASSERT_EQ(fast.rule_id, whole.rule_id);
            EXPECT_EQ(fast.candidates, 0u);
            compared++;
            decided += fast.rule_number >= 0;
            late += fast.rule_number >= 128;
        }
    }
    /* Both outcomes, and decisions past the first words, or the comparison proves little. */
    EXPECT_GT(decided, compared / 10);
    EXPECT_LT(decided, compared - compared / 10);
    EXPECT_GT(late, compared / 20);
}

/* Aids that do not fit the table are not used: the engine then takes the whole-vector search. */
TEST(Fastpath, ReadyOnlyForTheTableTheAidsWereBuiltFrom)
{
    std::mt19937_64 rng(11);
    Table t = RandomTable(rng);
    ASSERT_TRUE(endr::fastpath_ready(t.index, t.fast_index, t.fast, t.rules.size()));
    EXPECT_FALSE(endr::fastpath_ready(t.index, endr::FastIndex{}, t.fast, t.rules.size()));
    EXPECT_FALSE(endr::fastpath_ready(t.index, t.fast_index, endr::FastRules{}, t.rules.size()));
    EXPECT_FALSE(endr::fastpath_ready(t.index, t.fast_index, t.fast, t.rules.size() + 64));
    /* Aids of an index with one bag more. */
    DecodedIndex bigger = t.index;
    bigger.bag.resize(bigger.bag.size() + bigger.words);
    endr::FastIndex other;
    endr::fastpath_index(bigger, &other);
    EXPECT_FALSE(endr::fastpath_ready(t.index, other, t.fast, t.rules.size()));
}

/* A lone candidate in the last word of a wide table, with the words before it empty. */
TEST(Fastpath, FindsACandidateBehindEmptyWords)
{
    Table t;
    t.index.rules = 3000;
    t.index.words = 47;
    t.index.bag.assign(2 * 47, 0);
    t.index.bag[47 + 46] = uint64_t{1} << 50; /* rule 2994 */
    t.index.bag[47 + 46] |= uint64_t{1} << 60; /* past the rules that arrived */
    t.index.tcp = t.index.udp = t.index.icmp = 1;
    for (endr::Regions *r : {&t.index.port, &t.index.src, &t.index.dst}) {
        r->starts = {0};
        r->bags = {1};
    }
    std::vector<uint8_t> flags;
    for (size_t n = 0; n < 3000; n++) {
        t.rules.push_back(DecodedRule{});
        t.rules.back().verdict = 1;
        t.rules.back().id = "r" + std::to_string(n);
        flags.push_back(endr::fastpath_rule_flags(t.rules.back()));
    }
    endr::fastpath_index(t.index, &t.fast_index);
    endr::fastpath_rules(flags, &t.fast);
    Connection c;
    Verdict v = endr::fastpath_classify(t.index, t.fast_index, t.fast, t.rules, c);
    EXPECT_EQ(v.rule_number, 2994);
    EXPECT_EQ(v.rule_id, "r2994");
    EXPECT_EQ(v.verdict, 1u);
    /* With that rule's criterion failing, nothing is left: bit 60 names no rule. */
    t.rules[2994].dst.has_dns = true;
    t.rules[2994].dst.dns = {"x.example"};
    flags[2994] = endr::fastpath_rule_flags(t.rules[2994]);
    endr::fastpath_rules(flags, &t.fast);
    v = endr::fastpath_classify(t.index, t.fast_index, t.fast, t.rules, c);
    EXPECT_EQ(v.rule_number, -1);
    EXPECT_EQ(v.verdict, 2u);
}

/* Regions anywhere in the value space, bucket edges included: rule i is the only candidate
 * of bag i, so the deciding rule tells which region the search took for a value. */
TEST(Fastpath, JumpTablesFindTheRegionsOfTheBinarySearch)
{
    std::mt19937_64 rng(7);
    for (int round = 0; round < 20; round++) {
        Table t;
        bool ports = round % 2;
        endr::Regions &probed = ports ? t.index.port : t.index.dst;
        uint64_t top = ports ? 0x10000 : 0x100000000;
        std::vector<uint32_t> starts = {0};
        for (int i = 0, n = 1 + static_cast<int>(rng() % 300); i < n; i++) {
            uint64_t s = rng() % 4 ? rng() % top : (rng() % (top >> 16)) << 16 | (rng() % 3 ? 0 : 0xffff);
            starts.push_back(static_cast<uint32_t>(s % top));
        }
        std::sort(starts.begin(), starts.end());
        starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
        size_t regions = starts.size();
        t.index.rules = static_cast<uint32_t>(regions);
        t.index.words = static_cast<uint16_t>((regions + 63) / 64);
        /* Bag r holds rule r alone; bag "regions" holds every rule. */
        t.index.bag.assign((regions + 1) * t.index.words, 0);
        for (size_t r = 0; r < regions; r++) {
            t.index.bag[r * t.index.words + r / 64] |= uint64_t{1} << (r % 64);
        }
        std::fill(t.index.bag.begin() + static_cast<long>(regions * t.index.words), t.index.bag.end(), ~uint64_t{0});
        uint32_t all = static_cast<uint32_t>(regions);
        t.index.tcp = t.index.udp = t.index.icmp = all;
        for (endr::Regions *r : {&t.index.port, &t.index.src, &t.index.dst}) {
            r->starts = {0};
            r->bags = {all};
        }
        probed.starts = starts;
        probed.bags.clear();
        for (size_t r = 0; r < regions; r++) {
            probed.bags.push_back(static_cast<uint32_t>(r));
        }
        std::vector<uint8_t> flags;
        for (size_t n = 0; n < regions; n++) {
            t.rules.push_back(DecodedRule{});
            t.rules.back().verdict = 2;
            flags.push_back(endr::fastpath_rule_flags(t.rules.back()));
        }
        endr::fastpath_index(t.index, &t.fast_index);
        endr::fastpath_rules(flags, &t.fast);
        for (int k = 0; k < 2000; k++) {
            uint64_t v = rng() % top;
            if (k % 3 == 0) {
                /* A region's first value or the one before it. */
                v = (starts[rng() % regions] - (rng() % 2)) % top;
            } else if (k % 3 == 1) {
                v = ((rng() % (top >> 8)) << 8 | (rng() % 2 ? 0 : 0xff)) % top;
            }
            Connection c;
            c.protocol = 0;
            if (ports) {
                c.remote_port = static_cast<uint16_t>(v);
            } else {
                c.remote = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                            static_cast<uint8_t>(v)};
            }
            Verdict got = endr::fastpath_classify(t.index, t.fast_index, t.fast, t.rules, c);
            ASSERT_EQ(got.rule_number, static_cast<int64_t>(probed.lookup(static_cast<uint32_t>(v))))
                << (ports ? "port " : "address ") << v << ", round " << round;
        }
    }
}

/* Dense vectors over more rules than arrived: the words past the last rule are never read
 * as rules, even where a whole summary word says they hold bits. */
TEST(Fastpath, StopsAtTheRulesThatArrived)
{
    Table t;
    t.index.rules = 4160;
    t.index.words = 65;
    t.index.bag.assign(65, ~uint64_t{0});
    for (endr::Regions *r : {&t.index.port, &t.index.src, &t.index.dst}) {
        r->starts = {0};
        r->bags = {0};
    }
    std::vector<uint8_t> flags;
    for (size_t n = 0; n < 4000; n++) {
        DecodedRule r;
        r.verdict = 1;
        r.id = "r" + std::to_string(n);
        r.dst.has_dns = true;
        r.dst.dns = {"only.example"};
        t.rules.push_back(r);
        flags.push_back(endr::fastpath_rule_flags(r));
    }
    endr::fastpath_index(t.index, &t.fast_index);
    endr::fastpath_rules(flags, &t.fast);
    Connection c;
    c.dns = "other.example";
    EXPECT_EQ(endr::fastpath_classify(t.index, t.fast_index, t.fast, t.rules, c).rule_number, -1);
    c.dns = "only.example";
    EXPECT_EQ(endr::fastpath_classify(t.index, t.fast_index, t.fast, t.rules, c).rule_number, 0);
    t.rules[0].dst.dns = {"first.example"};
    t.rules[3999].dst.dns = {"last.example"};
    c.dns = "last.example";
    EXPECT_EQ(endr::fastpath_classify(t.index, t.fast_index, t.fast, t.rules, c).rule_number, 3999);
}

} // namespace
