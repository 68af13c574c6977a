/*
 * "ping" round trips: the real servers, manager and dispatcher on a GLib main loop in a
 * thread of their own; over the nanomsg command socket from one REQ client, and over the
 * TLS management connection, which the server opens to the benchmark's own TLS peer on
 * loopback.
 */
#include <benchmark/benchmark.h>
#include <glib.h>
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "agent-common/qmp-servers/qmp-manager.h"
#include "agent-common/qmp-servers/qmp-server-nn.h"
#include "agent-common/qmp-servers/qmp-server-tls.h"
#include "agent-common/tls-channel.h"
#include "bench/tls_peer.h"
#include "qapi/qmp-common-commands.h"

namespace {

struct Server {
    GMainLoop *loop = nullptr;
    std::thread thread;
    std::string address;
    char *dir = nullptr;
    BenchTlsPeer tls_peer;
    std::string tls_error;

    Server()
    {
        dir = g_dir_make_tmp("hv-qmp-bench-XXXXXX", nullptr);
        address = std::string("ipc://") + dir + "/bench.ipc";
        qmp_register_common_commands();
        bool tls = tls_peer.Listen(&tls_error) && tls_channel_global_init(nullptr);
        std::string ca = tls_peer.Cert("ca.pem"), cert = tls_peer.Cert("client.pem"), key = tls_peer.Cert("client.key");
        std::string remote = "127.0.0.1:" + std::to_string(tls_peer.Port());
        tls_channel_params_t params = {ca.c_str(), cert.c_str(), key.c_str(), "localhost"};
        GMainContext *context = g_main_context_default();
        loop = g_main_loop_new(context, FALSE);
        std::atomic<bool> ready{false};
        thread = std::thread([&] {
            g_main_context_push_thread_default(nullptr);
            qmp_manager_init(loop, false);
            qmp_manager_register_server(qmp_server_new_nn(address.c_str()));
            if (tls) {
                qmp_manager_register_server(qmp_server_new_tls(remote.c_str(), nullptr, &params, 5000));
            }
            qmp_manager_run();
            ready = true;
            g_main_loop_run(loop);
            qmp_manager_cleanup();
        });
        while (!ready) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (tls && !tls_peer.Accept(10000, &tls_error)) {
            tls = false;
        }
        if (!tls && tls_error.empty()) {
            tls_error = "TLS set-up failed";
        }
        if (tls) {
            tls_error.clear();
        }
    }
    ~Server()
    {
        g_main_loop_quit(loop);
        thread.join();
        g_main_loop_unref(loop);
        g_autofree char *cmd = g_strdup_printf("rm -rf '%s'", dir);
        if (system(cmd) != 0) {
            fprintf(stderr, "could not remove %s\n", dir);
        }
        g_free(dir);
    }
};

} // namespace

/* One server for both benchmarks: the manager is process-wide. */
static Server &shared_server()
{
    static Server server;
    return server;
}

static void BM_PingRoundTripIpc(benchmark::State &state)
{
    Server &server = shared_server();
    int sock = nn_socket(AF_SP, NN_REQ);
    nn_connect(sock, server.address.c_str());
    const char request[] = "{\"execute\": \"ping\"}";
    for (auto _ : state) {
        if (nn_send(sock, request, sizeof request - 1, 0) < 0) {
            state.SkipWithError("send failed");
            break;
        }
        char *reply = nullptr;
        int len = nn_recv(sock, &reply, NN_MSG, 0);
        if (len < 0) {
            state.SkipWithError("no reply");
            break;
        }
        benchmark::DoNotOptimize(reply);
        nn_freemsg(reply);
    }
    nn_close(sock);
    state.counters["round_trips_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PingRoundTripIpc)->Unit(benchmark::kMicrosecond)->MinTime(3.0)->UseRealTime();

static void BM_PingRoundTripTls(benchmark::State &state)
{
    Server &server = shared_server();
    if (!server.tls_error.empty()) {
        state.SkipWithError(server.tls_error.c_str());
        return;
    }
    std::string reply;
    for (auto _ : state) {
        if (!server.tls_peer.RoundTrip("{\"execute\": \"ping\"}", &reply, 10000) ||
            reply.rfind("{\"return\"", 0) != 0) {
            state.SkipWithError(("ping over TLS: " + reply).c_str());
            break;
        }
    }
    state.counters["round_trips_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PingRoundTripTls)->Unit(benchmark::kMicrosecond)->MinTime(3.0)->UseRealTime();

BENCHMARK_MAIN();
