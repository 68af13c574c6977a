/* Entity, rule and chain buffers built without a driver, compared byte for byte with
 * layouts written out here. */
#include <glib.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "en-rules-helpers.h"
#include "enforcement/framework/agent/en-lid-map.h"
#include "enforcement/framework/agent/en-rules.h"

namespace {

constexpr en_rule_caps_t kAllCaps{true, true};

class EnRulesTest : public hvtest::LoggingTest {
protected:
    void SetUp() override
    {
        hvtest::LoggingTest::SetUp();
        ASSERT_TRUE(en_lid_map_init());
        en_lid_map_reset();
    }
    void TearDown() override
    {
        en_lid_map_free();
        hvtest::LoggingTest::TearDown();
    }

    /* What a builder gave: its bytes, or none and its error text in *error. */
    template <typename Build>
    static std::vector<uint8_t> Built(Build build, std::string *error)
    {
        uint8_t *buf = nullptr;
        size_t len = 0;
        Error *err = nullptr;
        bool ok = build(&buf, &len, &err);
        std::string msg = TakeMessage(err);
        if (error) {
            *error = msg;
        }
        EXPECT_EQ(ok, msg.empty()) << msg;
        std::vector<uint8_t> out = ok ? ToVec(buf, len) : std::vector<uint8_t>{};
        g_free(buf);
        return out;
    }

    static std::vector<uint8_t> Entity(const std::string &json, std::string *error = nullptr,
                                       const en_rule_caps_t &caps = kAllCaps)
    {
        RulePtr rule = MakeRule(json);
        EXPECT_NE(rule, nullptr);
        return Built([&](uint8_t **b, size_t *l, Error **e) { return en_entity_build(rule->match_src, &caps, b, l, e); },
                     error);
    }

    static std::string EntityError(const std::string &json, const en_rule_caps_t &caps = kAllCaps)
    {
        std::string error;
        EXPECT_TRUE(Entity(json, &error, caps).empty());
        return error;
    }

    static std::vector<uint8_t> Rule(const RulePtr &rule, std::string *error = nullptr)
    {
        return Built([&](uint8_t **b, size_t *l, Error **e) {
            return en_rule_build("INPUT", "c", rule.get(), &kAllCaps, b, l, e);
        }, error);
    }

    static std::string RuleError(const RulePtr &rule)
    {
        std::string error;
        EXPECT_TRUE(Rule(rule, &error).empty());
        return error;
    }
};

/* The empty entity (39 zero bytes) and the trailer are laid out in the driver test's table. */
TEST_F(EnRulesTest, EveryCriterionKindLaidOut)
{
    std::string src = R"({
        "match_multiple_subnets": ["10.0.0.0/8", "!2001:db8::/32", "fe80::1/70"],
        "match_ip_hash": ["1.2.3.4", "2001:db8::5"],
        "match_ports": [80], "match_port_ranges": [{"start": 1, "end": 2}],
        "match_processes": [{"image_basename": "a", "image_path": "/usr/bin/a"}, {"image_basename": "b"},
                            {"image_basename": "a", "image_path": "/usr/bin/a"}],
        "match_dns_list": ["a.example", "bb"],
        "match_groups": {"domain_groups": [{"sid": "S-1-5-32-544", "gname": "x"},
                                           {"sid": "S-1-5-21-1-4294967295", "gname": "y"}],
                         "local_admins": false, "local_users": true},
        "match_icmp_types": [{"ver": "6", "type": 128, "codes": []}, {"ver": "4", "type": 3, "codes": [1, 13]}],
        "match_win_services": [{"service_name": "Svc", "service_image_names": ["/usr/sbin/svc", "/usr/bin/a"]}]
    })";
    Bytes e;
    e.u8(1).u32(2);
    e.u8(1).u8(0).raw({0x20, 0x01, 0x0d, 0xb8}).zeros(12).u8(0).raw({0xff, 0xff, 0xff, 0xff}).zeros(12);
    e.u8(0).u8(0).raw({0xfe, 0x80}).zeros(13).raw({0x01});
    e.u8(0).raw({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfc}).zeros(7);
    e.u8(1).u32(1).u8(0).raw({0x20, 0x01, 0x0d, 0xb8}).zeros(11).raw({0x05});
    e.u8(1).u32(3).u16(10).u16(11).u16(10);
    e.u8(1).u32(2).u16(10).cstr("a.example").u16(3).cstr("bb");
    e.u8(1).u32(2).u8(2).u32(32).u32(544).u8(3).u32(21).u32(1).u32(0xffffffff).u8(1).u8(0);
    e.u8(1).u8(0).u32(1).u16(4).cstr("Svc").u32(2).u16(12).u16(13);
    e.u8(1).u32(3).raw({0, 128, 0, 0, 1, 3, 1, 1, 1, 3, 1, 13});
    e.u8(0).u16(0);
    EXPECT_EQ(Entity(src), e.vec());
}

TEST_F(EnRulesTest, SmallLayoutsFromEdgeCases)
{
    EXPECT_EQ(Entity(R"({"match_groups": {"local_admins": true, "local_users": false}})"),
              Bytes().zeros(20).u8(1).u32(0).u8(0).u8(1).zeros(14).vec());
    EXPECT_EQ(Entity(R"({"match_win_any_services": true})"), Bytes().zeros(25).u8(0).u8(1).u32(0).zeros(8).vec());
    EXPECT_EQ(Entity(R"({"match_win_any_services": false})"), Bytes().zeros(39).vec());
}

/* The values of every type and verdict are laid out in the driver test's table. */
TEST_F(EnRulesTest, MissingOrUnknownTypeAndVerdictAreRefused)
{
    EXPECT_EQ(RuleError(MakeRule("{}", "{}", "r9", R"("verdict": "BLOCK")")), "[rule] no type for rule 'r9'");
    RulePtr bad_type = MakeRule("{}", "{}", "r8");
    bad_type->rule_type = static_cast<RuleType>(7);
    EXPECT_EQ(RuleError(bad_type), "[rule] invalid rule type value for rule 'r8': 7");
    RulePtr bad_verdict = MakeRule("{}", "{}", "r7");
    bad_verdict->verdict = static_cast<RuleVerdict>(5);
    EXPECT_EQ(RuleError(bad_verdict), "[rule] invalid verdict value for rule 'r7': 5");
}

TEST_F(EnRulesTest, RuleIdLimit)
{
    std::string id127(127, 'i');
    std::vector<uint8_t> got = Rule(MakeRule("{}", "{}", id127));
    ASSERT_EQ(got.size(), 222u);
    EXPECT_EQ(std::string(got.begin() + 94, got.begin() + 221), id127);
    EXPECT_EQ(got[221], 0);

    std::string id128(128, 'i');
    EXPECT_EQ(RuleError(MakeRule("{}", "{}", id128)), "[api] rule ID is too long (128 is greater than 128): " + id128);
    EXPECT_TRUE(Logged(G_LOG_LEVEL_WARNING, "[api] rule ID is too long (128 is greater than 128): " + id128));
    std::string id300(300, 'j');
    EXPECT_EQ(RuleError(MakeRule("{}", "{}", id300)),
              "[api] rule ID is too long (300 is greater than 128): " + std::string(256, 'j'));
}

TEST_F(EnRulesTest, ChainMessageAndNameLimits)
{
    std::string chain127(127, 'c');
    uint8_t msg[EN_API_ADD_CHAIN_SIZE];
    memset(msg, 0xAA, sizeof msg);
    Error *err = nullptr;
    ASSERT_TRUE(en_chain_build_msg("OUTPUT", chain127.c_str(), 0x01020304, msg, &err));
    EXPECT_EQ(ToVec(msg, sizeof msg), Bytes().fixed("OUTPUT", 128).fixed(chain127, 128).u32(0x01020304).vec());

    std::string chain128(128, 'c');
    ASSERT_FALSE(en_chain_build_msg("INPUT", chain128.c_str(), 1, msg, &err));
    EXPECT_EQ(TakeMessage(err), "[api] chain name (table='INPUT') is too long (128 is greater than 128): " + chain128);
    err = nullptr;
    std::string chain400(400, 'd');
    ASSERT_FALSE(en_chain_build_msg("INPUT", chain400.c_str(), 1, msg, &err));
    EXPECT_EQ(TakeMessage(err),
              "[api] chain name (table='INPUT') is too long (400 is greater than 128): " + std::string(256, 'd'));
    err = nullptr;
    ASSERT_FALSE(en_chain_build_msg(std::string(128, 't').c_str(), "c", 1, msg, &err));
    EXPECT_EQ(TakeMessage(err), "[api] table name is too long");
}

TEST_F(EnRulesTest, SidCriteriaInEntity)
{
    auto group = [](const std::string &sid) {
        return R"({"match_groups": {"domain_groups": [{"sid": ")" + sid +
               R"(", "gname": "g"}], "local_admins": false, "local_users": false}})";
    };
    std::string sid15 = "S-1-5";
    Bytes values;
    for (int i = 1; i <= 15; i++) {
        sid15 += "-" + std::to_string(1000 + i);
        values.u32(1000 + i);
    }
    EXPECT_EQ(Entity(group(sid15)),
              Bytes().zeros(20).u8(1).u32(1).u8(15).append(values.vec()).u8(0).u8(0).zeros(14).vec());
    EXPECT_EQ(EntityError(group("S-1-5")), "[rule] malformed SID: S-1-5");
    EXPECT_EQ(EntityError(group(sid15 + "-16")), "[rule] malformed SID: " + sid15 + "-16");
    EXPECT_EQ(EntityError(group("S-1-6-1")), "[rule] incorrect SID prefix: S-1-6-1");
    EXPECT_EQ(EntityError(group("s-1-5-1")), "[rule] incorrect SID prefix: s-1-5-1");
    for (const char *bad : {"S-1-5-4294967296", "S-1-50-1", "S-1-5-", "S-1-5-1-", "S-1-5-1x", "S-1-5--1", "S-1-5-a"}) {
        EXPECT_EQ(EntityError(group(bad)), std::string("[rule] malformed SID: ") + bad);
    }
    EXPECT_TRUE(Logged(G_LOG_LEVEL_WARNING, "[rule] malformed SID: S-1-5-4294967296"));
}

TEST_F(EnRulesTest, RefusedCriteria)
{
    std::string groups = R"({"match_groups": {"local_admins": true, "local_users": true}})";
    EXPECT_EQ(EntityError(groups, {false, true}), "[rule] got SID rules, which are unsupported");
    EXPECT_EQ(EntityError(R"({"match_win_any_services": true})", {true, false}),
              "[rule] got Windows service rules, which are unsupported");
    EXPECT_EQ(EntityError(R"({"match_win_services": [{"service_name": "s"}]})", {true, false}),
              "[rule] got Windows service rules, which are unsupported");
    EXPECT_EQ(EntityError(R"({"match_win_services": [{"service_name": "s"}], "match_win_any_services": true})"),
              "[rule] rule cannot have both service matches and 'any' service match");
    EXPECT_EQ(EntityError(R"({"match_container_attrs": []})"),
              "[rule] got container matches rules, which are unsupported");
    EXPECT_EQ(EntityError(R"({"match_multiple_subnets": ["2001:db8::"]})"), "[utils] failed to parse: 2001:db8::");
    EXPECT_EQ(EntityError(R"({"match_multiple_subnets": ["!fe80::/129"]})"), "[utils] failed to parse: fe80::/129");
    EXPECT_EQ(EntityError(R"({"match_multiple_subnets": ["nothing"]})"), "[rule] invalid subnet str: nothing");
    EXPECT_EQ(EntityError(R"({"match_ip_hash": ["none"]})"), "[rule] invalid IP str: none");
    EXPECT_EQ(EntityError(R"({"match_ip_hash": ["zz::zz"]})"), "[rule] en_pton failed on: zz::zz");
    EXPECT_TRUE(Logged(G_LOG_LEVEL_WARNING, "failed to convert ip address: zz::zz"));

    std::string long_name(65534, 'n');
    EXPECT_EQ(Entity(R"({"match_dns_list": [")" + long_name + R"("]})").size(), 39u + 65534 + 3);
    EXPECT_EQ(EntityError(R"({"match_dns_list": [")" + long_name + R"(n"]})"), "[rule] dns name is too long (65535 bytes)");
}

TEST_F(EnRulesTest, EntityFailureInRuleKeepsItsError)
{
    RulePtr bad_src = MakeRule(R"({"match_ip_hash": ["none"]})", "{}", "rs");
    EXPECT_EQ(RuleError(bad_src), "[rule] invalid IP str: none");
    EXPECT_TRUE(Logged(G_LOG_LEVEL_WARNING,
                       "[rule] failed to convert source entity match (table='INPUT', chain='c', rule='rs')"));
    RulePtr bad_dst = MakeRule("{}", R"({"match_container_attrs": [{}]})", "rd");
    EXPECT_EQ(RuleError(bad_dst), "[rule] got container matches rules, which are unsupported");
    EXPECT_TRUE(Logged(G_LOG_LEVEL_WARNING,
                       "[rule] failed to convert destination entity match (table='INPUT', chain='c', rule='rd')"));
}

TEST_F(EnRulesTest, MissingPiecesAreNamed)
{
    Error *err = nullptr;
    uint8_t *buf = nullptr;
    size_t len = 0;
    EXPECT_FALSE(en_rule_build("INPUT", "c", nullptr, &kAllCaps, &buf, &len, &err));
    EXPECT_NE(TakeMessage(err).find("qmp_rule is NULL"), std::string::npos);
    /* An empty list in the JSON reads as a flagged list that is NULL. */
    EXPECT_NE(EntityError(R"({"match_dns_list": []})").find("] qmp_entity_match->match_dns_list is NULL"),
              std::string::npos);
}
}  // namespace
