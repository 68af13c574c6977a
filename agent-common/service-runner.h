/*
 * What a module bundle offers its launcher: the service runner (Init, then Run until the
 * module stops), the launcher and migration services it may find, and the helpers that
 * look up services and extract files shipped inside the bundle.
 */
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "agent-common/osgi/framework.h"
#include <glib.h>

#include "util/error.h"

struct agent_state_t;
struct agent_module_t;
struct agent_config_t;

struct ServiceRunnerArgs {
    uint64_t extra_count;
    char **extra_args; /* launcher arguments; only "--dry-run" is looked for */
    int32_t argc;
    char **argv; /* module command line; argv[0] is the program name */
    cppmicroservices::BundleContext *bundle_context;
    void *log_ctx; /* the launcher's logger context wrapper, or NULL; freed by Init */
};

class IServiceRunner {
public:
    virtual ~IServiceRunner() = default;
    virtual bool Init(ServiceRunnerArgs *args) = 0;
    virtual bool Prepare() = 0;
    virtual bool Run() = 0;
    virtual bool Finish() = 0;
};

class ILauncherService {
public:
    virtual ~ILauncherService() = default;
    /* Launch mode 0 means: skip the migration hooks. */
    virtual std::set<int> GetLaunchModes() = 0;
};

class IMigrationService {
public:
    virtual ~IMigrationService() = default;
    virtual int32_t CheckHook(const char *version, const char *a, const char *b, Error **errp) = 0;
    /* Return exactly 1 for failure. */
    virtual int32_t PreinstHook(const char *version, const char *a, const char *b, Error **errp) = 0;
    virtual int32_t PostinstHook(const char *version, const char *a, const char *b, Error **errp) = 0;
    virtual int32_t PrermHook(const char *version, const char *a, const char *b, Error **errp) = 0;
    virtual int32_t PostrmHook(const char *version, const char *a, const char *b, Error **errp) = 0;
};

/* The module-wide bundle context every lookup goes through. */
void service_runner_set_bundle_context(const cppmicroservices::BundleContext &context);
cppmicroservices::BundleContext *service_runner_bundle_context(void);

template <class I>
std::shared_ptr<I> GetBundleService(cppmicroservices::BundleContext *context, Error **errp)
{
    if (!context || !*context) {
        error_setg(errp, "Failed to get bundle conext from OSGi framework");
        g_debug("[bundle-framework] %s", "Failed to get bundle conext from OSGi framework");
        return nullptr;
    }
    auto ref = context->GetServiceReference<I>();
    if (!ref) {
        std::string iid = cppmicroservices::us_service_interface_iid<I>();
        error_setg(errp, "Service reference '%s' isn't registered", iid.c_str());
        g_debug("[bundle-framework] Service reference '%s' isn't registered", iid.c_str());
        return nullptr;
    }
    return context->GetService(ref);
}

cppmicroservices::BundleResource GetBundleResource(cppmicroservices::BundleContext *context,
                                                   const std::string &bundle_name,
                                                   const std::string &resource_path, Error **errp);

enum ResourceStatus {
    RESOURCE_EXIST = 0,
    RESOURCE_OLDER_EXIST = 1,
    RESOURCE_EXTRACTED = 2,
    RESOURCE_NOT_FOUND = 3,
    RESOURCE_BUSY = 4,
    RESOURCE_FAILED_TO_EXTRACT = 5,
};
const char *resource_status_text(int status);

ResourceStatus ExtractBundleResource(const std::string &bundle_name, const std::string &resource_path,
                                     const std::string &target_path, bool replace, bool keep_backup);

/* One row of the logging-profile table: rotation threshold (MiB), count, compressed. */
struct ServiceRunnerLogProfile {
    uint64_t threshold_mb;
    uint64_t count;
    bool compressed;
};

class ServiceRunner : public IServiceRunner {
public:
    ServiceRunner();
    ~ServiceRunner() override;
    bool Init(ServiceRunnerArgs *args) override;
    bool Prepare() override;
    bool Run() override;
    bool Finish() override;

    virtual ServiceRunnerLogProfile GetLoggingProfile(int profile);
    virtual bool ParseOptions(cppmicroservices::BundleContext *context);
    virtual bool ValidateOptions();
    virtual std::string GetServerNameVariable();
    virtual std::string GetDefaultServerName();

protected:
    bool MigrationStep(bool preinst);

    ServiceRunnerArgs *args_ = nullptr;
    agent_state_t *state_ = nullptr;
    agent_module_t *module_ = nullptr;
    agent_config_t *config_ = nullptr;
};
