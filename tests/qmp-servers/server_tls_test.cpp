/*
 * The TLS command server on a test main loop against peers on their own threads over
 * loopback: a TLS management side, a plain TCP peer, a port nobody listens on, a listener
 * that never answers, and a small CONNECT proxy.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent-common/qmp-servers/qmp-server-tls.h"
#include "agent-common/qmp-servers/qmp-server.h"
#include "qapi/qmp-common-types.h"
#include "qmp-test-support.h"

namespace {

const std::string kPing = "{\"execute\": \"ping\"}";
const std::string kPong = "{\"return\": {}}\n";

int Listen(int *port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
        return -1;
    }
    *port = ntohs(sa.sin_port);
    return fd;
}

/* A loopback port with nobody behind it. */
int DeadPort()
{
    int port = 0;
    int fd = Listen(&port);
    close(fd);
    return port;
}

bool Readable(int fd, int ms)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

/* Something that runs on its own thread until told to stop; shared text under a lock. */
class Threaded {
public:
    virtual ~Threaded() { Join(); }
    void Join()
    {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    bool Has(const std::string &text)
    {
        std::lock_guard<std::mutex> g(lock_);
        return seen_.find(text) != std::string::npos;
    }
    std::string Seen()
    {
        std::lock_guard<std::mutex> g(lock_);
        return seen_;
    }

protected:
    void Record(const char *data, size_t len)
    {
        std::lock_guard<std::mutex> g(lock_);
        seen_.append(data, len);
    }
    /* The next connection, or -1 once stopped. */
    int AcceptOne(int lfd)
    {
        while (!stop_) {
            if (Readable(lfd, 20)) {
                return accept(lfd, nullptr, nullptr);
            }
        }
        return -1;
    }
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex lock_;
    std::string seen_;
};

/* The management side: one connection, TLS with cert/key or plain without; records what it reads. */
class Peer : public Threaded {
public:
    ~Peer() override
    {
        Join();
        SSL_CTX_free(ctx_);
    }
    int Start(const std::string &cert, const std::string &key, const std::string &greeting)
    {
        int port = 0;
        int lfd = Listen(&port);
        if (lfd < 0) {
            return 0;
        }
        if (!cert.empty()) {
            ctx_ = SSL_CTX_new(TLS_server_method());
            if (SSL_CTX_use_certificate_chain_file(ctx_, cert.c_str()) != 1 ||
                SSL_CTX_use_PrivateKey_file(ctx_, key.c_str(), SSL_FILETYPE_PEM) != 1) {
                close(lfd);
                return 0;
            }
        }
        thread_ = std::thread([this, lfd, greeting] {
            int fd = AcceptOne(lfd);
            close(lfd);
            if (fd >= 0) {
                Serve(fd, greeting);
                close(fd);
            }
        });
        return port;
    }
    void Send(const std::string &text)
    {
        std::lock_guard<std::mutex> g(lock_);
        outbox_ += text;
    }
    void HangUp() { hangup_ = true; }
    /* While held, nothing is read: the module's writes fill the socket. */
    void Hold(bool hold) { hold_ = hold; }
    bool handshake_failed() const { return handshake_failed_; }

private:
    void Serve(int fd, const std::string &greeting)
    {
        SSL *ssl = nullptr;
        if (ctx_) {
            ssl = SSL_new(ctx_);
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) != 1) {
                handshake_failed_ = true;
                SSL_free(ssl);
                return;
            }
        }
        auto put = [&](const std::string &text) {
            return ssl ? SSL_write(ssl, text.data(), static_cast<int>(text.size())) > 0
                       : write(fd, text.data(), text.size()) > 0;
        };
        put(greeting);
        while (!stop_ && !hangup_) {
            std::string out;
            {
                std::lock_guard<std::mutex> g(lock_);
                out.swap(outbox_);
            }
            if (!out.empty()) {
                put(out);
            }
            if (hold_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            if ((ssl && SSL_pending(ssl) > 0) || Readable(fd, 20)) {
                char buf[4096];
                int n = ssl ? SSL_read(ssl, buf, sizeof buf) : static_cast<int>(read(fd, buf, sizeof buf));
                if (n <= 0) {
                    break;
                }
                Record(buf, static_cast<size_t>(n));
            }
        }
        if (ssl) {
            SSL_shutdown(ssl);
            SSL_free(ssl);
        }
    }
    SSL_CTX *ctx_ = nullptr;
    std::string outbox_;
    std::atomic<bool> hangup_{false};
    std::atomic<bool> hold_{false};
    std::atomic<bool> handshake_failed_{false};
};

/*
 * A CONNECT proxy: connection i gets answers[i]; a whole 200 answer tunnels to the port named
 * in the request. Records every request head.
 */
class Proxy : public Threaded {
public:
    int Start(std::vector<std::string> answers)
    {
        int port = 0;
        int lfd = Listen(&port);
        if (lfd < 0) {
            return 0;
        }
        thread_ = std::thread([this, lfd, answers] {
            for (const std::string &answer : answers) {
                int fd = AcceptOne(lfd);
                if (fd < 0) {
                    break;
                }
                Handle(fd, answer);
                close(fd);
            }
            close(lfd);
        });
        return port;
    }

private:
    void Handle(int fd, const std::string &answer)
    {
        std::string head;
        char c;
        while (head.size() < 4096 && (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0)) {
            if (!Readable(fd, 5000) || read(fd, &c, 1) != 1) {
                return;
            }
            head += c;
        }
        Record(head.data(), head.size());
        bool tunnel = answer.find(" 200 ") != std::string::npos && answer.size() >= 4 &&
                      answer.compare(answer.size() - 4, 4, "\r\n\r\n") == 0;
        if (write(fd, answer.data(), answer.size()) < 0 || !tunnel) {
            return;
        }
        size_t colon = head.find(':');
        int target_port = colon == std::string::npos ? 0 : atoi(head.c_str() + colon + 1);
        int up = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(target_port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(up, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
            close(up);
            return;
        }
        while (!stop_) {
            pollfd p[2] = {{fd, POLLIN, 0}, {up, POLLIN, 0}};
            if (poll(p, 2, 20) <= 0) {
                continue;
            }
            char buf[4096];
            int from = (p[0].revents & (POLLIN | POLLHUP)) ? 0 : 1;
            ssize_t n = read(p[from].fd, buf, sizeof buf);
            if (n <= 0 || write(p[1 - from].fd, buf, static_cast<size_t>(n)) != n) {
                break;
            }
        }
        close(up);
    }
};

class TlsServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        register_test_commands();
        dir_ = hvtest::MakeTempDir("hv-tls-server");
        ASSERT_FALSE(dir_.empty());
        hvtest::Outcome made = hvtest::RunProgram({HV_MAKE_TEST_CERTS, dir_ + "/certs"});
        ASSERT_EQ(made.exit_code, 0) << made.err;
    }
    void TearDown() override
    {
        qmp_server_destroy(server_);
        hvtest::RemoveTree(dir_);
    }
    std::string Cert(const std::string &name) const { return dir_ + "/certs/" + name; }

    /* A server trusting the test authority and expecting "localhost". */
    QmpServer *New(const std::string &addresses, const char *proxy = nullptr, uint32_t timeout_ms = 10000)
    {
        std::string ca = Cert("ca.pem"), cert = Cert("client.pem"), key = Cert("client.key");
        tls_channel_params_t params = {ca.c_str(), cert.c_str(), key.c_str(), "localhost"};
        server_ = qmp_server_new_tls(addresses.c_str(), proxy, &params, timeout_ms);
        return server_;
    }
    bool Run()
    {
        Error *err = nullptr;
        bool ok = qmp_server_run(server_, &err);
        EXPECT_TRUE(ok) << hvtest::TakeMessage(err);
        return ok;
    }
    bool Reaches(QmpServerState state, int ms = 20000)
    {
        return run_until([&] { return server_->state == state; }, ms);
    }
    static std::string Local(int port) { return "127.0.0.1:" + std::to_string(port); }

    std::string dir_;
    QmpServer *server_ = nullptr;
    LogCapture logs_;
};

TEST_F(TlsServerTest, ServesRequestsBothWaysAndFailsWhenTheManagementSideHangsUp)
{
    Peer peer;
    int port = peer.Start(Cert("server.pem"), Cert("server.key"), "{\"execute\": \"ping\"}{\"execute\":");
    ASSERT_NE(port, 0);
    ASSERT_NE(New(Local(port)), nullptr);
    EXPECT_STREQ(server_->name, "qmp-server-tls");
    EXPECT_TRUE(server_->aggregator && server_->supports_push && server_->supports_reconnect);
    ASSERT_TRUE(Run());
    EXPECT_EQ(server_->state, QMP_SERVER_STATE_CONNECTING);

    ASSERT_TRUE(run_until([&] { return peer.Has(kPong); }, 20000)) << peer.Seen();
    EXPECT_EQ(server_->state, QMP_SERVER_STATE_ACTIVE);
    EXPECT_STREQ(server_->selected_destination, Local(port).c_str());
    EXPECT_TRUE(logs_.Has("[qmp-server-tls] connection established with '" + Local(port) +
                          "' and ready to accept commands"));
    EXPECT_TRUE(logs_.Has("[qmp-tls-client] direct tcp/tls connection"));
    EXPECT_TRUE(logs_.Has("[qmp-tls-client] tls handshake completed"));
    EXPECT_TRUE(sends_without_delay(port));

    /* The rest of a request split across records, then an error reply. */
    peer.Send("\"ping\"}{\"execute\": \"test-fail\"}");
    ASSERT_TRUE(run_until([&] { return peer.Has(kPong + kPong) && peer.Has("test command failed"); }, 20000))
        << peer.Seen();

    qmp_server_push_event(server_, g_strdup("{\"n\": 7}"));
    ASSERT_TRUE(run_until([&] { return peer.Has("{\"event\": {\"n\": 7}}\n"); }, 20000)) << peer.Seen();

    InetSocketAddressList *allowed = server_->ops->get_allowed_addresses(server_);
    ASSERT_NE(allowed, nullptr);
    EXPECT_STREQ(allowed->value->host, "127.0.0.1");
    EXPECT_STREQ(allowed->value->port, std::to_string(port).c_str());
    EXPECT_EQ(allowed->next, nullptr);
    qapi_free_InetSocketAddressList(allowed);

    peer.HangUp();
    ASSERT_TRUE(Reaches(QMP_SERVER_STATE_FAILED));
    EXPECT_TRUE(logs_.Has("[qmp-server-tls] received EOF"));
    /* A failed server may run again (the manager's reconnect). */
    Error *err = nullptr;
    EXPECT_TRUE(qmp_server_run(server_, &err));
    error_free(err);
}

/* Far more than the socket takes at once: the rest goes out from the output watch, in order. */
TEST_F(TlsServerTest, RepliesLargerThanTheSocketBuffersAreFinishedFromTheWatch)
{
    const int bigs = 12;
    std::string requests;
    std::string expected;
    for (int i = 0; i < bigs; i++) {
        requests += "{\"execute\": \"test-big\"}";
        expected += "{\"return\": \"" + std::string(kBigReplyLetters, 'x') + "\"}\n";
    }
    expected += kPong;
    Peer peer;
    int port = peer.Start(Cert("server.pem"), Cert("server.key"), requests + kPing);
    ASSERT_NE(port, 0);
    peer.Hold(true);
    ASSERT_NE(New(Local(port)), nullptr);
    ASSERT_TRUE(Run());
    ASSERT_TRUE(run_until([&] { return server_->reply_queue.length > 0; }, 20000));
    spin_for(100);
    ASSERT_TRUE(server_->reply_in_progress); /* a big reply is stuck, the others wait behind it */
    peer.Hold(false);
    ASSERT_TRUE(run_until([&] { return peer.Has(kPong); }, 60000)) << peer.Seen().size();
    EXPECT_TRUE(peer.Seen() == expected) << peer.Seen().size();
}

TEST_F(TlsServerTest, RemotesAreTriedInOrderAndEmptyPiecesSkipped)
{
    Peer peer;
    int live = peer.Start(Cert("server.pem"), Cert("server.key"), "{\"execute\": \"ping\"}");
    ASSERT_NE(live, 0);
    int dead = DeadPort();
    ASSERT_NE(New(Local(dead) + ";;" + Local(live) + ","), nullptr);

    InetSocketAddressList *allowed = server_->ops->get_allowed_addresses(server_);
    ASSERT_NE(allowed, nullptr);
    ASSERT_NE(allowed->next, nullptr);
    EXPECT_STREQ(allowed->value->port, std::to_string(dead).c_str());
    EXPECT_STREQ(allowed->next->value->port, std::to_string(live).c_str());
    EXPECT_EQ(allowed->next->next, nullptr);
    qapi_free_InetSocketAddressList(allowed);

    ASSERT_TRUE(Run());
    ASSERT_TRUE(run_until([&] { return peer.Has(kPong); }, 20000)) << peer.Seen();
    EXPECT_STREQ(server_->selected_destination, Local(live).c_str());
    EXPECT_TRUE(logs_.HasPrefix("[qmp-server-tls] failed to establish TCP/TLS connection: error attempting connect to " +
                                Local(dead)));
    EXPECT_TRUE(logs_.Has("[qmp-server-tls] TCP/TLS connect to next remote - " + Local(live) + " -" + Local(live)));
    EXPECT_TRUE(logs_.Has("[qmp-server-tls] tls remote 2 - " + Local(live) + ", FQDN - " + Local(live)));
}

TEST_F(TlsServerTest, TheLastRemoteFailingFailsTheServerAndARunWhileConnectingIsRefused)
{
    ASSERT_NE(New(Local(DeadPort()) + "," + Local(DeadPort())), nullptr);
    ASSERT_TRUE(Run());
    Error *err = nullptr;
    EXPECT_FALSE(qmp_server_run(server_, &err));
    EXPECT_EQ(hvtest::TakeMessage(err), "failed to run from state 'CONNECTING'");
    ASSERT_TRUE(Reaches(QMP_SERVER_STATE_FAILED));
    EXPECT_EQ(logs_.CountPrefix(hvtest::kAnyLevel, "[qmp-server-tls] failed to establish TCP/TLS connection: "), 2u);
}

struct Refusal {
    const char *cert;
    const char *cause;
};

class TlsRefusalTest : public TlsServerTest, public ::testing::WithParamInterface<Refusal> {};

/* The management side is not who it should be: no request of it ever runs. */
TEST_P(TlsRefusalTest, AnUntrustedManagementSideIsRefused)
{
    Peer peer;
    int port = peer.Start(Cert(GetParam().cert), Cert("server.key"), "{\"execute\": \"test-silent\"}");
    ASSERT_NE(port, 0);
    ASSERT_NE(New(Local(port)), nullptr);
    int before = silent_runs();
    ASSERT_TRUE(Run());
    ASSERT_TRUE(Reaches(QMP_SERVER_STATE_FAILED)) << qmp_server_state_name(server_->state);
    EXPECT_TRUE(logs_.HasPrefix("[qmp-tls-client] tls handshake failed with error: "));
    EXPECT_TRUE(logs_.LoggedContaining(GetParam().cause));
    EXPECT_TRUE(logs_.HasPrefix("[qmp-server-tls] failed to establish TCP/TLS connection: "));
    EXPECT_FALSE(logs_.HasPrefix("[qmp-server-tls] inbound"));
    EXPECT_EQ(silent_runs(), before);
    EXPECT_EQ(server_->selected_destination, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Certificates, TlsRefusalTest,
                         ::testing::Values(Refusal{"other-server.pem", "unknown_ca"},
                                           Refusal{"other-name.pem", "name_mismatch"},
                                           Refusal{"expired.pem", "expired"}));

TEST_F(TlsServerTest, APlainTcpPeerIsRefused)
{
    Peer peer;
    int port = peer.Start("", "", "{\"execute\": \"test-silent\"}\n");
    ASSERT_NE(port, 0);
    ASSERT_NE(New(Local(port)), nullptr);
    int before = silent_runs();
    ASSERT_TRUE(Run());
    ASSERT_TRUE(Reaches(QMP_SERVER_STATE_FAILED));
    EXPECT_TRUE(logs_.HasPrefix("[qmp-tls-client] tls handshake failed with error: "));
    EXPECT_EQ(silent_runs(), before);
}

TEST_F(TlsServerTest, AHandshakeThatNeverAnswersTimesOut)
{
    int port = 0;
    int lfd = Listen(&port); /* the kernel completes the TCP connect; nobody ever speaks TLS */
    ASSERT_GE(lfd, 0);
    ASSERT_NE(New(Local(port), nullptr, 300), nullptr);
    ASSERT_TRUE(Run());
    ASSERT_TRUE(Reaches(QMP_SERVER_STATE_FAILED));
    close(lfd);
    EXPECT_TRUE(logs_.Has("[qmp-tls-client] connection to 127.0.0.1:" + std::to_string(port) +
                          " failed after timeout"));
    EXPECT_TRUE(logs_.Has("[qmp-server-tls] failed to establish TCP/TLS connection: connection failed after timeout"));
}

TEST_F(TlsServerTest, HostNamesAreResolvedAgainAtTheThreshold)
{
    g_setenv("FQDN_TRY_COUNT_THRESHOLD", "3", TRUE);
    ASSERT_NE(New(Local(DeadPort())), nullptr);
    g_unsetenv("FQDN_TRY_COUNT_THRESHOLD");
    for (int run = 1; run <= 7; run++) {
        ASSERT_TRUE(Run());
        ASSERT_TRUE(Reaches(QMP_SERVER_STATE_FAILED));
        /* Runs 3 and 6 start a resolution; it must be done before the count is checked. */
        ASSERT_TRUE(run_until([&] {
            return logs_.Count(hvtest::kAnyLevel, "[qmp-server-tls] DNS resolution thread finished") ==
                   static_cast<size_t>(run / 3);
        }));
        EXPECT_EQ(logs_.Count(hvtest::kAnyLevel, "[qmp-server-tls] DNS resolution thread running"),
                  static_cast<size_t>(run / 3));
    }
}

TEST_F(TlsServerTest, ThroughAProxyTunnel)
{
    Peer peer;
    int live = peer.Start(Cert("server.pem"), Cert("server.key"), "{\"execute\": \"ping\"}");
    ASSERT_NE(live, 0);
    Proxy proxy;
    int proxy_port = proxy.Start({"HTTP/1.1 200 Connection established\r\n\r\n"});
    ASSERT_NE(proxy_port, 0);
    std::string url = "http://127.0.0.1:" + std::to_string(proxy_port);
    ASSERT_NE(New("localhost:" + std::to_string(live), url.c_str()), nullptr);

    /* The proxy resolves the name: only the proxy needs to be reachable. */
    InetSocketAddressList *allowed = server_->ops->get_allowed_addresses(server_);
    ASSERT_NE(allowed, nullptr);
    EXPECT_STREQ(allowed->value->host, "127.0.0.1");
    EXPECT_STREQ(allowed->value->port, std::to_string(proxy_port).c_str());
    EXPECT_EQ(allowed->next, nullptr);
    qapi_free_InetSocketAddressList(allowed);

    ASSERT_TRUE(Run());
    ASSERT_TRUE(run_until([&] { return peer.Has(kPong); }, 20000)) << peer.Seen();
    EXPECT_EQ(proxy.Seen(), "CONNECT localhost:" + std::to_string(live) + " HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(logs_.Has("[qmp-tls-client] proxy tcp/tls connection"));
    EXPECT_STREQ(server_->selected_destination, ("localhost:" + std::to_string(live)).c_str());
}

struct ProxyRefusal {
    std::string answer;
    std::string error;
};

class ProxyRefusalTest : public TlsServerTest, public ::testing::WithParamInterface<ProxyRefusal> {};

/* A refusing proxy fails the first remote; the second goes through. */
TEST_P(ProxyRefusalTest, ARefusedTunnelMovesToTheNextRemote)
{
    Peer peer;
    int live = peer.Start(Cert("server.pem"), Cert("server.key"), "{\"execute\": \"ping\"}");
    ASSERT_NE(live, 0);
    Proxy proxy;
    int proxy_port = proxy.Start({GetParam().answer, "HTTP/1.0 200 OK\r\nVia: test\r\n\r\n"});
    ASSERT_NE(proxy_port, 0);
    std::string url = "http://127.0.0.1:" + std::to_string(proxy_port);
    ASSERT_NE(New("first.example:1;localhost:" + std::to_string(live), url.c_str()), nullptr);
    ASSERT_TRUE(Run());
    ASSERT_TRUE(run_until([&] { return peer.Has(kPong); }, 20000)) << peer.Seen();
    EXPECT_TRUE(logs_.Has("[qmp-server-tls] failed to establish TCP/TLS connection: " + GetParam().error));
    EXPECT_TRUE(proxy.Has("CONNECT first.example:1 HTTP/1.1\r\n\r\nCONNECT localhost:"));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ProxyRefusalTest,
    ::testing::Values(ProxyRefusal{"HTTP/1.1 407 Proxy Authentication Required\r\n\r\n",
                                   "received HTTP Status 407 from proxy server"},
                      ProxyRefusal{"HTTP/1.1 200 but never ends" + std::string(1100, 'x'),
                                   "invalid response from proxy server"},
                      ProxyRefusal{"garbage\r\n\r\n", "invalid proxy server response"},
                      /* The code must sit on the status line, not be picked from the next one. */
                      ProxyRefusal{"HTTP/1.1\r\n200 OK\r\n\r\n", "invalid proxy server response"},
                      ProxyRefusal{std::string("\0HTTP/1.1 200 OK\r\n\r\n", 20), "invalid proxy server response"},
                      ProxyRefusal{"HTTP/1.1 200", "failed to receive response from proxy server"}));

/* A whole answer of 1023 bytes fits the proxy buffer; one byte more does not. */
TEST_F(TlsServerTest, AProxyAnswerFillingTheBufferExactlyIsAccepted)
{
    Peer peer;
    int live = peer.Start(Cert("server.pem"), Cert("server.key"), "{\"execute\": \"ping\"}");
    ASSERT_NE(live, 0);
    auto answer = [](size_t size) {
        std::string head = "HTTP/1.1 200 OK\r\nX-Pad: ";
        return head + std::string(size - head.size() - 4, 'p') + "\r\n\r\n";
    };
    Proxy proxy;
    int proxy_port = proxy.Start({answer(1024), answer(1023)});
    ASSERT_NE(proxy_port, 0);
    std::string url = "http://127.0.0.1:" + std::to_string(proxy_port);
    ASSERT_NE(New("first.example:1;localhost:" + std::to_string(live), url.c_str()), nullptr);
    ASSERT_TRUE(Run());
    ASSERT_TRUE(run_until([&] { return peer.Has(kPong); }, 20000)) << peer.Seen();
    EXPECT_TRUE(logs_.Has("[qmp-server-tls] failed to establish TCP/TLS connection: invalid response from proxy server"));
    EXPECT_EQ(server_->state, QMP_SERVER_STATE_ACTIVE);
}

TEST_F(TlsServerTest, AnIPv6RemoteIsBracketedInTheTunnelRequest)
{
    Proxy proxy;
    int proxy_port = proxy.Start({"HTTP/1.1 407 Proxy Authentication Required\r\n\r\n"});
    ASSERT_NE(proxy_port, 0);
    std::string url = "http://127.0.0.1:" + std::to_string(proxy_port);
    ASSERT_NE(New("[::1]:4433", url.c_str()), nullptr);
    ASSERT_TRUE(Run());
    ASSERT_TRUE(Reaches(QMP_SERVER_STATE_FAILED));
    EXPECT_EQ(proxy.Seen(), "CONNECT [::1]:4433 HTTP/1.1\r\n\r\n");
}

TEST_F(TlsServerTest, AnUnusableProxyUrlLeavesNoRemote)
{
    ASSERT_NE(New(Local(DeadPort()), "http://[nonsense"), nullptr);
    EXPECT_TRUE(logs_.HasPrefix("[qmp-server-tls] failed to parse proxy url http://[nonsense: "));
    EXPECT_TRUE(logs_.Has("[qmp-server-tls] could not DNS resolve provided proxy address or parse addresses"));
    EXPECT_EQ(server_->ops->get_allowed_addresses(server_), nullptr);
    ASSERT_TRUE(Run());
    EXPECT_EQ(server_->state, QMP_SERVER_STATE_FAILED);
}

} // namespace
