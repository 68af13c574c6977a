/* A private machine for each test: run-time folder, host executable folder, driver file, captured log. */
#pragma once

#include "enforcement/framework/agent/en-driver.h"
#include "enforcement/platforms/driver-device.h"
#include "tests/common/endr-harness.h"
#include "tests/common/hv-test-support.h"
#include "util/error.h"

#include <glib.h>
#include <signal.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

class ChannelTest : public hvtest::LoggingTest {
protected:
    static constexpr const char *kAllFalse = "4 FALSE\n5 FALSE\n6 FALSE\n7 FALSE\n";

    void SetUp() override
    {
        hvtest::LoggingTest::SetUp();
        dir_ = hvtest::MakeTempDir("hv-chan");
        ASSERT_FALSE(dir_.empty());
        g_setenv("HV_RUNTIME_DIR", (dir_ + "/run").c_str(), TRUE);
        g_setenv("HV_ENDR_EMU_ADDRESS", ("ipc://" + dir_ + "/endr.ipc").c_str(), TRUE);
        g_unsetenv("HV_PLATFORM_VERSION");
        bin_ = dir_ + "/bin/";
        g_mkdir_with_parents(bin_.c_str(), 0755);
        /* The service manager starts the driver daemon found beside the driver file. */
        ASSERT_EQ(symlink(HV_ENDRD, (bin_ + "hv-endrd").c_str()), 0);
        en_driver_set_host_path_for_test((bin_ + "hv-agent").c_str());
        en_driver_set_retry_sleep_for_test(nullptr);
    }

    void TearDown() override
    {
        en_driver_free();
        Error *err = nullptr;
        en_clean_existing_driver(&err);
        error_free(err);
        /* No daemon outlives its test, whatever the test left installed. */
        platform_service_status status;
        platform_service_query(&status);
        if (status.pid) {
            ADD_FAILURE() << "driver daemon " << status.pid << " still runs after the cleanup";
            kill(status.pid, SIGKILL);
        }
        daemon_.Stop();
        hvtest::LoggingTest::TearDown();
        en_driver_set_host_path_for_test(nullptr);
        en_driver_set_retry_sleep_for_test(nullptr);
        hvtest::RemoveTree(dir_);
        g_unsetenv("HV_RUNTIME_DIR");
        g_unsetenv("HV_ENDR_EMU_ADDRESS");
        g_unsetenv("HV_PLATFORM_VERSION");
    }

    std::string DriverPath() const { return bin_ + "hv-enforcement64.sys"; }

    void WriteDriver(const std::string &text, const std::string &path = {})
    {
        std::string target = path.empty() ? DriverPath() : path;
        ASSERT_TRUE(g_file_set_contents(target.c_str(), text.c_str(), -1, nullptr));
    }

    /* Installs the service outside the channel, as an earlier module run would have. */
    void InstallService(bool start, bool disabled = false)
    {
        uint32_t code = 0;
        platform_scm *scm = platform_scm_open(0x20002, &code);
        ASSERT_NE(scm, nullptr);
        platform_service *svc = platform_service_create(scm, "hv-enforcement", "hv-enforcement", 0x30030, 1, 3, 1,
                                                        DriverPath().c_str(), nullptr, &code);
        ASSERT_NE(svc, nullptr) << code;
        if (start) {
            ASSERT_TRUE(platform_service_start(svc, &code)) << code;
        }
        if (disabled) {
            ASSERT_TRUE(platform_service_set_disabled(svc, true, &code)) << code;
        }
        platform_service_close(svc);
        platform_scm_close(scm);
    }

    static platform_service_status Service()
    {
        platform_service_status info;
        EXPECT_TRUE(platform_service_query(&info));
        return info;
    }

    /* Messages of the levels given, in order, filtered to the "[en_driver]" lines. */
    static std::vector<std::string> ChannelLines(GLogLevelFlags levels)
    {
        std::vector<std::string> lines;
        for (const std::string &t : Texts(levels)) {
            if (t.rfind("[en_driver]", 0) == 0) {
                lines.push_back(t);
            }
        }
        return lines;
    }

    std::string dir_;
    std::string bin_;
    /* For tests that look into the driver: served in-process instead of by a daemon. */
    hvtest::InProcessDaemon daemon_;
};
