/*
 * The process's command-server manager: registers the servers, runs them in order,
 * reruns the reconnectable ones after a failure, stops the main loop when a required
 * one is lost, keeps the aggregator's status (running offline, selected destination)
 * and delivers push notifications. Main-loop thread, except qmp_manager_push_event
 * and the two status readers, which any thread may call.
 */
#pragma once

#include <glib.h>

struct InetSocketAddressList;
struct QmpServer;

/* A second call is a fatal assertion. Without an executor, commands run on the main loop. */
void qmp_manager_init(GMainLoop *main_loop, bool with_executor);
/* Seconds; 0 means a failed reconnectable server ends the main loop. Default 5. */
void qmp_manager_set_reconnect_interval(unsigned interval_sec);
/* The manager takes ownership of server (destroyed by qmp_manager_cleanup). */
void qmp_manager_register_server(QmpServer *server);
/* Runs every server in registration order; false when any of them failed to run. */
bool qmp_manager_run(void);
/* Destroys the executor and every server and frees the manager; nothing to do without one. */
void qmp_manager_cleanup(void);
/* Posts the formatted event text to the main loop for the push server. */
void qmp_manager_push_event(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
/* The aggregator's addresses to allow (owned list), or NULL. */
InetSocketAddressList *qmp_manager_get_allow_addresses(void);

/* The aggregator connection's status. */
bool qmp_manager_is_running_offline(void);
/* "host:port" of the aggregator's remote in use (owned), or NULL. */
char *qmp_manager_get_selected_destination(void);
