/* The roaming state on its own: the domain list, the mode switch, and the location
 * readers on captured file text. */
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <future>

#include <string>
#include <vector>

#include "enforcement/framework/agent/en-roaming.h"
#include "enforcement/platforms/network-location.h"
#include "tests/common/hv-test-support.h"
#include "util/error.h"

namespace {

using hvtest::kAnyLevel;

/* The names joined with '|', or "error: <message>". */
std::string Parse(const char *config)
{
    GSList *names = nullptr;
    Error *err = nullptr;
    if (!parse_domain_list_configuration(config, &names, &err)) {
        std::string out = "error: " + std::string(error_get_message(err));
        error_free(err);
        return out;
    }
    std::string out;
    for (GSList *n = names; n; n = n->next) {
        out += std::string(out.empty() ? "" : "|") + static_cast<const char *>(n->data);
    }
    g_slist_free_full(names, g_free);
    return out;
}

TEST(RoamingDomainList, NamesAreSplitOnEveryOtherCharacter)
{
    EXPECT_EQ(Parse(""), "");
    EXPECT_EQ(Parse(nullptr), "");
    EXPECT_EQ(Parse(" ,; "), "");
    EXPECT_EQ(Parse("corp.example.com, branch-2.example.com"), "corp.example.com|branch-2.example.com");
    EXPECT_EQ(Parse(";;a.b\t\tc_d/e "), "a.b|c|d|e");
}

TEST(RoamingDomainList, UpperCaseAnywhereRefusesTheWholeList)
{
    EXPECT_EQ(Parse("corp.example.com, Branch.example.com"),
              "error: Domain name cannot have upper-case characters: corp.example.com, Branch.example.com");
    EXPECT_EQ(Parse("corp.example.com;X"), "error: Domain name cannot have upper-case characters: corp.example.com;X");
}

TEST(RoamingDomainList, NamesUpToOneHundredCharacters)
{
    std::string hundred(100, 'a');
    EXPECT_EQ(Parse(hundred.c_str()), hundred);
    EXPECT_EQ(Parse((hundred + ",b").c_str()), hundred + "|b");
    EXPECT_EQ(Parse((hundred + "a").c_str()), "error: Domain name longer then expected: 100");
    EXPECT_EQ(Parse(("x," + hundred + "-").c_str()), "error: Domain name longer then expected: 100");
}

class RoamingStateTest : public hvtest::LoggingTest {
protected:
    void SetUp() override
    {
        LoggingTest::SetUp();
        en_roaming_init();
        /* A machine in no domain: the match fails at its first step, before any interface read. */
        g_setenv("HV_KRB5_CONF", (dir_.path() + "/none").c_str(), TRUE);
        g_setenv("HV_RESOLV_CONF", (dir_.path() + "/none").c_str(), TRUE);
    }
    void TearDown() override
    {
        en_roaming_cleanup();
        g_unsetenv("HV_KRB5_CONF");
        g_unsetenv("HV_RESOLV_CONF");
        LoggingTest::TearDown();
    }
    size_t Reapplied() const
    {
        return Count(kAnyLevel, "[policy] Updating enforcement policy based on Roaming configuration");
    }
    hvtest::TempDir dir_{"hv-roaming-state"};
};

TEST_F(RoamingStateTest, EnablingWithoutDomainsWaitsAndPushesNothing)
{
    en_roaming_mode_changed(true);
    EXPECT_TRUE(Logged(kAnyLevel, "[policy] Roaming mode has been enabled - a domain interface hasn't been matched "
                                  "yet, waiting for domain configuration update"));
    EXPECT_EQ(Reapplied(), 0u);
    EXPECT_TRUE(en_roaming_is_enabled());
    uint64_t luid;
    EXPECT_FALSE(en_roaming_office_luid(&luid));

    /* The list that arrives then is matched and applied. */
    Error *err = nullptr;
    EXPECT_TRUE(process_roaming_domain_list_config("corp.example.com", &err));
    EXPECT_EQ(err, nullptr);
    EXPECT_TRUE(Logged(kAnyLevel, "[policy] Machine is not a member of any domain, skipping romaing domain interface "
                                  "update"));
    EXPECT_TRUE(Logged(kAnyLevel, "[policy] Roaming is enabled - could not find a domain interface match"));
    EXPECT_EQ(Reapplied(), 1u);
}

TEST_F(RoamingStateTest, ARefusedListKeepsThePreviousOneAndAListIsKeptWhileRoamingIsOff)
{
    Error *err = nullptr;
    ASSERT_TRUE(process_roaming_domain_list_config("corp.example.com", &err));
    EXPECT_TRUE(Logged(kAnyLevel, "[policy] Roaming is disabled - skipping roaming enforcement policy update"));
    EXPECT_FALSE(process_roaming_domain_list_config("Corp.example.com", &err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(error_get_message(err), "Could not parse domain list from configuration Corp.example.com");
    error_free(err);
    EXPECT_EQ(Reapplied(), 0u);

    /* The first list is still there: enabling does not wait for one. */
    en_roaming_mode_changed(true);
    EXPECT_TRUE(Logged(kAnyLevel, "[policy] Roaming mode has been enabled - enforcement policy will be disabled "
                                  "outside of the office network"));
    EXPECT_TRUE(Logged(kAnyLevel, "[policy] Could not find a domain interface match"));
    EXPECT_EQ(Reapplied(), 1u);
}

TEST_F(RoamingStateTest, DisablingTwicePushesOnce)
{
    Error *err = nullptr;
    ASSERT_TRUE(process_roaming_domain_list_config("corp.example.com", &err));
    en_roaming_mode_changed(true);
    en_roaming_mode_changed(false);
    EXPECT_FALSE(en_roaming_is_enabled());
    en_roaming_mode_changed(false);
    EXPECT_EQ(Count(kAnyLevel, "[policy] Roaming mode has been disabled - enforcement policy will be enabled outside "
                               "of the office network"),
              1u);
    EXPECT_EQ(Count(kAnyLevel, "[policy] Roaming state is already disabled, skipping enforcement policy update"), 1u);
    EXPECT_EQ(Reapplied(), 2u);

    /* Events while disabled change nothing. */
    en_roaming_event(nullptr);
    EXPECT_TRUE(Logged(kAnyLevel, "[policy] Roaming mode is disabled - skipping roaming policy adaptation"));
    EXPECT_EQ(Reapplied(), 2u);
}

/* ---- the location readers ---- */

std::string Owned(char *s)
{
    std::string out = s ? s : "(none)";
    g_free(s);
    return out;
}

std::string Realm(const std::string &text)
{
    return Owned(platform_krb5_default_realm_parse(text.data(), text.size()));
}
std::string ResolvDomain(const std::string &text)
{
    return Owned(platform_resolv_domain_parse(text.data(), text.size()));
}

TEST(NetworkLocation, TheDefaultRealmIsReadFromItsSectionOnly)
{
    EXPECT_EQ(Realm("[libdefaults]\n  default_realm = CORP.EXAMPLE.COM\n"), "corp.example.com");
    EXPECT_EQ(Realm("[realms]\n default_realm = OTHER.ORG\n[libdefaults]\n# default_realm = NO\n"
                    "\tdefault_realm=Corp.Example.Com.\n default_realm = SECOND\n"),
              "corp.example.com");
    EXPECT_EQ(Realm("[libdefaults]\n dns_lookup_realm = false\n"), "(none)");
    EXPECT_EQ(Realm("[libdefaults]\n default_realm = TWO WORDS\n"), "(none)");
    EXPECT_EQ(Realm(std::string("[libdefaults]\n default_realm = A\0B\n", 35)), "(none)");
    EXPECT_EQ(Realm("[libdefaults]\n default_realm = " + std::string(254, 'a') + "\n"), "(none)");
    EXPECT_EQ(Realm(""), "(none)");
}

TEST(NetworkLocation, TheResolverDomainIsItsLastDomainOrSearchLine)
{
    EXPECT_EQ(ResolvDomain("nameserver 10.0.0.1\nsearch corp.example.com lab.example.com\n"), "corp.example.com");
    EXPECT_EQ(ResolvDomain("search a.example\ndomain Corp.Example.Com # office\n"), "corp.example.com");
    EXPECT_EQ(ResolvDomain("domain a.example\nsearch b.example c.example\n"), "b.example");
    EXPECT_EQ(ResolvDomain("#search a.example\nsearch\nnameserver 10.0.0.1\n"), "(none)");
    EXPECT_EQ(ResolvDomain("search bad/name\n"), "(none)");
}

TEST(NetworkLocation, TheDefaultRouteWithTheLowestMetricNamesTheInterface)
{
    const std::string head = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    std::string routes = head + "eth0\t0000A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n" +
                         "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n" +
                         "eth1\t00000000\t0102A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n" +
                         "down0\t00000000\t0102A8C0\t0002\t0\t0\t1\t00000000\t0\t0\t0\n" +
                         "rej0\t00000000\t00000000\t0201\t0\t0\t1\t00000000\t0\t0\t0\n";
    EXPECT_EQ(Owned(platform_default_route_parse(routes.data(), routes.size())), "eth1");
    std::string none = head + "eth0\t0000A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\nbroken\t0\n";
    EXPECT_EQ(Owned(platform_default_route_parse(none.data(), none.size())), "(none)");

    const std::string zero(32, '0');
    std::string routes6 = zero + " 00 " + zero + " 00 " + zero + " ffffffff 00000001 00000000 00200200       lo\n" +
                          "fd000000000000000000000000000000 40 " + zero + " 00 " + zero +
                          " 00000100 00000001 00000000 00000001     eth0\n" + zero + " 00 " + zero + " 00 " +
                          "fe800000000000000000000000000001 00000400 00000001 00000000 00000003     eth2\n";
    EXPECT_EQ(Owned(platform_default_route6_parse(routes6.data(), routes6.size())), "eth2");
}

TEST(NetworkLocation, TheDomainInterfaceNeedsTheResolverInTheMachinesDomain)
{
    hvtest::TempDir dir("hv-roaming-location");
    std::string resolv = dir.path() + "/resolv.conf", route = dir.path() + "/route", route6 = dir.path() + "/route6";
    hvtest::WriteFile(resolv, "search corp.example.com\n");
    hvtest::WriteFile(route, "Iface\tDestination\tGateway\tFlags\tRefCnt\tUse\tMetric\tMask\tMTU\tWindow\tIRTT\n"
                             "office0\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
    hvtest::WriteFile(route6, "");
    g_setenv("HV_RESOLV_CONF", resolv.c_str(), TRUE);
    g_setenv("HV_PROC_NET_ROUTE", route.c_str(), TRUE);
    g_setenv("HV_PROC_NET_IPV6_ROUTE", route6.c_str(), TRUE);
    g_setenv("HV_KRB5_CONF", (dir.path() + "/absent").c_str(), TRUE);

    EXPECT_EQ(Owned(platform_machine_domain()), "corp.example.com");
    EXPECT_EQ(Owned(platform_domain_adapter_id("corp.example.com", nullptr)), "office0");
    Error *err = nullptr;
    EXPECT_EQ(platform_domain_adapter_id("other.example.com", &err), nullptr);
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(error_get_message(err), "Could not find network adapter connected to a domain");
    error_free(err);

    /* The realm wins over the resolver; a resolver elsewhere finds no domain interface. */
    hvtest::WriteFile(dir.path() + "/krb5.conf", "[libdefaults]\n default_realm = OFFICE.EXAMPLE.ORG\n");
    g_setenv("HV_KRB5_CONF", (dir.path() + "/krb5.conf").c_str(), TRUE);
    EXPECT_EQ(Owned(platform_machine_domain()), "office.example.org");
    EXPECT_EQ(platform_domain_adapter_id("office.example.org", nullptr), nullptr);

    for (const char *v : {"HV_RESOLV_CONF", "HV_PROC_NET_ROUTE", "HV_PROC_NET_IPV6_ROUTE", "HV_KRB5_CONF"}) {
        g_unsetenv(v);
    }
}

/* The files are the system's; what sits at their paths is not trusted to be a plain file
 * of a sane size. */
TEST(NetworkLocation, AFileThatIsNotPlainOrIsTooLargeGivesNoDomain)
{
    hvtest::TempDir dir("hv-roaming-hostile");
    g_setenv("HV_KRB5_CONF", (dir.path() + "/absent").c_str(), TRUE);

    /* Over the limit, the last "search" line (the one that counts) is past what a bounded
     * read sees: the file is refused rather than answered from its first part. */
    std::string big = dir.path() + "/big.conf";
    hvtest::WriteFile(big, "search early.example\n" + std::string(1024 * 1024, '#') + "\nsearch late.example\n");
    g_setenv("HV_RESOLV_CONF", big.c_str(), TRUE);
    EXPECT_EQ(Owned(platform_machine_domain()), "(none)");
    /* At the limit it is read whole. */
    std::string line = "search late.example\n";
    std::string filler(1024 * 1024 - 21 - 1 - line.size(), '#');
    hvtest::WriteFile(big, "search early.example\n" + filler + "\n" + line);
    EXPECT_EQ(Owned(platform_machine_domain()), "late.example");

    /* A FIFO nobody writes to would block the open for good; a device is no file either. */
    std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    g_setenv("HV_RESOLV_CONF", fifo.c_str(), TRUE);
    g_setenv("HV_KRB5_CONF", "/dev/zero", TRUE);
    auto read = std::async(std::launch::async, [] { return Owned(platform_machine_domain()); });
    if (read.wait_for(std::chrono::minutes(2)) != std::future_status::ready) {
        ADD_FAILURE() << "reading the machine's domain blocked on a FIFO";
        std::_Exit(1);
    }
    EXPECT_EQ(read.get(), "(none)");
    EXPECT_EQ(platform_domain_adapter_id("corp.example.com", nullptr), nullptr);
    g_unsetenv("HV_KRB5_CONF");
    g_unsetenv("HV_RESOLV_CONF");
}

} // namespace

namespace {

/* When the watch acts on a stream of changes, stepping through it as the watch does. */
uint64_t FirstAction(uint64_t start, uint64_t every, uint64_t until, unsigned debounce)
{
    uint64_t first = start, due = 0;
    for (uint64_t t = start; t < until; t += every) {
        if (due && t >= due) {
            return due;
        }
        due = platform_location_burst_due(first, t, debounce);
    }
    return due;
}

TEST(NetworkLocationWatch, ABurstActsAfterItsQuietTimeAndAFloodIsNotPostponedForever)
{
    /* A lone change, and a short burst: once quiet for a debounce. */
    EXPECT_EQ(platform_location_burst_due(1000, 1000, 500), 1500u);
    EXPECT_EQ(FirstAction(1000, 100, 1500, 500), 1900u);
    /* Changes every 100 ms for a minute: acted on within a bounded time of the first, not
     * after the flood ends. */
    EXPECT_EQ(FirstAction(1000, 100, 61000, 500), 1000u + 500u * PLATFORM_LOCATION_BURST_MAX);
}

TEST(NetworkLocationWatch, OneWatchAtATimeAndStopIsIdempotent)
{
    auto ignore = [](const char *, void *) {};
    Error *err = nullptr;
    ASSERT_TRUE(platform_location_watch_start(ignore, nullptr, 500, &err));
    EXPECT_FALSE(platform_location_watch_start(ignore, nullptr, 500, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(error_get_message(err), "network location watch already running");
    error_free(err);
    platform_location_watch_stop();
    platform_location_watch_stop();
    /* Stopped, it can be started again. */
    EXPECT_TRUE(platform_location_watch_start(ignore, nullptr, 500, nullptr));
    platform_location_watch_stop();
}

} // namespace
