/* Shared pieces of the command-server tests: test commands, captured logs, a main loop. */
#pragma once

#include <glib.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>

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
        /* A peer that goes away mid-reply must give a write error, not end the test. */
        signal(SIGPIPE, SIG_IGN);
    });
}

/* Every log line of any level, from any thread. */
class LogCapture {
public:
    LogCapture() { old_ = g_log_set_default_handler(capture, this); }
    ~LogCapture() { g_log_set_default_handler(old_, nullptr); }

    bool Has(const std::string &line)
    {
        std::lock_guard<std::mutex> g(lock_);
        for (const std::string &l : lines_) {
            if (l == line) {
                return true;
            }
        }
        return false;
    }
    int CountPrefix(const std::string &prefix)
    {
        std::lock_guard<std::mutex> g(lock_);
        int n = 0;
        for (const std::string &l : lines_) {
            n += l.rfind(prefix, 0) == 0;
        }
        return n;
    }
    bool HasPrefix(const std::string &prefix) { return CountPrefix(prefix) > 0; }
    std::string Dump()
    {
        std::lock_guard<std::mutex> g(lock_);
        std::string all;
        for (const std::string &l : lines_) {
            all += l + "\n";
        }
        return all;
    }

private:
    static void capture(const gchar *, GLogLevelFlags, const gchar *message, gpointer opaque)
    {
        LogCapture *self = static_cast<LogCapture *>(opaque);
        std::lock_guard<std::mutex> g(self->lock_);
        self->lines_.emplace_back(message);
    }
    std::mutex lock_;
    std::vector<std::string> lines_;
    GLogFunc old_ = nullptr;
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

/* A private folder for sockets. */
class TempDir {
public:
    TempDir()
    {
        char *dir = g_dir_make_tmp("hv-qmp-XXXXXX", nullptr);
        path_ = dir ? dir : "";
        g_free(dir);
    }
    ~TempDir()
    {
        GDir *dir = g_dir_open(path_.c_str(), 0, nullptr);
        if (dir) {
            while (const char *name = g_dir_read_name(dir)) {
                g_remove((path_ + "/" + name).c_str());
            }
            g_dir_close(dir);
        }
        g_rmdir(path_.c_str());
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};
