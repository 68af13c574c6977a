#include "agent-common/agent-main.h"
#include "netif-fixture.h"
#include "qapi/qmp-common-commands.h"
#include "qapi/qmp-dispatch.h"
#include "qapi/qmp-registry.h"
#include "qobject/qjson.h"

namespace {

/* The reply text, or "error: " and the message. */
std::string Dispatch(const std::string &request)
{
    QObject *req = qobject_from_json(request.c_str(), nullptr);
    Error *err = nullptr;
    char *ret = do_qmp_dispatch(req, &err);
    std::string out = ret ? ret : std::string("error: ") + error_get_message(err);
    g_free(ret);
    error_free(err);
    qobject_decref(req);
    return out;
}

class Commands : public NetifNamespace {
protected:
    void SetUp() override
    {
        NetifNamespace::SetUp();
        if (!IsSkipped() && !HasFatalFailure()) {
            qmp_register_common_commands();
        }
    }

    void TearDown() override
    {
        qmp_registry_cleanup();
        NetifNamespace::TearDown();
    }
};

TEST_F(Commands, NetworkInterfacesWithTheArgumentsDefaults)
{
    EXPECT_EQ(Dispatch(R"({"execute": "guest-network-get-interfaces", "arguments": {"include-loopback": true}})"),
              R"([{"name": "lo", "bond": false, "up": true, "loopback": true, "promiscuous": false, "virtual": true, )"
              R"("ip-addresses": [{"ip-address": "::1", "ip-address-type": "ipv6", "prefix": -1}, )"
              R"({"ip-address": "127.0.0.1", "ip-address-type": "ipv4", "prefix": 8}], "luid": 1, "index": 1, )"
              R"("adapter-id": "lo"}])");
    EXPECT_EQ(Dispatch(R"({"execute": "get-network-interfaces"})"), "[]");

    std::string all = Dispatch(R"({"execute": "get-network-interfaces", "arguments": )"
                               R"({"include-virtual": true, "include-up-only": false}})");
    EXPECT_NE(all.find(R"("name": "v1")"), std::string::npos) << all;
    EXPECT_EQ(all.find(R"("name": "lo")"), std::string::npos) << all;
    std::string up = Dispatch(R"({"execute": "get-network-interfaces", "arguments": {"include-virtual": true}})");
    EXPECT_EQ(up.find(R"("name": "v1")"), std::string::npos) << up;
    EXPECT_NE(up.find(R"("name": "d0")"), std::string::npos) << up;

    ASSERT_TRUE(exclude_ifaces_init());
    ASSERT_TRUE(exclude_ifaces_add("d0"));
    EXPECT_EQ(Dispatch(R"({"execute": "get-network-interfaces", "arguments": {"include-virtual": true}})")
                  .find(R"("name": "d0")"),
              std::string::npos);
    EXPECT_NE(Dispatch(R"({"execute": "get-network-interfaces", "arguments": )"
                       R"({"include-virtual": true, "include-excluded": true}})")
                  .find(R"("name": "d0")"),
              std::string::npos);
}

ModuleInternalStatus *StatusOk(Error **)
{
    ModuleInternalStatus *status = qapi_alloc_ModuleInternalStatus();
    status->has_enforcement = true;
    status->enforcement = qapi_alloc_EnforcementInternalStatus();
    status->enforcement->revision = 42;
    return status;
}

ModuleInternalStatus *StatusFails(Error **errp)
{
    error_setg(errp, "policy lock is busy");
    return nullptr;
}

ModuleInternalStatus *StatusSilent(Error **)
{
    return nullptr;
}

TEST(ModuleInternalStatusCommand, AsksTheRunningModule)
{
    qmp_register_common_commands();
    const std::string request = R"({"execute": "get-module-internal-status"})";
    EXPECT_EQ(Dispatch(request), "error: module internal status is not supported") << "no module runs";

    agent_module_t module{};
    g_hv_agent = &module;
    EXPECT_EQ(Dispatch(request), "error: module internal status is not supported");
    module.internal_status_cb = StatusOk;
    EXPECT_EQ(Dispatch(request),
              R"({"enforcement": {"revision": 42, "operating_mode": 0, "is_roaming_on": false}})");
    module.internal_status_cb = StatusFails;
    EXPECT_EQ(Dispatch(request), "error: policy lock is busy");
    module.internal_status_cb = StatusSilent;
    EXPECT_EQ(Dispatch(request), "error: module internal status is not available");
    g_hv_agent = nullptr;
    qmp_registry_cleanup();
}

} // namespace
