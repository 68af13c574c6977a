/* Tuples read from first packets as a netfilter queue hands them over: both directions,
 * both families, and packets that are cut short or not what they claim. */
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "enforcement/driver-daemon/endr-nf-packet.h"

namespace {

using endr::Connection;
using Bytes = std::vector<uint8_t>;

std::string Text(const std::array<uint8_t, 16> &a, bool v6)
{
    char text[INET6_ADDRSTRLEN];
    inet_ntop(v6 ? AF_INET6 : AF_INET, a.data(), text, sizeof text);
    return text;
}

Bytes Ipv4(uint8_t proto, const char *src, const char *dst, const Bytes &l4, uint8_t ihl_words = 5)
{
    Bytes p(size_t{ihl_words} * 4, 0);
    p[0] = static_cast<uint8_t>(0x40 | ihl_words);
    size_t total = p.size() + l4.size();
    p[2] = static_cast<uint8_t>(total >> 8);
    p[3] = static_cast<uint8_t>(total);
    p[8] = 64;
    p[9] = proto;
    inet_pton(AF_INET, src, p.data() + 12);
    inet_pton(AF_INET, dst, p.data() + 16);
    p.insert(p.end(), l4.begin(), l4.end());
    return p;
}

Bytes Ipv6(uint8_t next, const char *src, const char *dst, const Bytes &rest)
{
    Bytes p(40, 0);
    p[0] = 0x60;
    p[4] = static_cast<uint8_t>(rest.size() >> 8);
    p[5] = static_cast<uint8_t>(rest.size());
    p[6] = next;
    p[7] = 64;
    inet_pton(AF_INET6, src, p.data() + 8);
    inet_pton(AF_INET6, dst, p.data() + 24);
    p.insert(p.end(), rest.begin(), rest.end());
    return p;
}

Bytes Ports(uint16_t src, uint16_t dst, size_t len)
{
    Bytes l4(len, 0);
    l4[0] = static_cast<uint8_t>(src >> 8);
    l4[1] = static_cast<uint8_t>(src);
    l4[2] = static_cast<uint8_t>(dst >> 8);
    l4[3] = static_cast<uint8_t>(dst);
    return l4;
}

TEST(NfPacket, TcpAndUdpTuplesPutTheLocalEndpointOnTheRightSideForEachDirection)
{
    Bytes syn = Ipv4(6, "10.231.0.1", "10.231.0.2", Ports(40000, 5432, 20));
    Connection out;
    ASSERT_TRUE(endr::nf_packet_tuple(syn, false, &out));
    EXPECT_FALSE(out.inbound);
    EXPECT_FALSE(out.ipv6);
    EXPECT_EQ(out.protocol, 0);
    EXPECT_EQ(Text(out.local, false), "10.231.0.1");
    EXPECT_EQ(Text(out.remote, false), "10.231.0.2");
    EXPECT_EQ(out.local_port, 40000);
    EXPECT_EQ(out.remote_port, 5432);
    EXPECT_FALSE(out.has_icmp_type);

    Connection in;
    ASSERT_TRUE(endr::nf_packet_tuple(syn, true, &in));
    EXPECT_TRUE(in.inbound);
    EXPECT_EQ(Text(in.local, false), "10.231.0.2");
    EXPECT_EQ(Text(in.remote, false), "10.231.0.1");
    EXPECT_EQ(in.local_port, 5432);
    EXPECT_EQ(in.remote_port, 40000);

    /* IPv4 options move the transport header. */
    Connection udp;
    ASSERT_TRUE(endr::nf_packet_tuple(Ipv4(17, "192.0.2.1", "192.0.2.53", Ports(5353, 53, 8), 7), false, &udp));
    EXPECT_EQ(udp.protocol, 1);
    EXPECT_EQ(udp.local_port, 5353);
    EXPECT_EQ(udp.remote_port, 53);

    Connection v6;
    ASSERT_TRUE(endr::nf_packet_tuple(Ipv6(6, "2001:db8::1", "2001:db8::2", Ports(50000, 2222, 20)), true, &v6));
    EXPECT_TRUE(v6.ipv6);
    EXPECT_EQ(Text(v6.local, true), "2001:db8::2");
    EXPECT_EQ(Text(v6.remote, true), "2001:db8::1");
    EXPECT_EQ(v6.local_port, 2222);
    EXPECT_EQ(v6.remote_port, 50000);
}

TEST(NfPacket, IcmpCarriesTypeAndCodeWithoutPortsAndIpv6ExtensionHeadersAreWalked)
{
    Connection echo;
    echo.local_port = 7; /* stale values must not survive */
    ASSERT_TRUE(endr::nf_packet_tuple(Ipv4(1, "10.0.0.1", "10.0.0.2", {8, 0, 0, 0, 0, 1, 0, 1}), false, &echo));
    EXPECT_EQ(echo.protocol, 2);
    EXPECT_TRUE(echo.has_icmp_type);
    EXPECT_EQ(echo.icmp_type, 8);
    EXPECT_EQ(echo.icmp_code, 0);
    EXPECT_EQ(echo.local_port, 0);
    EXPECT_EQ(echo.remote_port, 0);

    /* ICMPv6 is ICMP for IPv6 only; protocol 1 inside IPv6 is not. */
    Connection v6;
    ASSERT_TRUE(endr::nf_packet_tuple(Ipv6(58, "fe80::1", "fe80::2", {128, 0, 0, 0}), false, &v6));
    EXPECT_EQ(v6.protocol, 2);
    EXPECT_EQ(v6.icmp_type, 128);
    EXPECT_FALSE(endr::nf_packet_tuple(Ipv6(1, "fe80::1", "fe80::2", {8, 0, 0, 0}), false, &v6));

    /* Hop-by-hop (8 bytes) then destination options (16 bytes) then UDP. */
    Bytes ext = {60, 0, 1, 4, 0, 0, 0, 0, 17, 1, 1, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    Bytes udp = Ports(1000, 2000, 8);
    ext.insert(ext.end(), udp.begin(), udp.end());
    Connection walked;
    ASSERT_TRUE(endr::nf_packet_tuple(Ipv6(0, "2001:db8::1", "2001:db8::2", ext), false, &walked));
    EXPECT_EQ(walked.protocol, 1);
    EXPECT_EQ(walked.local_port, 1000);
    EXPECT_EQ(walked.remote_port, 2000);

    /* A first fragment has offset 0 and is judged; a later one is not. */
    Bytes first = {6, 0, 0, 1, 0, 0, 0, 9};
    Bytes tcp = Ports(1, 2, 20);
    first.insert(first.end(), tcp.begin(), tcp.end());
    EXPECT_TRUE(endr::nf_packet_tuple(Ipv6(44, "2001:db8::1", "2001:db8::2", first), false, &walked));
    Bytes later = first;
    later[2] = 0x01;
    EXPECT_FALSE(endr::nf_packet_tuple(Ipv6(44, "2001:db8::1", "2001:db8::2", later), false, &walked));
}

TEST(NfPacket, LongExtensionHeaderChainsStillYieldThePorts)
{
    /* Twelve destination options headers (the kernel takes any number) before TCP, then
     * the same with one long header. */
    for (size_t count : {12u, 1u}) {
        size_t units = count == 1 ? 40 : 1;
        Bytes chain;
        for (size_t i = 0; i < count; i++) {
            Bytes h(units * 8, 0);
            h[0] = i + 1 == count ? 6 : 60;
            h[1] = static_cast<uint8_t>(units - 1);
            chain.insert(chain.end(), h.begin(), h.end());
        }
        Bytes tcp = Ports(40000, 5432, 20);
        chain.insert(chain.end(), tcp.begin(), tcp.end());
        Connection c;
        ASSERT_TRUE(endr::nf_packet_tuple(Ipv6(60, "2001:db8::1", "2001:db8::2", chain), false, &c)) << count;
        EXPECT_EQ(c.protocol, 0);
        EXPECT_EQ(c.local_port, 40000);
        EXPECT_EQ(c.remote_port, 5432);
    }
}

TEST(NfPacket, TruncatedMalformedAndOtherPacketsAreRefused)
{
    Connection c;
    EXPECT_FALSE(endr::nf_packet_tuple({}, false, &c));
    Bytes syn = Ipv4(6, "10.0.0.1", "10.0.0.2", Ports(1, 2, 20));
    /* Every cut short of the TCP header's 20 bytes. */
    for (size_t len = 1; len < syn.size(); len++) {
        EXPECT_FALSE(endr::nf_packet_tuple(std::span<const uint8_t>(syn.data(), len), false, &c)) << len;
    }
    EXPECT_FALSE(endr::nf_packet_tuple(Ipv4(17, "10.0.0.1", "10.0.0.2", Ports(1, 2, 7)), false, &c));
    EXPECT_FALSE(endr::nf_packet_tuple(Ipv4(1, "10.0.0.1", "10.0.0.2", {8, 0, 0}), false, &c));
    /* SCTP: not judged. */
    EXPECT_FALSE(endr::nf_packet_tuple(Ipv4(132, "10.0.0.1", "10.0.0.2", Ports(1, 2, 20)), false, &c));

    Bytes bad = syn;
    bad[0] = 0x44; /* header length 16 */
    EXPECT_FALSE(endr::nf_packet_tuple(bad, false, &c));
    bad[0] = 0x4f; /* header length 60, past the packet */
    EXPECT_FALSE(endr::nf_packet_tuple(bad, false, &c));
    bad = syn;
    bad[2] = 0;
    bad[3] = 30; /* total length cuts the TCP header */
    EXPECT_FALSE(endr::nf_packet_tuple(bad, false, &c));
    bad = syn;
    bad[0] = 0x55;
    EXPECT_FALSE(endr::nf_packet_tuple(bad, false, &c));
    bad = syn;
    bad[7] = 1; /* a later fragment */
    EXPECT_FALSE(endr::nf_packet_tuple(bad, false, &c));

    /* An extension header whose length runs past the packet. */
    EXPECT_FALSE(endr::nf_packet_tuple(Ipv6(0, "2001:db8::1", "2001:db8::2", {6, 200, 0, 0, 0, 0, 0, 0}), false, &c));
    EXPECT_FALSE(endr::nf_packet_tuple(Ipv6(0, "2001:db8::1", "2001:db8::2", {6, 0, 0}), false, &c));
    /* A loop of extension headers ends. */
    Bytes loop;
    for (int i = 0; i < 12; i++) {
        Bytes h = {0, 0, 0, 0, 0, 0, 0, 0};
        loop.insert(loop.end(), h.begin(), h.end());
    }
    EXPECT_FALSE(endr::nf_packet_tuple(Ipv6(0, "2001:db8::1", "2001:db8::2", loop), false, &c));
    Bytes v6 = Ipv6(6, "2001:db8::1", "2001:db8::2", Ports(1, 2, 20));
    EXPECT_FALSE(endr::nf_packet_tuple(std::span<const uint8_t>(v6.data(), 39), false, &c));
}

} // namespace
