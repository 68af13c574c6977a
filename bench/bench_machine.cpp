#include "bench/bench_machine.h"

#include <glib.h>

#include <cstdio>
#include <cstdlib>

#include "agent-common/agent-metrics.h"
#include "agent-common/exclude-ifaces.h"
#include "enforcement/framework/agent/en-api.h"
#include "enforcement/framework/agent/en-driver.h"
#include "enforcement/framework/agent/en-lid-map.h"
#include "enforcement/framework/agent/en-rules.h"
#include "util/error.h"

static void drop_log(const gchar *, GLogLevelFlags, const gchar *, gpointer) {}

BenchMachine::BenchMachine(const char *name)
{
    g_log_set_default_handler(drop_log, nullptr);
    g_autofree char *pattern = g_strdup_printf("hv-%s-XXXXXX", name);
    char *tmp = g_dir_make_tmp(pattern, nullptr);
    dir_ = tmp;
    g_free(tmp);
    g_setenv("HV_RUNTIME_DIR", (dir_ + "/run").c_str(), TRUE);
    g_setenv("HV_ENDR_EMU_ADDRESS", ("ipc://" + dir_ + "/endr.ipc").c_str(), TRUE);
    g_mkdir_with_parents((dir_ + "/bin").c_str(), 0755);
    g_file_set_contents((dir_ + "/bin/hv-enforcement64.sys").c_str(), "4 FALSE\n5 FALSE\n6 FALSE\n7 FALSE\n", -1,
                        nullptr);
    en_driver_set_host_path_for_test((dir_ + "/bin/hv-agent").c_str());
    if (!daemon_.Start()) {
        fprintf(stderr, "the driver did not start\n");
        abort();
    }
    initialize_agent_metrics();
    exclude_ifaces_init();
    en_lid_map_init();
    handle_ = en_api_init();
    if (!en_api_start(handle_)) {
        fprintf(stderr, "the emulated driver did not start\n");
        abort();
    }
    /* Random tables of 65,536 rules index beyond the driver's default 64 MiB. */
    const en_index_limits_t limits = {1u << 20, 1u << 20, 1ull << 32};
    if (!en_api_set_index_limits(handle_, &limits)) {
        fprintf(stderr, "the driver refused the index limits\n");
        abort();
    }
}

BenchMachine::~BenchMachine()
{
    en_api_stop(handle_);
    en_api_free(handle_);
    en_lid_map_free();
    exclude_ifaces_cleanup();
    agent_metrics_cleanup();
    Error *err = nullptr;
    en_clean_existing_driver(&err);
    error_free(err);
    en_driver_free();
    g_autofree char *cmd = g_strdup_printf("rm -rf '%s'", dir_.c_str());
    if (system(cmd) != 0) {
        fprintf(stderr, "could not remove %s\n", dir_.c_str());
    }
}

bool BenchMachine::Load(const EnforcementChainList *input, const EnforcementChainList *output, std::string *why)
{
    uint64_t count = 0;
    Error *err = nullptr;
    bool ok = en_table_convert(handle_, false, input, &count, &err) &&
              en_table_convert(handle_, true, output, &count, &err) &&
              en_api_policy_set_revision(handle_, ++revision_) && en_api_policy_swap(handle_);
    if (err) {
        *why = error_get_message(err);
        error_free(err);
    } else if (!ok) {
        *why = "the swap was refused";
    }
    return ok;
}
