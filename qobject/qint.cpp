#include "qobject/qint.h"

#include <glib.h>

static void qint_destroy(QObject *obj)
{
    g_free(obj);
}

static const QType s_qint_type = {QTYPE_QINT, sizeof(QInt), qint_destroy};

QInt *qint_from_int(int64_t value)
{
    QInt *obj = g_new(QInt, 1);
    qobject_init(QOBJECT(obj), &s_qint_type);
    obj->value = value;
    return obj;
}

int64_t qint_get_int(const QInt *obj)
{
    return obj->value;
}

QInt *qobject_to_qint(const QObject *obj)
{
    if (!obj || qobject_type(obj) != QTYPE_QINT) {
        return nullptr;
    }
    return reinterpret_cast<QInt *>(const_cast<QObject *>(obj));
}
