/*
 * Host names to addresses through the system resolver (getaddrinfo on both platforms),
 * with one deadline for a whole batch so that a slow or unreachable name server cannot
 * hold the caller longer than that. Reentrant.
 *
 * Names under the reserved "invalid" top-level domain are refused at once: no query
 * leaves the machine for them.
 */
#pragma once

#include <glib.h>

#include <cstddef>

enum platform_resolve_family {
    PLATFORM_RESOLVE_ANY = 0,
    PLATFORM_RESOLVE_IPV4 = 1,
    PLATFORM_RESOLVE_IPV6 = 2,
};

struct platform_host_lookup {
    const char *name;                 /* in */
    platform_resolve_family family;   /* in */
    GSList *addresses;                /* out: distinct address texts, in resolver order (g_free each) */
    char *error;                      /* out: why there is none (g_free); NULL when addresses were found */
};

/*
 * Resolves every lookup at once and waits at most timeout_ms for all of them; a lookup
 * still running then ends with the error "timed out" (the system finishes it in the
 * background and its result is dropped). An address in standard notation is answered as
 * written, whatever the family asked; the short numeric IPv4 forms ("10.1") are refused.
 * An IPv4-mapped IPv6 result is given as its IPv4 address; no IPv6 text holds a dot.
 */
void platform_resolve_hosts(platform_host_lookup *lookups, size_t count, unsigned timeout_ms);
/* Releases the outputs of each lookup (the name stays the caller's). */
void platform_host_lookups_clear(platform_host_lookup *lookups, size_t count);
