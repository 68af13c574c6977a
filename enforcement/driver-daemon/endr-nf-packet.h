/*
 * The tuple of the first packet of a flow, read from the network-layer bytes a netfilter
 * queue hands over. Pure: no I/O, every length checked before a read.
 */
#pragma once

#include <cstdint>
#include <span>

#include "enforcement/driver-daemon/endr-policy.h"

namespace endr {

/*
 * Fills c's direction, protocol (0 TCP, 1 UDP, 2 ICMP or ICMPv6), family, local and remote
 * addresses and ports and, for ICMP, the type and code. Outbound packets have the local
 * endpoint as source, inbound ones as destination. IPv6 extension headers (hop-by-hop,
 * routing, destination options) are walked; a fragment that is not the first one carries
 * no ports and is refused. false for a truncated or malformed packet or another protocol:
 * the caller lets such a packet pass unjudged.
 */
bool nf_packet_tuple(std::span<const uint8_t> ip, bool inbound, Connection *c);

} // namespace endr
