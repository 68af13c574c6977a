#include "util/agent-assert.h"

#include <glib.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

static std::atomic<agent_assert_writer_fn> s_writer{nullptr};

static void write_direct(const char *text)
{
    agent_assert_writer_fn writer = s_writer.load();
    if (writer) {
        writer(text);
    } else {
        fprintf(stderr, "%s\n", text);
        fflush(stderr);
    }
}

void agent_assert_set_writer(agent_assert_writer_fn writer)
{
    s_writer.store(writer);
}

void agent_assert_failed(const char *file, int line, const char *func, const char *expr)
{
    char text[512];
    snprintf(text, sizeof text, "%s%sERROR: %s:%d#%s: agent module reached an unexpected condition (%s)",
             "", "", file, line, func, expr);
    write_direct(text);
    write_direct("aborting due to assertion error");
    exit(1);
}

void agent_fatal_error(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    g_autofree char *msg = g_strdup_vprintf(fmt, ap);
    va_end(ap);
    g_critical("%s", msg);
    g_critical("*** FATAL ERROR - breaking out of process ***");
    exit(15);
}
