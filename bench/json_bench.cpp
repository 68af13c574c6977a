/*
 * JSON reader and writer on a 24 MiB policy request with 65,536 rules, and the same
 * bytes through RapidJSON's DOM parser for comparison; objects with many members.
 */
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>

#include <cstdlib>
#include <string>

#include "bench/alloc_counter.h"
#include "bench/policy_doc.h"
#include "qobject/qjson.h"
#include "util/error.h"

static const std::string &policy_doc()
{
    static const std::string doc = bench_policy_request(65536, 24u << 20);
    return doc;
}

static QObject *parse_or_die(const std::string &doc)
{
    Error *err = nullptr;
    QObject *obj = qobject_from_json_len(doc.data(), doc.size(), &err);
    if (!obj) {
        fprintf(stderr, "benchmark document does not parse: %s\n", err ? error_get_message(err) : "empty");
        abort();
    }
    return obj;
}

static void report(benchmark::State &state, size_t bytes, size_t base_live)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["doc_MiB"] = static_cast<double>(bytes) / (1 << 20);
    state.counters["peak_MiB"] = static_cast<double>(alloc_counter_peak() - base_live) / (1 << 20);
}

/* Arg 0: parse only; arg 1: parse and release, as the DOM benchmark below measures. */
static void BM_ParseOurReader(benchmark::State &state)
{
    const bool timed_release = state.range(0) != 0;
    const std::string &doc = policy_doc();
    size_t base = alloc_counter_live();
    alloc_counter_reset_peak();
    for (auto _ : state) {
        QObject *obj = parse_or_die(doc);
        benchmark::DoNotOptimize(obj);
        if (!timed_release) {
            state.PauseTiming();
        }
        qobject_decref(obj);
        if (!timed_release) {
            state.ResumeTiming();
        }
    }
    report(state, doc.size(), base);
}
BENCHMARK(BM_ParseOurReader)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(3.0);

static void BM_WriteCompact(benchmark::State &state)
{
    const std::string &doc = policy_doc();
    QObject *obj = parse_or_die(doc);
    size_t base = alloc_counter_live();
    alloc_counter_reset_peak();
    size_t out_len = 0;
    for (auto _ : state) {
        QString *text = qobject_to_json(obj);
        out_len = qstring_get_length(text);
        qobject_decref(QOBJECT(text));
    }
    report(state, out_len, base);
    qobject_decref(obj);
}
BENCHMARK(BM_WriteCompact)->Unit(benchmark::kMillisecond)->MinTime(3.0);

static void BM_ParseRapidJsonDom(benchmark::State &state)
{
    const std::string &doc = policy_doc();
    size_t base = alloc_counter_live();
    alloc_counter_reset_peak();
    for (auto _ : state) {
        rapidjson::Document d;
        d.Parse(doc.data(), doc.size());
        if (d.HasParseError()) {
            state.SkipWithError("RapidJSON rejected the document");
            break;
        }
        benchmark::DoNotOptimize(d);
    }
    report(state, doc.size(), base);
}
BENCHMARK(BM_ParseRapidJsonDom)->Unit(benchmark::kMillisecond)->MinTime(3.0);

/* Parses one object of n members named by key(i): the cost per member must not grow with n. */
template <typename KeyFn>
static void parse_one_object(benchmark::State &state, KeyFn key)
{
    const int64_t n = state.range(0);
    std::string doc = "{";
    for (int64_t i = 0; i < n; i++) {
        doc += (i ? ", \"" : "\"") + key(i, n) + "\": " + std::to_string(i);
    }
    doc += "}";
    for (auto _ : state) {
        QObject *obj = parse_or_die(doc);
        state.PauseTiming();
        qobject_decref(obj);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
    state.counters["keys"] = static_cast<double>(n);
}

/* 160,000 members within 12x of 20,000. */
static void BM_ParseManyKeys(benchmark::State &state)
{
    parse_one_object(state, [](int64_t i, int64_t) { return "member-" + std::to_string(i); });
}
BENCHMARK(BM_ParseManyKeys)->Arg(20000)->Arg(160000)->Unit(benchmark::kMillisecond)->MinTime(1.0);

/* Keys that all share one GLib string hash ("az" and "bY" collide, and so does every
 * concatenation of them): what a hostile peer would send. */
static void BM_ParseManyCollidingKeys(benchmark::State &state)
{
    parse_one_object(state, [](int64_t i, int64_t n) {
        std::string key;
        for (int bit = 0; (int64_t{1} << bit) < n; bit++) {
            key += (i >> bit) & 1 ? "bY" : "az";
        }
        return key;
    });
}
BENCHMARK(BM_ParseManyCollidingKeys)->Arg(16384)->Arg(131072)->Unit(benchmark::kMillisecond)->MinTime(1.0);

BENCHMARK_MAIN();
