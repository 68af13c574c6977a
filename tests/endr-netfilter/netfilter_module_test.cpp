/*
 * Real traffic judged by the driver daemon's netfilter engine: the module and the daemon run
 * in a network namespace of the test's own, joined by a veth pair to a peer namespace whose
 * servers the test connects to. Policies are pushed to the module with set-enforcement-policy;
 * the judged flows come back as events through hv-events. Skipped without the privilege to
 * create network namespaces.
 */
#include <arpa/inet.h>
#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/common/hv-test-support.h"
#include "tests/common/module-fixture.h"

namespace {

using hvtest::Outcome;

constexpr char kLocal[] = "10.231.0.1";
constexpr char kPeer[] = "10.231.0.2";
constexpr char kLocal6[] = "fd00:231::1";
constexpr char kPeer6[] = "fd00:231::2";
constexpr uint16_t kSshPort = 2222;
constexpr uint16_t kDbPort = 5432;
constexpr uint16_t kUdpPort = 5353;
constexpr uint16_t kUdpOtherPort = 5354;

std::string Tool(const char *name)
{
    g_autofree char *path = g_find_program_in_path(name);
    return path ? path : std::string("/usr/sbin/") + name;
}

/*
 * The peer namespace: a child that enters a network namespace of its own, takes the veth end
 * the parent moves in, and echoes on TCP ports 2222 and 5432 and UDP ports 5353 and 5354, over
 * IPv4 and IPv6, until the parent closes its pipe.
 */
class Peer {
public:
    ~Peer() { Stop(); }

    bool Start()
    {
        int up[2], down[2];
        if (pipe(up) != 0 || pipe(down) != 0) {
            return false;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(up[0]);
            close(down[1]);
            Serve(up[1], down[0]);
            _exit(0);
        }
        close(up[1]);
        close(down[0]);
        up_ = up[0];
        down_ = down[1];
        char c = 0;
        if (pid_ < 0 || read(up_, &c, 1) != 1 || c != 'n') {
            return false;
        }
        std::string ip = Tool("ip");
        for (const std::vector<std::string> &cmd :
             {std::vector<std::string>{ip, "link", "set", "lo", "up"},
              {ip, "link", "add", "nf-a", "type", "veth", "peer", "name", "nf-b", "netns", std::to_string(pid_)},
              {ip, "addr", "add", std::string(kLocal) + "/24", "dev", "nf-a"},
              {ip, "-6", "addr", "add", std::string(kLocal6) + "/64", "dev", "nf-a", "nodad"},
              {ip, "link", "set", "nf-a", "up"}}) {
            Outcome o = hvtest::RunProgram(cmd);
            if (o.exit_code != 0) {
                ADD_FAILURE() << cmd[1] << " " << cmd[2] << ": " << o.err;
                return false;
            }
        }
        return write(down_, "g", 1) == 1 && read(up_, &c, 1) == 1 && c == 'r';
    }

    void Stop()
    {
        if (down_ >= 0) {
            close(down_);
            down_ = -1;
        }
        if (up_ >= 0) {
            close(up_);
            up_ = -1;
        }
        if (pid_ > 0) {
            int status = 0;
            if (!hvtest::WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 5000)) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
            }
            pid_ = 0;
        }
    }

private:
    static bool IsDatagram(int fd)
    {
        int type = 0;
        socklen_t len = sizeof type;
        return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_DGRAM;
    }

    /* In the child: only what a forked child of a test may do, and exec'ed tools. */
    static void Serve(int up, int down)
    {
        if (unshare(CLONE_NEWNET) != 0) {
            (void)!write(up, "e", 1);
            return;
        }
        char c;
        if (write(up, "n", 1) != 1 || read(down, &c, 1) != 1) {
            return;
        }
        std::string cmd = Tool("ip") + " link set lo up && " + Tool("ip") + " addr add " + kPeer +
                          "/24 dev nf-b && " + Tool("ip") + " -6 addr add " + kPeer6 + "/64 dev nf-b nodad && " +
                          Tool("ip") + " link set nf-b up";
        if (system(cmd.c_str()) != 0) {
            return;
        }
        std::vector<pollfd> fds = {{down, POLLIN, 0}};
        size_t listeners = 0;
        for (int family : {AF_INET, AF_INET6}) {
            for (uint16_t port : {kSshPort, kDbPort, kUdpPort, kUdpOtherPort}) {
                bool udp = port == kUdpPort || port == kUdpOtherPort;
                int s = socket(family, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
                int one = 1;
                setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
                sockaddr_storage a{};
                socklen_t len = 0;
                if (family == AF_INET) {
                    auto *a4 = reinterpret_cast<sockaddr_in *>(&a);
                    a4->sin_family = AF_INET;
                    a4->sin_port = htons(port);
                    len = sizeof(sockaddr_in);
                } else {
                    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
                    auto *a6 = reinterpret_cast<sockaddr_in6 *>(&a);
                    a6->sin6_family = AF_INET6;
                    a6->sin6_port = htons(port);
                    len = sizeof(sockaddr_in6);
                }
                if (bind(s, reinterpret_cast<sockaddr *>(&a), len) != 0 || (!udp && listen(s, 64) != 0)) {
                    return;
                }
                fds.push_back({s, POLLIN, 0});
                listeners++;
            }
        }
        if (write(up, "r", 1) != 1) {
            return;
        }
        for (;;) {
            if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) {
                return;
            }
            if (fds[0].revents) {
                return;
            }
            for (size_t i = 1; i < fds.size(); i++) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                    continue;
                }
                /* Datagram sockets echo in place; stream listeners accept. */
                if (i <= listeners && IsDatagram(fds[i].fd)) {
                    char buf[512];
                    sockaddr_storage from{};
                    socklen_t len = sizeof from;
                    ssize_t n = recvfrom(fds[i].fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
                    if (n > 0) {
                        sendto(fds[i].fd, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr *>(&from), len);
                    }
                    continue;
                }
                if (i <= listeners) {
                    int conn = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
                    if (conn >= 0) {
                        fds.push_back({conn, POLLIN, 0});
                    }
                    continue;
                }
                char buf[512];
                ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n <= 0 || write(fds[i].fd, buf, static_cast<size_t>(n)) != n) {
                    close(fds[i].fd);
                    fds.erase(fds.begin() + static_cast<long>(i));
                    break;
                }
            }
        }
    }

    pid_t pid_ = 0;
    int up_ = -1;
    int down_ = -1;
};

/* A socket of type to the peer's address and port, connected (TCP: established) within ms,
 * or -1. */
/* dstopts > 0: IPv6 packets carry a destination options header of that many 8-byte units,
 * one option the peer skips. */
int Open(const char *address, uint16_t port, int type, int ms, size_t dstopts = 0)
{
    sockaddr_storage a{};
    socklen_t len = 0;
    int family = strchr(address, ':') ? AF_INET6 : AF_INET;
    if (family == AF_INET) {
        auto *a4 = reinterpret_cast<sockaddr_in *>(&a);
        a4->sin_family = AF_INET;
        a4->sin_port = htons(port);
        inet_pton(AF_INET, address, &a4->sin_addr);
        len = sizeof(sockaddr_in);
    } else {
        auto *a6 = reinterpret_cast<sockaddr_in6 *>(&a);
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(port);
        inet_pton(AF_INET6, address, &a6->sin6_addr);
        len = sizeof(sockaddr_in6);
    }
    int s = socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (dstopts > 0) {
        /* Type 0x1e: unknown, skipped; its length fills all but PadN's few bytes. */
        std::vector<uint8_t> h(dstopts * 8, 0);
        h[1] = static_cast<uint8_t>(dstopts - 1);
        size_t data = std::min<size_t>(h.size() - 4, 255);
        h[2] = 0x1e;
        h[3] = static_cast<uint8_t>(data);
        size_t pad = h.size() - 4 - data;
        if (pad == 1) {
            h[4 + data] = 0; /* Pad1 */
        } else if (pad > 1) {
            h[4 + data] = 1;
            h[5 + data] = static_cast<uint8_t>(pad - 2);
        }
        if (setsockopt(s, IPPROTO_IPV6, IPV6_DSTOPTS, h.data(), static_cast<socklen_t>(h.size())) != 0) {
            close(s);
            return -1;
        }
    }
    if (connect(s, reinterpret_cast<sockaddr *>(&a), len) != 0 && errno != EINPROGRESS) {
        close(s);
        return -1;
    }
    pollfd p = {s, POLLOUT, 0};
    int err = -1;
    socklen_t err_len = sizeof err;
    if (poll(&p, 1, ms) != 1 || getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &err_len) != 0 || err != 0) {
        close(s);
        return -1;
    }
    return s;
}

/* A TCP connection to the peer, established within ms or not at all (-1). */
int Connect(uint16_t port, int ms, const char *address = kPeer)
{
    return Open(address, port, SOCK_STREAM, ms);
}

/* The peer echoes what the connection sends. */
bool Echoes(int s, const std::string &text, int ms = 10000)
{
    if (write(s, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        return false;
    }
    std::string got;
    while (got.size() < text.size()) {
        pollfd p = {s, POLLIN, 0};
        char buf[256];
        if (poll(&p, 1, ms) != 1) {
            return false;
        }
        ssize_t n = read(s, buf, sizeof buf);
        if (n <= 0) {
            return false;
        }
        got.append(buf, static_cast<size_t>(n));
    }
    return got == text;
}

uint16_t Checksum(const uint8_t *p, size_t n)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2) {
        sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    }
    if (n & 1) {
        sum += static_cast<uint32_t>(p[n - 1] << 8);
    }
    while (sum >> 16) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

/* One ICMP echo to address; true when its reply came within ms. */
bool Ping(const char *address, uint16_t id, int ms)
{
    int s = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (s < 0) {
        ADD_FAILURE() << "raw socket: " << strerror(errno);
        return false;
    }
    uint8_t req[16] = {8, 0, 0, 0, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0, 1};
    uint16_t sum = Checksum(req, sizeof req);
    req[2] = static_cast<uint8_t>(sum >> 8);
    req[3] = static_cast<uint8_t>(sum);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address, &a.sin_addr);
    bool replied = false;
    if (sendto(s, req, sizeof req, 0, reinterpret_cast<sockaddr *>(&a), sizeof a) == sizeof req) {
        gint64 until = g_get_monotonic_time() + gint64{ms} * 1000;
        while (!replied) {
            int left = static_cast<int>((until - g_get_monotonic_time()) / 1000);
            pollfd p = {s, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) != 1) {
                break;
            }
            uint8_t buf[256];
            ssize_t n = recv(s, buf, sizeof buf, 0);
            size_t ihl = n > 0 ? size_t{buf[0] & 0x0fu} * 4 : 0;
            replied = n > 0 && static_cast<size_t>(n) >= ihl + 8 && buf[ihl] == 0 &&
                      (buf[ihl + 4] << 8 | buf[ihl + 5]) == id;
        }
    }
    close(s);
    return replied;
}

class NetfilterModuleTest : public hvtest::ModuleFixture {
protected:
    NetfilterModuleTest() : ModuleFixture("hv-nf") {}

    char **ExtraEnv(char **env) const override { return g_environ_setenv(env, "HV_ENDR_ENGINE", "netfilter", TRUE); }

    void SetUp() override
    {
        ModuleFixture::SetUp();
        /* Each test is a process of its own: the namespace ends with it. */
        if (unshare(CLONE_NEWNET) != 0) {
            GTEST_SKIP() << "cannot create a network namespace (" << strerror(errno)
                         << "): real-traffic tests need root or CAP_SYS_ADMIN";
        }
        ASSERT_TRUE(peer_.Start()) << "the peer namespace could not be set up";
        StartEvents();
        ASSERT_NO_FATAL_FAILURE(Start(module_options_));
        ASSERT_TRUE(hvtest::WaitFor([&] { return DaemonLogHas("[endr-nf] judging new flows"); }, 30000))
            << DaemonLog();
    }

    void TearDown() override
    {
        Stop();
        if (events_ > 0) {
            kill(events_, SIGTERM);
            waitpid(events_, nullptr, 0);
            events_ = 0;
        }
        peer_.Stop();
        ModuleFixture::TearDown();
    }

    /* hv-events in the module's folder, its lines into a file the test reads. */
    void StartEvents()
    {
        std::string cmd = "exec '" + std::string(HV_EVENTS) + "' --timeout 600 > '" + dir_ + "/events.json'";
        const char *argv[] = {"/bin/sh", "-c", cmd.c_str(), nullptr};
        ASSERT_TRUE(g_spawn_async(dir_.c_str(), const_cast<char **>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD,
                                  nullptr, nullptr, &events_, nullptr));
    }

    /* The events hv-events printed that are connection events of port (either side). */
    std::vector<std::string> ConnectionEvents(uint16_t port) const
    {
        std::vector<std::string> found;
        /* ICMP events carry port 0. */
        std::regex port_re("\"(dest_port|source_port)\": " + std::to_string(port) + "[,}]");
        for (const std::string &line : g_strsplit_to_vector(hvtest::ReadFile(dir_ + "/events.json", ""))) {
            if (line.find("\"rule_id\"") != std::string::npos && std::regex_search(line, port_re)) {
                found.push_back(line);
            }
        }
        return found;
    }

    static std::vector<std::string> g_strsplit_to_vector(const std::string &text)
    {
        std::vector<std::string> lines;
        size_t at = 0;
        while (at < text.size()) {
            size_t nl = text.find('\n', at);
            if (nl == std::string::npos) {
                break; /* a line still being written */
            }
            lines.push_back(text.substr(at, nl - at));
            at = nl + 1;
        }
        return lines;
    }

    /* An event of port with this verdict text and rule id arrived. */
    bool WaitEvent(uint16_t port, const std::string &verdict, const std::string &rule)
    {
        return hvtest::WaitFor(
            [&] {
                for (const std::string &e : ConnectionEvents(port)) {
                    if (e.find("\"verdict\": \"" + verdict + "\"") != std::string::npos &&
                        e.find("\"rule_id\": \"" + rule + "\"") != std::string::npos) {
                        return true;
                    }
                }
                return false;
            },
            20000, 50);
    }

    void Push(int revision, const std::string &output_rules)
    {
        std::string policy = R"({"execute": "set-enforcement-policy", "arguments": {"revision": )" +
                             std::to_string(revision) + R"(, "input-table": [], "output-table": [{"chain_name": "PEER", "rules": [)" +
                             output_rules + "]}]}}";
        Outcome o = Run({HV_QMP, "--address", address_, "--timeout", "60000", policy});
        ASSERT_EQ(o.exit_code, 0) << o.out << o.err;
        ASSERT_EQ(o.out.find("\"error\""), std::string::npos) << o.out;
    }

    static std::string Rule(const std::string &id, const std::string &verdict, const std::string &protocols,
                            const std::string &src, const std::string &dst)
    {
        return R"({"id": ")" + id + R"(", "verdict": ")" + verdict + R"(", "protocols": [)" + protocols +
               R"(], "match_src": )" + src + R"(, "match_dst": )" + dst + "}";
    }

    static std::string PeerPort(uint16_t port)
    {
        return R"({"match_multiple_subnets": [")" + std::string(kPeer) + R"(/32"], "match_ports": [)" +
               std::to_string(port) + "]}";
    }

    /* A counter of the daemon's status, -1 when it is not listed. */
    long long Metric(const std::string &name) const
    {
        Outcome o = Run({HV_ENDR, "status"});
        std::smatch m;
        return std::regex_search(o.out, m, std::regex("\"" + name + "\": ([0-9]+)")) ? std::stoll(m[1]) : -1;
    }

    std::string DaemonLog() const { return hvtest::ReadFile(dir_ + "/run/hv-endrd.log", ""); }
    bool DaemonLogHas(const std::string &text) const { return DaemonLog().find(text) != std::string::npos; }

    Outcome Nft(const std::vector<std::string> &args) const
    {
        std::vector<std::string> argv = {Tool("nft")};
        argv.insert(argv.end(), args.begin(), args.end());
        return hvtest::RunProgram(argv);
    }

    /* Events of port with this verdict and rule id. */
    size_t CountEvents(uint16_t port, const std::string &verdict, const std::string &rule) const
    {
        size_t n = 0;
        for (const std::string &e : ConnectionEvents(port)) {
            n += e.find("\"verdict\": \"" + verdict + "\"") != std::string::npos &&
                 e.find("\"rule_id\": \"" + rule + "\"") != std::string::npos;
        }
        return n;
    }

    std::vector<std::string> module_options_;
    Peer peer_;
    GPid events_ = 0;
};

/* The module excludes the veth interface toward the peer. */
class NetfilterExcludedTest : public NetfilterModuleTest {
protected:
    NetfilterExcludedTest() { module_options_ = {"-E", "nf-a"}; }
};

/* How long a connection the policy blocks is given to prove it does not get through. */
constexpr int kBlockedMs = 3000;
constexpr int kAllowedMs = 15000;

TEST_F(NetfilterModuleTest, PolicyAllowsOnePortBlocksAnotherAndEveryJudgedFlowIsReported)
{
    /* Before any policy, nothing is blocked. */
    int before = Connect(kDbPort, kAllowedMs);
    ASSERT_GE(before, 0) << DaemonLog();
    close(before);
    Push(1, Rule("allow-ssh", "ALLOW", R"("tcp")", "{}", PeerPort(kSshPort)) + ", " +
                Rule("block-db", "BLOCK", R"("tcp")", "{}", PeerPort(kDbPort)));

    int ssh = Connect(kSshPort, kAllowedMs);
    ASSERT_GE(ssh, 0) << DaemonLog();
    EXPECT_TRUE(Echoes(ssh, "hello"));
    EXPECT_LT(Connect(kDbPort, kBlockedMs), 0) << "the policy blocks port 5432";

    ASSERT_TRUE(WaitEvent(kSshPort, "Allow", "allow-ssh")) << hvtest::ReadFile(dir_ + "/events.json", "");
    ASSERT_TRUE(WaitEvent(kDbPort, "Block", "block-db")) << hvtest::ReadFile(dir_ + "/events.json", "");
    /* The records name the real tuple and this process. */
    for (uint16_t port : {kSshPort, kDbPort}) {
        bool seen = false;
        for (const std::string &e : ConnectionEvents(port)) {
            if (e.find("\"rule_id\": \"\"") != std::string::npos) {
                continue; /* the connection before the policy */
            }
            seen = true;
            EXPECT_NE(e.find("\"pid\": " + std::to_string(getpid()) + ","), std::string::npos) << e;
            EXPECT_NE(e.find("\"dest_port\": " + std::to_string(port)), std::string::npos) << e;
            std::string peer_host = std::to_string(ntohl(inet_addr(kPeer)));
            EXPECT_NE(e.find("\"dest_ip\": " + peer_host), std::string::npos) << e;
        }
        EXPECT_TRUE(seen) << port;
    }
    /* The flow before the policy went by with no rule. */
    EXPECT_TRUE(WaitEvent(kDbPort, "Allow", ""));
    /* The blocked connect retried its SYN while the test waited: still one attempt. */
    EXPECT_EQ(CountEvents(kDbPort, "Block", "block-db"), 1u) << hvtest::ReadFile(dir_ + "/events.json", "");
    EXPECT_GE(Metric("endr.nf-retries-dropped"), 1);
    long long judged = Metric("endr.nf-flows-judged");
    EXPECT_GE(judged, 3) << "the connect before the policy, 2222, 5432";

    /* An established flow is not queued again: its traffic adds no records. */
    size_t ssh_events = ConnectionEvents(kSshPort).size();
    for (int i = 0; i < 5; i++) {
        EXPECT_TRUE(Echoes(ssh, "more"));
    }
    close(ssh);
    EXPECT_EQ(ConnectionEvents(kSshPort).size(), ssh_events);
    EXPECT_EQ(Metric("endr.nf-flows-judged"), judged);

    /* A stopped daemon removes its table. */
    EXPECT_EQ(Nft({"list", "table", "inet", "holvenstad"}).exit_code, 0);
    Stop();
    EXPECT_TRUE(hvtest::StopDriverDaemon(dir_ + "/run"));
    EXPECT_NE(Nft({"list", "table", "inet", "holvenstad"}).exit_code, 0) << "the table outlived the daemon";
}

TEST_F(NetfilterModuleTest, ProcessRuleBlocksOneExecutableAndNotAnother)
{
    std::string blocked = dir_ + "/bin/blocked-client";
    std::string allowed = dir_ + "/bin/allowed-client";
    std::filesystem::create_directories(dir_ + "/bin");
    std::filesystem::copy_file("/bin/bash", blocked);
    std::filesystem::copy_file("/bin/bash", allowed);
    Push(1, Rule("block-client", "BLOCK", R"("tcp")", R"({"match_processes": [{"image_path": ")" + blocked + R"("}]})",
                 PeerPort(kSshPort)));
    std::string script = std::string("exec 3<>/dev/tcp/") + kPeer + "/" + std::to_string(kSshPort);
    Outcome a = hvtest::RunProgram({Tool("timeout"), "10", allowed, "-c", script});
    EXPECT_EQ(a.exit_code, 0) << a.err << DaemonLog();
    Outcome b = hvtest::RunProgram({Tool("timeout"), std::to_string(kBlockedMs / 1000), blocked, "-c", script});
    EXPECT_NE(b.exit_code, 0) << "the blocked executable connected";
    ASSERT_TRUE(WaitEvent(kSshPort, "Block", "block-client")) << hvtest::ReadFile(dir_ + "/events.json", "");
    bool named = false;
    for (const std::string &e : ConnectionEvents(kSshPort)) {
        if (e.find("block-client") != std::string::npos) {
            named = named || e.find(blocked) != std::string::npos;
        } else {
            EXPECT_NE(e.find(allowed), std::string::npos) << e;
        }
    }
    EXPECT_TRUE(named) << "the blocked flow's event names the executable";
}

TEST_F(NetfilterModuleTest, IcmpEchoRuleBlocksPingsToThePeerOnly)
{
    EXPECT_TRUE(Ping(kPeer, 0x4101, kAllowedMs)) << "no policy yet";
    Push(1, Rule("block-echo", "BLOCK", R"("icmp")", "{}",
                 R"({"match_multiple_subnets": [")" + std::string(kPeer) +
                     R"(/32"], "match_icmp_types": [{"ver": "4", "type": 8, "codes": []}]})"));
    EXPECT_FALSE(Ping(kPeer, 0x4102, kBlockedMs)) << "echo requests to the peer are blocked";
    EXPECT_TRUE(Ping(kLocal, 0x4103, kAllowedMs)) << "echo requests elsewhere are not";
    /* TCP to the peer is not ICMP. */
    int s = Connect(kSshPort, kAllowedMs);
    EXPECT_GE(s, 0);
    if (s >= 0) {
        close(s);
    }
    /* The echo's event names this process: the raw socket it sent from. */
    EXPECT_TRUE(hvtest::WaitFor(
        [&] {
            std::string text = hvtest::ReadFile(dir_ + "/events.json", "");
            return std::regex_search(text, std::regex("\"pid\": " + std::to_string(getpid()) +
                                                      ",[^\n]*\"dest_port\": 0,[^\n]*\"verdict\": "
                                                      "\"Block\", \"rule_id\": \"block-echo\""));
        },
        20000, 50))
        << hvtest::ReadFile(dir_ + "/events.json", "");
}

TEST_F(NetfilterModuleTest, PolicySwapJudgesNewFlowsWhileAnEstablishedOneContinues)
{
    Push(1, Rule("allow-ssh", "ALLOW", R"("tcp")", "{}", PeerPort(kSshPort)));
    int kept = Connect(kSshPort, kAllowedMs);
    ASSERT_GE(kept, 0) << DaemonLog();
    ASSERT_TRUE(Echoes(kept, "before"));
    Push(2, Rule("block-ssh", "BLOCK", R"("tcp")", "{}", PeerPort(kSshPort)));
    EXPECT_LT(Connect(kSshPort, kBlockedMs), 0) << "a new flow meets the new policy";
    EXPECT_TRUE(Echoes(kept, "after")) << "the established flow continues";
    close(kept);
    EXPECT_TRUE(WaitEvent(kSshPort, "Allow", "allow-ssh"));
    EXPECT_TRUE(WaitEvent(kSshPort, "Block", "block-ssh"));
    Push(3, Rule("allow-ssh-again", "ALLOW", R"("tcp")", "{}", PeerPort(kSshPort)));
    int again = Connect(kSshPort, kAllowedMs);
    EXPECT_GE(again, 0) << "a swap back lets new flows through again";
    if (again >= 0) {
        close(again);
    }
}

TEST_F(NetfilterModuleTest, TrafficFlowsWhenTheDaemonIsGone)
{
    Push(1, Rule("block-db", "BLOCK", R"("tcp")", "{}", PeerPort(kDbPort)));
    EXPECT_LT(Connect(kDbPort, kBlockedMs), 0);
    Stop();
    /* Killed, it cannot remove its table: the queue's bypass lets packets through. */
    pid_t daemon = hvtest::DriverDaemonPid(dir_ + "/run");
    ASSERT_GT(daemon, 0);
    kill(daemon, SIGKILL);
    ASSERT_TRUE(hvtest::WaitFor([&] { return hvtest::DriverDaemonPid(dir_ + "/run") == 0; }, 10000));
    EXPECT_EQ(Nft({"list", "table", "inet", "holvenstad"}).exit_code, 0) << "the table stays behind";
    int s = Connect(kDbPort, kAllowedMs);
    EXPECT_GE(s, 0) << "nothing reads the queue, so it is bypassed";
    if (s >= 0) {
        EXPECT_TRUE(Echoes(s, "through"));
        close(s);
    }
}

TEST_F(NetfilterModuleTest, SecondDaemonCannotTakeTheQueueAndTheFirstKeepsJudging)
{
    Push(1, Rule("block-db", "BLOCK", R"("tcp")", "{}", PeerPort(kDbPort)));
    std::string other = dir_ + "/other";
    std::filesystem::create_directories(other);
    char **env = g_get_environ();
    env = g_environ_setenv(env, "HV_RUNTIME_DIR", other.c_str(), TRUE);
    env = g_environ_setenv(env, "HV_ENDR_EMU_ADDRESS", ("ipc://" + other + "/endr.ipc").c_str(), TRUE);
    env = g_environ_setenv(env, "HV_ENDR_ENGINE", "netfilter", TRUE);
    Outcome second = hvtest::RunProgram({HV_ENDRD}, other.c_str(), env);
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_NE(second.err.find("cannot bind netfilter queue 4210"), std::string::npos) << second.err;
    env = g_environ_setenv(env, "HV_ENDR_ENGINE", "kernel", TRUE);
    Outcome bad = hvtest::RunProgram({HV_ENDRD}, other.c_str(), env);
    EXPECT_EQ(bad.exit_code, 2) << bad.err;
    env = g_environ_setenv(env, "HV_ENDR_ENGINE", "netfilter", TRUE);
    env = g_environ_setenv(env, "HV_ENDR_QUEUE", "65536", TRUE);
    bad = hvtest::RunProgram({HV_ENDRD}, other.c_str(), env);
    EXPECT_EQ(bad.exit_code, 2) << bad.err;
    g_strfreev(env);
    /* The running daemon's table and queue are untouched. */
    EXPECT_LT(Connect(kDbPort, kBlockedMs), 0);
    int s = Connect(kSshPort, kAllowedMs);
    EXPECT_GE(s, 0);
    if (s >= 0) {
        close(s);
    }
}

TEST_F(NetfilterModuleTest, StoppingADaemonLeavesTheTableAnotherDaemonReplacedItWith)
{
    std::string other = dir_ + "/other";
    std::filesystem::create_directories(other);
    char **env = g_get_environ();
    env = g_environ_setenv(env, "HV_RUNTIME_DIR", other.c_str(), TRUE);
    env = g_environ_setenv(env, "HV_ENDR_EMU_ADDRESS", ("ipc://" + other + "/endr.ipc").c_str(), TRUE);
    env = g_environ_setenv(env, "HV_ENDR_ENGINE", "netfilter", TRUE);
    env = g_environ_setenv(env, "HV_ENDR_QUEUE", "4211", TRUE);
    const char *argv[] = {HV_ENDRD, nullptr};
    GPid second = 0;
    bool spawned = g_spawn_async(other.c_str(), const_cast<char **>(argv), env,
                                 static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL |
                                                          G_SPAWN_STDERR_TO_DEV_NULL),
                                 nullptr, nullptr, &second, nullptr);
    g_strfreev(env);
    ASSERT_TRUE(spawned);
    auto table = [&] {
        Outcome o = Nft({"list", "table", "inet", "holvenstad"});
        return o.exit_code == 0 ? o.out : std::string();
    };
    bool replaced = hvtest::WaitFor([&] { return table().find("4211") != std::string::npos; }, 20000);
    EXPECT_TRUE(replaced) << table();

    /* The first daemon stops: the table in place is the second one's and stays. */
    Stop();
    EXPECT_TRUE(hvtest::StopDriverDaemon(dir_ + "/run"));
    EXPECT_NE(table().find("4211"), std::string::npos) << "the first daemon removed the second one's table";

    kill(second, SIGTERM);
    int status = 0;
    waitpid(second, &status, 0);
    g_spawn_close_pid(second);
    EXPECT_TRUE(table().empty()) << "the second daemon left its table: " << table();
}

TEST_F(NetfilterExcludedTest, ExcludedInterfaceIsNeverQueued)
{
    Push(1, Rule("block-db", "BLOCK", R"("tcp")", "{}", PeerPort(kDbPort)) + ", " +
                Rule("block-echo", "BLOCK", R"("icmp")", "{}", "{}"));
    ASSERT_TRUE(hvtest::WaitFor([&] { return DaemonLogHas("1 excluded interfaces are not queued"); }, 20000))
        << DaemonLog();
    int s = Connect(kDbPort, kAllowedMs);
    EXPECT_GE(s, 0) << "traffic over the excluded interface is not judged";
    if (s >= 0) {
        EXPECT_TRUE(Echoes(s, "excluded"));
        close(s);
    }
    /* Loopback is not excluded: the policy holds there. */
    EXPECT_FALSE(Ping(kLocal, 0x4201, kBlockedMs));
    ASSERT_TRUE(WaitEvent(0, "Block", "block-echo")) << hvtest::ReadFile(dir_ + "/events.json", "");
    EXPECT_TRUE(ConnectionEvents(kDbPort).empty()) << hvtest::ReadFile(dir_ + "/events.json", "");
}

TEST_F(NetfilterModuleTest, Ipv6AndUdpFlowsAreJudgedToo)
{
    Push(1, Rule("block-db6", "BLOCK", R"("tcp")", "{}",
                 R"({"match_multiple_subnets": [")" + std::string(kPeer6) + R"(/128"], "match_ports": [5432]})") +
                ", " + Rule("block-mdns", "BLOCK", R"("udp")", "{}", PeerPort(kUdpPort)));
    int ssh6 = Connect(kSshPort, kAllowedMs, kPeer6);
    EXPECT_GE(ssh6, 0) << DaemonLog();
    if (ssh6 >= 0) {
        EXPECT_TRUE(Echoes(ssh6, "six"));
        close(ssh6);
    }
    EXPECT_LT(Connect(kDbPort, kBlockedMs, kPeer6), 0) << "the policy blocks 5432 on the IPv6 peer";
    /* Headers the kernel walks past do not hide the ports: a destination options header
     * longer than a short copy of the packet would hold. */
    EXPECT_LT(Open(kPeer6, kDbPort, SOCK_STREAM, kBlockedMs, 33), 0) << "extension headers hid the flow";
    int padded = Open(kPeer6, kSshPort, SOCK_STREAM, kAllowedMs, 33);
    EXPECT_GE(padded, 0) << "the peer takes the padded packets";
    if (padded >= 0) {
        close(padded);
    }
    int db4 = Connect(kDbPort, kAllowedMs);
    EXPECT_GE(db4, 0) << "the IPv6 rule leaves IPv4 alone";
    if (db4 >= 0) {
        close(db4);
    }
    int other = Open(kPeer, kUdpOtherPort, SOCK_DGRAM, kAllowedMs);
    ASSERT_GE(other, 0);
    EXPECT_TRUE(Echoes(other, "datagram", kAllowedMs)) << "UDP to another port passes";
    close(other);
    int mdns = Open(kPeer, kUdpPort, SOCK_DGRAM, kAllowedMs);
    ASSERT_GE(mdns, 0);
    EXPECT_FALSE(Echoes(mdns, "datagram", kBlockedMs)) << "UDP to 5353 is blocked";
    close(mdns);

    ASSERT_TRUE(WaitEvent(kDbPort, "Block", "block-db6")) << hvtest::ReadFile(dir_ + "/events.json", "");
    ASSERT_TRUE(WaitEvent(kUdpPort, "Block", "block-mdns")) << hvtest::ReadFile(dir_ + "/events.json", "");
    ASSERT_TRUE(WaitEvent(kUdpOtherPort, "Allow", "")) << hvtest::ReadFile(dir_ + "/events.json", "");
    for (const std::string &e : ConnectionEvents(kDbPort)) {
        if (e.find("block-db6") != std::string::npos) {
            EXPECT_NE(e.find("\"ipv6_tuple\""), std::string::npos) << e;
            EXPECT_NE(e.find("\"pid\": " + std::to_string(getpid()) + ","), std::string::npos) << e;
        }
    }
    for (const std::string &e : ConnectionEvents(kUdpPort)) {
        EXPECT_NE(e.find("\"pid\": " + std::to_string(getpid()) + ","), std::string::npos) << e;
    }
}

} // namespace
