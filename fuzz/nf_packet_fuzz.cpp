/* The queued-packet tuple reader and the ICMP socket table reader: any bytes, no crash,
 * and a tuple only ever made of bytes the packet holds. */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "enforcement/driver-daemon/endr-nf-packet.h"
#include "enforcement/driver-daemon/endr-nf-socket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    bool inbound = data[0] & 1;
    std::span<const uint8_t> ip(data + 1, size - 1);
    endr::Connection c;
    if (endr::nf_packet_tuple(ip, inbound, &c)) {
        size_t src = c.ipv6 ? 8 : 12, dst = c.ipv6 ? 24 : 16, n = c.ipv6 ? 16 : 4;
        const uint8_t *local = ip.data() + (inbound ? dst : src), *remote = ip.data() + (inbound ? src : dst);
        if (ip.size() < (c.ipv6 ? 40u : 20u) || c.inbound != inbound || c.protocol > 2 ||
            memcmp(c.local.data(), local, n) != 0 || memcmp(c.remote.data(), remote, n) != 0 ||
            c.has_icmp_type != (c.protocol == 2) ||
            (c.protocol == 2 && (c.local_port != 0 || c.remote_port != 0))) {
            abort();
        }
    }
    /* The same bytes as a /proc/net/{raw,icmp}[6] table, judged against whatever tuple came out. */
    std::string_view table(reinterpret_cast<const char *>(data + 1), size - 1);
    for (bool raw : {true, false}) {
        for (bool v6 : {false, true}) {
            c.ipv6 = v6;
            c.protocol = 2;
            uint64_t inode = endr::nf_icmp_socket_inode(table, raw, c);
            if (inode != 0 && table.find('\n') == std::string_view::npos) {
                abort();
            }
        }
    }
    return 0;
}
