/* The driver's own log, drained by the real module process into the file given with -r:
 * texts appended to the driver daemon's log with hv-endr arrive in the file as they were. */
#include <glib.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/common/hv-test-support.h"
#include "tests/common/module-fixture.h"

namespace {

using hvtest::Outcome;
using namespace std::string_literals;

class DriverLoggerModuleTest : public hvtest::ModuleFixture {
protected:
    DriverLoggerModuleTest() : ModuleFixture("hv-drvlog") {}

    std::string DriverLog() const { return dir_ + "/logs/driver.log"; }

    void AppendDriverLog(const std::string &text) const
    {
        Outcome o = Run({HV_ENDR, "log", text});
        ASSERT_EQ(o.exit_code, 0) << o.out << o.err;
    }

    void Configure(const std::string &name, uint64_t value) const
    {
        Outcome o = Run({HV_QMP, "--address", address_,
                         R"({"execute": "set-configuration", "arguments": {"fields": [{"name": ")" + name +
                             R"(", "int-value": )" + std::to_string(value) + "}]}}"});
        ASSERT_EQ(o.exit_code, 0) << o.out << o.err;
    }

    size_t Count(const std::string &text) const
    {
        std::string log = LogText();
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
            n++;
        }
        return n;
    }

    /* Spelled in hex, so that bytes that are not UTF-8 reach the driver as they are. */
    void AppendDriverLogBytes(const std::string &text) const
    {
        std::string hex;
        for (unsigned char c : text) {
            static const char digits[] = "0123456789abcdef";
            hex += digits[c >> 4];
            hex += digits[c & 15];
        }
        Outcome o = Run({HV_ENDR, "log", "--hex", hex});
        ASSERT_EQ(o.exit_code, 0) << o.out << o.err;
    }
};

TEST_F(DriverLoggerModuleTest, DriverLogReachesFileByteForByteInOrder)
{
    Start({"-r", DriverLog()});
    EXPECT_TRUE(LogHas("[driver_logger] driver logger thread is started")) << LogText();

    std::string big;
    for (int i = 0; big.size() < 40000; i++) {
        big += "line " + std::to_string(i) + " of a long driver message; ";
    }
    const std::vector<std::string> texts = {
        "first driver line",
        "latin-1 caf\xE9, a NUL \0 inside, a lone continuation \x80 and \xFF\xFE"s,
        big,
        "last driver line",
    };
    /* A text above the daemon's request limit is refused as such, not taken for a daemon gone. */
    Outcome too_long = Run({HV_ENDR, "log", std::string(70000, 'x')});
    EXPECT_EQ(too_long.exit_code, 1);
    EXPECT_NE(too_long.out.find("above the driver daemon's limit of 65536"), std::string::npos) << too_long.out;
    /* A spelling that is no hex reaches nothing. */
    EXPECT_NE(Run({HV_ENDR, "log", "--hex", "4"}).exit_code, 0);
    EXPECT_NE(Run({HV_ENDR, "log", "--hex", "4g"}).exit_code, 0);
    std::string expected;
    for (const auto &t : texts) {
        if (std::none_of(t.begin(), t.end(), [](unsigned char c) { return c == 0 || c >= 0x80; })) {
            AppendDriverLog(t);
        } else {
            AppendDriverLogBytes(t);
        }
        expected += t + "\n";
    }
    EXPECT_TRUE(hvtest::WaitFor([&] { return hvtest::ReadFile(DriverLog(), "").size() >= expected.size(); }, 30000, 20));
    Stop();
    /* Nothing lost, duplicated, reordered or re-encoded, and the stop wrote nothing more. */
    std::string got = hvtest::ReadFile(DriverLog(), "<missing>");
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    EXPECT_TRUE(LogHas("[driver_logger] driver logger thread stopped successfully")) << LogText();
}

TEST_F(DriverLoggerModuleTest, FailedRequestsDoNotEndTheLogger)
{
    Start({"-r", DriverLog()});
    Outcome o = Run({HV_ENDR, "fail", "0x1224C2", "2"});
    ASSERT_EQ(o.exit_code, 0) << o.out << o.err;
    AppendDriverLog("before");
    /* This one can only come through a request made after both failures. */
    AppendDriverLog("after");
    EXPECT_TRUE(hvtest::WaitFor([&] { return hvtest::ReadFile(DriverLog(), "") == "before\nafter\n"; }, 30000, 20))
        << hvtest::ReadFile(DriverLog(), "<missing>");
    EXPECT_TRUE(LogHas("[api] failed to get driver logs")) << LogText();
    Stop();
}

TEST_F(DriverLoggerModuleTest, IdleLoggerWritesNothingAndStopsCleanly)
{
    Start({"-r", DriverLog()});
    EXPECT_TRUE(LogHas("[driver_logger] driver logger thread is started")) << LogText();
    /* The thread sits in a driver request that would wait for log bytes: the stop must end it. */
    Stop();
    EXPECT_EQ(hvtest::ReadFile(DriverLog(), "<missing>"), "");
    EXPECT_TRUE(LogHas("[driver_logger] wait for driver logger thread to stop")) << LogText();
    EXPECT_TRUE(LogHas("[driver_logger] exiting driver logger thread")) << LogText();
    /* Closing the device under the waiting request is the stop, not a failure. */
    EXPECT_FALSE(LogHas("[api] failed to get driver logs")) << LogText();
}

TEST_F(DriverLoggerModuleTest, WithoutOptionNoLoggerRuns)
{
    Start();
    AppendDriverLog("nobody drains this");
    Stop();
    EXPECT_FALSE(LogHas("[driver_logger]")) << LogText();
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/logs"));
}

TEST_F(DriverLoggerModuleTest, UnopenableFileFailsTheStart)
{
    /* A folder where the file should be. */
    std::filesystem::create_directories(DriverLog());
    /* Bounded: a module that wrongly comes up would otherwise run on. */
    Outcome o = Run({"/usr/bin/timeout", "120", launcher_, HV_BUNDLE, "--method", "stdin", "-v", "-l", Log(), "-r", DriverLog()});
    EXPECT_NE(o.exit_code, 0);
    EXPECT_TRUE(LogHas("failed to init driver logger: unable to open driver log file: ")) << LogText() << o.out << o.err;
    EXPECT_FALSE(LogHas("[driver_logger] driver logger thread is started")) << LogText();
}

TEST_F(DriverLoggerModuleTest, HugeWaitTimeNeitherSpinsNorHoldsTheStop)
{
    Start({"-r", DriverLog()});
    Configure("api.driver_log_req_timeout_ms", INT64_MAX);
    Outcome o = Run({HV_ENDR, "fail", "0x1224C2", "1000"});
    ASSERT_EQ(o.exit_code, 0) << o.out << o.err;
    ASSERT_TRUE(hvtest::WaitFor([&] { return LogHas("[api] failed to get driver logs"); }, 30000, 20)) << LogText();
    /* After a failure the thread pauses for the wait time; it must not ask again at once. */
    sleep(2);
    EXPECT_EQ(Count("[api] failed to get driver logs"), 1u) << LogText();
    Stop();
    EXPECT_TRUE(LogHas("[driver_logger] driver logger thread stopped successfully")) << LogText();
}

TEST_F(DriverLoggerModuleTest, DaemonGoneNoBusyLoopAndCleanStop)
{
    Start({"-r", DriverLog()});
    Configure("api.driver_log_req_timeout_ms", 600000);
    AppendDriverLog("before the daemon went");
    ASSERT_TRUE(hvtest::WaitFor([&] { return hvtest::ReadFile(DriverLog(), "") == "before the daemon went\n"; }, 30000, 20));
    pid_t pid = hvtest::DriverDaemonPid(dir_ + "/run");
    ASSERT_GT(pid, 0);
    kill(pid, SIGKILL);
    ASSERT_TRUE(hvtest::WaitFor([&] { return LogHas("[api] failed to get driver logs"); }, 30000, 20)) << LogText();
    /* A request to a daemon that is gone fails at once: the next one waits out the wait time. */
    sleep(2);
    EXPECT_EQ(Count("[api] failed to get driver logs"), 1u) << LogText();
    Stop();
    EXPECT_TRUE(LogHas("[driver_logger] driver logger thread stopped successfully")) << LogText();
    EXPECT_EQ(hvtest::ReadFile(DriverLog(), "<missing>"), "before the daemon went\n");
}

TEST_F(DriverLoggerModuleTest, RotationKeepsEveryByteInOrderAcrossCompressedFiles)
{
    Start({"-r", DriverLog()});
    /* Just past the 20 MiB threshold, in texts that tell their place. */
    std::string expected;
    for (int i = 0; expected.size() <= 20u * 1048576 + 100000; i++) {
        std::string text = "text " + std::to_string(i) + " ";
        text += std::string(60000, static_cast<char>('a' + i % 26));
        /* The driver keeps a bounded log: a text it refuses is offered again once drained. */
        ASSERT_TRUE(hvtest::WaitFor([&] { return Run({HV_ENDR, "log", text}).exit_code == 0; }, 60000, 20)) << i;
        expected += text + "\n";
    }
    const std::string tail = expected.substr(expected.size() - 100);
    ASSERT_TRUE(hvtest::WaitFor(
        [&] {
            std::string now = hvtest::ReadFile(DriverLog(), "");
            return now.size() >= tail.size() && now.compare(now.size() - tail.size(), tail.size(), tail) == 0;
        },
        60000, 50));
    /* The stop waits for the compression. */
    Stop();
    EXPECT_FALSE(std::filesystem::exists(DriverLog() + ".1"));
    EXPECT_FALSE(std::filesystem::exists(DriverLog() + ".2.cab"));
    std::string out = dir_ + "/unpacked";
    std::filesystem::create_directories(out);
    Outcome o = Run({"/usr/bin/gcab", "-x", "-C", out, DriverLog() + ".1.cab"});
    ASSERT_EQ(o.exit_code, 0) << o.out << o.err;
    std::string rotated = hvtest::ReadFile(out + "/driver.log.1", "<missing>");
    std::string current = hvtest::ReadFile(DriverLog(), "<missing>");
    /* Rotated once the threshold was passed, by whole requests. */
    EXPECT_GT(rotated.size(), 20u * 1048576);
    EXPECT_LE(rotated.size(), 20u * 1048576 + 65536);
    EXPECT_FALSE(current.empty());
    EXPECT_EQ(rotated.size() + current.size(), expected.size());
    EXPECT_TRUE(rotated + current == expected);
}

TEST_F(DriverLoggerModuleTest, FullDriverLogRefusesTheTextAndSaysSo)
{
    Start({"-r", DriverLog()});
    /* One failed request, then a pause of the (long) wait time: nothing drains the log. */
    Configure("api.driver_log_req_timeout_ms", 600000);
    Outcome o = Run({HV_ENDR, "fail", "0x1224C2", "1"});
    ASSERT_EQ(o.exit_code, 0) << o.out << o.err;
    ASSERT_TRUE(hvtest::WaitFor([&] { return LogHas("[api] failed to get driver logs"); }, 30000, 20)) << LogText();
    uint64_t kept = 0;
    Outcome refused;
    for (int i = 0; i < 100; i++) {
        std::string text = "text " + std::to_string(i) + " " + std::string(60000, 'q');
        Outcome r = Run({HV_ENDR, "log", text});
        if (r.exit_code != 0) {
            refused = r;
            break;
        }
        kept += text.size() + 1;
    }
    EXPECT_NE(refused.out.find("the driver log is full"), std::string::npos) << refused.out << refused.err;
    EXPECT_GT(kept, 4000000u);
    EXPECT_LE(kept, 4194304u);
    /* What was queued stays whole; the refusal is counted. */
    Outcome status = Run({HV_ENDR, "status"});
    EXPECT_NE(status.out.find("\"pending-log-bytes\": " + std::to_string(kept)), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("\"endr.log-texts-refused\": 1"), std::string::npos) << status.out;
    /* A short text still fits after the refused long one. */
    AppendDriverLog("short");
    Stop();
}

} // namespace
