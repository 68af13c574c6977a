#include "qobject/qobject.h"

#include <atomic>
#include <cstring>

#include "qobject/qbool.h"
#include "qobject/qdict.h"
#include "qobject/qfloat.h"
#include "qobject/qint.h"
#include "qobject/qlist.h"
#include "qobject/qstring.h"
#include "qobject/quint.h"
#include "util/agent-assert.h"

namespace {

/* Relaxed load-then-store: no lock, no torn values, approximate when threads race. */
struct Counter {
    std::atomic<uint64_t> v{0};
    void add(uint64_t n) { v.store(v.load(std::memory_order_relaxed) + n, std::memory_order_relaxed); }
    void sub(uint64_t n) { v.store(v.load(std::memory_order_relaxed) - n, std::memory_order_relaxed); }
    uint64_t get() const { return v.load(std::memory_order_relaxed); }
};

struct TypeCounters {
    Counter active_objects, active_memory, field_memory, allocated_objects, allocated_memory;
};

TypeCounters s_stats[QTYPE_MAX];

const char *const s_type_names[QTYPE_MAX] = {
    nullptr, "qnull", "qint", "qint", "qstring", "qdict", "qlist", "qfloat", "qbool",
};

} // namespace

void qobject_init(QObject *obj, const QType *type)
{
    obj->type = type;
    obj->refcnt = 1;
    TypeCounters &c = s_stats[type->code];
    c.active_objects.add(1);
    c.active_memory.add(type->size);
    c.allocated_objects.add(1);
    c.allocated_memory.add(type->size);
}

/*
 * The shared null is reached from the main loop and the command executor at once: it is
 * immortal and never counted, so its count is never written and cannot race.
 */
void qobject_incref(QObject *obj)
{
    if (obj && obj->type->code != QTYPE_QNULL) {
        obj->refcnt++;
    }
}

void qobject_decref(QObject *obj)
{
    if (obj && obj->type->code != QTYPE_QNULL && --obj->refcnt == 0) {
        TypeCounters &c = s_stats[obj->type->code];
        c.active_objects.sub(1);
        c.active_memory.sub(obj->type->size);
        obj->type->destroy(obj);
    }
}

qtype_code qobject_type(const QObject *obj)
{
    return obj->type->code;
}

const char *qobject_type_name(qtype_code code)
{
    AGENT_ASSERT(code > QTYPE_NONE && code < QTYPE_MAX);
    return s_type_names[code];
}

const char *qobject_get_type_name(const QObject *obj)
{
    return obj ? qobject_type_name(qobject_type(obj)) : "null";
}

QObjectStats qobject_get_stats(qtype_code code)
{
    AGENT_ASSERT(code > QTYPE_NONE && code < QTYPE_MAX);
    const TypeCounters &c = s_stats[code];
    return QObjectStats{c.active_objects.get(), c.active_memory.get(), c.field_memory.get(),
                        c.allocated_objects.get(), c.allocated_memory.get()};
}

void qobject_stats_add_field_memory(qtype_code code, size_t bytes)
{
    s_stats[code].field_memory.add(bytes);
}

bool qobject_is_equal(const QObject *a, const QObject *b)
{
    if (a == b) {
        return true;
    }
    if (!a || !b || qobject_type(a) != qobject_type(b)) {
        return false;
    }
    switch (qobject_type(a)) {
    case QTYPE_QNULL:
        return true;
    case QTYPE_QINT:
        return qint_get_int(qobject_to_qint(a)) == qint_get_int(qobject_to_qint(b));
    case QTYPE_QUINT:
        return quint_get_uint(qobject_to_quint(a)) == quint_get_uint(qobject_to_quint(b));
    case QTYPE_QFLOAT:
        return qfloat_get_double(qobject_to_qfloat(a)) == qfloat_get_double(qobject_to_qfloat(b));
    case QTYPE_QBOOL:
        return qbool_get_bool(qobject_to_qbool(a)) == qbool_get_bool(qobject_to_qbool(b));
    case QTYPE_QSTRING: {
        const QString *sa = qobject_to_qstring(a), *sb = qobject_to_qstring(b);
        return sa->length == sb->length && memcmp(sa->string, sb->string, sa->length) == 0;
    }
    case QTYPE_QLIST: {
        const QListEntry *ea = qlist_first(qobject_to_qlist(a));
        const QListEntry *eb = qlist_first(qobject_to_qlist(b));
        for (; ea && eb; ea = qlist_next(ea), eb = qlist_next(eb)) {
            if (!qobject_is_equal(ea->value, eb->value)) {
                return false;
            }
        }
        return !ea && !eb;
    }
    case QTYPE_QDICT: {
        const QDict *da = qobject_to_qdict(a), *db = qobject_to_qdict(b);
        if (qdict_size(da) != qdict_size(db)) {
            return false;
        }
        for (const QDictEntry *e = qdict_first(da); e; e = qdict_next(da, e)) {
            if (!qobject_is_equal(e->value, qdict_get(db, e->key))) {
                return false;
            }
        }
        return true;
    }
    default:
        return false;
    }
}
