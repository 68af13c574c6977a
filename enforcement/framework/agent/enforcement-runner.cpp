#include "enforcement/framework/agent/enforcement-runner.h"

#include <glib.h>

#include <cstring>

#include "agent-common/agent-info.h"
#include "agent-common/agent-main.h"
#include "agent-common/agent-metrics.h"
#include "agent-common/build-info.h"
#include "agent-common/logger.h"
#include "agent-common/nnmsg-channel.h"
#include "agent-common/qmp-servers/qmp-manager.h"
#include "enforcement/framework/agent/en-api.h"
#include "enforcement/framework/agent/en-conn-report.h"
#include "enforcement/framework/agent/en-ctrl-cmd.h"
#include "enforcement/framework/agent/en-driver.h"
#include "enforcement/framework/agent/en-persistent-storage.h"
#include "enforcement/framework/agent/en-policy.h"
#include "enforcement/framework/agent/en-config.h"
#include "enforcement/framework/agent/en-driver-logger.h"
#include "enforcement/framework/agent/roaming/roaming-service.h"
#include "enforcement/platforms/platform-version.h"
#include "qapi/qmp-common-commands.h"
#include "qapi/qmp-enforcement-commands.h"
#include "qapi/qmp-enforcement-types.h"

namespace {

std::shared_ptr<IRoamingService> s_roaming;

struct DriverRow {
    unsigned major, minor;
    const char *resource;
};

const DriverRow kDrivers[] = {
    {6, 2, "hv-enforcement64-windows-2012-and-later.sys"},
    {6, 1, "hv-enforcement64-windows-2008r2.sys"},
    {6, 0, "hv-enforcement64-windows-2008.sys"},
    {5, 1, "hv-enforcement64-windows-2003.sys"},
};

constexpr const char *kBundleName = "enforcement";
constexpr const char *kDriverTarget = "hv-enforcement64.sys";

/* Set at start; the callbacks read the start flags from here. */
EnOptions *s_options;

bool run_control_command(const agent_ctrl_t *ctrl)
{
    return en_ctrl_cmd_run(ctrl->command, ctrl->argument);
}

} // namespace

std::string en_driver_resource_name(unsigned major, unsigned minor)
{
    for (const DriverRow &row : kDrivers) {
        if (major > row.major || (major == row.major && minor >= row.minor)) {
            return std::string("enforcement/") + row.resource;
        }
    }
    g_critical("Unsupported Windows version");
    return "";
}

std::string en_driver_target_path(void)
{
    if (!agent_global_vars_load(nullptr)) {
        g_critical("Error loading global variables");
        return "";
    }
    g_autofree char *path = g_build_filename(agent_root_folder(), kDriverTarget, nullptr);
    return path;
}

EnforcementServiceRunner::EnforcementServiceRunner()
{
    module_->module_id = AGENT_MODULE_ENFORCEMENT;
    module_->init_cb = enforcement_agent_init;
    module_->post_init_cb = enforcement_post_init;
    module_->cleanup_cb = enforcement_agent_cleanup;
    module_->register_config_cb = enforcement_register_config;
    module_->log_verbose_cb = [](bool verbose, Error **) {
        g_message("[config] update agent log level (is_verbose=%s)", verbose ? "true" : "false");
        return true;
    };
    module_->ctrl = &ctrl_;
    module_->persistent_config_file = "enforcement.json";
    module_->internal_status_cb = en_policy_internal_status;
    module_->use_executor = true;
    en_options_init(&options_);
    agent_info_set_features(en_supported_features);
}

EnforcementServiceRunner::~EnforcementServiceRunner()
{
    if (s_options == &options_) {
        s_options = nullptr;
    }
    en_options_clear(&options_);
    g_free(ctrl_.command);
    g_free(ctrl_.argument);
}

bool EnforcementServiceRunner::Init(ServiceRunnerArgs *args)
{
    if (args->bundle_context) {
        service_runner_set_bundle_context(*args->bundle_context);
    }
    for (uint64_t i = 0; i < args->extra_count; i++) {
        if (args->extra_args[i] && strcmp(args->extra_args[i], "--dry-run") == 0) {
            options_.dry_run = true;
        }
    }
    return ServiceRunner::Init(args);
}

ServiceRunnerLogProfile EnforcementServiceRunner::GetLoggingProfile(int profile)
{
    switch (profile) {
    case 1:
        return {30, 5, true};
    case 2:
        return {50, 8, true};
    case 3:
        return {80, 10, true};
    default:
        return {0, 0, false};
    }
}

bool EnforcementServiceRunner::ParseOptions(cppmicroservices::BundleContext *)
{
    std::string name_var = GetServerNameVariable();
    std::string default_name = GetDefaultServerName();
    options_.server_name_variable = name_var.c_str();
    options_.default_server_name = default_name.c_str();
    bool ok = en_parse_options(args_->argc, args_->argv, &options_);
    options_.server_name_variable = nullptr;
    options_.default_server_name = nullptr;
    if (!ok) {
        return false;
    }
    /* The runner's configuration takes over what parsing stored. */
    agent_config_clear(config_);
    *config_ = options_.config;
    memset(&options_.config, 0, sizeof options_.config);
    ctrl_ = options_.ctrl;
    options_.ctrl = agent_ctrl_t{};
    static const char *const kProfileNames[] = {"", "min", "medium", "max"};
    if (options_.logging_profile >= 1 && options_.logging_profile <= 3) {
        logger_parse_profile_arg(kProfileNames[options_.logging_profile]);
    }
    s_options = &options_;
    return true;
}

bool EnforcementServiceRunner::ValidateOptions()
{
    std::swap(options_.config, *config_);
    bool ok = en_validate_options(&options_);
    std::swap(options_.config, *config_);
    return ok;
}

std::string EnforcementServiceRunner::GetServerNameVariable()
{
    return "HV_ENFORCEMENT_SERVER_NAME";
}

std::string EnforcementServiceRunner::GetDefaultServerName()
{
    return "holvenstad-enforcement-server";
}

bool EnforcementServiceRunner::Run()
{
    unsigned major = 0, minor = 0;
    platform_version(&major, &minor);
    std::string resource = en_driver_resource_name(major, minor);
    if (resource.empty()) {
        g_critical("[main_bundle] failed to get enforcement driver resource name");
        return false;
    }
    std::string target = en_driver_target_path();
    if (target.empty()) {
        g_critical("[main_bundle] failed to get enforcement driver resource path");
        return false;
    }
    ResourceStatus status = ExtractBundleResource(kBundleName, resource, target, false, false);
    if (status == RESOURCE_OLDER_EXIST) {
        Error *err = nullptr;
        if (!en_clean_existing_driver(&err)) {
            g_warning("[main_bundle] failed to cleanup prev enforcement driver leftovers %s", error_get_message(err));
        }
        error_free(err);
        status = ExtractBundleResource(kBundleName, resource, target, true, false);
        if (status != RESOURCE_EXTRACTED) {
            g_critical("Failed to replace resource '%s' to '%s' reason: %s", resource.c_str(), target.c_str(),
                       resource_status_text(status));
            return false;
        }
    } else if (status != RESOURCE_EXIST && status != RESOURCE_EXTRACTED) {
        g_critical("[main_bundle] failed to extract resource '%s' to '%s' reason: %s", resource.c_str(),
                   target.c_str(), resource_status_text(status));
        return false;
    }
    return ServiceRunner::Run();
}

bool enforcement_agent_init(agent_module_t *module, agent_config_t *config, Error **errp)
{
    if (config->ctrl_mode) {
        if (!run_control_command(module->ctrl)) {
            g_critical("[en-main] error running control command '%s'", module->ctrl->command);
        }
        ga_state->running = false;
        return true;
    }
    Error *roaming_err = nullptr;
    s_roaming = GetBundleService<IRoamingService>(service_runner_bundle_context(), &roaming_err);
    if (!s_roaming) {
        error_free(roaming_err);
        g_debug("[en_main] Roaming service not defined for bundle");
    } else if (!s_roaming->Initialize(&roaming_err)) {
        g_critical("[en_main] Roaming Service initialization incomplete: %s", error_get_message(roaming_err));
        error_free(roaming_err);
    }
    if (s_options && !s_options->send_batch_events) {
        g_message("[en_main] Batch events sending is disabled");
    }
    /* The process image cache joins here with its issue. */
    char report_address[260];
    snprintf(report_address, sizeof(report_address), "%s", NNMSG_CHANNEL_REPORT_ADDRESS);
    int report_socket = nnmsg_channel_open_push(report_address);
    if (report_socket < 0) {
        error_setg(errp, "failed to create nnmsg network events report channel");
        return false;
    }
    nnmsg_channel_set_report_socket(report_socket);
    en_api_set_send_batch_events(!s_options || s_options->send_batch_events);
    bool load_persistent = !s_options || s_options->use_persistent_policy;
    bool dns_locked = s_options && s_options->implicit_dns_rules_from_cmdline;
    if (!en_policy_init(load_persistent, dns_locked)) {
        error_setg(errp, "failed to initialize enforcement policy");
        return false;
    }
    Error *err = nullptr;
    if (!en_policy_start_api(&err)) {
        error_setg(errp, "failed to start enforcement api: %s", error_get_message(err));
        error_free(err);
        return false;
    }
    /* The driver logger needs the device open, so it comes up after the API. */
    if (config->driver_logfile && !en_driver_logger_init(config->driver_logfile, &err)) {
        error_setg(errp, "failed to init driver logger: %s", error_get_message(err));
        error_free(err);
        return false;
    }
    agent_metrics_set_module_hook(get_agent_metrics_internal);
    if (!en_conn_report_init_and_start(&err)) {
        error_setg(errp, "failed to init connection report module: %s", error_get_message(err));
        error_free(err);
        return false;
    }
    if (config->driver_logfile && !en_driver_logger_start(&err)) {
        error_setg(errp, "failed to start driver logger: %s", error_get_message(err));
        error_free(err);
        return false;
    }
    if (!s_options || s_options->restore_dns_cache) {
        en_dns_cache_restore(g_en_handle);
    }
    qmp_register_enforcement_commands();
    qmp_register_common_commands();
    return true;
}

bool enforcement_post_init(agent_module_t *, agent_config_t *, Error **)
{
    Error *err = nullptr;
    /* A stored policy the driver refuses must not stop the module: it stays reachable for a
     * new policy, and that policy needs the server addresses below to keep them reachable.
     * Nor may the module go on reporting that policy's revision as if it were in force. */
    if (!en_policy_start(&err)) {
        g_critical("[main] failed to start enforcement policy: %s", error_get_message(err));
        error_free_and_clear(&err);
        en_policy_discard_stored();
    }
    InetSocketAddressList *servers = qmp_manager_get_allow_addresses();
    if (servers) {
        for (InetSocketAddressList *s = servers; s; s = s->next) {
            g_debug("[main] en-policy should allow server address %s:%s", s->value->host, s->value->port);
        }
        EnforcementPolicyDerivationDetails *details = en_policy_set_server_addresses(servers, &err);
        if (err) {
            g_warning("[main] failed to configure allow server addresses in en policy: %s", error_get_message(err));
            error_free(err);
        }
        qapi_free_EnforcementPolicyDerivationDetails(details);
    }
    qapi_free_InetSocketAddressList(servers);
    return true;
}

bool enforcement_agent_cleanup(agent_module_t *, agent_config_t *config, int failed, Error **)
{
    if (config->ctrl_mode) {
        return true;
    }
    /* No network change may start a push once the teardown begins. */
    if (s_roaming) {
        s_roaming->Uninitialize();
        s_roaming.reset();
    }
    if (!failed && g_en_handle && en_api_is_started(g_en_handle)) {
        en_dns_cache_save(g_en_handle);
    }
    /* The report thread may be in a read that waits long for records: closing the device
     * ends it at once, and the thread, asked first, then leaves without reading again. */
    en_conn_report_request_stop();
    en_driver_logger_request_stop();
    if (g_en_handle) {
        en_api_stop(g_en_handle);
    }
    en_conn_report_stop();
    en_driver_logger_stop();
    /* Stopping the image cache joins here with its issue. */
    agent_metrics_set_module_hook(nullptr);
    en_policy_cleanup();
    Error *err = nullptr;
    qmp_clear_agent_metrics(&err);
    error_free(err);
    int report_socket = nnmsg_channel_report_socket();
    if (report_socket >= 0) {
        nnmsg_channel_set_report_socket(-1);
        nnmsg_channel_close(report_socket);
    }
    return true;
}
