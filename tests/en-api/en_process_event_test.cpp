/* Process events: the queue and its worker, received on a real PULL socket, and their
 * production by driver lid requests through the emulated driver. */
#include <nanomsg/nn.h>
#include <nanomsg/pipeline.h>
#include <pwd.h>
#include <sys/stat.h>

#include <memory>
#include <optional>
#include <thread>
#include <atomic>

#include "agent-common/net-event.h"
#include "agent-common/nnmsg-channel.h"
#include "en-api-fixture.h"
#include "enforcement/framework/agent/en-proc-info.h"
#include "enforcement/framework/agent/en-process-event-queue.h"
#include "tests/common/process-child.h"

namespace {

using hvtest::WaitFor;

struct InfoFree {
    void operator()(en_process_info_t *info) const { en_process_info_free(info); }
};
using Info = std::unique_ptr<en_process_info_t, InfoFree>;

std::string AccountOf(uid_t uid)
{
    struct passwd *pw = getpwuid(uid);
    return pw ? std::string(g_get_host_name()) + "\\" + pw->pw_name : "";
}

/* A PULL socket bound where the report channel pushes, and the module-wide report channel
 * connected to it (or to nobody). */
class Receiver {
public:
    /* bound false: the channel pushes to an address that nobody reads. */
    bool Open(const std::string &dir, bool bound = true)
    {
        address_ = "ipc://" + dir + "/report.ipc";
        if (bound) {
            pull_ = nn_socket(AF_SP, NN_PULL);
            int ms = 20000;
            if (pull_ < 0 || nn_setsockopt(pull_, NN_SOL_SOCKET, NN_RCVTIMEO, &ms, sizeof ms) != 0 ||
                nn_bind(pull_, address_.c_str()) < 0) {
                return false;
            }
        }
        push_ = nnmsg_channel_open_push(address_.c_str());
        if (push_ < 0) {
            return false;
        }
        nnmsg_channel_set_report_socket(push_);
        if (!bound) {
            return true;
        }
        /* The worker never waits for a peer: connect before it sends. */
        Error *err = nullptr;
        if (!nnmsg_channel_send_timeout(push_, "probe", 5, 20000, &err)) {
            error_free(err);
            return false;
        }
        return Next() == "probe";
    }

    ~Receiver()
    {
        nnmsg_channel_set_report_socket(-1);
        nnmsg_channel_close(push_);
        if (pull_ >= 0) {
            nn_close(pull_);
        }
    }

    /* The next message; "" when none came in 20 s. */
    std::string Next()
    {
        void *buf = nullptr;
        int n = nn_recv(pull_, &buf, NN_MSG, 0);
        if (n < 0) {
            return "";
        }
        std::string msg(static_cast<char *>(buf), static_cast<size_t>(n));
        nn_freemsg(buf);
        return msg;
    }

    /* A message, if one is waiting now. */
    std::optional<std::string> Pending()
    {
        void *buf = nullptr;
        int n = nn_recv(pull_, &buf, NN_MSG, NN_DONTWAIT);
        if (n < 0) {
            return std::nullopt;
        }
        std::string msg(static_cast<char *>(buf), static_cast<size_t>(n));
        nn_freemsg(buf);
        return msg;
    }

private:
    std::string address_;
    int pull_ = -1;
    int push_ = -1;
};

/* The events of one message: one for a single event, one per record for a batch. */
std::vector<NetProcessEvent> Decode(const std::string &msg, bool *batch = nullptr)
{
    std::vector<std::string> raw;
    const auto *bytes = reinterpret_cast<const uint8_t *>(msg.data());
    bool is_batch = net_event_is_batch(bytes, msg.size());
    if (batch) {
        *batch = is_batch;
    }
    if (is_batch) {
        size_t offset = 0;
        const uint8_t *event = nullptr;
        size_t len = 0;
        NetEventRecordResult r;
        while ((r = net_event_batch_next(bytes, msg.size(), &offset, &event, &len)) == NET_EVENT_RECORD_OK) {
            raw.emplace_back(reinterpret_cast<const char *>(event), len);
        }
        EXPECT_EQ(r, NET_EVENT_RECORD_END);
    } else {
        raw.push_back(msg);
    }
    std::vector<NetProcessEvent> out;
    for (const std::string &r : raw) {
        NetEvent event;
        EXPECT_TRUE(event.ParseFromString(r));
        EXPECT_EQ(event.type(), NetEvent::Process);
        EXPECT_TRUE(event.HasExtension(NetProcessEvent::header));
        out.push_back(event.GetExtension(NetProcessEvent::header));
    }
    return out;
}

class ProcessEventTest : public hvtest::LoggingTest {
protected:
    void SetUp() override
    {
        hvtest::LoggingTest::SetUp();
        ASSERT_TRUE(initialize_agent_metrics());
    }
    void TearDown() override
    {
        if (queue_) {
            process_event_queue_destroy(queue_);
        }
        agent_metrics_cleanup();
        hvtest::LoggingTest::TearDown();
    }

    process_event_queue *NewQueue(bool batch)
    {
        queue_ = process_event_queue_new(batch);
        return queue_;
    }

    /* Queues pid as the lid request path does. */
    void Queue(uint64_t pid)
    {
        en_process_info_t *raw = nullptr;
        Error *err = nullptr;
        ASSERT_TRUE(fetch_process_info(pid, &raw, queue_, &err)) << hvtest::TakeMessage(err);
        en_process_info_free(raw);
    }

    static uint64_t Metric(const char *name) { return agent_metrics_get("%s", name); }

    hvtest::TempDir dir_{"hv-proc-event"};
    process_event_queue *queue_ = nullptr;
};

TEST_F(ProcessEventTest, OneQueuedProcessLeavesAsASingleEventWithItsUserCommandLineAndImage)
{
    Receiver rx;
    ASSERT_TRUE(rx.Open(dir_.path()));
    std::string image = dir_.path() + "/bin/my.tool.exe";
    hvtest::Child child;
    ASSERT_TRUE(child.Start(image, {"first", "two words"}, dir_.path()));
    NewQueue(true);
    Queue(child.pid());
    EXPECT_TRUE(Logged(kDebug, "[process-event] add to queue proc with pid " + std::to_string(child.pid()) +
                                   " name: my.tool"));
    process_event_queue_start(queue_);

    bool batch = true;
    std::string msg = rx.Next();
    std::vector<NetProcessEvent> events = Decode(msg, &batch);
    EXPECT_FALSE(batch) << "one process travels without a record header";
    ASSERT_EQ(events.size(), 1u);
    const NetProcessEvent &e = events[0];
    EXPECT_EQ(e.type(), NetProcessEvent::StartedConnection);
    EXPECT_EQ(e.pid(), child.pid());
    EXPECT_EQ(e.ppid(), static_cast<uint32_t>(getpid()));
    EXPECT_EQ(e.process_name(), "my.tool");
    g_autofree char *self = g_file_read_link("/proc/self/exe", nullptr);
    g_autofree char *self_name = en_process_app_name(self);
    EXPECT_EQ(e.parent_name(), self_name);
    EXPECT_EQ(e.image_path(), image);
    EXPECT_EQ(e.username(), AccountOf(geteuid()));
    EXPECT_EQ(e.cmdline(), image + " -c read x first two words");
    EXPECT_EQ(e.cwd(), dir_.path());
    EXPECT_FALSE(e.has_uid() || e.has_service() || e.has_cgroups() || e.has_file_hashes());
    ASSERT_TRUE(e.has_file_attrs());
    struct stat st;
    ASSERT_EQ(stat(image.c_str(), &st), 0);
    EXPECT_EQ(e.file_attrs().mode(), 0100777);
    EXPECT_EQ(e.file_attrs().size(), static_cast<uint64_t>(st.st_size));
    EXPECT_EQ(e.file_attrs().modification_time(), st.st_mtime);
    EXPECT_FALSE(e.file_attrs().has_inode());

    ASSERT_TRUE(WaitFor([] { return Metric("process_queue.reported_batches") == 1; }));
    EXPECT_EQ(Metric("process_queue.reported_events"), 1u);
    EXPECT_EQ(Metric("process_queue.error.dropped_events"), 0u);
    process_event_queue_stop(queue_);
    EXPECT_TRUE(Logged(kDebug, "[process-event][background] sent a net process event for pid: " +
                                   std::to_string(child.pid())));
    EXPECT_TRUE(Logged(kDebug, "[process-event] worker thread stopped successfully"));
}

TEST_F(ProcessEventTest, WaitingProcessesLeaveInOneBatchUnlessBatchesAreOff)
{
    hvtest::Child a, b, c;
    ASSERT_TRUE(a.Start(dir_.path() + "/a", {}));
    ASSERT_TRUE(b.Start(dir_.path() + "/b", {}));
    ASSERT_TRUE(c.Start(dir_.path() + "/c", {}));
    for (bool batches : {true, false}) {
        SCOPED_TRACE(batches ? "batches" : "singles");
        Receiver rx;
        ASSERT_TRUE(rx.Open(dir_.path()));
        NewQueue(batches);
        for (hvtest::Child *child : {&a, &b, &c}) {
            Queue(child->pid());
        }
        process_event_queue_start(queue_);
        std::vector<std::string> names;
        for (size_t messages = 0; names.size() < 3 && messages < 3; messages++) {
            bool batch = false;
            for (const NetProcessEvent &e : Decode(rx.Next(), &batch)) {
                names.push_back(e.process_name());
            }
            EXPECT_EQ(batch, batches);
        }
        EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c"}));
        ASSERT_TRUE(WaitFor([] { return Metric("process_queue.reported_events") == 3; }));
        EXPECT_EQ(Metric("process_queue.reported_batches"), batches ? 1u : 3u);
        process_event_queue_destroy(queue_);
        queue_ = nullptr;
        EXPECT_FALSE(rx.Pending().has_value());
        agent_metrics_cleanup();
        ASSERT_TRUE(initialize_agent_metrics());
    }
}

/* Only the queued information describes a process that is gone, or whose pid now runs
 * another program; a path too long for the attribute query, or an image that cannot be
 * looked at, only costs the attributes. */
TEST_F(ProcessEventTest, EnrichmentComesOnlyFromTheProcessThatWasQueued)
{
    std::string deep = dir_.path();
    while (deep.size() <= 300) {
        deep += "/a-rather-long-folder-name";
    }
    hvtest::Child gone, reused, long_path, unlinked;
    ASSERT_TRUE(gone.Start(dir_.path() + "/gone", {"bye"}));
    ASSERT_TRUE(reused.Start(dir_.path() + "/now", {"other"}));
    ASSERT_TRUE(long_path.Start(deep + "/long", {"deep"}));
    ASSERT_TRUE(unlinked.Start(dir_.path() + "/unlinked", {"away"}));
    ASSERT_EQ(unlink((dir_.path() + "/unlinked").c_str()), 0);

    Receiver rx;
    ASSERT_TRUE(rx.Open(dir_.path()));
    NewQueue(true);
    Queue(gone.pid());
    en_process_info_t *raw = nullptr;
    Error *err = nullptr;
    ASSERT_TRUE(fetch_process_info(reused.pid(), &raw, nullptr, &err));
    Info before(raw);
    g_free(before->image_path);
    before->image_path = g_strdup((dir_.path() + "/before").c_str());
    send_net_process_event_async(queue_, before.get());
    Queue(long_path.pid());
    Queue(unlinked.pid());
    gone.Stop();
    process_event_queue_start(queue_);

    std::vector<NetProcessEvent> events = Decode(rx.Next());
    ASSERT_EQ(events.size(), 4u);
    const std::string user = AccountOf(geteuid());
    struct Want {
        std::string image;
        std::string cmdline;
        bool user;
        bool attrs;
    };
    const Want want[] = {
        {dir_.path() + "/gone", dir_.path() + "/gone -c read x bye", false, false},
        {dir_.path() + "/before", dir_.path() + "/now -c read x other", false, false},
        {deep + "/long", deep + "/long -c read x deep", true, false},
        {dir_.path() + "/unlinked", dir_.path() + "/unlinked -c read x away", true, false},
    };
    for (size_t i = 0; i < 4; i++) {
        const NetProcessEvent &e = events[i];
        SCOPED_TRACE(want[i].image);
        EXPECT_EQ(e.image_path(), want[i].image.substr(0, 1024));
        EXPECT_EQ(e.cmdline(), want[i].cmdline.substr(0, 1024));
        EXPECT_EQ(e.has_username(), want[i].user);
        EXPECT_EQ(e.has_cwd(), want[i].user);
        if (want[i].user) {
            EXPECT_EQ(e.username(), user);
        }
        EXPECT_EQ(e.has_file_attrs(), want[i].attrs);
    }
}

TEST_F(ProcessEventTest, TheQueueHoldsFiveHundredAndTheRestIsRefused)
{
    Receiver rx;
    ASSERT_TRUE(rx.Open(dir_.path()));
    NewQueue(true);
    for (int i = 0; i < PROCESS_EVENT_QUEUE_MAX_ENTRIES; i++) {
        Queue(static_cast<uint64_t>(getpid()));
    }
    EXPECT_FALSE(Logged(kWarning, "[process-event] queue is full, not inserting new proc infos"));
    Queue(static_cast<uint64_t>(getpid()));
    EXPECT_EQ(Count(kWarning, "[process-event] queue is full, not inserting new proc infos"), 1u);

    process_event_queue_start(queue_);
    size_t events = 0;
    size_t messages = 0;
    while (events < PROCESS_EVENT_QUEUE_MAX_ENTRIES) {
        std::string msg = rx.Next();
        ASSERT_FALSE(msg.empty()) << "after " << events << " events";
        EXPECT_LE(msg.size(), static_cast<size_t>(PROCESS_EVENT_BATCH_BUFFER_SIZE));
        events += Decode(msg).size();
        messages++;
    }
    EXPECT_EQ(events, static_cast<size_t>(PROCESS_EVENT_QUEUE_MAX_ENTRIES));
    EXPECT_GT(messages, 1u) << "a batch stops growing near the buffer's end";
    ASSERT_TRUE(WaitFor([&] { return Metric("process_queue.reported_batches") == messages; }));
    EXPECT_EQ(Metric("process_queue.reported_events"), static_cast<uint64_t>(PROCESS_EVENT_QUEUE_MAX_ENTRIES));
    EXPECT_GT(Metric("process_queue.max_time"), 0u);
    EXPECT_FALSE(rx.Pending().has_value());
}

TEST_F(ProcessEventTest, WithoutAReceiverEventsAreDroppedAndNeverReported)
{
    for (bool batches : {true, false}) {
        SCOPED_TRACE(batches ? "batches" : "singles");
        Receiver rx;
        ASSERT_TRUE(rx.Open(dir_.path(), false));
        NewQueue(batches);
        for (int i = 0; i < 3; i++) {
            Queue(static_cast<uint64_t>(getpid()));
        }
        process_event_queue_start(queue_);
        ASSERT_TRUE(WaitFor([] { return Metric("process_queue.error.dropped_events") == 3; }));
        process_event_queue_destroy(queue_);
        queue_ = nullptr;
        EXPECT_EQ(Metric("process_queue.reported_events"), 0u);
        EXPECT_EQ(Metric("process_queue.reported_batches"), 0u);
        const char *failure = batches ? "[process-event][background] failed sending batch of 3 processes ("
                                      : "[process-event][background] failed sending a single processes event (";
        EXPECT_TRUE(LoggedPrefix(kWarning, failure));
        agent_metrics_cleanup();
        ASSERT_TRUE(initialize_agent_metrics());
    }
}

/* A receiver that reads loses no process event while connection batches share the socket:
 * the worker waits its turn rather than finding the socket busy and dropping. */
TEST_F(ProcessEventTest, AReadingReceiverGetsEveryEventWhileOtherSendersFillTheSocket)
{
    Receiver rx;
    ASSERT_TRUE(rx.Open(dir_.path()));
    NewQueue(false);
    constexpr int kProcesses = 200;
    for (int i = 0; i < kProcesses; i++) {
        Queue(static_cast<uint64_t>(getpid()));
    }
    constexpr int kBulk = 300;
    std::atomic<int> bulk_failed{0};
    std::thread bulk([&] {
        const std::string big(90000, 'Z');
        for (int i = 0; i < kBulk; i++) {
            Error *err = nullptr;
            if (!nnmsg_channel_send_timeout(nnmsg_channel_report_socket(), big.data(), big.size(), 20000, &err)) {
                bulk_failed++;
                error_free(err);
            }
        }
    });
    process_event_queue_start(queue_);
    size_t events = 0;
    int bulk_received = 0;
    /* What was neither received nor dropped is still to come. */
    while (events + Metric("process_queue.error.dropped_events") < kProcesses || bulk_received < kBulk) {
        std::string msg = rx.Next();
        if (msg.empty()) {
            ADD_FAILURE() << "after " << events << " events and " << bulk_received << " bulk messages";
            break;
        }
        if (msg[0] == 'Z') {
            bulk_received++;
        } else {
            events += Decode(msg).size();
        }
    }
    bulk.join();
    EXPECT_EQ(bulk_failed, 0);
    EXPECT_EQ(events, static_cast<size_t>(kProcesses));
    EXPECT_EQ(Metric("process_queue.error.dropped_events"), 0u);
    EXPECT_FALSE(LoggedPrefix(kWarning, "[process-event][background] failed sending a single processes event"));
}

TEST_F(ProcessEventTest, StoppedWorkersKeepTheQueueAndDestroyReleasesIt)
{
    Receiver rx;
    ASSERT_TRUE(rx.Open(dir_.path()));
    NewQueue(true);
    process_event_queue_start(queue_);
    process_event_queue_stop(queue_);
    Queue(static_cast<uint64_t>(getpid()));
    EXPECT_FALSE(rx.Pending().has_value());
    process_event_queue_start(queue_);
    EXPECT_EQ(Decode(rx.Next()).size(), 1u) << "a restarted worker sends what waited";
    process_event_queue_stop(queue_);
    /* Whatever still waits goes with the queue (the leak check sees the rest). */
    Queue(static_cast<uint64_t>(getpid()));
    Queue(static_cast<uint64_t>(getpid()));
}

TEST_F(ProcessEventTest, MissingPiecesAndOversizedEventsAreRefused)
{
    NewQueue(true);
    send_net_process_event_async(nullptr, nullptr);
    EXPECT_TRUE(LoggedMatching(kCritical, "[send_net_process_event_async:", "] process_event_queue is NULL"));
    send_net_process_event_async(queue_, nullptr);
    EXPECT_TRUE(LoggedMatching(kCritical, "[send_net_process_event_async:", "] proc_info is NULL"));

    uint8_t buf[PROCESS_EVENT_SPACE];
    size_t len = sizeof buf;
    Error *err = nullptr;
    EXPECT_FALSE(enrich_and_build_process_event(nullptr, buf, &len, &err));
    std::string msg = hvtest::TakeMessage(err);
    err = nullptr;
    EXPECT_EQ(msg.rfind("[enrich_and_build_process_event:", 0), 0u) << msg;
    EXPECT_TRUE(Logged(kCritical, msg));
    process_queue_entry entry{};
    EXPECT_FALSE(enrich_and_build_process_event(&entry, buf, &len, &err));
    EXPECT_NE(hvtest::TakeMessage(err).find("] proc_queue_entry->proc_info is NULL"), std::string::npos);
    err = nullptr;
    Info host(en_process_info_new_host());
    entry.proc_info = host.get();
    EXPECT_FALSE(enrich_and_build_process_event(&entry, buf, &len, &err));
    EXPECT_NE(hvtest::TakeMessage(err).find("] proc_info->image_info.image_path is NULL"), std::string::npos);
    err = nullptr;
    EXPECT_FALSE(en_process_event_create(host.get(), nullptr, nullptr, nullptr, nullptr, nullptr, buf, &len));
    EXPECT_TRUE(LoggedMatching(kCritical, "[bool en_process_event_create(", "] proc_info->image_info.image_path is NULL"));

    /* Long strings are cut by the serializer; what is left too big for the space is refused. */
    Info info(en_process_info_new_unknown());
    info->image_path = g_strdup(std::string(3000, 'p').c_str());
    const std::string cmdline(3000, 'c');
    len = 1100;
    EXPECT_FALSE(en_process_event_create(info.get(), nullptr, nullptr, cmdline.c_str(), nullptr, nullptr, buf, &len));
    EXPECT_TRUE(LoggedPrefix(kCritical, "[event] error serializing event: refusing to serialize event, too big ("));
    len = sizeof buf;
    en_file_hashes hashes{"m", nullptr, ""};
    ASSERT_TRUE(en_process_event_create(info.get(), "", nullptr, cmdline.c_str(), nullptr, &hashes, buf, &len));
    std::vector<NetProcessEvent> events = Decode(std::string(reinterpret_cast<char *>(buf), len));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].cmdline().size(), 1024u);
    EXPECT_EQ(events[0].image_path().size(), 1024u);
    EXPECT_EQ(events[0].pid(), 0xFFFFFFFEu);
    EXPECT_FALSE(events[0].has_username()) << "empty strings are left out";
    EXPECT_EQ(events[0].file_hashes().md5(), "m");
    EXPECT_FALSE(events[0].file_hashes().has_sha1() || events[0].file_hashes().has_sha256());

    /* An image named ".hidden" has an empty name; the event still carries the required field. */
    Info hidden(en_process_info_new_host());
    hidden->image_path = g_strdup("/opt/.hidden");
    hidden->app_name = en_process_app_name(hidden->image_path);
    len = sizeof buf;
    ASSERT_TRUE(en_process_event_create(hidden.get(), nullptr, nullptr, nullptr, nullptr, nullptr, buf, &len));
    events = Decode(std::string(reinterpret_cast<char *>(buf), len));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].image_path(), "/opt/.hidden");
}

/* The lid request path: the driver asks, the module answers and reports the process. */
class LidRequestEventTest : public EnApiTest {};

TEST_F(LidRequestEventTest, ADriverLidRequestReportsTheProcessAndTheUpdateDoesNot)
{
    Receiver rx;
    ASSERT_TRUE(rx.Open(dir_));
    hvtest::Child child;
    ASSERT_TRUE(child.Start(dir_ + "/bin/asker", {"--flag"}, dir_));
    en_handle *h = Init();
    ASSERT_TRUE(en_api_start(h));
    ASSERT_EQ(endr::engine_raise_lid_request(child.pid()), 0u);
    std::vector<NetProcessEvent> events = Decode(rx.Next());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].pid(), child.pid());
    EXPECT_EQ(events[0].process_name(), "asker");
    EXPECT_EQ(events[0].cmdline(), dir_ + "/bin/asker -c read x --flag");
    EXPECT_EQ(events[0].username(), AccountOf(geteuid()));
    EXPECT_TRUE(events[0].has_file_attrs());
    endr::LidReply reply{};
    ASSERT_TRUE(WaitFor([&] { return LidReply(child.pid(), &reply); }));

    /* After a swap every running process is answered again, without events. */
    en_api_update_existing_lids(h);
    EXPECT_TRUE(WaitFor([&] { return LidReply(child.pid(), &reply) && reply.update; }));
    ASSERT_TRUE(en_api_stop(h));
    EXPECT_FALSE(rx.Pending().has_value());
    EXPECT_EQ(agent_metrics_get("process_queue.reported_events"), 1u);
}

} // namespace
