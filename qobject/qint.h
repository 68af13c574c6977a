#pragma once
#include "qobject/qobject.h"

struct QInt {
    QObject base;
    int64_t value;
};

QInt *qint_from_int(int64_t value);
int64_t qint_get_int(const QInt *qi);
/* NULL unless obj is a QInt. */
QInt *qobject_to_qint(const QObject *obj);
