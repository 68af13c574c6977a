/* The process identity map, the Linux process queries it relies on, and its answer to a
 * driver lid request through the emulated driver. */
#include <pwd.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <memory>
#include <optional>

#include "en-api-fixture.h"
#include "enforcement/framework/agent/en-lid-map.h"
#include "enforcement/framework/agent/en-proc-info.h"
#include "enforcement/platforms/process-query.h"
#include "tests/common/process-child.h"

namespace {

struct InfoFree {
    void operator()(en_process_info_t *info) const
    {
        en_process_info_free(info);
    }
};
using Info = std::unique_ptr<en_process_info_t, InfoFree>;

en_process_info_t *MakeInfo(uint64_t pid, const char *name, const char *path, const char *container)
{
    auto *info = g_new0(en_process_info_t, 1);
    info->pid = pid;
    info->app_name = g_strdup(name);
    info->image_path = g_strdup(path);
    info->container_id = g_strdup(container);
    return info;
}

using hvtest::ExitedPid;

uint16_t Add(const char *name, const char *path, const char *container)
{
    uint16_t lid = 0;
    EXPECT_TRUE(en_lid_map_add(name, path, container, &lid));
    return lid;
}

class LidMapTest : public EnApiTest {
protected:
    void SetUp() override
    {
        EnApiTest::SetUp();
        ASSERT_TRUE(en_lid_map_init());
    }
    void TearDown() override
    {
        EnApiTest::TearDown();
        en_lid_map_free();
    }

    /* The lids answered for a process of this identity; cid 0 and false when refused. */
    static bool Answer(const char *name, const char *path, const char *container, std::vector<uint16_t> *lids,
                     uint32_t *cid = nullptr, uint64_t pid = 77)
    {
        en_process_info_t *info = MakeInfo(pid, name, path, container);
        en_lids_t out{};
        uint32_t got_cid = 0;
        bool ok = en_lid_map_get(&info, &out, &got_cid);
        en_process_info_free(info);
        lids->assign(out.lids, out.lids + out.count);
        if (cid) {
            *cid = got_cid;
        }
        return ok;
    }

    static Info Stored(uint64_t pid, uint32_t cid)
    {
        en_process_info_t *info = nullptr;
        bool found = en_lid_map_get_pid(pid, cid, &info);
        EXPECT_EQ(found, info != nullptr);
        return Info(info);
    }

    static uint32_t Store(uint64_t pid, const char *name)
    {
        uint32_t cid = 0;
        en_lid_map_add_pid_info(MakeInfo(pid, name, nullptr, nullptr), &cid);
        return cid;
    }
};

using Lids = std::vector<uint16_t>;

} // namespace

TEST_F(LidMapTest, AProcessWithoutPolicyIdentitiesCarriesTheDefaultLidAndIsStored)
{
    en_process_info_t *info = MakeInfo(4242, "svc", "C:\\bin\\svc.exe", "c0ffee");
    info->ppid = 9;
    info->parent_name = g_strdup("init");
    en_lids_t lids{};
    uint32_t cid = 0;
    ASSERT_TRUE(en_lid_map_get(&info, &lids, &cid));
    EXPECT_EQ(info, nullptr);
    EXPECT_EQ(Lids(lids.lids, lids.lids + lids.count), Lids({1}));
    EXPECT_EQ(cid, 1u);
    EXPECT_TRUE(Logged(kDebug, "[lid_map] found DEFAULT_LID for application name: svc, image path: C:\\bin\\svc.exe, "
                               "container ID: c0ffee"));
    EXPECT_TRUE(Logged(kDebug, "[lid_map] inserting a new pid: 4242, cid: 1, application name: svc"));

    Info copy = Stored(4242, cid);
    ASSERT_TRUE(copy);
    EXPECT_STREQ(copy->app_name, "svc");
    EXPECT_STREQ(copy->image_path, "C:\\bin\\svc.exe");
    EXPECT_STREQ(copy->container_id, "c0ffee");
    EXPECT_STREQ(copy->parent_name, "init");
    EXPECT_EQ(copy->ppid, 9u);
    EXPECT_TRUE(Logged(kDebug, "[lid_map] found application name: svc for pid 4242, cid: 1, ppid: 9"));
    /* A deep copy: changing it leaves the stored record as it was. */
    copy->app_name[0] = 'X';
    Info again = Stored(4242, cid);
    ASSERT_TRUE(again);
    EXPECT_STREQ(again->app_name, "svc");
    EXPECT_NE(again->app_name, copy->app_name);

    EXPECT_FALSE(Stored(4242, cid + 1));
    EXPECT_FALSE(Stored(4243, cid));
    /* cids keep counting across answers. */
    uint32_t next = 0;
    Lids l;
    ASSERT_TRUE(Answer("svc", nullptr, nullptr, &l, &next));
    EXPECT_EQ(next, 2u);
}

TEST_F(LidMapTest, WildcardKeysSkipMissingFieldsAndAnswerInKeyOrder)
{
    EXPECT_EQ(Add("N", "P", nullptr), 10u);
    EXPECT_EQ(Add("N", nullptr, nullptr), 11u);
    Lids lids;
    ASSERT_TRUE(Answer("N", "P", nullptr, &lids));
    EXPECT_EQ(lids, Lids({10, 11, 1}));
    EXPECT_TRUE(Logged(kDebug, "[lid_map] found lid: 10 for application name: N, image path: P, container ID: (null)"));
    EXPECT_TRUE(Logged(kDebug, "[lid_map] found lid: 11 for application name: N, image path: P, container ID: (null)"));

    /* With all three fields present every key is tried; the answer follows key order,
     * whatever order the identities were added in. */
    en_lid_map_reset();
    uint16_t k_np = Add("n", "p", nullptr);
    uint16_t k_p = Add(nullptr, "p", nullptr);
    uint16_t k_c = Add(nullptr, nullptr, "c");
    uint16_t k_nc = Add("n", nullptr, "c");
    uint16_t k_npc = Add("n", "p", "c");
    uint16_t k_n = Add("n", nullptr, nullptr);
    uint16_t k_pc = Add(nullptr, "p", "c");
    ASSERT_TRUE(Answer("n", "p", "c", &lids));
    EXPECT_EQ(lids, Lids({k_npc, k_np, k_pc, k_p, k_nc, k_n, k_c, 1}));

    /* Without a name, the keys that drop it are skipped; the default still comes last. */
    ASSERT_TRUE(Answer(nullptr, "p", "c", &lids));
    EXPECT_EQ(lids, Lids({k_pc, k_p, k_c, 1}));
    ASSERT_TRUE(Answer("other", "elsewhere", nullptr, &lids));
    EXPECT_EQ(lids, Lids({1}));
}

TEST_F(LidMapTest, NamesAndPathsIgnoreAsciiCaseContainerIdsDoNot)
{
    uint16_t lid = Add("Svc", "C:\\Bin\\Svc.EXE", "Pod-A");
    EXPECT_EQ(Add("sVC", "c:\\bin\\svc.exe", "Pod-A"), lid);
    EXPECT_TRUE(Logged(kDebug, "[lid_map] existing lid: 10 with application name: sVC"));
    EXPECT_NE(Add("svc", "c:\\bin\\svc.exe", "pod-a"), lid);
    /* A missing field differs from every value, the empty one too, and fields do not swap. */
    uint16_t as_name = Add("x", nullptr, nullptr);
    EXPECT_NE(Add(nullptr, "x", nullptr), as_name);
    EXPECT_NE(Add(nullptr, nullptr, "x"), as_name);
    EXPECT_NE(Add("", nullptr, nullptr), as_name);
    EXPECT_NE(Add("", nullptr, nullptr), 1u);
    EXPECT_TRUE(Logged(kDebug, "[lid_map] inserting a new lid: 12, process: x"));

    Lids lids;
    ASSERT_TRUE(Answer("SVC", "C:\\BIN\\SVC.exe", "Pod-A", &lids));
    EXPECT_EQ(lids.front(), lid);
    /* Only the (–, –, –) wildcard of a differently cased container ID matches. */
    ASSERT_TRUE(Answer("q", "q", "POD-A", &lids));
    EXPECT_EQ(lids, Lids({1}));
}

TEST_F(LidMapTest, ResetRestartsLidsAtTenAndKeepsThePidTable)
{
    EXPECT_EQ(Add("a", nullptr, nullptr), 10u);
    EXPECT_EQ(Add("a", nullptr, nullptr), 10u);
    EXPECT_EQ(Add("b", nullptr, nullptr), 11u);
    uint32_t cid = Store(500, "kept");
    en_lid_map_reset();
    EXPECT_TRUE(Logged(kDebug, "[lid_map] reseting lid map"));
    EXPECT_TRUE(Logged(kDebug, "[lid_map] inserted the default lid"));
    Lids lids;
    ASSERT_TRUE(Answer("a", nullptr, nullptr, &lids));
    EXPECT_EQ(lids, Lids({1}));
    EXPECT_EQ(Add("b", nullptr, nullptr), 10u);
    Info kept = Stored(500, cid);
    ASSERT_TRUE(kept);
    EXPECT_STREQ(kept->app_name, "kept");
    /* The default identity is still there and still lid 1. */
    EXPECT_EQ(Add(nullptr, nullptr, nullptr), 1u);
}

TEST_F(LidMapTest, ANumberingBuiltAsideAnswersOnlyOnceCommitted)
{
    EXPECT_EQ(Add("sleep", nullptr, nullptr), 10u);
    const uint64_t before = en_lid_map_generation();
    Lids lids;
    for (bool commit : {false, true}) {
        SCOPED_TRACE(commit ? "commit" : "abort");
        en_lid_map_stage_begin();
        EXPECT_EQ(Add("curl", nullptr, nullptr), 10u);
        EXPECT_EQ(Add("sleep", nullptr, nullptr), 11u);
        /* Answers keep the numbering in force while the new one is built. */
        ASSERT_TRUE(Answer("sleep", nullptr, nullptr, &lids));
        EXPECT_EQ(lids, Lids({10, 1}));
        ASSERT_TRUE(Answer("curl", nullptr, nullptr, &lids));
        EXPECT_EQ(lids, Lids({1}));
        if (commit) {
            en_lid_map_stage_commit();
        } else {
            en_lid_map_stage_abort();
            EXPECT_EQ(en_lid_map_generation(), before);
        }
    }
    EXPECT_GT(en_lid_map_generation(), before);
    ASSERT_TRUE(Answer("sleep", nullptr, nullptr, &lids));
    EXPECT_EQ(lids, Lids({11, 1}));
    ASSERT_TRUE(Answer("curl", nullptr, nullptr, &lids));
    EXPECT_EQ(lids, Lids({10, 1}));
    /* Without a stage, commit and abort change nothing; adds go to the numbering in force. */
    const uint64_t committed = en_lid_map_generation();
    en_lid_map_stage_commit();
    en_lid_map_stage_abort();
    EXPECT_EQ(en_lid_map_generation(), committed);
    EXPECT_EQ(Add("sleep", nullptr, nullptr), 11u);
    EXPECT_EQ(Add("cat", nullptr, nullptr), 12u);
}

TEST_F(LidMapTest, TheLastLidIs65534)
{
    /* Ten thousands of debug lines would only slow the capture down. */
    GLogFunc saved = g_log_set_default_handler([](const gchar *, GLogLevelFlags, const gchar *, gpointer) {}, nullptr);
    uint16_t lid = 0;
    for (unsigned i = 10; i <= 65534; i++) {
        std::string name = "app" + std::to_string(i);
        ASSERT_TRUE(en_lid_map_add(name.c_str(), nullptr, nullptr, &lid));
        ASSERT_EQ(lid, i);
    }
    g_log_set_default_handler(saved, nullptr);
    EXPECT_FALSE(en_lid_map_add("one more", nullptr, nullptr, &lid));
    EXPECT_TRUE(Logged(kCritical, "[lid_map] reached maximum number of lids!"));
    /* Known identities still answer. */
    ASSERT_TRUE(en_lid_map_add("APP65534", nullptr, nullptr, &lid));
    EXPECT_EQ(lid, 65534u);
    en_lid_map_reset();
    ASSERT_TRUE(en_lid_map_add("one more", nullptr, nullptr, &lid));
    EXPECT_EQ(lid, 10u);
}

TEST_F(LidMapTest, MissingArgumentsAreRefused)
{
    /* Each refusal names its function and argument; one line stands for them. */
    EXPECT_FALSE(en_lid_map_add("a", nullptr, nullptr, nullptr));
    EXPECT_TRUE(LoggedMatching(kCritical, "[en_lid_map_add:", "] lid_out is NULL"));

    en_lids_t lids{};
    uint32_t cid = 0;
    en_process_info_t *none = nullptr;
    EXPECT_FALSE(en_lid_map_get(&none, &lids, &cid));
    EXPECT_FALSE(en_lid_map_get(nullptr, &lids, &cid));
    en_process_info_t *info = MakeInfo(1, "a", nullptr, nullptr);
    EXPECT_FALSE(en_lid_map_get(&info, nullptr, &cid));
    EXPECT_FALSE(en_lid_map_get(&info, &lids, nullptr));
    /* Refused gets leave the information with the caller; storing takes it even when refused
     * (the sanitizer reports a leak or a double free otherwise). */
    ASSERT_NE(info, nullptr);
    en_lid_map_add_pid_info(info, nullptr);
    EXPECT_TRUE(LoggedMatching(kCritical, "[en_lid_map_add_pid_info:", "] cid_out is NULL"));
    en_lid_map_add_pid_info(nullptr, &cid);
    EXPECT_FALSE(en_lid_map_get_pid(1, 1, nullptr));
    EXPECT_EQ(lids.count, 0u);
}

TEST_F(LidMapTest, WithoutInitNothingIsAnsweredOrStored)
{
    en_lid_map_free();
    uint16_t lid = 0;
    EXPECT_FALSE(en_lid_map_add("a", nullptr, nullptr, &lid));
    Lids lids;
    EXPECT_FALSE(Answer("a", nullptr, nullptr, &lids));
    EXPECT_TRUE(lids.empty());
    EXPECT_FALSE(en_lid_map_cleanup_run());
    en_lid_map_free();
    ASSERT_TRUE(en_lid_map_init());
    EXPECT_EQ(Store(1, "first"), 1u);
}

TEST_F(LidMapTest, TheSamePidTwiceKeepsTheHigherCidAndDropsTheOtherOneRunLater)
{
    uint64_t self = static_cast<uint64_t>(getpid());
    uint32_t older = Store(self, "old");
    uint32_t newer = Store(self, "new");
    uint32_t third = Store(self, "newest");
    ASSERT_LT(older, newer);
    ASSERT_LT(newer, third);

    ASSERT_TRUE(en_lid_map_cleanup_run());
    EXPECT_TRUE(Logged(kDebug, "[lid_map] running periodic pid table cleanup"));
    EXPECT_TRUE(Logged(kDebug, "[lid_map] finished periodic pid table cleanup"));
    /* Marked only: still there for events that refer to them. */
    EXPECT_TRUE(Stored(self, older));
    EXPECT_TRUE(Stored(self, newer));
    std::string p = std::to_string(self);
    /* Which of the two lines depends on the walk order; "2 " marks the entry being walked as the older. */
    EXPECT_TRUE(LoggedMatching(kDebug, "[lid_map] ", "found the same pid: " + p + " in pid table, old_cid: " +
                                                     std::to_string(newer) + "; new_cid: " + std::to_string(third) +
                                                     ", marking dup (could be the same process). old: (new), new: "
                                                     "(newest)"));

    ASSERT_TRUE(en_lid_map_cleanup_run());
    EXPECT_FALSE(Stored(self, older));
    EXPECT_FALSE(Stored(self, newer));
    EXPECT_TRUE(Logged(kDebug, "[lid_map] pid: " + p + " (old) found dup, removing from pid table"));
    EXPECT_TRUE(Logged(kDebug, "[lid_map] pid: " + p + " (new) found dup, removing from pid table"));
    ASSERT_TRUE(en_lid_map_cleanup_run());
    Info survivor = Stored(self, third);
    ASSERT_TRUE(survivor);
    EXPECT_STREQ(survivor->app_name, "newest");
    EXPECT_FALSE(survivor->dup);
}

TEST_F(LidMapTest, AnEndedProcessIsMarkedDeadAndRemovedOneRunLater)
{
    uint64_t gone = ExitedPid();
    uint32_t cid = Store(gone, "gone");
    uint32_t alive = Store(static_cast<uint64_t>(getpid()), "alive");
    std::string p = std::to_string(gone);

    ASSERT_TRUE(en_lid_map_cleanup_run());
    EXPECT_TRUE(Logged(kDebug, "[lid_map] found process " + p + " (gone) dead in pid table, marking dead."));
    Info marked = Stored(gone, cid);
    ASSERT_TRUE(marked);
    EXPECT_TRUE(marked->dead);

    ASSERT_TRUE(en_lid_map_cleanup_run());
    EXPECT_TRUE(Logged(kDebug, "[lid_map] pid: " + p + " (gone) found dead, removing from pid table"));
    EXPECT_FALSE(Stored(gone, cid));
    Info kept = Stored(static_cast<uint64_t>(getpid()), alive);
    ASSERT_TRUE(kept);
    EXPECT_FALSE(kept->dead);
}

TEST(ProcessQueryTest, ParsersReadCapturedProcText)
{
    /* A captured /proc listing. */
    const std::array<const char *, 12> names = {".",   "..",   "1",       "self", "thread-self", "042",
                                                "17",  "sys",  "4194304", "",     "12a",         "-3"};
    GHashTable *set = platform_parse_process_ids(names.data(), names.size());
    EXPECT_EQ(g_hash_table_size(set), 3u);
    for (gsize pid : {1u, 17u, 4194304u}) {
        EXPECT_TRUE(g_hash_table_contains(set, GSIZE_TO_POINTER(pid))) << pid;
    }
    g_hash_table_unref(set);

    uint64_t ppid = 99;
    EXPECT_TRUE(platform_parse_stat_ppid("1 (systemd) S 0 1 1 0 -1 4194560 123 0\n", &ppid));
    EXPECT_EQ(ppid, 0u);
    EXPECT_TRUE(platform_parse_stat_ppid("4321 (a) b) (c) R 987 4321 4321 34816 4321 4194304", &ppid));
    EXPECT_EQ(ppid, 987u);
    EXPECT_TRUE(platform_parse_stat_ppid("7 (x) S 12\n", &ppid));
    EXPECT_EQ(ppid, 12u);
    ppid = 99;
    EXPECT_FALSE(platform_parse_stat_ppid("4321 no parens S 1 2", &ppid));
    EXPECT_FALSE(platform_parse_stat_ppid("4321 (x) S", &ppid));
    EXPECT_FALSE(platform_parse_stat_ppid("4321 (x) S -5 1", &ppid));
    EXPECT_FALSE(platform_parse_stat_ppid("4321 (x)S 5 1", &ppid));
    EXPECT_FALSE(platform_parse_stat_ppid(nullptr, &ppid));
    EXPECT_EQ(ppid, 99u);

    uint32_t code = 0;
    EXPECT_FALSE(platform_process_parent_id(ExitedPid(), &ppid, &code));
    EXPECT_EQ(code, 87u);

    /* Field 9 carries the kernel-thread flag; a name with spaces and parentheses does not shift it. */
    bool kernel = false;
    EXPECT_TRUE(platform_parse_stat_kernel_thread("2 (kthreadd) S 0 0 0 0 -1 2129984 0 0\n", &kernel));
    EXPECT_TRUE(kernel);
    EXPECT_TRUE(platform_parse_stat_kernel_thread("9 (a) (2129984) b) S 1 9 9 0 -1 4194560 0", &kernel));
    EXPECT_FALSE(kernel);
    EXPECT_FALSE(platform_parse_stat_kernel_thread("9 (a) S 1 9 9 0 -1", &kernel));
    EXPECT_FALSE(platform_parse_stat_kernel_thread("9 (a) S 1 9 9 0 -1 -5 0", &kernel));
}

/* The rest of this process's record, and an ended process's refusal, are checked through a
 * driver lid request below and in en_api_test. */
TEST(ProcessInfoTest, NamesComeFromTheImageAndNoPidIsSpecial)
{
    g_autofree char *name = en_process_app_name("C:\\Tools\\my.tool.exe");
    EXPECT_STREQ(name, "my.tool");
    g_autofree char *plain = en_process_app_name("/usr/sbin/sshd");
    EXPECT_STREQ(plain, "sshd");
    g_autofree char *dotted_dir = en_process_app_name("/opt/v1.2/run");
    EXPECT_STREQ(dotted_dir, "run");

    en_process_info_t *raw = nullptr;
    Error *err = nullptr;
    ASSERT_TRUE(fetch_process_info(static_cast<uint64_t>(getpid()), &raw, nullptr, &err));
    Info self(raw);
    g_autofree char *parent_exe = g_file_read_link(("/proc/" + std::to_string(getppid()) + "/exe").c_str(), nullptr);
    if (parent_exe) {
        g_autofree char *parent_name = en_process_app_name(parent_exe);
        EXPECT_STREQ(self->parent_name, parent_name);
    }

    /* Linux has no process 0 to look at. */
    EXPECT_FALSE(fetch_process_info(0, &raw, nullptr, &err));
    EXPECT_EQ(hvtest::TakeMessage(err), "error opening handle to process 0: The parameter is incorrect. (error: 57)");
}

TEST(ProcessQueryTest, CommandLinesAndUserIdsParseFromCapturedText)
{
    struct Case {
        std::string text;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {std::string("sh\0-c\0read x\0two words\0\0", 24), {"sh", "-c", "read x", "two words", ""}},
        /* A process that rewrote its arguments may leave the last one unterminated. */
        {std::string("daemon: worker", 14), {"daemon: worker"}},
        {std::string("a\0\0b", 4), {"a", "", "b"}},
        {"", {}},
    };
    for (const Case &c : cases) {
        g_auto(GStrv) args = platform_parse_cmdline(c.text.data(), c.text.size());
        ASSERT_NE(args, nullptr);
        std::vector<std::string> got(args, args + g_strv_length(args));
        EXPECT_EQ(got, c.args) << c.args.size();
    }

    uint32_t uid = 0;
    EXPECT_TRUE(platform_parse_status_uid("Name:\tsh\nUmask:\t0022\nUid:\t1000\t0\t0\t0\nGid:\t5\n", &uid));
    EXPECT_EQ(uid, 0u) << "the effective id, not the real one";
    EXPECT_TRUE(platform_parse_status_uid("Uid:\t0\t4294967295\t0\t0\n", &uid));
    EXPECT_EQ(uid, 4294967295u);
    EXPECT_FALSE(platform_parse_status_uid("Uid:\t0\t4294967296\t0\t0\n", &uid));
    EXPECT_FALSE(platform_parse_status_uid("Uid:\t12\n", &uid));
    EXPECT_FALSE(platform_parse_status_uid("Gid:\t1\t2\t3\t4\n", &uid));
    EXPECT_FALSE(platform_parse_status_uid("Uid:\t1\t-2\t3\t4\n", &uid));
}

/* Account name "host\\user" of a uid, as a Windows local account reads. */
std::string AccountOf(uid_t uid)
{
    struct passwd *pw = getpwuid(uid);
    return pw ? std::string(g_get_host_name()) + "\\" + pw->pw_name : "";
}

TEST(ProcessInfoTest, ASessionReadsTheImageArgumentsFolderParentAndUserOfAChild)
{
    hvtest::TempDir dir("hv-proc-info");
    std::string image = dir.path() + "/bin/my.tool.exe";
    hvtest::Child child;
    ASSERT_TRUE(child.Start(image, {"first", "two words", ""}, dir.path()));

    Error *err = nullptr;
    en_process_query_session *session = initialize_process_query_session(child.pid(), &err);
    ASSERT_NE(session, nullptr) << hvtest::TakeMessage(err);
    EXPECT_FALSE(session->is_self);
    g_autofree char *path = get_process_module_image_path(session, &err);
    EXPECT_EQ(std::string(path ? path : ""), image);
    uint64_t ppid = 0;
    EXPECT_TRUE(get_process_parent_id(session, &ppid, &err));
    EXPECT_EQ(ppid, static_cast<uint64_t>(getpid()));
    g_auto(GStrv) args = get_process_command_line(session, &err);
    ASSERT_NE(args, nullptr);
    std::vector<std::string> got(args, args + g_strv_length(args));
    EXPECT_EQ(got, (std::vector<std::string>{image, "-c", "read x", "first", "two words", ""}));
    g_autofree char *cwd = get_process_current_directory(session, &err);
    EXPECT_EQ(std::string(cwd ? cwd : ""), dir.path());
    g_autofree char *user = get_process_username(session, &err);
    EXPECT_EQ(std::string(user ? user : ""), AccountOf(geteuid()));
    EXPECT_EQ(err, nullptr);
    close_process_query_session(session);

    g_autofree char *by_pid = get_process_image_path(child.pid(), &err);
    EXPECT_EQ(std::string(by_pid ? by_pid : ""), image);

    en_process_info_t *raw = nullptr;
    ASSERT_TRUE(fetch_process_info(child.pid(), &raw, nullptr, &err));
    Info info(raw);
    EXPECT_STREQ(info->app_name, "my.tool");
    EXPECT_STREQ(info->image_path, image.c_str());
    EXPECT_TRUE(info->has_ppid);
    EXPECT_EQ(info->placeholder_mark, 0);
    EXPECT_EQ(info->container_id, nullptr);
}

TEST(ProcessInfoTest, ASessionKeepsNamingItsProcessAfterItEnds)
{
    hvtest::TempDir dir("hv-proc-info");
    hvtest::Child child;
    ASSERT_TRUE(child.Start(dir.path() + "/sleeper", {}));
    uint64_t pid = child.pid();
    Error *err = nullptr;
    en_process_query_session *session = initialize_process_query_session(pid, &err);
    ASSERT_NE(session, nullptr);
    child.Stop();

    /* Whatever now runs under that pid, the session reads nothing of it. */
    char *path = get_process_module_image_path(session, &err);
    EXPECT_EQ(path, nullptr);
    EXPECT_EQ(error_get_win32_code(err), 87u) << hvtest::TakeMessage(err);
    error_free(err);
    err = nullptr;
    EXPECT_EQ(get_process_username(session, &err), nullptr);
    EXPECT_EQ(hvtest::TakeMessage(err),
              "Error opening process " + std::to_string(pid) + " token handle: The parameter is incorrect. (error: 57)");
    err = nullptr;
    EXPECT_EQ(get_process_command_line(session, &err), nullptr);
    EXPECT_NE(err, nullptr);
    error_free(err);
    err = nullptr;
    uint64_t ppid = 0;
    EXPECT_FALSE(get_process_parent_id(session, &ppid, &err));
    EXPECT_EQ(hvtest::TakeMessage(err).rfind("error reading process " + std::to_string(pid) + " parent ID: ", 0), 0u);
    close_process_query_session(session);

    err = nullptr;
    EXPECT_EQ(initialize_process_query_session(hvtest::ExitedPid(), &err), nullptr);
    EXPECT_EQ(error_get_win32_code(err), 87u);
    error_free(err);
}

TEST(ProcessInfoTest, AUserMissingFromTheUserDatabaseIsAnErrorNotAName)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "running a child under another user needs root";
    }
    constexpr uid_t kUnmapped = 54321;
    ASSERT_EQ(getpwuid(kUnmapped), nullptr) << "the test needs a uid without an account";
    hvtest::TempDir dir("hv-proc-info");
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    hvtest::Child child;
    ASSERT_TRUE(child.Start(dir.path() + "/nobody-sh", {}, "/", kUnmapped));
    Error *err = nullptr;
    en_process_query_session *session = initialize_process_query_session(child.pid(), &err);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(get_process_username(session, &err), nullptr);
    EXPECT_EQ(hvtest::TakeMessage(err).rfind("Error looking up account name for SID of process " +
                                                  std::to_string(child.pid()) + ": ",
                                              0),
              0u);
    close_process_query_session(session);
}

TEST(ProcessInfoTest, PlaceholdersStandForTheHostWithAMarkedRecord)
{
    gint64 before = g_get_real_time() / G_USEC_PER_SEC;
    Info unknown(en_process_info_new_unknown());
    Info host(en_process_info_new_host());
    EXPECT_STREQ(unknown->app_name, "Unknown Process");
    EXPECT_EQ(host->app_name, nullptr);
    for (const Info *p : {&unknown, &host}) {
        const en_process_info_t &r = **p;
        EXPECT_EQ(r.pid, 0xFFFFFFFEu);
        EXPECT_EQ(r.ppid, 0xFFFFFFFEu);
        EXPECT_FALSE(r.has_ppid);
        EXPECT_EQ(r.parent_name, nullptr);
        EXPECT_EQ(r.image_path, nullptr);
        EXPECT_STREQ(r.container_id, "HOST");
        EXPECT_STREQ(r.pod_id, "HOST");
        EXPECT_FALSE(r.dead || r.dup);
        EXPECT_EQ(r.placeholder_mark, -1);
        EXPECT_GE(r.creation_time, before);
        EXPECT_LE(r.creation_time, g_get_real_time() / G_USEC_PER_SEC);
    }
    Info copy(en_process_info_copy(unknown.get()));
    EXPECT_EQ(copy->placeholder_mark, -1);
    EXPECT_STREQ(copy->pod_id, "HOST");
    EXPECT_NE(copy->pod_id, unknown->pod_id);
}

TEST(ProcessInfoTest, FileAttributesFollowTheWindowsModesWithTheImageExtensions)
{
    hvtest::TempDir dir("hv-file-attrs");
    const std::string d = dir.path();
    struct Case {
        std::string name;
        bool folder;
        mode_t perm;
        int64_t mode;
    };
    const Case cases[] = {
        {"plain.txt", false, 0644, 0100666},
        {"ro.txt", false, 0444, 0100444},
        {"TOOL.EXE", false, 0644, 0100777},
        {"run.Bat", false, 0444, 0100555},
        {"x.cmd", false, 0600, 0100777},
        {"y.com", false, 0600, 0100777},
        {"a.exe.txt", false, 0644, 0100666},
        {"noext", false, 0644, 0100666},
        {"script", false, 0700, 0100777}, /* executable on this platform whatever its name */
        {"folder", true, 0755, 040777},
        {"ro-folder", true, 0555, 040555},
        {"folder.exe", true, 0755, 040777},
    };
    for (const Case &c : cases) {
        std::string path = d + "/" + c.name;
        if (c.folder) {
            ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        } else {
            hvtest::WriteFile(path, "12345");
        }
        ASSERT_EQ(chmod(path.c_str(), c.perm), 0);
        struct timespec times[2] = {{1600000000, 0}, {1500000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
        en_file_attributes attrs{};
        Error *err = nullptr;
        ASSERT_TRUE(guest_file_attributes(path.c_str(), &attrs, &err)) << hvtest::TakeMessage(err);
        EXPECT_EQ(attrs.mode, c.mode) << c.name << " " << std::oct << attrs.mode;
        EXPECT_EQ(attrs.access_time, 1600000000) << c.name;
        EXPECT_EQ(attrs.modification_time, 1500000000) << c.name;
        EXPECT_GT(attrs.creation_time, 1600000000) << c.name << ": made now, not at the times set";
        EXPECT_FALSE(attrs.has_inode);
        if (!c.folder) {
            EXPECT_EQ(attrs.size, 5u) << c.name;
        }
    }
    en_file_attributes attrs{};
    Error *err = nullptr;
    std::string missing = d + "/missing.exe";
    EXPECT_FALSE(guest_file_attributes(missing.c_str(), &attrs, &err));
    EXPECT_EQ(hvtest::TakeMessage(err).rfind("failed querying '" + missing + "' for attributes: ", 0), 0u);
}

TEST(ProcessInfoTest, CommandLinesJoinWithSpacesUpToTheirBuffer)
{
    const std::string x4094(4094, 'x'), x4095(4095, 'x'), x5000(5000, 'x'), x4000(4000, 'x'), y200(200, 'y');
    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> joined;
    };
    const Case cases[] = {
        {{}, std::nullopt},
        {{"sh", "-c", "read x"}, "sh -c read x"},
        {{"a", "", "b"}, "a  b"},
        {{"a", "b c", ""}, "a b c "},
        {{x5000, "z"}, x4095},
        {{x4094, "yz"}, x4094},
        {{x4000, y200, "z"}, x4000 + " " + std::string(94, 'y')},
    };
    for (const Case &c : cases) {
        std::vector<const char *> argv;
        for (const std::string &a : c.args) {
            argv.push_back(a.c_str());
        }
        argv.push_back(nullptr);
        g_autofree char *joined = en_process_join_command_line(argv.data());
        EXPECT_EQ(joined ? std::optional<std::string>(joined) : std::nullopt, c.joined) << c.args.size();
    }
}

TEST_F(LidMapTest, ADriverLidRequestIsAnsweredFromTheMap)
{
    g_autofree char *exe = g_file_read_link("/proc/self/exe", nullptr);
    ASSERT_NE(exe, nullptr);
    g_autofree char *name = en_process_app_name(exe);
    g_autofree char *upper = g_ascii_strup(name, -1);
    EXPECT_EQ(Add(name, exe, nullptr), 10u);
    EXPECT_EQ(Add(upper, nullptr, nullptr), 11u);
    EXPECT_EQ(Add("someone else", nullptr, nullptr), 12u);

    en_handle *h = Init();
    ASSERT_TRUE(en_api_start(h));
    uint64_t self = static_cast<uint64_t>(getpid());
    ASSERT_EQ(endr::engine_raise_lid_request(self), 0u);
    endr::LidReply reply{};
    ASSERT_TRUE(WaitFor([&] { return LidReply(self, &reply); }));
    EXPECT_EQ(reply.count, 3u);
    EXPECT_EQ(reply.lids[0], 10u);
    EXPECT_EQ(reply.lids[1], 11u);
    EXPECT_EQ(reply.lids[2], 1u);
    EXPECT_EQ(reply.lids[3], 0u);
    EXPECT_FALSE(reply.update);
    ASSERT_NE(reply.cid, 0u);
    EXPECT_TRUE(Logged(kDebug, "[api] sending lid reply: pid: " + std::to_string(self) + ", lids: 10,11,1(3)"));

    /* The map now holds this process under the cid the driver was given. */
    Info stored = Stored(self, reply.cid);
    ASSERT_TRUE(stored);
    EXPECT_STREQ(stored->image_path, exe);
    EXPECT_EQ(stored->ppid, static_cast<uint64_t>(getppid()));
}
