#include "agent-common/service-runner.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>

#include "agent-common/agent-main.h"
#include "agent-common/build-info.h"
#include "agent-common/logger.h"

static cppmicroservices::BundleContext s_bundle_context;

void service_runner_set_bundle_context(const cppmicroservices::BundleContext &context)
{
    s_bundle_context = context;
}

cppmicroservices::BundleContext *service_runner_bundle_context(void)
{
    return s_bundle_context ? &s_bundle_context : nullptr;
}

cppmicroservices::BundleResource GetBundleResource(cppmicroservices::BundleContext *context,
                                                   const std::string &bundle_name,
                                                   const std::string &resource_path, Error **errp)
{
    if (!context || !*context) {
        error_setg(errp, "Failed to get bundle conext from OSGi framework");
        return {};
    }
    for (const cppmicroservices::Bundle &bundle : context->GetBundles()) {
        if (bundle.GetSymbolicName() != bundle_name) {
            continue;
        }
        cppmicroservices::BundleResource res = bundle.GetResource(resource_path);
        if (res.IsValid()) {
            return res;
        }
        error_setg(errp, "Failed to find resource '%s' in bundle '%s'", resource_path.c_str(),
                   bundle_name.c_str());
        auto all = bundle.GetResources();
        if (all.empty()) {
            g_debug("[bundle-framework] No resources found in '%s' bundle", bundle_name.c_str());
        } else {
            g_debug("[bundle-framework] Bundle '%s' resources:", bundle_name.c_str());
            for (const auto &r : all) {
                g_debug("\t\t  Resource '%s' found under %s checksum %d", r.GetName().c_str(),
                        r.GetResourcePath().c_str(), static_cast<int>(r.GetCrc32()));
            }
        }
        return {};
    }
    error_setg(errp, "Failed to find bundle '%s' in OSGi framework", bundle_name.c_str());
    return {};
}

const char *resource_status_text(int status)
{
    static const char *const texts[] = {"Resource exist",     "Older resource exist",
                                        "Resource extracted", "Resource not found",
                                        "Resource busy",      "Resource failed to extract"};
    return status >= 0 && status <= 5 ? texts[status] : "";
}

namespace {

/* Size and CRC-32 of a file; an empty or unreadable file gives false. */
bool file_size_and_crc(const std::string &path, uint64_t *size, uint32_t *crc, std::string *why,
                       bool *size_failed)
{
    g_autofree char *data = nullptr;
    gsize len = 0;
    g_autoptr(GError) gerr = nullptr;
    if (!g_file_get_contents(path.c_str(), &data, &len, &gerr)) {
        *why = gerr->message;
        *size_failed = true;
        return false;
    }
    if (len == 0) {
        *why = "file is empty";
        *size_failed = true;
        return false;
    }
    *size = len;
    *crc = static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef *>(data), static_cast<uInt>(len)));
    return true;
}

/* Written beside the target and renamed over it, so that a failed write never leaves a
 * truncated driver file behind. */
bool write_file(const std::string &path, const std::string &bytes)
{
    const std::string tmp = path + ".tmp";
    FILE *f = fopen(tmp.c_str(), "wb");
    if (!f) {
        g_warning("[bundle-resource] Failed to open resource file '%s' for writing", path.c_str());
        return false;
    }
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = (fflush(f) == 0) && ok;
    ok = (fclose(f) == 0) && ok;
    ok = ok && g_rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
        g_unlink(tmp.c_str());
    }
    return ok;
}

} // namespace

ResourceStatus ExtractBundleResource(const std::string &bundle_name, const std::string &resource_path,
                                     const std::string &target_path, bool replace, bool keep_backup)
{
    cppmicroservices::BundleContext *context = service_runner_bundle_context();
    if (!context) {
        g_critical("[bundle-resource] Bundle framework has not been initialized");
        return RESOURCE_FAILED_TO_EXTRACT;
    }
    Error *err = nullptr;
    cppmicroservices::BundleResource res = GetBundleResource(context, bundle_name, resource_path, &err);
    if (!res.IsValid()) {
        g_debug("[bundle-resource] Failed to get bundle resource: %s", error_get_message(err));
        error_free(err);
        return RESOURCE_NOT_FOUND;
    }

    const std::string backup = target_path + ".bkp";
    if (g_file_test(target_path.c_str(), G_FILE_TEST_EXISTS)) {
        if (!replace) {
            uint64_t size = 0;
            uint32_t crc = 0;
            std::string why;
            bool size_failed = false;
            if (!file_size_and_crc(target_path, &size, &crc, &why, &size_failed)) {
                if (size_failed) {
                    g_warning("[bundle-resource] Failed to get file size for resource file '%s': %s",
                              target_path.c_str(), why.c_str());
                } else {
                    g_warning("[bundle-resource] Failed to get resource file '%s' checksum: %s",
                              target_path.c_str(), why.c_str());
                }
                return RESOURCE_OLDER_EXIST;
            }
            if (size != static_cast<uint64_t>(res.GetSize())) {
                g_debug("[bundle-resource] Resource file '%s' size %d different from bundle resource size %d",
                        target_path.c_str(), static_cast<int>(size), res.GetSize());
                return RESOURCE_OLDER_EXIST;
            }
            if (crc != res.GetCrc32()) {
                g_debug("[bundle-resource] Bundle resource '%s' changed. checksum %u --> %u",
                        resource_path.c_str(), crc, res.GetCrc32());
                return RESOURCE_OLDER_EXIST;
            }
            g_debug("[bundle-resource] Resource '%s' already exist in path '%s'", resource_path.c_str(),
                    target_path.c_str());
            return RESOURCE_EXIST;
        }
        g_unlink(backup.c_str());
        if (g_rename(target_path.c_str(), backup.c_str()) != 0) {
            g_debug("[bundle-resource] Failed backup existing resource %s", target_path.c_str());
            return RESOURCE_BUSY;
        }
    }

    if (write_file(target_path, res.GetData())) {
        g_debug("[bundle-resource] Resource '%s' extracted successfully to '%s'", resource_path.c_str(),
                target_path.c_str());
        if (replace && !keep_backup) {
            g_unlink(backup.c_str());
        }
        return RESOURCE_EXTRACTED;
    }
    if (replace) {
        if (!g_file_test(backup.c_str(), G_FILE_TEST_EXISTS)) {
            g_warning("[bundle-resource] Failed to restore resource from not existing path '%s", backup.c_str());
        } else if (g_rename(backup.c_str(), target_path.c_str()) != 0) {
            g_warning("[bundle-resource] Failed to restore resource from '%s'", backup.c_str());
        }
    }
    return RESOURCE_FAILED_TO_EXTRACT;
}

ServiceRunner::ServiceRunner()
{
    state_ = g_new0(agent_state_t, 1);
    module_ = g_new0(agent_module_t, 1);
    config_ = g_new0(agent_config_t, 1);
    module_->config = config_;
    state_->config = config_;
}

ServiceRunner::~ServiceRunner()
{
    agent_config_clear(config_);
    g_free(config_);
    g_free(module_);
    g_free(state_);
}

bool ServiceRunner::MigrationStep(bool preinst)
{
    cppmicroservices::BundleContext *context = service_runner_bundle_context();
    Error *lookup_err = nullptr;
    if (auto launcher = GetBundleService<ILauncherService>(context, &lookup_err)) {
        if (launcher->GetLaunchModes().count(0)) {
            return true;
        }
    }
    error_free_and_clear(&lookup_err);
    auto migration = GetBundleService<IMigrationService>(context, &lookup_err);
    error_free(lookup_err);
    if (!migration) {
        if (!preinst) {
            g_debug("[service-runner] Migration service not defined for bundle");
        }
        return true;
    }
    Error *err = nullptr;
    int32_t status = preinst ? migration->PreinstHook(agent_build_version(), "", "", &err)
                             : migration->PostinstHook(agent_build_version(), "", "", &err);
    if (status != 1) {
        error_free(err);
        return true;
    }
    g_critical(preinst ? "[service-runner] Failed during bundle migration preinst hook: %s"
                       : "[service-runner] Failed during bundle migration postint hook: %s",
               err ? error_get_message(err) : "");
    error_free(err);
    return false;
}

bool ServiceRunner::Init(ServiceRunnerArgs *args)
{
    args_ = args;
    for (int profile = 1; profile <= 3; profile++) {
        ServiceRunnerLogProfile p = GetLoggingProfile(profile);
        if (p.threshold_mb) { /* an all-zero entry keeps the built-in one */
            logger_set_profile(profile, p.threshold_mb, p.count, p.compressed);
        }
    }
    if (args->log_ctx) {
        set_log_ctx_wrapper(static_cast<log_ctx_wrapper_t *>(args->log_ctx));
        free_log_ctx_wrapper(static_cast<log_ctx_wrapper_t *>(args->log_ctx));
        args->log_ctx = nullptr;
    }
    if (args->bundle_context) {
        service_runner_set_bundle_context(*args->bundle_context);
    }
    if (!ParseOptions(args->bundle_context)) {
        return false;
    }
    if (!ValidateOptions()) {
        return false;
    }
    config_->log_level |= logger_get_level();
    logger_set_level(config_->log_level);
    for (uint64_t i = 0; i < args->extra_count; i++) {
        if (args->extra_args[i] && strcmp(args->extra_args[i], "--dry-run") == 0) {
            return MigrationStep(true);
        }
    }
    return true;
}

bool ServiceRunner::Prepare()
{
    return true;
}

bool ServiceRunner::Run()
{
    if (!MigrationStep(false)) {
        return false;
    }
    return agent_main(state_, module_, args_->argc, args_->argv) == 0;
}

bool ServiceRunner::Finish()
{
    return true;
}

ServiceRunnerLogProfile ServiceRunner::GetLoggingProfile(int)
{
    return ServiceRunnerLogProfile{0, 0, false};
}

bool ServiceRunner::ParseOptions(cppmicroservices::BundleContext *)
{
    return true;
}

bool ServiceRunner::ValidateOptions()
{
    return true;
}

std::string ServiceRunner::GetServerNameVariable()
{
    return "";
}

std::string ServiceRunner::GetDefaultServerName()
{
    return "";
}
