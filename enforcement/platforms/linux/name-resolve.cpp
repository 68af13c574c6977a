#include "enforcement/platforms/name-resolve.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

/*
 * One request as the resolver holds it. Everything it reads lives here, so that a
 * request that outlives its deadline can be left to the resolver's own threads: no code
 * of ours runs when it completes, and nothing it points at goes away before it does.
 */
struct pending_lookup {
    gaicb cb{};
    addrinfo hints{};
    char *name = nullptr;
};

std::mutex s_abandoned_lock;
std::vector<pending_lookup *> s_abandoned; /* timed out while running; freed once done */

void pending_free(pending_lookup *p)
{
    if (p->cb.ar_result) {
        freeaddrinfo(p->cb.ar_result);
    }
    g_free(p->name);
    delete p;
}

void reap_abandoned(void)
{
    std::lock_guard<std::mutex> guard(s_abandoned_lock);
    std::erase_if(s_abandoned, [](pending_lookup *p) {
        if (gai_error(&p->cb) == EAI_INPROGRESS) {
            return false;
        }
        pending_free(p);
        return true;
    });
}

/* "invalid" and every name below it, with or without the root dot. */
bool reserved_invalid(const char *name)
{
    static constexpr char kTld[] = "invalid";
    constexpr size_t k = sizeof kTld - 1;
    size_t n = strlen(name);
    if (n > 0 && name[n - 1] == '.') {
        n--;
    }
    if (n < k || g_ascii_strncasecmp(name + n - k, kTld, k) != 0) {
        return false;
    }
    return n == k || name[n - k - 1] == '.';
}

char *address_text(const sockaddr *sa, socklen_t len)
{
    char text[INET6_ADDRSTRLEN];
    if (sa->sa_family == AF_INET && len >= sizeof(sockaddr_in)) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(sa);
        return inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) ? g_strdup(text) : nullptr;
    }
    if (sa->sa_family != AF_INET6 || len < sizeof(sockaddr_in6)) {
        return nullptr;
    }
    const in6_addr &a = reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr;
    /* A mapped address is IPv4 traffic on the wire. */
    if (IN6_IS_ADDR_V4MAPPED(&a)) {
        return inet_ntop(AF_INET, a.s6_addr + 12, text, sizeof text) ? g_strdup(text) : nullptr;
    }
    if (!inet_ntop(AF_INET6, &a, text, sizeof text)) {
        return nullptr;
    }
    if (!strchr(text, '.')) {
        return g_strdup(text);
    }
    /* Texts with a dot read as IPv4 to the rule conversion: spell every group out. */
    const uint8_t *b = a.s6_addr;
    return g_strdup_printf("%x:%x:%x:%x:%x:%x:%x:%x", b[0] << 8 | b[1], b[2] << 8 | b[3], b[4] << 8 | b[5],
                           b[6] << 8 | b[7], b[8] << 8 | b[9], b[10] << 8 | b[11], b[12] << 8 | b[13],
                           b[14] << 8 | b[15]);
}

GSList *distinct_addresses(const addrinfo *results)
{
    GSList *list = nullptr;
    for (const addrinfo *ai = results; ai; ai = ai->ai_next) {
        char *text = ai->ai_addr ? address_text(ai->ai_addr, ai->ai_addrlen) : nullptr;
        if (!text || g_slist_find_custom(list, text, reinterpret_cast<GCompareFunc>(strcmp))) {
            g_free(text);
            continue;
        }
        list = g_slist_prepend(list, text);
    }
    return g_slist_reverse(list);
}

int system_family(platform_resolve_family family)
{
    switch (family) {
    case PLATFORM_RESOLVE_IPV4:
        return AF_INET;
    case PLATFORM_RESOLVE_IPV6:
        return AF_INET6;
    default:
        return AF_UNSPEC;
    }
}

/* An address in standard notation; a zone after '%' is allowed for IPv6. */
bool standard_notation(const char *name)
{
    unsigned char buf[16];
    g_autofree char *bare = g_strndup(name, strcspn(name, "%"));
    return inet_pton(AF_INET, name, buf) == 1 || inet_pton(AF_INET6, bare, buf) == 1;
}

/*
 * Answers a numeric text without the resolver. The resolver would also read the short
 * and numeric IPv4 forms ("10.1", "167772161") as addresses; those are refused, since
 * whoever wrote them more likely meant something else.
 */
bool numeric_lookup(platform_host_lookup &l)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo *result = nullptr;
    if (getaddrinfo(l.name, nullptr, &hints, &result) != 0) {
        return false;
    }
    if (standard_notation(l.name)) {
        l.addresses = distinct_addresses(result);
    }
    if (!l.addresses) {
        l.error = g_strdup("not an address in standard notation");
    }
    freeaddrinfo(result);
    return true;
}

/* Waits until no request is in progress or the deadline passed. */
void wait_all(const std::vector<pending_lookup *> &pending, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        std::vector<const gaicb *> running;
        for (pending_lookup *p : pending) {
            if (p && gai_error(&p->cb) == EAI_INPROGRESS) {
                running.push_back(&p->cb);
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - std::chrono::steady_clock::now());
        if (running.empty() || left.count() <= 0) {
            return;
        }
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(left.count() / 1000000000);
        ts.tv_nsec = static_cast<long>(left.count() % 1000000000);
        /* Returns on the first completion, a signal or the time-out; the loop sorts them out. */
        gai_suspend(running.data(), static_cast<int>(running.size()), &ts);
    }
}

} // namespace

void platform_resolve_hosts(platform_host_lookup *lookups, size_t count, unsigned timeout_ms)
{
    reap_abandoned();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::vector<pending_lookup *> pending(count, nullptr);
    std::vector<gaicb *> queue;
    for (size_t i = 0; i < count; i++) {
        platform_host_lookup &l = lookups[i];
        l.addresses = nullptr;
        l.error = nullptr;
        if (!l.name || !*l.name) {
            l.error = g_strdup("empty name");
            continue;
        }
        if (reserved_invalid(l.name)) {
            l.error = g_strdup("reserved name, never resolved");
            continue;
        }
        if (numeric_lookup(l)) {
            continue;
        }
        auto *p = new pending_lookup;
        p->name = g_strdup(l.name);
        p->hints.ai_family = system_family(l.family);
        p->hints.ai_socktype = SOCK_STREAM;
        p->cb.ar_name = p->name;
        p->cb.ar_request = &p->hints;
        pending[i] = p;
        queue.push_back(&p->cb);
    }
    if (!queue.empty()) {
        /* A request that could not be queued reports its own error below. */
        getaddrinfo_a(GAI_NOWAIT, queue.data(), static_cast<int>(queue.size()), nullptr);
        wait_all(pending, deadline);
    }
    for (size_t i = 0; i < count; i++) {
        pending_lookup *p = pending[i];
        if (!p) {
            continue;
        }
        int rc = gai_error(&p->cb);
        if (rc == EAI_INPROGRESS) {
            rc = gai_cancel(&p->cb);
            if (rc == EAI_NOTCANCELED) {
                lookups[i].error = g_strdup("timed out");
                std::lock_guard<std::mutex> guard(s_abandoned_lock);
                s_abandoned.push_back(p);
                continue;
            }
            rc = rc == EAI_ALLDONE ? gai_error(&p->cb) : EAI_CANCELED;
        }
        if (rc == 0) {
            lookups[i].addresses = distinct_addresses(p->cb.ar_result);
            if (!lookups[i].addresses) {
                lookups[i].error = g_strdup("no usable address");
            }
        } else if (rc == EAI_CANCELED) {
            lookups[i].error = g_strdup("timed out");
        } else {
            lookups[i].error = g_strdup(gai_strerror(rc));
        }
        pending_free(p);
    }
}

void platform_host_lookups_clear(platform_host_lookup *lookups, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        g_slist_free_full(lookups[i].addresses, g_free);
        g_free(lookups[i].error);
        lookups[i].addresses = nullptr;
        lookups[i].error = nullptr;
    }
}
