#include "qobject/qnull.h"

#include "util/agent-assert.h"

static void qnull_destroy(QObject *)
{
    /* The shared null holds a permanent reference of its own. */
    AGENT_ASSERT(!"qnull is never destroyed");
}

static const QType s_qnull_type = {QTYPE_QNULL, sizeof(QNull), qnull_destroy};
static QNull s_qnull = {{&s_qnull_type, 1}};

QObject *qnull(void)
{
    qobject_incref(QOBJECT(&s_qnull));
    return QOBJECT(&s_qnull);
}
