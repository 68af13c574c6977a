/*
 * The local process of a flow the netfilter engine judges: the socket found through
 * sock_diag netlink, then the process holding that socket's inode (a scan of
 * /proc/<pid>/fd, kept for a short while since a process opens many flows in a row).
 * One lookup at a time (the queue thread's); not thread-safe.
 */
#pragma once

#include <cstdint>
#include <string_view>

#include "enforcement/driver-daemon/endr-policy.h"

namespace endr {

/* The pid owning the socket of c's tuple, 0 when none is found (a socket already gone, no
 * sock_diag). TCP and UDP through sock_diag; ICMP through the raw and ping socket tables. */
uint64_t nf_socket_pid(const Connection &c);

/*
 * The inode of the socket that sends c's ICMP, from the text of /proc/net/raw (raw = true:
 * the local "port" column is the protocol, 1 or 58) or /proc/net/icmp (ping sockets; their
 * port is the echo identifier, not compared), and their IPv6 forms. A bound or connected
 * address must equal c's; the socket bound and connected most closely wins, the first
 * listed on a tie. 0 when none fits or the text is malformed.
 */
uint64_t nf_icmp_socket_inode(std::string_view table, bool raw, const Connection &c);

/* The pid holding socket inode (0: none); rescans /proc at most once per call. */
uint64_t nf_inode_pid(uint64_t inode);

} // namespace endr
