#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <thread>
#include <tuple>

#include "emu-fixture.h"
#include "enforcement/driver-daemon/endr-engine.h"
#include "qobject/qbool.h"
#include "qobject/qnull.h"

using namespace endr;

namespace {

class DriverEmu : public EmuFixture {
protected:
    /* Stages a table of `chains` chains with one rule each. */
    void StageTable(const char *table, uint32_t chains)
    {
        bool output = strcmp(table, "OUTPUT") == 0;
        ASSERT_EQ(Value(output ? kInitOutputTable : kInitInputTable, chains), 0u);
        if (chains == 0) {
            return;
        }
        std::vector<uint8_t> index = IndexBuffer(static_cast<uint16_t>(chains));
        ASSERT_EQ(Buffer(output ? kInitOutputIndex : kInitInputIndex, index), 0u);
        for (uint32_t c = 0; c < chains; c++) {
            std::string name = "chain-" + std::to_string(c);
            std::vector<uint8_t> chain = MakeChain(table, name.c_str(), 1);
            ASSERT_EQ(Buffer(kAddChain, chain), 0u);
            std::vector<uint8_t> rule = MakeRule(table, name.c_str(), ("rule-" + std::to_string(c)).c_str());
            ASSERT_EQ(Buffer(kAddRule, rule), 0u);
        }
    }
};

TEST_F(DriverEmu, MalformedHeadersFailWithoutCrash)
{
    Load();
    Hdr good;
    uint64_t version = 0;
    EXPECT_EQ(Raw(kGetVersion, good, &version, 8), 0u);
    EXPECT_EQ(Raw(kGetVersion, Hdr{.magic = 0xE8D4}, &version, 8), kInvalidParameter);
    EXPECT_EQ(Raw(kGetVersion, Hdr{.version = 3}, &version, 8), kInvalidParameter);
    EXPECT_EQ(Raw(kEnforcementMode, Hdr{.selector = 1, .value = 2}), kInvalidParameter);

    /* A 15-byte header and a missing one. */
    std::vector<uint8_t> short_header = good.bytes();
    short_header.pop_back();
    EXPECT_EQ(endr_device_ioctl(dev_, kGetVersion, short_header.data(), 15, &version, 8, nullptr), kInvalidParameter);
    EXPECT_EQ(endr_device_ioctl(dev_, kGetVersion, nullptr, 16, &version, 8, nullptr), kInvalidParameter);
    EXPECT_EQ(endr_device_ioctl(nullptr, kGetVersion, good.bytes().data(), 16, &version, 8, nullptr), kInvalidHandle);

    /* Forms: a value request with a length, a buffer request without an address,
       an output request with a short or missing buffer, an unknown code. */
    EXPECT_EQ(Raw(kDnsEnable, Hdr{.value = 1, .length = 8}), kInvalidParameter);
    EXPECT_EQ(Raw(kSetPolicyLimits, Hdr{.length = 32}), kInvalidParameter);
    uint32_t small = 0;
    EXPECT_EQ(Raw(kGetVersion, good, &small, 4), kInvalidParameter);
    EXPECT_EQ(Raw(kGetVersion, good), kInvalidParameter);
    std::vector<uint8_t> metrics(kMetricsSize - 1);
    EXPECT_EQ(Raw(kGetMetrics, good, metrics.data(), static_cast<uint32_t>(metrics.size())), kInvalidParameter);
    EXPECT_EQ(Raw(0x122400, good), kInvalidFunction);

    /* Values out of range, and the top queue size that is not. */
    for (auto [code, value, selector] : std::vector<std::tuple<uint32_t, uint64_t, uint8_t>>{
             {kSetVerbosity, 3, 0}, {kFirewallMode, 4, 0}, {kEnforcementMode, 0, 0}, {kDnsEnable, 2, 0},
             {kSwapPolicy, 1, 0}, {kSetQueueSize, 32769, 0}, {kSetQueueSize, 127, 1}, {kSetQueueSize, 2, 2}}) {
        EXPECT_EQ(Value(code, value, selector), kInvalidParameter) << code << " " << value << "/" << int{selector};
    }
    EXPECT_EQ(Value(kSetQueueSize, 32768, 0), 0u);
}

TEST_F(DriverEmu, EveryBufferRequestRefusesShortAndOddLengths)
{
    Load();
    for (const CodeInfo &info : all_codes()) {
        if (info.form != Form::Buffer) {
            continue;
        }
        for (size_t len : {size_t{1}, size_t{7}, size_t{31}, size_t{259}}) {
            std::vector<uint8_t> b(len, 0xFF);
            EXPECT_NE(Buffer(info.code, b), 0u) << info.name << " with " << len << " bytes";
        }
    }
    std::vector<uint8_t> lid(kLidReplySize + 1, 0);
    EXPECT_EQ(Buffer(kLidReply, lid), kInvalidParameter);
    std::vector<uint8_t> limits(kPolicyLimitsSize - 8, 0);
    EXPECT_EQ(Buffer(kSetPolicyLimits, limits), kInvalidParameter);
    std::vector<uint8_t> excluded(kExcludedSize + 8, 0);
    EXPECT_EQ(Buffer(kExcludedInterfaces, excluded), kInvalidParameter);
}

TEST_F(DriverEmu, PolicyBecomesActiveOnlyBySwap)
{
    Load();
    StageTable("INPUT", 2);
    StageTable("OUTPUT", 1);
    EXPECT_EQ(Value(kSwapPolicy, 0), kInvalidState) << "swap without a revision";
    EXPECT_EQ(Value(kSetRevision, 7), 0u);
    EXPECT_TRUE(qdict_get_bool(Status(), "staged"));
    EXPECT_EQ(Value(kSwapPolicy, 0), 0u);
    EXPECT_EQ(Value(kReauthorize, 0), 0u);
    QDict *s = Status();
    EXPECT_EQ(U(s, "active-revision"), 7u);
    EXPECT_EQ(U(s, "input-rules"), 2u);
    EXPECT_EQ(U(s, "output-rules"), 1u);
    EXPECT_FALSE(qdict_get_bool(s, "staged"));
    EXPECT_EQ(Value(kLightRevision, 9), 0u);
    EXPECT_EQ(U(Status(), "active-revision"), 9u);
}

TEST_F(DriverEmu, HostileIndexesAreRefusedAndTheTableStillTakesAGoodOne)
{
    Load();
    ASSERT_EQ(Value(kInitInputTable, 1), 0u);
    /* IndexBuffer(1): bag count 0, rules 4, words 6, one vector 8, TCP/UDP/ICMP bags 16-27,
     * port regions 28 (count, u16 start, bag), source 38 and destination 50 (count, start, bag). */
    const std::vector<uint8_t> good = IndexBuffer(1);
    ASSERT_EQ(good.size(), 62u);
    struct Case {
        const char *what;
        size_t at, width;
        uint32_t value;
    };
    const Case cases[] = {
        {"no bag", 0, 4, 0},
        {"a huge bag count", 0, 4, 0xFFFFFFFF},
        {"two vectors claimed, one sent", 0, 4, 2},
        {"65,536 rules in one word", 4, 2, 0},
        {"no word", 6, 2, 0},
        {"a huge word count", 6, 2, 0xFFFF},
        {"TCP bag out of range", 16, 4, 1},
        {"ICMP bag far out of range", 24, 4, 0xFFFFFFFF},
        {"huge port region count", 28, 4, 0xFFFFFFFF},
        {"two port regions claimed", 28, 4, 2},
        {"first port region not at 0", 32, 2, 5},
        {"port region bag out of range", 34, 4, 1},
        {"huge source region count", 38, 4, 0x40000000},
        {"source region bag out of range", 46, 4, 0xFFFFFFFF},
        {"first destination region not at 0", 54, 4, 1},
        {"destination region bag out of range", 58, 4, 7},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> b = good;
        if (c.width == 2) {
            put<uint16_t>(b, c.at, static_cast<uint16_t>(c.value));
        } else {
            put<uint32_t>(b, c.at, c.value);
        }
        EXPECT_EQ(Buffer(kInitInputIndex, b), kInvalidParameter) << c.what;
    }
    for (size_t len = 0; len < good.size(); len++) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(len));
        EXPECT_EQ(Buffer(kInitInputIndex, cut), kInvalidParameter) << "cut at " << len;
    }
    /* No refusal left anything staged. */
    std::vector<uint8_t> index = good;
    ASSERT_EQ(Buffer(kInitInputIndex, index), 0u);
    EXPECT_EQ(Buffer(kInitInputIndex, index), kInvalidState) << "one index per table";
}

TEST_F(DriverEmu, StagingChecksCountsAgainstWhatInitAnnounced)
{
    Load();
    ASSERT_EQ(Value(kInitInputTable, 1), 0u);
    std::vector<uint8_t> chain = MakeChain("INPUT", "c", 1);
    EXPECT_EQ(Buffer(kAddChain, chain), kInvalidState) << "chain before the index";
    std::vector<uint8_t> wrong_words = IndexBuffer(1);
    put<uint16_t>(wrong_words, 6, 2);
    EXPECT_EQ(Buffer(kInitInputIndex, wrong_words), kInvalidParameter);
    std::vector<uint8_t> trailing = IndexBuffer(1);
    trailing.push_back(0);
    EXPECT_EQ(Buffer(kInitInputIndex, trailing), kInvalidParameter);
    std::vector<uint8_t> index = IndexBuffer(1);
    ASSERT_EQ(Buffer(kInitInputIndex, index), 0u);
    ASSERT_EQ(Buffer(kAddChain, chain), 0u);
    std::vector<uint8_t> second = MakeChain("INPUT", "d", 0);
    EXPECT_EQ(Buffer(kAddChain, second), kInvalidState) << "more chains than announced";
    std::vector<uint8_t> other_table = MakeChain("FORWARD", "c", 0);
    EXPECT_EQ(Buffer(kAddChain, other_table), kInvalidParameter);

    std::vector<uint8_t> rule = MakeRule("INPUT", "c", "r1");
    std::vector<uint8_t> bad_verdict = MakeRule("INPUT", "c", "r1", 0);
    EXPECT_EQ(Buffer(kAddRule, bad_verdict), kInvalidParameter);
    std::vector<uint8_t> bad_length = rule;
    put<uint64_t>(bad_length, 256, endr::kMinRuleSize + 1);
    EXPECT_EQ(Buffer(kAddRule, bad_length), kInvalidParameter);
    std::vector<uint8_t> unknown_chain = MakeRule("INPUT", "x", "r1");
    EXPECT_EQ(Buffer(kAddRule, unknown_chain), kInvalidState);

    /* An uninitialised table, then a chain short of its rule: each refuses the swap, and
     * nothing changes. */
    EXPECT_EQ(Value(kSetRevision, 3), 0u);
    EXPECT_EQ(Value(kSwapPolicy, 0), kInvalidState);
    ASSERT_EQ(Value(kInitOutputTable, 0), 0u);
    EXPECT_EQ(Value(kSwapPolicy, 0), kInvalidState);
    EXPECT_EQ(qobject_type(qdict_get(Status(), "active-revision")), QTYPE_QNULL);
    ASSERT_EQ(Buffer(kAddRule, rule), 0u);
    EXPECT_EQ(Buffer(kAddRule, rule), kInvalidState) << "more rules than the chain announced";
    EXPECT_EQ(Value(kSwapPolicy, 0), 0u);
}

TEST_F(DriverEmu, PolicyLimitsRefuseLargerTables)
{
    Load();
    std::vector<uint8_t> limits;
    for (uint64_t v : {2, 1, 40000, 4194304}) {
        append<uint64_t>(limits, v);
    }
    ASSERT_EQ(Buffer(kSetPolicyLimits, limits), 0u);
    EXPECT_EQ(Value(kInitInputTable, 3), kInvalidParameter);
    ASSERT_EQ(Value(kInitInputTable, 2), 0u);
    std::vector<uint8_t> index = IndexBuffer(2);
    ASSERT_EQ(Buffer(kInitInputIndex, index), 0u);
    std::vector<uint8_t> two_rules = MakeChain("INPUT", "c", 2);
    EXPECT_EQ(Buffer(kAddChain, two_rules), kInvalidParameter);
}

TEST_F(DriverEmu, EventReadPendsUntilALidRequestAndAbortsOnClose)
{
    Load();
    std::atomic<uint32_t> rc{UINT32_MAX};
    std::vector<uint8_t> area(kEventAreaSize), out(65535);
    auto reader = [&] {
        Hdr h;
        h.value = reinterpret_cast<uintptr_t>(area.data());
        uint32_t returned = 0;
        rc = Raw(kReadEvent, h, out.data(), static_cast<uint32_t>(out.size()), &returned);
    };
    std::thread t(reader);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(rc.load(), UINT32_MAX) << "the read must wait for an event";
    Control(R"({"command": "raise-lid-request", "pid": 4242})");
    t.join();
    EXPECT_EQ(rc.load(), 0u);
    EXPECT_EQ(get<uint32_t>(area.data()), 2u);
    EXPECT_EQ(get<uint64_t>(area.data() + 4), 4242u);

    rc = UINT32_MAX;
    std::thread t2(reader);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Close();
    t2.join();
    EXPECT_EQ(rc.load(), kAborted);
}

TEST_F(DriverEmu, EventReadTakesTwoSeparateAreasOfExactSize)
{
    Load();
    std::vector<uint8_t> area(kEventAreaSize), out(65536 + kEventAreaSize);
    struct Case {
        const char *what;
        uint8_t *event_area;
        uint32_t out_len;
    } refused[] = {
        {"one buffer for both", out.data(), 65535},
        {"record area inside the buffer", out.data() + 100, 65535},
        {"record area over the buffer's end", out.data() + 65535 - 1, 65535},
        {"short buffer", area.data(), 65534},
        {"long buffer", area.data(), 65536},
    };
    /* An event is pending before each read, so that a wrong acceptance shows instead of waiting. */
    uint64_t pid = 1000;
    for (const Case &c : refused) {
        Control(R"({"command": "raise-lid-request", "pid": )" + std::to_string(++pid) + "}");
        Hdr h;
        h.value = reinterpret_cast<uintptr_t>(c.event_area);
        EXPECT_EQ(Raw(kReadEvent, h, out.data(), c.out_len), kInvalidParameter) << c.what;
    }
    /* Right after the buffer is apart from it: the read serves the first event, none was lost. */
    Control(R"({"command": "raise-lid-request", "pid": 77})");
    Hdr h;
    h.value = reinterpret_cast<uintptr_t>(out.data() + 65535);
    uint32_t returned = 0;
    ASSERT_EQ(Raw(kReadEvent, h, out.data(), 65535, &returned), 0u);
    EXPECT_EQ(get<uint64_t>(out.data() + 65535 + 4), 1001u);
}

TEST_F(DriverEmu, LidRepliesAreRecordedAndConnectionsCarryTheirCid)
{
    Load();
    std::vector<uint8_t> reply(kLidReplySize, 0);
    put<uint64_t>(reply, 0, 99);
    put<uint32_t>(reply, 8, 5);
    put<uint16_t>(reply, 12, 2);
    put<uint16_t>(reply, 14, 3);
    put<uint16_t>(reply, 16, 4);
    reply[30] = 1;
    ASSERT_EQ(Buffer(kLidReply, reply), 0u);
    std::vector<uint8_t> stray = reply;
    put<uint16_t>(stray, 20, 9); /* a lid beyond the count */
    EXPECT_EQ(Buffer(kLidReply, stray), kInvalidParameter);
    QList *replies = qdict_get_qlist(qobject_to_qdict(Control(R"({"command": "lid-replies"})")), "lid-replies");
    ASSERT_EQ(qlist_size(replies), 1u);
    QDict *r = qobject_to_qdict(qlist_peek(replies));
    EXPECT_EQ(U(r, "cid"), 5u);
    EXPECT_EQ(qlist_size(qdict_get_qlist(r, "lids")), 2u);
    EXPECT_TRUE(qdict_get_bool(r, "update"));

    std::vector<uint8_t> records(kConnectionRecordSize * 2), aux(64);
    std::vector<uint8_t> req(kConnectionRequestSize, 0);
    put<uint64_t>(req, 0, 60);
    put<uint32_t>(req, 8, 2);
    put<uint32_t>(req, 12, 1);
    put<uint32_t>(req, 20, 2 * kConnectionRecordSize);
    put<uint64_t>(req, 24, reinterpret_cast<uintptr_t>(records.data()));
    put<uint64_t>(req, 32, reinterpret_cast<uintptr_t>(aux.data()));
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Buffer(kGetConnections, req), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(55)) << "waits when empty";
    EXPECT_EQ(get<uint32_t>(req.data() + 16), 0u);

    QObject *q = Control(R"({"command": "inject-connection", "direction": "out", "protocol": "udp",
        "local": "10.0.0.1", "local-port": 5353, "remote": "10.0.0.2", "remote-port": 53, "pid": 99,
        "dns": "example.test", "verdict": "BLOCK", "rule-id": "r-7"})");
    ASSERT_EQ(U(qobject_to_qdict(q), "queued"), 1u);
    ASSERT_EQ(Buffer(kGetConnections, req), 0u);
    ASSERT_EQ(get<uint32_t>(req.data() + 16), 1u);
    const uint8_t *rec = records.data();
    EXPECT_EQ(get<uint32_t>(rec), 3u);
    EXPECT_EQ(rec[4], 1u);
    EXPECT_EQ(get<uint32_t>(rec + 12), 0x0A000001u);
    EXPECT_EQ(get<uint32_t>(rec + 36), 0x0A000002u);
    EXPECT_EQ(get<uint16_t>(rec + 52), 5353u);
    EXPECT_EQ(get<uint16_t>(rec + 54), 53u);
    EXPECT_EQ(get<uint32_t>(rec + 56), 1u);
    EXPECT_EQ(get<uint16_t>(rec + 60), 1u);
    EXPECT_EQ(get<uint64_t>(rec + 68), 99u);
    EXPECT_EQ(get<uint32_t>(rec + 76), 5u);
    EXPECT_EQ(rec[80], 0u);
    EXPECT_EQ(get<uint32_t>(rec + 84), 1u);
    EXPECT_STREQ(reinterpret_cast<const char *>(rec + 100), "r-7");
    EXPECT_STREQ(reinterpret_cast<const char *>(rec + 229), "example.test");

    put<uint32_t>(req, 20, kConnectionRecordSize);
    EXPECT_EQ(Buffer(kGetConnections, req), kInvalidParameter) << "buffer size must match the record count";
}

TEST_F(DriverEmu, ConnectionRequestsAreCheckedWholeBeforeAnyWrite)
{
    Load();
    QObject *q = Control(R"({"command": "inject-connection", "direction": "out", "protocol": "tcp",
        "local": "10.0.0.1", "remote": "10.0.0.2", "verdict": "ALLOW"})");
    ASSERT_EQ(U(qobject_to_qdict(q), "queued"), 1u);
    struct Case {
        const char *what;
        std::function<void(std::vector<uint8_t> &req, std::vector<uint8_t> &records)> spoil;
    };
    const Case cases[] = {
        {"one byte short", [](auto &req, auto &) { req.pop_back(); }},
        {"one byte long", [](auto &req, auto &) { req.push_back(0); }},
        {"no records asked", [](auto &req, auto &) { put<uint32_t>(req, 8, 0); }},
        {"more than 1000 records",
         [](auto &req, auto &records) {
             records.resize(size_t{1001} * kConnectionRecordSize);
             put<uint32_t>(req, 8, 1001);
             put<uint32_t>(req, 20, 1001 * kConnectionRecordSize);
             put<uint64_t>(req, 24, reinterpret_cast<uintptr_t>(records.data()));
         }},
        {"buffer smaller than the records", [](auto &req, auto &) { put<uint32_t>(req, 20, kConnectionRecordSize - 1); }},
        {"buffer larger than the records", [](auto &req, auto &) { put<uint32_t>(req, 20, 2 * kConnectionRecordSize + 1); }},
        {"no record buffer", [](auto &req, auto &) { put<uint64_t>(req, 24, 0); }},
        {"record buffer wrapping around memory", [](auto &req, auto &) { put<uint64_t>(req, 24, UINT64_MAX - 1000); }},
        {"no auxiliary buffer", [](auto &req, auto &) { put<uint64_t>(req, 32, 0); }},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> records, aux;
        std::vector<uint8_t> req = ConnRequest(records, aux, 2, 1, 0);
        put<uint32_t>(req, kConnectionReturnedOffset, 77);
        c.spoil(req, records);
        std::fill(records.begin(), records.end(), 0xA5);
        std::vector<uint8_t> before = req;
        EXPECT_EQ(Buffer(kGetConnections, req), kInvalidParameter) << c.what;
        EXPECT_EQ(req, before) << c.what << ": the request was written";
        EXPECT_EQ(std::count(records.begin(), records.end(), 0xA5), static_cast<long>(records.size()))
            << c.what << ": the record buffer was written";
    }

    /* Records that would land on the request itself: the request lies inside its own buffer. */
    std::vector<uint8_t> area(2 * kConnectionRecordSize, 0xA5), aux(8);
    std::vector<uint8_t> req(kConnectionRequestSize, 0);
    put<uint32_t>(req, 8, 2);
    put<uint32_t>(req, 12, 1);
    put<uint32_t>(req, 20, 2 * kConnectionRecordSize);
    put<uint64_t>(req, 24, reinterpret_cast<uintptr_t>(area.data()));
    put<uint64_t>(req, 32, reinterpret_cast<uintptr_t>(aux.data()));
    memcpy(area.data() + 100, req.data(), req.size());
    Hdr h{.value = reinterpret_cast<uintptr_t>(area.data() + 100), .length = kConnectionRequestSize};
    EXPECT_EQ(Raw(kGetConnections, h), kInvalidParameter);
    EXPECT_EQ(area[0], 0xA5) << "a record was written over the request";
    EXPECT_EQ(get<uint32_t>(area.data() + 100 + kConnectionReturnedOffset), 0u);

    EXPECT_EQ(U(qdict_get_qdict(Status(), "connections"), "queued"), 1u) << "a refused request takes nothing";
    std::vector<uint8_t> records;
    std::vector<uint8_t> good = ConnRequest(records, aux, 2, 1, 0);
    ASSERT_EQ(Buffer(kGetConnections, good), 0u);
    EXPECT_EQ(get<uint32_t>(good.data() + kConnectionReturnedOffset), 1u);
    /* Nothing queued and no wait: a success with no records. */
    put<uint32_t>(good, kConnectionReturnedOffset, 77);
    ASSERT_EQ(Buffer(kGetConnections, good), 0u);
    EXPECT_EQ(get<uint32_t>(good.data() + kConnectionReturnedOffset), 0u);
}

TEST_F(DriverEmu, ConnectionRecordLayout)
{
    Load();
    auto read_one = [this] {
        std::vector<uint8_t> records, aux;
        std::vector<uint8_t> req = ConnRequest(records, aux, 1, 1, 0);
        EXPECT_EQ(Buffer(kGetConnections, req), 0u);
        EXPECT_EQ(get<uint32_t>(req.data() + kConnectionReturnedOffset), 1u);
        return records;
    };
    /* This process, answered with cid 5: the record carries that cid and its owner. */
    std::vector<uint8_t> reply(kLidReplySize, 0);
    put<uint64_t>(reply, 0, static_cast<uint64_t>(getpid()));
    put<uint32_t>(reply, 8, 5);
    put<uint16_t>(reply, 12, 1);
    put<uint16_t>(reply, 14, 3);
    ASSERT_EQ(Buffer(kLidReply, reply), 0u);
    std::string self = std::to_string(getpid());

    /* Without a policy the driver only watches. */
    Control(R"({"command": "inject-connection", "direction": "out", "protocol": "tcp", "local": "10.1.2.3",
        "local-port": 40000, "remote": "192.168.7.9", "remote-port": 443, "pid": )" + self +
            R"(, "dns": "www.example.test", "verdict": "BLOCK", "rule-id": "r-9"})");
    std::vector<uint8_t> bytes = read_one();
    RecordView r(bytes.data());
    EXPECT_EQ(r.type(), 3u);
    EXPECT_NE(r.src_head(), 0u);
    EXPECT_EQ(r.src_v4(), 0x0A010203u);
    EXPECT_NE(r.dst_head(), 0u);
    EXPECT_EQ(r.dst_v4(), 0xC0A80709u);
    EXPECT_EQ(r.src_port(), 40000u);
    EXPECT_EQ(r.dst_port(), 443u);
    EXPECT_EQ(r.protocol(), 0u);
    EXPECT_EQ(r.family(), 1u);
    EXPECT_EQ(r.pid(), static_cast<uint64_t>(getpid()));
    EXPECT_EQ(r.cid(), 5u);
    EXPECT_EQ(r.inbound(), 0u);
    EXPECT_EQ(r.verdict(), 1u);
    EXPECT_EQ(r.rule_id(), "r-9");
    EXPECT_EQ(r.dns(), "www.example.test");
    EXPECT_EQ(r.no_process(), 0u);
    EXPECT_EQ(r.service_kind(), 0u);
    ASSERT_EQ(r.sid_count(), 2u) << "the owner of the process";
    EXPECT_EQ(r.sub_authority(0), 1u);
    EXPECT_EQ(r.sub_authority(1), static_cast<uint32_t>(getuid()));
    EXPECT_EQ(r.status(), 1u);
    EXPECT_EQ(r.enrichment(), 0u);
    EXPECT_EQ(r.enforcement_state(), 1u) << "no policy is active";
    EXPECT_EQ(r.policy_revision(), 0u);
    uint64_t first_sm = r.sm_id();
    EXPECT_GT(first_sm, 0u);

    /* Policy revision 7 with DC inventory revision 3, in the halves of the full revision. */
    StageTable("INPUT", 0);
    StageTable("OUTPUT", 0);
    ASSERT_EQ(Value(kSetRevision, (uint64_t{7} << 32) | 3), 0u);
    ASSERT_EQ(Value(kSwapPolicy, 0), 0u);
    const std::vector<std::pair<std::optional<uint64_t>, uint8_t>> states = {
        {std::nullopt, 3}, {2, 2}, {5, 5}, {1, 1}, {4, 3}, {3, 3}};
    uint64_t last_sm = first_sm;
    for (const auto &[mode, state] : states) {
        if (mode) {
            ASSERT_EQ(Value(kEnforcementMode, *mode), 0u);
        }
        /* Inbound UDP over IPv6 without a process: no cid, no user, the no-process flag. */
        Control(R"({"command": "inject-connection", "direction": "in", "protocol": "udp", "local": "2001:db8::1",
            "local-port": 53, "remote": "2001:db8::2", "remote-port": 5353, "status": "failed"})");
        bytes = read_one();
        RecordView v(bytes.data());
        EXPECT_EQ(v.enforcement_state(), state) << "mode " << mode.value_or(0);
        EXPECT_EQ(v.policy_revision(), 7u);
        EXPECT_EQ(v.dc_revision(), 3u);
        EXPECT_EQ(v.src_head(), 0u);
        EXPECT_EQ(v.src_v6()[15], 2u) << "inbound: the remote endpoint is the source";
        EXPECT_EQ(v.dst_v6()[0], 0x20u);
        EXPECT_EQ(v.dst_v6()[15], 1u);
        EXPECT_EQ(v.src_port(), 5353u);
        EXPECT_EQ(v.dst_port(), 53u);
        EXPECT_EQ(v.protocol(), 1u);
        EXPECT_EQ(v.family(), 2u);
        EXPECT_EQ(v.inbound(), 1u);
        EXPECT_EQ(v.verdict(), 2u) << "the empty policy allows";
        EXPECT_EQ(v.rule_id(), "");
        EXPECT_EQ(v.pid(), 0u);
        EXPECT_EQ(v.cid(), 0u);
        EXPECT_EQ(v.no_process(), 1u);
        EXPECT_EQ(v.sid_count(), 0u);
        EXPECT_EQ(v.status(), 2u);
        EXPECT_EQ(v.sm_id(), last_sm + 1) << "one state machine per connection";
        last_sm = v.sm_id();
    }

    /* ICMP travels as protocol 2; the longest rule id and DNS name keep their NUL. */
    std::string id(127, 'i'), dns(253, 'd');
    Control(R"({"command": "inject-connection", "direction": "out", "protocol": "icmp", "local": "10.0.0.1",
        "remote": "10.0.0.2", "icmp-type": 8, "rule-id": ")" + id + R"(", "dns": ")" + dns + R"("})");
    bytes = read_one();
    RecordView icmp(bytes.data());
    EXPECT_EQ(icmp.protocol(), 2u);
    EXPECT_EQ(icmp.rule_id(), id);
    EXPECT_EQ(icmp.dns(), dns);
}

TEST_F(DriverEmu, ConnectionQueueDropsBeyondTheModulesQueueSizeAndHandsOutOldestFirst)
{
    Load();
    EXPECT_EQ(U(qdict_get_qdict(Status(), "connections"), "limit"), 32768u) << "before the module sets one";
    ASSERT_EQ(Value(kSetQueueSize, 4), 0u);
    QDict *r = qobject_to_qdict(Control(R"({"command": "inject-connection", "direction": "out", "protocol": "tcp",
        "local": "10.0.0.1", "remote": "10.0.0.2", "verdict": "ALLOW", "count": 10})"));
    EXPECT_EQ(U(r, "queued"), 4u);
    EXPECT_EQ(U(r, "dropped"), 6u);
    uint64_t first = U(r, "state-machine-id");
    EXPECT_EQ(U(r, "last-state-machine-id"), first + 9);
    QDict *c = qdict_get_qdict(Status(), "connections");
    EXPECT_EQ(U(c, "queued"), 4u);
    EXPECT_EQ(U(c, "dropped"), 6u);
    EXPECT_EQ(U(c, "limit"), 4u);

    /* A slow reader takes small blocks; what it freed is queued again, in order. */
    std::vector<uint8_t> records, aux;
    std::vector<uint8_t> req = ConnRequest(records, aux, 3, 3, 0);
    ASSERT_EQ(Buffer(kGetConnections, req), 0u);
    ASSERT_EQ(get<uint32_t>(req.data() + kConnectionReturnedOffset), 3u);
    for (uint64_t i = 0; i < 3; i++) {
        EXPECT_EQ(RecordView(records.data() + i * kConnectionRecordSize).sm_id(), first + i);
    }
    r = qobject_to_qdict(Control(R"({"command": "inject-connection", "direction": "out", "protocol": "tcp",
        "local": "10.0.0.1", "remote": "10.0.0.2", "verdict": "ALLOW", "count": 4})"));
    EXPECT_EQ(U(r, "queued"), 3u);
    EXPECT_EQ(U(r, "dropped"), 1u);
    uint64_t second = U(r, "state-machine-id");
    const uint64_t expected[] = {first + 3, second, second + 1};
    ASSERT_EQ(Buffer(kGetConnections, req), 0u);
    ASSERT_EQ(get<uint32_t>(req.data() + kConnectionReturnedOffset), 3u);
    for (uint64_t i = 0; i < 3; i++) {
        EXPECT_EQ(RecordView(records.data() + i * kConnectionRecordSize).sm_id(), expected[i]);
    }
    c = qdict_get_qdict(Status(), "connections");
    EXPECT_EQ(U(c, "queued"), 1u);
    EXPECT_EQ(U(c, "dropped"), 7u);
    EXPECT_EQ(U(c, "handed-out"), 6u);

    std::vector<uint8_t> metrics(kMetricsSize);
    ASSERT_EQ(Raw(kGetMetrics, Hdr{}, metrics.data(), kMetricsSize), 0u);
    std::map<std::string, int64_t> m;
    for (uint64_t i = 0; i < get<uint64_t>(metrics.data()); i++) {
        const uint8_t *e = metrics.data() + 16 + i * kMetricEntrySize;
        m[reinterpret_cast<const char *>(e + 8)] = get<int64_t>(e);
    }
    EXPECT_EQ(m["endr.connections-dropped"], 7);
    EXPECT_EQ(m["endr.connections-served"], 6);
    EXPECT_EQ(m["endr.pending-connections"], 1);

    /* An unloaded driver forgets its queue. */
    Close();
    ASSERT_EQ(endr_service_stop(), 0u);
    ASSERT_EQ(endr_service_start(), 0u);
    Open();
    EXPECT_EQ(U(qdict_get_qdict(Status(), "connections"), "queued"), 0u);
}

TEST_F(DriverEmu, ConnectionReadWaitsForItsSufficientCountAndEndsAtClose)
{
    Load();
    auto inject = [this](int n) {
        Control(R"({"command": "inject-connection", "direction": "out", "protocol": "tcp", "local": "10.0.0.1",
            "remote": "10.0.0.2", "verdict": "ALLOW", "count": )" + std::to_string(n) + "}");
    };
    /* A two-minute wait ends as soon as three records are there, not at two. */
    std::vector<uint8_t> records, aux;
    std::vector<uint8_t> req = ConnRequest(records, aux, 5, 3, 120000);
    std::atomic<uint32_t> rc{UINT32_MAX};
    std::thread reader([&] { rc = Buffer(kGetConnections, req); });
    inject(2);
    inject(1);
    reader.join();
    ASSERT_EQ(rc.load(), 0u);
    EXPECT_EQ(get<uint32_t>(req.data() + kConnectionReturnedOffset), 3u);

    /* A sufficient count beyond the block: a full block is enough. */
    req = ConnRequest(records, aux, 2, 100, 120000);
    reader = std::thread([&] { rc = Buffer(kGetConnections, req); });
    inject(1);
    inject(1);
    reader.join();
    ASSERT_EQ(rc.load(), 0u);
    EXPECT_EQ(get<uint32_t>(req.data() + kConnectionReturnedOffset), 2u);

    /* A read still waiting when the handle goes ends as aborted and takes nothing. */
    req = ConnRequest(records, aux, 2, 1, 600000);
    rc = UINT32_MAX;
    auto requests = [] {
        std::lock_guard<std::mutex> g(engine().mu);
        return engine().counters["endr.requests"];
    };
    int64_t before = requests();
    reader = std::thread([&] { rc = Buffer(kGetConnections, req); });
    ASSERT_TRUE(hvtest::WaitFor([&] { return requests() > before; }, 60000));
    endr_device_cancel(dev_);
    reader.join();
    EXPECT_EQ(rc.load(), kAborted);
    EXPECT_EQ(get<uint32_t>(req.data() + kConnectionReturnedOffset), 0u);
}

/* The round trip itself goes through the module in en-persist. */
TEST_F(DriverEmu, DnsSnapshotRefusalsAndZeroedSlots)
{
    Load();
    std::vector<uint8_t> snap(kDnsSnapshotSize, 0);
    put<uint64_t>(snap, kDnsCapacityOffset, kDnsCapacity);
    put<uint64_t>(snap, kDnsCountOffset, 1);
    strcpy(reinterpret_cast<char *>(snap.data()), "a.test");
    ASSERT_EQ(Buffer(kSetDnsSnapshot, snap), 0u);
    std::vector<uint8_t> got(kDnsSnapshotSize, 0xAB);
    put<uint64_t>(got, kDnsCapacityOffset, kDnsCapacity);
    ASSERT_EQ(Buffer(kGetDnsSnapshot, got), 0u);
    EXPECT_EQ(got[kDnsSlotSize], 0u) << "unused slots are zeroed";

    std::vector<uint8_t> bad = snap;
    memset(bad.data(), 'x', 256); /* a name without terminator */
    EXPECT_EQ(Buffer(kSetDnsSnapshot, bad), kInvalidParameter);
    put<uint64_t>(snap, kDnsCountOffset, kDnsCapacity + 1);
    EXPECT_EQ(Buffer(kSetDnsSnapshot, snap), kInvalidParameter);
}

TEST_F(DriverEmu, KeptBuffersAreValidated)
{
    Load();
    /* User sessions: one SID of two sub-authorities, checksum over the zeroed field. */
    std::vector<uint8_t> us(18 + 9, 0);
    put<uint32_t>(us, 0, static_cast<uint32_t>(us.size()));
    us[12] = 1;
    put<uint32_t>(us, 14, 1);
    us[18] = 2;
    put<uint32_t>(us, 19, 32);
    put<uint32_t>(us, 23, 544);
    put<uint64_t>(us, 4, fnv1a64(us));
    ASSERT_EQ(Buffer(kSetUserSessions, us), 0u);
    std::vector<uint8_t> tampered = us;
    tampered[20] ^= 1;
    EXPECT_EQ(Buffer(kSetUserSessions, tampered), kInvalidParameter);

    /* Service map entries must be sorted by tag. */
    auto map_entry = [](std::vector<uint8_t> &b, uint64_t tag, const char *name) {
        append<uint64_t>(b, tag);
        append<uint16_t>(b, static_cast<uint16_t>(strlen(name)));
        b.insert(b.end(), name, name + strlen(name) + 1);
    };
    std::vector<uint8_t> map(8, 0);
    map_entry(map, 1, "Dnscache");
    map_entry(map, 7, "W32Time");
    put<uint32_t>(map, 0, static_cast<uint32_t>(map.size()));
    put<uint32_t>(map, 4, 2);
    ASSERT_EQ(Buffer(kServiceNameMap, map), 0u);
    std::vector<uint8_t> unsorted(8, 0);
    map_entry(unsorted, 7, "W32Time");
    map_entry(unsorted, 1, "Dnscache");
    put<uint32_t>(unsorted, 0, static_cast<uint32_t>(unsorted.size()));
    put<uint32_t>(unsorted, 4, 2);
    EXPECT_EQ(Buffer(kServiceNameMap, unsorted), kInvalidParameter);

    std::vector<uint8_t> tuples(4 + kServiceTupleSize, 0);
    put<uint32_t>(tuples, 0, 1);
    tuples[4 + 36] = 1;
    tuples[4 + 37] = 1;
    ASSERT_EQ(Buffer(kServiceTuples, tuples), 0u);
    tuples[4 + 37] = 3;
    EXPECT_EQ(Buffer(kServiceTuples, tuples), kInvalidParameter);

    /* Blocklist: revision 5, one blocked name, nothing excluded. */
    std::vector<uint8_t> bl;
    append<uint64_t>(bl, 5);
    append<uint32_t>(bl, 1);
    append<uint8_t>(bl, 10);
    const char name[] = "bad.test1";
    bl.insert(bl.end(), name, name + 10);
    append<uint32_t>(bl, 0);
    ASSERT_EQ(bl.size(), 27u);
    ASSERT_EQ(Buffer(kDnsBlocklistPolicy, bl), 0u);
    std::vector<uint8_t> cut(bl.begin(), bl.end() - 1);
    EXPECT_EQ(Buffer(kDnsBlocklistPolicy, cut), kInvalidParameter);

    ASSERT_EQ(Value(kUserSessionsMurky, 0), 0u);
    QDict *kept = qdict_get_qdict(Status(), "kept");
    EXPECT_EQ(U(kept, "user-sessions-sids"), 1u);
    EXPECT_EQ(U(kept, "user-sessions-murky"), 1u);
    EXPECT_EQ(U(kept, "service-map-entries"), 2u);
    EXPECT_EQ(U(kept, "service-tuples"), 1u);
    EXPECT_EQ(U(kept, "blocklist-revision"), 5u);
}

/* The codes the channel meets are checked through it in driver-channel; these are the rest. */
TEST_F(DriverEmu, ServiceManagerCodes)
{
    EXPECT_EQ(endr_service_start(), 1060u);
    EXPECT_EQ(endr_service_delete(), 1060u);
    std::string missing = dir_ + "/missing.sys";
    ASSERT_EQ(endr_service_install(missing.c_str(), true), 0u);
    EXPECT_EQ(endr_service_start(), 2u);
    ASSERT_EQ(endr_service_delete(), 0u);

    Control(R"({"command": "fail", "code": "service-start", "error": 577})");
    ASSERT_EQ(endr_service_install(binary_.c_str(), false), 0u);
    EXPECT_EQ(endr_service_start(), 577u);
    EXPECT_EQ(endr_service_start(), 0u);
    Open();
    EXPECT_EQ(Value(kEnforcementMode, 2), 0u);
    Close();
    ASSERT_EQ(endr_service_delete(), 0u);
    ASSERT_EQ(endr_service_install(binary_.c_str(), false), 0u);
    ASSERT_EQ(endr_service_start(), 0u);
    EXPECT_EQ(qdict_size(qdict_get_qdict(Status(), "settings")), 0u) << "a reloaded driver starts empty";
}

TEST_F(DriverEmu, DriverStateSurvivesAModuleRestart)
{
    Load();
    ASSERT_EQ(Value(kSetConsumerRole, 0), 0u);
    ASSERT_EQ(Value(kEnforcementMode, 5), 0u);
    std::vector<uint8_t> limits;
    for (uint64_t v : {8388608, 8388608, 67108864}) {
        append<uint64_t>(limits, v);
    }
    ASSERT_EQ(Buffer(kSetIndexLimits, limits), 0u);
    StageTable("INPUT", 1);
    StageTable("OUTPUT", 1);
    ASSERT_EQ(Value(kSetRevision, 41), 0u);
    ASSERT_EQ(Value(kSwapPolicy, 0), 0u);
    Close();

    QDict *s = Status();
    EXPECT_EQ(qobject_type(qdict_get(s, "role")), QTYPE_QNULL) << "the role belongs to the closed handle";
    EXPECT_FALSE(qdict_get_bool(s, "live"));

    Open();
    s = Status();
    EXPECT_TRUE(qdict_get_bool(s, "live"));
    EXPECT_EQ(U(qdict_get_qdict(s, "settings"), "enforcement-mode"), 5u);
    EXPECT_EQ(U(qdict_get_qdict(qdict_get_qdict(s, "settings"), "index-limits"), "max-rule-index-size"), 67108864u);
    EXPECT_EQ(U(s, "active-revision"), 41u);
    EXPECT_EQ(U(s, "output-rules"), 1u);
}

} // namespace
