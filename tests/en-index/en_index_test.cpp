/* The index is read back by a decoder written here and compared with a direct evaluation
 * of the rules' port, IPv4 address and protocol criteria. */
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "../en-rules/en-rules-helpers.h"
#include "enforcement/framework/agent/en-index.h"
#include "qapi/qmp-enforcement-types.h"
#include "tests/common/hv-test-support.h"
#include "util/error.h"

namespace {

/* ------------------------------------------------------------ typed policies */

using Strings = std::optional<std::vector<std::string>>;
struct Side {
    Strings subnets, ips;
    std::optional<std::vector<uint16_t>> ports;
    std::optional<std::vector<std::pair<uint16_t, uint16_t>>> ranges;
};
struct RuleDef {
    Side src, dst;
    std::vector<IpProtocol> protocols{IP_PROTOCOL_TCP};
};
using Chains = std::vector<std::vector<RuleDef>>;

template <typename List, typename T, typename Make>
List *MakeList(const std::vector<T> &values, Make make)
{
    List *head = nullptr;
    List **tail = &head;
    for (const T &v : values) {
        *tail = static_cast<List *>(g_malloc0(sizeof(List)));
        (*tail)->value = make(v);
        tail = &(*tail)->next;
    }
    return head;
}

strList *Strs(const std::vector<std::string> &v)
{
    return MakeList<strList>(v, [](const std::string &s) { return g_strdup(s.c_str()); });
}

EntityMatch *MakeEntity(const Side &side)
{
    EntityMatch *e = qapi_new_EntityMatch();
    if ((e->has_match_multiple_subnets = side.subnets.has_value())) {
        e->match_multiple_subnets = Strs(*side.subnets);
    }
    if ((e->has_match_ip_hash = side.ips.has_value())) {
        e->match_ip_hash = Strs(*side.ips);
    }
    if ((e->has_match_ports = side.ports.has_value())) {
        e->match_ports = MakeList<uint16List>(*side.ports, [](uint16_t p) { return p; });
    }
    if ((e->has_match_port_ranges = side.ranges.has_value())) {
        e->match_port_ranges = MakeList<PortRangeMatchList>(
            *side.ranges, [](auto r) { return qapi_new_PortRangeMatch(r.first, r.second); });
    }
    return e;
}

struct TableDeleter {
    void operator()(EnforcementChainList *l) const { qapi_free_EnforcementChainList(l); }
};
using Table = std::unique_ptr<EnforcementChainList, TableDeleter>;

Table MakeTable(const Chains &chains)
{
    int n = 0;
    return Table(MakeList<EnforcementChainList>(chains, [&](const std::vector<RuleDef> &rules) {
        auto *chain = qapi_alloc_EnforcementChain();
        chain->chain_name = g_strdup_printf("chain-%d", n++);
        chain->rules = MakeList<EnforcementRuleList>(rules, [&](const RuleDef &def) {
            auto *rule = qapi_alloc_EnforcementRule();
            rule->match_src = MakeEntity(def.src);
            rule->match_dst = MakeEntity(def.dst);
            rule->protocols = MakeList<IpProtocolList>(def.protocols, [](IpProtocol p) { return p; });
            rule->id = g_strdup_printf("rule-%d", n++);
            return rule;
        });
        return chain;
    }));
}

/* ------------------------------------------------------------ decoder */

uint16_t WordsFor(uint16_t rules16)
{
    if (rules16 == 0 || rules16 > 65472) {
        return 1024;
    }
    return static_cast<uint16_t>(rules16 / 64 + (rules16 % 64 != 0));
}

struct Index {
    uint32_t rules = 0;
    uint16_t rules16 = 0, words = 0;
    std::vector<std::vector<uint64_t>> bag;
    uint32_t tcp = 0, udp = 0, icmp = 0;
    std::vector<uint32_t> port_starts, port_bags, src_starts, src_bags, dst_starts, dst_bags;
};

class Reader {
public:
    explicit Reader(const std::vector<uint8_t> &b) : b_(b) {}
    template <typename T>
    T Get()
    {
        T v{};
        if (pos_ + sizeof(T) > b_.size()) {
            short_ = true;
            return v;
        }
        for (size_t i = 0; i < sizeof(T); i++) {
            v |= static_cast<T>(T{b_[pos_ + i]} << (8 * i));
        }
        pos_ += sizeof(T);
        return v;
    }
    bool Done() const { return !short_ && pos_ == b_.size(); }

private:
    const std::vector<uint8_t> &b_;
    size_t pos_ = 0;
    bool short_ = false;
};

/* Decodes and checks every structural promise of the layout. */
::testing::AssertionResult Decode(const std::vector<uint8_t> &buf, Index *ix)
{
    Reader r(buf);
    uint32_t n = r.Get<uint32_t>();
    ix->rules16 = r.Get<uint16_t>();
    ix->words = r.Get<uint16_t>();
    ix->rules = ix->rules16 == 0 ? 65536 : ix->rules16;
    if (ix->words != WordsFor(ix->rules16)) {
        return ::testing::AssertionFailure() << "W " << ix->words << " for R " << ix->rules16;
    }
    if (buf.size() < 8 + size_t{n} * ix->words * 8) {
        return ::testing::AssertionFailure() << "bag runs past the end";
    }
    ix->bag.assign(n, std::vector<uint64_t>(ix->words));
    for (auto &v : ix->bag) {
        for (auto &w : v) {
            w = r.Get<uint64_t>();
        }
    }
    ix->tcp = r.Get<uint32_t>();
    ix->udp = r.Get<uint32_t>();
    ix->icmp = r.Get<uint32_t>();
    auto regions = [&](bool port, std::vector<uint32_t> *starts, std::vector<uint32_t> *bags) {
        uint32_t count = r.Get<uint32_t>();
        if (count > buf.size()) {
            return false;
        }
        for (uint32_t i = 0; i < count; i++) {
            starts->push_back(port ? r.Get<uint16_t>() : r.Get<uint32_t>());
        }
        for (uint32_t i = 0; i < count; i++) {
            bags->push_back(r.Get<uint32_t>());
        }
        return true;
    };
    if (!regions(true, &ix->port_starts, &ix->port_bags) || !regions(false, &ix->src_starts, &ix->src_bags) ||
        !regions(false, &ix->dst_starts, &ix->dst_bags) || !r.Done()) {
        return ::testing::AssertionFailure() << "lengths do not add up";
    }
    const size_t P = ix->port_starts.size(), S = ix->src_starts.size(), D = ix->dst_starts.size();
    if (buf.size() != 8 * size_t{ix->words} * n + 6 * P + 8 * S + 8 * D + 32) {
        return ::testing::AssertionFailure() << "length " << buf.size() << " is not the formula's";
    }
    std::set<std::vector<uint64_t>> distinct(ix->bag.begin(), ix->bag.end());
    if (distinct.size() != n) {
        return ::testing::AssertionFailure() << "the bag holds a vector twice";
    }
    for (const auto &v : ix->bag) {
        for (uint32_t bit = ix->rules; bit < ix->words * 64u; bit++) {
            if (v[bit / 64] >> (bit % 64) & 1) {
                return ::testing::AssertionFailure() << "bit " << bit << " beyond the rules";
            }
        }
    }
    for (uint32_t b : {ix->tcp, ix->udp, ix->icmp}) {
        if (b >= n) {
            return ::testing::AssertionFailure() << "protocol bag number " << b;
        }
    }
    for (const auto &pair : {std::make_pair(&ix->port_starts, &ix->port_bags),
                             std::make_pair(&ix->src_starts, &ix->src_bags),
                             std::make_pair(&ix->dst_starts, &ix->dst_bags)}) {
        const auto &starts = *pair.first;
        const auto &bags = *pair.second;
        for (size_t i = 0; i < starts.size(); i++) {
            if ((i == 0 && starts[0] != 0) || (i > 0 && starts[i] <= starts[i - 1]) || bags[i] >= n ||
                (i > 0 && bags[i] == bags[i - 1])) {
                return ::testing::AssertionFailure() << "region " << i << " malformed";
            }
        }
    }
    return ::testing::AssertionSuccess();
}

const std::vector<uint64_t> *RegionVector(const Index &ix, const std::vector<uint32_t> &starts,
                                          const std::vector<uint32_t> &bags, uint32_t value)
{
    auto it = std::upper_bound(starts.begin(), starts.end(), value);
    if (it == starts.begin()) {
        return nullptr;
    }
    return &ix.bag[bags[static_cast<size_t>(it - starts.begin()) - 1]];
}

/* The driver's candidate set; an absent address means an IPv6 connection. */
std::set<uint32_t> Candidates(const Index &ix, IpProtocol proto, uint16_t port, std::optional<uint32_t> src,
                              std::optional<uint32_t> dst)
{
    std::vector<const std::vector<uint64_t> *> vs;
    vs.push_back(&ix.bag[proto == IP_PROTOCOL_TCP ? ix.tcp : proto == IP_PROTOCOL_UDP ? ix.udp : ix.icmp]);
    vs.push_back(RegionVector(ix, ix.port_starts, ix.port_bags, port));
    if (src) {
        vs.push_back(RegionVector(ix, ix.src_starts, ix.src_bags, *src));
        vs.push_back(RegionVector(ix, ix.dst_starts, ix.dst_bags, *dst));
    }
    std::set<uint32_t> out;
    if (std::find(vs.begin(), vs.end(), nullptr) != vs.end()) {
        return out;
    }
    for (uint32_t r = 0; r < ix.rules; r++) {
        bool all = true;
        for (const auto *v : vs) {
            all = all && ((*v)[r / 64] >> (r % 64) & 1);
        }
        if (all) {
            out.insert(r);
        }
    }
    return out;
}

/* ------------------------------------------------------------ reference evaluation */

uint32_t V4(const std::string &text)
{
    unsigned a, b, c, d;
    EXPECT_EQ(sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d), 4) << text;
    return a << 24 | b << 16 | c << 8 | d;
}

bool SideAdmits(const Side &side, uint32_t addr)
{
    if (!side.subnets && !side.ips) {
        return true;
    }
    bool pos = false, neg = false;
    for (const std::string &ip : side.ips.value_or(std::vector<std::string>{})) {
        pos = pos || (ip.find('.') != std::string::npos && V4(ip) == addr);
    }
    for (std::string s : side.subnets.value_or(std::vector<std::string>{})) {
        const bool negated = s[0] == '!';
        s = s.substr(negated ? 1 : 0);
        if (s.find('.') == std::string::npos) {
            continue;
        }
        const int prefix = std::stoi(s.substr(s.find('/') + 1));
        const uint64_t size = uint64_t{1} << (32 - prefix);
        const uint64_t first = V4(s.substr(0, s.find('/'))) / size * size;
        const bool covers = addr >= first && addr < first + size;
        (negated ? neg : pos) = (negated ? neg : pos) || covers;
    }
    return pos && !neg;
}

bool PortAdmits(const Side &side, uint16_t port)
{
    if (!side.ports && !side.ranges) {
        return true;
    }
    for (uint16_t p : side.ports.value_or(std::vector<uint16_t>{})) {
        if (p == port) {
            return true;
        }
    }
    for (auto [s, e] : side.ranges.value_or(std::vector<std::pair<uint16_t, uint16_t>>{})) {
        if (s <= port && port <= e) {
            return true;
        }
    }
    return false;
}

std::set<uint32_t> Reference(const Chains &chains, IpProtocol proto, uint16_t port, std::optional<uint32_t> src,
                             std::optional<uint32_t> dst)
{
    std::set<uint32_t> out;
    uint32_t number = 0;
    for (const auto &chain : chains) {
        for (const RuleDef &rule : chain) {
            const bool has_proto =
                std::find(rule.protocols.begin(), rule.protocols.end(), proto) != rule.protocols.end();
            if (has_proto && PortAdmits(rule.dst, port) && (!src || (SideAdmits(rule.src, *src) &&
                                                                    SideAdmits(rule.dst, *dst)))) {
                out.insert(number);
            }
            number++;
        }
    }
    return out;
}

/* ------------------------------------------------------------ fixture */

class EnIndexTest : public hvtest::LoggingTest {
protected:

    /* Builds, decodes and returns the index; a failure's Error text lands in error_. */
    bool Build(const Chains &chains, Index *ix = nullptr, uint64_t max_entity = 40000)
    {
        Table table = MakeTable(chains);
        return BuildList(table.get(), ix, max_entity);
    }
    bool BuildList(const EnforcementChainList *list, Index *ix, uint64_t max_entity = 40000)
    {
        uint8_t *buf = nullptr;
        size_t len = 0;
        Error *err = nullptr;
        error_.clear();
        const bool ok = en_convert_single_index(list, max_entity, &buf, &len, &err);
        EXPECT_EQ(ok, buf != nullptr);
        if (err) {
            error_ = error_get_message(err);
            error_free(err);
        }
        bytes_.assign(buf, buf + (buf ? len : 0));
        g_free(buf);
        if (ok && ix) {
            *ix = Index{};
            EXPECT_TRUE(Decode(bytes_, ix));
        }
        return ok;
    }
    std::vector<uint8_t> bytes_;
    std::string error_;
};

/* ------------------------------------------------------------ layout */

TEST_F(EnIndexTest, OneTcpRuleIsLaidOutExactly)
{
    ASSERT_TRUE(Build({{RuleDef{}}}));
    Bytes want;
    want.u32(2).u16(1).u16(1).u64(1).u64(0);  /* bag: the rule, then all-zero */
    want.u32(0).u32(1).u32(1);                 /* TCP, UDP, ICMP */
    want.u32(1).u16(0).u32(0);                 /* ports */
    want.u32(1).u32(0).u32(0);                 /* sources */
    want.u32(1).u32(0).u32(0);                 /* destinations */
    EXPECT_EQ(bytes_, want.vec());
    EXPECT_EQ(bytes_.size(), 8u * 1 * 2 + 6 * 1 + 8 * 1 + 8 * 1 + 32);
}

TEST_F(EnIndexTest, SinglePortOpensAndClosesARegion)
{
    RuleDef rule;
    rule.dst.ports = std::vector<uint16_t>{80};
    ASSERT_TRUE(Build({{rule}}));
    Bytes want;
    want.u32(2).u16(1).u16(1).u64(0).u64(1);
    want.u32(1).u32(0).u32(0);
    want.u32(3).u16(0).u16(80).u16(81).u32(0).u32(1).u32(0);
    want.u32(1).u32(0).u32(1);
    want.u32(1).u32(0).u32(1);
    EXPECT_EQ(bytes_, want.vec());
    EXPECT_EQ(bytes_.size(), 82u);
}

TEST_F(EnIndexTest, OverlappingPortIntervalsOfOneRuleCountSeparately)
{
    RuleDef rule;
    rule.dst.ports = std::vector<uint16_t>{80, 85, 90};
    rule.dst.ranges = {{{80, 90}, {85, 85}, {90, 95}, {96, 100}}};
    Index ix;
    ASSERT_TRUE(Build({{rule}}, &ix));
    EXPECT_EQ(ix.port_starts, (std::vector<uint32_t>{0, 80, 101}));
    EXPECT_EQ(ix.port_bags, (std::vector<uint32_t>{0, 1, 0}));

    RuleDef plain;
    plain.dst.ports = std::vector<uint16_t>{80};
    plain.dst.ranges = {{{80, 90}}};
    ASSERT_TRUE(Build({{plain}}, &ix));
    EXPECT_EQ(ix.port_starts, (std::vector<uint32_t>{0, 80, 91}));
}

TEST_F(EnIndexTest, NegatedSubnetCutsAHoleInTheRulesRun)
{
    RuleDef rule;
    rule.src.subnets = {{"10.0.0.0/8", "!10.1.0.0/16"}};
    Index ix;
    ASSERT_TRUE(Build({{rule}}, &ix));
    EXPECT_EQ(ix.src_starts, (std::vector<uint32_t>{0, 0x0A000000, 0x0A010000, 0x0A020000, 0x0B000000}));
    /* Bag number 0 is the port dimension's "every port" vector; the zero vector comes second. */
    EXPECT_EQ(ix.src_bags, (std::vector<uint32_t>{1, 0, 1, 0, 1}));
    EXPECT_EQ(ix.dst_starts, (std::vector<uint32_t>{0}));
    EXPECT_EQ(ix.dst_bags, (std::vector<uint32_t>{0}));

    RuleDef only_negated;
    only_negated.src.subnets = {{"!10.0.0.0/8"}};
    ASSERT_TRUE(Build({{only_negated}}, &ix));
    EXPECT_TRUE(Candidates(ix, IP_PROTOCOL_TCP, 1, V4("11.0.0.1"), V4("1.1.1.1")).empty());
    EXPECT_TRUE(Candidates(ix, IP_PROTOCOL_TCP, 1, V4("10.0.0.1"), V4("1.1.1.1")).empty());
}

TEST_F(EnIndexTest, Ipv6OnlyCriteriaLeaveTheRuleOutOfEveryIpv4Region)
{
    RuleDef rule;
    rule.src.ips = {{"2001:db8::1"}};
    rule.dst.subnets = {{"2001:db8::/32"}};
    Index ix;
    ASSERT_TRUE(Build({{rule}}, &ix));
    ASSERT_EQ(ix.src_starts, (std::vector<uint32_t>{0}));
    ASSERT_EQ(ix.dst_starts, (std::vector<uint32_t>{0}));
    EXPECT_EQ(ix.bag[ix.src_bags[0]], (std::vector<uint64_t>{0}));
    EXPECT_EQ(ix.bag[ix.dst_bags[0]], (std::vector<uint64_t>{0}));
    EXPECT_EQ(Candidates(ix, IP_PROTOCOL_TCP, 1, std::nullopt, std::nullopt), (std::set<uint32_t>{0}));
}

TEST_F(EnIndexTest, TopValuesRunToTheEndOfTheirSpace)
{
    RuleDef rule;
    rule.dst.ports = std::vector<uint16_t>{65535};
    rule.src.ips = {{"255.255.255.255"}};
    rule.dst.subnets = {{"255.255.255.0/24"}};
    Index ix;
    ASSERT_TRUE(Build({{rule}}, &ix));
    EXPECT_EQ(ix.port_starts, (std::vector<uint32_t>{0, 65535}));
    EXPECT_EQ(ix.src_starts, (std::vector<uint32_t>{0, 0xFFFFFFFF}));
    EXPECT_EQ(ix.dst_starts, (std::vector<uint32_t>{0, 0xFFFFFF00}));
    EXPECT_EQ(Candidates(ix, IP_PROTOCOL_TCP, 65535, 0xFFFFFFFF, 0xFFFFFFFF), (std::set<uint32_t>{0}));
}

TEST_F(EnIndexTest, RulesAreNumberedAcrossChainsAndProtocolsPickVectors)
{
    auto with_port = [](uint16_t port, std::vector<IpProtocol> protocols) {
        RuleDef r;
        r.dst.ports = std::vector<uint16_t>{port};
        r.protocols = std::move(protocols);
        return r;
    };
    Chains chains = {{with_port(10, {IP_PROTOCOL_TCP}), with_port(20, {IP_PROTOCOL_UDP, IP_PROTOCOL_ICMP})},
                     {},
                     {with_port(30, {IP_PROTOCOL_ALL}), with_port(40, {}), with_port(50, {IP_PROTOCOL_TCP})}};
    Index ix;
    ASSERT_TRUE(Build(chains, &ix));
    EXPECT_EQ(ix.rules16, 5);
    EXPECT_EQ(ix.bag[ix.tcp], (std::vector<uint64_t>{0b10001}));
    EXPECT_EQ(ix.bag[ix.udp], (std::vector<uint64_t>{0b00010}));
    EXPECT_EQ(ix.udp, ix.icmp);
    EXPECT_EQ(Candidates(ix, IP_PROTOCOL_TCP, 50, 1, 1), (std::set<uint32_t>{4}));
    EXPECT_TRUE(Candidates(ix, IP_PROTOCOL_TCP, 30, 1, 1).empty());
}

TEST_F(EnIndexTest, WordCountFollowsTheRuleCount)
{
    for (uint32_t rules : {1u, 63u, 64u, 65u, 130u}) {
        Index ix;
        ASSERT_TRUE(Build({std::vector<RuleDef>(rules)}, &ix));
        EXPECT_EQ(ix.words, (rules + 63) / 64) << rules;
    }
    /* Chains without rules: R is 0, which reads as the full 1024 words. */
    Index ix;
    ASSERT_TRUE(Build({{}}, &ix));
    EXPECT_EQ(ix.rules16, 0);
    EXPECT_EQ(ix.words, 1024);
    EXPECT_TRUE(ix.port_starts.empty() && ix.src_starts.empty() && ix.dst_starts.empty());
}

TEST_F(EnIndexTest, FullTableCarriesZeroRulesAndOneMoreIsRefused)
{
    Chains chains(2, std::vector<RuleDef>(32768));
    chains[1].back().dst.ports = std::vector<uint16_t>{443};
    Index ix;
    ASSERT_TRUE(Build(chains, &ix));
    EXPECT_EQ(bytes_[4], 0);
    EXPECT_EQ(bytes_[5], 0);
    EXPECT_EQ(ix.words, 1024);
    EXPECT_EQ(ix.port_starts, (std::vector<uint32_t>{0, 443, 444}));
    EXPECT_EQ(Candidates(ix, IP_PROTOCOL_TCP, 443, 1, 1).size(), 65536u);
    auto elsewhere = Candidates(ix, IP_PROTOCOL_TCP, 80, 1, 1);
    EXPECT_EQ(elsewhere.size(), 65535u);
    EXPECT_FALSE(elsewhere.count(65535));

    chains.push_back({RuleDef{}});
    EXPECT_FALSE(Build(chains));
    EXPECT_EQ(error_, "Too many rules: 65536");
}

/* ------------------------------------------------------------ refusals */

TEST_F(EnIndexTest, EntityLimitsCountEachKindOfIpv4AndPortEntry)
{
    struct Case {
        Side side;
        const char *message;
    };
    std::vector<Case> cases(4);
    cases[0].side.ports = std::vector<uint16_t>{1, 2, 3};
    cases[0].message = "[index] number of single ports in rule exceeded max entity";
    cases[1].side.ranges = {{{1, 2}, {3, 4}, {5, 6}}};
    cases[1].message = "[index] number of range ports in rule exceeded max entity";
    cases[2].side.ips = {{"::1", "1.1.1.1", "::2", "1.1.1.2", "1.1.1.3"}};
    cases[2].message = "[index] number of single IPs in rule exceeded max entity";
    cases[3].side.subnets = {{"::/8", "1.0.0.0/8", "!2.0.0.0/8", "3.0.0.0/8"}};
    cases[3].message = "[index] number of range IPs in rule exceeded max entity";
    for (Case &c : cases) {
        RuleDef rule;
        rule.dst = c.side;
        EXPECT_FALSE(Build({{rule}}, nullptr, 2)) << c.message;
        EXPECT_TRUE(Logged(G_LOG_LEVEL_WARNING, c.message));
        EXPECT_TRUE(Build({{rule}}, nullptr, 3)) << c.message;
    }
}

TEST_F(EnIndexTest, ReversedPortRangeIsRefused)
{
    RuleDef rule;
    rule.dst.ranges = {{{90, 80}}};
    EXPECT_FALSE(Build({{rule}}));
    EXPECT_EQ(error_, "[index] invalid port range in rule 'rule-1': start 90 is above end 80");
    EXPECT_TRUE(Logged(G_LOG_LEVEL_WARNING, error_));
}

TEST_F(EnIndexTest, MissingPiecesAreNamed)
{
    uint8_t *buf = nullptr;
    size_t len = 0;
    Table table = MakeTable({{RuleDef{}}});
    Error *err = nullptr;
    EXPECT_FALSE(en_convert_single_index(table.get(), 40000, nullptr, &len, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_TRUE(g_str_has_prefix(error_get_message(err), "[en_convert_single_index:"));
    EXPECT_TRUE(g_str_has_suffix(error_get_message(err), "] out_buf is NULL"));
    EXPECT_TRUE(Logged(G_LOG_LEVEL_CRITICAL, error_get_message(err)));
    error_free_and_clear(&err);
    EXPECT_FALSE(en_convert_single_index(table.get(), 40000, &buf, nullptr, &err));
    EXPECT_TRUE(g_str_has_suffix(error_get_message(err), "] out_len is NULL"));
    error_free(err);

    EXPECT_FALSE(BuildList(nullptr, nullptr));
    EXPECT_TRUE(g_str_has_suffix(error_.c_str(), "] input_table is NULL"));

    auto broken = [&](auto edit, const char *suffix) {
        Table t = MakeTable({{RuleDef{}}});
        edit(t->value->rules->value);
        EXPECT_FALSE(BuildList(t.get(), nullptr)) << suffix;
        EXPECT_TRUE(g_str_has_suffix(error_.c_str(), suffix)) << error_;
    };
    broken([](EnforcementRule *r) { qapi_free_EntityMatch(r->match_dst), r->match_dst = nullptr; },
           "] entity is NULL");
    broken([](EnforcementRule *r) { qapi_free_EntityMatch(r->match_src), r->match_src = nullptr; },
           "] entity is NULL");
    broken([](EnforcementRule *r) { r->match_src->has_match_ip_hash = true; }, "] entity->match_ip_hash is NULL");
    broken([](EnforcementRule *r) { r->match_dst->has_match_ports = true; }, "] entity->match_ports is NULL");
    broken([](EnforcementRule *r) { r->match_dst->has_match_port_ranges = true; },
           "] entity->match_port_ranges is NULL");
}

TEST_F(EnIndexTest, BadAddressTextsFailTheBuild)
{
    RuleDef bad_ip;
    bad_ip.src.ips = {{"10.0.0.999"}};
    EXPECT_FALSE(Build({{bad_ip}}));
    EXPECT_EQ(error_, "");
    EXPECT_TRUE(Logged(G_LOG_LEVEL_WARNING, "failed to convert ip address: 10.0.0.999"));

    RuleDef bad_subnet;
    bad_subnet.dst.subnets = {{"!10.0.0.0"}};
    EXPECT_FALSE(Build({{bad_subnet}}));
    EXPECT_EQ(error_, "[utils] failed to parse: 10.0.0.0");

    /* A flagged subnet list that is empty places the rule in no IPv4 region. */
    RuleDef empty;
    empty.dst.subnets = std::vector<std::string>{};
    Index ix;
    ASSERT_TRUE(Build({{empty}}, &ix));
    EXPECT_TRUE(Candidates(ix, IP_PROTOCOL_TCP, 1, 1, 1).empty());
    EXPECT_EQ(Candidates(ix, IP_PROTOCOL_TCP, 1, std::nullopt, std::nullopt).size(), 1u);
}

/* ------------------------------------------------------------ logs */

TEST_F(EnIndexTest, PhasesAreLoggedInOrderWithTheirTimings)
{
    ASSERT_TRUE(Build({{RuleDef{}}}));
    std::vector<std::string> lines;
    for (const std::string &text : Texts(G_LOG_LEVEL_DEBUG)) {
        if (!g_str_has_prefix(text.c_str(), "[index] free thread")) {
            lines.push_back(text);
        }
    }
    std::vector<std::string> want = {"[index] Started index building", "[index] Started pre-index building",
                                     "[index] compacting pre-indexes"};
    for (int i = 0; i < 3; i++) {
        want.insert(want.end(), {"[index] sorting index keys", "[index] getting active rules",
                                 "[index] Finished running the loop"});
    }
    want.insert(want.end(), {"[index] Inserting indexes to hash",
                             "[index] before compact_index_to_hash: compact_index_dst_port",
                             "[index] after compact_index_to_hash: compact_index_dst_port",
                             "[index] before compact_index_to_hash: compact_index_src_ip",
                             "[index] After compact_index_to_hash: compact_index_src_ip",
                             "[index] before compact_index_to_hash: compact_index_dst_ip",
                             "[index] after compact_index_to_hash: compact_index_dst_ip",
                             "[index] Creating endr_bag", "[index] Finished creating index"});
    for (const char *name : {"pre_index_ip_src", "pre_index_ip_dst", "pre_index_port_dst", "pre_index_protocol",
                             "create_index_start_search", "create_index_start_iter", "create_index_end_search",
                             "create_index_end_iter", "bv_to_bag"}) {
        want.push_back(std::string("[index] total time of ") + name + ": ");
    }
    ASSERT_EQ(lines.size(), want.size());
    for (size_t i = 0; i < want.size(); i++) {
        if (want[i].back() == ' ') {
            double value = -1;
            EXPECT_TRUE(g_str_has_prefix(lines[i].c_str(), want[i].c_str())) << lines[i];
            EXPECT_EQ(sscanf(lines[i].c_str() + want[i].size(), "%lf", &value), 1) << lines[i];
            EXPECT_GE(value, 0);
        } else {
            EXPECT_EQ(lines[i], want[i]);
        }
    }
}

/* ------------------------------------------------------------ free thread */

struct Released {
    std::mutex lock;
    std::condition_variable cv;
    std::vector<int> order;
    std::set<pid_t> threads;
    std::set<int> nice;
} g_released;

void ReleaseProbe(void *p)
{
    std::lock_guard<std::mutex> guard(g_released.lock);
    g_released.order.push_back(*static_cast<int *>(p));
    g_released.threads.insert(gettid());
    g_released.nice.insert(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())));
    delete static_cast<int *>(p);
    g_released.cv.notify_all();
}

TEST(EnIndexFreeThread, ReleasesInArrivalOrderOnALowerPriorityThread)
{
    const int base = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
    en_index_free_thread_init();
    en_index_free_thread_init();
    for (int i = 0; i < 200; i++) {
        en_index_free_thread_enqueue(new int(i), ReleaseProbe);
    }
    std::unique_lock<std::mutex> guard(g_released.lock);
    ASSERT_TRUE(g_released.cv.wait_for(guard, std::chrono::seconds(20), [] { return g_released.order.size() == 200; }));
    std::vector<int> want(200);
    for (int i = 0; i < 200; i++) {
        want[i] = i;
    }
    EXPECT_EQ(g_released.order, want);
    ASSERT_EQ(g_released.threads.size(), 1u);
    const pid_t worker = *g_released.threads.begin();
    EXPECT_NE(worker, gettid());
    EXPECT_EQ(g_released.nice, (std::set<int>{std::min(base + 1, 19)}));
    g_autofree char *comm_path = g_strdup_printf("/proc/self/task/%d/comm", worker);
    g_autofree char *comm = nullptr;
    if (g_file_get_contents(comm_path, &comm, nullptr, nullptr)) {
        EXPECT_STREQ(g_strchomp(comm), "policy-indexing");
    }

    /* Once stopped, the caller releases at once. */
    en_index_free_thread_stop();
    g_released.threads.clear();
    guard.unlock();
    en_index_free_thread_enqueue(new int(200), ReleaseProbe);
    guard.lock();
    EXPECT_EQ(g_released.order.back(), 200);
    EXPECT_EQ(g_released.threads, (std::set<pid_t>{gettid()}));
}

TEST(EnIndexFreeThread, StopReleasesWhatTheThreadHadNotReached)
{
    /* The first item holds the thread; the others wait in the queue until stop takes them. */
    static std::mutex gate;
    std::unique_lock<std::mutex> hold(gate);
    std::atomic<bool> entered{false};
    static std::atomic<bool> *s_entered;
    s_entered = &entered;
    en_index_free_thread_init();
    en_index_free_thread_enqueue(new int(-1), [](void *p) {
        *s_entered = true;
        std::lock_guard<std::mutex> wait(gate);
        delete static_cast<int *>(p);
    });
    for (int i = 0; i < 3; i++) {
        en_index_free_thread_enqueue(new int(300 + i), ReleaseProbe);
    }
    while (!entered) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    {
        std::lock_guard<std::mutex> guard(g_released.lock);
        g_released.order.clear();
        g_released.threads.clear();
    }
    en_index_free_thread_stop();
    std::lock_guard<std::mutex> guard(g_released.lock);
    EXPECT_EQ(g_released.order, (std::vector<int>{300, 301, 302}));
    EXPECT_EQ(g_released.threads, (std::set<pid_t>{gettid()}));
    hold.unlock();
}

/* ------------------------------------------------------------ random tables */

std::string Dotted(std::optional<uint32_t> a)
{
    if (!a) {
        return "(IPv6)";
    }
    return std::to_string(*a >> 24) + "." + std::to_string(*a >> 16 & 255) + "." + std::to_string(*a >> 8 & 255) +
           "." + std::to_string(*a & 255);
}

class RandomTables : public EnIndexTest {
protected:
    std::mt19937 rng{20240611};
    uint32_t Below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); }
    bool Chance(int percent) { return Below(100) < static_cast<uint32_t>(percent); }

    static std::string Text(uint32_t a) { return Dotted(a); }
    uint32_t Address()
    {
        static const uint32_t pool[] = {0, 0x0A000000, 0x0A010000, 0x0A010203, 0xC0A80101, 0xFF000000, 0xFFFFFFFF};
        return Chance(60) ? pool[Below(7)] + (Chance(30) ? Below(512) : 0) : static_cast<uint32_t>(rng());
    }
    uint16_t Port()
    {
        static const uint16_t pool[] = {0, 1, 79, 80, 81, 90, 443, 1000, 1005, 65534, 65535};
        return Chance(70) ? pool[Below(11)] : static_cast<uint16_t>(Below(65536));
    }
    Side MakeSide()
    {
        Side s;
        if (Chance(50)) {
            std::vector<uint16_t> ports(Below(4));
            std::vector<std::pair<uint16_t, uint16_t>> ranges(Below(4));
            for (auto &p : ports) {
                p = Port();
            }
            for (auto &[a, b] : ranges) {
                a = Port();
                b = Port();
                std::tie(a, b) = std::minmax(a, b);
            }
            if (!ports.empty() || ranges.empty()) {
                s.ports = ports.empty() ? std::vector<uint16_t>{Port()} : ports;
            }
            if (!ranges.empty()) {
                s.ranges = ranges;
            }
        }
        if (Chance(60)) {
            std::vector<std::string> ips, subnets;
            for (uint32_t i = Below(3); i > 0; i--) {
                ips.push_back(Chance(20) ? "2001:db8::" + std::to_string(Below(99)) : Text(Address()));
            }
            for (uint32_t i = Below(4); i > 0; i--) {
                static const int prefixes[] = {0, 1, 8, 15, 16, 24, 31, 32};
                std::string text = Chance(15) ? "fd00::/" + std::to_string(Below(129))
                                              : Text(Address()) + "/" + std::to_string(prefixes[Below(8)]);
                subnets.push_back(Chance(30) ? "!" + text : text);
            }
            if (!ips.empty()) {
                s.ips = ips;
            }
            if (!subnets.empty() || Chance(10)) {
                s.subnets = subnets;
            }
        }
        return s;
    }
    RuleDef MakeRule()
    {
        RuleDef r{MakeSide(), MakeSide(), {}};
        for (IpProtocol p : {IP_PROTOCOL_TCP, IP_PROTOCOL_UDP, IP_PROTOCOL_ICMP, IP_PROTOCOL_ALL}) {
            if (Chance(45)) {
                r.protocols.push_back(p);
            }
        }
        return r;
    }
    /* Values on and beside every boundary the table names, plus random ones. */
    uint32_t Probe(const std::vector<uint32_t> &edges)
    {
        if (edges.empty() || Chance(20)) {
            return Chance(50) ? static_cast<uint32_t>(rng()) : Address();
        }
        return edges[Below(static_cast<uint32_t>(edges.size()))] + Below(3) - 1;
    }
};

std::string Describe(const Chains &chains, uint32_t number)
{
    uint32_t n = 0;
    for (const auto &chain : chains) {
        for (const RuleDef &r : chain) {
            if (n++ != number) {
                continue;
            }
            std::ostringstream o;
            auto side = [&](const char *name, const Side &s) {
                o << name << "{";
                for (auto &t : s.ips.value_or(std::vector<std::string>{})) o << " ip " << t;
                for (auto &t : s.subnets.value_or(std::vector<std::string>{})) o << " net " << t;
                for (auto p : s.ports.value_or(std::vector<uint16_t>{})) o << " port " << p;
                for (auto [a, b] : s.ranges.value_or(std::vector<std::pair<uint16_t, uint16_t>>{})) o << " range " << a << "-" << b;
                o << " } ";
            };
            side("src", r.src);
            side("dst", r.dst);
            for (IpProtocol p : r.protocols) o << IpProtocol_lookup[p] << " ";
            return o.str();
        }
    }
    return "?";
}

TEST_F(RandomTables, CandidatesEqualADirectEvaluationOfTheRules)
{
    const int tables = g_getenv("HV_INDEX_LONG") ? 3000 : 150;
    for (int t = 0; t < tables; t++) {
        Chains chains(1 + Below(3));
        const uint32_t rules = Chance(20) ? 65 + Below(200) : 1 + Below(64);
        for (uint32_t i = 0; i < rules; i++) {
            chains[Below(static_cast<uint32_t>(chains.size()))].push_back(MakeRule());
        }
        Index ix;
        ASSERT_TRUE(Build(chains, &ix)) << error_;
        std::vector<uint32_t> port_edges(ix.port_starts), addr_edges(ix.src_starts);
        addr_edges.insert(addr_edges.end(), ix.dst_starts.begin(), ix.dst_starts.end());
        for (int q = 0; q < 300; q++) {
            const IpProtocol proto = static_cast<IpProtocol>(Below(3));
            const uint16_t port = static_cast<uint16_t>(Probe(port_edges));
            std::optional<uint32_t> src, dst;
            if (!Chance(10)) {
                src = Probe(addr_edges);
                dst = Probe(addr_edges);
            }
            const auto got = Candidates(ix, proto, port, src, dst);
            const auto want = Reference(chains, proto, port, src, dst);
            if (got != want) {
                std::vector<uint32_t> diff;
                std::set_symmetric_difference(got.begin(), got.end(), want.begin(), want.end(),
                                              std::back_inserter(diff));
                FAIL() << "table " << t << ": " << IpProtocol_lookup[proto] << " port " << port << " src " << Dotted(src)
                       << " dst " << Dotted(dst)
                       << ": rule " << diff[0] << (got.count(diff[0]) ? " wrongly" : " not") << " a candidate; "
                       << Describe(chains, diff[0]);
            }
        }
    }
}

}  // namespace
