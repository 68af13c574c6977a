/*
 * Registry readers of the agent's TLS channel parameters, the completion of a
 * command-line configuration from them, and the channel validation.
 * config_key NULL means AGENT_DEFAULT_CONFIG_KEY everywhere.
 */
#pragma once

#include "agent-common/agent-main.h"
#include "agent-common/cmdline-utils.h"

struct Error;

/* The certificates folder: the data folder value "HV_DATA_FOLDER" + "/certs" (g_free).
 * NULL with *errp set, and a warning logged, when the value cannot be read or
 * data_folder_check refuses it. */
char *agent_utils_get_certs_folder(const char *config_key, Error **errp);

/* The TLS server name: the registry value named variable; when it cannot be read, logs
 * a warning and returns default_name + "-v2". Never NULL (g_free). */
char *get_cert_remote_name(const char *config_key, const char *variable, const char *default_name);

/* The value "HV_SERVER_ADDRESS" (g_free); NULL with *errp set, and a warning logged,
 * when it cannot be read. */
char *agent_utils_get_server_address(const char *config_key, Error **errp);

/*
 * Fills what the command line left out of a TLS channel: the method "tcp-tls", the CA,
 * certificate and key files under the certificates folder, the remote name (when both
 * server_name_variable and default_server_name are non-empty) and, when no slot of
 * paths is filled, slot 0 from the server address. Problems are logged as warnings
 * only; validation reports what is still missing. Returns false when completion
 * stopped early.
 */
bool agent_utils_complete_channel_args(agent_config_t *config, cmdline_priority_paths_t *paths,
                                       const char *server_name_variable,
                                       const char *default_server_name);

/* Checks the channel parameters for the method; logs the first problem as a warning.
 * A zero connect timeout becomes 10000 ms when a method is set. */
bool agent_utils_validate_channel_args(agent_config_t *config);
