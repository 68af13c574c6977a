#include "agent-common/expireable-table.h"

#include <cstdint>

namespace {

struct Entry {
    gpointer key;
    gpointer value;
    gint64 time;
};

unsigned long long key_number(gconstpointer key)
{
    return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(key));
}

} // namespace

struct expireable_table {
    guint capacity;
    gint64 expire_time;
    GHashTable *links; /* key -> GList link of `age` holding the Entry */
    GQueue age;        /* newest at the head */
};

expireable_table *expireable_table_create(guint capacity, gint64 expire_time_us, GHashFunc hash, GEqualFunc equal)
{
    if (capacity == 0 || expire_time_us < 0 || !hash || !equal) {
        return nullptr;
    }
    auto *table = g_new0(expireable_table, 1);
    table->capacity = capacity;
    table->expire_time = expire_time_us;
    table->links = g_hash_table_new(hash, equal);
    g_queue_init(&table->age);
    return table;
}

void expireable_table_destroy(expireable_table *table, expireable_table_free_func free_func)
{
    if (!table) {
        return;
    }
    while (auto *entry = static_cast<Entry *>(g_queue_pop_head(&table->age))) {
        if (free_func) {
            free_func(entry->key, entry->value);
        }
        g_free(entry);
    }
    g_hash_table_destroy(table->links);
    g_free(table);
}

bool expireable_table_add(expireable_table *table, gpointer key, gpointer value)
{
    if (g_hash_table_size(table->links) + 1 >= table->capacity) {
        g_debug("[expirable table] hash table is full");
        return false;
    }
    if (auto *link = static_cast<GList *>(g_hash_table_lookup(table->links, key))) {
        auto *old = static_cast<Entry *>(link->data);
        if (old->value) {
            g_debug("[expirable table] key already exists");
            return false;
        }
        /* A key kept without a value is replaced. */
        g_queue_delete_link(&table->age, link);
        g_hash_table_remove(table->links, key);
        g_free(old);
    }
    auto *entry = g_new(Entry, 1);
    *entry = {key, value, g_get_monotonic_time()};
    g_queue_push_head(&table->age, entry);
    g_hash_table_insert(table->links, key, table->age.head);
    return true;
}

namespace {

/* Takes the entry of key out of both structures; NULL when it is not there. */
Entry *steal(expireable_table *table, gconstpointer key)
{
    gpointer stored_key = nullptr;
    gpointer link_ptr = nullptr;
    if (!g_hash_table_lookup_extended(table->links, key, &stored_key, &link_ptr)) {
        g_warning("[expirable table] couldn't find key 0x%llu in table", key_number(key));
        return nullptr;
    }
    g_hash_table_steal(table->links, key);
    auto *link = static_cast<GList *>(link_ptr);
    if (!link || !link->data) {
        g_warning("[expirable table] stolen entry for key 0x%llu is empty", key_number(key));
        return nullptr;
    }
    auto *entry = static_cast<Entry *>(link->data);
    g_queue_delete_link(&table->age, link);
    return entry;
}

} // namespace

bool expireable_table_remove(expireable_table *table, gconstpointer key)
{
    Entry *entry = steal(table, key);
    g_free(entry);
    return entry != nullptr;
}

gpointer expireable_table_pop(expireable_table *table, gconstpointer key)
{
    Entry *entry = steal(table, key);
    if (!entry) {
        return nullptr;
    }
    gpointer value = entry->value;
    g_free(entry);
    return value;
}

bool expireable_table_contains(expireable_table *table, gconstpointer key)
{
    return g_hash_table_contains(table->links, key);
}

gpointer expireable_table_lookup(expireable_table *table, gconstpointer key)
{
    auto *link = static_cast<GList *>(g_hash_table_lookup(table->links, key));
    return link ? static_cast<Entry *>(link->data)->value : nullptr;
}

bool expireable_table_pop_expired(expireable_table *table, gpointer *key, gpointer *value, gint64 *age_us)
{
    GList *oldest = table->age.tail;
    if (!oldest) {
        return false;
    }
    auto *entry = static_cast<Entry *>(oldest->data);
    gint64 age = g_get_monotonic_time() + 1 - entry->time;
    if (age <= table->expire_time) {
        return false;
    }
    g_hash_table_remove(table->links, entry->key);
    g_queue_delete_link(&table->age, oldest);
    if (key) {
        *key = entry->key;
    }
    if (value) {
        *value = entry->value;
    }
    if (age_us) {
        *age_us = age;
    }
    g_free(entry);
    return true;
}

bool expireable_table_touch(expireable_table *table, gconstpointer key)
{
    auto *link = static_cast<GList *>(g_hash_table_lookup(table->links, key));
    if (!link) {
        g_warning("[expirable table] couldn't find key");
        return false;
    }
    static_cast<Entry *>(link->data)->time = g_get_monotonic_time();
    g_queue_unlink(&table->age, link);
    g_queue_push_head_link(&table->age, link);
    return true;
}

bool expireable_table_expire_all(expireable_table *table)
{
    guint marked = 0;
    for (GList *l = table->age.head; l; l = l->next) {
        static_cast<Entry *>(l->data)->time = 0;
        marked++;
    }
    guint total = g_hash_table_size(table->links);
    g_debug("[expirable table] expired %u/%u entries in the table", marked, total);
    return marked == total;
}

guint expireable_table_size(expireable_table *table)
{
    return g_hash_table_size(table->links);
}
