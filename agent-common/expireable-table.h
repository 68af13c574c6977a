/*
 * A bounded hash table whose entries age: each entry remembers when it was added (or
 * last touched), and the oldest one can be taken out once it is older than the table's
 * expire time. Not thread-safe; the owner serialises every call.
 */
#pragma once

#include <glib.h>

struct expireable_table;

/* Called by expireable_table_destroy for every entry still held. */
typedef void (*expireable_table_free_func)(gpointer key, gpointer value);

/* expire_time_us: the age in microseconds after which an entry may be popped as expired. */
expireable_table *expireable_table_create(guint capacity, gint64 expire_time_us, GHashFunc hash, GEqualFunc equal);
void expireable_table_destroy(expireable_table *table, expireable_table_free_func free_func);

/* Refused when the table is full or the key already holds a value. */
bool expireable_table_add(expireable_table *table, gpointer key, gpointer value);
bool expireable_table_remove(expireable_table *table, gconstpointer key);
/* The value held under key (which leaves the table), or NULL. */
gpointer expireable_table_pop(expireable_table *table, gconstpointer key);
bool expireable_table_contains(expireable_table *table, gconstpointer key);
gpointer expireable_table_lookup(expireable_table *table, gconstpointer key);
/* Takes the oldest entry out when it has expired; false when none has. */
bool expireable_table_pop_expired(expireable_table *table, gpointer *key, gpointer *value, gint64 *age_us);
/* Makes the entry new again. */
bool expireable_table_touch(expireable_table *table, gconstpointer key);
/* Makes every entry expired. */
bool expireable_table_expire_all(expireable_table *table);
guint expireable_table_size(expireable_table *table);
