#include "agent-common/exclude-ifaces.h"

#include <cstring>

#include "enforcement/platforms/netif-snapshot.h"
#include "util/error.h"

static GMutex s_lock;
static bool s_initialized;
static GSList *s_snapshot;   /* platform_iface */
static GSList *s_excluded;   /* platform_iface copies */
static GHashTable *s_addresses;

bool exclude_ifaces_init(void)
{
    Error *err = nullptr;
    GSList *snapshot = platform_iface_snapshot(&err);
    if (err) {
        g_warning("[exclude_ifaces] failed to get network interfaces: %s", error_get_message(err));
        error_free(err);
        return false;
    }
    g_mutex_lock(&s_lock);
    s_snapshot = snapshot;
    s_addresses = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, nullptr);
    s_initialized = true;
    g_mutex_unlock(&s_lock);
    return true;
}

bool exclude_ifaces_add(const char *name)
{
    g_mutex_lock(&s_lock);
    if (!s_initialized) {
        g_mutex_unlock(&s_lock);
        g_critical("[exclude_ifaces] module is not initialized");
        return false;
    }
    const platform_iface *found = nullptr;
    for (GSList *l = s_snapshot; l && !found; l = l->next) {
        auto *iface = static_cast<platform_iface *>(l->data);
        if (strcmp(iface->name, name) == 0) {
            found = iface;
        }
    }
    if (!found) {
        g_mutex_unlock(&s_lock);
        g_warning("[exclude_ifaces] couldn't find excluded interface %s", name);
        return false;
    }
    g_debug("[exclude_ifaces] adding excluded interface %s", name);
    for (GSList *a = found->addresses; a; a = a->next) {
        g_hash_table_add(s_addresses, g_strdup(static_cast<char *>(a->data)));
    }
    s_excluded = g_slist_append(s_excluded, platform_iface_copy(found));
    g_mutex_unlock(&s_lock);
    return true;
}

GSList *exclude_ifaces_filter(GSList *ifaces)
{
    g_mutex_lock(&s_lock);
    for (GSList *ex = s_excluded; ex; ex = ex->next) {
        const char *name = static_cast<platform_iface *>(ex->data)->name;
        GSList *l = ifaces;
        while (l) {
            GSList *next = l->next;
            auto *iface = static_cast<platform_iface *>(l->data);
            if (strcmp(iface->name, name) == 0) {
                platform_iface_free(iface);
                ifaces = g_slist_delete_link(ifaces, l);
            }
            l = next;
        }
    }
    g_mutex_unlock(&s_lock);
    return ifaces;
}

bool exclude_ifaces_is_address_excluded(const char *address)
{
    g_mutex_lock(&s_lock);
    if (!s_initialized) {
        g_mutex_unlock(&s_lock);
        g_critical("[exclude_ifaces] module is not initialized");
        return false;
    }
    bool excluded = g_hash_table_contains(s_addresses, address);
    g_mutex_unlock(&s_lock);
    return excluded;
}

bool exclude_ifaces_is_name_excluded(const char *name)
{
    if (!name) {
        return false;
    }
    g_mutex_lock(&s_lock);
    bool excluded = false;
    for (GSList *l = s_initialized ? s_excluded : nullptr; l && !excluded; l = l->next) {
        excluded = strcmp(static_cast<platform_iface *>(l->data)->name, name) == 0;
    }
    g_mutex_unlock(&s_lock);
    return excluded;
}

size_t exclude_ifaces_foreach(void (*fn)(const char *name, size_t list_length, void *data), void *data)
{
    g_mutex_lock(&s_lock);
    size_t length = g_slist_length(s_excluded);
    for (GSList *l = s_excluded; l; l = l->next) {
        fn(static_cast<platform_iface *>(l->data)->name, length, data);
    }
    g_mutex_unlock(&s_lock);
    return length;
}

void exclude_ifaces_cleanup(void)
{
    g_mutex_lock(&s_lock);
    if (s_addresses) {
        g_hash_table_destroy(s_addresses);
        s_addresses = nullptr;
    }
    platform_iface_list_free(s_snapshot);
    platform_iface_list_free(s_excluded);
    s_snapshot = s_excluded = nullptr;
    s_initialized = false;
    g_mutex_unlock(&s_lock);
}
