/* A private machine per test (run-time folder, driver file beside a fake host executable),
 * captured log lines, and readers of what reached the emulated driver. */
#pragma once

#include <dirent.h>
#include <glib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent-common/agent-metrics.h"
#include "agent-common/exclude-ifaces.h"
#include "enforcement/driver-emu/endr-engine.h"
#include "enforcement/driver-emu/endr-state.h"
#include "enforcement/framework/agent/en-api.h"
#include "enforcement/framework/agent/en-driver.h"
#include "util/error.h"

class EnApiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char *dir = g_dir_make_tmp("hv-en-api-XXXXXX", nullptr);
        ASSERT_NE(dir, nullptr);
        dir_ = dir;
        g_free(dir);
        g_setenv("HV_RUNTIME_DIR", (dir_ + "/run").c_str(), TRUE);
        g_setenv("HV_ENDR_EMU_ADDRESS", ("ipc://" + dir_ + "/endr.ipc").c_str(), TRUE);
        std::filesystem::create_directories(dir_ + "/bin");
        std::string driver = dir_ + "/bin/hv-enforcement64.sys";
        ASSERT_TRUE(g_file_set_contents(driver.c_str(), "4 FALSE\n5 FALSE\n6 FALSE\n7 FALSE\n", -1, nullptr));
        en_driver_set_host_path_for_test((dir_ + "/bin/hv-agent").c_str());
        {
            std::lock_guard<std::mutex> guard(log_lock());
            log().clear();
        }
        old_handler_ = g_log_set_default_handler(capture, nullptr);
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
        g_log_set_default_handler(old_handler_, nullptr);
        en_driver_set_host_path_for_test(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
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
        return e.open_devices;
    }

    static bool WaitFor(const std::function<bool()> &done, int ms = 5000)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            if (std::chrono::steady_clock::now() > until) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    /* Threads this process had before the test, waiting briefly for stragglers to end. */
    bool BackToBaselineThreads() const
    {
        return WaitFor([this] { return ThreadCount() <= baseline_threads_; }, 2000);
    }

    static bool Logged(GLogLevelFlags level, const std::string &text)
    {
        return Count(level, text) > 0;
    }

    static size_t Count(GLogLevelFlags level, const std::string &text)
    {
        std::lock_guard<std::mutex> guard(log_lock());
        size_t n = 0;
        for (const auto &[l, t] : log()) {
            n += (l & level) && t == text;
        }
        return n;
    }

    static bool LoggedPrefix(GLogLevelFlags level, const std::string &prefix)
    {
        std::lock_guard<std::mutex> guard(log_lock());
        for (const auto &[l, t] : log()) {
            if ((l & level) && t.rfind(prefix, 0) == 0) {
                return true;
            }
        }
        return false;
    }

    static bool LoggedMatching(GLogLevelFlags level, const std::string &prefix, const std::string &suffix)
    {
        std::lock_guard<std::mutex> guard(log_lock());
        for (const auto &[l, t] : log()) {
            if ((l & level) && t.size() >= prefix.size() + suffix.size() && t.rfind(prefix, 0) == 0 &&
                t.compare(t.size() - suffix.size(), suffix.size(), suffix) == 0) {
                return true;
            }
        }
        return false;
    }

    /* Index of the first line equal to text, or -1. */
    static long IndexOf(const std::string &text)
    {
        std::lock_guard<std::mutex> guard(log_lock());
        for (size_t i = 0; i < log().size(); i++) {
            if (log()[i].second == text) {
                return static_cast<long>(i);
            }
        }
        return -1;
    }

    std::string dir_;
    en_handle *handle_ = nullptr;
    size_t baseline_threads_ = 0;

private:
    static std::mutex &log_lock()
    {
        static std::mutex m;
        return m;
    }
    static std::vector<std::pair<GLogLevelFlags, std::string>> &log()
    {
        static std::vector<std::pair<GLogLevelFlags, std::string>> lines;
        return lines;
    }
    static void capture(const gchar *, GLogLevelFlags level, const gchar *message, gpointer)
    {
        std::lock_guard<std::mutex> guard(log_lock());
        log().emplace_back(level, message);
    }

    GLogFunc old_handler_ = nullptr;
};

constexpr GLogLevelFlags kCritical = G_LOG_LEVEL_CRITICAL;
constexpr GLogLevelFlags kWarning = G_LOG_LEVEL_WARNING;
constexpr GLogLevelFlags kDebug = G_LOG_LEVEL_DEBUG;
constexpr GLogLevelFlags kAny = static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK);
