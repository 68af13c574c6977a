/*
 * A "set-enforcement-policy" of 65,536 or 10,000 rules sent to a real module process (the
 * launcher copied into a private root, the enforcement bundle, the driver daemon, the log
 * written to a file) over its nanomsg command socket, or over the TLS management
 * connection the module opens to the benchmark's own TLS peer on loopback. Each iteration
 * is one request with a new revision, timed from send to reply.
 */
#include <benchmark/benchmark.h>
#include <glib.h>
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/policy_request.h"
#include "bench/tls_peer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kServerMessageLimit = 20971520;

struct Module {
    std::string dir;
    std::string log;
    GPid pid = 0;
    int stdin_fd = -1;
    int sock = -1;
    /* Set before start: requests go over the TLS channel to this peer. */
    BenchTlsPeer *tls = nullptr;

    bool start(std::string *why)
    {
        char *d = g_dir_make_tmp("hv-push-ipc-XXXXXX", nullptr);
        if (!d) {
            *why = "no temporary folder";
            return false;
        }
        dir = d;
        g_free(d);
        /* The launcher's own folder is the root, where the driver file is extracted. */
        std::string root = dir + "/root";
        g_mkdir_with_parents(root.c_str(), 0755);
        std::string launcher = root + "/hv-agent";
        g_autofree char *launcher_bytes = nullptr;
        gsize len = 0;
        if (!g_file_get_contents(HV_LAUNCHER, &launcher_bytes, &len, nullptr) ||
            !g_file_set_contents(launcher.c_str(), launcher_bytes, static_cast<gssize>(len), nullptr) ||
            chmod(launcher.c_str(), 0755) != 0) {
            *why = "could not copy the launcher";
            return false;
        }
        /* The module loads the driver daemon found beside it. */
        if (symlink(HV_ENDRD, (root + "/hv-endrd").c_str()) != 0) {
            *why = "could not place the driver daemon";
            return false;
        }
        std::string registry = dir + "/registry";
        std::string text = "HV_DATA_FOLDER=" + dir + "/data\n";
        g_file_set_contents(registry.c_str(), text.c_str(), -1, nullptr);
        log = dir + "/module.log";

        char **env = g_get_environ();
        env = g_environ_setenv(env, "HV_REGISTRY_FILE", registry.c_str(), TRUE);
        env = g_environ_setenv(env, "HV_RUNTIME_DIR", (dir + "/run").c_str(), TRUE);
        env = g_environ_setenv(env, "HV_ENDR_EMU_ADDRESS", ("ipc://" + dir + "/endr.ipc").c_str(), TRUE);
        env = g_environ_unsetenv(env, "HV_LOGGING_PROFILE");
        std::vector<std::string> args = {launcher, HV_BUNDLE, "--method", "stdin", "-l", log};
        if (tls) {
            args = {launcher,
                    HV_BUNDLE,
                    "--method",
                    "tcp-tls",
                    "-A",
                    tls->Cert("ca.pem"),
                    "-C",
                    tls->Cert("client.pem"),
                    "-K",
                    tls->Cert("client.key"),
                    "--remote-name",
                    "localhost",
                    "-p",
                    "127.0.0.1:" + std::to_string(tls->Port()),
                    "-l",
                    log};
        }
        std::vector<char *> argv;
        for (auto &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        /* The command channel is standard input: a pipe kept open for the module's life.
         * The module binds its command socket relative to its working folder. */
        GError *error = nullptr;
        bool spawned = g_spawn_async_with_pipes(
            dir.c_str(), argv.data(), env,
            static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL),
            nullptr, nullptr, &pid, &stdin_fd, nullptr, nullptr, &error);
        g_strfreev(env);
        if (!spawned) {
            *why = error ? error->message : "spawn failed";
            g_clear_error(&error);
            return false;
        }
        if (!wait_for_log("initialization done", 60000)) {
            *why = "the module did not start (see " + log + ")";
            return false;
        }
        sock = nn_socket(AF_SP, NN_REQ);
        int timeout_ms = 600000;
        nn_setsockopt(sock, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout_ms, sizeof timeout_ms);
        nn_setsockopt(sock, NN_SOL_SOCKET, NN_SNDTIMEO, &timeout_ms, sizeof timeout_ms);
        /* A slow reply must not make the socket send the request a second time. */
        nn_setsockopt(sock, NN_REQ, NN_REQ_RESEND_IVL, &timeout_ms, sizeof timeout_ms);
        std::string address = "ipc://" + dir + "/holvenstad_en_channel.ipc";
        if (nn_connect(sock, address.c_str()) < 0) {
            *why = std::string("connect: ") + nn_strerror(nn_errno());
            return false;
        }
        if (tls && !tls->Accept(30000, why)) {
            return false;
        }
        /* Each table holds half the rules plus the implicit ones. */
        std::string reply;
        if (!round_trip(R"({"execute": "set-configuration", "arguments": {"fields": [
                {"name": "policy.max_rules_num", "int-value": 70000},
                {"name": "policy.max_chains_num", "int-value": 64}]}})",
                        &reply) ||
            reply.rfind("{\"return\"", 0) != 0) {
            *why = "limits refused: " + reply;
            return false;
        }
        return true;
    }

    bool round_trip(const std::string &request, std::string *reply) const
    {
        if (tls) {
            return tls->RoundTrip(request, reply, 600000);
        }
        if (nn_send(sock, request.data(), request.size(), 0) < 0) {
            *reply = std::string("send: ") + nn_strerror(nn_errno());
            return false;
        }
        char *buf = nullptr;
        int len = nn_recv(sock, &buf, NN_MSG, 0);
        if (len < 0) {
            *reply = std::string("recv: ") + nn_strerror(nn_errno());
            return false;
        }
        reply->assign(buf, static_cast<size_t>(len));
        nn_freemsg(buf);
        return true;
    }

    bool wait_for_log(const char *text, int ms) const
    {
        for (int i = 0; i < ms / 20; i++) {
            g_autofree char *content = nullptr;
            if (g_file_get_contents(log.c_str(), &content, nullptr, nullptr) && strstr(content, text)) {
                return true;
            }
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    void stop()
    {
        if (sock >= 0) {
            nn_close(sock);
        }
        if (pid > 0) {
            kill(pid, SIGINT);
            int status = 0;
            waitpid(pid, &status, 0);
            g_spawn_close_pid(pid);
        }
        if (stdin_fd >= 0) {
            close(stdin_fd);
        }
        /* The driver stays loaded after the module: unload it. */
        g_autofree char *daemon_pid = nullptr;
        if (!dir.empty() && g_file_get_contents((dir + "/run/hv-endrd.pid").c_str(), &daemon_pid, nullptr, nullptr)) {
            pid_t d = static_cast<pid_t>(atoi(daemon_pid));
            if (d > 0 && kill(d, SIGTERM) == 0) {
                while (kill(d, 0) == 0 && g_file_test((dir + "/run/hv-endrd.pid").c_str(), G_FILE_TEST_EXISTS)) {
                    g_usleep(10000);
                }
            }
        }
        if (!dir.empty() && getenv("HV_BENCH_KEEP") == nullptr) {
            g_autofree char *cmd = g_strdup_printf("rm -rf '%s'", dir.c_str());
            if (system(cmd) != 0) {
                fprintf(stderr, "could not remove %s\n", dir.c_str());
            }
        }
    }
};

} // namespace

static void push(benchmark::State &state, BenchTlsPeer *tls)
{
    const size_t rules = static_cast<size_t>(state.range(0));
    BenchPushRequest r = bench_push_request(rules);
    if (r.text.size() >= kServerMessageLimit) {
        state.SkipWithError("request over the server's message limit");
        return;
    }
    Module agent;
    agent.tls = tls;
    std::string why;
    if (!agent.start(&why)) {
        agent.stop();
        state.SkipWithError(why.c_str());
        return;
    }
    uint32_t revision = 0;
    for (auto _ : state) {
        bench_push_request_set_revision(&r, ++revision);
        std::string reply;
        auto start = Clock::now();
        bool ok = agent.round_trip(r.text, &reply);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        std::string expected = "{\"return\": {\"new-revision\": " + std::to_string(revision) + ",";
        if (!ok || reply.rfind(expected, 0) != 0) {
            state.SkipWithError(reply.substr(0, 300).c_str());
            break;
        }
    }
    struct stat st {};
    stat(agent.log.c_str(), &st);
    agent.stop();
    state.counters["rules"] = static_cast<double>(rules);
    state.counters["bytes"] = static_cast<double>(r.text.size());
    state.counters["log_MiB"] = static_cast<double>(st.st_size) / (1 << 20);
    state.SetBytesProcessed(static_cast<int64_t>(r.text.size()) * state.iterations());
}

static void BM_PolicyPushIpc(benchmark::State &state)
{
    push(state, nullptr);
}
BENCHMARK(BM_PolicyPushIpc)->Arg(65536)->Arg(10000)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

static void BM_PolicyPushTls(benchmark::State &state)
{
    BenchTlsPeer peer;
    std::string why;
    if (!peer.Listen(&why)) {
        state.SkipWithError(why.c_str());
        return;
    }
    push(state, &peer);
}
BENCHMARK(BM_PolicyPushTls)->Arg(10000)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
