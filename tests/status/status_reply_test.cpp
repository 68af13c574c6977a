/* What the status reporting makes of the controller's answers, against a REP peer that
 * gives one canned reply. */
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>

#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent-common/agent-main.h"
#include "agent-common/agent-status-common.h"
#include "agent-common/qmp-servers/qmp-rpc-client.h"
#include "qapi/qmp-common-types.h"
#include "tests/common/hv-test-support.h"

namespace {

constexpr GLogLevelFlags kWarn = G_LOG_LEVEL_WARNING;

class StatusReply : public hvtest::LoggingTest {
protected:
    void SetUp() override
    {
        hvtest::LoggingTest::SetUp();
        qmp_rpc_client_init();
        address_ = "ipc://" + dir_.path() + "/ca.ipc";
        ASSERT_TRUE(qmp_rpc_client_register(AGENT_MODULE_CONTROLLER, address_.c_str(), nullptr));
    }
    void TearDown() override
    {
        if (server_.joinable()) {
            stop_ = true;
            server_.join();
        }
        agent_status_cleanup();
        qmp_rpc_client_cleanup();
        hvtest::LoggingTest::TearDown();
    }

    /* Answers every request with reply. */
    void Serve(const std::string &reply)
    {
        int sock = nn_socket(AF_SP, NN_REP);
        ASSERT_GE(nn_bind(sock, address_.c_str()), 0);
        server_ = std::thread([this, sock, reply] {
            while (!stop_) {
                struct nn_pollfd pfd = {sock, NN_POLLIN, 0};
                void *buf = nullptr;
                if (nn_poll(&pfd, 1, 20) > 0 && nn_recv(sock, &buf, NN_MSG, NN_DONTWAIT) >= 0) {
                    nn_freemsg(buf);
                    nn_send(sock, reply.data(), reply.size(), 0);
                }
            }
            nn_close(sock);
        });
    }

    /* Answers each request with what handler makes of it (it may block). */
    void ServeWith(std::function<std::string(const std::string &)> handler)
    {
        int sock = nn_socket(AF_SP, NN_REP);
        ASSERT_GE(nn_bind(sock, address_.c_str()), 0);
        server_ = std::thread([this, sock, handler] {
            while (!stop_) {
                struct nn_pollfd pfd = {sock, NN_POLLIN, 0};
                void *buf = nullptr;
                int n = nn_poll(&pfd, 1, 20) > 0 ? nn_recv(sock, &buf, NN_MSG, NN_DONTWAIT) : -1;
                if (n >= 0) {
                    std::string request(static_cast<const char *>(buf), static_cast<size_t>(n));
                    nn_freemsg(buf);
                    {
                        std::lock_guard<std::mutex> g(seen_lock_);
                        seen_.push_back(request);
                    }
                    std::string reply = handler(request);
                    nn_send(sock, reply.data(), reply.size(), 0);
                }
            }
            nn_close(sock);
        });
    }

    /* The revisions of the statuses the peer received, in order. */
    std::vector<int> StatusRevisions()
    {
        std::lock_guard<std::mutex> g(seen_lock_);
        std::vector<int> out;
        for (const std::string &r : seen_) {
            size_t at = r.find("\"revision\": ");
            if (r.find("update-module-internal-status") != std::string::npos && at != std::string::npos) {
                out.push_back(atoi(r.c_str() + at + 12));
            }
        }
        return out;
    }

    /* Runs the main loop until done holds. */
    static bool Pump(const std::function<bool()> &done)
    {
        return hvtest::WaitFor([&] {
            while (g_main_context_iteration(nullptr, FALSE)) {
            }
            return done();
        }, 20000, 2);
    }

    static void Report(int revision)
    {
        ModuleInternalStatus status = {};
        status.has_enforcement = true;
        status.enforcement = qapi_new_EnforcementInternalStatus(static_cast<uint64_t>(revision), 1, false);
        report_module_status_if_changed(&status);
        qapi_free_EnforcementInternalStatus(status.enforcement);
    }

    hvtest::TempDir dir_{"hv-status-reply"};
    std::mutex seen_lock_;
    std::vector<std::string> seen_;
    std::string address_;
    std::thread server_;
    std::atomic<bool> stop_{false};
};

TEST_F(StatusReply, FeaturesDecideWhatIsSupported)
{
    Serve(R"({"return": {"name": "c", "version": "1", "protocol-version": 1, "features": ["x", "no-channels"]}})");
    agent_status_init(AGENT_MODULE_ENFORCEMENT);
    EXPECT_FALSE(agent_status_is_pushing_supported());
    EXPECT_TRUE(agent_status_is_no_channels_supported());
    EXPECT_TRUE(Logged(G_LOG_LEVEL_DEBUG, "[agent-status-common] 'pushing-agent-status' feature is: not supported"));
    EXPECT_TRUE(Logged(G_LOG_LEVEL_DEBUG, "[agent-status-common] 'no-channels' feature is: supported"));
    /* The controller itself is not asked. */
    agent_status_init(AGENT_MODULE_CONTROLLER);
    EXPECT_TRUE(agent_status_is_pushing_supported());
    EXPECT_FALSE(agent_status_is_no_channels_supported());
}

TEST_F(StatusReply, UnreadableModuleInfoLeavesEverythingOff)
{
    Serve(R"({"return": {"name": "c", "features": "pushing-agent-status"}})");
    agent_status_init(AGENT_MODULE_ENFORCEMENT);
    EXPECT_FALSE(agent_status_is_pushing_supported());
    EXPECT_FALSE(agent_status_is_no_channels_supported());
    EXPECT_TRUE(LoggedPrefix(kWarn, "[agent-status-common] Received invalid response for 'get-module-info': "));
}

TEST_F(StatusReply, ErrorRepliesAreFailures)
{
    Serve(R"({"error": {"class": "GenericError", "desc": "busy"}})");
    agent_status_init(AGENT_MODULE_ENFORCEMENT);
    EXPECT_TRUE(Logged(kWarn, "[agent-status-common] Failed to send get-module-info: busy"));
    EXPECT_FALSE(agent_status_is_pushing_supported());
    Error *err = nullptr;
    EXPECT_FALSE(report_services_info("[]", &err));
    EXPECT_EQ(hvtest::TakeMessage(err), "failed to send: busy");
}

TEST_F(StatusReply, HostileModuleInfoRepliesLeaveEverythingOff)
{
    const std::string nested = std::string(5000, '[') + std::string(5000, ']');
    const std::string huge = R"({"return": {"name": ")" + std::string(4 << 20, 'x') +
                             R"(", "version": "1", "protocol-version": 1, "features": ["no-channels"]}})";
    const std::string replies[] = {
        "not json at all",
        nested,
        huge,
        "[\"pushing-agent-status\"]",
        R"({"error": 5})",
        R"({"error": {"desc": 7}, "return": {}})",
        R"({"return": {"name": "c", "version": "1", "protocol-version": 1, "features": [1, {"a": 2}]}})",
        R"({"return": {"name": "c", "version": "1", "protocol-version": 1, "features": ["pushing-agent-status")",
    };
    for (const std::string &reply : replies) {
        SCOPED_TRACE(reply.substr(0, 80));
        Clear();
        Serve(reply);
        agent_status_init(AGENT_MODULE_ENFORCEMENT);
        EXPECT_FALSE(agent_status_is_pushing_supported());
        EXPECT_FALSE(agent_status_is_no_channels_supported());
        EXPECT_TRUE(LoggedPrefix(kWarn, "[agent-status-common] ")) << "the reply passed silently";
        stop_ = true;
        server_.join();
        stop_ = false;
    }
}

TEST_F(StatusReply, ServicesAreSentAndAccepted)
{
    Serve(R"({"return": {}})");
    Error *err = nullptr;
    EXPECT_TRUE(report_services_info(R"([{"name": "a"}])", &err));
    EXPECT_EQ(err, nullptr);
    EXPECT_TRUE(Logged(G_LOG_LEVEL_DEBUG, R"([agent-status-common] service-info update sent: [{"name": "a"}])"));
}

TEST_F(StatusReply, RetryOfAStatusAlreadyReplacedIsNotSent)
{
    std::atomic<bool> release{false};
    std::atomic<int> pushes{0};
    ServeWith([&](const std::string &request) -> std::string {
        if (request.find("get-module-info") != std::string::npos) {
            return R"({"return": {"name": "c", "version": "1", "protocol-version": 1,
                       "features": ["pushing-agent-status"]}})";
        }
        if (pushes++ == 0) {
            /* The first status is refused, but only once a newer one is waiting behind it. */
            while (!release && !stop_) {
                g_usleep(1000);
            }
            return R"({"error": {"class": "GenericError", "desc": "busy"}})";
        }
        return R"({"return": {}})";
    });
    agent_status_init(AGENT_MODULE_ENFORCEMENT);
    ASSERT_TRUE(agent_status_is_pushing_supported());

    Report(1);
    ASSERT_TRUE(Pump([&] { return StatusRevisions().size() == 1; }));
    Report(2);
    ASSERT_TRUE(Pump([] { return true; }));
    release = true;
    ASSERT_TRUE(Pump([&] { return Logged(G_LOG_LEVEL_DEBUG, "[agent-status-common] sent module internal status"); }));
    /* Whatever was still queued goes out before the next status. */
    Report(3);
    ASSERT_TRUE(Pump([&] { return StatusRevisions().size() >= 3 && StatusRevisions().back() == 3; }));
    EXPECT_EQ(StatusRevisions(), (std::vector<int>{1, 2, 3}));
}

TEST_F(StatusReply, NobodyListening)
{
    Error *err = nullptr;
    EXPECT_FALSE(report_services_info("[]", &err));
    EXPECT_TRUE(g_str_has_prefix(hvtest::TakeMessage(err).c_str(), "failed to send: "));
}

} // namespace
