/*
 * The agent main loop that every module runs: the module descriptor, the command-line
 * configuration, the main-loop state, and agent_main itself.
 */
#pragma once

#include <glib.h>

#include <cstdint>

struct Error;
struct ModuleInternalStatus;

#define AGENT_MODULE_COUNT 7
#define AGENT_MODULE_ENFORCEMENT 2
#define AGENT_MODULE_CONTROLLER 4
#define AGENT_PATH_MAX 260

enum agent_channel_type {
    AGENT_CHANNEL_NONE = 0,
    AGENT_CHANNEL_TCP_TLS = 2,
    AGENT_CHANNEL_STDIN = 3,
    AGENT_CHANNEL_SOCKET = 4,
};

struct agent_tls_config_t {
    char *remote_name;
    char *ca_file;
    char *client_cert;
    char *client_key;
};

/* Filled by option parsing and channel completion, and by agent_main. Strings are owned
 * (g_free); excluded_ifaces holds owned names, the newest first. */
struct agent_config_t {
    char *uuid;
    char *servers;
    char *method;
    int32_t channel_type;
    int32_t reconnect_interval;
    char *logfile;
    char *audit_path;
    char *driver_logfile;
    char *pidfile;
    bool ctrl_mode;
    GSList *excluded_ifaces;
    uint32_t connect_timeout_ms;
    char *config_key; /* NULL: AGENT_DEFAULT_CONFIG_KEY */
    uint32_t log_level;
    char *proxy;
    agent_tls_config_t tls;
    int32_t skip_channel_restart;
};

#define AGENT_DEFAULT_CONFIG_KEY "SOFTWARE\\Holvenstad"

struct agent_module_t;

struct agent_runtime_t {
    bool verbose;
    uint64_t rotate_threshold; /* MiB */
    uint64_t rotate_count;
    bool rotate_compressed;
    const char *module_name;
    char ipc_path[AGENT_PATH_MAX];
};

/* A control command given with -t: the command and its argument (-o). */
struct agent_ctrl_t {
    char *command;
    char *argument;
};

struct agent_module_t {
    int32_t module_id;
    agent_config_t *config;
    bool (*init_cb)(agent_module_t *module, agent_config_t *config, Error **errp);
    bool (*post_init_cb)(agent_module_t *module, agent_config_t *config, Error **errp);
    bool (*cleanup_cb)(agent_module_t *module, agent_config_t *config, int failed, Error **errp);
    bool (*register_config_cb)(void);
    bool (*log_verbose_cb)(bool verbose, Error **errp);
    agent_ctrl_t *ctrl;
    agent_runtime_t *runtime;
    const char *persistent_config_file;
    ModuleInternalStatus *(*internal_status_cb)(Error **errp);
    bool use_executor;
};

struct agent_state_t {
    agent_config_t *config;
    GMainLoop *main_loop;
    volatile bool running;
    agent_module_t *module;
    GMutex mutex;
    uint64_t last_cmd_timeout;
    guint verbose_revert_timer;
    const char *agent_type;
};

extern agent_module_t *g_hv_agent;
extern agent_state_t *ga_state;

/* Runs the module until it is asked to stop; returns the exit code, 0 or 1. */
int agent_main(agent_state_t *state, agent_module_t *module, int argc, char **argv);
bool agent_global_init(Error **errp);

/* Asks the main loop to stop (console events, the "terminate" command). */
void agent_terminate_main_loop(void);
bool agent_is_running(void);

/* The sibling modules' table. */
const char *agent_module_display_name(int module_id);
const char *agent_module_short_name(int module_id);
const char *agent_module_type_name(int module_id);
/* NULL for an unknown module, or when the global folders were refused. */
const char *agent_module_pidfile_path(int module_id);
bool agent_module_ipc_path(int module_id, char *buf, size_t size);

/* The global folders; loaded once. False, logged, when HV_DATA_FOLDER is present but
 * refused by data_folder_check (empty, the root, relative, too long): every folder derived
 * from it would be at the file system root or under the working directory. */
bool agent_global_vars_load(const char *config_key);
const char *agent_root_folder(void);
const char *agent_data_folder(void);
const char *agent_logs_folder(void);
void agent_global_vars_log(void);

/* Frees every owned member and zeroes the record. */
void agent_config_clear(agent_config_t *config);
