/*
 * The netfilter engine of hv-endrd: real traffic of this machine (of the daemon's network
 * namespace) judged by the active policy.
 *
 * At start it installs the nftables table "inet holvenstad" (any table of that name left
 * by a daemon that died is replaced) whose output and input chains send the first packet
 * of each new conntrack flow to netfilter queue `queue`, with the queue's bypass flag: when
 * no process reads the queue, packets pass. Interfaces the module excluded are never
 * queued (a set of interface indexes kept in step with the module's list). Established
 * flows never reach the queue again.
 *
 * For each queued packet the engine builds the tuple, finds the local process (sock_diag),
 * makes a connection record exactly as an injected connection does (engine_inject_connection,
 * classified against the active policy) and answers drop for BLOCK, accept otherwise. The
 * record's DNS name stays empty. Packets that are not TCP, UDP or ICMP, or that cannot be
 * parsed, are accepted without a record.
 *
 * Needs CAP_NET_ADMIN in the network namespace. nf_engine_stop removes the table it
 * installed, not one another daemon has put in its place since.
 */
#pragma once

#include <cstdint>
#include <string>

namespace endr {

struct NetfilterEngine;

/* nullptr with *why set when the table or the queue cannot be set up (nothing is left
 * installed then). */
NetfilterEngine *nf_engine_start(uint16_t queue, std::string *why);
/* Stops judging, removes the table; NULL is a no-op. */
void nf_engine_stop(NetfilterEngine *nf);

} // namespace endr
