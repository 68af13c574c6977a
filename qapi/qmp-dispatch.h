/* Runs one QMP request through the registry, and frames replies. */
#pragma once

#include <cstddef>

struct Error;
struct QObject;

enum QmpReplyType {
    QMP_REPLY_RETURN = 0,
    QMP_REPLY_ERROR = 1,
    QMP_REPLY_EVENT = 2,
};

/* "Return", "Error", "Event". */
const char *qmp_reply_type_name(QmpReplyType type);
/* "{\"return\": ", "{\"error\": " or "{\"event\": ". */
const char *qmp_reply_prefix(QmpReplyType type);
#define QMP_REPLY_SUFFIX "}\n"

/*
 * Validates the request, unpacks compressed arguments, runs the command and returns
 * its result as owned JSON text ("{}" when it has none), or NULL with *errp set. A
 * command registered with QCO_NO_SUCCESS_RESP gives NULL and no error on success.
 */
char *do_qmp_dispatch(QObject *request, Error **errp);

/* The error object that is the body of an Error reply; owned text. */
char *qmp_error_object(const Error *err);
/* A whole reply line: prefix, body, suffix; owned text. */
char *qmp_format_reply(QmpReplyType type, const char *body);
