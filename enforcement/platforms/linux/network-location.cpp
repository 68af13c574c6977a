#include "enforcement/platforms/network-location.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "linux-read.h"
#include "util/error.h"

namespace {

constexpr size_t kFileMax = 1024 * 1024;
/* Longer than any DNS name: such a value is not a domain. */
constexpr size_t kDomainMax = 253;

std::string read_file(const char *variable, const char *fallback, bool *ok)
{
    const char *path = g_getenv(variable);
    if (!path || !*path) {
        path = fallback;
    }
    std::string text;
    /* Not blocking, and regular files only: a FIFO or a device in place of the file would
     * hold the caller, and the roaming lock with it, for as long as it pleases. */
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    int err = 0;
    *ok = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && linux_read_upto(fd, kFileMax + 1, &text, &err);
    if (fd >= 0) {
        close(fd);
    }
    if (*ok && text.size() > kFileMax) {
        /* Its end is where its last word is: a part of it would answer wrongly. */
        g_warning("[aux] %s is larger than %zu bytes, not read", path, kFileMax);
        *ok = false;
        text.clear();
    }
    return text;
}

std::string_view trim(std::string_view s)
{
    size_t start = s.find_first_not_of(" \t\r");
    if (start == std::string_view::npos) {
        return {};
    }
    size_t end = s.find_last_not_of(" \t\r");
    return s.substr(start, end - start + 1);
}

/* Calls line(text) for every line of text (NUL bytes end nothing but make a line unusable). */
template <class F> void for_each_line(std::string_view text, F line)
{
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view l = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (l.find('\0') == std::string_view::npos) {
            line(l);
        }
    }
}

/* A usable domain name, lower-cased, without the root's trailing dot; NULL otherwise. */
char *domain_name(std::string_view name)
{
    if (!name.empty() && name.back() == '.') {
        name.remove_suffix(1);
    }
    if (name.empty() || name.size() > kDomainMax) {
        return nullptr;
    }
    for (char c : name) {
        if (!g_ascii_isalnum(c) && c != '-' && c != '.' && c != '_') {
            return nullptr;
        }
    }
    return g_ascii_strdown(name.data(), static_cast<gssize>(name.size()));
}

std::vector<std::string_view> fields(std::string_view line)
{
    std::vector<std::string_view> out;
    while (true) {
        size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string_view::npos) {
            return out;
        }
        line.remove_prefix(start);
        size_t end = line.find_first_of(" \t\r");
        out.push_back(line.substr(0, end));
        if (end == std::string_view::npos) {
            return out;
        }
        line.remove_prefix(end);
    }
}

bool parse_hex(std::string_view text, uint64_t *value)
{
    if (text.empty() || text.size() > 16) {
        return false;
    }
    uint64_t v = 0;
    for (char c : text) {
        int d = g_ascii_xdigit_value(c);
        if (d < 0) {
            return false;
        }
        v = v << 4 | static_cast<uint64_t>(d);
    }
    *value = v;
    return true;
}

constexpr uint64_t kRouteUp = 0x0001;
constexpr uint64_t kRouteReject = 0x0200;

} // namespace

char *platform_krb5_default_realm_parse(const char *text, size_t length)
{
    bool in_libdefaults = false;
    char *realm = nullptr;
    for_each_line(std::string_view(text, length), [&](std::string_view raw) {
        std::string_view line = trim(raw);
        if (line.empty() || line[0] == '#' || line[0] == ';') {
            return;
        }
        if (line[0] == '[') {
            in_libdefaults = line == "[libdefaults]";
            return;
        }
        size_t eq = line.find('=');
        if (!in_libdefaults || eq == std::string_view::npos || trim(line.substr(0, eq)) != "default_realm") {
            return;
        }
        /* The first value counts, as for every relation of that file. */
        if (!realm) {
            std::vector<std::string_view> value = fields(line.substr(eq + 1));
            if (value.size() == 1) {
                realm = domain_name(value[0]);
            }
        }
    });
    return realm;
}

char *platform_resolv_domain_parse(const char *text, size_t length)
{
    /* As the resolver reads it: the last "domain" or "search" line wins. */
    char *domain = nullptr;
    for_each_line(std::string_view(text, length), [&](std::string_view line) {
        std::vector<std::string_view> f = fields(line.substr(0, line.find_first_of(";#")));
        if (f.size() < 2 || (f[0] != "domain" && f[0] != "search")) {
            return;
        }
        if (char *name = domain_name(f[1])) {
            g_free(domain);
            domain = name;
        }
    });
    return domain;
}

char *platform_default_route_parse(const char *text, size_t length)
{
    std::string best;
    uint64_t best_metric = UINT64_MAX;
    bool header = true;
    for_each_line(std::string_view(text, length), [&](std::string_view line) {
        if (header) {
            header = false;
            return;
        }
        std::vector<std::string_view> f = fields(line);
        uint64_t destination, flags, metric, mask;
        if (f.size() < 8 || !parse_hex(f[1], &destination) || !parse_hex(f[3], &flags) ||
            !parse_hex(f[7], &mask)) {
            return;
        }
        std::string metric_text(f[6]);
        char *end = nullptr;
        metric = g_ascii_strtoull(metric_text.c_str(), &end, 10);
        if (end == metric_text.c_str() || *end || destination != 0 || mask != 0 || !(flags & kRouteUp) ||
            (flags & kRouteReject) || f[0].size() >= IFNAMSIZ) {
            return;
        }
        if (metric < best_metric) {
            best_metric = metric;
            best = std::string(f[0]);
        }
    });
    return best.empty() ? nullptr : g_strdup(best.c_str());
}

char *platform_default_route6_parse(const char *text, size_t length)
{
    std::string best;
    uint64_t best_metric = UINT64_MAX;
    for_each_line(std::string_view(text, length), [&](std::string_view line) {
        std::vector<std::string_view> f = fields(line);
        uint64_t prefix, metric, flags;
        if (f.size() != 10 || f[0] != std::string_view("00000000000000000000000000000000") ||
            !parse_hex(f[1], &prefix) || !parse_hex(f[5], &metric) || !parse_hex(f[8], &flags)) {
            return;
        }
        if (prefix != 0 || !(flags & kRouteUp) || (flags & kRouteReject) || f[9] == "lo" ||
            f[9].size() >= IFNAMSIZ) {
            return;
        }
        if (metric < best_metric) {
            best_metric = metric;
            best = std::string(f[9]);
        }
    });
    return best.empty() ? nullptr : g_strdup(best.c_str());
}

char *platform_machine_domain(void)
{
    bool ok = false;
    std::string krb5 = read_file("HV_KRB5_CONF", "/etc/krb5.conf", &ok);
    char *domain = ok ? platform_krb5_default_realm_parse(krb5.data(), krb5.size()) : nullptr;
    if (!domain) {
        std::string resolv = read_file("HV_RESOLV_CONF", "/etc/resolv.conf", &ok);
        domain = ok ? platform_resolv_domain_parse(resolv.data(), resolv.size()) : nullptr;
    }
    if (!domain) {
        g_message("[aux] Machine is not a member of any domain");
    }
    return domain;
}

char *platform_domain_adapter_id(const char *machine_domain, Error **errp)
{
    bool ok = false;
    std::string resolv = read_file("HV_RESOLV_CONF", "/etc/resolv.conf", &ok);
    g_autofree char *resolver_domain = ok ? platform_resolv_domain_parse(resolv.data(), resolv.size()) : nullptr;
    char *iface = nullptr;
    if (machine_domain && resolver_domain && g_ascii_strcasecmp(machine_domain, resolver_domain) == 0) {
        std::string routes = read_file("HV_PROC_NET_ROUTE", "/proc/net/route", &ok);
        iface = ok ? platform_default_route_parse(routes.data(), routes.size()) : nullptr;
        if (!iface) {
            std::string routes6 = read_file("HV_PROC_NET_IPV6_ROUTE", "/proc/net/ipv6_route", &ok);
            iface = ok ? platform_default_route6_parse(routes6.data(), routes6.size()) : nullptr;
        }
    }
    if (!iface) {
        error_setg(errp, "Could not find network adapter connected to a domain");
    }
    return iface;
}

uint64_t platform_location_burst_due(uint64_t first_ms, uint64_t last_ms, unsigned debounce_ms)
{
    uint64_t quiet = last_ms + debounce_ms;
    uint64_t bound = first_ms + static_cast<uint64_t>(debounce_ms) * PLATFORM_LOCATION_BURST_MAX;
    return std::min(quiet, bound);
}

/* ---- the watch thread ---- */

namespace {

std::mutex s_watch_lock;
std::thread s_watch_thread;
int s_stop_fd = -1;

int changed_index(const nlmsghdr *h)
{
    switch (h->nlmsg_type) {
    case RTM_NEWLINK:
    case RTM_DELLINK:
        if (h->nlmsg_len >= NLMSG_LENGTH(sizeof(ifinfomsg))) {
            return static_cast<const ifinfomsg *>(NLMSG_DATA(h))->ifi_index;
        }
        return 0;
    case RTM_NEWADDR:
    case RTM_DELADDR:
        if (h->nlmsg_len >= NLMSG_LENGTH(sizeof(ifaddrmsg))) {
            return static_cast<int>(static_cast<const ifaddrmsg *>(NLMSG_DATA(h))->ifa_index);
        }
        return 0;
    case RTM_NEWROUTE:
    case RTM_DELROUTE: {
        if (h->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) {
            return 0;
        }
        const rtmsg *r = static_cast<const rtmsg *>(NLMSG_DATA(h));
        int len = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof(rtmsg)));
        for (const rtattr *a = RTM_RTA(r); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
            if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) >= sizeof(int)) {
                int index;
                memcpy(&index, RTA_DATA(a), sizeof index);
                return index;
            }
        }
        return 0;
    }
    default:
        return 0;
    }
}

uint64_t now_ms(void)
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void watch_loop(int nl, int stop_fd, platform_location_cb on_change, void *opaque, unsigned debounce_ms)
{
    bool pending = false;
    int last_index = 0;
    uint64_t first = 0, due = 0;
    auto changed = [&] {
        uint64_t now = now_ms();
        if (!pending) {
            first = now;
        }
        pending = true;
        due = platform_location_burst_due(first, now, debounce_ms);
    };
    std::vector<char> buffer(64 * 1024);
    while (true) {
        int timeout = -1;
        if (pending) {
            uint64_t now = now_ms();
            timeout = due > now ? static_cast<int>(std::min<uint64_t>(due - now, INT32_MAX)) : 0;
        }
        pollfd fds[2] = {{stop_fd, POLLIN, 0}, {nl, POLLIN, 0}};
        int n = poll(fds, 2, timeout);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 || (fds[0].revents & POLLIN)) {
            return;
        }
        if (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) {
            ssize_t got = recv(nl, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (got < 0 && errno != ENOBUFS && errno != EAGAIN && errno != EINTR) {
                /* The socket is unusable: polling it again would only spin. */
                g_warning("[aux] network change watch stopped: %s", g_strerror(errno));
                return;
            }
            if (got < 0 && errno == ENOBUFS) {
                /* Changes were lost; they still are changes. */
                last_index = 0;
                changed();
            } else if (got > 0) {
                int len = static_cast<int>(got);
                for (const nlmsghdr *h = reinterpret_cast<const nlmsghdr *>(buffer.data()); NLMSG_OK(h, len);
                     h = NLMSG_NEXT(h, len)) {
                    int index = changed_index(h);
                    if (index > 0) {
                        last_index = index;
                    }
                    changed();
                }
            }
            continue;
        }
        if (pending && now_ms() >= due) {
            pending = false;
            char name[IF_NAMESIZE] = {0};
            bool known = last_index > 0 && if_indextoname(static_cast<unsigned>(last_index), name) != nullptr;
            on_change(known ? name : nullptr, opaque);
        }
    }
}

} // namespace

bool platform_location_watch_start(platform_location_cb on_change, void *opaque, unsigned debounce_ms,
                                   Error **errp)
{
    std::lock_guard<std::mutex> guard(s_watch_lock);
    if (s_watch_thread.joinable()) {
        error_setg(errp, "network location watch already running");
        return false;
    }
    int nl = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (nl < 0) {
        error_setg_errno(errp, errno, "could not open a routing socket");
        return false;
    }
    sockaddr_nl local;
    memset(&local, 0, sizeof local);
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (bind(nl, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
        error_setg_errno(errp, errno, "could not subscribe to network changes");
        close(nl);
        return false;
    }
    int stop_fd = eventfd(0, EFD_CLOEXEC);
    if (stop_fd < 0) {
        error_setg_errno(errp, errno, "could not create the watch's stop event");
        close(nl);
        return false;
    }
    s_stop_fd = stop_fd;
    s_watch_thread = std::thread([=] {
        watch_loop(nl, stop_fd, on_change, opaque, debounce_ms);
        close(nl);
    });
    return true;
}

void platform_location_watch_stop(void)
{
    std::lock_guard<std::mutex> guard(s_watch_lock);
    if (!s_watch_thread.joinable()) {
        return;
    }
    uint64_t one = 1;
    ssize_t written = write(s_stop_fd, &one, sizeof one);
    (void)written;
    s_watch_thread.join();
    close(s_stop_fd);
    s_stop_fd = -1;
}
