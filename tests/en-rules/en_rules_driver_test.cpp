/* Table conversion end to end: what the emulated driver has staged after en_table_convert. */
#include <glib.h>
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "../en-api/en-api-fixture.h"
#include "en-rules-helpers.h"
#include "enforcement/driver-daemon/endr-engine.h"
#include "enforcement/framework/agent/en-config.h"
#include "enforcement/framework/agent/en-index.h"
#include "enforcement/framework/agent/en-lid-map.h"
#include "enforcement/framework/agent/en-rules.h"

namespace {

class EnRulesDriverTest : public EnApiTest {
protected:
    void SetUp() override
    {
        EnApiTest::SetUp();
        saved_limit_ = g_en_config.max_entity_field_num;
        g_en_config.max_entity_field_num = 1000;
        ASSERT_TRUE(en_lid_map_init());
        en_lid_map_reset();
    }
    void TearDown() override
    {
        en_lid_map_free();
        g_en_config.max_entity_field_num = saved_limit_;
        EnApiTest::TearDown();
    }

    static endr::StagedTable Staged(bool output)
    {
        endr::Engine &e = endr::engine();
        std::lock_guard<std::mutex> guard(e.mu);
        return output ? e.staged.output : e.staged.input;
    }

    uint64_t saved_limit_ = 0;
};

const char *kTable = R"([
  {"chain_name": "first", "rules": [
    {"match_src": {"match_ip_hash": ["10.0.0.1", "2001:db8::1"]}, "match_dst": {"match_ports": [443]},
     "protocols": ["tcp"], "rule_type": "explicit", "verdict": "ALLOW", "id": "a"},
    {"match_src": {}, "match_dst": {"match_processes": [{"image_basename": "curl"}]},
     "protocols": ["udp"], "rule_type": "default", "verdict": "BLOCK", "id": "b"}]},
  {"chain_name": "second", "rules": [
    {"match_src": {"match_multiple_subnets": ["!2001:db8::/32", "10.0.0.0/8"]}, "match_dst": {},
     "protocols": ["icmp"], "rule_type": "implicit", "verdict": "BLOCK", "id": "c"}]}
])";

TEST_F(EnRulesDriverTest, TableReachesDriverInOrder)
{
    en_handle *h = Init();
    ASSERT_TRUE(en_api_start(h));
    TablePtr table = ParseTable(kTable);
    ASSERT_NE(table, nullptr);
    uint64_t count = 99;
    Error *err = nullptr;
    ASSERT_TRUE(en_table_convert(h, false, table.get(), &count, &err)) << TakeMessage(err);
    EXPECT_EQ(count, 3u);
    ASSERT_TRUE(en_table_convert(h, true, nullptr, &count, &err)) << TakeMessage(err);
    EXPECT_EQ(count, 0u);

    uint8_t *index = nullptr;
    size_t index_len = 0;
    ASSERT_TRUE(en_convert_single_index(table.get(), 1000, nullptr, &index, &index_len, nullptr));
    std::vector<uint8_t> expected_index = ToVec(index, index_len);
    g_free(index);

    Bytes a;
    a.zeros(5).u8(1).u32(1).u8(0).raw({0x20, 0x01, 0x0d, 0xb8}).zeros(11).raw({0x01}).zeros(29).zeros(39);
    Trailer(a, 2, 2, "a");
    Bytes b;
    b.zeros(39).zeros(10).u8(1).u32(1).u16(10).zeros(24);
    Trailer(b, 0, 1, "b");
    Bytes c;
    c.u8(1).u32(1).u8(1).u8(0).raw({0x20, 0x01, 0x0d, 0xb8}).zeros(12).u8(0).raw({0xff, 0xff, 0xff, 0xff}).zeros(12);
    c.zeros(34).zeros(39);
    Trailer(c, 1, 1, "c");

    endr::StagedTable in = Staged(false);
    EXPECT_TRUE(in.initialised);
    EXPECT_EQ(in.announced_chains, 2u);
    ASSERT_TRUE(in.index.has_value());
    EXPECT_EQ(*in.index, expected_index);
    ASSERT_EQ(in.chains.size(), 2u);
    EXPECT_EQ(in.chains[0].name, "first");
    EXPECT_EQ(in.chains[0].announced_rules, 2u);
    ASSERT_EQ(in.chains[0].rules.size(), 2u);
    EXPECT_EQ(in.chains[0].rules[0], a.vec());
    EXPECT_EQ(in.chains[0].rules[1], b.vec());
    EXPECT_EQ(in.chains[1].name, "second");
    EXPECT_EQ(in.chains[1].announced_rules, 1u);
    ASSERT_EQ(in.chains[1].rules.size(), 1u);
    EXPECT_EQ(in.chains[1].rules[0], c.vec());
    EXPECT_TRUE(in.complete());

    endr::StagedTable out = Staged(true);
    EXPECT_TRUE(out.initialised);
    EXPECT_EQ(out.announced_chains, 0u);
    EXPECT_FALSE(out.index.has_value());
    EXPECT_TRUE(out.chains.empty());

    long chain1 = IndexOf("[chain] finished initiating a chain with 2 rules");
    long chain2 = IndexOf("[chain] finished initiating a chain with 1 rules");
    long input = IndexOf("[table] finished initiating table 'INPUT' with 2 chains");
    long output = IndexOf("[table] finished initiating empty table 'OUTPUT'");
    EXPECT_GE(chain1, 0);
    EXPECT_GT(chain2, chain1);
    EXPECT_GT(input, chain2);
    EXPECT_GT(output, input);
}

const char *kPlainRule = R"({"match_src": {}, "match_dst": {}, "protocols": ["tcp"], "rule_type": "explicit",
                            "verdict": "ALLOW", "id": "p"})";

TEST_F(EnRulesDriverTest, FailuresStopTheTable)
{
    uint64_t count = 0;
    Error *err = nullptr;
    en_handle *h = Init();
    EXPECT_FALSE(en_table_convert(h, true, nullptr, &count, &err));
    EXPECT_EQ(TakeMessage(err), "[table] failed to init enforcement output table");
    EXPECT_TRUE(Logged(kCritical, "[table] failed to init enforcement output table"));

    /* The driver file declares no SID rules, so a group criterion stops the table after
     * its chain was sent. */
    ASSERT_TRUE(en_api_start(h));
    TablePtr table = ParseTable(R"([{"chain_name": "x", "rules": [
        {"match_src": {"match_groups": {"local_admins": true, "local_users": false}}, "match_dst": {},
         "protocols": ["tcp"], "rule_type": "explicit", "verdict": "ALLOW", "id": "g"}]},
        {"chain_name": "y", "rules": []}])");
    err = nullptr;
    EXPECT_FALSE(en_table_convert(h, false, table.get(), &count, &err));
    EXPECT_EQ(TakeMessage(err), "[rule] got SID rules, which are unsupported");
    EXPECT_TRUE(Logged(kCritical, "[chain] failed to convert rule 'g' (table='INPUT', chain='x')"));
    EXPECT_TRUE(Logged(kCritical, "[table] failed to convert chain 'x' (table='INPUT)"));
    endr::StagedTable in = Staged(false);
    ASSERT_EQ(in.chains.size(), 1u);
    EXPECT_EQ(in.chains[0].announced_rules, 1u);
    EXPECT_TRUE(in.chains[0].rules.empty());

    /* A chain the driver refuses: the same name twice in one table. */
    TablePtr twice = ParseTable(R"([{"chain_name": "z", "rules": [)" + std::string(kPlainRule) +
                               R"(]}, {"chain_name": "z", "rules": [)" + kPlainRule + "]}]");
    err = nullptr;
    EXPECT_FALSE(en_table_convert(h, false, twice.get(), &count, &err));
    EXPECT_EQ(TakeMessage(err), "[chain] failed to init enforcement chain 'z' under table 'INPUT'");
}

/* A rule with `subnets` IPv6 source subnets, each of which takes room in the driver's buffer. */
std::string Rule(const std::string &id, int subnets = 1)
{
    std::string list;
    for (int i = 0; i < subnets; i++) {
        list += (i ? ", \"2001:db8:" : "\"2001:db8:") + std::to_string(i) + "::/48\"";
    }
    return R"({"match_src": {"match_multiple_subnets": [)" + list +
           R"(]}, "match_dst": {}, "protocols": ["tcp"], "rule_type": "explicit", "verdict": "ALLOW", "id": ")" + id +
           R"("})";
}

TEST_F(EnRulesDriverTest, TheFirstRequestTheDriverRefusesIsTheOneReported)
{
    en_handle *h = Init();
    ASSERT_TRUE(en_api_start(h));
    /* The driver refuses rules above 400 bytes, and tables above 5 rules. */
    ASSERT_TRUE(endr::state_update([](endr::State &s) {
        s.driver.policy_limits = std::array<uint64_t, 4>{0, 5, 0, 400};
        return true;
    }));
    const int big = 20;
    const std::string sid = R"({"match_src": {"match_groups": {"local_admins": true, "local_users": false}},
        "match_dst": {}, "protocols": ["tcp"], "rule_type": "explicit", "verdict": "ALLOW", "id": "sid"})";

    struct Case {
        const char *what;
        std::string table;
        std::string error;
        const char *critical;
        size_t staged_chains;
        size_t staged_rules; /* of the last staged chain */
    } cases[] = {
        /* Rules built after the refused one, even one that cannot be built, change nothing. */
        {"rule refused mid-chain",
         R"([{"chain_name": "x", "rules": [)" + Rule("r0") + "," + Rule("r1") + "," + Rule("big", big) + "," +
             Rule("r3") + "," + sid + "]}, " + R"({"chain_name": "y", "rules": [)" + Rule("y0") + "]}]",
         "[rule] failed to add rule: big", "[chain] failed to convert rule 'big' (table='INPUT', chain='x')", 1, 2},
        {"chain refused after a finished one",
         R"([{"chain_name": "x", "rules": [)" + Rule("r0") + "," + Rule("r1") + "]}, " +
             R"({"chain_name": "y", "rules": [)" + Rule("y0") + "," + Rule("y1") + "," + Rule("y2") + "," +
             Rule("y3") + "]}]",
         "[chain] failed to init enforcement chain 'y' under table 'INPUT'",
         "[table] failed to convert chain 'y' (table='INPUT)", 1, 2},
        {"rule that cannot be built, with nothing refused before it",
         R"([{"chain_name": "x", "rules": [)" + Rule("r0") + "," + sid + "," + Rule("big", big) + "]}]",
         "[rule] got SID rules, which are unsupported",
         "[chain] failed to convert rule 'sid' (table='INPUT', chain='x')", 1, 1},
    };
    for (const Case &c : cases) {
        Clear();
        TablePtr table = ParseTable(c.table);
        ASSERT_NE(table, nullptr) << c.what;
        uint64_t count = 0;
        Error *err = nullptr;
        EXPECT_FALSE(en_table_convert(h, false, table.get(), &count, &err)) << c.what;
        EXPECT_EQ(TakeMessage(err), c.error) << c.what;
        EXPECT_TRUE(Logged(kCritical, c.critical)) << c.what;
        EXPECT_FALSE(Logged(G_LOG_LEVEL_MESSAGE, "[table] finished initiating table 'INPUT' with 2 chains")) << c.what;
        endr::StagedTable in = Staged(false);
        ASSERT_EQ(in.chains.size(), c.staged_chains) << c.what;
        EXPECT_EQ(in.chains.back().rules.size(), c.staged_rules) << c.what;
    }
}

}  // namespace
