/* Policy text dump, its log form and the CSV export, compared with texts written out here. */
#include <glib.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "../en-rules/en-rules-helpers.h"
#include "enforcement/framework/agent/en-dump.h"
#include "tests/common/hv-test-support.h"

namespace {

class EnDumpTest : public hvtest::LoggingTest {
protected:
    void SetUp() override
    {
        hvtest::LoggingTest::SetUp();
        ASSERT_FALSE(dir_.empty());
    }

    static std::vector<std::string> Messages() { return Texts(G_LOG_LEVEL_MESSAGE); }
    static bool Critical(const std::string &suffix) { return LoggedMatching(G_LOG_LEVEL_CRITICAL, "", suffix); }
    static std::string Dump(const EnforcementChainList *table, const char *name = "INPUT")
    {
        char *text = en_table_dump(name, table);
        std::string out = text ? text : "<null>";
        g_free(text);
        return out;
    }
    static std::string ReadFile(const std::string &path) { return hvtest::ReadFile(path, ""); }

    hvtest::TempDir tmp_{"hv-en-dump"};
    const std::string dir_ = tmp_.path();
};

const char *kEmpty = "IPs: [], subnets: [], DNSs: [], ports: [], icmp_types: [], applications: [], "
                     "win_services: [], groups: []";

TEST_F(EnDumpTest, RuleLineAndTableLayout)
{
    TablePtr t = ParseTable(R"([{"chain_name": "main", "rules": [
        {"match_src": {}, "match_dst": {"match_ports": [53]}, "protocols": ["udp", "tcp"],
         "rule_type": "explicit", "verdict": "ALLOW", "id": "r1"},
        {"match_src": {}, "match_dst": {}, "protocols": ["icmp", "all", "icmp"], "verdict": "BLOCK", "id": "r2"}]},
      {"chain_name": "empty", "rules": []}])");
    std::string r1 = "\t\tr1: protocols: TCP, UDP, type: EXPLICIT, IPs: [], subnets: [], DNSs: [], ports: [], "
                     "icmp_types: [], applications: [], win_services: [], groups: [] --> IPs: [], subnets: [], "
                     "DNSs: [], ports: [53], icmp_types: [], applications: [], win_services: [], groups: [] = ALLOW\n";
    std::string r2 = std::string("\t\tr2: protocols: ICMP, type: UNKNOWN, ") + kEmpty + " --> " + kEmpty + " = BLOCK\n";
    EXPECT_EQ(Dump(t.get()), "INPUT\n\tmain\n" + r1 + r2 + "\tempty\n");
    EXPECT_EQ(Dump(nullptr, "OUTPUT"), "OUTPUT\n");
}

TEST_F(EnDumpTest, EntityTextCarriesEveryCriterionInOrder)
{
    RulePtr r = MakeRule(R"({"match_ip_hash": ["10.0.0.1", "2001:db8::1"],
        "match_multiple_subnets": ["10.1.0.0/16", "!192.168.0.0/24"], "match_dns_list": ["a.example", "b.example"],
        "match_ports": [80, 443], "match_port_ranges": [{"start": 1000, "end": 2000}, {"start": 3000, "end": 3001}],
        "match_icmp_types": [{"ver": "6", "type": 128, "codes": []}, {"ver": "4", "type": 3, "codes": [1, 3]}],
        "match_processes": [{"image_path": "/usr/bin/curl", "image_basename": "curl"}, {"container_id": "c0ffee"}],
        "match_win_services": [{"service_name": "dnscache", "service_image_names": ["svchost.exe", "dns.exe"]},
                               {"service_name": "w32time"}],
        "match_groups": {"domain_groups": [{"sid": "S-1-5-32-544", "gname": "admins"}],
                         "local_admins": true, "local_users": true},
        "match_container_attrs": [{"image_name": "nginx", "label": ["a=b"]}]})",
                         R"({"match_win_any_services": true, "match_win_services": [{"service_name": "s"}]})");
    GString *out = g_string_new(nullptr);
    ASSERT_TRUE(en_entity_match_dump(r->match_src, out));
    EXPECT_STREQ(out->str, "IPs: [10.0.0.1,2001:db8::1], subnets: [10.1.0.0/16,!192.168.0.0/24], "
                           "DNSs: [a.example,b.example], ports: [1000-2000,3000-3001,80,443], "
                           "icmp_types: [(v6)128/*,3/1,3/3], applications: [/usr/bin/curl:curl,c0ffee], "
                           "win_services: [dnscache:[svchost.exe,dns.exe],w32time:[]], "
                           "groups: [admins:S-1-5-32-544,<local users>,<local admins>], "
                           R"(container-matches: [[{"image_name": "nginx", "label": ["a=b"]}]])");
    g_string_truncate(out, 0);
    ASSERT_TRUE(en_entity_match_dump(r->match_dst, out));
    EXPECT_NE(strstr(out->str, "win_services: [<ANY>]"), nullptr) << out->str;
    g_string_free(out, TRUE);
}

TEST_F(EnDumpTest, MissingPartsAreLoggedAndLeftOut)
{
    EXPECT_EQ(en_table_dump(nullptr, nullptr), nullptr);
    EXPECT_TRUE(Critical("table_name is NULL"));

    TablePtr t = ParseTable(R"([{"chain_name": "nameless", "rules": []},
      {"chain_name": "c", "rules": [
        {"match_src": {}, "match_dst": {}, "protocols": ["tcp"], "verdict": "ALLOW", "id": "broken"},
        {"match_src": {}, "match_dst": {}, "protocols": ["tcp"], "verdict": "ALLOW", "id": "gone"},
        {"match_src": {}, "match_dst": {}, "protocols": ["tcp"], "rule_type": "default", "verdict": "BLOCK", "id": "ok"}]}])");
    g_free(t->value->chain_name);
    t->value->chain_name = nullptr;
    EnforcementRuleList *rules = t->next->value->rules;
    qapi_free_EntityMatch(rules->value->match_src);
    rules->value->match_src = nullptr;
    qapi_free_EnforcementRule(rules->next->value);
    rules->next->value = nullptr;

    /* The broken rule's line stops at the missing entity; the next rule keeps its own line. */
    EXPECT_EQ(Dump(t.get()), std::string("INPUT\n\tc\n\t\tbroken: protocols: TCP, type: UNKNOWN, \n") +
                                 "\t\tok: protocols: TCP, type: DEFAULT, " + kEmpty + " --> " + kEmpty + " = BLOCK\n");
    EXPECT_TRUE(Critical("chain->chain_name is NULL"));
    EXPECT_TRUE(Critical("match is NULL"));
    EXPECT_TRUE(Critical("rule is NULL"));
}

/* Input text "INPUT\n\t<name>\n" plus output text "OUTPUT\n": 15 bytes and the name. */
TEST_F(EnDumpTest, SizeCheckStopsAtOneMebibyte)
{
    const std::string skipped = "[policy dump] Policy is too big. Skipping the policy dump to log. To view the agent "
                                "policy, use: hv-agent export-policies";
    for (size_t total : {size_t{1048575}, size_t{1048576}}) {
        TablePtr in = ParseTable(R"([{"chain_name": ")" + std::string(total - 15, 'n') + R"(", "rules": []}])");
        Clear();
        en_policy_dump_to_log(in.get(), nullptr, 12, 34, true);
        const std::string dashes = "--------------------------------------------";
        std::vector<std::string> expected{"", "Agent Policy (Policy revision: 12, DC inventory revision: 34)", dashes};
        if (total == 1048575) {
            expected.insert(expected.end(), {"\nINPUT\n\t" + std::string(total - 15, 'n') + "\n", "\nOUTPUT\n", dashes});
        } else {
            expected.push_back(skipped);
        }
        EXPECT_TRUE(Messages() == expected) << total;
        Clear();
        en_policy_dump_to_log(in.get(), nullptr, 1, 0, false);
        EXPECT_EQ(Messages().size(), 6u) << "the module's own dumps are not size checked";
    }
}

/* The logger keeps the first MiB of a message: a larger table is formatted about that far. */
TEST_F(EnDumpTest, TheLogDumpStopsWhereTheLogStopsKeeping)
{
    constexpr size_t kKept = 1048576;
    std::string rules;
    for (int i = 0; i < 1500; i++) {
        rules += std::string(i ? "," : "") + R"({"match_src": {}, "match_dst": {}, "protocols": ["tcp"], )" +
                 R"("verdict": "ALLOW", "id": ")" + std::to_string(i) + std::string(2000, 'r') + R"("})";
    }
    TablePtr in = ParseTable(R"([{"chain_name": "big", "rules": [)" + rules + "]}, " +
                             R"({"chain_name": "after", "rules": []}])");
    std::string full = Dump(in.get());
    ASSERT_GT(full.size(), 3 * kKept);
    Clear();
    en_policy_dump_to_log(in.get(), nullptr, 1, 0, false);
    std::vector<std::string> logged = Messages();
    ASSERT_EQ(logged.size(), 6u);
    const std::string &input = logged[3];
    /* Everything the log writes is there, and little beyond it: one rule line at most. */
    ASSERT_GE(input.size(), kKept);
    EXPECT_LT(input.size(), kKept + 2200);
    EXPECT_EQ(input.substr(0, kKept), ("\n" + full).substr(0, kKept));
    EXPECT_EQ(logged[4], "\nOUTPUT\n");

    /* The size check decides on the whole table as before. */
    Clear();
    en_policy_dump_to_log(in.get(), nullptr, 1, 0, true);
    EXPECT_TRUE(LoggedPrefix(G_LOG_LEVEL_MESSAGE, "[policy dump] Policy is too big."));
}

TEST_F(EnDumpTest, CsvExport)
{
    TablePtr in = ParseTable(R"([{"chain_name": "c", "rules": [
        {"match_src": {"match_ip_hash": ["10.0.0.1"], "match_ports": [80, 443],
                       "match_port_ranges": [{"start": 1000, "end": 2000}]},
         "match_dst": {"match_ip_hash": ["10.0.0.1", "10.0.0.2"], "match_multiple_subnets": ["10.9.0.0/16"],
                       "match_ports": [22], "match_dns_list": ["x.example"]},
         "protocols": ["udp", "tcp"], "rule_type": "explicit", "verdict": "ALLOW", "id": "r1"},
        {"match_src": {}, "match_dst": {"match_multiple_subnets": ["10.0.0.0/8"]},
         "protocols": ["icmp"], "verdict": "BLOCK", "id": "r2"}]}])");
    TablePtr out = ParseTable(R"([{"chain_name": "o", "rules": [
        {"match_src": {}, "match_dst": {}, "protocols": ["all"], "rule_type": "default", "verdict": "BLOCK",
         "id": "x;y\n\"z\",w"}]}])");
    /* Longer than the 259 bytes a Windows path buffer holds; kept whole here. */
    std::string sub = dir_ + "/" + std::string(200, 'd');
    std::filesystem::create_directories(sub);
    std::string path = sub + "/" + std::string(100, 'f') + ".csv";
    ASSERT_GT(path.size(), 259u);
    ASSERT_TRUE(g_file_set_contents(path.c_str(), "old content that must go away\n", -1, nullptr));

    ASSERT_TRUE(en_policy_export(in.get(), out.get(), path.c_str()));
    EXPECT_EQ(ReadFile(path), "sep=;\n"
                              "Direction;RuleID;SrcIP;DstIP;SrcPort;DstPort;Protocol;RuleType;Verdict\n"
                              "Input;r1;10.0.0.1;10.0.0.2,10.0.0.1;443,80,1000-2000;22;TCP, UDP;EXPLICIT;ALLOW\n"
                              "Input;r2; ; ; ; ;ICMP;UNKNOWN;BLOCK\n"
                              "Output;\"x;y\n\"\"z\"\",w\"; ; ; ; ;UNKNOWN;DEFAULT;BLOCK\n");
}

TEST_F(EnDumpTest, CsvExportFailuresAreReported)
{
    TablePtr in = ParseTable(R"([{"chain_name": "c", "rules": [
        {"match_src": {}, "match_dst": {}, "protocols": ["tcp"], "verdict": "ALLOW", "id": "r1"}]}])");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(en_policy_export(in.get(), nullptr, (dir_ + "/missing/out.csv").c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "fopen: No such file or directory\n");

    /* Opening succeeds but nothing can be written: the export must not claim success. */
    testing::internal::CaptureStderr();
    EXPECT_FALSE(en_policy_export(in.get(), nullptr, "/dev/full"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "fwrite: No space left on device\n");
}

} // namespace
