/*
 * The manager's rules and the executor's ordering, driven through a recording server
 * kind: requests enter through the core's parser exactly as socket bytes would.
 */
#include <thread>

#include "agent-common/qmp-servers/qmp-command-executor.h"
#include "agent-common/qmp-servers/qmp-manager.h"
#include "agent-common/qmp-servers/qmp-server.h"
#include "qapi/qmp-common-types.h"
#include "qmp-test-support.h"

namespace {

struct RecordingServer : QmpServer {
    int runs = 0;
    int stops = 0;
    bool refuse_run = false;
    std::vector<std::string> sent; /* whole reply lines */
};

RecordingServer *rec(QmpServer *s)
{
    return static_cast<RecordingServer *>(s);
}

bool rec_run(QmpServer *s, Error **errp)
{
    rec(s)->runs++;
    if (rec(s)->refuse_run) {
        error_setg(errp, "refused");
        return false;
    }
    qmp_server_set_state(s, QMP_SERVER_STATE_ACTIVE);
    return true;
}

void rec_stop(QmpServer *s)
{
    rec(s)->stops++;
    qmp_server_set_state(s, QMP_SERVER_STATE_INACTIVE);
}

void rec_send(QmpServer *s, char *text, QmpReplyType type)
{
    rec(s)->sent.push_back(std::string(qmp_reply_prefix(type)) + text + QMP_REPLY_SUFFIX);
    g_free(text);
}

void rec_destroy(QmpServer *s)
{
    qmp_server_finalize(s);
    delete rec(s);
}

InetSocketAddressList *rec_allowed(QmpServer *)
{
    return qapi_new_InetSocketAddressList_elem("10.1.2.3", "443");
}

const QmpServerOps kRecOps = {rec_destroy, rec_run, rec_stop, rec_send, rec_allowed};

RecordingServer *new_recording(const char *name)
{
    RecordingServer *s = new RecordingServer();
    qmp_server_init(s, name, &kRecOps);
    return s;
}

void feed(QmpServer *s, const std::string &text)
{
    qmp_server_feed(s, text.data(), text.size());
}

class ManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        register_test_commands();
        TestGate::get().Reset();
        loop_ = g_main_loop_new(nullptr, FALSE);
    }
    void TearDown() override
    {
        TestGate::get().Open();
        qmp_manager_cleanup();
        g_main_loop_unref(loop_);
    }
    /* Runs the main loop until something quits it; false when the guard had to. */
    bool RunLoop(int timeout_ms = 5000)
    {
        static bool guard_fired;
        guard_fired = false;
        guint guard = g_timeout_add(timeout_ms, [](gpointer l) -> gboolean {
            guard_fired = true;
            g_main_loop_quit(static_cast<GMainLoop *>(l));
            return G_SOURCE_REMOVE;
        }, loop_);
        g_main_loop_run(loop_);
        if (!guard_fired) {
            g_source_remove(guard);
        }
        return !guard_fired;
    }

    GMainLoop *loop_ = nullptr;
    LogCapture logs_;
};

TEST_F(ManagerTest, FailedReconnectableServerIsRerunAfterTheInterval)
{
    qmp_manager_init(loop_, false);
    qmp_manager_set_reconnect_interval(1);
    RecordingServer *s = new_recording("rec");
    s->supports_reconnect = true;
    qmp_manager_register_server(s);
    EXPECT_TRUE(logs_.Has("[qmp-manager] register - rec"));
    ASSERT_TRUE(qmp_manager_run());
    EXPECT_TRUE(logs_.Has("[qmp-manager] attempt to run - rec"));

    qmp_server_set_state(s, QMP_SERVER_STATE_FAILED);
    EXPECT_TRUE(logs_.Has("[qmp-manager] scheduling server reconnect with interval - 1"));
    EXPECT_TRUE(logs_.Has("[qmp-server] [rec] server is 'FAILED', cleaning internal objects"));
    ASSERT_TRUE(run_until([&] { return s->runs == 2; }, 4000));
    EXPECT_TRUE(logs_.Has("[qmp-manager] reconnect"));
    EXPECT_EQ(s->state, QMP_SERVER_STATE_ACTIVE);

    s->refuse_run = true;
    qmp_server_set_state(s, QMP_SERVER_STATE_FAILED);
    ASSERT_TRUE(run_until([&] { return s->runs == 3; }, 4000));
    EXPECT_TRUE(logs_.Has("[qmp-manager] rec - failed to re-run, dead forever..."));
    spin_for(1300);
    EXPECT_EQ(s->runs, 3);
}

TEST_F(ManagerTest, ReconnectIntervalZeroEndsTheMainLoop)
{
    qmp_manager_init(loop_, false);
    qmp_manager_set_reconnect_interval(0);
    RecordingServer *s = new_recording("rec");
    s->supports_reconnect = true;
    qmp_manager_register_server(s);
    qmp_manager_run();
    g_idle_add([](gpointer p) -> gboolean {
        qmp_server_set_state(static_cast<QmpServer *>(p), QMP_SERVER_STATE_FAILED);
        return G_SOURCE_REMOVE;
    }, s);
    EXPECT_TRUE(RunLoop());
    EXPECT_TRUE(logs_.Has("[qmp-manager] Channel supposed to reconnect, but no interval set, terminating"));
}

TEST_F(ManagerTest, AServerThatCannotStartIsTreatedAsFailed)
{
    qmp_manager_init(loop_, false);
    RecordingServer *s = new_recording("rec");
    s->required = true;
    s->refuse_run = true;
    qmp_manager_register_server(s);
    g_idle_add([](gpointer) -> gboolean {
        qmp_manager_run();
        return G_SOURCE_REMOVE;
    }, nullptr);
    EXPECT_TRUE(RunLoop());
    EXPECT_TRUE(logs_.Has("[qmp-server] [rec] failed to run"));
    EXPECT_TRUE(logs_.Has("[qmp-manager] rec server does not support reconnect, but required to be running!"));
}

TEST_F(ManagerTest, AggregatorStatusFollowsItsState)
{
    qmp_manager_init(loop_, false);
    EXPECT_EQ(qmp_manager_get_allow_addresses(), nullptr);
    RecordingServer *first = new_recording("first");
    first->aggregator = true;
    qmp_manager_register_server(first);
    RecordingServer *agg = new_recording("agg");
    agg->aggregator = true;
    agg->selected_destination = g_strdup("mgmt.example:443");
    qmp_manager_register_server(agg);
    EXPECT_TRUE(logs_.Has("[qmp-manager] overwrite current aggregator qmp server"));
    qmp_manager_run();

    char *dest = qmp_manager_get_selected_destination();
    EXPECT_STREQ(dest, "mgmt.example:443");
    g_free(dest);
    EXPECT_TRUE(logs_.Has("[qmp-manager] update selected SSL destination to :mgmt.example:443"));
    EXPECT_FALSE(qmp_manager_is_running_offline());

    /* Only the current aggregator moves the flag. */
    qmp_server_set_state(first, QMP_SERVER_STATE_FAILED);
    EXPECT_FALSE(qmp_manager_is_running_offline());
    qmp_server_set_state(agg, QMP_SERVER_STATE_FAILED);
    EXPECT_TRUE(qmp_manager_is_running_offline());
    EXPECT_TRUE(logs_.Has("[qmp-manager] update running offline to : true"));

    InetSocketAddressList *allowed = qmp_manager_get_allow_addresses();
    ASSERT_NE(allowed, nullptr);
    EXPECT_STREQ(allowed->value->host, "10.1.2.3");
    EXPECT_STREQ(allowed->value->port, "443");
    qapi_free_InetSocketAddressList(allowed);
}

TEST_F(ManagerTest, PushNeedsAnActivePushCapableServer)
{
    qmp_manager_init(loop_, false);
    qmp_manager_push_event("{\"a\": 1}");
    ASSERT_TRUE(run_until([&] { return logs_.Has("[qmp-manager] Push notification qmp server does not exists"); }));

    RecordingServer *s = new_recording("rec");
    s->supports_push = true;
    qmp_manager_register_server(s);
    qmp_manager_push_event("{\"a\": %d}", 2);
    ASSERT_TRUE(run_until([&] {
        return logs_.Has("[qmp-manager] could not send push notification, server is inactive, push notification deleted");
    }));
    qmp_manager_run();
    std::thread other([] { qmp_manager_push_event("{\"a\": %d}", 3); });
    other.join();
    ASSERT_TRUE(run_until([&] { return !s->sent.empty(); }));
    EXPECT_EQ(s->sent, std::vector<std::string>{"{\"event\": {\"a\": 3}}\n"});

    s->supports_push = false;
    qmp_server_push_event(s, g_strdup("{}"));
    EXPECT_TRUE(logs_.Has("[qmp-server] [rec] push notifications are not supported"));
}

TEST_F(ManagerTest, ExecutorAnswersOnTheMainLoopUnlessTheServerWentAway)
{
    qmp_manager_init(loop_, true);
    RecordingServer *s = new_recording("rec");
    qmp_manager_register_server(s);
    qmp_manager_run();

    feed(s, "{\"execute\": \"ping\"}");
    ASSERT_TRUE(run_until([&] { return s->sent.size() == 1; }));
    EXPECT_EQ(s->sent[0], "{\"return\": {}}\n");
    EXPECT_TRUE(logs_.Has("[qmp-command-executor] main-executor enqueued command from server rec"));

    feed(s, "{\"execute\": \"test-fail\"}");
    ASSERT_TRUE(run_until([&] { return s->sent.size() == 2; }));
    EXPECT_NE(s->sent[1].find("\"desc\": \"test command failed\""), std::string::npos);
    EXPECT_TRUE(logs_.Has("[qmp-command-executor]  [main-executor] (command from rec) error inside qmp command is: "
                          "'test command failed'"));

    feed(s, "{\"execute\": \"test-gate\"}");
    ASSERT_TRUE(run_until([] { return TestGate::get().Entered() == 1; }));
    qmp_server_stop(s);
    TestGate::get().Open();
    ASSERT_TRUE(run_until([&] {
        return logs_.Has("[qmp-server] [rec] received response from command executor when server was disconnected, dropped");
    }));
    EXPECT_EQ(s->sent.size(), 2u);
}

TEST_F(ManagerTest, CommandsQueuedBeforeAReconnectAreNotRun)
{
    qmp_manager_init(loop_, true);
    RecordingServer *busy = new_recording("busy");
    RecordingServer *s = new_recording("rec");
    qmp_manager_register_server(busy);
    qmp_manager_register_server(s);
    qmp_manager_run();

    feed(busy, "{\"execute\": \"test-gate\"}");
    ASSERT_TRUE(run_until([] { return TestGate::get().Entered() == 1; }));
    uint64_t pings = agent_metrics_get("qmp-commands.calls.ping");
    feed(s, "{\"execute\": \"ping\"}");
    qmp_server_stop(s);
    Error *err = nullptr;
    ASSERT_TRUE(qmp_server_run(s, &err));
    TestGate::get().Open();
    ASSERT_TRUE(run_until([&] { return busy->sent.size() == 1; }));
    ASSERT_TRUE(run_until([&] {
        return logs_.Has("[qmp-command-executor] main-executor dequeued old command from before reconnection, dropping ping");
    }));
    spin_for(50);
    EXPECT_EQ(agent_metrics_get("qmp-commands.calls.ping"), pings);
    EXPECT_TRUE(s->sent.empty());
}

TEST_F(ManagerTest, CleanupWithQueuedCommandsRunsNoneOfThem)
{
    qmp_manager_init(loop_, true);
    RecordingServer *s = new_recording("rec");
    qmp_manager_register_server(s);
    qmp_manager_run();
    feed(s, "{\"execute\": \"test-gate\"}");
    ASSERT_TRUE(run_until([] { return TestGate::get().Entered() == 1; }));
    uint64_t pings = agent_metrics_get("qmp-commands.calls.ping");
    feed(s, "{\"execute\": \"ping\"} {\"execute\": \"ping\", \"arguments\": {\"x\": [1, 2, 3]}}");

    std::thread opener([] {
        g_usleep(100 * 1000);
        TestGate::get().Open();
    });
    qmp_manager_cleanup();
    opener.join();
    EXPECT_EQ(TestGate::get().Finished(), 1);
    EXPECT_EQ(agent_metrics_get("qmp-commands.calls.ping"), pings);
    EXPECT_TRUE(logs_.Has("[qmp-command-executor] removing executor - main-executor"));
    EXPECT_TRUE(logs_.Has("[qmp-command-executor] main-executor received destroy notification, exiting thread"));
    EXPECT_TRUE(logs_.Has("[qmp-server] [rec] server object destroyed"));
    /* The gate's outcome was never delivered to the destroyed server. */
    spin_for(50);
}

TEST_F(ManagerTest, AggregatorInactivityRestartsTheConnection)
{
    qmp_manager_init(loop_, false);
    RecordingServer *s = new_recording("agg");
    s->aggregator = true;
    s->reconnect_interval = 1;
    qmp_manager_register_server(s);
    qmp_manager_run();
    feed(s, "{\"execute\": \"ping\"}");
    ASSERT_TRUE(run_until([&] { return s->runs == 2; }, 4000));
    EXPECT_TRUE(logs_.Has("[qmp-server] Re-establish connection to the aggregator after timeout"));
    EXPECT_EQ(s->stops, 1);

    s->refuse_run = true;
    ASSERT_TRUE(run_until([&] { return s->runs == 3; }, 4000));
    EXPECT_TRUE(logs_.Has("[qmp-server] agg - failed to re-run, next try to establish connection after timeout"));
    /* It keeps trying. */
    ASSERT_TRUE(run_until([&] { return s->runs == 4; }, 4000));
}

TEST(QmpServerEnv, AggregatorIntervalComesFromMinutes)
{
    g_setenv("AGGREGATOR_CONN_TMR_MINS", "2", TRUE);
    RecordingServer *s = new_recording("env");
    EXPECT_EQ(s->reconnect_interval, 120u);
    qmp_server_destroy(s);
    g_setenv("AGGREGATOR_CONN_TMR_MINS", "soon", TRUE);
    s = new_recording("env");
    EXPECT_EQ(s->reconnect_interval, 600u);
    qmp_server_destroy(s);
    g_unsetenv("AGGREGATOR_CONN_TMR_MINS");
    s = new_recording("env");
    EXPECT_EQ(s->reconnect_interval, 600u);
    qmp_server_destroy(s);
}

}
