/*
 * The management side of the TLS command channel, for benchmarks: a throw-away certificate
 * set, a listener on 127.0.0.1, one accepted connection, whole lines each way. Blocking;
 * every wait is bounded.
 */
#pragma once

#include <string>

struct ssl_ctx_st;
struct ssl_st;

class BenchTlsPeer {
public:
    BenchTlsPeer() = default;
    ~BenchTlsPeer();
    BenchTlsPeer(const BenchTlsPeer &) = delete;
    BenchTlsPeer &operator=(const BenchTlsPeer &) = delete;

    /* Certificates written, listening; *why says what failed. */
    bool Listen(std::string *why);
    int Port() const { return port_; }
    /* A file of the certificate set ("ca.pem", "client.pem", "client.key", ...). */
    std::string Cert(const char *name) const { return dir_ + "/" + name; }
    /* Takes the next connection and completes its handshake (the client must show a
     * certificate of the set's authority). */
    bool Accept(int timeout_ms, std::string *why);
    bool SendLine(const std::string &line);
    /* The next line without its newline; false when none comes within timeout_ms. */
    bool ReadLine(std::string *line, int timeout_ms);
    /* Sends request and returns the first reply line ({"return"... or {"error"...),
     * skipping anything else the module pushes meanwhile. */
    bool RoundTrip(const std::string &request, std::string *reply, int timeout_ms);

private:
    void Drop();

    std::string dir_;
    int listen_fd_ = -1;
    int fd_ = -1;
    int port_ = 0;
    ssl_ctx_st *ctx_ = nullptr;
    ssl_st *ssl_ = nullptr;
    std::string buf_;
};
