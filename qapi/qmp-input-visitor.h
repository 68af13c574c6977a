/*
 * Input visitor: fills a typed value from a JSON value. The strict form also
 * refuses members that a record does not have, checked when the record is
 * closed; the object the visitor is created over is exempt, so a command's
 * arguments object may carry extra keys while nested records may not.
 */
#pragma once

#include "qapi/qapi-visit-core.h"

struct QObject;
struct QmpInputVisitor;

/* Both take a reference to obj (which may be NULL: every member is then missing). */
QmpInputVisitor *qmp_input_visitor_new(QObject *obj);
QmpInputVisitor *qmp_input_visitor_new_strict(QObject *obj);
Visitor *qmp_input_get_visitor(QmpInputVisitor *v);
/* Drops the reference and frees the visitor; NULL does nothing. */
void qmp_input_visitor_cleanup(QmpInputVisitor *v);
