/*
 * Connection events per second from the emulated driver's records to a PULL receiver:
 * the daemon's servers, the module's enforcement API and report thread, and a receiver
 * that splits and parses every event like hv-events, all in this process on a private
 * run-time folder. Each iteration queues the records in the driver first (not timed),
 * then times the report thread from its start until the receiver has parsed them all.
 */
#include <benchmark/benchmark.h>
#include <glib.h>
#include <nanomsg/nn.h>
#include <nanomsg/pipeline.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "agent-common/agent-metrics.h"
#include "agent-common/exclude-ifaces.h"
#include "agent-common/network-events.pb.h"
#include "agent-common/nnmsg-channel.h"
#include "enforcement/driver-daemon/endr-engine.h"
#include "enforcement/framework/agent/en-api.h"
#include "enforcement/framework/agent/en-config.h"
#include "enforcement/framework/agent/en-conn-report.h"
#include "enforcement/framework/agent/en-driver.h"
#include "enforcement/framework/agent/en-event.h"
#include "tests/common/endr-harness.h"

namespace {

constexpr size_t kRecords = 20000;

/* Counts the events of every message it receives, parsing each. */
class Receiver {
public:
    explicit Receiver(const std::string &address)
    {
        sock_ = nn_socket(AF_SP, NN_PULL);
        int big = 8 << 20;
        int ms = 100;
        nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVBUF, &big, sizeof big);
        nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVMAXSIZE, &big, sizeof big);
        nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVTIMEO, &ms, sizeof ms);
        if (sock_ < 0 || nn_bind(sock_, address.c_str()) < 0) {
            fprintf(stderr, "cannot bind %s\n", address.c_str());
            abort();
        }
        thread_ = std::thread([this] { Run(); });
    }
    ~Receiver()
    {
        stop_ = true;
        thread_.join();
        nn_close(sock_);
    }
    std::atomic<size_t> connections{0};
    std::atomic<size_t> messages{0};
    std::atomic<size_t> bad{0};

private:
    void Count(const uint8_t *p, size_t n)
    {
        NetEvent e;
        if (!e.ParseFromArray(p, static_cast<int>(n))) {
            bad++;
        } else if (e.type() == NetEvent::Connection) {
            connections++;
        }
    }
    void Run()
    {
        while (!stop_) {
            void *buf = nullptr;
            int n = nn_recv(sock_, &buf, NN_MSG, 0);
            if (n < 0) {
                continue;
            }
            const auto *p = static_cast<const uint8_t *>(buf);
            size_t len = static_cast<size_t>(n);
            messages++;
            if (len >= 4 && p[0] == 0xC0 && p[1] == 0xD1 && p[2] == 0x07 && p[3] == 0x9A) {
                for (size_t at = 0; at + 8 <= len;) {
                    size_t l = p[at + 6] | p[at + 7] << 8;
                    if (at + 8 + l > len) {
                        bad++;
                        break;
                    }
                    Count(p + at + 8, l);
                    at += 8 + l;
                }
            } else {
                Count(p, len);
            }
            nn_freemsg(buf);
        }
    }
    int sock_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

/* The driver, the module's side of it and the receiver for one sending mode. */
struct Pipeline {
    std::string dir;
    hvtest::InProcessDaemon daemon;
    en_handle *handle = nullptr;
    int channel = -1;
    Receiver *receiver = nullptr;
    std::vector<std::vector<uint8_t>> records;

    explicit Pipeline(bool batch)
    {
        g_log_set_default_handler([](const char *, GLogLevelFlags, const char *, gpointer) {}, nullptr);
        char *tmp = g_dir_make_tmp("hv-report-bench-XXXXXX", nullptr);
        dir = tmp;
        g_free(tmp);
        g_setenv("HV_RUNTIME_DIR", (dir + "/run").c_str(), TRUE);
        g_setenv("HV_ENDR_EMU_ADDRESS", ("ipc://" + dir + "/endr.ipc").c_str(), TRUE);
        std::filesystem::create_directories(dir + "/bin");
        g_file_set_contents((dir + "/bin/hv-enforcement64.sys").c_str(), "4 FALSE\n5 FALSE\n6 FALSE\n7 FALSE\n", -1,
                            nullptr);
        en_driver_set_host_path_for_test((dir + "/bin/hv-agent").c_str());
        if (!daemon.Start() || !initialize_agent_metrics() || !exclude_ifaces_init()) {
            fprintf(stderr, "the driver did not start\n");
            abort();
        }
        en_api_set_send_batch_events(batch);
        handle = en_api_init();
        if (!en_api_start(handle)) {
            fprintf(stderr, "the enforcement API did not start\n");
            abort();
        }
        g_en_handle = handle;
        g_en_config.conn_request_size = 1000;
        g_en_config.conn_request_sufficient_size = 1000;
        g_en_config.conn_request_timeout_ms = 10;
        g_en_config.keepalive_interval = 3600000000ull;
        std::string address = "ipc://" + dir + "/report.ipc";
        receiver = new Receiver(address);
        channel = nnmsg_channel_open_push(address.c_str());
        nnmsg_channel_set_report_socket(channel);
        MakeRecords();
    }

    ~Pipeline()
    {
        en_conn_report_stop();
        nnmsg_channel_set_report_socket(-1);
        nnmsg_channel_close(channel);
        delete receiver;
        g_en_handle = nullptr;
        en_api_stop(handle);
        en_api_free(handle);
        exclude_ifaces_cleanup();
        agent_metrics_cleanup();
        Error *err = nullptr;
        en_clean_existing_driver(&err);
        error_free(err);
        en_driver_free();
        daemon.Stop();
        en_driver_set_host_path_for_test(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    /* Outbound TCP of no particular process, with a rule id and a DNS name as policies give. */
    void MakeRecords()
    {
        for (size_t i = 0; i < 64; i++) {
            endr_conn_record_t r{};
            r.type = EN_EVENT_RECORD_TYPE_CONNECTION;
            r.tuple.source.head[0] = r.tuple.destination.head[0] = 1;
            uint32_t src = 0x0A000001u + static_cast<uint32_t>(i), dst = 0xC0000201u;
            memcpy(r.tuple.source.address, &src, 4);
            memcpy(r.tuple.destination.address, &dst, 4);
            r.tuple.source_port = static_cast<uint16_t>(40000 + i);
            r.tuple.destination_port = 443;
            r.tuple.family = 1;
            r.verdict = i % 4 ? ENDR_VERDICT_ALLOW : ENDR_VERDICT_BLOCK;
            r.no_process = 1;
            r.status = ENDR_CONN_STATUS_SUCCESS;
            r.enforcement_state = ENDR_STATE_ENFORCING;
            r.policy_revision = 12;
            g_snprintf(r.rule_id, sizeof r.rule_id, "allow-web-%zu", i);
            g_snprintf(r.dns_name, sizeof r.dns_name, "host%zu.example.test", i);
            r.sm_id = i;
            std::vector<uint8_t> bytes(sizeof r);
            memcpy(bytes.data(), &r, sizeof r);
            records.push_back(std::move(bytes));
        }
    }

    void Queue(size_t n)
    {
        endr::Engine &e = endr::engine();
        std::lock_guard<std::mutex> g(e.mu);
        for (size_t i = 0; i < n; i++) {
            e.connections.push_back(records[i % records.size()]);
        }
        e.cv.notify_all();
    }
};

void RunPipeline(benchmark::State &state, bool batch)
{
    Pipeline p(batch);
    size_t expected = 0;
    for (auto _ : state) {
        state.PauseTiming();
        p.Queue(kRecords);
        expected += kRecords;
        state.ResumeTiming();
        if (!en_conn_report_init_and_start(nullptr)) {
            state.SkipWithError("the report thread did not start");
            break;
        }
        while (p.receiver->connections + agent_metrics_get("en_report.dropped_connections") < expected) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        state.PauseTiming();
        en_conn_report_stop();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(expected));
    state.counters["events_per_s"] =
        benchmark::Counter(static_cast<double>(expected), benchmark::Counter::kIsRate);
    state.counters["dropped"] = static_cast<double>(agent_metrics_get("en_report.dropped_connections"));
    state.counters["messages"] = static_cast<double>(p.receiver->messages);
    state.counters["bad"] = static_cast<double>(p.receiver->bad);
}

} // namespace

static void BM_ConnectionEventsBatched(benchmark::State &state)
{
    RunPipeline(state, true);
}
BENCHMARK(BM_ConnectionEventsBatched)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

static void BM_ConnectionEventsSingle(benchmark::State &state)
{
    RunPipeline(state, false);
}
BENCHMARK(BM_ConnectionEventsSingle)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

BENCHMARK_MAIN();
