/* Per-test registry file and captured warnings for the command-line tests. */
#pragma once

#include <glib.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/common/hv-test-support.h"

class RegistryFixture : public hvtest::LoggingTest {
protected:
    void SetUp() override
    {
        hvtest::LoggingTest::SetUp();
        dir_ = hvtest::MakeTempDir("hv-cmdline");
        ASSERT_FALSE(dir_.empty());
        registry_ = dir_ + "/registry";
        g_setenv("HV_REGISTRY_FILE", registry_.c_str(), TRUE);
    }

    void TearDown() override
    {
        hvtest::LoggingTest::TearDown();
        g_unsetenv("HV_REGISTRY_FILE");
        hvtest::RemoveTree(dir_);
    }

    void WriteRegistry(const std::string &text) { hvtest::WriteFile(registry_, text); }

    /* The warnings since the start or the last Clear(). */
    static std::vector<std::string> warnings() { return Texts(G_LOG_LEVEL_WARNING); }

    static bool HasWarningStartingWith(const std::string &prefix)
    {
        return LoggedPrefix(G_LOG_LEVEL_WARNING, prefix);
    }

    std::string dir() const { return dir_; }

private:
    std::string dir_;
    std::string registry_;
};
