/*
 * "ping" round trips over the nanomsg command socket: the real server, manager and
 * dispatcher on a GLib main loop in a thread of their own, one REQ client.
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
#include "qapi/qmp-common-commands.h"

namespace {

struct Server {
    GMainLoop *loop = nullptr;
    std::thread thread;
    std::string address;
    char *dir = nullptr;

    Server()
    {
        dir = g_dir_make_tmp("hv-qmp-bench-XXXXXX", nullptr);
        address = std::string("ipc://") + dir + "/bench.ipc";
        qmp_register_common_commands();
        GMainContext *context = g_main_context_default();
        loop = g_main_loop_new(context, FALSE);
        std::atomic<bool> ready{false};
        thread = std::thread([this, &ready] {
            g_main_context_push_thread_default(nullptr);
            qmp_manager_init(loop, false);
            qmp_manager_register_server(qmp_server_new_nn(address.c_str()));
            qmp_manager_run();
            ready = true;
            g_main_loop_run(loop);
            qmp_manager_cleanup();
        });
        while (!ready) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
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

static void BM_PingRoundTripIpc(benchmark::State &state)
{
    static Server server;
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

BENCHMARK_MAIN();
