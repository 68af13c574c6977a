/* The real module process with its TLS channel to the hv-mgmt stand-in over loopback. */
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/common/module-fixture.h"
#include "tests/tls/tls-fixture.h"

namespace {

const std::string kPing = "{\"execute\": \"ping\"}";
const std::string kPong = "{\"return\": {}}";

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

    tlstest::Mgmt mgmt_;
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
