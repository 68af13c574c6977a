/*
 * The machine's network interfaces with their addresses, the interface with a given
 * adapter id, and the configured DNS servers. Log tag "[aux]".
 *
 * On Linux: luid and index are the interface index, adapter-id and name the interface
 * name; an interface is virtual when no device backs it (loopback is always marked
 * virtual); up means administratively up with an operational state other than "down";
 * IPv6 addresses carry prefix -1; bond and promiscuous are false and vlan is absent, so
 * the bonding and VLAN options change nothing.
 *
 * The queries hold no state and may run on any thread.
 */
#pragma once

#include <glib.h>

struct NetworkInterfaceList;
struct Error;

struct aux_iface_options {
    bool include_loopback = false, up_only = true, include_virtual = false,
         include_bonding = true, include_vlan = true, include_excluded = false;
};

/*
 * The machine's interfaces, or NULL with *errp set. An empty result is NULL without error.
 * Interfaces come in reverse index order, each with its addresses in reverse order.
 */
NetworkInterfaceList *get_network_interfaces(const aux_iface_options *options, Error **errp);

/*
 * Called with every list get_network_interfaces builds (possibly NULL), before the
 * excluded filter; it may change records but not the list's shape. NULL removes it.
 */
void aux_set_iface_list_hook(void (*hook)(NetworkInterfaceList *list));

struct aux_adapter_info {
    char *name;
    char *hardware_address; /* NULL when none, "%02X:..." upper case */
};

/* The first interface whose adapter id (interface name) is adapter_id; NULL when none,
 * or NULL with *errp set when the interfaces cannot be read. */
aux_adapter_info *aux_get_iface_by_adapter_id(const char *adapter_id, Error **errp);
void aux_adapter_info_free(aux_adapter_info *info);

/* Distinct DNS server address texts (g_strdup'ed, free with g_slist_free_full(l, g_free)),
 * NULL when none. 0.0.0.0 is left out. */
GSList *aux_get_dns_servers(void);
