/* The control command client: the launcher started with -t in the folder of a running
 * module queries it over its command socket, prints or exports the answer and exits 0. */
#include <glib.h>
#include <gtest/gtest.h>
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/hv-test-support.h"
#include "tests/common/module-fixture.h"

namespace {

using hvtest::Outcome;

const std::string kFailed = "[en-main] error running control command";

class CtrlCmdModuleTest : public hvtest::ModuleFixture {
protected:
    CtrlCmdModuleTest() : ModuleFixture("hv-ctrl-cmd") {}

    /* Every line of the run, whichever console stream its level takes. */
    std::string Ctrl(const std::vector<std::string> &args, std::vector<std::string> argv = {}) const
    {
        argv.insert(argv.end(), {launcher_, HV_BUNDLE});
        argv.insert(argv.end(), args.begin(), args.end());
        Outcome o = Run(argv);
        EXPECT_EQ(o.exit_code, 0) << o.err;
        return o.out + o.err;
    }

    /* A member of the module's own reply to command, as the test client reads it. */
    std::string Returned(const std::string &request, const std::string &pattern = R"re("return": "([^"]*)")re") const
    {
        Outcome o = Run({HV_QMP, "--address", address_, request});
        std::smatch m;
        return std::regex_search(o.out, m, std::regex(pattern)) ? m[1].str() : "?" + o.out;
    }

    size_t RequestsSeen() const
    {
        std::string log = LogText();
        size_t count = 0;
        for (size_t at = 0; (at = log.find("incoming request data from nn", at)) != std::string::npos; at++) {
            count++;
        }
        return count;
    }
};

TEST_F(CtrlCmdModuleTest, CommandsPrintTheRunningModulesAnswers)
{
    Start();
    std::string policy = dir_ + "/policy.json";
    hvtest::WriteFile(policy, R"({"execute": "set-enforcement-policy", "arguments": {"revision": 7,
  "dc-inventory-revision": 3, "input-table": [{"chain_name": "in", "rules": [{"id": "allow-in",
    "verdict": "ALLOW", "protocols": ["udp"], "match_src": {}, "match_dst": {"match_ports": [53]}}]}],
  "output-table": [{"chain_name": "out", "rules": [{"id": "web;1", "verdict": "BLOCK", "protocols": ["tcp"],
    "rule_type": "explicit", "match_src": {}, "match_dst": {"match_ip_hash": ["192.0.2.9"], "match_ports": [8443]}}]}]}})");
    ASSERT_EQ(Run({HV_QMP, "--address", address_, "--timeout", "60000", "-f", policy}).exit_code, 0);
    ASSERT_EQ(Run({HV_QMP, "--address", address_, R"({"execute": "set-dns-blocklist-policy",
        "arguments": {"revision": 41, "block-list": [], "exclude-list": []}})"}).exit_code, 0);

    EXPECT_NE(Ctrl({"-t", "get-agent-state"}).find("Current agent state: " +
                                                   Returned(R"({"execute": "get-state"})") + "\r\n"),
              std::string::npos);
    EXPECT_NE(Ctrl({"-t", "get-enforcement-mode"}).find("Current enforcement mode: " +
                                                        Returned(R"({"execute": "get-enforcement-mode"})") + "\r\n"),
              std::string::npos);
    std::string revision = Returned(R"({"execute": "get-dns-blocklist-revision"})", R"re("new-revision": (\d+))re");
    EXPECT_EQ(revision, "41");
    EXPECT_NE(Ctrl({"-t", "get-dns-blocklist-revision"}).find("Current DNS-Security revision is: 41\r\n"),
              std::string::npos);

    std::string dump = Ctrl({"-t", "dump-policies"});
    EXPECT_NE(dump.find("Agent Policy (Policy revision: 7, DC inventory revision: 3)"), std::string::npos) << dump;
    EXPECT_NE(dump.find("\t\tweb;1: protocols: TCP, type: EXPLICIT, IPs: [], "), std::string::npos) << dump;
    EXPECT_NE(dump.find("--> IPs: [192.0.2.9], subnets: [], DNSs: [], ports: [8443], "), std::string::npos);
    EXPECT_NE(dump.find("\t\tallow-in: protocols: UDP, "), std::string::npos);

    std::string csv = dir_ + "/policy.csv";
    EXPECT_EQ(Ctrl({"-t", "export-policies", "-o", csv}).find("failed"), std::string::npos);
    std::string text = hvtest::ReadFile(csv);
    EXPECT_EQ(text.rfind("sep=;\nDirection;RuleID;SrcIP;DstIP;SrcPort;DstPort;Protocol;RuleType;Verdict\n", 0), 0u);
    EXPECT_NE(text.find("\nOutput;\"web;1\"; ;192.0.2.9; ;8443;TCP;EXPLICIT;BLOCK\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nInput;allow-in; ; ; ;53;UDP;"), std::string::npos) << text;

    /* A failed export is logged but is no failed command. */
    std::string no_path = Ctrl({"-t", "export-policies"});
    EXPECT_NE(no_path.find("[ctrl-cmd] no export path given"), std::string::npos) << no_path;
    EXPECT_NE(no_path.find("failed exporting policies to CSV"), std::string::npos);
    EXPECT_EQ(no_path.find(kFailed), std::string::npos);
    EXPECT_NE(Ctrl({"-t", "export-policies", "-o", dir_ + "/no/such.csv"}).find("failed exporting policies to CSV"),
              std::string::npos);

    size_t seen = RequestsSeen();
    std::string unknown = Ctrl({"-t", "get-everything"});
    EXPECT_NE(unknown.find("unknown control command 'get-everything'"), std::string::npos) << unknown;
    EXPECT_NE(unknown.find(kFailed + " 'get-everything'"), std::string::npos);
    EXPECT_EQ(RequestsSeen(), seen);
}

TEST_F(CtrlCmdModuleTest, OnlyAdministratorsMayAsk)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "switching users needs root";
    }
    Start();
    /* Lets the unprivileged user reach the launcher, the registry and the command socket. */
    for (const char *path : {"", "/root", "/holvenstad_en_channel.ipc"}) {
        ASSERT_EQ(chmod((dir_ + path).c_str(), 0777), 0) << path;
    }
    g_autofree char *env = g_find_program_in_path("env");
    g_autofree char *setpriv = g_find_program_in_path("setpriv");
    ASSERT_TRUE(env && setpriv);
    auto as_nobody = [&](const char *admin_group) {
        return Ctrl({"-t", "get-agent-state"}, {env, std::string("HV_CTRL_ADMIN_GROUP=") + admin_group, setpriv,
                                                "--reuid=65534", "--regid=65534", "--clear-groups"});
    };
    const std::string refusal =
        "You must be running as Administrator or above in order to run control commands over the Holvenstad agents";
    size_t seen = RequestsSeen();
    for (const char *group : {"", "root"}) {
        std::string refused = as_nobody(group);
        EXPECT_NE(refused.find(refusal), std::string::npos) << refused;
        EXPECT_NE(refused.find(kFailed + " 'get-agent-state'"), std::string::npos);
    }
    EXPECT_EQ(RequestsSeen(), seen);

    std::string member = as_nobody("nogroup");
    EXPECT_EQ(member.find(refusal), std::string::npos) << member;
    EXPECT_NE(member.find("Current agent state: " + Returned(R"({"execute": "get-state"})")), std::string::npos);
}

TEST_F(CtrlCmdModuleTest, NoModuleRunningIsRefusedAtOnceAndASilentOneIsWaitedOut)
{
    /* Nothing at the address, then the socket file a killed module leaves behind. */
    for (bool stale : {false, true}) {
        if (stale) {
            int s = nn_socket(AF_SP, NN_REP);
            ASSERT_GE(nn_bind(s, address_.c_str()), 0);
            nn_close(s);
            std::string file = address_.substr(strlen("ipc://"));
            if (!g_file_test(file.c_str(), G_FILE_TEST_EXISTS)) {
                hvtest::WriteFile(file, "");
            }
        }
        std::string o = Ctrl({"-v", "-t", "get-enforcement-mode"});
        EXPECT_NE(o.find("[en-ctrl-cmd]  failed to connect to target agent IPC: Connection refused\r\n"),
                  std::string::npos) << o;
        EXPECT_EQ(o.find("sending request to agent"), std::string::npos);
        EXPECT_NE(o.find(kFailed + " 'get-enforcement-mode'"), std::string::npos);
    }

    /* A peer that takes the request and never answers: 60 receive attempts, about 45 s,
     * a sleep after each of the first 59 and none after the last. */
    int sock = nn_socket(AF_SP, NN_REP);
    ASSERT_GE(nn_bind(sock, address_.c_str()), 0);
    std::string o = Ctrl({"-v", "-t", "get-enforcement-mode"});
    nn_close(sock);
    EXPECT_NE(o.find("[en-ctrl-cmd]  message sent to agent (53 bytes), waiting on reply"), std::string::npos) << o;
    EXPECT_NE(o.find("[ctrl-cmd] error communicating with agent with command '{\"execute\": "
                     "\"get-enforcement-mode\", \"arguments\": {}}\n': failed to recv response message: "),
              std::string::npos);
    EXPECT_NE(o.find(kFailed + " 'get-enforcement-mode'"), std::string::npos);
    EXPECT_NE(o.find("Sleep stop - 59\r\n"), std::string::npos);
    EXPECT_EQ(o.find("Sleep start - 60\r\n"), std::string::npos);
}

TEST_F(CtrlCmdModuleTest, RepliesTheClientCannotUseAreReported)
{
    struct Case {
        const char *command, *reply, *expected;
        bool fails;
    };
    const Case cases[] = {
        {"get-agent-state", R"({"error": "boom"})", "[ctrl-cmd] error reply from agent: boom\r\n", true},
        {"get-agent-state", R"({"error": {"class": "GenericError"}})", "[ctrl-cmd] missing return reply", true},
        {"get-enforcement-mode", "not json", "[ctrl-cmd] bad reply back from agent (", true},
        {"get-enforcement-mode", "", "[en-ctrl-cmd]  response read from agent (0 bytes): \r\n", true},
        {"get-agent-state", R"({"return": 5})", "[ctrl-cmd] unexpected reply from agent", true},
        {"get-dns-blocklist-revision", R"({"return": {"error": "x"}})",
         "there was an error retriving the DNS-Security revision", false},
        {"get-dns-blocklist-revision", R"({"return": {}})", "Current DNS-Security revision is: 0\r\n", false},
        {"dump-policies", R"({"return": {"text": {}}})", "[ctrl-cmd] invalid JSON format of policies reply", false},
        {"dump-policies", R"({"return": {"json": {"input-table": 5}}})", "[ctrl-cmd] error reading input table: ",
         false},
        {"export-policies", R"({"return": {"json": {"input-table": [], "output-table": {}}}})",
         "[ctrl-cmd] error reading output table: ", false},
        {"dump-policies", R"({"return": {"json": {"input-table": [], "output-table": [], "revision": "x"}}})",
         "[ctrl-cmd] error reading revision: ", false},
        {"export-policies", R"({"return": {"json": {"input-table": [], "output-table": [], "revision": 2,
          "dc-inventory-revision": "y"}}})", "[ctrl-cmd] error reading dc_inventory_revision: ", false},
    };
    /* A stand-in for the module's command server, one scripted reply per request. */
    int sock = nn_socket(AF_SP, NN_REP);
    int timeout_ms = 120000;
    ASSERT_GE(nn_setsockopt(sock, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout_ms, sizeof timeout_ms), 0);
    ASSERT_GE(nn_bind(sock, address_.c_str()), 0);
    std::vector<std::string> requests;
    std::thread server([&] {
        for (const Case &c : cases) {
            char *msg = nullptr;
            int n = nn_recv(sock, &msg, NN_MSG, 0);
            if (n < 0) {
                return;
            }
            requests.emplace_back(msg, static_cast<size_t>(n));
            nn_freemsg(msg);
            nn_send(sock, c.reply, strlen(c.reply), 0);
        }
    });
    std::string csv = dir_ + "/never.csv";
    for (const Case &c : cases) {
        std::string o = Ctrl({"-v", "-t", c.command, "-o", csv});
        EXPECT_NE(o.find(c.expected), std::string::npos) << c.reply << "\n" << o;
        EXPECT_EQ(o.find(kFailed) != std::string::npos, c.fails) << c.reply;
        EXPECT_EQ(o.find("Agent Policy"), std::string::npos);
    }
    server.join();
    nn_close(sock);
    EXPECT_FALSE(g_file_test(csv.c_str(), G_FILE_TEST_EXISTS));
    ASSERT_EQ(requests.size(), std::size(cases));
    EXPECT_EQ(requests[0], "{\"execute\": \"get-state\", \"arguments\": {}}\n");
    EXPECT_EQ(requests[7], "{\"execute\": \"get-enforcement-policy\", \"arguments\": {\"format\": \"json\"}}\n");
}

} // namespace
