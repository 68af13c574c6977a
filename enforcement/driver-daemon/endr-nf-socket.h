/*
 * The local process of a flow the netfilter engine judges: the socket found through
 * sock_diag netlink, then the process holding that socket's inode (a scan of
 * /proc/<pid>/fd, kept for a short while since a process opens many flows in a row).
 * One lookup at a time (the queue thread's); not thread-safe.
 */
#pragma once

#include <cstdint>

#include "enforcement/driver-daemon/endr-policy.h"

namespace endr {

/* The pid owning the TCP or UDP socket of c's tuple, 0 when none is found (ICMP, a socket
 * already gone, no sock_diag). */
uint64_t nf_socket_pid(const Connection &c);

/* The pid holding socket inode (0: none); rescans /proc at most once per call. */
uint64_t nf_inode_pid(uint64_t inode);

} // namespace endr
