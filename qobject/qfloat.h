#pragma once
#include "qobject/qobject.h"

struct QFloat {
    QObject base;
    double value;
};

QFloat *qfloat_from_double(double value);
double qfloat_get_double(const QFloat *qf);
QFloat *qobject_to_qfloat(const QObject *obj);
