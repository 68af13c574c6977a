/*
 * hv-agent: the launcher. Loads a module bundle, starts it, and drives its service
 * runner: Init with the module's command line, then Run until the module stops.
 *
 *   hv-agent [--dry-run] [--launch-mode N]... BUNDLE [module options]
 *
 * The module's own -l/--logfile names the shared log file, found by the module's own
 * option parser; without it the log goes to the standard streams.
 */
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <glib.h>

#include "agent-common/logger.h"
#include "agent-common/osgi/framework.h"
#include "agent-common/service-runner.h"
#include "enforcement/framework/agent/enforcement-options.h"

namespace {

class LauncherService : public ILauncherService {
public:
    explicit LauncherService(std::set<int> modes) : modes_(std::move(modes)) {}
    std::set<int> GetLaunchModes() override { return modes_; }

private:
    std::set<int> modes_;
};

int usage(const char *program)
{
    fprintf(stderr, "usage: %s [--dry-run] [--launch-mode N]... BUNDLE [module options]\n", program);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<char *> extra;
    std::set<int> modes;
    int i = 1;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; i++) {
        if (strcmp(argv[i], "--dry-run") == 0) {
            extra.push_back(argv[i]);
        } else if (strcmp(argv[i], "--launch-mode") == 0 && i + 1 < argc) {
            modes.insert(atoi(argv[++i]));
        } else {
            return usage(argv[0]);
        }
    }
    if (i >= argc) {
        return usage(argv[0]);
    }
    const char *bundle_path = argv[i];
    /* The module sees its options after the program name. */
    std::vector<char *> module_argv = {argv[0]};
    for (int j = i + 1; j < argc; j++) {
        module_argv.push_back(argv[j]);
    }
    module_argv.push_back(nullptr);
    int module_argc = static_cast<int>(module_argv.size()) - 1;

    start_logger(G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE,
                 en_options_logfile(module_argc, module_argv.data()));

    int exit_code = 1;
    {
        cppmicroservices::Framework framework;
        cppmicroservices::BundleContext context = framework.GetBundleContext();
        try {
            context.RegisterService<ILauncherService>(std::make_shared<LauncherService>(modes));
            cppmicroservices::Bundle bundle = context.InstallBundles(bundle_path).at(0);
            bundle.Start();
            cppmicroservices::BundleContext bundle_context = bundle.GetBundleContext();
            auto ref = context.GetServiceReference<IServiceRunner>();
            if (!ref) {
                fprintf(stderr, "%s: bundle '%s' registers no service runner\n", argv[0], bundle_path);
            } else {
                std::shared_ptr<IServiceRunner> runner = context.GetService(ref);
                ServiceRunnerArgs args{extra.size(), extra.data(), module_argc, module_argv.data(), &bundle_context,
                                       get_log_ctx_wrapper()};
                bool ok = runner->Init(&args);
                if (!extra.empty()) {
                    /* A dry run checks that the module would start (pre-install hook included)
                     * and changes nothing: no driver extraction, no main loop. */
                    exit_code = ok ? 0 : 1;
                } else if (ok && runner->Prepare()) {
                    exit_code = runner->Run() ? 0 : 1;
                    runner->Finish();
                }
                if (args.log_ctx) {
                    free_log_ctx_wrapper(static_cast<log_ctx_wrapper_t *>(args.log_ctx));
                }
            }
        } catch (const std::exception &e) {
            fprintf(stderr, "%s: %s\n", argv[0], e.what());
        }
        framework.Stop();
    }
    stop_logger();
    return exit_code;
}
