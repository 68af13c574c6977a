#include "enforcement/framework/agent/en-rules.h"

#include <glib.h>

#include <cstring>
#include <deque>

#include "enforcement/framework/agent/en-api.h"
#include "enforcement/framework/agent/en-config.h"
#include "enforcement/framework/agent/en-driver.h"
#include "enforcement/framework/agent/en-index.h"
#include "enforcement/framework/agent/en-lid-map.h"
#include "qapi/qmp-enforcement-types.h"
#include "util/check-null.h"
#include "util/error.h"

/* The log line and the Error carry the same text. */
#define RULES_FAIL(errp, level, ...)                     \
    do {                                                 \
        g_log(G_LOG_DOMAIN, (level), __VA_ARGS__);       \
        error_setg((errp), __VA_ARGS__);                 \
    } while (0)
#define WARN_FAIL(errp, ...) RULES_FAIL(errp, G_LOG_LEVEL_WARNING, __VA_ARGS__)
#define CRIT_FAIL(errp, ...) RULES_FAIL(errp, G_LOG_LEVEL_CRITICAL, __VA_ARGS__)

namespace {

constexpr size_t kNameMax = EN_API_NAME_SIZE - 1;
/* Names in messages are cut here so a huge one cannot flood the log. */
constexpr int kPrintMax = 256;
/* The 16-bit length field counts the terminator too. */
constexpr size_t kMaxTextLen = 65534;

class Writer {
public:
    Writer(uint8_t *begin, const uint8_t *end) : cur_(begin), end_(end) {}

    bool put(const void *data, size_t n, const char *field, Error **errp)
    {
        if (n > static_cast<size_t>(end_ - cur_)) {
            WARN_FAIL(errp, "[rule] failed to write rule field: '%s' (buffer is too small)", field);
            return false;
        }
        memcpy(cur_, data, n);
        cur_ += n;
        return true;
    }
    bool u8(uint8_t v, const char *field, Error **errp) { return put(&v, 1, field, errp); }
    bool u16(uint16_t v, const char *field, Error **errp) { return put(&v, 2, field, errp); }
    bool u32(uint32_t v, const char *field, Error **errp) { return put(&v, 4, field, errp); }
    bool u64(uint64_t v, const char *field, Error **errp) { return put(&v, 8, field, errp); }

    uint8_t *&cursor() { return cur_; }
    const uint8_t *end() const { return end_; }

private:
    uint8_t *cur_;
    const uint8_t *end_;
};

/* What pass 1 found; pass 2 writes exactly this much. */
struct EntityPlan {
    uint32_t ip6_subnets = 0;
    uint32_t ip6_addrs = 0;
    uint32_t processes = 0;
    uint32_t dns_names = 0;
    size_t dns_bytes = 0;
    uint32_t sids = 0;
    size_t sid_subauths = 0;
    uint32_t services = 0;
    size_t service_bytes = 0;
    size_t service_images = 0;
    uint32_t icmp_entries = 0;
    bool groups = false;

    size_t size() const
    {
        return EN_ENTITY_FIXED_SIZE + 35 * size_t{ip6_subnets} + 17 * size_t{ip6_addrs} + 2 * size_t{processes} +
               dns_bytes + 2 * size_t{dns_names} + (groups ? 2 : 0) + sids + 4 * sid_subauths + service_bytes +
               6 * size_t{services} + 2 * service_images + 4 * size_t{icmp_entries};
    }
};

bool plan_entity(const EntityMatch *m, const en_rule_caps_t *caps, EntityPlan *plan, Error **errp)
{
    AGENT_CHECK_NULL_ERR(m, "qmp_entity_match", errp, false);
    if (m->has_match_multiple_subnets) {
        AGENT_CHECK_NULL_ERR(m->match_multiple_subnets, "qmp_entity_match->match_multiple_subnets", errp, false);
        for (const strList *s = m->match_multiple_subnets; s; s = s->next) {
            if (!s->value) {
                WARN_FAIL(errp, "[rule] subnet match is NULL in qmp entity convert");
                return false;
            }
            int af = en_str_af(s->value);
            if (af < 0) {
                WARN_FAIL(errp, "[rule] invalid subnet str: %s", s->value);
                return false;
            }
            plan->ip6_subnets += af == EN_AF_INET6;
        }
    }
    if (m->has_match_ip_hash) {
        AGENT_CHECK_NULL_ERR(m->match_ip_hash, "qmp_entity_match->match_ip_hash", errp, false);
        for (const strList *s = m->match_ip_hash; s; s = s->next) {
            if (!s->value) {
                WARN_FAIL(errp, "[rule] IP match is NULL in qmp entity convert");
                return false;
            }
            int af = en_str_af(s->value);
            if (af < 0) {
                WARN_FAIL(errp, "[rule] invalid IP str: %s", s->value);
                return false;
            }
            plan->ip6_addrs += af == EN_AF_INET6;
        }
    }
    if (m->has_match_processes) {
        AGENT_CHECK_NULL_ERR(m->match_processes, "qmp_entity_match->match_processes", errp, false);
        for (const ProcessMatchList *p = m->match_processes; p; p = p->next) {
            AGENT_CHECK_NULL_ERR(p->value, "qmp_entity_match->match_processes->value", errp, false);
            plan->processes++;
        }
    }
    if (m->has_match_dns_list) {
        AGENT_CHECK_NULL_ERR(m->match_dns_list, "qmp_entity_match->match_dns_list", errp, false);
        for (const strList *s = m->match_dns_list; s; s = s->next) {
            size_t len = s->value ? strlen(s->value) : 0;
            if (len > kMaxTextLen) {
                WARN_FAIL(errp, "[rule] dns name is too long (%zu bytes)", len);
                return false;
            }
            plan->dns_names++;
            plan->dns_bytes += len + 1;
        }
    }
    if (m->has_match_groups) {
        if (!caps->sid_rules) {
            WARN_FAIL(errp, "[rule] got SID rules, which are unsupported");
            return false;
        }
        AGENT_CHECK_NULL_ERR(m->match_groups, "qmp_entity_match->match_groups", errp, false);
        plan->groups = true;
        if (m->match_groups->has_domain_groups) {
            AGENT_CHECK_NULL_ERR(m->match_groups->domain_groups, "qmp_entity_match->match_groups->domain_groups", errp, false);
            for (const DomainGroupMatchList *g = m->match_groups->domain_groups; g; g = g->next) {
                const char *sid = g->value ? g->value->sid : nullptr;
                uint8_t n = en_sid_subauth_count(sid);
                if (n == 0) {
                    WARN_FAIL(errp, "[rule] malformed SID: %s", sid ? sid : "(null)");
                    return false;
                }
                plan->sids++;
                plan->sid_subauths += n;
            }
        }
    }
    if (m->has_match_icmp_types) {
        AGENT_CHECK_NULL_ERR(m->match_icmp_types, "qmp_entity_match->match_icmp_types", errp, false);
        for (const IcmpMatchList *i = m->match_icmp_types; i; i = i->next) {
            AGENT_CHECK_NULL_ERR(i->value, "qmp_entity_match->match_icmp_types->value", errp, false);
            uint32_t codes = 0;
            for (const uint8List *c = i->value->codes; c; c = c->next) {
                codes++;
            }
            plan->icmp_entries += codes ? codes : 1;
        }
    }
    if (m->has_match_container_attrs) {
        WARN_FAIL(errp, "[rule] got container matches rules, which are unsupported");
        return false;
    }
    if (m->has_match_win_services || m->has_match_win_any_services) {
        if (!caps->service_rules) {
            WARN_FAIL(errp, "[rule] got Windows service rules, which are unsupported");
            return false;
        }
        if (m->has_match_win_services) {
            AGENT_CHECK_NULL_ERR(m->match_win_services, "qmp_entity_match->match_win_services", errp, false);
            for (const WinServiceMatchList *s = m->match_win_services; s; s = s->next) {
                AGENT_CHECK_NULL_ERR(s->value, "qmp_entity_match->match_win_services->value", errp, false);
                AGENT_CHECK_NULL_ERR(s->value->service_name, "service_name", errp, false);
                size_t len = strlen(s->value->service_name);
                if (len > kMaxTextLen) {
                    WARN_FAIL(errp, "[rule] service name is too long (%zu bytes)", len);
                    return false;
                }
                plan->services++;
                plan->service_bytes += len + 1;
                if (s->value->has_service_image_names) {
                    for (const strList *img = s->value->service_image_names; img; img = img->next) {
                        AGENT_CHECK_NULL_ERR(img->value, "service_image_name", errp, false);
                        plan->service_images++;
                    }
                }
            }
        }
        if (plan->services && m->has_match_win_any_services && m->match_win_any_services) {
            WARN_FAIL(errp, "[rule] rule cannot have both service matches and 'any' service match");
            return false;
        }
    }
    return true;
}

bool write_subnets(const EntityMatch *m, const EntityPlan &plan, Writer &w, Error **errp)
{
    if (!w.u8(m->has_match_multiple_subnets, "has_match_multiple_subnets", errp) ||
        !w.u32(plan.ip6_subnets, "multi_subnets_num", errp)) {
        return false;
    }
    for (const strList *s = m->has_match_multiple_subnets ? m->match_multiple_subnets : nullptr; s; s = s->next) {
        if (en_str_af(s->value) == EN_AF_INET) {
            continue;
        }
        const char *text = s->value;
        uint8_t not_flag = text[0] == '!';
        en_ip_addr_t addr;
        en_ip_addr_t mask;
        if (!en_parse_cidr(text + not_flag, &addr, &mask, errp) || !w.u8(not_flag, "not_flag", errp) ||
            !write_endr_ip_field(&w.cursor(), w.end(), &addr, errp) ||
            !write_endr_ip_field(&w.cursor(), w.end(), &mask, errp)) {
            return false;
        }
    }
    return true;
}

bool write_addresses(const EntityMatch *m, const EntityPlan &plan, Writer &w, Error **errp)
{
    if (!w.u8(m->has_match_ip_hash, "has_match_ip_hash", errp) || !w.u32(plan.ip6_addrs, "multi_ips_num", errp)) {
        return false;
    }
    for (const strList *s = m->has_match_ip_hash ? m->match_ip_hash : nullptr; s; s = s->next) {
        if (en_str_af(s->value) == EN_AF_INET) {
            continue;
        }
        uint8_t ip6[16];
        if (!en_pton(s->value, ip6, sizeof ip6)) {
            WARN_FAIL(errp, "[rule] en_pton failed on: %s", s->value);
            return false;
        }
        if (!w.u8(0, "is_ipv4", errp) || !w.put(ip6, sizeof ip6, "ip6_address", errp)) {
            return false;
        }
    }
    return true;
}

bool write_processes(const EntityMatch *m, const EntityPlan &plan, Writer &w, Error **errp)
{
    if (!w.u8(m->has_match_processes, "has_match_processes", errp) ||
        !w.u32(plan.processes, "processes_num", errp)) {
        return false;
    }
    for (const ProcessMatchList *p = m->has_match_processes ? m->match_processes : nullptr; p; p = p->next) {
        const ProcessMatch *pm = p->value;
        const char *basename = pm->has_image_basename ? pm->image_basename : nullptr;
        uint16_t lid = 0;
        if (!en_lid_map_add(basename, pm->has_image_path ? pm->image_path : nullptr,
                            pm->has_container_id ? pm->container_id : nullptr, &lid)) {
            WARN_FAIL(errp, "[rule] failed to add basename: %s to lid map", basename ? basename : "(null)");
            return false;
        }
        if (!w.u16(lid, "lid", errp)) {
            return false;
        }
    }
    return true;
}

bool write_text(Writer &w, const char *text, const char *len_field, const char *field, Error **errp)
{
    size_t n = strlen(text) + 1;
    return w.u16(static_cast<uint16_t>(n), len_field, errp) && w.put(text, n, field, errp);
}

bool write_dns(const EntityMatch *m, const EntityPlan &plan, Writer &w, Error **errp)
{
    if (!w.u8(m->has_match_dns_list, "has_match_dns_list", errp) || !w.u32(plan.dns_names, "dns_list_len", errp)) {
        return false;
    }
    for (const strList *s = m->has_match_dns_list ? m->match_dns_list : nullptr; s; s = s->next) {
        if (!s->value) {
            WARN_FAIL(errp, "[rule] dns name is NULL in qmp entity convert");
            return false;
        }
        if (!write_text(w, s->value, "dns_name_len", "dns_name", errp)) {
            return false;
        }
    }
    return true;
}

bool write_groups(const EntityMatch *m, const EntityPlan &plan, Writer &w, Error **errp)
{
    if (!w.u8(m->has_match_groups, "has_match_groups", errp) || !w.u32(plan.sids, "groups_num", errp)) {
        return false;
    }
    if (!plan.groups) {
        return true;
    }
    const GroupMatch *g = m->match_groups;
    for (const DomainGroupMatchList *d = g->has_domain_groups ? g->domain_groups : nullptr; d; d = d->next) {
        const char *sid = d->value->sid;
        uint8_t count = 0;
        uint32_t subauths[EN_SID_MAX_SUBAUTHS];
        switch (en_parse_sid(sid, &count, subauths)) {
        case EN_SID_OK:
            break;
        case EN_SID_BAD_PREFIX:
            WARN_FAIL(errp, "[rule] incorrect SID prefix: %s", sid);
            return false;
        case EN_SID_NO_SUBAUTH:
            WARN_FAIL(errp, "[rule] SID must have at least one subauth: %s", sid);
            return false;
        case EN_SID_TOO_MANY_SUBAUTHS:
            WARN_FAIL(errp, "[rule] SID has too many subauths: %s", sid);
            return false;
        case EN_SID_MALFORMED:
            WARN_FAIL(errp, "[rule] malformed SID: %s", sid);
            return false;
        default:
            WARN_FAIL(errp, "[rule] unknown error parsing SID: %s", sid);
            return false;
        }
        if (!w.u8(count, "num_subauths", errp) || !w.put(subauths, 4 * size_t{count}, "subauths", errp)) {
            return false;
        }
    }
    return w.u8(g->local_users, "local_users", errp) && w.u8(g->local_admins, "local_admins", errp);
}

bool write_services(const EntityMatch *m, const EntityPlan &plan, Writer &w, Error **errp)
{
    uint8_t any = m->has_match_win_any_services && m->match_win_any_services;
    if (!w.u8(m->has_match_win_services, "has_match_win_services", errp) ||
        !w.u8(any, "match_win_any_services", errp) || !w.u32(plan.services, "services_num", errp)) {
        return false;
    }
    for (const WinServiceMatchList *s = m->has_match_win_services ? m->match_win_services : nullptr; s; s = s->next) {
        const WinServiceMatch *svc = s->value;
        const strList *images = svc->has_service_image_names ? svc->service_image_names : nullptr;
        uint32_t n_images = 0;
        for (const strList *i = images; i; i = i->next) {
            n_images++;
        }
        if (!write_text(w, svc->service_name, "win_service_len", "service_name", errp) ||
            !w.u32(n_images, "num_service_images", errp)) {
            return false;
        }
        for (const strList *i = images; i; i = i->next) {
            uint16_t lid = 0;
            if (!en_lid_map_add(nullptr, i->value, nullptr, &lid)) {
                WARN_FAIL(errp, "[rule] failed to add service image path: %s to lid map", i->value);
                return false;
            }
            if (!w.u16(lid, "service_image_lid", errp)) {
                return false;
            }
        }
    }
    return true;
}

bool write_icmp(const EntityMatch *m, const EntityPlan &plan, Writer &w, Error **errp)
{
    if (!w.u8(m->has_match_icmp_types, "has_match_icmp_types", errp) ||
        !w.u32(plan.icmp_entries, "icmp_types_num", errp)) {
        return false;
    }
    for (const IcmpMatchList *i = m->has_match_icmp_types ? m->match_icmp_types : nullptr; i; i = i->next) {
        uint8_t v4 = i->value->ver == ICMP_VER_4;
        if (!i->value->codes) {
            uint8_t entry[4] = {v4, i->value->type, 0, 0};
            if (!w.put(entry, 4, "icmp_type", errp)) {
                return false;
            }
        }
        for (const uint8List *c = i->value->codes; c; c = c->next) {
            uint8_t entry[4] = {v4, i->value->type, 1, c->value};
            if (!w.put(entry, 4, "icmp_type", errp)) {
                return false;
            }
        }
    }
    return true;
}

/* Failures of the name checks shared by the chain message and the chain conversion. */
bool check_names(const char *table_name, const char *chain_name, Error **errp)
{
    if (strlen(table_name) > kNameMax) {
        WARN_FAIL(errp, "[api] table name is too long");
        return false;
    }
    size_t len = strlen(chain_name);
    if (len > kNameMax) {
        WARN_FAIL(errp, "[api] chain name (table='%s') is too long (%u is greater than %u): %.*s", table_name,
                  static_cast<unsigned>(len), static_cast<unsigned>(EN_API_NAME_SIZE), kPrintMax, chain_name);
        return false;
    }
    return true;
}

}  // namespace

en_rule_caps_t en_rule_driver_caps(void)
{
    return en_rule_caps_t{en_api_sid_rules_supported(), en_api_service_rules_supported()};
}

bool write_endr_ip_field(uint8_t **cursor, const uint8_t *end, const en_ip_addr_t *ip, Error **errp)
{
    Writer w(*cursor, end);
    bool ok = w.u8(ip->is_ipv4 ? 1 : 0, "is_ipv4", errp) && w.put(&ip->addr, 16, "ip_address", errp);
    if (ok) {
        *cursor = w.cursor();
    }
    return ok;
}

bool en_entity_build(const EntityMatch *qmp_entity_match, const en_rule_caps_t *caps, uint8_t **out_buf,
                     size_t *out_len, Error **errp)
{
    EntityPlan plan;
    if (!plan_entity(qmp_entity_match, caps, &plan, errp)) {
        return false;
    }
    size_t size = plan.size();
    auto *buf = static_cast<uint8_t *>(g_malloc0(size));
    const uint8_t *end = buf + size;
    Writer w(buf, end);
    const EntityMatch *m = qmp_entity_match;
    bool ok = write_subnets(m, plan, w, errp) && write_addresses(m, plan, w, errp) &&
              write_processes(m, plan, w, errp) && write_dns(m, plan, w, errp) && write_groups(m, plan, w, errp) &&
              write_services(m, plan, w, errp) && write_icmp(m, plan, w, errp) &&
              w.u8(0, "has_match_container_attrs", errp) && w.u16(0, "container_matches_num", errp);
    if (ok && w.cursor() != end) {
        WARN_FAIL(errp, "[rule] inconsistency in entity convert buffer. buf: %p, buf_end: %p",
                  static_cast<void *>(w.cursor()), static_cast<const void *>(end));
        ok = false;
    }
    if (!ok) {
        g_free(buf);
        return false;
    }
    *out_buf = buf;
    *out_len = size;
    return true;
}

bool en_entity_convert(const EntityMatch *qmp_entity_match, uint8_t **out_buf, size_t *out_len, Error **errp)
{
    en_rule_caps_t caps = en_rule_driver_caps();
    return en_entity_build(qmp_entity_match, &caps, out_buf, out_len, errp);
}

bool en_rule_build(const char *table_name, const char *chain_name, const EnforcementRule *qmp_rule,
                   const en_rule_caps_t *caps, uint8_t **out_buf, size_t *out_len, Error **errp)
{
    AGENT_CHECK_NULL_ERR(qmp_rule, "qmp_rule", errp, false);
    AGENT_CHECK_NULL_ERR(qmp_rule->id, "qmp_rule->id", errp, false);
    const char *id = qmp_rule->id;
    g_autofree uint8_t *src = nullptr;
    g_autofree uint8_t *dst = nullptr;
    size_t src_len = 0;
    size_t dst_len = 0;
    if (!en_entity_build(qmp_rule->match_src, caps, &src, &src_len, errp)) {
        g_warning("[rule] failed to convert source entity match (table='%s', chain='%s', rule='%s')", table_name,
                  chain_name, id);
        return false;
    }
    if (!en_entity_build(qmp_rule->match_dst, caps, &dst, &dst_len, errp)) {
        g_warning("[rule] failed to convert destination entity match (table='%s', chain='%s', rule='%s')",
                  table_name, chain_name, id);
        return false;
    }
    size_t size = src_len + dst_len + EN_RULE_TRAILER_SIZE;
    g_autofree uint8_t *buf = static_cast<uint8_t *>(g_malloc0(size));
    Writer w(buf, buf + size);
    if (!w.put(src, src_len, "match_src", errp) || !w.put(dst, dst_len, "match_dst", errp)) {
        return false;
    }
    if (!qmp_rule->has_rule_type) {
        WARN_FAIL(errp, "[rule] no type for rule '%s'", id);
        return false;
    }
    bool written;
    switch (qmp_rule->rule_type) {
    case RULE_TYPE_DEFAULT:
        written = w.u64(ENDR_RULE_DEFAULT, "ENDR_RULE_DEFAULT", errp);
        break;
    case RULE_TYPE_IMPLICIT:
        written = w.u64(ENDR_RULE_IMPLICIT, "ENDR_RULE_IMPLICIT", errp);
        break;
    case RULE_TYPE_EXPLICIT:
        written = w.u64(ENDR_RULE_EXPLICIT, "ENDR_RULE_EXPLICIT", errp);
        break;
    default:
        WARN_FAIL(errp, "[rule] invalid rule type value for rule '%s': %d", id, static_cast<int>(qmp_rule->rule_type));
        return false;
    }
    if (!written) {
        return false;
    }
    switch (qmp_rule->verdict) {
    case RULE_VERDICT_ALLOW:
        written = w.u64(ENDR_VERDICT_ALLOW, "ENDR_VERDICT_ALLOW", errp);
        break;
    case RULE_VERDICT_BLOCK:
        written = w.u64(ENDR_VERDICT_BLOCK, "ENDR_VERDICT_BLOCK", errp);
        break;
    default:
        WARN_FAIL(errp, "[rule] invalid verdict value for rule '%s': %d", id, static_cast<int>(qmp_rule->verdict));
        return false;
    }
    if (!written) {
        return false;
    }
    size_t id_len = strlen(id);
    if (id_len > kNameMax) {
        WARN_FAIL(errp, "[api] rule ID is too long (%u is greater than %u): %.*s", static_cast<unsigned>(id_len),
                  static_cast<unsigned>(EN_RULE_ID_SIZE), kPrintMax, id);
        return false;
    }
    uint8_t id_field[EN_RULE_ID_SIZE] = {};
    memcpy(id_field, id, id_len);
    if (!w.put(id_field, sizeof id_field, "id", errp)) {
        return false;
    }
    *out_buf = static_cast<uint8_t *>(g_steal_pointer(&buf));
    *out_len = size;
    return true;
}

bool en_chain_build_msg(const char *table_name, const char *chain_name, uint32_t rule_count,
                        uint8_t msg[EN_API_ADD_CHAIN_SIZE], Error **errp)
{
    AGENT_CHECK_NULL_ERR(table_name, "table_name", errp, false);
    AGENT_CHECK_NULL_ERR(chain_name, "chain_name", errp, false);
    if (!check_names(table_name, chain_name, errp)) {
        return false;
    }
    memset(msg, 0, EN_API_ADD_CHAIN_SIZE);
    memcpy(msg, table_name, strlen(table_name));
    memcpy(msg + EN_API_NAME_SIZE, chain_name, strlen(chain_name));
    memcpy(msg + 2 * EN_API_NAME_SIZE, &rule_count, sizeof rule_count);
    return true;
}

/* A refusal of the rule by the driver, which leaves no Error of its own. */
static void fail_rule_send(const EnforcementRule *qmp_rule, Error *err, Error **errp)
{
    if (err) {
        error_propagate(errp, err);
    } else {
        WARN_FAIL(errp, "[rule] failed to add rule: %s", qmp_rule->id);
    }
}

bool en_rule_convert(en_handle *en_handle, const char *table_name, const char *chain_name,
                     const EnforcementRule *qmp_rule, Error **errp)
{
    AGENT_CHECK_NULL_ERR(table_name, "table_name", errp, false);
    AGENT_CHECK_NULL_ERR(chain_name, "chain_name", errp, false);
    en_rule_caps_t caps = en_rule_driver_caps();
    g_autofree uint8_t *buf = nullptr;
    size_t len = 0;
    if (!en_rule_build(table_name, chain_name, qmp_rule, &caps, &buf, &len, errp)) {
        return false;
    }
    Error *err = nullptr;
    if (!en_api_add_rule(en_handle, table_name, chain_name, buf, len, &err)) {
        fail_rule_send(qmp_rule, err, errp);
        return false;
    }
    return true;
}

namespace {

/* Driver requests of a chain allowed in flight before the oldest answer is taken. */
constexpr size_t kChainPipelineDepth = 1024;

void report_rule_failure(const EnforcementRule *qmp_rule, const char *table_name, const char *chain_name)
{
    g_critical("[chain] failed to convert rule '%s' (table='%s', chain='%s')",
               qmp_rule && qmp_rule->id ? qmp_rule->id : "(null)", table_name, chain_name);
}

/*
 * The chain's requests go to the driver without waiting for each answer; the answers are
 * taken in order, and the chain is finished only when all of them came back. What is
 * reported is what the one-by-one conversion reports: the first request the driver
 * refuses, or else the first rule that could not be built.
 */
class ChainSender {
public:
    ChainSender(en_driver_pipeline *pipeline, const char *table_name, const char *chain_name)
        : pipeline_(pipeline), table_(table_name), chain_(chain_name)
    {
    }

    void send_chain(uint8_t msg[EN_API_ADD_CHAIN_SIZE])
    {
        en_api_add_chain_send(pipeline_, msg);
        sent_.push_back(nullptr);
    }

    /* False when the rule could not be sent or an earlier request failed (both reported). */
    bool send_rule(const EnforcementRule *qmp_rule, const en_rule_caps_t &caps, Error **errp)
    {
        if (!qmp_rule) {
            if (!settle(0, errp)) {
                return false;
            }
            WARN_FAIL(errp, "[chain] qmp rule in table='%s', chain='%s' is null", table_, chain_);
            return false;
        }
        g_autofree uint8_t *buf = nullptr;
        size_t len = 0;
        Error *err = nullptr;
        if (!en_rule_build(table_, chain_, qmp_rule, &caps, &buf, &len, &err) ||
            !en_api_add_rule_send(pipeline_, table_, chain_, buf, len, &err)) {
            /* A request refused earlier is the failure to report: the one-by-one conversion
             * would have stopped there. */
            if (!settle(0, errp)) {
                error_free(err);
                return false;
            }
            if (err) {
                error_propagate(errp, err);
            } else {
                fail_rule_send(qmp_rule, nullptr, errp);
            }
            report_rule_failure(qmp_rule, table_, chain_);
            return false;
        }
        sent_.push_back(qmp_rule);
        return settle(kChainPipelineDepth, errp);
    }

    /* Takes answers until at most keep are outstanding; false after reporting a refusal. */
    bool settle(size_t keep, Error **errp)
    {
        while (sent_.size() > keep) {
            const EnforcementRule *qmp_rule = sent_.front();
            sent_.pop_front();
            if (!qmp_rule) {
                if (!en_api_add_chain_result(pipeline_)) {
                    WARN_FAIL(errp, "[chain] failed to init enforcement chain '%s' under table '%s'", chain_, table_);
                    return false;
                }
            } else if (!en_api_add_rule_result(pipeline_)) {
                fail_rule_send(qmp_rule, nullptr, errp);
                report_rule_failure(qmp_rule, table_, chain_);
                return false;
            }
        }
        return true;
    }

private:
    en_driver_pipeline *pipeline_;
    const char *table_;
    const char *chain_;
    /* The requests not answered yet, oldest first: the rule, or NULL for the chain. */
    std::deque<const EnforcementRule *> sent_;
};

/* The chain through an open pipeline; every request is answered when this returns. */
bool convert_chain(en_driver_pipeline *pipeline, const char *table_name, const char *chain_name,
                   const EnforcementRuleList *rules, uint64_t *rules_count, Error **errp)
{
    uint32_t count = 0;
    for (const EnforcementRuleList *r = rules; r; r = r->next) {
        count++;
    }
    uint8_t msg[EN_API_ADD_CHAIN_SIZE];
    if (!en_chain_build_msg(table_name, chain_name, count, msg, errp)) {
        return false;
    }
    *rules_count = count;
    ChainSender sender(pipeline, table_name, chain_name);
    sender.send_chain(msg);
    en_rule_caps_t caps = en_rule_driver_caps();
    for (const EnforcementRuleList *r = rules; r; r = r->next) {
        if (!sender.send_rule(r->value, caps, errp)) {
            return false;
        }
    }
    if (!sender.settle(0, errp)) {
        return false;
    }
    g_message("[chain] finished initiating a chain with %u rules", count);
    return true;
}

} // namespace

bool en_chain_convert(en_handle *en_handle, const char *table_name, const char *chain_name,
                      const EnforcementRuleList *rules, uint64_t *rules_count, Error **errp)
{
    AGENT_CHECK_NULL_ERR(table_name, "table_name", errp, false);
    AGENT_CHECK_NULL_ERR(chain_name, "chain_name", errp, false);
    AGENT_CHECK_NULL_ERR(rules_count, "rules_count", errp, false);
    AGENT_CHECK_NULL_ERR(en_handle, "en_handle", errp, false);
    en_driver_pipeline *pipeline = en_api_pipeline_new(en_handle);
    bool ok = convert_chain(pipeline, table_name, chain_name, rules, rules_count, errp);
    en_driver_pipeline_free(pipeline);
    return ok;
}

bool en_table_convert(en_handle *en_handle, bool output, const EnforcementChainList *chains, uint64_t *rules_count,
                      Error **errp)
{
    AGENT_CHECK_NULL_ERR(en_handle, "en_handle", errp, false);
    AGENT_CHECK_NULL_ERR(rules_count, "rules_count", errp, false);
    const char *table = output ? EN_TABLE_OUTPUT : EN_TABLE_INPUT;
    uint64_t chain_count = 0;
    for (const EnforcementChainList *c = chains; c; c = c->next) {
        chain_count++;
    }
    if (!(output ? en_api_init_output_table(en_handle, chain_count) : en_api_init_input_table(en_handle, chain_count))) {
        CRIT_FAIL(errp, "[table] failed to init enforcement %s table", output ? "output" : "input");
        return false;
    }
    if (chain_count == 0) {
        *rules_count = 0;
        g_message("[table] finished initiating empty table '%s'", table);
        return true;
    }
    uint8_t *index = nullptr;
    size_t index_len = 0;
    /* The limits the driver holds: the configured ones, or the defaults it starts with. */
    en_index_limits_t limits;
    en_config_index_limits(&limits);
    if (!en_convert_single_index(chains, g_en_config.max_entity_field_num, &limits, &index, &index_len, errp)) {
        CRIT_FAIL(errp, "[index] could not convert table to index");
        return false;
    }
    bool sent = index_len <= UINT32_MAX &&
                (output ? en_api_init_output_table_index(en_handle, index, static_cast<uint32_t>(index_len))
                        : en_api_init_input_table_index(en_handle, index, static_cast<uint32_t>(index_len)));
    g_free(index);
    if (!sent) {
        CRIT_FAIL(errp, "[index] could not initiate %s table index", output ? "output" : "input");
        return false;
    }
    uint64_t total = 0;
    for (const EnforcementChainList *c = chains; c; c = c->next) {
        if (!c->value) {
            CRIT_FAIL(errp, "[table] qmp chain (table='%s') is null", table);
            return false;
        }
        uint64_t n = 0;
        if (!en_chain_convert(en_handle, table, c->value->chain_name, c->value->rules, &n, errp)) {
            g_critical("[table] failed to convert chain '%s' (table='%s)",
                       c->value->chain_name ? c->value->chain_name : "(null)", table);
            return false;
        }
        total += n;
    }
    *rules_count = total;
    g_message("[table] finished initiating table '%s' with %d chains", table, static_cast<int>(chain_count));
    return true;
}
