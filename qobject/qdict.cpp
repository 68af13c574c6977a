#include "qobject/qdict.h"

#include <glib.h>

#include <cstring>

#include "qobject/qbool.h"
#include "qobject/qint.h"
#include "qobject/qlist.h"
#include "qobject/qobject-internal.h"
#include "qobject/qstring.h"
#include "qobject/quint.h"
#include "util/agent-assert.h"

static constexpr size_t kEntryFieldOverhead = 33;

/* The key lives right after the entry: one allocation per member. */
static QDictEntry *entry_new(const char *key, size_t key_len)
{
    QDictEntry *e = static_cast<QDictEntry *>(g_malloc(sizeof(QDictEntry) + key_len + 1));
    e->key = reinterpret_cast<char *>(e + 1);
    memcpy(e->key, key, key_len + 1);
    return e;
}

static void qdict_destroy(QObject *obj)
{
    QDict *dict = reinterpret_cast<QDict *>(obj);
    for (QDictEntry *&head : dict->table) {
        QDictEntry *e = head;
        while (e) {
            QDictEntry *next = e->next;
            qobject_decref(e->value);
            g_free(e);
            e = next;
        }
    }
    qobject_release<QDict>(obj);
}

static const QType s_qdict_type = {QTYPE_QDICT, sizeof(QDict), qdict_destroy};

static unsigned bucket_of(const char *key)
{
    return g_str_hash(key) % QDICT_BUCKET_MAX;
}

static QDictEntry *find_in_bucket(const QDict *dict, unsigned bucket, const char *key)
{
    for (QDictEntry *e = dict->table[bucket]; e; e = e->next) {
        if (strcmp(e->key, key) == 0) {
            return e;
        }
    }
    return nullptr;
}

QDict *qdict_new(void)
{
    QDict *dict = qobject_alloc<QDict>(&s_qdict_type);
    dict->size = 0;
    memset(dict->table, 0, sizeof dict->table);
    return dict;
}

void qdict_put_obj(QDict *dict, const char *key, QObject *value)
{
    unsigned bucket = bucket_of(key);
    QDictEntry *e = find_in_bucket(dict, bucket, key);
    if (e) {
        qobject_decref(e->value);
        e->value = value;
        return;
    }
    size_t key_len = strlen(key);
    e = entry_new(key, key_len);
    e->value = value;
    e->bucket = bucket;
    e->next = dict->table[bucket];
    dict->table[bucket] = e;
    dict->size++;
    qobject_stats_add_field_memory(QTYPE_QDICT, key_len + kEntryFieldOverhead);
}

QObject *qdict_get(const QDict *dict, const char *key)
{
    QDictEntry *e = find_in_bucket(dict, bucket_of(key), key);
    return e ? e->value : nullptr;
}

bool qdict_haskey(const QDict *dict, const char *key)
{
    return find_in_bucket(dict, bucket_of(key), key) != nullptr;
}

size_t qdict_size(const QDict *dict)
{
    return dict->size;
}

void qdict_del(QDict *dict, const char *key)
{
    for (QDictEntry **link = &dict->table[bucket_of(key)]; *link; link = &(*link)->next) {
        QDictEntry *e = *link;
        if (strcmp(e->key, key) == 0) {
            *link = e->next;
            qobject_decref(e->value);
            g_free(e);
            dict->size--;
            return;
        }
    }
}

static QObject *get_typed(const QDict *dict, const char *key, qtype_code type)
{
    QObject *obj = qdict_get(dict, key);
    AGENT_ASSERT(obj != NULL);
    AGENT_ASSERT(qobject_type(obj) == type);
    return obj;
}

int64_t qdict_get_int(const QDict *dict, const char *key)
{
    return qint_get_int(qobject_to_qint(get_typed(dict, key, QTYPE_QINT)));
}

uint64_t qdict_get_uint(const QDict *dict, const char *key)
{
    return quint_get_uint(qobject_to_quint(get_typed(dict, key, QTYPE_QUINT)));
}

const char *qdict_get_str(const QDict *dict, const char *key)
{
    return qstring_get_str(qobject_to_qstring(get_typed(dict, key, QTYPE_QSTRING)));
}

QDict *qdict_get_qdict(const QDict *dict, const char *key)
{
    return qobject_to_qdict(get_typed(dict, key, QTYPE_QDICT));
}

QList *qdict_get_qlist(const QDict *dict, const char *key)
{
    return qobject_to_qlist(get_typed(dict, key, QTYPE_QLIST));
}

bool qdict_get_bool(const QDict *dict, const char *key)
{
    return qbool_get_bool(qobject_to_qbool(get_typed(dict, key, QTYPE_QBOOL)));
}

static const QDictEntry *first_from_bucket(const QDict *dict, unsigned bucket)
{
    for (; bucket < QDICT_BUCKET_MAX; bucket++) {
        if (dict->table[bucket]) {
            return dict->table[bucket];
        }
    }
    return nullptr;
}

const QDictEntry *qdict_first(const QDict *dict)
{
    return first_from_bucket(dict, 0);
}

const QDictEntry *qdict_next(const QDict *dict, const QDictEntry *entry)
{
    if (entry->next) {
        return entry->next;
    }
    return first_from_bucket(dict, entry->bucket + 1);
}

const char *qdict_entry_key(const QDictEntry *entry)
{
    return entry->key;
}

QObject *qdict_entry_value(const QDictEntry *entry)
{
    return entry->value;
}

void qdict_iter(const QDict *dict, void (*iter)(const char *key, QObject *value, void *opaque),
                void *opaque)
{
    for (const QDictEntry *e = qdict_first(dict); e; e = qdict_next(dict, e)) {
        iter(e->key, e->value, opaque);
    }
}

QDict *qobject_to_qdict(const QObject *obj)
{
    return qobject_downcast<QDict>(obj, QTYPE_QDICT);
}
