#include <net/if.h>

#include <algorithm>
#include <set>

#include "netif-fixture.h"

namespace {

using Addresses = std::vector<std::tuple<std::string, IpAddressType, int64_t>>;

const Iface *Find(const std::vector<Iface> &ifaces, const std::string &name)
{
    for (const Iface &i : ifaces) {
        if (i.name == name) {
            return &i;
        }
    }
    return nullptr;
}

std::string Upper(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(g_ascii_toupper(c)); });
    return s;
}

TEST_F(NetifNamespace, EveryInterfaceWithItsFieldsInReverseIndexOrder)
{
    std::vector<Iface> ifaces = Query(Everything());
    ASSERT_EQ(ifaces.size(), 4u);
    std::vector<std::string> listed = Names(ifaces);
    std::set<std::string> names(listed.begin(), listed.end());
    EXPECT_EQ(names, (std::set<std::string>{"lo", "d0", "v0", "v1"}));
    for (size_t n = 1; n < ifaces.size(); n++) {
        EXPECT_GT(ifaces[n - 1].index, ifaces[n].index) << "records come in reverse index order";
    }
    for (const Iface &i : ifaces) {
        SCOPED_TRACE(i.name);
        EXPECT_TRUE(i.has_luid && i.has_index);
        EXPECT_EQ(i.index, if_nametoindex(i.name.c_str()));
        EXPECT_EQ(i.luid, i.index);
        EXPECT_EQ(i.adapter_id, i.name);
        EXPECT_FALSE(i.bond || i.promiscuous || i.has_vlan || i.has_category);
        EXPECT_TRUE(i.is_virtual) << "no device backs any interface of the namespace";
        EXPECT_EQ(i.loopback, i.name == "lo");
        EXPECT_TRUE(i.has_addresses) << "present even when empty";
        if (i.name != "lo") {
            EXPECT_EQ(i.hw, SysfsAddress(i.name.c_str()));
        }
    }
    const Iface *lo = Find(ifaces, "lo");
    const Iface *d0 = Find(ifaces, "d0");
    const Iface *v0 = Find(ifaces, "v0");
    const Iface *v1 = Find(ifaces, "v1");
    ASSERT_TRUE(lo && d0 && v0 && v1);
    EXPECT_EQ(lo->hw, std::nullopt) << "the all-zero loopback address is no hardware address";
    EXPECT_TRUE(lo->up);
    EXPECT_TRUE(d0->up);
    EXPECT_TRUE(v0->up) << "lower layer down is not down";
    EXPECT_FALSE(v1->up);
    EXPECT_EQ(d0->addresses, (Addresses{{"fd00::1", IP_ADDRESS_TYPE_IPV6, -1},
                                        {"10.1.2.3", IP_ADDRESS_TYPE_IPV4, 31},
                                        {"192.168.1.10", IP_ADDRESS_TYPE_IPV4, 24}}));
    EXPECT_EQ(lo->addresses, (Addresses{{"::1", IP_ADDRESS_TYPE_IPV6, -1}, {"127.0.0.1", IP_ADDRESS_TYPE_IPV4, 8}}));
    EXPECT_TRUE(v0->addresses.empty());
    EXPECT_TRUE(v1->addresses.empty());
}

TEST_F(NetifNamespace, OptionsFilterLoopbackDownAndVirtualInterfaces)
{
    aux_iface_options defaults;
    Error *err = nullptr;
    EXPECT_EQ(get_network_interfaces(&defaults, &err), nullptr);
    EXPECT_EQ(err, nullptr) << "an empty result is no error";
    EXPECT_TRUE(log_->Logged("[aux] filtering out interface 'lo' because it is loopback"));
    EXPECT_TRUE(log_->Logged("[aux] filtering out interface 'v1' because it is down"));
    EXPECT_TRUE(log_->Logged("[aux] filtering out interface 'd0' because it is virtual"));

    aux_iface_options virtual_up;
    virtual_up.include_virtual = true;
    std::vector<Iface> ifaces = Query(virtual_up);
    std::vector<std::string> names = Names(ifaces);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"d0", "v0"}));

    /* Loopback survives the virtual filter and is marked virtual. */
    aux_iface_options loopback;
    loopback.include_loopback = true;
    ifaces = Query(loopback);
    ASSERT_EQ(Names(ifaces), std::vector<std::string>{"lo"});
    EXPECT_TRUE(ifaces[0].is_virtual);

    loopback.up_only = false;
    ASSERT_TRUE(Ip("link set lo down"));
    EXPECT_EQ(Names(Query(loopback)), std::vector<std::string>{"lo"});
    loopback.up_only = true;
    EXPECT_TRUE(Query(loopback).empty());

    /* Bonding and VLAN options select nothing here. */
    aux_iface_options all = Everything();
    all.include_bonding = false;
    all.include_vlan = false;
    EXPECT_EQ(Names(Query(all)), Names(Query(Everything())));
}

TEST_F(NetifNamespace, ExcludedInterfacesAreLeftOutUnlessRequested)
{
    /* An IPv4 address with its own label still belongs to d0. */
    ASSERT_TRUE(Ip("addr add 172.16.0.1/16 dev d0 label d0:1"));
    aux_iface_options options = Everything();
    ASSERT_NE(Find(Query(options), "d0"), nullptr) << "nothing is excluded before the module starts";

    ASSERT_TRUE(exclude_ifaces_init());
    ASSERT_TRUE(exclude_ifaces_add("d0"));
    EXPECT_TRUE(exclude_ifaces_is_address_excluded("172.16.0.1"));
    EXPECT_TRUE(exclude_ifaces_is_address_excluded("fd00::1"));
    std::vector<std::string> names = Names(Query(options));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"lo", "v0", "v1"}));
    EXPECT_TRUE(log_->Logged("[aux] filtering out interface 'd0' because it is excluded"));

    options.include_excluded = true;
    std::vector<Iface> with_excluded = Query(options);
    const Iface *d0 = Find(with_excluded, "d0");
    ASSERT_NE(d0, nullptr);
    EXPECT_EQ(d0->addresses.size(), 4u);

    exclude_ifaces_cleanup();
    options.include_excluded = false;
    EXPECT_NE(Find(Query(options), "d0"), nullptr);
}

std::vector<std::string> g_hook_names;

void CategoryHook(NetworkInterfaceList *list)
{
    for (; list; list = list->next) {
        g_hook_names.emplace_back(list->value->name);
        list->value->has_category = true;
        list->value->category = strcmp(list->value->name, "v0") == 0 ? NETWORK_CATEGORY_OFFICE : NETWORK_CATEGORY_HOME;
    }
}

TEST_F(NetifNamespace, ListingHookSeesTheListBeforeTheExcludedFilter)
{
    ASSERT_TRUE(exclude_ifaces_init());
    ASSERT_TRUE(exclude_ifaces_add("d0"));
    g_hook_names.clear();
    aux_set_iface_list_hook(CategoryHook);
    std::vector<Iface> ifaces = Query(Everything());
    EXPECT_EQ(g_hook_names.size(), 4u);
    EXPECT_NE(std::find(g_hook_names.begin(), g_hook_names.end(), "d0"), g_hook_names.end());
    ASSERT_EQ(ifaces.size(), 3u);
    for (const Iface &i : ifaces) {
        EXPECT_TRUE(i.has_category) << i.name;
        EXPECT_EQ(i.category, i.name == "v0" ? NETWORK_CATEGORY_OFFICE : NETWORK_CATEGORY_HOME) << i.name;
    }

    aux_set_iface_list_hook(nullptr);
    g_hook_names.clear();
    for (const Iface &i : Query(Everything())) {
        EXPECT_FALSE(i.has_category) << i.name;
    }
    EXPECT_TRUE(g_hook_names.empty());
}

TEST_F(NetifNamespace, InterfaceByAdapterId)
{
    Error *err = nullptr;
    aux_adapter_info *d0 = aux_get_iface_by_adapter_id("d0", &err);
    ASSERT_NE(d0, nullptr);
    EXPECT_STREQ(d0->name, "d0");
    ASSERT_NE(d0->hardware_address, nullptr);
    EXPECT_EQ(d0->hardware_address, Upper(SysfsAddress("d0")));
    aux_adapter_info_free(d0);

    aux_adapter_info *lo = aux_get_iface_by_adapter_id("lo", &err);
    ASSERT_NE(lo, nullptr);
    EXPECT_EQ(lo->hardware_address, nullptr);
    aux_adapter_info_free(lo);

    EXPECT_EQ(aux_get_iface_by_adapter_id("D0", &err), nullptr) << "the comparison is exact";
    EXPECT_EQ(aux_get_iface_by_adapter_id("eth0", &err), nullptr);
    EXPECT_EQ(err, nullptr);
}

} // namespace
