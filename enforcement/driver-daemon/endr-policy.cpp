#include "enforcement/driver-daemon/endr-policy.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>

#include "enforcement/driver-daemon/endr-wire.h"

namespace endr {

namespace {


bool ip_field(Reader &c, std::array<uint8_t, 16> *out)
{
    /* Only IPv6 entries travel in a rule buffer; IPv4 ones go through the index. */
    if (c.get<uint8_t>() != 0) {
        c.fail();
        return false;
    }
    std::span<const uint8_t> a = c.bytes(16);
    if (!c.ok()) {
        return false;
    }
    std::copy(a.begin(), a.end(), out->begin());
    return true;
}

/* A u16-counted name whose last byte is its only NUL. */
bool counted_text(Reader &c, std::string *out)
{
    uint16_t n = c.get<uint16_t>();
    std::span<const uint8_t> s = c.bytes(n);
    if (!c.ok() || n == 0 || s[n - 1] != 0 || memchr(s.data(), 0, n - 1)) {
        c.fail();
        return false;
    }
    out->assign(reinterpret_cast<const char *>(s.data()), n - 1);
    return true;
}

bool decode_entity(Reader &c, Entity *e)
{
    e->has_subnets = c.flag();
    uint32_t n = c.get<uint32_t>();
    if (!c.fits(n, 35)) {
        return false;
    }
    for (uint32_t i = 0; i < n && c.ok(); i++) {
        Ip6Subnet s{};
        s.negated = c.flag();
        ip_field(c, &s.addr);
        ip_field(c, &s.mask);
        e->subnets.push_back(s);
    }
    e->has_ips = c.flag();
    n = c.get<uint32_t>();
    if (!c.fits(n, 17)) {
        return false;
    }
    for (uint32_t i = 0; i < n && c.ok(); i++) {
        std::array<uint8_t, 16> a{};
        ip_field(c, &a);
        e->ips.push_back(a);
    }
    e->has_processes = c.flag();
    n = c.get<uint32_t>();
    if (!c.fits(n, 2)) {
        return false;
    }
    for (uint32_t i = 0; i < n && c.ok(); i++) {
        e->lids.push_back(c.get<uint16_t>());
    }
    e->has_dns = c.flag();
    n = c.get<uint32_t>();
    if (!c.fits(n, 3)) {
        return false;
    }
    for (uint32_t i = 0; i < n && c.ok(); i++) {
        std::string name;
        counted_text(c, &name);
        e->dns.push_back(std::move(name));
    }
    e->has_groups = c.flag();
    n = c.get<uint32_t>();
    if (!c.fits(n, 5)) {
        return false;
    }
    for (uint32_t i = 0; i < n && c.ok(); i++) {
        uint8_t k = c.get<uint8_t>();
        if (k < 1 || k > 15 || !c.fits(k, 4)) {
            c.fail();
            return false;
        }
        Sid sid;
        for (uint8_t j = 0; j < k; j++) {
            sid.subauths.push_back(c.get<uint32_t>());
        }
        e->sids.push_back(std::move(sid));
    }
    if (e->has_groups) {
        e->local_users = c.flag();
        e->local_admins = c.flag();
    }
    e->has_services = c.flag();
    e->any_service = c.flag();
    n = c.get<uint32_t>();
    if (!c.fits(n, 7)) {
        return false;
    }
    for (uint32_t i = 0; i < n && c.ok(); i++) {
        Service s;
        counted_text(c, &s.name);
        uint32_t images = c.get<uint32_t>();
        if (!c.fits(images, 2)) {
            return false;
        }
        for (uint32_t j = 0; j < images; j++) {
            s.image_lids.push_back(c.get<uint16_t>());
        }
        e->services.push_back(std::move(s));
    }
    e->has_icmp = c.flag();
    n = c.get<uint32_t>();
    if (!c.fits(n, 4)) {
        return false;
    }
    for (uint32_t i = 0; i < n && c.ok(); i++) {
        IcmpEntry m{};
        m.v4 = c.flag();
        m.type = c.get<uint8_t>();
        m.has_code = c.flag();
        m.code = c.get<uint8_t>();
        if (!m.has_code && m.code != 0) {
            c.fail();
        }
        e->icmp.push_back(m);
    }
    /* Container criteria are never produced; entries could not be decoded anyway. */
    c.flag();
    if (c.get<uint16_t>() != 0) {
        c.fail();
    }
    /* Entries under a cleared flag would be criteria nobody asked for. */
    if ((!e->has_subnets && !e->subnets.empty()) || (!e->has_ips && !e->ips.empty()) ||
        (!e->has_processes && !e->lids.empty()) || (!e->has_dns && !e->dns.empty()) ||
        (!e->has_groups && !e->sids.empty()) || (!e->has_services && !e->services.empty()) ||
        (!e->has_icmp && !e->icmp.empty())) {
        c.fail();
    }
    return c.ok();
}

bool covers(const Ip6Subnet &s, const std::array<uint8_t, 16> &a)
{
    for (size_t i = 0; i < 16; i++) {
        if ((a[i] & s.mask[i]) != (s.addr[i] & s.mask[i])) {
            return false;
        }
    }
    return true;
}

bool same_name(const std::string &a, const std::string &b)
{
    auto trim = [](const std::string &s) { return !s.empty() && s.back() == '.' ? s.size() - 1 : s.size(); };
    size_t n = trim(a);
    if (n != trim(b)) {
        return false;
    }
    for (size_t i = 0; i < n; i++) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<char>(x - 'A' + 'a');
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<char>(y - 'A' + 'a');
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

/* A rule may name a unit with or without its ".service" suffix. */
bool same_service(const std::string &rule, const std::string &unit)
{
    constexpr std::string_view kSuffix = ".service";
    return rule == unit || (unit.size() == rule.size() + kSuffix.size() && unit.compare(0, rule.size(), rule) == 0 &&
                            unit.compare(rule.size(), kSuffix.size(), kSuffix) == 0);
}

bool decode_regions(Reader &c, size_t width, uint32_t bag_size, Regions *out)
{
    uint32_t n = c.get<uint32_t>();
    std::span<const uint8_t> starts = c.bytes(uint64_t{n} * width);
    std::span<const uint8_t> bags = c.bytes(uint64_t{n} * 4);
    /* Regions exist only when rules do; then the first one starts at 0. */
    if (!c.ok()) {
        return false;
    }
    out->starts.resize(n);
    out->bags.resize(n);
    for (uint32_t i = 0; i < n; i++) {
        uint32_t s = 0;
        memcpy(&s, starts.data() + width * i, width);
        memcpy(&out->bags[i], bags.data() + 4 * i, 4);
        if (out->bags[i] >= bag_size || (i == 0 ? s != 0 : s <= out->starts[i - 1])) {
            return false;
        }
        out->starts[i] = s;
    }
    return true;
}

} // namespace

uint32_t decode_rule(std::span<const uint8_t> b, DecodedRule *out)
{
    if (b.size() < kMinRuleSize) {
        return kInvalidParameter;
    }
    *out = DecodedRule{};
    Reader c(b.first(b.size() - 144));
    if (!decode_entity(c, &out->src) || !decode_entity(c, &out->dst) || c.pos() != b.size() - 144) {
        return kInvalidParameter;
    }
    std::span<const uint8_t> t = b.last(144);
    memcpy(&out->type, t.data(), 8);
    memcpy(&out->verdict, t.data() + 8, 8);
    const void *nul = memchr(t.data() + 16, 0, 128);
    if (out->type > 2 || (out->verdict != 1 && out->verdict != 2) || !nul) {
        return kInvalidParameter;
    }
    out->id.assign(reinterpret_cast<const char *>(t.data() + 16), static_cast<const uint8_t *>(nul) - (t.data() + 16));
    return kOk;
}

uint32_t Regions::lookup(uint32_t v) const
{
    auto it = std::upper_bound(starts.begin(), starts.end(), v);
    return bags[static_cast<size_t>(it - starts.begin()) - 1];
}

uint32_t decode_index(std::span<const uint8_t> b, DecodedIndex *out)
{
    *out = DecodedIndex{};
    Reader c(b);
    uint32_t n = c.get<uint32_t>();
    uint16_t r16 = c.get<uint16_t>();
    out->words = c.get<uint16_t>();
    if (!c.ok() || n == 0 || out->words != index_words_for(r16)) {
        return kInvalidParameter;
    }
    out->rules = r16 == 0 ? 65536 : r16;
    std::span<const uint8_t> bag = c.bytes(uint64_t{n} * out->words * 8);
    if (!c.ok()) {
        return kInvalidParameter;
    }
    out->bag.resize(bag.size() / 8);
    memcpy(out->bag.data(), bag.data(), bag.size());
    out->tcp = c.get<uint32_t>();
    out->udp = c.get<uint32_t>();
    out->icmp = c.get<uint32_t>();
    if (!c.ok() || out->tcp >= n || out->udp >= n || out->icmp >= n) {
        return kInvalidParameter;
    }
    if (!decode_regions(c, 2, n, &out->port) || !decode_regions(c, 4, n, &out->src) ||
        !decode_regions(c, 4, n, &out->dst) || c.pos() != b.size()) {
        return kInvalidParameter;
    }
    return kOk;
}

constexpr uint64_t kVerdictBlock = 1;

static bool groups_hit(const Entity &e, const SessionUser &u)
{
    if (!u.session_user) {
        return false;
    }
    if ((e.local_users && u.local_user) || (e.local_admins && u.local_admin)) {
        return true;
    }
    return std::any_of(e.sids.begin(), e.sids.end(), [&](const Sid &s) {
        return std::find(u.sids.begin(), u.sids.end(), s.subauths) != u.sids.end();
    });
}

bool entity_matches(const Entity &e, bool local_side, const std::array<uint8_t, 16> &addr, const Connection &c)
{
    if (c.ipv6 && (e.has_subnets || e.has_ips)) {
        bool in = std::find(e.ips.begin(), e.ips.end(), addr) != e.ips.end();
        for (const Ip6Subnet &s : e.subnets) {
            if (covers(s, addr)) {
                if (s.negated) {
                    return false;
                }
                in = true;
            }
        }
        if (!in) {
            return false;
        }
    }
    if (e.has_processes) {
        bool hit = local_side && std::any_of(e.lids.begin(), e.lids.end(), [&](uint16_t l) {
                       return std::find(c.lids.begin(), c.lids.end(), l) != c.lids.end();
                   });
        if (!hit) {
            return false;
        }
    }
    if (e.has_dns) {
        bool hit = !local_side && !c.dns.empty() &&
                   std::any_of(e.dns.begin(), e.dns.end(), [&](const std::string &n) { return same_name(n, c.dns); });
        if (!hit) {
            return false;
        }
    }
    if (e.has_groups && !(local_side && (c.user.murky || groups_hit(e, c.user)))) {
        return false;
    }
    if (e.has_services || e.any_service) {
        bool hit = local_side && !c.service.empty() &&
                   (e.any_service || std::any_of(e.services.begin(), e.services.end(), [&](const Service &s) {
                        return same_service(s.name, c.service) &&
                               (s.image_lids.empty() ||
                                std::any_of(s.image_lids.begin(), s.image_lids.end(), [&](uint16_t l) {
                                    return std::find(c.lids.begin(), c.lids.end(), l) != c.lids.end();
                                }));
                    }));
        if (!hit) {
            return false;
        }
    }
    if (e.has_icmp) {
        bool hit = c.protocol == 2 && c.has_icmp_type &&
                   std::any_of(e.icmp.begin(), e.icmp.end(), [&](const IcmpEntry &m) {
                       return m.v4 == !c.ipv6 && m.type == c.icmp_type &&
                              (!m.has_code || (c.has_icmp_code && m.code == c.icmp_code));
                   });
        if (!hit) {
            return false;
        }
    }
    return true;
}

size_t table_bags(const DecodedIndex *index, const std::vector<DecodedRule> &rules, const Connection &c,
                  uint32_t bags[4])
{
    if (!index || rules.empty() || c.protocol > 2 || index->port.starts.empty() || index->src.starts.empty() ||
        index->dst.starts.empty()) {
        return 0;
    }
    uint16_t dport = c.protocol == 2 ? 0 : (c.inbound ? c.local_port : c.remote_port);
    bags[0] = c.protocol == 0 ? index->tcp : c.protocol == 1 ? index->udp : index->icmp;
    bags[1] = index->port.lookup(dport);
    if (c.ipv6) {
        return 2;
    }
    auto host = [](const std::array<uint8_t, 16> &a) {
        return uint32_t{a[0]} << 24 | uint32_t{a[1]} << 16 | uint32_t{a[2]} << 8 | a[3];
    };
    bags[2] = index->src.lookup(host(c.inbound ? c.remote : c.local));
    bags[3] = index->dst.lookup(host(c.inbound ? c.local : c.remote));
    return 4;
}

bool rule_matches(const DecodedRule &rule, const Connection &c)
{
    /* Unknown groups decide for blocking only. */
    const Entity &local = c.inbound ? rule.dst : rule.src;
    if (c.user.murky && local.has_groups && rule.verdict != kVerdictBlock) {
        return false;
    }
    return entity_matches(rule.src, !c.inbound, c.inbound ? c.remote : c.local, c) &&
           entity_matches(rule.dst, c.inbound, c.inbound ? c.local : c.remote, c);
}

Verdict classify_table(const DecodedIndex *index, const std::vector<DecodedRule> &rules, const Connection &c)
{
    Verdict v;
    uint32_t bags[4];
    size_t n = table_bags(index, rules, c, bags);
    if (n == 0) {
        return v;
    }
    const uint64_t *vp = index->vector(bags[0]);
    const uint64_t *vport = index->vector(bags[1]);
    const uint64_t *vsrc = n == 4 ? index->vector(bags[2]) : nullptr;
    const uint64_t *vdst = n == 4 ? index->vector(bags[3]) : nullptr;
    /* Bits past the rules that arrived would name rules that do not exist. */
    size_t limit = std::min<size_t>(rules.size(), index->rules);
    for (size_t w = 0; w < index->words && w * 64 < limit; w++) {
        uint64_t bits = vp[w] & vport[w];
        if (vsrc) {
            bits &= vsrc[w] & vdst[w];
        }
        if (limit - w * 64 < 64) {
            bits &= (uint64_t{1} << (limit - w * 64)) - 1;
        }
        v.candidates += static_cast<uint64_t>(std::popcount(bits));
        while (bits && v.rule_number < 0) {
            size_t r = w * 64 + static_cast<size_t>(std::countr_zero(bits));
            bits &= bits - 1;
            const DecodedRule &rule = rules[r];
            if (rule_matches(rule, c)) {
                v.verdict = static_cast<uint32_t>(rule.verdict);
                v.rule_id = rule.id;
                v.rule_number = static_cast<int64_t>(r);
            }
        }
    }
    return v;
}

} // namespace endr
