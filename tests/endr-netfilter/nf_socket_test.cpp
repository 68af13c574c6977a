/* The local process of a flow: socket tables read from captured text, and real loopback
 * sockets of this process found through sock_diag and the inode scan. */
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "enforcement/driver-daemon/endr-nf-socket.h"

namespace {

using endr::Connection;

Connection Icmp(const char *local, const char *remote, bool v6 = false)
{
    Connection c;
    c.protocol = 2;
    c.ipv6 = v6;
    inet_pton(v6 ? AF_INET6 : AF_INET, local, c.local.data());
    inet_pton(v6 ? AF_INET6 : AF_INET, remote, c.remote.data());
    return c;
}

const char kHeader[] = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
                       "inode ref pointer drops\n";

TEST(NfSocket, IcmpSocketsAreFoundInTheRawAndPingTablesByTheClosestBinding)
{
    /* 10.231.0.1 is 0x0100E70A in memory order read as a little-endian number. */
    std::string raw = std::string(kHeader) +
                      "   1: 00000000:0001 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 "
                      "111 2 0000000000000000 0\n"
                      "   2: 0100E70A:0001 0200E70A:0000 07 00000000:00000000 00:00000000 00000000     0        0 "
                      "222 2 0000000000000000 0\n"
                      "   3: 0100E70A:0006 0200E70A:0000 07 00000000:00000000 00:00000000 00000000     0        0 "
                      "333 2 0000000000000000 0\n"
                      "   4: 0300E70A:0001 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 "
                      "444 2 0000000000000000 0\n";
    EXPECT_EQ(endr::nf_icmp_socket_inode(raw, true, Icmp("10.231.0.1", "10.231.0.2")), 222u)
        << "bound and connected beats the wildcard";
    EXPECT_EQ(endr::nf_icmp_socket_inode(raw, true, Icmp("10.231.0.1", "10.231.0.9")), 111u)
        << "a socket connected elsewhere does not send this";
    EXPECT_EQ(endr::nf_icmp_socket_inode(raw, true, Icmp("10.231.0.3", "10.231.0.9")), 444u);
    /* Protocol 6 raw socket (line 3) never sends ICMP; ping sockets have no protocol column. */
    std::string only_tcp_raw = std::string(kHeader) +
                               "   3: 0100E70A:0006 0200E70A:0000 07 00000000:00000000 00:00000000 00000000     0   "
                               "     0 333 2 0000000000000000 0\n";
    EXPECT_EQ(endr::nf_icmp_socket_inode(only_tcp_raw, true, Icmp("10.231.0.1", "10.231.0.2")), 0u);
    EXPECT_EQ(endr::nf_icmp_socket_inode(only_tcp_raw, false, Icmp("10.231.0.1", "10.231.0.2")), 333u);

    std::string ping6 = std::string(kHeader) +
                        "   5: 00000000000000000000000001000000:1F90 00000000000000000000000000000000:0000 07 "
                        "00000000:00000000 00:00000000 00000000  1000        0 555 2 0000000000000000 0\n";
    EXPECT_EQ(endr::nf_icmp_socket_inode(ping6, false, Icmp("::1", "::1", true)), 555u);
    EXPECT_EQ(endr::nf_icmp_socket_inode(ping6, false, Icmp("::2", "::1", true)), 0u);
    EXPECT_EQ(endr::nf_icmp_socket_inode(ping6, false, Icmp("127.0.0.1", "127.0.0.1")), 0u)
        << "an IPv6 table read for IPv4";
}

TEST(NfSocket, MalformedTableLinesAreSkipped)
{
    const Connection c = Icmp("10.231.0.1", "10.231.0.2");
    EXPECT_EQ(endr::nf_icmp_socket_inode("", true, c), 0u);
    EXPECT_EQ(endr::nf_icmp_socket_inode(kHeader, true, c), 0u);
    for (const char *line : {
             "   1: 0100E70A:0001 0200E70A:0000 07\n",                                               /* short */
             "   1: 0100E70Z:0001 0200E70A:0000 07 00000000:00000000 00:00000000 00000000 0 0 77 2\n", /* hex */
             "   1: 0100E70A0001 0200E70A:0000 07 00000000:00000000 00:00000000 00000000 0 0 77 2\n",  /* colon */
             "   1: 0100E70A:0001 0200E70A:0000 07 00000000:00000000 00:00000000 00000000 0 0 7x 2\n", /* inode */
             "   1: 0100E70A:0001 0200E70A:0000 07 00000000:00000000 00:00000000 00000000 0 0 0 2\n",  /* none */
         }) {
        EXPECT_EQ(endr::nf_icmp_socket_inode(std::string(kHeader) + line, true, c), 0u) << line;
    }
    /* A good line after a bad one still counts, a last line without a newline too. */
    std::string mixed = std::string(kHeader) + "garbage\n" +
                        "   1: 0100E70A:0001 0200E70A:0000 07 00000000:00000000 00:00000000 00000000 0 0 88 2";
    EXPECT_EQ(endr::nf_icmp_socket_inode(mixed, true, c), 88u);
}

uint64_t InodeOf(int fd)
{
    struct stat st{};
    return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

/* The tuple of a connected loopback socket as seen from its own side. */
Connection Tuple(int fd, uint8_t protocol)
{
    sockaddr_in local{}, remote{};
    socklen_t len = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len);
    len = sizeof remote;
    getpeername(fd, reinterpret_cast<sockaddr *>(&remote), &len);
    Connection c;
    c.protocol = protocol;
    memcpy(c.local.data(), &local.sin_addr, 4);
    memcpy(c.remote.data(), &remote.sin_addr, 4);
    c.local_port = ntohs(local.sin_port);
    c.remote_port = ntohs(remote.sin_port);
    return c;
}

TEST(NfSocket, LoopbackSocketsOfThisProcessAreFoundThroughSockDiag)
{
    EXPECT_EQ(endr::nf_inode_pid(0), 0u);
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof any;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&any), &len), 0);
    EXPECT_EQ(endr::nf_inode_pid(InodeOf(listener)), static_cast<uint64_t>(getpid()));

    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
    Connection out = Tuple(client, 0);
    EXPECT_EQ(endr::nf_socket_pid(out), static_cast<uint64_t>(getpid()));
    /* A new flow coming in from another port reaches the listener. */
    Connection in = out;
    std::swap(in.local, in.remote);
    std::swap(in.local_port, in.remote_port);
    in.inbound = true;
    in.remote_port = static_cast<uint16_t>(in.remote_port ^ 1);
    EXPECT_EQ(endr::nf_socket_pid(in), static_cast<uint64_t>(getpid()));
    /* A tuple no socket has. */
    Connection none = out;
    none.remote_port = static_cast<uint16_t>(out.remote_port ^ 1);
    none.local_port = static_cast<uint16_t>(out.local_port ^ 1);
    EXPECT_EQ(endr::nf_socket_pid(none), 0u);
    close(client);
    close(listener);

    /* UDP: an unconnected socket bound to a port sends to another. */
    int a = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int b = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in la{}, lb{};
    la.sin_family = lb.sin_family = AF_INET;
    la.sin_addr.s_addr = htonl(INADDR_ANY);
    lb.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(a, reinterpret_cast<sockaddr *>(&la), sizeof la), 0);
    ASSERT_EQ(bind(b, reinterpret_cast<sockaddr *>(&lb), sizeof lb), 0);
    len = sizeof la;
    getsockname(a, reinterpret_cast<sockaddr *>(&la), &len);
    len = sizeof lb;
    getsockname(b, reinterpret_cast<sockaddr *>(&lb), &len);
    Connection udp;
    udp.protocol = 1;
    inet_pton(AF_INET, "127.0.0.1", udp.local.data());
    inet_pton(AF_INET, "127.0.0.1", udp.remote.data());
    udp.local_port = ntohs(la.sin_port);
    udp.remote_port = ntohs(lb.sin_port);
    EXPECT_EQ(endr::nf_socket_pid(udp), static_cast<uint64_t>(getpid())) << "bound to the wildcard address";
    close(a);
    EXPECT_EQ(endr::nf_socket_pid(udp), 0u) << "closed";
    close(b);
}

} // namespace
