/* Per-test registry file and captured warnings for the command-line tests. */
#pragma once

#include <glib.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

class RegistryFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = g_dir_make_tmp("hv-cmdline-XXXXXX", nullptr);
        ASSERT_NE(dir_, nullptr);
        registry_ = std::string(dir_) + "/registry";
        g_setenv("HV_REGISTRY_FILE", registry_.c_str(), TRUE);
        warnings().clear();
        old_handler_ = g_log_set_default_handler(capture, nullptr);
    }

    void TearDown() override
    {
        g_log_set_default_handler(old_handler_, nullptr);
        g_unsetenv("HV_REGISTRY_FILE");
        g_remove(registry_.c_str());
        g_rmdir(dir_);
        g_free(dir_);
    }

    void WriteRegistry(const std::string &text)
    {
        ASSERT_TRUE(g_file_set_contents(registry_.c_str(), text.c_str(), -1, nullptr));
    }

    static std::vector<std::string> &warnings()
    {
        static std::vector<std::string> list;
        return list;
    }

    static bool HasWarningStartingWith(const std::string &prefix)
    {
        for (const std::string &w : warnings()) {
            if (w.rfind(prefix, 0) == 0) {
                return true;
            }
        }
        return false;
    }

    std::string dir() const { return dir_; }

private:
    static void capture(const gchar *, GLogLevelFlags level, const gchar *message, gpointer)
    {
        if (level & G_LOG_LEVEL_WARNING) {
            warnings().emplace_back(message);
        }
    }

    char *dir_ = nullptr;
    std::string registry_;
    GLogFunc old_handler_ = nullptr;
};
