/* Certificates in a private folder, the hv-mgmt process, an in-test TLS or plain peer, and
 * drivers that run a channel's non-blocking steps with poll. */
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent-common/agent-metrics.h"
#include "agent-common/tls-channel.h"
#include "tests/common/hv-test-support.h"

namespace tlstest {

/* A step that waits longer than this has hung; it fails instead of hanging the suite. */
constexpr int kStallMs = 20000;

inline bool WaitFd(int fd, short events)
{
    pollfd p = {fd, events, 0};
    return poll(&p, 1, kStallMs) == 1;
}

/* Lines from a pipe, read without blocking forever. */
class LineReader {
public:
    explicit LineReader(int fd = -1) : fd_(fd) {}
    void Reset(int fd)
    {
        fd_ = fd;
        buf_.clear();
    }
    /* The next line without its newline; "<eof>" or "<stalled>" when none comes. */
    std::string Next()
    {
        for (;;) {
            size_t nl = buf_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                return line;
            }
            if (!WaitFd(fd_, POLLIN)) {
                return "<stalled>";
            }
            char chunk[65536];
            ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) {
                return "<eof>";
            }
            buf_.append(chunk, static_cast<size_t>(n));
        }
    }

private:
    int fd_;
    std::string buf_;
};

/* The hv-mgmt stand-in, its standard input and output piped, standard error in a file. */
class Mgmt {
public:
    ~Mgmt() { Stop(); }

    /* Starts it and reads the port it listens on; 0 on failure. */
    int Start(const std::vector<std::string> &args, const std::string &err_file)
    {
        err_file_ = err_file;
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            return 0;
        }
        std::vector<std::string> all = {HV_MGMT};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(err, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        lines_.Reset(stdout_);
        return atoi(lines_.Next().c_str());
    }

    std::string NextLine() { return lines_.Next(); }
    void SendLine(const std::string &line)
    {
        std::string data = line + "\n";
        ASSERT_EQ(write(stdin_, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    }
    std::string Stderr() const { return hvtest::ReadFile(err_file_, ""); }

    /* Its exit code once it ends by itself (with --once). */
    int Wait()
    {
        int status = 0;
        if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) {
            return -1;
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    void Stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        for (int *fd : {&stdin_, &stdout_}) {
            if (*fd >= 0) {
                close(*fd);
                *fd = -1;
            }
        }
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    std::string err_file_;
    LineReader lines_;
};

inline int ListenLoopback(int *port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
        return -1;
    }
    *port = ntohs(sa.sin_port);
    return fd;
}

/* A connected, non-blocking socket to 127.0.0.1:port, or -1. */
inline int ConnectLoopback(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

/*
 * A peer run by the test on its own thread: accepts one connection on loopback and hands
 * the blocking socket to script (after a server handshake when cert is given).
 */
class Peer {
public:
    using Script = std::function<void(int fd, SSL *ssl)>;

    /* A test that ended early leaves the script waiting on its socket: wake it. */
    ~Peer()
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (lfd_ >= 0) {
                shutdown(lfd_, SHUT_RDWR);
            }
            if (fd_ >= 0) {
                shutdown(fd_, SHUT_RDWR);
            }
        }
        Join();
    }

    int Start(const std::string &cert, const std::string &key, Script script)
    {
        lfd_ = ListenLoopback(&port_);
        if (lfd_ < 0) {
            return 0;
        }
        if (!cert.empty()) {
            ctx_ = SSL_CTX_new(TLS_server_method());
            if (SSL_CTX_use_certificate_chain_file(ctx_, cert.c_str()) != 1 ||
                SSL_CTX_use_PrivateKey_file(ctx_, key.c_str(), SSL_FILETYPE_PEM) != 1) {
                return 0;
            }
        }
        thread_ = std::thread([this, script] {
            int fd = accept(lfd_, nullptr, nullptr);
            {
                std::lock_guard<std::mutex> guard(lock_);
                close(lfd_);
                lfd_ = -1;
                fd_ = fd;
            }
            if (fd < 0) {
                return;
            }
            SSL *ssl = nullptr;
            if (ctx_) {
                ssl = SSL_new(ctx_);
                SSL_set_fd(ssl, fd);
                handshake_ok_ = SSL_accept(ssl) == 1;
                const char *sni = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
                server_name_ = sni ? sni : "<none>";
            }
            if (!ctx_ || handshake_ok_) {
                script(fd, ssl);
            }
            SSL_free(ssl);
            CloseSocket();
        });
        return port_;
    }

    /* For scripts: closes the accepted socket (once). */
    void CloseSocket()
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    void Join()
    {
        if (thread_.joinable()) {
            thread_.join();
        }
        SSL_CTX_free(ctx_);
        ctx_ = nullptr;
    }
    bool handshake_ok() const { return handshake_ok_; }
    const std::string &server_name() const { return server_name_; }

private:
    int port_ = 0;
    std::mutex lock_;
    int lfd_ = -1;
    int fd_ = -1;
    SSL_CTX *ctx_ = nullptr;
    std::thread thread_;
    bool handshake_ok_ = false;
    std::string server_name_;
};

/* Runs the handshake to its end; the status and the error text. */
inline tls_status Handshake(tls_channel_t *ch, std::string *err_text)
{
    for (;;) {
        Error *err = nullptr;
        tls_status st = tls_channel_handshake(ch, &err);
        *err_text = hvtest::TakeMessage(err);
        if (st != TLS_STATUS_WANT_READ && st != TLS_STATUS_WANT_WRITE) {
            return st;
        }
        if (!WaitFd(tls_channel_get_fd(ch), tls_channel_wanted(ch) == G_IO_OUT ? POLLOUT : POLLIN)) {
            *err_text = "<stalled>";
            return TLS_STATUS_ERROR;
        }
    }
}

/* Writes every byte, waiting on the direction asked for; the last status. */
inline tls_status WriteAll(tls_channel_t *ch, const std::string &data, std::string *err_text = nullptr)
{
    size_t off = 0;
    while (off < data.size()) {
        Error *err = nullptr;
        size_t n = 0;
        tls_status st = tls_channel_write(ch, data.data() + off, data.size() - off, &n, &err);
        std::string text = hvtest::TakeMessage(err);
        if (err_text) {
            *err_text = text;
        }
        if (st == TLS_STATUS_OK) {
            off += n;
        } else if (st == TLS_STATUS_WANT_READ || st == TLS_STATUS_WANT_WRITE) {
            if (!WaitFd(tls_channel_get_fd(ch), tls_channel_wanted(ch) == G_IO_OUT ? POLLOUT : POLLIN)) {
                return TLS_STATUS_ERROR;
            }
        } else {
            return st;
        }
    }
    return TLS_STATUS_OK;
}

/* Reads until out holds a newline or the channel ends; the last status. */
inline tls_status ReadLine(tls_channel_t *ch, std::string *out, std::string *err_text = nullptr)
{
    for (;;) {
        char buf[4096];
        Error *err = nullptr;
        size_t n = 0;
        tls_status st = tls_channel_read(ch, buf, sizeof buf, &n, &err);
        std::string text = hvtest::TakeMessage(err);
        if (err_text) {
            *err_text = text;
        }
        if (st == TLS_STATUS_OK) {
            out->append(buf, n);
            if (out->find('\n') != std::string::npos) {
                return st;
            }
        } else if (st == TLS_STATUS_WANT_READ || st == TLS_STATUS_WANT_WRITE) {
            if (!WaitFd(tls_channel_get_fd(ch), tls_channel_wanted(ch) == G_IO_OUT ? POLLOUT : POLLIN)) {
                return TLS_STATUS_ERROR;
            }
        } else {
            return st;
        }
    }
}

/* A private folder with the test certificates, the metrics table and the log record. */
class TlsTest : public hvtest::LoggingTest {
protected:
    void SetUp() override
    {
        hvtest::LoggingTest::SetUp();
        ASSERT_TRUE(initialize_agent_metrics());
        dir_ = hvtest::MakeTempDir("hv-tls");
        ASSERT_FALSE(dir_.empty());
        hvtest::Outcome made = hvtest::RunProgram({HV_MAKE_TEST_CERTS, dir_ + "/certs"});
        ASSERT_EQ(made.exit_code, 0) << made.err;
    }

    void TearDown() override
    {
        tls_channel_free(channel_);
        if (fd_ >= 0) {
            close(fd_);
        }
        mgmt_.Stop();
        agent_metrics_cleanup();
        hvtest::RemoveTree(dir_);
        hvtest::LoggingTest::TearDown();
    }

    std::string Cert(const std::string &name) const { return dir_ + "/certs/" + name; }

    /* Connects to port and creates the channel; false when either fails. */
    bool Open(int port, const std::string &ca, const std::string &name, const std::string &client_cert = "",
              const std::string &client_key = "")
    {
        fd_ = ConnectLoopback(port);
        if (fd_ < 0) {
            return false;
        }
        tls_channel_params_t p = {ca.c_str(), client_cert.c_str(), client_key.c_str(), name.c_str()};
        Error *err = nullptr;
        channel_ = tls_channel_new(fd_, &p, &err);
        EXPECT_NE(channel_, nullptr) << hvtest::TakeMessage(err);
        return channel_ != nullptr;
    }

    int StartMgmt(const std::string &cert, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"--cert", Cert(cert), "--key", Cert("server.key")};
        args.insert(args.end(), extra.begin(), extra.end());
        return mgmt_.Start(args, dir_ + "/mgmt.err");
    }

    std::string dir_;
    int fd_ = -1;
    tls_channel_t *channel_ = nullptr;
    Mgmt mgmt_;
};

} // namespace tlstest
