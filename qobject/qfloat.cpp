#include "qobject/qfloat.h"

#include "qobject/qobject-internal.h"

static const QType s_qfloat_type = {QTYPE_QFLOAT, sizeof(QFloat), qobject_release<QFloat>};

QFloat *qfloat_from_double(double value)
{
    QFloat *obj = qobject_alloc<QFloat>(&s_qfloat_type);
    obj->value = value;
    return obj;
}

double qfloat_get_double(const QFloat *obj)
{
    return obj->value;
}

QFloat *qobject_to_qfloat(const QObject *obj)
{
    return qobject_downcast<QFloat>(obj, QTYPE_QFLOAT);
}
