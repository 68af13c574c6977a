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

#include "bench/bench_machine.h"
#include "bench/policy_tables.h"
#include "enforcement/driver-daemon/driver-emu.h"
#include "enforcement/framework/agent/en-config.h"
#include "qapi/qmp-enforcement-types.h"

static void BM_ClassifyLookups(benchmark::State &state)
{
    static BenchMachine machine("classify-bench");
    g_en_config.max_entity_field_num = 40000;
    EnforcementChainList *table = bench_policy_table(static_cast<size_t>(state.range(0)));
    std::string why;
    if (!machine.Load(table, table, &why)) {
        state.SkipWithError(("the policy did not load: " + why).c_str());
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
