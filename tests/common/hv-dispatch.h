/* One request through the real dispatcher, as tests compare it. */
#pragma once

#include <glib.h>
#include <gtest/gtest.h>

#include <string>

#include "qapi/qmp-dispatch.h"
#include "qobject/qjson.h"
#include "util/error.h"

namespace hvtest {

/* The reply body, or "error: " and the message. */
inline std::string Dispatch(const std::string &request)
{
    Error *err = nullptr;
    QObject *req = qobject_from_json(request.c_str(), &err);
    EXPECT_EQ(err, nullptr) << request;
    error_free_and_clear(&err);
    char *ret = do_qmp_dispatch(req, &err);
    qobject_decref(req);
    std::string out = err ? std::string("error: ") + error_get_message(err) : ret ? ret : "";
    g_free(ret);
    error_free(err);
    return out;
}

} // namespace hvtest
