/*
 * Where the machine is on the network: the domain it belongs to, the interface through
 * which it reaches that domain, and notice of network changes.
 *
 * On Linux the machine's domain is the default realm of $HV_KRB5_CONF (or
 * /etc/krb5.conf), lower-cased; without one it is the resolver's domain, from the last
 * "domain" or "search" line (its first name) of $HV_RESOLV_CONF (or /etc/resolv.conf). The domain interface is the interface of the default route (IPv4 first,
 * lowest metric, then IPv6) while the resolver's domain is the machine's domain: only
 * then do the names of the domain resolve through the network that route leaves by.
 * Routes are read from $HV_PROC_NET_ROUTE / $HV_PROC_NET_IPV6_ROUTE (or /proc/net/route
 * and /proc/net/ipv6_route) of the caller's network namespace.
 */
#pragma once

#include <cstddef>
#include <cstdint>

struct Error;

/* The machine's domain (owned, lower case), or NULL when it is in none; the queries read
 * files only and are thread-safe. */
char *platform_machine_domain(void);

/* The adapter id (interface name) of the interface that reaches machine_domain, or NULL
 * with *errp set ("Could not find network adapter connected to a domain"). */
char *platform_domain_adapter_id(const char *machine_domain, Error **errp);

/* Pure parsers of captured file text (length bytes, NULs allowed), each returning an
 * owned string or NULL. */
char *platform_krb5_default_realm_parse(const char *text, size_t length);
char *platform_resolv_domain_parse(const char *text, size_t length);
/* The interface of the IPv4 default route with the lowest metric in /proc/net/route text. */
char *platform_default_route_parse(const char *text, size_t length);
/* The same for /proc/net/ipv6_route text; loopback routes ("lo") are left out. */
char *platform_default_route6_parse(const char *text, size_t length);

/*
 * Network changes (links, addresses, routes) watched on a thread of its own. A burst of
 * changes is delivered once, debounce_ms after its last change (see
 * platform_location_burst_due), as on_change(adapter id
 * of the last interface that changed, or NULL when that interface is gone, opaque).
 * on_change runs on the watch thread. Starting twice fails with "network location
 * watch already running"; a socket failure gives the system's reason. Stop joins the
 * thread; it is idempotent and must not be called from on_change.
 */
/* When a burst acts, in ms of the same clock as its first and last change: debounce_ms
 * after the last, but never more than PLATFORM_LOCATION_BURST_MAX debounces after the
 * first, so that changes that never stop are still acted on. */
#define PLATFORM_LOCATION_BURST_MAX 4
uint64_t platform_location_burst_due(uint64_t first_ms, uint64_t last_ms, unsigned debounce_ms);

typedef void (*platform_location_cb)(const char *adapter_id, void *opaque);
bool platform_location_watch_start(platform_location_cb on_change, void *opaque, unsigned debounce_ms,
                                   Error **errp);
void platform_location_watch_stop(void);
