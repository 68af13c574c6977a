#include "qobject/qlist.h"

#include <glib.h>

#include "qobject/qobject-internal.h"

static constexpr size_t kListEntryFieldMemory = 24;

static void qlist_destroy(QObject *obj)
{
    QList *list = reinterpret_cast<QList *>(obj);
    QListEntry *e = list->head;
    while (e) {
        QListEntry *next = e->next;
        qobject_decref(e->value);
        g_free(e);
        e = next;
    }
    qobject_release<QList>(obj);
}

static const QType s_qlist_type = {QTYPE_QLIST, sizeof(QList), qlist_destroy};

QList *qlist_new(void)
{
    QList *list = qobject_alloc<QList>(&s_qlist_type);
    list->head = list->tail = nullptr;
    list->size = 0;
    return list;
}

void qlist_append_obj(QList *list, QObject *value)
{
    QListEntry *e = g_new(QListEntry, 1);
    qobject_stats_add_field_memory(QTYPE_QLIST, kListEntryFieldMemory);
    e->value = value;
    e->next = nullptr;
    e->prev = list->tail;
    if (list->tail) {
        list->tail->next = e;
    } else {
        list->head = e;
    }
    list->tail = e;
    list->size++;
}

QList *qlist_copy(const QList *src)
{
    QList *dst = qlist_new();
    for (const QListEntry *e = src->head; e; e = e->next) {
        qobject_incref(e->value);
        qlist_append_obj(dst, e->value);
    }
    return dst;
}

QObject *qlist_pop(QList *list)
{
    QListEntry *e = list->head;
    if (!e) {
        return nullptr;
    }
    list->head = e->next;
    if (list->head) {
        list->head->prev = nullptr;
    } else {
        list->tail = nullptr;
    }
    list->size--;
    QObject *value = e->value;
    g_free(e);
    return value;
}

QObject *qlist_peek(const QList *list)
{
    return list->head ? list->head->value : nullptr;
}

bool qlist_empty(const QList *list)
{
    return list->head == nullptr;
}

size_t qlist_size(const QList *list)
{
    return list->size;
}

void qlist_iter(const QList *list, void (*iter)(QObject *value, void *opaque), void *opaque)
{
    for (const QListEntry *e = list->head; e; e = e->next) {
        iter(e->value, opaque);
    }
}

const QListEntry *qlist_first(const QList *list)
{
    return list->head;
}

const QListEntry *qlist_next(const QListEntry *entry)
{
    return entry->next;
}

QObject *qlist_entry_obj(const QListEntry *entry)
{
    return entry->value;
}

QList *qobject_to_qlist(const QObject *obj)
{
    return qobject_downcast<QList>(obj, QTYPE_QLIST);
}
