/* Connection events from the real module process: records injected into the driver daemon
 * with hv-endr arrive on the report channel as the visibility module receives them. */
#include <arpa/inet.h>
#include <glib.h>
#include <pwd.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/common/hv-test-support.h"
#include "tests/common/module-fixture.h"
#include "tests/en-report/event-receiver.h"

namespace {

using hvtest::Outcome;

class ReportModuleTest : public hvtest::ModuleFixture {
protected:
    ReportModuleTest() : ModuleFixture("hv-report") {}

    void TearDown() override
    {
        Stop();
        if (child_ > 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
        ModuleFixture::TearDown();
    }

    bool BindReceiver() { return receiver_.Bind("ipc://" + dir_ + "/holvenstad_en_report.ipc"); }

    Outcome Qmp(const std::string &request) const { return Run({HV_QMP, "--address", address_, request}); }

    void Configure(const std::string &name, uint64_t value) const
    {
        Outcome o = Qmp(R"({"execute": "set-configuration", "arguments": {"fields": [{"name": ")" + name +
                        R"(", "int-value": )" + std::to_string(value) + "}]}}");
        ASSERT_EQ(o.exit_code, 0) << o.out << o.err;
    }

    void PushExamplePolicy() const
    {
        Outcome o = Run({HV_QMP, "--address", address_, "--timeout", "60000", "-f", HV_EXAMPLE_POLICY});
        ASSERT_EQ(o.exit_code, 0) << o.out << o.err;
    }

    Outcome Inject(const std::vector<std::string> &args) const
    {
        std::vector<std::string> argv = {HV_ENDR, "inject-connection"};
        argv.insert(argv.end(), args.begin(), args.end());
        return Run(argv);
    }

    /* The value of a counter, -1 when the module does not list it. */
    long long Metric(const std::string &name) const
    {
        Outcome o = Qmp(R"({"execute": "get-agent-metrics", "arguments": {"clean": false}})");
        std::smatch m;
        std::regex re("\"name\": \"" + std::regex_replace(name, std::regex(R"([.])"), R"(\.)") +
                      "\", \"value\": ([0-9]+)");
        return std::regex_search(o.out, m, re) ? std::stoll(m[1]) : -1;
    }

    /* Connections the driver still holds for the module. */
    long long Pending() const
    {
        Outcome o = Run({HV_ENDR, "status"});
        std::smatch m;
        return std::regex_search(o.out, m, std::regex("\"pending-connections\": ([0-9]+)")) ? std::stoll(m[1]) : -1;
    }

    /* A process of the test's own whose image the events must name. */
    pid_t SpawnChild()
    {
        const char *argv[] = {"/bin/sleep", "600", nullptr};
        EXPECT_TRUE(g_spawn_async(nullptr, const_cast<char **>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                                  nullptr, &child_, nullptr));
        return child_;
    }

    GPid child_ = 0;
    hvtest::EventReceiver receiver_;
};

std::string Ipv4(uint32_t host_order)
{
    uint32_t net = htonl(host_order);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &net, text, sizeof text);
    return text;
}

std::string Ipv6(const std::string &bytes)
{
    char text[INET6_ADDRSTRLEN];
    return bytes.size() == 16 && inet_ntop(AF_INET6, bytes.data(), text, sizeof text) ? text : "<bad>";
}

std::string UserName(uid_t uid)
{
    struct passwd *pw = getpwuid(uid);
    return pw ? pw->pw_name : "<unknown uid>";
}

std::string ImageOf(pid_t pid)
{
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).string();
}

} // namespace

TEST_F(ReportModuleTest, EventsCarryTheVerdictRuleTupleAndProcessOfEachInjectedConnection)
{
    ASSERT_TRUE(BindReceiver());
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(PushExamplePolicy());
    pid_t child = SpawnChild();
    ASSERT_GT(child, 0);
    const std::string pid = std::to_string(child);

    struct Case {
        std::vector<std::string> args;
        NetConnectionEvent::EnforcementVerdict verdict;
        const char *rule;
        NetConnectionEvent::Type type;
        NetConnectionEvent::IpProtocol protocol;
        const char *source;
        const char *destination;
        uint32_t source_port, dest_port;
        const char *dns;
    };
    const Case cases[] = {
        {{"--direction", "out", "--protocol", "tcp", "--local", "10.0.0.9:40000", "--remote", "192.0.2.7:5432",
          "--pid", pid, "--dns", "db.example.test"},
         NetConnectionEvent::Block, "block-db-subnet", NetConnectionEvent::Connect, NetConnectionEvent::TCP,
         "10.0.0.9", "192.0.2.7", 40000, 5432, "db.example.test"},
        {{"--direction", "in", "--protocol", "tcp", "--local", "10.0.0.9:22", "--remote", "10.20.3.4:51000", "--pid",
          pid},
         NetConnectionEvent::Allow, "allow-ssh-from-admin-net", NetConnectionEvent::Accept, NetConnectionEvent::TCP,
         "10.20.3.4", "10.0.0.9", 51000, 22, nullptr},
        {{"--direction", "in", "--protocol", "tcp", "--local", "10.0.0.9:22", "--remote", "10.30.3.4:51001", "--pid",
          pid},
         NetConnectionEvent::Block, "block-other-ssh", NetConnectionEvent::Accept, NetConnectionEvent::TCP,
         "10.30.3.4", "10.0.0.9", 51001, 22, nullptr},
        {{"--direction", "in", "--protocol", "udp", "--local", "[2001:db8::9]:53", "--remote", "[2001:db8::1]:4000",
          "--pid", pid},
         NetConnectionEvent::Allow, "allow-rest-in", NetConnectionEvent::RecvFrom, NetConnectionEvent::UDP,
         "2001:db8::1", "2001:db8::9", 4000, 53, nullptr},
        {{"--direction", "out", "--protocol", "udp", "--local", "[2001:db8::9]:5353", "--remote", "[2001:db8::53]:53",
          "--pid", pid, "--dns", "ns.example.test"},
         NetConnectionEvent::Allow, "allow-rest-out", NetConnectionEvent::SendTo, NetConnectionEvent::UDP,
         "2001:db8::9", "2001:db8::53", 5353, 53, "ns.example.test"},
        {{"--direction", "out", "--protocol", "icmp", "--local", "10.0.0.9", "--remote", "192.0.2.8", "--pid", pid},
         NetConnectionEvent::Allow, "allow-rest-out", NetConnectionEvent::Unknown,
         NetConnectionEvent::UnknownIpProtocol, "10.0.0.9", "192.0.2.8", 0, 0, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rule);
        Outcome injected = Inject(c.args);
        ASSERT_EQ(injected.exit_code, 0) << injected.out << injected.err;
        std::vector<NetEvent> events;
        ASSERT_TRUE(receiver_.Collect(NetEvent::Connection, 1, &events)) << LogText();
        ASSERT_EQ(events.size(), 1u);
        ASSERT_TRUE(events[0].HasExtension(NetConnectionEvent::header));
        const NetConnectionEvent &e = events[0].GetExtension(NetConnectionEvent::header);
        ASSERT_TRUE(e.has_enforcement()) << e.ShortDebugString();
        EXPECT_EQ(e.enforcement().verdict(), c.verdict);
        EXPECT_EQ(e.enforcement().rule_id(), c.rule);
        EXPECT_EQ(e.enforcement().revision(), 1u) << "the example policy's revision";
        EXPECT_EQ(e.type(), c.type);
        EXPECT_EQ(e.ip_protocol(), c.protocol);
        if (strchr(c.source, ':')) {
            ASSERT_TRUE(e.has_ipv6_tuple());
            EXPECT_EQ(Ipv6(e.ipv6_tuple().source_ip()), c.source);
            EXPECT_EQ(Ipv6(e.ipv6_tuple().dest_ip()), c.destination);
        } else {
            ASSERT_TRUE(e.has_ipv4_tuple());
            EXPECT_EQ(Ipv4(e.ipv4_tuple().source_ip()), c.source);
            EXPECT_EQ(Ipv4(e.ipv4_tuple().dest_ip()), c.destination);
        }
        EXPECT_EQ(e.source_port(), c.source_port);
        EXPECT_EQ(e.dest_port(), c.dest_port);
        EXPECT_EQ(e.pid(), static_cast<uint32_t>(child));
        EXPECT_EQ(e.ppid(), static_cast<uint32_t>(getpid()));
        EXPECT_EQ(e.image_path(), ImageOf(child));
        EXPECT_EQ(e.process_name(), "sleep");
        EXPECT_EQ(e.username(), UserName(getuid())) << "the owner of the process";
        EXPECT_EQ(e.dns_name(), c.dns ? c.dns : "");
        EXPECT_EQ(e.has_dns_name(), c.dns != nullptr);
        EXPECT_EQ(e.errorcode(), 0) << "injected as a successful connection";
        EXPECT_EQ(e.fd(), -1);
        EXPECT_EQ(e.n_threads(), 1);
        EXPECT_FALSE(e.has_enrichment_type());
    }
    EXPECT_EQ(Metric("connections-reported"), static_cast<long long>(std::size(cases)));
    EXPECT_EQ(Metric("en_report.dropped_connections"), -1);
}

TEST_F(ReportModuleTest, KeepalivesGoOutWhileNothingElseDoes)
{
    ASSERT_TRUE(BindReceiver());
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(Configure("api.keepalive_interval", 200000));
    std::vector<NetEvent> keepalives;
    std::vector<hvtest::ReportMessage> messages;
    ASSERT_TRUE(receiver_.Collect(NetEvent::Keepalive, 3, &keepalives, &messages)) << LogText();
    for (const hvtest::ReportMessage &m : messages) {
        EXPECT_FALSE(m.batch) << "a keepalive travels alone";
        ASSERT_EQ(m.events.size(), 1u);
        EXPECT_EQ(m.events[0].type(), NetEvent::Keepalive);
        EXPECT_FALSE(m.events[0].HasExtension(NetKeepaliveEvent::header));
        EXPECT_GT(m.events[0].time_sec(), 1700000000u);
    }
}

/* Three records of one read: one batch of three records by default, three messages with -B. */
TEST_F(ReportModuleTest, BatchModeFramesOneReadAsOneMessageAndSingleModeSendsEachEventAlone)
{
    for (bool single : {false, true}) {
        SCOPED_TRACE(single ? "-B" : "batch");
        ASSERT_TRUE(BindReceiver());
        ASSERT_NO_FATAL_FAILURE(Start(single ? std::vector<std::string>{"-B"} : std::vector<std::string>{}));
        /* One read waits for all three records. */
        ASSERT_NO_FATAL_FAILURE(Configure("api.conn_request_sufficient_size", 3));
        ASSERT_NO_FATAL_FAILURE(Configure("api.conn_request_timeout_ms", 10000));
        ASSERT_NO_FATAL_FAILURE(Configure("api.keepalive_interval", 3600000000ull));
        /* A read begun before the settings changed may end after any of the three records; once
         * a first record came back, every later read waits with the new settings. */
        Outcome warm = Inject({"--direction", "out", "--protocol", "tcp", "--local", "10.0.0.9:39999", "--remote",
                               "192.0.2.1:443", "--verdict", "ALLOW"});
        ASSERT_EQ(warm.exit_code, 0) << warm.out << warm.err;
        std::vector<NetEvent> first;
        ASSERT_TRUE(receiver_.Collect(NetEvent::Connection, 1, &first, nullptr)) << LogText();
        for (int i = 0; i < 3; i++) {
            Outcome o = Inject({"--direction", "out", "--protocol", "tcp", "--local", "10.0.0.9:" + std::to_string(40000 + i),
                                "--remote", "192.0.2.1:443", "--verdict", "ALLOW", "--rule-id", "r" + std::to_string(i)});
            ASSERT_EQ(o.exit_code, 0) << o.out << o.err;
        }
        std::vector<NetEvent> events;
        std::vector<hvtest::ReportMessage> messages;
        ASSERT_TRUE(receiver_.Collect(NetEvent::Connection, 3, &events, &messages)) << LogText();
        ASSERT_EQ(messages.size(), single ? 3u : 1u);
        for (const hvtest::ReportMessage &m : messages) {
            EXPECT_EQ(m.batch, !single);
        }
        for (int i = 0; i < 3; i++) {
            const NetConnectionEvent &e = events[static_cast<size_t>(i)].GetExtension(NetConnectionEvent::header);
            EXPECT_EQ(e.source_port(), static_cast<uint32_t>(40000 + i)) << "in the driver's order";
        }
        EXPECT_EQ(LogHas("[en_main] Batch events sending is disabled"), single);
        Stop();
        receiver_.Close();
    }
}

/* Without a receiver every record is dropped and counted, while commands are answered and
 * the driver's records keep being read. */
TEST_F(ReportModuleTest, AnAbsentReceiverCostsOnlyTheDroppedEvents)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    for (int i = 1; i <= 4; i++) {
        SCOPED_TRACE(i);
        Outcome o = Inject({"--direction", "out", "--protocol", "udp", "--local", "10.0.0.9:5000", "--remote",
                            "192.0.2.9:53", "--verdict", "BLOCK", "--rule-id", "x"});
        ASSERT_EQ(o.exit_code, 0) << o.out << o.err;
        /* Each record is read before the next comes: a send that waits for a receiver would
         * hold up every later read. */
        ASSERT_TRUE(hvtest::WaitFor([&] { return Metric("en_report.dropped_connections") == i; }, 8000, 50))
            << Metric("en_report.dropped_connections") << "\n" << LogText();
        EXPECT_EQ(Pending(), 0);
        EXPECT_EQ(Qmp(R"({"execute": "ping"})").out, "{\"return\": {}}\n");
    }
    EXPECT_EQ(Metric("failed-connections-report-batches"), 4);
    EXPECT_EQ(Metric("failed-connections-reported"), 4);
    EXPECT_EQ(Metric("connections-reported"), -1);
    EXPECT_TRUE(LogHas("[conn_report] failed reporting 1 connection reports"));

    /* A receiver that comes late gets what the driver records from then on. */
    ASSERT_TRUE(BindReceiver());
    std::vector<NetEvent> events;
    ASSERT_TRUE(hvtest::WaitFor(
        [&] {
            Inject({"--direction", "out", "--protocol", "tcp", "--local", "10.0.0.9:5001", "--remote", "192.0.2.9:80",
                    "--verdict", "ALLOW", "--rule-id", "late"});
            hvtest::ReportMessage m;
            return receiver_.Next(&m, 2000) && !m.events.empty() &&
                   m.events[0].GetExtension(NetConnectionEvent::header).source_port() == 5001;
        },
        30000, 0));
}

/* A read that may wait long for records does not hold up the module's stop: it ends when
 * the device closes, long before its wait time. */
TEST_F(ReportModuleTest, AStopEndsAReadWaitingForRecords)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(Configure("api.conn_request_sufficient_size", 1000));
    ASSERT_NO_FATAL_FAILURE(Configure("api.conn_request_timeout_ms", 3600000));
    /* The read begun before the wait time changed ends within the old wait; the one after
     * it waits the hour. */
    ASSERT_TRUE(hvtest::WaitFor(
        [&] {
            std::string log = LogText();
            size_t set = log.find("[config] setting connection request timeout ms 500 -> 3600000");
            return set != std::string::npos &&
                   log.find("[conn_report] received 0 connections from driver", set) != std::string::npos;
        },
        20000, 20))
        << LogText();
    /* Stop fails the test when the module is not gone within a minute. */
    Stop();
    EXPECT_TRUE(LogHas("[conn_report] connection report thread stopped successfully")) << LogText();
    EXPECT_FALSE(LogHas("[api] failed to get connections")) << "a read ended by the stop is no failure";
}
