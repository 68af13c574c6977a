#include <glib.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>

#include "agent-common/agent-metrics.h"
#include "agent-common/expireable-table.h"
#include "qapi/qmp-common-commands.h"
#include "tests/common/hv-test-support.h"

namespace {

constexpr GLogLevelFlags kWarn = G_LOG_LEVEL_WARNING;
constexpr GLogLevelFlags kDebug = G_LOG_LEVEL_DEBUG;

using Table = hvtest::LoggingTest;

int g_keys[8];

gpointer key(int i)
{
    return &g_keys[i];
}

TEST_F(Table, AddRefusesDuplicatesAndStopsOneShortOfCapacity)
{
    expireable_table *t = expireable_table_create(4, G_USEC_PER_SEC, g_direct_hash, g_direct_equal);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(expireable_table_add(t, key(0), key(0)));
    EXPECT_FALSE(expireable_table_add(t, key(0), key(1)));
    EXPECT_TRUE(Logged(kDebug, "[expirable table] key already exists"));
    EXPECT_EQ(expireable_table_lookup(t, key(0)), key(0));
    EXPECT_TRUE(expireable_table_add(t, key(1), key(1)));
    EXPECT_TRUE(expireable_table_add(t, key(2), key(2)));
    EXPECT_FALSE(expireable_table_add(t, key(3), key(3)));
    EXPECT_TRUE(Logged(kDebug, "[expirable table] hash table is full"));
    EXPECT_EQ(expireable_table_size(t), 3u);

    EXPECT_EQ(expireable_table_pop(t, key(1)), key(1));
    EXPECT_FALSE(expireable_table_contains(t, key(1)));
    EXPECT_EQ(expireable_table_pop(t, key(1)), nullptr);
    EXPECT_TRUE(LoggedMatching(kWarn, "[expirable table] couldn't find key 0x", " in table"));
    EXPECT_TRUE(expireable_table_remove(t, key(2)));
    EXPECT_FALSE(expireable_table_remove(t, key(2)));
    EXPECT_TRUE(expireable_table_add(t, key(3), key(3)));

    int freed = 0;
    static int *s_freed;
    s_freed = &freed;
    expireable_table_destroy(t, [](gpointer, gpointer) { (*s_freed)++; });
    EXPECT_EQ(freed, 2);
}

TEST_F(Table, OldestExpiresFirstAndTouchMakesAnEntryNew)
{
    const gint64 expire = 2000;
    expireable_table *t = expireable_table_create(8, expire, g_direct_hash, g_direct_equal);
    ASSERT_NE(t, nullptr);
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(expireable_table_add(t, key(i), key(i)));
    }
    g_usleep(3 * expire);
    EXPECT_TRUE(expireable_table_touch(t, key(0)));
    EXPECT_FALSE(expireable_table_touch(t, key(5)));
    EXPECT_TRUE(Logged(kWarn, "[expirable table] couldn't find key"));

    gpointer k = nullptr, v = nullptr;
    gint64 age = 0;
    ASSERT_TRUE(expireable_table_pop_expired(t, &k, &v, &age));
    EXPECT_EQ(k, key(1));
    EXPECT_GT(age, expire);
    ASSERT_TRUE(expireable_table_pop_expired(t, &k, &v, &age));
    EXPECT_EQ(k, key(2));

    /* key 0 was touched a moment ago; a long expiry cannot have passed yet. */
    expireable_table *slow = expireable_table_create(8, gint64{3600} * G_USEC_PER_SEC, g_direct_hash, g_direct_equal);
    ASSERT_TRUE(expireable_table_add(slow, key(0), key(0)));
    EXPECT_FALSE(expireable_table_pop_expired(slow, &k, &v, &age));
    ASSERT_TRUE(expireable_table_add(slow, key(1), key(1)));
    EXPECT_TRUE(expireable_table_expire_all(slow));
    EXPECT_TRUE(Logged(kDebug, "[expirable table] expired 2/2 entries in the table"));
    EXPECT_TRUE(expireable_table_pop_expired(slow, &k, &v, &age));
    EXPECT_TRUE(expireable_table_pop_expired(slow, &k, &v, &age));
    EXPECT_FALSE(expireable_table_pop_expired(slow, &k, &v, &age));
    expireable_table_destroy(slow, nullptr);
    expireable_table_destroy(t, nullptr);
}

class Traces : public hvtest::LoggingTest {
protected:
    void SetUp() override
    {
        hvtest::LoggingTest::SetUp();
        ASSERT_TRUE(initialize_agent_metrics());
    }
    void TearDown() override
    {
        agent_metrics_cleanup();
        hvtest::LoggingTest::TearDown();
    }

    /* The reply of "get-agent-metrics" as a name -> value map. */
    static std::map<std::string, uint64_t> Reply()
    {
        Error *err = nullptr;
        AgentMetricList *list =
            qmp_get_agent_metrics(false, false, false, nullptr, false, nullptr, false, false, &err);
        EXPECT_EQ(err, nullptr);
        std::map<std::string, uint64_t> out;
        for (AgentMetricList *l = list; l; l = l->next) {
            out[l->value->name] = l->value->value;
        }
        qapi_free_AgentMetricList(list);
        return out;
    }
};

TEST_F(Traces, EachThreadPairsItsOwnEnterAndExit)
{
    agent_metrics_trace_enter("work");
    std::thread other([] {
        agent_metrics_trace_enter("work");
        g_usleep(1000);
        agent_metrics_trace_exit("work");
    });
    other.join();
    g_usleep(1000);
    agent_metrics_trace_exit("work");
    EXPECT_EQ(Texts(kWarn), std::vector<std::string>{});
    auto m = Reply();
    EXPECT_EQ(m["work.enter"], 2u);
    EXPECT_EQ(m["work.exit"], 2u);
    EXPECT_GE(m["work.time"], 2000u);
    EXPECT_EQ(m.count("work.expire"), 0u);
}

TEST_F(Traces, UnpairedCallsAreWarnedAbout)
{
    agent_metrics_trace_enter("job");
    agent_metrics_trace_enter("job");
    EXPECT_TRUE(Logged(kWarn, "[metrics] a second trace enter without exit: job"));
    std::thread([] { agent_metrics_trace_exit("job"); }).join();
    EXPECT_TRUE(Logged(kWarn, "[metrics] trace exit without enter: job"));
    /* The first enter is still open on this thread. */
    agent_metrics_trace_exit("job");
    EXPECT_EQ(Count(kWarn, "[metrics] trace exit without enter: job"), 1u);
    agent_metrics_trace_exit("job");
    EXPECT_EQ(Count(kWarn, "[metrics] trace exit without enter: job"), 2u);
}

TEST_F(Traces, FullTableDropsTheTraceAndOpenTracesExpire)
{
    for (int i = 0; i < 100; i++) {
        agent_metrics_trace_enter(("t" + std::to_string(i)).c_str());
    }
    EXPECT_EQ(Count(kWarn, "[metrics] error adding new trace to expireable table: t99"), 1u);
    EXPECT_EQ(CountPrefix(kWarn, "[metrics] error adding new trace to expireable table: "), 1u);
    agent_metrics_expire_all_traces();
    EXPECT_EQ(CountPrefix(kWarn, "[metrics] popped an expired metric (trace enter without exit after "), 99u);
    EXPECT_TRUE(LoggedMatching(kWarn, "[metrics] popped an expired metric (trace enter without exit after ",
                               " microseconds): t0"));
    auto m = Reply();
    EXPECT_EQ(m["t0.expire"], 1u);
    EXPECT_GT(m["t0.time"], 0u);
    EXPECT_EQ(m.count("t99.expire"), 0u);
    /* Expired traces are gone: their exit now has no enter. */
    agent_metrics_trace_exit("t0");
    EXPECT_TRUE(Logged(kWarn, "[metrics] trace exit without enter: t0"));
}

} // namespace

namespace {

TEST_F(Traces, ThreadsThatEndWithATraceOpenAndOverlongNames)
{
    const std::string at_limit(223, 'a');
    const std::string over = at_limit + "-tail";
    std::vector<std::thread> threads;
    for (int i = 0; i < 40; i++) {
        threads.emplace_back([&, i] {
            agent_metrics_trace_enter(at_limit.c_str());
            agent_metrics_trace_exit(at_limit.c_str());
            /* Left open: the thread ends and only expiry releases it. */
            agent_metrics_trace_enter(i % 2 ? over.c_str() : "open");
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_EQ(CountPrefix(kWarn, "[metrics] trace exit without enter: "), 0u);
    EXPECT_EQ(CountPrefix(kWarn, "[metrics] a second trace enter without exit: "), 0u);
    agent_metrics_expire_all_traces();
    EXPECT_EQ(CountPrefix(kWarn, "[metrics] popped an expired metric (trace enter without exit after "), 40u);
    auto m = Reply();
    EXPECT_EQ(m[at_limit + ".enter"], 40u);
    EXPECT_EQ(m[at_limit + ".exit"], 40u);
    EXPECT_EQ(m["open.expire"], 20u);
    EXPECT_EQ(m[at_limit + ".expire"], 20u);
}

} // namespace
