/* Classification by the criteria the property test does not generate (ICMP types, processes,
 * DNS names, lid replies), decoding refusals, injected records and the hv-endr classify
 * command line. */
#include <glib.h>
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "classify-fixture.h"
#include "enforcement/driver-daemon/endr-engine.h"
#include "enforcement/driver-daemon/endr-policy.h"
#include "enforcement/framework/agent/en-index.h"
#include "qobject/qdict.h"
#include "qobject/qjson.h"
#include "qobject/qstring.h"

namespace {

std::string Rule(const std::string &id, const std::string &verdict, const std::string &protos, const std::string &src,
                 const std::string &dst)
{
    return R"({"match_src": )" + src + R"(, "match_dst": )" + dst + R"(, "protocols": )" + protos +
           R"(, "rule_type": "explicit", "verdict": ")" + verdict + R"(", "id": ")" + id + R"("})";
}

/* "[a, b, ...]": a table of chains, or the rules of a chain. */
std::string Table(const std::vector<std::string> &items)
{
    std::string s = "[";
    for (size_t i = 0; i < items.size(); i++) {
        s += (i ? ", " : "") + items[i];
    }
    return s + "]";
}

std::string Chain(const std::string &name, const std::vector<std::string> &rules)
{
    return R"({"chain_name": ")" + name + R"(", "rules": )" + Table(rules) + "}";
}

TEST_F(ClassifyTest, IcmpTypesAndCodes)
{
    std::string out = Table({Chain(
        "c", {Rule("echo4", "BLOCK", R"(["icmp"])", "{}", R"({"match_icmp_types": [{"ver": "4", "type": 8, "codes": []}]})"),
              Rule("unreach", "BLOCK", R"(["icmp"])", "{}",
                   R"({"match_icmp_types": [{"ver": "4", "type": 3, "codes": [1, 3]}]})"),
              Rule("echo6", "ALLOW", R"(["icmp"])", "{}", R"({"match_icmp_types": [{"ver": "6", "type": 128, "codes": []}]})"),
              Rule("port", "BLOCK", R"(["icmp"])", "{}", R"({"match_ports": [0]})")})});
    ASSERT_TRUE(Push("[]", out));
    Tuple t = Out("icmp", "10.0.0.1", 0, "10.0.0.2", 0);
    t.icmp_type = 8;
    EXPECT_EQ(Decide(t), "BLOCK:echo4");
    t.icmp_type = 3;
    t.icmp_code = 3;
    EXPECT_EQ(Decide(t), "BLOCK:unreach");
    t.icmp_code = 2;
    EXPECT_EQ(Decide(t), "BLOCK:port");
    /* ICMP looks up port 0 whatever ports the tuple carries. */
    t.remote_port = 443;
    EXPECT_EQ(Decide(t), "BLOCK:port");
    Tuple v6 = Out("icmp", "2001:db8::1", 0, "2001:db8::2", 0);
    v6.icmp_type = 128;
    EXPECT_EQ(Decide(v6), "ALLOW:echo6");
    v6.icmp_type = 8;
    EXPECT_EQ(Decide(v6), "BLOCK:port");
    /* An ICMP entry never matches TCP. */
    ASSERT_TRUE(Push("[]", Table({Chain("c", {Rule("x", "BLOCK", R"(["tcp"])", "{}",
                                                    R"({"match_icmp_types": [{"ver": "4", "type": 8, "codes": []}]})")})})));
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.1", 1, "10.0.0.2", 2)), "ALLOW:");
}

TEST_F(ClassifyTest, ProcessLidsOnTheLocalSideAndDnsOnTheRemoteSide)
{
    std::string out = Table({Chain(
        "c", {Rule("curl", "BLOCK", R"(["tcp"])", R"({"match_processes": [{"image_basename": "curl"}]})", "{}"),
              Rule("remote-proc", "BLOCK", R"(["tcp"])", "{}", R"({"match_processes": [{"image_basename": "curl"}]})"),
              Rule("name", "BLOCK", R"(["tcp"])", "{}", R"({"match_dns_list": ["Example.Test"]})")})});
    ASSERT_TRUE(Push("[]", out));
    uint16_t lid = 0;
    ASSERT_TRUE(en_lid_map_add("curl", nullptr, nullptr, &lid));
    ASSERT_GE(lid, 10);
    Tuple t = Out("tcp", "10.0.0.1", 1, "10.0.0.2", 443);
    EXPECT_EQ(Decide(t), "ALLOW:");
    t.lids = {1, static_cast<uint16_t>(lid + 1)};
    EXPECT_EQ(Decide(t), "ALLOW:");
    t.lids = {1, lid};
    EXPECT_EQ(Decide(t), "BLOCK:curl");
    t.lids.clear();
    t.dns = "example.test.";
    EXPECT_EQ(Decide(t), "BLOCK:name");
    t.dns = "example.tes";
    EXPECT_EQ(Decide(t), "ALLOW:");
    /* Inbound the local side is the destination. */
    Tuple in = In("tcp", "10.0.0.1", 443, "10.0.0.2", 1);
    in.lids = {lid};
    ASSERT_TRUE(Push(out, "[]"));
    EXPECT_EQ(Decide(in), "BLOCK:remote-proc");
    in.lids.clear();
    in.dns = "example.test";
    /* The name belongs to the remote endpoint, the source inbound: rule "name" is on dst. */
    EXPECT_EQ(Decide(in), "ALLOW:");
}

TEST_F(ClassifyTest, LidsComeFromTheRecordedLidReplyOfThePid)
{
    ASSERT_TRUE(Push("[]", Table({Chain("c", {Rule("curl", "BLOCK", R"(["tcp"])",
                                                    R"({"match_processes": [{"image_basename": "curl"}]})", "{}")})})));
    uint16_t lid = 0;
    ASSERT_TRUE(en_lid_map_add("curl", nullptr, nullptr, &lid));
    /* Ended processes: their last replies stand, nothing asks for newer ones. */
    const uint64_t curl = hvtest::ExitedPid(), cut = hvtest::ExitedPid();
    {
        endr::Engine &e = endr::engine();
        std::lock_guard<std::mutex> g(e.mu);
        e.lid_replies[curl] = endr::LidReply{curl, 7, 2, {1, lid}, false};
        /* Only the reply's first count lids belong to the process. */
        e.lid_replies[cut] = endr::LidReply{cut, 7, 1, {1, lid}, false};
    }
    endr_connection c{};
    c.protocol = 0;
    inet_pton(AF_INET, "10.0.0.1", c.local);
    inet_pton(AF_INET, "10.0.0.2", c.remote);
    endr_verdict v{};
    for (auto [pid, rule] : {std::pair<uint64_t, const char *>{curl, "curl"}, {cut, ""}, {1, ""}}) {
        c.pid = pid;
        ASSERT_EQ(endr_classify(&c, &v), 0u);
        EXPECT_STREQ(v.rule_id, rule) << pid;
    }
    c.lid_count = 9;
    EXPECT_EQ(endr_classify(&c, &v), 87u);
}

/* ------------------------------------------------------------ decoding refusals */

std::vector<uint8_t> BuiltRule(const std::string &json)
{
    RulePtr rule = ParseRule(json);
    en_rule_caps_t caps{true, true};
    uint8_t *buf = nullptr;
    size_t len = 0;
    Error *err = nullptr;
    EXPECT_TRUE(en_rule_build("OUTPUT", "c", rule.get(), &caps, &buf, &len, &err));
    error_free(err);
    std::vector<uint8_t> v(buf, buf + len);
    g_free(buf);
    return v;
}

TEST(ClassifyDecode, EveryCriterionKindRoundTripsAndEveryTruncationFails)
{
    ASSERT_TRUE(en_lid_map_init());
    std::vector<uint8_t> b = BuiltRule(Rule(
        "full", "BLOCK", R"(["tcp"])",
        R"({"match_multiple_subnets": ["!2001:db8::/32", "10.0.0.0/8"], "match_ip_hash": ["fe80::1"],
            "match_processes": [{"image_basename": "a"}, {"image_path": "/b"}], "match_dns_list": ["x.test"],
            "match_groups": {"local_users": true, "local_admins": false, "domain_groups": [{"sid": "S-1-5-32-544", "gname": "g"}]}})",
        R"({"match_win_services": [{"service_name": "svc", "service_image_names": ["/s"]}],
            "match_icmp_types": [{"ver": "6", "type": 1, "codes": [4]}]})"));
    en_lid_map_free();
    endr::DecodedRule r;
    ASSERT_EQ(endr::decode_rule(b, &r), 0u);
    /* Addresses, processes and names are read back by the classification tests; groups and
     * services are decoded but not evaluated, so only this reads them. */
    EXPECT_EQ(r.src.lids.size(), 2u);
    ASSERT_EQ(r.src.sids.size(), 1u);
    EXPECT_EQ(r.src.sids[0].subauths, (std::vector<uint32_t>{32, 544}));
    EXPECT_TRUE(r.src.local_users);
    EXPECT_FALSE(r.src.local_admins);
    ASSERT_EQ(r.dst.services.size(), 1u);
    EXPECT_EQ(r.dst.services[0].name, "svc");
    EXPECT_EQ(r.dst.services[0].image_lids.size(), 1u);
    ASSERT_EQ(r.dst.icmp.size(), 1u);
    EXPECT_FALSE(r.dst.icmp[0].v4);
    EXPECT_TRUE(r.dst.icmp[0].has_code);
    EXPECT_EQ(r.dst.icmp[0].code, 4);

    /* Cutting a byte out anywhere in the entities must break the count walk. */
    for (size_t cut = 0; cut + 144 < b.size(); cut++) {
        std::vector<uint8_t> shorter = b;
        shorter.erase(shorter.begin() + static_cast<long>(cut));
        EXPECT_EQ(endr::decode_rule(shorter, &r), 87u) << "byte " << cut;
    }
    std::vector<uint8_t> longer = b;
    longer.insert(longer.begin() + static_cast<long>(b.size() - 144), 0);
    EXPECT_NE(endr::decode_rule(longer, &r), 0u);
}

TEST(ClassifyDecode, BadCountsFlagsAndTrailersFail)
{
    std::vector<uint8_t> b(222, 0);
    b[222 - 144 + 8] = 2;
    endr::DecodedRule r;
    ASSERT_EQ(endr::decode_rule(b, &r), 0u);
    auto mutated = [&](size_t off, uint8_t v) {
        std::vector<uint8_t> m = b;
        m[off] = v;
        return endr::decode_rule(m, &r);
    };
    EXPECT_NE(mutated(0, 2), 0u) << "flag must be 0 or 1";
    EXPECT_NE(mutated(1, 1), 0u) << "a subnet count with no subnets";
    EXPECT_NE(mutated(4, 0x80), 0u) << "a huge count";
    EXPECT_NE(mutated(37, 1), 0u) << "container entries";
    EXPECT_NE(mutated(39 + 1, 1), 0u) << "destination subnet count";
    EXPECT_NE(mutated(222 - 144, 3), 0u) << "rule type";
    EXPECT_NE(mutated(222 - 144 + 8, 0), 0u) << "verdict";
    std::vector<uint8_t> no_nul = b;
    std::fill(no_nul.end() - 128, no_nul.end(), 'a');
    EXPECT_NE(endr::decode_rule(no_nul, &r), 0u);
    EXPECT_NE(endr::decode_rule(std::span<const uint8_t>(b.data(), 221), &r), 0u);
}

TEST(ClassifyDecode, IndexLayoutMustAddUp)
{
    TablePtr table = ParseTable(Table({Chain("c", {Rule("a", "ALLOW", R"(["tcp"])",
                                                        R"({"match_multiple_subnets": ["10.0.0.0/8"]})",
                                                        R"({"match_ports": [80]})")})}));
    uint8_t *buf = nullptr;
    size_t len = 0;
    ASSERT_TRUE(en_convert_single_index(table.get(), 1000, nullptr, &buf, &len, nullptr));
    std::vector<uint8_t> b(buf, buf + len);
    g_free(buf);
    endr::DecodedIndex idx;
    ASSERT_EQ(endr::decode_index(b, &idx), 0u);
    for (size_t n = 0; n < b.size(); n++) {
        EXPECT_EQ(endr::decode_index(std::span<const uint8_t>(b.data(), n), &idx), 87u) << n;
    }
    std::vector<uint8_t> longer = b;
    longer.push_back(0);
    EXPECT_NE(endr::decode_index(longer, &idx), 0u);
    /* The first port region must start at 0: offset of the port starts after the header,
     * N vectors of one word and the three protocol numbers. */
    uint32_t bag = 0;
    memcpy(&bag, b.data(), 4);
    size_t port_starts = 8 + 8 * bag + 12 + 4;
    std::vector<uint8_t> shifted = b;
    shifted[port_starts] = 1;
    EXPECT_NE(endr::decode_index(shifted, &idx), 0u);
    std::vector<uint8_t> bad_bag = b;
    bad_bag[8 + 8 * bag] = static_cast<uint8_t>(bag);
    EXPECT_NE(endr::decode_index(bad_bag, &idx), 0u);
}

/* ------------------------------------------------------------ injected records */

TEST_F(ClassifyTest, InjectedConnectionCarriesTheClassifiedVerdict)
{
    ASSERT_TRUE(Push("[]", Table({Chain("c", {Rule("blk", "BLOCK", R"(["udp"])", "{}", R"({"match_ports": [53]})")})})));
    auto inject = [](const std::string &extra) {
        std::string req = R"({"command": "inject-connection", "direction": "out", "protocol": "udp",
            "local": "10.0.0.1", "remote": "10.0.0.2", "local-port": 999)" + extra + "}";
        char *reply = endr_control_request(req.c_str(), req.size());
        std::string r = reply;
        g_free(reply);
        return r;
    };
    auto last_record = [] {
        endr::Engine &e = endr::engine();
        std::lock_guard<std::mutex> g(e.mu);
        return e.connections.empty() ? std::vector<uint8_t>{} : e.connections.back();
    };
    std::string r = inject(R"(, "remote-port": 53)");
    EXPECT_NE(r.find("\"BLOCK\""), std::string::npos) << r;
    std::vector<uint8_t> rec = last_record();
    ASSERT_EQ(rec.size(), 1852u);
    EXPECT_EQ(rec[84], 1);
    EXPECT_STREQ(reinterpret_cast<const char *>(rec.data() + 100), "blk");
    /* The full revision the push set: policy revision in the upper half, DC inventory in the lower. */
    uint32_t policy_revision = 0, dc_revision = 0;
    memcpy(&policy_revision, rec.data() + 96, 4);
    memcpy(&dc_revision, rec.data() + 92, 4);
    EXPECT_EQ(policy_revision, static_cast<uint32_t>(revision_ >> 32));
    EXPECT_EQ(dc_revision, static_cast<uint32_t>(revision_));
    inject(R"(, "remote-port": 54)");
    rec = last_record();
    EXPECT_EQ(rec[84], 2);
    EXPECT_STREQ(reinterpret_cast<const char *>(rec.data() + 100), "");
    /* A forced verdict still travels unchanged. */
    inject(R"(, "remote-port": 53, "verdict": "ALLOW", "rule-id": "forced")");
    rec = last_record();
    EXPECT_EQ(rec[84], 2);
    EXPECT_STREQ(reinterpret_cast<const char *>(rec.data() + 100), "forced");
}

/* ------------------------------------------------------------ command line */

std::vector<std::string> RunEndr(std::vector<std::string> args, int *status)
{
    args.insert(args.begin(), HV_ENDR);
    hvtest::Outcome run = hvtest::RunProgram(args);
    *status = run.exit_code;
    /* Split by hand: g_strsplit is quadratic under the sanitizer's strstr. */
    std::vector<std::string> lines;
    for (size_t at = 0; at < run.out.size();) {
        size_t nl = std::min(run.out.find('\n', at), run.out.size());
        if (nl > at) {
            lines.push_back(run.out.substr(at, nl - at));
        }
        at = nl + 1;
    }
    return lines;
}

std::string Member(const std::string &json, const char *key)
{
    QObject *o = qobject_from_json(json.c_str(), nullptr);
    QDict *d = o ? qobject_to_qdict(o) : nullptr;
    std::string v = "<missing>";
    if (d && qdict_get(d, key)) {
        QString *s = qobject_to_json(qdict_get(d, key));
        v = qstring_get_str(s);
        qobject_decref(QOBJECT(s));
    }
    if (o) {
        qobject_decref(o);
    }
    return v;
}

TEST_F(ClassifyTest, CommandLineSingleAndBatch)
{
    ASSERT_TRUE(Push(Table({Chain("i", {Rule("v6", "BLOCK", R"(["tcp"])", R"({"match_multiple_subnets": ["2001:db8::/32"]})",
                                             R"({"match_ports": [443]})")})}),
                     Table({Chain("o", {Rule("p", "ALLOW", R"(["udp"])", "{}", R"({"match_port_ranges": [{"start": 5, "end": 9}]})"),
                                        Rule("ic", "BLOCK", R"(["icmp"])", "{}",
                                             R"({"match_icmp_types": [{"ver": "4", "type": 3, "codes": [1]}]})")})})));
    std::string address = std::string("ipc://") + dir_ + "/endr.ipc";
    int status = -1;
    std::vector<std::string> l = RunEndr({"--address", address, "classify", "--direction", "in", "--protocol", "tcp",
                                          "--local", "[fe80::1]:443", "--remote", "[2001:db8::9]:5000"},
                                         &status);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(Member(l[0], "verdict"), "\"BLOCK\"");
    EXPECT_EQ(Member(l[0], "rule-id"), "\"v6\"");
    EXPECT_EQ(Member(l[0], "rule-number"), "0");
    EXPECT_EQ(Member(l[0], "candidates"), "1");
    l = RunEndr({"--address", address, "classify", "--direction", "out", "--protocol", "icmp", "--local", "10.0.0.1",
                 "--remote", "10.0.0.2", "--icmp", "3/1"},
                &status);
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(Member(l[0], "rule-id"), "\"ic\"");
    EXPECT_EQ(Member(l[0], "rule-number"), "1");
    l = RunEndr({"--address", address, "classify", "--direction", "out", "--protocol", "icmp", "--local", "10.0.0.1",
                 "--remote", "10.0.0.2", "--icmp", "3/2"},
                &status);
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(Member(l[0], "rule-number"), "-1");
    EXPECT_EQ(Member(l[0], "rule-id"), "\"\"");
    RunEndr({"--address", address, "classify", "--direction", "out", "--protocol", "tcp", "--local", "10.0.0.1",
             "--remote", "10.0.0.2", "--icmp", "300"},
            &status);
    EXPECT_EQ(status, 1);

    std::string batch = dir_ + "/batch.jsonl";
    std::string text;
    std::vector<std::string> expected;
    for (int i = 0; i < 3000; i++) {
        int port = i % 12;
        text += R"({"direction": "out", "protocol": "udp", "local": "10.0.0.1", "remote": "10.0.0.2", "local-port": 1, "remote-port": )" +
                std::to_string(port) + "}\n";
        expected.push_back(port >= 5 && port <= 9 ? "\"p\"" : "\"\"");
        if (i == 1500) {
            text += "not json\n";
            expected.push_back("error");
        }
    }
    ASSERT_TRUE(g_file_set_contents(batch.c_str(), text.c_str(), -1, nullptr));
    l = RunEndr({"--address", address, "classify", "--batch", batch}, &status);
    EXPECT_EQ(status, 1);
    ASSERT_EQ(l.size(), expected.size());
    for (size_t i = 0; i < l.size(); i++) {
        if (expected[i] == "error") {
            EXPECT_NE(Member(l[i], "error"), "<missing>") << l[i];
        } else {
            ASSERT_EQ(Member(l[i], "rule-id"), expected[i]) << "line " << i << ": " << l[i];
        }
    }
}

} // namespace
