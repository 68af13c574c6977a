/*
 * A missing required argument is the caller's fault, not a request error: it is logged at
 * critical level as "[function:line] name is NULL" and the function returns ret.
 */
#pragma once

#include <glib.h>

#include "util/error.h"

#define AGENT_CHECK_NULL(ptr, name, ret)                                    \
    do {                                                                    \
        if (!(ptr)) {                                                       \
            g_critical("[%s:%d] %s is NULL", __func__, __LINE__, (name)); \
            return ret;                                                     \
        }                                                                   \
    } while (0)

/* The same, also handing the text to the caller as the Error. */
#define AGENT_CHECK_NULL_ERR(ptr, name, errp, ret)                                   \
    do {                                                                             \
        if (!(ptr)) {                                                                \
            g_critical("[%s:%d] %s is NULL", __func__, __LINE__, (name));          \
            error_setg((errp), "[%s:%d] %s is NULL", __func__, __LINE__, (name)); \
            return ret;                                                              \
        }                                                                            \
    } while (0)
