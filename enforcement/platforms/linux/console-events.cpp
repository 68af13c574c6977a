#include "enforcement/platforms/console-events.h"

#include <glib-unix.h>
#include <glib.h>

#include <csignal>

#include "util/error.h"

static platform_console_handler s_handler;
static guint s_sources[3];

static gboolean on_signal(gpointer event)
{
    if (s_handler) {
        s_handler(GPOINTER_TO_UINT(event));
    }
    return G_SOURCE_CONTINUE;
}

bool platform_console_events_register(platform_console_handler handler, Error **errp)
{
    static const struct {
        int signum;
        unsigned event;
    } map[] = {{SIGINT, CONSOLE_EVENT_CTRL_C}, {SIGTERM, CONSOLE_EVENT_CTRL_CLOSE}, {SIGHUP, CONSOLE_EVENT_CTRL_LOGOFF}};
    platform_console_events_unregister();
    s_handler = handler;
    for (size_t i = 0; i < G_N_ELEMENTS(map); i++) {
        s_sources[i] = g_unix_signal_add(map[i].signum, on_signal, GUINT_TO_POINTER(map[i].event));
        if (!s_sources[i]) {
            error_setg(errp, "can't watch signal %d", map[i].signum);
            platform_console_events_unregister();
            return false;
        }
    }
    return true;
}

void platform_console_events_unregister(void)
{
    for (guint &id : s_sources) {
        if (id) {
            g_source_remove(id);
            id = 0;
        }
    }
    s_handler = nullptr;
}

void platform_ignore_broken_pipe(void)
{
    signal(SIGPIPE, SIG_IGN);
}
