/* A snapshot of the host's network interfaces with their unicast addresses. */
#pragma once

#include <glib.h>

struct Error;

struct platform_iface {
    char *name;
    GSList *addresses; /* owned address texts */
};

/* A list of owned platform_iface (free with platform_iface_list_free), or NULL with
 * *errp set. An empty host gives NULL without an error. */
GSList *platform_iface_snapshot(Error **errp);
platform_iface *platform_iface_copy(const platform_iface *iface);
void platform_iface_free(platform_iface *iface);
void platform_iface_list_free(GSList *list);
