/* The real module process started through the launcher from a root folder of its own,
 * beside the driver daemon it starts; every path lives in the test's own folder. */
#pragma once

#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/common/hv-test-support.h"

namespace hvtest {

class ModuleFixture : public ::testing::Test {
protected:
    explicit ModuleFixture(const char *tag) : tmp_(tag), dir_(tmp_.path()) {}

    void SetUp() override
    {
        ASSERT_FALSE(dir_.empty());
        std::string root = dir_ + "/root";
        std::filesystem::create_directories(root);
        launcher_ = root + "/hv-agent";
        std::filesystem::copy_file(HV_LAUNCHER, launcher_);
        std::filesystem::create_symlink(HV_ENDRD, root + "/hv-endrd");
        registry_ = dir_ + "/registry";
        WriteFile(registry_, "HV_DATA_FOLDER=" + dir_ + "/data\n");
        address_ = "ipc://" + dir_ + "/holvenstad_en_channel.ipc";
    }

    void TearDown() override
    {
        Stop();
        EXPECT_TRUE(StopDriverDaemon(dir_ + "/run"));
    }

    /* What a suite adds to the environment; the daemon started by the module inherits it. */
    virtual char **ExtraEnv(char **env) const { return env; }

    char **Env() const
    {
        char **env = g_get_environ();
        env = g_environ_setenv(env, "HV_REGISTRY_FILE", registry_.c_str(), TRUE);
        env = g_environ_setenv(env, "HV_RUNTIME_DIR", (dir_ + "/run").c_str(), TRUE);
        env = g_environ_setenv(env, "HV_ENDR_EMU_ADDRESS", ("ipc://" + dir_ + "/endr.ipc").c_str(), TRUE);
        env = g_environ_unsetenv(env, "HV_LOGGING_PROFILE");
        return ExtraEnv(env);
    }

    /* The module binds and connects its IPC addresses relative to its working folder. */
    Outcome Run(const std::vector<std::string> &args) const
    {
        g_auto(GStrv) env = Env();
        return RunProgram(args, dir_.c_str(), env);
    }

    void Start(const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> args = {"--method", "stdin"};
        args.insert(args.end(), extra.begin(), extra.end());
        StartWith(args);
    }

    /* Start without the default channel: args are all the module's options after the log ones. */
    void StartWith(const std::vector<std::string> &options)
    {
        std::vector<std::string> args = {launcher_, HV_BUNDLE, "-v", "-l", Log()};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char *> argv;
        for (auto &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        g_auto(GStrv) env = Env();
        ASSERT_TRUE(g_spawn_async(dir_.c_str(), argv.data(), env,
                                  static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL |
                                                           G_SPAWN_STDERR_TO_DEV_NULL),
                                  nullptr, nullptr, &module_, nullptr));
        ASSERT_TRUE(WaitFor([&] { return LogHas("initialization done"); }, 30000, 20)) << LogText();
        /* The command servers start after that line; clients that do not wait for a peer
         * (the control command) need the socket there. */
        ASSERT_TRUE(WaitFor([&] { return LogHas("[qmp-server-nn] started listening on NN rep socket"); }, 30000, 5))
            << LogText();
    }

    /* SIGINT, as a service stop; the module must end cleanly within a minute. */
    void Stop()
    {
        if (module_ <= 0) {
            return;
        }
        kill(module_, SIGINT);
        int status = 0;
        bool ended = WaitFor([&] { return waitpid(module_, &status, WNOHANG) == module_; }, 60000, 20);
        if (!ended) {
            kill(module_, SIGKILL);
            waitpid(module_, &status, 0);
        }
        EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << LogText();
        module_ = 0;
    }

    std::string Log() const { return dir_ + "/module.log"; }
    std::string LogText() const { return ReadFile(Log(), ""); }
    bool LogHas(const std::string &text) const { return LogText().find(text) != std::string::npos; }

    TempDir tmp_;
    const std::string dir_;
    std::string launcher_;
    std::string registry_;
    std::string address_;
    GPid module_ = 0;
};

} // namespace hvtest
