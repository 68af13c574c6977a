/*
 * Named 64-bit counters shared by the whole module. Every call is safe from any
 * thread; before initialize_agent_metrics (or after cleanup) updates are dropped
 * and reads give 0.
 */
#pragma once

#include <cstdint>

struct Error;

bool initialize_agent_metrics(void);
void agent_metrics_cleanup(void);

/* Names are printf formats; a name longer than 255 characters is cut. */
void agent_metrics_add(const char *name_fmt, uint64_t delta, ...) __attribute__((format(printf, 1, 3)));
void agent_metrics_set(const char *name_fmt, uint64_t value, ...) __attribute__((format(printf, 1, 3)));
uint64_t agent_metrics_get(const char *name_fmt, ...) __attribute__((format(printf, 1, 2)));
void agent_metrics_reset(const char *name_fmt, ...) __attribute__((format(printf, 1, 2)));
void agent_metrics_remove(const char *name_fmt, ...) __attribute__((format(printf, 1, 2)));

/*
 * Time traces, per thread: exit adds the microseconds since the same thread's enter
 * to "<name>.time"; a trace never exited is counted in "<name>.expire" after 30 s.
 * Names longer than 223 characters are cut.
 */
void agent_metrics_trace_enter(const char *name);
void agent_metrics_trace_exit(const char *name);
/* Accounts every open trace as expired now (the 1 s timer only takes those older than 30 s). */
void agent_metrics_expire_all_traces(void);

/*
 * The module's own metrics are added by this hook right before "get-agent-metrics"
 * copies the table; an error it sets fails the command.
 */
typedef bool (*agent_metrics_module_hook)(Error **errp);
void agent_metrics_set_module_hook(agent_metrics_module_hook hook);
