#include "enforcement/driver-daemon/endr-fastpath.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace endr {

static void build_jump(const Regions &r, uint32_t bits, uint32_t shift, RegionJump *out)
{
    out->shift = shift;
    size_t buckets = size_t{1} << (bits - shift);
    out->first.assign(buckets + 1, 0);
    if (r.starts.empty()) {
        return;
    }
    size_t region = 0;
    for (size_t b = 0; b < buckets; b++) {
        uint64_t v = uint64_t{b} << shift;
        while (region + 1 < r.starts.size() && r.starts[region + 1] <= v) {
            region++;
        }
        out->first[b] = static_cast<uint32_t>(region);
    }
    out->first[buckets] = static_cast<uint32_t>(r.starts.size() - 1);
}

/* The bag of the region holding v: a search among the regions of v's bucket only. */
static uint32_t jump_lookup(const Regions &r, const RegionJump &j, uint32_t v)
{
    size_t b = v >> j.shift;
    uint32_t lo = j.first[b], hi = j.first[b + 1];
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo + 1) / 2;
        if (r.starts[mid] <= v) {
            lo = mid;
        } else {
            hi = mid - 1;
        }
    }
    return r.bags[lo];
}

void fastpath_index(const DecodedIndex &index, FastIndex *out)
{
    *out = FastIndex{};
    out->summary_words = (uint32_t{index.words} + 63) / 64;
    size_t bags = index.words ? index.bag.size() / index.words : 0;
    out->summary.assign(bags * out->summary_words, 0);
    for (size_t b = 0; b < bags; b++) {
        const uint64_t *v = index.vector(static_cast<uint32_t>(b));
        uint64_t *s = out->summary.data() + b * out->summary_words;
        for (size_t w = 0; w < index.words; w++) {
            s[w / 64] |= uint64_t{v[w] != 0} << (w % 64);
        }
    }
    build_jump(index.port, 16, 8, &out->port);
    build_jump(index.src, 32, 16, &out->src);
    build_jump(index.dst, 32, 16, &out->dst);
}

static bool always_v4(const Entity &e)
{
    /* Addresses of IPv4 traffic are the index's business alone. */
    return !e.has_processes && !e.has_dns && !e.has_groups && !e.has_services && !e.any_service && !e.has_icmp;
}

uint8_t fastpath_rule_flags(const DecodedRule &rule)
{
    uint8_t flags = 0;
    if (always_v4(rule.src) && always_v4(rule.dst)) {
        flags |= 1;
        if (!rule.src.has_subnets && !rule.src.has_ips && !rule.dst.has_subnets && !rule.dst.has_ips) {
            flags |= 2;
        }
    }
    for (const Entity *e : {&rule.src, &rule.dst}) {
        if (e->has_services || e->any_service) {
            flags |= 4;
        }
    }
    return flags;
}

void fastpath_rules(const std::vector<uint8_t> &flags, FastRules *out)
{
    size_t words = (flags.size() + 63) / 64;
    out->always_v4.assign(words, 0);
    out->always_v6.assign(words, 0);
    out->services = false;
    for (size_t r = 0; r < flags.size(); r++) {
        out->services |= (flags[r] & 4) != 0;
        out->always_v4[r / 64] |= uint64_t{(flags[r] & 1) != 0} << (r % 64);
        out->always_v6[r / 64] |= uint64_t{(flags[r] & 2) != 0} << (r % 64);
    }
}

bool fastpath_ready(const DecodedIndex &index, const FastIndex &fast_index, const FastRules &fast, size_t rules)
{
    size_t bags = index.words ? index.bag.size() / index.words : 0;
    return fast_index.summary_words == (uint32_t{index.words} + 63) / 64 &&
           fast_index.summary.size() == bags * fast_index.summary_words && fast_index.port.first.size() == 257 &&
           fast_index.src.first.size() == 65537 && fast_index.dst.first.size() == 65537 &&
           fast.always_v4.size() == (rules + 63) / 64 && fast.always_v6.size() == fast.always_v4.size();
}

namespace {

/* Two words at once: the width every target has. */
typedef uint64_t Words2 __attribute__((vector_size(16)));

Words2 load2(const uint64_t *p)
{
    Words2 v;
    memcpy(&v, p, sizeof(v));
    return v;
}

/* The first word in [w, end) where all four vectors have a bit in common, or end; w and
 * end are multiples of 8. */
size_t first_common_word(const uint64_t *const vec[4], size_t w, size_t end)
{
    for (; w < end; w += 8) {
        Words2 x = {0, 0};
        for (size_t k = 0; k < 8; k += 2) {
            x |= load2(vec[0] + w + k) & load2(vec[1] + w + k) & load2(vec[2] + w + k) & load2(vec[3] + w + k);
        }
        if ((x[0] | x[1]) != 0) {
            for (size_t k = 0; k < 8; k++) {
                if ((vec[0][w + k] & vec[1][w + k] & vec[2][w + k] & vec[3][w + k]) != 0) {
                    return w + k;
                }
            }
        }
    }
    return end;
}

} // namespace

Verdict fastpath_classify(const DecodedIndex &index, const FastIndex &fast_index, const FastRules &fast,
                          const std::vector<DecodedRule> &rules, const Connection &c)
{
    Verdict v;
    if (rules.empty() || c.protocol > 2 || index.port.starts.empty() || index.src.starts.empty() ||
        index.dst.starts.empty()) {
        return v;
    }
    uint32_t bags[4];
    bags[0] = c.protocol == 0 ? index.tcp : c.protocol == 1 ? index.udp : index.icmp;
    bags[1] = jump_lookup(index.port, fast_index.port,
                          c.protocol == 2 ? 0 : (c.inbound ? c.local_port : c.remote_port));
    size_t n = 2;
    if (!c.ipv6) {
        auto host = [](const std::array<uint8_t, 16> &a) {
            return uint32_t{a[0]} << 24 | uint32_t{a[1]} << 16 | uint32_t{a[2]} << 8 | a[3];
        };
        bags[2] = jump_lookup(index.src, fast_index.src, host(c.inbound ? c.remote : c.local));
        bags[3] = jump_lookup(index.dst, fast_index.dst, host(c.inbound ? c.local : c.remote));
        n = 4;
    }
    size_t limit = std::min<size_t>(rules.size(), index.rules);
    size_t words = std::min<size_t>(index.words, (limit + 63) / 64);
    /* IPv6 has no address vectors: the protocol's stand in, as ANDing it twice is harmless. */
    const uint64_t *vec[4];
    const uint64_t *sum[4];
    for (size_t i = 0; i < 4; i++) {
        vec[i] = index.vector(bags[i < n ? i : 0]);
        sum[i] = fast_index.of(bags[i < n ? i : 0]);
    }
    auto word = [&](size_t w) { return vec[0][w] & vec[1][w] & vec[2][w] & vec[3][w]; };
    const std::vector<uint64_t> &always = c.ipv6 ? fast.always_v6 : fast.always_v4;
    size_t whole = limit / 64; /* words whose every bit names a rule that arrived */
    /* The candidates of word w in rule order; true once one of them decided. */
    auto decide = [&](size_t w) {
        uint64_t bits = word(w);
        if (w >= whole) {
            bits &= (uint64_t{1} << (limit - w * 64)) - 1;
        }
        uint64_t sure = w < always.size() ? always[w] : 0;
        while (bits) {
            unsigned b = static_cast<unsigned>(std::countr_zero(bits));
            bits &= bits - 1;
            size_t r = w * 64 + b;
            if (((sure >> b) & 1) || rule_matches(rules[r], c)) {
                v.verdict = static_cast<uint32_t>(rules[r].verdict);
                v.rule_id = rules[r].id;
                v.rule_number = static_cast<int64_t>(r);
                return true;
            }
        }
        return false;
    };
    for (size_t s = 0; s * 64 < words; s++) {
        uint64_t live = sum[0][s] & sum[1][s] & sum[2][s] & sum[3][s];
        if (live == ~uint64_t{0} && (s + 1) * 64 <= whole) {
            /* Dense vectors: most words hold no common bit, so they are ANDed in blocks. */
            for (size_t w = s * 64, end = w + 64; w < end;) {
                size_t k = first_common_word(vec, w, end);
                if (k == end) {
                    break;
                }
                if (decide(k)) {
                    return v;
                }
                /* The rest of k's block again, then blocks from the next one on. */
                for (k++; k % 8 != 0; k++) {
                    if (word(k) && decide(k)) {
                        return v;
                    }
                }
                w = k;
            }
            continue;
        }
        if (words - s * 64 < 64) {
            live &= (uint64_t{1} << (words - s * 64)) - 1;
        }
        while (live) {
            size_t w = s * 64 + static_cast<size_t>(std::countr_zero(live));
            live &= live - 1;
            if (decide(w)) {
                return v;
            }
        }
    }
    return v;
}

} // namespace endr
