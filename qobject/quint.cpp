#include "qobject/quint.h"

#include "qobject/qobject-internal.h"

static const QType s_quint_type = {QTYPE_QUINT, sizeof(QUInt), qobject_release<QUInt>};

QUInt *quint_from_uint(uint64_t value)
{
    QUInt *obj = qobject_alloc<QUInt>(&s_quint_type);
    obj->value = value;
    return obj;
}

uint64_t quint_get_uint(const QUInt *obj)
{
    return obj->value;
}

QUInt *qobject_to_quint(const QObject *obj)
{
    return qobject_downcast<QUInt>(obj, QTYPE_QUINT);
}
