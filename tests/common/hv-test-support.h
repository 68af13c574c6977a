/* Helpers shared by the test suites: a process-wide record of log lines, private folders,
 * file text, waiting, a reaped process id, error text and running a program. */
#pragma once

#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "util/error.h"

namespace hvtest {

constexpr GLogLevelFlags kAnyLevel = static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK);

struct LogLine {
    GLogLevelFlags level;
    std::string text;
};

/* Every line that reaches GLib's default handler, from any thread, while installed. There is
 * one record per process; the queries look at the lines whose level is among `levels`. */
class LogRecord {
public:
    static void Install()
    {
        Clear();
        Previous() = g_log_set_default_handler(Capture, nullptr);
    }
    static void Uninstall() { g_log_set_default_handler(Previous(), nullptr); }
    static void Clear()
    {
        std::lock_guard<std::mutex> guard(Lock());
        Lines().clear();
    }

    /* The texts, in order. */
    static std::vector<std::string> Texts(GLogLevelFlags levels = kAnyLevel)
    {
        std::lock_guard<std::mutex> guard(Lock());
        std::vector<std::string> out;
        for (const LogLine &l : Lines()) {
            if (l.level & levels) {
                out.push_back(l.text);
            }
        }
        return out;
    }
    static size_t Count(GLogLevelFlags levels, const std::string &text)
    {
        return CountIf(levels, [&](const std::string &t) { return t == text; });
    }
    static bool Logged(GLogLevelFlags levels, const std::string &text) { return Count(levels, text) > 0; }
    static size_t CountPrefix(GLogLevelFlags levels, const std::string &prefix)
    {
        return CountIf(levels, [&](const std::string &t) { return t.rfind(prefix, 0) == 0; });
    }
    static bool LoggedPrefix(GLogLevelFlags levels, const std::string &prefix)
    {
        return CountPrefix(levels, prefix) > 0;
    }
    static bool LoggedMatching(GLogLevelFlags levels, const std::string &prefix, const std::string &suffix)
    {
        return CountIf(levels, [&](const std::string &t) {
                   return t.size() >= prefix.size() + suffix.size() && t.rfind(prefix, 0) == 0 &&
                          t.compare(t.size() - suffix.size(), suffix.size(), suffix) == 0;
               }) > 0;
    }
    static bool LoggedContaining(const std::string &part)
    {
        return CountIf(kAnyLevel, [&](const std::string &t) { return t.find(part) != std::string::npos; }) > 0;
    }
    /* Index of the first line equal to text, or -1. */
    static long IndexOf(const std::string &text)
    {
        std::lock_guard<std::mutex> guard(Lock());
        for (size_t i = 0; i < Lines().size(); i++) {
            if (Lines()[i].text == text) {
                return static_cast<long>(i);
            }
        }
        return -1;
    }

private:
    template <typename Pred>
    static size_t CountIf(GLogLevelFlags levels, Pred pred)
    {
        std::lock_guard<std::mutex> guard(Lock());
        size_t n = 0;
        for (const LogLine &l : Lines()) {
            n += (l.level & levels) && pred(l.text);
        }
        return n;
    }
    static void Capture(const gchar *, GLogLevelFlags level, const gchar *message, gpointer)
    {
        std::lock_guard<std::mutex> guard(Lock());
        Lines().push_back({level, message});
    }
    static std::mutex &Lock()
    {
        static std::mutex m;
        return m;
    }
    static std::vector<LogLine> &Lines()
    {
        static std::vector<LogLine> lines;
        return lines;
    }
    static GLogFunc &Previous()
    {
        static GLogFunc f = nullptr;
        return f;
    }
};

/* A test whose log is recorded from SetUp to TearDown. */
class LoggingTest : public ::testing::Test, public LogRecord {
protected:
    void SetUp() override { Install(); }
    void TearDown() override { Uninstall(); }
};

/* The record, installed for as long as the object lives. */
struct ScopedLogRecord : LogRecord {
    ScopedLogRecord() { Install(); }
    ~ScopedLogRecord() { Uninstall(); }
};

/* A new folder under the temporary folder, named after prefix. */
inline std::string MakeTempDir(const std::string &prefix)
{
    char *dir = g_dir_make_tmp((prefix + "-XXXXXX").c_str(), nullptr);
    EXPECT_NE(dir, nullptr) << prefix;
    std::string path = dir ? dir : "";
    g_free(dir);
    return path;
}

inline void RemoveTree(const std::string &path)
{
    std::error_code ec;
    if (!path.empty()) {
        std::filesystem::remove_all(path, ec);
    }
}

/* A private folder, removed with its content at the end of the scope. */
class TempDir {
public:
    explicit TempDir(const std::string &prefix = "hv-test") : path_(MakeTempDir(prefix)) {}
    ~TempDir() { RemoveTree(path_); }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

/* The file's bytes, or `missing` when it cannot be read. */
inline std::string ReadFile(const std::string &path, const std::string &missing = "<missing>")
{
    gchar *text = nullptr;
    gsize len = 0;
    if (!g_file_get_contents(path.c_str(), &text, &len, nullptr)) {
        return missing;
    }
    std::string out(text, len);
    g_free(text);
    return out;
}

inline void WriteFile(const std::string &path, const std::string &text)
{
    ASSERT_TRUE(g_file_set_contents(path.c_str(), text.data(), static_cast<gssize>(text.size()), nullptr)) << path;
}

/* The names in a folder, sorted; none when it cannot be read. */
inline std::vector<std::string> ListDir(const std::string &path)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(path, ec)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

/* Polls every step_ms until done holds; false when ms passed first. */
inline bool WaitFor(const std::function<bool()> &done, int ms = 5000, int step_ms = 5)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
    }
    return true;
}

/* A process id that existed a moment ago and has been reaped. */
inline uint64_t ExitedPid()
{
    pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return static_cast<uint64_t>(child);
}

/* The error's message ("" for none); the error is freed. */
inline std::string TakeMessage(Error *err)
{
    std::string msg = err ? error_get_message(err) : "";
    error_free(err);
    return msg;
}

struct Outcome {
    int exit_code = -1; /* 128 + the signal when one ended it */
    std::string out;
    std::string err;
};

/* Runs a program to its end; env NULL keeps this process's environment. */
inline Outcome RunProgram(const std::vector<std::string> &args, const char *cwd = nullptr, char **env = nullptr)
{
    std::vector<char *> argv;
    for (const std::string &a : args) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    gchar *out = nullptr;
    gchar *err = nullptr;
    int status = 0;
    GError *error = nullptr;
    Outcome r;
    if (g_spawn_sync(cwd, argv.data(), env, G_SPAWN_DEFAULT, nullptr, nullptr, &out, &err, &status, &error)) {
        r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    EXPECT_EQ(error, nullptr) << args[0] << ": " << (error ? error->message : "");
    g_clear_error(&error);
    r.out = out ? out : "";
    r.err = err ? err : "";
    g_free(out);
    g_free(err);
    return r;
}

/* Runs write with the process's file size limit at bytes (SIGXFSZ ignored), so that a write
 * stops part way; the limit is restored before returning write's result. */
inline bool WithFileSizeLimit(rlim_t bytes, const std::function<bool()> &write)
{
    struct rlimit saved;
    EXPECT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*old_sig)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit tiny = saved;
    tiny.rlim_cur = bytes;
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    bool ok = write();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_sig);
    return ok;
}

/* The pid of the driver daemon (hv-endrd) of a run-time folder while it runs, else 0. */
inline pid_t DriverDaemonPid(const std::string &runtime_dir)
{
    std::string text = ReadFile(runtime_dir + "/hv-endrd.pid", "");
    pid_t pid = static_cast<pid_t>(atoi(text.c_str()));
    if (pid <= 0) {
        return 0;
    }
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat", "");
    size_t paren = stat.rfind(')');
    bool alive = paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
    return alive ? pid : 0;
}

/* Stops the driver daemon a test's module left loaded (as a driver stays loaded); true when
 * none is left afterwards. */
inline bool StopDriverDaemon(const std::string &runtime_dir)
{
    pid_t pid = DriverDaemonPid(runtime_dir);
    if (pid == 0) {
        return true;
    }
    kill(pid, SIGTERM);
    if (WaitFor([&] { return DriverDaemonPid(runtime_dir) == 0; }, 30000)) {
        return true;
    }
    kill(pid, SIGKILL);
    return false;
}

} // namespace hvtest
