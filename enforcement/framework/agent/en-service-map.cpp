#include "enforcement/framework/agent/en-service-map.h"

#include <glib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "agent-common/logger.h"
#include "enforcement/framework/agent/en-driver.h"
#include "enforcement/platforms/platform-error.h"

struct en_service_name_map_monitor {
    platform_device *device = nullptr;
    GThread *thread = nullptr;
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false;
    bool notified = false;
    /* Owned by the thread while it runs. */
    std::vector<uint8_t> last_map;
    bool sent = false;
};

namespace {

std::atomic<uint32_t> s_interval_ms{EN_SERVICE_MAP_REFRESH_MS};
/* Any user can make the manager announce units (loading one is enough), so notifications
 * alone never bring refreshes closer together than this. */
constexpr auto kNotifiedRefreshGap = std::chrono::milliseconds(1000);

template <typename T> void put(uint8_t *at, T v)
{
    memcpy(at, &v, sizeof v);
}

void refresh(en_service_name_map_monitor *m)
{
    std::vector<platform_service_tag> entries;
    uint32_t code = 0;
    if (!platform_service_tags(&entries, &code)) {
        logger_win32_critical(code, "[service_name_map] failed to refresh");
        return;
    }
    std::vector<uint8_t> map;
    if (!en_service_name_map_convert(entries, &map)) {
        return;
    }
    if (m->sent && map == m->last_map) {
        g_debug("[service_name_map] refresh: map hasn't changed");
        return;
    }
    if (!en_driver_send_buffer(m->device, EN_IOCTL_SET_SERVICE_NAME_MAP, map.data(), static_cast<uint32_t>(map.size()))) {
        /* Not remembered: the next refresh sends it again. */
        logger_win32_critical(en_driver_last_error(), "[service_name_map] refresh: kernel call failed");
        return;
    }
    g_message("[service_name_map] refresh: sent new map to kernel");
    m->last_map = std::move(map);
    m->sent = true;
}

/* Runs on the watch's thread. */
void notify(void *arg)
{
    auto *m = static_cast<en_service_name_map_monitor *>(arg);
    g_message("[service_name_map] service table changed!");
    {
        std::lock_guard<std::mutex> guard(m->lock);
        m->notified = true;
    }
    m->wake.notify_all();
}

constexpr int kRegisterTries = 3;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorServiceDoesNotExist = 1060;

enum class registration { done, unavailable, failed };

registration register_for_notifications(en_service_name_map_monitor *m, platform_service_watch **watch)
{
    for (int attempt = 0; attempt < kRegisterTries; attempt++) {
        uint32_t code = 0;
        std::string why;
        *watch = platform_service_watch_open(notify, m, &code, &why);
        if (*watch) {
            g_message("[service_name_map] registered for SCM notifications");
            return registration::done;
        }
        /* Without a bus or without systemd there is nothing to register with: rescans alone
         * follow the services, and trying again every interval would only fill the log. */
        if (code == kErrorFileNotFound || code == kErrorServiceDoesNotExist) {
            g_message("[service_name_map] no service change notifications (%s); refreshing every %u ms", why.c_str(),
                      s_interval_ms.load());
            return registration::unavailable;
        }
        g_warning("[service_name_map] register for service notification failed: %s", why.c_str());
        g_warning("[service_name_map] register for SCM notification failed (try=%d)", attempt);
    }
    g_warning("[service_name_map] register for SCM notification failed after %d tries", kRegisterTries);
    return registration::failed;
}

void *monitor_main(void *arg)
{
    auto *m = static_cast<en_service_name_map_monitor *>(arg);
    g_message("[service_name_map] monitoring thread started");
    g_message("[service_name_map] listing services from %s", platform_service_sources().c_str());
    bool want_register = true;
    platform_service_watch *watch = nullptr;
    std::unique_lock<std::mutex> lock(m->lock);
    auto last_refresh = std::chrono::steady_clock::now();
    while (!m->stop) {
        lock.unlock();
        refresh(m);
        last_refresh = std::chrono::steady_clock::now();
        if (want_register) {
            want_register = register_for_notifications(m, &watch) == registration::failed;
        }
        lock.lock();
        if (m->wake.wait_for(lock, std::chrono::milliseconds(s_interval_ms.load()),
                             [m] { return m->stop || m->notified; }) &&
            m->stop) {
            g_message("[service_name_map] breaking out of monitoring thread - got stop signal");
            break;
        }
        if (!m->notified) {
            g_debug("[service_name_map] refreshing (hit refresh interval)");
            continue;
        }
        if (m->wake.wait_until(lock, last_refresh + kNotifiedRefreshGap, [m] { return m->stop; })) {
            g_message("[service_name_map] breaking out of monitoring thread - got stop signal");
            break;
        }
        m->notified = false;
        g_message("[service_name_map] refreshing (got notified of service table change)");
        if (platform_service_watch_lost(watch)) {
            /* The watch's thread may wait for this lock in notify. */
            lock.unlock();
            g_warning("[service_name_map] lost the service change notifications, registering again");
            platform_service_watch_close(watch);
            watch = nullptr;
            want_register = true;
            lock.lock();
        }
    }
    g_message("[service_name_map] monitoring thread finished");
    lock.unlock();
    platform_service_watch_close(watch);
    return nullptr;
}

bool is_loopback(const platform_service_socket &s, bool ipv6)
{
    if (!ipv6) {
        uint32_t host = 0;
        memcpy(&host, s.local, 4);
        return host >> 24 == 127;
    }
    static const uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return memcmp(s.local, kLoopback6, 16) == 0;
}

bool counts(const platform_service_socket &s, bool ipv6)
{
    return s.service_tag != 0 && s.local_port != 0 && !is_loopback(s, ipv6);
}

struct table_spec {
    platform_socket_table table;
    const char *name;
    const char *label;
    uint8_t protocol;
    uint8_t family;
};

constexpr table_spec kTables[] = {
    {PLATFORM_SOCKETS_TCP, "TCP", "tcp", 0, 1},
    {PLATFORM_SOCKETS_UDP, "UDP", "udp", 1, 1},
    {PLATFORM_SOCKETS_TCP6, "TCP6", "tcp6", 0, 2},
    {PLATFORM_SOCKETS_UDP6, "UDP6", "udp6", 1, 2},
};

} // namespace

bool en_service_name_map_module_init(void)
{
    g_message("[service_name_map] initializing module");
    return true;
}

void en_service_name_map_module_free(void)
{
    g_message("[service_name_map] freeing module");
    platform_service_tags_reset();
}

bool en_service_name_map_convert(const std::vector<platform_service_tag> &entries, std::vector<uint8_t> *out)
{
    if (entries.empty() || entries.size() > EN_SERVICE_MAP_MAX_ENTRIES) {
        g_warning("[service_name_map] convert: cannot handle map of size %u", static_cast<unsigned>(entries.size()));
        return false;
    }
    size_t total = 8;
    for (const platform_service_tag &e : entries) {
        if (!g_utf8_validate(e.name.data(), static_cast<gssize>(e.name.size()), nullptr)) {
            g_warning("[service_name_map] convert: error converting service name to UTF-8: %s",
                      "invalid byte sequence");
            return false;
        }
        if (e.name.size() > EN_SERVICE_MAP_MAX_NAME) {
            g_warning("[service_name_map] convert: cannot handle service name of length %zu: %s", e.name.size(),
                      e.name.c_str());
            return false;
        }
        total += e.name.size() + 11;
    }
    std::vector<const platform_service_tag *> sorted;
    sorted.reserve(entries.size());
    for (const platform_service_tag &e : entries) {
        sorted.push_back(&e);
    }
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto *a, const auto *b) { return a->tag < b->tag; });
    g_debug("[service_name_map] convert: writing %u entries, %u bytes", static_cast<unsigned>(entries.size()),
            static_cast<unsigned>(total));
    out->assign(total, 0);
    uint8_t *p = out->data();
    uint8_t *end = p + total;
    put<uint32_t>(p, static_cast<uint32_t>(total));
    put<uint32_t>(p + 4, static_cast<uint32_t>(entries.size()));
    p += 8;
    for (const platform_service_tag *e : sorted) {
        size_t n = e->name.size();
        if (static_cast<size_t>(end - p) < n + 11) {
            g_warning("[service_name_map] convert: out of bounds error");
            return false;
        }
        put<uint64_t>(p, e->tag);
        put<uint16_t>(p + 8, static_cast<uint16_t>(n));
        memcpy(p + 10, e->name.data(), n);
        p[10 + n] = 0;
        p += n + 11;
    }
    if (p != end) {
        g_warning("[service_name_map] convert: didn't reach the correct end pointer, off by %lld",
                  static_cast<long long>(end - p));
        return false;
    }
    return true;
}

en_service_name_map_monitor *en_service_name_map_monitor_start(platform_device *device)
{
    g_message("[service_name_map] starting to monitor");
    auto *m = new en_service_name_map_monitor;
    m->device = device;
    GError *err = nullptr;
    m->thread = g_thread_try_new("service-name-map", monitor_main, m, &err);
    if (!m->thread) {
        g_critical("[service_name_map] error creating monitoring thread");
        g_clear_error(&err);
        delete m;
        return nullptr;
    }
    g_message("[service_name_map] monitoring thread initialized and running");
    return m;
}

void en_service_name_map_monitor_stop(en_service_name_map_monitor *m)
{
    if (!m) {
        return;
    }
    g_message("[service_name_map] stopping monitoring");
    {
        std::lock_guard<std::mutex> guard(m->lock);
        m->stop = true;
    }
    m->wake.notify_all();
    g_thread_join(m->thread);
    g_message("[service_name_map] monitoring thread exited");
    delete m;
}

bool en_service_existing_send(platform_device *device)
{
    std::vector<platform_service_socket> rows[G_N_ELEMENTS(kTables)];
    uint32_t count = 0;
    for (size_t t = 0; t < G_N_ELEMENTS(kTables); t++) {
        uint32_t code = 0;
        if (!platform_service_sockets(kTables[t].table, &rows[t], &code)) {
            g_autofree char *text = platform_error_message(code);
            g_warning("[service_existing] error getting %s table: %s", kTables[t].name, text);
            return false;
        }
        bool ipv6 = kTables[t].family == 2;
        count += static_cast<uint32_t>(std::count_if(rows[t].begin(), rows[t].end(),
                                                     [ipv6](const auto &s) { return counts(s, ipv6); }));
    }
    if (count == 0) {
        g_message("[service_existing] found no existing service tuples");
        return true;
    }
    g_message("[service_existing] found %u existing service tuples; sending to driver", count);
    std::vector<uint8_t> buffer(4 + size_t{EN_SERVICE_TUPLE_SIZE} * count, 0);
    put<uint32_t>(buffer.data(), count);
    uint32_t written = 0;
    for (size_t t = 0; t < G_N_ELEMENTS(kTables); t++) {
        const table_spec &spec = kTables[t];
        for (const platform_service_socket &s : rows[t]) {
            if (!counts(s, spec.family == 2)) {
                continue;
            }
            if (written >= count) {
                g_warning("[service_existing] (%s) out of bounds: %u >= %u", spec.label, written, count);
                return false;
            }
            uint8_t *at = buffer.data() + 4 + size_t{EN_SERVICE_TUPLE_SIZE} * written++;
            memcpy(at, s.local, 16);
            memcpy(at + 16, s.remote, 16);
            put<uint16_t>(at + 32, s.local_port);
            put<uint16_t>(at + 34, s.remote_port);
            at[36] = spec.protocol;
            at[37] = spec.family;
            put<uint64_t>(at + 38, s.service_tag);
        }
    }
    if (written != count) {
        g_warning("[service_existing] out of bounds after writing: %u != %u", written, count);
        return false;
    }
    if (!en_driver_send_buffer(device, EN_IOCTL_EXISTING_SERVICE_TUPLES, buffer.data(),
                               static_cast<uint32_t>(buffer.size()))) {
        logger_win32_critical(en_driver_last_error(), "[service_existing] kernel call failed");
        return false;
    }
    return true;
}

void en_service_name_map_set_interval_for_test(uint32_t ms)
{
    s_interval_ms = ms ? ms : EN_SERVICE_MAP_REFRESH_MS;
}
