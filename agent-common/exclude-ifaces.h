/* Interfaces the operator excluded (-E): their addresses are left alone by the policy. */
#pragma once

#include <glib.h>

bool exclude_ifaces_init(void);
/* False when the module is not initialised or no interface has that exact name. */
bool exclude_ifaces_add(const char *name);
/* Removes and frees every platform_iface of the list whose name is excluded. */
GSList *exclude_ifaces_filter(GSList *ifaces);
bool exclude_ifaces_is_address_excluded(const char *address);
/* True when the module is initialised and an excluded interface has exactly that name;
 * an uninitialised module excludes nothing and says so silently. */
bool exclude_ifaces_is_name_excluded(const char *name);
/* Calls fn for each excluded interface name, in the order added, under the module's
 * lock (fn must not call back into this module); returns the list length. */
size_t exclude_ifaces_foreach(void (*fn)(const char *name, size_t list_length, void *data), void *data);
void exclude_ifaces_cleanup(void);
