#include "enforcement/platforms/user-sessions.h"
#include "linux-read.h"

#include <gio/gio.h>
#include <glib-unix.h>
#include <glib.h>
#include <fcntl.h>
#include <grp.h>
#include <paths.h>
#include <pwd.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace {

const char *const kLogindName = "org.freedesktop.login1";
const char *const kLogindPath = "/org/freedesktop/login1";
const char *const kLogindManager = "org.freedesktop.login1.Manager";
const char *const kLogindSession = "org.freedesktop.login1.Session";
constexpr int kBusTimeoutMs = 5000;
/* The probe must answer well within the monitor's five-second start. */
constexpr int kProbeTimeoutMs = 1000;

std::string env_or(const char *name, const char *fallback)
{
    const char *v = g_getenv(name);
    return v && *v ? v : fallback;
}

std::string utmp_path() { return env_or("HV_UTMP_FILE", _PATH_UTMP); }

/* A fixed-width, possibly unterminated field. */
std::string field(const char *p, size_t width) { return std::string(p, strnlen(p, width)); }

const char *utmp_type_name(short type)
{
    switch (type) {
    case INIT_PROCESS:
        return "INIT_PROCESS";
    case LOGIN_PROCESS:
        return "LOGIN_PROCESS";
    case USER_PROCESS:
        return "USER_PROCESS";
    case DEAD_PROCESS:
        return "DEAD_PROCESS";
    default:
        return nullptr;
    }
}

bool process_alive(pid_t pid) { return pid <= 0 || kill(pid, 0) == 0 || errno == EPERM; }

GDBusConnection *system_bus(std::string *error)
{
    g_autoptr(GError) gerr = nullptr;
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &gerr);
    if (!bus && error) {
        *error = gerr ? gerr->message : "no system bus";
    }
    return bus;
}

GVariant *bus_call(GDBusConnection *bus, const char *path, const char *iface, const char *method, GVariant *args,
                   const char *reply_type, std::string *error, int timeout_ms = kBusTimeoutMs)
{
    g_autoptr(GError) gerr = nullptr;
    GVariant *r = g_dbus_connection_call_sync(bus, kLogindName, path, iface, method, args,
                                              G_VARIANT_TYPE(reply_type), G_DBUS_CALL_FLAGS_NONE, timeout_ms,
                                              nullptr, &gerr);
    if (!r && error) {
        *error = std::string(method) + ": " + (gerr ? gerr->message : "failed");
    }
    return r;
}

bool logind_list(std::vector<platform_session> *out, std::string *error)
{
    g_autoptr(GDBusConnection) bus = system_bus(error);
    if (!bus) {
        return false;
    }
    g_autoptr(GVariant) reply =
        bus_call(bus, kLogindPath, kLogindManager, "ListSessions", nullptr, "(a(susso))", error);
    if (!reply) {
        return false;
    }
    g_autoptr(GVariantIter) it = nullptr;
    g_variant_get(reply, "(a(susso))", &it);
    const char *id, *user, *seat, *path;
    guint32 uid;
    while (g_variant_iter_loop(it, "(&su&s&s&o)", &id, &uid, &user, &seat, &path)) {
        g_autoptr(GVariant) state =
            bus_call(bus, path, "org.freedesktop.DBus.Properties", "Get", g_variant_new("(ss)", kLogindSession, "State"),
                     "(v)", error);
        if (!state) {
            return false;
        }
        g_autoptr(GVariant) inner = nullptr;
        g_variant_get(state, "(v)", &inner);
        if (!g_variant_is_of_type(inner, G_VARIANT_TYPE_STRING)) {
            *error = std::string("session ") + id + ": State is not a string";
            return false;
        }
        platform_session s;
        s.id = static_cast<uint32_t>(out->size());
        s.name = id;
        s.state = g_variant_get_string(inner, nullptr);
        /* "closing" sessions are lingering processes of a user who logged out. */
        s.active = s.state == "active" || s.state == "online";
        s.user = user;
        s.uid = uid;
        s.has_uid = true;
        out->push_back(std::move(s));
    }
    return true;
}

/* Far above any real login record file or account database; a larger one is refused
 * rather than read whole into memory on every refresh. */
constexpr off_t kMaxFileBytes = 16 << 20;

/* The whole file, or false with *error; ENOENT is reported through *missing when given. */
bool read_bounded(const std::string &path, std::string *text, bool *missing, std::string *error)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st{};
    if (fd < 0 || fstat(fd, &st) != 0) {
        int err = errno;
        if (fd >= 0) {
            close(fd);
        }
        if (missing && err == ENOENT) {
            *missing = true;
            return false;
        }
        *error = path + ": " + g_strerror(err);
        return false;
    }
    if (S_ISREG(st.st_mode) && st.st_size > kMaxFileBytes) {
        close(fd);
        *error = path + ": " + std::to_string(st.st_size) + " bytes, more than the " +
                 std::to_string(kMaxFileBytes) + " read";
        return false;
    }
    /* One byte past the ceiling tells a file grown since the check, or not a regular one. */
    int err = 0;
    bool ok = linux_read_upto(fd, static_cast<size_t>(kMaxFileBytes) + 1, text, &err);
    close(fd);
    if (!ok) {
        *error = path + ": " + g_strerror(err);
        return false;
    }
    if (text->size() > static_cast<size_t>(kMaxFileBytes)) {
        *error = path + ": more than the " + std::to_string(kMaxFileBytes) + " bytes read";
        return false;
    }
    return true;
}

bool utmp_list(std::vector<platform_session> *out, std::string *error)
{
    std::string path = utmp_path();
    std::string data;
    bool missing = false;
    if (!read_bounded(path, &data, &missing, error)) {
        /* No login records at all: nobody logged on through a login service. */
        return missing;
    }
    return platform_parse_utmp(data.data(), data.size(), out, error);
}

/* One line of a passwd or group file split at ':'. */
std::vector<std::string_view> split(std::string_view line, char sep)
{
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t end = line.find(sep, start);
        parts.push_back(line.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

bool parse_id(std::string_view text, uint32_t *out)
{
    if (text.empty() || text.size() > 10) {
        return false;
    }
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > UINT32_MAX) {
        return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

/* Calls fn(fields) for every well-formed line of a colon-separated database; false when
 * the file cannot be read. Comments, blank lines and NIS "+"/"-" lines are skipped. */
template <typename Fn> bool each_entry(const std::string &path, size_t min_fields, Fn fn, std::string *error)
{
    std::string text;
    if (!read_bounded(path, &text, nullptr, error)) {
        return false;
    }
    std::string_view rest(text);
    while (!rest.empty()) {
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.empty() || line[0] == '#' || line[0] == '+' || line[0] == '-') {
            continue;
        }
        std::vector<std::string_view> f = split(line, ':');
        if (f.size() >= min_fields) {
            fn(f);
        }
    }
    return true;
}

std::vector<std::string> admin_group_names()
{
    std::vector<std::string> names;
    const char *v = g_getenv("HV_LOCAL_ADMIN_GROUPS");
    if (!v || !*v) {
        return {"sudo", "wheel"};
    }
    for (std::string_view n : split(v, ',')) {
        if (!n.empty()) {
            names.emplace_back(n);
        }
    }
    return names;
}

void add_gid(std::vector<uint32_t> &gids, uint32_t gid)
{
    if (std::find(gids.begin(), gids.end(), gid) == gids.end()) {
        gids.push_back(gid);
    }
}

/* An account the local files do not hold, through the name services. */
bool nss_lookup(const std::string &user, uint32_t uid, bool has_uid, platform_account *out, std::string *error)
{
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 4096);
    struct passwd pw{};
    struct passwd *found = nullptr;
    int rc;
    while ((rc = has_uid ? getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found)
                         : getpwnam_r(user.c_str(), &pw, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (rc != 0 || !found) {
        *error = "no account " + (has_uid ? std::to_string(uid) : "\"" + user + "\"");
        return false;
    }
    out->uid = pw.pw_uid;
    out->gids.clear();
    add_gid(out->gids, pw.pw_gid);
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    while (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) {
        if (count > 65536) {
            *error = std::string("too many groups for ") + pw.pw_name;
            return false;
        }
        groups.resize(static_cast<size_t>(count));
    }
    for (int i = 0; i < count; i++) {
        add_gid(out->gids, groups[static_cast<size_t>(i)]);
    }
    out->local = false;
    out->admin = pw.pw_uid == 0;
    return true;
}

} // namespace

struct platform_session_watch {
    void (*on_change)(void *) = nullptr;
    void *data = nullptr;
    /* utmp */
    int inotify_fd = -1;
    int wd = -1;
    std::string file_name;
    GSource *source = nullptr;
    /* logind */
    GDBusConnection *bus = nullptr;
    guint manager_sub = 0;
    guint session_sub = 0;
};

platform_session_source platform_sessions_source(std::string *detail)
{
    const char *forced = g_getenv("HV_UTMP_FILE");
    if (forced && *forced) {
        *detail = "utmp file " + utmp_path() + " (HV_UTMP_FILE)";
        return platform_session_source::utmp;
    }
    std::string why;
    g_autoptr(GDBusConnection) bus = system_bus(&why);
    if (bus) {
        g_autoptr(GVariant) r = bus_call(bus, kLogindPath, kLogindManager, "ListSessions", nullptr, "(a(susso))", &why, kProbeTimeoutMs);
        if (r) {
            *detail = "logind on the system bus";
            return platform_session_source::logind;
        }
    }
    *detail = "utmp file " + utmp_path() + " (logind unavailable: " + why + ")";
    return platform_session_source::utmp;
}

bool platform_sessions_list(platform_session_source source, std::vector<platform_session> *out, std::string *error)
{
    out->clear();
    bool ok = source == platform_session_source::logind ? logind_list(out, error) : utmp_list(out, error);
    if (!ok) {
        out->clear();
    }
    return ok;
}

bool platform_parse_utmp(const void *data, size_t length, std::vector<platform_session> *out, std::string *error)
{
    if (length % sizeof(struct utmp) != 0) {
        *error = "utmp length " + std::to_string(length) + " is not a whole number of records";
        return false;
    }
    const auto *bytes = static_cast<const uint8_t *>(data);
    for (size_t off = 0; off < length; off += sizeof(struct utmp)) {
        struct utmp u;
        memcpy(&u, bytes + off, sizeof u);
        const char *type = utmp_type_name(u.ut_type);
        if (!type) {
            continue; /* boot time, run level, clock changes: not sessions */
        }
        platform_session s;
        s.id = static_cast<uint32_t>(out->size());
        s.name = field(u.ut_line, sizeof u.ut_line);
        s.user = field(u.ut_user, sizeof u.ut_user);
        s.state = type;
        s.active = u.ut_type == USER_PROCESS && !s.user.empty();
        if (s.active && !process_alive(u.ut_pid)) {
            s.active = false;
            s.state = "USER_PROCESS (stale)";
        }
        out->push_back(std::move(s));
    }
    return true;
}

bool platform_account_lookup(const std::string &user, uint32_t uid, bool has_uid, platform_account *out,
                             std::string *error)
{
    *out = platform_account{};
    bool found = false;
    uint32_t gid = 0;
    std::string name;
    if (!each_entry(
            env_or("HV_PASSWD_FILE", "/etc/passwd"), 4,
            [&](const std::vector<std::string_view> &f) {
                uint32_t u, g;
                if (found || !parse_id(f[2], &u) || !parse_id(f[3], &g)) {
                    return;
                }
                if (has_uid ? u == uid : f[0] == user) {
                    found = true;
                    out->uid = u;
                    gid = g;
                    name = f[0];
                }
            },
            error)) {
        return false;
    }
    if (!found) {
        return nss_lookup(user, uid, has_uid, out, error);
    }
    out->local = true;
    out->admin = out->uid == 0;
    add_gid(out->gids, gid);
    std::vector<std::string> admins = admin_group_names();
    return each_entry(
        env_or("HV_GROUP_FILE", "/etc/group"), 4,
        [&](const std::vector<std::string_view> &f) {
            uint32_t g;
            if (!parse_id(f[2], &g)) {
                return;
            }
            bool member = g == gid;
            for (std::string_view m : split(f[3], ',')) {
                member = member || m == name;
            }
            if (!member) {
                return;
            }
            add_gid(out->gids, g);
            if (std::find(admins.begin(), admins.end(), f[0]) != admins.end()) {
                out->admin = true;
            }
        },
        error);
}

namespace {

gboolean on_inotify(gint fd, GIOCondition, gpointer data)
{
    auto *w = static_cast<platform_session_watch *>(data);
    alignas(struct inotify_event) char buf[4096];
    bool hit = false;
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(struct inotify_event)) <= n;) {
            auto *ev = reinterpret_cast<struct inotify_event *>(buf + off);
            size_t whole = sizeof(struct inotify_event) + ev->len;
            if (off + static_cast<ssize_t>(whole) > n) {
                break;
            }
            if ((ev->mask & IN_Q_OVERFLOW) || (ev->len && w->file_name == ev->name)) {
                hit = true;
            }
            off += static_cast<ssize_t>(whole);
        }
    }
    if (hit) {
        w->on_change(w->data);
    }
    return G_SOURCE_CONTINUE;
}

void on_signal(GDBusConnection *, const char *, const char *, const char *, const char *, GVariant *, gpointer data)
{
    auto *w = static_cast<platform_session_watch *>(data);
    w->on_change(w->data);
}

} // namespace

platform_session_watch *platform_session_watch_new(platform_session_source source, void (*on_change)(void *),
                                                   void *data, std::string *error)
{
    auto *w = new platform_session_watch;
    w->on_change = on_change;
    w->data = data;
    if (source == platform_session_source::logind) {
        w->bus = system_bus(error);
        if (!w->bus) {
            delete w;
            return nullptr;
        }
        /* Delivered on the thread-default context current now, the caller's. */
        w->manager_sub = g_dbus_connection_signal_subscribe(w->bus, kLogindName, kLogindManager, nullptr, kLogindPath,
                                                            nullptr, G_DBUS_SIGNAL_FLAGS_NONE, on_signal, w, nullptr);
        w->session_sub = g_dbus_connection_signal_subscribe(w->bus, kLogindName, "org.freedesktop.DBus.Properties",
                                                            "PropertiesChanged", nullptr, kLogindSession,
                                                            G_DBUS_SIGNAL_FLAGS_NONE, on_signal, w, nullptr);
        return w;
    }
    std::string path = utmp_path();
    g_autofree char *dir = g_path_get_dirname(path.c_str());
    g_autofree char *base = g_path_get_basename(path.c_str());
    w->file_name = base;
    w->inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (w->inotify_fd < 0) {
        *error = std::string("inotify: ") + g_strerror(errno);
        delete w;
        return nullptr;
    }
    /* The folder, not the file: login tools may replace the file or create it later. */
    w->wd = inotify_add_watch(w->inotify_fd, dir,
                              IN_CLOSE_WRITE | IN_MODIFY | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_MOVED_FROM);
    if (w->wd < 0) {
        *error = std::string("inotify watch on ") + dir + ": " + g_strerror(errno);
        close(w->inotify_fd);
        delete w;
        return nullptr;
    }
    w->source = g_unix_fd_source_new(w->inotify_fd, G_IO_IN);
    g_source_set_callback(w->source, G_SOURCE_FUNC(on_inotify), w, nullptr);
    g_source_attach(w->source, g_main_context_get_thread_default());
    return w;
}

void platform_session_watch_free(platform_session_watch *watch)
{
    if (!watch) {
        return;
    }
    if (watch->source) {
        g_source_destroy(watch->source);
        g_source_unref(watch->source);
    }
    if (watch->inotify_fd >= 0) {
        close(watch->inotify_fd);
    }
    if (watch->bus) {
        g_dbus_connection_signal_unsubscribe(watch->bus, watch->manager_sub);
        g_dbus_connection_signal_unsubscribe(watch->bus, watch->session_sub);
        g_object_unref(watch->bus);
    }
    delete watch;
}
