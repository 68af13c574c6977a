#include "enforcement/platforms/netif-snapshot.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

#include "util/error.h"

static platform_iface *find_or_add(GSList **list, const char *name)
{
    for (GSList *l = *list; l; l = l->next) {
        auto *iface = static_cast<platform_iface *>(l->data);
        if (strcmp(iface->name, name) == 0) {
            return iface;
        }
    }
    auto *iface = g_new0(platform_iface, 1);
    iface->name = g_strdup(name);
    *list = g_slist_append(*list, iface);
    return iface;
}

GSList *platform_iface_snapshot(Error **errp)
{
    struct ifaddrs *addrs = nullptr;
    if (getifaddrs(&addrs) != 0) {
        error_setg_errno(errp, errno, "getifaddrs failed");
        return nullptr;
    }
    GSList *list = nullptr;
    for (struct ifaddrs *a = addrs; a; a = a->ifa_next) {
        if (!a->ifa_name) {
            continue;
        }
        platform_iface *iface = find_or_add(&list, a->ifa_name);
        if (!a->ifa_addr) {
            continue;
        }
        char text[INET6_ADDRSTRLEN] = "";
        if (a->ifa_addr->sa_family == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<struct sockaddr_in *>(a->ifa_addr)->sin_addr, text, sizeof text);
        } else if (a->ifa_addr->sa_family == AF_INET6) {
            inet_ntop(AF_INET6, &reinterpret_cast<struct sockaddr_in6 *>(a->ifa_addr)->sin6_addr, text, sizeof text);
        } else {
            continue;
        }
        iface->addresses = g_slist_append(iface->addresses, g_strdup(text));
    }
    freeifaddrs(addrs);
    return list;
}

platform_iface *platform_iface_copy(const platform_iface *iface)
{
    auto *copy = g_new0(platform_iface, 1);
    copy->name = g_strdup(iface->name);
    for (GSList *l = iface->addresses; l; l = l->next) {
        copy->addresses = g_slist_append(copy->addresses, g_strdup(static_cast<char *>(l->data)));
    }
    return copy;
}

void platform_iface_free(platform_iface *iface)
{
    if (iface) {
        g_slist_free_full(iface->addresses, g_free);
        g_free(iface->name);
        g_free(iface);
    }
}

void platform_iface_list_free(GSList *list)
{
    g_slist_free_full(list, reinterpret_cast<GDestroyNotify>(platform_iface_free));
}
