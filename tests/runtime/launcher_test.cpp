/* The launcher and the enforcement bundle as a user runs them. */
#include <gtest/gtest.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <nanomsg/nn.h>
#include <nanomsg/pipeline.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <pwd.h>

#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent-common/build-info.h"
#include "tests/common/hv-test-support.h"
#include "tests/common/process-child.h"

namespace {

using hvtest::Outcome;

class LauncherTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.empty());
        /* The launcher runs from a folder of its own: that folder is the root, where the
         * driver file is extracted and where the driver channel looks for it. */
        root_ = dir_ + "/root";
        std::filesystem::create_directories(root_);
        launcher_ = root_ + "/hv-agent";
        std::filesystem::copy_file(HV_LAUNCHER, launcher_);
        /* The driver service's daemon lies beside the launcher, like the driver file. */
        std::filesystem::create_symlink(HV_ENDRD, root_ + "/hv-endrd");
        registry_ = dir_ + "/registry";
        hvtest::WriteFile(registry_, "HV_DATA_FOLDER=" + dir_ + "/data\n");
    }

    /* The driver stays loaded after the module; the test unloads it, and none may remain.
     * What a test left running (an assertion ended it early) goes first, so the daemon it
     * holds can stop. */
    void TearDown() override
    {
        started_.kill_all();
        EXPECT_TRUE(hvtest::StopDriverDaemon(dir_ + "/run")) << "the driver daemon did not stop";
    }

    /* The programs a test started in the background: those it did not reap are killed and
     * reaped, on every way out of the test. */
    class Started {
    public:
        Started() = default;
        Started(const Started &) = delete;
        Started &operator=(const Started &) = delete;
        ~Started() { kill_all(); }
        void add(GPid pid) { pids_.push_back(pid); }
        void kill_all()
        {
            for (GPid pid : pids_) {
                int status = 0;
                /* 0: still a running child of ours. A pid the test reaped is no child any more
                 * (-1), so nothing else is ever signalled. */
                if (waitpid(pid, &status, WNOHANG) == 0) {
                    kill(pid, SIGKILL);
                    waitpid(pid, &status, 0);
                }
            }
            pids_.clear();
        }

    private:
        std::vector<GPid> pids_;
    };

    std::vector<std::string> command(const std::vector<std::string> &module_args) const
    {
        std::vector<std::string> argv = {launcher_, HV_BUNDLE};
        argv.insert(argv.end(), module_args.begin(), module_args.end());
        return argv;
    }

    char **envp() const
    {
        char **env = g_get_environ();
        env = g_environ_setenv(env, "HV_REGISTRY_FILE", registry_.c_str(), TRUE);
        env = g_environ_setenv(env, "HV_RUNTIME_DIR", (dir_ + "/run").c_str(), TRUE);
        env = g_environ_setenv(env, "HV_ENDR_EMU_ADDRESS", ("ipc://" + dir_ + "/endr.ipc").c_str(), TRUE);
        return g_environ_unsetenv(env, "HV_LOGGING_PROFILE");
    }

    Outcome run(const std::vector<std::string> &module_args) const { return spawn(command(module_args)); }

    /* Each test in its own folder: the module binds its command socket relative to it. */
    Outcome spawn(const std::vector<std::string> &args) const
    {
        g_auto(GStrv) env = envp();
        return hvtest::RunProgram(args, dir_.c_str(), env);
    }

    std::string driver() const { return root_ + "/hv-enforcement64.sys"; }

    /* Starts a module in the background, its output discarded; 0 when it could not be spawned. */
    GPid start(const std::vector<std::string> &args) const
    {
        return spawn_module(args, -1, -1, -1,
                            static_cast<GSpawnFlags>(G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL));
    }

    /* Starts a module on the given standard descriptors; 0 when it could not be spawned. */
    GPid start_with_fds(const std::vector<std::string> &args, int in, int out, int err) const
    {
        return spawn_module(args, in, out, err, G_SPAWN_DEFAULT);
    }

    GPid spawn_module(const std::vector<std::string> &args, int in, int out, int err, GSpawnFlags flags) const
    {
        std::vector<char *> argv;
        for (auto &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        g_auto(GStrv) env = envp();
        GPid pid = 0;
        if (!g_spawn_async_with_pipes_and_fds(dir_.c_str(), argv.data(), env,
                                              static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | flags), nullptr,
                                              nullptr, in, out, err, nullptr, nullptr, 0, &pid, nullptr, nullptr,
                                              nullptr, nullptr)) {
            return 0;
        }
        started_.add(pid);
        return pid;
    }

    hvtest::TempDir tmp_{"hv-launch"};
    const std::string dir_ = tmp_.path();
    /* After the folder: destroyed first, so nothing started runs on in a removed folder. */
    mutable Started started_;
    std::string root_;
    std::string launcher_;
    std::string registry_;
};

bool wait_for_file(const std::string &path, int ms)
{
    return hvtest::WaitFor([&] { return g_file_test(path.c_str(), G_FILE_TEST_EXISTS); }, ms, 20);
}

bool wait_for_text(const std::string &path, const char *text, int ms)
{
    return hvtest::WaitFor([&] { return hvtest::ReadFile(path, "").find(text) != std::string::npos; }, ms, 20);
}

/* Interrupts the module and reaps it; false (after killing it) when it does not end in ms. */
bool interrupt_and_reap(GPid pid, int ms, int *status)
{
    kill(pid, SIGINT);
    if (hvtest::WaitFor([&] { return waitpid(pid, status, WNOHANG) == pid; }, ms, 20)) {
        return true;
    }
    kill(pid, SIGKILL);
    waitpid(pid, status, 0);
    return false;
}

std::string fd_target(GPid pid, int fd)
{
    g_autofree char *link = g_strdup_printf("/proc/%d/fd/%d", static_cast<int>(pid), fd);
    g_autofree char *target = g_file_read_link(link, nullptr);
    return target ? target : "<closed>";
}

} // namespace

TEST_F(LauncherTest, HelpVersionAndOptionErrors)
{
    Outcome help = run({"-h"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.out.rfind(std::string("Usage: ") + launcher_ + " [<options>]\n", 0), 0u) << help.out;

    const std::string version_text = std::string("Holvenstad Enforcement Agent ") + agent_build_version() + " (" +
                                     agent_build_date() + ")\n\tCommit ID: " + agent_commit_id() +
                                     "\n\tProtocol Version: 420005\n";
    Outcome version = run({"-V"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, version_text);
    Outcome verbose_version = run({"-v", "-V"});
    EXPECT_EQ(verbose_version.out,
              version_text +
                  "\tSupported Features: metrics_only enrichments dns_blocklist no-channels icmp driver_metrics "
                  "dns_enforcement full_image_path policy_index zstd_compression ipv6_cidr_parse_fix protocol_list "
                  "driver_log light_revision_update enforcement_mode process_event_queue dc_inventory_revision "
                  "short_ip agent-status ipv6_implicit_rules not_flag_enforcement not_flag_parsing udp tcp ipv4 \n");

    Outcome profile = run({"-x", "huge"});
    EXPECT_EQ(profile.exit_code, 1);
    EXPECT_EQ(profile.out, "invalid logging profile option (huge).\n");
    Outcome timeout = run({"-T", "0"});
    EXPECT_EQ(timeout.exit_code, 1);
    EXPECT_EQ(timeout.out, "invalid connect timeout (0).\n");
    Outcome unknown = run({"--bogus"});
    EXPECT_EQ(unknown.exit_code, 1) << "Init fails, so the launcher never runs the module";
    EXPECT_EQ(unknown.out, std::string("Unknown option, try '") + launcher_ + " --help' for more information.\n");
}

TEST_F(LauncherTest, RunsWithPidFileAndStopsOnInterrupt)
{
    const std::string pidfile = dir_ + "/data/pids/hv-enforcement.pid";
    const std::string log = dir_ + "/module.log";
    auto args = command({"--method", "stdin", "-f", pidfile, "-l", log});
    GPid pid = start(args);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_for_file(pidfile, 20000)) << "the module writes its pid file";
    g_autofree char *text = nullptr;
    ASSERT_TRUE(g_file_get_contents(pidfile.c_str(), &text, nullptr, nullptr));
    EXPECT_EQ(std::string(text), std::to_string(pid) + "\n");
    EXPECT_TRUE(g_file_test(driver().c_str(), G_FILE_TEST_EXISTS)) << "the driver file was extracted";
    /* The pid file comes before the signal handlers: interrupt only a module that is up. */
    ASSERT_TRUE(wait_for_text(log, "initialization done", 20000));

    /* The module answers on its command socket. */
    const std::string address = std::string("ipc://") + dir_ + "/holvenstad_en_channel.ipc";
    Outcome ping = spawn({HV_QMP, "--address", address, R"({"execute": "ping"})"});
    EXPECT_EQ(ping.exit_code, 0);
    EXPECT_EQ(ping.out, "{\"return\": {}}\n");
    Outcome small = spawn({HV_QMP, "--address", address, R"({"execute":"x"})"});
    EXPECT_EQ(small.exit_code, 1);
    EXPECT_NE(small.out.find("\"desc\": \"command too small\""), std::string::npos) << small.out;
    EXPECT_EQ(spawn({HV_QMP, "--address", address, R"({"execute": "ping"})"}).exit_code, 0) << "still serving";

    kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(g_file_test(pidfile.c_str(), G_FILE_TEST_EXISTS)) << "removed at the end";
    g_autofree char *logged = nullptr;
    ASSERT_TRUE(g_file_get_contents(log.c_str(), &logged, nullptr, nullptr)) << "-l names the log file";
    EXPECT_NE(strstr(logged, "[service] Break control event received, quitting..."), nullptr);
    EXPECT_NE(strstr(logged, "[agents-main] Enforcement agent going down"), nullptr);
}

/* The module's event reports have a way out from the start: it connects to the report
 * address in its folder, where the visibility module listens. */
TEST_F(LauncherTest, TheReportChannelIsConnectedAtStart)
{
    int pull = nn_socket(AF_SP, NN_PULL);
    ASSERT_GE(pull, 0);
    ASSERT_GE(nn_bind(pull, ("ipc://" + dir_ + "/holvenstad_en_report.ipc").c_str()), 0) << nn_strerror(nn_errno());
    const std::string log = dir_ + "/module.log";
    GPid pid = start(command({"--method", "stdin", "-v", "-l", log}));
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(wait_for_text(log, "initialization done", 20000));
    EXPECT_TRUE(hvtest::WaitFor([&] { return nn_get_statistic(pull, NN_STAT_CURRENT_CONNECTIONS) == 1; }, 20000, 20))
        << "the module connects to the report address";
    EXPECT_NE(hvtest::ReadFile(log).find("[nnmsg-channel-rpc] opening push channel to: ipc://holvenstad_en_report.ipc"),
              std::string::npos);
    int status = 0;
    EXPECT_TRUE(interrupt_and_reap(pid, 20000, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    nn_close(pull);
}

TEST_F(LauncherTest, DriverFileIsKeptReplacedOrRefused)
{
    /* Validation fails without a channel, but the driver is extracted only by Run: use stdin
     * and -t, which runs the (unknown) control command and stops at once with 0. */
    Outcome first = run({"--method", "stdin", "-t", "get-agent-state"});
    EXPECT_EQ(first.exit_code, 0) << "a control command ends with 0 even when it fails";
    g_autofree char *original = nullptr;
    gsize len = 0;
    ASSERT_TRUE(g_file_get_contents(driver().c_str(), &original, &len, nullptr));

    struct stat before {};
    ASSERT_EQ(g_stat(driver().c_str(), &before), 0);
    EXPECT_EQ(run({"--method", "stdin", "-t", "x"}).exit_code, 0);
    struct stat after {};
    ASSERT_EQ(g_stat(driver().c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino) << "identical file left untouched";
    EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);

    g_file_set_contents(driver().c_str(), "stale driver", -1, nullptr);
    EXPECT_EQ(run({"--method", "stdin", "-t", "x"}).exit_code, 0);
    g_autofree char *replaced = nullptr;
    ASSERT_TRUE(g_file_get_contents(driver().c_str(), &replaced, nullptr, nullptr));
    EXPECT_EQ(std::string(replaced), std::string(original, len));
    EXPECT_FALSE(g_file_test((driver() + ".bkp").c_str(), G_FILE_TEST_EXISTS));

    /* Below 5.1 there is no driver for the platform: Run fails before the main loop. */
    g_setenv("HV_PLATFORM_VERSION", "5.0", TRUE);
    Outcome old = run({"--method", "stdin"});
    g_unsetenv("HV_PLATFORM_VERSION");
    EXPECT_EQ(old.exit_code, 1);
}

TEST_F(LauncherTest, TheDriverAnswersTheModuleAndAFaultFailsOneStart)
{
    /* Before any module ran, no driver is loaded: nothing answers hv-endr. */
    EXPECT_EQ(spawn({HV_ENDR, "status"}).exit_code, 2);
    const std::string first_log = dir_ + "/first.log";
    GPid first = start(command({"--method", "stdin", "-l", first_log}));
    ASSERT_GT(first, 0);
    ASSERT_TRUE(wait_for_text(first_log, "initialization done", 60000));
    kill(first, SIGINT);
    int first_status = 0;
    ASSERT_EQ(waitpid(first, &first_status, 0), first);
    ASSERT_NE(hvtest::DriverDaemonPid(dir_ + "/run"), 0) << "the driver stays loaded after the module";
    Outcome armed = spawn({HV_ENDR, "fail", "0x122472", "1"});
    ASSERT_EQ(armed.exit_code, 0) << armed.out;
    Outcome failed = run({"--method", "stdin"});
    EXPECT_EQ(failed.exit_code, 1);
    EXPECT_NE(failed.err.find("[api] error: failed to get driver version"), std::string::npos) << failed.err;

    const std::string pidfile = dir_ + "/data/pids/hv-enforcement.pid";
    const std::string log = dir_ + "/module.log";
    auto args = command({"--method", "stdin", "-f", pidfile, "-l", log});
    GPid pid = start(args);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_for_file(pidfile, 20000)) << "the next start succeeds";
    /* The pid file comes before the module opens the device. */
    ASSERT_TRUE(wait_for_text(log, "initialization done", 20000));
    Outcome status = spawn({HV_ENDR, "status"});
    kill(pid, SIGINT);
    int wstatus = 0;
    ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
    EXPECT_EQ(status.exit_code, 0);
    EXPECT_NE(status.out.find("\"version\": 420005"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("\"role\": \"consumer\""), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("\"started\": true"), std::string::npos) << status.out;
}


TEST_F(LauncherTest, DryRunChecksTheStartAndChangesNothing)
{
    Outcome dry = spawn({launcher_, "--dry-run", HV_BUNDLE, "--method", "stdin"});
    EXPECT_EQ(dry.exit_code, 0) << dry.err;
    EXPECT_FALSE(g_file_test(driver().c_str(), G_FILE_TEST_EXISTS)) << "no driver extraction";
    EXPECT_EQ(dry.err.find("initialization done"), std::string::npos) << "no main loop";
    EXPECT_EQ(spawn({launcher_, "--dry-run", HV_BUNDLE, "--bogus"}).exit_code, 1);
}

/* Every configuration field and its documented default, written out here on their own: a changed
 * default, a field gone or a field added all show. */
TEST_F(LauncherTest, EveryConfigurationFieldStartsAtItsDocumentedDefault)
{
    const std::vector<std::pair<std::string, std::string>> documented = {
        {"agent.log_verbose", R"("bool-value": false)"},
        {"agent.log_rotate_threshold", R"("int-value": 50)"},
        {"agent.log_rotate_count", R"("int-value": 8)"},
        {"agent.log_rotate_compressed", R"("bool-value": true)"},
        {"agent.last_cmd_timeout", R"("int-value": 0)"},
        {"agent.enforcement_mode", R"("int-value": 3)"},
        {"agent.windows_firewall_mode", R"("int-value": 1)"},
        {"agent.driver_verbosity", R"("int-value": 0)"},
        {"agent.drop_out_of_session", R"("bool-value": false)"},
        {"dns.enable", R"("bool-value": true)"},
        {"dns.rate_limit", R"("int-value": 1000)"},
        {"api.conn_request_size", R"("int-value": 500)"},
        {"api.conn_request_sufficient_size", R"("int-value": 100)"},
        {"api.conn_request_timeout_ms", R"("int-value": 500)"},
        {"api.driver_log_req_timeout_ms", R"("int-value": 2000)"},
        {"api.keepalive_interval", R"("int-value": 10000000)"},
        {"policy.max_chains_num", R"("int-value": 16)"},
        {"policy.max_rules_num", R"("int-value": 2048)"},
        {"policy.max_entity_field_num", R"("int-value": 40000)"},
        {"policy.max_rule_buffer_len", R"("int-value": 4194304)"},
        {"policy.max_json_policy_buffer_len", R"("int-value": 25165824)"},
        {"policy.endr_sm_timeout", R"("int-value": 10)"},
        {"index.max_vectors_in_bag", R"("int-value": 8388608)"},
        {"index.max_index_range_count", R"("int-value": 8388608)"},
        {"index.max_rule_index_size", R"("int-value": 67108864)"},
        {"agent.enable_roaming_mode", R"("bool-value": false)"},
        {"agent.roaming_domain_name", R"("str-value": "")"},
        {"agent.en_driver_blocklist_enabled", R"("bool-value": true)"},
        {"policy.implicit_dns_rules", R"("bool-value": true)"},
    };
    /* Defaults that follow the command line: verbose, the "max" profile (80 MiB, 10 files), -i. */
    const std::map<std::string, std::string> with_options = {
        {"agent.log_verbose", R"("bool-value": true)"},
        {"agent.log_rotate_threshold", R"("int-value": 80)"},
        {"agent.log_rotate_count", R"("int-value": 10)"},
        {"policy.implicit_dns_rules", R"("bool-value": false)"},
    };
    const std::string address = std::string("ipc://") + dir_ + "/holvenstad_en_channel.ipc";
    const std::string log = dir_ + "/module.log";
    for (bool options : {false, true}) {
        SCOPED_TRACE(options);
        g_remove(log.c_str());
        std::vector<std::string> args = {"--method", "stdin", "-l", log};
        if (options) {
            args.insert(args.end(), {"-v", "-x", "max", "-i"});
        }
        GPid pid = start(command(args));
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(wait_for_text(log, "initialization done", 20000));
        for (const char *request :
             {R"({"execute": "get-configuration-defaults"})", R"({"execute": "get-configuration"})"}) {
            SCOPED_TRACE(request);
            Outcome reply = spawn({HV_QMP, "--address", address, request});
            EXPECT_EQ(reply.exit_code, 0) << reply.out;
            size_t fields = 0;
            for (size_t at = reply.out.find(R"({"name": ")"); at != std::string::npos;
                 at = reply.out.find(R"({"name": ")", at + 1)) {
                fields++;
            }
            EXPECT_EQ(fields, documented.size()) << reply.out;
            for (const auto &[name, value] : documented) {
                auto changed = with_options.find(name);
                const std::string &expected = options && changed != with_options.end() ? changed->second : value;
                EXPECT_NE(reply.out.find(R"({"name": ")" + name + "\", " + expected + "}"), std::string::npos)
                    << name << " " << expected << "\n" << reply.out;
            }
        }
        kill(pid, SIGINT);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
}

namespace {

/* 2 x rules (32,768 by default): rule i blocks 10.(i/256).(i%256).0/24 outbound ("o<i>") and
 * 11.(i/256).(i%256).0/24 inbound ("i<i>"). */
std::string large_policy_request(uint64_t revision, int rules = 32768)
{
    auto table = [rules](char kind, const char *side, int first_octet) {
        std::string t = R"([{"chain_name": "M", "rules": [)";
        for (int i = 0; i < rules; i++) {
            t += i ? "," : "";
            std::string subnet = std::to_string(first_octet) + "." + std::to_string(i >> 8) + "." +
                                 std::to_string(i & 255) + ".0/24";
            std::string entity = R"({"match_multiple_subnets": [")" + subnet + R"("]})";
            t += std::string(R"({"match_src": )") + (side[0] == 's' ? entity : "{}") + R"(, "match_dst": )" +
                 (side[0] == 'd' ? entity : "{}") + R"(, "protocols": ["tcp"], "verdict": "BLOCK", "id": ")" + kind +
                 std::to_string(i) + "\"}";
        }
        return t + R"(]}, {"chain_name": "DEFAULT-ALLOW", "rules": []}])";
    };
    return R"({"execute": "set-enforcement-policy", "arguments": {"input-table": )" + table('i', "src", 11) +
           R"(, "output-table": )" + table('o', "dst", 10) + R"(, "revision": )" + std::to_string(revision) + "}}";
}

} // namespace

TEST_F(LauncherTest, ALargePolicySentOverIpcIsEnforcedAgainAfterARestartWithoutCommands)
{
    const std::string log = dir_ + "/module.log";
    const std::string address = std::string("ipc://") + dir_ + "/holvenstad_en_channel.ipc";
    const std::string request = dir_ + "/policy.json";
    ASSERT_TRUE(g_file_set_contents(request.c_str(), large_policy_request(12).c_str(), -1, nullptr));
    const std::vector<std::string> blocked_out = {HV_ENDR, "classify", "--direction", "out", "--protocol", "tcp",
                                                  "--local", "10.0.0.9:40000", "--remote", "10.1.2.5:22"};
    const std::vector<std::string> blocked_in = {HV_ENDR, "classify", "--direction", "in", "--protocol", "tcp",
                                                 "--local", "10.0.0.9:80", "--remote", "11.127.255.9:5555"};
    auto stop = [](GPid pid) {
        kill(pid, SIGINT);
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    };

    GPid pid = start(command({"--method", "stdin", "-l", log}));
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_for_text(log, "initialization done", 20000));
    /* Its 32,768 distinct /24s per table make a 128 MiB index: twice the default limit. */
    Outcome limits = spawn({HV_QMP, "--address", address, R"({"execute": "set-configuration", "arguments":
        {"fields": [{"name": "policy.max_rules_num", "int-value": 70000},
                    {"name": "index.max_rule_index_size", "int-value": 268435456}]}})"});
    EXPECT_EQ(limits.exit_code, 0) << limits.out;
    Outcome pushed = spawn({HV_QMP, "--address", address, "--timeout", "300000", "-f", request});
    EXPECT_EQ(pushed.exit_code, 0) << pushed.out.substr(0, 500);
    EXPECT_EQ(pushed.out.rfind(R"({"return": {"new-revision": 12, "old-revision": 0, "implicit-rules": [)", 0), 0u)
        << pushed.out.substr(0, 500);
    Outcome out = spawn(blocked_out);
    EXPECT_NE(out.out.find(R"("verdict": "BLOCK", "rule-id": "o258")"), std::string::npos) << out.out;
    stop(pid);
    ASSERT_TRUE(g_file_test((dir_ + "/data/config/persistent-policy.json").c_str(), G_FILE_TEST_EXISTS));
    out = spawn(blocked_out);
    EXPECT_NE(out.out.find(R"("verdict": "BLOCK", "rule-id": "o258")"), std::string::npos)
        << "the driver enforces while no module runs: " << out.out;

    /* A driver restart is a reboot: the new one starts empty, the module's stored policy returns. */
    ASSERT_TRUE(hvtest::StopDriverDaemon(dir_ + "/run"));
    g_remove(log.c_str());
    pid = start(command({"--method", "stdin", "-l", log}));
    ASSERT_GT(pid, 0);
    /* Restoring the stored policy into an empty driver is the slow part: the deadline
     * catches a hang, not a loaded machine (it ends as soon as the text appears). */
    ASSERT_TRUE(wait_for_text(log, "initialization done", 600000));
    Outcome status = spawn({HV_ENDR, "status"});
    EXPECT_NE(status.out.find("\"active-revision\": " + std::to_string(12ull << 32)), std::string::npos) << status.out;
    out = spawn(blocked_out);
    EXPECT_NE(out.out.find(R"("verdict": "BLOCK", "rule-id": "o258")"), std::string::npos) << out.out;
    Outcome in = spawn(blocked_in);
    EXPECT_NE(in.out.find(R"("verdict": "BLOCK", "rule-id": "i32767")"), std::string::npos) << in.out;
    stop(pid);
}

TEST_F(LauncherTest, TheDnsCacheGoesToTheDriverAtStartAndBackToItsFileAtStop)
{
    const std::string log = dir_ + "/module.log";
    const std::string cache = dir_ + "/data/persistent-config/persistent-dnscache.json";
    std::filesystem::create_directories(dir_ + "/data/persistent-config");
    hvtest::WriteFile(cache, R"({"records": [
        {"name": "db.example.test", "ip": "192.0.2.7", "ts": 11, "start_ts": 10},
        {"name": "v6.example.test", "ip": "2001:db8::7", "ts": 21, "start_ts": 20}]})");
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        g_remove(log.c_str());
        GPid pid = start(command({"--method", "stdin", "-l", log}));
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(wait_for_text(log, "initialization done", 20000));
        EXPECT_TRUE(wait_for_text(log, "[main] got enforcement DNS cache from file", 1000));
        /* Nothing of the file may survive but what came back from the driver. */
        g_remove(cache.c_str());
        kill(pid, SIGINT);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        std::string saved = hvtest::ReadFile(cache);
        /* Each save lists the driver's records in reverse. */
        size_t db = saved.find(R"({"name": "db.example.test", "ip": "192.0.2.7", "ts": 11, "start_ts": 10})");
        size_t v6 = saved.find(R"({"name": "v6.example.test", "ip": "2001:db8::7", "ts": 21, "start_ts": 20})");
        ASSERT_NE(db, std::string::npos) << saved;
        ASSERT_NE(v6, std::string::npos) << saved;
        EXPECT_EQ(round == 0, v6 < db) << saved;
    }
}

TEST_F(LauncherTest, UnusableDataFoldersAreRefusedAtStart)
{
    const std::string long_folder = "/" + std::string(260, 'l');
    const struct {
        std::string value;
        std::string refusal;
    } cases[] = {
        {"", "registry key is empty: refusing to place the data, config, logs and pids folders at the file system "
             "root"},
        {"/", "registry key '/' is the file system root: refusing to place the data, config, logs and pids folders "
              "at the file system root"},
        {"//", "registry key '//' is the file system root: refusing to place the data, config, logs and pids "
               "folders at the file system root"},
        {"rel-data/", "registry key 'rel-data/' is not an absolute path: refusing to place the data, config, logs "
                      "and pids folders relative to the working directory"},
        {long_folder, "registry key '" + long_folder + "' is longer than 251 characters: refusing to place the "
                      "data, config, logs and pids folders under it"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        hvtest::WriteFile(registry_, "HV_DATA_FOLDER=" + c.value + "\n");
        const std::string log = dir_ + "/module.log";
        g_remove(log.c_str());
        /* -t: an accepted start ends at once with 0, so only the refusal gives 1. */
        Outcome refused = run({"--method", "stdin", "-t", "x", "-l", log});
        EXPECT_EQ(refused.exit_code, 1);
        EXPECT_NE(hvtest::ReadFile(log).find("[global var] 'SOFTWARE\\Holvenstad\\HV_DATA_FOLDER' " + c.refusal),
                  std::string::npos)
            << hvtest::ReadFile(log);
        EXPECT_FALSE(g_file_test(driver().c_str(), G_FILE_TEST_EXISTS)) << "nothing was extracted";
        EXPECT_FALSE(g_file_test((dir_ + "/rel-data").c_str(), G_FILE_TEST_EXISTS));
    }
}

TEST_F(LauncherTest, TheLogFileIsFoundAsTheModuleReadsItsOptions)
{
    const std::string log = dir_ + "/module.log";
    const struct {
        std::vector<std::string> args;
        bool names_log;
    } cases[] = {
        {{"-vl", log}, true},
        {{"--logf=" + log}, true},
        {{"-Pl" + log}, true},
        {{"-u", "-l" + log}, false},
        {{"-p1", "-l" + log}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0]);
        g_remove(log.c_str());
        std::vector<std::string> argv = {launcher_, "--dry-run", HV_BUNDLE, "--method", "stdin"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        spawn(argv);
        EXPECT_EQ(g_file_test(log.c_str(), G_FILE_TEST_EXISTS), c.names_log);
    }
}

namespace {

/* The reply's fields as "name=value" texts, from a get-configuration reply. */
std::string field_text(const std::string &reply, const std::string &name)
{
    size_t at = reply.find("{\"name\": \"" + name + "\", ");
    if (at == std::string::npos) {
        return "<missing>";
    }
    size_t start = reply.find(", ", at) + 2;
    return reply.substr(start, reply.find('}', start) - start);
}

} // namespace

namespace {

/* Everything a process writes on its standard output and error (one pipe, as on a terminal),
 * read a little at a time. */
class SlowReader {
public:
    explicit SlowReader(int fd) : fd_(fd), thread_([this] { Read(); }) {}
    ~SlowReader()
    {
        thread_.join();
        close(fd_);
    }
    std::string Text()
    {
        std::lock_guard<std::mutex> g(lock_);
        return text_;
    }
    bool WaitFor(const std::function<bool(const std::string &)> &done, int ms)
    {
        return hvtest::WaitFor([&] { return done(Text()); }, ms, 20);
    }

private:
    void Read()
    {
        char buf[1500];
        ssize_t n;
        while ((n = read(fd_, buf, sizeof buf)) > 0) {
            {
                std::lock_guard<std::mutex> g(lock_);
                text_.append(buf, static_cast<size_t>(n));
            }
            g_usleep(200);
        }
    }
    int fd_;
    std::mutex lock_;
    std::string text_;
    std::thread thread_;
};

std::vector<std::string> reply_lines(const std::string &text)
{
    std::vector<std::string> replies;
    for (size_t start = 0, nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        if (text.compare(start, 11, "{\"return\": ") == 0 || text.compare(start, 10, "{\"error\": ") == 0) {
            replies.push_back(text.substr(start, nl - start + 1));
        }
    }
    return replies;
}

} // namespace

TEST_F(LauncherTest, StoredFieldsRefusedByAFlagAreSkippedAloneAndComeBackWithoutIt)
{
    const std::string log = dir_ + "/module.log";
    const std::string address = std::string("ipc://") + dir_ + "/holvenstad_en_channel.ipc";
    const std::string file = dir_ + "/data/config/enforcement.json";
    std::filesystem::create_directories(dir_ + "/data/config");
    /* Applied last element first: each refused field comes before fields that must load. */
    hvtest::WriteFile(file, R"([{"name": "agent.enforcement_mode", "int-value": 2},
        {"name": "dns.rate_limit", "int-value": 9},
        {"name": "agent.log_rotate_threshold", "int-value": 0},
        {"name": "agent.log_rotate_count", "int-value": 4},
        {"name": "policy.implicit_dns_rules", "bool-value": true}])");
    auto get = [&] {
        return spawn({HV_QMP, "--address", address, R"({"execute": "get-configuration"})"}).out;
    };
    auto stop = [](GPid pid) {
        kill(pid, SIGINT);
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    };

    GPid pid = start(command({"--method", "stdin", "-l", log, "-x", "max", "-i"}));
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_for_text(log, "initialization done", 20000));
    std::string fields = get();
    EXPECT_EQ(field_text(fields, "agent.enforcement_mode"), "\"int-value\": 2") << fields;
    EXPECT_EQ(field_text(fields, "dns.rate_limit"), "\"int-value\": 9");
    EXPECT_EQ(field_text(fields, "agent.log_rotate_count"), "\"int-value\": 10") << "the profile's";
    EXPECT_EQ(field_text(fields, "policy.implicit_dns_rules"), "\"bool-value\": false");
    std::string logged = hvtest::ReadFile(log);
    for (const char *line : {
             "[config] skipping stored configuration field 'policy.implicit_dns_rules': can't override implicit DNS "
             "rules disabled from cmdliine",
             "[config] skipping stored configuration field 'agent.log_rotate_count': refused by the field's change "
             "handler",
             "[config] skipping stored configuration field 'agent.log_rotate_threshold': refused by the field's change "
             "handler",
             "[agents-main] not all persistent configuration fields were loaded successfully: skipped "
             "'policy.implicit_dns_rules' (can't override implicit DNS rules disabled from cmdliine), "
             "'agent.log_rotate_count' (refused by the field's change handler), 'agent.log_rotate_threshold' "
             "(refused by the field's change handler)",
         }) {
        EXPECT_NE(logged.find(line), std::string::npos) << line;
    }
    /* A change now rewrites the file; the refused stored values stay in it. */
    Outcome set = spawn({HV_QMP, "--address", address,
                         R"({"execute": "set-configuration", "arguments": {"fields": [{"name": "dns.rate_limit", "int-value": 11}]}})"});
    EXPECT_EQ(set.out, "{\"return\": {}}\n");
    stop(pid);

    g_remove(log.c_str());
    pid = start(command({"--method", "stdin", "-l", log}));
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_for_text(log, "initialization done", 20000));
    fields = get();
    EXPECT_EQ(field_text(fields, "agent.enforcement_mode"), "\"int-value\": 2") << fields;
    EXPECT_EQ(field_text(fields, "dns.rate_limit"), "\"int-value\": 11");
    EXPECT_EQ(field_text(fields, "agent.log_rotate_count"), "\"int-value\": 4");
    EXPECT_EQ(field_text(fields, "policy.implicit_dns_rules"), "\"bool-value\": true");
    /* A threshold of 0 would rotate at every line: refused, the profile's stays. */
    EXPECT_EQ(field_text(fields, "agent.log_rotate_threshold"), "\"int-value\": 50");
    EXPECT_NE(hvtest::ReadFile(log).find("[config] skipping stored configuration field 'agent.log_rotate_threshold': "
                                         "'agent.log_rotate_threshold' must be at least 1 (MiB)"),
              std::string::npos);
    stop(pid);
}

TEST_F(LauncherTest, LargeRepliesOnStandardOutputArriveWholeBesideTheVerboseLog)
{
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    ASSERT_GT(fcntl(out[0], F_SETPIPE_SZ, 4096), 0);
    auto args = command({"--method", "stdin", "-v"});
    std::vector<char *> argv;
    for (auto &a : args) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    g_auto(GStrv) env = envp();
    GPid pid = 0;
    GError *gerr = nullptr;
    ASSERT_TRUE(g_spawn_async_with_pipes_and_fds(dir_.c_str(), argv.data(), env, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                                                 nullptr, in[0], out[1], out[1], nullptr, nullptr, 0, &pid, nullptr,
                                                 nullptr, nullptr, &gerr))
        << (gerr ? gerr->message : "");
    close(in[0]);
    close(out[1]);
    {
        SlowReader reader(out[0]);
        /* Ends the module if the test stops early: the reader waits for its output to end. */
        struct Stopper {
            GPid pid;
            int in;
            ~Stopper()
            {
                if (pid > 0) {
                    kill(pid, SIGKILL);
                    waitpid(pid, nullptr, 0);
                }
                if (in >= 0) {
                    close(in);
                }
            }
        } stopper{pid, in[1]};
        ASSERT_TRUE(reader.WaitFor([](const std::string &t) { return t.find("initialization done") != std::string::npos; },
                                   20000));
        const std::string address = std::string("ipc://") + dir_ + "/holvenstad_en_channel.ipc";
        const std::string request = dir_ + "/policy.json";
        hvtest::WriteFile(request, large_policy_request(9, 600));
        EXPECT_EQ(spawn({HV_QMP, "--address", address, "--timeout", "300000", "-f", request}).exit_code, 0);
        const std::string get_policy = R"({"execute": "get-enforcement-policy", "arguments": {"format": "json"}})";
        const std::string get_config = R"({"execute": "get-configuration"})";
        Outcome policy = spawn({HV_QMP, "--address", address, get_policy});
        Outcome config = spawn({HV_QMP, "--address", address, get_config});
        ASSERT_GT(policy.out.size(), 150000u);

        const std::string typed = get_policy + "\n" + get_config + "\n" + get_policy + "\n";
        ASSERT_EQ(write(in[1], typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
        EXPECT_TRUE(reader.WaitFor([](const std::string &t) { return reply_lines(t).size() >= 3; }, 60000));
        kill(pid, SIGINT);
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        stopper.pid = 0;
        /* The reader ends with the module's output. */
        std::string text;
        ASSERT_TRUE(reader.WaitFor([&](const std::string &t) {
            text = t;
            return t.find("[agents-main] done") != std::string::npos;
        }, 20000));
        std::vector<std::string> replies = reply_lines(text);
        ASSERT_EQ(replies.size(), 3u);
        EXPECT_TRUE(replies[0] == policy.out) << replies[0].substr(0, 200);
        EXPECT_TRUE(replies[1] == config.out) << replies[1].substr(0, 200);
        EXPECT_TRUE(replies[2] == policy.out) << replies[2].substr(0, 200);
        /* Nothing of a reply inside a log line (the log echoes requests and reply bodies, never a reply line). */
        size_t lines = 0;
        for (size_t start = 0, nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
            std::string line = text.substr(start, nl - start);
            lines += line.find("\t[" + std::to_string(pid) + ":DEBUG]\t") != std::string::npos;
            EXPECT_TRUE(line.find("{\"return\": ") == std::string::npos || line.rfind("{\"return\": ", 0) == 0)
                << line.substr(0, 200);
        }
        EXPECT_GT(lines, 100u) << "the verbose log shares the pipe";
    }
}

TEST_F(LauncherTest, AnIpcMessageThatIsNotExactlyOneObjectChangesNothing)
{
    const std::string log = dir_ + "/module.log";
    const std::string address = std::string("ipc://") + dir_ + "/holvenstad_en_channel.ipc";
    GPid pid = start(command({"--method", "stdin", "-l", log}));
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_for_text(log, "initialization done", 20000));
    auto policy = [](uint64_t revision) { return large_policy_request(revision, 2); };
    EXPECT_EQ(spawn({HV_QMP, "--address", address, policy(76)}).exit_code, 0);

    struct Case {
        std::string message;
        const char *desc;
    };
    const Case cases[] = {
        {policy(77) + "}", "JSON parse error, expecting value"},
        {policy(78) + " " + policy(79),
         "results for JSON are set more than once, might be more than one JSON in string or invalid JSON?"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.desc);
        Outcome refused = spawn({HV_QMP, "--address", address, c.message});
        EXPECT_EQ(refused.exit_code, 1);
        EXPECT_NE(refused.out.find(std::string("\"desc\": \"") + c.desc + "\""), std::string::npos) << refused.out;
        Outcome stored = spawn({HV_QMP, "--address", address,
                                R"({"execute": "get-enforcement-policy", "arguments": {"format": "json"}})"});
        EXPECT_NE(stored.out.find("\"revision\": 76}"), std::string::npos) << stored.out.substr(stored.out.size() - 100);
        Outcome driver = spawn({HV_ENDR, "status"});
        EXPECT_NE(driver.out.find("\"active-revision\": " + std::to_string(76ull << 32)), std::string::npos)
            << driver.out;
    }
    kill(pid, SIGINT);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
}

TEST_F(LauncherTest, AStandardOutputNobodyReadsStallsNeitherTheCommandSocketNorTheStop)
{
    const std::string log = dir_ + "/module.log";
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    GPid pid = start_with_fds(command({"--method", "stdin", "-v", "-l", log}), in[0], out[1], out[1]);
    close(in[0]);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_for_text(log, "initialization done", 20000));
    {
        /* Filled through a description of its own: the module's stays blocking. */
        g_autofree char *path = g_strdup_printf("/proc/self/fd/%d", out[1]);
        int filler = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(filler, 0);
        const std::string block(4096, '.');
        while (write(filler, block.data(), block.size()) > 0) {
        }
        EXPECT_EQ(errno, EAGAIN);
        close(filler);
    }
    close(out[1]);

    /* Its reply finds the pipe full, and nobody ever reads it. */
    const std::string typed = "{\"execute\": \"get-configuration\"}\n";
    EXPECT_EQ(write(in[1], typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    EXPECT_TRUE(wait_for_text(log, "[qmp-server] [qmp-server-std-io] outbound", 20000));

    const std::string address = std::string("ipc://") + dir_ + "/holvenstad_en_channel.ipc";
    Outcome ping = spawn({HV_QMP, "--address", address, "--timeout", "10000", R"({"execute": "ping"})"});
    EXPECT_EQ(ping.out, "{\"return\": {}}\n");

    int status = 0;
    EXPECT_TRUE(interrupt_and_reap(pid, 20000, &status)) << "the module ends on SIGINT";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(hvtest::ReadFile(log).find("[qmp-server-std-io] output not taken by its reader, 1 replies dropped"),
              std::string::npos);
    close(in[1]);
    close(out[0]);
}

TEST_F(LauncherTest, EndOfStandardInputLeavesTheStandardDescriptorsTaken)
{
    const std::string log = dir_ + "/module.log";
    const std::string console = dir_ + "/console.txt";
    int in[2];
    ASSERT_EQ(pipe(in), 0);
    int out = open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(out, 0);
    GPid pid = start_with_fds(command({"--method", "stdin", "-l", log}), in[0], out, out);
    close(in[0]);
    close(out);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_for_text(log, "initialization done", 20000));
    const std::string input = fd_target(pid, 0);
    EXPECT_EQ(input.rfind("pipe:", 0), 0u) << input;
    EXPECT_EQ(fd_target(pid, 1), console);

    const std::string ping = "{\"execute\": \"ping\"}\n";
    EXPECT_EQ(write(in[1], ping.data(), ping.size()), static_cast<ssize_t>(ping.size()));
    EXPECT_TRUE(wait_for_text(console, "{\"return\": {}}\n", 20000));
    close(in[1]);
    ASSERT_TRUE(wait_for_text(log, "[qmp-server-std-io] received EOF", 20000));
    /* Still serving on its socket once input has ended. */
    const std::string address = std::string("ipc://") + dir_ + "/holvenstad_en_channel.ipc";
    EXPECT_EQ(spawn({HV_QMP, "--address", address, R"({"execute": "get-configuration"})"}).exit_code, 0);
    const std::string after = fd_target(pid, 0);
    EXPECT_TRUE(after == input || after == "/dev/null") << after;
    EXPECT_EQ(fd_target(pid, 1), console);

    int status = 0;
    EXPECT_TRUE(interrupt_and_reap(pid, 20000, &status));
    EXPECT_EQ(hvtest::ReadFile(console), "{\"return\": {}}\n") << "nothing else on the console";
}

namespace {

/* One hv-endr status member's text, e.g. "\"staged\": true", is in the status line. */
bool status_has(const Outcome &status, const std::string &member) { return status.out.find(member) != std::string::npos; }

} // namespace

TEST_F(LauncherTest, TheDriverKeepsEnforcingAcrossModuleRestartsAndAFailedPush)
{
    const std::string log = dir_ + "/module.log";
    const std::string address = std::string("ipc://") + dir_ + "/holvenstad_en_channel.ipc";
    const std::string request = dir_ + "/policy.json";
    ASSERT_TRUE(g_file_set_contents(request.c_str(), large_policy_request(40, 8).c_str(), -1, nullptr));
    const std::vector<std::string> blocked = {HV_ENDR, "classify", "--direction", "out", "--protocol", "tcp",
                                              "--local", "10.0.0.9:40000", "--remote", "10.0.5.7:22"};
    const std::string active40 = "\"active-revision\": " + std::to_string(40ull << 32);
    auto stop = [](GPid pid) {
        kill(pid, SIGINT);
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    };

    GPid pid = start(command({"--method", "stdin", "-l", log}));
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_for_text(log, "initialization done", 60000));
    Outcome pushed = spawn({HV_QMP, "--address", address, "-f", request});
    ASSERT_EQ(pushed.out.rfind(R"({"return": {"new-revision": 40)", 0), 0u) << pushed.out.substr(0, 300);
    stop(pid);

    /* The module is gone; the driver is not. Its event read was cancelled, its role released. */
    Outcome status = spawn({HV_ENDR, "status"});
    EXPECT_TRUE(status_has(status, active40)) << status.out;
    EXPECT_TRUE(status_has(status, "\"role\": null")) << status.out;
    Outcome classified = spawn(blocked);
    EXPECT_NE(classified.out.find(R"("verdict": "BLOCK", "rule-id": "o5")"), std::string::npos) << classified.out;

    /* The next module's push of its stored policy fails at the swap: 40 stays in force. */
    ASSERT_EQ(spawn({HV_ENDR, "fail", "0x122459", "1"}).exit_code, 0);
    g_remove(log.c_str());
    pid = start(command({"--method", "stdin", "-l", log}));
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_for_text(log, "initialization done", 60000));
    ASSERT_TRUE(hvtest::WaitFor([&] { return !status_has(spawn({HV_ENDR, "status"}), "\"0x122459\""); }, 60000))
        << "the module never reached the swap";
    status = spawn({HV_ENDR, "status"});
    EXPECT_TRUE(status_has(status, active40)) << status.out;
    EXPECT_TRUE(status_has(status, "\"role\": \"consumer\"")) << status.out;
    classified = spawn(blocked);
    EXPECT_NE(classified.out.find(R"("verdict": "BLOCK", "rule-id": "o5")"), std::string::npos) << classified.out;
    stop(pid);
}

TEST_F(LauncherTest, AModuleKilledMidPushLeavesThePreviousPolicyAndTheNextInitDropsTheStagedOne)
{
    const std::string log = dir_ + "/module.log";
    const std::string address = std::string("ipc://") + dir_ + "/holvenstad_en_channel.ipc";
    const std::string small = dir_ + "/small.json", large = dir_ + "/large.json";
    ASSERT_TRUE(g_file_set_contents(small.c_str(), large_policy_request(40, 8).c_str(), -1, nullptr));
    ASSERT_TRUE(g_file_set_contents(large.c_str(), large_policy_request(41).c_str(), -1, nullptr));
    const std::string active40 = "\"active-revision\": " + std::to_string(40ull << 32);
    auto classify_out = [&](const char *remote) {
        return spawn({HV_ENDR, "classify", "--direction", "out", "--protocol", "tcp", "--local", "10.0.0.9:40000",
                      "--remote", remote})
            .out;
    };

    GPid pid = start(command({"--method", "stdin", "-l", log}));
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_for_text(log, "initialization done", 60000));
    ASSERT_EQ(spawn({HV_QMP, "--address", address, R"({"execute": "set-configuration", "arguments":
        {"fields": [{"name": "policy.max_rules_num", "int-value": 70000},
                    {"name": "index.max_rule_index_size", "int-value": 268435456}]}})"}).exit_code, 0);
    Outcome pushed = spawn({HV_QMP, "--address", address, "-f", small});
    ASSERT_EQ(pushed.out.rfind(R"({"return": {"new-revision": 40)", 0), 0u) << pushed.out.substr(0, 300);

    GPid pusher = start({HV_QMP, "--address", address, "--timeout", "300000", "-f", large});
    ASSERT_GT(pusher, 0);
    ASSERT_TRUE(hvtest::WaitFor([&] { return status_has(spawn({HV_ENDR, "status"}), "\"staged\": true"); }, 120000))
        << "the large push never reached the driver";
    kill(pid, SIGKILL);
    int wstatus = 0;
    ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
    /* Its client would wait for a reply that never comes. */
    kill(pusher, SIGKILL);
    waitpid(pusher, &wstatus, 0);

    Outcome status = spawn({HV_ENDR, "status"});
    EXPECT_TRUE(status_has(status, active40)) << status.out;
    EXPECT_TRUE(status_has(status, "\"staged\": true")) << status.out;
    EXPECT_NE(classify_out("10.0.5.7:22").find(R"("rule-id": "o5")"), std::string::npos) << "40 still decides";
    EXPECT_NE(classify_out("10.1.44.7:22").find(R"("verdict": "ALLOW")"), std::string::npos)
        << "nothing of the staged 41 is in force";

    g_remove(log.c_str());
    pid = start(command({"--method", "stdin", "-l", log}));
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_for_text(log, "initialization done", 60000));
    ASSERT_TRUE(hvtest::WaitFor([&] { return status_has(spawn({HV_ENDR, "status"}), "\"staged\": false"); }, 60000))
        << "the next module's init never replaced the staged policy";
    status = spawn({HV_ENDR, "status"});
    EXPECT_TRUE(status_has(status, active40)) << status.out;
    EXPECT_NE(classify_out("10.0.5.7:22").find(R"("rule-id": "o5")"), std::string::npos);
    kill(pid, SIGINT);
    ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
}

TEST_F(LauncherTest, DriverLidRequestsReachTheReceiverAsProcessEvents)
{
    /* The receiver binds the module's report address, relative to the same folder. */
    const std::string events_out = dir_ + "/events.jsonl";
    int out = open(events_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(out, 0);
    GPid receiver = start_with_fds({HV_EVENTS, "--count", "2", "--timeout", "120"}, -1, out, out);
    close(out);
    ASSERT_GT(receiver, 0);
    ASSERT_TRUE(wait_for_file(dir_ + "/holvenstad_en_report.ipc", 20000));

    const std::string log = dir_ + "/module.log";
    GPid pid = start(command({"--method", "stdin", "-l", log}));
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_for_text(log, "initialization done", 20000));
    hvtest::Child first, second;
    ASSERT_TRUE(first.Start(dir_ + "/bin/e2e.tool.exe", {"alpha", "beta gamma"}, dir_));
    ASSERT_TRUE(second.Start(dir_ + "/bin/other", {}, "/"));
    for (const hvtest::Child *child : {&first, &second}) {
        Outcome raised = spawn({HV_ENDR, "raise-lid-request", std::to_string(child->pid())});
        EXPECT_EQ(raised.exit_code, 0) << raised.out << raised.err;
    }
    int status = 0;
    bool received = hvtest::WaitFor([&] { return waitpid(receiver, &status, WNOHANG) == receiver; }, 120000, 20);
    if (!received) {
        kill(receiver, SIGKILL);
        waitpid(receiver, &status, 0);
    }
    int module_status = 0;
    EXPECT_TRUE(interrupt_and_reap(pid, 30000, &module_status));
    ASSERT_TRUE(received && WIFEXITED(status) && WEXITSTATUS(status) == 0) << hvtest::ReadFile(events_out);

    struct passwd *pw = getpwuid(geteuid());
    ASSERT_NE(pw, nullptr);
    /* JSON text: the backslash of "host\user" is escaped. */
    const std::string user = std::string("\"username\": \"") + g_get_host_name() + "\\\\" + pw->pw_name + "\"";
    std::string lines = hvtest::ReadFile(events_out);
    std::string first_event, second_event;
    g_auto(GStrv) split = g_strsplit(lines.c_str(), "\n", -1);
    for (char **l = split; *l; l++) {
        const std::string line = *l;
        if (line.find("\"pid\": " + std::to_string(first.pid()) + ",") != std::string::npos) {
            first_event = line;
        } else if (line.find("\"pid\": " + std::to_string(second.pid()) + ",") != std::string::npos) {
            second_event = line;
        }
    }
    ASSERT_FALSE(first_event.empty()) << lines;
    ASSERT_FALSE(second_event.empty()) << lines;
    for (const std::string &part :
         {std::string("{\"type\": \"Process\", "), std::string("\"NetProcessEvent\": {\"type\": \"StartedConnection\""),
          std::string("\"process_name\": \"e2e.tool\""), std::string("\"parent_name\": \"launcher_test\""),
          "\"image_path\": \"" + dir_ + "/bin/e2e.tool.exe\"", user, "\"cwd\": \"" + dir_ + "\"",
          "\"cmdline\": \"" + dir_ + "/bin/e2e.tool.exe -c read x alpha beta gamma\"",
          std::string("\"file_attrs\": {\"mode\": 33279, \"size\": ")}) {
        EXPECT_NE(first_event.find(part), std::string::npos) << part << "\n" << first_event;
    }
    EXPECT_NE(second_event.find("\"cmdline\": \"" + dir_ + "/bin/other -c read x\""), std::string::npos)
        << second_event;
    EXPECT_NE(second_event.find("\"cwd\": \"/\""), std::string::npos) << second_event;
}
