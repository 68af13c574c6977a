/*
 * The emulated driver's view of the request protocol: the 16-byte header, the form of
 * each control code, and a checker for every payload layout. Pure functions over bytes,
 * no state, no I/O, so that they can be fuzzed and tested alone. Every checker returns a
 * Win32 code (0 when the bytes are acceptable) and reads nothing beyond the span it got.
 */
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace endr {

constexpr uint16_t kMagic = 0xE8D3;
constexpr uint8_t kHeaderVersion = 4;
constexpr uint32_t kHeaderSize = 16;
constexpr uint64_t kApiVersion = 420005;

constexpr uint32_t kOk = 0;
constexpr uint32_t kInvalidFunction = 1;
constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kInvalidHandle = 6;
constexpr uint32_t kGenFailure = 31;
constexpr uint32_t kInvalidParameter = 87;
constexpr uint32_t kAborted = 995;
constexpr uint32_t kInvalidState = 5023;

enum Code : uint32_t {
    kReadEvent = 0x122422,
    kSetQueueSize = 0x122439,
    kGetMetrics = 0x122442,
    kSetRevision = 0x122445,
    kInitInputTable = 0x122449,
    kInitOutputTable = 0x12244D,
    kAddChain = 0x122451,
    kAddRule = 0x122455,
    kSwapPolicy = 0x122459,
    kLidReply = 0x12245D,
    kReauthorize = 0x122461,
    kSetVerbosity = 0x122465,
    kSetPolicyLimits = 0x122469,
    kBlockNonTcpUdp = 0x12246D,
    kGetVersion = 0x122472,
    kDnsEnable = 0x122475,
    kDnsRateLimit = 0x122479,
    kEnforcementMode = 0x12247D,
    kExcludedInterfaces = 0x122481,
    kStartMonitoring = 0x122485,
    kGetDnsSnapshot = 0x12248A,
    kSetDnsSnapshot = 0x12248D,
    kSynSentTimeout = 0x122491,
    kSetUserSessions = 0x122495,
    kUserSessionsMurky = 0x122499,
    kDropOutOfSession = 0x12249D,
    kLightRevision = 0x1224A1,
    kFirewallMode = 0x1224A5,
    kGetDriverLogs = 0x1224C2,
    kSetConsumerRole = 0x1224C5,
    kInitInputIndex = 0x1224F5,
    kInitOutputIndex = 0x1224F9,
    kSetIndexLimits = 0x122501,
    kDnsBlocklistPolicy = 0x122511,
    kSufficientSize = 0x122515,
    kGetConnections = 0x12251A,
    kDnsBlocklistEnabled = 0x122525,
    kServiceNameMap = 0x122529,
    kServiceTuples = 0x12252D,
};

enum class Form { Value, Buffer, ReadOutput, ReadEvent, QueueSize };

/* What the request carries; `setting` names the value kept in the driver settings. */
struct CodeInfo {
    uint32_t code;
    const char *name;
    Form form;
    const char *setting;
};
/* NULL for a code outside the table. */
const CodeInfo *code_info(uint32_t code);
std::span<const CodeInfo> all_codes();

struct Header {
    uint16_t magic;
    uint8_t version;
    uint8_t selector;
    uint64_t value;
    uint32_t length;
};

/*
 * Header and form: magic, version, selector rule, and the header value, header length
 * and output length that the code's form allows. out_present tells whether an output
 * buffer was given at all.
 */
uint32_t decode_header(uint32_t code, const void *in, uint32_t in_len, bool out_present, uint32_t out_len,
                       Header *header);

/* Values of the value-form requests (range checks). */
uint32_t check_value(uint32_t code, uint64_t value, uint8_t selector);

struct LidReply {
    uint64_t pid;
    uint32_t cid;
    uint16_t count;
    std::array<uint16_t, 8> lids;
    bool update;
};
constexpr uint32_t kLidReplySize = 31;
uint32_t parse_lid_reply(std::span<const uint8_t> b, LidReply *out);

struct ConnectionRequest {
    uint64_t wait_ms;
    uint32_t max_records;
    uint32_t sufficient;
    uint32_t buffer_size;
    uint64_t buffer;
    uint64_t aux;
};
constexpr uint32_t kConnectionRequestSize = 40;
constexpr uint32_t kConnectionRecordSize = 1852;
constexpr uint32_t kConnectionReturnedOffset = 16;
constexpr uint32_t kMaxConnectionRecords = 1000;
/*
 * The 40-byte connection request: a wait time, at most 1000 records, a record buffer of
 * exactly max_records x 1852 bytes and both buffer addresses set. The records-returned
 * field is the driver's to write and is not read. The auxiliary buffer is never touched.
 */
uint32_t parse_connection_request(std::span<const uint8_t> b, ConnectionRequest *out);

/*
 * One connection record as the driver hands it out (1852 bytes, packed, little-endian;
 * bytes not listed stay zero). Addresses are in record form: 8-byte head (first byte 1
 * for IPv4, 0 for IPv6), then IPv4 as a host-order u32 or the 16 IPv6 bytes.
 */
struct ConnectionRecord {
    uint32_t type = 3;
    uint8_t source[24] = {};
    uint8_t destination[24] = {};
    uint16_t source_port = 0;
    uint16_t destination_port = 0;
    /* 0 TCP, 1 UDP, 2 ICMP (the module reports only TCP and UDP; it drops the others). */
    uint32_t protocol = 0;
    uint16_t family = 1; /* 1 IPv4, 2 IPv6 */
    uint64_t pid = 0;
    uint32_t cid = 0;
    bool inbound = false;
    uint32_t verdict = 2; /* 1 BLOCK, 2 ALLOW */
    uint32_t dc_inventory_revision = 0;
    uint32_t policy_revision = 0;
    std::string rule_id; /* cut to 128 bytes */
    std::string dns; /* cut to 254 bytes */
    bool no_process = false;
    /* The owner of the process: count 0 (none) to 15 sub-authorities. */
    uint8_t sid_count = 0;
    std::array<uint32_t, 15> sid = {};
    uint8_t status = 1; /* 0 UNKNOWN, 1 SUCCESS, 2 FAILED */
    uint8_t enrichment = 0; /* 0 PRIMARY, 1 STATUS */
    uint8_t enforcement_state = 3; /* 1 visibility only, 2 monitoring, 3 enforcing, 5 metrics only */
    uint64_t sm_id = 0;
    /* 0 none, 1 a service whose display name the module looks up; the name cut to 1024 bytes. */
    uint8_t service_kind = 0;
    std::string service;
};
void encode_connection_record(const ConnectionRecord &r, std::span<uint8_t, kConnectionRecordSize> out);

struct LogRequest {
    uint64_t wait_ms;
    uint64_t buffer;
    uint32_t buffer_size;
};
constexpr uint32_t kLogRequestSize = 28;
constexpr uint32_t kLogReturnedOffset = 24;
uint32_t parse_log_request(std::span<const uint8_t> b, LogRequest *out);

constexpr uint32_t kPolicyLimitsSize = 32;
uint32_t parse_policy_limits(std::span<const uint8_t> b, std::array<uint64_t, 4> *out);
constexpr uint32_t kIndexLimitsSize = 24;
uint32_t parse_index_limits(std::span<const uint8_t> b, std::array<uint64_t, 3> *out);
constexpr uint32_t kExcludedSize = 128;
uint32_t parse_excluded(std::span<const uint8_t> b, std::array<uint64_t, 16> *out);

struct ChainMessage {
    bool output;
    std::string chain;
    uint32_t rules;
};
constexpr uint32_t kAddChainSize = 260;
uint32_t parse_add_chain(std::span<const uint8_t> b, ChainMessage *out);

/* The rule buffer stays a view into the message; its entity part is decoded later. */
struct RuleMessage {
    bool output;
    std::string chain;
    std::span<const uint8_t> rule;
    uint64_t type;
    uint64_t verdict;
    std::string id;
};
constexpr uint32_t kAddRuleHeaderSize = 264;
/* Two entity buffers without criteria (39 bytes each) and the 144-byte trailer. */
constexpr uint32_t kMinRuleSize = 39 + 39 + 144;
uint32_t parse_add_rule(std::span<const uint8_t> b, RuleMessage *out);

struct IndexSummary {
    uint32_t bag_size;
    uint16_t rules16;
    uint16_t words;
    uint32_t port_regions;
    uint32_t src_regions;
    uint32_t dst_regions;
};
/* Length walk of a table index: sizes, bag numbers in range, region starts ascending. */
uint32_t parse_index(std::span<const uint8_t> b, IndexSummary *out);
uint16_t index_words_for(uint16_t rules16);

constexpr uint32_t kDnsSnapshotSize = 2960016;
constexpr uint32_t kDnsSlotSize = 296;
constexpr uint32_t kDnsCapacity = 10000;
constexpr uint32_t kDnsCountOffset = 2960000;
constexpr uint32_t kDnsCapacityOffset = 2960008;
/* A snapshot to load: count and capacity, then every slot in use. */
uint32_t parse_dns_snapshot(std::span<const uint8_t> b, uint64_t *count);
/* A snapshot to fill: the size and the capacity the caller announces. */
uint32_t check_dns_snapshot_target(std::span<const uint8_t> b, uint64_t *capacity);
uint32_t check_dns_slot(std::span<const uint8_t> slot);

struct UserSessions {
    uint32_t sids;
    bool local_user;
    bool local_admin;
    uint64_t checksum;
    /* Each packed SID's sub-authorities, in buffer order. */
    std::vector<std::vector<uint32_t>> list;
};
uint32_t parse_user_sessions(std::span<const uint8_t> b, UserSessions *out);
uint64_t fnv1a64(std::span<const uint8_t> b);

/* Tags ascending, each at most once; names when given: tag -> name. */
uint32_t parse_service_map(std::span<const uint8_t> b, uint32_t *entries,
                           std::map<uint64_t, std::string> *names = nullptr);
constexpr uint32_t kServiceTupleSize = 46;
/* A socket a service owned before the driver watched; addresses in network byte order. */
struct ServiceTuple {
    bool udp = false;
    bool ipv6 = false;
    std::array<uint8_t, 16> local{};
    std::array<uint8_t, 16> remote{};
    uint16_t local_port = 0;
    uint16_t remote_port = 0;
    uint64_t tag = 0;
};
uint32_t parse_service_tuples(std::span<const uint8_t> b, uint32_t *count, std::vector<ServiceTuple> *tuples = nullptr);

struct Blocklist {
    uint64_t revision;
    uint32_t block;
    uint32_t exclude;
};
uint32_t parse_blocklist(std::span<const uint8_t> b, Blocklist *out);

constexpr uint32_t kMetricsSize = 102400;
constexpr uint32_t kMetricEntrySize = 136;
constexpr uint32_t kEventAreaSize = 48;
constexpr uint32_t kEventBufferSize = 65535;

/* Checks the payload of a buffer-form request by code (the fuzzer's entry). */
uint32_t check_buffer(uint32_t code, std::span<const uint8_t> b);

/* Bounds-checked little-endian cursor over untrusted bytes; any short read latches failure. */
class Reader {
public:
    explicit Reader(std::span<const uint8_t> b) : b_(b) {}

    template <typename T> T get()
    {
        T v{};
        if (take(sizeof(T))) {
            memcpy(&v, b_.data() + pos_ - sizeof(T), sizeof(T));
        }
        return v;
    }
    bool flag()
    {
        uint8_t v = get<uint8_t>();
        if (v > 1) {
            bad_ = true;
        }
        return v == 1;
    }
    std::span<const uint8_t> bytes(uint64_t n)
    {
        if (!take(n)) {
            return {};
        }
        return b_.subspan(pos_ - n, n);
    }
    bool take(uint64_t n)
    {
        if (bad_ || n > b_.size() - pos_) {
            bad_ = true;
            return false;
        }
        pos_ += n;
        return true;
    }
    /* Counts come from the buffer: refuse one that cannot fit before allocating for it. */
    bool fits(uint64_t count, uint64_t min_each)
    {
        if (bad_ || (min_each && count > (b_.size() - pos_) / min_each)) {
            bad_ = true;
            return false;
        }
        return true;
    }
    void fail() { bad_ = true; }
    bool ok() const { return !bad_; }
    size_t pos() const { return pos_; }
    bool at_end() const { return !bad_ && pos_ == b_.size(); }

private:
    std::span<const uint8_t> b_;
    size_t pos_ = 0;
    bool bad_ = false;
};

} // namespace endr
