#include <gtest/gtest.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <sys/resource.h>
#include <zlib.h>

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

TEST_F(BundleTest, ManifestResourcesAndServices)
{
    EXPECT_EQ(bundle_.GetSymbolicName(), "testbundle");
    EXPECT_EQ(bundle_.GetHeader("bundle.version"), "9.9.9") << "set at packing time";
    EXPECT_EQ(bundle_.GetHeader("bundle.activator"), "true");

    cppmicroservices::BundleResource res = bundle_.GetResource("files/a.txt");
    ASSERT_TRUE(res.IsValid());
    std::string expected = ReadFile(HV_TEST_RESOURCE_A);
    EXPECT_EQ(res.GetData(), expected);
    EXPECT_EQ(res.GetSize(), static_cast<int>(expected.size()));
    EXPECT_EQ(res.GetCrc32(), crc32(0, reinterpret_cast<const Bytef *>(expected.data()), expected.size()));
    EXPECT_EQ(res.GetName(), "a.txt");
    EXPECT_FALSE(bundle_.GetResource("files/none").IsValid());

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

TEST_F(BundleTest, ExtractionComparesReplacesAndCleansUp)
{
    EXPECT_EQ(ExtractBundleResource("testbundle", "files/none", target_, false, false), RESOURCE_NOT_FOUND);
    EXPECT_EQ(ExtractBundleResource("testbundle", "files/a.txt", target_, false, false), RESOURCE_EXTRACTED);
    EXPECT_EQ(ReadFile(target_), ReadFile(HV_TEST_RESOURCE_A));

    struct stat before {};
    ASSERT_EQ(g_stat(target_.c_str(), &before), 0);
    EXPECT_EQ(ExtractBundleResource("testbundle", "files/a.txt", target_, false, false), RESOURCE_EXIST);
    struct stat after {};
    ASSERT_EQ(g_stat(target_.c_str(), &after), 0);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec) << "an identical file is left untouched";

    /* Same size, other bytes: the checksum tells them apart. */
    std::string same_size(ReadFile(HV_TEST_RESOURCE_A).size(), 'x');
    WriteFile(target_, same_size);
    EXPECT_EQ(ExtractBundleResource("testbundle", "files/a.txt", target_, false, false), RESOURCE_OLDER_EXIST);
    WriteFile(target_, "short");
    EXPECT_EQ(ExtractBundleResource("testbundle", "files/a.txt", target_, false, false), RESOURCE_OLDER_EXIST);
    WriteFile(target_, "");
    EXPECT_EQ(ExtractBundleResource("testbundle", "files/a.txt", target_, false, false), RESOURCE_OLDER_EXIST)
        << "an empty file counts as unreadable";

    EXPECT_EQ(ExtractBundleResource("testbundle", "files/a.txt", target_, true, false), RESOURCE_EXTRACTED);
    EXPECT_EQ(ReadFile(target_), ReadFile(HV_TEST_RESOURCE_A));
    EXPECT_FALSE(g_file_test((target_ + ".bkp").c_str(), G_FILE_TEST_EXISTS)) << "no backup left behind";

    EXPECT_EQ(ExtractBundleResource("testbundle", "files/b.txt", target_, true, true), RESOURCE_EXTRACTED);
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
