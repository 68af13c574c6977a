/* The command RPC client against real REP peers, each test on its own IPC paths. */
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "agent-common/qmp-servers/qmp-rpc-client.h"
#include "qmp-test-support.h"
#include "qobject/qdict.h"
#include "qobject/qjson.h"

namespace {

/* A REP socket served by its own thread: the handler sees each request and returns the
 * reply, or nothing to leave the request unanswered. */
class RepPeer {
public:
    using Handler = std::function<std::optional<std::string>(const std::string &, const std::atomic<bool> &stopping)>;

    RepPeer(const std::string &address, Handler handler) : handler_(std::move(handler))
    {
        sock_ = nn_socket(AF_SP, NN_REP);
        EXPECT_GE(sock_, 0);
        EXPECT_GE(nn_bind(sock_, address.c_str()), 0) << address;
        thread_ = std::thread([this] { Serve(); });
    }
    ~RepPeer()
    {
        stop_ = true;
        thread_.join();
        nn_close(sock_);
    }
    std::vector<std::string> Seen()
    {
        std::lock_guard<std::mutex> g(lock_);
        return seen_;
    }
    /* A request arrived while the previous one was still being answered. */
    bool overlapped() const { return overlap_; }

private:
    void Serve()
    {
        while (!stop_) {
            struct nn_pollfd pfd = {sock_, NN_POLLIN, 0};
            if (nn_poll(&pfd, 1, 20) <= 0) {
                continue;
            }
            void *buf = nullptr;
            int rc = nn_recv(sock_, &buf, NN_MSG, NN_DONTWAIT);
            if (rc < 0) {
                continue;
            }
            std::string text(static_cast<const char *>(buf), static_cast<size_t>(rc));
            nn_freemsg(buf);
            {
                std::lock_guard<std::mutex> g(lock_);
                seen_.push_back(text);
            }
            std::optional<std::string> reply = handler_(text, stop_);
            if (reply) {
                /* One request at a time: nothing else may be waiting while this one is answered. */
                struct nn_pollfd more = {sock_, NN_POLLIN, 0};
                if (nn_poll(&more, 1, 0) > 0) {
                    overlap_ = true;
                }
                nn_send(sock_, reply->data(), reply->size(), 0);
            }
        }
    }

    int sock_ = -1;
    Handler handler_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> overlap_{false};
    std::mutex lock_;
    std::vector<std::string> seen_;
    std::thread thread_;
};

std::string Take(Error *&err)
{
    std::string msg = hvtest::TakeMessage(err);
    err = nullptr;
    return msg;
}

struct Outcome {
    int calls = 0;
    std::string reply;
    std::string error;
};

void record(qmp_rpc_request *, QObject *reply, Error *err, void *context)
{
    Outcome *o = static_cast<Outcome *>(context);
    o->calls++;
    if (reply) {
        QString *json = qobject_to_json(reply);
        o->reply = qstring_get_str(json);
        qobject_decref(QOBJECT(json));
        qobject_decref(reply);
    }
    o->error = err ? error_get_message(err) : "";
}

/* Replies {"return": <arguments>} after hold_ms. */
RepPeer::Handler Echo(int hold_ms = 0)
{
    return [hold_ms](const std::string &req, const std::atomic<bool> &) -> std::optional<std::string> {
        g_usleep(static_cast<gulong>(hold_ms) * 1000);
        const std::string key = "\"arguments\": ";
        size_t from = req.find(key) + key.size();
        return "{\"return\": " + req.substr(from, req.rfind('}') - from) + "}";
    };
}

class RpcClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.path().empty());
        qmp_rpc_client_init();
        address_ = "ipc://" + dir_.path() + "/peer.ipc";
        Error *err = nullptr;
        ASSERT_TRUE(qmp_rpc_client_register(1, address_.c_str(), &err));
    }
    void TearDown() override
    {
        qmp_rpc_client_cleanup();
        /* Whatever the client left on the main context must not reach the next test. */
        spin_for(10);
    }

    hvtest::TempDir dir_{"hv-rpc"};
    std::string address_;
    LogCapture log_;
};

TEST_F(RpcClientTest, RequestsToOneDestinationAreServedOneAfterTheOtherInOrder)
{
    RepPeer peer(address_, Echo(60));
    Outcome out[3];
    qmp_rpc_request *req[3];
    for (int i = 0; i < 3; i++) {
        req[i] = qmp_rpc_client_run_async_command(1, 3000, record, &out[i], "echo", "\"n\": %d", i + 1);
    }
    ASSERT_TRUE(run_until([&] { return out[2].calls == 1; }, 10000));
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(out[i].calls, 1);
        EXPECT_EQ(out[i].error, "");
        EXPECT_EQ(out[i].reply, "{\"return\": {\"n\": " + std::to_string(i + 1) + "}}") << i;
        qmp_rpc_client_finalize_request(req[i]);
    }
    EXPECT_FALSE(peer.overlapped());
    std::vector<std::string> seen = peer.Seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], "{\"execute\": \"echo\", \"arguments\": {\"n\": 1}}\n");
    EXPECT_EQ(seen[2], "{\"execute\": \"echo\", \"arguments\": {\"n\": 3}}\n");
    EXPECT_TRUE(log_.Has("[qmp-rpc-client] [request-id=3] sent completed to " + address_));
    ASSERT_TRUE(run_until([&] { return log_.Has("[qmp-rpc-client] finalizing finished request"); }));
}

TEST_F(RpcClientTest, SilentDestinationFailsTheRunningRequestAndServesTheNextAfterReconnecting)
{
    std::atomic<int> n{0};
    RepPeer peer(address_, [&](const std::string &req, const std::atomic<bool> &stopping) -> std::optional<std::string> {
        if (n++ == 0) {
            return std::nullopt;
        }
        return Echo()(req, stopping);
    });
    Outcome first, second;
    qmp_rpc_request *a = qmp_rpc_client_run_async_command(1, 150, record, &first, "echo", "\"n\": 1");
    qmp_rpc_request *b = qmp_rpc_client_run_async_command(1, 3000, record, &second, "echo", "\"n\": 2");
    ASSERT_TRUE(run_until([&] { return second.calls == 1; }, 10000));
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(first.reply, "");
    EXPECT_EQ(first.error, "recv timeout reached for rpc async request");
    EXPECT_TRUE(log_.Has("[qmp-rpc-client] [request-id=1] failed to recv response message: recv timeout reached "
                         "for rpc async request via " +
                         address_));
    EXPECT_EQ(second.error, "");
    EXPECT_EQ(second.reply, "{\"return\": {\"n\": 2}}");
    EXPECT_EQ(log_.Count(hvtest::kAnyLevel, "[qmp-rpc-client] connecting to agent IPC: " + address_), 2u);
    qmp_rpc_client_finalize_request(a);
    qmp_rpc_client_finalize_request(b);
}

TEST_F(RpcClientTest, DestinationThatComesUpLateStillAnswers)
{
    Outcome out;
    qmp_rpc_request *req = qmp_rpc_client_run_async_command(1, 5000, record, &out, "echo", "\"late\": true");
    spin_for(150);
    EXPECT_EQ(out.calls, 0);
    RepPeer peer(address_, Echo());
    ASSERT_TRUE(run_until([&] { return out.calls == 1; }, 10000));
    EXPECT_EQ(out.error, "");
    EXPECT_EQ(out.reply, "{\"return\": {\"late\": true}}");
    qmp_rpc_client_finalize_request(req);
}

TEST_F(RpcClientTest, RequestReleasedInFlightIsFreedByItsReplyWithoutCompletion)
{
    std::atomic<bool> release{false};
    RepPeer peer(address_, [&](const std::string &req, const std::atomic<bool> &stopping) -> std::optional<std::string> {
        while (!release && !stopping) {
            g_usleep(2000);
        }
        return Echo()(req, stopping);
    });
    Outcome gone, after;
    qmp_rpc_request *req = qmp_rpc_client_run_async_command(1, 5000, record, &gone, "echo", "\"n\": 1");
    ASSERT_TRUE(run_until([&] { return peer.Seen().size() == 1; }));
    qmp_rpc_client_finalize_request(req);
    ASSERT_TRUE(run_until([&] { return log_.Has("[qmp-rpc-client] finalizing in progress request"); }));
    release = true;
    ASSERT_TRUE(run_until([&] { return log_.HasPrefix("[qmp-rpc-client] [request-id=1] recv completed from "); }));
    /* The destination carries on with the next request. */
    qmp_rpc_request *next = qmp_rpc_client_run_async_command(1, 5000, record, &after, "echo", "\"n\": 2");
    ASSERT_TRUE(run_until([&] { return after.calls == 1; }));
    EXPECT_EQ(gone.calls, 0);
    EXPECT_EQ(after.reply, "{\"return\": {\"n\": 2}}");
    qmp_rpc_client_finalize_request(next);
}

TEST_F(RpcClientTest, RequestReleasedWithItsReplyAlreadyInGetsNoCompletion)
{
    std::atomic<bool> release{false};
    RepPeer peer(address_, [&](const std::string &req, const std::atomic<bool> &stopping) -> std::optional<std::string> {
        while (!release && !stopping) {
            g_usleep(2000);
        }
        return Echo()(req, stopping);
    });
    Outcome gone;
    qmp_rpc_request *req = qmp_rpc_client_run_async_command(1, 5000, record, &gone, "echo", "\"n\": 1");
    ASSERT_TRUE(run_until([&] { return peer.Seen().size() == 1; }));
    /* With the loop not running, the reply lands and the next look for it falls due. */
    release = true;
    g_usleep(300000);
    qmp_rpc_client_finalize_request(req);
    ASSERT_TRUE(run_until([&] { return log_.HasPrefix("[qmp-rpc-client] [request-id=1] recv completed from "); }));
    spin_for(50);
    EXPECT_EQ(gone.calls, 0);
}

TEST_F(RpcClientTest, ReleasedWhileQueuedOrFinishedAndReleasedAfterCleanupAreSafe)
{
    std::atomic<bool> release{false};
    RepPeer peer(address_, [&](const std::string &req, const std::atomic<bool> &stopping) -> std::optional<std::string> {
        while (!release && !stopping) {
            g_usleep(2000);
        }
        return Echo()(req, stopping);
    });
    Outcome out[4];
    qmp_rpc_request *req[4];
    for (int i = 0; i < 3; i++) {
        req[i] = qmp_rpc_client_run_async_command(1, 5000, record, &out[i], "echo", "\"n\": %d", i + 1);
    }
    ASSERT_TRUE(run_until([&] { return peer.Seen().size() == 1; }));
    qmp_rpc_client_finalize_request(req[1]);
    ASSERT_TRUE(run_until([&] { return log_.Has("[qmp-rpc-client] finalizing enqueued request"); }));
    release = true;
    ASSERT_TRUE(run_until([&] { return out[2].calls == 1; }));
    EXPECT_EQ(out[1].calls, 0);
    EXPECT_EQ(out[2].reply, "{\"return\": {\"n\": 3}}");
    std::vector<std::string> seen = peer.Seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1], "{\"execute\": \"echo\", \"arguments\": {\"n\": 3}}\n");

    /* Still held by the caller at cleanup (finished, or never reached the main loop): freed
     * there, and their late release is ignored. */
    req[3] = qmp_rpc_client_run_async_command(1, 5000, record, &out[3], "echo", "\"n\": 4");
    qmp_rpc_client_cleanup();
    qmp_rpc_client_finalize_request(req[0]);
    qmp_rpc_client_finalize_request(req[2]);
    qmp_rpc_client_finalize_request(req[3]);
    spin_for(20);
    EXPECT_EQ(out[3].calls, 0);
    EXPECT_EQ(log_.Count(hvtest::kAnyLevel, "[qmp-rpc-client] ignoring finalization of a request already released"),
              3u);
    qmp_rpc_client_init();
}

TEST_F(RpcClientTest, CleanupFreesQueuedAndRunningRequestsWithoutCompletion)
{
    RepPeer peer(address_, [](const std::string &, const std::atomic<bool> &) -> std::optional<std::string> { return std::nullopt; });
    Outcome out[3];
    for (int i = 0; i < 3; i++) {
        qmp_rpc_client_run_async_command(1, 5000, record, &out[i], "echo", "\"n\": %d", i + 1);
    }
    ASSERT_TRUE(run_until([&] { return peer.Seen().size() == 1; }));
    qmp_rpc_client_cleanup();
    EXPECT_TRUE(log_.Has("[qmp-rpc-client] cleanup"));
    EXPECT_TRUE(log_.Has("[qmp-rpc-client] destroying qmp rpc client - " + address_));
    spin_for(200);
    for (const Outcome &o : out) {
        EXPECT_EQ(o.calls, 0);
    }
    qmp_rpc_client_init();
}

TEST_F(RpcClientTest, ZeroTimeOutWaitsLongerThanAnInstant)
{
    RepPeer peer(address_, [](const std::string &, const std::atomic<bool> &) -> std::optional<std::string> { return std::nullopt; });
    Outcome out;
    qmp_rpc_request *req = qmp_rpc_client_run_async_command(1, 0, record, &out, "echo", "%s", "");
    ASSERT_TRUE(run_until([&] { return peer.Seen().size() == 1; }));
    /* Several receive retries later the request is still waiting. */
    spin_for(400);
    EXPECT_EQ(out.calls, 0);
    EXPECT_EQ(peer.Seen()[0], "{\"execute\": \"echo\", \"arguments\": {}}\n");
    qmp_rpc_client_finalize_request(req);
}

TEST_F(RpcClientTest, UnregisteredDestinationEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            /* The child runs its own fixture and exits without its destructors. */
            hvtest::RemoveTree(dir_.path());
            hvtest::LogRecord::Uninstall();
            Outcome out;
            qmp_rpc_client_run_async_command(9, 100, record, &out, "echo", "%s", "");
            run_until([] { return false; }, 2000);
        },
        ::testing::ExitedWithCode(15), "Attempt to use unregistered qmp rpc client - 9");
}

TEST_F(RpcClientTest, SyncCallReturnsTheReplyErrorsIncluded)
{
    RepPeer peer(address_, [](const std::string &req, const std::atomic<bool> &) -> std::optional<std::string> {
        if (req.find("\"fail\"") != std::string::npos) {
            return "{\"error\": {\"class\": \"GenericError\", \"desc\": \"no such module\"}}";
        }
        if (req.find("\"garbage\"") != std::string::npos) {
            return "{\"return\": ";
        }
        return "{\"return\": {\"name\": \"enforcement\"}}\n";
    });
    Error *err = nullptr;
    QObject *reply = qmp_rpc_client_call_sync(1, 3000, &err, "get-module-info", "%s", "");
    ASSERT_NE(reply, nullptr) << Take(err);
    QDict *ret = qdict_get_qdict(qobject_to_qdict(reply), "return");
    ASSERT_NE(ret, nullptr);
    EXPECT_STREQ(qdict_get_str(ret, "name"), "enforcement");
    qobject_decref(reply);

    reply = qmp_rpc_client_call_sync(1, 3000, &err, "fail", "%s", "");
    ASSERT_NE(reply, nullptr) << Take(err);
    QDict *e = qdict_get_qdict(qobject_to_qdict(reply), "error");
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(qdict_get_str(e, "desc"), "no such module");
    qobject_decref(reply);

    EXPECT_EQ(qmp_rpc_client_call_sync(1, 3000, &err, "garbage", "%s", ""), nullptr);
    EXPECT_NE(Take(err), "");
    std::vector<std::string> seen = peer.Seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], "{\"execute\": \"get-module-info\", \"arguments\": {}}\n");
}

TEST_F(RpcClientTest, SyncCallWithoutListenerOrRegistrationFails)
{
    Error *err = nullptr;
    gint64 start = g_get_monotonic_time();
    EXPECT_EQ(qmp_rpc_client_call_sync(1, 200, &err, "get-module-info", "%s", ""), nullptr);
    EXPECT_LT(g_get_monotonic_time() - start, 5 * G_USEC_PER_SEC);
    EXPECT_EQ(Take(err), "nn socket error on connect: Connection refused");

    /* A peer that takes the request and never answers is waited for until the time-out. */
    int silent = nn_socket(AF_SP, NN_REP);
    ASSERT_GE(nn_bind(silent, address_.c_str()), 0);
    EXPECT_EQ(qmp_rpc_client_call_sync(1, 200, &err, "get-module-info", "%s", ""), nullptr);
    EXPECT_EQ(Take(err), "recv timeout reached for rpc sync request to " + address_);
    nn_close(silent);

    EXPECT_EQ(qmp_rpc_client_call_sync(4, 200, &err, "get-module-info", "%s", ""), nullptr);
    EXPECT_EQ(Take(err), "qmp rpc client with id 4 is not registered");
}

} // namespace
