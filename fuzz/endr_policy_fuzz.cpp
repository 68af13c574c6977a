/*
 * Emulated driver's rule and index decoders. Whatever the bytes: no crash, no read
 * outside the span; an accepted index answers region lookups inside its bag, and the
 * lookup aids built from it decide every connection as the plain classifier does, for
 * tables of more or fewer rules than the index numbers.
 */
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "enforcement/driver-daemon/endr-fastpath.h"
#include "enforcement/driver-daemon/endr-policy.h"

namespace {

/* Rules of a few kinds: some always hold, some need an IPv6 address, an ICMP type or a
 * group the connection may lack. */
std::vector<endr::DecodedRule> rules_of(size_t count, uint8_t mix)
{
    std::vector<endr::DecodedRule> rules(count);
    for (size_t r = 0; r < count; r++) {
        endr::DecodedRule &rule = rules[r];
        rule.id = "r" + std::to_string(r);
        rule.verdict = (r + mix) % 2 ? 1 : 2;
        switch ((r * 7 + mix) % 5) {
        case 0:
            rule.dst.has_groups = true;
            rule.src.has_groups = true;
            rule.verdict = 1;
            break;
        case 1:
            rule.src.has_ips = true;
            rule.src.ips.push_back(std::array<uint8_t, 16>{0x20, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
            break;
        case 2:
            rule.dst.has_icmp = true;
            rule.dst.icmp.push_back(endr::IcmpEntry{});
            break;
        default:
            break;
        }
    }
    return rules;
}

void compare(const endr::DecodedIndex &index, const endr::FastIndex &fast_index, const endr::FastRules &fast,
             const std::vector<endr::DecodedRule> &rules, const endr::Connection &c)
{
    endr::Verdict plain = endr::classify_table(&index, rules, c);
    endr::Verdict aided = endr::fastpath_classify(index, fast_index, fast, rules, c);
    if (plain.verdict != aided.verdict || plain.rule_id != aided.rule_id || plain.rule_number != aided.rule_number) {
        fprintf(stderr, "rule %lld by the classifier, %lld with the lookup aids\n",
                static_cast<long long>(plain.rule_number), static_cast<long long>(aided.rule_number));
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    std::span<const uint8_t> rest(data + 1, size - 1);
    if (data[0] & 1) {
        endr::DecodedRule rule;
        endr::decode_rule(rest, &rule);
        return 0;
    }
    endr::DecodedIndex index;
    if (endr::decode_index(rest, &index) != 0) {
        return 0;
    }
    size_t bags = index.words ? index.bag.size() / index.words : 0;
    for (const endr::Regions *r : {&index.port, &index.src, &index.dst}) {
        if (r->starts.empty()) {
            continue;
        }
        for (uint32_t v : {0u, 1u, 80u, 65535u, 0xFFFFFFFFu}) {
            if (r->lookup(v) >= bags) {
                abort();
            }
        }
    }

    endr::FastIndex fast_index;
    endr::fastpath_index(index, &fast_index);
    /* The first byte's upper bits pick how many rules arrived, the last bytes the values. */
    size_t count = (data[0] >> 1) * 5u % 331u;
    std::vector<endr::DecodedRule> rules = rules_of(count, data[size - 1]);
    std::vector<uint8_t> flags;
    for (const endr::DecodedRule &rule : rules) {
        flags.push_back(endr::fastpath_rule_flags(rule));
    }
    endr::FastRules fast;
    endr::fastpath_rules(flags, &fast);
    if (!endr::fastpath_ready(index, fast_index, fast, rules.size())) {
        abort();
    }
    uint8_t tail[8] = {};
    for (size_t i = 0; i < 8 && i < size; i++) {
        tail[i] = data[size - 1 - i];
    }
    for (uint8_t protocol = 0; protocol < 4; protocol++) {
        for (int variant = 0; variant < 8; variant++) {
            endr::Connection c;
            c.count_candidates = false;
            c.protocol = protocol;
            c.inbound = variant & 1;
            c.ipv6 = variant & 2;
            c.user.murky = variant & 4;
            c.user.session_user = true;
            c.has_icmp_type = true;
            c.local_port = static_cast<uint16_t>(tail[0] << 8 | tail[1]);
            c.remote_port = static_cast<uint16_t>(variant < 4 ? tail[2] << 8 | tail[3] : 65535 - variant);
            for (int k = 0; k < 4; k++) {
                c.local[k] = variant < 4 ? tail[4 + k] : static_cast<uint8_t>(0xFF * (k & 1));
                c.remote[k] = variant < 4 ? tail[7 - k] : static_cast<uint8_t>(variant * 37 + k);
            }
            if (c.ipv6) {
                c.remote = {0x20, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
            }
            compare(index, fast_index, fast, rules, c);
        }
    }
    /* Region edges, where a lookup that picks the neighbouring region shows. */
    auto edges = [](const endr::Regions &r, size_t k) {
        uint32_t s = r.starts[k * r.starts.size() / 16];
        return std::array<uint32_t, 3>{s - 1, s, s + 1};
    };
    auto set_v4 = [](std::array<uint8_t, 16> *a, uint32_t v) {
        for (int k = 0; k < 4; k++) {
            (*a)[k] = static_cast<uint8_t>(v >> (24 - 8 * k));
        }
    };
    if (index.port.starts.empty() || index.src.starts.empty() || index.dst.starts.empty()) {
        return 0;
    }
    for (size_t k = 0; k < 16; k++) {
        std::array<uint32_t, 3> port = edges(index.port, k), src = edges(index.src, k), dst = edges(index.dst, k);
        for (size_t e = 0; e < 3; e++) {
            endr::Connection c;
            c.count_candidates = false;
            c.inbound = (k + e) & 1;
            (c.inbound ? c.local_port : c.remote_port) = static_cast<uint16_t>(port[e]);
            set_v4(c.inbound ? &c.remote : &c.local, src[e]);
            set_v4(c.inbound ? &c.local : &c.remote, dst[e]);
            compare(index, fast_index, fast, rules, c);
        }
    }
    return 0;
}
