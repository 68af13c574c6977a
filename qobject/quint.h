#pragma once
#include "qobject/qobject.h"

struct QUInt {
    QObject base;
    uint64_t value;
};

QUInt *quint_from_uint(uint64_t value);
uint64_t quint_get_uint(const QUInt *qu);
/* NULL unless obj is a QUInt. */
QUInt *qobject_to_quint(const QObject *obj);
