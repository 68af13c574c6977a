#include "agent-common/agent-main.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include <clocale>
#include <initializer_list>
#include <cstdio>
#include <cstring>

#include "agent-common/agent-metrics.h"
#include "agent-common/agent-status-common.h"
#include "agent-common/build-info.h"
#include "agent-common/agent-identity.h"
#include "agent-common/exclude-ifaces.h"
#include "agent-common/logger.h"
#include "agent-common/qmp-servers/qmp-manager.h"
#include "agent-common/qmp-servers/qmp-rpc-client.h"
#include "agent-common/qmp-servers/qmp-server-nn.h"
#include "agent-common/qmp-servers/qmp-server-std-io.h"
#include "agent-common/qmp-servers/qmp-server-tcp.h"
#include "agent-common/qmp-servers/qmp-server-tls.h"
#include "qapi/qmp-common-types.h"
#include "enforcement/platforms/console-events.h"
#include "enforcement/platforms/process.h"
#include "enforcement/platforms/registry.h"
#include "util/agent-assert.h"
#include "util/agent-config.h"
#include "util/data-folder.h"
#include "util/error.h"
#include "util/persistent-config.h"

#ifndef HV_PRECOMPILED_ROOT
#define HV_PRECOMPILED_ROOT "/var/lib/holvenstad"
#endif

/* ---- module table ---- */

namespace {

struct ModuleRow {
    const char *type_name;
    const char *display_name;
    const char *short_name;
    const char *ipc_code;
};

const ModuleRow kModules[AGENT_MODULE_COUNT] = {
    {"VISTOR", "Vistor", "vistor", "vs"},
    {"DECEPTION", "Deception", "deception", "fp"},
    {"ENFORCEMENT", "Enforcement", "enforcement", "en"},
    {"DETECTION", "Detection", "detection", "da"},
    {"CONTROLLER", "Controller", "controller", "ca"},
    {"SERVICE", "Service", "service", "srv"},
    {"BUNDLE-UPDATER", "Bundle Updater", "bundle-updater", "up"},
};

char s_pidfile_paths[AGENT_MODULE_COUNT][AGENT_PATH_MAX + 1];
GOnce s_pidfile_once = G_ONCE_INIT;

bool valid_module(int id)
{
    return id >= 0 && id < AGENT_MODULE_COUNT;
}

} // namespace

const char *agent_module_type_name(int module_id)
{
    return valid_module(module_id) ? kModules[module_id].type_name : "UNKNOWN";
}

const char *agent_module_display_name(int module_id)
{
    return valid_module(module_id) ? kModules[module_id].display_name : "unknown_module";
}

const char *agent_module_short_name(int module_id)
{
    return valid_module(module_id) ? kModules[module_id].short_name : "unknown_module";
}

const char *agent_module_pidfile_path(int module_id)
{
    if (!valid_module(module_id)) {
        return nullptr;
    }
    g_once(&s_pidfile_once, [](gpointer) -> gpointer {
        if (!agent_global_vars_load(nullptr)) {
            return nullptr;
        }
        for (int i = 0; i < AGENT_MODULE_COUNT; i++) {
            snprintf(s_pidfile_paths[i], sizeof s_pidfile_paths[i], "%s/%s/hv-%s.pid", agent_data_folder(),
                     "pids", kModules[i].short_name);
        }
        return nullptr;
    }, nullptr);
    /* Empty when the data folder was refused: no pid file at the file system root. */
    return s_pidfile_paths[module_id][0] ? s_pidfile_paths[module_id] : nullptr;
}

bool agent_module_ipc_path(int module_id, char *buf, size_t size)
{
    if (!valid_module(module_id)) {
        return false;
    }
    int n = snprintf(buf, size, "ipc://holvenstad_%s_channel.ipc", kModules[module_id].ipc_code);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        g_warning("[agent-module-info] error setting IPC path = '%s' for module %s", buf,
                  kModules[module_id].display_name);
        return false;
    }
    return true;
}

/* ---- global folders ---- */

namespace {
GMutex s_vars_lock;
const char *s_root_source;
char s_root[AGENT_PATH_MAX + 1];
char s_data[AGENT_PATH_MAX + 1];
char s_logs[AGENT_PATH_MAX + 8]; /* data (at most 252) + "/logs" */
} // namespace

bool agent_global_vars_load(const char *config_key)
{
    const char *key = config_key ? config_key : AGENT_DEFAULT_CONFIG_KEY;
    g_mutex_lock(&s_vars_lock);
    if (s_root_source) {
        g_mutex_unlock(&s_vars_lock);
        return true;
    }
    Error *reg_err = nullptr;
    g_autofree char *root = platform_registry_read_string(key, "HV_ROOT_FOLDER", &reg_err);
    if (root && strlen(root) + 1 >= 1 && strlen(root) + 1 <= 258) {
        g_strlcpy(s_root, root, sizeof s_root);
        s_root_source = "global configuration";
    } else {
        Error *img_err = nullptr;
        g_autofree char *image = platform_self_image_path(&img_err);
        if (image) {
            g_autofree char *dir = g_path_get_dirname(image);
            g_strlcpy(s_root, dir, sizeof s_root);
            s_root_source = "image directory";
        } else {
            g_warning("[global var] failed loading self image path: %s", error_get_message(img_err));
            g_strlcpy(s_root, HV_PRECOMPILED_ROOT, sizeof s_root);
            s_root_source = "precompiled";
        }
        error_free(img_err);
    }
    if (reg_err) {
        g_warning("[global var] error reading 'HV_ROOT_FOLDER' registry key: %s", error_get_message(reg_err));
        error_free_and_clear(&reg_err);
    }

    g_autofree char *data = platform_registry_read_string(key, "HV_DATA_FOLDER", &reg_err);
    g_autofree char *folder = nullptr;
    data_folder_fault_t fault = data_folder_check(data, &folder);
    if (data && fault != DATA_FOLDER_VALID) {
        /* The configuration, logs and pid files would all land at the file system root, under
         * the working directory, or in a folder the other readers of the value refuse. */
        if (fault == DATA_FOLDER_EMPTY) {
            g_critical("[global var] '%s\\HV_DATA_FOLDER' registry key is empty: refusing to place the data, "
                       "config, logs and pids folders at the file system root",
                       key);
        } else {
            g_critical("[global var] '%s\\HV_DATA_FOLDER' registry key '%s' %s: refusing to place the data, "
                       "config, logs and pids folders %s",
                       key, data, data_folder_fault_text(fault),
                       fault == DATA_FOLDER_ROOT       ? "at the file system root"
                       : fault == DATA_FOLDER_RELATIVE ? "relative to the working directory"
                                                       : "under it");
        }
        s_root_source = nullptr;
        s_root[0] = '\0';
        g_mutex_unlock(&s_vars_lock);
        return false;
    }
    if (folder) {
        g_strlcpy(s_data, folder, sizeof s_data);
    } else {
        if (reg_err) {
            g_warning("[global var] error reading '%s\\HV_DATA_FOLDER' registry key: %s", key,
                      error_get_message(reg_err));
        } else {
            g_warning("[global var] '%s\\HV_DATA_FOLDER' registry key is invalid: '%s'", key, "");
        }
        g_strlcpy(s_data, HV_PRECOMPILED_ROOT, sizeof s_data);
    }
    error_free(reg_err);
    snprintf(s_logs, sizeof s_logs, "%s/logs", s_data);
    g_mutex_unlock(&s_vars_lock);
    return true;
}

const char *agent_root_folder(void)
{
    return s_root;
}

const char *agent_data_folder(void)
{
    return s_data;
}

const char *agent_logs_folder(void)
{
    return s_logs;
}

void agent_global_vars_log(void)
{
    if (!s_root_source) {
        g_critical("[global var] global variables unset!");
        return;
    }
    g_debug("[global var] Global variable HV_ROOT is '%s' (source is %s)", s_root, s_root_source);
    g_debug("[global var] Global variable HV_LOGS is '%s'", s_logs);
    g_debug("[global var] Global variable HV_DATA is '%s'", s_data);
}

/* ---- global init ---- */

bool agent_global_init(Error **errp)
{
    setlocale(LC_ALL, "C");
    /* A peer that goes away mid-reply must end that write, not the process. */
    platform_ignore_broken_pipe();
    const char *key = ga_state && ga_state->config ? ga_state->config->config_key : nullptr;
    if (!agent_global_vars_load(key)) {
        error_setg(errp, "error loading global variables");
        return false;
    }
    if (!agent_config_init()) {
        g_critical("[agents-main] failed to initialize agent configuration module");
        return false;
    }
    return true;
}

/* ---- running state ---- */

void agent_terminate_main_loop(void)
{
    if (!ga_state) {
        g_critical("[agents-main] terminating main loop in initialization/cleanup phase...");
        exit(0);
    }
    if (!ga_state->main_loop) {
        g_critical("[agents-main] terminating main loop when it isn't running...");
        exit(0);
    }
    ga_state->running = false;
}

bool agent_is_running(void)
{
    return ga_state && ga_state->running;
}

namespace {

bool on_console_event(unsigned event)
{
    switch (event) {
    case CONSOLE_EVENT_CTRL_C:
    case CONSOLE_EVENT_CTRL_BREAK:
        g_message("[service] Break control event received, quitting...");
        agent_terminate_main_loop();
        return true;
    case CONSOLE_EVENT_CTRL_CLOSE:
        g_message("[service] Close control event received, quitting...");
        agent_terminate_main_loop();
        return true;
    case CONSOLE_EVENT_CTRL_LOGOFF:
        g_message("[service] Logoff control event received, ignoring...");
        return false;
    case CONSOLE_EVENT_CTRL_SHUTDOWN:
        g_message("[service] Shutdown control event received, quitting...");
        g_message("[%s] host-boot-tracer: System is about to shutdown", ga_state ? ga_state->agent_type : "agent");
        agent_terminate_main_loop();
        return true;
    default:
        g_warning("Unknown control event received: %u", event);
        return true;
    }
}

constexpr guint kStatusIntervalMs = 20000;

/* HV_STATUS_INTERVAL_MS shortens the period for tests; anything unreadable keeps 20 s. */
guint status_interval_ms(void)
{
    const char *text = g_getenv("HV_STATUS_INTERVAL_MS");
    if (!text || !*text) {
        return kStatusIntervalMs;
    }
    char *end = nullptr;
    guint64 ms = g_ascii_strtoull(text, &end, 10);
    if (*end || ms == 0 || ms > kStatusIntervalMs) {
        return kStatusIntervalMs;
    }
    return static_cast<guint>(ms);
}

gboolean internal_status_timer(gpointer opaque)
{
    auto *module = static_cast<agent_module_t *>(opaque);
    if (!agent_status_is_pushing_supported()) {
        /* No controller answered at start: ask again until one does. */
        agent_status_ask_again();
        return G_SOURCE_CONTINUE;
    }
    Error *err = nullptr;
    ModuleInternalStatus *status = module->internal_status_cb(&err);
    if (err || !status) {
        g_warning("[agents-main]  failed to get module-internal-status: %s", err ? error_get_message(err) : "");
        error_free(err);
        qapi_free_ModuleInternalStatus(status);
        return G_SOURCE_CONTINUE;
    }
    report_module_status_if_changed(status);
    qapi_free_ModuleInternalStatus(status);
    return G_SOURCE_CONTINUE;
}

gboolean process_usage_timer(gpointer)
{
    uint64_t cpu = 0, ram = 0;
    Error *err = nullptr;
    if (!platform_self_cpu_jiffies(&cpu, &err)) {
        g_warning("[agents-main] failed to read process CPU usage: %s", error_get_message(err));
        error_free_and_clear(&err);
        cpu = 0;
    }
    if (!platform_self_memory_bytes(&ram, &err)) {
        g_warning("[agents-main] failed to read process memory usage: %s", error_get_message(err));
        error_free_and_clear(&err);
        ram = 0;
    }
    agent_metrics_set("process.load.cpu.jiffies", cpu);
    agent_metrics_set("process.load.ram.bytes", ram);
    g_message("[agents-main] agent is running (CPU usage: %llu jiffies RAM usage: %llu bytes)",
              static_cast<unsigned long long>(cpu), static_cast<unsigned long long>(ram));
    return G_SOURCE_CONTINUE;
}

gboolean shutdown_check_timer(gpointer)
{
    if (!ga_state) {
        g_warning("[agents-main] ga_state is not set, stopping shutdown check timer...");
        return G_SOURCE_REMOVE;
    }
    if (!ga_state->main_loop) {
        g_warning("[agents-main] main loop is not set, stopping shutdown check timer...");
        return G_SOURCE_REMOVE;
    }
    if (ga_state->running) {
        return G_SOURCE_CONTINUE;
    }
    if (g_main_loop_is_running(ga_state->main_loop)) {
        g_debug("[agents-main] stopping main loop");
        g_main_loop_quit(ga_state->main_loop);
    }
    return G_SOURCE_REMOVE;
}

/* Rotation fields refuse changes while a logging profile was chosen explicitly. */
bool s_profile_explicit;

bool on_rotate_threshold(const char *key, uint64_t, uint64_t new_value, Error **errp)
{
    if (s_profile_explicit) {
        g_message("[config] rejecting int configuration '%s' with new value %llu", key,
                  static_cast<unsigned long long>(new_value));
        return false;
    }
    if (new_value == 0) {
        /* Every line would rotate, and the compression's own lines would keep it rotating. */
        g_message("[config] rejecting int configuration '%s' with new value %llu", key,
                  static_cast<unsigned long long>(new_value));
        error_setg(errp, "'%s' must be at least 1 (MiB)", key);
        return false;
    }
    logger_set_rotate_threshold(new_value);
    return true;
}

bool on_rotate_count(const char *key, uint64_t, uint64_t new_value, Error **)
{
    if (s_profile_explicit) {
        g_message("[config] rejecting int configuration '%s' with new value %llu", key,
                  static_cast<unsigned long long>(new_value));
        return false;
    }
    logger_set_rotate_count(new_value);
    return true;
}

bool on_rotate_compressed(const char *key, bool, bool new_value, Error **)
{
    if (s_profile_explicit) {
        /* The text is the established one, "llu" included. */
        g_message("[config] rejecting bool configuration '%s' with new value %sllu", key, new_value ? "true" : "false");
        return false;
    }
    logger_set_rotate_compressed(new_value);
    return true;
}

void apply_persistent_configuration(agent_module_t *module)
{
    if (!persistent_config_init_in_data_folder(module->config->config_key ? module->config->config_key
                                                                           : AGENT_DEFAULT_CONFIG_KEY,
                                               module->persistent_config_file)) {
        return;
    }
    Error *err = nullptr;
    ConfigFieldList *fields = persistent_config_read(&err);
    if (err) {
        g_debug("[agents-main] error getting config from file: %s", error_get_message(err));
        error_free_and_clear(&err);
    }
    if (fields && !set_agents_configuration(fields, true, &err)) {
        g_warning("[agents-main] not all persistent configuration fields were loaded successfully: %s",
                  err ? error_get_message(err) : "");
        error_free(err);
    }
    qapi_free_ConfigFieldList(fields);
}

struct Timers {
    guint usage = 0;
    guint shutdown = 0;
    guint status = 0;
};

int cleanup(agent_state_t *state, agent_module_t *module, Timers &timers, int exit_code, bool pidfile_written)
{
    g_debug("[agents-main] running cleanup");
    for (guint *id : {&timers.usage, &timers.shutdown, &timers.status}) {
        if (*id) {
            g_source_remove(*id);
            *id = 0;
        }
    }
    state->running = false;
    agent_status_cleanup();
    logger_cancel_verbose_log_revert();
    platform_console_events_unregister();
    if (state->main_loop) {
        g_main_loop_unref(state->main_loop);
        state->main_loop = nullptr;
    }
    /* Servers and the executor go first: a command still running on the executor must not
     * meet what the module's cleanup releases. */
    qmp_manager_cleanup();
    /* Before the module's cleanup: no request it still holds may outlive what its context points to. */
    qmp_rpc_client_cleanup();
    Error *err = nullptr;
    if (!module->cleanup_cb(module, module->config, exit_code, &err)) {
        g_critical("[agents-main] error cleaning up agent: %s", err ? error_get_message(err) : "");
    }
    error_free(err);
    exclude_ifaces_cleanup();
    agent_metrics_cleanup();
    persistent_config_cleanup();
    agent_config_cleanup();
    g_free(module->config->servers);
    module->config->servers = nullptr;
    if (pidfile_written) {
        g_unlink(module->config->pidfile);
    }
    g_free(module->runtime);
    module->runtime = nullptr;
    g_mutex_clear(&state->mutex);
    g_debug("[agents-main] done");
    return exit_code;
}

bool write_pidfile(const char *path)
{
    g_autofree char *dir = g_path_get_dirname(path);
    g_mkdir_with_parents(dir, 0755);
    g_autofree char *text = g_strdup_printf("%ld\n", static_cast<long>(getpid()));
    return g_file_set_contents(path, text, -1, nullptr);
}

} // namespace

int agent_main(agent_state_t *state, agent_module_t *module, int argc, char **argv)
{
    (void)argc;
    (void)argv;
    AGENT_ASSERT(state != NULL);
    AGENT_ASSERT(module != NULL);
    AGENT_ASSERT(module->config != NULL);
    state->module = module;
    ga_state = state;
    g_hv_agent = module;
    g_mutex_init(&state->mutex);
    agent_config_t *config = module->config;

    Error *err = nullptr;
    if (!agent_global_init(&err)) {
        g_critical("[agents-main] failure during agent global init: %s", err ? error_get_message(err) : "");
        error_free(err);
        return 1;
    }

    state->agent_type = "agent";
    module->runtime = g_new0(agent_runtime_t, 1);
    agent_runtime_t *rt = module->runtime;
    rt->module_name = agent_module_display_name(module->module_id);
    rt->verbose = (logger_get_level() & G_LOG_LEVEL_DEBUG) != 0;

    Timers timers;
    bool pidfile_written = false;
    if (!config->ctrl_mode) {
        g_message("[agents-main] %s agent going up", rt->module_name);
        g_message("[agents-main] Agent Version: '%s', Build Date: '%s', Commit ID: '%s'", agent_build_version(),
                  agent_build_date(), agent_commit_id());
        agent_global_vars_log();
        if (config->pidfile) {
            if (!write_pidfile(config->pidfile)) {
                g_critical("[agents-main] failed creating pidfile '%s'", config->pidfile);
                /* No cleanup on this path; only what nothing else will release goes. */
                g_free(module->runtime);
                module->runtime = nullptr;
                return 1;
            }
            pidfile_written = true;
        }
        if (config->servers && *config->servers) {
            g_message("[agents-main] Aggregator servers addresses: %s", config->servers);
        }
        if (!platform_console_events_register(on_console_event, &err)) {
            g_critical("[agents-main] failed to register signal handlers");
            error_free(err);
            return cleanup(state, module, timers, 1, pidfile_written);
        }
        if (config->uuid && !agent_identity_set_uuid(config->uuid, &err)) {
            g_critical("[agents-main] %s", error_get_message(err));
            error_free_and_clear(&err);
            return cleanup(state, module, timers, 1, pidfile_written);
        }
        g_autofree char *uuid = agent_identity_load_uuid(&err);
        if (uuid) {
            g_message("[agents-main] Agent UUID is '%s'", uuid);
        } else {
            g_warning("[agents-main] error loading agent UUID: %s", error_get_message(err));
            error_free_and_clear(&err);
        }
    }

    if (!agent_module_ipc_path(module->module_id, rt->ipc_path, sizeof rt->ipc_path)) {
        g_critical("[agents-main] failed loading agent module IPC channel path");
        return cleanup(state, module, timers, 1, pidfile_written);
    }

    bool profile_explicit = false;
    logger_profile_t profile = logger_get_profile(&profile_explicit);
    s_profile_explicit = profile_explicit;
    rt->rotate_threshold = profile.threshold_mib;
    rt->rotate_count = profile.count;
    rt->rotate_compressed = profile.compressed;
    agent_config_register_bool("agent.log_verbose", &rt->verbose, update_agent_log_verbose);
    agent_config_register_int("agent.log_rotate_threshold", &rt->rotate_threshold, on_rotate_threshold);
    agent_config_register_int("agent.log_rotate_count", &rt->rotate_count, on_rotate_count);
    agent_config_register_bool("agent.log_rotate_compressed", &rt->rotate_compressed, on_rotate_compressed);
    logger_set_rotate_threshold(rt->rotate_threshold);
    logger_set_rotate_count(rt->rotate_count);
    logger_set_rotate_compressed(rt->rotate_compressed);
    g_debug("[agents-main] opened log file (detected size %llu bytes, rotate on %llu bytes with count %llu)",
            static_cast<unsigned long long>(logger_get_file_size()),
            static_cast<unsigned long long>(rt->rotate_threshold * 1048576ull),
            static_cast<unsigned long long>(rt->rotate_count));

    static uint64_t s_last_cmd_timeout;
    s_last_cmd_timeout = state->last_cmd_timeout;
    agent_config_register_int_range("agent.last_cmd_timeout", &s_last_cmd_timeout, 5, 1200, nullptr);

    if (module->register_config_cb && !module->register_config_cb()) {
        g_critical("[agents-main] error registering config fields for %s agent", rt->module_name);
        return cleanup(state, module, timers, 1, pidfile_written);
    }
    if (!initialize_agent_metrics()) {
        g_critical("[agents-main] error starting agent metrics module for %s agent", rt->module_name);
        return cleanup(state, module, timers, 1, pidfile_written);
    }
    if (!exclude_ifaces_init()) {
        g_critical("[agents-main] error initializing exclude interfaces module for %s agent", rt->module_name);
        return cleanup(state, module, timers, 1, pidfile_written);
    }
    for (GSList *l = config->excluded_ifaces; l; l = l->next) {
        exclude_ifaces_add(static_cast<const char *>(l->data));
    }

    state->running = true;
    state->main_loop = g_main_loop_new(nullptr, FALSE);

    if (!module->init_cb(module, config, &err)) {
        g_critical("[agents-main] error initializing agent: %s", err ? error_get_message(err) : "");
        error_free(err);
        return cleanup(state, module, timers, 1, pidfile_written);
    }
    if (!state->running) {
        return cleanup(state, module, timers, 0, pidfile_written);
    }

    if (!update_agent_log_verbose("agent.log_verbose", rt->verbose, rt->verbose, &err)) {
        g_critical("[agents-main] error updating agent log verbose state: %s", err ? error_get_message(err) : "");
        error_free_and_clear(&err);
    }
    apply_persistent_configuration(module);

    qmp_manager_init(state->main_loop, module->use_executor);
    qmp_manager_set_reconnect_interval(config->reconnect_interval == 0    ? 10
                                       : config->reconnect_interval < 0 ? 0
                                                                         : static_cast<unsigned>(config->reconnect_interval));
    QmpServer *nn_server = qmp_server_new_nn(rt->ipc_path);
    if (!nn_server) {
        g_critical("[agents-main] could not create QMP nanomsg command server");
        return cleanup(state, module, timers, 1, pidfile_written);
    }
    qmp_manager_register_server(nn_server);

    if (!config->method) {
        g_warning("[agents-main] running agent module without remote connection");
    } else if (strcmp(config->method, "tcp-tls") == 0) {
        config->channel_type = AGENT_CHANNEL_TCP_TLS;
        tls_channel_params_t params = {config->tls.ca_file, config->tls.client_cert, config->tls.client_key,
                                       config->tls.remote_name};
        QmpServer *server = qmp_server_new_tls(config->servers ? config->servers : "", config->proxy, &params,
                                               config->connect_timeout_ms);
        if (!server) {
            g_critical("[agents-main] could not create QMP TCP/TLS command server");
            return cleanup(state, module, timers, 1, pidfile_written);
        }
        qmp_manager_register_server(server);
    } else if (strcmp(config->method, "stdin") == 0) {
        config->channel_type = AGENT_CHANNEL_STDIN;
        QmpServer *server = qmp_server_new_std_io();
        if (!server) {
            g_critical("[agents-main] could not create QMP stdin command server");
            return cleanup(state, module, timers, 1, pidfile_written);
        }
        qmp_manager_register_server(server);
    } else if (strcmp(config->method, "socket") == 0) {
        config->channel_type = AGENT_CHANNEL_SOCKET;
        QmpServer *server = qmp_server_new_tcp(config->servers ? config->servers : "", config->connect_timeout_ms);
        if (!server) {
            g_critical("[agents-main] could not create QMP TCP command server");
            return cleanup(state, module, timers, 1, pidfile_written);
        }
        qmp_manager_register_server(server);
    } else {
        g_critical("[agents-main] unsupported channel method/type: %s", config->method);
        return cleanup(state, module, timers, 1, pidfile_written);
    }
    qmp_rpc_client_init();
    for (int id = 0; id < AGENT_MODULE_COUNT; id++) {
        char path[AGENT_PATH_MAX + 1];
        if (!agent_module_ipc_path(id, path, sizeof path)) {
            g_critical("[agents-main] failed to get rpc path for module %s (value - %d)", agent_module_type_name(id), id);
            return cleanup(state, module, timers, 1, pidfile_written);
        }
        if (!qmp_rpc_client_register(id, path, &err)) {
            g_critical("[agents-main] failed to register rpc client for module %s (value - %d)",
                       agent_module_type_name(id), id);
            error_free_and_clear(&err);
            return cleanup(state, module, timers, 1, pidfile_written);
        }
    }

    if (module->post_init_cb && !module->post_init_cb(module, config, &err)) {
        g_critical("[agents-main] error performing post-config agent initialization: %s",
                   err ? error_get_message(err) : "");
        error_free(err);
        return cleanup(state, module, timers, 1, pidfile_written);
    }

    g_message("[agents-main] %s agent initialization done", rt->module_name);
    timers.usage = g_timeout_add_seconds(60, process_usage_timer, nullptr);
    timers.shutdown = g_timeout_add(500, shutdown_check_timer, nullptr);
    if (module->internal_status_cb) {
        agent_status_init(module->module_id);
        if (agent_status_is_pushing_supported()) {
            g_message("Start module internal status update periodical");
            timers.status = g_timeout_add(status_interval_ms(), internal_status_timer, module);
        } else {
            g_debug("Skip sending module internal status update. Feature is not supported");
            if (!agent_status_features_known()) {
                timers.status = g_timeout_add(status_interval_ms(), internal_status_timer, module);
            }
        }
    }

    qmp_manager_run();
    g_main_loop_run(state->main_loop);
    timers.shutdown = 0; /* removed itself when it quit the loop */
    g_message("[agents-main] %s agent going down", rt->module_name);
    return cleanup(state, module, timers, 0, pidfile_written);
}
