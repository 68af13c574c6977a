/*
 * Fatal stops for programming faults (never for request or input errors):
 *  - AGENT_ASSERT: reports the failed condition and exits with code 1;
 *  - agent_fatal_error: logs the message at critical level, then
 *    "*** FATAL ERROR - breaking out of process ***", and exits with code 15.
 */
#pragma once

[[noreturn]] void agent_assert_failed(const char *file, int line, const char *func,
                                      const char *expr);
[[noreturn]] void agent_fatal_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* The logger installs its direct critical writer here; until then stderr is used. */
typedef void (*agent_assert_writer_fn)(const char *text);
void agent_assert_set_writer(agent_assert_writer_fn writer);

#define AGENT_ASSERT(expr) \
    ((expr) ? (void)0 : agent_assert_failed(__FILE__, __LINE__, __func__, #expr))
