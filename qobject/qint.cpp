#include "qobject/qint.h"

#include "qobject/qobject-internal.h"

static const QType s_qint_type = {QTYPE_QINT, sizeof(QInt), qobject_release<QInt>};

QInt *qint_from_int(int64_t value)
{
    QInt *obj = qobject_alloc<QInt>(&s_qint_type);
    obj->value = value;
    return obj;
}

int64_t qint_get_int(const QInt *obj)
{
    return obj->value;
}

QInt *qobject_to_qint(const QObject *obj)
{
    return qobject_downcast<QInt>(obj, QTYPE_QINT);
}
