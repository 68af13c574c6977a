#include "enforcement/driver-daemon/endr-nf-socket.h"

#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

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

/* One address column of /proc/net/{raw,icmp}[6]: each 32-bit word printed as hex of its
 * bytes in memory order read as a host-order number. */
bool proc_address(std::string_view text, bool ipv6, std::array<uint8_t, 16> *out, uint32_t *port)
{
    size_t digits = ipv6 ? 32 : 8;
    if (text.size() != digits + 5 || text[digits] != ':') {
        return false;
    }
    *out = {};
    for (size_t w = 0; w < digits / 8; w++) {
        char word[9] = {};
        memcpy(word, text.data() + w * 8, 8);
        char *end = nullptr;
        uint32_t v = static_cast<uint32_t>(strtoul(word, &end, 16));
        if (*end) {
            return false;
        }
        memcpy(out->data() + w * 4, &v, 4);
    }
    char port_text[5] = {};
    memcpy(port_text, text.data() + digits + 1, 4);
    char *end = nullptr;
    *port = static_cast<uint32_t>(strtoul(port_text, &end, 16));
    return !*end;
}

} // namespace

uint64_t nf_icmp_socket_inode(std::string_view table, bool raw, const Connection &c)
{
    static const std::array<uint8_t, 16> kAny{};
    uint64_t best = 0;
    int best_score = -1;
    size_t at = table.find('\n');
    while (at != std::string_view::npos && at + 1 < table.size()) {
        size_t next = table.find('\n', at + 1);
        std::string_view line = table.substr(at + 1, next == std::string_view::npos ? next : next - at - 1);
        at = next;
        /* sl local rem st tx:rx tr:when retrnsmt uid timeout inode */
        std::vector<std::string_view> f;
        size_t i = 0;
        while (i < line.size() && f.size() < 10) {
            while (i < line.size() && line[i] == ' ') {
                i++;
            }
            size_t start = i;
            while (i < line.size() && line[i] != ' ') {
                i++;
            }
            if (i > start) {
                f.push_back(line.substr(start, i - start));
            }
        }
        std::array<uint8_t, 16> local, remote;
        uint32_t local_port = 0, remote_port = 0;
        if (f.size() < 10 || !proc_address(f[1], c.ipv6, &local, &local_port) ||
            !proc_address(f[2], c.ipv6, &remote, &remote_port)) {
            continue;
        }
        if (raw && local_port != (c.ipv6 ? 58u : 1u)) {
            continue;
        }
        int score = 0;
        for (auto [have, want] : {std::pair{&local, &c.local}, std::pair{&remote, &c.remote}}) {
            if (*have == *want) {
                score += 2;
            } else if (*have == kAny) {
                score += 1;
            } else {
                score = -1;
                break;
            }
        }
        std::string inode_text(f[9]);
        char *end = nullptr;
        uint64_t inode = strtoull(inode_text.c_str(), &end, 10);
        if (score > best_score && !*end && inode != 0) {
            best = inode;
            best_score = score;
        }
    }
    return best;
}

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
    uint64_t inode = 0;
    if (c.protocol == 2) {
        for (bool raw : {true, false}) {
            std::string path = std::string("/proc/net/") + (raw ? "raw" : "icmp") + (c.ipv6 ? "6" : "");
            std::ifstream in(path);
            std::stringstream text;
            text << in.rdbuf();
            if ((inode = nf_icmp_socket_inode(text.str(), raw, c)) != 0) {
                break;
            }
        }
    } else if (c.protocol == 0) {
        inode = diag_inode(c, false, c.local, c.local_port, c.remote, c.remote_port);
    } else {
        /* The UDP lookup reads the request's source as the remote side (it looks up the
         * socket an arriving datagram would reach). */
        inode = diag_inode(c, true, c.remote, c.remote_port, c.local, c.local_port);
    }
    return nf_inode_pid(inode);
}

} // namespace endr
