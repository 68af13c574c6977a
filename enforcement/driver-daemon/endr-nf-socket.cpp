#include "enforcement/driver-daemon/endr-nf-socket.h"

#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

namespace endr {

namespace {

using Clock = std::chrono::steady_clock;
/* How long a found inode's owner is believed without a new scan. */
constexpr auto kOwnerTtl = std::chrono::seconds(2);

struct Owner {
    uint64_t pid;
    Clock::time_point seen;
};

std::unordered_map<uint64_t, Owner> &owners()
{
    static std::unordered_map<uint64_t, Owner> map;
    return map;
}

/* Every socket inode open in every process right now. */
void scan_proc()
{
    auto &map = owners();
    map.clear();
    Clock::time_point now = Clock::now();
    DIR *proc = opendir("/proc");
    if (!proc) {
        return;
    }
    while (struct dirent *p = readdir(proc)) {
        char *end = nullptr;
        unsigned long pid = strtoul(p->d_name, &end, 10);
        if (pid == 0 || *end) {
            continue;
        }
        std::string fds = std::string("/proc/") + p->d_name + "/fd";
        DIR *d = opendir(fds.c_str());
        if (!d) {
            continue;
        }
        while (struct dirent *f = readdir(d)) {
            char link[64];
            std::string path = fds + "/" + f->d_name;
            ssize_t n = readlink(path.c_str(), link, sizeof(link) - 1);
            if (n <= 9 || strncmp(link, "socket:[", 8) != 0) {
                continue;
            }
            link[n] = '\0';
            uint64_t inode = strtoull(link + 8, nullptr, 10);
            map.emplace(inode, Owner{pid, now});
        }
        closedir(d);
    }
    closedir(proc);
}

/* The inode of the socket sock_diag finds for src -> dst, 0 when none. */
uint64_t diag_inode(const Connection &c, bool udp, const std::array<uint8_t, 16> &src, uint16_t sport,
                    const std::array<uint8_t, 16> &dst, uint16_t dport)
{
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) {
        return 0;
    }
    struct {
        nlmsghdr nlh;
        inet_diag_req_v2 req;
    } msg{};
    msg.nlh.nlmsg_len = sizeof(msg);
    msg.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    msg.nlh.nlmsg_flags = NLM_F_REQUEST;
    msg.nlh.nlmsg_seq = 1;
    msg.req.sdiag_family = c.ipv6 ? AF_INET6 : AF_INET;
    msg.req.sdiag_protocol = udp ? IPPROTO_UDP : IPPROTO_TCP;
    msg.req.idiag_states = ~0u;
    msg.req.id.idiag_sport = htons(sport);
    msg.req.id.idiag_dport = htons(dport);
    memcpy(msg.req.id.idiag_src, src.data(), c.ipv6 ? 16 : 4);
    memcpy(msg.req.id.idiag_dst, dst.data(), c.ipv6 ? 16 : 4);
    msg.req.id.idiag_cookie[0] = msg.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    uint64_t inode = 0;
    struct timeval tv = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    if (sendto(fd, &msg, sizeof(msg), 0, reinterpret_cast<sockaddr *>(&kernel), sizeof(kernel)) ==
        static_cast<ssize_t>(sizeof(msg))) {
        alignas(nlmsghdr) uint8_t buf[8192];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        size_t left = n > 0 ? static_cast<size_t>(n) : 0;
        for (auto *h = reinterpret_cast<nlmsghdr *>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == SOCK_DIAG_BY_FAMILY && h->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                inode = static_cast<const inet_diag_msg *>(NLMSG_DATA(h))->idiag_inode;
                break;
            }
            if (h->nlmsg_type == NLMSG_ERROR || h->nlmsg_type == NLMSG_DONE) {
                break;
            }
        }
    }
    close(fd);
    return inode;
}

} // namespace

uint64_t nf_inode_pid(uint64_t inode)
{
    if (inode == 0) {
        return 0;
    }
    auto &map = owners();
    auto it = map.find(inode);
    if (it == map.end() || Clock::now() - it->second.seen > kOwnerTtl) {
        scan_proc();
        it = map.find(inode);
    }
    return it != map.end() ? it->second.pid : 0;
}

uint64_t nf_socket_pid(const Connection &c)
{
    if (c.protocol > 1) {
        return 0;
    }
    uint64_t inode = 0;
    if (c.protocol == 0) {
        inode = diag_inode(c, false, c.local, c.local_port, c.remote, c.remote_port);
    } else {
        /* The UDP lookup reads the request's source as the remote side; kernels differ,
         * so the other order is tried too. */
        inode = diag_inode(c, true, c.remote, c.remote_port, c.local, c.local_port);
        if (inode == 0) {
            inode = diag_inode(c, true, c.local, c.local_port, c.remote, c.remote_port);
        }
    }
    return nf_inode_pid(inode);
}

} // namespace endr
