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
 * The module's own metrics are added by this hook right before "get-agent-metrics"
 * copies the table; an error it sets fails the command.
 */
typedef bool (*agent_metrics_module_hook)(Error **errp);
void agent_metrics_set_module_hook(agent_metrics_module_hook hook);
