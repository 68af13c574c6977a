/* The enforcement API end to end: the real channel, the Linux device layer and the emulated driver. */
#include <chrono>
#include <thread>

#include "en-api-fixture.h"
#include "enforcement/platforms/driver-device.h"

namespace {

uint32_t FaultsLeft(uint32_t code)
{
    endr::State s = endr::state_read();
    auto it = s.faults.find(endr::fault_key(code));
    return it == s.faults.end() ? 0 : it->second.remaining;
}

void SetDriverVersion(uint64_t version)
{
    ASSERT_TRUE(endr::state_update([&](endr::State &s) {
        s.driver.version = version;
        return true;
    }));
}

using hvtest::ExitedPid;

} // namespace

TEST_F(EnApiTest, StartStopCyclesLeaveNothingBehind)
{
    en_handle *h = Init();
    ASSERT_NE(h, nullptr);
    for (int round = 0; round < 3; round++) {
        ASSERT_TRUE(en_api_start(h)) << "round " << round;
        EXPECT_TRUE(en_api_is_started(h));
        endr::State s = endr::state_read();
        EXPECT_TRUE(s.driver.role);
        EXPECT_TRUE(s.driver.started);
        EXPECT_EQ(s.driver.queue_sizes[0], 32768u);
        ASSERT_TRUE(s.driver.excluded.has_value());
        EXPECT_EQ(*s.driver.excluded, (std::array<uint64_t, 16>{}));
        EXPECT_EQ(OpenDevices(), 1);

        EXPECT_TRUE(en_api_start(h));
        EXPECT_TRUE(Logged(kDebug, "[api] api is already started"));
        EXPECT_EQ(OpenDevices(), 1);

        EXPECT_TRUE(en_api_stop(h));
        EXPECT_FALSE(en_api_is_started(h));
        EXPECT_EQ(OpenDevices(), 0);
        EXPECT_EQ(en_driver_requests_in_flight(), 0u);
        EXPECT_TRUE(BackToBaselineThreads());
    }
    EXPECT_EQ(Count(kAny, "[api] closing enforcement device handle"), 3u);
    en_api_free(h);
    handle_ = nullptr;
    EXPECT_FALSE(Logged(kWarning, "[api] enforcement device handle is still valid at exit"));
}

TEST_F(EnApiTest, FailedStartStepsCloseTheDeviceAndStopTheThread)
{
    struct Step {
        uint32_t code;
        const char *log;
    };
    const Step steps[] = {
        {0x122472, "[api] error: failed to get driver version"},
        {0x1224C5, "[api] error: failed to set the consumer role to enforcement"},
        {0x122481, "[api] error: failed to set excluded interfaces"},
        {0x122485, "[api] error: failed to start monitoring"},
        /* This one carries the request's Win32 code. */
        {0x122439, "[api] error: failed to set queue size: A device attached to the system is not functioning. (error: 31)"},
    };
    en_handle *h = Init();
    for (const Step &step : steps) {
        ArmFault(step.code, 31, 1);
        EXPECT_FALSE(en_api_start(h)) << step.log;
        EXPECT_TRUE(Logged(kCritical, step.log)) << step.log;
        EXPECT_FALSE(en_api_is_started(h));
        EXPECT_EQ(OpenDevices(), 0) << step.log;
        EXPECT_TRUE(BackToBaselineThreads()) << step.log;
    }
    EXPECT_FALSE(LoggedPrefix(kAny, "[api] starting recv thread"));
    /* The fault was used up: the next start succeeds on the same handle. */
    EXPECT_TRUE(en_api_start(h));
    EXPECT_TRUE(WaitFor([] { return en_driver_requests_in_flight() == 1; }));
}

TEST_F(EnApiTest, OpenFailureIsReportedWithTheChannelError)
{
    en_handle *h = Init();
    ASSERT_TRUE(en_api_start(h));
    ASSERT_TRUE(en_api_stop(h));
    /* The device is exclusive: a handle held elsewhere makes the module's open fail. */
    uint32_t code = 0;
    platform_device *held = platform_device_open("\\\\.\\hv-enforcement", &code);
    ASSERT_NE(held, nullptr) << code;
    EXPECT_FALSE(en_api_start(h));
    EXPECT_TRUE(LoggedPrefix(kCritical, "[api] failed to open the enforcement device: failed to open device handle"));
    EXPECT_FALSE(en_api_is_started(h));
    platform_device_close(held);
    EXPECT_TRUE(en_api_start(h));
}

class EnApiVersionTest : public EnApiTest, public ::testing::WithParamInterface<uint64_t> {};

TEST_P(EnApiVersionTest, OtherVersionFailsAfterTheRoleAndClosesTheDevice)
{
    SetDriverVersion(GetParam());
    en_handle *h = Init();
    EXPECT_FALSE(en_api_start(h));
    std::string expected = "[api] error: driver version (" + std::to_string(GetParam()) +
                           ") doesn't match api version (420005)";
    EXPECT_TRUE(Logged(kCritical, expected));
    EXPECT_EQ(OpenDevices(), 0);
    EXPECT_TRUE(BackToBaselineThreads());
    endr::State s = endr::state_read();
    EXPECT_FALSE(s.driver.excluded.has_value()) << "nothing after the version check may reach the driver";
    EXPECT_FALSE(s.driver.started);

    /* The role request comes before the comparison: a fault armed on it is consumed. */
    ArmFault(0x1224C5, 31, 1);
    EXPECT_FALSE(en_api_start(h));
    EXPECT_EQ(FaultsLeft(0x1224C5), 0u);
    EXPECT_TRUE(Logged(kCritical, "[api] error: failed to set the consumer role to enforcement"));
    EXPECT_EQ(Count(kCritical, expected), 1u);

    SetDriverVersion(420005);
    EXPECT_TRUE(en_api_start(h));
}

INSTANTIATE_TEST_SUITE_P(OneOff, EnApiVersionTest, ::testing::Values(420004u, 420006u));

/* A live process's request is answered from the map in en_lid_map_test. */
TEST_F(EnApiTest, LidRequestForAnExitedProcessGetsTheDefaultLid)
{
    en_handle *h = Init();
    ASSERT_TRUE(en_api_start(h));
    uint64_t pid = ExitedPid();
    ASSERT_EQ(endr::engine_raise_lid_request(pid), 0u);
    endr::LidReply reply{};
    ASSERT_TRUE(WaitFor([&] { return LidReply(pid, &reply); }));
    EXPECT_EQ(reply.count, 1u);
    EXPECT_EQ(reply.lids[0], 1u);
    EXPECT_EQ(reply.lids[1], 0u);
    EXPECT_EQ(reply.cid, 0u);
    EXPECT_FALSE(reply.update);
    std::string p = std::to_string(pid);
    EXPECT_TRUE(LoggedPrefix(kWarning, "[api] failed to fetch process info for pid " + p + ": error opening handle "
                                                                                         "to process " + p));
    EXPECT_TRUE(Logged(kDebug, "[api] sending lid reply: pid: " + p + ", lids: 1(1)"));
    EXPECT_EQ(agent_metrics_get("fetch_process_info.enter"), 1u);
    EXPECT_EQ(agent_metrics_get("fetch_process_info.exit"), 1u);
}

TEST_F(EnApiTest, ExistingLidsUpdateAnswersRunningProcessesAsUpdates)
{
    en_handle *h = Init();
    ASSERT_TRUE(en_api_start(h));
    ASSERT_TRUE(en_api_update_existing_lids(h));
    endr::LidReply reply{};
    ASSERT_TRUE(LidReply(static_cast<uint64_t>(getpid()), &reply));
    EXPECT_TRUE(reply.update);
    EXPECT_EQ(reply.count, 1u);
    EXPECT_EQ(reply.lids[0], 1u);
    EXPECT_FALSE(LidReply(ExitedPid(), &reply));
}

TEST_F(EnApiTest, StopWhileTheReceiveThreadWaitsAbortsTheReadAndJoins)
{
    en_handle *h = Init();
    ASSERT_TRUE(en_api_start(h));
    ASSERT_TRUE(WaitFor([] { return en_driver_requests_in_flight() == 1; }));
    EXPECT_TRUE(en_api_stop(h));
    EXPECT_TRUE(Logged(kWarning, "[en_driver] ioctl operation aborted"));
    EXPECT_FALSE(Logged(kWarning, "[api] failed to read packet"));
    long closing = IndexOf("[api] closing enforcement device handle");
    long waiting = IndexOf("[api] waiting for recv thread");
    ASSERT_GE(closing, 0);
    ASSERT_GT(waiting, closing);
    EXPECT_TRUE(LoggedPrefix(G_LOG_LEVEL_MESSAGE, "[api] exiting recv thread: "));
    EXPECT_EQ(en_driver_requests_in_flight(), 0u);
    EXPECT_TRUE(BackToBaselineThreads());
}

TEST_F(EnApiTest, ReadFailuresWhileRunningAreRetried)
{
    en_handle *h = Init();
    ASSERT_TRUE(en_api_start(h));
    ASSERT_TRUE(WaitFor([] { return en_driver_requests_in_flight() == 1; }));
    /* The pending read is not affected; arm failures for the reads that follow a served event. */
    ArmFault(0x122422, 31, 2);
    uint64_t self = static_cast<uint64_t>(getpid());
    ASSERT_EQ(endr::engine_raise_lid_request(self), 0u);
    ASSERT_TRUE(WaitFor([] { return FaultsLeft(0x122422) == 0; }));
    {
        endr::Engine &e = endr::engine();
        std::lock_guard<std::mutex> guard(e.mu);
        e.lid_replies.clear();
    }
    ASSERT_EQ(endr::engine_raise_lid_request(self), 0u);
    endr::LidReply reply{};
    EXPECT_TRUE(WaitFor([&] { return LidReply(self, &reply); }));
    EXPECT_EQ(Count(kWarning, "[api] failed to read packet: A device attached to the system is not functioning. (error: 31)"), 2u);
}

TEST_F(EnApiTest, ADriverThatIsGoneIsRetriedAtAFewReadsASecondAndStopStaysPrompt)
{
    en_handle *h = Init();
    ASSERT_TRUE(en_api_start(h));
    ASSERT_TRUE(WaitFor([] { return en_driver_requests_in_flight() == 1; }));
    auto failures = [] { return CountPrefix(kWarning, "[api] failed to read packet"); };
    auto gone = std::chrono::steady_clock::now();
    daemon_.Stop();
    ASSERT_TRUE(WaitFor([&] { return failures() >= 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    /* Each failed read is followed by a wait that doubles up to a second; load only lowers the count. */
    size_t seen = failures();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - gone).count();
    EXPECT_LE(seen, 10 + static_cast<size_t>(1.5 * seconds)) << seen << " failed reads in " << seconds << " s";
    EXPECT_TRUE(LoggedPrefix(kWarning, "[api] failed to read packet: "));

    /* Stop right after a failure, at the start of a second-long wait: it does not wait it out. */
    ASSERT_TRUE(hvtest::WaitFor([&] { return failures() > seen; }, 5000, 1));
    auto t0 = std::chrono::steady_clock::now();
    std::thread stopper([h] { EXPECT_TRUE(en_api_stop(h)); });
    /* The receive thread ends as stop starts, not when the rest of stop is done. */
    bool exited = hvtest::WaitFor([] { return LoggedPrefix(G_LOG_LEVEL_MESSAGE, "[api] exiting recv thread: "); }, 5000, 1);
    auto took = std::chrono::steady_clock::now() - t0;
    stopper.join();
    ASSERT_TRUE(exited);
    EXPECT_LT(took, std::chrono::milliseconds(500));
    EXPECT_TRUE(BackToBaselineThreads());
}

/* The configuration tests cover the other settings and a refused one; these have no field of their own. */
TEST_F(EnApiTest, SettersReachTheDriverAndLogTheirOutcome)
{
    en_handle *h = Init();
    ASSERT_TRUE(en_api_start(h));
    EXPECT_TRUE(en_api_set_block_non_tcp_udp(h, true));
    EXPECT_TRUE(Logged(kDebug, "[api] driver block icmp set to: 1"));
    EXPECT_EQ(endr::state_read().driver.settings["block-non-tcp-udp"], 1u);

    uint8_t blocklist[4] = {};
    EXPECT_FALSE(en_api_set_dns_blocklist_policy(h, blocklist, 0));
    EXPECT_TRUE(Logged(kWarning, "[api] buffer cannot be of size 0"));
}

TEST_F(EnApiTest, MissingHandleOrBufferIsRefusedByName)
{
    EXPECT_FALSE(en_api_set_enforcement_mode(nullptr, 3));
    EXPECT_TRUE(LoggedMatching(kCritical, "[en_api_set_enforcement_mode:", "] en_handle is NULL"));
    EXPECT_FALSE(en_api_platform_add_chain(Init(), nullptr, 260));
    EXPECT_TRUE(LoggedMatching(kCritical, "[en_api_platform_add_chain:", "] buf is NULL"));
}

TEST_F(EnApiTest, RuleWrapperRefusesMissingAndLongNamesWithAnError)
{
    en_handle *h = Init();
    std::string long_name(128, 'x');
    uint8_t rule[8] = {};
    struct Case {
        const char *table, *chain;
        const void *rule;
        const char *error; /* prefix */
    } cases[] = {
        {nullptr, "chain", rule, "[en_api_add_rule:"},
        {"INPUT", nullptr, rule, "[en_api_add_rule:"},
        {"INPUT", "chain", nullptr, "[en_api_add_rule:"},
        {long_name.c_str(), "chain", rule, "[api] table name is too long"},
        {"INPUT", long_name.c_str(), rule, "[api] chain name is too long"},
    };
    for (const Case &c : cases) {
        Error *err = nullptr;
        EXPECT_FALSE(en_api_add_rule(h, c.table, c.chain, c.rule, sizeof rule, &err));
        std::string message = hvtest::TakeMessage(err);
        EXPECT_EQ(message.rfind(c.error, 0), 0u) << message;
    }
    EXPECT_TRUE(LoggedMatching(kCritical, "[en_api_add_rule:", "] table_name is NULL"));
    EXPECT_TRUE(LoggedMatching(kCritical, "[en_api_add_rule:", "] chain_name is NULL"));
    EXPECT_TRUE(Logged(kWarning, "[api] table name is too long"));
    EXPECT_TRUE(Logged(kWarning, "[api] chain name is too long"));
    EXPECT_EQ(endr::engine().counters["endr.requests"], 0) << "nothing reaches the driver";
}

/* The driver log request, written out byte by byte: the driver reads the wait time, buffer and
 * sizes, writes the log bytes into the buffer and their count at offset 24. */
TEST_F(EnApiTest, DriverLogRequestLayoutAsTheDriverReadsAndFillsIt)
{
    en_handle *h = Init();
    ASSERT_TRUE(en_api_start(h));
    ASSERT_EQ(endr::engine_append_log("driver line one"), 0u);
    ASSERT_EQ(endr::engine_append_log("driver line two"), 0u);
    const std::string text = "driver line one\ndriver line two\n";

    std::vector<uint8_t> buffer(65536, 0xEE);
    uint8_t request[28];
    static_assert(sizeof request == EN_API_LOG_REQUEST_SIZE);
    auto put = [&request](size_t offset, uint64_t value, size_t width) {
        for (size_t i = 0; i < width; i++) {
            request[offset + i] = static_cast<uint8_t>(value >> (8 * i));
        }
    };
    put(0, 2000, 8);
    put(8, reinterpret_cast<uintptr_t>(buffer.data()), 8);
    put(16, 0x10000, 4);
    put(20, 0x800, 4);
    put(24, 0xA5A5A5A5, 4);
    EXPECT_EQ(en_api_get_driver_logs(h, request), text.size());
    EXPECT_EQ(std::vector<uint8_t>(request + 24, request + 28),
              (std::vector<uint8_t>{static_cast<uint8_t>(text.size()), 0, 0, 0}));
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + static_cast<long>(text.size())), text);
    EXPECT_EQ(buffer[text.size()], 0xEE);

    /* A request whose constant field is not 2048 is no log request. */
    put(20, 0x801, 4);
    put(0, 0, 8);
    EXPECT_EQ(en_api_get_driver_logs(h, request), 0u);
}
