/*
 * The host's network adapters with their unicast addresses, and the DNS servers the
 * resolver is configured with.
 *
 * On Linux an adapter is a network interface of the calling thread's network namespace,
 * read over rtnetlink; the resolver configuration is the "nameserver" lines of
 * $HV_RESOLV_CONF, or /etc/resolv.conf.
 */
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>

struct Error;

#define PLATFORM_HW_ADDRESS_MAX 32

struct platform_ip_address {
    bool ipv6;
    char *text;  /* presentation form, without a scope */
    int prefix;  /* prefix length; -1 when there is none */
};

struct platform_adapter {
    char *name;  /* as the system gives it */
    uint32_t index;
    uint8_t hw_address[PLATFORM_HW_ADDRESS_MAX];
    size_t hw_address_len; /* 0 when the link has no address, or an all-zero one (loopback) */
    bool up;               /* administratively up and the operational state is not "down" */
    bool loopback;
    bool has_device;       /* backed by a device (/sys/class/net/<name>/device), not software only */
    GSList *addresses;     /* platform_ip_address, IPv4 first, each family in the system's order */
};

/*
 * The adapters in index order: a list of owned platform_adapter (free with
 * platform_adapter_list_free), NULL without an error when there is none, NULL with
 * *errp set ("error reading adapter addresses" with the system's reason, or "failed
 * IPv4/IPv6 address presentation form conversion") when the list cannot be read.
 * Holds no state; thread-safe.
 */
GSList *platform_adapters_read(Error **errp);
void platform_adapter_free(platform_adapter *adapter);
void platform_adapter_list_free(GSList *list);

/*
 * The resolver's name servers, in file order with duplicates kept: a list of owned
 * platform_ip_address (prefix -1; free with platform_ip_address_list_free). NULL without
 * an error when none is configured, NULL with *errp set when the file cannot be read.
 * Thread-safe.
 */
GSList *platform_dns_servers_read(Error **errp);
/* Pure parser of the resolver configuration text (length bytes, NULs allowed), for tests.
 * Lines as the system resolver reads them: "nameserver" at the start of the line, blanks,
 * then the address, ended by a blank, ';' or '#'; an IPv6 scope ("%eth0") is dropped;
 * anything that is not an address is skipped. */
GSList *platform_dns_servers_parse(const char *text, size_t length);
void platform_ip_address_free(platform_ip_address *address);
void platform_ip_address_list_free(GSList *list);
