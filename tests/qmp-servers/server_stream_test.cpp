/* The standard-I/O server over pipes and the TCP server against a listener on 127.0.0.1. */
#include <gio/gio.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

#include "agent-common/qmp-servers/qmp-command-executor.h"
#include "agent-common/qmp-servers/qmp-manager.h"
#include "agent-common/qmp-servers/qmp-server-std-io.h"
#include "agent-common/qmp-servers/qmp-server-tcp.h"
#include "agent-common/qmp-servers/qmp-server.h"
#include "qmp-test-support.h"

namespace {

const std::string kPong = "{\"return\": {}}\n";

int count_of(const std::string &text, const std::string &needle)
{
    int n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
        n++;
    }
    return n;
}

class StdIoServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        register_test_commands();
        int in[2], out[2];
        ASSERT_EQ(pipe(in), 0);
        ASSERT_EQ(pipe(out), 0);
        to_server_ = in[1];
        server_in_ = in[0];
        from_server_ = out[0];
        fcntl(from_server_, F_SETFL, O_NONBLOCK);
        server_ = qmp_server_new_std_io_fds(in[0], out[1]);
        Error *err = nullptr;
        ASSERT_TRUE(qmp_server_run(server_, &err));
    }
    void TearDown() override
    {
        qmp_server_destroy(server_);
        if (to_server_ >= 0) {
            close(to_server_);
        }
        close(from_server_);
    }

    void Write(const std::string &text)
    {
        ASSERT_EQ(write(to_server_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void CloseInput()
    {
        close(to_server_);
        to_server_ = -1;
    }
    void Drain()
    {
        char buf[65536];
        ssize_t n;
        while ((n = read(from_server_, buf, sizeof buf)) > 0) {
            output_.append(buf, static_cast<size_t>(n));
        }
    }
    /* Reads replies while the loop runs until want lines have come. */
    bool WaitLines(int want, int timeout_ms = 5000)
    {
        return run_until(
            [&] {
                Drain();
                return count_of(output_, "\n") >= want;
            },
            timeout_ms);
    }

    QmpServer *server_ = nullptr;
    int server_in_ = -1;
    int to_server_ = -1;
    int from_server_ = -1;
    std::string output_;
    LogCapture logs_;
};

TEST_F(StdIoServerTest, ManyRequestsInOneReadAreAnsweredInOrder)
{
    std::string batch;
    for (int i = 0; i < 50; i++) {
        batch += i == 25 ? "{\"execute\": \"test-fail\"}" : "{\"execute\": \"ping\"}\n";
    }
    Write(batch);
    ASSERT_TRUE(WaitLines(50));
    std::vector<std::string> lines;
    for (size_t start = 0, nl; (nl = output_.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(output_.substr(start, nl - start + 1));
    }
    ASSERT_EQ(lines.size(), 50u);
    for (int i = 0; i < 50; i++) {
        if (i == 25) {
            EXPECT_NE(lines[i].find("\"desc\": \"test command failed\""), std::string::npos) << lines[i];
        } else {
            EXPECT_EQ(lines[i], kPong) << i;
        }
    }
}

TEST_F(StdIoServerTest, GarbageAndNonObjectsGetErrorsAndServingGoesOn)
{
    Write("[1, 2]\n");
    ASSERT_TRUE(WaitLines(1));
    EXPECT_EQ(output_.rfind("{\"error\": {\"class\": \"GenericError\", \"desc\": \"Invalid JSON syntax\"", 0), 0u)
        << output_;
    EXPECT_TRUE(logs_.Has("[qmp-server] [qmp-server-std-io] failed to parse event: Invalid JSON syntax"));

    output_.clear();
    Write("{\"execute\": 'ping'}\n");
    ASSERT_TRUE(WaitLines(1));
    EXPECT_EQ(output_.rfind("{\"error\": ", 0), 0u) << output_;

    output_.clear();
    Write("garbage \x01\xff\n{\"execute\": \"ping\"}");
    ASSERT_TRUE(run_until([&] {
        Drain();
        return output_.size() >= kPong.size() && output_.compare(output_.size() - kPong.size(), kPong.size(), kPong) == 0;
    }));
    EXPECT_EQ(output_.rfind("{\"error\": ", 0), 0u) << output_;
    EXPECT_EQ(count_of(output_, kPong), 1);
    EXPECT_EQ(server_->state, QMP_SERVER_STATE_ACTIVE);
}

TEST_F(StdIoServerTest, AnObjectSplitAcrossReadsIsOneRequest)
{
    Write("{\"execute\":");
    spin_for(50);
    Drain();
    EXPECT_EQ(output_, "");
    Write(" \"ping\"}");
    ASSERT_TRUE(WaitLines(1));
    EXPECT_EQ(output_, kPong);
}

TEST_F(StdIoServerTest, EndOfInputFailsTheServerAndDropsAnUnterminatedObject)
{
    Write("{\"execute\": \"ping\"");
    CloseInput();
    ASSERT_TRUE(run_until([&] { return server_->state == QMP_SERVER_STATE_FAILED; }));
    EXPECT_TRUE(logs_.Has("[qmp-server-std-io] received EOF"));
    EXPECT_TRUE(logs_.Has("[qmp-server] [qmp-server-std-io] state changed from 'ACTIVE' to 'FAILED'"));
    /* Its number now holds /dev/null, not to be handed to children. */
    EXPECT_EQ(fcntl(server_in_, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    Drain();
    EXPECT_EQ(output_, "");
    /* Not reconnectable: it never runs again. */
    Error *err = nullptr;
    EXPECT_FALSE(qmp_server_run(server_, &err));
    error_free(err);
}

TEST_F(StdIoServerTest, ACommandWithoutASuccessReplyAnswersNothing)
{
    QmpCommandExecutor *executor = qmp_command_executor_new("std-io-executor");
    ASSERT_NE(executor, nullptr);
    for (bool with_executor : {false, true}) {
        SCOPED_TRACE(with_executor ? "executor" : "main loop");
        qmp_server_set_executor(server_, with_executor ? executor : nullptr);
        output_.clear();
        int runs = silent_runs();
        Write("{\"execute\": \"test-silent\"}{\"execute\": \"ping\"}");
        ASSERT_TRUE(WaitLines(1));
        spin_for(30);
        Drain();
        EXPECT_EQ(output_, kPong);
        EXPECT_EQ(silent_runs(), runs + 1);
    }
    qmp_server_set_executor(server_, nullptr);
    qmp_command_executor_destroy(executor);
}

/*
 * Destroy lets the writer finish what is queued, but only for a bounded while in all: a
 * terminal that reports room for a few hundred bytes must not leave it inside a write,
 * nor a reader that takes a page now and then keep it going page by page.
 */
TEST(StdIoServerOutputTest, DestroyEndsWhileTheReaderOfTheOutputFallsBehind)
{
    register_test_commands();
    struct Case {
        const char *desc;
        bool terminal;
        int pause_ms; /* before each of the reader's reads */
        int reads;    /* -1: for ever */
        size_t piece; /* bytes a read takes */
    };
    const Case cases[] = {
        /* Room made for less than a write holds, then never more. */
        {"terminal read once", true, 300, 1, 2048},
        {"terminal nobody reads", true, 0, 0, 0},
        {"pipe read a page a second", false, 1000, -1, 4096},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.desc);
        LogCapture logs;
        int in[2];
        ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
        int reader_fd = -1, out_fd = -1;
        if (c.terminal) {
            reader_fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            ASSERT_GE(reader_fd, 0);
            ASSERT_EQ(grantpt(reader_fd), 0);
            ASSERT_EQ(unlockpt(reader_fd), 0);
            out_fd = open(ptsname(reader_fd), O_RDWR | O_NOCTTY | O_CLOEXEC);
            ASSERT_GE(out_fd, 0);
            struct termios raw;
            ASSERT_EQ(tcgetattr(out_fd, &raw), 0);
            cfmakeraw(&raw);
            ASSERT_EQ(tcsetattr(out_fd, TCSANOW, &raw), 0);
        } else {
            int out[2];
            ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
            ASSERT_GT(fcntl(out[0], F_SETPIPE_SZ, 4096), 0);
            reader_fd = out[0];
            out_fd = out[1];
        }
        QmpServer *server = qmp_server_new_std_io_fds(in[0], out_fd);
        Error *err = nullptr;
        ASSERT_TRUE(qmp_server_run(server, &err));
        const std::string big = "\"" + std::string(256 * 1024, 'x') + "\"";
        for (int i = 0; i < 8; i++) {
            qmp_server_send(server, g_strdup(big.c_str()), QMP_REPLY_RETURN);
        }

        /* Reads at the case's pace; after 20 s of destroy, as fast as it can to set it free. */
        std::atomic<bool> destroyed{false};
        std::atomic<bool> rescued{false};
        std::thread reader([&] {
            gint64 rescue_at = g_get_monotonic_time() + 20 * G_TIME_SPAN_SECOND;
            char page[4096];
            int reads = 0;
            while (!destroyed) {
                bool rescue = g_get_monotonic_time() >= rescue_at;
                rescued = rescued || rescue;
                if (!rescue) {
                    bool reading = c.reads < 0 || reads < c.reads;
                    g_usleep(static_cast<gulong>(reading && c.pause_ms ? c.pause_ms : 50) * 1000);
                    if (!reading) {
                        continue;
                    }
                    reads++;
                }
                struct pollfd p = {reader_fd, POLLIN, 0};
                size_t want = rescue ? sizeof page : c.piece;
                if (poll(&p, 1, rescue ? 50 : 0) > 0 && read(reader_fd, page, want) <= 0) {
                    break;
                }
            }
        });
        spin_for(100);
        qmp_server_destroy(server);
        destroyed = true;
        reader.join();
        EXPECT_FALSE(rescued) << "destroy waited on its reader";
        EXPECT_TRUE(logs.HasPrefix("[qmp-server-std-io] output not taken by its reader"));
        close(reader_fd);
        close(in[1]);
    }
}

class TcpPeer {
public:
    explicit TcpPeer(int backlog = 10)
    {
        listener_ = g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, nullptr);
        GInetAddress *lo = g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4);
        GSocketAddress *addr = g_inet_socket_address_new(lo, 0);
        g_socket_bind(listener_, addr, TRUE, nullptr);
        g_socket_set_listen_backlog(listener_, backlog);
        g_socket_listen(listener_, nullptr);
        g_object_unref(addr);
        g_object_unref(lo);
        GSocketAddress *local = g_socket_get_local_address(listener_, nullptr);
        port_ = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(local));
        g_object_unref(local);
    }
    ~TcpPeer()
    {
        for (int fd : fillers_) {
            close(fd);
        }
        CloseConnection();
        g_object_unref(listener_);
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
    int Port() const { return port_; }
    bool Accept()
    {
        conn_ = g_socket_accept(listener_, nullptr, nullptr);
        if (conn_) {
            g_socket_set_blocking(conn_, FALSE);
        }
        return conn_ != nullptr;
    }
    /* Accepts while the main loop runs, for a client that connects from the loop. */
    bool AcceptSpinning(int timeout_ms = 5000)
    {
        g_socket_set_blocking(listener_, FALSE);
        run_until([&] { return (conn_ = g_socket_accept(listener_, nullptr, nullptr)) != nullptr; }, timeout_ms);
        g_socket_set_blocking(listener_, TRUE);
        if (conn_) {
            g_socket_set_blocking(conn_, FALSE);
        }
        return conn_ != nullptr;
    }
    /* Connections nobody accepts: once the queue is full, new connects hang. */
    void FillAcceptQueue(int count)
    {
        struct sockaddr_in to {};
        to.sin_family = AF_INET;
        to.sin_port = htons(port_);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < count; i++) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(fd, reinterpret_cast<struct sockaddr *>(&to), sizeof to);
            fillers_.push_back(fd);
        }
        spin_for(50);
    }
    /* The connection stays; new ones are refused. */
    void CloseListener()
    {
        g_socket_close(listener_, nullptr);
    }
    void Send(const std::string &text) { g_socket_send(conn_, text.data(), text.size(), nullptr, nullptr); }
    bool WaitFor(const std::string &expected, int timeout_ms = 5000)
    {
        return run_until(
            [&] {
                char buf[4096];
                gssize n;
                while ((n = g_socket_receive(conn_, buf, sizeof buf, nullptr, nullptr)) > 0) {
                    received_.append(buf, static_cast<size_t>(n));
                }
                return received_.find(expected) != std::string::npos;
            },
            timeout_ms);
    }
    void CloseConnection()
    {
        if (conn_) {
            g_socket_close(conn_, nullptr);
            g_object_unref(conn_);
            conn_ = nullptr;
        }
    }
    std::string received_;

private:
    GSocket *listener_ = nullptr;
    GSocket *conn_ = nullptr;
    std::vector<int> fillers_;
    guint16 port_ = 0;
};

class TcpServerTest : public ::testing::Test {
protected:
    void SetUp() override { register_test_commands(); }
    /* A server connected to peer and running; NULL (with a test failure) otherwise. */
    static QmpServer *Serving(TcpPeer &peer, uint32_t connect_timeout_ms)
    {
        QmpServer *server = qmp_server_new_tcp(peer.Address().c_str(), connect_timeout_ms);
        Error *err = nullptr;
        if (!server || !peer.Accept() || !qmp_server_run(server, &err)) {
            ADD_FAILURE() << "no running server";
            error_free(err);
            qmp_server_destroy(server);
            return nullptr;
        }
        return server;
    }
    LogCapture logs_;
};

TEST_F(TcpServerTest, ConnectsToTheFirstAddressServesAndPushesEvents)
{
    TcpPeer peer;
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    qmp_manager_init(loop, false);
    QmpServer *server = qmp_server_new_tcp((peer.Address() + "; 127.0.0.1:1").c_str(), 2000);
    ASSERT_NE(server, nullptr);
    ASSERT_TRUE(peer.Accept());
    qmp_manager_register_server(server);
    ASSERT_TRUE(qmp_manager_run());
    EXPECT_FALSE(qmp_manager_is_running_offline());

    peer.Send("{\"execute\": \"ping\"}{\"execute\":");
    EXPECT_TRUE(peer.WaitFor(kPong));
    peer.Send("\"ping\"}");
    EXPECT_TRUE(peer.WaitFor(kPong + kPong));
    EXPECT_TRUE(logs_.Has("[qmp-server-tcp] request sent completed"));
    EXPECT_TRUE(sends_without_delay(peer.Port()));

    qmp_manager_push_event("{\"n\": %d}", 7);
    EXPECT_TRUE(peer.WaitFor("{\"event\": {\"n\": 7}}\n"));

    /* The management side hangs up: the required server takes the main loop down. */
    peer.CloseConnection();
    guint guard = g_timeout_add(5000, [](gpointer l) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop *>(l));
        return G_SOURCE_REMOVE;
    }, loop);
    g_main_loop_run(loop);
    g_source_remove(guard);
    EXPECT_TRUE(logs_.Has("[qmp-manager] qmp-server-tcp server does not support reconnect, but required to be running!"));
    EXPECT_EQ(server->state, QMP_SERVER_STATE_FAILED);
    EXPECT_TRUE(qmp_manager_is_running_offline());
    qmp_manager_cleanup();
    g_main_loop_unref(loop);
}

TEST_F(TcpServerTest, NoListenerMeansNoServer)
{
    std::string address;
    {
        TcpPeer closed;
        address = closed.Address();
    }
    EXPECT_EQ(qmp_server_new_tcp(address.c_str(), 1000), nullptr);
    EXPECT_TRUE(logs_.HasPrefix("[qmp-server-tcp]  error opening socket channel (" + address + "): "));
    EXPECT_EQ(qmp_server_new_tcp("not an address at all", 1000), nullptr);
}

TEST_F(TcpServerTest, APeerGoneMidReplyFailsTheServer)
{
    TcpPeer peer;
    QmpServer *server = Serving(peer, 2000);
    ASSERT_NE(server, nullptr);
    peer.Send("{\"execute\": \"test-big\"}");
    ASSERT_TRUE(peer.WaitFor("{\"return\": \"xxxx"));
    peer.CloseConnection();
    EXPECT_TRUE(run_until([&] { return server->state == QMP_SERVER_STATE_FAILED; }));
    EXPECT_FALSE(server->reply_in_progress);
    qmp_server_destroy(server);
}

TEST_F(TcpServerTest, ARunAfterAStopConnectsAgainWithoutBlockingTheLoop)
{
    TcpPeer peer;
    QmpServer *server = Serving(peer, 2000);
    ASSERT_NE(server, nullptr);
    Error *err = nullptr;
    qmp_server_stop(server);
    peer.CloseConnection();
    ASSERT_TRUE(qmp_server_run(server, &err));
    EXPECT_EQ(server->state, QMP_SERVER_STATE_INACTIVE) << "active only once connected";
    EXPECT_FALSE(qmp_server_run(server, &err)) << "one attempt at a time";
    error_free_and_clear(&err);
    ASSERT_TRUE(peer.AcceptSpinning());
    EXPECT_TRUE(run_until([&] { return server->state == QMP_SERVER_STATE_ACTIVE; }));
    peer.Send("{\"execute\": \"ping\"}");
    EXPECT_TRUE(peer.WaitFor(kPong));
    /* Stopped while connecting: the late result finds no server to touch. */
    qmp_server_stop(server);
    peer.CloseConnection();
    ASSERT_TRUE(qmp_server_run(server, &err));
    qmp_server_destroy(server);
    spin_for(100);
}

TEST_F(TcpServerTest, AConnectThatHangsTimesOutWhileTheLoopRuns)
{
    TcpPeer peer(0);
    QmpServer *server = Serving(peer, 300);
    ASSERT_NE(server, nullptr);
    Error *err = nullptr;
    qmp_server_stop(server);
    peer.FillAcceptQueue(3);
    int ticks = 0;
    guint ticker = g_timeout_add(10, [](gpointer n) -> gboolean {
        ++*static_cast<int *>(n);
        return G_SOURCE_CONTINUE;
    }, &ticks);
    ASSERT_TRUE(qmp_server_run(server, &err));
    EXPECT_TRUE(run_until([&] { return logs_.HasPrefix("[qmp-server-tcp]  error opening socket channel ("); }, 5000));
    g_source_remove(ticker);
    EXPECT_TRUE(logs_.Has("[qmp-server-tcp]  error opening socket channel (" + peer.Address() +
                          "): connection timed out"));
    EXPECT_GE(ticks, 10) << "the loop kept running while connecting";
    EXPECT_EQ(server->state, QMP_SERVER_STATE_FAILED);
    qmp_server_destroy(server);
}

TEST_F(TcpServerTest, ACommandWithoutASuccessReplyAnswersNothing)
{
    TcpPeer peer;
    QmpServer *server = Serving(peer, 2000);
    ASSERT_NE(server, nullptr);
    QmpCommandExecutor *executor = qmp_command_executor_new("tcp-executor");
    ASSERT_NE(executor, nullptr);
    for (bool with_executor : {false, true}) {
        SCOPED_TRACE(with_executor ? "executor" : "main loop");
        qmp_server_set_executor(server, with_executor ? executor : nullptr);
        peer.received_.clear();
        int runs = silent_runs();
        peer.Send("{\"execute\": \"test-silent\"}{\"execute\": \"ping\"}");
        ASSERT_TRUE(peer.WaitFor(kPong));
        spin_for(30);
        peer.WaitFor(kPong + "x", 0);
        EXPECT_EQ(peer.received_, kPong);
        EXPECT_EQ(silent_runs(), runs + 1);
    }
    qmp_server_set_executor(server, nullptr);
    qmp_command_executor_destroy(executor);
    qmp_server_destroy(server);
}

/* The aggregator timer re-runs the connection; an attempt that fails later must not leave
 * the module without its management channel. */
TEST_F(TcpServerTest, AFailedOrTimedOutReRunFailsTheRequiredServer)
{
    for (bool hangs : {false, true}) {
        SCOPED_TRACE(hangs ? "connect times out" : "connect refused");
        LogCapture logs;
        TcpPeer peer(hangs ? 0 : 10);
        GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
        qmp_manager_init(loop, false);
        QmpServer *server = qmp_server_new_tcp(peer.Address().c_str(), 300);
        ASSERT_NE(server, nullptr);
        ASSERT_TRUE(peer.Accept());
        server->reconnect_interval = 1;
        qmp_manager_register_server(server);
        ASSERT_TRUE(qmp_manager_run());
        if (hangs) {
            peer.FillAcceptQueue(3);
        } else {
            peer.CloseListener();
        }
        bool guard_fired = false;
        struct Guard {
            GMainLoop *loop;
            bool *fired;
        } guard_data{loop, &guard_fired};
        guint guard = g_timeout_add(8000, [](gpointer p) -> gboolean {
            auto *g = static_cast<Guard *>(p);
            *g->fired = true;
            g_main_loop_quit(g->loop);
            return G_SOURCE_REMOVE;
        }, &guard_data);
        g_main_loop_run(loop);
        if (!guard_fired) {
            g_source_remove(guard);
        }
        EXPECT_FALSE(guard_fired) << "the main loop was not ended";
        EXPECT_TRUE(logs.Has("[qmp-server] Re-establish connection to the aggregator after timeout"));
        EXPECT_TRUE(logs.HasPrefix("[qmp-server-tcp]  error opening socket channel (" + peer.Address() + "): "));
        EXPECT_EQ(logs.Has("[qmp-server-tcp]  error opening socket channel (" + peer.Address() +
                           "): connection timed out"),
                  hangs);
        EXPECT_TRUE(logs.Has("[qmp-server] [qmp-server-tcp] failed to run"));
        EXPECT_TRUE(
            logs.Has("[qmp-manager] qmp-server-tcp server does not support reconnect, but required to be running!"));
        EXPECT_EQ(server->state, QMP_SERVER_STATE_FAILED);
        EXPECT_TRUE(qmp_manager_is_running_offline());
        qmp_manager_cleanup();
        g_main_loop_unref(loop);
    }
}

}
