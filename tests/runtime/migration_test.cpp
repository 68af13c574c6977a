#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "agent-common/service-runner.h"

namespace {

struct Calls {
    int preinst = 0;
    int postinst = 0;
    std::string version;
};

class Launcher : public ILauncherService {
public:
    explicit Launcher(std::set<int> modes) : modes_(std::move(modes)) {}
    std::set<int> GetLaunchModes() override { return modes_; }

private:
    std::set<int> modes_;
};

class Migration : public IMigrationService {
public:
    Migration(Calls *calls, int32_t status) : calls_(calls), status_(status) {}
    int32_t CheckHook(const char *, const char *, const char *, Error **) override { return 0; }
    int32_t PreinstHook(const char *version, const char *, const char *, Error **errp) override
    {
        calls_->preinst++;
        calls_->version = version;
        return answer(errp);
    }
    int32_t PostinstHook(const char *, const char *, const char *, Error **errp) override
    {
        calls_->postinst++;
        return answer(errp);
    }
    int32_t PrermHook(const char *, const char *, const char *, Error **) override { return 0; }
    int32_t PostrmHook(const char *, const char *, const char *, Error **) override { return 0; }

private:
    int32_t answer(Error **errp)
    {
        if (status_ == 1) {
            error_setg(errp, "disk layout too old");
        }
        return status_;
    }
    Calls *calls_;
    int32_t status_;
};

/* Base runner: no options of its own, so Init is only the profile, logger and hook steps. */
struct RunnerFixture {
    cppmicroservices::Framework framework;
    cppmicroservices::BundleContext context = framework.GetBundleContext();
    Calls calls;
    ServiceRunner runner;
    std::vector<char *> extra;
    char program[8] = "hv-test";
    char *argv[2] = {program, nullptr};

    RunnerFixture(std::set<int> modes, bool with_migration, int32_t status, bool dry_run)
    {
        context.RegisterService<ILauncherService>(std::make_shared<Launcher>(std::move(modes)));
        if (with_migration) {
            context.RegisterService<IMigrationService>(std::make_shared<Migration>(&calls, status));
        }
        static char dry[] = "--dry-run";
        if (dry_run) {
            extra.push_back(dry);
        }
    }
    bool init()
    {
        ServiceRunnerArgs args{extra.size(), extra.data(), 1, argv, &context, nullptr};
        bool ok = runner.Init(&args);
        service_runner_set_bundle_context(cppmicroservices::BundleContext());
        return ok;
    }
};

} // namespace

TEST(Migration, DryRunRunsThePreinstHookAndReturnsItsVerdict)
{
    RunnerFixture ok({1}, true, 2, true);
    EXPECT_TRUE(ok.init()) << "any status but 1 is success";
    EXPECT_EQ(ok.calls.preinst, 1);
    EXPECT_FALSE(ok.calls.version.empty());

    RunnerFixture failing({1}, true, 1, true);
    EXPECT_FALSE(failing.init());
    EXPECT_EQ(failing.calls.preinst, 1);

    RunnerFixture plain({1}, true, 1, false);
    EXPECT_TRUE(plain.init()) << "without --dry-run no hook runs in Init";
    EXPECT_EQ(plain.calls.preinst, 0);
}

TEST(Migration, LaunchModeZeroSkipsTheHooks)
{
    RunnerFixture skipped({0, 3}, true, 1, true);
    EXPECT_TRUE(skipped.init());
    EXPECT_EQ(skipped.calls.preinst, 0);

    RunnerFixture none({1}, false, 0, true);
    EXPECT_TRUE(none.init()) << "a missing migration service is no failure";
}

TEST(Migration, FailedPostinstHookKeepsTheModuleFromRunning)
{
    RunnerFixture failing({1}, true, 1, false);
    ASSERT_TRUE(failing.init());
    service_runner_set_bundle_context(failing.context);
    EXPECT_FALSE(failing.runner.Run()) << "the main loop is never entered";
    EXPECT_EQ(failing.calls.postinst, 1);
    service_runner_set_bundle_context(cppmicroservices::BundleContext());
}
