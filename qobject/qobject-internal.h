/* Shared by the value kinds' implementations; not for callers of the value API. */
#pragma once

#include <glib.h>

#include "qobject/qobject.h"

/*
 * Plain heap blocks: GLib's slice allocator measured slower here on large documents,
 * and it would hide values from the leak checker.
 */
template <typename T> T *qobject_alloc(const QType *type)
{
    T *obj = g_new(T, 1);
    qobject_init(QOBJECT(obj), type);
    return obj;
}

template <typename T> void qobject_release(QObject *obj)
{
    g_free(obj);
}

template <typename T> T *qobject_downcast(const QObject *obj, qtype_code code)
{
    if (!obj || qobject_type(obj) != code) {
        return nullptr;
    }
    return reinterpret_cast<T *>(const_cast<QObject *>(obj));
}
