#include "qobject/quint.h"

#include <glib.h>

static void quint_destroy(QObject *obj)
{
    g_free(obj);
}

static const QType s_quint_type = {QTYPE_QUINT, sizeof(QUInt), quint_destroy};

QUInt *quint_from_uint(uint64_t value)
{
    QUInt *obj = g_new(QUInt, 1);
    qobject_init(QOBJECT(obj), &s_quint_type);
    obj->value = value;
    return obj;
}

uint64_t quint_get_uint(const QUInt *obj)
{
    return obj->value;
}

QUInt *qobject_to_quint(const QObject *obj)
{
    if (!obj || qobject_type(obj) != QTYPE_QUINT) {
        return nullptr;
    }
    return reinterpret_cast<QUInt *>(const_cast<QObject *>(obj));
}
