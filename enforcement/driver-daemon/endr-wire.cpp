#include "enforcement/driver-daemon/endr-wire.h"

#include <algorithm>
#include <cstring>

namespace endr {

namespace {

const CodeInfo kCodes[] = {
    {kReadEvent, "read-event", Form::ReadEvent, nullptr},
    {kSetQueueSize, "set-queue-size", Form::QueueSize, nullptr},
    {kGetMetrics, "get-metrics", Form::ReadOutput, nullptr},
    {kSetRevision, "set-policy-revision", Form::Value, nullptr},
    {kInitInputTable, "init-input-table", Form::Value, nullptr},
    {kInitOutputTable, "init-output-table", Form::Value, nullptr},
    {kAddChain, "add-chain", Form::Buffer, nullptr},
    {kAddRule, "add-rule", Form::Buffer, nullptr},
    {kSwapPolicy, "swap-policy", Form::Value, nullptr},
    {kLidReply, "lid-reply", Form::Buffer, nullptr},
    {kReauthorize, "trigger-reauthorization", Form::Value, nullptr},
    {kSetVerbosity, "set-verbosity", Form::Value, "verbosity"},
    {kSetPolicyLimits, "set-policy-limits", Form::Buffer, nullptr},
    {kBlockNonTcpUdp, "block-non-tcp-udp", Form::Value, "block-non-tcp-udp"},
    {kGetVersion, "get-version", Form::ReadOutput, nullptr},
    {kDnsEnable, "dns-enable", Form::Value, "dns-enable"},
    {kDnsRateLimit, "dns-rate-limit", Form::Value, "dns-rate-limit"},
    {kEnforcementMode, "enforcement-mode", Form::Value, "enforcement-mode"},
    {kExcludedInterfaces, "set-excluded-interfaces", Form::Buffer, nullptr},
    {kStartMonitoring, "start-monitoring", Form::Value, nullptr},
    {kGetDnsSnapshot, "get-dns-snapshot", Form::Buffer, nullptr},
    {kSetDnsSnapshot, "set-dns-snapshot", Form::Buffer, nullptr},
    {kSynSentTimeout, "syn-sent-timeout", Form::Value, "syn-sent-timeout"},
    {kSetUserSessions, "set-user-sessions", Form::Buffer, nullptr},
    {kUserSessionsMurky, "user-sessions-murky", Form::Value, nullptr},
    {kDropOutOfSession, "drop-out-of-session", Form::Value, "drop-out-of-session"},
    {kLightRevision, "light-revision-update", Form::Value, nullptr},
    {kFirewallMode, "firewall-mode", Form::Value, "firewall-mode"},
    {kGetDriverLogs, "get-driver-logs", Form::Buffer, nullptr},
    {kSetConsumerRole, "set-consumer-role", Form::Value, nullptr},
    {kInitInputIndex, "init-input-index", Form::Buffer, nullptr},
    {kInitOutputIndex, "init-output-index", Form::Buffer, nullptr},
    {kSetIndexLimits, "set-index-limits", Form::Buffer, nullptr},
    {kDnsBlocklistPolicy, "dns-blocklist-policy", Form::Buffer, nullptr},
    {kSufficientSize, "req-sufficient-size", Form::Value, "req-sufficient-size"},
    {kGetConnections, "get-connections", Form::Buffer, nullptr},
    {kDnsBlocklistEnabled, "dns-blocklist-enabled", Form::Value, "dns-blocklist-enabled"},
    {kServiceNameMap, "service-name-map", Form::Buffer, nullptr},
    {kServiceTuples, "existing-service-tuples", Form::Buffer, nullptr},
};

template <typename T> T load(std::span<const uint8_t> b, size_t off)
{
    T v;
    memcpy(&v, b.data() + off, sizeof(T));
    return v;
}

/* A NUL-terminated text inside a fixed field; false when the field has no NUL. */
bool fixed_text(std::span<const uint8_t> field, std::string *out)
{
    const void *nul = memchr(field.data(), 0, field.size());
    if (!nul) {
        return false;
    }
    out->assign(reinterpret_cast<const char *>(field.data()),
                static_cast<const uint8_t *>(nul) - field.data());
    return true;
}

/* A counted name: n bytes, the last one NUL and no NUL before it. */
bool counted_name(std::span<const uint8_t> name)
{
    return !name.empty() && name.back() == 0 && memchr(name.data(), 0, name.size() - 1) == nullptr;
}

uint32_t parse_table_name(std::span<const uint8_t> field, bool *output)
{
    std::string table;
    if (!fixed_text(field, &table)) {
        return kInvalidParameter;
    }
    if (table == "INPUT") {
        *output = false;
    } else if (table == "OUTPUT") {
        *output = true;
    } else {
        return kInvalidParameter;
    }
    return kOk;
}

} // namespace

const CodeInfo *code_info(uint32_t code)
{
    for (const CodeInfo &c : kCodes) {
        if (c.code == code) {
            return &c;
        }
    }
    return nullptr;
}

std::span<const CodeInfo> all_codes()
{
    return kCodes;
}

uint32_t decode_header(uint32_t code, const void *in, uint32_t in_len, bool out_present, uint32_t out_len,
                       Header *h)
{
    const CodeInfo *info = code_info(code);
    if (!info) {
        return kInvalidFunction;
    }
    if (!in || in_len != kHeaderSize) {
        return kInvalidParameter;
    }
    std::span<const uint8_t> b(static_cast<const uint8_t *>(in), kHeaderSize);
    h->magic = load<uint16_t>(b, 0);
    h->version = b[2];
    h->selector = b[3];
    h->value = load<uint64_t>(b, 4);
    h->length = load<uint32_t>(b, 12);
    if (h->magic != kMagic || h->version != kHeaderVersion) {
        return kInvalidParameter;
    }
    if (h->selector != 0 && info->form != Form::QueueSize) {
        return kInvalidParameter;
    }
    bool has_out = out_present && out_len > 0;
    switch (info->form) {
    case Form::Value:
    case Form::QueueSize:
        return h->length == 0 && !has_out ? kOk : kInvalidParameter;
    case Form::Buffer:
        return h->value != 0 && h->length != 0 && !has_out ? kOk : kInvalidParameter;
    case Form::ReadOutput:
        return h->value == 0 && h->length == 0 && has_out ? kOk : kInvalidParameter;
    case Form::ReadEvent:
        return h->value != 0 && h->length == 0 && has_out && out_len == kEventBufferSize ? kOk : kInvalidParameter;
    }
    return kInvalidParameter;
}

uint32_t check_value(uint32_t code, uint64_t v, uint8_t selector)
{
    switch (code) {
    case kSetQueueSize:
        if (selector == 0) {
            return v >= 1 && v <= 32768 ? kOk : kInvalidParameter;
        }
        return selector == 1 && v >= 128 && v <= 2048 ? kOk : kInvalidParameter;
    case kSetVerbosity:
        return v <= 2 ? kOk : kInvalidParameter;
    case kFirewallMode:
        return v <= 3 ? kOk : kInvalidParameter;
    case kEnforcementMode:
        return v >= 1 && v <= 5 ? kOk : kInvalidParameter;
    case kBlockNonTcpUdp:
    case kDnsEnable:
    case kDropOutOfSession:
    case kDnsBlocklistEnabled:
        return v <= 1 ? kOk : kInvalidParameter;
    case kSwapPolicy:
    case kReauthorize:
    case kStartMonitoring:
    case kUserSessionsMurky:
    case kSetConsumerRole:
        return v == 0 ? kOk : kInvalidParameter;
    case kInitInputTable:
    case kInitOutputTable:
        /* The rule numbering of a table is 16 bits wide; no table has more chains. */
        return v <= 65536 ? kOk : kInvalidParameter;
    default:
        return kOk;
    }
}

uint32_t parse_lid_reply(std::span<const uint8_t> b, LidReply *out)
{
    if (b.size() != kLidReplySize) {
        return kInvalidParameter;
    }
    out->pid = load<uint64_t>(b, 0);
    out->cid = load<uint32_t>(b, 8);
    out->count = load<uint16_t>(b, 12);
    for (size_t i = 0; i < 8; i++) {
        out->lids[i] = load<uint16_t>(b, 14 + 2 * i);
    }
    if (out->count > 8 || b[30] > 1) {
        return kInvalidParameter;
    }
    for (size_t i = out->count; i < 8; i++) {
        if (out->lids[i] != 0) {
            return kInvalidParameter;
        }
    }
    out->update = b[30] == 1;
    return kOk;
}

uint32_t parse_connection_request(std::span<const uint8_t> b, ConnectionRequest *out)
{
    if (b.size() != kConnectionRequestSize) {
        return kInvalidParameter;
    }
    out->wait_ms = load<uint64_t>(b, 0);
    out->max_records = load<uint32_t>(b, 8);
    out->sufficient = load<uint32_t>(b, 12);
    out->buffer_size = load<uint32_t>(b, 20);
    out->buffer = load<uint64_t>(b, 24);
    out->aux = load<uint64_t>(b, 32);
    if (out->max_records == 0 || out->max_records > kMaxConnectionRecords ||
        out->buffer_size != out->max_records * kConnectionRecordSize || out->buffer == 0 || out->aux == 0) {
        return kInvalidParameter;
    }
    return kOk;
}

void encode_connection_record(const ConnectionRecord &r, std::span<uint8_t, kConnectionRecordSize> out)
{
    uint8_t *p = out.data();
    memset(p, 0, kConnectionRecordSize);
    auto put = [p](size_t off, auto v) { memcpy(p + off, &v, sizeof(v)); };
    put(0, r.type);
    memcpy(p + 4, r.source, 24);
    memcpy(p + 28, r.destination, 24);
    put(52, r.source_port);
    put(54, r.destination_port);
    put(56, r.protocol);
    put(60, r.family);
    put(68, r.pid);
    put(76, r.cid);
    p[80] = r.inbound;
    put(84, r.verdict);
    put(92, r.dc_inventory_revision);
    put(96, r.policy_revision);
    /* Each text keeps its NUL inside its field (100..228, 229..483). */
    memcpy(p + 100, r.rule_id.data(), std::min<size_t>(r.rule_id.size(), 128));
    memcpy(p + 229, r.dns.data(), std::min<size_t>(r.dns.size(), 254));
    p[484] = r.no_process;
    p[740] = r.service_kind;
    memcpy(p + 741, r.service.data(), std::min<size_t>(r.service.size(), 1024));
    uint8_t sids = std::min<uint8_t>(r.sid_count, 15);
    memcpy(p + 1766, r.sid.data(), size_t{sids} * 4);
    p[1826] = sids;
    p[1827] = r.status;
    p[1828] = r.enrichment;
    p[1829] = r.enforcement_state;
    put(1836, r.sm_id);
}

uint32_t parse_log_request(std::span<const uint8_t> b, LogRequest *out)
{
    if (b.size() != kLogRequestSize) {
        return kInvalidParameter;
    }
    out->wait_ms = load<uint64_t>(b, 0);
    out->buffer = load<uint64_t>(b, 8);
    out->buffer_size = load<uint32_t>(b, 16);
    if (out->buffer == 0 || out->buffer_size == 0 || load<uint32_t>(b, 20) != 2048) {
        return kInvalidParameter;
    }
    return kOk;
}

uint32_t parse_policy_limits(std::span<const uint8_t> b, std::array<uint64_t, 4> *out)
{
    if (b.size() != kPolicyLimitsSize) {
        return kInvalidParameter;
    }
    for (size_t i = 0; i < 4; i++) {
        (*out)[i] = load<uint64_t>(b, 8 * i);
    }
    return kOk;
}

uint32_t parse_index_limits(std::span<const uint8_t> b, std::array<uint64_t, 3> *out)
{
    if (b.size() != kIndexLimitsSize) {
        return kInvalidParameter;
    }
    for (size_t i = 0; i < 3; i++) {
        (*out)[i] = load<uint64_t>(b, 8 * i);
    }
    return kOk;
}

uint32_t parse_excluded(std::span<const uint8_t> b, std::array<uint64_t, 16> *out)
{
    if (b.size() != kExcludedSize) {
        return kInvalidParameter;
    }
    for (size_t i = 0; i < 16; i++) {
        (*out)[i] = load<uint64_t>(b, 8 * i);
    }
    return kOk;
}

uint32_t parse_add_chain(std::span<const uint8_t> b, ChainMessage *out)
{
    if (b.size() != kAddChainSize) {
        return kInvalidParameter;
    }
    if (parse_table_name(b.subspan(0, 128), &out->output) != kOk || !fixed_text(b.subspan(128, 128), &out->chain) ||
        out->chain.empty()) {
        return kInvalidParameter;
    }
    out->rules = load<uint32_t>(b, 256);
    return kOk;
}

uint32_t parse_add_rule(std::span<const uint8_t> b, RuleMessage *out)
{
    if (b.size() < kAddRuleHeaderSize + kMinRuleSize) {
        return kInvalidParameter;
    }
    if (parse_table_name(b.subspan(0, 128), &out->output) != kOk || !fixed_text(b.subspan(128, 128), &out->chain) ||
        out->chain.empty()) {
        return kInvalidParameter;
    }
    uint64_t len = load<uint64_t>(b, 256);
    if (len != b.size() - kAddRuleHeaderSize) {
        return kInvalidParameter;
    }
    out->rule = b.subspan(kAddRuleHeaderSize);
    std::span<const uint8_t> trailer = out->rule.subspan(out->rule.size() - 144);
    out->type = load<uint64_t>(trailer, 0);
    out->verdict = load<uint64_t>(trailer, 8);
    if (out->type > 2 || (out->verdict != 1 && out->verdict != 2) || !fixed_text(trailer.subspan(16, 128), &out->id)) {
        return kInvalidParameter;
    }
    return kOk;
}

uint16_t index_words_for(uint16_t rules16)
{
    return rules16 >= 1 && rules16 <= 65472 ? static_cast<uint16_t>((rules16 + 63) / 64) : 1024;
}

uint32_t parse_index(std::span<const uint8_t> b, IndexSummary *out)
{
    Reader r(b);
    out->bag_size = r.get<uint32_t>();
    out->rules16 = r.get<uint16_t>();
    out->words = r.get<uint16_t>();
    if (!r.ok() || out->bag_size == 0 || out->words != index_words_for(out->rules16)) {
        return kInvalidParameter;
    }
    if (!r.take(uint64_t{out->bag_size} * out->words * 8)) {
        return kInvalidParameter;
    }
    for (int i = 0; i < 3; i++) {
        if (r.get<uint32_t>() >= out->bag_size) {
            return kInvalidParameter;
        }
    }
    auto regions = [&](auto start_type, uint32_t *count) {
        using T = decltype(start_type);
        *count = r.get<uint32_t>();
        std::span<const uint8_t> starts = r.bytes(uint64_t{*count} * sizeof(T));
        std::span<const uint8_t> bags = r.bytes(uint64_t{*count} * 4);
        if (!r.ok()) {
            return false;
        }
        for (uint32_t i = 0; i < *count; i++) {
            if (load<uint32_t>(bags, 4 * i) >= out->bag_size) {
                return false;
            }
            if (i > 0 && load<T>(starts, sizeof(T) * i) <= load<T>(starts, sizeof(T) * (i - 1))) {
                return false;
            }
        }
        return true;
    };
    if (!regions(uint16_t{}, &out->port_regions) || !regions(uint32_t{}, &out->src_regions) ||
        !regions(uint32_t{}, &out->dst_regions) || !r.at_end()) {
        return kInvalidParameter;
    }
    return kOk;
}

uint32_t check_dns_slot(std::span<const uint8_t> slot)
{
    if (slot.size() != kDnsSlotSize || !memchr(slot.data(), 0, 256) || slot[256] > 1) {
        return kInvalidParameter;
    }
    for (size_t i = 257; i < 264; i++) {
        if (slot[i] != 0) {
            return kInvalidParameter;
        }
    }
    return kOk;
}

uint32_t parse_dns_snapshot(std::span<const uint8_t> b, uint64_t *count)
{
    if (b.size() != kDnsSnapshotSize) {
        return kInvalidParameter;
    }
    *count = load<uint64_t>(b, kDnsCountOffset);
    uint64_t capacity = load<uint64_t>(b, kDnsCapacityOffset);
    if (capacity != kDnsCapacity || *count > capacity) {
        return kInvalidParameter;
    }
    for (uint64_t i = 0; i < *count; i++) {
        if (check_dns_slot(b.subspan(i * kDnsSlotSize, kDnsSlotSize)) != kOk) {
            return kInvalidParameter;
        }
    }
    return kOk;
}

uint32_t check_dns_snapshot_target(std::span<const uint8_t> b, uint64_t *capacity)
{
    if (b.size() != kDnsSnapshotSize) {
        return kInvalidParameter;
    }
    *capacity = load<uint64_t>(b, kDnsCapacityOffset);
    return *capacity == kDnsCapacity ? kOk : kInvalidParameter;
}

uint64_t fnv1a64(std::span<const uint8_t> b)
{
    uint64_t h = 0xcbf29ce484222325ULL;
    for (uint8_t c : b) {
        h = (h ^ c) * 0x100000001b3ULL;
    }
    return h;
}

uint32_t parse_user_sessions(std::span<const uint8_t> b, UserSessions *out)
{
    if (b.size() < 18 || load<uint32_t>(b, 0) != b.size() || b[12] > 1 || b[13] > 1) {
        return kInvalidParameter;
    }
    out->checksum = load<uint64_t>(b, 4);
    std::string copy(b.begin(), b.end());
    memset(copy.data() + 4, 0, 8);
    if (fnv1a64({reinterpret_cast<const uint8_t *>(copy.data()), copy.size()}) != out->checksum) {
        return kInvalidParameter;
    }
    out->local_user = b[12];
    out->local_admin = b[13];
    out->sids = load<uint32_t>(b, 14);
    Reader r(b.subspan(18));
    out->list.clear();
    /* Each SID takes at least 5 bytes: a count that cannot fit is refused before reserving. */
    if (out->sids > (b.size() - 18) / 5) {
        return kInvalidParameter;
    }
    out->list.reserve(out->sids);
    for (uint32_t i = 0; i < out->sids; i++) {
        uint8_t n = r.get<uint8_t>();
        if (!r.ok() || n < 1 || n > 15) {
            return kInvalidParameter;
        }
        std::vector<uint32_t> sid(n);
        for (uint8_t k = 0; k < n; k++) {
            sid[k] = r.get<uint32_t>();
        }
        if (!r.ok()) {
            return kInvalidParameter;
        }
        out->list.push_back(std::move(sid));
    }
    return r.at_end() ? kOk : kInvalidParameter;
}

uint32_t parse_service_map(std::span<const uint8_t> b, uint32_t *entries, std::map<uint64_t, std::string> *names)
{
    if (b.size() < 8 || load<uint32_t>(b, 0) != b.size()) {
        return kInvalidParameter;
    }
    *entries = load<uint32_t>(b, 4);
    if (*entries == 0 || *entries > 65536) {
        return kInvalidParameter;
    }
    Reader r(b.subspan(8));
    uint64_t previous = 0;
    std::map<uint64_t, std::string> seen;
    for (uint32_t i = 0; i < *entries; i++) {
        uint64_t tag = r.get<uint64_t>();
        uint16_t len = r.get<uint16_t>();
        std::span<const uint8_t> name = r.bytes(uint64_t{len} + 1);
        /* One tag naming two services would make a service's rules depend on the order. */
        if (!r.ok() || len > 4096 || tag > 0xFFFFFFFFULL || (i > 0 && tag <= previous) || !counted_name(name)) {
            return kInvalidParameter;
        }
        previous = tag;
        if (names) {
            seen.emplace(tag, std::string(reinterpret_cast<const char *>(name.data()), len));
        }
    }
    if (!r.at_end()) {
        return kInvalidParameter;
    }
    if (names) {
        *names = std::move(seen);
    }
    return kOk;
}

uint32_t parse_service_tuples(std::span<const uint8_t> b, uint32_t *count, std::vector<ServiceTuple> *tuples)
{
    if (b.size() < 4) {
        return kInvalidParameter;
    }
    *count = load<uint32_t>(b, 0);
    if (*count == 0 || b.size() - 4 != uint64_t{*count} * kServiceTupleSize) {
        return kInvalidParameter;
    }
    std::vector<ServiceTuple> out;
    for (uint32_t i = 0; i < *count; i++) {
        std::span<const uint8_t> t = b.subspan(4 + size_t{i} * kServiceTupleSize, kServiceTupleSize);
        if (t[36] > 1 || t[37] < 1 || t[37] > 2) {
            return kInvalidParameter;
        }
        if (!tuples) {
            continue;
        }
        ServiceTuple st;
        st.udp = t[36] == 1;
        st.ipv6 = t[37] == 2;
        memcpy(st.local.data(), t.data(), 16);
        memcpy(st.remote.data(), t.data() + 16, 16);
        if (!st.ipv6) {
            /* IPv4 travels as a host-order u32. */
            for (auto *a : {&st.local, &st.remote}) {
                uint32_t host = 0;
                memcpy(&host, a->data(), 4);
                *a = {};
                (*a)[0] = static_cast<uint8_t>(host >> 24);
                (*a)[1] = static_cast<uint8_t>(host >> 16);
                (*a)[2] = static_cast<uint8_t>(host >> 8);
                (*a)[3] = static_cast<uint8_t>(host);
            }
        }
        st.local_port = load<uint16_t>(t, 32);
        st.remote_port = load<uint16_t>(t, 34);
        st.tag = load<uint64_t>(t, 38);
        out.push_back(st);
    }
    if (tuples) {
        *tuples = std::move(out);
    }
    return kOk;
}

uint32_t parse_blocklist(std::span<const uint8_t> b, Blocklist *out)
{
    Reader r(b);
    out->revision = r.get<uint64_t>();
    if (!r.ok() || out->revision > 0xFFFFFFFFULL) {
        return kInvalidParameter;
    }
    for (uint32_t *count : {&out->block, &out->exclude}) {
        *count = r.get<uint32_t>();
        for (uint32_t i = 0; r.ok() && i < *count; i++) {
            uint8_t n = r.get<uint8_t>();
            if (!r.ok() || n < 2 || !counted_name(r.bytes(n))) {
                return kInvalidParameter;
            }
        }
    }
    return r.at_end() ? kOk : kInvalidParameter;
}

uint32_t check_buffer(uint32_t code, std::span<const uint8_t> b)
{
    switch (code) {
    case kAddChain: {
        ChainMessage m;
        return parse_add_chain(b, &m);
    }
    case kAddRule: {
        RuleMessage m;
        return parse_add_rule(b, &m);
    }
    case kLidReply: {
        LidReply m;
        return parse_lid_reply(b, &m);
    }
    case kSetPolicyLimits: {
        std::array<uint64_t, 4> m;
        return parse_policy_limits(b, &m);
    }
    case kSetIndexLimits: {
        std::array<uint64_t, 3> m;
        return parse_index_limits(b, &m);
    }
    case kExcludedInterfaces: {
        std::array<uint64_t, 16> m;
        return parse_excluded(b, &m);
    }
    case kGetDnsSnapshot: {
        uint64_t capacity;
        return check_dns_snapshot_target(b, &capacity);
    }
    case kSetDnsSnapshot: {
        uint64_t count;
        return parse_dns_snapshot(b, &count);
    }
    case kSetUserSessions: {
        UserSessions m;
        return parse_user_sessions(b, &m);
    }
    case kGetDriverLogs: {
        LogRequest m;
        return parse_log_request(b, &m);
    }
    case kInitInputIndex:
    case kInitOutputIndex: {
        IndexSummary m;
        return parse_index(b, &m);
    }
    case kDnsBlocklistPolicy: {
        Blocklist m;
        return parse_blocklist(b, &m);
    }
    case kGetConnections: {
        ConnectionRequest m;
        return parse_connection_request(b, &m);
    }
    case kServiceNameMap: {
        uint32_t n;
        return parse_service_map(b, &n);
    }
    case kServiceTuples: {
        uint32_t n;
        return parse_service_tuples(b, &n);
    }
    default:
        return kInvalidFunction;
    }
}

} // namespace endr
