/*
 * Classification in the emulated driver: the realistic tables of policy_bench converted by
 * the module, loaded through the real channel and swapped in, then random connections
 * classified. Reports lookups per second at 1,000, 10,000 and 65,536 rules.
 */
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <glib.h>
#include <glib/gstdio.h>

#include <cstdlib>
#include <random>
#include <string>

#include "agent-common/agent-metrics.h"
#include "agent-common/exclude-ifaces.h"
#include "bench/policy_tables.h"
#include "enforcement/driver-daemon/driver-emu.h"
#include "enforcement/framework/agent/en-api.h"
#include "enforcement/framework/agent/en-config.h"
#include "enforcement/framework/agent/en-driver.h"
#include "enforcement/framework/agent/en-lid-map.h"
#include "enforcement/framework/agent/en-rules.h"
#include "qapi/qmp-enforcement-types.h"
#include "tests/common/endr-harness.h"
#include "util/error.h"

namespace {

void drop_log(const gchar *, GLogLevelFlags, const gchar *, gpointer) {}

/* A private machine: run-time folder, a driver file beside a stand-in host executable. */
struct Machine {
    std::string dir;
    en_handle *handle = nullptr;
    uint64_t revision = 1;
    hvtest::InProcessDaemon daemon;

    Machine()
    {
        g_log_set_default_handler(drop_log, nullptr);
        char *tmp = g_dir_make_tmp("hv-classify-bench-XXXXXX", nullptr);
        dir = tmp;
        g_free(tmp);
        g_setenv("HV_RUNTIME_DIR", (dir + "/run").c_str(), TRUE);
        g_setenv("HV_ENDR_EMU_ADDRESS", ("ipc://" + dir + "/endr.ipc").c_str(), TRUE);
        g_mkdir_with_parents((dir + "/bin").c_str(), 0755);
        g_file_set_contents((dir + "/bin/hv-enforcement64.sys").c_str(), "4 FALSE\n5 FALSE\n6 FALSE\n7 FALSE\n", -1,
                            nullptr);
        en_driver_set_host_path_for_test((dir + "/bin/hv-agent").c_str());
        if (!daemon.Start()) {
            fprintf(stderr, "the driver did not start\n");
            abort();
        }
        initialize_agent_metrics();
        exclude_ifaces_init();
        en_lid_map_init();
        handle = en_api_init();
        if (!en_api_start(handle)) {
            fprintf(stderr, "the emulated driver did not start\n");
            abort();
        }
    }
    ~Machine()
    {
        en_api_stop(handle);
        en_api_free(handle);
        en_lid_map_free();
        exclude_ifaces_cleanup();
        agent_metrics_cleanup();
        Error *err = nullptr;
        en_clean_existing_driver(&err);
        error_free(err);
        en_driver_free();
        g_autofree char *cmd = g_strdup_printf("rm -rf '%s'", dir.c_str());
        if (system(cmd) != 0) {
            fprintf(stderr, "could not remove %s\n", dir.c_str());
        }
    }

    bool load(const EnforcementChainList *table)
    {
        uint64_t count = 0;
        Error *err = nullptr;
        bool ok = en_table_convert(handle, false, table, &count, &err) &&
                  en_table_convert(handle, true, table, &count, &err) &&
                  en_api_policy_set_revision(handle, ++revision) && en_api_policy_swap(handle);
        if (err) {
            fprintf(stderr, "%s\n", error_get_message(err));
            error_free(err);
        }
        return ok;
    }
};

} // namespace

static void BM_ClassifyLookups(benchmark::State &state)
{
    static Machine machine;
    g_en_config.max_entity_field_num = 40000;
    EnforcementChainList *table = bench_policy_table(static_cast<size_t>(state.range(0)));
    if (!machine.load(table)) {
        state.SkipWithError("the policy did not load");
        qapi_free_EnforcementChainList(table);
        return;
    }
    std::mt19937 rng(7);
    uint64_t matched = 0;
    for (auto _ : state) {
        endr_connection c{};
        c.inbound = rng() % 2;
        c.protocol = static_cast<uint8_t>(rng() % 2);
        uint32_t local = htonl(0xC0A80001);
        unsigned host = static_cast<unsigned>(rng() % 2000);
        uint32_t remote = htonl((10u << 24) | ((host % 100) << 16) | (((host / 100) % 256) << 8) | (1 + host % 254));
        memcpy(c.local, &local, 4);
        memcpy(c.remote, &remote, 4);
        c.local_port = static_cast<uint16_t>(30000 + rng() % 1000);
        c.remote_port = static_cast<uint16_t>(1 + (rng() % 300) * 211 % 65535);
        endr_verdict v{};
        endr_classify(&c, &v);
        matched += v.rule_number >= 0;
    }
    state.counters["lookups_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                         benchmark::Counter::kIsRate);
    state.counters["matched_pct"] = state.iterations() ? 100.0 * static_cast<double>(matched) /
                                                             static_cast<double>(state.iterations())
                                                       : 0;
    qapi_free_EnforcementChainList(table);
}
BENCHMARK(BM_ClassifyLookups)->Arg(1000)->Arg(10000)->Arg(65536)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

BENCHMARK_MAIN();
