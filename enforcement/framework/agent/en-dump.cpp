#include "enforcement/framework/agent/en-dump.h"

#include <cstring>
#include <utility>

#include "agent-common/base-logger.h"
#include "qapi/qmp-output-visitor.h"
#include "util/check-null.h"
#include "util/error.h"

namespace {

constexpr const char *kDashes = "--------------------------------------------";

/* Appends list entries with "," between them and none after the last. */
class Joiner {
public:
    explicit Joiner(GString *out) : out_(out) {}

    GString *next()
    {
        if (!first_) {
            g_string_append_c(out_, ',');
        }
        first_ = false;
        return out_;
    }
    void add(const char *text) { g_string_append(next(), text); }

private:
    GString *out_;
    bool first_ = true;
};

void dump_strings(const strList *list, bool present, GString *out)
{
    Joiner j(out);
    for (const strList *s = present ? list : nullptr; s; s = s->next) {
        if (s->value) {
            j.add(s->value);
        }
    }
}

void dump_ports(const EntityMatch *m, GString *out)
{
    Joiner j(out);
    for (const PortRangeMatchList *r = m->has_match_port_ranges ? m->match_port_ranges : nullptr; r; r = r->next) {
        if (r->value) {
            g_string_append_printf(j.next(), "%u-%u", r->value->start, r->value->end);
        }
    }
    for (const uint16List *p = m->has_match_ports ? m->match_ports : nullptr; p; p = p->next) {
        g_string_append_printf(j.next(), "%u", p->value);
    }
}

void dump_icmp(const EntityMatch *m, GString *out)
{
    Joiner j(out);
    for (const IcmpMatchList *i = m->has_match_icmp_types ? m->match_icmp_types : nullptr; i; i = i->next) {
        const IcmpMatch *icmp = i->value;
        if (!icmp) {
            continue;
        }
        const char *ver = icmp->ver == ICMP_VER_6 ? "(v6)" : "";
        if (!icmp->codes) {
            g_string_append_printf(j.next(), "%s%u/*", ver, icmp->type);
        }
        for (const uint8List *c = icmp->codes; c; c = c->next) {
            g_string_append_printf(j.next(), "%s%u/%u", ver, icmp->type, c->value);
        }
    }
}

void dump_processes(const EntityMatch *m, GString *out)
{
    Joiner j(out);
    for (const ProcessMatchList *p = m->has_match_processes ? m->match_processes : nullptr; p; p = p->next) {
        const ProcessMatch *proc = p->value;
        if (!proc) {
            continue;
        }
        GString *s = j.next();
        const char *sep = "";
        for (auto [has, text] : {std::pair{proc->has_image_path, proc->image_path},
                                 std::pair{proc->has_image_basename, proc->image_basename},
                                 std::pair{proc->has_container_id, proc->container_id}}) {
            if (has && text) {
                g_string_append_printf(s, "%s%s", sep, text);
                sep = ":";
            }
        }
    }
}

void dump_services(const EntityMatch *m, GString *out)
{
    if (m->has_match_win_any_services && m->match_win_any_services) {
        g_string_append(out, "<ANY>");
        return;
    }
    Joiner j(out);
    for (const WinServiceMatchList *s = m->has_match_win_services ? m->match_win_services : nullptr; s;
         s = s->next) {
        if (!s->value) {
            continue;
        }
        g_string_append_printf(j.next(), "%s:[", s->value->service_name ? s->value->service_name : "");
        dump_strings(s->value->service_image_names, s->value->has_service_image_names, out);
        g_string_append_c(out, ']');
    }
}

void dump_groups(const EntityMatch *m, GString *out)
{
    const GroupMatch *g = m->has_match_groups ? m->match_groups : nullptr;
    if (!g) {
        return;
    }
    Joiner j(out);
    for (const DomainGroupMatchList *d = g->has_domain_groups ? g->domain_groups : nullptr; d; d = d->next) {
        if (d->value) {
            g_string_append_printf(j.next(), "%s:%s", d->value->gname ? d->value->gname : "",
                                   d->value->sid ? d->value->sid : "");
        }
    }
    if (g->local_users) {
        j.add("<local users>");
    }
    if (g->local_admins) {
        j.add("<local admins>");
    }
}

/* The JSON text of the container match list, or NULL when it cannot be written. */
char *container_matches_json(const ContainerMatchList *list)
{
    QmpOutputVisitor *qov = qmp_output_visitor_new();
    Error *err = nullptr;
    /* The output visitor only reads the value. */
    auto *value = const_cast<ContainerMatchList *>(list);
    visit_type_ContainerMatchList(qmp_output_get_visitor(qov), &value, nullptr, &err);
    if (err) {
        error_free(err);
        qmp_output_visitor_cleanup(qov);
        return nullptr;
    }
    return qmp_output_get_json(qov, true);
}

/* Appends one CSV field, quoted when its text would otherwise split the record. */
void csv_field(GString *line, const char *text, char end)
{
    if (!text) {
        text = "";
    }
    if (!strpbrk(text, ";\"\r\n")) {
        g_string_append(line, text);
    } else {
        g_string_append_c(line, '"');
        for (const char *c = text; *c; c++) {
            if (*c == '"') {
                g_string_append_c(line, '"');
            }
            g_string_append_c(line, *c);
        }
        g_string_append_c(line, '"');
    }
    g_string_append_c(line, end);
}

} // namespace

const char *en_protocols_display_name(const IpProtocolList *protocols)
{
    static const char *const kNames[] = {"UNKNOWN", "TCP", "UDP", "TCP, UDP",
                                         "ICMP", "TCP, ICMP", "UDP, ICMP", "TCP, UDP, ICMP"};
    unsigned bits = 0;
    for (const IpProtocolList *p = protocols; p; p = p->next) {
        switch (p->value) {
        case IP_PROTOCOL_TCP:
            bits |= 1;
            break;
        case IP_PROTOCOL_UDP:
            bits |= 2;
            break;
        case IP_PROTOCOL_ICMP:
            bits |= 4;
            break;
        default:
            break;
        }
    }
    return kNames[bits];
}

const char *en_rule_type_display_name(bool has_rule_type, RuleType type)
{
    if (!has_rule_type) {
        return "UNKNOWN";
    }
    switch (type) {
    case RULE_TYPE_DEFAULT:
        return "DEFAULT";
    case RULE_TYPE_IMPLICIT:
        return "IMPLICIT";
    case RULE_TYPE_EXPLICIT:
        return "EXPLICIT";
    }
    return "ERROR";
}

const char *en_verdict_display_name(RuleVerdict verdict)
{
    switch (verdict) {
    case RULE_VERDICT_ALLOW:
        return "ALLOW";
    case RULE_VERDICT_BLOCK:
        return "BLOCK";
    }
    return "ERROR";
}

const char *en_transport_display_name(uint64_t transport)
{
    switch (transport) {
    case 0:
        return "TCP";
    case 1:
        return "UDP";
    case 65535:
        return "ALL";
    default:
        return "ERROR";
    }
}

const char *en_driver_verdict_display_name(uint64_t verdict)
{
    static const char *const kNames[] = {"UNKNOWN", "BLOCK", "ALLOW", "CONTINUE"};
    return verdict < G_N_ELEMENTS(kNames) ? kNames[verdict] : "ERROR";
}

const char *en_event_kind_display_name(uint64_t kind)
{
    switch (kind) {
    case 0:
        return "PRIMARY";
    case 1:
        return "STATUS";
    default:
        return "ERROR";
    }
}

bool en_entity_match_dump(const EntityMatch *match, GString *out)
{
    AGENT_CHECK_NULL(match, "match", false);
    g_string_append(out, "IPs: [");
    dump_strings(match->match_ip_hash, match->has_match_ip_hash, out);
    g_string_append(out, "], subnets: [");
    dump_strings(match->match_multiple_subnets, match->has_match_multiple_subnets, out);
    g_string_append(out, "], DNSs: [");
    dump_strings(match->match_dns_list, match->has_match_dns_list, out);
    g_string_append(out, "], ports: [");
    dump_ports(match, out);
    g_string_append(out, "], icmp_types: [");
    dump_icmp(match, out);
    g_string_append(out, "], applications: [");
    dump_processes(match, out);
    g_string_append(out, "], win_services: [");
    dump_services(match, out);
    g_string_append(out, "], groups: [");
    dump_groups(match, out);
    g_string_append_c(out, ']');
    if (match->has_match_container_attrs) {
        char *json = container_matches_json(match->match_container_attrs);
        if (!json) {
            g_warning("failed to build string for container attributes match");
            return false;
        }
        g_string_append_printf(out, ", container-matches: [%s]", json);
        g_free(json);
    }
    return true;
}

void en_rule_dump(const EnforcementRule *rule, GString *out)
{
    AGENT_CHECK_NULL(rule, "rule", );
    g_string_append_printf(out, "\t\t%s: protocols: %s, type: %s, ", rule->id ? rule->id : "",
                           en_protocols_display_name(rule->protocols),
                           en_rule_type_display_name(rule->has_rule_type, rule->rule_type));
    /* A broken entity cuts the line short, but the next rule still starts a line of its own. */
    if (en_entity_match_dump(rule->match_src, out)) {
        g_string_append(out, " --> ");
        if (en_entity_match_dump(rule->match_dst, out)) {
            g_string_append_printf(out, " = %s", en_verdict_display_name(rule->verdict));
        }
    }
    g_string_append_c(out, '\n');
}

void en_chain_dump(const EnforcementChain *chain, GString *out)
{
    AGENT_CHECK_NULL(chain, "chain", );
    AGENT_CHECK_NULL(chain->chain_name, "chain->chain_name", );
    g_string_append_printf(out, "\t%s\n", chain->chain_name);
    for (const EnforcementRuleList *r = chain->rules; r; r = r->next) {
        en_rule_dump(r->value, out);
    }
}

char *en_table_dump(const char *table_name, const EnforcementChainList *chains)
{
    AGENT_CHECK_NULL(table_name, "table_name", nullptr);
    GString *out = g_string_new(table_name);
    g_string_append_c(out, '\n');
    for (const EnforcementChainList *c = chains; c; c = c->next) {
        en_chain_dump(c->value, out);
    }
    return g_string_free(out, FALSE);
}

/*
 * The table text as far as the log can use it: the logger keeps the first
 * BASE_LOGGER_MAX_MESSAGE bytes of a message, and the size check looks no further either.
 * Formatting stops at the first rule that reaches that length, so a large policy is not
 * formatted in full for a log line that drops nearly all of it.
 */
static char *table_dump_for_log(const char *table_name, const EnforcementChainList *chains)
{
    static_assert(BASE_LOGGER_MAX_MESSAGE > EN_DUMP_MAX_LOG_TEXT);
    constexpr size_t kKept = BASE_LOGGER_MAX_MESSAGE;
    GString *out = g_string_new(table_name);
    g_string_append_c(out, '\n');
    for (const EnforcementChainList *c = chains; c && out->len < kKept; c = c->next) {
        const EnforcementChain *chain = c->value;
        if (!chain || !chain->chain_name) {
            en_chain_dump(chain, out);
            continue;
        }
        g_string_append_printf(out, "\t%s\n", chain->chain_name);
        for (const EnforcementRuleList *r = chain->rules; r && out->len < kKept; r = r->next) {
            en_rule_dump(r->value, out);
        }
    }
    return g_string_free(out, FALSE);
}

void en_policy_dump_to_log(const EnforcementChainList *input_table, const EnforcementChainList *output_table,
                           uint64_t revision, uint64_t dc_inventory_revision, bool size_check)
{
    g_message("%s", "");
    g_message("Agent Policy (Policy revision: %llu, DC inventory revision: %llu)",
              static_cast<unsigned long long>(revision), static_cast<unsigned long long>(dc_inventory_revision));
    g_message("%s", kDashes);
    char *input = table_dump_for_log("INPUT", input_table);
    char *output = table_dump_for_log("OUTPUT", output_table);
    if (size_check && strlen(input) + strlen(output) > EN_DUMP_MAX_LOG_TEXT) {
        g_message("[policy dump] Policy is too big. Skipping the policy dump to log. To view the agent policy, "
                  "use: hv-agent export-policies");
    } else {
        g_message("\n%s", input);
        g_message("\n%s", output);
        g_message("%s", kDashes);
    }
    g_free(input);
    g_free(output);
}

char *en_entity_ip_match_export(const EntityMatch *match)
{
    AGENT_CHECK_NULL(match, "match", g_strdup(" "));
    GString *out = g_string_new(nullptr);
    Joiner j(out);
    /* Prepending each entry gives the reverse list order. */
    GSList *reversed = nullptr;
    for (const strList *s = match->has_match_ip_hash ? match->match_ip_hash : nullptr; s; s = s->next) {
        if (s->value) {
            reversed = g_slist_prepend(reversed, s->value);
        }
    }
    for (GSList *l = reversed; l; l = l->next) {
        j.add(static_cast<const char *>(l->data));
    }
    g_slist_free(reversed);
    if (out->len == 0) {
        g_string_append_c(out, ' ');
    }
    return g_string_free(out, FALSE);
}

char *en_entity_port_match_export(const EntityMatch *match)
{
    AGENT_CHECK_NULL(match, "match", g_strdup(" "));
    GSList *reversed = nullptr;
    for (const uint16List *p = match->has_match_ports ? match->match_ports : nullptr; p; p = p->next) {
        reversed = g_slist_prepend(reversed, g_strdup_printf("%u", p->value));
    }
    GSList *ranges = nullptr;
    for (const PortRangeMatchList *r = match->has_match_port_ranges ? match->match_port_ranges : nullptr; r;
         r = r->next) {
        if (r->value) {
            ranges = g_slist_prepend(ranges, g_strdup_printf("%u-%u", r->value->start, r->value->end));
        }
    }
    reversed = g_slist_concat(reversed, ranges);
    GString *out = g_string_new(nullptr);
    Joiner j(out);
    for (GSList *l = reversed; l; l = l->next) {
        j.add(static_cast<const char *>(l->data));
    }
    g_slist_free_full(reversed, g_free);
    if (out->len == 0) {
        g_string_append_c(out, ' ');
    }
    return g_string_free(out, FALSE);
}

void en_table_export(const char *direction, const EnforcementChainList *chains, FILE *file)
{
    AGENT_CHECK_NULL(direction, "direction", );
    AGENT_CHECK_NULL(file, "file", );
    g_autoptr(GString) line = g_string_new(nullptr);
    for (const EnforcementChainList *c = chains; c; c = c->next) {
        AGENT_CHECK_NULL(c->value, "chain", );
        AGENT_CHECK_NULL(c->value->chain_name, "chain->chain_name", );
        for (const EnforcementRuleList *r = c->value->rules; r; r = r->next) {
            const EnforcementRule *rule = r->value;
            AGENT_CHECK_NULL(rule, "rule", );
            char *src_ip = en_entity_ip_match_export(rule->match_src);
            char *dst_ip = en_entity_ip_match_export(rule->match_dst);
            char *src_port = en_entity_port_match_export(rule->match_src);
            char *dst_port = en_entity_port_match_export(rule->match_dst);
            g_string_truncate(line, 0);
            csv_field(line, direction, ';');
            csv_field(line, rule->id, ';');
            csv_field(line, src_ip, ';');
            csv_field(line, dst_ip, ';');
            csv_field(line, src_port, ';');
            csv_field(line, dst_port, ';');
            csv_field(line, en_protocols_display_name(rule->protocols), ';');
            csv_field(line, en_rule_type_display_name(rule->has_rule_type, rule->rule_type), ';');
            csv_field(line, en_verdict_display_name(rule->verdict), '\n');
            fwrite(line->str, 1, line->len, file);
            g_free(src_ip);
            g_free(dst_ip);
            g_free(src_port);
            g_free(dst_port);
        }
    }
}

bool en_policy_export(const EnforcementChainList *input_table, const EnforcementChainList *output_table,
                      const char *path)
{
    AGENT_CHECK_NULL(path, "path", false);
    FILE *file = fopen(path, "w");
    if (!file) {
        perror("fopen");
        return false;
    }
    fputs("sep=;\n", file);
    fputs("Direction;RuleID;SrcIP;DstIP;SrcPort;DstPort;Protocol;RuleType;Verdict\n", file);
    en_table_export("Input", input_table, file);
    en_table_export("Output", output_table, file);
    /* A full disk shows only here; a cut-off export must not pass for a complete one. */
    bool written = fflush(file) == 0 && !ferror(file);
    if (!written) {
        perror("fwrite");
    }
    if (fclose(file) != 0 && written) {
        perror("fclose");
        written = false;
    }
    return written;
}
