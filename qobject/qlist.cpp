#include "qobject/qlist.h"

#include <glib.h>

#include <cstring>

#include "qobject/qobject-internal.h"

static constexpr size_t kListEntryFieldMemory = sizeof(QListEntry);

/* Stands after the last entry; never a value. */
static QObject s_end_marker;

static void qlist_destroy(QObject *obj)
{
    QList *list = reinterpret_cast<QList *>(obj);
    for (size_t i = 0; i < list->size; i++) {
        qobject_decref(list->entries[list->head + i].value);
    }
    g_free(list->entries);
    qobject_release<QList>(obj);
}

static const QType s_qlist_type = {QTYPE_QLIST, sizeof(QList), qlist_destroy};

QList *qlist_new(void)
{
    QList *list = qobject_alloc<QList>(&s_qlist_type);
    list->entries = nullptr;
    list->head = list->size = list->capacity = 0;
    return list;
}

/* Room for one more entry and the end marker after it. */
static void reserve_one(QList *list)
{
    if (list->head + list->size + 2 <= list->capacity) {
        return;
    }
    if (list->head) {
        memmove(list->entries, list->entries + list->head, list->size * sizeof(QListEntry));
        list->head = 0;
        if (list->size + 2 <= list->capacity) {
            return;
        }
    }
    size_t capacity = list->capacity ? list->capacity * 2 : 4;
    list->entries = g_renew(QListEntry, list->entries, capacity);
    list->capacity = capacity;
}

void qlist_append_obj(QList *list, QObject *value)
{
    reserve_one(list);
    qobject_stats_add_field_memory(QTYPE_QLIST, kListEntryFieldMemory);
    QListEntry *slot = &list->entries[list->head + list->size];
    slot[0].value = value;
    slot[1].value = &s_end_marker;
    list->size++;
}

QList *qlist_copy(const QList *src)
{
    QList *dst = qlist_new();
    for (const QListEntry *e = qlist_first(src); e; e = qlist_next(e)) {
        qobject_incref(e->value);
        qlist_append_obj(dst, e->value);
    }
    return dst;
}

QObject *qlist_pop(QList *list)
{
    if (!list->size) {
        return nullptr;
    }
    QObject *value = list->entries[list->head].value;
    list->size--;
    list->head = list->size ? list->head + 1 : 0;
    return value;
}

QObject *qlist_peek(const QList *list)
{
    return list->size ? list->entries[list->head].value : nullptr;
}

bool qlist_empty(const QList *list)
{
    return list->size == 0;
}

size_t qlist_size(const QList *list)
{
    return list->size;
}

void qlist_iter(const QList *list, void (*iter)(QObject *value, void *opaque), void *opaque)
{
    for (const QListEntry *e = qlist_first(list); e; e = qlist_next(e)) {
        iter(e->value, opaque);
    }
}

const QListEntry *qlist_first(const QList *list)
{
    return list->size ? &list->entries[list->head] : nullptr;
}

const QListEntry *qlist_next(const QListEntry *entry)
{
    return entry[1].value == &s_end_marker ? nullptr : entry + 1;
}

QObject *qlist_entry_obj(const QListEntry *entry)
{
    return entry->value;
}

QList *qobject_to_qlist(const QObject *obj)
{
    return qobject_downcast<QList>(obj, QTYPE_QLIST);
}
