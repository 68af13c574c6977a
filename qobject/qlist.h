/* QList: an ordered sequence of values; each entry holds one reference. */
#pragma once
#include "qobject/qobject.h"

/*
 * Entries are one array: an entry is valid until the list is next changed, and the
 * entry after the last one is a marker that qlist_next recognises.
 */
struct QListEntry {
    QObject *value;
};

struct QList {
    QObject base;
    QListEntry *entries;
    size_t head; /* popped entries before the first one */
    size_t size;
    size_t capacity;
};

QList *qlist_new(void);
/* Takes over the caller's reference to value. */
void qlist_append_obj(QList *list, QObject *value);
#define qlist_append(list, value) qlist_append_obj((list), QOBJECT(value))
/* A new list with new references to the same elements. */
QList *qlist_copy(const QList *src);
/* Removes the first element and hands its reference to the caller; NULL when empty. */
QObject *qlist_pop(QList *list);
/* The first element without taking a reference; NULL when empty. */
QObject *qlist_peek(const QList *list);
bool qlist_empty(const QList *list);
size_t qlist_size(const QList *list);
void qlist_iter(const QList *list, void (*iter)(QObject *value, void *opaque), void *opaque);
const QListEntry *qlist_first(const QList *list);
const QListEntry *qlist_next(const QListEntry *entry);
QObject *qlist_entry_obj(const QListEntry *entry);
QList *qobject_to_qlist(const QObject *obj);
