/* The device socket: the engine reached through hv-endrd's server, as the module reaches it. */
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "emu-fixture.h"
#include "enforcement/driver-daemon/endr-device-client.h"
#include "enforcement/driver-daemon/endr-device-frame.h"
#include "enforcement/driver-daemon/endr-device-server.h"
#include "enforcement/driver-daemon/endr-engine.h"

using namespace endr;

namespace {

class DeviceSocket : public EmuFixture {
protected:
    void SetUp() override
    {
        EmuFixture::SetUp();
        Load();
        path_ = dir_ + "/hv-enforcement.sock";
        std::string why;
        server_ = device_server_start(path_, &why);
        ASSERT_NE(server_, nullptr) << why;
    }
    void TearDown() override
    {
        for (endr_client *c : clients_) {
            endr_client_close(c);
        }
        device_server_stop(server_);
        EXPECT_FALSE(g_file_test(path_.c_str(), G_FILE_TEST_EXISTS)) << "the server removes its socket";
        EmuFixture::TearDown();
    }

    endr_client *Connect()
    {
        endr_client *c = nullptr;
        EXPECT_EQ(endr_client_open(path_.c_str(), &c), 0u);
        clients_.push_back(c);
        return c;
    }
    void Drop(endr_client *c)
    {
        std::erase(clients_, c);
        endr_client_close(c);
    }

    static uint32_t Send(endr_client *c, uint32_t code, const Hdr &h, void *out = nullptr, uint32_t out_len = 0,
                         uint32_t *returned = nullptr)
    {
        std::vector<uint8_t> in = h.bytes();
        return endr_client_ioctl(c, code, in.data(), 16, out, out_len, returned);
    }
    static uint32_t SendValue(endr_client *c, uint32_t code, uint64_t v) { return Send(c, code, Hdr{.value = v}); }
    static uint32_t SendBuffer(endr_client *c, uint32_t code, std::vector<uint8_t> &b)
    {
        return Send(c, code, Hdr{.value = reinterpret_cast<uintptr_t>(b.data()), .length = static_cast<uint32_t>(b.size())});
    }
    static uint32_t ReadEvent(endr_client *c, std::vector<uint8_t> &area)
    {
        std::vector<uint8_t> out(kEventBufferSize);
        return Send(c, kReadEvent, Hdr{.value = reinterpret_cast<uintptr_t>(area.data())}, out.data(),
                    kEventBufferSize);
    }

    /* A raw connection past the hello, for frames no client would send. */
    int RawConnect()
    {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strcpy(addr.sun_path, path_.c_str());
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
        uint8_t hello[8];
        EXPECT_TRUE(frame_read_all(fd, hello, 8));
        return fd;
    }

    static int Consumers()
    {
        std::lock_guard<std::mutex> g(engine().mu);
        return engine().consumers;
    }
    /* Records an earlier test of this process left queued. */
    static void DropQueuedConnections()
    {
        std::lock_guard<std::mutex> g(engine().mu);
        engine().connections.clear();
    }
    static int64_t Requests()
    {
        std::lock_guard<std::mutex> g(engine().mu);
        return engine().counters["endr.requests"];
    }

    std::string path_;
    DeviceServer *server_ = nullptr;
    std::vector<endr_client *> clients_;
};

TEST_F(DeviceSocket, RequestsAndCallerBuffersTravelBothWays)
{
    endr_client *c = Connect();
    uint64_t version = 0;
    uint32_t returned = 0;
    ASSERT_EQ(Send(c, kGetVersion, Hdr{}, &version, 8, &returned), 0u);
    EXPECT_EQ(version, 420005u);
    EXPECT_EQ(returned, 8u);
    EXPECT_EQ(Send(c, kGetVersion, Hdr{.magic = 0xE8D4}, &version, 8), kInvalidParameter);
    EXPECT_EQ(SendValue(c, kSetVerbosity, 3), kInvalidParameter);

    /* In: the limits reach the driver. */
    std::vector<uint8_t> limits;
    for (uint64_t v : {10, 20, 30, 40}) {
        append<uint64_t>(limits, v);
    }
    ASSERT_EQ(SendBuffer(c, kSetPolicyLimits, limits), 0u);
    EXPECT_EQ(U(qdict_get_qdict(qdict_get_qdict(Status(), "settings"), "policy-limits"), "max-rules-num"), 20u);

    /* Out through a buffer inside the request: the driver log lands in the caller's buffer. */
    Control(R"({"command": "log", "text": "hello from the driver"})");
    std::vector<uint8_t> text(100, 0xEE), req(kLogRequestSize, 0);
    put<uint64_t>(req, 0, 1000);
    put<uint64_t>(req, 8, reinterpret_cast<uintptr_t>(text.data()));
    put<uint32_t>(req, 16, static_cast<uint32_t>(text.size()));
    put<uint32_t>(req, 20, 2048);
    ASSERT_EQ(SendBuffer(c, kGetDriverLogs, req), 0u);
    ASSERT_EQ(get<uint32_t>(req.data() + kLogReturnedOffset), 22u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(text.data()), 22), "hello from the driver\n");
    EXPECT_EQ(get<uint64_t>(req.data() + 8), reinterpret_cast<uintptr_t>(text.data())) << "the caller's pointer stays";
    EXPECT_EQ(text[22], 0xEE) << "nothing beyond the returned bytes";

    /* A metrics read fills the whole output buffer. */
    std::vector<uint8_t> metrics(kMetricsSize, 0xFF);
    ASSERT_EQ(Send(c, kGetMetrics, Hdr{}, metrics.data(), kMetricsSize), 0u);
    EXPECT_GT(get<uint64_t>(metrics.data()), 0u);
}

TEST_F(DeviceSocket, EventReadWaitsWhileAPushRunsOnTheSameConnection)
{
    endr_client *c = Connect();
    std::vector<uint8_t> area(kEventAreaSize);
    std::atomic<uint32_t> rc{UINT32_MAX};
    std::thread reader([&] { rc = ReadEvent(c, area); });

    constexpr uint32_t kRules = 10000;
    ASSERT_EQ(SendValue(c, kInitInputTable, 0), 0u);
    ASSERT_EQ(SendValue(c, kInitOutputTable, 1), 0u);
    std::vector<uint8_t> index = IndexBuffer(kRules);
    ASSERT_EQ(SendBuffer(c, kInitOutputIndex, index), 0u);
    std::vector<uint8_t> chain = MakeChain("OUTPUT", "all", kRules);
    ASSERT_EQ(SendBuffer(c, kAddChain, chain), 0u);
    for (uint32_t i = 0; i < kRules; i++) {
        std::vector<uint8_t> rule = MakeRule("OUTPUT", "all", ("r-" + std::to_string(i)).c_str());
        ASSERT_EQ(SendBuffer(c, kAddRule, rule), 0u) << i;
    }
    ASSERT_EQ(SendValue(c, kSetRevision, 40), 0u);
    ASSERT_EQ(SendValue(c, kSwapPolicy, 0), 0u);
    EXPECT_EQ(rc.load(), UINT32_MAX) << "no event was raised: the read still waits";
    QDict *s = Status();
    EXPECT_EQ(U(s, "active-revision"), 40u);
    EXPECT_EQ(U(s, "output-rules"), kRules);

    Control(R"({"command": "raise-lid-request", "pid": 4242})");
    reader.join();
    ASSERT_EQ(rc.load(), 0u);
    EXPECT_EQ(get<uint32_t>(area.data()), 2u);
    EXPECT_EQ(get<uint64_t>(area.data() + 4), 4242u);
}

TEST_F(DeviceSocket, APendingConnectionReadHoldsUpNoOtherRequestAndItsRecordsComeBack)
{
    endr_client *c = Connect();
    std::vector<uint8_t> records, aux;
    std::vector<uint8_t> req = ConnRequest(records, aux, 4, 1, 600000);
    std::atomic<uint32_t> rc{UINT32_MAX};
    std::thread reader([&] { rc = SendBuffer(c, kGetConnections, req); });

    /* On the same handle while the read waits: settings, a lid reply, a whole push. */
    ASSERT_EQ(SendValue(c, kSetVerbosity, 1), 0u);
    std::vector<uint8_t> reply(kLidReplySize, 0);
    put<uint64_t>(reply, 0, static_cast<uint64_t>(getpid()));
    put<uint32_t>(reply, 8, 9);
    ASSERT_EQ(SendBuffer(c, kLidReply, reply), 0u);
    ASSERT_EQ(SendValue(c, kInitInputTable, 0), 0u);
    ASSERT_EQ(SendValue(c, kInitOutputTable, 0), 0u);
    ASSERT_EQ(SendValue(c, kSetRevision, uint64_t{12} << 32), 0u);
    ASSERT_EQ(SendValue(c, kSwapPolicy, 0), 0u);
    EXPECT_EQ(rc.load(), UINT32_MAX) << "nothing was queued: the read still waits";

    Control(R"({"command": "inject-connection", "direction": "out", "protocol": "tcp", "local": "10.0.0.1",
        "remote": "10.0.0.2", "remote-port": 22, "pid": )" + std::to_string(getpid()) + "}");
    reader.join();
    ASSERT_EQ(rc.load(), 0u);
    ASSERT_EQ(get<uint32_t>(req.data() + kConnectionReturnedOffset), 1u);
    EXPECT_EQ(get<uint64_t>(req.data() + 24), reinterpret_cast<uintptr_t>(records.data())) << "the caller's pointer stays";
    RecordView r(records.data());
    EXPECT_EQ(r.type(), 3u);
    EXPECT_EQ(r.dst_port(), 22u);
    EXPECT_EQ(r.pid(), static_cast<uint64_t>(getpid()));
    EXPECT_EQ(r.cid(), 9u) << "the lid reply sent while the read waited";
    EXPECT_EQ(r.policy_revision(), 12u);
    EXPECT_EQ(r.enforcement_state(), 3u);
    EXPECT_EQ(std::count(records.begin() + kConnectionRecordSize, records.end(), 0), 3 * kConnectionRecordSize)
        << "only the returned record is written";
}

TEST_F(DeviceSocket, APendingConnectionReadEndsAtCancelAndAtDaemonStop)
{
    for (bool daemon_stops : {false, true}) {
        endr_client *c = Connect();
        std::vector<uint8_t> records, aux;
        std::vector<uint8_t> req = ConnRequest(records, aux, 2, 1, 600000);
        std::atomic<uint32_t> rc{UINT32_MAX};
        int64_t before = Requests();
        std::thread reader([&] { rc = SendBuffer(c, kGetConnections, req); });
        while (Requests() < before + 1) {
            std::this_thread::yield();
        }
        if (daemon_stops) {
            device_server_stop(server_);
            server_ = nullptr;
        } else {
            endr_client_cancel(c);
        }
        reader.join();
        EXPECT_NE(rc.load(), 0u) << (daemon_stops ? "daemon stop" : "cancel");
        if (!daemon_stops) {
            EXPECT_EQ(rc.load(), kAborted);
        }
        EXPECT_EQ(get<uint32_t>(req.data() + kConnectionReturnedOffset), 0u);
    }
}

TEST_F(DeviceSocket, CancelEndsWaitingRequestsAndRefusesLaterOnes)
{
    endr_client *c = Connect();
    endr_client *other = Connect();
    std::vector<uint8_t> area(kEventAreaSize);
    std::atomic<uint32_t> rc{UINT32_MAX};
    int64_t before = Requests();
    std::thread reader([&] { rc = ReadEvent(c, area); });
    /* The read is in the driver once the request count says so; nothing else raises events. */
    while (Requests() < before + 1) {
        std::this_thread::yield();
    }
    endr_client_cancel(c);
    reader.join();
    EXPECT_EQ(rc.load(), kAborted);
    uint64_t version = 0;
    EXPECT_EQ(Send(c, kGetVersion, Hdr{}, &version, 8), kInvalidHandle);
    EXPECT_EQ(Send(other, kGetVersion, Hdr{}, &version, 8), 0u) << "another handle is not cancelled";
}

TEST_F(DeviceSocket, APeerThatLeavesReleasesItsRoleAndWaitingReads)
{
    /* A module that dies: its socket closes with the role taken and an event read waiting. */
    int fd = RawConnect();
    DeviceRequest role;
    role.id = 1;
    role.code = kSetConsumerRole;
    role.input = Hdr{}.bytes();
    std::vector<uint8_t> frame = frame_encode_request(role), body;
    ASSERT_TRUE(frame_write_all(fd, frame.data(), frame.size()));
    ASSERT_TRUE(frame_read(fd, &body));
    EXPECT_EQ(Consumers(), 1);
    int64_t before = Requests();
    DeviceRequest read;
    read.id = 2;
    read.code = kReadEvent;
    read.out_size = kEventBufferSize;
    read.input = Hdr{.value = 0x7000}.bytes();
    read.regions = {FrameRegion{0x7000, std::vector<uint8_t>(kEventAreaSize)}};
    frame = frame_encode_request(read);
    ASSERT_TRUE(frame_write_all(fd, frame.data(), frame.size()));
    while (Requests() < before + 1) {
        std::this_thread::yield();
    }
    close(fd);
    ASSERT_TRUE(hvtest::WaitFor([this] { return Consumers() == 0; }, 60000)) << "the role was not released";
    /* The read it left does not swallow the next event: a new reader gets it. */
    Control(R"({"command": "raise-lid-request", "pid": 99})");
    std::vector<uint8_t> area(kEventAreaSize);
    ASSERT_EQ(ReadEvent(Connect(), area), 0u);
    EXPECT_EQ(get<uint64_t>(area.data() + 4), 99u);
}

TEST_F(DeviceSocket, MalformedFramesAndUnlentAddressesAreRefused)
{
    /* A request naming caller memory it does not carry is refused, not followed. */
    int fd = RawConnect();
    DeviceRequest r;
    r.id = 7;
    r.code = kSetPolicyLimits;
    r.input = Hdr{.value = 0x1000, .length = kPolicyLimitsSize}.bytes();
    std::vector<uint8_t> frame = frame_encode_request(r);
    ASSERT_TRUE(frame_write_all(fd, frame.data(), frame.size()));
    std::vector<uint8_t> body;
    ASSERT_TRUE(frame_read(fd, &body));
    DeviceAnswer a;
    ASSERT_TRUE(frame_decode_answer(body.data(), body.size(), &a, nullptr));
    EXPECT_EQ(a.id, 7u);
    EXPECT_EQ(a.result, 998u);

    /* A log request whose text buffer is shorter than it claims. */
    std::vector<uint8_t> req(kLogRequestSize, 0);
    put<uint64_t>(req, 8, 0x2000);
    put<uint32_t>(req, 16, 4096);
    put<uint32_t>(req, 20, 2048);
    r.code = kGetDriverLogs;
    r.input = Hdr{.value = 0x1000, .length = kLogRequestSize}.bytes();
    r.regions = {FrameRegion{0x1000, req}, FrameRegion{0x2000, std::vector<uint8_t>(16)}};
    frame = frame_encode_request(r);
    ASSERT_TRUE(frame_write_all(fd, frame.data(), frame.size()));
    ASSERT_TRUE(frame_read(fd, &body));
    ASSERT_TRUE(frame_decode_answer(body.data(), body.size(), &a, nullptr));
    EXPECT_EQ(a.result, 998u);

    /* A connection request whose record buffer is one record shorter than it claims. */
    Control(R"({"command": "inject-connection", "direction": "out", "protocol": "tcp", "local": "10.0.0.1",
        "remote": "10.0.0.2", "verdict": "ALLOW"})");
    req.assign(kConnectionRequestSize, 0);
    put<uint32_t>(req, 8, 2);
    put<uint32_t>(req, 12, 1);
    put<uint32_t>(req, 20, 2 * kConnectionRecordSize);
    put<uint64_t>(req, 24, 0x2000);
    put<uint64_t>(req, 32, 0x9000);
    r.code = kGetConnections;
    r.input = Hdr{.value = 0x1000, .length = kConnectionRequestSize}.bytes();
    r.regions = {FrameRegion{0x1000, req}, FrameRegion{0x2000, std::vector<uint8_t>(kConnectionRecordSize)}};
    frame = frame_encode_request(r);
    ASSERT_TRUE(frame_write_all(fd, frame.data(), frame.size()));
    ASSERT_TRUE(frame_read(fd, &body));
    ASSERT_TRUE(frame_decode_answer(body.data(), body.size(), &a, nullptr));
    EXPECT_EQ(a.result, 998u);
    EXPECT_EQ(U(qdict_get_qdict(Status(), "connections"), "queued"), 1u) << "the refused read took a record";

    /* A frame that lies about its contents ends the connection; the server goes on. */
    frame = {12, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_TRUE(frame_write_all(fd, frame.data(), frame.size()));
    EXPECT_FALSE(frame_read(fd, &body));
    close(fd);
    uint64_t version = 0;
    EXPECT_EQ(Send(Connect(), kGetVersion, Hdr{}, &version, 8), 0u);
}

TEST_F(DeviceSocket, ARecordBufferIsNotSentAndOnlyTheWrittenRecordsComeBack)
{
    DropQueuedConnections();
    Control(R"({"command": "inject-connection", "direction": "out", "protocol": "tcp", "local": "10.0.0.1",
        "remote": "10.0.0.2", "remote-port": 22})");
    int fd = RawConnect();
    std::vector<uint8_t> req(kConnectionRequestSize, 0);
    put<uint32_t>(req, 8, 4);
    put<uint32_t>(req, 12, 1);
    put<uint32_t>(req, 20, 4 * kConnectionRecordSize);
    put<uint64_t>(req, 24, 0x2000);
    put<uint64_t>(req, 32, 0x9000);
    DeviceRequest r;
    r.id = 5;
    r.code = kGetConnections;
    r.input = Hdr{.value = 0x1000, .length = kConnectionRequestSize}.bytes();
    r.regions = {FrameRegion{0x1000, req}, FrameRegion{0x2000, {}, 4 * kConnectionRecordSize}};
    struct Case {
        const char *what;
        uint32_t records;
    } cases[] = {{"one queued record", 1}, {"nothing queued: the wait ends empty", 0}};
    for (const Case &c : cases) {
        std::vector<uint8_t> frame = frame_encode_request(r);
        EXPECT_LT(frame.size(), 200u) << c.what;
        ASSERT_TRUE(frame_write_all(fd, frame.data(), frame.size()));
        std::vector<uint8_t> body;
        ASSERT_TRUE(frame_read(fd, &body)) << c.what;
        DeviceAnswer a;
        ASSERT_TRUE(frame_decode_answer(body.data(), body.size(), &a, nullptr));
        ASSERT_EQ(a.result, 0u) << c.what;
        ASSERT_EQ(a.regions.size(), c.records ? 2u : 1u) << c.what;
        EXPECT_EQ(a.regions[0].address, 0x1000u);
        EXPECT_EQ(get<uint32_t>(a.regions[0].bytes.data() + kConnectionReturnedOffset), c.records);
        EXPECT_EQ(get<uint64_t>(a.regions[0].bytes.data() + 24), 0x2000u) << "the caller's pointer goes back";
        if (c.records) {
            EXPECT_EQ(a.regions[1].address, 0x2000u);
            ASSERT_EQ(a.regions[1].bytes.size(), kConnectionRecordSize) << "only the written record travels";
            EXPECT_EQ(RecordView(a.regions[1].bytes.data()).dst_port(), 22u);
        }
    }
    close(fd);
}

TEST_F(DeviceSocket, AConnectionReadLeavesTheCallersUnwrittenRecordsAsTheyWere)
{
    DropQueuedConnections();
    endr_client *c = Connect();
    std::vector<uint8_t> records, aux;
    std::vector<uint8_t> req = ConnRequest(records, aux, 4, 1, 0);
    std::fill(records.begin(), records.end(), 0xAB);
    ASSERT_EQ(SendBuffer(c, kGetConnections, req), 0u);
    EXPECT_EQ(get<uint32_t>(req.data() + kConnectionReturnedOffset), 0u);
    EXPECT_EQ(std::count(records.begin(), records.end(), 0xAB), static_cast<long>(records.size()));

    Control(R"({"command": "inject-connection", "direction": "out", "protocol": "udp", "local": "10.0.0.1",
        "remote": "10.0.0.2", "remote-port": 53})");
    ASSERT_EQ(SendBuffer(c, kGetConnections, req), 0u);
    ASSERT_EQ(get<uint32_t>(req.data() + kConnectionReturnedOffset), 1u);
    RecordView rec(records.data());
    EXPECT_EQ(rec.type(), 3u);
    EXPECT_EQ(rec.dst_port(), 53u);
    EXPECT_EQ(records[kConnectionRecordSize - 1], 0) << "the driver writes the whole record, unused bytes as zero";
    EXPECT_EQ(std::count(records.begin() + kConnectionRecordSize, records.end(), 0xAB), 3 * kConnectionRecordSize);
}

TEST_F(DeviceSocket, AClientLendsNoRecordBytesToTheDaemon)
{
    /* A stand-in daemon that only measures the request frame. */
    std::string fake = dir_ + "/measure.sock";
    int lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, fake.c_str());
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(lfd, 1), 0);
    size_t frame_size = 0;
    std::thread daemon([&] {
        int fd = accept(lfd, nullptr, nullptr);
        const uint8_t hello[8] = {4, 0, 0, 0, 0, 0, 0, 0};
        std::vector<uint8_t> body;
        if (frame_write_all(fd, hello, 8) && frame_read(fd, &body)) {
            frame_size = body.size();
        }
        close(fd);
    });
    endr_client *c = nullptr;
    ASSERT_EQ(endr_client_open(fake.c_str(), &c), 0u);
    std::vector<uint8_t> records, aux;
    std::vector<uint8_t> req = ConnRequest(records, aux, 1000, 1, 0);
    EXPECT_EQ(SendBuffer(c, kGetConnections, req), 1167u);
    daemon.join();
    endr_client_close(c);
    close(lfd);
    EXPECT_GT(frame_size, kConnectionRequestSize);
    EXPECT_LT(frame_size, 200u) << "the 1.85 MB record buffer stays home";
}

/* Sends without waiting; the pending request, or nullptr with the refusal in *rc. */
endr_pending *SendLater(endr_client *c, uint32_t code, std::vector<uint8_t> &b, uint32_t group, uint32_t *rc = nullptr)
{
    std::vector<uint8_t> in =
        Hdr{.value = reinterpret_cast<uintptr_t>(b.data()), .length = static_cast<uint32_t>(b.size())}.bytes();
    endr_pending *p = nullptr;
    uint32_t r = endr_client_ioctl_send(c, code, in.data(), 16, group, &p);
    if (rc) {
        *rc = r;
    }
    return p;
}

TEST_F(DeviceSocket, AGroupSentWithoutWaitingStopsAtItsFirstRefusedRequest)
{
    endr_client *c = Connect();
    ASSERT_EQ(SendValue(c, kInitInputTable, 0), 0u);
    ASSERT_EQ(SendValue(c, kInitOutputTable, 2), 0u);
    std::vector<uint8_t> index = IndexBuffer(8);
    ASSERT_EQ(SendBuffer(c, kInitOutputIndex, index), 0u);

    /* The chain announces 8 rules; the third rule names a chain that does not exist. */
    uint32_t group = endr_client_group(c);
    std::vector<std::vector<uint8_t>> bufs;
    bufs.push_back(MakeChain("OUTPUT", "a", 8));
    for (int i = 0; i < 8; i++) {
        bufs.push_back(MakeRule("OUTPUT", i == 2 ? "nowhere" : "a", ("r" + std::to_string(i)).c_str()));
    }
    std::vector<endr_pending *> sent;
    for (size_t i = 0; i < bufs.size(); i++) {
        sent.push_back(SendLater(c, i == 0 ? kAddChain : kAddRule, bufs[i], group));
        ASSERT_NE(sent.back(), nullptr) << i;
    }
    /* The buffers were read when sent: what the caller does with them later does not matter. */
    for (auto &b : bufs) {
        std::fill(b.begin(), b.end(), 0xAB);
    }
    std::vector<uint32_t> results;
    for (endr_pending *p : sent) {
        results.push_back(endr_client_ioctl_wait(c, p));
    }
    std::vector<uint32_t> expected = {0, 0, 0, kInvalidState};
    expected.resize(sent.size(), kFrameNotRun);
    EXPECT_EQ(results, expected);
    {
        std::lock_guard<std::mutex> g(engine().mu);
        ASSERT_EQ(engine().staged.output.chains.size(), 1u);
        EXPECT_EQ(engine().staged.output.chains[0].rules.size(), 2u) << "nothing after the refusal ran";
    }

    /* Another group, and a request of no group, run as usual. */
    std::vector<uint8_t> rule = MakeRule("OUTPUT", "a", "later");
    endr_pending *p = SendLater(c, kAddRule, rule, endr_client_group(c));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(endr_client_ioctl_wait(c, p), 0u);
    p = SendLater(c, kAddRule, rule, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(endr_client_ioctl_wait(c, p), 0u);

    /* Requests whose answer carries data, or that wait, are not sent this way. */
    std::vector<uint8_t> area(kEventAreaSize), req(kLogRequestSize, 0);
    uint32_t rc = 0;
    EXPECT_EQ(SendLater(c, kReadEvent, area, 0, &rc), nullptr);
    EXPECT_EQ(rc, kInvalidParameter);
    EXPECT_EQ(SendLater(c, kGetDriverLogs, req, 0, &rc), nullptr);
    EXPECT_EQ(rc, kInvalidParameter);
}

TEST_F(DeviceSocket, GroupsSentSideBySideEachStopAtTheirOwnFirstRefusal)
{
    endr_client *c = Connect();
    std::vector<uint8_t> good, bad(16, 0);
    for (uint64_t v : {10, 20, 30, 40}) {
        append<uint64_t>(good, v);
    }
    uint32_t a = endr_client_group(c), b = endr_client_group(c);
    /* a fails, then b fails, then each sends one more. */
    std::vector<endr_pending *> sent = {SendLater(c, kSetPolicyLimits, bad, a), SendLater(c, kSetPolicyLimits, bad, b),
                                        SendLater(c, kSetPolicyLimits, good, a),
                                        SendLater(c, kSetPolicyLimits, good, b)};
    std::vector<uint32_t> results;
    for (endr_pending *p : sent) {
        ASSERT_NE(p, nullptr);
        results.push_back(endr_client_ioctl_wait(c, p));
    }
    EXPECT_EQ(results, (std::vector<uint32_t>{kInvalidParameter, kInvalidParameter, kFrameNotRun, kFrameNotRun}));
}

TEST_F(DeviceSocket, CancelAndDisconnectEndRequestsSentWithoutWaiting)
{
    endr_client *c = Connect();
    std::vector<uint8_t> limits;
    for (uint64_t v : {10, 20, 30, 40}) {
        append<uint64_t>(limits, v);
    }
    uint32_t group = endr_client_group(c);
    std::vector<endr_pending *> sent;
    for (int i = 0; i < 50; i++) {
        sent.push_back(SendLater(c, kSetPolicyLimits, limits, group));
    }
    /* Sent before the cancel, they run; later ones meet a closed handle. */
    endr_client_cancel(c);
    sent.push_back(SendLater(c, kSetPolicyLimits, limits, group));
    sent.push_back(SendLater(c, kSetPolicyLimits, limits, group));
    std::vector<uint32_t> results;
    for (endr_pending *p : sent) {
        ASSERT_NE(p, nullptr);
        results.push_back(endr_client_ioctl_wait(c, p));
    }
    std::vector<uint32_t> expected(50, 0u);
    expected.push_back(kInvalidHandle);
    expected.push_back(kFrameNotRun);
    EXPECT_EQ(results, expected);

    /* The daemon goes away with requests outstanding: each ends, none hangs. */
    endr_client *d = Connect();
    sent.clear();
    for (int i = 0; i < 20; i++) {
        sent.push_back(SendLater(d, kSetPolicyLimits, limits, 0));
        ASSERT_NE(sent.back(), nullptr);
    }
    device_server_stop(server_);
    server_ = nullptr;
    for (endr_pending *p : sent) {
        EXPECT_EQ(endr_client_ioctl_wait(d, p), 1167u);
    }
    uint32_t rc = 0;
    EXPECT_EQ(SendLater(d, kSetPolicyLimits, limits, 0, &rc), nullptr);
    EXPECT_EQ(rc, 1167u);
}

void WriteRequest(int fd, const DeviceRequest &r)
{
    std::vector<uint8_t> frame = frame_encode_request(r);
    ASSERT_TRUE(frame_write_all(fd, frame.data(), frame.size()));
}

DeviceAnswer ReadAnswer(int fd)
{
    std::vector<uint8_t> body;
    DeviceAnswer a;
    EXPECT_TRUE(frame_read(fd, &body));
    EXPECT_TRUE(frame_decode_answer(body.data(), body.size(), &a, nullptr));
    return a;
}

DeviceRequest VersionRead(uint32_t id)
{
    DeviceRequest r;
    r.id = id;
    r.code = kGetVersion;
    r.out_size = 8;
    r.input = Hdr{}.bytes();
    return r;
}

/* A log read waiting up to wait_ms, its text buffer of size bytes lent write-only. */
DeviceRequest LogRead(uint32_t id, uint32_t size, uint64_t wait_ms)
{
    std::vector<uint8_t> req(kLogRequestSize, 0);
    put<uint64_t>(req, 0, wait_ms);
    put<uint64_t>(req, 8, 0x100000);
    put<uint32_t>(req, 16, size);
    put<uint32_t>(req, 20, 2048);
    DeviceRequest r;
    r.id = id;
    r.code = kGetDriverLogs;
    r.input = Hdr{.value = 0x1000, .length = kLogRequestSize}.bytes();
    r.regions = {FrameRegion{0x1000, req}, FrameRegion{0x100000, {}, size}};
    return r;
}

TEST_F(DeviceSocket, RequestsThatWaitGetABoundedShareOfTheDaemonsMemory)
{
    {
        std::lock_guard<std::mutex> g(engine().mu);
        engine().log.clear();
    }
    /* Each frame is a few dozen bytes, each asks the daemon for 40 MiB it keeps while it waits. */
    const uint32_t big = 40u << 20;
    int fd = RawConnect();
    WriteRequest(fd, LogRead(1, big, 3600000));
    WriteRequest(fd, LogRead(2, big, 3600000));
    WriteRequest(fd, VersionRead(3));
    DeviceAnswer a = ReadAnswer(fd);
    ASSERT_EQ(a.id, 2u) << "the second read is refused at once, not kept waiting";
    EXPECT_EQ(a.result, 1450u);
    a = ReadAnswer(fd);
    EXPECT_EQ(a.id, 3u);
    EXPECT_EQ(a.result, 0u);

    /* The first read ends; what it held is free again. */
    Control(R"({"command": "log", "text": "x"})");
    a = ReadAnswer(fd);
    EXPECT_EQ(a.id, 1u);
    EXPECT_EQ(a.result, 0u);
    WriteRequest(fd, LogRead(4, big, 0));
    a = ReadAnswer(fd);
    EXPECT_EQ(a.id, 4u);
    EXPECT_EQ(a.result, 0u);
    close(fd);

    /* The share is the connection's: another one is not refused for it. */
    fd = RawConnect();
    int other = RawConnect();
    WriteRequest(fd, LogRead(1, big, 3600000));
    WriteRequest(other, LogRead(1, big, 0));
    a = ReadAnswer(other);
    EXPECT_EQ(a.result, 0u);
    close(other);
    close(fd);
}

TEST_F(DeviceSocket, AnOutputBufferLargerThanAnyRequestUsesIsNotAllocated)
{
    int fd = RawConnect();
    DeviceRequest r = VersionRead(1);
    r.out_size = 200u << 20;
    WriteRequest(fd, r);
    DeviceAnswer a = ReadAnswer(fd);
    EXPECT_EQ(a.result, 1450u);
    EXPECT_LT(a.output.size(), size_t{1} << 20) << "a 30-byte request brought back a 200 MiB answer";
    /* The usual sizes go on working on the same connection. */
    WriteRequest(fd, VersionRead(2));
    a = ReadAnswer(fd);
    EXPECT_EQ(a.result, 0u);
    EXPECT_EQ(a.output.size(), 8u);
    close(fd);
}

TEST_F(DeviceSocket, RequestsThatWaitGetABoundedNumberOfThreads)
{
    {
        std::lock_guard<std::mutex> g(engine().mu);
        engine().log.clear();
    }
    /* Small reads, far inside the memory share: the number of them is what runs out. */
    int fd = RawConnect();
    for (uint32_t id = 1; id <= kMaxWaitingRequests + 1; id++) {
        WriteRequest(fd, LogRead(id, 16, 3600000));
    }
    WriteRequest(fd, VersionRead(1000));
    DeviceAnswer a = ReadAnswer(fd);
    ASSERT_EQ(a.id, kMaxWaitingRequests + 1) << "one read beyond the share is refused at once";
    EXPECT_EQ(a.result, 1450u);
    EXPECT_EQ(ReadAnswer(fd).id, 1000u);

    /* One read ends: the next is taken again. */
    Control(R"({"command": "log", "text": "x"})");
    a = ReadAnswer(fd);
    EXPECT_EQ(a.result, 0u);
    EXPECT_LE(a.id, kMaxWaitingRequests);
    WriteRequest(fd, LogRead(2000, 16, 3600000));
    WriteRequest(fd, VersionRead(2001));
    a = ReadAnswer(fd);
    EXPECT_EQ(a.id, 2001u) << "the read waits instead of being refused";
    close(fd);
}

TEST_F(DeviceSocket, CallerMemoryLentTwiceAtOneAddressIsRefusedAndNoDaemonAddressTravelsBack)
{
    std::vector<uint8_t> req(kConnectionRequestSize, 0);
    put<uint32_t>(req, 8, 1);
    put<uint32_t>(req, 12, 1);
    put<uint32_t>(req, 20, kConnectionRecordSize);
    put<uint64_t>(req, 24, 0x2000);
    put<uint64_t>(req, 32, 0x9000);
    DeviceRequest r;
    r.id = 9;
    r.code = kGetConnections;
    r.input = Hdr{.value = 0x1000, .length = kConnectionRequestSize}.bytes();
    /* A second, shorter region at the request's own address. */
    r.regions = {FrameRegion{0x1000, req}, FrameRegion{0x1000, std::vector<uint8_t>(8)},
                 FrameRegion{0x2000, {}, kConnectionRecordSize}};
    int fd = RawConnect();
    WriteRequest(fd, r);
    DeviceAnswer a = ReadAnswer(fd);
    EXPECT_EQ(a.id, 9u);
    EXPECT_EQ(a.result, kInvalidParameter);
    for (const FrameRegion &back : a.regions) {
        if (back.address == 0x1000 && back.bytes.size() == kConnectionRequestSize) {
            EXPECT_EQ(get<uint64_t>(back.bytes.data() + 24), 0x2000u) << "a daemon address went back to the peer";
        }
    }
    /* The connection goes on. */
    WriteRequest(fd, VersionRead(10));
    EXPECT_EQ(ReadAnswer(fd).result, 0u);
    close(fd);
}

/* A request of no group on a raw connection, its buffer lent at 0x1000. */
DeviceRequest RawBufferRequest(uint32_t id, uint32_t code, const std::vector<uint8_t> &b)
{
    DeviceRequest r;
    r.id = id;
    r.code = code;
    r.input = Hdr{.value = 0x1000, .length = static_cast<uint32_t>(b.size())}.bytes();
    r.regions = {FrameRegion{0x1000, b}};
    return r;
}

TEST_F(DeviceSocket, RequestsLeftByAPeerThatDiedNeverLandInTheNextPeersPush)
{
    constexpr uint16_t kLeft = 300;
    constexpr uint16_t kAnnounced = kLeft + 8;
    /* A module that began a push: tables, index and chain in place. */
    int dead = RawConnect();
    DeviceRequest in_table, out_table;
    in_table.id = 1;
    in_table.code = kInitInputTable;
    in_table.input = Hdr{.value = 0}.bytes();
    out_table.id = 2;
    out_table.code = kInitOutputTable;
    out_table.input = Hdr{.value = 2}.bytes();
    for (const DeviceRequest &r : {in_table, out_table, RawBufferRequest(3, kInitOutputIndex, IndexBuffer(kAnnounced)),
                                   RawBufferRequest(4, kAddChain, MakeChain("OUTPUT", "a", kAnnounced))}) {
        WriteRequest(dead, r);
        EXPECT_EQ(ReadAnswer(dead).result, 0u) << r.id;
    }
    endr_client *next = Connect();

    /* It dies with its rule requests still unread by the daemon. */
    std::vector<uint8_t> frames;
    for (uint16_t i = 0; i < kLeft; i++) {
        std::vector<uint8_t> f = frame_encode_request(
            RawBufferRequest(10 + i, kAddRule, MakeRule("OUTPUT", "a", ("dead-" + std::to_string(i)).c_str())));
        frames.insert(frames.end(), f.begin(), f.end());
    }
    int room = 8 << 20;
    ASSERT_TRUE(setsockopt(dead, SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof(room)) == 0 ||
                setsockopt(dead, SOL_SOCKET, SO_SNDBUF, &room, sizeof(room)) == 0);
    {
        std::lock_guard<std::mutex> g(engine().mu);
        ASSERT_TRUE(frame_write_all(dead, frames.data(), frames.size()));
        close(dead);
    }

    /* The next module pushes the same shape of policy. */
    ASSERT_EQ(SendValue(next, kInitInputTable, 0), 0u);
    ASSERT_EQ(SendValue(next, kInitOutputTable, 2), 0u);
    std::vector<uint8_t> index = IndexBuffer(kAnnounced);
    ASSERT_EQ(SendBuffer(next, kInitOutputIndex, index), 0u);
    std::vector<uint8_t> chain = MakeChain("OUTPUT", "a", kAnnounced);
    ASSERT_EQ(SendBuffer(next, kAddChain, chain), 0u);
    for (int i = 0; i < 3; i++) {
        std::vector<uint8_t> rule = MakeRule("OUTPUT", "a", ("next-" + std::to_string(i)).c_str());
        ASSERT_EQ(SendBuffer(next, kAddRule, rule), 0u);
    }
    for (int i = 0; i < 3000 && device_server_connections(server_) != 1; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(device_server_connections(server_), 1u) << "the dead peer's connection ends";
    std::lock_guard<std::mutex> g(engine().mu);
    ASSERT_EQ(engine().staged.output.chains.size(), 1u);
    std::vector<std::string> ids;
    for (const DecodedRule &r : engine().staged.output.chains[0].decoded) {
        ids.push_back(r.id);
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"next-0", "next-1", "next-2"}));
}

TEST_F(DeviceSocket, OpenFailsWhenNothingAnswersOrTheDriverRefuses)
{
    endr_client *c = nullptr;
    EXPECT_EQ(endr_client_open((dir_ + "/nobody.sock").c_str(), &c), 2u);
    Control(R"({"command": "fail", "code": "device-open", "error": 5})");
    EXPECT_EQ(endr_client_open(path_.c_str(), &c), 5u);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(endr_client_open(path_.c_str(), &c), 0u);
    endr_client_close(c);
}

TEST(DeviceFrame, DecoderRefusesWhatDoesNotAddUp)
{
    DeviceRequest r;
    r.id = 3;
    r.code = kAddRule;
    r.out_size = 0;
    r.input = std::vector<uint8_t>(16, 1);
    r.regions = {FrameRegion{0x5000, std::vector<uint8_t>(300, 2)}};
    std::vector<uint8_t> frame = frame_encode_request(r);
    DeviceRequest back;
    std::string why;
    ASSERT_TRUE(frame_decode_request(frame.data() + 4, frame.size() - 4, &back, &why)) << why;
    EXPECT_EQ(back.code, kAddRule);
    ASSERT_EQ(back.regions.size(), 1u);
    EXPECT_EQ(back.regions[0].bytes, r.regions[0].bytes);

    /* A grouped request carries its group; the other kinds none. */
    r.kind = kFrameGroupIoctl;
    r.group = 77;
    std::vector<uint8_t> grouped = frame_encode_request(r);
    EXPECT_EQ(grouped.size(), frame.size() + 4);
    ASSERT_TRUE(frame_decode_request(grouped.data() + 4, grouped.size() - 4, &back, &why)) << why;
    EXPECT_EQ(back.kind, kFrameGroupIoctl);
    EXPECT_EQ(back.group, 77u);
    EXPECT_EQ(back.code, kAddRule);
    r.kind = kFrameIoctl;
    ASSERT_TRUE(frame_decode_request(frame.data() + 4, frame.size() - 4, &back, &why)) << why;
    EXPECT_EQ(back.group, 0u);

    /* A write-only region carries its length only; the daemon sees that many zero bytes. */
    DeviceRequest w = r;
    w.regions.push_back(FrameRegion{0x9000, {}, 5000});
    std::vector<uint8_t> lent = frame_encode_request(w);
    EXPECT_EQ(lent.size(), frame.size() + 12);
    ASSERT_TRUE(frame_decode_request(lent.data() + 4, lent.size() - 4, &back, &why)) << why;
    ASSERT_EQ(back.regions.size(), 2u);
    EXPECT_EQ(back.regions[1].write_only, 5000u);
    EXPECT_EQ(back.regions[1].bytes, std::vector<uint8_t>(5000, 0));
    EXPECT_EQ(frame_encode_request(back), lent);
    struct Lent {
        const char *what;
        uint32_t length;
    } refused[] = {{"empty write-only region", kRegionWriteOnly}, {"write-only region too large", kRegionWriteOnly | (kMaxWriteOnlyBytes + 1)}};
    for (const Lent &l : refused) {
        std::vector<uint8_t> f = lent;
        memcpy(f.data() + f.size() - 4, &l.length, 4);
        EXPECT_FALSE(frame_decode_request(f.data() + 4, f.size() - 4, &back, &why)) << l.what;
    }
    /* Two regions within the limit each that together ask for more than it. */
    w.regions = {FrameRegion{0x9000, {}, kMaxWriteOnlyBytes / 2 + 1}, FrameRegion{0xA000, {}, kMaxWriteOnlyBytes / 2}};
    std::vector<uint8_t> big = frame_encode_request(w);
    EXPECT_FALSE(frame_decode_request(big.data() + 4, big.size() - 4, &back, &why));
    /* Answers carry only written bytes: a write-only length there is refused. */
    DeviceAnswer ans;
    ans.id = 1;
    ans.regions = {FrameRegion{0x9000, std::vector<uint8_t>(8, 1)}};
    std::vector<uint8_t> af = frame_encode_answer(ans);
    DeviceAnswer aback;
    ASSERT_TRUE(frame_decode_answer(af.data() + 4, af.size() - 4, &aback, &why)) << why;
    af[af.size() - 8 - 1] |= 0x80;
    EXPECT_FALSE(frame_decode_answer(af.data() + 4, af.size() - 4, &aback, &why));

    struct Case {
        const char *what;
        std::function<void(std::vector<uint8_t> &)> spoil;
    } cases[] = {
        {"truncated", [](std::vector<uint8_t> &f) { f.pop_back(); }},
        {"trailing byte", [](std::vector<uint8_t> &f) { f.push_back(0); }},
        {"unknown kind", [](std::vector<uint8_t> &f) { f[4] = 9; }},
        {"group kind on a frame without a group", [](std::vector<uint8_t> &f) { f[4] = 3; }},
        {"input longer than the frame", [](std::vector<uint8_t> &f) { f[20] = 0xFF; }},
        {"output size too large", [](std::vector<uint8_t> &f) { f[19] = 0x7F; }},
        {"too many regions", [](std::vector<uint8_t> &f) { f[40] = 5; }},
        {"region at address 0", [](std::vector<uint8_t> &f) { memset(f.data() + 44, 0, 8); }},
        {"wrapping region", [](std::vector<uint8_t> &f) { memset(f.data() + 44, 0xFF, 8); }},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> f = frame;
        c.spoil(f);
        EXPECT_FALSE(frame_decode_request(f.data() + 4, f.size() - 4, &back, &why)) << c.what;
    }
}

} // namespace

TEST(DeviceFrame, AReaderHoldsWhatArrivedOfAFrameNotWhatItsLengthClaims)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    /* A frame of nearly 512 MiB announced, 1000 bytes of it sent, then the peer waits. */
    std::vector<uint8_t> partial(4 + 1000, 7);
    uint32_t claimed = kMaxFrameBytes - 16;
    memcpy(partial.data(), &claimed, 4);
    ASSERT_TRUE(frame_write_all(sv[1], partial.data(), partial.size()));
    shutdown(sv[1], SHUT_WR);
    FrameReader reader(sv[0]);
    const uint8_t *body = nullptr;
    size_t len = 0;
    EXPECT_FALSE(reader.next(&body, &len));
    EXPECT_LE(reader.buffer_size(), size_t{1} << 20);
    close(sv[0]);
    close(sv[1]);

    /* Frames larger than a read, sent in pieces, still arrive whole and in order. */
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    std::vector<std::vector<uint8_t>> sent;
    for (size_t size : {size_t{3} << 20, size_t{10}, size_t{700} << 10}) {
        std::vector<uint8_t> frame(4 + size);
        uint32_t n = static_cast<uint32_t>(size);
        memcpy(frame.data(), &n, 4);
        for (size_t i = 4; i < frame.size(); i++) {
            frame[i] = static_cast<uint8_t>(i * 131 + size);
        }
        sent.push_back(frame);
    }
    std::thread writer([&] {
        for (const std::vector<uint8_t> &frame : sent) {
            for (size_t at = 0; at < frame.size(); at += 4099) {
                frame_write_all(sv[1], frame.data() + at, std::min<size_t>(4099, frame.size() - at));
            }
        }
        shutdown(sv[1], SHUT_WR);
    });
    FrameReader frames(sv[0]);
    for (const std::vector<uint8_t> &frame : sent) {
        ASSERT_TRUE(frames.next(&body, &len));
        ASSERT_EQ(len, frame.size() - 4);
        EXPECT_EQ(memcmp(body, frame.data() + 4, len), 0);
    }
    EXPECT_FALSE(frames.next(&body, &len));
    writer.join();
    close(sv[0]);
    close(sv[1]);
}
