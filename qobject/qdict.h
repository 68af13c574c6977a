/*
 * QDict: string-keyed map with a fixed table of 16 buckets (GLib string hash modulo
 * 16), new entries at the head of their bucket's chain. Iteration runs buckets 0 to 15,
 * each chain from newest to oldest; that order is visible in every written document.
 * A dictionary that grows past a few dozen members also gets a lookup index beside the
 * buckets, so that finding a key stays near constant time; the index never changes the
 * order.
 */
#pragma once
#include <cstdint>
#include "qobject/qobject.h"

#define QDICT_BUCKET_MAX 16

struct QList;

struct QDictEntry {
    QObject *value;
    QDictEntry *next;
    QDictEntry **pprev; /* the link that points at this entry */
    char *key;
    unsigned hash; /* GLib string hash of the key */
    unsigned bucket;
};

struct QDictIndex;

struct QDict {
    QObject base;
    size_t size;
    QDictEntry *table[QDICT_BUCKET_MAX];
    QDictIndex *index; /* NULL while the dictionary is small */
};

QDict *qdict_new(void);
/* Takes over the caller's reference to value; an existing key keeps its entry. */
void qdict_put_obj(QDict *dict, const char *key, QObject *value);
#define qdict_put(dict, key, value) qdict_put_obj((dict), (key), QOBJECT(value))
/* The value or NULL; no reference is taken. */
QObject *qdict_get(const QDict *dict, const char *key);
bool qdict_haskey(const QDict *dict, const char *key);
size_t qdict_size(const QDict *dict);
void qdict_del(QDict *dict, const char *key);

/* Typed getters: the key must exist and hold that kind (fatal assertion otherwise). */
int64_t qdict_get_int(const QDict *dict, const char *key);
uint64_t qdict_get_uint(const QDict *dict, const char *key);
const char *qdict_get_str(const QDict *dict, const char *key);
QDict *qdict_get_qdict(const QDict *dict, const char *key);
QList *qdict_get_qlist(const QDict *dict, const char *key);
bool qdict_get_bool(const QDict *dict, const char *key);

const QDictEntry *qdict_first(const QDict *dict);
const QDictEntry *qdict_next(const QDict *dict, const QDictEntry *entry);
const char *qdict_entry_key(const QDictEntry *entry);
QObject *qdict_entry_value(const QDictEntry *entry);
void qdict_iter(const QDict *dict, void (*iter)(const char *key, QObject *value, void *opaque),
                void *opaque);
QDict *qobject_to_qdict(const QObject *obj);
