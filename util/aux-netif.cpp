#include "util/aux-netif.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "agent-common/exclude-ifaces.h"
#include "enforcement/platforms/netif-adapters.h"
#include "qapi/qmp-common-commands.h"
#include "util/check-null.h"
#include "util/error.h"

namespace {

std::atomic<void (*)(NetworkInterfaceList *)> s_list_hook{nullptr};

/* Names are shown in ASCII; anything else reads "<unknown>". */
const char *ascii_name(const char *name)
{
    for (const char *p = name; *p; p++) {
        if (static_cast<unsigned char>(*p) >= 0x80) {
            return "<unknown>";
        }
    }
    return name;
}

/* The first six bytes of the hardware address; a shorter one is padded with zeros. */
char *format_hw_address(const platform_adapter *adapter, bool upper)
{
    uint8_t b[6] = {};
    memcpy(b, adapter->hw_address, std::min(adapter->hw_address_len, sizeof b));
    if (upper) {
        return g_strdup_printf("%02X:%02X:%02X:%02X:%02X:%02X", b[0], b[1], b[2], b[3], b[4], b[5]);
    }
    return g_strdup_printf("%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
}

NetworkInterface *new_record(const platform_adapter *adapter, const char *name, bool is_virtual)
{
    NetworkInterface *record = qapi_alloc_NetworkInterface();
    record->name = g_strdup(name);
    if (adapter->hw_address_len > 0) {
        record->has_hardware_address = true;
        record->hardware_address = format_hw_address(adapter, false);
    }
    record->bond = false;
    record->up = adapter->up;
    record->loopback = adapter->loopback;
    record->promiscuous = false;
    record->q_virtual = is_virtual;
    record->has_luid = true;
    record->luid = adapter->index;
    record->has_index = true;
    record->index = adapter->index;
    record->has_adapter_id = true;
    record->adapter_id = g_strdup(adapter->name);
    record->has_ip_addresses = true;
    for (GSList *l = adapter->addresses; l; l = l->next) {
        auto *address = static_cast<const platform_ip_address *>(l->data);
        InterfaceIpAddress *ip = qapi_alloc_InterfaceIpAddress();
        ip->ip_address = g_strdup(address->text);
        ip->ip_address_type = address->ipv6 ? IP_ADDRESS_TYPE_IPV6 : IP_ADDRESS_TYPE_IPV4;
        ip->prefix = address->ipv6 ? -1 : address->prefix;
        InterfaceIpAddressList *node = qapi_new_InterfaceIpAddressList(ip);
        node->next = record->ip_addresses;
        record->ip_addresses = node;
    }
    return record;
}

/*
 * The configuration store is a flat list of values without subkeys, so there are no
 * cluster resources to enumerate: this machine is never a failover cluster node.
 */
void log_no_failover_cluster(void)
{
    Error *err = nullptr;
    error_setg(&err, "No '%s' or '%s' resource type", "Network Name", "IP Address");
    g_debug("[aux] could not get failover cluster information: %s", error_get_message(err));
    error_free(err);
}

/* The adapter id is the system's name of the interface, which is what -E names. */
void remove_excluded(NetworkInterfaceList **list)
{
    NetworkInterfaceList **link = list;
    while (*link) {
        NetworkInterface *record = (*link)->value;
        const char *id = record->has_adapter_id ? record->adapter_id : record->name;
        if (exclude_ifaces_is_name_excluded(id)) {
            g_debug("[aux] filtering out interface '%s' because it is excluded", record->name);
            NetworkInterfaceList *gone = *link;
            *link = gone->next;
            gone->next = nullptr;
            qapi_free_NetworkInterfaceList(gone);
        } else {
            link = &(*link)->next;
        }
    }
}

} // namespace

NetworkInterfaceList *get_network_interfaces(const aux_iface_options *options, Error **errp)
{
    AGENT_CHECK_NULL_ERR(options, "options", errp, nullptr);
    Error *err = nullptr;
    GSList *adapters = platform_adapters_read(&err);
    if (err) {
        error_propagate(errp, err);
        return nullptr;
    }
    NetworkInterfaceList *list = nullptr;
    for (GSList *l = adapters; l; l = l->next) {
        auto *adapter = static_cast<const platform_adapter *>(l->data);
        const char *name = ascii_name(adapter->name);
        if (adapter->loopback && !options->include_loopback) {
            g_debug("[aux] filtering out interface '%s' because it is loopback", name);
            continue;
        }
        if (!adapter->up && options->up_only) {
            g_debug("[aux] filtering out interface '%s' because it is down", name);
            continue;
        }
        bool is_virtual = false;
        if (!adapter->has_device) {
            g_debug("[aux] interface '%s' is virtual: no device backs it", name);
            is_virtual = true;
        }
        if (adapter->loopback) {
            is_virtual = true;
        } else if (is_virtual && !options->include_virtual) {
            g_debug("[aux] filtering out interface '%s' because it is virtual", name);
            continue;
        }
        NetworkInterfaceList *node = qapi_new_NetworkInterfaceList(new_record(adapter, name, is_virtual));
        node->next = list;
        list = node;
    }
    platform_adapter_list_free(adapters);

    if (auto hook = s_list_hook.load()) {
        hook(list);
    }
    log_no_failover_cluster();
    if (!options->include_excluded) {
        remove_excluded(&list);
    }
    return list;
}

void aux_set_iface_list_hook(void (*hook)(NetworkInterfaceList *list))
{
    s_list_hook.store(hook);
}

aux_adapter_info *aux_get_iface_by_adapter_id(const char *adapter_id, Error **errp)
{
    AGENT_CHECK_NULL_ERR(adapter_id, "adapter_id", errp, nullptr);
    Error *err = nullptr;
    GSList *adapters = platform_adapters_read(&err);
    if (err) {
        error_propagate(errp, err);
        return nullptr;
    }
    aux_adapter_info *info = nullptr;
    for (GSList *l = adapters; l && !info; l = l->next) {
        auto *adapter = static_cast<const platform_adapter *>(l->data);
        if (strcmp(adapter->name, adapter_id) == 0) {
            info = g_new0(aux_adapter_info, 1);
            info->name = g_strdup(ascii_name(adapter->name));
            if (adapter->hw_address_len > 0) {
                info->hardware_address = format_hw_address(adapter, true);
            }
        }
    }
    platform_adapter_list_free(adapters);
    return info;
}

void aux_adapter_info_free(aux_adapter_info *info)
{
    if (info) {
        g_free(info->name);
        g_free(info->hardware_address);
        g_free(info);
    }
}

GSList *aux_get_dns_servers(void)
{
    Error *err = nullptr;
    GSList *servers = platform_dns_servers_read(&err);
    if (err) {
        g_warning("[aux] error reading network interfaces for DNS info: %s", error_get_message(err));
        error_free(err);
        return nullptr;
    }
    GSList *texts = nullptr;
    for (GSList *l = servers; l; l = l->next) {
        auto *server = static_cast<const platform_ip_address *>(l->data);
        if (!server->ipv6 && strcmp(server->text, "0.0.0.0") == 0) {
            continue;
        }
        if (!g_slist_find_custom(texts, server->text, reinterpret_cast<GCompareFunc>(strcmp))) {
            texts = g_slist_prepend(texts, g_strdup(server->text));
        }
    }
    platform_ip_address_list_free(servers);
    return g_slist_reverse(texts);
}

NetworkInterfaceList *qmp_get_network_interfaces(bool has_include_loopback, bool include_loopback,
                                                 bool has_include_up_only, bool include_up_only,
                                                 bool has_include_virtual, bool include_virtual,
                                                 bool has_include_bonding, bool include_bonding,
                                                 bool has_include_vlan_interface, bool include_vlan_interface,
                                                 bool has_include_excluded, bool include_excluded, Error **errp)
{
    aux_iface_options options;
    options.include_loopback = has_include_loopback && include_loopback;
    options.up_only = !has_include_up_only || include_up_only;
    options.include_virtual = has_include_virtual && include_virtual;
    options.include_bonding = !has_include_bonding || include_bonding;
    options.include_vlan = !has_include_vlan_interface || include_vlan_interface;
    options.include_excluded = has_include_excluded && include_excluded;
    return get_network_interfaces(&options, errp);
}
