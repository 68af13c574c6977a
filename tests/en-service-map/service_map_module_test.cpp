/* Service rules end to end: the real module process started through the launcher sends its
 * service map to the driver daemon it started, and the daemon's verdicts on a pushed
 * policy follow the service of the process. */
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/common/hv-test-support.h"
#include "tests/common/module-fixture.h"
#include "tests/common/process-child.h"

namespace {

using hvtest::Outcome;

constexpr uint64_t kDemoPid = 4100001, kOtherPid = 4100002, kUserPid = 4100003;

class ServiceModuleTest : public hvtest::ModuleFixture {
protected:
    ServiceModuleTest() : ModuleFixture("hv-svc-module") {}

    void SetUp() override
    {
        ModuleFixture::SetUp();
        std::filesystem::create_directories(dir_ + "/units");
        cgroup_root_ = dir_ + "/cgroup";
    }

    /* The daemon is started by the module and inherits these roots. */
    char **ExtraEnv(char **env) const override
    {
        env = g_environ_setenv(env, "HV_UNIT_PATH", (dir_ + "/units").c_str(), TRUE);
        env = g_environ_setenv(env, "HV_CGROUP_ROOT", cgroup_root_.c_str(), TRUE);
        env = g_environ_setenv(env, "HV_SYSTEMD_BUS_ADDRESS", ("unix:path=" + dir_ + "/no-bus").c_str(), TRUE);
        env = proc_root_.empty() ? g_environ_unsetenv(env, "HV_PROC_ROOT")
                                 : g_environ_setenv(env, "HV_PROC_ROOT", proc_root_.c_str(), TRUE);
        return env;
    }

    /* The driver's status once its map names unit. */
    bool DriverKnows(const std::string &unit) const
    {
        return hvtest::WaitFor([&] { return Run({HV_ENDR, "status"}).out.find("\"" + unit + "\"") != std::string::npos; },
                               30000, 20);
    }

    void PushServiceRule(const std::string &unit) const
    {
        std::string policy = R"({"execute": "set-enforcement-policy", "arguments": {"revision": 3, "input-table": [],
            "output-table": [{"chain_name": "SERVICES", "rules": [
              {"id": "block-demo", "verdict": "BLOCK", "protocols": ["tcp"],
               "match_src": {"match_win_services": [{"service_name": ")" +
                             unit + R"("}]}, "match_dst": {}}]}]}})";
        Outcome o = Run({HV_QMP, "--address", address_, "--timeout", "60000", policy});
        ASSERT_EQ(o.exit_code, 0) << o.out << o.err;
        ASSERT_EQ(o.out.find("error"), std::string::npos) << o.out;
    }

    std::string Verdict(uint64_t pid) const
    {
        Outcome o = Run({HV_ENDR, "classify", "--direction", "out", "--protocol", "tcp", "--local", "10.0.0.1:40000",
                         "--remote", "198.51.100.7:443", "--pid", std::to_string(pid)});
        EXPECT_EQ(o.exit_code, 0) << o.out << o.err;
        return o.out;
    }

    std::string proc_root_;
    std::string cgroup_root_;
};

/* Fixture processes in fixture cgroups: runs everywhere. */
TEST_F(ServiceModuleTest, RuleOnAServiceBlocksOnlyItsProcesses)
{
    proc_root_ = dir_ + "/proc";
    for (uint64_t pid : {kDemoPid, kOtherPid, kUserPid}) {
        std::filesystem::create_directories(proc_root_ + "/" + std::to_string(pid));
    }
    hvtest::WriteFile(proc_root_ + "/" + std::to_string(kDemoPid) + "/cgroup", "0::/system.slice/demo.service\n");
    hvtest::WriteFile(proc_root_ + "/" + std::to_string(kOtherPid) + "/cgroup", "0::/system.slice/other.service\n");
    /* A user's own unit named like the system's: not that service. */
    hvtest::WriteFile(proc_root_ + "/" + std::to_string(kUserPid) + "/cgroup",
                      "0::/user.slice/user-1000.slice/user@1000.service/app.slice/demo.service\n");
    std::filesystem::create_directories(proc_root_ + "/net");
    for (const char *t : {"tcp", "udp", "tcp6", "udp6"}) {
        hvtest::WriteFile(proc_root_ + "/net/" + t, "header\n");
    }
    std::filesystem::create_directories(cgroup_root_ + "/system.slice/demo.service");
    std::filesystem::create_directories(cgroup_root_ + "/system.slice/other.service");
    Start();
    ASSERT_TRUE(DriverKnows("demo.service")) << Run({HV_ENDR, "status"}).out;
    PushServiceRule("demo.service");
    EXPECT_NE(Verdict(kDemoPid).find(R"("verdict": "BLOCK", "rule-id": "block-demo")"), std::string::npos)
        << Verdict(kDemoPid);
    EXPECT_NE(Verdict(kOtherPid).find(R"("verdict": "ALLOW", "rule-id": "")"), std::string::npos)
        << Verdict(kOtherPid);
    EXPECT_NE(Verdict(kUserPid).find(R"("verdict": "ALLOW", "rule-id": "")"), std::string::npos)
        << Verdict(kUserPid);
    EXPECT_TRUE(LogHas("[service_name_map] refresh: sent new map to kernel"));
    EXPECT_TRUE(LogHas("[service_existing] found no existing service tuples"));
    EXPECT_TRUE(LogHas("[en_driver] Service rules supported: yes"));
}

/* A real process moved into a real cgroup named after a unit, when the test may make one. */
TEST_F(ServiceModuleTest, RealProcessInARealUnitCgroup)
{
    const std::string unified = "/sys/fs/cgroup/unified";
    std::string base = std::filesystem::exists(unified + "/cgroup.procs") ? unified : "/sys/fs/cgroup";
    if (geteuid() != 0 || !std::filesystem::exists(base + "/cgroup.procs")) {
        GTEST_SKIP() << "needs root and a cgroup2 hierarchy to place a process in a unit's cgroup";
    }
    std::string unit = "hv-demo-" + std::to_string(getpid()) + "-" + std::to_string(std::random_device{}()) + ".service";
    std::string parent = base + "/hv-test-m" + std::to_string(getpid());
    std::string cg = parent + "/" + unit;
    std::error_code ec;
    if (!std::filesystem::create_directories(cg, ec)) {
        GTEST_SKIP() << "cannot create a cgroup under " << base << ": " << ec.message();
    }
    hvtest::Child inside, outside;
    struct Cleanup {
        std::string parent, cg;
        hvtest::Child *a, *b;
        ~Cleanup()
        {
            a->Stop();
            b->Stop();
            rmdir(cg.c_str());
            rmdir(parent.c_str());
        }
    } cleanup{parent, cg, &inside, &outside};
    ASSERT_TRUE(inside.Start(dir_ + "/bin/demod", {}));
    ASSERT_TRUE(outside.Start(dir_ + "/bin/demod", {}));
    {
        std::ofstream procs(cg + "/cgroup.procs");
        procs << inside.pid() << std::flush;
        if (!procs) {
            GTEST_SKIP() << "cannot move a process into " << cg;
        }
    }
    cgroup_root_ = parent;
    Start();
    ASSERT_TRUE(DriverKnows(unit)) << Run({HV_ENDR, "status"}).out;
    PushServiceRule(unit);
    EXPECT_NE(Verdict(inside.pid()).find(R"("verdict": "BLOCK", "rule-id": "block-demo")"), std::string::npos);
    EXPECT_NE(Verdict(outside.pid()).find(R"("verdict": "ALLOW")"), std::string::npos);
}

} // namespace
