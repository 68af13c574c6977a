#include "channel-fixture.h"

#include <filesystem>

namespace {
/* A folder whose path, separator included, is exactly `chars` characters long. */
std::string MakeDirOfLength(const std::string &base, const std::string &first_component, size_t chars)
{
    std::string d = base + "/" + first_component + "/";
    while (true) {
        size_t have = g_utf8_strlen(d.c_str(), -1);
        EXPECT_LE(have, chars);
        size_t remaining = chars - have;
        if (remaining == 0) {
            break;
        }
        size_t comp = remaining <= 201 ? remaining - 1 : (remaining - 201 == 1 ? 199 : 200);
        d += std::string(comp, 'd') + "/";
    }
    std::filesystem::create_directories(d);
    return d;
}
} // namespace

/* The driver path is the host executable's folder and the driver file name. */
TEST_F(ChannelTest, PathLimitsCountCharactersNotBytes)
{
    std::string wide;
    for (int i = 0; i < 60; i++) {
        wide += "\xc3\xa9";
    }
    struct Case {
        std::string first_component;
        size_t chars;
        std::string exe;
        bool fits;
    };
    const std::vector<Case> cases = {
        {"a", 239, "x", true},
        {"b", 240, "x", false},
        {wide, 239, "x", true}, /* 239 characters but 299 bytes */
        /* A full executable path of 260 characters no longer fits the path buffer. */
        {"c", 200, std::string(60, 'x'), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.chars);
        Clear();
        std::string dir = MakeDirOfLength(dir_, c.first_component, c.chars);
        WriteDriver(kAllFalse, dir + "hv-enforcement64.sys");
        en_driver_set_host_path_for_test((dir + c.exe).c_str());
        EXPECT_EQ(en_driver_init(true), c.fits);
        if (c.fits) {
            EXPECT_TRUE(Logged(G_LOG_LEVEL_MESSAGE, "[en_driver] driver path detected: " + dir + "hv-enforcement64.sys"));
            EXPECT_TRUE(Logged(G_LOG_LEVEL_MESSAGE, "[en_driver] Loaded driver resources"));
        } else {
            EXPECT_TRUE(Logged(G_LOG_LEVEL_CRITICAL, "[en_driver] failed to get driver path: path too long"));
            EXPECT_FALSE(LoggedContaining(dir));
        }
        en_driver_free();
    }
    en_driver_set_host_path_for_test("hv-agent");
    EXPECT_FALSE(en_driver_init(true));
    EXPECT_TRUE(Logged(G_LOG_LEVEL_CRITICAL, "[en_driver] failed to get driver path: no backslash in exe path"));
}

struct ResourceCase {
    const char *name;
    const char *file; /* NULL: no driver file */
    const char *critical; /* NULL: initialisation succeeds */
};

void PrintTo(const ResourceCase &c, std::ostream *os) { *os << c.name; }

class ResourceTest : public ChannelTest, public ::testing::WithParamInterface<ResourceCase> {};

TEST_P(ResourceTest, OnlyExactTrueOrFalseIsAccepted)
{
    const ResourceCase &c = GetParam();
    if (c.file) {
        WriteDriver(c.file);
    }
    bool ok = en_driver_init(true);
    if (!c.critical) {
        EXPECT_TRUE(ok);
        std::vector<std::string> crit = ChannelLines(G_LOG_LEVEL_CRITICAL);
        EXPECT_TRUE(crit.empty()) << crit.front();
        return;
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(ChannelLines(G_LOG_LEVEL_CRITICAL), std::vector<std::string>{c.critical});
    EXPECT_FALSE(Logged(G_LOG_LEVEL_MESSAGE, "[en_driver] Loaded driver resources"));
}

INSTANTIATE_TEST_SUITE_P(
    Values, ResourceTest,
    ::testing::Values(
        ResourceCase{"comments_and_crlf", "# driver\r\n4 TRUE\r\n\r\n5 FALSE\r\n6 FALSE\r\n7 TRUE\r\n", nullptr},
        ResourceCase{"lower_case", "4 TRUE\n5 true\n6 FALSE\n7 FALSE\n",
                     "[en_driver] unexpected value for resource 5: true"},
        ResourceCase{"trailing_space", "4 TRUE \n5 FALSE\n6 FALSE\n7 FALSE\n",
                     "[en_driver] unexpected value for resource 4: TRUE "},
        ResourceCase{"seven_characters_seen", "4 FALSE\n5 FALSE\n6 FALSEHOOD\n7 FALSE\n",
                     "[en_driver] unexpected value for resource 6: FALSEHO"},
        ResourceCase{"first_failure_stops", "4 yes\n5 no\n6 FALSE\n7 FALSE\n",
                     "[en_driver] unexpected value for resource 4: yes"},
        ResourceCase{"missing_resource", "4 TRUE\n5 TRUE\n6 TRUE\n",
                     "[en_driver] failed to load resource 7: The specified resource name cannot be found in the "
                     "image file. (error: 1814)"},
        ResourceCase{"not_a_resource_table", "4 TRUE\n5 TRUE\n6 TRUE\n7 TRUE\n8x TRUE\n",
                     "[en_driver] failed to load driver as datafile: %1 is not a valid Win32 application. (error: "
                     "193)"},
        ResourceCase{"no_driver_file", nullptr,
                     "[en_driver] failed to load driver as datafile: The system cannot find the file specified. "
                     "(error: 2)"}),
    [](const ::testing::TestParamInfo<ResourceCase> &p) { return std::string(p.param.name); });

TEST_F(ChannelTest, CapabilitiesFollowTheDriverFile)
{
    WriteDriver("4 TRUE\n5 FALSE\n6 TRUE\n7 FALSE\n");
    ASSERT_TRUE(en_driver_init(true));
    EXPECT_TRUE(layer4_policy_required());
    EXPECT_FALSE(sid_rules_supported());
    EXPECT_TRUE(ipfilter_dependency());
    EXPECT_FALSE(service_rules_supported());
    std::vector<std::string> expected = {
        "[en_driver] initializing module",
        "[en_driver] initializing ioctl event cache",
        "[en_driver] driver path detected: " + DriverPath(),
        "[en_driver] Loaded driver resources",
        "[en_driver] Layer 4 policy required: yes",
        "[en_driver] SID rules supported: no",
        "[en_driver] IPFilterDriver dependency: yes",
        "[en_driver] Service rules supported: no",
    };
    EXPECT_EQ(ChannelLines(G_LOG_LEVEL_MESSAGE), expected);
    en_driver_free();

    WriteDriver("4 FALSE\n5 TRUE\n6 FALSE\n7 TRUE\n");
    ASSERT_TRUE(en_driver_init(true));
    EXPECT_FALSE(layer4_policy_required());
    EXPECT_TRUE(sid_rules_supported());
    EXPECT_FALSE(ipfilter_dependency());
    EXPECT_TRUE(service_rules_supported());
}

TEST_F(ChannelTest, InitOnceAndWithoutInstallReadsNoDriverFile)
{
    ASSERT_TRUE(en_driver_init(false));
    EXPECT_TRUE(en_driver_init(true));
    EXPECT_EQ(Count(G_LOG_LEVEL_MESSAGE, "[en_driver] initializing module"), 1u);
    EXPECT_FALSE(LoggedContaining("driver path detected"));

    en_driver_free();
    en_driver_free();
    EXPECT_EQ(Count(G_LOG_LEVEL_MESSAGE, "[en_driver] freeing module"), 1u);
    EXPECT_EQ(Count(G_LOG_LEVEL_MESSAGE, "[en_driver] freeing ioctl event cache"), 1u);

    /* Without install the channel cannot reach a missing device. */
    ASSERT_TRUE(en_driver_init(false));
    Error *err = nullptr;
    EXPECT_EQ(do_en_driver_win_open(&err), nullptr);
    EXPECT_EQ(hvtest::TakeMessage(err), "failed to open device handle: The system cannot find the file specified. (error: 2)");
    EXPECT_FALSE(Service().installed);
}
