/* A private machine for each test: run-time folder, host executable folder, driver file, captured log. */
#pragma once

#include "enforcement/driver-emu/driver-emu.h"
#include "enforcement/framework/agent/en-driver.h"
#include "enforcement/platforms/driver-device.h"
#include "util/error.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

struct LogLine {
    GLogLevelFlags level;
    std::string text;
};

class ChannelTest : public ::testing::Test {
protected:
    static constexpr const char *kAllFalse = "4 FALSE\n5 FALSE\n6 FALSE\n7 FALSE\n";

    void SetUp() override
    {
        char *dir = g_dir_make_tmp("hv-chan-XXXXXX", nullptr);
        ASSERT_NE(dir, nullptr);
        dir_ = dir;
        g_free(dir);
        g_setenv("HV_RUNTIME_DIR", (dir_ + "/run").c_str(), TRUE);
        g_setenv("HV_ENDR_EMU_ADDRESS", ("ipc://" + dir_ + "/endr.ipc").c_str(), TRUE);
        g_unsetenv("HV_PLATFORM_VERSION");
        bin_ = dir_ + "/bin/";
        std::filesystem::create_directories(bin_);
        en_driver_set_host_path_for_test((bin_ + "hv-agent").c_str());
        en_driver_set_retry_sleep_for_test(nullptr);
        {
            std::lock_guard<std::mutex> guard(log_lock());
            log().clear();
        }
        old_handler_ = g_log_set_default_handler(capture, nullptr);
    }

    void TearDown() override
    {
        en_driver_free();
        Error *err = nullptr;
        en_clean_existing_driver(&err);
        error_free(err);
        g_log_set_default_handler(old_handler_, nullptr);
        en_driver_set_host_path_for_test(nullptr);
        en_driver_set_retry_sleep_for_test(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
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

    static endr_service_info Service()
    {
        endr_service_info info{};
        EXPECT_EQ(endr_service_query(&info), 0u);
        return info;
    }

    static std::string TakeError(Error *err)
    {
        std::string text = err ? error_get_message(err) : "<no error>";
        error_free(err);
        return text;
    }

    static bool Logged(GLogLevelFlags level, const std::string &text)
    {
        std::lock_guard<std::mutex> guard(log_lock());
        for (const LogLine &l : log()) {
            if ((l.level & level) && l.text == text) {
                return true;
            }
        }
        return false;
    }

    static size_t Count(GLogLevelFlags level, const std::string &text)
    {
        std::lock_guard<std::mutex> guard(log_lock());
        size_t n = 0;
        for (const LogLine &l : log()) {
            n += (l.level & level) && l.text == text;
        }
        return n;
    }

    static bool LoggedContaining(const std::string &part)
    {
        std::lock_guard<std::mutex> guard(log_lock());
        for (const LogLine &l : log()) {
            if (l.text.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    /* Messages of the levels given, in order, filtered to the "[en_driver]" lines. */
    static std::vector<std::string> ChannelLines(GLogLevelFlags levels)
    {
        std::lock_guard<std::mutex> guard(log_lock());
        std::vector<std::string> lines;
        for (const LogLine &l : log()) {
            if ((l.level & levels) && l.text.rfind("[en_driver]", 0) == 0) {
                lines.push_back(l.text);
            }
        }
        return lines;
    }

    std::string dir_;
    std::string bin_;

private:
    static std::mutex &log_lock()
    {
        static std::mutex m;
        return m;
    }
    static std::vector<LogLine> &log()
    {
        static std::vector<LogLine> lines;
        return lines;
    }
    static void capture(const gchar *, GLogLevelFlags level, const gchar *message, gpointer)
    {
        std::lock_guard<std::mutex> guard(log_lock());
        log().push_back({level, message});
    }

    GLogFunc old_handler_ = nullptr;
};
