#pragma once
#include "qobject/qobject.h"

struct QNull {
    QObject base;
};

/* A new reference to the single shared null value. */
QObject *qnull(void);
