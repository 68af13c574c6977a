/*
 * Each namespace test moves the process into fresh network and mount namespaces with its
 * own sysfs and builds its interfaces there: lo, a software interface d0 with three
 * addresses, and a veth pair v0 (up, peer down) / v1 (down). The host's interfaces are
 * never seen.
 */
#include <glib.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/mount.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "agent-common/agent-main.h"
#include "agent-common/exclude-ifaces.h"
#include "qapi/qmp-common-commands.h"
#include "qapi/qmp-dispatch.h"
#include "qapi/qmp-output-visitor.h"
#include "qapi/qmp-registry.h"
#include "qobject/qjson.h"
#include "util/aux-netif.h"
#include "util/error.h"
#include "tests/common/hv-dispatch.h"

namespace {

std::vector<std::string> g_log;

void Capture(const gchar *, GLogLevelFlags, const gchar *message, gpointer)
{
    g_log.emplace_back(message);
}

bool Logged(const std::string &line)
{
    return std::find(g_log.begin(), g_log.end(), line) != g_log.end();
}

using hvtest::Dispatch;

/* Lower case with colons, from the namespace's own sysfs. */
std::string SysfsAddress(const std::string &name)
{
    g_autofree char *path = g_strdup_printf("/sys/class/net/%s/address", name.c_str());
    g_autofree char *text = nullptr;
    return g_file_get_contents(path, &text, nullptr, nullptr) ? g_strstrip(text) : "";
}

class Netif : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
            GTEST_SKIP() << "needs CAP_SYS_ADMIN for private network and mount namespaces";
        }
        /* Private propagation first, so the sysfs mount never reaches the host. */
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) {
            GTEST_SKIP() << "cannot mount a private sysfs: " << strerror(errno);
        }
        if (!Ip("link set lo up")) {
            GTEST_SKIP() << "needs the ip tool (iproute2)";
        }
        /* dummy when the kernel has it, else ifb: neither has a device behind it. */
        if (!Ip("link add d0 type dummy") && !Ip("link add d0 type ifb")) {
            GTEST_SKIP() << "the kernel offers neither dummy nor ifb interfaces";
        }
        for (const char *cmd : {"link add v0 type veth peer name v1", "link set d0 addrgenmode none",
                                "link set v0 addrgenmode none", "link set v1 addrgenmode none", "link set d0 up",
                                "link set v0 up", "addr add 192.168.1.10/24 dev d0", "addr add 10.1.2.3/31 dev d0",
                                "addr add fd00::1/64 dev d0 nodad"}) {
            ASSERT_TRUE(Ip(cmd)) << cmd;
        }
        g_log.clear();
        old_handler_ = g_log_set_default_handler(Capture, nullptr);
    }

    void TearDown() override
    {
        aux_set_iface_list_hook(nullptr);
        exclude_ifaces_cleanup();
        if (old_handler_) {
            g_log_set_default_handler(old_handler_, nullptr);
        }
    }

    static bool Ip(const std::string &args)
    {
        g_autofree char *cmd = g_strdup_printf("ip %s", args.c_str());
        int status = -1;
        return g_spawn_command_line_sync(cmd, nullptr, nullptr, &status, nullptr) && status == 0;
    }

    static aux_iface_options Everything()
    {
        aux_iface_options o;
        o.include_loopback = true;
        o.up_only = false;
        o.include_virtual = true;
        return o;
    }

    /* The records as JSON text, and their names. */
    static std::string Json(const aux_iface_options &options, std::vector<std::string> *names = nullptr)
    {
        Error *err = nullptr;
        NetworkInterfaceList *list = get_network_interfaces(&options, &err);
        EXPECT_EQ(err, nullptr) << error_get_message(err);
        error_free(err);
        for (NetworkInterfaceList *l = list; l && names; l = l->next) {
            names->emplace_back(l->value->name);
        }
        QmpOutputVisitor *qov = qmp_output_visitor_new();
        visit_type_NetworkInterfaceList(qmp_output_get_visitor(qov), &list, nullptr, nullptr);
        g_autofree char *json = qmp_output_get_json(qov, true);
        qapi_free_NetworkInterfaceList(list);
        return json;
    }

    static std::vector<std::string> Names(const aux_iface_options &options)
    {
        std::vector<std::string> names;
        Json(options, &names);
        std::sort(names.begin(), names.end());
        return names;
    }

    GLogFunc old_handler_ = nullptr;
};

std::string Record(const std::string &name, bool up, const std::string &addresses)
{
    std::string index = std::to_string(if_nametoindex(name.c_str()));
    std::string hw = name == "lo" ? "" : R"("hardware-address": ")" + SysfsAddress(name) + R"(", )";
    return R"({"name": ")" + name + R"(", )" + hw + R"("bond": false, "up": )" + (up ? "true" : "false") +
           R"(, "loopback": )" + (name == "lo" ? "true" : "false") +
           R"(, "promiscuous": false, "virtual": true, "ip-addresses": [)" + addresses + R"(], "luid": )" + index +
           R"(, "index": )" + index + R"(, "adapter-id": ")" + name + R"("})";
}

TEST_F(Netif, EveryInterfaceInReverseIndexOrderWithItsAddressesReversed)
{
    /* v0 is up over a peer that is down: lower layer down does not count as down. */
    std::map<unsigned, std::string, std::greater<>> expected = {
        {if_nametoindex("lo"), Record("lo", true,
                                      R"({"ip-address": "::1", "ip-address-type": "ipv6", "prefix": -1}, )"
                                      R"({"ip-address": "127.0.0.1", "ip-address-type": "ipv4", "prefix": 8})")},
        {if_nametoindex("d0"), Record("d0", true,
                                      R"({"ip-address": "fd00::1", "ip-address-type": "ipv6", "prefix": -1}, )"
                                      R"({"ip-address": "10.1.2.3", "ip-address-type": "ipv4", "prefix": 31}, )"
                                      R"({"ip-address": "192.168.1.10", "ip-address-type": "ipv4", "prefix": 24})")},
        {if_nametoindex("v0"), Record("v0", true, "")},
        {if_nametoindex("v1"), Record("v1", false, "")},
    };
    std::string text = "[";
    for (const auto &[index, record] : expected) {
        text += (text.size() > 1 ? ", " : "") + record;
    }
    EXPECT_EQ(Json(Everything()), text + "]");
}

TEST_F(Netif, OptionsFilterLoopbackDownAndVirtualInterfaces)
{
    aux_iface_options defaults;
    EXPECT_EQ(Json(defaults), "[]") << "an empty result, and no error";
    EXPECT_TRUE(Logged("[aux] filtering out interface 'lo' because it is loopback"));
    EXPECT_TRUE(Logged("[aux] filtering out interface 'v1' because it is down"));
    EXPECT_TRUE(Logged("[aux] filtering out interface 'd0' because it is virtual"));

    aux_iface_options options;
    options.include_virtual = true;
    EXPECT_EQ(Names(options), (std::vector<std::string>{"d0", "v0"}));
    options.include_bonding = options.include_vlan = false;
    EXPECT_EQ(Names(options), (std::vector<std::string>{"d0", "v0"})) << "nothing is a bond or a VLAN";

    /* Loopback survives the virtual filter, marked virtual, but not the down filter. */
    aux_iface_options loopback;
    loopback.include_loopback = true;
    EXPECT_NE(Json(loopback).find(R"("loopback": true, "promiscuous": false, "virtual": true)"), std::string::npos);
    ASSERT_TRUE(Ip("link set lo down"));
    EXPECT_EQ(Names(loopback), std::vector<std::string>{});
    loopback.up_only = false;
    EXPECT_EQ(Names(loopback), std::vector<std::string>{"lo"});
}

std::vector<std::string> g_hooked;

void OfficeHook(NetworkInterfaceList *list)
{
    for (; list; list = list->next) {
        g_hooked.emplace_back(list->value->name);
        list->value->has_category = true;
        list->value->category = NETWORK_CATEGORY_OFFICE;
    }
}

TEST_F(Netif, ExcludedInterfacesLeaveAfterTheHookUnlessRequested)
{
    /* An IPv4 address under its own label still belongs to d0. */
    ASSERT_TRUE(Ip("addr add 172.16.0.1/16 dev d0 label d0:1"));
    EXPECT_EQ(Names(Everything()), (std::vector<std::string>{"d0", "lo", "v0", "v1"})) << "module not started";
    ASSERT_TRUE(exclude_ifaces_init());
    ASSERT_TRUE(exclude_ifaces_add("d0"));
    EXPECT_TRUE(exclude_ifaces_is_address_excluded("172.16.0.1"));

    aux_set_iface_list_hook(OfficeHook);
    std::string json = Json(Everything());
    EXPECT_EQ(g_hooked.size(), 4u);
    EXPECT_NE(std::find(g_hooked.begin(), g_hooked.end(), "d0"), g_hooked.end()) << "the hook sees d0";
    EXPECT_EQ(json.find(R"("name": "d0")"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("category": "office")"), std::string::npos) << json;
    EXPECT_TRUE(Logged("[aux] filtering out interface 'd0' because it is excluded"));

    aux_set_iface_list_hook(nullptr);
    aux_iface_options options = Everything();
    options.include_excluded = true;
    json = Json(options);
    EXPECT_NE(json.find(R"("ip-address": "172.16.0.1", "ip-address-type": "ipv4", "prefix": 16)"), std::string::npos);
    EXPECT_EQ(json.find("category"), std::string::npos) << "the hook is gone";
}

TEST_F(Netif, InterfaceByAdapterId)
{
    Error *err = nullptr;
    aux_adapter_info *d0 = aux_get_iface_by_adapter_id("d0", &err);
    ASSERT_NE(d0, nullptr);
    EXPECT_STREQ(d0->name, "d0");
    g_autofree char *upper = g_ascii_strup(SysfsAddress("d0").c_str(), -1);
    EXPECT_STREQ(d0->hardware_address, upper);
    aux_adapter_info_free(d0);
    aux_adapter_info *lo = aux_get_iface_by_adapter_id("lo", &err);
    ASSERT_NE(lo, nullptr);
    EXPECT_EQ(lo->hardware_address, nullptr);
    aux_adapter_info_free(lo);
    EXPECT_EQ(aux_get_iface_by_adapter_id("D0", &err), nullptr) << "the comparison is exact";
    EXPECT_EQ(err, nullptr);
}

TEST_F(Netif, NetworkInterfacesCommandsWithTheirDefaults)
{
    qmp_register_common_commands();
    EXPECT_EQ(Dispatch(R"({"execute": "guest-network-get-interfaces", "arguments": {"include-loopback": true}})"),
              R"([{"name": "lo", "bond": false, "up": true, "loopback": true, "promiscuous": false, "virtual": true, )"
              R"("ip-addresses": [{"ip-address": "::1", "ip-address-type": "ipv6", "prefix": -1}, )"
              R"({"ip-address": "127.0.0.1", "ip-address-type": "ipv4", "prefix": 8}], "luid": 1, "index": 1, )"
              R"("adapter-id": "lo"}])");
    EXPECT_EQ(Dispatch(R"({"execute": "get-network-interfaces"})"), "[]");
    std::string up = Dispatch(R"({"execute": "get-network-interfaces", "arguments": {"include-virtual": true}})");
    EXPECT_NE(up.find(R"("name": "v0")"), std::string::npos) << up;
    EXPECT_EQ(up.find(R"("name": "v1")"), std::string::npos) << up;
    qmp_registry_cleanup();
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
    EXPECT_EQ(Dispatch(request), R"({"enforcement": {"revision": 42, "operating_mode": 0, "is_roaming_on": false}})");
    module.internal_status_cb = StatusFails;
    EXPECT_EQ(Dispatch(request), "error: policy lock is busy");
    module.internal_status_cb = StatusSilent;
    EXPECT_EQ(Dispatch(request), "error: module internal status is not available");
    g_hv_agent = nullptr;
    qmp_registry_cleanup();
}

} // namespace
