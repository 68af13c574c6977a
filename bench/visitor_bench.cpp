/*
 * The 24 MiB policy request through the typed layer: the strict input visitor reads the
 * two chain tables into records, the output visitor writes them back, and the records
 * are freed. Each step is timed on its own, with the heap peak it needs.
 */
#include <benchmark/benchmark.h>
#include <glib.h>

#include <cstdlib>
#include <string>

#include "bench/alloc_counter.h"
#include "bench/policy_doc.h"
#include "qapi/qmp-enforcement-types.h"
#include "qapi/qmp-input-visitor.h"
#include "qapi/qmp-output-visitor.h"
#include "qobject/qdict.h"
#include "qobject/qjson.h"
#include "util/error.h"

namespace {

struct Tables {
    EnforcementChainList *input = nullptr;
    EnforcementChainList *output = nullptr;
};

QDict *policy_arguments()
{
    static QObject *request = [] {
        std::string doc = bench_policy_request(65536, 24u << 20);
        Error *err = nullptr;
        QObject *obj = qobject_from_json_len(doc.data(), doc.size(), &err);
        if (!obj) {
            abort();
        }
        return obj;
    }();
    return qdict_get_qdict(qobject_to_qdict(request), "arguments");
}

Tables read_tables(QDict *args)
{
    Tables t;
    Error *err = nullptr;
    QmpInputVisitor *qiv = qmp_input_visitor_new_strict(QOBJECT(args));
    Visitor *v = qmp_input_get_visitor(qiv);
    visit_type_EnforcementChainList(v, &t.input, "input-table", &err);
    visit_type_EnforcementChainList(v, &t.output, "output-table", &err);
    qmp_input_visitor_cleanup(qiv);
    if (err) {
        fprintf(stderr, "policy does not read: %s\n", error_get_message(err));
        abort();
    }
    return t;
}

size_t write_tables(const Tables &t)
{
    size_t len = 0;
    for (EnforcementChainList *list : {t.input, t.output}) {
        QmpOutputVisitor *qov = qmp_output_visitor_new();
        Error *err = nullptr;
        visit_type_EnforcementChainList(qmp_output_get_visitor(qov), &list, nullptr, &err);
        char *json = qmp_output_get_json(qov, true);
        len += strlen(json);
        g_free(json);
        error_free(err);
    }
    return len;
}

void free_tables(Tables &t)
{
    qapi_free_EnforcementChainList(t.input);
    qapi_free_EnforcementChainList(t.output);
    t = Tables{};
}

void report(benchmark::State &state, size_t base)
{
    state.counters["peak_MiB"] = static_cast<double>(alloc_counter_peak() - base) / (1 << 20);
}

} // namespace

static void BM_VisitorReadPolicy(benchmark::State &state)
{
    QDict *args = policy_arguments();
    size_t base = alloc_counter_live();
    alloc_counter_reset_peak();
    for (auto _ : state) {
        Tables t = read_tables(args);
        state.PauseTiming();
        free_tables(t);
        state.ResumeTiming();
    }
    report(state, base);
}
BENCHMARK(BM_VisitorReadPolicy)->Unit(benchmark::kMillisecond)->MinTime(3.0);

static void BM_VisitorWritePolicy(benchmark::State &state)
{
    Tables t = read_tables(policy_arguments());
    size_t base = alloc_counter_live();
    alloc_counter_reset_peak();
    size_t len = 0;
    for (auto _ : state) {
        len = write_tables(t);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
    report(state, base);
    free_tables(t);
}
BENCHMARK(BM_VisitorWritePolicy)->Unit(benchmark::kMillisecond)->MinTime(3.0);

static void BM_FreePolicy(benchmark::State &state)
{
    QDict *args = policy_arguments();
    size_t base = alloc_counter_live();
    alloc_counter_reset_peak();
    for (auto _ : state) {
        state.PauseTiming();
        Tables t = read_tables(args);
        state.ResumeTiming();
        free_tables(t);
    }
    report(state, base);
}
BENCHMARK(BM_FreePolicy)->Unit(benchmark::kMillisecond)->MinTime(3.0);

BENCHMARK_MAIN();
