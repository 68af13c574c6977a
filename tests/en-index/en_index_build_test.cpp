/* The index builder against the buffer computed the slow way (every region's vector asked
 * of every rule), and its refusal of an index beyond the driver's limits before building. */
#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "../en-rules/en-rules-helpers.h"
#include "enforcement/driver-daemon/endr-state.h"
#include "enforcement/framework/agent/en-api.h"
#include "enforcement/framework/agent/en-index.h"

namespace {

struct Interval {
    uint64_t first, last;
    bool covers(uint64_t v) const { return first <= v && v <= last; }
};

/* One side's addresses; `any` when the side names none. */
struct Side {
    bool any = true;
    std::vector<std::string> subnets;   /* texts, "!" for negated */
    std::vector<std::string> addresses; /* match_ip_hash texts */
    std::vector<Interval> pos, neg;

    bool covers(uint64_t v) const
    {
        if (any) {
            return true;
        }
        auto in = [v](const std::vector<Interval> &l) {
            return std::any_of(l.begin(), l.end(), [v](const Interval &i) { return i.covers(v); });
        };
        return in(pos) && !in(neg);
    }
};

struct RefRule {
    std::vector<uint16_t> ports;
    std::vector<Interval> ranges;
    Side src, dst;
    std::vector<IpProtocol> protocols;

    bool port_covers(uint64_t v) const
    {
        if (ports.empty() && ranges.empty()) {
            return true;
        }
        return std::find(ports.begin(), ports.end(), v) != ports.end() ||
               std::any_of(ranges.begin(), ranges.end(), [v](const Interval &i) { return i.covers(v); });
    }
};

uint32_t Addr(uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    return a << 24 | b << 16 | c << 8 | d;
}

std::string Text(uint32_t a)
{
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." + std::to_string((a >> 8) & 255) +
           "." + std::to_string(a & 255);
}

/* Few distinct values, so that rules share boundaries and vectors repeat. */
void RandomSide(std::mt19937 &rng, Side *s)
{
    static const uint32_t bases[] = {0, Addr(10, 0, 0, 0), Addr(10, 1, 0, 0), Addr(192, 168, 1, 0),
                                     Addr(255, 255, 255, 0)};
    static const unsigned lengths[] = {0, 8, 16, 24, 32};
    if (rng() % 3 == 0) {
        return;
    }
    s->any = false;
    const unsigned entries = 1 + rng() % 3;
    for (unsigned i = 0; i < entries; i++) {
        const uint32_t base = bases[rng() % std::size(bases)];
        if (rng() % 4 == 0) {
            const uint32_t a = base | (rng() % 2 ? 0u : 255u);
            s->addresses.push_back(Text(a));
            s->pos.push_back({a, a});
            continue;
        }
        const unsigned len = lengths[rng() % std::size(lengths)];
        const uint64_t size = uint64_t{1} << (32 - len);
        const uint32_t first = static_cast<uint32_t>(base & ~(size - 1));
        const bool negated = rng() % 4 == 0;
        s->subnets.push_back((negated ? "!" : "") + Text(first) + "/" + std::to_string(len));
        (negated ? s->neg : s->pos).push_back({first, first + size - 1});
    }
    if (rng() % 8 == 0) {
        s->subnets.push_back("2001:db8::/32"); /* IPv6 entries stay out of the index */
    }
}

RefRule RandomRule(std::mt19937 &rng)
{
    static const uint16_t ports[] = {0, 1, 22, 80, 443, 8080, 65534, 65535};
    RefRule r;
    if (rng() % 2) {
        for (unsigned i = 0, n = 1 + rng() % 2; i < n; i++) {
            r.ports.push_back(ports[rng() % std::size(ports)]);
        }
    }
    if (rng() % 3 == 0) {
        const uint16_t a = ports[rng() % std::size(ports)], b = ports[rng() % std::size(ports)];
        r.ranges.push_back({std::min(a, b), std::max(a, b)});
    }
    RandomSide(rng, &r.src);
    RandomSide(rng, &r.dst);
    static const IpProtocol protocols[] = {IP_PROTOCOL_TCP, IP_PROTOCOL_UDP, IP_PROTOCOL_ICMP, IP_PROTOCOL_ALL};
    for (unsigned i = 0, n = rng() % 3; i < n; i++) {
        r.protocols.push_back(protocols[rng() % std::size(protocols)]);
    }
    return r;
}

strList *Strings(const std::vector<std::string> &texts)
{
    strList *head = nullptr;
    for (auto it = texts.rbegin(); it != texts.rend(); ++it) {
        strList *node = qapi_new_strList(g_strdup(it->c_str()));
        node->next = head;
        head = node;
    }
    return head;
}

void SetSide(EntityMatch *e, const Side &s)
{
    if (!s.subnets.empty()) {
        e->has_match_multiple_subnets = true;
        e->match_multiple_subnets = Strings(s.subnets);
    }
    if (!s.addresses.empty()) {
        e->has_match_ip_hash = true;
        e->match_ip_hash = Strings(s.addresses);
    }
}

/* The typed table of the rules, spread over `chains` chains in order. */
TablePtr Table(const std::vector<RefRule> &rules, size_t chains = 3)
{
    EnforcementChainList *head = nullptr, **tail = &head;
    size_t next = 0;
    for (size_t c = 0; c < chains; c++) {
        EnforcementChain *chain = qapi_alloc_EnforcementChain();
        chain->chain_name = g_strdup_printf("c%zu", c);
        EnforcementRuleList **rtail = &chain->rules;
        const size_t end = c + 1 == chains ? rules.size() : std::min(rules.size(), next + rules.size() / chains);
        for (; next < end; next++) {
            const RefRule &r = rules[next];
            EnforcementRule *rule = qapi_alloc_EnforcementRule();
            rule->match_src = qapi_alloc_EntityMatch();
            rule->match_dst = qapi_alloc_EntityMatch();
            SetSide(rule->match_src, r.src);
            SetSide(rule->match_dst, r.dst);
            uint16List **ptail = &rule->match_dst->match_ports;
            for (uint16_t p : r.ports) {
                rule->match_dst->has_match_ports = true;
                *ptail = qapi_new_uint16List(p);
                ptail = &(*ptail)->next;
            }
            PortRangeMatchList **rgtail = &rule->match_dst->match_port_ranges;
            for (const Interval &i : r.ranges) {
                rule->match_dst->has_match_port_ranges = true;
                *rgtail = qapi_new_PortRangeMatchList_elem(static_cast<uint16_t>(i.first), static_cast<uint16_t>(i.last));
                rgtail = &(*rgtail)->next;
            }
            IpProtocolList **prtail = &rule->protocols;
            for (IpProtocol p : r.protocols) {
                *prtail = qapi_new_IpProtocolList(p);
                prtail = &(*prtail)->next;
            }
            rule->verdict = RULE_VERDICT_ALLOW;
            rule->id = g_strdup_printf("r%zu", next);
            *rtail = qapi_new_EnforcementRuleList(rule);
            rtail = &(*rtail)->next;
        }
        *tail = qapi_new_EnforcementChainList(chain);
        tail = &(*tail)->next;
    }
    return TablePtr(head);
}

/* The buffer as the format defines it: regions cut wherever some rule's coverage may
 * change, each region's vector asked of every rule at its start, vectors numbered in the
 * order first met (ports, sources, destinations, then TCP, UDP, ICMP). */
std::vector<uint8_t> Reference(const std::vector<RefRule> &rules)
{
    const size_t n = rules.size();
    const uint16_t words = n >= 1 && n <= 65472 ? static_cast<uint16_t>((n + 63) / 64) : 1024;
    using Vector = std::vector<uint64_t>;
    std::map<Vector, uint32_t> numbers;
    std::vector<const Vector *> order;
    auto number = [&](const Vector &v) {
        auto [it, added] = numbers.try_emplace(v, static_cast<uint32_t>(numbers.size()));
        if (added) {
            order.push_back(&it->first);
        }
        return it->second;
    };
    struct Region {
        uint64_t start;
        uint32_t bag;
    };
    auto regions = [&](uint64_t top, auto boundaries, auto covers) {
        std::vector<uint64_t> points = {0};
        for (size_t r = 0; r < n; r++) {
            for (const Interval &i : boundaries(rules[r])) {
                points.push_back(i.first);
                if (i.last < top) {
                    points.push_back(i.last + 1);
                }
            }
        }
        std::sort(points.begin(), points.end());
        points.erase(std::unique(points.begin(), points.end()), points.end());
        std::vector<Region> out;
        Vector last;
        for (uint64_t p : points) {
            Vector v(words, 0);
            for (size_t r = 0; r < n; r++) {
                if (covers(rules[r], p)) {
                    v[r / 64] |= uint64_t{1} << (r % 64);
                }
            }
            if (out.empty() || v != last) {
                out.push_back({p, number(v)});
                last = v;
            }
        }
        return out;
    };
    auto port_intervals = [](const RefRule &r) {
        std::vector<Interval> l = r.ranges;
        for (uint16_t p : r.ports) {
            l.push_back({p, p});
        }
        return l;
    };
    auto side_intervals = [](const Side &s) {
        std::vector<Interval> l = s.pos;
        l.insert(l.end(), s.neg.begin(), s.neg.end());
        return l;
    };
    const auto port = regions(
        65535, port_intervals, [](const RefRule &r, uint64_t v) { return r.port_covers(v); });
    const auto src = regions(
        0xFFFFFFFF, [&](const RefRule &r) { return side_intervals(r.src); },
        [](const RefRule &r, uint64_t v) { return r.src.covers(v); });
    const auto dst = regions(
        0xFFFFFFFF, [&](const RefRule &r) { return side_intervals(r.dst); },
        [](const RefRule &r, uint64_t v) { return r.dst.covers(v); });
    uint32_t proto[3];
    for (int p = 0; p < 3; p++) {
        Vector v(words, 0);
        for (size_t r = 0; r < n; r++) {
            const auto &l = rules[r].protocols;
            if (std::find(l.begin(), l.end(), static_cast<IpProtocol>(p)) != l.end()) {
                v[r / 64] |= uint64_t{1} << (r % 64);
            }
        }
        proto[p] = number(v);
    }
    Bytes b;
    b.u32(order.size()).u16(n & 0xFFFF).u16(words);
    for (const Vector *v : order) {
        for (uint64_t w : *v) {
            b.u64(w);
        }
    }
    b.u32(proto[0]).u32(proto[1]).u32(proto[2]);
    for (const auto *list : {&port, &src, &dst}) {
        b.u32(list->size());
        for (const Region &r : *list) {
            list == &port ? b.u16(r.start) : b.u32(r.start);
        }
        for (const Region &r : *list) {
            b.u32(r.bag);
        }
    }
    return b.vec();
}

/* Rule r has destination port r + 1 only: below 65534 rules, N = R + 2 vectors (zero, one
 * per rule, all), R + 2 port regions and one region per address dimension. */
std::vector<RefRule> OnePortEach(size_t rules)
{
    std::vector<RefRule> out(rules);
    for (size_t r = 0; r < rules; r++) {
        out[r].ports.push_back(static_cast<uint16_t>(r + 1));
        out[r].protocols.push_back(IP_PROTOCOL_TCP);
    }
    return out;
}

size_t OnePortEachLength(size_t rules)
{
    const size_t words = rules <= 65472 ? (rules + 63) / 64 : 1024;
    return 8 * words * (rules + 2) + 6 * (rules + 2) + 8 + 8 + 32;
}

class EnIndexBuild : public hvtest::LoggingTest {
protected:
    void TearDown() override
    {
        en_index_set_weak_fingerprints(0);
        hvtest::LoggingTest::TearDown();
    }

    bool Build(const EnforcementChainList *table, const en_index_limits_t *limits = nullptr)
    {
        uint8_t *buf = nullptr;
        size_t len = 0;
        Error *err = nullptr;
        const bool ok = en_convert_single_index(table, 40000, limits, &buf, &len, &err);
        EXPECT_EQ(ok, buf != nullptr);
        error_ = hvtest::TakeMessage(err);
        bytes_.assign(buf, buf + (buf ? len : 0));
        g_free(buf);
        return ok;
    }

    std::vector<uint8_t> bytes_;
    std::string error_;
};

TEST_F(EnIndexBuild, RandomTablesGiveTheBufferComputedTheSlowWay)
{
    std::mt19937 rng(4242);
    for (int t = 0; t < 60; t++) {
        std::vector<RefRule> rules(1 + rng() % (t < 50 ? 70 : 200));
        for (RefRule &r : rules) {
            r = RandomRule(rng);
        }
        TablePtr table = Table(rules, 1 + rng() % 4);
        ASSERT_TRUE(Build(table.get())) << "table " << t << ": " << error_;
        ASSERT_EQ(bytes_, Reference(rules)) << "table " << t << " of " << rules.size() << " rules";
    }
}

TEST_F(EnIndexBuild, UnusualTablesGiveTheBufferComputedTheSlowWay)
{
    std::mt19937 rng(99);
    auto catch_all = [] { return RefRule{}; };
    auto v6_only = [] {
        RefRule r;
        r.src = r.dst = Side{false, {"2001:db8::/32"}, {}, {}, {}};
        return r;
    };
    auto icmp_only = [&] {
        RefRule r = RandomRule(rng);
        r.ports.clear();
        r.ranges.clear();
        r.protocols = {IP_PROTOCOL_ICMP};
        return r;
    };
    struct Case {
        const char *name;
        std::vector<RefRule> rules;
        size_t chains;
    };
    std::vector<Case> cases = {
        {"one rule", {RandomRule(rng)}, 1},
        {"one rule among empty chains", {RandomRule(rng)}, 5},
        {"one catch-all", {catch_all()}, 1},
        {"catch-alls only", std::vector<RefRule>(130, catch_all()), 3},
        {"IPv6 only", std::vector<RefRule>(70, v6_only()), 2},
        {"ICMP only", {}, 2},
        {"catch-all then IPv6 only", {catch_all(), v6_only(), v6_only()}, 1},
        {"64 rules", std::vector<RefRule>(64, catch_all()), 1},
        {"65 rules", std::vector<RefRule>(65, catch_all()), 1},
        {"65,536 rules", std::vector<RefRule>(65536, catch_all()), 4},
    };
    for (int i = 0; i < 90; i++) {
        cases[5].rules.push_back(icmp_only());
    }
    /* Word and vector edges with something to tell the vectors apart. */
    cases[8].rules[64].ports = {443};
    cases[9].rules[65535] = RandomRule(rng);
    cases[9].rules[0].protocols = {IP_PROTOCOL_UDP};
    for (const Case &c : cases) {
        TablePtr table = Table(c.rules, c.chains);
        ASSERT_TRUE(Build(table.get())) << c.name << ": " << error_;
        ASSERT_EQ(bytes_, Reference(c.rules)) << c.name;
    }
    /* Chains without rules: one empty vector and no region at all, which the driver takes
     * for a table that matches nothing. */
    TablePtr empty = Table({}, 3);
    ASSERT_TRUE(Build(empty.get())) << error_;
    ASSERT_EQ(bytes_.size(), 8 + 1024 * 8 + 12 + 12);
    EXPECT_EQ(std::vector<uint8_t>(bytes_.end() - 12, bytes_.end()), std::vector<uint8_t>(12, 0));
    EXPECT_EQ(std::count(bytes_.begin() + 8, bytes_.end(), 0), static_cast<long>(bytes_.size() - 8));
}

TEST_F(EnIndexBuild, VectorsThatShareAFingerprintAreToldApartByARerun)
{
    std::mt19937 rng(7);
    std::vector<RefRule> rules(120);
    for (RefRule &r : rules) {
        r = RandomRule(rng);
    }
    /* Vectors that differ only inside one dimension's regions: with every fingerprint equal,
     * nothing but the vectors themselves tells the port regions apart. */
    std::vector<RefRule> ports_only = OnePortEach(5);
    for (RefRule &r : ports_only) {
        r.src = r.dst = Side{false, {"2001:db8::/32"}, {}, {}, {}};
        r.protocols = {IP_PROTOCOL_ALL};
    }
    for (const std::vector<RefRule> &set : {OnePortEach(9), ports_only, rules}) {
        TablePtr table = Table(set);
        en_index_set_weak_fingerprints(1);
        ASSERT_TRUE(Build(table.get())) << error_;
        EXPECT_EQ(bytes_, Reference(set)) << set.size() << " rules";
        EXPECT_TRUE(Logged(G_LOG_LEVEL_DEBUG, "[index] two rule vectors shared a fingerprint, numbering again"));
    }
    /* Clashing in every run: a failure, never a wrong index. */
    TablePtr table = Table(OnePortEach(9));
    en_index_set_weak_fingerprints(100);
    EXPECT_FALSE(Build(table.get()));
    EXPECT_EQ(error_, "[index] could not tell the rule vectors apart");
    EXPECT_TRUE(Logged(G_LOG_LEVEL_WARNING, error_));
}

TEST_F(EnIndexBuild, EachLimitRefusesOneAboveWhatItAllows)
{
    const size_t rules = 100, len = OnePortEachLength(rules);
    TablePtr table = Table(OnePortEach(rules));
    ASSERT_TRUE(Build(table.get()));
    ASSERT_EQ(bytes_.size(), len);
    ASSERT_EQ(bytes_, Reference(OnePortEach(rules)));

    struct Case {
        en_index_limits_t allows, refuses;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{0, 0, len}, {0, 0, len - 1},
         "[index] rule index of " + std::to_string(len) + " bytes exceeds the limit of " + std::to_string(len - 1) +
             " bytes"},
        {{0, rules + 2, 0}, {0, rules + 1, 0}, "[index] rule index of 102 vectors exceeds the limit of 101 vectors"},
        {{rules + 2, 0, 0}, {rules + 1, 0, 0},
         "[index] rule index of 102 regions in one dimension exceeds the limit of 101 regions"},
    };
    for (const Case &c : cases) {
        EXPECT_TRUE(Build(table.get(), &c.allows)) << c.message << ": " << error_;
        EXPECT_EQ(bytes_.size(), len);
        EXPECT_FALSE(Build(table.get(), &c.refuses)) << c.message;
        EXPECT_EQ(error_, c.message);
        EXPECT_TRUE(Logged(G_LOG_LEVEL_WARNING, c.message));
    }
    const en_index_limits_t none = {0, 0, 0};
    EXPECT_TRUE(Build(table.get(), &none)) << "0 is no limit";
}

TEST_F(EnIndexBuild, AHalfGigabyteIndexIsRefusedFromItsSizesBeforeAnyVectorIsBuilt)
{
    /* The driver's default limits, which the module's configuration defaults to as well. */
    const en_index_limits_t limits = {endr::kDefaultIndexLimits[0], endr::kDefaultIndexLimits[1],
                                      endr::kDefaultIndexLimits[2]};
    /* The last rule's port wraps to 0: 65536 one-rule vectors, all and none; 65536 port
     * regions. */
    TablePtr table = Table(OnePortEach(65536), 16);
    EXPECT_FALSE(Build(table.get(), &limits));
    const size_t len = 8192 * size_t{65538} + 6 * 65536 + 8 + 8 + 32;
    EXPECT_EQ(error_, "[index] rule index of " + std::to_string(len) + " bytes exceeds the limit of 67108864 bytes");
    EXPECT_FALSE(LoggedPrefix(G_LOG_LEVEL_DEBUG, "[index] Creating endr_bag")) << "the bag was started";
    EXPECT_FALSE(LoggedPrefix(G_LOG_LEVEL_DEBUG, "[index] Finished creating index"));

    /* A table under the limit goes the whole way. */
    TablePtr small = Table(OnePortEach(3000), 2);
    ASSERT_TRUE(Build(small.get(), &limits)) << error_;
    EXPECT_EQ(bytes_.size(), OnePortEachLength(3000));
    EXPECT_TRUE(Logged(G_LOG_LEVEL_DEBUG, "[index] Creating endr_bag"));
}

} // namespace
