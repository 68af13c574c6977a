/* The policy lifecycle end to end: commands through the dispatcher, the module's real
 * conversion, the emulated driver as the judge of what is in force, and the persistent file. */
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

#include "../en-classify/classify-fixture.h"
#include "tests/common/hv-dispatch.h"
#include "agent-common/agent-main.h"
#include "agent-common/agent-metrics.h"
#include "enforcement/framework/agent/en-api-internal.h"
#include "agent-common/qmp-servers/qmp-manager.h"
#include "agent-common/qmp-servers/qmp-server.h"
#include "enforcement/framework/agent/enforcement-runner.h"
#include "enforcement/framework/agent/en-config.h"
#include "enforcement/framework/agent/en-driver.h"
#include "enforcement/framework/agent/en-implicit-rules.h"
#include "enforcement/framework/agent/en-index.h"
#include "enforcement/framework/agent/en-lid-map.h"
#include "enforcement/framework/agent/en-persistent-storage.h"
#include "enforcement/framework/agent/en-policy.h"
#include "qapi/qmp-common-commands.h"
#include "qapi/qmp-enforcement-commands.h"
#include "qapi/qmp-registry.h"
#include "qobject/qjson.h"
#include "util/agent-config.h"
#include "enforcement/framework/agent/en-roaming.h"
#include "tests/common/hv-test-support.h"

#include <future>
#include <thread>

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

/* Outbound tcp/7777 of "sleep" processes blocked; `first` chains go before, the rest is allowed. */
std::string ProcessOutput(const std::string &first = "", const std::string &subnet = "10.0.0.0/8")
{
    return "[" + first + R"(
  {"chain_name": "P", "rules": [
    {"match_src": {"match_processes": [{"image_basename": "sleep"}]},
     "match_dst": {"match_multiple_subnets": [")" +
           subnet + R"("], "match_ports": [7777]}, "protocols": ["tcp"], "verdict": "BLOCK", "id": "sleep-7777"}]},
  {"chain_name": "DEFAULT-ALLOW", "rules": [
    {"match_src": {}, "match_dst": {}, "protocols": ["tcp"], "verdict": "ALLOW", "id": "out-allow"}]}])";
}

/* A chain numbered before the "sleep" identity: its process takes the lid "sleep" had. */
const char *kCurlFirst = R"(
  {"chain_name": "C", "rules": [
    {"match_src": {"match_processes": [{"image_basename": "curl"}]}, "match_dst": {"match_ports": [7777]},
     "protocols": ["tcp"], "verdict": "ALLOW", "id": "curl-7777"}]},)";

/* A running `sleep`, killed and reaped with the object. */
class SleepProcess {
public:
    SleepProcess()
    {
        gchar *argv[] = {const_cast<gchar *>("sleep"), const_cast<gchar *>("600"), nullptr};
        GPid child = 0;
        GError *error = nullptr;
        EXPECT_TRUE(g_spawn_async(nullptr, argv, nullptr,
                                  static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr,
                                  nullptr, &child, &error))
            << (error ? error->message : "");
        g_clear_error(&error);
        pid_ = child;
        /* The image is "sleep" once the exec happened. */
        std::string exe = "/proc/" + std::to_string(pid_) + "/exe";
        EXPECT_TRUE(hvtest::WaitFor([&] {
            g_autofree char *target = g_file_read_link(exe.c_str(), nullptr);
            return target && g_str_has_suffix(target, "/sleep");
        }));
    }
    ~SleepProcess()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    SleepProcess(const SleepProcess &) = delete;
    SleepProcess &operator=(const SleepProcess &) = delete;
    uint64_t pid() const { return static_cast<uint64_t>(pid_); }

private:
    pid_t pid_ = 0;
};

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

    /* The decision for pid's outbound tcp to 10.1.2.3:7777 with the lids the driver recorded for it. */
    static std::string DecideFor(uint64_t pid)
    {
        endr_connection c{};
        c.protocol = 0;
        const uint8_t local[] = {10, 0, 0, 9}, remote[] = {10, 1, 2, 3};
        memcpy(c.local, local, sizeof local);
        memcpy(c.remote, remote, sizeof remote);
        c.local_port = 40000;
        c.remote_port = 7777;
        c.pid = pid;
        endr_verdict v{};
        EXPECT_EQ(endr_classify(&c, &v), 0u);
        return std::string(v.verdict == 1 ? "BLOCK:" : "ALLOW:") + v.rule_id;
    }

    static void ForgetLidReply(uint64_t pid)
    {
        endr::Engine &e = endr::engine();
        std::lock_guard<std::mutex> guard(e.mu);
        e.lid_replies.erase(pid);
    }

    /* The driver asks for pid's lids, as for a process it sees for the first time. */
    static bool RaiseAndAwaitLids(uint64_t pid)
    {
        ForgetLidReply(pid);
        EXPECT_EQ(endr::engine_raise_lid_request(pid), 0u);
        endr::LidReply reply{};
        return WaitFor([&] { return LidReply(pid, &reply); });
    }

    /* A fresh driver lid request for pid, answered: the process as the module sees it now. */
    static endr::LidReply AskLids(uint64_t pid)
    {
        {
            endr::Engine &e = endr::engine();
            std::lock_guard<std::mutex> guard(e.mu);
            e.lid_replies.erase(pid);
        }
        EXPECT_EQ(endr::engine_raise_lid_request(pid), 0u);
        endr::LidReply reply{};
        EXPECT_TRUE(WaitFor([&] { return LidReply(pid, &reply); }));
        return reply;
    }

    /* What the module stored for the process behind a lid reply, or nullptr. */
    static std::unique_ptr<en_process_info_t, void (*)(en_process_info_t *)> Stored(const endr::LidReply &reply)
    {
        en_process_info_t *info = nullptr;
        en_lid_map_get_pid(reply.pid, reply.cid, &info);
        return {info, en_process_info_free};
    }

    /* An output table whose chain "P" blocks TCP 7777 for each (rule id, process match). */
    static std::string ProcessRulesOutput(const std::vector<std::pair<std::string, std::string>> &rules)
    {
        std::string chain = R"([{"chain_name": "P", "rules": [)";
        for (size_t i = 0; i < rules.size(); i++) {
            chain += std::string(i ? "," : "") + R"({"match_src": {"match_processes": [)" + rules[i].second +
                     R"(]}, "match_dst": {"match_ports": [7777]}, "protocols": ["tcp"], "verdict": "BLOCK", "id": ")" +
                     rules[i].first + "\"}";
        }
        return chain + R"(]}, {"chain_name": "DEFAULT-BLOCK", "rules": [
            {"match_src": {}, "match_dst": {}, "protocols": ["tcp", "udp", "icmp"], "verdict": "BLOCK",
             "id": "out-block"}]}])";
    }

    static Tuple ProcessTuple(uint64_t pid)
    {
        Tuple t = Out("tcp", "10.0.0.9", 40000, "10.3.0.1", 7777);
        t.pid = pid;
        return t;
    }

    /* A program of its own under this test's folder: a copy of sleep. */
    std::string CopyProgram(const std::string &name) const
    {
        g_autofree char *sleep_path = g_find_program_in_path("sleep");
        EXPECT_NE(sleep_path, nullptr);
        std::string path = dir_ + "/bin/" + name;
        std::filesystem::copy_file(sleep_path ? sleep_path : "/bin/sleep", path,
                                   std::filesystem::copy_options::overwrite_existing);
        return path;
    }

    /* Runs program until Stop; 0 when it did not start. With `as` set, only as that pid (the
     * system must let this test choose the next pid), else 0. */
    static GPid Start(const std::string &program, pid_t as = 0)
    {
        for (int attempt = 0; attempt < (as ? 50 : 1); attempt++) {
            if (as && !NextPidIs(as)) {
                return 0;
            }
            std::string arg = "600";
            char *argv[] = {const_cast<char *>(program.c_str()), arg.data(), nullptr};
            GPid child = 0;
            if (!g_spawn_async(nullptr, argv, nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &child, nullptr)) {
                return 0;
            }
            if (as && child != as) {
                Stop(child);
                continue;
            }
            /* Until the exec, the child is a copy of this test. */
            const std::string exe = "/proc/" + std::to_string(child) + "/exe";
            EXPECT_TRUE(WaitFor([&] {
                g_autofree char *link = g_file_read_link(exe.c_str(), nullptr);
                return link && program == link;
            }));
            return child;
        }
        return 0;
    }

    static void Stop(GPid child)
    {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        g_spawn_close_pid(child);
    }

    static bool NextPidIs(pid_t pid)
    {
        FILE *f = fopen("/proc/sys/kernel/ns_last_pid", "w");
        if (!f) {
            return false;
        }
        bool ok = fprintf(f, "%d", pid - 1) > 0;
        return fclose(f) == 0 && ok;
    }

    static int64_t DriverCounter(const char *name)
    {
        endr::Engine &e = endr::engine();
        std::lock_guard<std::mutex> guard(e.mu);
        return e.counters[name];
    }
};

/* The first kernel thread this machine shows (pid, /proc name), or pid 0 when it shows none. */
std::pair<uint64_t, std::string> FirstKernelThread()
{
    for (uint64_t pid = 2; pid < 4096; pid++) {
        std::string stat = hvtest::ReadFile("/proc/" + std::to_string(pid) + "/stat", "");
        size_t close = stat.rfind(')');
        unsigned long long flags = 0;
        if (close == std::string::npos ||
            sscanf(stat.c_str() + close + 1, " %*c %*d %*d %*d %*d %*d %llu", &flags) != 1 || !(flags & 0x00200000)) {
            continue;
        }
        std::string comm = hvtest::ReadFile("/proc/" + std::to_string(pid) + "/comm", "");
        if (!comm.empty() && comm.back() == '\n') {
            comm.pop_back();
        }
        return {pid, comm};
    }
    return {0, ""};
}

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

TEST_F(PolicyTest, AnIndexBeyondTheConfiguredSizeIsRefusedByTheModuleAndThePolicyInForceStays)
{
    ASSERT_EQ(Run(SetPolicy(7)).rfind("{\"new-revision\": 7", 0), 0u);
    const std::string file = Read(PolicyFile());
    ASSERT_EQ(Run(R"({"execute": "set-configuration", "arguments": {"fields":
                     [{"name": "index.max_rule_index_size", "int-value": 8192}]}})"),
              "{}");
    /* 400 rules on distinct ports: 400 vectors of 7 words (22 KiB) alone pass 8 KiB. */
    std::string many = R"([{"chain_name": "PORTS", "rules": [)";
    for (int p = 0; p < 400; p++) {
        many += std::string(p ? "," : "") + R"({"match_src": {}, "match_dst": {"match_ports": [)" +
                std::to_string(1000 + p) + R"(]}, "protocols": ["tcp"], "verdict": "ALLOW", "id": "p)" +
                std::to_string(p) + "\"}";
    }
    many += "]}]";
    const std::string reply = Run(SetPolicy(8, many));
    const std::string prefix = "error: [index] rule index of ", suffix = " bytes exceeds the limit of 8192 bytes";
    ASSERT_EQ(reply.rfind(prefix, 0), 0u) << reply;
    ASSERT_GT(reply.size(), prefix.size() + suffix.size());
    EXPECT_EQ(reply.substr(reply.size() - suffix.size()), suffix) << reply;
    EXPECT_GT(std::stoull(reply.substr(prefix.size())), 8192u) << reply;
    EXPECT_TRUE(LoggedMatching(kWarning, "[index] rule index of ", suffix));
    EXPECT_TRUE(Logged(kCritical, "[index] could not convert table to index"));
    EXPECT_FALSE(LoggedPrefix(kWarning, "[endr-emu] output table index")) << "the driver never saw it";

    EXPECT_EQ(ActiveRevision(), std::optional<uint64_t>(7ull << 32));
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.1.2.3", 22)), "BLOCK:m-ssh");
    EXPECT_EQ(Read(PolicyFile()), file);

    /* Back to the default limit, the same policy goes through. */
    ASSERT_EQ(Run(R"({"execute": "set-configuration", "arguments": {"fields":
                     [{"name": "index.max_rule_index_size", "int-value": 67108864}]}})"),
              "{}");
    ASSERT_EQ(Run(SetPolicy(8, many)).rfind("{\"new-revision\": 8", 0), 0u);
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.1.2.3", 1042)), "ALLOW:p42");
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

TEST_F(PolicyTest, TheLargest32BitRevisionsReachTheDriverOnBothRoads)
{
    const std::string top = R"(, "dc-inventory-revision": 4294967295)";
    EXPECT_EQ(Run(SetPolicy(4294967295ull, Output(), top))
                  .rfind(R"({"new-revision": 4294967295, "old-revision": 0, "dc-inventory-revision": 4294967295, )", 0),
              0u);
    EXPECT_EQ(ActiveRevision(), std::optional<uint64_t>(0xFFFFFFFFFFFFFFFFull));
    EXPECT_TRUE(en_policy_is_active());

    ASSERT_EQ(Run(SetPolicy(1)).rfind("{\"new-revision\": 1", 0), 0u);
    EXPECT_EQ(Run(R"({"execute": "set-enforcement-policy-revision", "arguments": {"revision": 4294967295,
                     "dc-inventory-revision": 4294967295}})")
                  .rfind("error: ", 0),
              std::string::npos);
    EXPECT_EQ(ActiveRevision(), std::optional<uint64_t>(0xFFFFFFFFFFFFFFFFull));
}

/*
 * A network change takes the roaming lock and then the policy lock; a command pushes a
 * policy under the policy lock alone. Both at once from two threads must neither
 * deadlock nor leave the driver with a policy derived from a roaming state gone by.
 */
TEST_F(PolicyTest, RoamingChangesDuringPolicyPushesFromAnotherThread)
{
    hvtest::TempDir dir("hv-roaming-race");
    g_setenv("HV_KRB5_CONF", (dir.path() + "/none").c_str(), TRUE);
    g_setenv("HV_RESOLV_CONF", (dir.path() + "/none").c_str(), TRUE);
    Error *err = nullptr;
    ASSERT_TRUE(process_roaming_domain_list_config("corp.example.com", &err));
    ASSERT_EQ(Run(SetPolicy(1)).rfind("{\"new-revision\": 1", 0), 0u);

    constexpr int kRounds = 40;
    std::promise<void> pushes_done, changes_done;
    std::future<void> pushes = pushes_done.get_future(), changes = changes_done.get_future();
    std::atomic<int> refused{0};
    std::thread pusher([&] {
        for (int i = 2; i < 2 + kRounds; ++i) {
            if (Run(SetPolicy(static_cast<uint64_t>(i))).rfind("{\"new-revision\": ", 0) != 0) {
                ++refused;
            }
        }
        pushes_done.set_value();
    });
    std::thread changer([&] {
        for (int i = 0; i < kRounds; ++i) {
            en_roaming_mode_changed(i % 2 == 0);
            en_roaming_event(nullptr);
            EXPECT_TRUE(process_roaming_domain_list_config("corp.example.com, lab.example.net", nullptr));
        }
        /* Ends with roaming on. */
        en_roaming_mode_changed(true);
        changes_done.set_value();
    });
    /* A deadlock fails the run instead of hanging it; the bound is far above any real run. */
    bool finished = pushes.wait_for(std::chrono::minutes(5)) == std::future_status::ready &&
                    changes.wait_for(std::chrono::minutes(5)) == std::future_status::ready;
    if (!finished) {
        ADD_FAILURE() << "roaming changes and policy pushes deadlocked";
        std::_Exit(1);
    }
    pusher.join();
    changer.join();
    EXPECT_EQ(refused.load(), 0);

    /* Roaming is on without a domain match: the last policy in force, with every interface away. */
    EXPECT_TRUE(en_roaming_is_enabled());
    EXPECT_EQ(ActiveRevision(), std::optional<uint64_t>(static_cast<uint64_t>(1 + kRounds) << 32));
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.2.0.1", 22)), "ALLOW:implicit-outgoing-roaming-rule");
    EXPECT_EQ(Decide(In("tcp", "10.0.0.9", 81, "10.5.5.5", 50000)), "ALLOW:implicit-incoming-roaming-rule");

    /* And a push after it all keeps them. */
    ASSERT_EQ(Run(SetPolicy(100)).rfind("{\"new-revision\": 100", 0), 0u);
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.2.0.1", 22)), "ALLOW:implicit-outgoing-roaming-rule");
    en_roaming_mode_changed(false);
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.2.0.1", 22)), "BLOCK:out-block");
    g_unsetenv("HV_KRB5_CONF");
    g_unsetenv("HV_RESOLV_CONF");
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

TEST_F(PolicyTest, ServerAddressesKeepTheirFamilyAndHostNamesNeverFailAPush)
{
    ASSERT_EQ(Run(SetPolicy(3)).rfind("{\"new-revision\": 3", 0), 0u);
    std::string reply = Run(R"({"execute": "set-server-address-info-list", "arguments": {"server-address-info-list":
        [{"host": "2001:db8::5", "port": "443"}, {"host": "10.2.0.7", "port": "443", "ipv6": true},
         {"host": "localhost", "port": "8443", "ipv4": true}, {"host": "mgmt.example.invalid", "port": "443"}]}})");
    EXPECT_NE(reply.find(R"("new-revision": 3)"), std::string::npos) << reply;

    /* One IPv6 host, not its /32 network. */
    EXPECT_EQ(Decide(Out("tcp", "2001:db8::9", 40000, "2001:db8::5", 443)), "ALLOW:implicit-server-rule");
    EXPECT_EQ(Decide(Out("tcp", "2001:db8::9", 40000, "2001:db8:ffff::1", 443)), "BLOCK:out-block");
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.9.9.9", 443)), "BLOCK:out-block");
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.2.0.7", 443)), "ALLOW:implicit-server-rule");
    EXPECT_TRUE(Logged(kWarning, "[policy] address family flags of implicit server address 10.2.0.7:443 contradict "
                                 "the address, using it as IPv4"));
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "127.0.0.1", 8443)), "ALLOW:implicit-server-rule");
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "127.0.0.2", 8443)), "BLOCK:out-block");
    EXPECT_TRUE(LoggedPrefix(kWarning, "[policy] failed resolving implicit server address mgmt.example.invalid:443 ("));

    /* Later policies go through with the same list. */
    ASSERT_EQ(Run(SetPolicy(4)).rfind("{\"new-revision\": 4", 0), 0u);
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "127.0.0.1", 8443)), "ALLOW:implicit-server-rule");
    EXPECT_NE(Run(R"({"execute": "get-enforcement-policy"})")
                  .find(R"("server-ip": "2001:db8::5", "server-ip-type": "ipv6", "server-port": 443)"),
              std::string::npos);
}

TEST_F(PolicyTest, ARefusedSubnetIsReportedByTheFunctionThatRefusedIt)
{
    std::string bad = R"([{"chain_name": "M", "rules": [
        {"match_src": {}, "match_dst": {"match_multiple_subnets": ["10.0.0.0/99"]}, "protocols": ["tcp"],
         "verdict": "BLOCK", "id": "bad"}]}])";
    Error *err = nullptr;
    QObject *req = qobject_from_json(SetPolicy(5, bad).c_str(), &err);
    ASSERT_NE(req, nullptr);
    g_free(do_qmp_dispatch(req, &err));
    qobject_decref(req);
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(error_get_message(err), "[utils] failed to parse: 10.0.0.0/99");
    EXPECT_STREQ(error_get_code_func(err), "en_parse_cidr");
    EXPECT_TRUE(g_str_has_suffix(error_get_code_file(err), "en-utils.cpp")) << error_get_code_file(err);
    error_free(err);
}

TEST_F(PolicyTest, AProcessWhoseImageFileWasReplacedOrRemovedKeepsItsPathAndName)
{
    for (bool replace : {true, false}) {
        SCOPED_TRACE(replace ? "replaced" : "removed");
        const std::string tool = CopyProgram("hv-replaced-tool");
        GPid child = Start(tool);
        ASSERT_NE(child, 0);
        if (replace) {
            CopyProgram("hv-replaced-tool.new");
            std::filesystem::rename(tool + ".new", tool);
        } else {
            std::filesystem::remove(tool);
        }
        g_autofree char *link = g_file_read_link(("/proc/" + std::to_string(child) + "/exe").c_str(), nullptr);
        ASSERT_NE(link, nullptr);
        ASSERT_EQ(std::string(link), tool + " (deleted)");

        /* The lids of running processes are sent with the push. */
        ASSERT_EQ(Run(SetPolicy(replace ? 7 : 8,
                                ProcessRulesOutput({{"tool-name", R"({"image_basename": "hv-replaced-tool"})"}})))
                      .rfind("{\"new-revision\"", 0),
                  0u);
        EXPECT_EQ(Decide(ProcessTuple(static_cast<uint64_t>(child))), "BLOCK:tool-name");
        endr::LidReply reply{};
        ASSERT_TRUE(LidReply(static_cast<uint64_t>(child), &reply));
        auto stored = Stored(reply);
        ASSERT_TRUE(stored);
        EXPECT_STREQ(stored->image_path, tool.c_str());
        EXPECT_STREQ(stored->app_name, "hv-replaced-tool");
        Stop(child);
    }
}

TEST_F(PolicyTest, TheDriverAsksForTheLidsOfAProcessStartedAfterThePush)
{
    const std::string tool = CopyProgram("hv-new-tool");
    const std::string other = CopyProgram("hv-other-tool");
    ASSERT_EQ(Run(SetPolicy(7, ProcessRulesOutput({{"tool-name", R"({"image_basename": "hv-new-tool"})"}})))
                  .rfind("{\"new-revision\": 7", 0),
              0u);
    int64_t raised = DriverCounter("endr.lid-requests-raised");
    GPid child = Start(tool);
    ASSERT_NE(child, 0);
    EXPECT_EQ(Decide(ProcessTuple(static_cast<uint64_t>(child))), "BLOCK:tool-name");
    EXPECT_EQ(DriverCounter("endr.lid-requests-raised"), raised + 1);
    /* Answered once: the next connection of the process needs no request. */
    EXPECT_EQ(Decide(ProcessTuple(static_cast<uint64_t>(child))), "BLOCK:tool-name");
    EXPECT_EQ(DriverCounter("endr.lid-requests-raised"), raised + 1);
    Stop(child);

    /* A pid taken again by another program is another process: its lids are asked for again. */
    GPid first = Start(other);
    ASSERT_NE(first, 0);
    EXPECT_EQ(Decide(ProcessTuple(static_cast<uint64_t>(first))), "BLOCK:out-block");
    Stop(first);
    GPid again = Start(tool, first);
    if (again == 0) {
        GTEST_SKIP() << "this system does not let the test choose a process id";
    }
    EXPECT_EQ(Decide(ProcessTuple(static_cast<uint64_t>(again))), "BLOCK:tool-name");
    Stop(again);
}

TEST_F(PolicyTest, NoPidIsNamedByItsNumberAndKernelThreadsGoByTheirKernelName)
{
    auto [kthread, kname] = FirstKernelThread();
    ASSERT_EQ(Run(SetPolicy(7, ProcessRulesOutput({{"system-name", R"({"image_basename": "System"})"},
                                              {"idle-name", R"({"image_basename": "System Idle Process"})"},
                                              {"kernel-name", R"({"image_basename": ")" + kname + R"("})"}})))
                  .rfind("{\"new-revision\": 7", 0),
              0u);

    /* Pid 4 is whatever Linux has there, if anything. */
    endr::LidReply four = AskLids(4);
    EXPECT_NE(Decide(ProcessTuple(4)), "BLOCK:system-name");
    if (auto stored = Stored(four)) {
        std::string comm = hvtest::ReadFile("/proc/4/comm", "");
        EXPECT_EQ(std::string(stored->app_name) + "\n", comm);
    }

    if (kthread == 0) {
        GTEST_SKIP() << "no kernel thread is visible here";
    }
    endr::LidReply reply = AskLids(kthread);
    EXPECT_EQ(Decide(ProcessTuple(kthread)), "BLOCK:kernel-name");
    auto stored = Stored(reply);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->app_name, kname);
    EXPECT_EQ(stored->image_path, kname);
    /* Its parent (or, for the first one, the pid 0 above it) is looked up too, never named "System Idle Process". */
    EXPECT_TRUE(stored->has_ppid);
    EXPECT_STRNE(stored->parent_name, "System Idle Process");
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
    /* The refused policy is not reported as the one in force: the management side resends. */
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.2.0.2", 443)), "ALLOW:");
    std::string stored = Run(R"({"execute": "get-enforcement-policy", "arguments": {"format": "json"}})");
    EXPECT_NE(stored.find(R"("revision": 0)"), std::string::npos) << stored;
    EXPECT_EQ(stored.find("out-block"), std::string::npos) << stored;
    EXPECT_FALSE(en_policy_is_active());

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

TEST_F(PolicyTest, ARefusedPolicyLeavesTheProcessNumberingOfThePolicyInForce)
{
    ASSERT_EQ(Run(SetPolicy(10, ::ProcessOutput())).rfind("{\"new-revision\": 10", 0), 0u);
    SleepProcess first;
    ASSERT_TRUE(RaiseAndAwaitLids(first.pid()));
    ASSERT_EQ(DecideFor(first.pid()), "BLOCK:sleep-7777");

    /* Refused by the conversion, or by the driver once every lid of the new policy was numbered. */
    struct Refusal {
        const char *what;
        std::string output;
        uint32_t fail_code;
    };
    const Refusal refusals[] = {
        {"bad subnet", ::ProcessOutput(kCurlFirst, "10.0.0.0/99"), 0},
        {"rule refused", ::ProcessOutput(kCurlFirst), EN_IOCTL_ADD_RULE},
        {"revision refused", ::ProcessOutput(kCurlFirst), EN_IOCTL_SET_POLICY_REVISION},
        {"swap refused", ::ProcessOutput(kCurlFirst), EN_IOCTL_SWAP_POLICY},
    };
    for (const Refusal &r : refusals) {
        SCOPED_TRACE(r.what);
        if (r.fail_code) {
            FailNext(r.fail_code);
        }
        std::string reply = Run(SetPolicy(11, r.output));
        ASSERT_EQ(reply.rfind("error: ", 0), 0u) << reply;
        ASSERT_EQ(ActiveRevision(), std::optional<uint64_t>(10ull << 32));
        SleepProcess next;
        ASSERT_TRUE(RaiseAndAwaitLids(next.pid()));
        EXPECT_EQ(DecideFor(next.pid()), "BLOCK:sleep-7777");
    }

    /* The policy that goes through brings its own numbering for new and running processes. */
    ASSERT_EQ(Run(SetPolicy(11, ::ProcessOutput(kCurlFirst))).rfind("{\"new-revision\": 11", 0), 0u);
    EXPECT_EQ(DecideFor(first.pid()), "BLOCK:sleep-7777");
    SleepProcess last;
    ASSERT_TRUE(RaiseAndAwaitLids(last.pid()));
    EXPECT_EQ(DecideFor(last.pid()), "BLOCK:sleep-7777");
}

/* Holds the receive thread's answer for one pid between its computation and its sending. */
struct HeldAnswer {
    std::mutex mu;
    std::condition_variable cv;
    uint64_t pid = 0;
    bool held = false;
    bool released = false;

    static HeldAnswer &Get()
    {
        static HeldAnswer h;
        return h;
    }
    static void Hook(uint64_t pid, bool update)
    {
        HeldAnswer &h = Get();
        std::unique_lock<std::mutex> guard(h.mu);
        if (update || pid != h.pid) {
            return;
        }
        h.held = true;
        h.cv.notify_all();
        h.cv.wait(guard, [&] { return h.released; });
    }
    void Release()
    {
        std::lock_guard<std::mutex> guard(mu);
        released = true;
        cv.notify_all();
    }
};

TEST_F(PolicyTest, AnAnswerComputedBeforeASwapNeverOverwritesTheUpdateAfterIt)
{
    ASSERT_EQ(Run(SetPolicy(10, ::ProcessOutput())).rfind("{\"new-revision\": 10", 0), 0u);
    SleepProcess proc;
    HeldAnswer &held = HeldAnswer::Get();
    held.pid = proc.pid();
    en_api_set_lid_reply_hook_for_test(HeldAnswer::Hook);
    struct Unhook {
        ~Unhook()
        {
            HeldAnswer::Get().Release();
            en_api_set_lid_reply_hook_for_test(nullptr);
        }
    } unhook;

    ForgetLidReply(proc.pid());
    ASSERT_EQ(endr::engine_raise_lid_request(proc.pid()), 0u);
    {
        std::unique_lock<std::mutex> guard(held.mu);
        ASSERT_TRUE(held.cv.wait_for(guard, std::chrono::seconds(10), [&] { return held.held; }));
    }
    /* A whole push while the answer waits: "sleep" gets another lid, which the update carries. */
    ASSERT_EQ(Run(SetPolicy(11, ::ProcessOutput(kCurlFirst))).rfind("{\"new-revision\": 11", 0), 0u);
    endr::LidReply reply{};
    ASSERT_TRUE(LidReply(proc.pid(), &reply));
    ASSERT_TRUE(reply.update);
    ASSERT_EQ(DecideFor(proc.pid()), "BLOCK:sleep-7777");

    held.Release();
    ASSERT_TRUE(WaitFor([&] { return LidReply(proc.pid(), &reply) && !reply.update; }));
    EXPECT_EQ(DecideFor(proc.pid()), "BLOCK:sleep-7777");
}

TEST_F(PolicyTest, AFailedReauthorizationAfterTheSwapStillCommitsThePolicyEverywhere)
{
    ASSERT_EQ(Run(SetPolicy(19)).rfind("{\"new-revision\": 19", 0), 0u);
    FailNext(EN_IOCTL_TRIGGER_REAUTHORIZATION);
    std::string reply = Run(SetPolicy(20, Output("ALLOW")));
    EXPECT_EQ(reply.rfind("{\"new-revision\": 20, \"old-revision\": 19", 0), 0u) << reply;
    EXPECT_TRUE(Logged(kWarning, "[api] failed to trigger reauthorization"));
    EXPECT_EQ(ActiveRevision(), std::optional<uint64_t>(20ull << 32));
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.1.2.3", 22)), "ALLOW:m-ssh");
    EXPECT_TRUE(en_policy_is_active());
    EXPECT_NE(Run(R"({"execute": "get-enforcement-policy", "arguments": {"format": "json"}})").find(R"("revision": 20)"),
              std::string::npos);
    EXPECT_NE(Read(PolicyFile()).find(R"("revision": 20)"), std::string::npos);

    /* The same holds for the stored policy pushed again at "on". */
    ASSERT_EQ(Run(R"({"execute": "set-state", "arguments": {"state": "off"}})"), "{}");
    FailNext(EN_IOCTL_TRIGGER_REAUTHORIZATION);
    EXPECT_EQ(Run(R"({"execute": "set-state", "arguments": {"state": "on"}})"), "{}");
    EXPECT_TRUE(std::filesystem::exists(PolicyFile()));

    /* A restart brings back what the driver enforced. */
    en_policy_cleanup();
    Start(true);
    EXPECT_TRUE(Logged(G_LOG_LEVEL_MESSAGE, "[policy] loaded persistent enforcement policy from file, revision=20"));
}

TEST_F(PolicyTest, AServerListSetWhileOffReachesTheDriverAtOn)
{
    ASSERT_EQ(Run(SetPolicy(5)).rfind("{\"new-revision\": 5", 0), 0u);
    ASSERT_NE(Run(R"({"execute": "set-server-address-info-list", "arguments": {"server-address-info-list":
                     [{"host": "10.2.0.1", "port": "443"}]}})")
                  .find(R"("new-revision": 5)"),
              std::string::npos);
    ASSERT_EQ(Run(R"({"execute": "set-state", "arguments": {"state": "off"}})"), "{}");
    const char *moved = R"({"execute": "set-server-address-info-list", "arguments": {"server-address-info-list":
                     [{"host": "10.2.0.7", "port": "443"}]}})";
    EXPECT_EQ(Run(moved), "error: can't push enforcement policy because API handle is closed");

    uint64_t swaps = agent_metrics_get("policy.swap");
    ASSERT_EQ(Run(R"({"execute": "set-state", "arguments": {"state": "on"}})"), "{}");
    EXPECT_EQ(agent_metrics_get("policy.swap"), swaps + 1);
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.2.0.7", 443)), "ALLOW:implicit-server-rule");
    EXPECT_EQ(Decide(Out("tcp", "10.0.0.9", 40000, "10.2.0.1", 443)), "BLOCK:out-block");
    std::string stored = Run(R"({"execute": "get-enforcement-policy", "arguments": {"format": "json"}})");
    EXPECT_NE(stored.find("10.2.0.7"), std::string::npos);
    EXPECT_EQ(stored.find("10.2.0.1"), std::string::npos);
    EXPECT_NE(Read(PolicyFile()).find("10.2.0.7"), std::string::npos);
    /* The list now in force is not pushed again. */
    EXPECT_NE(Run(moved).find(R"("new-revision": 5)"), std::string::npos);
    EXPECT_EQ(agent_metrics_get("policy.swap"), swaps + 1);
}

TEST_F(PolicyTest, CleanupReturnsOnlyOnceAReleaseInProgressEnded)
{
    static std::atomic<bool> entered, finished;
    entered = false;
    finished = false;
    en_index_free_thread_enqueue(new int(1), [](void *p) {
        entered = true;
        /* Long enough that a cleanup that does not wait returns first. */
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        delete static_cast<int *>(p);
        finished = true;
    });
    ASSERT_TRUE(WaitFor([] { return entered.load(); }));
    en_policy_cleanup();
    EXPECT_TRUE(finished);
    EXPECT_FALSE(LoggedContaining("did not finish"));
    for (const std::string &task : hvtest::ListDir("/proc/self/task")) {
        EXPECT_NE(hvtest::ReadFile("/proc/self/task/" + task + "/comm", ""), "policy-indexing\n");
    }
    EXPECT_TRUE(Logged(kDebug, "[index] free thread exiting"));
}

} // namespace
