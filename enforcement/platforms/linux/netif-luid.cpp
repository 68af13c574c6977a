#include "enforcement/platforms/netif-luid.h"

#include <net/if.h>

uint64_t platform_iface_luid(const char *name)
{
    return name ? if_nametoindex(name) : 0;
}
