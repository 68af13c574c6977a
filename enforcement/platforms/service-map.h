/*
 * The machine's services, their tags and the sockets they own, as the service name map
 * and the existing service tuples need them. On Linux a service is a systemd unit NAME.service:
 *  - units are listed from the unit folders ($HV_UNIT_PATH, colon-separated, or the
 *    system's) and from the cgroup tree ($HV_CGROUP_ROOT, default /sys/fs/cgroup), where
 *    every running unit has a folder of its name; template files (NAME@.service), units
 *    masked to /dev/null and names systemd would refuse are not services; folders below
 *    a service or a scope are not looked at (their owner names them, maybe a user);
 *  - a process belongs to the unit its cgroup names (/proc/<pid>/cgroup, the first path
 *    component NAME.service of the systemd hierarchy, else of the unified one, else of
 *    any; none when a scope or a user's manager user@UID.service comes first), so a
 *    user's programs are in no service, whatever their folders are named; /proc is
 *    $HV_PROC_ROOT when set;
 *  - a tag is a number from 1 up, given to a unit name the first time it is seen (the
 *    names of one listing in byte order) and kept until platform_service_tags_reset, so a
 *    unit that goes and comes back keeps its tag;
 *  - the sockets are the kernel's tables /proc/net/{tcp,udp}{,6}, each row joined to its
 *    process through the socket inode of one of the process's descriptors.
 * Every call is thread-safe; the tag table is the only shared state.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct platform_service_tag {
    uint32_t tag;
    std::string name;
};

/*
 * Every service known now with its tag, in tag order. False with *win32_error 2 when no
 * unit folder and no cgroup tree can be read (an empty list is a success).
 */
bool platform_service_tags(std::vector<platform_service_tag> *out, uint32_t *win32_error);
/* Forgets every tag given; the next listing numbers from 1 again. */
void platform_service_tags_reset(void);
/* Where units are listed from, for the log. */
std::string platform_service_sources(void);

/* The service unit a /proc/<pid>/cgroup text names, "" when none. */
std::string platform_parse_cgroup_service(std::string_view text);
/* The service unit process pid belongs to, "" when none or it does not exist. */
std::string platform_process_service(uint64_t pid);
/* The same in *service; false when the process does not exist (its cgroup file cannot be
 * read), true with "" when it runs outside every service. */
bool platform_process_service_of(uint64_t pid, std::string *service);

/*
 * Service change notifications: systemd's UnitNew, UnitRemoved and UnitFilesChanged
 * signals on the system bus ($HV_SYSTEMD_BUS_ADDRESS when set), delivered on a thread of
 * the watch's own, where changed(data) runs; it also runs once when the bus connection is
 * lost, after which platform_service_watch_lost is true. NULL with *win32_error and *why:
 * 2 when no bus can be reached, 1060 when systemd is not on it, 1 when it refuses the
 * subscription.
 */
struct platform_service_watch;
platform_service_watch *platform_service_watch_open(void (*changed)(void *data), void *data, uint32_t *win32_error,
                                                    std::string *why);
bool platform_service_watch_lost(const platform_service_watch *watch);
/* Stops the deliveries; changed is not called once this returns. NULL-safe. */
void platform_service_watch_close(platform_service_watch *watch);

enum platform_socket_table {
    PLATFORM_SOCKETS_TCP,
    PLATFORM_SOCKETS_UDP,
    PLATFORM_SOCKETS_TCP6,
    PLATFORM_SOCKETS_UDP6,
};

/*
 * One socket: addresses as the tuple buffer holds them (IPv4 a u32 in host byte order in
 * the first 4 bytes, rest zero; IPv6 the 16 bytes in network order), ports in host byte
 * order, the tag of the owning process's service (0 when the socket has no owner found
 * or its owner is in no service). UDP rows have no remote side.
 */
struct platform_service_socket {
    uint8_t local[16];
    uint8_t remote[16];
    uint16_t local_port;
    uint16_t remote_port;
    uint32_t service_tag;
};

/* Every socket of one table, all states. False with *win32_error 2 when the table cannot
 * be read, 13 when it is malformed. */
bool platform_service_sockets(platform_socket_table table, std::vector<platform_service_socket> *rows,
                              uint32_t *win32_error);

/* A row of a kernel socket table text, before its owner is known. */
struct platform_socket_row {
    platform_service_socket socket;
    uint64_t inode;
};
/* The rows of a /proc/net/{tcp,udp}{,6} text (ipv6 for the 6 tables); false when a row is
 * malformed. */
bool platform_parse_socket_table(std::string_view text, bool ipv6, bool udp, std::vector<platform_socket_row> *rows);
