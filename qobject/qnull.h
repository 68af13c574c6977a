#pragma once
#include "qobject/qobject.h"

struct QNull {
    QObject base;
};

/* The single shared null value: immortal, its references are not counted (any thread may
 * take and drop them). */
QObject *qnull(void);
