/* The implicit-rule builder on controlled interfaces and DNS servers: rule and record
 * order, chain placement, and the inputs it must refuse. */
#include <glib.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../en-rules/en-rules-helpers.h"
#include "enforcement/framework/agent/en-implicit-rules.h"
#include "qapi/qmp-common-types.h"

namespace {

std::string g_ifaces_json = "[]";
bool g_ifaces_fail = false;
std::vector<std::string> g_dns;

NetworkInterfaceList *TestInterfaces(Error **errp)
{
    if (g_ifaces_fail) {
        error_setg(errp, "error reading adapter addresses");
        return nullptr;
    }
    return ReadTyped<NetworkInterfaceList>(g_ifaces_json, visit_type_NetworkInterfaceList);
}

GSList *TestDns(void)
{
    GSList *l = nullptr;
    for (const std::string &s : g_dns) {
        l = g_slist_append(l, g_strdup(s.c_str()));
    }
    return l;
}

const en_implicit_sources kTestSources = {TestInterfaces, TestDns};

std::vector<std::string> *g_warnings;

void Capture(const gchar *, GLogLevelFlags level, const gchar *message, gpointer)
{
    if ((level & G_LOG_LEVEL_WARNING) && g_warnings) {
        g_warnings->push_back(message);
    }
}

std::string Join(const strList *l)
{
    std::string s;
    for (; l; l = l->next) {
        s += std::string(s.empty() ? "" : ",") + l->value;
    }
    return s;
}

/* "CHAIN[id,id] CHAIN[...]" */
std::string Shape(const EnforcementChainList *t)
{
    std::string s;
    for (; t; t = t->next) {
        s += std::string(s.empty() ? "" : " ") + t->value->chain_name + "[";
        for (const EnforcementRuleList *r = t->value->rules; r; r = r->next) {
            s += std::string(r == t->value->rules ? "" : ",") + r->value->id;
        }
        s += "]";
    }
    return s;
}

std::string Records(const EnforcementPolicyImplicitRuleList *r)
{
    std::string s;
    for (; r; r = r->next) {
        s += std::string(s.empty() ? "" : " ") + EnforcementPolicyImplicitRuleType_lookup[r->value->rule_type] + "/" +
             EnforcementPolicyTableType_lookup[r->value->rule_table] + "/" +
             EnforcementPolicyImplicitRulePosition_lookup[r->value->rule_position];
    }
    return s;
}

const EnforcementRule *RuleAt(const EnforcementChainList *t, const std::string &chain, size_t index)
{
    for (; t; t = t->next) {
        if (chain == t->value->chain_name) {
            const EnforcementRuleList *r = t->value->rules;
            for (size_t i = 0; r && i < index; i++) {
                r = r->next;
            }
            return r ? r->value : nullptr;
        }
    }
    return nullptr;
}

InetSocketAddressList *Servers(const std::string &json)
{
    return ReadTyped<InetSocketAddressList>(json, visit_type_InetSocketAddressList);
}

class ImplicitRulesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_ifaces_json = R"([{"name": "eth0", "bond": false, "up": true, "loopback": false, "promiscuous": false,
            "virtual": false, "luid": 2, "index": 2, "ip-addresses": [
              {"ip-address": "192.168.1.10", "ip-address-type": "ipv4", "prefix": 24},
              {"ip-address": "fe80::1", "ip-address-type": "ipv6", "prefix": 64}]},
          {"name": "eth1", "bond": false, "up": true, "loopback": false, "promiscuous": false,
            "virtual": false, "luid": 3, "index": 3, "ip-addresses": [
              {"ip-address": "10.0.0.4", "ip-address-type": "ipv4", "prefix": 31},
              {"ip-address": "10.9.9.9", "ip-address-type": "ipv4", "prefix": 32},
              {"ip-address": "10.8.8.8", "ip-address-type": "ipv4", "prefix": 1},
              {"ip-address": "10.7.7.7", "ip-address-type": "ipv4", "prefix": 0},
              {"ip-address": "10.6.6.6", "ip-address-type": "ipv4", "prefix": -1}]}])";
        g_ifaces_fail = false;
        g_dns = {"192.0.2.53", "2001:db8::53", "not-an-address"};
        en_implicit_set_sources(&kTestSources);
        g_en_implicit_dns_rules = true;
        g_warnings = &warnings_;
        old_ = g_log_set_default_handler(Capture, nullptr);
        output_ = ParseTable(R"([{"chain_name": "A", "rules": []}, {"chain_name": "DEFAULT-BLOCK", "rules": []},
                                 {"chain_name": "DEFAULT-ALLOW", "rules": []}])")
                      .release();
        input_ = ParseTable(R"([{"chain_name": "B", "rules": []}])").release();
    }
    void TearDown() override
    {
        qapi_free_EnforcementChainList(output_);
        qapi_free_EnforcementChainList(input_);
        qapi_free_EnforcementPolicyImplicitRuleList(records_);
        g_log_set_default_handler(old_, nullptr);
        g_warnings = nullptr;
        en_implicit_set_sources(nullptr);
        en_broadcast_cache_free();
        en_implicit_protocols_free();
        g_en_implicit_dns_rules = true;
    }
    void Build(const std::string &servers = "[]", bool roaming = false)
    {
        InetSocketAddressList *s = Servers(servers);
        qapi_free_EnforcementPolicyImplicitRuleList(records_);
        records_ = en_policy_add_implicit_rules(s, &output_, &input_, roaming);
        qapi_free_InetSocketAddressList(s);
    }

    EnforcementChainList *output_ = nullptr, *input_ = nullptr;
    EnforcementPolicyImplicitRuleList *records_ = nullptr;
    std::vector<std::string> warnings_;
    GLogFunc old_ = nullptr;
};

TEST_F(ImplicitRulesTest, NormalCaseGivesTheDocumentedRuleRecordAndChainOrder)
{
    Build(R"([{"host": "10.0.0.1", "port": "443"}, {"host": "10.0.0.2", "port": "8443"}])", true);
    EXPECT_EQ(Records(records_),
              "dns/output/pre-default roaming/output/top apipa-cloud/output/top localhost/input/top "
              "localhost/output/top multicast/input/top multicast/output/top broadcast/input/top "
              "broadcast/output/top local/output/top");
    /* Seven local addresses, last first; servers last first. */
    std::string locals;
    for (int i = 0; i < 7; i++) {
        locals += ",implicit-local-ip-rule";
    }
    EXPECT_EQ(Shape(output_), "IMPLICIT-OUTPUT[implicit-outgoing-roaming-rule,implicit-cloud-apipa-rule,"
                              "implicit-cloud-apipa-rule,implicit-local-rule,implicit-multicast-rule,"
                              "implicit-broadcast-rule" +
                                  locals +
                                  ",implicit-server-rule,implicit-server-rule] A[] "
                                  "IMPLICIT-PRE-DEFAULT[implicit-dns-rule] DEFAULT-BLOCK[] DEFAULT-ALLOW[]");
    EXPECT_EQ(Shape(input_), "IMPLICIT-INPUT[implicit-incoming-roaming-rule,implicit-local-rule,"
                             "implicit-multicast-rule,implicit-broadcast-rule" +
                                 locals + "] B[]");

    const EnforcementRule *last_server = RuleAt(output_, "IMPLICIT-OUTPUT", 13);
    ASSERT_NE(last_server, nullptr);
    EXPECT_EQ(Join(last_server->match_dst->match_multiple_subnets), "10.0.0.2/32");
    EXPECT_EQ(last_server->match_dst->match_ports->value, 8443);
    EXPECT_EQ(last_server->protocols->value, IP_PROTOCOL_TCP);
    EXPECT_EQ(last_server->protocols->next, nullptr);

    const EnforcementRule *first_local = RuleAt(output_, "IMPLICIT-OUTPUT", 6);
    EXPECT_EQ(Join(first_local->match_src->match_ip_hash), "10.6.6.6");
    EXPECT_EQ(Join(first_local->match_dst->match_ip_hash), "10.6.6.6");

    const EnforcementRule *by_name = RuleAt(output_, "IMPLICIT-OUTPUT", 1);
    EXPECT_EQ(Join(by_name->match_dst->match_dns_list), EN_CLOUD_METADATA_HOST);
    const EnforcementRule *by_address = RuleAt(output_, "IMPLICIT-OUTPUT", 2);
    EXPECT_EQ(Join(by_address->match_dst->match_ip_hash), "169.254.169.254");
    EXPECT_EQ(by_address->match_dst->match_ports->value, 80);

    EXPECT_EQ(Join(RuleAt(output_, "IMPLICIT-OUTPUT", 3)->match_src->match_multiple_subnets), "::1/128,127.0.0.0/8");
    EXPECT_EQ(Join(RuleAt(output_, "IMPLICIT-OUTPUT", 4)->match_dst->match_multiple_subnets), "ff00::/8,224.0.0.0/4");

    const EnforcementRule *dns = RuleAt(output_, "IMPLICIT-PRE-DEFAULT", 0);
    EXPECT_EQ(Join(dns->match_dst->match_ip_hash), "192.0.2.53,2001:db8::53");
    EXPECT_EQ(dns->match_dst->match_ports->value, 53);
    EXPECT_EQ(dns->protocols->value, IP_PROTOCOL_UDP);

    const EnforcementRule *outgoing = RuleAt(output_, "IMPLICIT-OUTPUT", 0);
    EXPECT_EQ(Join(outgoing->match_src->match_ip_hash), "192.168.1.10,fe80::1,10.0.0.4,10.9.9.9,10.8.8.8,10.7.7.7,"
                                                         "10.6.6.6");
    EXPECT_FALSE(outgoing->match_dst->has_match_ip_hash);
    const EnforcementRule *incoming = RuleAt(input_, "IMPLICIT-INPUT", 0);
    EXPECT_EQ(Join(incoming->match_dst->match_ip_hash), Join(outgoing->match_src->match_ip_hash));
}

TEST_F(ImplicitRulesTest, BroadcastAddressesFollowThePrefix)
{
    Build();
    const EnforcementRule *bcast = RuleAt(output_, "IMPLICIT-OUTPUT", 4);
    ASSERT_STREQ(bcast->id, "implicit-broadcast-rule");
    /* /24 and /31 give one each; /32, /1, /0, -1 and IPv6 give none; the limited broadcast always. */
    EXPECT_EQ(Join(bcast->match_dst->match_ip_hash), "10.0.0.5,192.168.1.255,255.255.255.255");
    EXPECT_TRUE(en_broadcast_is_member("192.168.1.255"));
    EXPECT_FALSE(en_broadcast_is_member("10.9.9.9"));
    EXPECT_FALSE(en_broadcast_is_member("10.255.255.255"));
}

TEST_F(ImplicitRulesTest, BroadcastCacheReadsInterfacesOnFirstUseAndFailsEmpty)
{
    GSList *list = en_broadcast_list();
    EXPECT_EQ(g_slist_length(list), 3u);
    g_slist_free_full(list, g_free);
    en_broadcast_cache_free();
    g_ifaces_fail = true;
    EXPECT_EQ(en_broadcast_list(), nullptr);
    EXPECT_FALSE(en_broadcast_is_member("255.255.255.255"));
    ASSERT_FALSE(warnings_.empty());
    EXPECT_EQ(warnings_.back(),
              "[ip-broadcast] failed gathering network interfaces for initializing broadcasts: error reading adapter "
              "addresses");
}

/* The destination subnets of the server rules, in rule order (last server first). */
std::vector<std::string> ServerSubnets(const EnforcementChainList *output)
{
    std::vector<std::string> subnets;
    for (const EnforcementRuleList *r = output->value->rules; r; r = r->next) {
        if (strcmp(r->value->id, "implicit-server-rule") == 0) {
            subnets.push_back(Join(r->value->match_dst->match_multiple_subnets) + ":" +
                              std::to_string(r->value->match_dst->match_ports->value));
        }
    }
    return subnets;
}

TEST_F(ImplicitRulesTest, BadServerAddressesAreSkippedWithTheirWarning)
{
    Build(R"([{"host": "10.0.0.1", "port": "65535"}, {"host": "10.0.0.1", "port": "0x1BB"},
              {"host": "10.0.0.1", "port": "443a"}, {"host": "10.0.0.1", "port": ""},
              {"host": "mgmt.example.invalid", "port": "443"}, {"host": "10.1", "port": "443"},
              {"host": "10.0.0.3", "port": "65534"}])");
    ASSERT_EQ(warnings_.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(warnings_.begin(), warnings_.begin() + 4),
              (std::vector<std::string>{
                  "[policy] wrong port in server implicit rule to: 10.0.0.1:65535",
                  "[policy] wrong port in server implicit rule to: 10.0.0.1:0x1BB",
                  "[policy] wrong port in server implicit rule to: 10.0.0.1:443a",
                  "[policy] wrong port in server implicit rule to: 10.0.0.1:",
              }));
    /* Names that do not resolve, and numbers short of an address, are named and skipped. */
    EXPECT_EQ(warnings_[4].rfind("[policy] failed resolving implicit server address mgmt.example.invalid:443 (", 0),
              0u)
        << warnings_[4];
    EXPECT_EQ(warnings_[5].rfind("[policy] failed resolving implicit server address 10.1:443 (", 0), 0u)
        << warnings_[5];
    EXPECT_EQ(ServerSubnets(output_), (std::vector<std::string>{"10.0.0.3/32:65534"}));
}

TEST_F(ImplicitRulesTest, ServerAddressFamilyComesFromTheTextAndNamesAreResolved)
{
    struct Case {
        const char *server;
        std::vector<std::string> subnets;
        const char *warning; /* "" for none */
    } cases[] = {
        {R"({"host": "2001:db8::5", "port": "443"})", {"2001:db8::5/128:443"}, ""},
        {R"({"host": "fd00::1", "port": "443", "ipv6": true})", {"fd00::1/128:443"}, ""},
        {R"({"host": "10.0.0.2", "port": "443", "ipv4": true, "ipv6": false})", {"10.0.0.2/32:443"}, ""},
        {R"({"host": "fd00::2", "port": "8443", "ipv4": true})", {"fd00::2/128:8443"},
         "[policy] address family flags of implicit server address fd00::2:8443 contradict the address, using it as "
         "IPv6"},
        {R"({"host": "fd00::3", "port": "443", "ipv6": false})", {"fd00::3/128:443"},
         "[policy] address family flags of implicit server address fd00::3:443 contradict the address, using it as "
         "IPv6"},
        {R"({"host": "10.0.0.4", "port": "443", "ipv6": true})", {"10.0.0.4/32:443"},
         "[policy] address family flags of implicit server address 10.0.0.4:443 contradict the address, using it as "
         "IPv4"},
        /* A mapped address is IPv4 traffic; other dotted IPv6 forms are spelt out so no text reads as IPv4. */
        {R"({"host": "::ffff:10.0.0.5", "port": "443"})", {"10.0.0.5/32:443"}, ""},
        {R"({"host": "::ffff:10.0.0.7", "port": "443", "ipv4": true})", {"10.0.0.7/32:443"}, ""},
        {R"({"host": "::10.0.0.6", "port": "443"})", {"0:0:0:0:0:0:a00:6/128:443"}, ""},
        {R"({"host": "localhost", "port": "8443", "ipv4": true})", {"127.0.0.1/32:8443"}, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.server);
        warnings_.clear();
        Build(std::string("[") + c.server + "]");
        EXPECT_EQ(ServerSubnets(output_), c.subnets);
        EXPECT_EQ(warnings_, *c.warning ? std::vector<std::string>{c.warning} : std::vector<std::string>{});
    }
}

TEST_F(ImplicitRulesTest, RunningTwiceLeavesOneSetOfImplicitChains)
{
    Build(R"([{"host": "10.0.0.1", "port": "443"}])");
    std::string out1 = Shape(output_), in1 = Shape(input_);
    Build(R"([{"host": "10.0.0.1", "port": "443"}])");
    EXPECT_EQ(Shape(output_), out1);
    EXPECT_EQ(Shape(input_), in1);
}

TEST_F(ImplicitRulesTest, DnsRuleFollowsTheSwitchAndTheServers)
{
    g_en_implicit_dns_rules = false;
    Build();
    EXPECT_EQ(Shape(output_).find("IMPLICIT-PRE-DEFAULT"), std::string::npos);
    EXPECT_EQ(std::string(EnforcementPolicyImplicitRuleType_lookup[records_->value->rule_type]), "apipa-cloud");

    /* No server: UDP 53 to everyone. No DEFAULT- chain: at the end. */
    g_en_implicit_dns_rules = true;
    g_dns.clear();
    qapi_free_EnforcementChainList(output_);
    output_ = ParseTable(R"([{"chain_name": "A", "rules": []}, {"chain_name": "DEFAULTX", "rules": []}])").release();
    Build();
    EXPECT_EQ(Shape(output_).substr(Shape(output_).find("] ") + 2), "A[] DEFAULTX[] IMPLICIT-PRE-DEFAULT[implicit-dns-rule]");
    EXPECT_FALSE(RuleAt(output_, "IMPLICIT-PRE-DEFAULT", 0)->match_dst->has_match_ip_hash);
}

TEST_F(ImplicitRulesTest, UnreadableInterfacesDropLocalAndBroadcastOnly)
{
    g_ifaces_fail = true;
    Build(R"([{"host": "10.0.0.1", "port": "443"}])", true);
    EXPECT_EQ(Records(records_), "dns/output/pre-default apipa-cloud/output/top localhost/input/top "
                                 "localhost/output/top multicast/input/top multicast/output/top");
    EXPECT_EQ(warnings_.back(), "[policy] failed gathering network interfaces for creating broadcast implicit "
                                "rules: error reading adapter addresses");
    EXPECT_EQ(Shape(input_), "IMPLICIT-INPUT[implicit-local-rule,implicit-multicast-rule] B[]");
}

TEST(RuleTypes, ChainDecidesAndRoamingRulesStayExplicit)
{
    TablePtr t = ParseTable(R"([
      {"chain_name": "DEFAULT-ALLOW", "rules": [
        {"match_src": {}, "match_dst": {}, "protocols": ["tcp"], "rule_type": "explicit", "verdict": "ALLOW", "id": "d"}]},
      {"chain_name": "X", "implicit": true, "rules": [
        {"match_src": {}, "match_dst": {}, "protocols": ["tcp"], "verdict": "ALLOW", "id": "i"},
        {"match_src": {}, "match_dst": {}, "protocols": ["tcp"], "verdict": "ALLOW", "id": "implicit-incoming-roaming-rule"}]},
      {"chain_name": "M", "rules": [
        {"match_src": {}, "match_dst": {}, "protocols": ["tcp"], "rule_type": "default", "verdict": "BLOCK",
         "id": "implicit-outgoing-roaming-rule"}]}])");
    en_policy_assign_rule_types(t.get());
    std::vector<RuleType> types;
    for (const EnforcementChainList *c = t.get(); c; c = c->next) {
        for (const EnforcementRuleList *r = c->value->rules; r; r = r->next) {
            ASSERT_TRUE(r->value->has_rule_type);
            types.push_back(r->value->rule_type);
        }
    }
    EXPECT_EQ(types, (std::vector<RuleType>{RULE_TYPE_DEFAULT, RULE_TYPE_IMPLICIT, RULE_TYPE_EXPLICIT,
                                            RULE_TYPE_EXPLICIT}));
}

} // namespace
