#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <string>

#include "tests/tls/tls-fixture.h"

using namespace tlstest;

namespace {

class TlsChannelTest : public TlsTest {};

TEST_F(TlsChannelTest, RoundTripBothWaysWithTheManagementSide)
{
    hvtest::WriteFile(dir_ + "/commands", "from file 1\r\n\nfrom file 2\n");
    int port = StartMgmt("server.pem", {"--send-text", "{\"execute\": \"first\"}", "--send", dir_ + "/commands", "--once"});
    ASSERT_GT(port, 0);
    ASSERT_TRUE(Open(port, Cert("ca.pem"), "localhost"));
    std::string err;
    ASSERT_EQ(Handshake(channel_, &err), TLS_STATUS_OK) << err;
    EXPECT_EQ(tls_channel_get_refusal(channel_), TLS_REFUSAL_NONE);

    /* The prepared commands, in the order given, one line each. */
    std::string got;
    while (std::count(got.begin(), got.end(), '\n') < 3) {
        ASSERT_EQ(ReadLine(channel_, &got), TLS_STATUS_OK);
    }
    EXPECT_EQ(got, "{\"execute\": \"first\"}\nfrom file 1\nfrom file 2\n");
    mgmt_.SendLine("typed on stdin");
    got.clear();
    ASSERT_EQ(ReadLine(channel_, &got), TLS_STATUS_OK);
    EXPECT_EQ(got, "typed on stdin\n");

    ASSERT_EQ(WriteAll(channel_, "reply one\n"), TLS_STATUS_OK);
    EXPECT_EQ(mgmt_.NextLine(), "reply one");
    /* Far more than a record and the socket buffers hold: partial writes must resume. */
    std::string big(600000, 'x');
    for (size_t i = 0; i < big.size(); i += 997) {
        big[i] = static_cast<char>('a' + i % 26);
    }
    ASSERT_EQ(WriteAll(channel_, big + "\n"), TLS_STATUS_OK);
    EXPECT_EQ(mgmt_.NextLine(), big);

    /* Our closing alert ends the session cleanly on the other side. */
    tls_channel_shutdown(channel_);
    EXPECT_EQ(mgmt_.Wait(), 0);
    EXPECT_NE(mgmt_.Stderr().find("hv-mgmt: connection closed"), std::string::npos);
    EXPECT_EQ(mgmt_.Stderr().find("read ended"), std::string::npos) << mgmt_.Stderr();
    size_t n = 0;
    EXPECT_EQ(tls_channel_write(channel_, "x", 1, &n, nullptr), TLS_STATUS_CLOSED);
}

TEST_F(TlsChannelTest, AddressNameAndRequiredClientCertificateAreAccepted)
{
    int port = StartMgmt("server.pem", {"--ca", Cert("ca.pem"), "--send-text", "ping", "--once"});
    ASSERT_GT(port, 0);
    ASSERT_TRUE(Open(port, Cert("ca.pem"), "127.0.0.1", Cert("client.pem"), Cert("client.key")));
    std::string err;
    ASSERT_EQ(Handshake(channel_, &err), TLS_STATUS_OK) << err;
    std::string got;
    ASSERT_EQ(ReadLine(channel_, &got), TLS_STATUS_OK);
    EXPECT_EQ(got, "ping\n");
    ASSERT_EQ(WriteAll(channel_, "pong\n"), TLS_STATUS_OK);
    EXPECT_EQ(mgmt_.NextLine(), "pong");
}

struct Refusal {
    const char *label;
    const char *server_cert;
    const char *trusted_ca;
    const char *name;
    tls_refusal cause;
    const char *text;
};

void PrintTo(const Refusal &r, std::ostream *os)
{
    *os << r.label;
}

class TlsRefusalTest : public TlsTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(TlsRefusalTest, RefusedWithItsCause)
{
    const Refusal &r = GetParam();
    int port = StartMgmt(r.server_cert, {"--once"});
    ASSERT_GT(port, 0);
    ASSERT_TRUE(Open(port, Cert(r.trusted_ca), r.name));
    std::string err;
    ASSERT_EQ(Handshake(channel_, &err), TLS_STATUS_ERROR);
    EXPECT_NE(err.find(r.text), std::string::npos) << err;
    EXPECT_EQ(tls_channel_get_refusal(channel_), r.cause);
    std::string name = tls_refusal_name(r.cause);
    EXPECT_EQ(agent_metrics_get("tls.refused.%s", name.c_str()), 1u);
    EXPECT_TRUE(LoggedContaining("refused (" + name + "): " + err)) << err;

    /* No data passes afterwards, and the management side saw the handshake fail. */
    size_t n = 0;
    char buf[16];
    EXPECT_EQ(tls_channel_read(channel_, buf, sizeof buf, &n, nullptr), TLS_STATUS_ERROR);
    EXPECT_EQ(tls_channel_write(channel_, "x", 1, &n, nullptr), TLS_STATUS_ERROR);
    EXPECT_EQ(n, 0u);
    tls_channel_shutdown(channel_);
    close(fd_);
    fd_ = -1;
    EXPECT_EQ(mgmt_.Wait(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, TlsRefusalTest,
    ::testing::Values(
        Refusal{"ServerFromAnotherAuthority", "other-server.pem", "ca.pem", "localhost", TLS_REFUSAL_UNKNOWN_CA,
                "not issued by a trusted authority"},
        Refusal{"WrongAuthorityTrusted", "server.pem", "other-ca.pem", "localhost", TLS_REFUSAL_UNKNOWN_CA,
                "not issued by a trusted authority"},
        Refusal{"CertificateForAnotherName", "other-name.pem", "ca.pem", "localhost", TLS_REFUSAL_NAME_MISMATCH,
                "does not match the expected name 'localhost'"},
        Refusal{"ExpectedAnotherHost", "server.pem", "ca.pem", "mgmt.invalid", TLS_REFUSAL_NAME_MISMATCH,
                "does not match the expected name 'mgmt.invalid'"},
        Refusal{"ExpectedAnotherAddress", "server.pem", "ca.pem", "127.0.0.2", TLS_REFUSAL_NAME_MISMATCH,
                "does not match the expected name '127.0.0.2'"},
        Refusal{"Expired", "expired.pem", "ca.pem", "localhost", TLS_REFUSAL_EXPIRED, "has expired"},
        Refusal{"NotYetValid", "future.pem", "ca.pem", "localhost", TLS_REFUSAL_NOT_YET_VALID, "not yet valid"}),
    [](const ::testing::TestParamInfo<Refusal> &p) { return std::string(p.param.label); });

TEST_F(TlsChannelTest, PeerAnsweringGarbageIsNotTls)
{
    Peer peer;
    int port = peer.Start("", "", [](int fd, SSL *) {
        char hello[64];
        ASSERT_GT(read(fd, hello, sizeof hello), 0);
        const char reply[] = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
        ASSERT_EQ(write(fd, reply, sizeof reply - 1), static_cast<ssize_t>(sizeof reply - 1));
        /* Held open: the refusal must come from the bytes, not from a hang-up. */
        char rest[4096];
        while (read(fd, rest, sizeof rest) > 0) {
        }
    });
    ASSERT_GT(port, 0);
    ASSERT_TRUE(Open(port, Cert("ca.pem"), "localhost"));
    std::string err;
    ASSERT_EQ(Handshake(channel_, &err), TLS_STATUS_ERROR);
    EXPECT_EQ(tls_channel_get_refusal(channel_), TLS_REFUSAL_NOT_TLS);
    EXPECT_NE(err.find("does not speak TLS"), std::string::npos) << err;
    EXPECT_EQ(agent_metrics_get("tls.refused.not_tls"), 1u);
    shutdown(fd_, SHUT_RDWR);
}

TEST_F(TlsChannelTest, PeerHangingUpDuringHandshakeFailsTheHandshake)
{
    Peer peer;
    int port = peer.Start("", "", [](int fd, SSL *) {
        char hello[64];
        ASSERT_GT(read(fd, hello, sizeof hello), 0);
    });
    ASSERT_GT(port, 0);
    ASSERT_TRUE(Open(port, Cert("ca.pem"), "localhost"));
    std::string err;
    ASSERT_EQ(Handshake(channel_, &err), TLS_STATUS_ERROR);
    EXPECT_EQ(tls_channel_get_refusal(channel_), TLS_REFUSAL_HANDSHAKE);
    EXPECT_NE(err.find("TLS handshake failed"), std::string::npos) << err;
    EXPECT_EQ(agent_metrics_get("tls.refused.handshake"), 1u);
}

TEST_F(TlsChannelTest, ManagementRequiringClientCertificateRefusesChannelWithout)
{
    int port = StartMgmt("server.pem", {"--ca", Cert("ca.pem"), "--once"});
    ASSERT_GT(port, 0);
    ASSERT_TRUE(Open(port, Cert("ca.pem"), "localhost"));
    /* With TLS 1.3 our side of the handshake ends before the server judges us, so the
     * refusal may only show on the first read. */
    std::string err;
    tls_status st = Handshake(channel_, &err);
    if (st == TLS_STATUS_OK) {
        std::string got;
        st = ReadLine(channel_, &got, &err);
        EXPECT_EQ(got, "");
    }
    EXPECT_EQ(st, TLS_STATUS_ERROR);
    EXPECT_EQ(tls_channel_get_refusal(channel_), TLS_REFUSAL_PEER_REFUSED);
    EXPECT_NE(err.find("alert certificate required"), std::string::npos) << err;
    EXPECT_EQ(agent_metrics_get("tls.refused.peer_refused"), 1u);
    EXPECT_EQ(mgmt_.Wait(), 1);
    EXPECT_NE(mgmt_.Stderr().find("hv-mgmt: handshake failed"), std::string::npos) << mgmt_.Stderr();
}

TEST_F(TlsChannelTest, ManagementRefusesClientCertificateFromAnotherAuthority)
{
    int port = StartMgmt("server.pem", {"--ca", Cert("ca.pem"), "--once"});
    ASSERT_GT(port, 0);
    ASSERT_TRUE(Open(port, Cert("ca.pem"), "localhost", Cert("other-client.pem"), Cert("client.key")));
    std::string err;
    tls_status st = Handshake(channel_, &err);
    if (st == TLS_STATUS_OK) {
        std::string got;
        st = ReadLine(channel_, &got, &err);
    }
    EXPECT_EQ(st, TLS_STATUS_ERROR);
    EXPECT_EQ(tls_channel_get_refusal(channel_), TLS_REFUSAL_PEER_REFUSED);
    EXPECT_NE(err.find("alert unknown ca"), std::string::npos) << err;
    EXPECT_EQ(mgmt_.Wait(), 1);
}

/* Writes one record into memory instead of the socket; its bytes. */
std::string SealRecord(SSL *ssl, const std::string &text)
{
    BIO *mem = BIO_new(BIO_s_mem());
    BIO *sock = SSL_get_wbio(ssl);
    BIO_up_ref(sock);
    SSL_set0_wbio(ssl, mem);
    size_t n = 0;
    EXPECT_EQ(SSL_write_ex(ssl, text.data(), text.size(), &n), 1);
    char *data = nullptr;
    long len = BIO_get_mem_data(mem, &data);
    std::string out(data, static_cast<size_t>(len));
    SSL_set0_wbio(ssl, sock);
    return out;
}

/* Closes the write ends on every way out, so that a peer thread waiting on them ends. */
struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe()
    {
        close(fds[0]);
        close(fds[1]);
    }
};

TEST_F(TlsChannelTest, PartialRecordThenStallWouldBlockAndLaterCompletes)
{
    Peer peer;
    Pipe sent, go; /* closed before the peer joins */
    int port = peer.Start(Cert("server.pem"), Cert("server.key"), [&](int fd, SSL *ssl) {
        std::string record = SealRecord(ssl, "split record\n");
        ASSERT_GT(record.size(), 8u);
        ASSERT_EQ(write(fd, record.data(), 7), 7);
        ASSERT_EQ(write(sent.fds[1], "s", 1), 1);
        char c;
        if (read(go.fds[0], &c, 1) != 1) {
            return;
        }
        ASSERT_EQ(write(fd, record.data() + 7, record.size() - 7), static_cast<ssize_t>(record.size() - 7));
        char rest[256];
        while (read(fd, rest, sizeof rest) > 0) {
        }
    });
    ASSERT_GT(port, 0);
    ASSERT_TRUE(Open(port, Cert("ca.pem"), "localhost"));
    std::string err;
    ASSERT_EQ(Handshake(channel_, &err), TLS_STATUS_OK) << err;

    /* Everything the peer sent, ending in 7 bytes of a record, is in our socket now. */
    char c;
    ASSERT_TRUE(WaitFd(sent.fds[0], POLLIN));
    ASSERT_EQ(read(sent.fds[0], &c, 1), 1);
    char buf[64];
    size_t n = 99;
    EXPECT_EQ(tls_channel_read(channel_, buf, sizeof buf, &n, nullptr), TLS_STATUS_WANT_READ);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(tls_channel_wanted(channel_), G_IO_IN);
    EXPECT_FALSE(tls_channel_pending(channel_));
    pollfd p = {fd_, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "the partial record was not taken in";
    EXPECT_EQ(tls_channel_read(channel_, buf, sizeof buf, &n, nullptr), TLS_STATUS_WANT_READ);

    ASSERT_EQ(write(go.fds[1], "g", 1), 1);
    std::string got;
    ASSERT_EQ(ReadLine(channel_, &got), TLS_STATUS_OK);
    EXPECT_EQ(got, "split record\n");
    EXPECT_EQ(peer.server_name(), "localhost");
    shutdown(fd_, SHUT_RDWR);
}

TEST_F(TlsChannelTest, PendingReportsDecryptedBytesTheFdNoLongerShows)
{
    Peer peer;
    int port = peer.Start(Cert("server.pem"), Cert("server.key"), [](int fd, SSL *ssl) {
        std::string text(300, 'p');
        size_t n = 0;
        ASSERT_EQ(SSL_write_ex(ssl, text.data(), text.size(), &n), 1);
        char rest[256];
        while (read(fd, rest, sizeof rest) > 0) {
        }
    });
    ASSERT_GT(port, 0);
    ASSERT_TRUE(Open(port, Cert("ca.pem"), "127.0.0.1"));
    std::string err;
    ASSERT_EQ(Handshake(channel_, &err), TLS_STATUS_OK) << err;
    std::string got;
    char buf[100];
    size_t n = 0;
    tls_status st;
    while ((st = tls_channel_read(channel_, buf, sizeof buf, &n, nullptr)) == TLS_STATUS_WANT_READ) {
        ASSERT_TRUE(WaitFd(fd_, POLLIN));
    }
    ASSERT_EQ(st, TLS_STATUS_OK);
    got.append(buf, n);
    /* The whole record is already decrypted: the socket is drained but bytes remain. */
    EXPECT_TRUE(tls_channel_pending(channel_));
    while (tls_channel_pending(channel_)) {
        ASSERT_EQ(tls_channel_read(channel_, buf, sizeof buf, &n, nullptr), TLS_STATUS_OK);
        got.append(buf, n);
    }
    EXPECT_EQ(got, std::string(300, 'p'));
    EXPECT_EQ(peer.server_name(), "<none>"); /* no SNI for an address */
    shutdown(fd_, SHUT_RDWR);
}

struct Ending {
    const char *label;
    bool close_notify;
    bool read_first;
};

void PrintTo(const Ending &e, std::ostream *os)
{
    *os << e.label;
}

class TlsPeerGoneTest : public TlsTest, public ::testing::WithParamInterface<Ending> {};

TEST_P(TlsPeerGoneTest, ReadAndWriteReportClosed)
{
    const Ending &e = GetParam();
    Peer peer;
    int port = peer.Start(Cert("server.pem"), Cert("server.key"), [&](int fd, SSL *ssl) {
        if (e.close_notify) {
            SSL_shutdown(ssl);
        }
        peer.CloseSocket();
    });
    ASSERT_GT(port, 0);
    ASSERT_TRUE(Open(port, Cert("ca.pem"), "localhost"));
    std::string err;
    ASSERT_EQ(Handshake(channel_, &err), TLS_STATUS_OK) << err;
    peer.Join();

    std::string got;
    if (e.read_first) {
        EXPECT_EQ(ReadLine(channel_, &got, &err), TLS_STATUS_CLOSED) << err;
        EXPECT_EQ(got, "");
        size_t n = 0;
        EXPECT_EQ(tls_channel_write(channel_, "late\n", 5, &n, nullptr), TLS_STATUS_CLOSED);
        EXPECT_EQ(n, 0u);
    } else {
        /* Without reading, the first writes still land in the socket; once the reset
         * comes back, a write must say closed (and must not kill us with a signal). */
        tls_status st = TLS_STATUS_OK;
        ASSERT_TRUE(hvtest::WaitFor([&] {
            st = WriteAll(channel_, "late\n", &err);
            return st != TLS_STATUS_OK;
        }, kStallMs)) << "writes kept succeeding";
        EXPECT_EQ(st, TLS_STATUS_CLOSED) << err;
    }
    char buf[8];
    size_t n = 0;
    EXPECT_EQ(tls_channel_read(channel_, buf, sizeof buf, &n, nullptr), TLS_STATUS_CLOSED);
    EXPECT_EQ(agent_metrics_get("tls.errors"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Endings, TlsPeerGoneTest,
                         ::testing::Values(Ending{"ClosingAlertThenRead", true, true},
                                           Ending{"HangUpThenRead", false, true},
                                           Ending{"HangUpThenWrite", false, false}),
                         [](const ::testing::TestParamInfo<Ending> &p) { return std::string(p.param.label); });

TEST_F(TlsChannelTest, UnusableParametersAreRefusedAtCreation)
{
    struct Case {
        std::string ca, cert, key, name, text;
    };
    std::vector<Case> cases = {
        {Cert("missing.pem"), "", "", "localhost", "cannot load certificate authority file '" + Cert("missing.pem")},
        {Cert("server.key"), "", "", "localhost", "cannot load certificate authority file"},
        {"", "", "", "localhost", "no certificate authority file"},
        {Cert("ca.pem"), "", "", "", "no expected remote name"},
        {Cert("ca.pem"), Cert("client.pem"), "", "localhost", "must be given together"},
        {Cert("ca.pem"), "", Cert("client.key"), "localhost", "must be given together"},
        {Cert("ca.pem"), Cert("client.pem"), Cert("server.key"), "localhost", "does not match client certificate"},
        {Cert("ca.pem"), Cert("nothing.pem"), Cert("client.key"), "localhost", "cannot load client certificate"},
        {Cert("ca.pem"), Cert("client.pem"), Cert("nothing.key"), "localhost", "cannot load client key"},
    };
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    for (const Case &c : cases) {
        tls_channel_params_t p = {c.ca.c_str(), c.cert.c_str(), c.key.c_str(), c.name.c_str()};
        Error *err = nullptr;
        tls_channel_t *ch = tls_channel_new(sv[0], &p, &err);
        EXPECT_EQ(ch, nullptr) << c.text;
        std::string text = hvtest::TakeMessage(err);
        EXPECT_NE(text.find(c.text), std::string::npos) << text;
        tls_channel_free(ch);
    }
    /* Nothing reached the peer, and the caller's socket is still open. */
    char b;
    EXPECT_EQ(recv(sv[1], &b, 1, MSG_DONTWAIT), -1);
    EXPECT_EQ(send(sv[0], "k", 1, 0), 1);
    close(sv[0]);
    close(sv[1]);
}

} // namespace
