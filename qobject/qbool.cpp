#include "qobject/qbool.h"

#include <glib.h>

static void qbool_destroy(QObject *obj)
{
    g_free(obj);
}

static const QType s_qbool_type = {QTYPE_QBOOL, sizeof(QBool), qbool_destroy};

QBool *qbool_from_bool(bool value)
{
    QBool *obj = g_new(QBool, 1);
    qobject_init(QOBJECT(obj), &s_qbool_type);
    obj->value = value;
    return obj;
}

bool qbool_get_bool(const QBool *obj)
{
    return obj->value;
}

QBool *qobject_to_qbool(const QObject *obj)
{
    if (!obj || qobject_type(obj) != QTYPE_QBOOL) {
        return nullptr;
    }
    return reinterpret_cast<QBool *>(const_cast<QObject *>(obj));
}
