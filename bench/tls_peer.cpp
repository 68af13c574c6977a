#include "bench/tls_peer.h"

#include <arpa/inet.h>
#include <glib.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>

BenchTlsPeer::~BenchTlsPeer()
{
    Drop();
    if (listen_fd_ >= 0) {
        close(listen_fd_);
    }
    SSL_CTX_free(ctx_);
    if (!dir_.empty()) {
        g_autofree char *cmd = g_strdup_printf("rm -rf '%s'", dir_.c_str());
        if (system(cmd) != 0) {
            fprintf(stderr, "could not remove %s\n", dir_.c_str());
        }
    }
}

void BenchTlsPeer::Drop()
{
    if (ssl_) {
        SSL_shutdown(ssl_);
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    buf_.clear();
}

bool BenchTlsPeer::Listen(std::string *why)
{
    char *d = g_dir_make_tmp("hv-bench-tls-XXXXXX", nullptr);
    if (!d) {
        *why = "no temporary folder";
        return false;
    }
    dir_ = d;
    g_free(d);
    g_autofree char *make = g_strdup_printf("'%s' '%s' >/dev/null", HV_MAKE_TEST_CERTS, dir_.c_str());
    if (system(make) != 0) {
        *why = "could not make the certificates (is openssl installed?)";
        return false;
    }
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (!ctx_ || !SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION) ||
        SSL_CTX_use_certificate_file(ctx_, Cert("server.pem").c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_, Cert("server.key").c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_load_verify_locations(ctx_, Cert("ca.pem").c_str(), nullptr) != 1) {
        *why = "could not set up the TLS server";
        return false;
    }
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        listen(listen_fd_, 4) != 0 || getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
        *why = "could not listen on loopback";
        return false;
    }
    port_ = ntohs(sa.sin_port);
    return true;
}

bool BenchTlsPeer::Accept(int timeout_ms, std::string *why)
{
    Drop();
    pollfd p = {listen_fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) {
        *why = "the module did not connect";
        return false;
    }
    fd_ = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd_ < 0) {
        *why = "accept failed";
        return false;
    }
    /* A blocked read or write gives up instead of hanging the benchmark. */
    timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    ssl_ = SSL_new(ctx_);
    if (!ssl_ || SSL_set_fd(ssl_, fd_) != 1 || SSL_accept(ssl_) != 1) {
        *why = "TLS handshake with the module failed";
        Drop();
        return false;
    }
    return true;
}

bool BenchTlsPeer::SendLine(const std::string &line)
{
    std::string out = line + "\n";
    size_t sent = 0;
    while (ssl_ && sent < out.size()) {
        size_t n = 0;
        if (SSL_write_ex(ssl_, out.data() + sent, out.size() - sent, &n) != 1) {
            return false;
        }
        sent += n;
    }
    return ssl_ && sent == out.size();
}

bool BenchTlsPeer::ReadLine(std::string *line, int timeout_ms)
{
    for (;;) {
        size_t nl = buf_.find('\n');
        if (nl != std::string::npos) {
            line->assign(buf_, 0, nl);
            buf_.erase(0, nl + 1);
            return true;
        }
        if (!ssl_) {
            return false;
        }
        if (SSL_pending(ssl_) == 0) {
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, timeout_ms) != 1) {
                return false;
            }
        }
        char chunk[65536];
        size_t n = 0;
        if (SSL_read_ex(ssl_, chunk, sizeof chunk, &n) != 1) {
            return false;
        }
        buf_.append(chunk, n);
    }
}

bool BenchTlsPeer::RoundTrip(const std::string &request, std::string *reply, int timeout_ms)
{
    if (!SendLine(request)) {
        *reply = "send failed";
        return false;
    }
    for (;;) {
        if (!ReadLine(reply, timeout_ms)) {
            *reply = "no reply";
            return false;
        }
        if (reply->rfind("{\"return\"", 0) == 0 || reply->rfind("{\"error\"", 0) == 0) {
            return true;
        }
    }
}
