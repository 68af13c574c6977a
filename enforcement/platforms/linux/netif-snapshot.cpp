#include "enforcement/platforms/netif-snapshot.h"

#include "enforcement/platforms/netif-adapters.h"
#include "util/error.h"

GSList *platform_iface_snapshot(Error **errp)
{
    Error *err = nullptr;
    GSList *adapters = platform_adapters_read(&err);
    if (err) {
        error_propagate(errp, err);
        return nullptr;
    }
    GSList *list = nullptr;
    for (GSList *l = adapters; l; l = l->next) {
        auto *adapter = static_cast<platform_adapter *>(l->data);
        auto *iface = g_new0(platform_iface, 1);
        iface->name = g_strdup(adapter->name);
        for (GSList *a = adapter->addresses; a; a = a->next) {
            const char *text = static_cast<platform_ip_address *>(a->data)->text;
            iface->addresses = g_slist_prepend(iface->addresses, g_strdup(text));
        }
        iface->addresses = g_slist_reverse(iface->addresses);
        list = g_slist_prepend(list, iface);
    }
    platform_adapter_list_free(adapters);
    return g_slist_reverse(list);
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
