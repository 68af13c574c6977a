/* The real module process with its TLS channel to the hv-mgmt stand-in over loopback. */
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/common/module-fixture.h"
#include "tests/tls/tls-fixture.h"

namespace {

const std::string kPing = "{\"execute\": \"ping\"}";
const std::string kPong = "{\"return\": {}}";

/* A real HTTP proxy on a loopback port of its own, in the foreground, its files in the test's folder. */
class HttpProxy {
public:
    ~HttpProxy() { Stop(); }

    static bool Installed() { return access(kProgram, X_OK) == 0; }

    /* The port it listens on once it accepts connections, 0 on failure; CONNECT only to connect_port. */
    int Start(const std::string &dir, int port, int connect_port)
    {
        std::string conf = dir + "/proxy.conf";
        hvtest::WriteFile(conf, "Port " + std::to_string(port) + "\nListen 127.0.0.1\nAllow 127.0.0.1\nConnectPort " +
                                    std::to_string(connect_port) + "\nPidFile \"" + dir + "/proxy.pid\"\nLogFile \"" +
                                    dir + "/proxy.log\"\nTimeout 600\n");
        std::vector<std::string> args = {kProgram, "-d", "-c", conf};
        std::vector<char *> argv;
        for (std::string &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (!g_spawn_async(dir.c_str(), argv.data(), nullptr,
                           static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL |
                                                    G_SPAWN_STDERR_TO_DEV_NULL),
                           nullptr, nullptr, &pid_, nullptr)) {
            return 0;
        }
        bool up = hvtest::WaitFor([&] { return waitpid(pid_, nullptr, WNOHANG) == 0 && Accepts(port); }, 30000, 20);
        return up ? port : 0;
    }

    void Stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = 0;
        }
    }

private:
    static constexpr const char *kProgram = "/usr/bin/tinyproxy";

    static bool Accepts(int port)
    {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0;
        close(fd);
        return ok;
    }

    GPid pid_ = 0;
};

class TlsModuleTest : public hvtest::ModuleFixture {
protected:
    TlsModuleTest() : ModuleFixture("hv-tls-module") {}

    void SetUp() override
    {
        ModuleFixture::SetUp();
        hvtest::Outcome made = hvtest::RunProgram({HV_MAKE_TEST_CERTS, dir_ + "/certs"});
        ASSERT_EQ(made.exit_code, 0) << made.err;
    }
    void TearDown() override
    {
        ModuleFixture::TearDown();
        mgmt_.Stop();
        proxy_.Stop();
    }

    std::string Cert(const std::string &name) const { return dir_ + "/certs/" + name; }

    int StartMgmt(const std::vector<std::string> &extra)
    {
        std::vector<std::string> args = {"--cert", Cert("server.pem"), "--key", Cert("server.key")};
        args.insert(args.end(), extra.begin(), extra.end());
        return mgmt_.Start(args, dir_ + "/mgmt.err");
    }

    /* paths: "-p" and its addresses, or priority slots ("-p1" ADDRESSES "-p2" ADDRESSES ...). */
    std::vector<std::string> TlsOptions(const std::vector<std::string> &paths, const std::string &name = "localhost") const
    {
        std::vector<std::string> args = {"--method", "tcp-tls", "-A", Cert("ca.pem"), "-C", Cert("client.pem"),
                                         "-K", Cert("client.key"), "--remote-name", name};
        args.insert(args.end(), paths.begin(), paths.end());
        return args;
    }

    bool Alive() const { return waitpid(module_, nullptr, WNOHANG) == 0; }

    /* "VERDICT:rule-id" for an outgoing TCP connection from a non-loopback address to remote. */
    std::string Decide(const std::string &remote) const
    {
        hvtest::Outcome o = Run({HV_ENDR, "classify", "--direction", "out", "--protocol", "tcp", "--local",
                                 "10.0.0.9:40000", "--remote", remote});
        std::smatch v, r;
        if (o.exit_code != 0 || !std::regex_search(o.out, v, std::regex(R"re("verdict": "([A-Z]+)")re")) ||
            !std::regex_search(o.out, r, std::regex(R"re("rule-id": "([^"]*)")re"))) {
            return "failed: " + o.out + o.err;
        }
        return v[1].str() + ":" + r[1].str();
    }

    /* Blocks everything outgoing the management side's policy does not name. */
    void PushDefaultBlock()
    {
        mgmt_.SendLine(R"({"execute": "set-enforcement-policy", "arguments": {"revision": 3, "input-table": [)"
                       R"({"chain_name": "DEFAULT-BLOCK", "rules": [{"id": "in-block", "verdict": "BLOCK", )"
                       R"("protocols": ["tcp", "udp"], "match_src": {}, "match_dst": {}}]}], "output-table": [)"
                       R"({"chain_name": "DEFAULT-BLOCK", "rules": [{"id": "out-block", "verdict": "BLOCK", )"
                       R"("protocols": ["tcp", "udp"], "match_src": {}, "match_dst": {}}]}]}})");
        std::string reply = mgmt_.NextLine();
        ASSERT_EQ(reply.rfind("{\"return\"", 0), 0u) << reply << LogText();
    }

    /* A free loopback port nobody listens on (nothing else binds it before the caller does). */
    static int FreePort()
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        int port = 0;
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
            port = ntohs(a.sin_port);
        }
        close(fd);
        return port;
    }

    tlstest::Mgmt mgmt_;
    HttpProxy proxy_;
};

TEST_F(TlsModuleTest, CommandsRunOverTheChannelAndTheModuleReconnectsToARestartedManagementSide)
{
    int port = StartMgmt({"--send-text", kPing, "--send-text", "{\"execute\": \"get-state\"}"});
    ASSERT_GT(port, 0);
    std::string address = "127.0.0.1:" + std::to_string(port);
    /* One slot is shuffled; slots are tried in order. */
    StartWith(TlsOptions({"-p1", "127.0.0.1:1", "-p2", address}));
    EXPECT_EQ(mgmt_.NextLine(), kPong) << LogText();
    EXPECT_EQ(mgmt_.NextLine().rfind("{\"return\": \"", 0), 0u);
    mgmt_.SendLine("{\"execute\": \"no-such-command\"}");
    EXPECT_NE(mgmt_.NextLine().find("\"error\""), std::string::npos);
    EXPECT_TRUE(LogHas("[qmp-server-tls] connection established with '" + address + "' and ready to accept commands"));
    EXPECT_TRUE(LogHas("[qmp-manager] update selected SSL destination to :" + address));
    EXPECT_TRUE(LogHas("[qmp-server-tls] TCP/TLS connect to next remote - " + address));

    /* The management side goes away and comes back on the same port: the module finds it again. */
    mgmt_.Stop();
    ASSERT_TRUE(hvtest::WaitFor([&] { return LogHas("[qmp-manager] update running offline to : true"); }, 30000, 20));
    ASSERT_EQ(StartMgmt({"--port", std::to_string(port), "--send-text", kPing}), port);
    std::string line;
    ASSERT_TRUE(hvtest::WaitFor([&] { return (line = mgmt_.NextLine()) != "<stalled>"; }, 60000, 1));
    EXPECT_EQ(line, kPong) << LogText();
    EXPECT_TRUE(LogHas("[qmp-manager] reconnect"));
    EXPECT_TRUE(Alive());
}

/* No method given: the channel is completed from the registry and the data folder's certificates. */
TEST_F(TlsModuleTest, WithoutAMethodTheCompletedChannelIsUsed)
{
    int port = StartMgmt({"--send-text", kPing});
    ASSERT_GT(port, 0);
    std::string certs = dir_ + "/data/certs";
    std::filesystem::create_directories(certs);
    std::filesystem::copy_file(Cert("ca.pem"), certs + "/client.ca.pem");
    std::filesystem::copy_file(Cert("client.pem"), certs + "/client.cert.pem");
    std::filesystem::copy_file(Cert("client.key"), certs + "/client.key.pem");
    hvtest::WriteFile(registry_, hvtest::ReadFile(registry_) + "HV_SERVER_ADDRESS=127.0.0.1:" + std::to_string(port) +
                                     "\nHV_ENFORCEMENT_SERVER_NAME=localhost\n");
    StartWith({});
    EXPECT_EQ(mgmt_.NextLine(), kPong) << LogText();
}

/* Nobody to talk to: the module keeps running and keeps trying, and still stops cleanly. */
TEST_F(TlsModuleTest, AnUnreachableManagementSideIsRetriedNotFatal)
{
    StartWith(TlsOptions({"-p", "127.0.0.1:1"}));
    ASSERT_TRUE(hvtest::WaitFor([&] { return LogHas("[qmp-manager] scheduling server reconnect with interval - 10"); },
                                30000, 20))
        << LogText();
    EXPECT_TRUE(LogHas("[qmp-server-tls] failed to establish TCP/TLS connection: error attempting connect to"));
    EXPECT_FALSE(LogHas("could not create QMP TCP/TLS command server"));
    EXPECT_TRUE(Alive());
}

/* The management side stays reachable under a policy that blocks everything else. */
TEST_F(TlsModuleTest, TheManagementAddressIsAllowedUnderADefaultBlockPolicy)
{
    int port = StartMgmt({"--send-text", kPing});
    ASSERT_GT(port, 0);
    std::string address = "127.0.0.1:" + std::to_string(port);
    StartWith(TlsOptions({"-p", address}));
    ASSERT_EQ(mgmt_.NextLine(), kPong) << LogText();
    EXPECT_TRUE(LogHas("[main] en-policy should allow server address " + address)) << LogText();
    ASSERT_NO_FATAL_FAILURE(PushDefaultBlock());
    EXPECT_EQ(Decide(address), "ALLOW:implicit-server-rule") << LogText();
    EXPECT_EQ(Decide("127.0.0.1:" + std::to_string(port == 65535 ? port - 1 : port + 1)), "BLOCK:out-block");
    EXPECT_EQ(Decide("192.0.2.7:" + std::to_string(port)), "BLOCK:out-block");
}

/* Through a real proxy; the proxy, not the management side, is then the address to keep allowed. */
TEST_F(TlsModuleTest, TheManagementSideIsReachedThroughAnHttpProxy)
{
    if (!HttpProxy::Installed()) {
        GTEST_SKIP() << "tinyproxy is not installed";
    }
    int port = StartMgmt({"--send-text", kPing});
    ASSERT_GT(port, 0);
    int proxy = proxy_.Start(dir_, FreePort(), port);
    ASSERT_GT(proxy, 0);
    std::string proxy_address = "127.0.0.1:" + std::to_string(proxy);
    StartWith(TlsOptions({"-p", "127.0.0.1:" + std::to_string(port), "-X", "http://" + proxy_address}));
    EXPECT_EQ(mgmt_.NextLine(), kPong) << LogText();
    EXPECT_TRUE(LogHas("[qmp-tls-client] proxy tcp/tls connection"));
    EXPECT_NE(hvtest::ReadFile(dir_ + "/proxy.log", "").find("CONNECT 127.0.0.1:" + std::to_string(port)),
              std::string::npos);
    EXPECT_TRUE(LogHas("[main] en-policy should allow server address " + proxy_address)) << LogText();
    ASSERT_NO_FATAL_FAILURE(PushDefaultBlock());
    EXPECT_EQ(Decide(proxy_address), "ALLOW:implicit-server-rule");
    EXPECT_EQ(Decide("127.0.0.1:" + std::to_string(port)), "BLOCK:out-block");
}

TEST_F(TlsModuleTest, AProxyRefusingTheTunnelFailsTheAttemptNotTheModule)
{
    if (!HttpProxy::Installed()) {
        GTEST_SKIP() << "tinyproxy is not installed";
    }
    int port = StartMgmt({"--send-text", kPing});
    ASSERT_GT(port, 0);
    /* Tunnels only to a port that is not the management side's. */
    int proxy = proxy_.Start(dir_, FreePort(), port == 65535 ? port - 1 : port + 1);
    ASSERT_GT(proxy, 0);
    StartWith(TlsOptions({"-p", "127.0.0.1:" + std::to_string(port), "-X", "http://127.0.0.1:" + std::to_string(proxy)}));
    ASSERT_TRUE(hvtest::WaitFor([&] { return LogHas("[qmp-manager] scheduling server reconnect with interval"); },
                                30000, 20))
        << LogText();
    EXPECT_TRUE(LogHas("[qmp-server-tls] failed to establish TCP/TLS connection: received HTTP Status 403 from proxy "
                       "server"))
        << LogText();
    EXPECT_FALSE(LogHas("ready to accept commands"));
    EXPECT_TRUE(Alive());
}

TEST_F(TlsModuleTest, AProxyThatIsDownFailsTheAttemptNotTheModule)
{
    int port = StartMgmt({"--send-text", kPing});
    ASSERT_GT(port, 0);
    /* Nothing listens on the proxy's port. */
    int proxy = FreePort();
    ASSERT_GT(proxy, 0);
    StartWith(TlsOptions({"-p", "127.0.0.1:" + std::to_string(port), "-X", "http://127.0.0.1:" + std::to_string(proxy)}));
    ASSERT_TRUE(hvtest::WaitFor([&] { return LogHas("[qmp-manager] scheduling server reconnect with interval"); },
                                30000, 20))
        << LogText();
    EXPECT_TRUE(LogHas("[qmp-server-tls] failed to establish TCP/TLS connection: error attempting connect to"))
        << LogText();
    EXPECT_FALSE(LogHas("ready to accept commands"));
    EXPECT_TRUE(Alive());
}

TEST_F(TlsModuleTest, AManagementSideWithAnotherNameIsRefused)
{
    int port = StartMgmt({"--send-text", kPing});
    ASSERT_GT(port, 0);
    StartWith(TlsOptions({"-p", "127.0.0.1:" + std::to_string(port)}, "mgmt.invalid"));
    ASSERT_TRUE(hvtest::WaitFor([&] { return LogHas("[qmp-tls-client] tls handshake failed with error: "); }, 30000, 20))
        << LogText();
    ASSERT_TRUE(hvtest::WaitFor([&] { return mgmt_.Stderr().find("handshake failed") != std::string::npos; }, 30000, 20))
        << mgmt_.Stderr();
    EXPECT_FALSE(LogHas("ready to accept commands"));
    EXPECT_TRUE(Alive());
}

} // namespace
