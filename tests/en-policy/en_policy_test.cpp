/* The policy lifecycle end to end: commands through the dispatcher, the module's real
 * conversion, the emulated driver as the judge of what is in force, and the persistent file. */
#include <glib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "../en-classify/classify-fixture.h"
#include "tests/common/hv-dispatch.h"
#include "agent-common/agent-main.h"
#include "agent-common/agent-metrics.h"
#include "agent-common/qmp-servers/qmp-manager.h"
#include "agent-common/qmp-servers/qmp-server.h"
#include "enforcement/framework/agent/enforcement-runner.h"
#include "enforcement/framework/agent/en-config.h"
#include "enforcement/framework/agent/en-driver.h"
#include "enforcement/framework/agent/en-implicit-rules.h"
#include "enforcement/framework/agent/en-persistent-storage.h"
#include "enforcement/framework/agent/en-policy.h"
#include "qapi/qmp-common-commands.h"
#include "qapi/qmp-enforcement-commands.h"
#include "qapi/qmp-registry.h"
#include "qobject/qjson.h"
#include "util/agent-config.h"

namespace {

NetworkInterfaceList *OneInterface(Error **)
{
    return ReadTyped<NetworkInterfaceList>(
        R"([{"name": "eth0", "bond": false, "up": true, "loopback": false, "promiscuous": false, "virtual": false,
             "ip-addresses": [{"ip-address": "10.0.0.9", "ip-address-type": "ipv4", "prefix": 24}]}])",
        visit_type_NetworkInterfaceList);
}

GSList *OneDnsServer(void)
{
    return g_slist_append(nullptr, g_strdup("192.0.2.53"));
}

const en_implicit_sources kSources = {OneInterface, OneDnsServer};

const char *kInput = R"([
  {"chain_name": "M-IN", "rules": [
    {"match_src": {}, "match_dst": {"match_ports": [80]}, "protocols": ["tcp"], "verdict": "ALLOW", "id": "web-in"}]},
  {"chain_name": "DEFAULT-BLOCK", "rules": [
    {"match_src": {}, "match_dst": {}, "protocols": ["tcp", "udp", "icmp"], "verdict": "BLOCK", "id": "in-block"}]}])";

std::string Output(const std::string &ssh_verdict = "BLOCK")
{
    return R"([
  {"chain_name": "M", "rules": [
    {"match_src": {}, "match_dst": {"match_multiple_subnets": ["10.1.0.0/16"], "match_ports": [22]},
     "protocols": ["tcp"], "verdict": ")" +
           ssh_verdict + R"(", "id": "m-ssh"}]},
  {"chain_name": "DEFAULT-BLOCK", "rules": [
    {"match_src": {}, "match_dst": {}, "protocols": ["tcp", "udp", "icmp"], "verdict": "BLOCK", "id": "out-block"}]},
  {"chain_name": "DEFAULT-ALLOW", "rules": [
    {"match_src": {}, "match_dst": {}, "protocols": ["tcp"], "verdict": "ALLOW", "id": "out-allow"}]}])";
}

std::string SetPolicy(uint64_t revision, const std::string &output = Output(), const std::string &extra = "")
{
    return R"({"execute": "set-enforcement-policy", "arguments": {"input-table": )" + std::string(kInput) +
           R"(, "output-table": )" + output + R"(, "revision": )" + std::to_string(revision) + extra + "}}";
}

class PolicyTest : public EnApiTest {
protected:
    void SetUp() override
    {
        EnApiTest::SetUp();
        std::string registry = dir_ + "/registry";
        std::string text = "HV_DATA_FOLDER=" + dir_ + "/data\nHV_ROOT_FOLDER=" + dir_ + "/bin\n";
        ASSERT_TRUE(g_file_set_contents(registry.c_str(), text.c_str(), -1, nullptr));
        g_setenv("HV_REGISTRY_FILE", registry.c_str(), TRUE);
        std::filesystem::create_directories(dir_ + "/data");
        agent_global_vars_load(nullptr);
        persistent_storage_reset_for_test();
        ASSERT_TRUE(agent_config_init());
        ASSERT_TRUE(enforcement_register_config());
        en_implicit_set_sources(&kSources);
        qmp_register_enforcement_commands();
        qmp_register_common_commands();
        Start(false);
    }
    void TearDown() override
    {
        en_policy_cleanup();
        qmp_registry_cleanup();
        agent_config_cleanup();
        en_implicit_set_sources(nullptr);
        persistent_storage_reset_for_test();
        g_unsetenv("HV_REGISTRY_FILE");
        EnApiTest::TearDown();
    }

    void Start(bool load_persistent, bool dns_locked = false)
    {
        ASSERT_TRUE(en_policy_init(load_persistent, dns_locked));
        Error *err = nullptr;
        ASSERT_TRUE(en_policy_start_api(&err)) << error_get_message(err);
    }

    static std::string Run(const std::string &request) { return hvtest::Dispatch(request); }

    static std::optional<uint64_t> ActiveRevision()
    {
        endr::Engine &e = endr::engine();
        std::lock_guard<std::mutex> guard(e.mu);
        return e.active.revision;
    }

    /* Swaps so far, and whether anything is staged. */
    static std::pair<int64_t, bool> DriverPolicyActivity()
    {
        endr::Engine &e = endr::engine();
        std::lock_guard<std::mutex> guard(e.mu);
        return {e.counters["endr.policy-swaps"], e.staging || e.staged.input.initialised || e.staged.output.initialised};
    }

    static void FailNext(uint32_t code)
    {
        std::string req = R"({"command": "fail", "code": )" + std::to_string(code) + "}";
        g_free(endr_control_request(req.c_str(), req.size()));
    }

    std::string PolicyFile() const { return dir_ + "/data/config/persistent-policy.json"; }

    static std::string Read(const std::string &path)
    {
        gchar *text = nullptr;
        if (!g_file_get_contents(path.c_str(), &text, nullptr, nullptr)) {
            return "<none>";
        }
        std::string s = text;
        g_free(text);
        return s;
    }

    static std::string Decide(const Tuple &t) { return ClassifyTest::Decide(t); }
};

TEST_F(PolicyTest, PolicyReachesTheDriverWithImplicitRulesAndIsPersisted)
{
    std::string reply = Run(SetPolicy(7, Output(), R"(, "dc-inventory-revision": 2)"));
    EXPECT_EQ(reply.rfind(R"({"new-revision": 7, "old-revision": 0, "dc-inventory-revision": 2, "implicit-rules": [)",
                          0),
              0u)
        << reply;
    EXPECT_EQ(ActiveRevision(), std::optional<uint64_t>(0x0000000700000002ull));
    EXPECT_TRUE(en_policy_is_active());

    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.1.2.3", 22)), "BLOCK:m-ssh");
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.2.0.1", 22)), "BLOCK:out-block");
    EXPECT_EQ(Decide(Out("udp", "10.0.0.9", 40000, "192.0.2.53", 53)), "ALLOW:implicit-dns-rule");
    EXPECT_EQ(Decide(Out("tcp", "127.0.0.1", 40000, "127.0.0.1", 5000)), "ALLOW:implicit-local-rule");
    EXPECT_EQ(Decide(Out("udp", "10.0.0.9", 40000, "10.0.0.255", 137)), "ALLOW:implicit-broadcast-rule");
    EXPECT_EQ(Decide(In("tcp", "10.0.0.9", 80, "10.5.5.5", 50000)), "ALLOW:web-in");
    EXPECT_EQ(Decide(In("tcp", "10.0.0.9", 81, "10.5.5.5", 50000)), "BLOCK:in-block");

    /* The management server becomes reachable through its implicit rule. */
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.2.0.1", 443)), "BLOCK:out-block");
    reply = Run(R"({"execute": "set-server-address-info-list", "arguments": {"server-address-info-list":
                   [{"host": "10.2.0.1", "port": "443"}]}})");
    EXPECT_NE(reply.find(R"("new-revision": 7)"), std::string::npos) << reply;
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.2.0.1", 443)), "ALLOW:implicit-server-rule");

    std::string file = Read(PolicyFile());
    EXPECT_NE(file.find(R"("dc-inventory-revision": 2)"), std::string::npos);
    EXPECT_NE(file.find("implicit-server-rule"), std::string::npos);
    EXPECT_NE(file.find(R"("rule_type": "default")"), std::string::npos);

    reply = Run(R"({"execute": "get-enforcement-policy", "arguments": {"format": "json"}})");
    EXPECT_NE(reply.find(R"("revision": 7, "dc-inventory-revision": 2)"), std::string::npos) << reply.substr(0, 200);
    reply = Run(R"({"execute": "get-enforcement-policy"})");
    EXPECT_NE(reply.find(R"("server-ip": "10.2.0.1", "server-ip-type": "ipv4", "server-port": 443)"),
              std::string::npos)
        << reply.substr(0, 400);
}

TEST_F(PolicyTest, AFailedPushAtAnyRequestLeavesThePreviousPolicyEverywhere)
{
    ASSERT_EQ(Run(SetPolicy(7)).rfind("{\"new-revision\": 7", 0), 0u);
    const std::string file = Read(PolicyFile());
    const std::string stored = Run(R"({"execute": "get-enforcement-policy", "arguments": {"format": "json"}})");
    for (uint32_t code : {EN_IOCTL_INIT_INPUT_TABLE, EN_IOCTL_INIT_OUTPUT_TABLE_INDEX, EN_IOCTL_ADD_CHAIN,
                          EN_IOCTL_ADD_RULE, EN_IOCTL_SET_POLICY_REVISION, EN_IOCTL_SWAP_POLICY}) {
        SCOPED_TRACE(code);
        FailNext(code);
        std::string reply = Run(SetPolicy(8, Output("ALLOW")));
        EXPECT_EQ(reply.rfind("error: ", 0), 0u) << reply;
        EXPECT_EQ(ActiveRevision(), std::optional<uint64_t>(7ull << 32));
        EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.1.2.3", 22)), "BLOCK:m-ssh");
        EXPECT_EQ(Read(PolicyFile()), file);
        EXPECT_EQ(Run(R"({"execute": "get-enforcement-policy", "arguments": {"format": "json"}})"), stored);
        EXPECT_FALSE(en_policy_is_active());
    }
    /* The next good push goes through whole. */
    ASSERT_EQ(Run(SetPolicy(8, Output("ALLOW"))).rfind("{\"new-revision\": 8, \"old-revision\": 7", 0), 0u);
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.1.2.3", 22)), "ALLOW:m-ssh");
    EXPECT_TRUE(en_policy_is_active());
}

TEST_F(PolicyTest, RevisionsAbove32BitsAreRefusedBeforeTheDriverHearsOfThem)
{
    auto before = DriverPolicyActivity();
    EXPECT_FALSE(before.second);
    EXPECT_EQ(Run(SetPolicy(4294967296ull)), "error: revision is larger then 32 bit, revision 4294967296");
    EXPECT_EQ(Run(SetPolicy(1, Output(), R"(, "dc-inventory-revision": 4294967296)")),
              "error: dc_inventory_revision is larger then 32 bit, dc_inventory_revision 4294967296");
    EXPECT_EQ(Run(R"({"execute": "set-enforcement-policy-revision", "arguments": {"revision": 4294967296,
                     "dc-inventory-revision": 0}})"),
              "error: revision is larger then 32 bit, revision 4294967296");
    EXPECT_EQ(DriverPolicyActivity(), before);
    EXPECT_EQ(Read(PolicyFile()), "<none>");

    /* Revision 0 goes through but puts no policy in force. */
    ASSERT_EQ(Run(SetPolicy(0)).rfind("{\"new-revision\": 0", 0), 0u);
    EXPECT_EQ(ActiveRevision(), std::optional<uint64_t>(0));
    EXPECT_FALSE(en_policy_is_active());
}

TEST_F(PolicyTest, TheSameServerListInAnyOrderPushesOnce)
{
    ASSERT_EQ(Run(SetPolicy(3)).rfind("{\"new-revision\": 3", 0), 0u);
    uint64_t swaps = agent_metrics_get("policy.swap");
    std::string first = Run(R"({"execute": "set-server-address-info-list", "arguments": {"server-address-info-list":
        [{"host": "10.2.0.1", "port": "443"}, {"host": "10.2.0.2", "port": "443", "ipv4": true}]}})");
    EXPECT_EQ(agent_metrics_get("policy.swap"), swaps + 1);
    std::string again = Run(R"({"execute": "set-server-address-info-list", "arguments": {"server-address-info-list":
        [{"host": "10.2.0.2", "port": "443", "ipv4": true}, {"host": "10.2.0.1", "port": "443"}]}})");
    EXPECT_EQ(agent_metrics_get("policy.swap"), swaps + 1);
    EXPECT_EQ(again, first);
    EXPECT_TRUE(Logged(G_LOG_LEVEL_MESSAGE, "[policy] same server addresses rules, nothing to change in policy"));
    /* A flag that differs is a different list. */
    Run(R"({"execute": "set-server-address-info-list", "arguments": {"server-address-info-list":
        [{"host": "10.2.0.2", "port": "443"}, {"host": "10.2.0.1", "port": "443"}]}})");
    EXPECT_EQ(agent_metrics_get("policy.swap"), swaps + 2);

    std::string full = Run(R"({"execute": "get-last-enforcement-policy-details", "arguments": {"full": true}})");
    EXPECT_NE(full.find(R"("implicit-rules": [{)"), std::string::npos) << full;
    EXPECT_EQ(Run(R"({"execute": "get-last-enforcement-policy-details"})"),
              R"({"new-revision": 3, "old-revision": 3, "implicit-rules": []})");
}

TEST_F(PolicyTest, AServerListThatFailsToPushIsRetriedWhenSentAgain)
{
    ASSERT_EQ(Run(SetPolicy(3)).rfind("{\"new-revision\": 3", 0), 0u);
    const char *servers = R"({"execute": "set-server-address-info-list", "arguments": {"server-address-info-list":
        [{"host": "10.2.0.1", "port": "443"}]}})";
    FailNext(EN_IOCTL_SWAP_POLICY);
    EXPECT_EQ(Run(servers).rfind("error: error swapping policy for revision 3", 0), 0u);
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.2.0.1", 443)), "BLOCK:out-block");
    EXPECT_EQ(Read(PolicyFile()).find("implicit-server-rule"), std::string::npos);
    EXPECT_NE(Run(servers).find(R"("new-revision": 3)"), std::string::npos);
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.2.0.1", 443)), "ALLOW:implicit-server-rule");
}

TEST_F(PolicyTest, StateOffClosesTheDeviceAndOnPushesTheStoredPolicyAgain)
{
    ASSERT_EQ(Run(SetPolicy(5)).rfind("{\"new-revision\": 5", 0), 0u);
    EXPECT_EQ(Run(R"({"execute": "set-state", "arguments": {"state": "on"}})"), "{}");
    EXPECT_TRUE(Logged(G_LOG_LEVEL_MESSAGE, "[commands] agent state change left state unchanged: on"));
    EXPECT_EQ(Run(R"({"execute": "set-state", "arguments": {"state": "monitor"}})"),
              "error: [commands] unsupported agent state: monitor");

    EXPECT_EQ(Run(R"({"execute": "set-state", "arguments": {"state": "off"}})"), "{}");
    EXPECT_EQ(OpenDevices(), 0);
    EXPECT_EQ(Run(R"({"execute": "get-state"})"), R"("off")");
    EXPECT_EQ(Run(SetPolicy(6)), "error: can't push enforcement policy because API handle is closed");
    /* A server list that arrives meanwhile is kept for the next policy. */
    EXPECT_EQ(Run(R"({"execute": "set-server-address-info-list", "arguments": {"server-address-info-list":
                     [{"host": "10.2.0.1", "port": "443"}]}})"),
              "error: can't push enforcement policy because API handle is closed");

    uint64_t swaps = agent_metrics_get("policy.swap");
    EXPECT_EQ(Run(R"({"execute": "set-state", "arguments": {"state": "on"}})"), "{}");
    EXPECT_EQ(OpenDevices(), 1);
    EXPECT_EQ(agent_metrics_get("policy.swap"), swaps + 1);
    EXPECT_EQ(ActiveRevision(), std::optional<uint64_t>(5ull << 32));
    EXPECT_EQ(Run(R"({"execute": "get-state"})"), R"("on")");
    ASSERT_EQ(Run(SetPolicy(6)).rfind("{\"new-revision\": 6", 0), 0u);
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.2.0.1", 443)), "ALLOW:implicit-server-rule");
}

TEST_F(PolicyTest, ARestartPushesThePersistedPolicyBeforeAnyCommand)
{
    ASSERT_EQ(Run(SetPolicy(9)).rfind("{\"new-revision\": 9", 0), 0u);
    en_policy_cleanup();
    /* As if the driver had been reloaded: what it holds afterwards came from the file. */
    {
        endr::Engine &e = endr::engine();
        std::lock_guard<std::mutex> guard(e.mu);
        e.active = endr::Policy{};
    }
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.1.2.3", 22)), "ALLOW:");
    Start(true);
    EXPECT_TRUE(Logged(G_LOG_LEVEL_MESSAGE, "[policy] loaded persistent enforcement policy from file, revision=9"));
    uint64_t swaps = agent_metrics_get("policy.swap");
    Error *err = nullptr;
    ASSERT_TRUE(en_policy_start(&err)) << error_get_message(err);
    EXPECT_EQ(agent_metrics_get("policy.swap"), swaps + 1);
    EXPECT_EQ(ActiveRevision(), std::optional<uint64_t>(9ull << 32));
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.1.2.3", 22)), "BLOCK:m-ssh");
    EXPECT_TRUE(en_policy_is_active());

    /* Without the file flag the stored policy starts empty. */
    en_policy_cleanup();
    Start(false);
    EXPECT_EQ(Run(R"({"execute": "get-last-enforcement-policy-details"})"),
              R"({"new-revision": 0, "old-revision": 0, "implicit-rules": []})");
}

TEST_F(PolicyTest, AStoredPolicyThatCannotBePushedIsMovedAside)
{
    en_policy_cleanup();
    std::filesystem::create_directories(dir_ + "/data/config");
    std::string bad = R"({"input-table": [], "output-table": [{"chain_name": "M", "rules": [
        {"match_src": {}, "match_dst": {"match_multiple_subnets": ["10.0.0.0/99"]}, "protocols": ["tcp"],
         "verdict": "BLOCK", "id": "bad"}]}], "revision": 4})";
    ASSERT_TRUE(g_file_set_contents(PolicyFile().c_str(), bad.c_str(), -1, nullptr));
    Start(true);
    Error *err = nullptr;
    EXPECT_FALSE(en_policy_start(&err));
    error_free(err);
    EXPECT_FALSE(std::filesystem::exists(PolicyFile()));
    EXPECT_EQ(Read(PolicyFile() + ".invalid"), bad);
    EXPECT_FALSE(en_policy_is_active());
}

namespace {

/* The management connection as the command-server manager knows it: an aggregator whose
 * address must stay reachable. */
QmpServer *NewManagementServer()
{
    static const QmpServerOps kOps = {
        [](QmpServer *server) {
            qmp_server_finalize(server);
            delete server;
        },
        [](QmpServer *, Error **) { return true; },
        [](QmpServer *) {},
        [](QmpServer *, char *text, QmpReplyType) { g_free(text); },
        [](QmpServer *) {
            InetSocketAddress *address = qapi_alloc_InetSocketAddress();
            address->host = g_strdup("10.2.0.1");
            address->port = g_strdup("443");
            return qapi_new_InetSocketAddressList(address);
        },
    };
    auto *server = new QmpServer;
    qmp_server_init(server, "management", &kOps);
    server->aggregator = true;
    return server;
}

} // namespace

TEST_F(PolicyTest, AStoredPolicyRefusedAtStartStillGetsTheServerAddresses)
{
    ASSERT_EQ(Run(SetPolicy(9)).rfind("{\"new-revision\": 9", 0), 0u);
    en_policy_cleanup();
    Start(true);
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    qmp_manager_init(loop, false);
    qmp_manager_register_server(NewManagementServer());

    /* The driver refuses the stored policy once; the module goes on. */
    FailNext(EN_IOCTL_SWAP_POLICY);
    agent_module_t module{};
    agent_config_t config{};
    Error *err = nullptr;
    EXPECT_TRUE(enforcement_post_init(&module, &config, &err));
    EXPECT_EQ(err, nullptr);
    EXPECT_TRUE(Logged(G_LOG_LEVEL_CRITICAL, "[main] failed to start enforcement policy: error swapping policy for "
                                             "revision 9"));
    EXPECT_TRUE(Logged(G_LOG_LEVEL_DEBUG, "[main] en-policy should allow server address 10.2.0.1:443"));
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.2.0.1", 443)), "ALLOW:implicit-server-rule");

    /* A new policy keeps the management server reachable. */
    EXPECT_NE(Run(SetPolicy(10)).find(R"("new-revision": 10)"), std::string::npos);
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.2.0.1", 443)), "ALLOW:implicit-server-rule");
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.2.0.2", 443)), "BLOCK:out-block");

    qmp_manager_cleanup();
    g_main_loop_unref(loop);
}

TEST_F(PolicyTest, LightRevisionUpdateChangesTheRevisionButNotTheFile)
{
    ASSERT_EQ(Run(SetPolicy(5)).rfind("{\"new-revision\": 5", 0), 0u);
    std::string file = Read(PolicyFile());
    EXPECT_EQ(Run(R"({"execute": "set-enforcement-policy-revision", "arguments": {"revision": 6,
                     "dc-inventory-revision": 0}})"),
              R"({"new-revision": 6, "old-revision": 5, "dc-inventory-revision": 0, "implicit-rules": []})");
    EXPECT_EQ(ActiveRevision(), std::optional<uint64_t>(6ull << 32));
    EXPECT_NE(Run(R"({"execute": "get-enforcement-policy", "arguments": {"format": "json"}})").find(R"("revision": 6)"),
              std::string::npos);
    EXPECT_EQ(Read(PolicyFile()), file);
}

TEST_F(PolicyTest, ModesStateAndSmallCommands)
{
    g_en_config.enforcement_mode = 4;
    EXPECT_EQ(Run(R"({"execute": "get-enforcement-mode"})"), "error: [commands] invalid mode: 4");
    g_en_config.enforcement_mode = 3;
    EXPECT_EQ(Run(R"({"execute": "get-enforcement-mode"})"), R"("enforcing")");
    g_en_config.windows_firewall_mode = 2;
    EXPECT_EQ(Run(R"({"execute": "get-windows-firewall-mode"})"), R"("explicit-rules")");
    EXPECT_EQ(Run(R"({"execute": "get-iptables-mapping"})"), "error: not implemented");

    /* The root folder is read once per process: use whatever it is. */
    std::filesystem::create_directories(agent_root_folder());
    std::string sign = std::string(agent_root_folder()) + "/holvenstad.sign";
    std::filesystem::remove(sign);
    EXPECT_EQ(Run(R"({"execute": "read-digital-signature-file"})").rfind("error: error reading signature file '", 0),
              0u);
    ASSERT_TRUE(g_file_set_contents(sign.c_str(), "sig\n", -1, nullptr));
    EXPECT_EQ(Run(R"({"execute": "read-digital-signature-file"})"), R"("c2lnCg==")");
    std::filesystem::remove(sign);
}

TEST_F(PolicyTest, ImplicitDnsSwitchLockedFromTheCommandLine)
{
    en_policy_cleanup();
    agent_config_cleanup();
    ASSERT_TRUE(agent_config_init());
    ASSERT_TRUE(enforcement_register_config());
    Start(false, true);
    std::string reply = Run(R"({"execute": "set-configuration", "arguments": {"fields":
                     [{"name": "policy.implicit_dns_rules", "bool-value": true}]}})");
    EXPECT_EQ(reply.rfind("error: ", 0), 0u) << reply;
    EXPECT_NE(reply.find("can't override implicit DNS rules disabled from cmdliine"), std::string::npos) << reply;
    ASSERT_EQ(Run(SetPolicy(2)).rfind("{\"new-revision\": 2", 0), 0u);
    EXPECT_EQ(Decide(Out("udp", "10.0.0.9", 40000, "192.0.2.53", 53)), "BLOCK:out-block");
    EXPECT_EQ(Run(R"({"execute": "set-configuration", "arguments": {"fields":
                     [{"name": "policy.implicit_dns_rules", "bool-value": false}]}})"),
              "{}");
}

} // namespace
