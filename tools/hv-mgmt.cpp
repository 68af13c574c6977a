/*
 * hv-mgmt: a management side for trying the module's TLS command channel by hand or
 * from tests. It listens on 127.0.0.1, takes one TLS connection at a time, sends the
 * prepared commands and then each line typed on standard input, and prints every line
 * the module sends back.
 *
 *   hv-mgmt --cert FILE --key FILE [--ca FILE] [--port N] [--send FILE]... [--send-text TEXT]...
 *           [--once]
 *
 * The first line on standard output is the port listened on (useful with --port 0, the
 * default). With --ca, a client certificate from that authority is required. The
 * prepared commands (--send files, line by line, and --send-text texts, in the order
 * given) go to every connection. --once exits after the first connection ends: 0 when
 * it was established, 1 when its handshake failed. Diagnostics go to standard error.
 */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Options {
    std::string cert, key, ca;
    int port = 0;
    std::vector<std::string> commands;
    bool once = false;
};

/* Handshake and write stalls of a client end the connection instead of the tool. */
constexpr int kPeerPatienceMs = 10000;

std::string ssl_error_text()
{
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return errno ? strerror(errno) : "connection closed";
    }
    const char *reason = ERR_reason_error_string(code);
    return reason ? reason : "TLS error";
}

bool add_file_lines(Options &o, const char *path)
{
    std::ifstream in(path);
    if (!in) {
        fprintf(stderr, "hv-mgmt: cannot read %s\n", path);
        return false;
    }
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            o.commands.push_back(line);
        }
    }
    return true;
}

bool parse(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        bool has_value = i + 1 < argc;
        if (a == "--once") {
            o.once = true;
        } else if (!has_value) {
            fprintf(stderr, "hv-mgmt: unknown option or missing value: %s\n", a.c_str());
            return false;
        } else if (a == "--cert") {
            o.cert = argv[++i];
        } else if (a == "--key") {
            o.key = argv[++i];
        } else if (a == "--ca") {
            o.ca = argv[++i];
        } else if (a == "--port") {
            char *end = nullptr;
            long p = strtol(argv[++i], &end, 10);
            if (*end || p < 0 || p > 65535) {
                fprintf(stderr, "hv-mgmt: bad port %s\n", argv[i]);
                return false;
            }
            o.port = static_cast<int>(p);
        } else if (a == "--send") {
            if (!add_file_lines(o, argv[++i])) {
                return false;
            }
        } else if (a == "--send-text") {
            o.commands.push_back(argv[++i]);
        } else {
            fprintf(stderr, "hv-mgmt: unknown option %s\n", a.c_str());
            return false;
        }
    }
    if (o.cert.empty() || o.key.empty()) {
        fprintf(stderr, "usage: hv-mgmt --cert FILE --key FILE [--ca FILE] [--port N] [--send FILE]... "
                        "[--send-text TEXT]... [--once]\n");
        return false;
    }
    return true;
}

SSL_CTX *make_context(const Options &o)
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, o.cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, o.key.c_str(), SSL_FILETYPE_PEM) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
        fprintf(stderr, "hv-mgmt: cannot use %s / %s: %s\n", o.cert.c_str(), o.key.c_str(), ssl_error_text().c_str());
        SSL_CTX_free(ctx);
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    if (!o.ca.empty()) {
        if (SSL_CTX_load_verify_locations(ctx, o.ca.c_str(), nullptr) != 1) {
            fprintf(stderr, "hv-mgmt: cannot load %s: %s\n", o.ca.c_str(), ssl_error_text().c_str());
            SSL_CTX_free(ctx);
            return nullptr;
        }
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    return ctx;
}

int listen_on(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
        fprintf(stderr, "hv-mgmt: cannot listen on 127.0.0.1:%d: %s\n", port, strerror(errno));
        return -1;
    }
    printf("%d\n", ntohs(sa.sin_port));
    fflush(stdout);
    return fd;
}

/* Waits until fd is ready for the direction the last TLS call asked for. */
bool wait_for(SSL *ssl, int ret)
{
    int err = SSL_get_error(ssl, ret);
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
        return false;
    }
    pollfd p = {SSL_get_fd(ssl), static_cast<short>(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
    return poll(&p, 1, kPeerPatienceMs) == 1;
}

bool send_line(SSL *ssl, const std::string &line)
{
    std::string data = line + "\n";
    size_t off = 0;
    while (off < data.size()) {
        size_t n = 0;
        int ret = SSL_write_ex(ssl, data.data() + off, data.size() - off, &n);
        if (ret == 1) {
            off += n;
        } else if (!wait_for(ssl, ret)) {
            fprintf(stderr, "hv-mgmt: write failed: %s\n", ssl_error_text().c_str());
            return false;
        }
    }
    return true;
}

void print_lines(std::string &buf, bool all)
{
    size_t nl;
    while ((nl = buf.find('\n')) != std::string::npos) {
        fwrite(buf.data(), 1, nl + 1, stdout);
        buf.erase(0, nl + 1);
    }
    if (all && !buf.empty()) {
        fwrite(buf.data(), 1, buf.size(), stdout);
        fputc('\n', stdout);
        buf.clear();
    }
    fflush(stdout);
}

/* Serves one established connection until the peer goes away. */
void serve(SSL *ssl, const Options &o, bool &stdin_open, std::string &stdin_buf)
{
    for (const std::string &c : o.commands) {
        if (!send_line(ssl, c)) {
            return;
        }
    }
    std::string in_buf;
    char chunk[16384];
    for (;;) {
        if (SSL_pending(ssl) == 0) {
            pollfd p[2] = {{SSL_get_fd(ssl), POLLIN, 0}, {0, POLLIN, 0}};
            if (poll(p, stdin_open ? 2 : 1, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (stdin_open && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
                ssize_t n = read(0, chunk, sizeof chunk);
                if (n <= 0) {
                    stdin_open = false;
                } else {
                    stdin_buf.append(chunk, static_cast<size_t>(n));
                }
                size_t nl;
                while ((nl = stdin_buf.find('\n')) != std::string::npos) {
                    std::string line = stdin_buf.substr(0, nl);
                    stdin_buf.erase(0, nl + 1);
                    if (!line.empty() && line.back() == '\r') {
                        line.pop_back();
                    }
                    if (!line.empty() && !send_line(ssl, line)) {
                        print_lines(in_buf, true);
                        return;
                    }
                }
            }
            if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) {
                continue;
            }
        }
        size_t n = 0;
        int ret = SSL_read_ex(ssl, chunk, sizeof chunk, &n);
        if (ret == 1) {
            in_buf.append(chunk, n);
            print_lines(in_buf, false);
            continue;
        }
        int err = SSL_get_error(ssl, ret);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            continue;
        }
        if (err != SSL_ERROR_ZERO_RETURN) {
            fprintf(stderr, "hv-mgmt: read ended: %s\n", ssl_error_text().c_str());
        }
        print_lines(in_buf, true);
        return;
    }
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (!parse(argc, argv, o)) {
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    SSL_CTX *ctx = make_context(o);
    if (!ctx) {
        return 2;
    }
    int lfd = listen_on(o.port);
    if (lfd < 0) {
        return 2;
    }
    bool stdin_open = true;
    std::string stdin_buf;
    for (;;) {
        int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            fprintf(stderr, "hv-mgmt: accept failed: %s\n", strerror(errno));
            return 2;
        }
        SSL *ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        int ret;
        while ((ret = SSL_accept(ssl)) != 1 && wait_for(ssl, ret)) {
        }
        bool established = ret == 1;
        if (established) {
            fprintf(stderr, "hv-mgmt: connection established (%s)\n", SSL_get_version(ssl));
            serve(ssl, o, stdin_open, stdin_buf);
            SSL_shutdown(ssl);
            fprintf(stderr, "hv-mgmt: connection closed\n");
        } else {
            fprintf(stderr, "hv-mgmt: handshake failed: %s\n", ssl_error_text().c_str());
        }
        SSL_free(ssl);
        close(fd);
        ERR_clear_error();
        if (o.once) {
            SSL_CTX_free(ctx);
            close(lfd);
            return established ? 0 : 1;
        }
    }
}
