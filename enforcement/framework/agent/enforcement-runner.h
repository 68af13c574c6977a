/* The enforcement bundle's service runner and the callbacks it hands to the main loop. */
#pragma once

#include <string>

#include "agent-common/service-runner.h"
#include "enforcement/framework/agent/enforcement-options.h"

class EnforcementServiceRunner : public ServiceRunner {
public:
    EnforcementServiceRunner();
    ~EnforcementServiceRunner() override;
    bool Init(ServiceRunnerArgs *args) override;
    bool Run() override;

    ServiceRunnerLogProfile GetLoggingProfile(int profile) override;
    bool ParseOptions(cppmicroservices::BundleContext *context) override;
    bool ValidateOptions() override;
    std::string GetServerNameVariable() override;
    std::string GetDefaultServerName() override;

private:
    agent_ctrl_t ctrl_{};
    EnOptions options_{};
};

/* The driver file for a platform version, "" below 5.1. */
std::string en_driver_resource_name(unsigned major, unsigned minor);
/* The extraction target: "hv-enforcement64.sys" in the root folder, "" when unknown. */
std::string en_driver_target_path(void);

bool enforcement_agent_init(agent_module_t *module, agent_config_t *config, Error **errp);
bool enforcement_post_init(agent_module_t *module, agent_config_t *config, Error **errp);
bool enforcement_agent_cleanup(agent_module_t *module, agent_config_t *config, int failed, Error **errp);
