/*
 * Policy to driver buffers: the lookup index of one table and the packed rule buffers of
 * all its rules, for 1,000, 10,000 and 65,536 rules of realistic shape: /32 addresses from
 * a pool of 2,000 hosts, /16 subnets (a quarter with a negated /24), 300 distinct ports,
 * 50 distinct ranges, TCP or UDP; and the index of random 5-tuple tables (bench/rule_gen.h),
 * built and refused under the default size limit.
 */
#include <benchmark/benchmark.h>
#include <glib.h>

#include <cstdlib>
#include <random>
#include <string>

#include "bench/alloc_counter.h"
#include "bench/policy_tables.h"
#include "bench/rule_gen.h"
#include "enforcement/framework/agent/en-api.h"
#include "enforcement/framework/agent/en-index.h"
#include "enforcement/framework/agent/en-rules.h"
#include "qapi/qmp-enforcement-types.h"
#include "util/error.h"

namespace {

void report_peak(benchmark::State &state, size_t base)
{
    state.counters["peak_MiB"] = static_cast<double>(alloc_counter_peak() - base) / (1 << 20);
}

} // namespace

static void BM_IndexBuild(benchmark::State &state)
{
    EnforcementChainList *table = bench_policy_table(static_cast<size_t>(state.range(0)));
    size_t base = alloc_counter_live();
    alloc_counter_reset_peak();
    size_t len = 0;
    for (auto _ : state) {
        uint8_t *buf = nullptr;
        Error *err = nullptr;
        if (!en_convert_single_index(table, 40000 /* the configuration default */, nullptr, &buf, &len, &err)) {
            state.SkipWithError(err ? error_get_message(err) : "index failed");
            error_free(err);
            break;
        }
        g_free(buf);
    }
    state.counters["index_KiB"] = static_cast<double>(len) / 1024;
    report_peak(state, base);
    qapi_free_EnforcementChainList(table);
}
BENCHMARK(BM_IndexBuild)->Arg(1000)->Arg(10000)->Arg(65536)->Unit(benchmark::kMillisecond)->MinTime(2.0);

/* Random 5-tuple tables (bench/rule_gen.h): many distinct boundaries per dimension, so
 * many distinct vectors; arg 1 is the number of catch-all rules in mid-table. No limits:
 * this measures the build itself. */
static void BM_IndexBuildRandom(benchmark::State &state)
{
    EnforcementChainList *table = rule_gen_table(
        {static_cast<size_t>(state.range(0)), static_cast<size_t>(state.range(1)), 20261207});
    size_t base = alloc_counter_live();
    alloc_counter_reset_peak();
    size_t len = 0;
    for (auto _ : state) {
        uint8_t *buf = nullptr;
        Error *err = nullptr;
        if (!en_convert_single_index(table, 40000, nullptr, &buf, &len, &err)) {
            state.SkipWithError(err ? error_get_message(err) : "index failed");
            error_free(err);
            break;
        }
        g_free(buf);
    }
    state.counters["index_MiB"] = static_cast<double>(len) / (1 << 20);
    report_peak(state, base);
    qapi_free_EnforcementChainList(table);
}
BENCHMARK(BM_IndexBuildRandom)->Args({10000, 4})->Args({65536, 0})->Args({65536, 4})->Unit(benchmark::kMillisecond)->Iterations(2);

/* The same tables under the driver's default limits (64 MiB): how long a refusal takes. */
static void BM_IndexRefusedRandom(benchmark::State &state)
{
    EnforcementChainList *table = rule_gen_table(
        {static_cast<size_t>(state.range(0)), static_cast<size_t>(state.range(1)), 20261207});
    const en_index_limits_t limits = {8388608, 8388608, 67108864};
    /* One refusal warning per run would flood the report. */
    GLogFunc previous = g_log_set_default_handler([](const gchar *, GLogLevelFlags, const gchar *, gpointer) {}, nullptr);
    size_t base = alloc_counter_live();
    alloc_counter_reset_peak();
    for (auto _ : state) {
        uint8_t *buf = nullptr;
        size_t len = 0;
        Error *err = nullptr;
        if (en_convert_single_index(table, 40000, &limits, &buf, &len, &err)) {
            g_free(buf);
            state.SkipWithError("an index beyond the limits was built");
            break;
        }
        error_free(err);
    }
    g_log_set_default_handler(previous, nullptr);
    report_peak(state, base);
    qapi_free_EnforcementChainList(table);
}
BENCHMARK(BM_IndexRefusedRandom)->Args({65536, 4})->Unit(benchmark::kMillisecond)->Iterations(4);

static void BM_RuleBuffers(benchmark::State &state)
{
    EnforcementChainList *table = bench_policy_table(static_cast<size_t>(state.range(0)));
    const en_rule_caps_t caps{false, false};
    size_t base = alloc_counter_live();
    alloc_counter_reset_peak();
    for (auto _ : state) {
        for (EnforcementChainList *c = table; c; c = c->next) {
            for (EnforcementRuleList *r = c->value->rules; r; r = r->next) {
                uint8_t *buf = nullptr;
                size_t len = 0;
                Error *err = nullptr;
                if (!en_rule_build("INPUT", c->value->chain_name, r->value, &caps, &buf, &len, &err)) {
                    state.SkipWithError(err ? error_get_message(err) : "rule failed");
                    error_free(err);
                    qapi_free_EnforcementChainList(table);
                    return;
                }
                g_free(buf);
            }
        }
    }
    report_peak(state, base);
    qapi_free_EnforcementChainList(table);
}
BENCHMARK(BM_RuleBuffers)->Arg(1000)->Arg(10000)->Arg(65536)->Unit(benchmark::kMillisecond)->MinTime(2.0);

BENCHMARK_MAIN();
