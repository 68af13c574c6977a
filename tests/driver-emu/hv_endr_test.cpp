/* hv-endr end to end: the real tool against this process's emulated driver. */
#include <algorithm>
#include <optional>
#include <tuple>

#include <signal.h>
#include <sys/wait.h>

#include "emu-fixture.h"
#include "enforcement/driver-daemon/endr-device-client.h"
#include "qobject/qbool.h"

using namespace endr;

namespace {

class HvEndr : public EmuFixture {
protected:
    /* Runs hv-endr with the test's socket; the JSON object it printed, or NULL. */
    QDict *Run(std::vector<std::string> args, int *status, bool with_address = true)
    {
        if (with_address) {
            args.insert(args.begin(), {"--address", address_});
        }
        args.insert(args.begin(), HV_ENDR);
        hvtest::Outcome run = hvtest::RunProgram(args);
        *status = run.exit_code;
        EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
        QObject *obj = qobject_from_json(run.out.c_str(), nullptr);
        if (!obj) {
            return nullptr;
        }
        holds_.push_back(obj);
        return qobject_to_qdict(obj);
    }
};

TEST_F(HvEndr, StatusShowsWhatTheModuleSent)
{
    Load();
    ASSERT_EQ(Value(kSetConsumerRole, 0), 0u);
    const std::vector<std::tuple<uint32_t, const char *, uint64_t>> settings = {
        {kEnforcementMode, "enforcement-mode", 3}, {kFirewallMode, "firewall-mode", 2},
        {kSetVerbosity, "verbosity", 1}, {kDnsRateLimit, "dns-rate-limit", 77}, {kSetQueueSize, "queue-size", 32768}};
    for (const auto &[code, key, value] : settings) {
        ASSERT_EQ(Value(code, value), 0u) << key;
    }
    std::vector<uint8_t> limits;
    for (uint64_t v : {16, 2048, 40000, 4194304}) {
        append<uint64_t>(limits, v);
    }
    ASSERT_EQ(Buffer(kSetPolicyLimits, limits), 0u);
    std::vector<uint8_t> excluded(kExcludedSize, 0);
    put<uint64_t>(excluded, 0, 21);
    put<uint64_t>(excluded, 8, 22);
    ASSERT_EQ(Buffer(kExcludedInterfaces, excluded), 0u);
    int status;
    QDict *s = Run({"status"}, &status);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(U(s, "version"), 420005u);
    EXPECT_STREQ(qdict_get_str(s, "role"), "consumer");
    EXPECT_TRUE(qdict_get_bool(s, "live"));
    QDict *set = qdict_get_qdict(s, "settings");
    for (const auto &[code, key, value] : settings) {
        EXPECT_EQ(U(set, key), value) << key;
    }
    QDict *pl = qdict_get_qdict(set, "policy-limits");
    EXPECT_EQ(U(pl, "max-chains-num"), 16u);
    EXPECT_EQ(U(pl, "max-rules-num"), 2048u);
    EXPECT_EQ(U(pl, "max-entity-field-num"), 40000u);
    EXPECT_EQ(U(pl, "max-rule-buffer-len"), 4194304u);
    QList *luids = qdict_get_qlist(s, "excluded-luids");
    ASSERT_EQ(qlist_size(luids), 2u);
    EXPECT_EQ(quint_get_uint(qobject_to_quint(qlist_peek(luids))), 21u);
}

TEST_F(HvEndr, RaiseLidRequestReachesTheEventRead)
{
    Load();
    int status;
    QDict *r = Run({"raise-lid-request", "314"}, &status);
    EXPECT_EQ(status, 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(U(r, "pid"), 314u);
    std::vector<uint8_t> area(kEventAreaSize), out(65535);
    Hdr h;
    h.value = reinterpret_cast<uintptr_t>(area.data());
    ASSERT_EQ(Raw(kReadEvent, h, out.data(), 65535), 0u);
    EXPECT_EQ(get<uint64_t>(area.data() + 4), 314u);

    Run({"raise-lid-request", "-3"}, &status);
    EXPECT_EQ(status, 1);
}

TEST_F(HvEndr, InjectedConnectionIsServedToTheConnectionRead)
{
    Load();
    int status;
    Run({"inject-connection", "--direction", "in", "--protocol", "tcp", "--local", "[fe80::1]:443", "--remote",
         "[fe80::2]:50000", "--pid", "7"},
        &status);
    ASSERT_EQ(status, 0);
    std::vector<uint8_t> records(kConnectionRecordSize), aux(8), req(kConnectionRequestSize, 0);
    put<uint64_t>(req, 0, 1000);
    put<uint32_t>(req, 8, 1);
    put<uint32_t>(req, 12, 1);
    put<uint32_t>(req, 20, kConnectionRecordSize);
    put<uint64_t>(req, 24, reinterpret_cast<uintptr_t>(records.data()));
    put<uint64_t>(req, 32, reinterpret_cast<uintptr_t>(aux.data()));
    ASSERT_EQ(Buffer(kGetConnections, req), 0u);
    ASSERT_EQ(get<uint32_t>(req.data() + 16), 1u);
    const uint8_t *rec = records.data();
    EXPECT_EQ(rec[4], 0u) << "IPv6 head";
    EXPECT_EQ(rec[4 + 8 + 15], 2u) << "inbound: the remote endpoint is the source";
    EXPECT_EQ(get<uint16_t>(rec + 52), 50000u);
    EXPECT_EQ(get<uint16_t>(rec + 54), 443u);
    EXPECT_EQ(get<uint16_t>(rec + 60), 2u);
    EXPECT_EQ(rec[80], 1u);

    QDict *e = Run({"inject-connection", "--direction", "sideways", "--protocol", "tcp", "--local", "1.1.1.1",
                    "--remote", "2.2.2.2"},
                   &status);
    EXPECT_EQ(status, 1);
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(qdict_haskey(e, "error"));
}

TEST_F(HvEndr, InjectedCopiesAreCountedQueuedOrDroppedInTheStatus)
{
    Load();
    ASSERT_EQ(Value(kSetQueueSize, 3), 0u);
    int status;
    QDict *r = Run({"inject-connection", "--direction", "out", "--protocol", "udp", "--local", "10.0.0.1:5000",
                    "--remote", "10.0.0.2:53", "--verdict", "BLOCK", "--rule-id", "dns-out", "--count", "5"},
                   &status);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(qdict_get_str(r, "verdict"), "BLOCK");
    EXPECT_STREQ(qdict_get_str(r, "rule-id"), "dns-out");
    EXPECT_EQ(U(r, "queued"), 3u);
    EXPECT_EQ(U(r, "dropped"), 2u);
    uint64_t first = U(r, "state-machine-id");
    EXPECT_EQ(U(r, "last-state-machine-id"), first + 4);

    QDict *s = Run({"status"}, &status);
    ASSERT_NE(s, nullptr);
    QDict *c = qdict_get_qdict(s, "connections");
    ASSERT_NE(c, nullptr) << "status has no connections member";
    EXPECT_EQ(U(c, "queued"), 3u);
    EXPECT_EQ(U(c, "dropped"), 2u);
    EXPECT_EQ(U(c, "handed-out"), 0u);
    EXPECT_EQ(U(c, "limit"), 3u);

    std::vector<uint8_t> records, aux;
    std::vector<uint8_t> req = ConnRequest(records, aux, 10, 1, 0);
    ASSERT_EQ(Buffer(kGetConnections, req), 0u);
    ASSERT_EQ(get<uint32_t>(req.data() + kConnectionReturnedOffset), 3u);
    for (uint64_t i = 0; i < 3; i++) {
        RecordView v(records.data() + i * kConnectionRecordSize);
        EXPECT_EQ(v.sm_id(), first + i);
        EXPECT_EQ(v.verdict(), 1u);
        EXPECT_EQ(v.rule_id(), "dns-out");
    }
    s = Run({"status"}, &status);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(U(qdict_get_qdict(s, "connections"), "handed-out"), 3u);
    EXPECT_EQ(U(qdict_get_qdict(s, "connections"), "queued"), 0u);

    for (const char *bad : {"0", "x", "-1"}) {
        Run({"inject-connection", "--direction", "out", "--protocol", "tcp", "--local", "1.1.1.1", "--remote",
             "2.2.2.2", "--count", bad},
            &status);
        EXPECT_EQ(status, 1) << "--count " << bad;
    }
}

TEST_F(HvEndr, ClassifyRecordQueuesTheConnectionItClassified)
{
    Load();
    int status;
    const std::vector<std::string> tuple = {"--direction", "out", "--protocol", "tcp", "--local", "10.0.0.1:40000",
                                            "--remote", "10.0.0.9:8443"};
    std::vector<std::string> plain = {"classify"};
    plain.insert(plain.end(), tuple.begin(), tuple.end());
    QDict *r = Run(plain, &status);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(qdict_haskey(r, "state-machine-id")) << "a plain classify records nothing";
    EXPECT_EQ(U(qdict_get_qdict(Run({"status"}, &status), "connections"), "queued"), 0u);

    std::vector<std::string> recorded = plain;
    recorded.insert(recorded.begin() + 1, "--record");
    r = Run(recorded, &status);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(qdict_get_str(r, "verdict"), "ALLOW");
    EXPECT_STREQ(qdict_get_str(r, "rule-id"), "");
    EXPECT_EQ(qdict_get_int(r, "rule-number"), -1);
    EXPECT_EQ(U(r, "queued"), 1u);
    uint64_t sm = U(r, "state-machine-id");

    std::vector<uint8_t> records, aux;
    std::vector<uint8_t> req = ConnRequest(records, aux, 2, 1, 0);
    ASSERT_EQ(Buffer(kGetConnections, req), 0u);
    ASSERT_EQ(get<uint32_t>(req.data() + kConnectionReturnedOffset), 1u);
    RecordView v(records.data());
    EXPECT_EQ(v.sm_id(), sm);
    EXPECT_EQ(v.verdict(), 2u);
    EXPECT_EQ(v.src_port(), 40000u);
    EXPECT_EQ(v.dst_port(), 8443u);
    EXPECT_EQ(v.dst_v4(), 0x0A000009u);

    for (const char *forced : {"--verdict", "--count"}) {
        std::vector<std::string> bad = recorded;
        bad.insert(bad.end(), {forced, "1"});
        Run(bad, &status);
        EXPECT_EQ(status, 1) << "classify --record " << forced;
    }
}

TEST_F(HvEndr, FailLogAndMetricsThroughTheSocket)
{
    Load();
    int status;
    Run({"fail", "0x122472", "2"}, &status);
    ASSERT_EQ(status, 0);
    uint32_t rc;
    for (uint32_t want : {kGenFailure, kGenFailure, 0u}) {
        Version(&rc);
        EXPECT_EQ(rc, want);
    }

    Run({"log", "from the tool"}, &status);
    ASSERT_EQ(status, 0);
    std::vector<uint8_t> buf(64), req(kLogRequestSize, 0);
    put<uint64_t>(req, 8, reinterpret_cast<uintptr_t>(buf.data()));
    put<uint32_t>(req, 16, 64);
    put<uint32_t>(req, 20, 2048);
    ASSERT_EQ(Buffer(kGetDriverLogs, req), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf.data()), get<uint32_t>(req.data() + 24)), "from the tool\n");
    ASSERT_EQ(Buffer(kGetDriverLogs, req), 0u);
    EXPECT_EQ(get<uint32_t>(req.data() + 24), 0u) << "what was read is gone";

    std::vector<uint8_t> metrics(kMetricsSize);
    ASSERT_EQ(Raw(kGetMetrics, Hdr{}, metrics.data(), kMetricsSize), 0u);
    std::optional<int64_t> served;
    for (uint64_t i = 0; i < get<uint64_t>(metrics.data()); i++) {
        const uint8_t *e = metrics.data() + 16 + i * kMetricEntrySize;
        if (strcmp(reinterpret_cast<const char *>(e + 8), "endr.log-bytes-served") == 0) {
            served = get<int64_t>(e);
        }
    }
    EXPECT_EQ(served, std::optional<int64_t>(14));
}

TEST_F(HvEndr, WithoutADriverEveryCommandExitsTwoAndFaultsArmBeforeTheModule)
{
    int status;
    for (std::vector<std::string> args : {std::vector<std::string>{"status"}, {"fail", "1188978"}, {"set-version", "7"}}) {
        Run(args, &status);
        EXPECT_EQ(status, 2) << args[0] << ": no driver daemon, nothing answers";
    }

    /* A loaded driver that no module has opened yet answers everything. */
    Load();
    Run({"fail", "1188978"}, &status); /* 0x122472 in decimal */
    ASSERT_EQ(status, 0);
    Run({"raise-lid-request", "1"}, &status);
    EXPECT_EQ(status, 0);
    Run({"fail", "0x999999"}, &status);
    EXPECT_EQ(status, 1);
    uint32_t rc;
    Version(&rc);
    EXPECT_EQ(rc, kGenFailure);
    Version(&rc);
    EXPECT_EQ(rc, 0u);
}

TEST_F(HvEndr, UnreachableAddressExitsTwo)
{
    int status;
    std::string nowhere = std::string("ipc://") + dir_ + "/nobody.ipc";
    QDict *e = Run({"--address", nowhere, "log", "x"}, &status, false);
    EXPECT_EQ(status, 2);
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(qdict_haskey(e, "error"));
    Run({"classify", "--direction", "out"}, &status);
    EXPECT_EQ(status, 1);
}

TEST_F(HvEndr, TheDaemonServesBothSocketsUntilTerminated)
{
    const char *argv[] = {HV_ENDRD, nullptr};
    GPid pid = 0;
    ASSERT_TRUE(g_spawn_async(nullptr, const_cast<char **>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                              nullptr, &pid, nullptr));
    std::string pid_file = dir_ + "/hv-endrd.pid", sock = dir_ + "/hv-enforcement.sock";
    ASSERT_TRUE(hvtest::WaitFor([&] { return g_file_test(pid_file.c_str(), G_FILE_TEST_EXISTS); }, 60000));
    EXPECT_EQ(hvtest::ReadFile(pid_file), std::to_string(pid) + "\n");

    endr_client *c = nullptr;
    ASSERT_EQ(endr_client_open(sock.c_str(), &c), 0u);
    std::vector<uint8_t> in = Hdr{.value = 2}.bytes();
    EXPECT_EQ(endr_client_ioctl(c, kEnforcementMode, in.data(), 16, nullptr, 0, nullptr), 0u);
    int status;
    QDict *s = Run({"status"}, &status);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(qdict_get_bool(s, "live")) << "the daemon answers without a module";
    EXPECT_EQ(U(qdict_get_qdict(s, "settings"), "enforcement-mode"), 2u);
    endr_client_close(c);

    /* A second daemon on the same folder finds the first one answering and leaves. */
    hvtest::Outcome second = hvtest::RunProgram({HV_ENDRD});
    EXPECT_EQ(second.exit_code, 1) << second.err;
    EXPECT_NE(second.err.find("another driver daemon"), std::string::npos) << second.err;

    QDict *stop = Run({"shutdown"}, &status);
    EXPECT_EQ(status, 0);
    ASSERT_NE(stop, nullptr);
    EXPECT_TRUE(qdict_get_bool(stop, "stopping"));
    int wstatus = 0;
    ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << wstatus;
    EXPECT_FALSE(g_file_test(sock.c_str(), G_FILE_TEST_EXISTS));
    EXPECT_FALSE(g_file_test(pid_file.c_str(), G_FILE_TEST_EXISTS));
    EXPECT_EQ(endr_client_open(sock.c_str(), &c), 2u);
}

/* An index of `bags` zero vectors of 1024 words (65536 rules), one region per dimension. */
std::vector<uint8_t> WideIndex(uint32_t bags)
{
    std::vector<uint8_t> b;
    b.reserve(size_t{bags} * 8192 + 64);
    append<uint32_t>(b, bags);
    append<uint16_t>(b, 0);
    append<uint16_t>(b, 1024);
    b.resize(b.size() + size_t{bags} * 8192, 0);
    for (int i = 0; i < 3; i++) {
        append<uint32_t>(b, 0);
    }
    append<uint32_t>(b, 1);
    append<uint16_t>(b, 0);
    append<uint32_t>(b, 0);
    for (int dim = 0; dim < 2; dim++) {
        append<uint32_t>(b, 1);
        append<uint32_t>(b, 0);
        append<uint32_t>(b, 0);
    }
    return b;
}

TEST_F(HvEndr, TheDaemonRefusesAnIndexBeyondTheDefaultLimitsBeforeAnyAreSent)
{
    const char *argv[] = {HV_ENDRD, nullptr};
    GPid pid = 0;
    ASSERT_TRUE(g_spawn_async(nullptr, const_cast<char **>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                              nullptr, &pid, nullptr));
    std::string pid_file = dir_ + "/hv-endrd.pid", sock = dir_ + "/hv-enforcement.sock";
    ASSERT_TRUE(hvtest::WaitFor([&] { return g_file_test(pid_file.c_str(), G_FILE_TEST_EXISTS); }, 60000));
    endr_client *c = nullptr;
    ASSERT_EQ(endr_client_open(sock.c_str(), &c), 0u);
    auto send = [c](uint32_t code, const Hdr &h) {
        std::vector<uint8_t> in = h.bytes();
        return endr_client_ioctl(c, code, in.data(), 16, nullptr, 0, nullptr);
    };
    auto send_buffer = [&](uint32_t code, std::vector<uint8_t> &b) {
        return send(code, Hdr{.value = reinterpret_cast<uintptr_t>(b.data()), .length = static_cast<uint32_t>(b.size())});
    };

    /* 8193 vectors of 8 KiB pass 64 MiB; 8191 stay below. */
    std::vector<uint8_t> over = WideIndex(8193), under = WideIndex(8191);
    ASSERT_GT(over.size(), 67108864u);
    ASSERT_LT(under.size(), 67108864u);
    ASSERT_EQ(send(kInitInputTable, Hdr{.value = 1}), 0u);
    EXPECT_EQ(send_buffer(kInitInputIndex, over), kInvalidParameter) << "refused with no limits sent";
    EXPECT_EQ(send_buffer(kInitInputIndex, under), 0u);
    int status;
    QDict *s = Run({"status"}, &status);
    ASSERT_NE(s, nullptr);
    EXPECT_FALSE(qdict_haskey(qdict_get_qdict(s, "settings"), "index-limits")) << "the module sent none";

    /* Limits the module sends replace the defaults, with the same refusal. */
    std::vector<uint8_t> limits;
    for (uint64_t v : {8388608, 8388608, 96 << 20}) {
        append<uint64_t>(limits, v);
    }
    ASSERT_EQ(send_buffer(kSetIndexLimits, limits), 0u);
    ASSERT_EQ(send(kInitInputTable, Hdr{.value = 1}), 0u);
    EXPECT_EQ(send_buffer(kInitInputIndex, over), 0u);
    std::vector<uint8_t> small = WideIndex(200);
    put<uint64_t>(limits, 16, small.size() - 1);
    ASSERT_EQ(send_buffer(kSetIndexLimits, limits), 0u);
    ASSERT_EQ(send(kInitInputTable, Hdr{.value = 1}), 0u);
    EXPECT_EQ(send_buffer(kInitInputIndex, small), kInvalidParameter);
    /* The vector count refuses the same way. */
    put<uint64_t>(limits, 16, 0);
    put<uint64_t>(limits, 8, 199);
    ASSERT_EQ(send_buffer(kSetIndexLimits, limits), 0u);
    EXPECT_EQ(send_buffer(kInitInputIndex, small), kInvalidParameter);
    put<uint64_t>(limits, 8, 200);
    ASSERT_EQ(send_buffer(kSetIndexLimits, limits), 0u);
    EXPECT_EQ(send_buffer(kInitInputIndex, small), 0u);
    endr_client_close(c);

    Run({"shutdown"}, &status);
    EXPECT_EQ(status, 0);
    int wstatus = 0;
    ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << wstatus;
}

} // namespace
