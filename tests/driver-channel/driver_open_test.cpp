#include "channel-fixture.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {
platform_device *Open(std::string *error)
{
    Error *err = nullptr;
    platform_device *device = do_en_driver_win_open(&err);
    *error = hvtest::TakeMessage(err);
    return device;
}

std::vector<unsigned> s_sleeps;
bool s_enable_on_sleep = false;

void SetDisabled(bool disabled)
{
    uint32_t code = 0;
    platform_scm *scm = platform_scm_open(0x20002, &code);
    ASSERT_NE(scm, nullptr);
    platform_service *svc = platform_service_open(scm, "hv-enforcement", 0x30030, &code);
    ASSERT_NE(svc, nullptr) << code;
    ASSERT_TRUE(platform_service_set_disabled(svc, disabled, &code)) << code;
    platform_service_close(svc);
    platform_scm_close(scm);
}

void RecordSleep(unsigned seconds)
{
    s_sleeps.push_back(seconds);
    if (s_enable_on_sleep) {
        SetDisabled(false);
    }
}

std::vector<std::string> From(const std::vector<std::string> &lines, const std::string &first)
{
    return {std::find(lines.begin(), lines.end(), first), lines.end()};
}
} // namespace

class InstallTest : public ChannelTest, public ::testing::WithParamInterface<bool> {};

TEST_P(InstallTest, MissingServiceIsCreatedStartedAndOpenedOnTheSecondAttempt)
{
    bool dependency = GetParam();
    WriteDriver(dependency ? "4 FALSE\n5 FALSE\n6 TRUE\n7 FALSE\n" : kAllFalse);
    ASSERT_TRUE(en_driver_init(true));
    std::string error;
    platform_device *device = Open(&error);
    ASSERT_NE(device, nullptr) << error;

    platform_service_status info = Service();
    EXPECT_TRUE(info.installed);
    EXPECT_TRUE(info.running);
    EXPECT_EQ(info.binary_path, DriverPath());
    EXPECT_EQ(info.ipfilter_dependency, dependency);
    std::vector<std::string> expected = {
        "[en_driver] opening driver handle",
        "[en_driver] driver open: first device open attempt",
        "[en_driver] driver open: device not found, installing and starting driver service now",
        "[en_driver] opening driver service",
        "[en_driver] creating driver service",
        "[en_driver] starting driver service",
        "[en_driver] driver service started",
        "[en_driver] driver open: second device open attempt",
        "[en_driver] opened device handle",
    };
    EXPECT_EQ(From(ChannelLines(GLogLevelFlags(G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_DEBUG)),
                   "[en_driver] opening driver handle"),
              expected);

    uint64_t version = 0;
    EXPECT_TRUE(en_driver_read_output(device, EN_IOCTL_GET_DRIVER_VERSION, &version, sizeof version));
    EXPECT_EQ(version, 420005u);
    platform_device_close(device);

    /* The service outlives the handle: the next open finds the device at once. */
    device = Open(&error);
    ASSERT_NE(device, nullptr) << error;
    EXPECT_EQ(Count(G_LOG_LEVEL_MESSAGE, "[en_driver] creating driver service"), 1u);
    EXPECT_EQ(Count(G_LOG_LEVEL_DEBUG, "[en_driver] driver open: second device open attempt"), 1u);
    platform_device_close(device);
    EXPECT_TRUE(Service().running);
}

INSTANTIATE_TEST_SUITE_P(Dependency, InstallTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &p) {
                             return std::string(p.param ? "with_ipfilter" : "without_ipfilter");
                         });

TEST_F(ChannelTest, RunningServiceWithoutDeviceIsStoppedAndDeleted)
{
    WriteDriver(std::string(kAllFalse) + "device FALSE\n");
    InstallService(true);
    ASSERT_TRUE(en_driver_init(true));
    std::string error;
    EXPECT_EQ(Open(&error), nullptr);
    EXPECT_EQ(error, "failed to open device handle after successfully installing: The system cannot find the file "
                     "specified. (error: 2)");
    EXPECT_TRUE(Logged(G_LOG_LEVEL_MESSAGE, "[en_driver] driver service already exists"));
    EXPECT_TRUE(Logged(G_LOG_LEVEL_MESSAGE, "[en_driver] driver service already running"));
    EXPECT_TRUE(Logged(G_LOG_LEVEL_MESSAGE, "[en_driver] stopped and deleted driver service"));
    EXPECT_FALSE(Service().installed);

    /* The next attempt creates the service afresh. */
    WriteDriver(kAllFalse);
    platform_device *device = Open(&error);
    ASSERT_NE(device, nullptr) << error;
    EXPECT_TRUE(Logged(G_LOG_LEVEL_MESSAGE, "[en_driver] creating driver service"));
    platform_device_close(device);
}

TEST_F(ChannelTest, AccessDeniedInstallsNothing)
{
    WriteDriver(kAllFalse);
    InstallService(true);
    uint32_t code = 0;
    platform_device *holder = platform_device_open("\\\\.\\hv-enforcement", &code);
    ASSERT_NE(holder, nullptr) << code;
    ASSERT_TRUE(en_driver_init(true));

    std::string error;
    EXPECT_EQ(Open(&error), nullptr);
    EXPECT_EQ(error, "failed to open device handle: Access is denied. (error: 5)");
    EXPECT_FALSE(LoggedContaining("installing"));
    EXPECT_FALSE(LoggedContaining("driver service"));
    platform_service_status info = Service();
    EXPECT_TRUE(info.installed && info.running);

    platform_device_close(holder);
    platform_device *device = Open(&error);
    ASSERT_NE(device, nullptr) << error;
    platform_device_close(device);
}

struct SignatureCase {
    const char *name;
    const char *version; /* NULL: the default platform version */
    bool hint;
};

void PrintTo(const SignatureCase &c, std::ostream *os) { *os << c.name; }

class SignatureTest : public ChannelTest, public ::testing::WithParamInterface<SignatureCase> {};

TEST_P(SignatureTest, UnsignedDriverNamesTheHintOnlyOnSixZeroAndSixOne)
{
    if (GetParam().version) {
        g_setenv("HV_PLATFORM_VERSION", GetParam().version, TRUE);
    }
    WriteDriver(std::string(kAllFalse) + "signed FALSE\n");
    ASSERT_TRUE(en_driver_init(true));
    std::string error;
    EXPECT_EQ(Open(&error), nullptr);
    EXPECT_EQ(error, GetParam().hint ? "Driver signature verification failed. You may be missing a Microsoft hotfix "
                                       "to support SHA-2 signatures. Please contact support."
                                     : "Driver signature verification failed. Please contact support.");
    EXPECT_FALSE(Service().running);
    /* A service that never ran cannot be stopped, so the cleanup reports it and keeps it. */
    EXPECT_TRUE(Logged(G_LOG_LEVEL_WARNING, "[en_driver] driver cleanup failed: failed to stop enforcement service "
                                            "driver: The service has not been started. (error: 426)"));
}

INSTANTIATE_TEST_SUITE_P(Versions, SignatureTest,
                         ::testing::Values(SignatureCase{"default", nullptr, false},
                                           SignatureCase{"v5_2", "5.2", false}, SignatureCase{"v6_0", "6.0", true},
                                           SignatureCase{"v6_1", "6.1", true}, SignatureCase{"v6_2", "6.2", false}),
                         [](const ::testing::TestParamInfo<SignatureCase> &p) { return std::string(p.param.name); });

TEST_F(ChannelTest, DisabledServiceIsRetriedOnceAfterFiveSeconds)
{
    const std::string disabled_error = "failed to start driver service: The service cannot be started, either "
                                       "because it is disabled or because it has no enabled devices associated "
                                       "with it. (error: 422)";
    WriteDriver(kAllFalse);
    InstallService(false, true);
    s_sleeps.clear();
    s_enable_on_sleep = true;
    en_driver_set_retry_sleep_for_test(RecordSleep);
    ASSERT_TRUE(en_driver_init(true));

    std::string error;
    platform_device *device = Open(&error);
    ASSERT_NE(device, nullptr) << error;
    EXPECT_EQ(s_sleeps, std::vector<unsigned>{5});
    EXPECT_TRUE(Logged(G_LOG_LEVEL_CRITICAL,
                       "[en_driver] driver load failed because service is disabled (" + disabled_error +
                           "), this happens when the service was recently removed and didn't sync yet, trying "
                           "again in 5 seconds..."));
    EXPECT_EQ(Count(G_LOG_LEVEL_DEBUG, "[en_driver] driver open: first device open attempt"), 2u);
    platform_device_close(device);

    /* Still disabled after the pause: one retry only, then the error. */
    Error *err = nullptr;
    ASSERT_TRUE(en_clean_existing_driver(&err)) << hvtest::TakeMessage(err);
    InstallService(false, true);
    s_sleeps.clear();
    s_enable_on_sleep = false;
    EXPECT_EQ(Open(&error), nullptr);
    EXPECT_EQ(error, disabled_error);
    EXPECT_EQ(s_sleeps, std::vector<unsigned>{5});
}

TEST_F(ChannelTest, CleanExistingDriver)
{
    WriteDriver(kAllFalse);
    Error *err = nullptr;
    EXPECT_TRUE(en_clean_existing_driver(&err));
    EXPECT_EQ(err, nullptr);
    EXPECT_TRUE(Logged(G_LOG_LEVEL_DEBUG, "[en_driver] driver service not found, nothing to clean up"));

    InstallService(true);
    EXPECT_TRUE(en_clean_existing_driver(&err)) << hvtest::TakeMessage(err);
    EXPECT_TRUE(Logged(G_LOG_LEVEL_MESSAGE, "[en_driver] stopped and deleted driver service"));
    EXPECT_FALSE(Service().installed);

    InstallService(false);
    EXPECT_FALSE(en_clean_existing_driver(&err));
    const std::string stop_error =
        "failed to stop enforcement service driver: The service has not been started. (error: 426)";
    EXPECT_EQ(hvtest::TakeMessage(err), stop_error);
    EXPECT_TRUE(Logged(G_LOG_LEVEL_CRITICAL, "failed to stop driver: " + stop_error));
    EXPECT_TRUE(Service().installed);
}
