/* The shared commands that need nothing but the log. */
#include "qapi/qmp-common-commands.h"

#include <glib.h>

void qmp_log_error(const char *message, Error **errp)
{
    g_message("[common qapi] server error message: %s", message);
}

void qmp_log_message(const char *message, Error **errp)
{
    g_message("[common qapi] server message: %s", message);
}

int64_t qmp_sync(int64_t id, Error **errp)
{
    g_message("[common qapi] sync request: %lli", static_cast<long long>(id));
    return id;
}

void qmp_ping(Error **errp)
{
}
