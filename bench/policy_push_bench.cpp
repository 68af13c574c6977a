/*
 * "set-enforcement-policy" end to end in one process: request text through
 * do_qmp_dispatch, the module's real policy update, the emulated driver decoding every
 * request, the text dump to a null log handler and the atomic policy file write.
 *
 * BM_PolicyPush times the whole command. Each BM_PushPhase_* case runs the same push by
 * the phases' own public functions, in the update's order, and times one phase.
 * Rules are split in half over the input and output tables.
 */
#include <benchmark/benchmark.h>
#include <glib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "agent-common/agent-main.h"
#include "agent-common/agent-metrics.h"
#include "agent-common/exclude-ifaces.h"
#include "enforcement/driver-daemon/endr-policy.h"
#include "enforcement/driver-daemon/endr-wire.h"
#include "bench/alloc_counter.h"
#include "bench/policy_request.h"
#include "enforcement/framework/agent/en-api.h"
#include "enforcement/framework/agent/en-config.h"
#include "enforcement/framework/agent/en-driver.h"
#include "enforcement/framework/agent/en-dump.h"
#include "enforcement/framework/agent/en-implicit-rules.h"
#include "enforcement/framework/agent/en-index.h"
#include "enforcement/framework/agent/en-lid-map.h"
#include "enforcement/framework/agent/en-persistent-storage.h"
#include "enforcement/framework/agent/en-policy.h"
#include "enforcement/framework/agent/en-rules.h"
#include "qapi/qmp-common-commands.h"
#include "qapi/qmp-common-types.h"
#include "qapi/qmp-dispatch.h"
#include "qapi/qmp-enforcement-commands.h"
#include "qapi/qmp-enforcement-types.h"
#include "qapi/qmp-input-visitor.h"
#include "qapi/qmp-registry.h"
#include "qobject/qdict.h"
#include "qobject/qjson.h"
#include "util/agent-config.h"
#include "tests/common/endr-harness.h"
#include "util/error.h"

namespace {

using Clock = std::chrono::steady_clock;

/* The host's interfaces and resolver must not change what is measured. */
NetworkInterfaceList *one_interface(Error **errp)
{
    const char *text = R"([{"name": "eth0", "bond": false, "up": true, "loopback": false, "promiscuous": false,
        "virtual": false, "ip-addresses": [{"ip-address": "10.0.0.9", "ip-address-type": "ipv4", "prefix": 24}]}])";
    QObject *obj = qobject_from_json(text, errp);
    if (!obj) {
        return nullptr;
    }
    NetworkInterfaceList *list = nullptr;
    QmpInputVisitor *qiv = qmp_input_visitor_new_strict(obj);
    visit_type_NetworkInterfaceList(qmp_input_get_visitor(qiv), &list, nullptr, errp);
    qmp_input_visitor_cleanup(qiv);
    qobject_decref(obj);
    return list;
}

GSList *one_dns_server(void)
{
    return g_slist_append(nullptr, g_strdup("192.0.2.53"));
}

const en_implicit_sources kSources = {one_interface, one_dns_server};

/* The dump formats its text whatever the handler does with it. */
void null_log(const gchar *, GLogLevelFlags, const gchar *, gpointer) {}

std::string s_dir;
uint32_t s_revision = 1;

std::string dispatch(const std::string &request)
{
    Error *err = nullptr;
    QObject *req = qobject_from_json_len(request.data(), request.size(), &err);
    char *ret = req ? do_qmp_dispatch(req, &err) : nullptr;
    qobject_decref(req);
    std::string out = err ? std::string("error: ") + error_get_message(err) : ret ? ret : "";
    error_free(err);
    g_free(ret);
    return out;
}

bool module_start(void)
{
    char *dir = g_dir_make_tmp("hv-push-bench-XXXXXX", nullptr);
    if (!dir) {
        return false;
    }
    s_dir = dir;
    g_free(dir);
    std::filesystem::create_directories(s_dir + "/data");
    std::filesystem::create_directories(s_dir + "/bin");
    std::string registry = s_dir + "/registry";
    std::string text = "HV_DATA_FOLDER=" + s_dir + "/data\nHV_ROOT_FOLDER=" + s_dir + "/bin\n";
    std::string driver = s_dir + "/bin/hv-enforcement64.sys";
    if (!g_file_set_contents(registry.c_str(), text.c_str(), -1, nullptr) ||
        !g_file_set_contents(driver.c_str(), "4 FALSE\n5 FALSE\n6 FALSE\n7 FALSE\n", -1, nullptr)) {
        return false;
    }
    g_setenv("HV_REGISTRY_FILE", registry.c_str(), TRUE);
    g_setenv("HV_RUNTIME_DIR", (s_dir + "/run").c_str(), TRUE);
    g_setenv("HV_ENDR_EMU_ADDRESS", ("ipc://" + s_dir + "/endr.ipc").c_str(), TRUE);
    en_driver_set_host_path_for_test((s_dir + "/bin/hv-agent").c_str());
    g_log_set_default_handler(null_log, nullptr);
    /* The driver daemon's servers run in this process: the engine's share is measured too. */
    static hvtest::InProcessDaemon daemon;
    if (!daemon.Start()) {
        return false;
    }
    if (!initialize_agent_metrics() || !exclude_ifaces_init()) {
        return false;
    }
    agent_global_vars_load(nullptr);
    persistent_storage_reset_for_test();
    if (!agent_config_init() || !enforcement_register_config()) {
        return false;
    }
    en_implicit_set_sources(&kSources);
    qmp_register_enforcement_commands();
    qmp_register_common_commands();
    Error *err = nullptr;
    if (!en_policy_init(false, false) || !en_policy_start_api(&err)) {
        fprintf(stderr, "module start failed: %s\n", err ? error_get_message(err) : "init");
        error_free(err);
        return false;
    }
    /* Both tables hold half the rules plus the implicit ones; the chain count grows by
     * the implicit chains. Set through the command so that the driver gets them too. */
    std::string reply = dispatch(R"({"execute": "set-configuration", "arguments": {"fields": [
        {"name": "policy.max_rules_num", "int-value": 70000},
        {"name": "policy.max_chains_num", "int-value": 64}]}})");
    if (reply.rfind("error: ", 0) == 0) {
        fprintf(stderr, "limits refused: %s\n", reply.c_str());
        return false;
    }
    return true;
}

void module_stop(void)
{
    en_policy_cleanup();
    qmp_registry_cleanup();
    agent_config_cleanup();
    en_implicit_set_sources(nullptr);
    exclude_ifaces_cleanup();
    agent_metrics_cleanup();
    Error *err = nullptr;
    en_clean_existing_driver(&err);
    error_free(err);
    en_driver_free();
    en_driver_set_host_path_for_test(nullptr);
    std::error_code ec;
    std::filesystem::remove_all(s_dir, ec);
}

BenchPushRequest &request(size_t rules)
{
    static std::map<size_t, BenchPushRequest> cache;
    auto it = cache.find(rules);
    if (it == cache.end()) {
        it = cache.emplace(rules, bench_push_request(rules)).first;
    }
    return it->second;
}

QObject *parse(const BenchPushRequest &r)
{
    Error *err = nullptr;
    QObject *obj = qobject_from_json_len(r.text.data(), r.text.size(), &err);
    if (!obj) {
        fprintf(stderr, "request does not parse: %s\n", error_get_message(err));
        abort();
    }
    return obj;
}

struct Tables {
    EnforcementChainList *input = nullptr;
    EnforcementChainList *output = nullptr;
    void release()
    {
        qapi_free_EnforcementChainList(input);
        qapi_free_EnforcementChainList(output);
        input = output = nullptr;
    }
};

/* What the command's marshaller reads. */
Tables visit(QObject *req)
{
    QDict *args = qdict_get_qdict(qobject_to_qdict(req), "arguments");
    Tables t;
    Error *err = nullptr;
    QmpInputVisitor *qiv = qmp_input_visitor_new_strict(QOBJECT(args));
    Visitor *v = qmp_input_get_visitor(qiv);
    visit_type_EnforcementChainList(v, &t.input, "input-table", &err);
    if (!err) {
        visit_type_EnforcementChainList(v, &t.output, "output-table", &err);
    }
    qmp_input_visitor_cleanup(qiv);
    if (err) {
        fprintf(stderr, "tables do not read: %s\n", error_get_message(err));
        abort();
    }
    return t;
}

Tables copy(const Tables &t)
{
    return {qapi_copy_EnforcementChainList(t.input), qapi_copy_EnforcementChainList(t.output)};
}

/* The update's own steps on its copies: implicit rules, then rule types. */
size_t derive(Tables *t)
{
    EnforcementPolicyImplicitRuleList *added = en_policy_add_implicit_rules(nullptr, &t->output, &t->input, false);
    en_policy_assign_rule_types(t->input);
    en_policy_assign_rule_types(t->output);
    size_t n = 0;
    for (EnforcementPolicyImplicitRuleList *a = added; a; a = a->next) {
        n++;
    }
    qapi_free_EnforcementPolicyImplicitRuleList(added);
    return n;
}

size_t rule_count(const EnforcementChainList *table)
{
    size_t n = 0;
    for (const EnforcementChainList *c = table; c; c = c->next) {
        for (const EnforcementRuleList *r = c->value->rules; r; r = r->next) {
            n++;
        }
    }
    return n;
}

bool convert(const Tables &t, std::string *why)
{
    en_lid_map_reset();
    uint64_t n = 0;
    Error *err = nullptr;
    if (!en_table_convert(g_en_handle, false, t.input, &n, &err) || !en_table_convert(g_en_handle, true, t.output, &n, &err)) {
        *why = err ? error_get_message(err) : "conversion failed";
        error_free(err);
        return false;
    }
    return true;
}

struct Buffers {
    std::vector<std::vector<uint8_t>> indexes;
    std::vector<std::vector<uint8_t>> rules;
};

/* What en_table_convert builds for both tables, without the driver requests; kept in
 * `keep` when given. */
bool build_buffers(const Tables &t, std::string *why, Buffers *keep)
{
    en_lid_map_reset();
    Error *err = nullptr;
    for (const auto &[table, chains] : {std::pair{EN_TABLE_INPUT, t.input}, std::pair{EN_TABLE_OUTPUT, t.output}}) {
        uint8_t *index = nullptr;
        size_t index_len = 0;
        en_index_limits_t limits;
        en_config_index_limits(&limits);
        if (!en_convert_single_index(chains, g_en_config.max_entity_field_num, &limits, &index, &index_len, &err)) {
            break;
        }
        if (keep) {
            keep->indexes.emplace_back(index, index + index_len);
        }
        g_free(index);
        for (const EnforcementChainList *c = chains; c && !err; c = c->next) {
            uint8_t msg[EN_API_ADD_CHAIN_SIZE];
            if (!en_chain_build_msg(table, c->value->chain_name, 0, msg, &err)) {
                break;
            }
            for (const EnforcementRuleList *r = c->value->rules; r; r = r->next) {
                en_rule_caps_t caps = en_rule_driver_caps();
                uint8_t *buf = nullptr;
                size_t len = 0;
                if (!en_rule_build(table, c->value->chain_name, r->value, &caps, &buf, &len, &err)) {
                    break;
                }
                if (keep) {
                    keep->rules.emplace_back(buf, buf + len);
                }
                g_free(buf);
            }
        }
        if (err) {
            break;
        }
    }
    if (err) {
        *why = error_get_message(err);
        error_free(err);
        return false;
    }
    return true;
}

/* What the driver keeps of a staged policy; released outside the timing. */
struct Decoded {
    std::vector<endr::DecodedIndex> indexes;
    std::vector<endr::DecodedRule> rules;
};

bool decode_buffers(const Buffers &b, Decoded *out)
{
    for (const auto &index : b.indexes) {
        endr::IndexSummary summary{};
        endr::DecodedIndex decoded;
        if (endr::parse_index(index, &summary) != 0 || endr::decode_index(index, &decoded) != 0) {
            return false;
        }
        out->indexes.push_back(std::move(decoded));
    }
    for (const auto &rule : b.rules) {
        endr::DecodedRule decoded;
        if (endr::decode_rule(rule, &decoded) != 0) {
            return false;
        }
        out->rules.push_back(std::move(decoded));
    }
    return true;
}

double seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void common_counters(benchmark::State &state, size_t rules, size_t bytes)
{
    state.counters["rules"] = static_cast<double>(rules);
    state.counters["bytes"] = static_cast<double>(bytes);
}

} // namespace

static void BM_PolicyPush(benchmark::State &state, size_t rules)
{
    BenchPushRequest &r = request(rules);
    /* Heap above what was live before: the request's values, the typed tables and the
     * engine's copy of the policy, while the previous policy is still held. */
    size_t base = alloc_counter_live();
    alloc_counter_reset_peak();
    for (auto _ : state) {
        uint32_t revision = ++s_revision;
        bench_push_request_set_revision(&r, revision);
        auto start = Clock::now();
        Error *err = nullptr;
        QObject *req = qobject_from_json_len(r.text.data(), r.text.size(), &err);
        char *ret = req ? do_qmp_dispatch(req, &err) : nullptr;
        qobject_decref(req);
        state.SetIterationTime(seconds(start));
        std::string expected = "{\"new-revision\": " + std::to_string(revision) + ",";
        bool ok = !err && ret && strncmp(ret, expected.c_str(), expected.size()) == 0;
        if (!ok) {
            std::string why = err ? error_get_message(err) : ret ? std::string(ret).substr(0, 200) : "no reply";
            error_free(err);
            g_free(ret);
            state.SkipWithError(why.c_str());
            break;
        }
        g_free(ret);
    }
    common_counters(state, rules, r.text.size());
    state.SetBytesProcessed(static_cast<int64_t>(r.text.size()) * state.iterations());
    state.counters["peak_MiB"] = static_cast<double>(alloc_counter_peak() - base) / (1 << 20);
}

namespace {

/* AgentBuffers and DriverDecode are not steps of the update but parts of Convert, run only
 * when timed: the agent building the index and rule buffers without sending them, and the
 * emulated driver's decoders run directly on those buffers. */
enum class Phase {
    Parse,
    Visit,
    Copy,
    Implicit,
    AgentBuffers,
    DriverDecode,
    Convert,
    RevisionSwap,
    Dump,
    Persist,
    Release
};

struct PhaseResult {
    double seconds = 0;
    size_t bytes = 0;
    size_t driver_rules = 0;
    size_t implicit_rules = 0;
};

/*
 * One push by the update's own public functions in its order, with only `timed` on the
 * clock: the allocator and the driver are then in the state the dispatch leaves them in.
 */
bool run_sequence(BenchPushRequest &r, Phase timed, PhaseResult *out, std::string *why)
{
    uint32_t revision = ++s_revision;
    bench_push_request_set_revision(&r, revision);
    Clock::time_point start;
    auto begin = [&](Phase p) {
        if (p == timed) {
            start = Clock::now();
        }
    };
    auto end = [&](Phase p) {
        if (p == timed) {
            out->seconds = seconds(start);
        }
    };

    begin(Phase::Parse);
    QObject *req = parse(r);
    end(Phase::Parse);
    begin(Phase::Visit);
    Tables args = visit(req);
    end(Phase::Visit);
    begin(Phase::Copy);
    Tables t = copy(args);
    end(Phase::Copy);
    begin(Phase::Implicit);
    out->implicit_rules = derive(&t);
    end(Phase::Implicit);
    if (timed == Phase::AgentBuffers) {
        begin(Phase::AgentBuffers);
        bool built = build_buffers(t, why, nullptr);
        end(Phase::AgentBuffers);
        if (!built) {
            return false;
        }
    }
    if (timed == Phase::DriverDecode) {
        Buffers buffers;
        if (!build_buffers(t, why, &buffers)) {
            return false;
        }
        Decoded decoded;
        begin(Phase::DriverDecode);
        bool decodes = decode_buffers(buffers, &decoded);
        end(Phase::DriverDecode);
        if (!decodes) {
            *why = "the driver's decoders refused a buffer";
            return false;
        }
    }
    begin(Phase::Convert);
    bool ok = convert(t, why);
    end(Phase::Convert);
    begin(Phase::RevisionSwap);
    ok = ok && en_api_policy_set_revision(g_en_handle, static_cast<uint64_t>(revision) << 32) &&
         en_api_policy_swap(g_en_handle);
    end(Phase::RevisionSwap);
    if (ok) {
        begin(Phase::Dump);
        en_policy_dump_to_log(t.input, t.output, revision, 0, false);
        end(Phase::Dump);
        EnforcementPolicyOutputJson doc{};
        doc.input_table = t.input;
        doc.output_table = t.output;
        doc.revision = revision;
        Error *err = nullptr;
        begin(Phase::Persist);
        ok = persistent_EnforcementPolicyOutputJson_dump(&doc, &err);
        end(Phase::Persist);
        if (!ok) {
            *why = err ? error_get_message(err) : "policy file not written";
            error_free(err);
        }
    } else if (why->empty()) {
        *why = "revision or swap refused";
    }
    begin(Phase::Release);
    qobject_decref(req);
    args.release();
    end(Phase::Release);

    switch (timed) {
    case Phase::Dump: {
        char *input = en_table_dump("INPUT", t.input);
        char *output = en_table_dump("OUTPUT", t.output);
        out->bytes = strlen(input) + strlen(output);
        g_free(input);
        g_free(output);
        break;
    }
    case Phase::Persist: {
        struct stat st {};
        stat((s_dir + "/data" EN_PERSISTENT_POLICY_FILE).c_str(), &st);
        out->bytes = static_cast<size_t>(st.st_size);
        break;
    }
    default:
        out->bytes = r.text.size();
        break;
    }
    out->driver_rules = rule_count(t.input) + rule_count(t.output);
    /* As the update does with the tables it replaces: freed on the free thread, which
     * competes with the next push for the allocator. */
    en_index_free_thread_enqueue(t.input, (GDestroyNotify)qapi_free_EnforcementChainList);
    en_index_free_thread_enqueue(t.output, (GDestroyNotify)qapi_free_EnforcementChainList);
    return ok;
}

void phase_case(benchmark::State &state, size_t rules, Phase phase)
{
    BenchPushRequest &r = request(rules);
    PhaseResult result;
    for (auto _ : state) {
        std::string why;
        if (!run_sequence(r, phase, &result, &why)) {
            state.SkipWithError(why.c_str());
            break;
        }
        state.SetIterationTime(result.seconds);
    }
    common_counters(state, rules, result.bytes);
    state.counters["driver_rules"] = static_cast<double>(result.driver_rules);
    if (phase == Phase::Implicit) {
        state.counters["implicit_rules"] = static_cast<double>(result.implicit_rules);
    }
    if (phase == Phase::Parse) {
        state.SetBytesProcessed(static_cast<int64_t>(result.bytes) * state.iterations());
    }
}

} // namespace

namespace {

/* Fixed iteration counts: several phases redo the steps before them outside the timing,
 * which a minimum time would repeat hundreds of times. */
void register_all(void)
{
    const std::pair<const char *, Phase> phases[] = {
        {"Parse", Phase::Parse},           {"Visit", Phase::Visit},
        {"Copy", Phase::Copy},             {"Implicit", Phase::Implicit},
        {"Convert", Phase::Convert},       {"AgentBuffers", Phase::AgentBuffers},
        {"DriverDecode", Phase::DriverDecode}, {"RevisionSwap", Phase::RevisionSwap},
        {"Dump", Phase::Dump},             {"Persist", Phase::Persist},
        {"Release", Phase::Release},
    };
    const std::pair<size_t, benchmark::IterationCount> sizes[] = {{1000, 50}, {10000, 15}, {65536, 8}};
    /* Size by size, so that the whole command and its phases run close together in time. */
    for (const auto &[rules, iterations] : sizes) {
        auto add = [&](const std::string &name, auto fn) {
            std::string full = name + "/" + std::to_string(rules);
            benchmark::RegisterBenchmark(full.c_str(), fn)
                ->Iterations(iterations)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        };
        add("BM_PolicyPush", [rules](benchmark::State &state) { BM_PolicyPush(state, rules); });
        for (const auto &[name, phase] : phases) {
            add(std::string("BM_PushPhase_") + name,
                [rules, phase](benchmark::State &state) { phase_case(state, rules, phase); });
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    if (!module_start()) {
        fprintf(stderr, "could not start the module in process\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    module_stop();
    return 0;
}
