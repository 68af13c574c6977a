/* A private machine per test (run-time folder, driver file beside a fake host executable),
 * captured log lines, and readers of what reached the emulated driver. */
#pragma once

#include <dirent.h>
#include <glib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <mutex>
#include <string>

#include "agent-common/agent-metrics.h"
#include "agent-common/exclude-ifaces.h"
#include "enforcement/driver-daemon/endr-engine.h"
#include "enforcement/driver-daemon/endr-state.h"
#include "enforcement/framework/agent/en-api.h"
#include "enforcement/framework/agent/en-driver.h"
#include "tests/common/endr-harness.h"
#include "tests/common/hv-test-support.h"
#include "util/error.h"

class EnApiTest : public hvtest::LoggingTest {
protected:
    void SetUp() override
    {
        hvtest::LoggingTest::SetUp();
        dir_ = hvtest::MakeTempDir("hv-en-api");
        ASSERT_FALSE(dir_.empty());
        g_setenv("HV_RUNTIME_DIR", (dir_ + "/run").c_str(), TRUE);
        g_setenv("HV_ENDR_EMU_ADDRESS", ("ipc://" + dir_ + "/endr.ipc").c_str(), TRUE);
        std::filesystem::create_directories(dir_ + "/bin");
        std::string driver = dir_ + "/bin/hv-enforcement64.sys";
        ASSERT_TRUE(g_file_set_contents(driver.c_str(), "4 FALSE\n5 FALSE\n6 FALSE\n7 FALSE\n", -1, nullptr));
        en_driver_set_host_path_for_test((dir_ + "/bin/hv-agent").c_str());
        ASSERT_TRUE(daemon_.Start());
        ASSERT_TRUE(initialize_agent_metrics());
        ASSERT_TRUE(exclude_ifaces_init());
        baseline_threads_ = ThreadCount();
    }

    void TearDown() override
    {
        if (handle_) {
            en_api_stop(handle_);
            en_api_free(handle_);
            handle_ = nullptr;
        }
        g_en_handle = nullptr;
        exclude_ifaces_cleanup();
        agent_metrics_cleanup();
        Error *err = nullptr;
        en_clean_existing_driver(&err);
        error_free(err);
        en_driver_free();
        daemon_.Stop();
        hvtest::LoggingTest::TearDown();
        en_driver_set_host_path_for_test(nullptr);
        hvtest::RemoveTree(dir_);
        g_unsetenv("HV_RUNTIME_DIR");
        g_unsetenv("HV_ENDR_EMU_ADDRESS");
    }

    en_handle *Init()
    {
        handle_ = en_api_init();
        return handle_;
    }

    static size_t ThreadCount()
    {
        size_t n = 0;
        DIR *d = opendir("/proc/self/task");
        while (struct dirent *e = d ? readdir(d) : nullptr) {
            n += e->d_name[0] != '.';
        }
        if (d) {
            closedir(d);
        }
        return n;
    }

    static int OpenDevices()
    {
        endr::Engine &e = endr::engine();
        std::lock_guard<std::mutex> guard(e.mu);
        return e.open_devices - 1; /* the daemon's own handle is no module's */
    }

    static bool WaitFor(const std::function<bool()> &done, int ms = 5000) { return hvtest::WaitFor(done, ms); }

    /* The next `times` requests with this control code fail with `error`. */
    static void ArmFault(uint32_t code, uint32_t error, uint32_t times)
    {
        ASSERT_TRUE(endr::state_update([&](endr::State &s) {
            s.faults[endr::fault_key(code)] = {error, times};
            return true;
        }));
    }

    /* The driver's copy of the lid reply for pid, once one came. */
    static bool LidReply(uint64_t pid, endr::LidReply *out)
    {
        endr::Engine &e = endr::engine();
        std::lock_guard<std::mutex> guard(e.mu);
        auto it = e.lid_replies.find(pid);
        if (it != e.lid_replies.end()) {
            *out = it->second;
        }
        return it != e.lid_replies.end();
    }

    /* Threads this process had before the test, waiting briefly for stragglers to end. */
    bool BackToBaselineThreads() const
    {
        return WaitFor([this] { return ThreadCount() <= baseline_threads_; }, 2000);
    }

    std::string dir_;
    hvtest::InProcessDaemon daemon_;
    en_handle *handle_ = nullptr;
    size_t baseline_threads_ = 0;
};

constexpr GLogLevelFlags kCritical = G_LOG_LEVEL_CRITICAL;
constexpr GLogLevelFlags kWarning = G_LOG_LEVEL_WARNING;
constexpr GLogLevelFlags kDebug = G_LOG_LEVEL_DEBUG;
constexpr GLogLevelFlags kAny = hvtest::kAnyLevel;
