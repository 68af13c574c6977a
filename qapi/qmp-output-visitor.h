/*
 * Output visitor: writes a typed value straight as compact JSON text (", "
 * between members, ": " after keys, no line breaks). Absent optional members
 * are not written; a NULL list is written as [].
 */
#pragma once

#include "qapi/qapi-visit-core.h"

struct QmpOutputVisitor;

QmpOutputVisitor *qmp_output_visitor_new(void);
Visitor *qmp_output_get_visitor(QmpOutputVisitor *v);
/*
 * Hands over the text written so far (free with g_free). With release the
 * visitor is freed as well; without it the visitor starts over, empty.
 */
char *qmp_output_get_json(QmpOutputVisitor *v, bool release);
/* Frees the text and the visitor; NULL does nothing. */
void qmp_output_visitor_cleanup(QmpOutputVisitor *v);
