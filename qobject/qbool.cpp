#include "qobject/qbool.h"

#include "qobject/qobject-internal.h"

static const QType s_qbool_type = {QTYPE_QBOOL, sizeof(QBool), qobject_release<QBool>};

QBool *qbool_from_bool(bool value)
{
    QBool *obj = qobject_alloc<QBool>(&s_qbool_type);
    obj->value = value;
    return obj;
}

bool qbool_get_bool(const QBool *obj)
{
    return obj->value;
}

QBool *qobject_to_qbool(const QObject *obj)
{
    return qobject_downcast<QBool>(obj, QTYPE_QBOOL);
}
