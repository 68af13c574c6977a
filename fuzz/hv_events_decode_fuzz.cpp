/*
 * hv-events' decoder of report socket messages. Whatever the bytes: no crash, no read
 * outside the message, every line it prints is valid JSON, and a single event yields exactly
 * one line or one problem.
 */
#include <cstdint>
#include <cstdlib>

#include "agent-common/net-event.h"
#include "qobject/qjson.h"
#include "qobject/qobject.h"
#include "tools/hv-events-decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    HvEventsDecoded out;
    hv_events_decode(data, size, &out);
    if (!net_event_is_batch(data, size) && out.events.size() + out.problems.size() != 1) {
        abort();
    }
    /* Every record takes at least its header, and a batch stops at its first broken one. */
    if (net_event_is_batch(data, size) && out.events.size() + out.problems.size() > size / 8 + 1) {
        abort();
    }
    for (const std::string &line : out.events) {
        QObject *obj = qobject_from_json(line.c_str(), nullptr);
        if (!obj) {
            abort();
        }
        qobject_decref(obj);
    }
    return 0;
}
