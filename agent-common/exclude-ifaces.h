/* Interfaces the operator excluded (-E): their addresses are left alone by the policy. */
#pragma once

#include <glib.h>

bool exclude_ifaces_init(void);
/* False when the module is not initialised or no interface has that exact name. */
bool exclude_ifaces_add(const char *name);
/* Removes and frees every platform_iface of the list whose name is excluded. */
GSList *exclude_ifaces_filter(GSList *ifaces);
bool exclude_ifaces_is_address_excluded(const char *address);
void exclude_ifaces_cleanup(void);
