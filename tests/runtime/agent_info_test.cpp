#include <gtest/gtest.h>
#include <glib.h>

#include <string>

#include "agent-common/agent-info.h"
#include "agent-common/agent-main.h"
#include "agent-common/service-runner.h"
#include "qapi/qmp-common-commands.h"
#include "qapi/qmp-dispatch.h"
#include "qapi/qmp-registry.h"
#include "qobject/qjson.h"
#include "tests/common/hv-dispatch.h"

using hvtest::Dispatch;

TEST(AgentInfo, ModuleInfoAndBundlesThroughTheDispatcher)
{
    qmp_register_common_commands();
    EXPECT_EQ(Dispatch(R"({"execute": "get-bundles-status"})"),
              "error: Failed to get bundle conext from OSGi framework");

    static const char *const features[] = {"udp", "tcp", nullptr};
    agent_info_set_features(features);
    agent_module_t module{};
    module.module_id = AGENT_MODULE_ENFORCEMENT;
    g_hv_agent = &module;
    std::string info = Dispatch(R"({"execute": "guest-info"})");
    g_hv_agent = nullptr;
    EXPECT_EQ(info.rfind(R"({"name": "enforcement", "version": ")", 0), 0u) << info;
    EXPECT_NE(info.find(R"("protocol-version": 420005, "features": ["udp", "tcp"]})"), std::string::npos) << info;
    EXPECT_EQ(Dispatch(R"({"execute": "info"})"), Dispatch(R"({"execute": "get-agent-info"})"));

    cppmicroservices::Framework framework;
    cppmicroservices::BundleContext context = framework.GetBundleContext();
    cppmicroservices::Bundle bundle = context.InstallBundles(HV_TEST_BUNDLE).at(0);
    service_runner_set_bundle_context(context);
    EXPECT_EQ(Dispatch(R"({"execute": "get-bundles-status"})"),
              std::string(R"([{"name": "testbundle", "location": ")") + HV_TEST_BUNDLE +
                  R"(", "state": "resolved", "version": "9.9.9"}])");
    bundle.Start();
    EXPECT_NE(Dispatch(R"({"execute": "get-bundles-status"})").find(R"("state": "active")"), std::string::npos);
    service_runner_set_bundle_context(cppmicroservices::BundleContext());
    qmp_registry_cleanup();
}
