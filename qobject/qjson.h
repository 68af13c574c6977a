/* JSON text of values: writing (compact and pretty) and reading exactly one value. */
#pragma once
#include <cstddef>
#include "qobject/qobject.h"
#include "qobject/qstring.h"

struct Error;

QString *qobject_to_json(const QObject *obj);
QString *qobject_to_json_pretty(const QObject *obj);

/* Appends str (len bytes) as a quoted, escaped JSON string literal. */
void qjson_append_quoted(QString *out, const char *str, size_t len);

/*
 * Parses exactly one JSON value. Returns NULL with *errp set on a parse error or when
 * the text holds more than one value; returns NULL without an error for input that
 * holds only white space.
 */
QObject *qobject_from_json(const char *text, Error **errp);
QObject *qobject_from_json_len(const char *text, size_t len, Error **errp);
