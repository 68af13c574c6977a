#include <glib.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "enforcement/framework/agent/enforcement-options.h"
#include "test-support.h"

using ::testing::ExitedWithCode;
using ::testing::StrEq;

namespace {

/* Owns a writable argv for getopt, which may permute it. */
class Args {
public:
    Args(std::initializer_list<const char *> words)
    {
        for (const char *w : words) {
            storage_.emplace_back(w);
        }
        for (std::string &s : storage_) {
            argv_.push_back(s.data());
        }
        argv_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(argv_.size()) - 1; }
    char **argv() { return argv_.data(); }

private:
    std::vector<std::string> storage_;
    std::vector<char *> argv_;
};

class EnOptionsTest : public RegistryFixture {
protected:
    void SetUp() override
    {
        RegistryFixture::SetUp();
        en_options_init(&opts_);
        opts_.server_name_variable = "HV_ENFORCEMENT_SERVER_NAME";
        opts_.default_server_name = "holvenstad-enforcement-server";
    }
    void TearDown() override
    {
        en_options_clear(&opts_);
        RegistryFixture::TearDown();
    }

    /* Parses and returns what was printed on standard output. */
    std::string Parse(std::initializer_list<const char *> words, bool expect_ok = true)
    {
        Args args(words);
        ::testing::internal::CaptureStdout();
        bool ok = en_parse_options(args.argc(), args.argv(), &opts_);
        fflush(stdout);
        std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(ok, expect_ok) << out;
        return out;
    }

    /* Runs a parse that must end the process, with standard output sent to the
     * death-test's captured stream. */
    void ParseToExit(std::initializer_list<const char *> words)
    {
        Args args(words);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        en_parse_options(args.argc(), args.argv(), &opts_);
    }

    static std::vector<std::string> Sorted(const char *list)
    {
        std::vector<std::string> out;
        g_auto(GStrv) parts = g_strsplit(list, ",", -1);
        for (char **p = parts; *p; p++) {
            out.emplace_back(*p);
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    EnOptions opts_{};
};

} // namespace

TEST_F(EnOptionsTest, EveryOptionLandsInItsField)
{
    EXPECT_EQ(Parse({"agent", "-u", "uuid-1", "-l", "/log", "-f", "/pid", "-v", "-x", "medium",
                     "-i", "-P", "-D", "-B", "-E", "eth0", "--excluded-interface=eth1", "-R",
                     "-r", "/drv.log", "-T", "2500", "-A", "/ca", "-C", "/cert", "-K", "/key",
                     "-X", "http://proxy:3128", "--method", "socket", "--remote-name", "srv",
                     "-p", "h:1"}),
              "");
    const agent_config_t &c = opts_.config;
    EXPECT_STREQ(c.uuid, "uuid-1");
    EXPECT_STREQ(c.logfile, "/log");
    EXPECT_STREQ(c.pidfile, "/pid");
    EXPECT_EQ(c.log_level & G_LOG_LEVEL_MASK,
              static_cast<uint32_t>(G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING |
                                    G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO | G_LOG_LEVEL_DEBUG));
    EXPECT_EQ(opts_.logging_profile, 2);
    EXPECT_FALSE(opts_.implicit_dns_rules);
    EXPECT_TRUE(opts_.implicit_dns_rules_from_cmdline);
    EXPECT_FALSE(opts_.use_persistent_policy);
    EXPECT_FALSE(opts_.restore_dns_cache);
    EXPECT_FALSE(opts_.send_batch_events);
    ASSERT_EQ(g_slist_length(c.excluded_ifaces), 2u);
    EXPECT_STREQ(static_cast<char *>(c.excluded_ifaces->data), "eth1");
    EXPECT_STREQ(static_cast<char *>(c.excluded_ifaces->next->data), "eth0");
    EXPECT_EQ(c.skip_channel_restart, 1);
    EXPECT_STREQ(c.driver_logfile, "/drv.log");
    EXPECT_EQ(c.connect_timeout_ms, 2500u);
    EXPECT_STREQ(c.tls.ca_file, "/ca");
    EXPECT_STREQ(c.tls.client_cert, "/cert");
    EXPECT_STREQ(c.tls.client_key, "/key");
    EXPECT_STREQ(c.tls.remote_name, "srv");
    EXPECT_STREQ(c.proxy, "http://proxy:3128");
    EXPECT_STREQ(c.method, "socket");
    EXPECT_STREQ(c.servers, "h:1");
    EXPECT_FALSE(c.ctrl_mode);
    EXPECT_EQ(opts_.ctrl.command, nullptr);
    EXPECT_TRUE(en_validate_options(&opts_));
    EXPECT_TRUE(warnings().empty());
}

TEST_F(EnOptionsTest, DefaultsAndControlCommand)
{
    EXPECT_EQ(Parse({"agent", "--ctrl=dump-policy", "--export-path", "/tmp/out"}), "");
    EXPECT_TRUE(opts_.config.ctrl_mode);
    EXPECT_STREQ(opts_.ctrl.command, "dump-policy");
    EXPECT_STREQ(opts_.ctrl.argument, "/tmp/out");
    EXPECT_TRUE(opts_.use_persistent_policy);
    EXPECT_TRUE(opts_.restore_dns_cache);
    EXPECT_TRUE(opts_.send_batch_events);
    EXPECT_TRUE(opts_.implicit_dns_rules);
    EXPECT_FALSE(opts_.implicit_dns_rules_from_cmdline);
    EXPECT_EQ(opts_.logging_profile, 0);
    EXPECT_EQ(opts_.config.log_level, 0u);
    /* Control-command mode leaves the channel alone: no method, nothing to validate. */
    EXPECT_EQ(opts_.config.method, nullptr);
    EXPECT_TRUE(en_validate_options(&opts_));
    EXPECT_EQ(opts_.config.connect_timeout_ms, 0u);

    en_options_clear(&opts_);
    opts_.dry_run = true;
    EXPECT_EQ(Parse({"agent", "-x", "min"}), "");
    EXPECT_EQ(opts_.config.method, nullptr);
    EXPECT_EQ(opts_.logging_profile, 1);
    EXPECT_EQ(Parse({"agent", "--logging-profile=max"}), "");
    EXPECT_EQ(opts_.logging_profile, 3);
    EXPECT_TRUE(warnings().empty());
}

TEST_F(EnOptionsTest, PriorityListsJoinHighestFirst)
{
    Parse({"agent", "--method=socket", "-p", "a:1;b:2,c:3"});
    EXPECT_EQ(Sorted(opts_.config.servers), (std::vector<std::string>{"a:1", "b:2", "c:3"}));

    en_options_clear(&opts_);
    Parse({"agent", "--method=socket", "-p2", "y", "-v", "-p1", "x"});
    EXPECT_STREQ(opts_.config.servers, "x,y");
    EXPECT_NE(opts_.config.log_level, 0u);

    en_options_clear(&opts_);
    Parse({"agent", "--method=socket", "--path=2", "m;n"});
    EXPECT_EQ(Sorted(opts_.config.servers), (std::vector<std::string>{"m", "n"}));

    en_options_clear(&opts_);
    Parse({"agent", "--method=socket", "-p", "0"});
    EXPECT_STREQ(opts_.config.servers, "0");
}

TEST_F(EnOptionsTest, PriorityMisuseFailsWithItsMessage)
{
    struct Case {
        std::initializer_list<const char *> words;
        const char *message;
    };
    const Case cases[] = {
        {{"agent", "-p", "a", "-p", "b"},
         "Incorrect usage, -p cannot be used more than once, see 'agent --help' for more "
         "information.\n"},
        {{"agent", "-p", "a", "-p3", "b"},
         "Incorrect usage, -p3 cannot be used together with -p, see 'agent --help' for more "
         "information.\n"},
        {{"agent", "-p3", "b", "-p", "a"},
         "Incorrect usage, -p cannot be used together with -pN, see 'agent --help' for more "
         "information.\n"},
        {{"agent", "-p4", "b", "-p4", "c"},
         "Incorrect usage, -p4 cannot be used more than once, see 'agent --help' for more "
         "information.\n"},
        {{"agent", "-p5"},
         "Incorrect usage, -p5 needs an address list, see 'agent --help' for more "
         "information.\n"},
        {{"agent", "-z"}, "Unknown option, try 'agent --help' for more information.\n"},
        {{"agent", "--no-such-option"}, "Unknown option, try 'agent --help' for more information.\n"},
        {{"agent", "-u"}, "Unknown option, try 'agent --help' for more information.\n"},
    };
    for (const Case &c : cases) {
        en_options_clear(&opts_);
        EXPECT_EQ(Parse(c.words, false), c.message);
    }
}

TEST_F(EnOptionsTest, CompletionFromTheRegistry)
{
    WriteRegistry("HV_DATA_FOLDER=" + dir() + "\nHV_SERVER_ADDRESS=10.1.1.1:443;10.1.1.2:443\n");
    EXPECT_EQ(Parse({"agent", "-K", "/own.key"}), "");
    const agent_config_t &c = opts_.config;
    EXPECT_STREQ(c.method, "tcp-tls");
    EXPECT_EQ(c.tls.ca_file, dir() + "/certs/client.ca.pem");
    EXPECT_EQ(c.tls.client_cert, dir() + "/certs/client.cert.pem");
    EXPECT_STREQ(c.tls.client_key, "/own.key");
    EXPECT_STREQ(c.tls.remote_name, "holvenstad-enforcement-server-v2");
    EXPECT_TRUE(HasWarningStartingWith(
        "[agent-utils] Unable to get Holvenstad registry value for 'HV_ENFORCEMENT_SERVER_NAME', "
        "Using default 'holvenstad-enforcement-server-v2': "));
    EXPECT_EQ(Sorted(c.servers), (std::vector<std::string>{"10.1.1.1:443", "10.1.1.2:443"}));
    EXPECT_TRUE(en_validate_options(&opts_));
    EXPECT_EQ(c.connect_timeout_ms, 10000u);

    /* Command-line lists win over the registry address. */
    en_options_clear(&opts_);
    WriteRegistry("HV_DATA_FOLDER=/d\nHV_SERVER_ADDRESS=reg\nHV_ENFORCEMENT_SERVER_NAME=named\n");
    Parse({"agent", "-p1", "cli"});
    EXPECT_STREQ(opts_.config.servers, "cli");
    EXPECT_STREQ(opts_.config.tls.remote_name, "named");
}

TEST_F(EnOptionsTest, NoServerAddressFailsValidation)
{
    WriteRegistry("HV_DATA_FOLDER=/d\n");
    EXPECT_EQ(Parse({"agent"}), "");
    EXPECT_TRUE(HasWarningStartingWith("[agent-utils] Unable to get Holvenstad server address: "));
    EXPECT_TRUE(HasWarningStartingWith("Failed to complete channel args. No SSL addresses found: "));
    EXPECT_EQ(opts_.config.servers, nullptr);
    EXPECT_STREQ(opts_.config.tls.client_key, "/d/certs/client.key.pem") << "the rest is still completed";
    Clear();
    EXPECT_FALSE(en_validate_options(&opts_));
    ASSERT_EQ(warnings().size(), 1u);
    EXPECT_EQ(warnings()[0], "Invalid Usage: must specify a path for channel of type 'tcp-tls'\n");
}

using EnOptionsDeathTest = EnOptionsTest;

/* Help, version and "-T 0" exit through the launcher in launcher_test. */
TEST_F(EnOptionsDeathTest, InvalidTimeoutTextsExitOne)
{
    fflush(stdout);
    EXPECT_EXIT(ParseToExit({"agent", "--connect-timeout-ms=soon"}), ExitedWithCode(1),
                StrEq("invalid connect timeout (soon).\n"));
    EXPECT_EXIT(ParseToExit({"agent", "-T", "-5"}), ExitedWithCode(1),
                StrEq("invalid connect timeout (-5).\n"));
}

TEST(EnOptionsLogfile, FoundAsTheParserReadsTheOptions)
{
    const struct {
        std::initializer_list<const char *> words;
        const char *logfile;
    } cases[] = {
        {{"-l", "/a.log"}, "/a.log"},
        {{"-l/a.log"}, "/a.log"},
        {{"-vl", "/a.log"}, "/a.log"},
        {{"-vl/a.log"}, "/a.log"},
        {{"-iPvl", "/a.log", "-u", "x"}, "/a.log"},
        {{"--logfile", "/a.log"}, "/a.log"},
        {{"--logfile=/a.log"}, "/a.log"},
        {{"--logf=/a.log"}, "/a.log"},
        {{"--logf", "/a.log"}, "/a.log"},
        {{"--method", "stdin", "extra", "-l", "/a.log"}, "/a.log"},
        {{"-l", "/a.log", "-l", "/b.log"}, "/b.log"},
        /* Values of other options are not log files. */
        {{"-u", "-l/a.log"}, nullptr},
        {{"-u-l/a.log"}, nullptr},
        {{"--uuid", "-l"}, nullptr},
        {{"-p1", "-l/a.log"}, nullptr},
        {{"-p", "-l/a.log"}, nullptr},
        {{"--method=-l/a.log"}, nullptr},
        {{"--", "-l", "/a.log"}, nullptr},
        {{"--bogus", "-v"}, nullptr},
        {{"-l"}, nullptr},
        {{}, nullptr},
    };
    for (const auto &c : cases) {
        std::string text;
        for (const char *w : c.words) {
            text += std::string(w) + " ";
        }
        SCOPED_TRACE(text);
        std::vector<const char *> words = {"hv-agent"};
        words.insert(words.end(), c.words.begin(), c.words.end());
        std::vector<std::string> storage(words.begin(), words.end());
        std::vector<char *> argv;
        for (std::string &s : storage) {
            argv.push_back(s.data());
        }
        std::vector<char *> order = argv;
        argv.push_back(nullptr);
        const char *found = en_options_logfile(static_cast<int>(order.size()), argv.data());
        if (c.logfile) {
            ASSERT_NE(found, nullptr);
            EXPECT_STREQ(found, c.logfile);
        } else {
            EXPECT_EQ(found, nullptr) << found;
        }
        EXPECT_EQ(std::vector<char *>(argv.begin(), argv.end() - 1), order) << "argv keeps its order";
    }
}
