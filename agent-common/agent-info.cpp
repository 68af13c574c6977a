#include "agent-common/agent-info.h"

#include <atomic>

#include "agent-common/agent-main.h"
#include "agent-common/build-info.h"
#include "agent-common/service-runner.h"
#include "qapi/qmp-common-commands.h"

static std::atomic<const char *const *> s_features{nullptr};

void agent_info_set_features(const char *const *features)
{
    s_features.store(features);
}

ModuleInfo *qmp_get_module_info(Error **errp)
{
    const char *name = agent_module_short_name(g_hv_agent ? g_hv_agent->module_id : -1);
    strList *features = nullptr;
    strList **tail = &features;
    if (const char *const *f = s_features.load()) {
        for (; *f; f++) {
            *tail = qapi_new_strList(g_strdup(*f));
            tail = &(*tail)->next;
        }
    }
    ModuleInfo *info = qapi_new_ModuleInfo_full(name, agent_build_version(), agent_build_date(), agent_commit_id(),
                                                AGENT_PROTOCOL_VERSION, features);
    qapi_free_strList(features);
    return info;
}

ModuleInternalStatus *qmp_get_module_internal_status(Error **errp)
{
    agent_module_t *module = g_hv_agent;
    if (!module || !module->internal_status_cb) {
        error_setg(errp, "module internal status is not supported");
        return nullptr;
    }
    Error *err = nullptr;
    ModuleInternalStatus *status = module->internal_status_cb(&err);
    /* A callback that returns nothing without saying why must not answer with success. */
    if (!status && !err) {
        error_setg(&err, "module internal status is not available");
    }
    if (err) {
        qapi_free_ModuleInternalStatus(status);
        error_propagate(errp, err);
        return nullptr;
    }
    return status;
}

BundleStatusList *qmp_get_bundles_status(Error **errp)
{
    cppmicroservices::BundleContext *context = service_runner_bundle_context();
    if (!context) {
        error_setg(errp, "Failed to get bundle conext from OSGi framework");
        return nullptr;
    }
    BundleStatusList *head = nullptr;
    BundleStatusList **tail = &head;
    for (const cppmicroservices::Bundle &b : context->GetBundles()) {
        const char *state;
        switch (b.GetState()) {
        case cppmicroservices::Bundle::STATE_ACTIVE:
            state = "active";
            break;
        case cppmicroservices::Bundle::STATE_STARTING:
            state = "starting";
            break;
        case cppmicroservices::Bundle::STATE_STOPPING:
            state = "stopping";
            break;
        case cppmicroservices::Bundle::STATE_RESOLVED:
            state = "resolved";
            break;
        default:
            state = "installed";
            break;
        }
        std::string version = b.GetHeader("bundle.version");
        *tail = qapi_new_BundleStatusList_elem_full(b.GetSymbolicName().c_str(), b.GetLocation().c_str(), state,
                                                     version.empty() ? nullptr : version.c_str());
        tail = &(*tail)->next;
    }
    return head;
}
