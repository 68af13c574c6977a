#include "enforcement/framework/agent/en-user-sessions.h"

#include <glib.h>

#include <chrono>
#include <condition_variable>
#include <cinttypes>
#include <cstring>
#include <mutex>
#include <string>

#include "agent-common/logger.h"
#include "enforcement/framework/agent/en-driver.h"
#include "enforcement/platforms/user-sessions.h"

namespace {

constexpr uint32_t kHeaderSize = 18;
constexpr uint32_t kRefreshTimerId = 1;
constexpr guint kRefreshPeriodMs = 300000;
constexpr gint64 kInitWaitUs = 5000 * G_TIME_SPAN_MILLISECOND;
constexpr uint32_t kUserSubAuthority = 1;
constexpr uint32_t kGroupSubAuthority = 2;
/* The local-account and local-administrator well-known values, qualified by the uid. */
constexpr uint32_t kLocalAccount = 113;
constexpr uint32_t kLocalAdministrator = 114;

bool s_initialised;

void put_u32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++) {
        b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
    }
}

uint64_t fnv1a64(const std::vector<uint8_t> &b)
{
    uint64_t h = 0xcbf29ce484222325ULL;
    for (uint8_t c : b) {
        h = (h ^ c) * 0x100000001b3ULL;
    }
    return h;
}

} // namespace

struct en_user_sessions_monitor {
    platform_device *device = nullptr; /* borrowed */
    GThread *thread = nullptr;
    GMainContext *context = nullptr;
    GMainLoop *loop = nullptr;
    platform_session_source source = platform_session_source::utmp;
    platform_session_watch *watch = nullptr;
    GSource *timer = nullptr;
    /* The initialised event, its result, and a start that gave up waiting. */
    std::mutex lock;
    std::condition_variable cv;
    bool signalled = false;
    bool init_ok = false;
    bool cancelled = false;
    /* Set once the close ran on the monitor thread. */
    bool closed = false;
};

void en_user_sessions_sid_text(const en_packed_sid &sid, char (&text)[96])
{
    std::string s = "S-1-22";
    for (uint32_t v : sid) {
        s += '-';
        s += std::to_string(v);
    }
    if (s.size() > sizeof text - 1) {
        s.resize(sizeof text - 1);
        s.replace(s.size() - 3, 3, "...");
    }
    memcpy(text, s.c_str(), s.size() + 1);
}

std::vector<uint8_t> en_user_sessions_buffer(const std::set<en_packed_sid> &sids, bool local_user, bool local_admin)
{
    uint64_t total = kHeaderSize;
    for (const en_packed_sid &sid : sids) {
        total += 1 + 4 * uint64_t{sid.size()};
    }
    if (total > UINT32_MAX) {
        g_critical("[user_sessions] refresh: no room for SID - byte idx %u, sid size %u, total size %u", kHeaderSize,
                   0u, 0u);
        return {};
    }
    std::vector<uint8_t> b(total, 0);
    put_u32(b, 0, static_cast<uint32_t>(total));
    b[12] = local_user ? 1 : 0;
    b[13] = local_admin ? 1 : 0;
    put_u32(b, 14, static_cast<uint32_t>(sids.size()));

    size_t at = kHeaderSize;
    uint32_t index = 0;
    for (const en_packed_sid &sid : sids) {
        char text[96];
        en_user_sessions_sid_text(sid, text);
        g_debug("[user_sessions] refresh: SID index %u = %s", index, text);
        size_t size = 1 + 4 * sid.size();
        if (sid.empty() || sid.size() > 15 || at + size > b.size()) {
            g_critical("[user_sessions] refresh: no room for SID - byte idx %u, sid size %u, total size %u",
                       static_cast<unsigned>(at), static_cast<unsigned>(size), static_cast<unsigned>(b.size()));
            return {};
        }
        b[at] = static_cast<uint8_t>(sid.size());
        for (size_t i = 0; i < sid.size(); i++) {
            put_u32(b, at + 1 + 4 * i, sid[i]);
        }
        at += size;
        index++;
    }
    if (index != sids.size()) {
        g_critical("[user_sessions] refresh: number of SIDs mismatch - first pass %u, second pass %u",
                   static_cast<unsigned>(sids.size()), index);
        return {};
    }
    if (at != b.size()) {
        g_critical("[user_sessions] refresh: did not reach end of struct - byte idx %u, total size %u",
                   static_cast<unsigned>(at), static_cast<unsigned>(b.size()));
        return {};
    }
    uint64_t sum = fnv1a64(b);
    for (int i = 0; i < 8; i++) {
        b[4 + static_cast<size_t>(i)] = static_cast<uint8_t>(sum >> (8 * i));
    }
    return b;
}

namespace {

/* The account of one active session into the set; false when it cannot be read. */
bool add_session(const platform_session &s, std::set<en_packed_sid> &sids, bool &local_user, bool &local_admin)
{
    platform_account account;
    std::string why;
    if (!platform_account_lookup(s.user, s.uid, s.has_uid, &account, &why)) {
        g_critical("[user_sessions] error querying token for session %u: %s", s.id, why.c_str());
        return false;
    }
    sids.insert({kUserSubAuthority, account.uid});
    for (uint32_t gid : account.gids) {
        sids.insert({kGroupSubAuthority, gid});
    }
    if (account.local) {
        sids.insert({kLocalAccount, account.uid});
        local_user = true;
    }
    if (account.admin) {
        sids.insert({kLocalAdministrator, account.uid});
        local_admin = true;
    }
    return true;
}

void refresh(en_user_sessions_monitor *ctx)
{
    std::vector<platform_session> sessions;
    std::string why;
    bool got_sids = platform_sessions_list(ctx->source, &sessions, &why);
    std::set<en_packed_sid> sids;
    bool local_user = false, local_admin = false;
    if (!got_sids) {
        g_critical("[user_sessions] error enumerating sessions: %s", why.c_str());
    }
    for (size_t i = 0; got_sids && i < sessions.size(); i++) {
        const platform_session &s = sessions[i];
        if (!s.active) {
            g_debug("[user_sessions] skipping session %u (%s) in state %s", s.id, s.name.c_str(), s.state.c_str());
            continue;
        }
        g_debug("[user_sessions] reading session %u (%s) in state %s", s.id, s.name.c_str(), s.state.c_str());
        if (!add_session(s, sids, local_user, local_admin)) {
            g_critical("[user_sessions] failed to add session info for session %u (%s)", s.id, s.name.c_str());
            sids.clear();
            got_sids = false;
        }
    }
    if (got_sids) {
        std::vector<uint8_t> b = en_user_sessions_buffer(sids, local_user, local_admin);
        if (!b.empty()) {
            if (en_driver_send_buffer(ctx->device, EN_IOCTL_SET_USER_SESSIONS, b.data(),
                                      static_cast<uint32_t>(b.size()))) {
                uint64_t sum = 0;
                for (int i = 7; i >= 0; i--) {
                    sum = (sum << 8) | b[4 + static_cast<size_t>(i)];
                }
                g_message("[user_sessions] refresh: refreshed user sessions, sent %u SIDs%s%s, user sessions "
                          "checksum = %016llx",
                          static_cast<unsigned>(sids.size()), local_user ? " + <local user session>" : "",
                          local_admin ? " + <local admin session>" : "", static_cast<unsigned long long>(sum));
                return;
            }
            logger_win32_critical(en_driver_last_error(), "[user_sessions] refresh: kernel call failed");
        }
    } else {
        g_critical("[user_sessions] refresh: failed to get session group SIDs");
    }
    g_warning("[user_sessions] refresh: due to failure, informing the driver that user sessions are murky");
    if (!en_driver_send_value(ctx->device, EN_IOCTL_USER_SESSIONS_MURKY, 0)) {
        g_critical("[user_sessions] refresh: failed setting user sessions to be murky");
    }
}

void on_session_change(void *data)
{
    g_debug("[user_sessions] notification window got WM_WTSSESSION_CHANGE");
    g_message("[user_sessions] on session change: refresh user sessions");
    refresh(static_cast<en_user_sessions_monitor *>(data));
}

gboolean on_timer(gpointer data)
{
    g_debug("[user_sessions] notification window got WM_TIMER, timer ID = %u", kRefreshTimerId);
    g_message("[user_sessions] on refresh timer: refresh user sessions");
    refresh(static_cast<en_user_sessions_monitor *>(data));
    return G_SOURCE_CONTINUE;
}

/* Everything the thread set up, in reverse order. */
void tear_down(en_user_sessions_monitor *ctx)
{
    g_message("[user_sessions] destroying notification window, handle = %p", static_cast<void *>(ctx));
    if (ctx->timer) {
        g_source_destroy(ctx->timer);
        g_source_unref(ctx->timer);
        ctx->timer = nullptr;
    }
    platform_session_watch_free(ctx->watch);
    ctx->watch = nullptr;
}

gboolean on_close(gpointer data)
{
    auto *ctx = static_cast<en_user_sessions_monitor *>(data);
    g_debug("[user_sessions] notification window got WM_CLOSE");
    tear_down(ctx);
    g_debug("[user_sessions] notification window got WM_DESTROY");
    g_main_loop_quit(ctx->loop);
    {
        std::lock_guard<std::mutex> g(ctx->lock);
        ctx->closed = true;
    }
    ctx->cv.notify_all();
    return G_SOURCE_REMOVE;
}

gpointer monitor_thread(gpointer data)
{
    auto *ctx = static_cast<en_user_sessions_monitor *>(data);
    g_main_context_push_thread_default(ctx->context);
    g_message("[user_sessions] initializing monitoring thread");
    g_message("[user_sessions] creating notification window, handle = %p", static_cast<void *>(ctx));
    std::string detail;
    ctx->source = platform_sessions_source(&detail);
    g_message("[user_sessions] session source: %s", detail.c_str());
    std::string why;
    ctx->watch = platform_session_watch_new(ctx->source, on_session_change, ctx, &why);
    bool ok = ctx->watch != nullptr;
    if (!ok) {
        g_critical("[user_sessions] error registering for session notifications: %s", why.c_str());
    } else {
        ctx->timer = g_timeout_source_new(kRefreshPeriodMs);
        g_source_set_callback(ctx->timer, on_timer, ctx, nullptr);
        ok = g_source_attach(ctx->timer, ctx->context) != 0;
        if (!ok) {
            g_critical("[user_sessions] error setting refresh timer");
        }
    }
    bool cancelled;
    {
        std::lock_guard<std::mutex> g(ctx->lock);
        ctx->init_ok = ok;
        ctx->signalled = true;
        cancelled = ctx->cancelled;
    }
    ctx->cv.notify_all();
    if (!ok || cancelled) {
        tear_down(ctx);
        if (!ok) {
            g_critical("[user_sessions] failed to initialize monitoring thread! quitting the thread");
        }
        g_main_context_pop_thread_default(ctx->context);
        return nullptr;
    }
    g_message("[user_sessions] monitoring thread start: refresh user sessions");
    refresh(ctx);
    g_debug("[user_sessions] message pump started");
    g_main_loop_run(ctx->loop);
    g_debug("[user_sessions] message pump finished");
    g_main_context_pop_thread_default(ctx->context);
    return nullptr;
}

void free_context(en_user_sessions_monitor *ctx)
{
    if (ctx->loop) {
        g_main_loop_unref(ctx->loop);
    }
    if (ctx->context) {
        g_main_context_unref(ctx->context);
    }
    delete ctx;
}

} // namespace

bool en_user_sessions_init(void)
{
    g_message("[user_sessions] initializing module");
    if (s_initialised) {
        g_warning("[user_sessions] module already initialized");
        return true;
    }
    /* Sessions and the account databases are readable by any user here: no privilege to take. */
    s_initialised = true;
    return true;
}

void en_user_sessions_free(void)
{
    if (!s_initialised) {
        g_warning("[user_sessions] module not initialized");
        return;
    }
    g_message("[user_sessions] freeing module");
    s_initialised = false;
}

en_user_sessions_monitor *en_user_sessions_start(platform_device *device)
{
    g_message("[user_sessions] starting to monitor");
    if (!s_initialised) {
        g_critical("[user_sessions] not initialized");
        return nullptr;
    }
    auto *ctx = new en_user_sessions_monitor;
    ctx->device = device;
    ctx->context = g_main_context_new();
    ctx->loop = g_main_loop_new(ctx->context, FALSE);
    GError *gerr = nullptr;
    ctx->thread = g_thread_try_new("user-sessions", monitor_thread, ctx, &gerr);
    if (!ctx->thread) {
        g_critical("[user_sessions] error creating monitoring thread: %s", gerr ? gerr->message : "");
        g_clear_error(&gerr);
        free_context(ctx);
        return nullptr;
    }
    bool ok;
    {
        std::unique_lock<std::mutex> g(ctx->lock);
        gint64 deadline = g_get_monotonic_time() + kInitWaitUs;
        while (!ctx->signalled && g_get_monotonic_time() < deadline) {
            ctx->cv.wait_for(g, std::chrono::microseconds(deadline - g_get_monotonic_time()));
        }
        if (!ctx->signalled) {
            g_critical("[user_sessions] monitoring thread initialization timed out");
            ctx->cancelled = true;
            ok = false;
        } else if (!ctx->init_ok) {
            g_critical("[user_sessions] monitoring thread failed to initialize");
            ok = false;
        } else {
            ok = true;
        }
    }
    if (!ok) {
        g_thread_join(ctx->thread);
        free_context(ctx);
        return nullptr;
    }
    g_message("[user_sessions] monitoring thread initialized and running");
    return ctx;
}

bool en_user_sessions_stop(en_user_sessions_monitor *ctx)
{
    if (!s_initialised) {
        g_critical("[user_sessions] not initialized");
        return false;
    }
    if (!ctx) {
        return true;
    }
    g_message("[user_sessions] stopping monitoring");
    /* Like a synchronous close message: the close runs on the monitor's thread and this
     * one waits for it. */
    GSource *close = g_idle_source_new();
    g_source_set_callback(close, on_close, ctx, nullptr);
    g_source_attach(close, ctx->context);
    g_source_unref(close);
    {
        std::unique_lock<std::mutex> g(ctx->lock);
        ctx->cv.wait(g, [ctx] { return ctx->closed; });
    }
    g_thread_join(ctx->thread);
    g_message("[user_sessions] monitoring thread exited");
    free_context(ctx);
    return true;
}
