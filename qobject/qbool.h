#pragma once
#include "qobject/qobject.h"

struct QBool {
    QObject base;
    bool value;
};

QBool *qbool_from_bool(bool value);
bool qbool_get_bool(const QBool *qb);
QBool *qobject_to_qbool(const QObject *obj);
