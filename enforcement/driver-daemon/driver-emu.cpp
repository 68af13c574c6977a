#include "enforcement/driver-daemon/driver-emu.h"

#include <unistd.h>

#include <glib.h>
#include <malloc.h>
#include <glib/gstdio.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <iterator>

#include "enforcement/driver-daemon/endr-engine.h"
#include "enforcement/driver-daemon/endr-state.h"
#include "enforcement/platforms/service-map.h"

using namespace endr;

struct endr_device {
    bool closing = false;
    int inflight = 0;
    bool role = false;
    bool counted_consumer = false; /* in Engine::consumers until cancel or close */
};

namespace endr {

uint64_t StagedTable::rule_count() const
{
    uint64_t n = 0;
    for (const StagedChain &c : chains) {
        n += c.rules.size();
    }
    return n;
}

bool StagedTable::complete() const
{
    if (!initialised || chains.size() != announced_chains) {
        return false;
    }
    for (const StagedChain &c : chains) {
        if (c.rules.size() != c.announced_rules) {
            return false;
        }
    }
    /* The index counts the table's rules in 16 bits. */
    return chains.empty() || (index && index_summary.rules16 == static_cast<uint16_t>(rule_count()));
}

Engine &engine()
{
    static Engine e;
    return e;
}

} // namespace endr

namespace {

constexpr uint32_t kNotReady = 21;
constexpr uint32_t kServiceAlreadyRunning = 1056;
constexpr uint32_t kServiceDoesNotExist = 1060;
constexpr uint32_t kServiceNotActive = 1062;
constexpr uint32_t kServiceExists = 1073;

/* The owner of the running process pid (the owner of its /proc folder). */
std::optional<uint32_t> process_owner(uint64_t pid)
{
    g_autofree char *path = g_strdup_printf("/proc/%" PRIu64, pid);
    GStatBuf st;
    if (pid == 0 || pid > INT32_MAX || g_stat(path, &st) != 0) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(st.st_uid);
}

/* Field 22 of /proc/<pid>/stat: when the process started, in clock ticks since boot. */
std::optional<uint64_t> process_started(uint64_t pid)
{
    g_autofree char *path = g_strdup_printf("/proc/%" PRIu64 "/stat", pid);
    g_autofree char *text = nullptr;
    if (pid == 0 || !g_file_get_contents(path, &text, nullptr, nullptr)) {
        return std::nullopt;
    }
    /* The command name may hold anything: count fields from its last ')'. */
    const char *p = strrchr(text, ')');
    for (int field = 2; p && field < 22; field++) {
        p = strchr(p + 1, ' ');
    }
    if (!p || !g_ascii_isdigit(p[1])) {
        return std::nullopt;
    }
    return g_ascii_strtoull(p + 1, nullptr, 10);
}

void drop_consumer(Engine &e, endr_device *dev)
{
    if (dev->counted_consumer) {
        dev->counted_consumer = false;
        e.consumers--;
        e.cv.notify_all();
    }
}

std::string dns_path()
{
    return runtime_dir() + "/endr-dns.bin";
}

/* The driver state of a freshly loaded driver; the emulator's version knob stays. */
void unload_driver(State &s)
{
    uint64_t version = s.driver.version;
    s.driver = DriverState{};
    s.driver.version = version;
}

void count(Engine &e, const char *name, int64_t n = 1)
{
    e.counters[name] += n;
}

template <typename T> void store(uint8_t *at, T v)
{
    memcpy(at, &v, sizeof(T));
}

std::span<uint8_t> caller_buffer(const Header &h)
{
    return {reinterpret_cast<uint8_t *>(static_cast<uintptr_t>(h.value)), h.length};
}

std::optional<uint64_t> policy_limit(const State &s, size_t which)
{
    if (!s.driver.policy_limits || (*s.driver.policy_limits)[which] == 0) {
        return std::nullopt;
    }
    return (*s.driver.policy_limits)[which];
}

std::optional<uint64_t> index_limit(const State &s, size_t which)
{
    const uint64_t limit = (s.driver.index_limits ? *s.driver.index_limits : kDefaultIndexLimits)[which];
    if (limit == 0) {
        return std::nullopt;
    }
    return limit;
}

void keep_summary(const std::map<std::string, uint64_t> &values)
{
    state_update([&](State &s) {
        for (const auto &[k, v] : values) {
            s.driver.kept[k] = v;
        }
        return true;
    });
}

uint32_t init_table(bool output, uint64_t chains)
{
    State s = state_read();
    if (auto max = policy_limit(s, 0); max && chains > *max) {
        g_warning("[endr-emu] %s table of %" PRIu64 " chains refused (limit %" PRIu64 ")",
                  output ? "output" : "input", chains, *max);
        return kInvalidParameter;
    }
    Engine &e = engine();
    std::lock_guard<std::mutex> g(e.mu);
    StagedTable &t = output ? e.staged.output : e.staged.input;
    /* A new push starts with the input table; a repeated init also restarts staging. */
    if (!output || t.initialised) {
        e.staged = Policy{};
    }
    StagedTable &fresh = output ? e.staged.output : e.staged.input;
    fresh.initialised = true;
    fresh.announced_chains = chains;
    e.staging = true;
    return kOk;
}

uint32_t init_index(bool output, std::span<const uint8_t> b)
{
    IndexSummary summary;
    DecodedIndex decoded;
    FastIndex fast;
    if (uint32_t rc = parse_index(b, &summary)) {
        return rc;
    }
    State s = state_read_limits();
    const char *table = output ? "output" : "input";
    const uint64_t regions = std::max({summary.port_regions, summary.src_regions, summary.dst_regions});
    if (auto max = index_limit(s, 0); max && regions > *max) {
        g_warning("[endr-emu] %s table index of %" PRIu64 " regions in one dimension refused (limit %" PRIu64 ")",
                  table, regions, *max);
        return kInvalidParameter;
    }
    if (auto max = index_limit(s, 1); max && summary.bag_size > *max) {
        g_warning("[endr-emu] %s table index of %" PRIu64 " vectors refused (limit %" PRIu64 ")", table,
                  static_cast<uint64_t>(summary.bag_size), *max);
        return kInvalidParameter;
    }
    if (auto max = index_limit(s, 2); max && b.size() > *max) {
        g_warning("[endr-emu] %s table index of %zu bytes refused (limit %" PRIu64 ")", table, b.size(), *max);
        return kInvalidParameter;
    }
    /* Decoded only once within the limits: decoding copies it. */
    if (uint32_t rc = decode_index(b, &decoded)) {
        return rc;
    }
    fastpath_index(decoded, &fast);
    Engine &e = engine();
    std::lock_guard<std::mutex> g(e.mu);
    StagedTable &t = output ? e.staged.output : e.staged.input;
    if (!t.initialised || t.index || !t.chains.empty() || t.announced_chains == 0) {
        return kInvalidState;
    }
    t.index.emplace(b.begin(), b.end());
    t.index_summary = summary;
    t.decoded_index = std::move(decoded);
    t.fast_index = std::move(fast);
    return kOk;
}

uint32_t add_chain(std::span<const uint8_t> b)
{
    ChainMessage m;
    if (uint32_t rc = parse_add_chain(b, &m)) {
        return rc;
    }
    State s = state_read_limits();
    Engine &e = engine();
    std::lock_guard<std::mutex> g(e.mu);
    StagedTable &t = m.output ? e.staged.output : e.staged.input;
    if (!t.initialised || !t.index || t.chains.size() >= t.announced_chains) {
        return kInvalidState;
    }
    for (const StagedChain &c : t.chains) {
        if (c.name == m.chain) {
            return kInvalidParameter;
        }
    }
    if (auto max = policy_limit(s, 1); max && t.rule_count() + m.rules > *max) {
        g_warning("[endr-emu] chain %s of %u rules passes the rule limit %" PRIu64, m.chain.c_str(), m.rules, *max);
        return kInvalidParameter;
    }
    t.chains.push_back(StagedChain{m.chain, m.rules, {}, {}, {}});
    /* Room for the announced rules up front: growing a vector of decoded rules one rule at a
     * time moves every rule again at each growth. Bounded, since the count is the caller's. */
    size_t room = std::min<size_t>(m.rules, 65536);
    t.chains.back().rules.reserve(room);
    t.chains.back().decoded.reserve(room);
    t.chains.back().flags.reserve(room);
    return kOk;
}

uint32_t add_rule(std::span<const uint8_t> b)
{
    RuleMessage m;
    DecodedRule decoded;
    if (uint32_t rc = parse_add_rule(b, &m)) {
        return rc;
    }
    if (uint32_t rc = decode_rule(m.rule, &decoded)) {
        return rc;
    }
    uint8_t flags = fastpath_rule_flags(decoded);
    State s = state_read_limits();
    if (auto max = policy_limit(s, 3); max && m.rule.size() > *max) {
        return kInvalidParameter;
    }
    Engine &e = engine();
    std::lock_guard<std::mutex> g(e.mu);
    StagedTable &t = m.output ? e.staged.output : e.staged.input;
    auto chain = std::find_if(t.chains.begin(), t.chains.end(), [&](const StagedChain &c) { return c.name == m.chain; });
    if (chain == t.chains.end() || chain->rules.size() >= chain->announced_rules) {
        return kInvalidState;
    }
    chain->rules.emplace_back(m.rule.begin(), m.rule.end());
    chain->decoded.push_back(std::move(decoded));
    chain->flags.push_back(flags);
    return kOk;
}

uint32_t swap_policy()
{
    Engine &e = engine();
    ActivePolicy summary;
    /* The previous policy is freed after the engine lock is released. */
    Policy previous;
    {
        std::lock_guard<std::mutex> g(e.mu);
        if (!e.staging || !e.staged.revision || !e.staged.input.complete() || !e.staged.output.complete()) {
            return kInvalidState;
        }
        previous = std::move(e.active);
        e.active = std::move(e.staged);
        e.staged = Policy{};
        for (StagedTable *t : {&e.active.input, &e.active.output}) {
            t->numbered.reserve(t->numbered.size() + t->rule_count());
            std::vector<uint8_t> flags;
            flags.reserve(t->rule_count());
            for (StagedChain &chain : t->chains) {
                std::move(chain.decoded.begin(), chain.decoded.end(), std::back_inserter(t->numbered));
                chain.decoded.clear();
                flags.insert(flags.end(), chain.flags.begin(), chain.flags.end());
                chain.flags.clear();
            }
            /* A byte per rule, so this stays a small part of the swap. */
            fastpath_rules(flags, &t->fast_rules);
        }
        e.staging = false;
        count(e, "endr.policy-swaps");
        summary.present = true;
        summary.revision = *e.active.revision;
        summary.input_chains = e.active.input.chains.size();
        summary.input_rules = e.active.input.rule_count();
        summary.output_chains = e.active.output.chains.size();
        summary.output_rules = e.active.output.rule_count();
    }
    state_update([&](State &s) {
        s.driver.active = summary;
        return true;
    });
    g_message("[endr-emu] policy revision %" PRIu64 " active: %" PRIu64 " input rules, %" PRIu64 " output rules",
              summary.revision, summary.input_rules, summary.output_rules);
    return kOk;
}

uint32_t apply_value(endr_device *dev, const CodeInfo &info, const Header &h)
{
    if (info.setting) {
        state_update([&](State &s) {
            s.driver.settings[info.setting] = h.value;
            return true;
        });
        return kOk;
    }
    Engine &e = engine();
    switch (info.code) {
    case kSetQueueSize:
        state_update([&](State &s) {
            s.driver.queue_sizes[h.selector] = h.value;
            return true;
        });
        return kOk;
    case kSetRevision: {
        std::lock_guard<std::mutex> g(e.mu);
        if (!e.staging) {
            return kInvalidState;
        }
        e.staged.revision = h.value;
        return kOk;
    }
    case kInitInputTable:
    case kInitOutputTable:
        return init_table(info.code == kInitOutputTable, h.value);
    case kSwapPolicy:
        return swap_policy();
    case kReauthorize: {
        std::lock_guard<std::mutex> g(e.mu);
        count(e, "endr.reauthorizations");
        return kOk;
    }
    case kLightRevision: {
        uint32_t rc = kOk;
        state_update([&](State &s) {
            if (!s.driver.active.present) {
                rc = kInvalidState;
                return false;
            }
            s.driver.active.revision = h.value;
            return true;
        });
        if (rc == kOk) {
            std::lock_guard<std::mutex> g(e.mu);
            e.active.revision = h.value;
        }
        return rc;
    }
    case kSetConsumerRole:
    case kStartMonitoring: {
        {
            std::lock_guard<std::mutex> g(e.mu);
            if (info.code == kSetConsumerRole) {
                /* Tags are numbered by each module: tuples of an earlier one would name
                 * services of the map that comes next. */
                e.service_tuples.clear();
                dev->role = true;
                if (!dev->counted_consumer && !dev->closing) {
                    dev->counted_consumer = true;
                    e.consumers++;
                }
            }
        }
        state_update([&](State &s) {
            s.driver.holder_pid = getpid();
            (info.code == kSetConsumerRole ? s.driver.role : s.driver.started) = true;
            return true;
        });
        return kOk;
    }
    case kUserSessionsMurky: {
        {
            std::lock_guard<std::mutex> g(e.mu);
            e.sessions = SessionPicture{};
            e.sessions.kind = SessionPicture::Kind::murky;
        }
        keep_summary({{"user-sessions-murky", 1}});
        return kOk;
    }
    default:
        return kInvalidFunction;
    }
}

/* Waits under lock until ready() or the deadline; false when the device closed meanwhile. */
template <typename Ready>
bool wait_for(Engine &e, std::unique_lock<std::mutex> &lock, endr_device *dev, uint64_t wait_ms, Ready ready)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::min<uint64_t>(wait_ms, 86400000));
    e.cv.wait_until(lock, deadline, [&] { return dev->closing || ready(); });
    return !dev->closing;
}

size_t connection_queue_limit(const State &s)
{
    auto it = s.driver.queue_sizes.find(0);
    return it != s.driver.queue_sizes.end() && it->second > 0 ? static_cast<size_t>(it->second)
                                                             : kDefaultConnectionQueue;
}

/*
 * Waits up to the request's wait time for its sufficient count of records (at least one,
 * at most what the block and the queue can hold), then hands out what is queued, oldest
 * first, up to the block size. The record buffer was checked whole before the first write.
 */
uint32_t get_connections(endr_device *dev, std::span<uint8_t> b)
{
    ConnectionRequest req;
    if (uint32_t rc = parse_connection_request(b, &req)) {
        return rc;
    }
    /* The records must not wrap around memory nor land on the request they answer. */
    uintptr_t records_at = static_cast<uintptr_t>(req.buffer), request_at = reinterpret_cast<uintptr_t>(b.data());
    if (records_at + req.buffer_size < records_at ||
        (records_at < request_at + b.size() && request_at < records_at + req.buffer_size)) {
        return kInvalidParameter;
    }
    size_t limit = 0;
    state_peek([&](const State &s) { limit = connection_queue_limit(s); });
    Engine &e = engine();
    std::unique_lock<std::mutex> lock(e.mu);
    size_t need = std::clamp<size_t>(std::min<size_t>({req.sufficient, req.max_records, limit}), 1, req.max_records);
    if (!wait_for(e, lock, dev, req.wait_ms, [&] { return e.connections.size() >= need; })) {
        return kAborted;
    }
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(e.connections.size(), req.max_records));
    auto *records = reinterpret_cast<uint8_t *>(records_at);
    for (uint32_t i = 0; i < n; i++) {
        memcpy(records + size_t{i} * kConnectionRecordSize, e.connections.front().data(), kConnectionRecordSize);
        e.connections.pop_front();
    }
    store<uint32_t>(b.data() + kConnectionReturnedOffset, n);
    count(e, "endr.connections-served", n);
    return kOk;
}

uint32_t get_logs(endr_device *dev, std::span<uint8_t> b)
{
    LogRequest req;
    if (uint32_t rc = parse_log_request(b, &req)) {
        return rc;
    }
    Engine &e = engine();
    std::unique_lock<std::mutex> lock(e.mu);
    if (!wait_for(e, lock, dev, req.wait_ms, [&] { return !e.log.empty(); })) {
        return kAborted;
    }
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(e.log.size(), req.buffer_size));
    memcpy(reinterpret_cast<void *>(static_cast<uintptr_t>(req.buffer)), e.log.data(), n);
    e.log.erase(0, n);
    store<uint32_t>(b.data() + kLogReturnedOffset, n);
    count(e, "endr.log-bytes-served", n);
    return kOk;
}

/* The persisted DNS records; an unreadable file counts as no records. */
std::vector<uint8_t> read_dns_records()
{
    gchar *data = nullptr;
    gsize len = 0;
    std::vector<uint8_t> out;
    if (!g_file_get_contents(dns_path().c_str(), &data, &len, nullptr)) {
        return out;
    }
    bool ok = len % kDnsSlotSize == 0 && len / kDnsSlotSize <= kDnsCapacity;
    for (gsize off = 0; ok && off < len; off += kDnsSlotSize) {
        ok = check_dns_slot({reinterpret_cast<const uint8_t *>(data) + off, kDnsSlotSize}) == kOk;
    }
    if (ok) {
        out.assign(data, data + len);
    } else {
        g_warning("[endr-emu] ignoring malformed DNS record file %s", dns_path().c_str());
    }
    g_free(data);
    return out;
}

uint32_t get_dns_snapshot(std::span<uint8_t> b)
{
    uint64_t capacity;
    if (uint32_t rc = check_dns_snapshot_target(b, &capacity)) {
        return rc;
    }
    std::vector<uint8_t> records = read_dns_records();
    uint64_t n = std::min<uint64_t>(records.size() / kDnsSlotSize, capacity);
    if (n) {
        memcpy(b.data(), records.data(), n * kDnsSlotSize);
    }
    memset(b.data() + n * kDnsSlotSize, 0, kDnsCountOffset - n * kDnsSlotSize);
    Engine &e = engine();
    std::lock_guard<std::mutex> lock(e.mu);
    store<uint64_t>(b.data() + kDnsCountOffset, e.dns_snapshot_claimed_count.value_or(n));
    return kOk;
}

uint32_t set_dns_snapshot(std::span<const uint8_t> b)
{
    uint64_t n;
    if (uint32_t rc = parse_dns_snapshot(b, &n)) {
        return rc;
    }
    g_mkdir_with_parents(runtime_dir().c_str(), 0755);
    if (!g_file_set_contents(dns_path().c_str(), reinterpret_cast<const gchar *>(b.data()),
                             static_cast<gssize>(n * kDnsSlotSize), nullptr)) {
        return kGenFailure;
    }
    keep_summary({{"dns-records", n}});
    return kOk;
}

void keep_buffer(const char *name, std::span<const uint8_t> b)
{
    Engine &e = engine();
    std::lock_guard<std::mutex> g(e.mu);
    e.kept[name].assign(b.begin(), b.end());
}

uint32_t apply_buffer(const CodeInfo &info, std::span<uint8_t> b, endr_device *dev)
{
    Engine &e = engine();
    switch (info.code) {
    case kAddChain:
        return add_chain(b);
    case kAddRule:
        return add_rule(b);
    case kInitInputIndex:
    case kInitOutputIndex:
        return init_index(info.code == kInitOutputIndex, b);
    case kLidReply: {
        LidReply reply;
        if (uint32_t rc = parse_lid_reply(b, &reply)) {
            return rc;
        }
        std::optional<uint64_t> started = process_started(reply.pid);
        std::lock_guard<std::mutex> g(e.mu);
        if (e.lid_replies.size() >= kMaxLidReplies && !e.lid_replies.count(reply.pid)) {
            e.reply_started.erase(e.lid_replies.begin()->first);
            e.lid_replies.erase(e.lid_replies.begin());
        }
        e.lid_replies[reply.pid] = reply;
        if (started) {
            e.reply_started[reply.pid] = *started;
        } else {
            e.reply_started.erase(reply.pid);
        }
        count(e, reply.update ? "endr.lid-updates" : "endr.lid-replies");
        e.cv.notify_all();
        return kOk;
    }
    case kSetPolicyLimits: {
        std::array<uint64_t, 4> limits;
        if (uint32_t rc = parse_policy_limits(b, &limits)) {
            return rc;
        }
        state_update([&](State &s) {
            s.driver.policy_limits = limits;
            return true;
        });
        return kOk;
    }
    case kSetIndexLimits: {
        std::array<uint64_t, 3> limits;
        if (uint32_t rc = parse_index_limits(b, &limits)) {
            return rc;
        }
        state_update([&](State &s) {
            s.driver.index_limits = limits;
            return true;
        });
        return kOk;
    }
    case kExcludedInterfaces: {
        std::array<uint64_t, 16> luids;
        if (uint32_t rc = parse_excluded(b, &luids)) {
            return rc;
        }
        state_update([&](State &s) {
            s.driver.excluded = luids;
            return true;
        });
        return kOk;
    }
    case kGetDnsSnapshot:
        return get_dns_snapshot(b);
    case kSetDnsSnapshot:
        return set_dns_snapshot(b);
    case kSetUserSessions: {
        UserSessions us;
        if (uint32_t rc = parse_user_sessions(b, &us)) {
            return rc;
        }
        keep_buffer(info.name, b);
        {
            std::lock_guard<std::mutex> g(e.mu);
            e.sessions = SessionPicture{};
            e.sessions.kind = SessionPicture::Kind::known;
            e.sessions.sids.insert(us.list.begin(), us.list.end());
            e.sessions.local_user = us.local_user;
            e.sessions.local_admin = us.local_admin;
            e.sessions.checksum = us.checksum;
        }
        keep_summary({{"user-sessions-sids", us.sids},
                      {"user-sessions-local-user", us.local_user},
                      {"user-sessions-local-admin", us.local_admin},
                      {"user-sessions-checksum", us.checksum},
                      {"user-sessions-murky", 0}});
        return kOk;
    }
    case kServiceNameMap: {
        uint32_t n;
        std::map<uint64_t, std::string> names;
        if (uint32_t rc = parse_service_map(b, &n, &names)) {
            return rc;
        }
        {
            std::lock_guard<std::mutex> g(e.mu);
            e.service_names = std::move(names);
        }
        keep_buffer(info.name, b);
        keep_summary({{"service-map-entries", n}});
        return kOk;
    }
    case kServiceTuples: {
        uint32_t n;
        std::vector<ServiceTuple> tuples;
        if (uint32_t rc = parse_service_tuples(b, &n, &tuples)) {
            return rc;
        }
        {
            std::lock_guard<std::mutex> g(e.mu);
            e.service_tuples = std::move(tuples);
        }
        keep_buffer(info.name, b);
        keep_summary({{"service-tuples", n}});
        return kOk;
    }
    case kDnsBlocklistPolicy: {
        Blocklist bl;
        if (uint32_t rc = parse_blocklist(b, &bl)) {
            return rc;
        }
        keep_buffer(info.name, b);
        keep_summary({{"blocklist-revision", bl.revision}, {"blocklist-block", bl.block}, {"blocklist-exclude", bl.exclude}});
        return kOk;
    }
    case kGetDriverLogs:
        return get_logs(dev, b);
    case kGetConnections:
        return get_connections(dev, b);
    default:
        return kInvalidFunction;
    }
}

uint32_t read_output(uint32_t code, uint8_t *out, uint32_t out_len, uint32_t *returned)
{
    if (code == kGetVersion) {
        if (out_len != 8) {
            return kInvalidParameter;
        }
        store<uint64_t>(out, state_read().driver.version);
        *returned = 8;
        return kOk;
    }
    if (out_len != kMetricsSize) {
        return kInvalidParameter;
    }
    Engine &e = engine();
    std::map<std::string, int64_t> counters;
    {
        std::lock_guard<std::mutex> g(e.mu);
        counters = e.counters;
        counters["endr.pending-events"] = static_cast<int64_t>(e.events.size());
        counters["endr.pending-connections"] = static_cast<int64_t>(e.connections.size());
    }
    memset(out, 0, out_len);
    uint64_t n = 0;
    for (const auto &[name, value] : counters) {
        uint8_t *entry = out + 16 + n * kMetricEntrySize;
        store<int64_t>(entry, value);
        g_strlcpy(reinterpret_cast<char *>(entry + 8), name.c_str(), 128);
        if (++n == (kMetricsSize - 16) / kMetricEntrySize) {
            break;
        }
    }
    store<uint64_t>(out, n);
    *returned = out_len;
    return kOk;
}

uint32_t read_event(endr_device *dev, const Header &h, uint8_t *out, uint32_t *returned)
{
    /* The record area and the output buffer are two areas; one inside the other is refused. */
    uintptr_t area = static_cast<uintptr_t>(h.value), buffer = reinterpret_cast<uintptr_t>(out);
    if (area < buffer + kEventBufferSize && buffer < area + kEventAreaSize) {
        return kInvalidParameter;
    }
    Engine &e = engine();
    std::unique_lock<std::mutex> lock(e.mu);
    e.cv.wait(lock, [&] { return dev->closing || !e.events.empty(); });
    if (dev->closing) {
        return kAborted;
    }
    uint64_t pid = e.events.front();
    e.events.pop_front();
    count(e, "endr.events-served");
    uint8_t event[kEventAreaSize] = {};
    store<uint32_t>(event, 2);
    store<uint64_t>(event + 4, pid);
    memcpy(reinterpret_cast<void *>(static_cast<uintptr_t>(h.value)), event, sizeof(event));
    memcpy(out, event, sizeof(event));
    *returned = kEventAreaSize;
    return kOk;
}

} // namespace

namespace endr {

uint32_t engine_raise_lid_request(uint64_t pid)
{
    Engine &e = engine();
    std::lock_guard<std::mutex> g(e.mu);
    if (e.open_devices == 0) {
        return kNotReady;
    }
    if (e.events.size() >= kMaxQueuedEvents) {
        return kGenFailure;
    }
    e.events.push_back(pid);
    count(e, "endr.lid-requests");
    e.cv.notify_all();
    return kOk;
}

std::optional<LidReply> engine_process_lids(uint64_t pid)
{
    if (pid == 0) {
        return std::nullopt;
    }
    std::optional<uint64_t> started = process_started(pid);
    Engine &e = engine();
    std::unique_lock<std::mutex> lock(e.mu);
    auto current = [&]() -> const LidReply * {
        auto it = e.lid_replies.find(pid);
        if (it == e.lid_replies.end()) {
            return nullptr;
        }
        if (!started) {
            return &it->second;
        }
        auto when = e.reply_started.find(pid);
        return when != e.reply_started.end() && when->second == *started ? &it->second : nullptr;
    };
    if (!current() && started && e.consumers > 0 && e.events.size() < kMaxQueuedEvents) {
        if (std::find(e.events.begin(), e.events.end(), pid) == e.events.end()) {
            e.events.push_back(pid);
            count(e, "endr.lid-requests");
            count(e, "endr.lid-requests-raised");
            e.cv.notify_all();
        }
        e.cv.wait_for(lock, std::chrono::milliseconds(kLidReplyWaitMs),
                      [&] { return current() != nullptr || e.consumers == 0; });
    }
    const LidReply *reply = current();
    return reply ? std::optional<LidReply>(*reply) : std::nullopt;
}

std::string engine_connection_service(const Connection &c, uint64_t pid)
{
    std::string unit;
    bool live = pid && platform_process_service_of(pid, &unit);
    Engine &e = engine();
    std::lock_guard<std::mutex> g(e.mu);
    if (!unit.empty()) {
        for (const auto &[tag, name] : e.service_names) {
            if (name == unit) {
                return name;
            }
        }
    }
    /* A running process outside every service owns its sockets now: a tuple from the
     * start names whoever held that port then, maybe a service since gone. */
    if (live && unit.empty()) {
        return "";
    }
    static const std::array<uint8_t, 16> kAny{};
    for (const ServiceTuple &t : e.service_tuples) {
        bool same_socket = t.udp == (c.protocol == 1) && c.protocol != 2 && t.ipv6 == c.ipv6 &&
                           t.local_port == c.local_port && (t.local == kAny || t.local == c.local);
        bool same_peer = t.udp || (t.remote == kAny && t.remote_port == 0) ||
                         (t.remote == c.remote && t.remote_port == c.remote_port);
        if (same_socket && same_peer) {
            auto name = e.service_names.find(t.tag);
            return name != e.service_names.end() ? name->second : std::string();
        }
    }
    return "";
}

namespace {

struct Credentials {
    uint32_t uid = 0;
    std::vector<uint32_t> gids;
};

/* The effective uid, effective gid and supplementary groups from /proc/<pid>/status. */
std::optional<Credentials> process_credentials(uint64_t pid)
{
    g_autofree char *path = g_strdup_printf("/proc/%" PRIu64 "/status", pid);
    g_autofree char *text = nullptr;
    if (pid == 0 || pid > INT32_MAX || !g_file_get_contents(path, &text, nullptr, nullptr)) {
        return std::nullopt;
    }
    Credentials c;
    bool have_uid = false, have_gid = false;
    g_auto(GStrv) lines = g_strsplit(text, "\n", -1);
    for (char **l = lines; *l; l++) {
        g_auto(GStrv) f = g_strsplit_set(*l, " \t", -1);
        if (!f[0]) {
            continue;
        }
        std::vector<uint32_t> values;
        for (char **v = f + 1; *v; v++) {
            guint64 n;
            if (**v && g_ascii_string_to_unsigned(*v, 10, 0, UINT32_MAX, &n, nullptr)) {
                values.push_back(static_cast<uint32_t>(n));
            }
        }
        if (g_str_equal(f[0], "Uid:") && values.size() >= 2) {
            c.uid = values[1];
            have_uid = true;
        } else if (g_str_equal(f[0], "Gid:") && values.size() >= 2) {
            c.gids.insert(c.gids.begin(), values[1]);
            have_gid = true;
        } else if (g_str_equal(f[0], "Groups:")) {
            c.gids.insert(c.gids.end(), values.begin(), values.end());
        }
    }
    if (!have_uid || !have_gid) {
        return std::nullopt;
    }
    return c;
}

} // namespace

static SessionUser session_user_of(const SessionPicture &picture, const std::optional<Credentials> &cred)
{
    SessionUser u;
    if (picture.kind == SessionPicture::Kind::murky) {
        u.murky = true;
        return u;
    }
    if (picture.kind == SessionPicture::Kind::none || !cred) {
        return u;
    }
    auto has = [&](uint32_t kind, uint32_t id) { return picture.sids.count({kind, id}) != 0; };
    u.session_user = has(1, cred->uid);
    u.local_user = has(113, cred->uid);
    u.local_admin = has(114, cred->uid);
    for (uint32_t gid : cred->gids) {
        if (has(2, gid)) {
            u.sids.push_back({2, gid});
        }
    }
    return u;
}

SessionUser engine_session_user(const SessionPicture &picture, uint64_t pid)
{
    return session_user_of(picture, process_credentials(pid));
}

SessionPicture engine_sessions()
{
    Engine &e = engine();
    std::lock_guard<std::mutex> g(e.mu);
    return e.sessions;
}

Verdict engine_classify(const Connection &c, uint64_t pid)
{
    Connection use = c;
    if (c.lids.empty() && pid != 0) {
        if (std::optional<LidReply> reply = engine_process_lids(pid)) {
            size_t n = std::min<size_t>(reply->count, reply->lids.size());
            use.lids.assign(reply->lids.begin(), reply->lids.begin() + static_cast<long>(n));
        }
    }
    if (use.pid == 0) {
        use.pid = pid;
    }
    std::optional<Credentials> cred = use.pid ? process_credentials(use.pid) : std::nullopt;
    Engine &e = engine();
    std::unique_lock<std::mutex> g(e.mu);
    auto aided = [&](const StagedTable *t) {
        return t->index && fastpath_ready(t->decoded_index, t->fast_index, t->fast_rules, t->numbered.size());
    };
    /* The service costs a pass over the service tuples under the lock: only for a policy
     * that reads it (or whose lookup aids are missing). */
    const StagedTable *t = c.inbound ? &e.active.input : &e.active.output;
    if (t->index && (t->fast_rules.services || !aided(t))) {
        g.unlock();
        use.service = engine_connection_service(c, use.pid);
        g.lock();
    }
    use.user = session_user_of(e.sessions, cred);
    /* Read again: the policy may have been swapped while the lock was released. */
    t = c.inbound ? &e.active.input : &e.active.output;
    if (!c.count_candidates && aided(t)) {
        return fastpath_classify(t->decoded_index, t->fast_index, t->fast_rules, t->numbered, use);
    }
    return classify_table(t->index ? &t->decoded_index : nullptr, t->numbered, use);
}

namespace {

/* Record form (24 bytes: IPv4 as a host-order u32 at 8, IPv6 bytes at 8) to network order. */
std::array<uint8_t, 16> record_address(const uint8_t rec[24], bool ipv6)
{
    std::array<uint8_t, 16> a{};
    if (ipv6) {
        memcpy(a.data(), rec + 8, 16);
    } else {
        uint32_t host;
        memcpy(&host, rec + 8, 4);
        a[0] = static_cast<uint8_t>(host >> 24);
        a[1] = static_cast<uint8_t>(host >> 16);
        a[2] = static_cast<uint8_t>(host >> 8);
        a[3] = static_cast<uint8_t>(host);
    }
    return a;
}

} // namespace

size_t engine_connection_queue_limit()
{
    size_t limit = 0;
    state_peek([&](const State &s) { limit = connection_queue_limit(s); });
    return limit;
}

uint32_t engine_inject_connection(ConnectionSpec &spec, uint64_t count_of, InjectResult *result)
{
    if (count_of == 0) {
        return kInvalidParameter;
    }
    /* The record carries the cid of the process as it runs now, classified or not. */
    std::optional<LidReply> lids = engine_process_lids(spec.pid);
    Verdict verdict{spec.verdict, spec.rule_id, -1, 0};
    Connection c;
    c.inbound = spec.inbound;
    c.protocol = static_cast<uint8_t>(spec.protocol);
    c.ipv6 = spec.family == 2;
    c.local = record_address(spec.local, c.ipv6);
    c.remote = record_address(spec.remote, c.ipv6);
    c.local_port = spec.local_port;
    c.remote_port = spec.remote_port;
    c.dns = spec.dns;
    c.has_icmp_type = spec.has_icmp_type;
    c.icmp_type = spec.icmp_type;
    c.has_icmp_code = spec.has_icmp_code;
    c.icmp_code = spec.icmp_code;
    c.pid = spec.pid;
    if (spec.classify) {
        if (lids) {
            c.lids.assign(lids->lids.begin(), lids->lids.begin() + std::min<long>(lids->count, 8));
        }
        verdict = engine_classify(c, 0);
        spec.verdict = verdict.verdict;
        spec.rule_id = verdict.rule_id;
    }
    State s = state_read();
    ConnectionRecord rec;
    /* Outbound: the local endpoint is the source; inbound: the remote one. */
    memcpy(rec.source, spec.inbound ? spec.remote : spec.local, 24);
    memcpy(rec.destination, spec.inbound ? spec.local : spec.remote, 24);
    rec.source_port = spec.inbound ? spec.remote_port : spec.local_port;
    rec.destination_port = spec.inbound ? spec.local_port : spec.remote_port;
    rec.protocol = spec.protocol;
    rec.family = spec.family;
    rec.pid = spec.pid;
    rec.inbound = spec.inbound;
    rec.verdict = spec.verdict;
    rec.rule_id = spec.rule_id;
    rec.dns = spec.dns;
    rec.no_process = spec.pid == 0;
    rec.service = engine_connection_service(c, spec.pid);
    rec.service_kind = rec.service.empty() ? 0 : 1;
    rec.status = spec.status;
    if (s.driver.active.present) {
        rec.policy_revision = static_cast<uint32_t>(s.driver.active.revision >> 32);
        rec.dc_inventory_revision = static_cast<uint32_t>(s.driver.active.revision);
        auto mode = s.driver.settings.find("enforcement-mode");
        bool known = mode != s.driver.settings.end() &&
                     (mode->second == 1 || mode->second == 2 || mode->second == 3 || mode->second == 5);
        rec.enforcement_state = known ? static_cast<uint8_t>(mode->second) : 3;
    } else {
        rec.enforcement_state = 1;
    }
    if (std::optional<uint32_t> uid = process_owner(spec.pid)) {
        rec.sid_count = 2;
        rec.sid[0] = 1;
        rec.sid[1] = *uid;
    }
    if (lids) {
        rec.cid = lids->cid;
    }
    size_t limit = connection_queue_limit(s);

    Engine &e = engine();
    std::lock_guard<std::mutex> g(e.mu);
    if (e.open_devices == 0) {
        return kNotReady;
    }
    result->verdict = verdict;
    result->first_sm_id = e.next_sm_id;
    result->queued = result->dropped = 0;
    for (uint64_t i = 0; i < count_of; i++) {
        rec.sm_id = e.next_sm_id++;
        if (e.connections.size() >= limit) {
            result->dropped++;
            continue;
        }
        std::vector<uint8_t> r(kConnectionRecordSize);
        encode_connection_record(rec, std::span<uint8_t, kConnectionRecordSize>(r.data(), kConnectionRecordSize));
        e.connections.push_back(std::move(r));
        result->queued++;
    }
    result->last_sm_id = e.next_sm_id - 1;
    count(e, "endr.connections-injected", static_cast<int64_t>(count_of));
    if (result->dropped) {
        count(e, "endr.connections-dropped", static_cast<int64_t>(result->dropped));
    }
    e.cv.notify_all();
    return kOk;
}

uint32_t engine_append_log(const std::string &text)
{
    Engine &e = engine();
    std::lock_guard<std::mutex> g(e.mu);
    if (e.open_devices == 0) {
        return kNotReady;
    }
    if (e.log.size() + text.size() + 1 > kMaxLogBytes) {
        count(e, "endr.log-texts-refused");
        return kGenFailure;
    }
    e.log += text;
    e.log += '\n';
    e.cv.notify_all();
    return kOk;
}

} // namespace endr

uint32_t endr_service_query(endr_service_info *info)
{
    State s = state_read();
    memset(info, 0, sizeof(*info));
    info->installed = s.service.installed;
    info->running = s.service.running;
    g_strlcpy(info->binary_path, s.service.binary_path.c_str(), sizeof(info->binary_path));
    info->ipfilter_dependency = s.service.ipfilter_dependency;
    return kOk;
}

uint32_t endr_service_install(const char *binary_path, bool ipfilter_dependency)
{
    if (!binary_path || strlen(binary_path) >= sizeof(endr_service_info::binary_path)) {
        return kInvalidParameter;
    }
    if (uint32_t f = state_take_fault("service-create")) {
        return f;
    }
    uint32_t rc = kOk;
    state_update([&](State &s) {
        if (s.service.installed) {
            rc = kServiceExists;
            return false;
        }
        s.service = ServiceState{true, false, binary_path, ipfilter_dependency};
        unload_driver(s);
        return true;
    });
    return rc;
}

uint32_t endr_service_start(void)
{
    if (uint32_t f = state_take_fault("service-start")) {
        return f;
    }
    uint32_t rc = kOk;
    state_update([&](State &s) {
        if (!s.service.installed) {
            rc = kServiceDoesNotExist;
        } else if (s.service.running) {
            rc = kServiceAlreadyRunning;
        } else if (!g_file_test(s.service.binary_path.c_str(), G_FILE_TEST_IS_REGULAR)) {
            rc = kFileNotFound;
        } else {
            s.service.running = true;
            unload_driver(s);
            return true;
        }
        return false;
    });
    if (rc == kOk) {
        g_message("[endr-emu] driver loaded from %s", state_read().service.binary_path.c_str());
    }
    return rc;
}

uint32_t endr_service_stop(void)
{
    if (uint32_t f = state_take_fault("service-stop")) {
        return f;
    }
    uint32_t rc = kOk;
    state_update([&](State &s) {
        if (!s.service.running) {
            rc = kServiceNotActive;
            return false;
        }
        s.service.running = false;
        unload_driver(s);
        return true;
    });
    if (rc == kOk) {
        g_remove(dns_path().c_str());
        Engine &e = engine();
        std::lock_guard<std::mutex> g(e.mu);
        e.staged = Policy{};
        e.active = Policy{};
        e.staging = false;
        e.connections.clear();
        e.service_names.clear();
        e.service_tuples.clear();
        e.sessions = SessionPicture{};
    }
    return rc;
}

uint32_t endr_service_delete(void)
{
    if (uint32_t f = state_take_fault("service-delete")) {
        return f;
    }
    State s = state_read();
    if (!s.service.installed) {
        return kServiceDoesNotExist;
    }
    if (s.service.running) {
        if (uint32_t rc = endr_service_stop(); rc != kOk && rc != kServiceNotActive) {
            return rc;
        }
    }
    uint32_t rc = kOk;
    state_update([&](State &st) {
        if (!st.service.installed) {
            rc = kServiceDoesNotExist;
            return false;
        }
        st.service = ServiceState{};
        return true;
    });
    return rc;
}

void endr_keep_freed_memory(void)
{
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
}

uint32_t endr_device_open(endr_device **device)
{
    if (!device) {
        return kInvalidParameter;
    }
    *device = nullptr;
    if (uint32_t f = state_take_fault("device-open")) {
        return f;
    }
    if (!state_read().service.running) {
        return kFileNotFound;
    }
    Engine &e = engine();
    bool first;
    {
        std::lock_guard<std::mutex> g(e.mu);
        first = e.open_devices++ == 0;
    }
    if (first) {
        ControlServer *server = control_server_start();
        std::lock_guard<std::mutex> g(e.mu);
        e.server = server;
    }
    *device = new endr_device;
    return kOk;
}

uint32_t endr_device_ioctl(endr_device *dev, uint32_t code, const void *in, uint32_t in_len, void *out,
                           uint32_t out_len, uint32_t *returned)
{
    uint32_t unused = 0;
    uint32_t *ret = returned ? returned : &unused;
    *ret = 0;
    if (!dev) {
        return kInvalidHandle;
    }
    Engine &e = engine();
    {
        std::lock_guard<std::mutex> g(e.mu);
        if (dev->closing) {
            return kInvalidHandle;
        }
        dev->inflight++;
        count(e, "endr.requests");
    }
    uint32_t rc = kOk;
    Header h{};
    const CodeInfo *info = code_info(code);
    if (uint32_t f = state_take_fault(fault_key(code))) {
        rc = f;
    } else if ((rc = decode_header(code, in, in_len, out != nullptr, out_len, &h)) != kOk) {
    } else if (info->form == Form::Value || info->form == Form::QueueSize) {
        rc = check_value(code, h.value, h.selector);
        if (rc == kOk) {
            rc = apply_value(dev, *info, h);
        }
    } else if (info->form == Form::Buffer) {
        rc = apply_buffer(*info, caller_buffer(h), dev);
    } else if (info->form == Form::ReadOutput) {
        rc = read_output(code, static_cast<uint8_t *>(out), out_len, ret);
    } else {
        rc = read_event(dev, h, static_cast<uint8_t *>(out), ret);
    }
    if (rc != kOk && rc != kAborted) {
        g_debug("[endr-emu] request 0x%x (%s) failed: %u", code, info ? info->name : "unknown", rc);
    }
    std::lock_guard<std::mutex> g(e.mu);
    if (rc != kOk) {
        count(e, "endr.requests-failed");
    }
    dev->inflight--;
    e.cv.notify_all();
    return rc;
}

void endr_device_cancel(endr_device *dev)
{
    if (!dev) {
        return;
    }
    Engine &e = engine();
    std::lock_guard<std::mutex> lock(e.mu);
    dev->closing = true;
    drop_consumer(e, dev);
    e.cv.notify_all();
}

void endr_device_close(endr_device *dev)
{
    if (!dev) {
        return;
    }
    Engine &e = engine();
    ControlServer *server = nullptr;
    bool had_role;
    {
        std::unique_lock<std::mutex> lock(e.mu);
        dev->closing = true;
        drop_consumer(e, dev);
        e.cv.notify_all();
        e.cv.wait(lock, [&] { return dev->inflight == 0; });
        had_role = dev->role;
        if (--e.open_devices == 0) {
            server = e.server;
            e.server = nullptr;
        }
    }
    if (had_role) {
        state_update([](State &s) {
            if (s.driver.holder_pid != getpid()) {
                return false;
            }
            s.driver.role = false;
            s.driver.started = false;
            s.driver.holder_pid = 0;
            return true;
        });
    }
    delete dev;
    if (server) {
        control_server_stop(server);
    }
}

uint32_t endr_classify(const endr_connection *conn, endr_verdict *out)
{
    if (!conn || !out || conn->protocol > 2 || conn->lid_count > 8) {
        return kInvalidParameter;
    }
    Connection c;
    c.inbound = conn->inbound;
    c.protocol = conn->protocol;
    c.ipv6 = conn->ipv6;
    memcpy(c.local.data(), conn->local, 16);
    memcpy(c.remote.data(), conn->remote, 16);
    if (!c.ipv6) {
        std::fill(c.local.begin() + 4, c.local.end(), 0);
        std::fill(c.remote.begin() + 4, c.remote.end(), 0);
    }
    c.local_port = conn->local_port;
    c.remote_port = conn->remote_port;
    c.lids.assign(conn->lids, conn->lids + conn->lid_count);
    c.dns = conn->dns ? conn->dns : "";
    c.has_icmp_type = conn->has_icmp_type;
    c.icmp_type = conn->icmp_type;
    c.has_icmp_code = conn->has_icmp_code;
    c.icmp_code = conn->icmp_code;
    c.count_candidates = conn->count_candidates;
    Verdict v = engine_classify(c, conn->pid);
    out->verdict = v.verdict;
    g_strlcpy(out->rule_id, v.rule_id.c_str(), sizeof(out->rule_id));
    out->rule_number = v.rule_number;
    out->candidates = v.candidates;
    return kOk;
}
