#include "enforcement/platforms/netif-adapters.h"

#include <arpa/inet.h>
#include <linux/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "util/error.h"

namespace {

constexpr size_t kReceiveBufferSize = 64 * 1024;
/* A dump that raced with a change is read again, a bounded number of times. */
constexpr int kDumpAttempts = 3;
constexpr size_t kResolvConfMax = 1024 * 1024;
constexpr const char *kResolvConfDefault = "/etc/resolv.conf";

struct Address {
    bool ipv6;
    std::string text;
    int prefix;
};

struct Link {
    std::string name;
    uint32_t index = 0;
    std::vector<uint8_t> hw_address;
    bool up = false;
    bool loopback = false;
    std::vector<Address> ipv4;
    std::vector<Address> ipv6;
};

struct Socket {
    int fd = -1;
    ~Socket()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
};

using MessageFn = std::function<void(uint16_t type, const uint8_t *payload, size_t length)>;

/* Walks the route attributes of one message; stops at the first malformed one. */
void for_each_attribute(const uint8_t *data, size_t length,
                        const std::function<void(uint16_t type, const uint8_t *value, size_t size)> &fn)
{
    while (length >= sizeof(rtattr)) {
        rtattr attr;
        memcpy(&attr, data, sizeof attr);
        if (attr.rta_len < sizeof(rtattr) || attr.rta_len > length) {
            return;
        }
        fn(static_cast<uint16_t>(attr.rta_type & NLA_TYPE_MASK), data + RTA_LENGTH(0), attr.rta_len - RTA_LENGTH(0));
        size_t step = RTA_ALIGN(attr.rta_len);
        if (step >= length) {
            return;
        }
        data += step;
        length -= step;
    }
}

/*
 * Sends one dump request and hands every message of the reply to fn. False with *error
 * (an errno value) when the socket fails, the kernel refuses or a reply is malformed.
 */
bool netlink_dump(int fd, uint16_t type, uint32_t seq, const MessageFn &fn, bool *interrupted, int *error)
{
    alignas(nlmsghdr) uint8_t request[NLMSG_SPACE(sizeof(ifinfomsg))] = {};
    nlmsghdr header{};
    size_t body = type == RTM_GETLINK ? sizeof(ifinfomsg) : sizeof(ifaddrmsg);
    header.nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(body));
    header.nlmsg_type = type;
    header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    header.nlmsg_seq = seq;
    memcpy(request, &header, sizeof header); /* the body stays zero: AF_UNSPEC, every interface */
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent = sendto(fd, request, header.nlmsg_len, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        *error = errno;
        return false;
    }

    std::vector<uint8_t> buffer(kReceiveBufferSize);
    for (;;) {
        sockaddr_nl from{};
        iovec iov{buffer.data(), buffer.size()};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        ssize_t received = recvmsg(fd, &msg, 0);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            *error = errno;
            return false;
        }
        if (msg.msg_flags & MSG_TRUNC) {
            *error = EMSGSIZE;
            return false;
        }
        if (from.nl_pid != 0) {
            continue; /* only the kernel answers dumps */
        }
        const uint8_t *p = buffer.data();
        size_t left = static_cast<size_t>(received);
        while (left >= sizeof(nlmsghdr)) {
            nlmsghdr h;
            memcpy(&h, p, sizeof h);
            if (h.nlmsg_len < NLMSG_HDRLEN || h.nlmsg_len > left) {
                *error = EBADMSG;
                return false;
            }
            const uint8_t *payload = p + NLMSG_HDRLEN;
            size_t payload_length = h.nlmsg_len - NLMSG_HDRLEN;
            if (h.nlmsg_seq == seq) {
                if (h.nlmsg_flags & NLM_F_DUMP_INTR) {
                    *interrupted = true;
                }
                if (h.nlmsg_type == NLMSG_DONE || h.nlmsg_type == NLMSG_ERROR) {
                    int status = 0;
                    if (payload_length < sizeof status) {
                        *error = EBADMSG;
                        return false;
                    }
                    memcpy(&status, payload, sizeof status);
                    if (status < 0) {
                        *error = -status;
                        return false;
                    }
                    if (h.nlmsg_type == NLMSG_ERROR) {
                        *error = EBADMSG; /* an acknowledgement instead of a dump */
                        return false;
                    }
                    return true;
                }
                fn(h.nlmsg_type, payload, payload_length);
            }
            size_t step = NLMSG_ALIGN(h.nlmsg_len);
            if (step >= left) {
                break;
            }
            p += step;
            left -= step;
        }
    }
}

bool valid_name(std::string_view name)
{
    return !name.empty() && name.size() < IFNAMSIZ && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos;
}

void parse_link(const uint8_t *payload, size_t length, std::map<uint32_t, Link> *links)
{
    if (length < NLMSG_ALIGN(sizeof(ifinfomsg))) {
        return;
    }
    ifinfomsg info;
    memcpy(&info, payload, sizeof info);
    if (info.ifi_index <= 0) {
        return;
    }
    Link link;
    link.index = static_cast<uint32_t>(info.ifi_index);
    link.loopback = (info.ifi_flags & IFF_LOOPBACK) != 0;
    int operstate = IF_OPER_UNKNOWN;
    for_each_attribute(payload + NLMSG_ALIGN(sizeof info), length - NLMSG_ALIGN(sizeof info),
                       [&](uint16_t type, const uint8_t *value, size_t size) {
                           if (type == IFLA_IFNAME) {
                               size_t n = strnlen(reinterpret_cast<const char *>(value), size);
                               if (n < size) {
                                   link.name.assign(reinterpret_cast<const char *>(value), n);
                               }
                           } else if (type == IFLA_ADDRESS && size <= PLATFORM_HW_ADDRESS_MAX) {
                               link.hw_address.assign(value, value + size);
                           } else if (type == IFLA_OPERSTATE && size >= 1) {
                               operstate = value[0];
                           }
                       });
    if (!valid_name(link.name)) {
        return;
    }
    /* Loopback reports six zero bytes: that is no hardware address. */
    if (std::all_of(link.hw_address.begin(), link.hw_address.end(), [](uint8_t b) { return b == 0; })) {
        link.hw_address.clear();
    }
    link.up = (info.ifi_flags & IFF_UP) != 0 && operstate != IF_OPER_DOWN;
    uint32_t index = link.index;
    (*links)[index] = std::move(link);
}

void parse_address(const uint8_t *payload, size_t length, std::map<uint32_t, Link> *links, Error **errp)
{
    if (length < NLMSG_ALIGN(sizeof(ifaddrmsg))) {
        return;
    }
    ifaddrmsg info;
    memcpy(&info, payload, sizeof info);
    if (info.ifa_family != AF_INET && info.ifa_family != AF_INET6) {
        return;
    }
    auto link = links->find(info.ifa_index);
    if (link == links->end()) {
        return; /* appeared after the link dump */
    }
    bool ipv6 = info.ifa_family == AF_INET6;
    size_t size = ipv6 ? sizeof(in6_addr) : sizeof(in_addr);
    const uint8_t *local = nullptr;
    const uint8_t *address = nullptr;
    for_each_attribute(payload + NLMSG_ALIGN(sizeof info), length - NLMSG_ALIGN(sizeof info),
                       [&](uint16_t type, const uint8_t *value, size_t value_size) {
                           if (value_size != size) {
                               return;
                           }
                           if (type == IFA_LOCAL) {
                               local = value;
                           } else if (type == IFA_ADDRESS) {
                               address = value;
                           }
                       });
    /* On a point-to-point link IFA_ADDRESS is the peer; IFA_LOCAL is ours. */
    const uint8_t *ours = local ? local : address;
    if (!ours) {
        return;
    }
    in6_addr raw{};
    memcpy(&raw, ours, size);
    if (ipv6 && (IN6_IS_ADDR_V4MAPPED(&raw) || IN6_IS_ADDR_V4COMPAT(&raw))) {
        /* Their text holds dots, which the policy code reads as IPv4: leave them out. */
        return;
    }
    char text[INET6_ADDRSTRLEN];
    if (!inet_ntop(info.ifa_family, &raw, text, sizeof text)) {
        error_setg(errp, ipv6 ? "failed IPv6 address presentation form conversion"
                              : "failed IPv4 address presentation form conversion");
        return;
    }
    (ipv6 ? link->second.ipv6 : link->second.ipv4).push_back({ipv6, text, info.ifa_prefixlen});
}

/* One consistent-or-not read of links and addresses. */
bool read_links(std::map<uint32_t, Link> *links, bool *interrupted, int *error, Error **errp)
{
    Socket sock;
    sock.fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (sock.fd < 0) {
        *error = errno;
        return false;
    }
    if (!netlink_dump(sock.fd, RTM_GETLINK, 1,
                      [&](uint16_t type, const uint8_t *payload, size_t length) {
                          if (type == RTM_NEWLINK) {
                              parse_link(payload, length, links);
                          }
                      },
                      interrupted, error)) {
        return false;
    }
    Error *conversion = nullptr;
    if (!netlink_dump(sock.fd, RTM_GETADDR, 2,
                      [&](uint16_t type, const uint8_t *payload, size_t length) {
                          if (type == RTM_NEWADDR && !conversion) {
                              parse_address(payload, length, links, &conversion);
                          }
                      },
                      interrupted, error)) {
        error_free(conversion);
        return false;
    }
    if (conversion) {
        error_propagate(errp, conversion);
        return false;
    }
    return true;
}

/*
 * sysfs shows the interfaces of the namespace that mounted it, so an entry only speaks for
 * this interface when its index matches too.
 */
bool has_backing_device(const Link &link)
{
    std::string dir = "/sys/class/net/" + link.name;
    gchar *text = nullptr;
    if (!g_file_get_contents((dir + "/ifindex").c_str(), &text, nullptr, nullptr)) {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    unsigned long index = strtoul(text, &end, 10);
    bool same = errno == 0 && end != text && (*end == '\n' || *end == '\0') && index == link.index;
    g_free(text);
    return same && g_file_test((dir + "/device").c_str(), G_FILE_TEST_EXISTS);
}

platform_ip_address *new_address(bool ipv6, const char *text, int prefix)
{
    auto *a = g_new0(platform_ip_address, 1);
    a->ipv6 = ipv6;
    a->text = g_strdup(text);
    a->prefix = prefix;
    return a;
}

platform_adapter *new_adapter(const Link &link)
{
    auto *a = g_new0(platform_adapter, 1);
    a->name = g_strdup(link.name.c_str());
    a->index = link.index;
    memcpy(a->hw_address, link.hw_address.data(), link.hw_address.size());
    a->hw_address_len = link.hw_address.size();
    a->up = link.up;
    a->loopback = link.loopback;
    a->has_device = has_backing_device(link);
    GSList *addresses = nullptr;
    for (const std::vector<Address> *family : {&link.ipv4, &link.ipv6}) {
        for (const Address &address : *family) {
            addresses = g_slist_prepend(addresses, new_address(address.ipv6, address.text.c_str(), address.prefix));
        }
    }
    a->addresses = g_slist_reverse(addresses);
    return a;
}

platform_ip_address *parse_nameserver(std::string token)
{
    in_addr v4{};
    char text[INET6_ADDRSTRLEN];
    /* The resolver takes the classic forms too ("127.1", hexadecimal parts). */
    if (inet_aton(token.c_str(), &v4)) {
        if (!inet_ntop(AF_INET, &v4, text, sizeof text)) {
            return nullptr;
        }
        return new_address(false, text, -1);
    }
    size_t scope = token.find('%');
    if (scope != std::string::npos) {
        token.resize(scope);
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, token.c_str(), &v6) != 1) {
        return nullptr;
    }
    /* A mapped IPv4 server is that IPv4 server; the dotted IPv6 text would pass for IPv4. */
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        memcpy(&v4, &v6.s6_addr[12], 4);
        return inet_ntop(AF_INET, &v4, text, sizeof text) ? new_address(false, text, -1) : nullptr;
    }
    if (IN6_IS_ADDR_V4COMPAT(&v6) || !inet_ntop(AF_INET6, &v6, text, sizeof text)) {
        return nullptr;
    }
    return new_address(true, text, -1);
}

} // namespace

GSList *platform_adapters_read(Error **errp)
{
    for (int attempt = 1;; attempt++) {
        std::map<uint32_t, Link> links;
        bool interrupted = false;
        int error = 0;
        Error *err = nullptr;
        if (!read_links(&links, &interrupted, &error, &err)) {
            if (err) {
                error_propagate(errp, err);
            } else {
                error_setg_errno(errp, error, "error reading adapter addresses");
            }
            return nullptr;
        }
        if (interrupted && attempt < kDumpAttempts) {
            continue;
        }
        GSList *list = nullptr;
        for (const auto &[index, link] : links) {
            list = g_slist_prepend(list, new_adapter(link));
        }
        return g_slist_reverse(list);
    }
}

void platform_adapter_free(platform_adapter *adapter)
{
    if (adapter) {
        platform_ip_address_list_free(adapter->addresses);
        g_free(adapter->name);
        g_free(adapter);
    }
}

void platform_adapter_list_free(GSList *list)
{
    g_slist_free_full(list, reinterpret_cast<GDestroyNotify>(platform_adapter_free));
}

GSList *platform_dns_servers_parse(const char *text, size_t length)
{
    constexpr std::string_view kKeyword = "nameserver";
    std::string_view all = text ? std::string_view(text, length) : std::string_view();
    GSList *servers = nullptr;
    size_t pos = 0;
    while (pos < all.size()) {
        size_t eol = all.find('\n', pos);
        if (eol == std::string_view::npos) {
            eol = all.size();
        }
        std::string_view line = all.substr(pos, eol - pos);
        pos = eol + 1;
        if (line.size() <= kKeyword.size() || line.substr(0, kKeyword.size()) != kKeyword ||
            (line[kKeyword.size()] != ' ' && line[kKeyword.size()] != '\t')) {
            continue;
        }
        line.remove_prefix(kKeyword.size());
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string_view::npos) {
            continue;
        }
        line.remove_prefix(start);
        line = line.substr(0, line.find_first_of(" \t;#"));
        if (line.find('\0') != std::string_view::npos) {
            continue;
        }
        if (platform_ip_address *address = parse_nameserver(std::string(line))) {
            servers = g_slist_prepend(servers, address);
        }
    }
    return g_slist_reverse(servers);
}

GSList *platform_dns_servers_read(Error **errp)
{
    const char *path = g_getenv("HV_RESOLV_CONF");
    if (!path || !*path) {
        path = kResolvConfDefault;
    }
    FILE *file = fopen(path, "re");
    if (!file) {
        error_setg_errno(errp, errno, "could not open %s", path);
        return nullptr;
    }
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) {
        if (text.size() + n > kResolvConfMax) {
            fclose(file);
            error_setg(errp, "%s is larger than %zu bytes", path, kResolvConfMax);
            return nullptr;
        }
        text.append(chunk, n);
    }
    bool failed = ferror(file) != 0;
    int read_error = errno;
    fclose(file);
    if (failed) {
        error_setg_errno(errp, read_error ? read_error : EIO, "could not read %s", path);
        return nullptr;
    }
    return platform_dns_servers_parse(text.data(), text.size());
}

void platform_ip_address_free(platform_ip_address *address)
{
    if (address) {
        g_free(address->text);
        g_free(address);
    }
}

void platform_ip_address_list_free(GSList *list)
{
    g_slist_free_full(list, reinterpret_cast<GDestroyNotify>(platform_ip_address_free));
}
