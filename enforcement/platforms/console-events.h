/*
 * Console control events delivered to the main loop. On Linux: SIGINT is Ctrl-C,
 * SIGTERM is close, SIGHUP is logoff. The handler runs on the main loop thread.
 */
#pragma once

struct Error;

enum platform_console_event {
    CONSOLE_EVENT_CTRL_C = 0,
    CONSOLE_EVENT_CTRL_BREAK = 1,
    CONSOLE_EVENT_CTRL_CLOSE = 2,
    CONSOLE_EVENT_CTRL_LOGOFF = 5,
    CONSOLE_EVENT_CTRL_SHUTDOWN = 6,
};

/* The handler returns whether it handled the event. */
typedef bool (*platform_console_handler)(unsigned event);
bool platform_console_events_register(platform_console_handler handler, Error **errp);
void platform_console_events_unregister(void);
/* Writes to a closed socket or pipe fail with an error instead of ending the process. */
void platform_ignore_broken_pipe(void);
