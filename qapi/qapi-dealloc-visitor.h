/*
 * Release visitor: frees a typed value as it walks it; the generated
 * qapi_free_* functions are built on it. It never fails, and copes with values
 * that were only partly read.
 */
#pragma once

#include "qapi/qapi-visit-core.h"

struct QapiDeallocVisitor;

QapiDeallocVisitor *qapi_dealloc_visitor_new(void);
Visitor *qapi_dealloc_get_visitor(QapiDeallocVisitor *v);
void qapi_dealloc_visitor_cleanup(QapiDeallocVisitor *v);
