/* The control command client: the launcher started with -t in the folder of a running
 * module queries it over its command socket, prints or exports the answer and exits 0. */
#include <glib.h>
#include <gtest/gtest.h>
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/hv-test-support.h"
#include "tests/common/module-fixture.h"

namespace {

using hvtest::Outcome;

constexpr const char *kRefusal =
    "You must be running as Administrator or above in order to run control commands over the Holvenstad agents";

class CtrlCmdModuleTest : public hvtest::ModuleFixture {
protected:
    CtrlCmdModuleTest() : ModuleFixture("hv-ctrl-cmd") {}

    Outcome Ctrl(std::vector<std::string> args, const std::vector<std::string> &prefix = {}) const
    {
        std::vector<std::string> argv = prefix;
        if (!argv.empty()) {
            g_autofree char *program = g_find_program_in_path(argv[0].c_str());
            argv[0] = program ? program : argv[0];
        }
        argv.push_back(launcher_);
        argv.push_back(HV_BUNDLE);
        argv.insert(argv.end(), args.begin(), args.end());
        Outcome o = Run(argv);
        /* The console gets every line; which stream a level takes is the logger's. */
        o.out += o.err;
        return o;
    }

    /* The module's own answer to command, as the test client reads it. */
    std::string Returned(const std::string &command) const
    {
        Outcome o = Run({HV_QMP, "--address", address_, "{\"execute\": \"" + command + "\"}"});
        std::smatch m;
        return std::regex_search(o.out, m, std::regex(R"re("return": "([^"]*)")re")) ? m[1].str() : "?" + o.out;
    }

    void PushPolicy() const
    {
        std::string policy = dir_ + "/policy.json";
        hvtest::WriteFile(policy, R"({"execute": "set-enforcement-policy", "arguments": {"revision": 7,
  "dc-inventory-revision": 3,
  "input-table": [{"chain_name": "in", "rules": [{"id": "allow-in", "verdict": "ALLOW", "protocols": ["udp"],
    "match_src": {}, "match_dst": {"match_ports": [53]}}]}],
  "output-table": [{"chain_name": "out", "rules": [{"id": "web;1", "verdict": "BLOCK", "protocols": ["tcp"],
    "rule_type": "explicit", "match_src": {}, "match_dst": {"match_ip_hash": ["192.0.2.9"],
    "match_ports": [8443]}}]}]}})");
        Outcome o = Run({HV_QMP, "--address", address_, "--timeout", "60000", "-f", policy});
        ASSERT_EQ(o.exit_code, 0) << o.out << o.err;
        ASSERT_EQ(o.out.find("error"), std::string::npos) << o.out;
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

    /* Lets an unprivileged user reach the launcher and the registry in the test's folder. */
    void OpenFolderToOthers() const
    {
        ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
        ASSERT_EQ(chmod((dir_ + "/root").c_str(), 0755), 0);
        ASSERT_EQ(chmod((dir_ + "/holvenstad_en_channel.ipc").c_str(), 0666), 0);
    }
};

TEST_F(CtrlCmdModuleTest, QueriesPrintTheRunningModulesAnswers)
{
    Start();
    PushPolicy();

    Outcome state = Ctrl({"-t", "get-agent-state"});
    EXPECT_EQ(state.exit_code, 0);
    EXPECT_NE(state.out.find("Current agent state: " + Returned("get-state") + "\r\n"), std::string::npos)
        << state.out << state.err;

    Outcome mode = Ctrl({"-t", "get-enforcement-mode"});
    EXPECT_EQ(mode.exit_code, 0);
    EXPECT_NE(mode.out.find("Current enforcement mode: " + Returned("get-enforcement-mode") + "\r\n"),
              std::string::npos)
        << mode.out << mode.err;

    ASSERT_EQ(Run({HV_QMP, "--address", address_,
                   R"({"execute": "set-dns-blocklist-policy", "arguments": {"revision": 41, "block-list": [], "exclude-list": []}})"})
                  .exit_code,
              0);
    Outcome dns = Ctrl({"-t", "get-dns-blocklist-revision"});
    EXPECT_EQ(dns.exit_code, 0);
    EXPECT_NE(dns.out.find("Current DNS-Security revision is: "), std::string::npos) << dns.out << dns.err;
    std::smatch rev;
    std::string qmp = Run({HV_QMP, "--address", address_, R"({"execute": "get-dns-blocklist-revision"})"}).out;
    ASSERT_TRUE(std::regex_search(qmp, rev, std::regex(R"re("new-revision": (\d+))re"))) << qmp;
    EXPECT_NE(dns.out.find("Current DNS-Security revision is: " + rev[1].str() + "\r\n"), std::string::npos)
        << dns.out;

    Outcome dump = Ctrl({"-t", "dump-policies"});
    EXPECT_EQ(dump.exit_code, 0);
    EXPECT_NE(dump.out.find("Agent Policy (Policy revision: 7, DC inventory revision: 3)"), std::string::npos)
        << dump.out << dump.err;
    EXPECT_NE(dump.out.find("\t\tweb;1: protocols: TCP, type: EXPLICIT, "), std::string::npos) << dump.out;
    EXPECT_NE(dump.out.find("IPs: [192.0.2.9]"), std::string::npos) << dump.out;
    EXPECT_NE(dump.out.find("ports: [8443]"), std::string::npos) << dump.out;
    EXPECT_NE(dump.out.find("\t\tallow-in: protocols: UDP"), std::string::npos) << dump.out;
    EXPECT_EQ(dump.err.find("[en-main]"), std::string::npos) << dump.err;

    std::string csv = dir_ + "/policy.csv";
    Outcome exported = Ctrl({"-t", "export-policies", "-o", csv});
    EXPECT_EQ(exported.exit_code, 0) << exported.err;
    std::string text = hvtest::ReadFile(csv);
    EXPECT_EQ(text.rfind("sep=;\nDirection;RuleID;SrcIP;DstIP;SrcPort;DstPort;Protocol;RuleType;Verdict\n", 0), 0u)
        << text;
    EXPECT_NE(text.find("Output;\"web;1\"; ;192.0.2.9; ;8443;TCP;EXPLICIT;BLOCK\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Input;allow-in;"), std::string::npos) << text;
    EXPECT_EQ(exported.err.find("failed"), std::string::npos) << exported.err;

    /* The running module was only asked, never changed. */
    EXPECT_EQ(Returned("get-state"), Returned("get-state"));
    EXPECT_NE(Run({HV_ENDR, "status"}).out.find("\"output-rules\": "), std::string::npos);
}

TEST_F(CtrlCmdModuleTest, FailuresAreLoggedAndStillExitZero)
{
    Start();
    PushPolicy();

    Outcome no_path = Ctrl({"-t", "export-policies"});
    EXPECT_EQ(no_path.exit_code, 0);
    EXPECT_NE(no_path.err.find("[ctrl-cmd] no export path given"), std::string::npos) << no_path.err;
    EXPECT_NE(no_path.err.find("failed exporting policies to CSV"), std::string::npos) << no_path.err;
    /* A failed export is no failed command. */
    EXPECT_EQ(no_path.err.find("[en-main] error running control command"), std::string::npos) << no_path.err;

    Outcome unwritable = Ctrl({"-t", "export-policies", "-o", dir_ + "/missing/policy.csv"});
    EXPECT_EQ(unwritable.exit_code, 0);
    EXPECT_NE(unwritable.err.find("failed exporting policies to CSV"), std::string::npos) << unwritable.err;

    size_t before = RequestsSeen();
    Outcome unknown = Ctrl({"-t", "get-everything"});
    EXPECT_EQ(unknown.exit_code, 0);
    EXPECT_NE(unknown.err.find("unknown control command 'get-everything'"), std::string::npos) << unknown.err;
    EXPECT_NE(unknown.err.find("[en-main] error running control command 'get-everything'"), std::string::npos);
    EXPECT_EQ(RequestsSeen(), before);
}

TEST_F(CtrlCmdModuleTest, OnlyAdministratorsMayAsk)
{
    if (geteuid() != 0) {
        /* This process itself is no administrator here. */
        Outcome o = Ctrl({"-t", "get-agent-state"});
        EXPECT_EQ(o.exit_code, 0);
        EXPECT_NE(o.err.find(kRefusal), std::string::npos) << o.err;
        return;
    }
    Start();
    OpenFolderToOthers();
    size_t before = RequestsSeen();
    const std::vector<std::string> nobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

    Outcome refused = Ctrl({"-t", "get-agent-state"}, nobody);
    EXPECT_EQ(refused.exit_code, 0) << refused.err;
    EXPECT_NE(refused.err.find(kRefusal), std::string::npos) << refused.out << refused.err;
    EXPECT_NE(refused.err.find("[en-main] error running control command 'get-agent-state'"), std::string::npos);
    EXPECT_EQ(refused.out.find("Current agent state"), std::string::npos);
    EXPECT_EQ(RequestsSeen(), before);

    /* Membership of the group named as the administrators' lets the same user through. */
    g_autofree char *setpriv = g_find_program_in_path("setpriv");
    ASSERT_NE(setpriv, nullptr);
    Outcome member = Ctrl({"-t", "get-agent-state"}, {"env", "HV_CTRL_ADMIN_GROUP=nogroup", setpriv,
                                                      "--reuid=65534", "--regid=65534", "--clear-groups"});
    EXPECT_EQ(member.exit_code, 0);
    EXPECT_EQ(member.err.find(kRefusal), std::string::npos) << member.err;
    EXPECT_NE(member.out.find("Current agent state: " + Returned("get-state") + "\r\n"), std::string::npos)
        << member.out;
    Outcome other = Ctrl({"-t", "get-agent-state"}, {"env", "HV_CTRL_ADMIN_GROUP=root", setpriv,
                                                     "--reuid=65534", "--regid=65534", "--clear-groups"});
    EXPECT_NE(other.err.find(kRefusal), std::string::npos) << other.err;
}

/* A request socket queues the request until a peer comes, so with no module the client
 * waits out its whole receive budget (about 45 s) and then gives up. */
TEST_F(CtrlCmdModuleTest, NoModuleRunningGivesUpAfterTheLastAttempt)
{
    Outcome o = Ctrl({"-v", "-t", "get-enforcement-mode"});
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_NE(o.out.find("[en-ctrl-cmd]  message sent to agent (53 bytes), waiting on reply"), std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("[ctrl-cmd] error communicating with agent with command "
                         "'{\"execute\": \"get-enforcement-mode\", \"arguments\": {}}\n': "
                         "failed to recv response message: "),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("[en-main] error running control command 'get-enforcement-mode'"), std::string::npos);
    /* 60 receive attempts: a sleep after each of the first 59, none after the last. */
    EXPECT_NE(o.out.find("Sleep stop - 59\r\n"), std::string::npos);
    EXPECT_EQ(o.out.find("Sleep start - 60\r\n"), std::string::npos);
    EXPECT_EQ(o.out.find("Current enforcement mode"), std::string::npos);
}

/* A stand-in for the module's command server: answers each request with the next scripted
 * reply and keeps the requests it got. */
class FakeAgent {
public:
    FakeAgent(const std::string &address, std::vector<std::string> replies)
    {
        sock_ = nn_socket(AF_SP, NN_REP);
        int timeout = 120000;
        nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout, sizeof timeout);
        bound_ = sock_ >= 0 && nn_bind(sock_, address.c_str()) >= 0;
        thread_ = std::thread([this, replies = std::move(replies)] {
            for (const std::string &reply : replies) {
                char *msg = nullptr;
                int n = nn_recv(sock_, &msg, NN_MSG, 0);
                if (n < 0) {
                    return;
                }
                requests_.emplace_back(msg, static_cast<size_t>(n));
                nn_freemsg(msg);
                nn_send(sock_, reply.data(), reply.size(), 0);
            }
        });
    }
    ~FakeAgent() { Join(); }
    void Join()
    {
        if (thread_.joinable()) {
            thread_.join();
        }
        if (sock_ >= 0) {
            nn_close(sock_);
            sock_ = -1;
        }
    }
    bool bound_ = false;
    std::vector<std::string> requests_;

private:
    int sock_ = -1;
    std::thread thread_;
};

TEST_F(CtrlCmdModuleTest, RepliesTheClientCannotUseAreReported)
{
    const std::string fail = "[en-main] error running control command";
    FakeAgent agent(address_, {
                                  R"({"error": "boom"})",
                                  R"({"error": {"class": "GenericError", "desc": "boom"}})",
                                  "not json",
                                  "",
                                  R"({"return": 5})",
                                  R"({"return": {"error": "late"}})",
                                  R"({"return": {}})",
                                  R"({"return": {"text": {"revision": 1}}})",
                                  R"({"return": {"json": {"input-table": 5, "output-table": [], "revision": 1}}})",
                                  R"({"return": {"json": {"input-table": [], "output-table": {}, "revision": 1}}})",
                                  R"({"return": {"json": {"input-table": [], "output-table": [], "revision": "x"}}})",
                                  R"({"return": {"json": {"input-table": [], "output-table": [], "revision": 2,
                                      "dc-inventory-revision": "y"}}})",
                              });
    ASSERT_TRUE(agent.bound_);

    Outcome string_error = Ctrl({"-t", "get-agent-state"});
    EXPECT_NE(string_error.out.find("[ctrl-cmd] error reply from agent: boom\r\n"), std::string::npos)
        << string_error.out;
    EXPECT_NE(string_error.out.find(fail), std::string::npos);

    Outcome object_error = Ctrl({"-t", "get-agent-state"});
    EXPECT_NE(object_error.out.find("[ctrl-cmd] missing return reply from agent"), std::string::npos)
        << object_error.out;
    EXPECT_NE(object_error.out.find(fail), std::string::npos);

    Outcome garbage = Ctrl({"-t", "get-enforcement-mode"});
    EXPECT_NE(garbage.out.find("[ctrl-cmd] bad reply back from agent ("), std::string::npos) << garbage.out;
    EXPECT_NE(garbage.out.find("): not json\r\n"), std::string::npos) << garbage.out;
    EXPECT_NE(garbage.out.find(fail), std::string::npos);

    Outcome empty = Ctrl({"-v", "-t", "get-enforcement-mode"});
    EXPECT_NE(empty.out.find("[en-ctrl-cmd]  response read from agent (0 bytes): \r\n"), std::string::npos)
        << empty.out;
    EXPECT_NE(empty.out.find(fail), std::string::npos);

    Outcome number = Ctrl({"-t", "get-agent-state"});
    EXPECT_EQ(number.out.find("Current agent state"), std::string::npos) << number.out;
    EXPECT_NE(number.out.find(fail), std::string::npos);

    /* The DNS revision counts as read once any reply came. */
    Outcome dns_error = Ctrl({"-t", "get-dns-blocklist-revision"});
    EXPECT_NE(dns_error.out.find("there was an error retriving the DNS-Security revision"), std::string::npos)
        << dns_error.out;
    EXPECT_EQ(dns_error.out.find(fail), std::string::npos);
    Outcome dns_none = Ctrl({"-t", "get-dns-blocklist-revision"});
    EXPECT_NE(dns_none.out.find("Current DNS-Security revision is: 0\r\n"), std::string::npos) << dns_none.out;

    struct PolicyCase {
        const char *command;
        const char *error;
        const char *failed;
    };
    const PolicyCase cases[] = {
        {"dump-policies", "[ctrl-cmd] invalid JSON format of policies reply", "failed dumping policies JSON"},
        {"dump-policies", "[ctrl-cmd] error reading input table: ", "failed dumping policies JSON"},
        {"export-policies", "[ctrl-cmd] error reading output table: ", "failed exporting policies to CSV"},
        {"dump-policies", "[ctrl-cmd] error reading revision: ", "failed dumping policies JSON"},
        {"export-policies", "[ctrl-cmd] error reading dc_inventory_revision: ", "failed exporting policies to CSV"},
    };
    std::string csv = dir_ + "/never.csv";
    for (const PolicyCase &c : cases) {
        Outcome o = Ctrl({"-t", c.command, "-o", csv});
        EXPECT_EQ(o.exit_code, 0);
        EXPECT_NE(o.out.find(c.error), std::string::npos) << c.error << "\n" << o.out;
        EXPECT_NE(o.out.find(c.failed), std::string::npos) << o.out;
        EXPECT_EQ(o.out.find(fail), std::string::npos) << o.out;
        EXPECT_EQ(o.out.find("Agent Policy"), std::string::npos) << o.out;
    }
    EXPECT_FALSE(g_file_test(csv.c_str(), G_FILE_TEST_EXISTS));

    agent.Join();
    ASSERT_EQ(agent.requests_.size(), 12u);
    EXPECT_EQ(agent.requests_[0], "{\"execute\": \"get-state\", \"arguments\": {}}\n");
    EXPECT_EQ(agent.requests_[5], "{\"execute\": \"get-dns-blocklist-revision\", \"arguments\": {}}\n");
    EXPECT_EQ(agent.requests_[7], "{\"execute\": \"get-enforcement-policy\", \"arguments\": {\"format\": \"json\"}}\n");
}

} // namespace
