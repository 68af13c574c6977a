/*
 * Excluded interfaces reaching the driver. Each test moves its thread into a fresh network
 * namespace and creates bridge interfaces there, so the host's interfaces are never touched
 * and parallel tests do not see each other's.
 */
#include <net/if.h>
#include <sched.h>

#include "en-api-fixture.h"

namespace {

class EnApiExcludedTest : public EnApiTest {
protected:
    void SetUp() override
    {
        if (unshare(CLONE_NEWNET) != 0) {
            GTEST_SKIP() << "needs CAP_SYS_ADMIN for a private network namespace";
        }
        EnApiTest::SetUp();
    }

    static bool Ip(const std::string &args)
    {
        g_autofree char *cmd = g_strdup_printf("ip %s", args.c_str());
        int status = -1;
        return g_spawn_command_line_sync(cmd, nullptr, nullptr, &status, nullptr) && status == 0;
    }

    /* Creates the bridges, re-reads the interfaces and excludes them in order. */
    std::vector<uint64_t> Exclude(const std::vector<std::string> &names)
    {
        std::vector<uint64_t> luids;
        for (const std::string &name : names) {
            EXPECT_TRUE(Ip("link add " + name + " type bridge")) << name;
        }
        exclude_ifaces_cleanup();
        EXPECT_TRUE(exclude_ifaces_init());
        for (const std::string &name : names) {
            EXPECT_TRUE(exclude_ifaces_add(name.c_str())) << name;
            luids.push_back(if_nametoindex(name.c_str()));
        }
        return luids;
    }

    static std::vector<std::string> Names(int n)
    {
        std::vector<std::string> names;
        for (int i = 0; i < n; i++) {
            names.push_back("hvx" + std::to_string(i));
        }
        return names;
    }

    static std::array<uint64_t, 16> Slots(const std::vector<uint64_t> &luids)
    {
        std::array<uint64_t, 16> slots{};
        for (size_t i = 0; i < luids.size() && i < 16; i++) {
            slots[i] = luids[i];
        }
        return slots;
    }

    static std::array<uint64_t, 16> Sent()
    {
        endr::State s = endr::state_read();
        return s.driver.excluded.value_or(std::array<uint64_t, 16>{});
    }
};

class EnApiExcludedCountTest : public EnApiExcludedTest, public ::testing::WithParamInterface<int> {};

TEST_P(EnApiExcludedCountTest, SixteenInterfacesAreSentAndMoreAreWarnedAbout)
{
    std::vector<uint64_t> luids = Exclude(Names(GetParam()));
    ASSERT_TRUE(en_api_start(Init()));
    EXPECT_EQ(Sent(), Slots(luids));
    EXPECT_EQ(Count(kWarning, "[api] reached maximum number of interfaces (needed 17)"), GetParam() > 16 ? 1u : 0u);
    EXPECT_EQ(LoggedPrefix(kWarning, "[api] reached maximum number of interfaces"), GetParam() > 16);
}

INSTANTIATE_TEST_SUITE_P(Counts, EnApiExcludedCountTest, ::testing::Values(16, 17));

TEST_F(EnApiExcludedTest, InterfaceWithoutLuidTakesNoSlot)
{
    std::vector<std::string> names = {"hva", "hvgone", "hvb"};
    std::vector<uint64_t> luids = Exclude(names);
    ASSERT_TRUE(Ip("link del hvgone"));
    ASSERT_TRUE(en_api_start(Init()));
    EXPECT_EQ(Sent(), Slots({luids[0], luids[2]}));
    EXPECT_TRUE(Logged(kWarning, "[api] interface hvgone does not have LUID"));
}

} // namespace
