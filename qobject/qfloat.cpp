#include "qobject/qfloat.h"

#include <glib.h>

static void qfloat_destroy(QObject *obj)
{
    g_free(obj);
}

static const QType s_qfloat_type = {QTYPE_QFLOAT, sizeof(QFloat), qfloat_destroy};

QFloat *qfloat_from_double(double value)
{
    QFloat *obj = g_new(QFloat, 1);
    qobject_init(QOBJECT(obj), &s_qfloat_type);
    obj->value = value;
    return obj;
}

double qfloat_get_double(const QFloat *obj)
{
    return obj->value;
}

QFloat *qobject_to_qfloat(const QObject *obj)
{
    if (!obj || qobject_type(obj) != QTYPE_QFLOAT) {
        return nullptr;
    }
    return reinterpret_cast<QFloat *>(const_cast<QObject *>(obj));
}
