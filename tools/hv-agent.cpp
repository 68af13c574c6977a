/*
 * hv-agent: the launcher. Loads a module bundle, starts it, and drives its service
 * runner: Init with the module's command line, then Run until the module stops.
 *
 *   hv-agent [--dry-run] [--launch-mode N]... BUNDLE [module options]
 *
 * The module's own -l/--logfile names the shared log file; without it the log goes
 * to the standard streams.
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

/* "--logf" is the shortest unambiguous abbreviation of "--logfile" the module accepts. */
bool is_logfile_long_option(const char *arg, size_t len)
{
    return len >= 6 && len <= 9 && strncmp(arg, "--logfile", len) == 0;
}

/* The module's -l in every form its option parser accepts: -l PATH, -lPATH,
 * --logfile PATH, --logfile=PATH and abbreviations of --logfile. */
const char *module_logfile(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (strcmp(arg, "--") == 0) {
            break;
        }
        if (strcmp(arg, "-l") == 0) {
            return i + 1 < argc ? argv[i + 1] : nullptr;
        }
        if (strncmp(arg, "-l", 2) == 0 && arg[2] != '\0') {
            return arg + 2;
        }
        const char *eq = strchr(arg, '=');
        size_t name_len = eq ? static_cast<size_t>(eq - arg) : strlen(arg);
        if (is_logfile_long_option(arg, name_len)) {
            return eq ? eq + 1 : (i + 1 < argc ? argv[i + 1] : nullptr);
        }
    }
    return nullptr;
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
                 module_logfile(module_argc, module_argv.data()));

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
