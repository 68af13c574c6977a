#include "enforcement/platforms/service-map.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gio/gio.h>
#include <glib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

namespace {

constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorInvalidData = 13;
const char *const kDefaultUnitPath = "/etc/systemd/system:/run/systemd/system:/lib/systemd/system:/usr/lib/systemd/system";
constexpr std::string_view kSuffix = ".service";
/* The cgroup walk stops this deep and after this many folders: a machine running many
 * containers must not turn one refresh into a long walk. */
constexpr int kMaxCgroupDepth = 8;
constexpr size_t kMaxCgroupFolders = 20000;

std::mutex s_lock;
std::map<std::string, uint32_t, std::less<>> s_tags;
uint32_t s_next_tag = 1;

std::string env_or(const char *name, const char *fallback)
{
    const char *v = g_getenv(name);
    return v && v[0] ? v : fallback;
}

std::string proc_root()
{
    return env_or("HV_PROC_ROOT", "/proc");
}

std::string cgroup_root()
{
    return env_or("HV_CGROUP_ROOT", "/sys/fs/cgroup");
}

std::string unit_path()
{
    return env_or("HV_UNIT_PATH", kDefaultUnitPath);
}

constexpr std::string_view kScopeSuffix = ".scope";
/* systemd refuses longer unit names. */
constexpr size_t kMaxUnitName = 255;

bool ends_with(std::string_view n, std::string_view suffix)
{
    return n.size() >= suffix.size() && n.substr(n.size() - suffix.size()) == suffix;
}

/* Only the bytes systemd allows in a unit name: an odd name is no unit of the manager's,
 * and one such folder must not make the whole map unsendable. */
bool unit_chars(std::string_view n)
{
    return std::all_of(n.begin(), n.end(), [](char c) {
        return g_ascii_isalnum(c) || c == ':' || c == '_' || c == '.' || c == '-' || c == '@' || c == '\\';
    });
}

bool is_service_name(std::string_view n)
{
    return n.size() > kSuffix.size() && n.size() <= kMaxUnitName && ends_with(n, kSuffix) &&
           n[n.size() - kSuffix.size() - 1] != '@' && n[0] != '.' && unit_chars(n);
}

/* Below a service or a scope the tree belongs to that unit: with delegation its owner,
 * possibly an unprivileged user or a container, names the folders there, so a folder
 * called like a system service is no proof of one. */
bool owns_its_subtree(std::string_view n)
{
    return ends_with(n, kSuffix) || ends_with(n, kScopeSuffix);
}

bool is_dir(const std::string &parent, const struct dirent *e)
{
    if (e->d_type == DT_DIR) {
        return true;
    }
    if (e->d_type != DT_UNKNOWN) {
        return false;
    }
    struct stat st{};
    return lstat((parent + "/" + e->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void walk_cgroups(const std::string &dir, int depth, std::set<std::string> *names, size_t *budget)
{
    DIR *d = opendir(dir.c_str());
    if (!d) {
        return;
    }
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.' || !is_dir(dir, e)) {
            continue;
        }
        if (is_service_name(e->d_name)) {
            names->insert(e->d_name);
        }
        if (owns_its_subtree(e->d_name)) {
            continue;
        }
        if (depth < kMaxCgroupDepth && *budget > 0) {
            --*budget;
            walk_cgroups(dir + "/" + e->d_name, depth + 1, names, budget);
        }
    }
    closedir(d);
}

/* A masked unit is a link to /dev/null: it cannot run. */
bool masked(const std::string &path)
{
    char target[64];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) {
        return false;
    }
    target[n] = '\0';
    return strcmp(target, "/dev/null") == 0;
}

bool list_unit_files(const std::string &dir, std::set<std::string> *names)
{
    DIR *d = opendir(dir.c_str());
    if (!d) {
        return false;
    }
    while (struct dirent *e = readdir(d)) {
        if (is_service_name(e->d_name) && !is_dir(dir, e) && !masked(dir + "/" + e->d_name)) {
            names->insert(e->d_name);
        }
    }
    closedir(d);
    return true;
}

/* Caller holds s_lock. */
uint32_t tag_of(const std::string &name)
{
    auto it = s_tags.find(name);
    if (it != s_tags.end()) {
        return it->second;
    }
    uint32_t tag = s_next_tag++;
    s_tags.emplace(name, tag);
    return tag;
}

bool hex_u32(std::string_view s, uint32_t *out)
{
    if (s.empty() || s.size() > 8) {
        return false;
    }
    uint32_t v = 0;
    for (char c : s) {
        int d = g_ascii_xdigit_value(c);
        if (d < 0) {
            return false;
        }
        v = v << 4 | static_cast<uint32_t>(d);
    }
    *out = v;
    return true;
}

/* "ADDR:PORT" as the kernel prints it: each 32-bit word of the address in host order. */
bool parse_endpoint(std::string_view s, bool ipv6, uint8_t addr[16], uint16_t *port)
{
    size_t colon = s.find(':');
    size_t hex = ipv6 ? 32 : 8;
    uint32_t p = 0;
    if (colon != hex || !hex_u32(s.substr(colon + 1), &p) || p > 0xFFFF) {
        return false;
    }
    memset(addr, 0, 16);
    for (size_t w = 0; w < hex / 8; w++) {
        uint32_t word = 0;
        if (!hex_u32(s.substr(w * 8, 8), &word)) {
            return false;
        }
        if (!ipv6) {
            word = ntohl(word);
        }
        memcpy(addr + 4 * w, &word, 4);
    }
    *port = static_cast<uint16_t>(p);
    return true;
}

std::vector<std::string_view> fields(std::string_view line)
{
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            i++;
        }
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            i++;
        }
        if (i > start) {
            out.push_back(line.substr(start, i - start));
        }
    }
    return out;
}

/* Socket inode -> pid, from every process's descriptors. */
std::unordered_map<uint64_t, uint64_t> socket_owners(const std::string &proc)
{
    std::unordered_map<uint64_t, uint64_t> owners;
    DIR *d = opendir(proc.c_str());
    if (!d) {
        return owners;
    }
    while (struct dirent *e = readdir(d)) {
        char *end = nullptr;
        uint64_t pid = g_ascii_strtoull(e->d_name, &end, 10);
        if (!g_ascii_isdigit(e->d_name[0]) || *end) {
            continue;
        }
        std::string fd_dir = proc + "/" + e->d_name + "/fd";
        DIR *fds = opendir(fd_dir.c_str());
        if (!fds) {
            continue;
        }
        while (struct dirent *f = readdir(fds)) {
            char target[64];
            ssize_t n = readlinkat(dirfd(fds), f->d_name, target, sizeof target - 1);
            if (n <= 0) {
                continue;
            }
            target[n] = '\0';
            unsigned long long inode = 0;
            if (sscanf(target, "socket:[%llu]", &inode) == 1) {
                owners.emplace(inode, pid);
            }
        }
        closedir(fds);
    }
    closedir(d);
    return owners;
}

/* user@UID.service: a user's own service manager, whose tree holds that user's programs. */
bool user_manager(std::string_view n)
{
    constexpr std::string_view kPrefix = "user@";
    std::string_view uid = n.substr(0, n.size() - kSuffix.size());
    if (uid.substr(0, kPrefix.size()) != kPrefix) {
        return false;
    }
    uid.remove_prefix(kPrefix.size());
    return !uid.empty() && std::all_of(uid.begin(), uid.end(), [](char c) { return g_ascii_isdigit(c); });
}

/* The first NAME.service component of a cgroup path, "" when a scope (or an odd
 * service-like name) comes first: what lies below belongs to that unit. A user's
 * programs, in a session scope or under the user's manager, are in no service. */
std::string service_in_path(std::string_view path)
{
    while (!path.empty()) {
        size_t slash = path.find('/');
        std::string_view part = path.substr(0, slash);
        if (owns_its_subtree(part)) {
            return is_service_name(part) && !user_manager(part) ? std::string(part) : std::string();
        }
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    }
    return "";
}

} // namespace

bool platform_service_tags(std::vector<platform_service_tag> *out, uint32_t *win32_error)
{
    std::set<std::string> names;
    bool readable = false;
    g_auto(GStrv) dirs = g_strsplit(unit_path().c_str(), ":", -1);
    for (char **dir = dirs; *dir; dir++) {
        readable |= (*dir)[0] && list_unit_files(*dir, &names);
    }
    std::string root = cgroup_root();
    if (g_file_test(root.c_str(), G_FILE_TEST_IS_DIR)) {
        readable = true;
        size_t budget = kMaxCgroupFolders;
        walk_cgroups(root, 0, &names, &budget);
    }
    if (!readable) {
        *win32_error = kErrorFileNotFound;
        return false;
    }
    out->clear();
    std::lock_guard<std::mutex> guard(s_lock);
    for (const std::string &n : names) {
        out->push_back({tag_of(n), n});
    }
    std::sort(out->begin(), out->end(), [](const auto &a, const auto &b) { return a.tag < b.tag; });
    return true;
}

void platform_service_tags_reset(void)
{
    std::lock_guard<std::mutex> guard(s_lock);
    s_tags.clear();
    s_next_tag = 1;
}

std::string platform_service_sources(void)
{
    return "unit files in " + unit_path() + " and the cgroup tree under " + cgroup_root();
}

std::string platform_parse_cgroup_service(std::string_view text)
{
    /* Lines are "id:controllers:path"; systemd's own hierarchy names the unit best. */
    std::string by_rank[3];
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        size_t a = line.find(':');
        size_t b = a == std::string_view::npos ? a : line.find(':', a + 1);
        if (b == std::string_view::npos) {
            continue;
        }
        std::string_view controllers = line.substr(a + 1, b - a - 1);
        int rank = controllers == "name=systemd" ? 0 : controllers.empty() ? 1 : 2;
        if (by_rank[rank].empty()) {
            by_rank[rank] = service_in_path(line.substr(b + 1));
        }
    }
    for (const std::string &s : by_rank) {
        if (!s.empty()) {
            return s;
        }
    }
    return "";
}

bool platform_process_service_of(uint64_t pid, std::string *service)
{
    service->clear();
    g_autofree char *path = g_strdup_printf("%s/%" G_GUINT64_FORMAT "/cgroup", proc_root().c_str(), pid);
    g_autofree char *text = nullptr;
    gsize len = 0;
    if (pid == 0 || !g_file_get_contents(path, &text, &len, nullptr)) {
        return false;
    }
    *service = platform_parse_cgroup_service(std::string_view(text, len));
    return true;
}

std::string platform_process_service(uint64_t pid)
{
    std::string service;
    platform_process_service_of(pid, &service);
    return service;
}

struct platform_service_watch {
    void (*changed)(void *data) = nullptr;
    void *data = nullptr;
    GMainContext *context = nullptr;
    GMainLoop *loop = nullptr;
    GThread *thread = nullptr;
    GDBusConnection *bus = nullptr;
    guint subscription = 0;
    gulong closed_handler = 0;
    std::atomic<bool> lost{false};
};

namespace {

constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorServiceDoesNotExist = 1060;
constexpr int kBusCallTimeoutMs = 5000;
const char *const kSystemd = "org.freedesktop.systemd1";
const char *const kSystemdPath = "/org/freedesktop/systemd1";
const char *const kManager = "org.freedesktop.systemd1.Manager";

void on_manager_signal(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *signal, GVariant *,
                       gpointer user)
{
    auto *w = static_cast<platform_service_watch *>(user);
    if (g_strcmp0(signal, "UnitNew") == 0 || g_strcmp0(signal, "UnitRemoved") == 0 ||
        g_strcmp0(signal, "UnitFilesChanged") == 0) {
        w->changed(w->data);
    }
}

void on_closed(GDBusConnection *, gboolean, GError *, gpointer user)
{
    auto *w = static_cast<platform_service_watch *>(user);
    w->lost = true;
    w->changed(w->data);
}

void *watch_main(void *arg)
{
    auto *w = static_cast<platform_service_watch *>(arg);
    g_main_context_push_thread_default(w->context);
    g_main_loop_run(w->loop);
    g_main_context_pop_thread_default(w->context);
    return nullptr;
}

/* Everything but the thread; the context must not be any thread's default. */
void watch_free(platform_service_watch *w)
{
    if (w->bus) {
        if (w->subscription) {
            g_dbus_connection_signal_unsubscribe(w->bus, w->subscription);
        }
        if (w->closed_handler) {
            g_signal_handler_disconnect(w->bus, w->closed_handler);
        }
        g_dbus_connection_close_sync(w->bus, nullptr, nullptr);
        g_object_unref(w->bus);
    }
    /* Pending callbacks of the unsubscription hold the context until they ran. */
    while (g_main_context_iteration(w->context, FALSE)) {
    }
    if (w->loop) {
        g_main_loop_unref(w->loop);
    }
    g_main_context_unref(w->context);
    delete w;
}

platform_service_watch *watch_fail(platform_service_watch *w, uint32_t code, const std::string &text, GError *err,
                                   uint32_t *win32_error, std::string *why)
{
    *win32_error = code;
    *why = err ? text + ": " + err->message : text;
    g_clear_error(&err);
    g_main_context_pop_thread_default(w->context);
    watch_free(w);
    return nullptr;
}

} // namespace

platform_service_watch *platform_service_watch_open(void (*changed)(void *data), void *data, uint32_t *win32_error,
                                                    std::string *why)
{
    auto *w = new platform_service_watch;
    w->changed = changed;
    w->data = data;
    w->context = g_main_context_new();
    /* Signals and the closed notice are delivered in the context current at their setup. */
    g_main_context_push_thread_default(w->context);
    GError *err = nullptr;
    const char *forced = g_getenv("HV_SYSTEMD_BUS_ADDRESS");
    g_autofree char *address = forced && forced[0] ? g_strdup(forced)
                                                   : g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &err);
    if (!address) {
        return watch_fail(w, kErrorFileNotFound, "no system bus address", err, win32_error, why);
    }
    w->bus = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &err);
    if (!w->bus) {
        return watch_fail(w, kErrorFileNotFound, std::string("cannot reach the bus at ") + address, err, win32_error,
                          why);
    }
    g_dbus_connection_set_exit_on_close(w->bus, FALSE);
    GVariant *owned = g_dbus_connection_call_sync(w->bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", kSystemd),
                                                  G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, kBusCallTimeoutMs,
                                                  nullptr, &err);
    gboolean present = FALSE;
    if (owned) {
        g_variant_get(owned, "(b)", &present);
        g_variant_unref(owned);
    }
    if (!present) {
        return watch_fail(w, kErrorServiceDoesNotExist, std::string("no systemd on the bus at ") + address, err,
                          win32_error, why);
    }
    w->subscription = g_dbus_connection_signal_subscribe(w->bus, kSystemd, kManager, nullptr, kSystemdPath, nullptr,
                                                         G_DBUS_SIGNAL_FLAGS_NONE, on_manager_signal, w, nullptr);
    w->closed_handler = g_signal_connect(w->bus, "closed", G_CALLBACK(on_closed), w);
    /* systemd sends unit signals only to subscribed clients. */
    GVariant *r = g_dbus_connection_call_sync(w->bus, kSystemd, kSystemdPath, kManager, "Subscribe", nullptr, nullptr,
                                              G_DBUS_CALL_FLAGS_NONE, kBusCallTimeoutMs, nullptr, &err);
    if (!r) {
        return watch_fail(w, kErrorInvalidFunction, "systemd refused the subscription", err, win32_error, why);
    }
    g_variant_unref(r);
    g_main_context_pop_thread_default(w->context);
    w->loop = g_main_loop_new(w->context, FALSE);
    w->thread = g_thread_new("service-watch", watch_main, w);
    return w;
}

bool platform_service_watch_lost(const platform_service_watch *watch)
{
    return watch && watch->lost;
}

void platform_service_watch_close(platform_service_watch *w)
{
    if (!w) {
        return;
    }
    /* Quit from inside the loop: a quit before the thread runs it would be lost. */
    GSource *quit = g_idle_source_new();
    g_source_set_callback(
        quit,
        [](gpointer loop) {
            g_main_loop_quit(static_cast<GMainLoop *>(loop));
            return G_SOURCE_REMOVE;
        },
        w->loop, nullptr);
    g_source_attach(quit, w->context);
    g_source_unref(quit);
    g_thread_join(w->thread);
    watch_free(w);
}

bool platform_parse_socket_table(std::string_view text, bool ipv6, bool udp, std::vector<platform_socket_row> *rows)
{
    rows->clear();
    bool header = true;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (header) {
            header = false;
            continue;
        }
        std::vector<std::string_view> f = fields(line);
        if (f.empty()) {
            continue;
        }
        /* sl local rem st tx:rx tr:when retrnsmt uid timeout inode ... */
        platform_socket_row row{};
        char *end = nullptr;
        std::string inode(f.size() > 9 ? f[9] : "");
        if (f.size() < 10 || !parse_endpoint(f[1], ipv6, row.socket.local, &row.socket.local_port) ||
            !parse_endpoint(f[2], ipv6, row.socket.remote, &row.socket.remote_port) || inode.empty() ||
            !g_ascii_isdigit(inode[0])) {
            return false;
        }
        row.inode = g_ascii_strtoull(inode.c_str(), &end, 10);
        if (*end) {
            return false;
        }
        if (udp) {
            memset(row.socket.remote, 0, sizeof row.socket.remote);
            row.socket.remote_port = 0;
        }
        rows->push_back(row);
    }
    return true;
}

bool platform_service_sockets(platform_socket_table table, std::vector<platform_service_socket> *out,
                              uint32_t *win32_error)
{
    static const char *const names[] = {"tcp", "udp", "tcp6", "udp6"};
    bool ipv6 = table == PLATFORM_SOCKETS_TCP6 || table == PLATFORM_SOCKETS_UDP6;
    bool udp = table == PLATFORM_SOCKETS_UDP || table == PLATFORM_SOCKETS_UDP6;
    std::string proc = proc_root();
    g_autofree char *path = g_strdup_printf("%s/net/%s", proc.c_str(), names[table]);
    g_autofree char *text = nullptr;
    gsize len = 0;
    if (!g_file_get_contents(path, &text, &len, nullptr)) {
        *win32_error = kErrorFileNotFound;
        return false;
    }
    std::vector<platform_socket_row> rows;
    if (!platform_parse_socket_table(std::string_view(text, len), ipv6, udp, &rows)) {
        *win32_error = kErrorInvalidData;
        return false;
    }
    out->clear();
    if (rows.empty()) {
        return true;
    }
    std::unordered_map<uint64_t, uint64_t> owners = socket_owners(proc);
    std::unordered_map<uint64_t, std::string> services;
    std::lock_guard<std::mutex> guard(s_lock);
    for (platform_socket_row &row : rows) {
        auto owner = row.inode ? owners.find(row.inode) : owners.end();
        if (owner != owners.end()) {
            auto known = services.find(owner->second);
            if (known == services.end()) {
                known = services.emplace(owner->second, platform_process_service(owner->second)).first;
            }
            row.socket.service_tag = known->second.empty() ? 0 : tag_of(known->second);
        }
        out->push_back(row.socket);
    }
    return true;
}
