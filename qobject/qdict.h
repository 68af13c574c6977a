/*
 * QDict: string-keyed map whose order is that of 16 buckets (GLib string hash modulo
 * 16), buckets 0 to 15, each from its newest entry to its oldest; that order is visible
 * in every written document. The entries form one chain in that order. A dictionary
 * past a few members also keeps where each bucket starts, and past a few dozen a lookup
 * index, so that inserting and finding a key stay near constant time; neither changes
 * the order.
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
    QDictEntry *head;
    QDictEntry *tail;
    QDictEntry **buckets; /* first entry of each bucket; NULL while the dictionary is small */
    QDictIndex *index;    /* NULL while the dictionary is small */
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
