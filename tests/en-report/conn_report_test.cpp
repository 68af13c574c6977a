/* Connection records turned into events and sent on a real push channel to a PULL socket
 * of the test, and the report thread reading the emulated driver. */
#include <arpa/inet.h>
#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "agent-common/agent-metrics.h"
#include "agent-common/nnmsg-channel.h"
#include "enforcement/driver-daemon/endr-engine.h"
#include "enforcement/framework/agent/en-config.h"
#include "enforcement/framework/agent/en-conn-report.h"
#include "enforcement/framework/agent/en-event.h"
#include "enforcement/framework/agent/en-lid-map.h"
#include "enforcement/platforms/account-lookup.h"
#include "tests/en-api/en-api-fixture.h"
#include "tests/en-report/event-receiver.h"

namespace {

constexpr uint32_t kPlaceholder = 0xFFFFFFFEu;

/* A record as the driver lays it out; IPv4 addresses in host order. */
endr_conn_record_t Record(uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport, const char *rule = "r1")
{
    endr_conn_record_t r{};
    r.type = EN_EVENT_RECORD_TYPE_CONNECTION;
    r.tuple.source.head[0] = 1;
    r.tuple.destination.head[0] = 1;
    memcpy(r.tuple.source.address, &src, 4);
    memcpy(r.tuple.destination.address, &dst, 4);
    r.tuple.source_port = sport;
    r.tuple.destination_port = dport;
    r.tuple.protocol = ENDR_PROTOCOL_TCP;
    r.tuple.family = 1;
    r.verdict = ENDR_VERDICT_ALLOW;
    r.status = ENDR_CONN_STATUS_SUCCESS;
    r.enforcement_state = ENDR_STATE_ENFORCING;
    r.no_process = 1;
    r.policy_revision = 7;
    r.dc_inventory_revision = 3;
    g_strlcpy(r.rule_id, rule, sizeof r.rule_id);
    return r;
}

std::vector<uint8_t> Lay(const std::vector<endr_conn_record_t> &records)
{
    std::vector<uint8_t> bytes(records.size() * sizeof(endr_conn_record_t));
    if (!records.empty()) {
        memcpy(bytes.data(), records.data(), bytes.size());
    }
    return bytes;
}

const NetConnectionEvent &Conn(const NetEvent &e)
{
    return e.GetExtension(NetConnectionEvent::header);
}

std::string UserName(uid_t uid)
{
    struct passwd *pw = getpwuid(uid);
    return pw ? pw->pw_name : "";
}

class ReportTest : public EnApiTest {
protected:
    void SetUp() override
    {
        EnApiTest::SetUp();
        ASSERT_TRUE(en_lid_map_init());
        ASSERT_TRUE(enforcement_register_config_for_test());
        std::string address = "ipc://" + dir_ + "/report.ipc";
        ASSERT_TRUE(receiver_.Bind(address));
        channel_ = nnmsg_channel_open_push(address.c_str());
        ASSERT_GE(channel_, 0);
        nnmsg_channel_set_report_socket(channel_);
    }

    void TearDown() override
    {
        en_conn_report_stop();
        nnmsg_channel_set_report_socket(-1);
        nnmsg_channel_close(channel_);
        receiver_.Close();
        en_lid_map_free();
        en_api_set_send_batch_events(true);
        EnApiTest::TearDown();
    }

    static bool enforcement_register_config_for_test()
    {
        g_en_config.keepalive_interval = 10000000;
        g_en_config.conn_request_size = 500;
        g_en_config.conn_request_sufficient_size = 100;
        g_en_config.conn_request_timeout_ms = 50;
        return true;
    }

    std::vector<NetEvent> Receive(size_t count, std::vector<hvtest::ReportMessage> *messages = nullptr)
    {
        std::vector<NetEvent> events;
        EXPECT_TRUE(receiver_.Collect(NetEvent::Connection, count, &events, messages, 10000));
        return events;
    }

    /* Nothing more is waiting on the receiver's side. */
    bool Quiet()
    {
        hvtest::ReportMessage m;
        return !receiver_.Next(&m, 300);
    }

    int channel_ = -1;
    hvtest::EventReceiver receiver_;
};

TEST_F(ReportTest, EachRecordFieldReachesItsEventField)
{
    ASSERT_NE(Init(), nullptr);
    std::string units = dir_ + "/units";
    std::filesystem::create_directories(units);
    hvtest::WriteFile(units + "/backupd.service", "[Unit]\nDescription = Nightly backup daemon\n[Service]\nExecStart=/x\n");
    g_setenv("HV_UNIT_PATH", units.c_str(), TRUE);

    struct Case {
        const char *name;
        void (*edit)(endr_conn_record_t &);
        void (*check)(const NetConnectionEvent &);
    };
    const Case cases[] = {
        {"a status enrichment names no process and carries no enforcement",
         [](endr_conn_record_t &r) {
             r.enrichment_type = ENDR_ENRICH_STATUS;
             r.no_process = 0;
             r.pid = 4242;
         },
         [](const NetConnectionEvent &e) {
             EXPECT_EQ(e.enrichment_type(), NetConnectionEvent::EnrichStatus);
             EXPECT_FALSE(e.has_enforcement());
             EXPECT_EQ(e.pid(), kPlaceholder);
             EXPECT_EQ(e.ppid(), kPlaceholder);
             EXPECT_EQ(e.container_id(), "HOST");
             EXPECT_EQ(e.pod_id(), "HOST");
             EXPECT_FALSE(e.has_process_name());
         }},
        {"visibility only carries no enforcement",
         [](endr_conn_record_t &r) { r.enforcement_state = ENDR_STATE_VISTOR_ONLY; },
         [](const NetConnectionEvent &e) {
             EXPECT_FALSE(e.has_enforcement());
             EXPECT_EQ(e.enforcement_state(), NetConnectionEvent::VistorOnly);
         }},
        {"revisions, state machine and a failed status",
         [](endr_conn_record_t &r) {
             r.sm_id = 0x1122334455ull;
             r.status = ENDR_CONN_STATUS_FAILED;
             r.enforcement_state = ENDR_STATE_METRICS_ONLY;
             r.verdict = ENDR_VERDICT_BLOCK;
         },
         [](const NetConnectionEvent &e) {
             EXPECT_EQ(e.enforcement().verdict(), NetConnectionEvent::Block);
             EXPECT_EQ(e.enforcement().revision(), 7u);
             EXPECT_EQ(e.enforcement().dc_inventory_revision(), 3u);
             EXPECT_EQ(e.endr_sm_id(), 0x1122334455ull);
             EXPECT_EQ(e.errorcode(), -1);
             EXPECT_EQ(e.enforcement_state(), NetConnectionEvent::MetricsOnly);
         }},
        {"an unknown status and verdict",
         [](endr_conn_record_t &r) {
             r.status = ENDR_CONN_STATUS_UNKNOWN;
             r.verdict = ENDR_VERDICT_UNKNOWN;
         },
         [](const NetConnectionEvent &e) {
             EXPECT_EQ(e.errorcode(), -2);
             EXPECT_EQ(e.enforcement().verdict(), NetConnectionEvent::Unused);
         }},
        {"a redirected connection names its redirect",
         [](endr_conn_record_t &r) {
             r.deception_present = 1;
             r.redirected = 1;
             r.deception_verdict = 4;
             r.deception_reason = 3;
             r.redirect_id = 99;
         },
         [](const NetConnectionEvent &e) {
             ASSERT_TRUE(e.has_deception_info());
             EXPECT_TRUE(e.deception_info().redirected());
             EXPECT_EQ(e.deception_info().policy_verdict(), NetConnectionEvent::Inspect);
             EXPECT_EQ(e.deception_info().rdr_id(), 99u);
             EXPECT_FALSE(e.deception_info().has_no_redirect_reason());
         }},
        {"a connection not redirected names the reason",
         [](endr_conn_record_t &r) {
             r.deception_present = 1;
             r.deception_verdict = 1;
             r.deception_reason = 8;
             r.redirect_id = 99;
         },
         [](const NetConnectionEvent &e) {
             EXPECT_FALSE(e.deception_info().redirected());
             EXPECT_EQ(e.deception_info().policy_verdict(), NetConnectionEvent::NoMatch);
             EXPECT_EQ(e.deception_info().no_redirect_reason(), NetConnectionEvent::NetworkLearningPhaseInProgress);
             EXPECT_FALSE(e.deception_info().has_rdr_id());
         }},
        {"IPv6 carries its bytes and no deception",
         [](endr_conn_record_t &r) {
             r.tuple.family = 2;
             r.tuple.source.head[0] = 0;
             inet_pton(AF_INET6, "2001:db8::1", r.tuple.source.address);
             inet_pton(AF_INET6, "fe80::2", r.tuple.destination.address);
             r.tuple.protocol = ENDR_PROTOCOL_UDP;
             r.inbound = 1;
             r.deception_present = 1;
         },
         [](const NetConnectionEvent &e) {
             ASSERT_TRUE(e.has_ipv6_tuple());
             uint8_t want[16];
             inet_pton(AF_INET6, "2001:db8::1", want);
             EXPECT_EQ(e.ipv6_tuple().source_ip(), std::string(reinterpret_cast<char *>(want), 16));
             inet_pton(AF_INET6, "fe80::2", want);
             EXPECT_EQ(e.ipv6_tuple().dest_ip(), std::string(reinterpret_cast<char *>(want), 16));
             EXPECT_FALSE(e.has_ipv4_tuple());
             EXPECT_FALSE(e.has_deception_info());
             EXPECT_EQ(e.type(), NetConnectionEvent::RecvFrom);
         }},
        {"ICMP is reported with the protocol the schema lacks",
         [](endr_conn_record_t &r) {
             r.tuple.protocol = ENDR_PROTOCOL_ICMP;
             r.tuple.source_port = 0;
             r.tuple.destination_port = 0;
             r.verdict = ENDR_VERDICT_BLOCK;
         },
         [](const NetConnectionEvent &e) {
             EXPECT_EQ(e.ip_protocol(), NetConnectionEvent::UnknownIpProtocol);
             EXPECT_EQ(e.type(), NetConnectionEvent::Unknown);
             EXPECT_EQ(e.enforcement().verdict(), NetConnectionEvent::Block);
         }},
        {"text fields end at their width even without a NUL",
         [](endr_conn_record_t &r) {
             memset(r.rule_id, 'r', sizeof r.rule_id);
             memset(r.dns_name, 'd', sizeof r.dns_name);
             memset(r.dns_pattern, 'p', sizeof r.dns_pattern);
         },
         [](const NetConnectionEvent &e) {
             EXPECT_EQ(e.enforcement().rule_id(), std::string(129, 'r'));
             EXPECT_EQ(e.dns_name(), std::string(255, 'd'));
             EXPECT_EQ(e.dns_pattern(), std::string(255, 'p'));
         }},
        {"a service to look up takes its unit's description",
         [](endr_conn_record_t &r) {
             r.service_kind = 1;
             g_strlcpy(r.service_name, "backupd", sizeof r.service_name);
         },
         [](const NetConnectionEvent &e) {
             EXPECT_EQ(e.win_service_name(), "backupd");
             EXPECT_EQ(e.win_service_display(), "Nightly backup daemon");
         }},
        {"a service without a unit shows its name",
         [](endr_conn_record_t &r) {
             r.service_kind = 1;
             g_strlcpy(r.service_name, "nounit", sizeof r.service_name);
         },
         [](const NetConnectionEvent &e) { EXPECT_EQ(e.win_service_display(), "nounit"); }},
        {"a service not to look up shows its name",
         [](endr_conn_record_t &r) {
             r.service_kind = 2;
             g_strlcpy(r.service_name, "backupd", sizeof r.service_name);
         },
         [](const NetConnectionEvent &e) { EXPECT_EQ(e.win_service_display(), "backupd"); }},
        {"no service kind, no service",
         [](endr_conn_record_t &r) { g_strlcpy(r.service_name, "backupd", sizeof r.service_name); },
         [](const NetConnectionEvent &e) {
             EXPECT_FALSE(e.has_win_service_name());
             EXPECT_FALSE(e.has_win_service_display());
         }},
        {"a Linux user SID names the user",
         [](endr_conn_record_t &r) {
             r.sub_authority_count = 2;
             r.sub_authorities[0] = 1;
             r.sub_authorities[1] = getuid();
         },
         [](const NetConnectionEvent &e) { EXPECT_EQ(e.username(), UserName(getuid())); }},
        {"a SID that cannot exist names nobody",
         [](endr_conn_record_t &r) {
             r.sub_authority_count = 9;
             r.sub_authorities[0] = 1;
         },
         [](const NetConnectionEvent &e) { EXPECT_FALSE(e.has_username()); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        endr_conn_record_t r = Record(0x0A000009, 0xC0000207, 40000, 443);
        c.edit(r);
        std::vector<uint8_t> bytes = Lay({r});
        ASSERT_TRUE(en_api_report_connections(bytes.data(), 1, 1));
        std::vector<NetEvent> events = Receive(1);
        ASSERT_EQ(events.size(), 1u);
        c.check(Conn(events[0]));
    }
    EXPECT_TRUE(LoggedPrefix(kWarning, "[api] error looking up user SID: cannot initialize a SID with 9 subauthorities"));
    g_unsetenv("HV_UNIT_PATH");
}

/* A bad record costs only itself, in a batch or sent alone: the good ones after it go. */
TEST_F(ReportTest, BadRecordsAreDroppedAndCounted)
{
    std::vector<endr_conn_record_t> records;
    records.push_back(Record(1, 2, 1, 80, "first"));
    records.push_back(Record(1, 2, 2, 80, "continue"));
    records.back().verdict = ENDR_VERDICT_CONTINUE;
    records.push_back(Record(1, 2, 3, 80, "hooked"));
    records.back().type = EN_EVENT_RECORD_TYPE_HOOK;
    records.push_back(Record(1, 2, 4, 80, "enrichment"));
    records.back().enrichment_type = 7;
    records.push_back(Record(1, 2, 5, 80, "no process"));
    records.back().no_process = 0;
    records.back().pid = hvtest::ExitedPid();
    records.push_back(Record(1, 2, 6, 80, "protocol"));
    records.back().tuple.protocol = 17;
    records.push_back(Record(1, 2, 7, 80, "family"));
    records.back().tuple.family = 9;
    records.push_back(Record(1, 2, 8, 80, "last"));
    std::vector<uint8_t> bytes = Lay(records);

    for (bool batch : {true, false}) {
        SCOPED_TRACE(batch ? "batch" : "single");
        en_api_set_send_batch_events(batch);
        ASSERT_NE(Init(), nullptr);
        agent_metrics_reset("en_report.dropped_connections");
        Clear();
        EXPECT_TRUE(en_api_report_connections(bytes.data(), records.size(), records.size() - 1));
        std::vector<hvtest::ReportMessage> messages;
        std::vector<NetEvent> events = Receive(2, &messages);
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(Conn(events[0]).enforcement().rule_id(), "first");
        EXPECT_EQ(Conn(events[1]).enforcement().rule_id(), "last");
        EXPECT_EQ(messages.size(), batch ? 1u : 2u);
        EXPECT_EQ(agent_metrics_get("en_report.dropped_connections"), 5u);
        EXPECT_TRUE(Logged(kCritical, "[event] en_event_create: unknown connection verdict 3"));
        EXPECT_TRUE(LoggedPrefix(kWarning, "[api] unknown TCP enrichment type (7): 0.0.0.1:4 -> 0.0.0.2:80 () = ALLOW (enrichment)"));
        EXPECT_TRUE(LoggedPrefix(kWarning, "[api] couldn't find application name for pid: "));
        EXPECT_TRUE(Logged(kCritical, "[event] en_event_create: unknown connection protocol: 17"));
        EXPECT_TRUE(Logged(kWarning, "[event logger] unknown address family 9"));
        EXPECT_TRUE(Quiet());
        en_api_stop(handle_);
        en_api_free(handle_);
        handle_ = nullptr;
    }
}

TEST_F(ReportTest, ABatchIsSentEachTimeItPassesItsThresholdAndNoEventIsLost)
{
    ASSERT_NE(Init(), nullptr);
    std::vector<endr_conn_record_t> records;
    for (uint16_t i = 0; i < 1000; i++) {
        records.push_back(Record(0x0A000001u + i, 0xC0000201, i, 443, "bulk"));
        memset(records.back().dns_name, 'a' + i % 26, 250);
        records.back().sm_id = i;
    }
    std::vector<uint8_t> bytes = Lay(records);
    ASSERT_TRUE(en_api_report_connections(bytes.data(), records.size(), records.size()));
    std::vector<hvtest::ReportMessage> messages;
    std::vector<NetEvent> events = Receive(records.size(), &messages);
    ASSERT_EQ(events.size(), records.size());
    for (size_t i = 0; i < events.size(); i++) {
        EXPECT_EQ(Conn(events[i]).endr_sm_id(), i);
    }
    ASSERT_GT(messages.size(), 2u);
    EXPECT_EQ(agent_metrics_get("en_report.dropped_connections"), 0u);
    EXPECT_FALSE(LoggedPrefix(kCritical, "[event] error serializing event"));
}

/* A receiver that reads loses nothing, however fast the chunks follow each other. */
TEST_F(ReportTest, ChunksInQuickSuccessionReachAReadingReceiverWhole)
{
    ASSERT_NE(Init(), nullptr);
    std::vector<endr_conn_record_t> records;
    for (uint16_t i = 0; i < 1000; i++) {
        records.push_back(Record(0x0A000001u + i, 0xC0000201, i, 443, "quick"));
        memset(records.back().dns_name, 'q', 200);
    }
    std::vector<uint8_t> bytes = Lay(records);
    constexpr int kChunks = 20;
    std::atomic<size_t> received{0};
    std::thread reader([&] {
        std::vector<NetEvent> events;
        receiver_.Collect(NetEvent::Connection, kChunks * records.size(), &events, nullptr, 30000);
        received = events.size();
    });
    int failed = 0;
    for (int c = 0; c < kChunks; c++) {
        failed += !en_api_report_connections(bytes.data(), records.size(), records.size());
    }
    reader.join();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(agent_metrics_get("en_report.dropped_connections"), 0u);
    EXPECT_EQ(received, kChunks * records.size());
}

TEST_F(ReportTest, AChunkOfMoreThanThreeThousandConnectionsIsRefused)
{
    ASSERT_NE(Init(), nullptr);
    std::vector<uint8_t> bytes = Lay({Record(1, 2, 3, 4)});
    EXPECT_FALSE(en_api_report_connections(bytes.data(), 1, 3001));
    EXPECT_TRUE(Logged(kCritical, "[api] sent connections request with too many events (3001 events)"));
    EXPECT_TRUE(Quiet());
}

/* Without a channel a chunk is dropped as a whole, with the channel's reason; sent alone,
 * the first failed send ends the chunk and every connection left is counted. */
TEST_F(ReportTest, AFailedSendDropsTheWholeChunk)
{
    std::vector<endr_conn_record_t> records = {Record(1, 2, 3, 4), Record(1, 2, 5, 6), Record(1, 2, 7, 8),
                                               Record(1, 2, 9, 10)};
    records[2].type = EN_EVENT_RECORD_TYPE_HOOK;
    std::vector<uint8_t> bytes = Lay(records);
    for (bool batch : {true, false}) {
        SCOPED_TRACE(batch ? "batch" : "single");
        en_api_set_send_batch_events(batch);
        ASSERT_NE(Init(), nullptr);
        agent_metrics_reset("en_report.dropped_connections");
        nnmsg_channel_set_report_socket(-1);
        EXPECT_FALSE(en_api_report_connections(bytes.data(), 4, 3));
        EXPECT_EQ(agent_metrics_get("en_report.dropped_connections"), 3u);
        if (batch) {
            EXPECT_TRUE(LoggedMatching(kWarning, "[api] failed sending batch of 3 connections (",
                                       " bytes) toward Vistor agent: channel is not initialized, dropping event"));
        } else {
            EXPECT_EQ(CountPrefix(kWarning, "[api] failed sending a single connection ("), 1u);
        }
        nnmsg_channel_set_report_socket(channel_);
        en_api_stop(handle_);
        en_api_free(handle_);
        handle_ = nullptr;
    }
}

/* The thread reads what the emulated driver holds and reports it, counting each read. */
TEST_F(ReportTest, TheThreadReportsWhatTheDriverHoldsAndStopsBetweenReads)
{
    en_handle *h = Init();
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(en_api_start(h));
    g_en_handle = h;
    ASSERT_TRUE(en_conn_report_init_and_start(nullptr));
    ASSERT_TRUE(en_conn_report_init_and_start(nullptr)) << "a second start changes nothing";
    EXPECT_TRUE(Logged(kDebug, "[conn_report] module is already initialized"));
    for (int i = 0; i < 3; i++) {
        endr::ConnectionSpec spec;
        spec.protocol = 1;
        spec.family = 1;
        spec.local[0] = 1;
        spec.remote[0] = 1;
        spec.local_port = static_cast<uint16_t>(1000 + i);
        spec.verdict = 1;
        spec.rule_id = "t";
        spec.classify = false;
        endr::InjectResult result;
        ASSERT_EQ(endr::engine_inject_connection(spec, 1, &result), 0u);
    }
    std::vector<NetEvent> events = Receive(3);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(Conn(events[2]).source_port(), 1002u);
    EXPECT_TRUE(WaitFor([] { return agent_metrics_get("connections-reported") == 3; }));
    EXPECT_EQ(agent_metrics_get("enforcement.driver.linux.read-events"), 3u);
    en_conn_report_stop();
    EXPECT_TRUE(Logged(kDebug, "[conn_report] connection report thread stopped successfully"));
    EXPECT_TRUE(Logged(G_LOG_LEVEL_MESSAGE, "[conn_report] exiting enforcement driver connection report thread"));

    /* A driver that refuses every read is asked again at the pace of empty reads. */
    g_en_config.conn_request_timeout_ms = 200;
    ArmFault(0x12251A, 31, 1000);
    Clear();
    ASSERT_TRUE(en_conn_report_init_and_start(nullptr));
    EXPECT_TRUE(WaitFor([] { return LogRecord::Count(kWarning, "[api] failed to get connections") >= 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    en_conn_report_stop();
    EXPECT_LT(Count(kWarning, "[api] failed to get connections"), 20u);
    ArmFault(0x12251A, 31, 0);

    g_en_handle = nullptr;
    Error *err = nullptr;
    EXPECT_FALSE(en_conn_report_init_and_start(&err));
    EXPECT_EQ(hvtest::TakeMessage(err), "could not locate driver handle");
}

} // namespace

/* Paths on this machine run to 4095 bytes and unit descriptions to any length: a process
 * started deep in the tree still has its connections reported, with the strings that come
 * from the machine cut as in process events, never inside a character. */
TEST(ConnectionEvent, AProcessFromADeepPathIsReportedWithItsMachineStringsCut)
{
    std::string image = "/";
    while (image.size() < 3900) {
        image += std::string(200, 'd') + "\xc3\xa9/";
    }
    image += "tool";
    std::string name = std::string(127, 'n') + "\xc3\xa9";
    std::string parent(300, 'p');
    std::string user(100, 'u');
    std::string display(3000, 's');
    en_process_info_t info{};
    info.image_path = image.data();
    info.app_name = name.data();
    info.parent_name = parent.data();
    info.pid = 77;
    endr_conn_record_t r = Record(0x0A000001, 0x0A000002, 1000, 443, "deep");
    uint8_t out[EN_EVENT_SPACE];
    size_t len = sizeof out;
    ASSERT_TRUE(en_event_create(false, &r.tuple, &info, ENDR_VERDICT_ALLOW, "deep", 1, 2, "x.test", user.c_str(),
                                ENDR_CONN_STATUS_SUCCESS, ENDR_ENRICH_PRIMARY, ENDR_STATE_ENFORCING, out, &len, 5,
                                false, false, ENDR_DEC_UNKNOWN, ENDR_DEC_REASON_UNKNOWN, 0, nullptr, "svc",
                                display.c_str()));
    NetEvent event;
    ASSERT_TRUE(event.ParseFromArray(out, static_cast<int>(len)));
    const NetConnectionEvent &e = Conn(event);
    EXPECT_EQ(e.image_path(), image.substr(0, 1024));
    EXPECT_EQ(e.process_name(), std::string(127, 'n')) << "a character across the limit goes whole";
    EXPECT_EQ(e.parent_name(), parent.substr(0, 128));
    EXPECT_EQ(e.username(), user.substr(0, 64));
    EXPECT_EQ(e.win_service_display(), display.substr(0, 256));
    EXPECT_EQ(e.win_service_name(), "svc");
    EXPECT_EQ(e.enforcement().rule_id(), "deep");
    EXPECT_EQ(std::string(info.image_path), image) << "the caller's information is left whole";
}

TEST(AccountLookup, LinuxUsersTravelAsTheirUidAndOtherSidsNameNobody)
{
    uint32_t own[] = {1, static_cast<uint32_t>(getuid())};
    Error *err = nullptr;
    g_autofree char *name = lookup_name_from_nt_auth_sid(2, own, &err);
    EXPECT_EQ(std::string(name ? name : ""), UserName(getuid()));
    EXPECT_EQ(hvtest::TakeMessage(err), "");

    const struct {
        uint8_t count;
        std::vector<uint32_t> subs;
        const char *error;
    } refused[] = {
        {0, {}, "cannot initialize a SID with 0 subauthorities"},
        {9, {1, 0, 0, 0, 0, 0, 0, 0, 0}, "cannot initialize a SID with 9 subauthorities"},
        {2, {2, 0}, "no account for S-1-22-2-0"},
        {1, {18}, "no account for S-1-22-18"},
        {2, {1, 4000000000u}, "no account for S-1-22-1-4000000000"},
    };
    for (const auto &c : refused) {
        SCOPED_TRACE(c.error);
        Error *e = nullptr;
        EXPECT_EQ(lookup_name_from_nt_auth_sid(c.count, c.subs.data(), &e), nullptr);
        EXPECT_EQ(hvtest::TakeMessage(e).rfind(c.error, 0), 0u);
    }
}

TEST(AccountLookup, AUnitDescriptionIsTheLastOneOfItsUnitSection)
{
    const struct {
        const char *text;
        const char *description;
    } cases[] = {
        {"[Unit]\nDescription=Backup\n", "Backup"},
        {"[Unit]\r\nDescription = Spaced out \r\n", "Spaced out"},
        {"[Unit]\nDescription=First\nDescription=Second\n", "Second"},
        {"[Service]\nDescription=Not here\n[Unit]\nAfter=x\n", nullptr},
        {"[Unit]\nDescriptionX=No\nDescription=\n", nullptr},
        {"Description=Before any section\n", nullptr},
        {"[Unit]\nDescription=No newline", "No newline"},
        {"", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        g_autofree char *d = platform_parse_unit_description(c.text, strlen(c.text));
        EXPECT_EQ(d ? std::string(d) : "<none>", c.description ? c.description : "<none>");
    }
}
