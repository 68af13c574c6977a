/*
 * One request round trip on the device socket: the module's client, the daemon's server
 * and engine in this process on a private run-time folder. Reports the median and the
 * 99th percentile of single requests beside Google Benchmark's mean.
 */
#include <benchmark/benchmark.h>
#include <glib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

BENCHMARK_MAIN();
