/* Internal status pushed by the real module process to hv-controller, the controller
 * stand-in, started in the module's folder where the module's relative addresses land. */
#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/common/hv-test-support.h"
#include "tests/common/module-fixture.h"

namespace {

using hvtest::Outcome;

class StatusModuleTest : public hvtest::ModuleFixture {
protected:
    StatusModuleTest() : ModuleFixture("hv-status") {}

    void TearDown() override
    {
        ModuleFixture::TearDown();
        StopController();
    }

    char **ExtraEnv(char **env) const override
    {
        return g_environ_setenv(env, "HV_STATUS_INTERVAL_MS", "100", TRUE);
    }

    void StartController(const std::vector<std::string> &flags)
    {
        std::vector<std::string> args = {HV_CONTROLLER};
        args.insert(args.end(), flags.begin(), flags.end());
        std::vector<char *> argv;
        for (auto &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        int out = open(Requests().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(out, 0);
        controller_ = fork();
        if (controller_ == 0) {
            dup2(out, 1);
            if (chdir(dir_.c_str()) != 0) {
                _exit(126);
            }
            execv(HV_CONTROLLER, argv.data());
            _exit(127);
        }
        close(out);
        ASSERT_GT(controller_, 0);
        /* The socket file shows that it listens. */
        ASSERT_TRUE(hvtest::WaitFor([&] { return g_file_test((dir_ + "/holvenstad_ca_channel.ipc").c_str(), G_FILE_TEST_EXISTS); },
                                    10000, 5));
    }

    void StopController()
    {
        if (controller_ > 0) {
            kill(controller_, SIGTERM);
            waitpid(controller_, nullptr, 0);
            controller_ = 0;
        }
    }

    std::string Requests() const { return dir_ + "/controller.out"; }

    /* The request lines the stand-in received that name command. */
    std::vector<std::string> Received(const std::string &command) const
    {
        std::vector<std::string> lines;
        g_auto(GStrv) all = g_strsplit(hvtest::ReadFile(Requests(), "").c_str(), "\n", -1);
        for (char **l = all; *l; l++) {
            if (strstr(*l, ("\"" + command + "\"").c_str())) {
                lines.push_back(*l);
            }
        }
        return lines;
    }
    size_t StatusCount() const { return Received("update-module-internal-status").size(); }

    size_t LogCount(const std::string &text) const
    {
        std::string log = LogText();
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
            n++;
        }
        return n;
    }

    /* Waits until the module has compared n more unchanged statuses than now. */
    bool UnchangedTicks(size_t n) const
    {
        size_t start = LogCount(kUnchanged);
        return hvtest::WaitFor([&] { return LogCount(kUnchanged) >= start + n; }, 30000, 20);
    }

    void PushPolicy(int revision) const
    {
        std::string text = hvtest::ReadFile(HV_EXAMPLE_POLICY);
        size_t at = text.find("\"revision\": 1");
        ASSERT_NE(at, std::string::npos);
        text.replace(at, 13, "\"revision\": " + std::to_string(revision));
        std::string file = dir_ + "/policy.json";
        hvtest::WriteFile(file, text);
        Outcome o = Run({HV_QMP, "--address", address_, "--timeout", "60000", "-f", file});
        ASSERT_EQ(o.exit_code, 0) << o.out << o.err;
    }

    static constexpr const char *kUnchanged = "[agent-status-common] module-internal-status did not change";
    GPid controller_ = 0;
};

TEST_F(StatusModuleTest, SentOncePerChange)
{
    StartController({});
    Start();
    ASSERT_TRUE(hvtest::WaitFor([&] { return StatusCount() >= 1; }, 30000, 20)) << LogText();
    EXPECT_EQ(Received("get-module-info").size(), 1u);
    EXPECT_TRUE(LogHas("'pushing-agent-status' feature is: supported")) << LogText();
    EXPECT_TRUE(LogHas("'no-channels' feature is: supported"));
    EXPECT_TRUE(LogHas("Start module internal status update periodical"));
    std::string first = Received("update-module-internal-status")[0];
    EXPECT_NE(first.find("\"revision\": 0"), std::string::npos) << first;
    EXPECT_NE(first.find("\"is_running_offline\": "), std::string::npos) << first;

    ASSERT_TRUE(UnchangedTicks(3)) << LogText();
    EXPECT_EQ(StatusCount(), 1u);

    ASSERT_NO_FATAL_FAILURE(PushPolicy(7));
    ASSERT_TRUE(hvtest::WaitFor([&] { return StatusCount() >= 2; }, 30000, 20)) << LogText();
    EXPECT_NE(Received("update-module-internal-status")[1].find("\"revision\": 7"), std::string::npos);
    ASSERT_TRUE(UnchangedTicks(3));
    EXPECT_EQ(StatusCount(), 2u) << hvtest::ReadFile(Requests());
    EXPECT_EQ(LogCount("[agent-status-common] sent module internal status"), 2u);
}

TEST_F(StatusModuleTest, ControllerWithoutTheFeatureGetsNone)
{
    StartController({"--push-status", "off", "--no-channels", "off"});
    Start();
    ASSERT_TRUE(hvtest::WaitFor([&] { return LogHas("Feature is not supported"); }, 30000, 20)) << LogText();
    EXPECT_TRUE(LogHas("Skip sending module internal status update. Feature is not supported")) << LogText();
    EXPECT_TRUE(LogHas("'pushing-agent-status' feature is: not supported"));
    EXPECT_EQ(Received("get-module-info").size(), 1u);
    /* Without no-channels the status carries no running-offline state. */
    Outcome o = Run({HV_QMP, "--address", address_, R"({"execute": "get-module-internal-status"})"});
    ASSERT_EQ(o.exit_code, 0) << o.out;
    EXPECT_NE(o.out.find("\"revision\""), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("is_running_offline"), std::string::npos) << o.out;
    ASSERT_NO_FATAL_FAILURE(PushPolicy(3));
    Stop();
    EXPECT_EQ(StatusCount(), 0u);
    EXPECT_EQ(LogCount(kUnchanged), 0u);
}

TEST_F(StatusModuleTest, RefusedPushIsRetriedThenAccepted)
{
    StartController({"--fail", "2"});
    Start();
    ASSERT_TRUE(hvtest::WaitFor([&] { return StatusCount() >= 3; }, 60000, 20)) << LogText();
    ASSERT_TRUE(UnchangedTicks(2)) << LogText();
    EXPECT_EQ(StatusCount(), 3u);
    EXPECT_EQ(LogCount("[agent-status-common] resend internal status"), 2u);
    EXPECT_EQ(LogCount("[agent-status-common] failed to send module internal status, error: internal status refused"), 2u);
    EXPECT_EQ(LogCount("[agent-status-common] sent module internal status"), 1u);
    auto sent = Received("update-module-internal-status");
    EXPECT_EQ(sent[0], sent[2]);
}

TEST_F(StatusModuleTest, GivesUpAfterFiveRetriesAndSendsAgainNextTick)
{
    StartController({"--fail", "6"});
    Start();
    ASSERT_TRUE(hvtest::WaitFor([&] { return LogHas("module internal status report failed after 5 attempts"); }, 60000, 20))
        << LogText();
    ASSERT_TRUE(hvtest::WaitFor([&] { return LogHas("[agent-status-common] sent module internal status"); }, 60000, 20))
        << LogText();
    EXPECT_EQ(StatusCount(), 7u);
    EXPECT_EQ(LogCount("[agent-status-common] resend internal status"), 5u);
}

TEST_F(StatusModuleTest, SilentControllerIsOfferedOnlyTheNewestStatus)
{
    StartController({"--answer-status", "off"});
    Start();
    ASSERT_TRUE(hvtest::WaitFor([&] { return StatusCount() >= 1; }, 30000, 20)) << LogText();
    /* Each change is seen by a tick while the first push still waits for its answer. */
    for (int revision : {7, 8, 9}) {
        ASSERT_NO_FATAL_FAILURE(PushPolicy(revision));
        ASSERT_TRUE(hvtest::WaitFor([&] { return LogHas("\"revision\": " + std::to_string(revision)); }, 30000, 20))
            << LogText();
    }
    /* The first push times out; what goes next is the newest status, not a retry of an older one. */
    ASSERT_TRUE(hvtest::WaitFor([&] { return StatusCount() >= 2; }, 60000, 20)) << LogText();
    auto sent = Received("update-module-internal-status");
    EXPECT_NE(sent[0].find("\"revision\": 0"), std::string::npos) << sent[0];
    EXPECT_NE(sent[1].find("\"revision\": 9"), std::string::npos) << sent[1];
    /* Stopped with a push in flight: a clean exit. */
    Stop();
}

/* The module runs without a controller and reports to one that starts after it. */
TEST_F(StatusModuleTest, AControllerStartedAfterTheModuleGetsItsStatus)
{
    Start();
    ASSERT_TRUE(hvtest::WaitFor([&] { return LogHas("Feature is not supported"); }, 30000, 20)) << LogText();
    EXPECT_TRUE(LogHas("[agent-status-common] Failed to send get-module-info: ")) << LogText();
    EXPECT_TRUE(LogHas("Skip sending module internal status update. Feature is not supported"));
    Outcome o = Run({HV_QMP, "--address", address_, "--timeout", "10000", R"({"execute": "ping"})"});
    EXPECT_EQ(o.exit_code, 0) << o.out << o.err;

    StartController({});
    ASSERT_TRUE(hvtest::WaitFor([&] { return StatusCount() >= 1; }, 30000, 20)) << LogText();
    EXPECT_EQ(Received("get-module-info").size(), 1u);
    ASSERT_TRUE(UnchangedTicks(3)) << LogText();
    EXPECT_EQ(Received("get-module-info").size(), 1u) << "an answered question is not asked again";
    EXPECT_EQ(StatusCount(), 1u);
}

} // namespace
