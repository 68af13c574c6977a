/* hv-events end to end: this process pushes events as the module does, on a private IPC
 * address, and reads the receiver's lines. */
#include <gtest/gtest.h>
#include <glib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "agent-common/net-event.h"
#include "agent-common/nnmsg-channel.h"
#include "qobject/qdict.h"
#include "qobject/qjson.h"
#include "qobject/qlist.h"
#include "qobject/qstring.h"
#include "tests/agent-common/net-event-samples.h"
#include "tests/common/hv-test-support.h"

namespace {

using hvtest::TakeMessage;

/* Every run ends on its own: a receiver that never stops fails here instead of hanging. */
constexpr const char *kSafetyTimeout = "30";
constexpr int kSendWaitMs = 20000;

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        out.push_back(text.substr(start, nl - start));
    }
    if (start < text.size()) {
        out.push_back(text.substr(start));
    }
    return out;
}

/* The JSON text of the value at a "/"-separated path of keys and list indexes, or "<none>". */
std::string At(const std::string &line, const std::string &path)
{
    Error *err = nullptr;
    QObject *root = qobject_from_json(line.c_str(), &err);
    if (!root) {
        return "<not json: " + TakeMessage(err) + ">";
    }
    QObject *cur = root;
    gchar **parts = g_strsplit(path.c_str(), "/", -1);
    for (gchar **p = parts; *p && cur; p++) {
        if (QDict *d = qobject_to_qdict(cur)) {
            cur = qdict_get(d, *p);
        } else if (QList *l = qobject_to_qlist(cur)) {
            const QListEntry *e = qlist_first(l);
            for (long i = atol(*p); e && i > 0; i--) {
                e = qlist_next(e);
            }
            cur = e ? qlist_entry_obj(e) : nullptr;
        } else {
            cur = nullptr;
        }
    }
    g_strfreev(parts);
    std::string out = "<none>";
    if (cur) {
        QString *text = qobject_to_json(cur);
        out = qstring_get_str(text);
        qobject_decref(QOBJECT(text));
    }
    qobject_decref(root);
    return out;
}

class HvEventsTest : public ::testing::Test {
protected:
    void SetUp() override { address_ = "ipc://" + dir_.path() + "/report.ipc"; }
    void TearDown() override { nnmsg_channel_close(push_); }

    /* Starts hv-events with args after --address; Finish collects its output. */
    void Start(const std::vector<std::string> &args)
    {
        std::vector<std::string> all = {HV_EVENTS, "--address", address_};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        GError *error = nullptr;
        ASSERT_TRUE(g_spawn_async_with_pipes(nullptr, argv.data(), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                                             nullptr, &pid_, nullptr, &out_fd_, &err_fd_, &error))
            << (error ? error->message : "");
        push_ = nnmsg_channel_open_push(address_.c_str());
        ASSERT_GE(push_, 0);
    }
    /* Waits for a peer the first time, so nothing is lost while hv-events binds. */
    void Push(const void *data, size_t len)
    {
        Error *err = nullptr;
        ASSERT_TRUE(nnmsg_channel_send_timeout(push_, data, len, kSendWaitMs, &err)) << TakeMessage(err);
    }
    void PushBytes(const std::string &bytes) { Push(bytes.data(), bytes.size()); }
    void PushSingle(NetEvent e)
    {
        uint8_t buf[4096];
        size_t len = sizeof(buf);
        ASSERT_TRUE(serialize_event(&e, buf, &len, nullptr));
        Push(buf, len);
    }
    void PushBatch(std::vector<NetEvent> events)
    {
        std::vector<uint8_t> batch(102400);
        size_t used = 0;
        for (NetEvent &e : events) {
            ASSERT_TRUE(net_event_batch_append(&e, batch.data(), batch.size(), &used, 4096, nullptr));
        }
        Push(batch.data(), used);
    }
    hvtest::Outcome Finish()
    {
        hvtest::Outcome r;
        std::thread err_reader([&] { Drain(err_fd_, &r.err); });
        Drain(out_fd_, &r.out);
        err_reader.join();
        int status = 0;
        waitpid(pid_, &status, 0);
        r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return r;
    }

    hvtest::TempDir dir_{"hv-events"};
    std::string address_;
    int push_ = -1;

private:
    static void Drain(int fd, std::string *out)
    {
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) {
            out->append(buf, static_cast<size_t>(n));
        }
        close(fd);
    }
    GPid pid_ = 0;
    int out_fd_ = -1;
    int err_fd_ = -1;
};

TEST_F(HvEventsTest, SinglesAndBatchesPrintOneObjectPerEvent)
{
    Start({"--count", "5", "--timeout", kSafetyTimeout});
    uint8_t keepalive[NET_EVENT_KEEPALIVE_SPACE];
    size_t len = sizeof(keepalive);
    ASSERT_TRUE(net_event_create_keepalive(keepalive, &len, nullptr));
    Push(keepalive, len);
    PushSingle(hvtest::ConnectionV4Sample());
    PushBatch({hvtest::ProcessSample(), hvtest::ConnectionV6Sample(), hvtest::KeepaliveSample(true)});
    hvtest::Outcome r = Finish();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;

    EXPECT_EQ(At(lines[0], "type"), "\"Keepalive\"");
    EXPECT_EQ(At(lines[0], "time").size(), strlen("\"2025-12-07T05:11:07.123456000Z\""));
    EXPECT_EQ(At(lines[0], "NetKeepaliveEvent"), "<none>");

    struct Expect {
        size_t line;
        const char *path;
        const char *json;
    } expects[] = {
        {1, "type", "\"Connection\""},
        {1, "time", "\"2025-12-07T05:11:07.123456000Z\""},
        {1, "time_sec", "1765084267"},
        {1, "NetConnectionEvent/type", "\"Connect\""},
        {1, "NetConnectionEvent/username", "\"HOST\\\\alice\""},
        {1, "NetConnectionEvent/ipv4_tuple/source_ip", "167772161"},
        {1, "NetConnectionEvent/ipv4_tuple/dest_ip", "3232235778"},
        {1, "NetConnectionEvent/endr_sm_id", "18364758544493064720"},
        {1, "NetConnectionEvent/errorcode", "-1"},
        {1, "NetConnectionEvent/container_info/container_names/1", "\"sidecar-a\""},
        {1, "NetConnectionEvent/container_info/labels/1/key", "\"owner\""},
        {1, "NetConnectionEvent/kubernetes_info/containers_info/0/image_name", "\"registry.local/app-k\""},
        {1, "NetConnectionEvent/enforcement/verdict", "\"Block\""},
        {1, "NetConnectionEvent/enforcement/revision", "21474836483"},
        {1, "NetConnectionEvent/deception_info/redirected", "false"},
        {1, "NetConnectionEvent/deception_info/no_redirect_reason", "\"NetworkLearningPhaseInProgress\""},
        {1, "NetConnectionEvent/enforcement_state", "\"Enforcing\""},
        {1, "NetConnectionEvent/win_service_display", "\"DNS Client\""},
        {2, "type", "\"Process\""},
        {2, "time", "\"2025-12-07T05:11:09.999999000Z\""},
        {2, "NetProcessEvent/type", "\"StartedConnection\""},
        {2, "NetProcessEvent/cmdline", "\"python3 -m http.server 8000\""},
        {2, "NetProcessEvent/file_attrs/mode", "33261"},
        {2, "NetProcessEvent/file_attrs/access_time", "-5"},
        {2, "NetProcessEvent/file_hashes/md5", "\"d41d8cd98f00b204e9800998ecf8427e\""},
        {3, "NetConnectionEvent/type", "\"RecvFrom\""},
        {3, "NetConnectionEvent/ipv6_tuple/source_ip", "\"fe800000000000000000000000000001\""},
        {3, "NetConnectionEvent/ipv6_tuple/dest_ip", "\"ff0200000000000000000000000000fb\""},
        {3, "NetConnectionEvent/enrichment_type", "\"EnrichStatus\""},
        {3, "NetConnectionEvent/ipv4_tuple", "<none>"},
        {3, "NetConnectionEvent/process_name", "<none>"},
        {4, "type", "\"Keepalive\""},
        {4, "time", "\"2025-12-07T05:11:10.000001000Z\""},
        {4, "NetKeepaliveEvent", "{}"},
    };
    for (const Expect &e : expects) {
        EXPECT_EQ(At(lines[e.line], e.path), e.json) << "line " << e.line << " " << e.path << ": " << lines[e.line];
    }
}

/* Bytes that are not events are named on standard error and the events around them still
 * come through, as valid JSON whatever their strings hold. */
TEST_F(HvEventsTest, MalformedInputIsReportedAndSkipped)
{
    Start({"--count", "4", "--timeout", kSafetyTimeout});
    PushBytes(std::string("\xff\xff\xff", 3));
    PushBytes("");
    NetEvent partial;
    partial.set_type(NetEvent::Connection);
    partial.set_time_sec(1);
    partial.set_time_ns(0);
    partial.MutableExtension(NetConnectionEvent::header)->set_pid(9);
    PushBytes(partial.SerializePartialAsString());

    NetEvent odd = hvtest::ProcessSample();
    odd.MutableExtension(NetProcessEvent::header)->set_process_name(std::string("a\"\\\x01\xff\xfe\n", 7));
    std::vector<uint8_t> batch(8192);
    size_t used = 0;
    NetEvent good = hvtest::KeepaliveSample(false);
    ASSERT_TRUE(net_event_batch_append(&good, batch.data(), batch.size(), &used, 4096, nullptr));
    size_t second = used;
    ASSERT_TRUE(net_event_batch_append(&odd, batch.data(), batch.size(), &used, 4096, nullptr));
    std::string bad_magic(reinterpret_cast<char *>(batch.data()), used);
    bad_magic[second] = 0;
    PushBytes(bad_magic);
    std::string cut(reinterpret_cast<char *>(batch.data()), used - 1);
    cut.replace(0, second, "");
    PushBytes(std::string(reinterpret_cast<char *>(batch.data()), second) + cut);
    PushBatch({odd});
    PushSingle(hvtest::ConnectionV6Sample());

    hvtest::Outcome r = Finish();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> lines = Lines(r.out);
    /* The records in front of a broken one are printed. */
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(At(lines[0], "type"), "\"Keepalive\"");
    EXPECT_EQ(At(lines[1], "type"), "\"Keepalive\"");
    EXPECT_EQ(At(lines[2], "NetProcessEvent/process_name"), "\"a\\\"\\\\\\u0001\\uFFFD\\uFFFD\\n\"");
    EXPECT_EQ(At(lines[3], "NetConnectionEvent/type"), "\"RecvFrom\"");
    std::vector<std::string> expected = {
        "hv-events: single event: malformed event of 3 bytes: not a protobuf message",
        "hv-events: single event: malformed event of 0 bytes: missing required fields: type, time_sec, time_ns",
        "hv-events: single event: malformed event of " + std::to_string(partial.ByteSizeLong()) +
            " bytes: missing required fields: (NetConnectionEvent.header).type, (NetConnectionEvent.header).ppid, "
            "(NetConnectionEvent.header).ip_protocol, (NetConnectionEvent.header).source_port, "
            "(NetConnectionEvent.header).dest_port",
        "hv-events: batch record 2 at offset " + std::to_string(second) + ": bad record magic, rest of the batch skipped",
        "hv-events: batch record 2 at offset " + std::to_string(second) +
            ": record runs past the end of the message, rest of the batch skipped",
    };
    EXPECT_EQ(Lines(r.err), expected);
}

TEST_F(HvEventsTest, CountEndsTheRunMidBatch)
{
    Start({"--count", "2", "--timeout", kSafetyTimeout});
    PushBatch({hvtest::ConnectionV4Sample(), hvtest::ProcessSample(), hvtest::ConnectionV6Sample()});
    hvtest::Outcome r = Finish();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(At(lines[1], "type"), "\"Process\"");
}

TEST_F(HvEventsTest, TimeoutCountsFromTheLastMessage)
{
    Start({"--timeout", "0.3"});
    PushSingle(hvtest::KeepaliveSample(false));
    hvtest::Outcome r = Finish();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(Lines(r.out).size(), 1u) << r.out;
    EXPECT_EQ(r.err, "hv-events: no event received within 0.3 seconds on " + address_ + "\n");
}

TEST(HvEventsCliTest, RefusesBadArgumentsAndUnusableAddresses)
{
    hvtest::TempDir dir("hv-events-cli");
    const std::string ok = "ipc://" + dir.path() + "/cli.ipc";
    struct Case {
        std::vector<std::string> args;
        int exit_code;
        const char *err_part;
    } cases[] = {
        {{"--address", ok, "--timeout", "0.05"}, 1, "no event received within 0.05 seconds"},
        {{"--address", ok, "--count", "0"}, 2, "--count needs a whole number"},
        {{"--address", ok, "--count", "1.5"}, 2, "--count needs a whole number"},
        {{"--address", ok, "--timeout", "soon"}, 2, "--timeout needs a number of seconds"},
        {{"--address", ok, "--verbose"}, 2, "usage:"},
        {{"--address", "ipc://" + dir.path() + "/missing/x.ipc", "--timeout", "5"}, 2, "cannot bind"},
    };
    /* libnanomsg keeps an allocation of a failed bind for good; that is not hv-events' leak. */
    char **env = g_environ_setenv(g_get_environ(), "ASAN_OPTIONS", "detect_leaks=0", TRUE);
    for (const Case &c : cases) {
        std::vector<std::string> args = {HV_EVENTS};
        args.insert(args.end(), c.args.begin(), c.args.end());
        hvtest::Outcome r = hvtest::RunProgram(args, nullptr, env);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.err_part << ": " << r.err;
        EXPECT_NE(r.err.find(c.err_part), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    g_strfreev(env);
}

} // namespace
