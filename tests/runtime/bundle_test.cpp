#include <gtest/gtest.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <sys/resource.h>

#include <csignal>
#include <string>

#include "agent-common/osgi/framework.h"
#include "agent-common/service-runner.h"
#include "test-greeter.h"
#include "tests/common/hv-test-support.h"

namespace {

using hvtest::ReadFile;
using hvtest::WriteFile;

/* Runs in a death-test child: 0 when the replacement failed and the old file came back. */
int replace_with_tiny_file_limit(const std::string &target)
{
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {4, 4};
    setrlimit(RLIMIT_FSIZE, &limit);
    ResourceStatus st = ExtractBundleResource("testbundle", "files/b.txt", target, true, false);
    if (st != RESOURCE_FAILED_TO_EXTRACT || ReadFile(target) != "previous") {
        return 10 + st;
    }
    /* A first extraction that fails leaves no truncated file behind either. */
    const std::string fresh = target + ".fresh";
    st = ExtractBundleResource("testbundle", "files/b.txt", fresh, false, false);
    return st == RESOURCE_FAILED_TO_EXTRACT && !g_file_test(fresh.c_str(), G_FILE_TEST_EXISTS) &&
                   !g_file_test((fresh + ".tmp").c_str(), G_FILE_TEST_EXISTS)
               ? 0
               : 20 + st;
}

class BundleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.empty());
        context_ = framework_.GetBundleContext();
        bundle_ = context_.InstallBundles(HV_TEST_BUNDLE).at(0);
        service_runner_set_bundle_context(context_);
        target_ = dir_ + "/driver.sys";
    }
    void TearDown() override
    {
        service_runner_set_bundle_context(cppmicroservices::BundleContext());
    }

    cppmicroservices::Framework framework_;
    cppmicroservices::BundleContext context_;
    cppmicroservices::Bundle bundle_;
    hvtest::TempDir tmp_{"hv-bundle"};
    const std::string dir_ = tmp_.path();
    std::string target_;
};

} // namespace

/* The packed version header is read in agent_info_test; resource data, size and checksum are
 * what the extraction tests compare. */
TEST_F(BundleTest, ServicesComeAndGoWithTheBundle)
{
    EXPECT_EQ(bundle_.GetSymbolicName(), "testbundle");
    Error *err = nullptr;
    EXPECT_EQ(GetBundleService<ITestGreeter>(&context_, &err), nullptr);
    EXPECT_EQ(std::string(error_get_message(err)), "Service reference 'ITestGreeter' isn't registered");
    error_free_and_clear(&err);

    bundle_.Start();
    EXPECT_EQ(bundle_.GetState(), cppmicroservices::Bundle::STATE_ACTIVE);
    auto greeter = GetBundleService<ITestGreeter>(&context_, &err);
    ASSERT_NE(greeter, nullptr);
    EXPECT_EQ(greeter->Greet("agent"), "hello agent");
    greeter.reset();
    bundle_.Stop();
    EXPECT_EQ(GetBundleService<ITestGreeter>(&context_, &err), nullptr) << "services go with the bundle";
    error_free(err);

    EXPECT_THROW(context_.InstallBundles(dir_ + "/missing.so"), std::runtime_error);
    EXPECT_THROW(context_.InstallBundles(HV_TEST_BARE_LIBRARY), std::runtime_error) << "no resources inside";
}

TEST_F(BundleTest, GetBundleResourceNamesWhatIsMissing)
{
    Error *err = nullptr;
    EXPECT_FALSE(GetBundleResource(&context_, "other", "files/a.txt", &err).IsValid());
    EXPECT_STREQ(error_get_message(err), "Failed to find bundle 'other' in OSGi framework");
    error_free_and_clear(&err);
    EXPECT_FALSE(GetBundleResource(&context_, "testbundle", "files/x", &err).IsValid());
    EXPECT_STREQ(error_get_message(err), "Failed to find resource 'files/x' in bundle 'testbundle'");
    error_free(err);
}

/* The first extraction, an identical file left alone and one of another size replaced without a
 * backup are checked through the launcher in launcher_test. */
TEST_F(BundleTest, ExtractionComparesChecksumsAndKeepsABackupWhenAsked)
{
    auto extract = [&](const char *resource, bool replace, bool keep_backup) {
        return ExtractBundleResource("testbundle", resource, target_, replace, keep_backup);
    };
    EXPECT_EQ(extract("files/none", false, false), RESOURCE_NOT_FOUND);
    /* Same size, other bytes: the checksum tells them apart. */
    WriteFile(target_, std::string(ReadFile(HV_TEST_RESOURCE_A).size(), 'x'));
    EXPECT_EQ(extract("files/a.txt", false, false), RESOURCE_OLDER_EXIST);
    WriteFile(target_, "");
    EXPECT_EQ(extract("files/a.txt", false, false), RESOURCE_OLDER_EXIST) << "an empty file counts as unreadable";
    EXPECT_EQ(extract("files/a.txt", true, false), RESOURCE_EXTRACTED);
    EXPECT_EQ(extract("files/a.txt", false, false), RESOURCE_EXIST);

    EXPECT_EQ(extract("files/b.txt", true, true), RESOURCE_EXTRACTED);
    EXPECT_EQ(ReadFile(target_ + ".bkp"), ReadFile(HV_TEST_RESOURCE_A)) << "kept when asked to";
}

TEST_F(BundleTest, FailedReplacementRestoresThePreviousFile)
{
    WriteFile(target_, "previous");
    /* A file size limit below the resource's size makes the write fail, as a full disk would. */
    EXPECT_EXIT(exit(replace_with_tiny_file_limit(target_)), testing::ExitedWithCode(0), "");
    EXPECT_EQ(ReadFile(target_), "previous");
}

TEST(BundleContextless, ExtractionNeedsTheFramework)
{
    service_runner_set_bundle_context(cppmicroservices::BundleContext());
    EXPECT_EQ(ExtractBundleResource("testbundle", "files/a.txt", "/tmp/never", false, false), RESOURCE_FAILED_TO_EXTRACT);
    EXPECT_STREQ(resource_status_text(1), "Older resource exist");
    EXPECT_STREQ(resource_status_text(6), "");
}
