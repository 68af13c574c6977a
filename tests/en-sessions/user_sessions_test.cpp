/* The logged-on users' groups: what the module sends the emulated driver for sessions read
 * from test utmp, passwd and group files, and how the driver's verdicts follow them. */
#include <fcntl.h>
#include <gio/gio.h>
#include <glib.h>
#include <paths.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <filesystem>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "../en-classify/classify-fixture.h"
#include "enforcement/framework/agent/en-user-sessions.h"
#include "enforcement/framework/common/en-utils.h"
#include "enforcement/platforms/user-sessions.h"
#include "tests/common/process-child.h"

namespace {

using Sid = std::vector<uint32_t>;

struct Login {
    short type = USER_PROCESS;
    std::string user;
    std::string line;
    pid_t pid = 0;
};

std::string UtmpImage(const std::vector<Login> &logins)
{
    std::string image;
    for (const Login &l : logins) {
        struct utmp u;
        memset(&u, 0, sizeof u);
        u.ut_type = l.type;
        u.ut_pid = l.pid;
        strncpy(u.ut_user, l.user.c_str(), sizeof u.ut_user);
        strncpy(u.ut_line, l.line.c_str(), sizeof u.ut_line);
        image.append(reinterpret_cast<const char *>(&u), sizeof u);
    }
    return image;
}

/* A pid that no longer runs: a child that was reaped. */
pid_t DeadPid()
{
    pid_t pid = fork();
    if (pid == 0) {
        _exit(0);
    }
    waitpid(pid, nullptr, 0);
    return pid;
}

uint64_t Fnv(const std::vector<uint8_t> &b)
{
    uint64_t h = 14695981039346656037ULL;
    for (uint8_t c : b) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

uint32_t Le32(const std::vector<uint8_t> &b, size_t at)
{
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}

/* A buffer read back: header fields and the SIDs in order, or ok false when it does not add up. */
struct Decoded {
    bool ok = false;
    uint32_t size = 0;
    uint64_t checksum = 0;
    bool checksum_ok = false;
    int local_user = -1, local_admin = -1;
    std::vector<Sid> sids;
};

Decoded Decode(const std::vector<uint8_t> &b)
{
    Decoded d;
    if (b.size() < 18) {
        return d;
    }
    d.size = Le32(b, 0);
    for (int i = 7; i >= 0; i--) {
        d.checksum = d.checksum << 8 | b[4 + static_cast<size_t>(i)];
    }
    std::vector<uint8_t> zeroed = b;
    std::fill(zeroed.begin() + 4, zeroed.begin() + 12, 0);
    d.checksum_ok = Fnv(zeroed) == d.checksum;
    d.local_user = b[12];
    d.local_admin = b[13];
    uint32_t count = Le32(b, 14);
    size_t at = 18;
    for (uint32_t i = 0; i < count; i++) {
        if (at >= b.size() || at + 1 + 4 * size_t{b[at]} > b.size()) {
            return d;
        }
        Sid s;
        for (size_t k = 0; k < b[at]; k++) {
            s.push_back(Le32(b, at + 1 + 4 * k));
        }
        at += 1 + 4 * size_t{b[at]};
        d.sids.push_back(s);
    }
    d.ok = at == b.size() && d.size == b.size();
    return d;
}

const char *const kPasswd = "root:x:0:0:root:/root:/bin/sh\n"
                            "# a comment\n"
                            "alice:x:1001:1001:Alice:/home/alice:/bin/sh\n"
                            "bob:x:1002:100:Bob:/home/bob:/bin/sh\n"
                            "carol:x:1003:1003:Carol:/home/carol:/bin/sh\n";
const char *const kGroup = "root:x:0:\n"
                           "wheel:x:10:carol\n"
                           "sudo:x:27:alice\n"
                           "users:x:100:\n"
                           "dev:x:500:alice,bob\n"
                           "alice:x:1001:\n"
                           "carol:x:1003:\n";

class UserSessionsTest : public ClassifyTest {
protected:
    void BeforeStart() override
    {
        ASSERT_TRUE(g_file_set_contents((dir_ + "/bin/hv-enforcement64.sys").c_str(),
                                        "4 FALSE\n5 TRUE\n6 FALSE\n7 FALSE\n", -1, nullptr));
        passwd_ = dir_ + "/passwd";
        group_ = dir_ + "/group";
        utmp_ = dir_ + "/login/utmp";
        g_mkdir_with_parents((dir_ + "/login").c_str(), 0755);
        hvtest::WriteFile(passwd_, kPasswd);
        hvtest::WriteFile(group_, kGroup);
        WriteUtmp(initial_);
        g_setenv("HV_PASSWD_FILE", passwd_.c_str(), TRUE);
        g_setenv("HV_GROUP_FILE", group_.c_str(), TRUE);
        g_setenv("HV_UTMP_FILE", utmp_override_.empty() ? utmp_.c_str() : utmp_override_.c_str(), TRUE);
    }

    void TearDown() override
    {
        ClassifyTest::TearDown();
        g_unsetenv("HV_PASSWD_FILE");
        g_unsetenv("HV_GROUP_FILE");
        g_unsetenv("HV_UTMP_FILE");
        g_unsetenv("HV_LOCAL_ADMIN_GROUPS");
    }

    /* Replaced as login tools do: a new file renamed over the old one. */
    void WriteUtmp(const std::vector<Login> &logins)
    {
        std::string image = UtmpImage(logins);
        std::string tmp = utmp_ + ".new";
        ASSERT_TRUE(g_file_set_contents(tmp.c_str(), image.data(), static_cast<gssize>(image.size()), nullptr));
        ASSERT_EQ(rename(tmp.c_str(), utmp_.c_str()), 0);
    }

    static endr::SessionPicture Picture() { return endr::engine_sessions(); }

    static std::vector<uint8_t> SentBuffer()
    {
        endr::Engine &e = endr::engine();
        std::lock_guard<std::mutex> g(e.mu);
        auto it = e.kept.find("set-user-sessions");
        return it == e.kept.end() ? std::vector<uint8_t>{} : it->second;
    }

    static bool Has(const Sid &sid) { return Picture().sids.count(sid) != 0; }

    static bool WaitForKind(endr::SessionPicture::Kind kind)
    {
        return WaitFor([&] { return Picture().kind == kind; });
    }

    std::vector<Login> initial_;
    std::string utmp_override_;
    std::string passwd_, group_, utmp_;
};

std::string ForLocalAdmins(const char *verdict, const std::string &extra = "")
{
    return R"([{"chain_name": "c", "rules": [{"id": "admins", "verdict": ")" + std::string(verdict) +
           R"(", "rule_type": "explicit", "protocols": ["tcp"], "match_src": {"match_groups": {"local_admins": true,
           "local_users": false}}, "match_dst": {"match_ports": [9999]}})" +
           extra + "]}]";
}

} // namespace

class UserSessionsBufferTest : public UserSessionsTest {
protected:
    void BeforeStart() override
    {
        pid_t me = getpid();
        initial_ = {{USER_PROCESS, "alice", "pts/1", me},
                    {USER_PROCESS, "bob", "pts/2", me},
                    {USER_PROCESS, "alice", "pts/3", me},
                    {DEAD_PROCESS, "carol", "pts/4", me},
                    {LOGIN_PROCESS, "LOGIN", "tty1", me},
                    {USER_PROCESS, "carol", "pts/5", DeadPid()},
                    {BOOT_TIME, "reboot", "~", 0}};
        UserSessionsTest::BeforeStart();
    }
};

TEST_F(UserSessionsBufferTest, ActiveSessionsBecomeUserGroupAndLocalityEntriesOnce)
{
    ASSERT_TRUE(WaitForKind(endr::SessionPicture::Kind::known));
    std::vector<uint8_t> b = SentBuffer();
    Decoded d = Decode(b);
    ASSERT_TRUE(d.ok) << b.size();
    /* Written out by hand: alice (sudo, dev) twice, bob (users, dev) once; carol's entries
     * are a dead session and a stale one, so wheel and 1003 stay out. */
    std::multiset<Sid> expected = {{1, 1001}, {2, 1001}, {2, 27},   {2, 500},   {113, 1001},
                                   {114, 1001}, {1, 1002}, {2, 100}, {113, 1002}};
    EXPECT_EQ(std::multiset<Sid>(d.sids.begin(), d.sids.end()), expected);
    EXPECT_EQ(d.size, 18u + 9u * 9u);
    EXPECT_EQ(d.local_user, 1);
    EXPECT_EQ(d.local_admin, 1);
    EXPECT_TRUE(d.checksum_ok);
    EXPECT_TRUE(Logged(kAny, "[user_sessions] session source: utmp file " + utmp_ + " (HV_UTMP_FILE)"));
    EXPECT_TRUE(LoggedPrefix(kAny, "[user_sessions] skipping session 5 (pts/5) in state USER_PROCESS (stale)"));
    char checksum[17];
    g_snprintf(checksum, sizeof checksum, "%016llx", static_cast<unsigned long long>(d.checksum));
    /* The line follows the driver's answer. */
    EXPECT_TRUE(WaitFor([&] {
        return Logged(kAny, std::string("[user_sessions] refresh: refreshed user sessions, sent 9 SIDs + <local "
                                        "user session> + <local admin session>, user sessions checksum = ") +
                                checksum);
    }));
    EXPECT_TRUE(Logged(kAny, "[user_sessions] refresh: SID index 0 = S-1-22-1-1001"));

    /* The monitor's thread goes with stop, after the last lines it owes. */
    ASSERT_TRUE(en_api_stop(h_));
    long stopping = IndexOf("[user_sessions] stopping monitoring");
    long exited = IndexOf("[user_sessions] monitoring thread exited");
    long device = IndexOf("[api] closing enforcement device handle");
    ASSERT_GE(stopping, 0);
    EXPECT_GT(exited, stopping);
    EXPECT_GT(device, exited) << "the monitor stops before the device closes";
}

TEST_F(UserSessionsTest, NoActiveSessionIsAnEmptyBufferNotAFailure)
{
    ASSERT_TRUE(WaitForKind(endr::SessionPicture::Kind::known));
    std::vector<uint8_t> b = SentBuffer();
    ASSERT_EQ(b.size(), 18u);
    Decoded d = Decode(b);
    EXPECT_TRUE(d.ok && d.checksum_ok);
    EXPECT_EQ(d.local_user, 0);
    EXPECT_EQ(d.local_admin, 0);
    EXPECT_TRUE(d.sids.empty());
    char checksum[17];
    g_snprintf(checksum, sizeof checksum, "%016llx", static_cast<unsigned long long>(d.checksum));
    EXPECT_TRUE(WaitFor([&] {
        return Logged(kAny, std::string("[user_sessions] refresh: refreshed user sessions, sent 0 SIDs, user "
                                        "sessions checksum = ") +
                                checksum);
    }));
}

TEST_F(UserSessionsTest, EveryLoginChangeIsSentAndAnUntrustworthyPictureBecomesMurky)
{
    ASSERT_TRUE(WaitForKind(endr::SessionPicture::Kind::known));
    pid_t me = getpid();
    WriteUtmp({{USER_PROCESS, "bob", "pts/2", me}});
    ASSERT_TRUE(WaitFor([] { return Has({1, 1002}); })) << "a renamed-over file is noticed";
    EXPECT_TRUE(Logged(kAny, "[user_sessions] on session change: refresh user sessions"));
    EXPECT_FALSE(Has({114, 1002}));

    /* Rewritten in place, as a login service updating its record does. */
    std::string image = UtmpImage({{USER_PROCESS, "alice", "pts/1", me}});
    int fd = open(utmp_.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, image.data(), image.size()), static_cast<ssize_t>(image.size()));
    close(fd);
    ASSERT_TRUE(WaitFor([] { return Has({114, 1001}) && !Has({1, 1002}); }));

    /* A session whose user no database knows: nothing about anyone can be trusted. */
    WriteUtmp({{USER_PROCESS, "alice", "pts/1", me}, {USER_PROCESS, "nobody-here-xyz", "pts/9", me}});
    ASSERT_TRUE(WaitForKind(endr::SessionPicture::Kind::murky));
    EXPECT_TRUE(Picture().sids.empty());
    EXPECT_TRUE(LoggedPrefix(kCritical, "[user_sessions] failed to add session info for session 1 (pts/9)"));
    EXPECT_TRUE(Logged(kCritical, "[user_sessions] refresh: failed to get session group SIDs"));
    EXPECT_TRUE(Logged(kAny, "[user_sessions] refresh: due to failure, informing the driver that user sessions are "
                             "murky"));

    /* A cut record is a file that cannot be read as sessions. */
    WriteUtmp({{USER_PROCESS, "alice", "pts/1", me}});
    ASSERT_TRUE(WaitForKind(endr::SessionPicture::Kind::known));
    image = UtmpImage({{USER_PROCESS, "alice", "pts/1", me}}) + "x";
    std::string tmp = utmp_ + ".new";
    ASSERT_TRUE(g_file_set_contents(tmp.c_str(), image.data(), static_cast<gssize>(image.size()), nullptr));
    ASSERT_EQ(rename(tmp.c_str(), utmp_.c_str()), 0);
    ASSERT_TRUE(WaitForKind(endr::SessionPicture::Kind::murky));
    EXPECT_TRUE(LoggedPrefix(kCritical, "[user_sessions] error enumerating sessions: utmp length"));

    /* Gone altogether: nobody is logged on. */
    WriteUtmp({{USER_PROCESS, "alice", "pts/1", me}});
    ASSERT_TRUE(WaitForKind(endr::SessionPicture::Kind::known));
    ASSERT_EQ(unlink(utmp_.c_str()), 0);
    ASSERT_TRUE(WaitFor([] { return !Has({1, 1001}) && Picture().kind == endr::SessionPicture::Kind::known; }));
}

TEST_F(UserSessionsTest, ARefusedBufferIsFollowedByTheMurkyRequest)
{
    ASSERT_TRUE(WaitForKind(endr::SessionPicture::Kind::known));
    ArmFault(EN_IOCTL_SET_USER_SESSIONS, 31, 1);
    WriteUtmp({{USER_PROCESS, "alice", "pts/1", getpid()}});
    ASSERT_TRUE(WaitForKind(endr::SessionPicture::Kind::murky));
    EXPECT_TRUE(LoggedPrefix(kCritical, "[user_sessions] refresh: kernel call failed"));
    EXPECT_FALSE(Logged(kCritical, "[user_sessions] refresh: failed to get session group SIDs"));
}

class UnreadableSourceTest : public UserSessionsTest {
protected:
    void BeforeStart() override
    {
        /* A folder where the file should be: unreadable even for root. */
        utmp_override_ = dir_ + "/login";
        UserSessionsTest::BeforeStart();
    }
};

TEST_F(UnreadableSourceTest, TheDriverHearsMurkyFromTheFirstRefresh)
{
    ASSERT_TRUE(WaitForKind(endr::SessionPicture::Kind::murky));
    EXPECT_FALSE(LoggedPrefix(kAny, "[user_sessions] refresh: refreshed user sessions"));
    EXPECT_TRUE(Logged(kCritical, "[user_sessions] refresh: failed to get session group SIDs"));
}

class AdminGroupConfigTest : public UserSessionsTest {
protected:
    void BeforeStart() override
    {
        g_setenv("HV_LOCAL_ADMIN_GROUPS", "dev,,ops", TRUE);
        initial_ = {{USER_PROCESS, "alice", "pts/1", getpid()}, {USER_PROCESS, "bob", "pts/2", getpid()}};
        UserSessionsTest::BeforeStart();
    }
};

TEST_F(AdminGroupConfigTest, NamedGroupsReplaceSudoAndWheel)
{
    ASSERT_TRUE(WaitForKind(endr::SessionPicture::Kind::known));
    EXPECT_TRUE(Has({114, 1002})) << "bob is in dev";
    EXPECT_TRUE(Has({114, 1001})) << "alice too";
    WriteUtmp({{USER_PROCESS, "carol", "pts/1", getpid()}});
    ASSERT_TRUE(WaitFor([] { return Has({1, 1003}); }));
    EXPECT_FALSE(Has({114, 1003})) << "wheel no longer makes an administrator";
    EXPECT_TRUE(Has({113, 1003}));
}

class WatchFailureTest : public UserSessionsTest {
protected:
    void BeforeStart() override
    {
        utmp_override_ = dir_ + "/no-such-folder/utmp";
        UserSessionsTest::BeforeStart();
    }
    void SetUp() override
    {
        /* The API start is what fails here: set up by hand. */
        EnApiTest::SetUp();
        saved_limit_ = g_en_config.max_entity_field_num;
        ASSERT_TRUE(en_lid_map_init());
        BeforeStart();
        h_ = Init();
        ASSERT_NE(h_, nullptr);
    }
};

TEST_F(WatchFailureTest, AMonitorThatCannotWatchFailsTheStart)
{
    EXPECT_FALSE(en_api_start(h_));
    EXPECT_TRUE(LoggedPrefix(kCritical, "[user_sessions] error registering for session notifications: inotify watch"));
    EXPECT_TRUE(Logged(kCritical, "[user_sessions] failed to initialize monitoring thread! quitting the thread"));
    EXPECT_TRUE(Logged(kCritical, "[user_sessions] monitoring thread failed to initialize"));
    EXPECT_TRUE(Logged(kCritical, "[api] error: failed to start user sessions monitoring"));
    EXPECT_TRUE(BackToBaselineThreads());
}

TEST(UserSessionsModule, LifecycleGuards)
{
    hvtest::ScopedLogRecord log;
    EXPECT_EQ(en_user_sessions_start(nullptr), nullptr);
    EXPECT_TRUE(log.Logged(G_LOG_LEVEL_CRITICAL, "[user_sessions] not initialized"));
    EXPECT_FALSE(en_user_sessions_stop(nullptr));
    en_user_sessions_free();
    EXPECT_TRUE(log.Logged(G_LOG_LEVEL_WARNING, "[user_sessions] module not initialized"));
    EXPECT_TRUE(en_user_sessions_init());
    EXPECT_TRUE(en_user_sessions_init());
    EXPECT_TRUE(log.Logged(G_LOG_LEVEL_WARNING, "[user_sessions] module already initialized"));
    en_user_sessions_free();
    EXPECT_TRUE(log.Logged(G_LOG_LEVEL_MESSAGE, "[user_sessions] freeing module"));
}

TEST(UserSessionsBuffer, SidTextAndRefusedSids)
{
    char text[96];
    en_user_sessions_sid_text({2, 27}, text);
    EXPECT_STREQ(text, "S-1-22-2-27");
    en_user_sessions_sid_text(Sid(15, 4294967295u), text);
    EXPECT_EQ(strlen(text), 95u);
    EXPECT_STREQ(text + 92, "...");
    EXPECT_EQ(std::string(text, 17), "S-1-22-4294967295");

    hvtest::ScopedLogRecord log;
    EXPECT_TRUE(en_user_sessions_buffer({Sid(16, 1)}, false, false).empty());
    EXPECT_TRUE(log.LoggedPrefix(G_LOG_LEVEL_CRITICAL, "[user_sessions] refresh: no room for SID"));
}

TEST(UserSessionsPlatform, UtmpRecordsAndAccounts)
{
    std::vector<platform_session> s;
    std::string why;
    std::string image = UtmpImage({{USER_PROCESS, "alice", "pts/1", getpid()}});
    EXPECT_FALSE(platform_parse_utmp(image.data(), image.size() - 1, &s, &why));
    EXPECT_NE(why.find("not a whole number of records"), std::string::npos) << why;
    ASSERT_TRUE(platform_parse_utmp(image.data(), image.size(), &s, &why));
    ASSERT_EQ(s.size(), 1u);
    EXPECT_TRUE(s[0].active);
    EXPECT_EQ(s[0].user, "alice");

    hvtest::TempDir tmp("hv-sessions-db");
    std::string passwd = tmp.path() + "/passwd", group = tmp.path() + "/group";
    /* A malformed id, a uid too large, and an entry after them that still counts. */
    hvtest::WriteFile(passwd, "bad:x:12a:1:::\nhuge:x:99999999999:1:::\nroot:x:0:0:::\ndave:x:2000:2000:::\n");
    hvtest::WriteFile(group, "dave:x:2000:\nsudo:x:27:daveX,dave2\nops:x:30:root,dave\nops2:x:30:dave\n");
    g_setenv("HV_PASSWD_FILE", passwd.c_str(), TRUE);
    g_setenv("HV_GROUP_FILE", group.c_str(), TRUE);
    platform_account a;
    ASSERT_TRUE(platform_account_lookup("dave", 0, false, &a, &why)) << why;
    EXPECT_EQ(a.uid, 2000u);
    EXPECT_EQ(a.gids, (std::vector<uint32_t>{2000, 30})) << "each group once, primary first";
    EXPECT_TRUE(a.local);
    EXPECT_FALSE(a.admin) << "names only like a member's are no membership";
    ASSERT_TRUE(platform_account_lookup("", 0, true, &a, &why));
    EXPECT_TRUE(a.admin) << "uid 0";
    hvtest::WriteFile(passwd, "");
    g_setenv("HV_GROUP_FILE", (tmp.path() + "/missing").c_str(), TRUE);
    EXPECT_FALSE(platform_account_lookup("no-such-user-xyz", 0, false, &a, &why));
    hvtest::WriteFile(passwd, "dave:x:2000:2000:::\n");
    EXPECT_FALSE(platform_account_lookup("dave", 0, false, &a, &why)) << "an unreadable group file";
    g_unsetenv("HV_PASSWD_FILE");
    g_unsetenv("HV_GROUP_FILE");
}

/* A huge login record file or account database is refused with its size, not read whole
 * (sparse files: nothing is written to the disk). */
TEST(UserSessionsPlatform, OversizedFilesAreRefused)
{
    hvtest::TempDir tmp("hv-sessions-big");
    std::string utmp = tmp.path() + "/utmp", passwd = tmp.path() + "/passwd";
    hvtest::WriteFile(utmp, "");
    ASSERT_EQ(truncate(utmp.c_str(), static_cast<off_t>(sizeof(struct utmp)) * 60000), 0);
    hvtest::WriteFile(passwd, "");
    ASSERT_EQ(truncate(passwd.c_str(), off_t{1} << 25), 0);
    g_setenv("HV_UTMP_FILE", utmp.c_str(), TRUE);
    g_setenv("HV_PASSWD_FILE", passwd.c_str(), TRUE);
    std::vector<platform_session> s;
    std::string why;
    EXPECT_FALSE(platform_sessions_list(platform_session_source::utmp, &s, &why));
    EXPECT_NE(why.find(utmp + ": 23040000 bytes"), std::string::npos) << why;
    platform_account a;
    why.clear();
    EXPECT_FALSE(platform_account_lookup("root", 0, true, &a, &why));
    EXPECT_NE(why.find(passwd + ": 33554432 bytes"), std::string::npos) << why;
    g_unsetenv("HV_UTMP_FILE");
    g_unsetenv("HV_PASSWD_FILE");
}

TEST(UserSessionsSid, UnixIdTextsParse)
{
    uint8_t count = 0;
    uint32_t sub[EN_SID_MAX_SUBAUTHS];
    ASSERT_EQ(en_parse_sid("S-1-22-2-27", &count, sub), EN_SID_OK);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(sub[0], 2u);
    EXPECT_EQ(sub[1], 27u);
    EXPECT_EQ(en_sid_subauth_count("S-1-22-2-27"), 2);
    EXPECT_EQ(en_parse_sid("S-1-22", &count, sub), EN_SID_NO_SUBAUTH);
    EXPECT_EQ(en_parse_sid("S-1-221-1", &count, sub), EN_SID_MALFORMED);
    EXPECT_EQ(en_parse_sid("S-1-2-1", &count, sub), EN_SID_BAD_PREFIX);
    EXPECT_EQ(en_parse_sid("S-1-5-32-544", &count, sub), EN_SID_OK);
}

/* Verdicts: the driver matches groups criteria against the user of the connection's process. */
class GroupVerdictTest : public UserSessionsTest {
protected:
    void BeforeStart() override
    {
        UserSessionsTest::BeforeStart();
        /* A user of the test's own: this process's when unprivileged (the children keep it);
         * as root (always an administrator) one the children switch to. */
        privileged_ = geteuid() == 0;
        uid_ = privileged_ ? 4244 : getuid();
        gid_ = privileged_ ? 4244 : getgid();
        hvtest::WriteFile(passwd_, std::string(kPasswd) + "tester:x:" + std::to_string(uid_) + ":" +
                                       std::to_string(gid_) + ":::\n");
        hvtest::WriteFile(group_, GroupWithSudo("alice,tester"));
        WriteUtmp({{USER_PROCESS, "tester", "pts/1", getpid()}});
    }

    static std::string GroupWithSudo(const std::string &members)
    {
        std::string group = kGroup;
        return group.replace(group.find("sudo:x:27:alice"), 15, "sudo:x:27:" + members);
    }

    /* A process of the test user (or of uid when given). */
    void StartChild(hvtest::Child &child, long uid = -2)
    {
        std::string sh = std::filesystem::canonical("/bin/sh").string();
        ASSERT_TRUE(child.Start(sh, {}, "/", uid == -2 ? (privileged_ ? static_cast<long>(uid_) : -1) : uid));
    }

    static Tuple Conn(uint64_t pid)
    {
        Tuple t = Out("tcp", "127.0.0.1", 40000, "127.0.0.1", 9999);
        t.pid = pid;
        t.lids = {1}; /* no lid request for the pid */
        return t;
    }

    bool privileged_ = false;
    uint32_t uid_ = 0, gid_ = 0;
};

TEST_F(GroupVerdictTest, LocalAdminsFollowTheSessionUserOfTheProcess)
{
    uint32_t uid = uid_;
    ASSERT_TRUE(WaitFor([&] { return Has({114, uid}); }));
    ASSERT_TRUE(Push("[]", ForLocalAdmins("BLOCK")));
    hvtest::Child child;
    StartChild(child);
    EXPECT_EQ(Decide(Conn(child.pid())), "BLOCK:admins");
    EXPECT_EQ(Decide(Conn(0)), "ALLOW:") << "no process, no user";
    Tuple other_port = Conn(child.pid());
    other_port.remote_port = 9998;
    EXPECT_EQ(Decide(other_port), "ALLOW:");

    /* The same user, logged on but no longer an administrator. */
    hvtest::WriteFile(group_, kGroup);
    WriteUtmp({{USER_PROCESS, "tester", "pts/2", getpid()}});
    ASSERT_TRUE(WaitFor([&] { return !Has({114, uid}) && Has({1, uid}); }));
    EXPECT_EQ(Decide(Conn(child.pid())), "ALLOW:");

    /* Logged off: the groups of a user without a session do not count. */
    hvtest::WriteFile(group_, GroupWithSudo("alice,tester"));
    WriteUtmp({{USER_PROCESS, "alice", "pts/2", getpid()}});
    ASSERT_TRUE(WaitFor([&] { return Has({114, 1001}) && !Has({1, uid}); }));
    EXPECT_EQ(Decide(Conn(child.pid())), "ALLOW:");
}

TEST_F(GroupVerdictTest, DomainGroupsAreTheProcessGroupsThatTheSessionsShow)
{
    uint32_t uid = uid_;
    ASSERT_TRUE(WaitFor([&] { return Has({1, uid}); }));
    auto table = [](const std::string &id, const std::string &sid) {
        return R"([{"chain_name": "c", "rules": [{"id": ")" + id +
               R"(", "verdict": "BLOCK", "rule_type": "explicit", "protocols": ["tcp"], "match_src": {"match_groups":
               {"domain_groups": [{"sid": ")" +
               sid + R"(", "gname": "g"}], "local_admins": false, "local_users": false}}, "match_dst": {"match_ports":
               [9999]}}]}])";
    };
    hvtest::Child child;
    StartChild(child);
    /* dev (500) is in the picture through alice, but the child is not in it. */
    WriteUtmp({{USER_PROCESS, "tester", "pts/1", getpid()}, {USER_PROCESS, "alice", "pts/2", getpid()}});
    ASSERT_TRUE(WaitFor([] { return Has({2, 500}); }));
    ASSERT_TRUE(Push("[]", table("dev", "S-1-22-2-500")));
    EXPECT_EQ(Decide(Conn(child.pid())), "ALLOW:");
    ASSERT_TRUE(Push("[]", table("mine", "S-1-22-2-" + std::to_string(gid_))));
    EXPECT_EQ(Decide(Conn(child.pid())), "BLOCK:mine");
    /* The child's group, in the picture only through alice: its user has no session. */
    hvtest::WriteFile(passwd_, "alice:x:1001:" + std::to_string(gid_) + ":::\ntester:x:" + std::to_string(uid_) + ":" +
                                   std::to_string(gid_) + ":::\n");
    WriteUtmp({{USER_PROCESS, "alice", "pts/2", getpid()}});
    uint32_t gid = gid_;
    ASSERT_TRUE(WaitFor([&] { return Has({2, gid}) && !Has({1, uid}); }));
    EXPECT_EQ(Decide(Conn(child.pid())), "ALLOW:");
    /* A malformed group text is refused by the conversion. */
    std::string why;
    EXPECT_FALSE(Push("[]", table("bad", "S-1-6-1"), &why));
    EXPECT_NE(why.find("incorrect SID prefix"), std::string::npos) << why;
}

TEST_F(GroupVerdictTest, MurkySessionsApplyBlockRulesAndSkipAllowRulesOnGroups)
{
    uint32_t uid = uid_;
    ASSERT_TRUE(WaitFor([&] { return Has({1, uid}); }));
    /* Local users allowed to 9999, then everything to 9999 blocked. */
    std::string allow_then_block =
        R"([{"chain_name": "c", "rules": [{"id": "users-ok", "verdict": "ALLOW", "rule_type": "explicit",
        "protocols": ["tcp"], "match_src": {"match_groups": {"local_admins": false, "local_users": true}},
        "match_dst": {"match_ports": [9999]}}, {"id": "rest", "verdict": "BLOCK", "rule_type": "explicit",
        "protocols": ["tcp"], "match_src": {}, "match_dst": {"match_ports": [9999]}}]}])";
    ASSERT_TRUE(Push("[]", allow_then_block));
    hvtest::Child child;
    StartChild(child);
    EXPECT_EQ(Decide(Conn(child.pid())), "ALLOW:users-ok");
    hvtest::WriteFile(utmp_, "cut");
    ASSERT_TRUE(WaitForKind(endr::SessionPicture::Kind::murky));
    EXPECT_EQ(Decide(Conn(child.pid())), "BLOCK:rest") << "an untrusted picture grants nothing";
    ASSERT_TRUE(Push("[]", ForLocalAdmins("BLOCK")));
    EXPECT_EQ(Decide(Conn(0)), "BLOCK:admins") << "and keeps blocking";
    WriteUtmp({});
    ASSERT_TRUE(WaitForKind(endr::SessionPicture::Kind::known));
    EXPECT_EQ(Decide(Conn(child.pid())), "ALLOW:");
}

TEST_F(GroupVerdictTest, AnAdministratorsProcessAndAnotherUsersWhenPrivileged)
{
    if (!privileged_) {
        GTEST_SKIP() << "needs root to run processes as other users";
    }
    /* 4242 is in sudo, 4243 is not; both are logged on. */
    hvtest::WriteFile(passwd_, std::string(kPasswd) + "adm:x:4242:4242:::\nusr:x:4243:4243:::\n");
    hvtest::WriteFile(group_, GroupWithSudo("alice,adm"));
    WriteUtmp({{USER_PROCESS, "adm", "pts/1", getpid()}, {USER_PROCESS, "usr", "pts/2", getpid()}});
    ASSERT_TRUE(WaitFor([] { return Has({114, 4242}) && Has({1, 4243}); }));
    EXPECT_FALSE(Has({114, 4243}));
    ASSERT_TRUE(Push("[]", ForLocalAdmins("BLOCK")));
    hvtest::Child admin, user;
    StartChild(admin, 4242);
    StartChild(user, 4243);
    EXPECT_EQ(Decide(Conn(admin.pid())), "BLOCK:admins");
    EXPECT_EQ(Decide(Conn(user.pid())), "ALLOW:");
}

namespace {

/* A message bus of the test's own with a stand-in for logind's manager and sessions on it. */
class FakeLogind {
public:
    struct Session {
        std::string id;
        uint32_t uid;
        std::string user;
        std::string state;
    };

    ~FakeLogind() { Stop(); }

    /* False when no bus daemon can run here. */
    bool Start(const std::string &dir)
    {
        const char *daemon = "/usr/bin/dbus-daemon";
        if (!g_file_test(daemon, G_FILE_TEST_IS_EXECUTABLE)) {
            return false;
        }
        std::string listen = "--address=unix:path=" + dir + "/bus";
        const char *argv[] = {daemon, "--config-file=/usr/share/dbus-1/session.conf", listen.c_str(), "--nofork",
                              "--print-address=1", nullptr};
        int out = -1;
        if (!g_spawn_async_with_pipes(nullptr, const_cast<char **>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                                      nullptr, &daemon_, nullptr, &out, nullptr, nullptr)) {
            return false;
        }
        char line[512] = {};
        size_t n = 0;
        while (n < sizeof line - 1 && read(out, line + n, 1) == 1 && line[n] != '\n') {
            n++;
        }
        close(out);
        line[n] = '\0';
        address_ = line;
        if (address_.empty()) {
            return false;
        }
        thread_ = g_thread_new("fake-logind", Serve, this);
        std::unique_lock<std::mutex> g(lock_);
        cv_.wait(g, [this] { return ready_; });
        return conn_ != nullptr;
    }

    void Stop()
    {
        if (thread_) {
            g_main_context_invoke(context_, Quit, this);
            g_thread_join(thread_);
            thread_ = nullptr;
        }
        if (daemon_ > 0) {
            kill(daemon_, SIGTERM);
            waitpid(daemon_, nullptr, 0);
            daemon_ = 0;
        }
    }

    const std::string &Address() const { return address_; }

    /* Replaces the sessions and announces the change as logind does. */
    void Set(const std::vector<Session> &sessions)
    {
        {
            std::lock_guard<std::mutex> g(lock_);
            sessions_ = sessions;
        }
        g_dbus_connection_emit_signal(conn_, nullptr, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                      "SessionNew", g_variant_new("(so)", "1", "/org/freedesktop/login1/session/_31"),
                                      nullptr);
    }

private:
    static std::string PathOf(const std::string &id) { return "/org/freedesktop/login1/session/_3" + id; }

    static gpointer Serve(gpointer data)
    {
        auto *self = static_cast<FakeLogind *>(data);
        self->context_ = g_main_context_new();
        g_main_context_push_thread_default(self->context_);
        self->loop_ = g_main_loop_new(self->context_, FALSE);
        self->conn_ = g_dbus_connection_new_for_address_sync(
            self->address_.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        if (self->conn_) {
            self->Register();
        }
        {
            std::lock_guard<std::mutex> g(self->lock_);
            self->ready_ = true;
        }
        self->cv_.notify_all();
        if (self->conn_) {
            g_main_loop_run(self->loop_);
            g_dbus_connection_close_sync(self->conn_, nullptr, nullptr);
            g_object_unref(self->conn_);
        }
        g_main_loop_unref(self->loop_);
        g_main_context_pop_thread_default(self->context_);
        g_main_context_unref(self->context_);
        return nullptr;
    }

    static gboolean Quit(gpointer data)
    {
        g_main_loop_quit(static_cast<FakeLogind *>(data)->loop_);
        return G_SOURCE_REMOVE;
    }

    void Register()
    {
        static const char *const kManager =
            "<node><interface name='org.freedesktop.login1.Manager'><method name='ListSessions'>"
            "<arg type='a(susso)' direction='out'/></method><signal name='SessionNew'><arg type='s'/>"
            "<arg type='o'/></signal></interface></node>";
        static const char *const kSession = "<node><interface name='org.freedesktop.login1.Session'>"
                                            "<property name='State' type='s' access='read'/></interface></node>";
        static const GDBusInterfaceVTable manager_vtable = {OnCall, nullptr, nullptr, {}};
        static const GDBusInterfaceVTable session_vtable = {nullptr, OnGet, nullptr, {}};
        manager_info_ = g_dbus_node_info_new_for_xml(kManager, nullptr);
        session_info_ = g_dbus_node_info_new_for_xml(kSession, nullptr);
        g_dbus_connection_register_object(conn_, "/org/freedesktop/login1", manager_info_->interfaces[0],
                                          &manager_vtable, this, nullptr, nullptr);
        for (const char *id : {"1", "2", "3"}) {
            g_dbus_connection_register_object(conn_, PathOf(id).c_str(), session_info_->interfaces[0],
                                              &session_vtable, this, nullptr, nullptr);
        }
        GVariant *r = g_dbus_connection_call_sync(conn_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "RequestName",
                                                  g_variant_new("(su)", "org.freedesktop.login1", 4u),
                                                  G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        if (r) {
            g_variant_unref(r);
        }
    }

    static void OnCall(GDBusConnection *, const char *, const char *, const char *, const char *, GVariant *,
                       GDBusMethodInvocation *invocation, gpointer data)
    {
        auto *self = static_cast<FakeLogind *>(data);
        GVariantBuilder b;
        g_variant_builder_init(&b, G_VARIANT_TYPE("a(susso)"));
        std::lock_guard<std::mutex> g(self->lock_);
        for (const Session &s : self->sessions_) {
            g_variant_builder_add(&b, "(susso)", s.id.c_str(), s.uid, s.user.c_str(), "seat0", PathOf(s.id).c_str());
        }
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(a(susso))", &b));
    }

    static GVariant *OnGet(GDBusConnection *, const char *, const char *path, const char *, const char *,
                           GError **error, gpointer data)
    {
        auto *self = static_cast<FakeLogind *>(data);
        std::lock_guard<std::mutex> g(self->lock_);
        for (const Session &s : self->sessions_) {
            if (PathOf(s.id) == path) {
                return g_variant_new_string(s.state.c_str());
            }
        }
        g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT, "no session %s", path);
        return nullptr;
    }

    GPid daemon_ = 0;
    std::string address_;
    GThread *thread_ = nullptr;
    GMainContext *context_ = nullptr;
    GMainLoop *loop_ = nullptr;
    GDBusConnection *conn_ = nullptr;
    GDBusNodeInfo *manager_info_ = nullptr;
    GDBusNodeInfo *session_info_ = nullptr;
    std::mutex lock_;
    std::condition_variable cv_;
    bool ready_ = false;
    std::vector<Session> sessions_;

public:
    FakeLogind() = default;
    FakeLogind(const FakeLogind &) = delete;
    FakeLogind &operator=(const FakeLogind &) = delete;
    void FreeInfo()
    {
        if (manager_info_) {
            g_dbus_node_info_unref(manager_info_);
            g_dbus_node_info_unref(session_info_);
            manager_info_ = session_info_ = nullptr;
        }
    }
};

} // namespace

class LogindSourceTest : public UserSessionsTest {
protected:
    void BeforeStart() override
    {
        UserSessionsTest::BeforeStart();
        g_unsetenv("HV_UTMP_FILE");
        if (!logind_.Start(dir_)) {
            GTEST_SKIP() << "no message bus daemon here";
        }
        logind_.Set({{"1", 1001, "alice", "active"}, {"2", 1002, "bob", "closing"}});
        g_setenv("DBUS_SYSTEM_BUS_ADDRESS", logind_.Address().c_str(), TRUE);
    }
    void TearDown() override
    {
        UserSessionsTest::TearDown();
        logind_.Stop();
        logind_.FreeInfo();
        g_unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    FakeLogind logind_;
};

TEST_F(LogindSourceTest, SessionsComeFromLogindAndItsSignalsRefreshThem)
{
    ASSERT_TRUE(WaitForKind(endr::SessionPicture::Kind::known));
    EXPECT_TRUE(Logged(kAny, "[user_sessions] session source: logind on the system bus"));
    EXPECT_TRUE(Has({114, 1001}));
    EXPECT_FALSE(Has({1, 1002})) << "a closing session is a user who logged out";
    EXPECT_TRUE(LoggedPrefix(kAny, "[user_sessions] skipping session 1 (2) in state closing"));
    logind_.Set({{"3", 1002, "bob", "online"}});
    ASSERT_TRUE(WaitFor([] { return Has({1, 1002}) && !Has({1, 1001}); }));
    /* A session whose state cannot be read leaves nothing to trust. */
    logind_.Set({{"1", 1001, "alice", "active"}, {"4", 1002, "bob", "active"}});
    ASSERT_TRUE(WaitForKind(endr::SessionPicture::Kind::murky));
    EXPECT_TRUE(LoggedPrefix(kCritical, "[user_sessions] error enumerating sessions: Get:"));
}

TEST(UserSessionsPlatform, WithoutABusTheSourceIsUtmp)
{
    hvtest::TempDir tmp("hv-sessions-nobus");
    g_unsetenv("HV_UTMP_FILE");
    g_setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + tmp.path() + "/none").c_str(), TRUE);
    std::string detail;
    EXPECT_EQ(platform_sessions_source(&detail), platform_session_source::utmp);
    EXPECT_EQ(detail.rfind("utmp file " + std::string(_PATH_UTMP) + " (logind unavailable: ", 0), 0u) << detail;
    g_unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}
