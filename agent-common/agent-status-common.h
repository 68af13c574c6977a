/*
 * Pushing the module's internal status to the controller module: whether the
 * controller accepts it is asked at start, and again later while no controller answered
 * (one may start after the module); afterwards a status is sent only when
 * it differs from the last one the controller accepted. Everything but the two feature
 * readers runs on the main-loop thread.
 */
#pragma once

struct Error;
struct ModuleInternalStatus;

/* Asks the controller (synchronously) which status features it supports. */
void agent_status_init(int module_id);
/* false while no controller has answered that question (none was there at start). */
bool agent_status_features_known(void);
/* Asks again without waiting, unless answered or already asked; the answer sets the features. */
void agent_status_ask_again(void);
/* Drops the status requests still pending and forgets the features and digests. */
void agent_status_cleanup(void);

bool agent_status_is_pushing_supported(void);
bool agent_status_is_no_channels_supported(void);

/* Sends status (not taken) when it changed since the last accepted one. */
void report_module_status_if_changed(const ModuleInternalStatus *status);
/* Sends the services JSON text to the controller and waits for its answer. */
bool report_services_info(const char *services_json, Error **errp);
