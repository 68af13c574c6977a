/*
 * QObject: the reference-counted JSON value. Every concrete kind embeds a QObject
 * as its first member named `base`. Values are not thread-safe; one thread uses a
 * value at a time.
 */
#pragma once

#include <cstddef>
#include <cstdint>

enum qtype_code {
    QTYPE_NONE = 0,
    QTYPE_QNULL = 1,
    QTYPE_QINT = 2,
    QTYPE_QUINT = 3,
    QTYPE_QSTRING = 4,
    QTYPE_QDICT = 5,
    QTYPE_QLIST = 6,
    QTYPE_QFLOAT = 7,
    QTYPE_QBOOL = 8,
    QTYPE_MAX = 9,
};

struct QObject;

struct QType {
    qtype_code code;
    size_t size;
    void (*destroy)(QObject *obj);
};

struct QObject {
    const QType *type;
    uint64_t refcnt;
};

#define QOBJECT(obj) (&(obj)->base)

/* Starts a new value with one reference and counts it in the statistics. */
void qobject_init(QObject *obj, const QType *type);

/* NULL-safe. */
void qobject_incref(QObject *obj);
/* NULL-safe; destroys the value when the last reference goes. */
void qobject_decref(QObject *obj);

qtype_code qobject_type(const QObject *obj);
/* "qnull", "qint", ...; a code of 0 or above 8 is a fatal assertion. */
const char *qobject_type_name(qtype_code code);
/* Name of the value's kind, or "null" for a NULL pointer. */
const char *qobject_get_type_name(const QObject *obj);

/* Process-wide allocation statistics per type code; approximate under concurrency. */
struct QObjectStats {
    uint64_t active_objects;
    uint64_t active_memory;
    uint64_t field_memory;
    uint64_t allocated_objects;
    uint64_t allocated_memory;
};
QObjectStats qobject_get_stats(qtype_code code);
/* Counts side storage (string buffers, dictionary and list entries) of a kind. */
void qobject_stats_add_field_memory(qtype_code code, size_t bytes);

/* Deep structural equality; numbers compare by kind and value. NULL equals NULL. */
bool qobject_is_equal(const QObject *a, const QObject *b);
