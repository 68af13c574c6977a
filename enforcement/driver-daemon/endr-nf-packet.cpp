#include "enforcement/driver-daemon/endr-nf-packet.h"

#include <cstring>

namespace endr {

namespace {

constexpr uint8_t kTcp = 6;
constexpr uint8_t kUdp = 17;
constexpr uint8_t kIcmp = 1;
constexpr uint8_t kIcmp6 = 58;

uint16_t be16(std::span<const uint8_t> b, size_t at)
{
    return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}

/* The transport header at l4 of protocol proto into c. */
bool transport(std::span<const uint8_t> l4, uint8_t proto, bool inbound, Connection *c)
{
    uint16_t src_port = 0, dst_port = 0;
    if (proto == kTcp || proto == kUdp) {
        if (l4.size() < (proto == kTcp ? 20u : 8u)) {
            return false;
        }
        src_port = be16(l4, 0);
        dst_port = be16(l4, 2);
        c->protocol = proto == kTcp ? 0 : 1;
    } else if (proto == (c->ipv6 ? kIcmp6 : kIcmp)) {
        if (l4.size() < 4) {
            return false;
        }
        c->protocol = 2;
        c->has_icmp_type = c->has_icmp_code = true;
        c->icmp_type = l4[0];
        c->icmp_code = l4[1];
    } else {
        return false;
    }
    c->local_port = inbound ? dst_port : src_port;
    c->remote_port = inbound ? src_port : dst_port;
    return true;
}

bool ipv4(std::span<const uint8_t> ip, bool inbound, Connection *c)
{
    if (ip.size() < 20) {
        return false;
    }
    size_t ihl = size_t{ip[0] & 0x0fu} * 4;
    size_t total = be16(ip, 2);
    if (ihl < 20 || ihl > ip.size() || total < ihl) {
        return false;
    }
    /* Only the first fragment carries the transport header. */
    if ((be16(ip, 6) & 0x1fff) != 0) {
        return false;
    }
    c->ipv6 = false;
    c->local = {};
    c->remote = {};
    memcpy(c->local.data(), ip.data() + (inbound ? 16 : 12), 4);
    memcpy(c->remote.data(), ip.data() + (inbound ? 12 : 16), 4);
    /* The queue may hand over fewer bytes than the packet holds: read what is there. */
    size_t end = total < ip.size() ? total : ip.size();
    return transport(ip.subspan(ihl, end - ihl), ip[9], inbound, c);
}

bool ipv6(std::span<const uint8_t> ip, bool inbound, Connection *c)
{
    if (ip.size() < 40) {
        return false;
    }
    c->ipv6 = true;
    memcpy(c->local.data(), ip.data() + (inbound ? 24 : 8), 16);
    memcpy(c->remote.data(), ip.data() + (inbound ? 8 : 24), 16);
    uint8_t next = ip[6];
    size_t at = 40;
    /* No cap on the number of headers: the kernel walks any chain, so a cap would let a
     * long one through unjudged. Each step moves on by 8 bytes or more, the walk ends. */
    for (;;) {
        if (next == 0 || next == 43 || next == 60) {
            if (ip.size() < at + 8) {
                return false;
            }
            next = ip[at];
            at += (size_t{ip[at + 1]} + 1) * 8;
        } else if (next == 44) {
            if (ip.size() < at + 8 || (be16(ip, at + 2) & 0xfff8) != 0) {
                return false;
            }
            next = ip[at];
            at += 8;
        } else {
            return at <= ip.size() && transport(ip.subspan(at), next, inbound, c);
        }
    }
}

} // namespace

bool nf_packet_tuple(std::span<const uint8_t> ip, bool inbound, Connection *c)
{
    if (ip.empty()) {
        return false;
    }
    c->inbound = inbound;
    c->has_icmp_type = c->has_icmp_code = false;
    c->icmp_type = c->icmp_code = 0;
    switch (ip[0] >> 4) {
    case 4:
        return ipv4(ip, inbound, c);
    case 6:
        return ipv6(ip, inbound, c);
    default:
        return false;
    }
}

} // namespace endr
