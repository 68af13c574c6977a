#include <string>

#include <gtest/gtest.h>

#include "qapi/qmp-enforcement-commands.h"
#include "qobject/qdict.h"
#include "qapi-test-helpers.h"

namespace {

/* What the handlers saw; copies, since the arguments are only borrowed. */
struct Calls {
    int count = 0;
    std::string args;
    int enum_result = 0;
};
Calls calls;

EnforcementPolicyDerivationDetails *details_result()
{
    return qapi_new_EnforcementPolicyDerivationDetails(2, 1, nullptr);
}

bool record(Error **, const std::string &args)
{
    calls.count++;
    calls.args = args;
    return true;
}

struct Reply {
    std::string ret;
    std::string error;
    bool ret_set;
};

Reply call(void (*marshal)(QDict *, char **, Error **), const char *args_json)
{
    QObject *args = args_json ? parse_json(args_json) : nullptr;
    char *ret = nullptr;
    Error *err = nullptr;
    marshal(qobject_to_qdict(args), &ret, &err);
    Reply reply{ret ? ret : "", hvtest::TakeMessage(err), ret != nullptr};
    g_free(ret);
    qobject_decref(args);
    return reply;
}

class MarshalTest : public ::testing::Test {
protected:
    void SetUp() override { calls = Calls{}; }
};

std::string policy_args(const std::string &rule, const std::string &extra = "")
{
    return R"({"input-table": [{"chain_name": "c", "rules": [)" + rule +
           R"(]}], "output-table": [], "revision": 9)" + extra + "}";
}

TEST_F(MarshalTest, UnwritableResultIsAnError)
{
    calls.enum_result = WindowsFirewallMode_MAX;
    Reply r = call(qmp_marshal_get_windows_firewall_mode, "{}");
    EXPECT_EQ(r.error, "Invalid parameter 'null'");
    EXPECT_FALSE(r.ret_set);
}

TEST_F(MarshalTest, AbsentOptionalResultMembersAreOmitted)
{
    Reply r = call(qmp_marshal_get_enforcement_policy, "{}");
    EXPECT_EQ(calls.args, "absent");
    EXPECT_EQ(r.ret, R"({"text": {"input-table": "", "output-table": "", "server-ip": "s", )"
                     R"("server-ip-type": "ipv6", "server-port": 1, "revision": 2}})");
    r = call(qmp_marshal_set_dns_blocklist_policy,
             R"({"revision": 4, "block-list": [], "exclude-list": ["a"]})");
    EXPECT_EQ(calls.args, R"(4 [] ["a"])");
    EXPECT_EQ(r.ret, R"({"new-revision": 4, "old-revision": 0})");
}

} // namespace

/* Recording handlers for the generated marshallers. */

void qmp_terminate(Error **errp)
{
    record(errp, "");
}

EnforcementPolicyDerivationDetails *qmp_get_last_enforcement_policy_details(bool has_full, bool full,
                                                                            Error **errp)
{
    return record(errp, has_full ? (full ? "true" : "false") : "absent") ? details_result() : nullptr;
}

EnforcementPolicyDerivationDetails *qmp_set_enforcement_policy(EnforcementChainList *input_table,
                                                               EnforcementChainList *output_table,
                                                               uint64_t revision,
                                                               bool has_dc_inventory_revision,
                                                               uint64_t dc_inventory_revision,
                                                               Error **errp)
{
    return record(errp, "") ? details_result() : nullptr;
}

void qmp_set_state(AgentState state, Error **errp)
{
    record(errp, "");
}

AgentState qmp_get_state(Error **errp)
{
    record(errp, "");
    return AGENT_STATE_MONITOR;
}

EnforcementMode qmp_get_enforcement_mode(Error **errp)
{
    record(errp, "");
    return ENFORCEMENT_MODE_ENFORCING;
}

EnforcementPolicyOutput *qmp_get_enforcement_policy(bool has_format, EnforcementPolicyFormat format,
                                                    Error **errp)
{
    if (!record(errp, has_format ? EnforcementPolicyFormat_lookup[format] : "absent")) {
        return nullptr;
    }
    EnforcementPolicyOutput *out = qapi_alloc_EnforcementPolicyOutput();
    out->has_text = true;
    out->text = qapi_new_EnforcementPolicyOutputText("", "", "s", IP_ADDRESS_TYPE_IPV6, 1, 2);
    return out;
}

EnforcementPolicyDerivationDetails *qmp_set_server_address_info_list(InetSocketAddressList *list,
                                                                     Error **errp)
{
    return record(errp, "") ? details_result() : nullptr;
}

char *qmp_read_digital_signature_file(Error **errp)
{
    return record(errp, "") ? g_strdup("c2lnbg==") : nullptr;
}

void qmp_block_non_tcp_udp(bool block, Error **errp)
{
    record(errp, block ? "true" : "false");
}

EnforcementPolicyDerivationDetails *qmp_set_enforcement_policy_revision(uint64_t revision,
                                                                        uint64_t dc_inventory_revision,
                                                                        Error **errp)
{
    return record(errp, "") ? details_result() : nullptr;
}

WindowsFirewallMode qmp_get_windows_firewall_mode(Error **errp)
{
    record(errp, "");
    return static_cast<WindowsFirewallMode>(calls.enum_result);
}

EnforcementIptablesMapping *qmp_get_iptables_mapping(Error **errp)
{
    return record(errp, "") ? qapi_new_EnforcementIptablesMapping(1, nullptr) : nullptr;
}

EnforcementDNSBlocklistDetails *qmp_set_dns_blocklist_policy(uint64_t revision, strList *block_list,
                                                             strList *exclude_list, Error **errp)
{
    std::string args = std::to_string(revision) + " " + WRITE(strList, block_list).json + " " +
                       WRITE(strList, exclude_list).json;
    return record(errp, args) ? qapi_new_EnforcementDNSBlocklistDetails(revision, 0) : nullptr;
}

EnforcementDNSBlocklistDetails *qmp_get_dns_blocklist_revision(Error **errp)
{
    return record(errp, "") ? qapi_new_EnforcementDNSBlocklistDetails(1, 0) : nullptr;
}

#include "qapi/qmp-dispatch.h"
#include "qapi/qmp-registry.h"

TEST_F(MarshalTest, RegisteredCommandsAnswerThroughTheDispatcher)
{
    qmp_register_enforcement_commands();
    const char *names[] = {
        "terminate", "get-last-enforcement-policy-details", "set-enforcement-policy", "set-state",
        "get-state", "get-enforcement-mode", "get-enforcement-policy", "set-server-address-info-list",
        "read-digital-signature-file", "block-non-tcp-udp", "set-enforcement-policy-revision",
        "get-windows-firewall-mode", "get-iptables-mapping", "set-dns-blocklist-policy",
        "get-dns-blocklist-revision",
    };
    for (const char *name : names) {
        const QmpCommand *cmd = qmp_find_command(name);
        ASSERT_NE(cmd, nullptr) << name;
        EXPECT_TRUE(qmp_has_success_response(cmd));
    }

    auto run = [](const std::string &request, std::string *error) {
        QObject *req = parse_json(request.c_str());
        Error *err = nullptr;
        char *ret = do_qmp_dispatch(req, &err);
        *error = hvtest::TakeMessage(err);
        std::string out = ret ? ret : "";
        g_free(ret);
        qobject_decref(req);
        return out;
    };
    auto set_policy = [](const std::string &rule, const std::string &extra) {
        return R"({"execute": "set-enforcement-policy", "arguments": )" + policy_args(rule, extra) + "}";
    };
    const std::string rule = R"({"match_src": {}, "match_dst": {}, "protocols": ["tcp"], "verdict": "BLOCK", "id": "r"})";
    std::string error;
    EXPECT_EQ(run(set_policy(R"({"match_src": {}, "match_dst": {}, "protocols": [], "verdict": "block", "id": "r"})", ""),
                  &error),
              "");
    EXPECT_EQ(error, "Invalid parameter 'block'");
    /* Refused after both tables were read: they are released (ASan) and the handler never runs. */
    EXPECT_EQ(run(set_policy(rule, R"(, "dc-inventory-revision": -4)"), &error), "");
    EXPECT_EQ(error, "Invalid parameter type for 'dc-inventory-revision', expected: unsigned integer, got: out of range");
    EXPECT_EQ(calls.count, 0);
    /* An unknown key directly in the arguments, or given to a command without any, is ignored. */
    EXPECT_EQ(run(set_policy(rule, R"(, "unknown": 1)"), &error),
              R"({"new-revision": 2, "old-revision": 1, "implicit-rules": []})");
    EXPECT_EQ(run(R"({"execute": "get-state", "arguments": {"ignored": 1}})", &error), "\"monitor\"");
    EXPECT_EQ(calls.count, 2);
    qmp_registry_cleanup();
}
