/*
 * One request round trip on the device socket: the module's client, the daemon's server
 * and engine in this process on a private run-time folder. Reports the median and the
 * 99th percentile of single requests beside Google Benchmark's mean. BM_DeviceRulePush:
 * the device requests of a 65,536-rule push, chains and rules sent as the module sends
 * them (without waiting for each answer, the answers of a chain taken before the next).
 */
#include <benchmark/benchmark.h>
#include <glib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "enforcement/driver-daemon/driver-emu.h"
#include "enforcement/driver-daemon/endr-device-client.h"
#include "enforcement/driver-daemon/endr-wire.h"
#include "tests/common/endr-harness.h"

namespace {

struct Device {
    std::string dir;
    hvtest::InProcessDaemon daemon;
    endr_client *client = nullptr;

    Device()
    {
        g_log_set_default_handler([](const char *, GLogLevelFlags, const char *, gpointer) {}, nullptr);
        /* As hv-endrd sets up its process. */
        endr_keep_freed_memory();
        char *tmp = g_dir_make_tmp("hv-device-bench-XXXXXX", nullptr);
        dir = tmp;
        g_free(tmp);
        g_setenv("HV_RUNTIME_DIR", (dir + "/run").c_str(), TRUE);
        g_setenv("HV_ENDR_EMU_ADDRESS", ("ipc://" + dir + "/endr.ipc").c_str(), TRUE);
        if (!daemon.Start() || endr_client_open((dir + "/run/hv-enforcement.sock").c_str(), &client) != 0) {
            fprintf(stderr, "the driver did not start\n");
            abort();
        }
    }
    ~Device()
    {
        endr_client_close(client);
        daemon.Stop();
        g_autofree char *cmd = g_strdup_printf("rm -rf '%s'", dir.c_str());
        if (system(cmd) != 0) {
            fprintf(stderr, "could not remove %s\n", dir.c_str());
        }
    }
};

std::vector<uint8_t> header(uint64_t value, uint32_t length)
{
    std::vector<uint8_t> h(16, 0);
    uint16_t magic = endr::kMagic;
    memcpy(h.data(), &magic, 2);
    h[2] = endr::kHeaderVersion;
    memcpy(h.data() + 4, &value, 8);
    memcpy(h.data() + 12, &length, 4);
    return h;
}

void report(benchmark::State &state, std::vector<double> &us)
{
    std::sort(us.begin(), us.end());
    if (!us.empty()) {
        state.counters["median_us"] = us[us.size() / 2];
        state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    }
}

} // namespace

/* The version read: header out, 8 bytes back. */
static void BM_DeviceRoundTripVersion(benchmark::State &state)
{
    static Device device;
    std::vector<uint8_t> in = header(0, 0);
    std::vector<double> us;
    for (auto _ : state) {
        uint64_t version = 0;
        auto t0 = std::chrono::steady_clock::now();
        uint32_t rc = endr_client_ioctl(device.client, endr::kGetVersion, in.data(), 16, &version, 8, nullptr);
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
        if (rc != 0 || version != endr::kApiVersion) {
            state.SkipWithError("version request failed");
            break;
        }
    }
    report(state, us);
}
BENCHMARK(BM_DeviceRoundTripVersion)->Iterations(20000)->UseRealTime();

/* A caller buffer that travels (the policy limits, 32 bytes), as most pushes' requests do. */
static void BM_DeviceRoundTripBuffer(benchmark::State &state)
{
    static Device device;
    std::vector<uint8_t> limits(32, 0);
    std::vector<uint8_t> in = header(reinterpret_cast<uintptr_t>(limits.data()), 32);
    std::vector<double> us;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        uint32_t rc = endr_client_ioctl(device.client, endr::kSetPolicyLimits, in.data(), 16, nullptr, 0, nullptr);
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
        if (rc != 0) {
            state.SkipWithError("limits request failed");
            break;
        }
    }
    report(state, us);
}
BENCHMARK(BM_DeviceRoundTripBuffer)->Iterations(20000)->UseRealTime();

namespace {

template <typename T> void put_at(std::vector<uint8_t> &b, size_t off, T v)
{
    memcpy(b.data() + off, &v, sizeof v);
}

std::vector<uint8_t> chain_msg(const char *table, const char *chain, uint32_t rules)
{
    std::vector<uint8_t> b(endr::kAddChainSize, 0);
    strcpy(reinterpret_cast<char *>(b.data()), table);
    strcpy(reinterpret_cast<char *>(b.data() + 128), chain);
    put_at<uint32_t>(b, 256, rules);
    return b;
}

std::vector<uint8_t> rule_msg(const char *table, const char *chain, const std::string &id)
{
    const size_t len = endr::kMinRuleSize;
    std::vector<uint8_t> b(endr::kAddRuleHeaderSize + len, 0);
    strcpy(reinterpret_cast<char *>(b.data()), table);
    strcpy(reinterpret_cast<char *>(b.data() + 128), chain);
    put_at<uint64_t>(b, 256, len);
    size_t trailer = b.size() - 144;
    put_at<uint64_t>(b, trailer, 2);
    put_at<uint64_t>(b, trailer + 8, 1);
    memcpy(b.data() + trailer + 16, id.c_str(), id.size());
    return b;
}

/* One bag vector for every rule of the table. */
std::vector<uint8_t> index_msg(uint32_t rules)
{
    uint16_t r16 = static_cast<uint16_t>(rules);
    uint16_t words = endr::index_words_for(r16);
    std::vector<uint8_t> b(8 + words * 8 + 12 + 10 + 24, 0);
    put_at<uint32_t>(b, 0, 1);
    put_at<uint16_t>(b, 4, r16);
    put_at<uint16_t>(b, 6, words);
    memset(b.data() + 8, 0xFF, words * 8);
    size_t at = 8 + words * 8 + 12;
    put_at<uint32_t>(b, at, 1);
    put_at<uint32_t>(b, at + 10, 1);
    put_at<uint32_t>(b, at + 22, 1);
    return b;
}

uint32_t sync_request(endr_client *c, uint32_t code, uint64_t value, uint32_t length)
{
    std::vector<uint8_t> in = header(value, length);
    return endr_client_ioctl(c, code, in.data(), 16, nullptr, 0, nullptr);
}

} // namespace

static void BM_DeviceRulePush(benchmark::State &state)
{
    static Device device;
    constexpr uint32_t kChains = 32, kRulesPerChain = 1024, kDepth = 1024;
    const char *tables[] = {"INPUT", "OUTPUT"};
    /* The module builds each message just before sending it; built here once, outside the clock. */
    std::vector<std::vector<uint8_t>> chains[2], rules[2];
    for (int t = 0; t < 2; t++) {
        for (uint32_t c = 0; c < kChains; c++) {
            std::string name = "chain-" + std::to_string(c);
            chains[t].push_back(chain_msg(tables[t], name.c_str(), kRulesPerChain));
            for (uint32_t r = 0; r < kRulesPerChain; r++) {
                rules[t].push_back(rule_msg(tables[t], name.c_str(), "r-" + std::to_string(c * kRulesPerChain + r)));
            }
        }
    }
    std::vector<uint8_t> index = index_msg(kChains * kRulesPerChain);
    uint64_t revision = 0;
    size_t requests = 0;
    double seconds = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        bool ok = true;
        requests = 0;
        for (int t = 0; t < 2 && ok; t++) {
            ok = sync_request(device.client, t ? endr::kInitOutputTable : endr::kInitInputTable, kChains, 0) == 0 &&
                 sync_request(device.client, t ? endr::kInitOutputIndex : endr::kInitInputIndex,
                              reinterpret_cast<uintptr_t>(index.data()), static_cast<uint32_t>(index.size())) == 0;
            requests += 2;
            for (uint32_t c = 0; c < kChains && ok; c++) {
                uint32_t group = endr_client_group(device.client);
                std::deque<endr_pending *> sent;
                auto send = [&](uint32_t code, std::vector<uint8_t> &b) {
                    std::vector<uint8_t> in = header(reinterpret_cast<uintptr_t>(b.data()), static_cast<uint32_t>(b.size()));
                    endr_pending *p = nullptr;
                    ok = ok && endr_client_ioctl_send(device.client, code, in.data(), 16, group, &p) == 0;
                    if (p) {
                        sent.push_back(p);
                    }
                    requests++;
                };
                auto take = [&](size_t keep) {
                    while (sent.size() > keep) {
                        ok = endr_client_ioctl_wait(device.client, sent.front()) == 0 && ok;
                        sent.pop_front();
                    }
                };
                send(endr::kAddChain, chains[t][c]);
                for (uint32_t r = 0; r < kRulesPerChain; r++) {
                    send(endr::kAddRule, rules[t][c * kRulesPerChain + r]);
                    take(kDepth);
                }
                take(0);
            }
        }
        ok = ok && sync_request(device.client, endr::kSetRevision, ++revision << 32, 0) == 0;
        requests++;
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (!ok) {
            state.SkipWithError("push refused");
            break;
        }
    }
    state.counters["requests"] = static_cast<double>(requests);
    if (state.iterations() && requests) {
        state.counters["us_per_request"] = seconds * 1e6 / static_cast<double>(state.iterations() * requests);
    }
}
BENCHMARK(BM_DeviceRulePush)->Iterations(10)->UseRealTime()->Unit(benchmark::kMillisecond);

/*
 * Connection records read in blocks of 1000 over the device socket, as the module's
 * connection thread reads them; the records are queued in-process between reads and
 * not timed. Reports records per second.
 */
static void BM_DeviceConnectionRecords(benchmark::State &state)
{
    static Device device;
    constexpr uint32_t kBlock = 1000;
    std::vector<uint8_t> records(size_t{kBlock} * endr::kConnectionRecordSize), aux(64);
    std::vector<uint8_t> req(endr::kConnectionRequestSize, 0);
    uint32_t size = kBlock * endr::kConnectionRecordSize;
    uint64_t records_at = reinterpret_cast<uintptr_t>(records.data()), aux_at = reinterpret_cast<uintptr_t>(aux.data());
    memcpy(req.data() + 8, &kBlock, 4);
    memcpy(req.data() + 12, &kBlock, 4);
    memcpy(req.data() + 20, &size, 4);
    memcpy(req.data() + 24, &records_at, 8);
    memcpy(req.data() + 32, &aux_at, 8);
    std::vector<uint8_t> in = header(reinterpret_cast<uintptr_t>(req.data()), endr::kConnectionRequestSize);
    const std::string inject = R"({"command": "inject-connection", "direction": "out", "protocol": "tcp",
        "local": "10.0.0.1", "local-port": 40000, "remote": "10.0.0.2", "remote-port": 443, "verdict": "ALLOW",
        "count": 1000})";
    uint64_t total = 0;
    for (auto _ : state) {
        state.PauseTiming();
        g_free(endr_control_request(inject.c_str(), inject.size()));
        state.ResumeTiming();
        uint32_t rc = endr_client_ioctl(device.client, endr::kGetConnections, in.data(), 16, nullptr, 0, nullptr);
        uint32_t n = 0;
        memcpy(&n, req.data() + endr::kConnectionReturnedOffset, 4);
        if (rc != 0 || n != kBlock) {
            state.SkipWithError("connection read failed");
            break;
        }
        total += n;
    }
    state.counters["records_per_s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DeviceConnectionRecords)->Iterations(300)->UseRealTime();

BENCHMARK_MAIN();
