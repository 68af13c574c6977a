/* Random policies through the module's conversion into the emulated driver, whose verdicts
 * must equal those of a reference evaluator that reads the typed policy directly.
 * HV_CLASSIFY_LONG=N runs N policies instead of the CI amount. */
#include <arpa/inet.h>
#include <glib.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "classify-fixture.h"

namespace {

/* ------------------------------------------------------------ generated policies */

struct PSide {
    bool has_sub = false, has_ip = false, has_ports = false, has_ranges = false;
    std::vector<std::string> sub, ip;
    std::vector<uint16_t> ports;
    std::vector<std::pair<uint16_t, uint16_t>> ranges;
};
struct PRule {
    PSide src, dst;
    std::vector<std::string> protos;
    bool block = false;
    std::string id;
};
struct PChain {
    std::string name;
    std::vector<PRule> rules;
};
struct PPolicy {
    std::vector<PChain> in, out;
};

std::string Quoted(const std::vector<std::string> &v)
{
    std::string s = "[";
    for (size_t i = 0; i < v.size(); i++) {
        s += (i ? ", \"" : "\"") + v[i] + "\"";
    }
    return s + "]";
}

std::string SideJson(const PSide &s)
{
    std::vector<std::string> parts;
    if (s.has_sub) {
        parts.push_back("\"match_multiple_subnets\": " + Quoted(s.sub));
    }
    if (s.has_ip) {
        parts.push_back("\"match_ip_hash\": " + Quoted(s.ip));
    }
    if (s.has_ports) {
        std::string p = "\"match_ports\": [";
        for (size_t i = 0; i < s.ports.size(); i++) {
            p += (i ? ", " : "") + std::to_string(s.ports[i]);
        }
        parts.push_back(p + "]");
    }
    if (s.has_ranges) {
        std::string p = "\"match_port_ranges\": [";
        for (size_t i = 0; i < s.ranges.size(); i++) {
            p += (i ? ", " : "") + std::string("{\"start\": ") + std::to_string(s.ranges[i].first) +
                 ", \"end\": " + std::to_string(s.ranges[i].second) + "}";
        }
        parts.push_back(p + "]");
    }
    std::string out = "{";
    for (size_t i = 0; i < parts.size(); i++) {
        out += (i ? ", " : "") + parts[i];
    }
    return out + "}";
}

std::string TableJson(const std::vector<PChain> &chains)
{
    std::string s = "[";
    for (size_t c = 0; c < chains.size(); c++) {
        s += (c ? ",\n " : "") + std::string("{\"chain_name\": \"") + chains[c].name + "\", \"rules\": [";
        for (size_t r = 0; r < chains[c].rules.size(); r++) {
            const PRule &rule = chains[c].rules[r];
            s += (r ? ",\n   " : "\n   ") + std::string("{\"match_src\": ") + SideJson(rule.src) +
                 ", \"match_dst\": " + SideJson(rule.dst) + ", \"protocols\": " + Quoted(rule.protos) +
                 ", \"rule_type\": \"explicit\", \"verdict\": \"" + (rule.block ? "BLOCK" : "ALLOW") +
                 "\", \"id\": \"" + rule.id + "\"}";
        }
        s += "]}";
    }
    return s + "]";
}

class Gen {
public:
    explicit Gen(uint64_t seed) : rng_(seed) {}

    int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool Chance(double p) { return std::bernoulli_distribution(p)(rng_); }
    template <typename T> const T &Pick(const std::vector<T> &v) { return v[static_cast<size_t>(Int(0, static_cast<int>(v.size()) - 1))]; }

    /* Small universes, so that rules overlap and connections land on boundaries. */
    std::string Addr4()
    {
        if (Chance(0.08)) {
            return Pick<std::string>({"0.0.0.0", "255.255.255.255", "192.168.0.1", "9.255.255.255", "11.0.0.0"});
        }
        if (Chance(0.05)) {
            return std::to_string(Int(0, 255)) + "." + std::to_string(Int(0, 255)) + "." + std::to_string(Int(0, 255)) +
                   "." + std::to_string(Int(0, 255));
        }
        return "10." + std::to_string(Pick<int>({0, 1, 2, 3})) + "." + std::to_string(Pick<int>({0, 1, 255})) + "." +
               std::to_string(Pick<int>({0, 1, 2, 3, 127, 128, 254, 255}));
    }
    std::string Addr6()
    {
        if (Chance(0.08)) {
            return Pick<std::string>({"::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "fe80::1", "2001:db7:ffff::"});
        }
        return "2001:db8:" + Pick<std::string>({"0", "1", "2"}) + ":" + Pick<std::string>({"0", "1", "ffff"}) +
               "::" + Pick<std::string>({"0", "1", "2", "ffff"});
    }
    std::string Subnet(bool v6)
    {
        std::string neg = Chance(0.3) ? "!" : "";
        if (v6) {
            return neg + Addr6() + "/" + std::to_string(Pick<int>({0, 16, 32, 47, 48, 49, 64, 112, 127, 128}));
        }
        return neg + Addr4() + "/" + std::to_string(Pick<int>({0, 1, 8, 9, 16, 23, 24, 25, 30, 31, 32}));
    }
    uint16_t Port()
    {
        if (Chance(0.15)) {
            return static_cast<uint16_t>(Int(0, 65535));
        }
        return Pick<uint16_t>({0, 1, 22, 53, 79, 80, 81, 443, 1023, 1024, 8080, 65534, 65535});
    }

    PSide Side()
    {
        PSide s;
        if ((s.has_ip = Chance(0.3))) {
            for (int n = Int(1, 3); n > 0; n--) {
                s.ip.push_back(Chance(0.3) ? Addr6() : Addr4());
            }
        }
        if ((s.has_sub = Chance(0.35))) {
            for (int n = Int(1, 3); n > 0; n--) {
                s.sub.push_back(Subnet(Chance(0.3)));
            }
        }
        if ((s.has_ports = Chance(0.35))) {
            for (int n = Int(1, 3); n > 0; n--) {
                s.ports.push_back(Port());
            }
        }
        if ((s.has_ranges = Chance(0.3))) {
            for (int n = Int(1, 2); n > 0; n--) {
                uint16_t a = Port(), b = Chance(0.2) ? a : Port();
                s.ranges.emplace_back(std::min(a, b), std::max(a, b));
            }
        }
        return s;
    }

    /* Large tables: more and narrower rules (a destination port each), and now and then a
     * catch-all of one protocol or of all three in mid-table. */
    PPolicy Policy(bool large = false)
    {
        PPolicy p;
        int id = 0;
        for (std::vector<PChain> *t : {&p.in, &p.out}) {
            for (int c = large ? Int(2, 5) : Int(0, 3); c > 0; c--) {
                PChain chain;
                chain.name = "c" + std::to_string(t->size());
                for (int r = large ? Int(100, 300) : Int(0, 8); r > 0; r--) {
                    PRule rule;
                    if (large && Chance(0.002)) {
                        rule.protos = Chance(0.8) ? std::vector<std::string>{Pick<std::string>({"tcp", "udp", "icmp"})}
                                                  : std::vector<std::string>{"tcp", "udp", "icmp"};
                        rule.block = Chance(0.5);
                        rule.id = "r" + std::to_string(id++);
                        chain.rules.push_back(std::move(rule));
                        continue;
                    }
                    rule.src = Side();
                    rule.dst = Side();
                    if (large) {
                        if (!rule.dst.has_ports) {
                            rule.dst.has_ports = true;
                            rule.dst.ports = {Port()};
                        }
                        rule.dst.has_ranges = false;
                        rule.dst.ranges.clear();
                    }
                    for (const char *proto : {"tcp", "udp", "icmp"}) {
                        if (Chance(0.55)) {
                            rule.protos.emplace_back(proto);
                        }
                    }
                    if (Chance(0.1)) {
                        rule.protos.emplace_back("all");
                    }
                    rule.block = Chance(0.5);
                    rule.id = "r" + std::to_string(id++);
                    chain.rules.push_back(std::move(rule));
                }
                t->push_back(std::move(chain));
            }
        }
        return p;
    }

    Tuple Connection()
    {
        Tuple t;
        t.inbound = Chance(0.5);
        t.protocol = Pick<std::string>({"tcp", "udp", "icmp"});
        bool v6 = Chance(0.25);
        t.local = v6 ? Addr6() : Addr4();
        t.remote = v6 ? Addr6() : Addr4();
        t.local_port = Port();
        t.remote_port = Port();
        return t;
    }

private:
    std::mt19937_64 rng_;
};

/* ------------------------------------------------------------ reference evaluator */

struct Ref {
    bool block = false;
    std::string id;
    long number = -1;
};

/* Family and bytes of a text address, network order. */
bool Parse(const std::string &text, bool *v6, std::array<uint8_t, 16> *a)
{
    a->fill(0);
    if (inet_pton(AF_INET, text.c_str(), a->data()) == 1) {
        *v6 = false;
        return true;
    }
    *v6 = true;
    return inet_pton(AF_INET6, text.c_str(), a->data()) == 1;
}

bool PrefixCovers(const std::array<uint8_t, 16> &net, const std::array<uint8_t, 16> &a, int prefix)
{
    for (int bit = 0; bit < prefix; bit++) {
        int shift = 7 - bit % 8;
        if (((net[bit / 8] >> shift) & 1) != ((a[bit / 8] >> shift) & 1)) {
            return false;
        }
    }
    return true;
}

bool RefAddress(const EntityMatch *e, bool v6, const std::array<uint8_t, 16> &a)
{
    if (!e->has_match_multiple_subnets && !e->has_match_ip_hash) {
        return true;
    }
    bool pos = false;
    for (const strList *l = e->has_match_ip_hash ? e->match_ip_hash : nullptr; l; l = l->next) {
        bool fam;
        std::array<uint8_t, 16> x;
        if (Parse(l->value, &fam, &x) && fam == v6 && x == a) {
            pos = true;
        }
    }
    for (const strList *l = e->has_match_multiple_subnets ? e->match_multiple_subnets : nullptr; l; l = l->next) {
        std::string text = l->value;
        bool neg = !text.empty() && text[0] == '!';
        if (neg) {
            text.erase(0, 1);
        }
        size_t slash = text.find('/');
        bool fam;
        std::array<uint8_t, 16> net;
        if (slash == std::string::npos || !Parse(text.substr(0, slash), &fam, &net) || fam != v6) {
            continue;
        }
        if (PrefixCovers(net, a, std::atoi(text.c_str() + slash + 1))) {
            if (neg) {
                return false;
            }
            pos = true;
        }
    }
    return pos;
}

bool RefPort(const EntityMatch *d, uint16_t p)
{
    if (!d->has_match_ports && !d->has_match_port_ranges) {
        return true;
    }
    for (const uint16List *l = d->has_match_ports ? d->match_ports : nullptr; l; l = l->next) {
        if (l->value == p) {
            return true;
        }
    }
    for (const PortRangeMatchList *l = d->has_match_port_ranges ? d->match_port_ranges : nullptr; l; l = l->next) {
        if (l->value->start <= p && p <= l->value->end) {
            return true;
        }
    }
    return false;
}

Ref RefClassify(const EnforcementChainList *in, const EnforcementChainList *out, const Tuple &t)
{
    bool v6;
    std::array<uint8_t, 16> local, remote;
    Parse(t.local, &v6, &local);
    Parse(t.remote, &v6, &remote);
    const auto &src = t.inbound ? remote : local;
    const auto &dst = t.inbound ? local : remote;
    IpProtocol proto = t.protocol == "tcp" ? IP_PROTOCOL_TCP : t.protocol == "udp" ? IP_PROTOCOL_UDP : IP_PROTOCOL_ICMP;
    uint16_t dport = proto == IP_PROTOCOL_ICMP ? 0 : t.inbound ? t.local_port : t.remote_port;
    Ref ref;
    long number = 0;
    for (const EnforcementChainList *c = t.inbound ? in : out; c; c = c->next) {
        for (const EnforcementRuleList *r = c->value->rules; r; r = r->next, number++) {
            const EnforcementRule *rule = r->value;
            bool has_proto = false;
            for (const IpProtocolList *p = rule->protocols; p; p = p->next) {
                has_proto |= p->value == proto;
            }
            if (has_proto && RefPort(rule->match_dst, dport) && RefAddress(rule->match_src, v6, src) &&
                RefAddress(rule->match_dst, v6, dst)) {
                ref.block = rule->verdict == RULE_VERDICT_BLOCK;
                ref.id = rule->id;
                ref.number = number;
                return ref;
            }
        }
    }
    return ref;
}

std::string Describe(const Tuple &t)
{
    std::ostringstream s;
    auto endpoint = [](const std::string &a, uint16_t p) {
        return a.find(':') != std::string::npos ? "[" + a + "]:" + std::to_string(p) : a + ":" + std::to_string(p);
    };
    s << (t.inbound ? "in " : "out ") << t.protocol << " local " << endpoint(t.local, t.local_port) << " remote "
      << endpoint(t.remote, t.remote_port);
    return s.str();
}

class ClassifyProperty : public ClassifyTest {
protected:
    /* Pushes p and compares one connection; the difference in words, or "". */
    std::string Disagreement(const PPolicy &p, const Tuple &t)
    {
        TablePtr in = ParseTable(TableJson(p.in)), out = ParseTable(TableJson(p.out));
        std::string why;
        if (!PushTyped(in.get(), out.get(), &why)) {
            return "push failed: " + why;
        }
        return Compare(in.get(), out.get(), t);
    }

    std::string Compare(const EnforcementChainList *in, const EnforcementChainList *out, const Tuple &t)
    {
        Ref ref = RefClassify(in, out, t);
        endr_verdict v = Classify(t);
        if ((v.verdict == 1) == ref.block && ref.id == v.rule_id && ref.number == v.rule_number) {
            return "";
        }
        std::ostringstream s;
        s << "driver " << (v.verdict == 1 ? "BLOCK" : "ALLOW") << " '" << v.rule_id << "' #" << v.rule_number
          << " (candidates " << v.candidates << "), reference " << (ref.block ? "BLOCK" : "ALLOW") << " '" << ref.id
          << "' #" << ref.number;
        return s.str();
    }

    /* Drops chains, rules and criteria while the disagreement stays. */
    PPolicy Shrink(PPolicy p, const Tuple &t)
    {
        bool progress = true;
        auto keep_if_failing = [&](const PPolicy &candidate) {
            std::string d = Disagreement(candidate, t);
            if (!d.empty() && d.rfind("push failed", 0) != 0) {
                p = candidate;
                progress = true;
                return true;
            }
            return false;
        };
        while (progress) {
            progress = false;
            for (int table = 0; table < 2; table++) {
                auto chains = [&](PPolicy &q) -> std::vector<PChain> & { return table ? q.out : q.in; };
                for (size_t c = 0; c < chains(p).size(); c++) {
                    PPolicy q = p;
                    chains(q).erase(chains(q).begin() + static_cast<long>(c));
                    if (keep_if_failing(q)) {
                        c--;
                        continue;
                    }
                    for (size_t r = 0; r < chains(p)[c].rules.size(); r++) {
                        q = p;
                        auto &rules = chains(q)[c].rules;
                        rules.erase(rules.begin() + static_cast<long>(r));
                        if (keep_if_failing(q)) {
                            r--;
                            continue;
                        }
                        for (int side = 0; side < 2; side++) {
                            /* Single address entries first, then whole criteria. */
                            for (int list = 0; list < 2; list++) {
                                for (size_t k = 0;; k++) {
                                    q = p;
                                    PRule &rule = chains(q)[c].rules[r];
                                    PSide &s = side ? rule.dst : rule.src;
                                    std::vector<std::string> &v = list ? s.ip : s.sub;
                                    if (k >= v.size() || v.size() < 2) {
                                        break;
                                    }
                                    v.erase(v.begin() + static_cast<long>(k));
                                    if (keep_if_failing(q)) {
                                        k--;
                                    }
                                }
                            }
                            for (int field = 0; field < 4; field++) {
                                q = p;
                                PRule &rule = chains(q)[c].rules[r];
                                PSide &s = side ? rule.dst : rule.src;
                                bool *flag[] = {&s.has_sub, &s.has_ip, &s.has_ports, &s.has_ranges};
                                if (*flag[field]) {
                                    *flag[field] = false;
                                    keep_if_failing(q);
                                }
                            }
                        }
                    }
                }
            }
        }
        return p;
    }
};

TEST_F(ClassifyProperty, DriverAgreesWithReferenceEvaluator)
{
    int policies = 100;
    const int per_policy = 1000;
    if (const char *n = getenv("HV_CLASSIFY_LONG")) {
        policies = std::max(1, atoi(n));
    }
    uint64_t seed = 20261206;
    if (const char *s = getenv("HV_CLASSIFY_SEED")) {
        seed = strtoull(s, nullptr, 0);
    }
    Gen gen(seed);
    uint64_t compared = 0, matched = 0;
    for (int i = 0; i < policies; i++) {
        PPolicy p = gen.Policy();
        TablePtr in = ParseTable(TableJson(p.in)), out = ParseTable(TableJson(p.out));
        std::string why;
        ASSERT_TRUE(PushTyped(in.get(), out.get(), &why)) << why << "\ninput: " << TableJson(p.in)
                                                          << "\noutput: " << TableJson(p.out);
        for (int k = 0; k < per_policy; k++) {
            Tuple t = gen.Connection();
            std::string diff = Compare(in.get(), out.get(), t);
            compared++;
            matched += RefClassify(in.get(), out.get(), t).number >= 0;
            if (!diff.empty()) {
                PPolicy small = Shrink(p, t);
                FAIL() << "seed " << seed << ", policy " << i << ": " << Disagreement(small, t) << "\nconnection: "
                       << Describe(t) << "\nminimal input table: " << TableJson(small.in)
                       << "\nminimal output table: " << TableJson(small.out);
            }
        }
    }
    EXPECT_GE(compared, 100000u * static_cast<uint64_t>(policies) / 100);
    /* The generator must keep producing both outcomes, or the comparison proves little. */
    EXPECT_GT(matched, compared / 10);
    EXPECT_LT(matched, compared - compared / 10);
}

/* Tables of hundreds of rules, where the driver's search runs over many words of its
 * vectors, skips empty ones and goes on past candidates whose rule buffer fails (IPv6
 * addresses); each connection is also classified with every candidate counted. */
TEST_F(ClassifyProperty, LargeTablesAgreeWithReference)
{
    Gen gen(20261207);
    uint64_t compared = 0, matched = 0, deep = 0;
    for (int i = 0; i < 3; i++) {
        PPolicy p = gen.Policy(true);
        TablePtr in = ParseTable(TableJson(p.in)), out = ParseTable(TableJson(p.out));
        std::string why;
        ASSERT_TRUE(PushTyped(in.get(), out.get(), &why)) << why;
        for (int k = 0; k < 1500; k++) {
            Tuple t = gen.Connection();
            if (gen.Chance(0.25)) {
                /* Ports no rule names: only a catch-all, if any, takes these. */
                t.local_port = static_cast<uint16_t>(gen.Int(0, 65535));
                t.remote_port = static_cast<uint16_t>(gen.Int(0, 65535));
            }
            Ref ref = RefClassify(in.get(), out.get(), t);
            endr_verdict fast = Classify(t);
            endr_verdict counted = Classify(t, true);
            ASSERT_EQ(fast.rule_number, ref.number) << "policy " << i << ": " << Describe(t);
            ASSERT_EQ(fast.rule_id, ref.id) << Describe(t);
            ASSERT_EQ(fast.verdict == 1, ref.block) << Describe(t);
            ASSERT_EQ(counted.rule_number, ref.number) << Describe(t);
            EXPECT_EQ(fast.candidates, 0u);
            compared++;
            matched += ref.number >= 0;
            deep += ref.number >= 128;
        }
    }
    EXPECT_GT(matched, compared / 10);
    EXPECT_LT(matched, compared - compared / 10);
    EXPECT_GT(deep, compared / 20);
}

/* The shrinker and reference are only trusted if they catch a planted fault. */
TEST_F(ClassifyProperty, ReferenceNoticesAWrongPolicy)
{
    PPolicy p;
    PRule rule;
    rule.dst.has_ranges = true;
    rule.dst.ranges = {{80, 90}};
    rule.protos = {"tcp"};
    rule.block = true;
    rule.id = "x";
    PRule filler = rule;
    filler.id = "y";
    filler.dst.ranges = {{1, 2}};
    p.out.push_back(PChain{"c", {filler, rule}});
    Tuple t = Out("tcp", "10.0.0.1", 1, "10.0.0.2", 85);
    EXPECT_EQ(Disagreement(p, t), "");
    /* Load a policy whose port range differs from the one the reference reads. */
    PPolicy loaded = p;
    loaded.out[0].rules[1].dst.ranges = {{86, 90}};
    TablePtr in = ParseTable(TableJson(p.in)), out = ParseTable(TableJson(p.out));
    ASSERT_TRUE(Push(TableJson(loaded.in), TableJson(loaded.out)));
    EXPECT_NE(Compare(in.get(), out.get(), t), "");
}

} // namespace
