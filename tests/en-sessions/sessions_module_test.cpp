/* The real module process with its bundled driver file and the driver daemon: a rule on
 * local administrators blocks the connections of an administrator's process only. */
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/common/hv-test-support.h"
#include "tests/common/module-fixture.h"
#include "tests/common/process-child.h"

namespace {

using hvtest::Outcome;

struct Login {
    std::string user;
    std::string line;
};

class SessionsModuleTest : public hvtest::ModuleFixture {
protected:
    SessionsModuleTest() : ModuleFixture("hv-sessions-module") {}

    void SetUp() override
    {
        ModuleFixture::SetUp();
        std::filesystem::create_directories(dir_ + "/login");
        /* Unprivileged, the test's own user plays the administrator; as root (an
         * administrator whatever its groups) the children switch to users of their own. */
        privileged_ = geteuid() == 0;
        uint32_t me = privileged_ ? 4244 : getuid();
        passwd_ = "root:x:0:0:::\nplain:x:4243:4243:::\nadmin:x:4242:4242:::\n" + std::string("tester:x:") +
                  std::to_string(me) + ":" + std::to_string(privileged_ ? 4244 : getgid()) + ":::\n";
        hvtest::WriteFile(dir_ + "/passwd", passwd_);
        WriteGroups("admin,tester");
        WriteUtmp({{"tester", "pts/1"}, {"plain", "pts/2"}, {"admin", "pts/3"}});
    }

    void WriteGroups(const std::string &sudoers)
    {
        hvtest::WriteFile(dir_ + "/group", "root:x:0:\nsudo:x:27:" + sudoers + "\nplain:x:4243:\n");
    }

    void WriteUtmp(const std::vector<Login> &logins)
    {
        std::string image;
        for (const Login &l : logins) {
            struct utmp u;
            memset(&u, 0, sizeof u);
            u.ut_type = USER_PROCESS;
            u.ut_pid = getpid();
            strncpy(u.ut_user, l.user.c_str(), sizeof u.ut_user);
            strncpy(u.ut_line, l.line.c_str(), sizeof u.ut_line);
            image.append(reinterpret_cast<const char *>(&u), sizeof u);
        }
        std::string tmp = dir_ + "/login/utmp.new";
        ASSERT_TRUE(g_file_set_contents(tmp.c_str(), image.data(), static_cast<gssize>(image.size()), nullptr));
        ASSERT_EQ(rename(tmp.c_str(), (dir_ + "/login/utmp").c_str()), 0);
    }

    char **ExtraEnv(char **env) const override
    {
        env = g_environ_setenv(env, "HV_UTMP_FILE", (dir_ + "/login/utmp").c_str(), TRUE);
        env = g_environ_setenv(env, "HV_PASSWD_FILE", (dir_ + "/passwd").c_str(), TRUE);
        env = g_environ_setenv(env, "HV_GROUP_FILE", (dir_ + "/group").c_str(), TRUE);
        return g_environ_unsetenv(env, "HV_LOCAL_ADMIN_GROUPS");
    }

    /* The driver's "user-sessions" summary, as hv-endr status prints it. */
    std::string Sessions() const
    {
        Outcome o = Run({HV_ENDR, "status"});
        std::smatch m;
        return std::regex_search(o.out, m, std::regex(R"("user-sessions": \{[^}]*\})")) ? m.str() : "";
    }

    bool AdminsAre(const std::string &list) const
    {
        return hvtest::WaitFor([&] { return Sessions().find("\"local-admins\": " + list) != std::string::npos; },
                               10000, 20);
    }

    void PushPolicy() const
    {
        std::string policy = dir_ + "/policy.json";
        hvtest::WriteFile(policy, R"({"execute": "set-enforcement-policy", "arguments": {"revision": 7,
  "input-table": [{"chain_name": "in", "rules": [{"id": "allow-in", "verdict": "ALLOW", "protocols": ["tcp"],
    "match_src": {}, "match_dst": {}}]}],
  "output-table": [{"chain_name": "out", "rules": [{"id": "admins", "verdict": "BLOCK", "protocols": ["tcp"],
    "match_src": {"match_groups": {"local_admins": true, "local_users": false}},
    "match_dst": {"match_ports": [9999]}}]}]}})");
        Outcome o = Run({HV_QMP, "--address", address_, "--timeout", "60000", "-f", policy});
        ASSERT_EQ(o.exit_code, 0) << o.out << o.err;
        ASSERT_EQ(o.out.find("error"), std::string::npos) << o.out;
    }

    /* "BLOCK:admins" or "ALLOW:" for an outbound TCP connection to port 9999 of pid. */
    std::string Decide(uint64_t pid) const
    {
        Outcome o = Run({HV_ENDR, "classify", "--direction", "out", "--protocol", "tcp", "--local",
                         "10.0.0.9:40000", "--remote", "192.0.2.7:9999", "--pid", std::to_string(pid)});
        std::smatch v, r;
        if (o.exit_code != 0 || !std::regex_search(o.out, v, std::regex(R"re("verdict": "([A-Z]+)")re")) ||
            !std::regex_search(o.out, r, std::regex(R"re("rule-id": "([^"]*)")re"))) {
            return "failed: " + o.out + o.err;
        }
        return v[1].str() + ":" + r[1].str();
    }

    void StartChild(hvtest::Child &child, long uid)
    {
        std::string sh = std::filesystem::canonical("/bin/sh").string();
        ASSERT_TRUE(child.Start(sh, {}, "/", uid));
    }

    std::string passwd_;
    bool privileged_ = false;
    GPid module_ = 0;
};

} // namespace

TEST_F(SessionsModuleTest, ALocalAdminsRuleBlocksOnlyTheAdministratorsProcesses)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_TRUE(LogHas("[en_driver] SID rules supported: yes")) << "the bundled driver file declares it";
    EXPECT_TRUE(LogHas("[user_sessions] monitoring thread initialized and running"));
    uint32_t tester = privileged_ ? 4244 : getuid();
    std::string both = tester < 4242 ? "[" + std::to_string(tester) + ", 4242]" : "[4242, " + std::to_string(tester) + "]";
    ASSERT_TRUE(AdminsAre(both)) << Sessions();
    ASSERT_NO_FATAL_FAILURE(PushPolicy());

    hvtest::Child own;
    ASSERT_NO_FATAL_FAILURE(StartChild(own, privileged_ ? 4244 : -1));
    EXPECT_EQ(Decide(own.pid()), "BLOCK:admins");

    if (privileged_) {
        hvtest::Child admin, plain;
        ASSERT_NO_FATAL_FAILURE(StartChild(admin, 4242));
        ASSERT_NO_FATAL_FAILURE(StartChild(plain, 4243));
        EXPECT_EQ(Decide(admin.pid()), "BLOCK:admins");
        EXPECT_EQ(Decide(plain.pid()), "ALLOW:");
    } else {
        std::cout << "[ SKIPPED part ] processes of other users need root\n";
    }

    /* The test user leaves sudo: the next login change carries it to the driver. */
    WriteGroups("admin");
    WriteUtmp({{"tester", "pts/1"}, {"admin", "pts/3"}});
    ASSERT_TRUE(AdminsAre("[4242]")) << Sessions();
    EXPECT_EQ(Decide(own.pid()), "ALLOW:");
    EXPECT_TRUE(LogHas("[user_sessions] on session change: refresh user sessions"));
}
