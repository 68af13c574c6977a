#include "qobject/qnull.h"

#include "util/agent-assert.h"

static void qnull_destroy(QObject *)
{
    /* Never reached: the shared null is not counted. */
    AGENT_ASSERT(!"qnull is never destroyed");
}

static const QType s_qnull_type = {QTYPE_QNULL, sizeof(QNull), qnull_destroy};
static QNull s_qnull = {{&s_qnull_type, 1}};

QObject *qnull(void)
{
    return QOBJECT(&s_qnull);
}
