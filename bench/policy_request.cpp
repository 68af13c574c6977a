#include "bench/policy_request.h"

#include <glib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/policy_tables.h"
#include "qapi/qmp-enforcement-types.h"
#include "qapi/qmp-output-visitor.h"
#include "util/error.h"

namespace {

constexpr size_t kRevisionWidth = 10; /* any 32-bit revision */

std::string to_json(EnforcementChainList *table)
{
    QmpOutputVisitor *qov = qmp_output_visitor_new();
    Error *err = nullptr;
    visit_type_EnforcementChainList(qmp_output_get_visitor(qov), &table, nullptr, &err);
    if (err) {
        fprintf(stderr, "table does not write: %s\n", error_get_message(err));
        abort();
    }
    char *json = qmp_output_get_json(qov, true);
    std::string text = json;
    g_free(json);
    return text;
}

EnforcementChain *default_chain(bool output)
{
    EnforcementRule *rule = qapi_alloc_EnforcementRule();
    rule->match_src = qapi_alloc_EntityMatch();
    rule->match_dst = qapi_alloc_EntityMatch();
    rule->protocols = qapi_new_IpProtocolList(IP_PROTOCOL_TCP);
    rule->protocols->next = qapi_new_IpProtocolList(IP_PROTOCOL_UDP);
    rule->verdict = output ? RULE_VERDICT_ALLOW : RULE_VERDICT_BLOCK;
    rule->id = g_strdup(output ? "out-default" : "in-default");
    EnforcementChain *chain = qapi_alloc_EnforcementChain();
    chain->chain_name = g_strdup(output ? "DEFAULT-ALLOW" : "DEFAULT-BLOCK");
    chain->rules = qapi_new_EnforcementRuleList(rule);
    return chain;
}

} // namespace

EnforcementChainList *bench_push_table(size_t rules, bool output)
{
    EnforcementChainList *head = bench_policy_table(rules > 0 ? rules - 1 : 0);
    EnforcementChainList **tail = &head;
    for (; *tail; tail = &(*tail)->next) {
        for (EnforcementRuleList *r = (*tail)->value->rules; r; r = r->next) {
            /* The management side sends no rule types, and ids differ between tables. */
            r->value->has_rule_type = false;
            char *id = g_strdup_printf("%c%s", output ? 'o' : 'i', r->value->id);
            g_free(r->value->id);
            r->value->id = id;
        }
    }
    if (rules > 0) {
        *tail = qapi_new_EnforcementChainList(default_chain(output));
    }
    return head;
}

BenchPushRequest bench_push_request(size_t rules)
{
    EnforcementChainList *input = bench_push_table(rules / 2, false);
    EnforcementChainList *output = bench_push_table(rules - rules / 2, true);
    BenchPushRequest r;
    r.rules = rules;
    r.text = R"({"execute": "set-enforcement-policy", "arguments": {"input-table": )" + to_json(input) +
             R"(, "output-table": )" + to_json(output) + R"(, "revision": )";
    r.revision_at = r.text.size();
    r.text += std::string(kRevisionWidth, ' ') + "}}";
    qapi_free_EnforcementChainList(input);
    qapi_free_EnforcementChainList(output);
    bench_push_request_set_revision(&r, 1);
    return r;
}

void bench_push_request_set_revision(BenchPushRequest *request, uint32_t revision)
{
    char digits[kRevisionWidth + 1];
    snprintf(digits, sizeof digits, "%-10u", revision);
    memcpy(&request->text[request->revision_at], digits, kRevisionWidth);
}
