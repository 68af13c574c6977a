#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "agent-common/agents-utils.h"
#include "agent-common/cmdline-utils.h"
#include "test-support.h"
#include "util/error.h"

namespace {

std::vector<std::string> split(const char *text)
{
    std::vector<std::string> out;
    g_auto(GStrv) parts = g_strsplit(text, ",", -1);
    for (char **p = parts; *p; p++) {
        out.emplace_back(*p);
    }
    return out;
}

std::vector<std::string> sorted(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

struct Paths {
    cmdline_priority_paths_t p{};
    ~Paths() { cmdline_priority_paths_clear(&p); }
};

} // namespace

TEST(PriorityPaths, SplitsAtBothSeparatorsAndRefusesTakenOrInvalidSlots)
{
    Paths paths;
    EXPECT_FALSE(cmdline_priority_paths_any(&paths.p));
    ASSERT_EQ(add_priority_path(&paths.p, "a:1;b:2,c:3", 4), 1);
    EXPECT_TRUE(cmdline_priority_paths_any(&paths.p));
    EXPECT_EQ(sorted(split(paths.p.slots[4])), (std::vector<std::string>{"a:1", "b:2", "c:3"}));

    EXPECT_EQ(add_priority_path(&paths.p, "d", 4), 0);
    EXPECT_EQ(sorted(split(paths.p.slots[4])), (std::vector<std::string>{"a:1", "b:2", "c:3"}));
    EXPECT_EQ(add_priority_path(&paths.p, "d", 9), 0);
    EXPECT_EQ(add_priority_path(&paths.p, "d", -1), 0);

    ASSERT_EQ(add_priority_path(&paths.p, ",x,,y;", 0), 1);
    EXPECT_EQ(sorted(split(paths.p.slots[0])), (std::vector<std::string>{"x", "y"}));
}

TEST(PriorityPaths, ShuffleReachesEveryOrder)
{
    std::set<std::string> orders;
    for (int i = 0; i < 600; i++) {
        Paths paths;
        ASSERT_EQ(add_priority_path(&paths.p, "a;b;c", 0), 1);
        orders.insert(paths.p.slots[0]);
    }
    EXPECT_EQ(orders, (std::set<std::string>{"a,b,c", "a,c,b", "b,a,c", "b,c,a", "c,a,b", "c,b,a"}));
}

using AgentUtils = RegistryFixture;

/* What the registry gives, and a missing server address, are completed through the option
 * parser in enforcement_options_test; joining in priority order there too. */
TEST_F(AgentUtils, CompletionStopsWithoutDataFolderAndNamesTheReason)
{
    WriteRegistry("HV_SERVER_ADDRESS=s1\n");
    agent_config_t config{};
    Paths paths;
    EXPECT_FALSE(agent_utils_complete_channel_args(&config, &paths.p, "NAME_VAR", "dflt"));
    EXPECT_STREQ(config.method, "tcp-tls");
    EXPECT_EQ(config.tls.ca_file, nullptr);
    EXPECT_EQ(config.tls.remote_name, nullptr);
    EXPECT_FALSE(cmdline_priority_paths_any(&paths.p));
    agent_config_clear(&config);
    Error *err = nullptr;
    EXPECT_EQ(agent_utils_get_certs_folder(nullptr, &err), nullptr);
    const std::string reason = hvtest::TakeMessage(err);
    ASSERT_EQ(warnings().size(), 3u);
    EXPECT_EQ(warnings()[0], "[agent-utils] Unable to get Holvenstad program data folder: " + reason);
    EXPECT_EQ(warnings()[1], "Failed to complete channel args. Agent cert path not found: " + reason);

    WriteRegistry("OTHER=1\n");
    err = nullptr;
    EXPECT_EQ(agent_utils_get_server_address("SOFTWARE\\Other", &err), nullptr);
    EXPECT_NE(hvtest::TakeMessage(err).find("SOFTWARE\\Other"), std::string::npos);
}

TEST_F(AgentUtils, CertificatesFolderTakesTheDataFolderAsEveryReaderDoes)
{
    const struct {
        const char *value;
        const char *certs;  /* nullptr: refused */
        const char *reason;
    } cases[] = {
        {"/var/hv//", "/var/hv/certs", ""},
        {"/", nullptr, "HV_DATA_FOLDER '/' is the file system root"},
        {"certs-here", nullptr, "HV_DATA_FOLDER 'certs-here' is not an absolute path"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        WriteRegistry(std::string("HV_DATA_FOLDER=") + c.value + "\n");
        Error *err = nullptr;
        char *certs = agent_utils_get_certs_folder(nullptr, &err);
        EXPECT_STREQ(certs, c.certs);
        EXPECT_EQ(hvtest::TakeMessage(err), c.reason);
        g_free(certs);
    }
}

TEST_F(AgentUtils, ValidationReportsTheFirstProblem)
{
    struct Case {
        const char *method;
        const char *servers;
        agent_tls_config_t tls;
        bool ok;
        const char *warning;
    };
    const agent_tls_config_t full{(char *)"name", (char *)"ca", (char *)"cert", (char *)"key"};
    const Case cases[] = {
        {nullptr, "s", {}, true, nullptr},
        {"stdin", nullptr, {}, true, nullptr},
        {"stdin", "s1,s2", {}, false,
         "Invalid Usage: can't specify a path for channel when channel method is 'stdin' (got "
         "'s1,s2')\n"},
        {"socket", "", {}, false, "Invalid Usage: must specify a path for channel of type 'socket'\n"},
        {"socket", "s", {}, true, nullptr},
        {"carrier-pigeon", nullptr, {}, true, nullptr},
        {"tcp-tls", nullptr, full, false,
         "Invalid Usage: must specify a path for channel of type 'tcp-tls'\n"},
        {"tcp-tls", "s", {nullptr, full.ca_file, full.client_cert, full.client_key}, false,
         "Invalid Usage: must specify server name (-r) for channel of type 'tcp-tls'\n"},
        {"tcp-tls", "s", {full.remote_name, nullptr, nullptr, nullptr}, false,
         "Invalid Usage: must specify CA file name (-A) for channel of type 'tcp-tls'\n"},
        {"tcp-tls", "s", {full.remote_name, full.ca_file, nullptr, nullptr}, false,
         "Invalid Usage: must specify client certificate file name (-C) for channel of type "
         "'tcp-tls'\n"},
        {"tcp-tls", "s", {full.remote_name, full.ca_file, full.client_cert, nullptr}, false,
         "Invalid Usage: must specify client private key file name (-K) for channel of type "
         "'tcp-tls'\n"},
        {"tcp-tls", "s", full, true, nullptr},
    };
    for (const Case &c : cases) {
        Clear();
        agent_config_t config{};
        config.method = const_cast<char *>(c.method);
        config.servers = const_cast<char *>(c.servers);
        config.tls = c.tls;
        EXPECT_EQ(agent_utils_validate_channel_args(&config), c.ok)
            << (c.method ? c.method : "(none)") << " " << (c.servers ? c.servers : "(none)");
        if (c.warning) {
            ASSERT_EQ(warnings().size(), 1u);
            EXPECT_EQ(warnings()[0], c.warning);
        } else {
            EXPECT_TRUE(warnings().empty());
        }
        EXPECT_EQ(config.connect_timeout_ms, c.method ? 10000u : 0u);
    }

    agent_config_t config{};
    config.method = const_cast<char *>("stdin");
    config.connect_timeout_ms = 250;
    EXPECT_TRUE(agent_utils_validate_channel_args(&config));
    EXPECT_EQ(config.connect_timeout_ms, 250u);
}
