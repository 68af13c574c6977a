/*
 * Each test moves the process into fresh network and mount namespaces with its own sysfs,
 * and builds its interfaces there: lo, a software interface d0 with three addresses, and a
 * veth pair v0 (up, peer down) / v1 (down). The host's interfaces are never seen.
 */
#pragma once

#include <glib.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "agent-common/exclude-ifaces.h"
#include "qapi/qmp-common-types.h"
#include "util/aux-netif.h"
#include "util/error.h"

/* One record, flattened for comparisons. */
struct Iface {
    std::string name;
    std::optional<std::string> hw;
    bool bond, up, loopback, promiscuous, is_virtual;
    bool has_addresses, has_vlan, has_luid, has_index, has_category;
    uint64_t luid;
    uint32_t index;
    std::optional<std::string> adapter_id;
    std::vector<std::tuple<std::string, IpAddressType, int64_t>> addresses;
    NetworkCategory category;
};

inline std::vector<Iface> Flatten(const NetworkInterfaceList *list)
{
    std::vector<Iface> out;
    for (; list; list = list->next) {
        const NetworkInterface *r = list->value;
        Iface i{};
        i.name = r->name;
        if (r->has_hardware_address) {
            i.hw = r->hardware_address;
        }
        i.bond = r->bond;
        i.up = r->up;
        i.loopback = r->loopback;
        i.promiscuous = r->promiscuous;
        i.is_virtual = r->q_virtual;
        i.has_addresses = r->has_ip_addresses;
        i.has_vlan = r->has_vlan;
        i.has_luid = r->has_luid;
        i.has_index = r->has_index;
        i.has_category = r->has_category;
        i.luid = r->luid;
        i.index = r->index;
        i.category = r->category;
        if (r->has_adapter_id) {
            i.adapter_id = r->adapter_id;
        }
        for (const InterfaceIpAddressList *a = r->ip_addresses; a; a = a->next) {
            i.addresses.emplace_back(a->value->ip_address, a->value->ip_address_type, a->value->prefix);
        }
        out.push_back(std::move(i));
    }
    return out;
}

inline std::vector<std::string> Names(const std::vector<Iface> &ifaces)
{
    std::vector<std::string> names;
    for (const Iface &i : ifaces) {
        names.push_back(i.name);
    }
    return names;
}

/* Collects the GLib log lines of its lifetime, every level. */
class LogCapture {
public:
    LogCapture() { old_ = g_log_set_default_handler(Capture, this); }
    ~LogCapture() { g_log_set_default_handler(old_, nullptr); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    bool Logged(const std::string &line)
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const std::string &l : lines_) {
            if (l == line) {
                return true;
            }
        }
        return false;
    }

    bool LoggedPrefix(const std::string &prefix)
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const std::string &l : lines_) {
            if (l.rfind(prefix, 0) == 0) {
                return true;
            }
        }
        return false;
    }

private:
    static void Capture(const gchar *, GLogLevelFlags, const gchar *message, gpointer data)
    {
        auto *self = static_cast<LogCapture *>(data);
        std::lock_guard<std::mutex> guard(self->lock_);
        self->lines_.emplace_back(message);
    }

    GLogFunc old_ = nullptr;
    std::mutex lock_;
    std::vector<std::string> lines_;
};

class NetifNamespace : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
            GTEST_SKIP() << "needs CAP_SYS_ADMIN for private network and mount namespaces: " << strerror(errno);
        }
        /* Private propagation first, so the sysfs mount never reaches the host. */
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) {
            GTEST_SKIP() << "cannot mount a private sysfs: " << strerror(errno);
        }
        if (!Ip("link set lo up")) {
            GTEST_SKIP() << "needs the ip tool (iproute2)";
        }
        /* dummy when the kernel has it, else ifb: both are software interfaces without a device. */
        if (!Ip("link add d0 type dummy") && !Ip("link add d0 type ifb")) {
            GTEST_SKIP() << "the kernel offers neither dummy nor ifb interfaces";
        }
        ASSERT_TRUE(Ip("link add v0 type veth peer name v1"));
        for (const char *name : {"d0", "v0", "v1"}) {
            ASSERT_TRUE(Ip(std::string("link set ") + name + " addrgenmode none")) << name;
        }
        ASSERT_TRUE(Ip("link set d0 up"));
        ASSERT_TRUE(Ip("link set v0 up"));
        ASSERT_TRUE(Ip("addr add 192.168.1.10/24 dev d0"));
        ASSERT_TRUE(Ip("addr add 10.1.2.3/31 dev d0"));
        ASSERT_TRUE(Ip("addr add fd00::1/64 dev d0 nodad"));
        log_.emplace();
    }

    void TearDown() override
    {
        aux_set_iface_list_hook(nullptr);
        exclude_ifaces_cleanup();
        log_.reset();
    }

    static bool Ip(const std::string &args)
    {
        g_autofree char *cmd = g_strdup_printf("ip %s", args.c_str());
        int status = -1;
        return g_spawn_command_line_sync(cmd, nullptr, nullptr, &status, nullptr) && status == 0;
    }

    /* The link address as sysfs shows it, lower case with colons. */
    static std::string SysfsAddress(const char *name)
    {
        g_autofree char *path = g_strdup_printf("/sys/class/net/%s/address", name);
        g_autofree char *text = nullptr;
        if (!g_file_get_contents(path, &text, nullptr, nullptr)) {
            return "";
        }
        return g_strstrip(text);
    }

    static aux_iface_options Everything()
    {
        aux_iface_options o;
        o.include_loopback = true;
        o.up_only = false;
        o.include_virtual = true;
        return o;
    }

    std::vector<Iface> Query(const aux_iface_options &options)
    {
        Error *err = nullptr;
        NetworkInterfaceList *list = get_network_interfaces(&options, &err);
        EXPECT_EQ(err, nullptr) << error_get_message(err);
        error_free(err);
        std::vector<Iface> out = Flatten(list);
        qapi_free_NetworkInterfaceList(list);
        return out;
    }

    std::optional<LogCapture> log_;
};
