/* Shared pieces of the command-server tests: test commands, captured logs, a main loop. */
#pragma once

#include <arpa/inet.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "agent-common/agent-metrics.h"
#include "qapi/qmp-registry.h"
#include "qobject/qdict.h"
#include "tests/common/hv-test-support.h"
#include "util/error.h"

/* "test-gate" blocks until the gate opens; it counts its runs. */
struct TestGate {
    std::mutex lock;
    std::condition_variable cv;
    bool open = false;
    int entered = 0;
    int finished = 0;

    static TestGate &get()
    {
        static TestGate gate;
        return gate;
    }
    void Reset()
    {
        std::lock_guard<std::mutex> g(lock);
        open = false;
        entered = 0;
        finished = 0;
    }
    void Open()
    {
        std::lock_guard<std::mutex> g(lock);
        open = true;
        cv.notify_all();
    }
    int Entered()
    {
        std::lock_guard<std::mutex> g(lock);
        return entered;
    }
    int Finished()
    {
        std::lock_guard<std::mutex> g(lock);
        return finished;
    }
};

inline void test_cmd_ping(QDict *, char **, Error **) {}

inline void test_cmd_sleep(QDict *, char **, Error **)
{
    g_usleep(25 * 1000);
}

inline void test_cmd_fail(QDict *, char **, Error **errp)
{
    error_setg(errp, "test command failed");
}

/* Far more than a pipe or socket buffer takes at once. */
constexpr size_t kBigReplyLetters = 1024 * 1024;

/* Returns a JSON string of kBigReplyLetters letters. */
inline void test_cmd_big(QDict *, char **ret, Error **)
{
    std::string text = "\"" + std::string(kBigReplyLetters, 'x') + "\"";
    *ret = g_strdup(text.c_str());
}

/* Registered without a success reply; counts its runs. */
inline std::atomic<int> &silent_runs()
{
    static std::atomic<int> runs{0};
    return runs;
}

inline void test_cmd_silent(QDict *, char **, Error **)
{
    silent_runs()++;
}

inline void test_cmd_gate(QDict *, char **ret, Error **)
{
    TestGate &gate = TestGate::get();
    std::unique_lock<std::mutex> g(gate.lock);
    gate.entered++;
    gate.cv.wait(g, [&] { return gate.open; });
    gate.finished++;
    *ret = g_strdup("{\"gate\": true}");
}

inline void register_test_commands()
{
    static std::once_flag once;
    std::call_once(once, [] {
        initialize_agent_metrics();
        qmp_register_command("ping", test_cmd_ping, 0);
        qmp_register_command("test-fail", test_cmd_fail, 0);
        qmp_register_command("test-sleep", test_cmd_sleep, 0);
        qmp_register_command("test-big", test_cmd_big, 0);
        qmp_register_command("test-gate", test_cmd_gate, 0);
        qmp_register_command("test-silent", test_cmd_silent, QCO_NO_SUCCESS_RESP);
        /* A peer that goes away mid-reply must give a write error, not end the test. */
        signal(SIGPIPE, SIG_IGN);
    });
}

/* Every log line of any level, from any thread, while the object lives. */
struct LogCapture : hvtest::ScopedLogRecord {
    static bool Has(const std::string &line) { return Logged(hvtest::kAnyLevel, line); }
    static bool HasPrefix(const std::string &prefix) { return LoggedPrefix(hvtest::kAnyLevel, prefix); }
};

/* Iterates the default main context until pred holds; false after timeout_ms. */
inline bool run_until(const std::function<bool()> &pred, int timeout_ms = 5000)
{
    gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(timeout_ms) * 1000;
    guint tick = g_timeout_add(5, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    bool ok = pred();
    while (!ok && g_get_monotonic_time() < deadline) {
        g_main_context_iteration(nullptr, TRUE);
        ok = pred();
    }
    g_source_remove(tick);
    return ok;
}

/* Iterates the default main context for about ms milliseconds. */
inline void spin_for(int ms)
{
    gint64 until = g_get_monotonic_time() + static_cast<gint64>(ms) * 1000;
    run_until([&] { return g_get_monotonic_time() >= until; }, ms + 1000);
}

/*
 * Whether this process's connection to 127.0.0.1:port sends small writes at once (no
 * Nagle delay): a reply goes out in several writes, and a delayed one costs ~40 ms.
 */
inline bool sends_without_delay(int port)
{
    GDir *dir = g_dir_open("/proc/self/fd", 0, nullptr);
    bool found = false, nodelay = false;
    while (const char *name = dir ? g_dir_read_name(dir) : nullptr) {
        int fd = atoi(name);
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int type = 0;
        socklen_t tlen = sizeof type;
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tlen) != 0 || type != SOCK_STREAM ||
            getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &len) != 0 || peer.sin_family != AF_INET ||
            ntohs(peer.sin_port) != port || peer.sin_addr.s_addr != htonl(INADDR_LOOPBACK)) {
            continue;
        }
        int value = 0;
        socklen_t vlen = sizeof value;
        /* Only the connecting end has the listener as its peer. */
        found = true;
        nodelay = getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &vlen) == 0 && value != 0;
        break;
    }
    if (dir) {
        g_dir_close(dir);
    }
    return found && nodelay;
}
