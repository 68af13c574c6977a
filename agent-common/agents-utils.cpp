#include "agent-common/agents-utils.h"

#include <glib.h>

#include <cstring>

#include "enforcement/platforms/registry.h"
#include "util/data-folder.h"
#include "util/error.h"

#define AGENT_DEFAULT_CONNECT_TIMEOUT_MS 10000

static const char *config_key_or_default(const char *config_key)
{
    return config_key ? config_key : AGENT_DEFAULT_CONFIG_KEY;
}

static bool is_empty(const char *text)
{
    return !text || !*text;
}

char *agent_utils_get_certs_folder(const char *config_key, Error **errp)
{
    Error *local_err = nullptr;
    g_autofree char *data = platform_registry_read_string(config_key_or_default(config_key),
                                                          "HV_DATA_FOLDER", &local_err);
    g_autofree char *folder = nullptr;
    data_folder_fault_t fault = data_folder_check(data, &folder);
    if (data && fault != DATA_FOLDER_VALID) {
        /* The certificates would be looked for at the file system root or under the working
         * directory. */
        if (fault == DATA_FOLDER_EMPTY) {
            error_setg(&local_err, "HV_DATA_FOLDER is empty");
        } else {
            error_setg(&local_err, "HV_DATA_FOLDER '%s' %s", data, data_folder_fault_text(fault));
        }
    }
    if (fault != DATA_FOLDER_VALID) {
        g_warning("[agent-utils] Unable to get Holvenstad program data folder: %s",
                  local_err ? error_get_message(local_err) : "");
        error_propagate(errp, local_err);
        return nullptr;
    }
    return g_strdup_printf("%s/certs", folder);
}

char *get_cert_remote_name(const char *config_key, const char *variable, const char *default_name)
{
    Error *local_err = nullptr;
    char *name = platform_registry_read_string(config_key_or_default(config_key), variable,
                                               &local_err);
    if (name) {
        return name;
    }
    char *fallback = g_strdup_printf("%s-v2", default_name);
    g_warning("[agent-utils] Unable to get Holvenstad registry value for '%s', Using default "
              "'%s': %s",
              variable, fallback, error_get_message(local_err));
    error_free(local_err);
    return fallback;
}

char *agent_utils_get_server_address(const char *config_key, Error **errp)
{
    Error *local_err = nullptr;
    char *address = platform_registry_read_string(config_key_or_default(config_key),
                                                  "HV_SERVER_ADDRESS", &local_err);
    if (!address) {
        g_warning("[agent-utils] Unable to get Holvenstad server address: %s",
                  error_get_message(local_err));
        error_propagate(errp, local_err);
    }
    return address;
}

bool agent_utils_complete_channel_args(agent_config_t *config, cmdline_priority_paths_t *paths,
                                       const char *server_name_variable,
                                       const char *default_server_name)
{
    g_free(config->method);
    config->method = g_strdup("tcp-tls");

    agent_tls_config_t *tls = &config->tls;
    if (!tls->ca_file || !tls->client_cert || !tls->client_key) {
        Error *local_err = nullptr;
        g_autofree char *certs = agent_utils_get_certs_folder(config->config_key, &local_err);
        if (!certs) {
            g_warning("Failed to complete channel args. Agent cert path not found: %s",
                      error_get_message(local_err));
            error_free(local_err);
            return false;
        }
        if (!tls->ca_file) {
            tls->ca_file = g_strdup_printf("%s/client.ca.pem", certs);
        }
        if (!tls->client_cert) {
            tls->client_cert = g_strdup_printf("%s/client.cert.pem", certs);
        }
        if (!tls->client_key) {
            tls->client_key = g_strdup_printf("%s/client.key.pem", certs);
        }
    }

    if (!tls->remote_name && !is_empty(server_name_variable) && !is_empty(default_server_name)) {
        tls->remote_name =
            get_cert_remote_name(config->config_key, server_name_variable, default_server_name);
    }

    if (!cmdline_priority_paths_any(paths)) {
        Error *local_err = nullptr;
        g_autofree char *address = agent_utils_get_server_address(config->config_key, &local_err);
        if (!address) {
            g_warning("Failed to complete channel args. No SSL addresses found: %s",
                      error_get_message(local_err));
            error_free(local_err);
            return false;
        }
        add_priority_path(paths, address, 0);
    }
    return true;
}

bool agent_utils_validate_channel_args(agent_config_t *config)
{
    const char *method = config->method;
    if (!method) {
        return true;
    }
    if (config->connect_timeout_ms == 0) {
        config->connect_timeout_ms = AGENT_DEFAULT_CONNECT_TIMEOUT_MS;
    }

    if (strcmp(method, "stdin") == 0) {
        if (!is_empty(config->servers)) {
            g_warning("Invalid Usage: can't specify a path for channel when channel method is "
                      "'stdin' (got '%s')\n",
                      config->servers);
            return false;
        }
        return true;
    }
    bool tcp_tls = strcmp(method, "tcp-tls") == 0;
    if (!tcp_tls && strcmp(method, "socket") != 0) {
        return true; /* agent_main refuses an unknown method */
    }
    if (is_empty(config->servers)) {
        g_warning("Invalid Usage: must specify a path for channel of type '%s'\n", method);
        return false;
    }
    if (!tcp_tls) {
        return true;
    }

    const agent_tls_config_t *tls = &config->tls;
    const char *missing = nullptr;
    if (is_empty(tls->remote_name)) {
        missing = "server name (-r)";
    } else if (is_empty(tls->ca_file)) {
        missing = "CA file name (-A)";
    } else if (is_empty(tls->client_cert)) {
        missing = "client certificate file name (-C)";
    } else if (is_empty(tls->client_key)) {
        missing = "client private key file name (-K)";
    }
    if (missing) {
        g_warning("Invalid Usage: must specify %s for channel of type 'tcp-tls'\n", missing);
        return false;
    }
    return true;
}

void agent_config_clear(agent_config_t *config)
{
    g_free(config->uuid);
    g_free(config->servers);
    g_free(config->method);
    g_free(config->logfile);
    g_free(config->audit_path);
    g_free(config->driver_logfile);
    g_free(config->pidfile);
    g_slist_free_full(config->excluded_ifaces, g_free);
    g_free(config->config_key);
    g_free(config->proxy);
    g_free(config->tls.remote_name);
    g_free(config->tls.ca_file);
    g_free(config->tls.client_cert);
    g_free(config->tls.client_key);
    *config = agent_config_t{};
}
