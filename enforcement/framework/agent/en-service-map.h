/*
 * The driver's view of services: the map from service tags to service names, kept current
 * by a monitoring thread that refreshes it every EN_SERVICE_MAP_REFRESH_MS and sends it
 * (0x122529) whenever its bytes change, and the tuples of the sockets that services owned
 * before the driver watched (0x12252D), sent once per API start. Log tags
 * "[service_name_map]" and "[service_existing]".
 *
 * Map buffer: u32 total size, u32 entry count, then per entry (by tag ascending) u64 tag,
 * u16 name length n, n name bytes (UTF-8) and a NUL. 1 to 65536 entries, names of at most
 * 4096 bytes. Tuples buffer: u32 count, then 46-byte tuples (local and remote address of
 * 16 bytes, local and remote port u16, protocol u8 0 TCP 1 UDP, family u8 1 IPv4 2 IPv6,
 * u64 tag), tables in the order TCP, UDP, TCP6, UDP6.
 */
#pragma once

#include <cstdint>
#include <vector>

#include "enforcement/platforms/service-map.h"

struct platform_device;
struct en_service_name_map_monitor;

#define EN_SERVICE_MAP_REFRESH_MS 5000u
#define EN_SERVICE_MAP_MAX_ENTRIES 65536u
#define EN_SERVICE_MAP_MAX_NAME 4096u
#define EN_SERVICE_TUPLE_SIZE 46u

/* Once per enforcement API initialisation; false when services cannot be followed. */
bool en_service_name_map_module_init(void);
/* Forgets the tags given, so that a new module starts numbering again. */
void en_service_name_map_module_free(void);

/* Starts the monitoring thread on device (borrowed until stop); NULL when it cannot start.
 * Returns before the first refresh. */
en_service_name_map_monitor *en_service_name_map_monitor_start(platform_device *device);
/* Stops and joins the thread, frees the monitor and the last map. NULL-safe. */
void en_service_name_map_monitor_stop(en_service_name_map_monitor *monitor);

/* Sends the tuples of the sockets services own now; true also when there are none. */
bool en_service_existing_send(platform_device *device);

/* The map buffer of entries (any order); false, with the log line, when it cannot be built. */
bool en_service_name_map_convert(const std::vector<platform_service_tag> &entries, std::vector<uint8_t> *out);

/* For tests: the refresh interval (0 restores the default). */
void en_service_name_map_set_interval_for_test(uint32_t ms);
