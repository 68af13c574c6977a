/* Roaming through the real module process and the driver daemon: the office interface
 * stays enforced, every other one is allowed, and a network change re-applies the policy.
 * The interfaces come from a network namespace of the module's own (skipped where one
 * cannot be created); the domain from resolver files of the test's own. */
#include <glib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/common/hv-test-support.h"
#include "tests/common/module-fixture.h"

namespace {

using hvtest::Outcome;

/* Two links in the namespace: v0 carries the default route (the office), v1 does not.
 * Each has a peer of its own (p0, p1), so that one going down leaves the other up. */
const char kNetwork[] = "ip link set lo up && ip link add v0 type veth peer name p0 && "
                        "ip link add v1 type veth peer name p1 && "
                        "ip addr add 10.1.0.2/24 dev v0 && ip addr add 10.2.0.2/24 dev v1 && "
                        "ip link set p0 up && ip link set p1 up && ip link set v0 up && ip link set v1 up && "
                        "ip route add default via 10.1.0.1 dev v0";

class RoamingModuleTest : public hvtest::ModuleFixture {
protected:
    RoamingModuleTest() : ModuleFixture("hv-roaming-module") {}

    void SetUp() override
    {
        ModuleFixture::SetUp();
        hvtest::WriteFile(dir_ + "/resolv.conf", "search corp.example.com\nnameserver 10.1.0.53\n");
    }

    char **ExtraEnv(char **env) const override
    {
        env = g_environ_setenv(env, "HV_KRB5_CONF", (dir_ + "/krb5.conf").c_str(), TRUE);
        return g_environ_setenv(env, "HV_RESOLV_CONF", (dir_ + "/resolv.conf").c_str(), TRUE);
    }

    static std::string Tool(const char *name)
    {
        g_autofree char *path = g_find_program_in_path(name);
        return path ? path : "";
    }

    bool NamespacesWork() const
    {
        return !Tool("unshare").empty() && !Tool("nsenter").empty() && !Tool("ip").empty() &&
               Run({Tool("unshare"), "-rn", "/bin/sh", "-c", kNetwork}).exit_code == 0;
    }

    /* The module as the first process of a network namespace built by kNetwork. */
    void StartInNamespace()
    {
        std::vector<std::string> args = {Tool("unshare"), "-rn", "/bin/sh", "-c", std::string(kNetwork) + " && exec \"$@\"",
                                         "sh", launcher_, HV_BUNDLE, "--method", "stdin", "-v", "-l", Log()};
        std::vector<char *> argv;
        for (auto &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        g_auto(GStrv) env = Env();
        ASSERT_TRUE(g_spawn_async(dir_.c_str(), argv.data(), env,
                                  static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD |
                                                           G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL),
                                  nullptr, nullptr, &module_, nullptr));
        ASSERT_TRUE(hvtest::WaitFor([&] { return LogHas("initialization done"); }, 30000, 20)) << LogText();
    }

    /* In the module's namespace. */
    int InNamespace(const std::string &command) const
    {
        return Run({Tool("nsenter"), "-t", std::to_string(module_), "-U", "-n", "--preserve-credentials", "/bin/sh", "-c",
                    command})
            .exit_code;
    }

    std::string Qmp(const std::string &request) const
    {
        std::string file = dir_ + "/request.json";
        hvtest::WriteFile(file, request);
        Outcome o = Run({HV_QMP, "--address", address_, "--timeout", "60000", "-f", file});
        std::string reply = o.out + o.err;
        while (!reply.empty() && (reply.back() == '\n' || reply.back() == ' ')) {
            reply.pop_back();
        }
        return reply;
    }

    std::string SetFields(const std::string &fields) const
    {
        return Qmp(R"({"execute": "set-configuration", "arguments": {"fields": [)" + fields + "]}}");
    }

    void PushPolicy() const
    {
        std::string reply = Qmp(R"({"execute": "set-enforcement-policy", "arguments": {"revision": 5,
  "input-table": [{"chain_name": "in", "rules": [{"id": "in-block", "verdict": "BLOCK", "protocols": ["tcp"],
    "match_src": {}, "match_dst": {}}]}],
  "output-table": [{"chain_name": "out", "rules": [{"id": "out-block", "verdict": "BLOCK", "protocols": ["tcp"],
    "match_src": {}, "match_dst": {}}]}]}})");
        ASSERT_EQ(reply.rfind("{\"return\": {\"new-revision\": 5", 0), 0u) << reply;
    }

    /* "VERDICT:rule-id" of a TCP connection with the given local address. */
    std::string Decide(const char *direction, const std::string &local) const
    {
        Outcome o = Run({HV_ENDR, "classify", "--direction", direction, "--protocol", "tcp", "--local",
                         local + ":40000", "--remote", "198.51.100.7:443"});
        std::smatch v, r;
        if (o.exit_code != 0 || !std::regex_search(o.out, v, std::regex(R"re("verdict": "([A-Z]+)")re")) ||
            !std::regex_search(o.out, r, std::regex(R"re("rule-id": "([^"]*)")re"))) {
            return "failed: " + o.out + o.err;
        }
        return v[1].str() + ":" + r[1].str();
    }

    bool Becomes(const char *direction, const std::string &local, const std::string &expected) const
    {
        return hvtest::WaitFor([&] { return Decide(direction, local) == expected; }, 20000, 50);
    }

    size_t Count(const std::string &text) const
    {
        std::string log = LogText();
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
            ++n;
        }
        return n;
    }

    /* The category get-network-interfaces reports for an interface, "" when none. */
    std::string Category(const std::string &name) const
    {
        std::string reply = Qmp(R"({"execute": "get-network-interfaces", "arguments": {"include-virtual": true}})");
        size_t at = reply.find("\"name\": \"" + name + "\"");
        if (at == std::string::npos) {
            return "missing: " + reply;
        }
        size_t next = reply.find("\"name\": ", at + 1);
        size_t category = reply.find("\"category\": \"", at);
        if (category == std::string::npos || category > next) {
            return "";
        }
        category += 13;
        return reply.substr(category, reply.find('"', category) - category);
    }
};

const char kReapplied[] = "[policy] Updating enforcement policy based on Roaming configuration";

TEST_F(RoamingModuleTest, OnlyTheOfficeInterfaceStaysEnforced)
{
    if (!NamespacesWork()) {
        GTEST_SKIP() << "network namespaces with veth links are not available here";
    }
    StartInNamespace();
    PushPolicy();
    ASSERT_EQ(Decide("out", "10.2.0.2"), "BLOCK:out-block");

    /* A refused list leaves the one before it. */
    ASSERT_EQ(SetFields(R"({"name": "agent.roaming_domain_name", "str-value": "lab.example.net, corp.example.com"})"),
              "{\"return\": {}}");
    std::string refused = SetFields(R"({"name": "agent.roaming_domain_name", "str-value": "Corp.example.com"})");
    EXPECT_NE(refused.find("Could not parse domain list from configuration Corp.example.com"), std::string::npos)
        << refused;
    ASSERT_EQ(SetFields(R"({"name": "agent.enable_roaming_mode", "bool-value": true})"), "{\"return\": {}}");
    EXPECT_TRUE(LogHas("[policy] Roaming mode has been enabled - enforcement policy will be disabled outside of the "
                       "office network"))
        << LogText();

    EXPECT_EQ(Decide("out", "10.1.0.2"), "BLOCK:out-block");
    EXPECT_EQ(Decide("out", "10.2.0.2"), "ALLOW:implicit-outgoing-roaming-rule");
    EXPECT_EQ(Decide("in", "10.2.0.2"), "ALLOW:implicit-incoming-roaming-rule");
    EXPECT_EQ(Decide("in", "10.1.0.2"), "BLOCK:in-block");
    EXPECT_EQ(Category("v0"), "office");
    EXPECT_EQ(Category("v1"), "home");
    std::string status = Qmp(R"({"execute": "get-module-internal-status"})");
    EXPECT_NE(status.find("\"is_roaming_on\": true"), std::string::npos) << status;
    EXPECT_NE(status.find("\"category\": \"office\""), std::string::npos) << status;

    /* The other link goes down: the change is noticed and the policy derived again without it. */
    size_t before = Count(kReapplied);
    ASSERT_EQ(InNamespace("ip link set v1 down"), 0);
    EXPECT_TRUE(Becomes("out", "10.2.0.2", "BLOCK:out-block")) << LogText();
    EXPECT_TRUE(LogHas("[roaming] Received network change event with adapter ID '")) << LogText();
    EXPECT_GT(Count(kReapplied), before);
    EXPECT_EQ(Decide("out", "10.1.0.2"), "BLOCK:out-block");

    ASSERT_EQ(InNamespace("ip link set v1 up"), 0);
    EXPECT_TRUE(Becomes("out", "10.2.0.2", "ALLOW:implicit-outgoing-roaming-rule")) << LogText();

    /* The office link goes down, and its default route with it: no interface reaches the
     * domain, so every one still up is allowed and the office address is in no rule. */
    size_t unmatched = Count("[policy] Roaming is enabled - could not find a domain interface match");
    before = Count(kReapplied);
    ASSERT_EQ(InNamespace("ip link set v0 down"), 0);
    EXPECT_TRUE(hvtest::WaitFor(
        [&] { return Count("[policy] Roaming is enabled - could not find a domain interface match") > unmatched; },
        20000, 50))
        << LogText();
    EXPECT_GT(Count(kReapplied), before);
    EXPECT_EQ(Decide("out", "10.2.0.2"), "ALLOW:implicit-outgoing-roaming-rule");
    EXPECT_EQ(Decide("in", "10.2.0.2"), "ALLOW:implicit-incoming-roaming-rule");
    EXPECT_EQ(Decide("out", "10.1.0.2"), "BLOCK:out-block");
    EXPECT_EQ(Category("v1"), "");

    /* Back up with its default route: it is the office again and enforced. */
    size_t matched = Count("[policy] Roaming is enabled - found a domain interface match");
    ASSERT_EQ(InNamespace("ip link set v0 up && ip route add default via 10.1.0.1 dev v0"), 0);
    EXPECT_TRUE(hvtest::WaitFor(
        [&] { return Count("[policy] Roaming is enabled - found a domain interface match") > matched; }, 20000,
        50))
        << LogText();
    EXPECT_TRUE(hvtest::WaitFor([&] { return Category("v0") == "office"; }, 20000, 50)) << LogText();
    EXPECT_EQ(Decide("out", "10.1.0.2"), "BLOCK:out-block");
    EXPECT_EQ(Decide("in", "10.1.0.2"), "BLOCK:in-block");
    EXPECT_EQ(Decide("out", "10.2.0.2"), "ALLOW:implicit-outgoing-roaming-rule");

    /* Away from the office (the resolver in another domain) every interface is allowed. */
    hvtest::WriteFile(dir_ + "/resolv.conf", "search home.example.net\nnameserver 10.1.0.53\n");
    ASSERT_EQ(SetFields(R"({"name": "agent.roaming_domain_name", "str-value": "corp.example.com"})"), "{\"return\": {}}");
    EXPECT_TRUE(Becomes("out", "10.1.0.2", "ALLOW:implicit-outgoing-roaming-rule")) << LogText();
    EXPECT_TRUE(LogHas("[policy] Could not find match between machine's domain name home.example.net and "
                       "configuration"));

    /* Off: the whole policy applies again; off a second time pushes nothing. */
    ASSERT_EQ(SetFields(R"({"name": "agent.enable_roaming_mode", "bool-value": false})"), "{\"return\": {}}");
    EXPECT_EQ(Decide("out", "10.1.0.2"), "BLOCK:out-block");
    EXPECT_EQ(Decide("out", "10.2.0.2"), "BLOCK:out-block");
    status = Qmp(R"({"execute": "get-module-internal-status"})");
    EXPECT_NE(status.find("\"is_roaming_on\": false"), std::string::npos) << status;
    EXPECT_EQ(status.find("\"category\""), std::string::npos) << status;
    size_t pushes = Count(kReapplied);
    ASSERT_EQ(SetFields(R"({"name": "agent.enable_roaming_mode", "bool-value": false})"), "{\"return\": {}}");
    EXPECT_EQ(Count(kReapplied), pushes);
}

TEST_F(RoamingModuleTest, EnablingWithAnEmptyListChangesNothingInTheDriver)
{
    Start();
    PushPolicy();
    std::string status = Run({HV_ENDR, "status"}).out;
    size_t swaps = Count("[policy] swapping policy");
    ASSERT_EQ(SetFields(R"({"name": "agent.enable_roaming_mode", "bool-value": true})"), "{\"return\": {}}");
    EXPECT_TRUE(LogHas("[policy] Roaming mode has been enabled - a domain interface hasn't been matched yet, "
                       "waiting for domain configuration update"))
        << LogText();
    EXPECT_EQ(Count(kReapplied), 0u);
    EXPECT_EQ(Count("[policy] swapping policy"), swaps);
    EXPECT_EQ(Decide("out", "10.9.0.2"), "BLOCK:out-block");

    /* Off again pushes the policy without roaming rules once. */
    ASSERT_EQ(SetFields(R"({"name": "agent.enable_roaming_mode", "bool-value": false})"), "{\"return\": {}}");
    EXPECT_EQ(Count(kReapplied), 1u);
    EXPECT_EQ(Count("[policy] Roaming state is already disabled, skipping enforcement policy update"), 0u);
}

} // namespace
