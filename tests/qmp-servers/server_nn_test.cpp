/* The nanomsg REP server against real REQ clients, each test on its own IPC path. */
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>

#include <thread>

#include "agent-common/qmp-servers/qmp-command-executor.h"
#include "agent-common/qmp-servers/qmp-server-nn.h"
#include "agent-common/qmp-servers/qmp-server.h"
#include "qmp-test-support.h"

/* libnanomsg 1.1.5 leaks its listener record when an IPC bind fails; that is not ours. */
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:nn_bipc_create\n";
}

namespace {

class NnServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        register_test_commands();
        ASSERT_FALSE(dir_.path().empty());
        address_ = "ipc://" + dir_.path() + "/en.ipc";
        server_ = qmp_server_new_nn(address_.c_str());
        Error *err = nullptr;
        ASSERT_TRUE(qmp_server_run(server_, &err));
        ASSERT_EQ(server_->state, QMP_SERVER_STATE_ACTIVE);
    }
    void TearDown() override
    {
        qmp_command_executor_destroy(executor_);
        qmp_server_destroy(server_);
    }

    /* One REQ client, one request; "" when no reply came within timeout_ms. */
    std::string Request(const std::string &message, int timeout_ms = 3000)
    {
        std::string reply;
        std::atomic<bool> done{false};
        std::thread client([&] {
            reply = ClientRoundTrip(message, timeout_ms);
            done = true;
        });
        run_until([&] { return done.load(); }, timeout_ms + 3000);
        client.join();
        return reply;
    }

    std::string ClientRoundTrip(const std::string &message, int timeout_ms)
    {
        int sock = nn_socket(AF_SP, NN_REQ);
        if (sock < 0) {
            return "";
        }
        nn_setsockopt(sock, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout_ms, sizeof(timeout_ms));
        std::string reply;
        if (nn_connect(sock, address_.c_str()) >= 0 && nn_send(sock, message.data(), message.size(), 0) >= 0) {
            char *buf = nullptr;
            int n = nn_recv(sock, &buf, NN_MSG, 0);
            if (n >= 0) {
                reply.assign(buf, static_cast<size_t>(n));
                nn_freemsg(buf);
            }
        }
        nn_close(sock);
        return reply;
    }

    void UseExecutor()
    {
        executor_ = qmp_command_executor_new("test-executor");
        ASSERT_NE(executor_, nullptr);
        qmp_server_set_executor(server_, executor_);
        TestGate::get().Reset();
    }

    hvtest::TempDir dir_{"hv-qmp"};
    std::string address_;
    QmpServer *server_ = nullptr;
    QmpCommandExecutor *executor_ = nullptr;
    LogCapture logs_;
};

/* The exact reply to a ping over this server, again after a reply, is checked end to end in launcher_test. */
TEST_F(NnServerTest, RejectsShortAndUnbracedMessagesAndKeepsServing)
{
    std::string fifteen = "{\"execute\":\"p\"}";
    ASSERT_EQ(fifteen.size(), 15u);
    std::string reply = Request(fifteen);
    EXPECT_EQ(reply.rfind("{\"error\": {\"class\": \"GenericError\", \"desc\": \"command too small\"", 0), 0u) << reply;
    EXPECT_EQ(reply.back(), '\n');
    EXPECT_TRUE(logs_.Has("[qmp-server-nn] command too small (15 bytes): " + fifteen));

    std::string open_end = "{\"execute\": \"ping\"";
    ASSERT_GE(open_end.size(), 16u);
    reply = Request(open_end);
    EXPECT_NE(reply.find("\"desc\": \"invalid command format\""), std::string::npos) << reply;

    reply = Request("execute ping, please");
    EXPECT_NE(reply.find("\"desc\": \"invalid command format\""), std::string::npos) << reply;
    EXPECT_TRUE(logs_.HasPrefix("[qmp-server-nn] invalid command received on nanomsg channel (20 bytes): "));

    /* A trailing line feed is accepted and not handed to the parser. */
    EXPECT_EQ(Request("{\"execute\": \"ping\"}\n"), "{\"return\": {}}\n");
    EXPECT_EQ(server_->state, QMP_SERVER_STATE_ACTIVE);
}

TEST_F(NnServerTest, BracedButMalformedRequestsGetParserOrDispatcherErrors)
{
    std::string reply = Request("{\"execute\": \"ping\", }");
    EXPECT_EQ(reply.rfind("{\"error\": {\"class\": \"GenericError\"", 0), 0u) << reply;

    reply = Request("{\"execute\": \"no-such-command\"}");
    EXPECT_NE(reply.find("\"class\": \"CommandNotFound\""), std::string::npos) << reply;
    EXPECT_TRUE(logs_.Has("[qmp-server]  [qmp-server-nn] error inside qmp command is: "
                          "'The command no-such-command has not been found'"));

    /* Braces around text that never forms a value still get an answer. */
    reply = Request("{ \x01\x02\x03 garbage here }");
    EXPECT_EQ(reply.rfind("{\"error\": ", 0), 0u) << reply;
    EXPECT_EQ(Request("{\"execute\": \"ping\"}"), "{\"return\": {}}\n");
}

TEST_F(NnServerTest, LargeMessagesAreAnsweredOrDroppedAndServingGoesOn)
{
    /* Just under the socket's 20 MiB limit: read whole, and the unknown member is named. */
    const size_t limit = 20971520 - 64;
    std::string big = "{\"execute\": \"ping\", \"pad\": \"";
    big.append(limit - big.size() - 2, 'x');
    big += "\"}";
    ASSERT_EQ(big.size(), limit);
    std::string reply = Request(big, 60000);
    EXPECT_NE(reply.find("QMP input object member 'pad' is unexpected"), std::string::npos) << reply.substr(0, 200);

    /* Over the limit: the socket drops it, the client hears nothing, the server goes on. */
    EXPECT_EQ(Request(big + std::string(128, ' '), 1500), "");
    EXPECT_EQ(Request("{\"execute\": \"ping\"}"), "{\"return\": {}}\n");
}

TEST_F(NnServerTest, AClientGoneBeforeItsLargeReplyDoesNotStopServing)
{
    /* The client leaves right after asking for a megabyte: the reply has nobody to go to. */
    std::atomic<bool> sent{false};
    std::thread client([&] {
        int sock = nn_socket(AF_SP, NN_REQ);
        ASSERT_GE(sock, 0);
        std::string req = "{\"execute\": \"test-big\"}";
        if (nn_connect(sock, address_.c_str()) >= 0 && nn_send(sock, req.data(), req.size(), 0) >= 0) {
            sent = true;
        }
        nn_close(sock);
    });
    run_until([&] { return sent.load(); }, 3000);
    client.join();
    ASSERT_TRUE(sent.load());
    spin_for(200);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(Request("{\"execute\": \"ping\"}"), "{\"return\": {}}\n");
    }
    EXPECT_EQ(server_->state, QMP_SERVER_STATE_ACTIVE);
}

TEST_F(NnServerTest, CommandTimeIsRecordedPerServerAndCommand)
{
    EXPECT_EQ(Request("{\"execute\": \"test-sleep\"}"), "{\"return\": {}}\n");
    EXPECT_GE(agent_metrics_get("qmp-server-nn.execute.test-sleep.time"), 20u);
}

TEST_F(NnServerTest, ClientsQueuedWhileBusyAreServedFromThePendingPoll)
{
    std::vector<std::string> replies(4);
    std::atomic<int> done{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; i++) {
        clients.emplace_back([&, i] {
            replies[i] = ClientRoundTrip("{\"execute\": \"ping\"}", 4000);
            done++;
        });
    }
    run_until([&] { return done.load() == 4; }, 8000);
    for (std::thread &t : clients) {
        t.join();
    }
    for (const std::string &r : replies) {
        EXPECT_EQ(r, "{\"return\": {}}\n");
    }
}

TEST_F(NnServerTest, AMessageThatIsNotExactlyOneValueRunsNothing)
{
    struct Case {
        const char *message;
        const char *desc;
    };
    const Case cases[] = {
        {"{\"execute\": \"test-silent\"}}", "JSON parse error, expecting value"},
        {"{\"execute\": \"test-silent\"} {\"execute\": \"test-silent\"}",
         "results for JSON are set more than once, might be more than one JSON in string or invalid JSON?"},
        {"{\"execute\": \"test-silent\"} [1] {\"execute\": \"ping\"}", nullptr},
        {"{\"execute\": \"test-silent\"} \x01 {\"execute\": \"test-silent\"}", nullptr},
    };
    for (bool executor : {false, true}) {
        if (executor) {
            UseExecutor();
        }
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.message) + (executor ? " (executor)" : ""));
            int runs = silent_runs();
            std::string reply = Request(c.message);
            EXPECT_EQ(reply.rfind("{\"error\": {\"class\": \"GenericError\", \"desc\": ", 0), 0u) << reply;
            if (c.desc) {
                EXPECT_NE(reply.find(std::string("\"desc\": \"") + c.desc + "\""), std::string::npos) << reply;
            }
            spin_for(30);
            EXPECT_EQ(silent_runs(), runs);
        }
        EXPECT_EQ(Request("{\"execute\": \"ping\"}"), "{\"return\": {}}\n");
    }
}

TEST_F(NnServerTest, ACommandWithoutASuccessReplyStillAnswersTheRequest)
{
    for (bool executor : {false, true}) {
        SCOPED_TRACE(executor ? "executor" : "main loop");
        if (executor) {
            UseExecutor();
        }
        int runs = silent_runs();
        EXPECT_EQ(Request("{\"execute\": \"test-silent\"}"), "{\"return\": {}}\n");
        EXPECT_EQ(silent_runs(), runs + 1);
        EXPECT_EQ(Request("{\"execute\": \"ping\"}"), "{\"return\": {}}\n");
    }
}

TEST_F(NnServerTest, StopAndRunAgainServesWithANewGeneration)
{
    uint32_t generation = server_->generation.load();
    qmp_server_stop(server_);
    EXPECT_EQ(server_->state, QMP_SERVER_STATE_INACTIVE);
    Error *err = nullptr;
    ASSERT_TRUE(qmp_server_run(server_, &err));
    EXPECT_EQ(server_->generation.load(), generation + 1);
    EXPECT_FALSE(qmp_server_run(server_, &err));
    error_free(err);
    EXPECT_TRUE(logs_.Has("[qmp-server-nn] failed to run from state 'ACTIVE'"));
    EXPECT_EQ(Request("{\"execute\": \"ping\"}"), "{\"return\": {}}\n");
}

TEST_F(NnServerTest, BindFailureLeavesTheServerDown)
{
    QmpServer *bad = qmp_server_new_nn(("ipc://" + dir_.path() + "/missing/dir/x.ipc").c_str());
    Error *err = nullptr;
    EXPECT_FALSE(qmp_server_run(bad, &err));
    EXPECT_NE(err, nullptr);
    error_free(err);
    EXPECT_TRUE(logs_.Has("[qmp-server-nn] could not init NN rep socket"));
    EXPECT_EQ(bad->state, QMP_SERVER_STATE_INACTIVE);
    qmp_server_destroy(bad);
}

TEST_F(NnServerTest, ExecutorRunsCommandsOffTheMainLoop)
{
    UseExecutor();
    TestGate::get().Open();
    EXPECT_EQ(Request("{\"execute\": \"test-gate\"}"), "{\"return\": {\"gate\": true}}\n");
    EXPECT_EQ(TestGate::get().Finished(), 1);
    EXPECT_TRUE(logs_.Has("[qmp-command-executor] test-executor dequeued command from server qmp-server-nn"));
}

TEST_F(NnServerTest, ExecutorDropsTheReplyOfARequestFromBeforeAReconnect)
{
    UseExecutor();

    std::string stale;
    std::atomic<bool> done{false};
    std::thread client([&] {
        stale = ClientRoundTrip("{\"execute\": \"test-gate\"}", 1500);
        done = true;
    });
    ASSERT_TRUE(run_until([] { return TestGate::get().Entered() == 1; }));
    /* The peer's channel goes down and comes back while the command runs. */
    qmp_server_stop(server_);
    Error *err = nullptr;
    ASSERT_TRUE(qmp_server_run(server_, &err));
    TestGate::get().Open();
    ASSERT_TRUE(run_until([&] {
        return logs_.Has("[qmp-server] [qmp-server-nn] received response from command executor when server "
                         "has reconnected, dropped");
    }));
    run_until([&] { return done.load(); });
    client.join();
    /* The REQ socket sends its request again on the new connection; only that one is answered. */
    EXPECT_EQ(TestGate::get().Finished(), 2);
    EXPECT_EQ(stale, "{\"return\": {\"gate\": true}}\n");
    EXPECT_EQ(Request("{\"execute\": \"ping\"}"), "{\"return\": {}}\n");
}

}
