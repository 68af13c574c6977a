/* The locally unique identifier (LUID) of a network interface, by interface name. */
#pragma once

#include <cstdint>

/* 0 when the interface has none (it does not exist now). On Linux the LUID is the
 * interface index. Thread-safe. */
uint64_t platform_iface_luid(const char *name);
