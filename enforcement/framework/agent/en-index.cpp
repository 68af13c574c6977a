#include "enforcement/framework/agent/en-index.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cinttypes>
#include <chrono>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "enforcement/framework/agent/en-api.h"
#include "enforcement/framework/common/en-utils.h"
#include "enforcement/platforms/large-buffer.h"
#include "qapi/qmp-enforcement-types.h"
#include "util/check-null.h"
#include "util/error.h"

static_assert(std::endian::native == std::endian::little, "the index is laid out little-endian");


namespace {

/* ------------------------------------------------------------------ free queue */

struct FreeItem {
    void *ptr;
    GDestroyNotify release;
};

constexpr const char *kFreeThreadName = "policy-indexing-free-thread";

GMutex s_free_lock;
GCond s_free_cond;
GQueue s_free_queue = G_QUEUE_INIT;
/* Generation of the running thread, 0 when none runs; an older thread sees it changed
 * and exits. */
uint64_t s_free_active;
uint64_t s_free_generations;
/* Threads that have not left free_thread_main yet, and those not joined yet. */
unsigned s_free_running;
GPtrArray *s_free_threads;
/* How long stop waits for a release in progress before it gives the thread up. */
constexpr gint64 kFreeJoinSeconds = 30;

void lower_own_priority(void)
{
    errno = 0;
    int base = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
    int err = errno;
    if (err == 0 && setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), std::min(base + 1, 19)) != 0) {
        err = errno;
    }
    if (err != 0) {
        g_warning("%s: %s (error: %ld)", "[index] Could not set free thread priority", g_strerror(err),
                  static_cast<long>(err));
    }
}

gpointer free_thread_main(gpointer data)
{
    const uint64_t generation = GPOINTER_TO_SIZE(data);
    /* Older GLib drops names longer than the kernel's 15 characters; keep their start. */
    char name[16];
    g_strlcpy(name, kFreeThreadName, sizeof name);
    pthread_setname_np(pthread_self(), name);
    lower_own_priority();
    g_debug("[index] free thread starting");
    for (;;) {
        g_mutex_lock(&s_free_lock);
        if (s_free_active != generation) {
            g_mutex_unlock(&s_free_lock);
            break;
        }
        auto *item = static_cast<FreeItem *>(g_queue_pop_head(&s_free_queue));
        if (!item) {
            g_mutex_unlock(&s_free_lock);
            g_debug("[index] free thread going to sleep");
            g_mutex_lock(&s_free_lock);
            while (g_queue_is_empty(&s_free_queue) && s_free_active == generation) {
                g_cond_wait(&s_free_cond, &s_free_lock);
            }
            g_mutex_unlock(&s_free_lock);
            g_debug("[index] free thread woke up");
            continue;
        }
        g_mutex_unlock(&s_free_lock);
        g_debug("[index] free thread freeing element");
        item->release(item->ptr);
        g_free(item);
        g_debug("[index] free thread done freeing element");
    }
    g_debug("[index] free thread exiting");
    /* Last touch of shared state: stop joins once it sees this. */
    g_mutex_lock(&s_free_lock);
    s_free_running--;
    g_cond_broadcast(&s_free_cond);
    g_mutex_unlock(&s_free_lock);
    return nullptr;
}

template <typename T>
void release_later(std::unique_ptr<T> &owned)
{
    if (owned) {
        en_index_free_thread_enqueue(owned.release(), [](void *p) { delete static_cast<T *>(p); });
    }
}

/* ------------------------------------------------------------------ building blocks */

using Clock = std::chrono::steady_clock;

struct Timings {
    Clock::duration ip_src{}, ip_dst{}, port_dst{}, protocol{};
    Clock::duration start_search{}, start_iter{}, end_search{}, end_iter{}, bv_to_bag{};
};

class Stopwatch {
public:
    explicit Stopwatch(Clock::duration &total) : total_(total), start_(Clock::now()) {}
    ~Stopwatch() { total_ += Clock::now() - start_; }
    Stopwatch(const Stopwatch &) = delete;
    Stopwatch &operator=(const Stopwatch &) = delete;

private:
    Clock::duration &total_;
    Clock::time_point start_;
};

double seconds(Clock::duration d)
{
    return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(d).count()) / 1000000;
}

/*
 * Rule numbers in ascending order. A rule appears once per interval that starts or ends
 * at the key, so overlapping port intervals of one rule are counted separately.
 */
using RuleSet = std::vector<uint32_t>;

/* One dimension's boundaries. Every key of end is also a key of start, possibly with an
 * empty set, so that the start keys are all the boundaries. */
struct PreIndex {
    std::unordered_map<uint32_t, RuleSet> start;
    std::unordered_map<uint32_t, RuleSet> end;

    void add_start(uint32_t key, uint32_t rule) { start[key].push_back(rule); }
    void add_end(uint32_t key, uint32_t rule)
    {
        end[key].push_back(rule);
        start.try_emplace(key);
    }
    void add_boundary(uint32_t key) { start.try_emplace(key); }
};

struct Region {
    uint32_t start;
    uint32_t bag;
};
using RegionList = std::vector<Region>;

using BitVector = std::vector<uint64_t>;

uint16_t words_for(uint16_t rules16)
{
    return rules16 >= 1 && rules16 <= 65472 ? static_cast<uint16_t>((rules16 + 63) / 64) : 1024;
}

/*
 * A vector's fingerprint: the XOR of two random 64-bit keys per rule whose bit is set, so a
 * sweep keeps it up to date per bit and no vector is stored to tell vectors apart. The
 * sizes of the index then come out of one cheap sweep, before any vector is allocated.
 * Distinct vectors can share a fingerprint only by chance (keys are random per build);
 * the second sweep compares the vectors themselves and a clash reruns with new keys.
 */
struct Fingerprint {
    uint64_t a = 0, b = 0;

    void flip(const Fingerprint &key)
    {
        a ^= key.a;
        b ^= key.b;
    }
    bool operator==(const Fingerprint &) const = default;
};

uint64_t splitmix64(uint64_t &state)
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

/* How many of the next builds use keys that clash on purpose (tests of the rerun). */
std::atomic<unsigned> s_weak_builds{0};

std::vector<Fingerprint> rule_keys(uint32_t rules, bool weak)
{
    std::vector<Fingerprint> keys(rules);
    if (weak) {
        /* All zero: every vector has the fingerprint of the empty one. */
        return keys;
    }
    uint64_t state = (uint64_t{g_random_int()} << 32) | g_random_int();
    for (Fingerprint &k : keys) {
        k.a = splitmix64(state);
        k.b = splitmix64(state);
    }
    return keys;
}

/* Fingerprint to bag number, numbers given in the order first met. */
class BagNumbers {
public:
    uint32_t size() const { return count_; }

    uint32_t find_or_add(const Fingerprint &fp)
    {
        if ((size_t{count_} + 1) * 2 > slots_.size()) {
            grow();
        }
        const size_t mask = slots_.size() - 1;
        for (size_t i = fp.a & mask;; i = (i + 1) & mask) {
            Slot &slot = slots_[i];
            if (slot.number == kEmpty) {
                slot = {fp, count_};
                return count_++;
            }
            if (slot.fp == fp) {
                return slot.number;
            }
        }
    }

private:
    static constexpr uint32_t kEmpty = UINT32_MAX;
    struct Slot {
        Fingerprint fp;
        uint32_t number = kEmpty;
    };

    void grow()
    {
        std::vector<Slot> slots(std::max<size_t>(64, slots_.size() * 2));
        const size_t mask = slots.size() - 1;
        for (const Slot &old : slots_) {
            if (old.number == kEmpty) {
                continue;
            }
            size_t i = old.fp.a & mask;
            while (slots[i].number != kEmpty) {
                i = (i + 1) & mask;
            }
            slots[i] = old;
        }
        slots_.swap(slots);
    }

    uint32_t count_ = 0;
    std::vector<Slot> slots_;
};

/* One entry of a rule's private address sweep. */
struct AddressEvent {
    uint32_t key;
    int32_t pos;
    int32_t neg;
};
using AddressEvents = std::vector<AddressEvent>;

/* Everything the pre-index build produces; each member goes to the free queue once used. */
struct PreIndexes {
    std::unique_ptr<PreIndex> port, src, dst;
    std::unique_ptr<RuleSet> tcp, udp, icmp;
    std::unique_ptr<AddressEvents> scratch;
    std::unique_ptr<BitVector> tcp_bv, udp_bv, icmp_bv;
    uint16_t rules16 = 0;

    void release_maps()
    {
        release_later(port);
        release_later(src);
        release_later(dst);
        release_later(tcp);
        release_later(udp);
        release_later(icmp);
        release_later(scratch);
    }
    void release_rest()
    {
        release_maps();
        release_later(tcp_bv);
        release_later(udp_bv);
        release_later(icmp_bv);
    }
};

bool create_port_index(uint32_t rule, const char *rule_id, PreIndex *map, const EntityMatch *entity,
                       uint64_t max_entity_field_num, Error **errp)
{
    AGENT_CHECK_NULL_ERR(entity, "entity", errp, false);
    bool any = false;
    if (entity->has_match_ports) {
        AGENT_CHECK_NULL_ERR(entity->match_ports, "entity->match_ports", errp, false);
        uint64_t count = 0;
        for (const uint16List *p = entity->match_ports; p; p = p->next) {
            if (++count > max_entity_field_num) {
                g_warning("[index] number of single ports in rule exceeded max entity");
                return false;
            }
            map->add_start(p->value, rule);
            if (p->value < 65535) {
                map->add_end(p->value + 1u, rule);
            }
        }
        any = true;
    }
    if (entity->has_match_port_ranges) {
        AGENT_CHECK_NULL_ERR(entity->match_port_ranges, "entity->match_port_ranges", errp, false);
        uint64_t count = 0;
        for (const PortRangeMatchList *p = entity->match_port_ranges; p; p = p->next) {
            if (++count > max_entity_field_num) {
                g_warning("[index] number of range ports in rule exceeded max entity");
                return false;
            }
            AGENT_CHECK_NULL_ERR(p->value, "entity->match_port_ranges->value", errp, false);
            const unsigned start = p->value->start, end = p->value->end;
            if (start > end) {
                g_warning("[index] invalid port range in rule '%s': start %u is above end %u", rule_id, start,
                          end);
                error_setg(errp, "[index] invalid port range in rule '%s': start %u is above end %u", rule_id,
                           start, end);
                return false;
            }
            map->add_start(start, rule);
            if (end < 65535) {
                map->add_end(end + 1, rule);
            }
        }
        any = true;
    }
    if (!any) {
        map->add_start(0, rule);
    }
    return true;
}

/*
 * Sweeps the rule's own entries so that the shared maps receive only its maximal active
 * runs: negations then cost nothing in the shared sweep, and a rule is active where a
 * plain entry covers the address and no negated one does.
 */
bool create_ip_index(uint32_t rule, PreIndex *map, const EntityMatch *entity, uint64_t max_entity_field_num,
                     AddressEvents *events, Error **errp)
{
    AGENT_CHECK_NULL_ERR(entity, "entity", errp, false);
    events->clear();
    if (entity->has_match_ip_hash) {
        AGENT_CHECK_NULL_ERR(entity->match_ip_hash, "entity->match_ip_hash", errp, false);
        uint64_t count = 0;
        for (const strList *s = entity->match_ip_hash; s; s = s->next) {
            if (!s->value) {
                g_warning("[index] IP match is NULL in qmp entity convert");
                error_setg(errp, "[index] IP match is NULL in qmp entity convert");
                return false;
            }
            en_ip_addr_t ip;
            if (!en_parse_ip(s->value, &ip)) {
                return false;
            }
            if (!ip.is_ipv4) {
                continue;
            }
            if (++count > max_entity_field_num) {
                g_warning("[index] number of single IPs in rule exceeded max entity");
                return false;
            }
            events->push_back({ip.addr.ip4, 1, 0});
            if (ip.addr.ip4 < 0xFFFFFFFFu) {
                events->push_back({ip.addr.ip4 + 1, -1, 0});
            }
        }
    }
    if (entity->has_match_multiple_subnets && entity->match_multiple_subnets) {
        uint64_t count = 0;
        for (const strList *s = entity->match_multiple_subnets; s; s = s->next) {
            if (!s->value) {
                g_warning("[index] subnet match is NULL in qmp entity convert");
                error_setg(errp, "[index] subnet match is NULL in qmp entity convert");
                return false;
            }
            const bool negative = s->value[0] == '!';
            en_ip_addr_t addr, mask;
            if (!en_parse_cidr(s->value + (negative ? 1 : 0), &addr, &mask, errp)) {
                return false;
            }
            if (!addr.is_ipv4) {
                continue;
            }
            if (++count > max_entity_field_num) {
                g_warning("[index] number of range IPs in rule exceeded max entity");
                return false;
            }
            const uint32_t a = addr.addr.ip4, m = mask.addr.ip4;
            const uint32_t start = a & m;
            const uint32_t end = m != 0 ? (~m | a) : 0xFFFFFFFFu;
            events->push_back({start, negative ? 0 : 1, negative ? 1 : 0});
            if (end < 0xFFFFFFFFu) {
                events->push_back({end + 1, negative ? 0 : -1, negative ? -1 : 0});
            }
        }
    }

    std::sort(events->begin(), events->end(),
              [](const AddressEvent &x, const AddressEvent &y) { return x.key < y.key; });
    int64_t pos = 0, neg = 0;
    bool active = false, ever = false;
    for (size_t i = 0; i < events->size();) {
        const uint32_t key = (*events)[i].key;
        for (; i < events->size() && (*events)[i].key == key; i++) {
            pos += (*events)[i].pos;
            neg += (*events)[i].neg;
        }
        if (!active && pos > 0 && neg == 0) {
            map->add_start(key, rule);
            active = ever = true;
        } else if (active && (pos == 0 || neg > 0)) {
            map->add_end(key, rule);
            active = false;
        }
    }
    if (!ever) {
        /* No IPv4 region names the rule; the region at 0 must still exist. */
        map->add_boundary(0);
    }
    return true;
}

bool create_address_side(uint32_t rule, PreIndex *map, const EntityMatch *entity, uint64_t max_entity_field_num,
                         AddressEvents *events, Error **errp)
{
    AGENT_CHECK_NULL_ERR(entity, "entity", errp, false);
    if (entity->has_match_multiple_subnets || entity->has_match_ip_hash) {
        return create_ip_index(rule, map, entity, max_entity_field_num, events, errp);
    }
    map->add_start(0, rule);
    return true;
}

/* Removes from a and b the rules present in both, counting repeats. */
void cancel_common(RuleSet &a, RuleSet &b)
{
    RuleSet only_a, only_b;
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i] < b[j]) {
            only_a.push_back(a[i++]);
        } else if (b[j] < a[i]) {
            only_b.push_back(b[j++]);
        } else {
            i++;
            j++;
        }
    }
    only_a.insert(only_a.end(), a.begin() + static_cast<ptrdiff_t>(i), a.end());
    only_b.insert(only_b.end(), b.begin() + static_cast<ptrdiff_t>(j), b.end());
    a.swap(only_a);
    b.swap(only_b);
}

/* One dimension's boundaries in ascending order with the rules starting and ending at
 * each, then its regions once numbered. The sets point into the dimension's PreIndex. */
struct Dimension {
    struct Step {
        uint32_t key;
        const RuleSet *starts;
        const RuleSet *ends;
    };
    std::vector<Step> steps;
    RegionList regions;
};

std::unique_ptr<Dimension> sorted_boundaries(PreIndex *map, Timings *t)
{
    for (auto &[key, ends] : map->end) {
        auto it = map->start.find(key);
        if (it != map->start.end() && !it->second.empty() && !ends.empty()) {
            cancel_common(it->second, ends);
        }
    }
    g_debug("[index] sorting index keys");
    auto keys = std::make_unique<std::vector<uint32_t>>();
    keys->reserve(map->start.size());
    for (const auto &entry : map->start) {
        keys->push_back(entry.first);
    }
    std::sort(keys->begin(), keys->end());
    auto dim = std::make_unique<Dimension>();
    dim->steps.reserve(keys->size());
    for (uint32_t key : *keys) {
        Dimension::Step step{key, nullptr, nullptr};
        {
            Stopwatch sw(t->start_search);
            step.starts = &map->start.find(key)->second;
        }
        {
            Stopwatch sw(t->end_search);
            auto it = map->end.find(key);
            if (it != map->end.end() && !it->second.empty()) {
                step.ends = &it->second;
            }
        }
        dim->steps.push_back(step);
    }
    release_later(keys);
    return dim;
}

/* First sweep: the regions and their bag numbers from fingerprints alone. */
void number_regions(Dimension *dim, const std::vector<Fingerprint> &keys, std::vector<uint32_t> &count,
                    BagNumbers *numbers, Timings *t)
{
    std::fill(count.begin(), count.end(), 0);
    RegionList &regions = dim->regions;
    regions.clear();
    Fingerprint fp;
    if (!dim->steps.empty() && dim->steps.front().key != 0) {
        regions.push_back({0, numbers->find_or_add(fp)});
    }
    g_debug("[index] getting active rules");
    for (const Dimension::Step &step : dim->steps) {
        {
            Stopwatch sw(t->start_iter);
            for (uint32_t r : *step.starts) {
                if (count[r]++ == 0) {
                    fp.flip(keys[r]);
                }
            }
        }
        if (step.ends) {
            Stopwatch sw(t->end_iter);
            for (uint32_t r : *step.ends) {
                if (count[r] != 0 && --count[r] == 0) {
                    fp.flip(keys[r]);
                }
            }
        }
        uint32_t number;
        {
            Stopwatch sw(t->bv_to_bag);
            number = numbers->find_or_add(fp);
        }
        if (regions.empty() || regions.back().bag != number) {
            regions.push_back({step.key, number});
        }
    }
    if (!regions.empty()) {
        g_debug("[index] Finished running the loop");
    }
}

/* The bag's place in the buffer. A vector is written when its number is first met (the
 * numbers were given in that order) and compared with what was written otherwise. */
class BagArea {
public:
    BagArea(uint8_t *at, uint16_t words, uint32_t count) : at_(at), bytes_(size_t{words} * 8), count_(count) {}

    bool place(uint32_t number, const uint64_t *v)
    {
        uint8_t *slot = at_ + size_t{number} * bytes_;
        if (number == written_ && number < count_) {
            memcpy(slot, v, bytes_);
            written_++;
            return true;
        }
        return number < written_ && memcmp(slot, v, bytes_) == 0;
    }
    bool complete() const { return written_ == count_; }

private:
    uint8_t *at_;
    size_t bytes_;
    uint32_t count_;
    uint32_t written_ = 0;
};

/* Second sweep: the real vectors into the bag; false when two vectors shared a fingerprint.
 * A step that flips no bit keeps a vector already checked. */
bool fill_vectors(const Dimension &dim, std::vector<uint32_t> &count, BitVector &current, BagArea *area)
{
    std::fill(count.begin(), count.end(), 0);
    std::fill(current.begin(), current.end(), 0);
    uint64_t *bits = current.data();
    const RegionList &regions = dim.regions;
    size_t next = 0;
    uint32_t number = 0;
    if (!dim.steps.empty() && dim.steps.front().key != 0) {
        if (regions.empty() || !area->place(regions[0].bag, bits)) {
            return false;
        }
        number = regions[next++].bag;
    }
    for (const Dimension::Step &step : dim.steps) {
        bool changed = false;
        for (uint32_t r : *step.starts) {
            if (count[r]++ == 0) {
                bits[r / 64] |= uint64_t{1} << (r % 64);
                changed = true;
            }
        }
        if (step.ends) {
            for (uint32_t r : *step.ends) {
                if (count[r] != 0 && --count[r] == 0) {
                    bits[r / 64] &= ~(uint64_t{1} << (r % 64));
                    changed = true;
                }
            }
        }
        if (next < regions.size() && regions[next].start == step.key) {
            number = regions[next++].bag;
            if (!area->place(number, bits)) {
                return false;
            }
        } else if (changed && (next == 0 || !area->place(number, bits))) {
            return false;
        }
    }
    return next == regions.size();
}

std::unique_ptr<BitVector> vector_of(const RuleSet &rules, uint16_t words)
{
    auto v = std::make_unique<BitVector>(words, 0);
    for (uint32_t r : rules) {
        (*v)[r / 64] |= uint64_t{1} << (r % 64);
    }
    return v;
}

bool add_rule(uint32_t number, const EnforcementRule *rule, uint64_t max_entity_field_num, PreIndexes *out,
              Timings *t, Error **errp)
{
    {
        Stopwatch sw(t->port_dst);
        if (!create_port_index(number, rule->id ? rule->id : "", out->port.get(), rule->match_dst,
                               max_entity_field_num, errp)) {
            return false;
        }
    }
    {
        Stopwatch sw(t->ip_src);
        if (!create_address_side(number, out->src.get(), rule->match_src, max_entity_field_num,
                                 out->scratch.get(), errp)) {
            return false;
        }
    }
    {
        Stopwatch sw(t->ip_dst);
        if (!create_address_side(number, out->dst.get(), rule->match_dst, max_entity_field_num,
                                 out->scratch.get(), errp)) {
            return false;
        }
    }
    Stopwatch sw(t->protocol);
    for (const IpProtocolList *p = rule->protocols; p; p = p->next) {
        switch (p->value) {
        case IP_PROTOCOL_TCP:
            out->tcp->push_back(number);
            break;
        case IP_PROTOCOL_UDP:
            out->udp->push_back(number);
            break;
        case IP_PROTOCOL_ICMP:
            out->icmp->push_back(number);
            break;
        default:
            /* "all" names no protocol vector. */
            break;
        }
    }
    return true;
}

bool create_pre_indexes_from_table(const EnforcementChainList *input_table, uint64_t max_entity_field_num,
                                   PreIndexes *out, Timings *t, Error **errp)
{
    AGENT_CHECK_NULL_ERR(input_table, "input_table", errp, false);
    out->port = std::make_unique<PreIndex>();
    out->src = std::make_unique<PreIndex>();
    out->dst = std::make_unique<PreIndex>();
    out->tcp = std::make_unique<RuleSet>();
    out->udp = std::make_unique<RuleSet>();
    out->icmp = std::make_unique<RuleSet>();
    out->scratch = std::make_unique<AddressEvents>();
    g_debug("[index] Started index building");
    g_debug("[index] Started pre-index building");

    uint32_t taken = 0;
    for (const EnforcementChainList *c = input_table; c; c = c->next) {
        const EnforcementChain *chain = c->value;
        AGENT_CHECK_NULL_ERR(chain, "chain", errp, false);
        for (const EnforcementRuleList *r = chain->rules; r; r = r->next) {
            if (taken == EN_INDEX_MAX_RULES) {
                g_warning("Too many rules: %u", EN_INDEX_MAX_RULES);
                error_setg(errp, "Too many rules: %u", EN_INDEX_MAX_RULES);
                return false;
            }
            AGENT_CHECK_NULL_ERR(r->value, "rule", errp, false);
            if (!add_rule(taken, r->value, max_entity_field_num, out, t, errp)) {
                return false;
            }
            taken++;
        }
    }

    out->rules16 = static_cast<uint16_t>(taken);
    const uint16_t words = words_for(out->rules16);
    out->tcp_bv = vector_of(*out->tcp, words);
    out->udp_bv = vector_of(*out->udp, words);
    out->icmp_bv = vector_of(*out->icmp, words);
    return true;
}

class Writer {
public:
    Writer(uint8_t *buf, size_t len) : cur_(buf), end_(buf + len) {}

    bool put(const void *data, size_t len, const char *field, Error **errp)
    {
        uint8_t *at = reserve(len, field, errp);
        if (at && len) {
            memcpy(at, data, len);
        }
        return at != nullptr;
    }
    /* Room for len bytes written later, or NULL when the buffer is too small. */
    uint8_t *reserve(size_t len, const char *field, Error **errp)
    {
        if (len > static_cast<size_t>(end_ - cur_)) {
            g_warning("[index] failed to write index field: '%s' (buffer is too small)", field);
            error_setg(errp, "[index] failed to write index field: '%s' (buffer is too small)", field);
            return nullptr;
        }
        uint8_t *at = cur_;
        cur_ += len;
        return at;
    }
    template <typename T>
    bool value(T v, const char *field, Error **errp)
    {
        return put(&v, sizeof v, field, errp);
    }
    /* A region list as its two arrays: starts as Start, then bag numbers. */
    template <typename Start>
    bool regions(const RegionList &list, const char *starts_field, const char *bags_field, Error **errp)
    {
        uint8_t *starts = reserve(list.size() * sizeof(Start), starts_field, errp);
        if (!starts) {
            return false;
        }
        uint8_t *bags = reserve(list.size() * 4, bags_field, errp);
        if (!bags) {
            return false;
        }
        for (const Region &region : list) {
            const auto start = static_cast<Start>(region.start);
            memcpy(starts, &start, sizeof start);
            starts += sizeof start;
            memcpy(bags, &region.bag, 4);
            bags += 4;
        }
        return true;
    }

private:
    uint8_t *cur_;
    uint8_t *end_;
};

/* What the first sweep found: the bag numbers of the protocol vectors and the counts the
 * buffer's length follows from. */
struct Numbering {
    uint32_t tcp = 0, udp = 0, icmp = 0;
    uint32_t bags = 0;
    size_t len = 0;
};

Numbering number_all(Dimension *const dims[3], const PreIndexes &pre, const std::vector<Fingerprint> &keys,
                     std::vector<uint32_t> &count, Timings *t)
{
    BagNumbers numbers;
    g_debug("[index] compacting pre-indexes");
    for (int d = 0; d < 3; d++) {
        number_regions(dims[d], keys, count, &numbers, t);
    }
    auto fingerprint = [&](const BitVector &v) {
        Fingerprint fp;
        for (size_t w = 0; w < v.size(); w++) {
            for (uint64_t bits = v[w]; bits; bits &= bits - 1) {
                fp.flip(keys[w * 64 + static_cast<size_t>(std::countr_zero(bits))]);
            }
        }
        return fp;
    };
    Numbering n;
    n.tcp = numbers.find_or_add(fingerprint(*pre.tcp_bv));
    n.udp = numbers.find_or_add(fingerprint(*pre.udp_bv));
    n.icmp = numbers.find_or_add(fingerprint(*pre.icmp_bv));
    n.bags = numbers.size();
    n.len = 8 * size_t{words_for(pre.rules16)} * n.bags + 6 * dims[0]->regions.size() +
            8 * dims[1]->regions.size() + 8 * dims[2]->regions.size() + 32;
    return n;
}

/* The driver refuses an index beyond its limits; refusing it here spares building it. */
bool within_limits(const Numbering &n, Dimension *const dims[3], const en_index_limits_t *limits, Error **errp)
{
    if (!limits) {
        return true;
    }
    const size_t regions =
        std::max({dims[0]->regions.size(), dims[1]->regions.size(), dims[2]->regions.size()});
    if (limits->max_rule_index_size != 0 && n.len > limits->max_rule_index_size) {
        g_warning("[index] rule index of %zu bytes exceeds the limit of %" PRIu64 " bytes", n.len,
                  limits->max_rule_index_size);
        error_setg(errp, "[index] rule index of %zu bytes exceeds the limit of %" PRIu64 " bytes", n.len,
                   limits->max_rule_index_size);
        return false;
    }
    if (limits->max_vectors_in_bag != 0 && n.bags > limits->max_vectors_in_bag) {
        g_warning("[index] rule index of %" PRIu32 " vectors exceeds the limit of %" PRIu64 " vectors", n.bags,
                  limits->max_vectors_in_bag);
        error_setg(errp, "[index] rule index of %" PRIu32 " vectors exceeds the limit of %" PRIu64 " vectors",
                   n.bags, limits->max_vectors_in_bag);
        return false;
    }
    if (limits->max_index_range_count != 0 && regions > limits->max_index_range_count) {
        g_warning("[index] rule index of %zu regions in one dimension exceeds the limit of %" PRIu64 " regions",
                  regions, limits->max_index_range_count);
        error_setg(errp, "[index] rule index of %zu regions in one dimension exceeds the limit of %" PRIu64
                   " regions", regions, limits->max_index_range_count);
        return false;
    }
    return true;
}

/* Lays out everything but the vectors; returns where the bag's vectors go. */
uint8_t *write_layout(Writer &w, const Numbering &n, const PreIndexes &pre, Dimension *const dims[3], Error **errp)
{
    const uint16_t words = words_for(pre.rules16);
    uint8_t *vectors = nullptr;
    bool ok = w.value(n.bags, "INDEX_BAG", errp) && w.value(pre.rules16, "INDEX_BAG", errp) &&
              w.value(words, "INDEX_BAG", errp) &&
              (vectors = w.reserve(8 * size_t{words} * n.bags, "INDEX_BAG", errp)) != nullptr &&
              w.value(n.tcp, "INDEX_TCP", errp) && w.value(n.udp, "INDEX_UDP", errp) &&
              w.value(n.icmp, "INDEX_ICMP", errp);
    if (!ok) {
        return nullptr;
    }
    g_debug("[index] Inserting indexes to hash");
    g_debug("[index] before compact_index_to_hash: compact_index_dst_port");
    ok = w.value(static_cast<uint32_t>(dims[0]->regions.size()), "INDEX_PORT_LEN", errp) &&
         w.regions<uint16_t>(dims[0]->regions, "INDEX_PORT_START_VALS", "INDEX_PORT_BV", errp);
    g_debug("[index] after compact_index_to_hash: compact_index_dst_port");
    g_debug("[index] before compact_index_to_hash: compact_index_src_ip");
    ok = ok && w.value(static_cast<uint32_t>(dims[1]->regions.size()), "INDEX_IP_SRC_LEN", errp) &&
         w.regions<uint32_t>(dims[1]->regions, "INDEX_IP_SRC_START_VALS", "INDEX_IP_SRC_BV", errp);
    g_debug("[index] After compact_index_to_hash: compact_index_src_ip");
    g_debug("[index] before compact_index_to_hash: compact_index_dst_ip");
    ok = ok && w.value(static_cast<uint32_t>(dims[2]->regions.size()), "INDEX_IP_DST_LEN", errp) &&
         w.regions<uint32_t>(dims[2]->regions, "INDEX_IP_DST_START_VALS", "INDEX_IP_DST_BV", errp);
    g_debug("[index] after compact_index_to_hash: compact_index_dst_ip");
    return ok ? vectors : nullptr;
}

bool fill_bag(uint8_t *vectors, const Numbering &n, const PreIndexes &pre, Dimension *const dims[3],
              std::vector<uint32_t> &count)
{
    const uint16_t words = words_for(pre.rules16);
    BagArea area(vectors, words, n.bags);
    auto current = std::make_unique<BitVector>(words, 0);
    bool ok = fill_vectors(*dims[0], count, *current, &area) && fill_vectors(*dims[1], count, *current, &area) &&
              fill_vectors(*dims[2], count, *current, &area) && area.place(n.tcp, pre.tcp_bv->data()) &&
              area.place(n.udp, pre.udp_bv->data()) && area.place(n.icmp, pre.icmp_bv->data()) &&
              area.complete();
    release_later(current);
    return ok;
}

/* Reruns after a fingerprint clash; each run draws new keys, so a second clash is as
 * unlikely as the first. */
constexpr int kNumberingRuns = 4;

}  // namespace

bool en_convert_single_index(const EnforcementChainList *input_table, uint64_t max_entity_field_num,
                             const en_index_limits_t *limits, uint8_t **out_buf, size_t *out_len, Error **errp)
{
    AGENT_CHECK_NULL_ERR(out_buf, "out_buf", errp, false);
    AGENT_CHECK_NULL_ERR(out_len, "out_len", errp, false);
    Timings t;
    PreIndexes pre;
    if (!create_pre_indexes_from_table(input_table, max_entity_field_num, &pre, &t, errp)) {
        pre.release_rest();
        return false;
    }
    std::unique_ptr<Dimension> port = sorted_boundaries(pre.port.get(), &t);
    std::unique_ptr<Dimension> src = sorted_boundaries(pre.src.get(), &t);
    std::unique_ptr<Dimension> dst = sorted_boundaries(pre.dst.get(), &t);
    Dimension *const dims[3] = {port.get(), src.get(), dst.get()};
    const uint32_t rule_count = pre.rules16 == 0 ? EN_INDEX_MAX_RULES : pre.rules16;
    auto count = std::make_unique<std::vector<uint32_t>>(rule_count, 0);

    uint8_t *buf = nullptr;
    size_t len = 0;
    bool ok = false, refused = false;
    for (int run = 0; run < kNumberingRuns && !ok && !refused; run++) {
        unsigned weak = s_weak_builds.load();
        while (weak > 0 && !s_weak_builds.compare_exchange_weak(weak, weak - 1)) {
        }
        auto keys = std::make_unique<std::vector<Fingerprint>>(rule_keys(rule_count, weak > 0));
        const Numbering n = number_all(dims, pre, *keys, *count, &t);
        release_later(keys);
        if (!within_limits(n, dims, limits, errp)) {
            refused = true;
            break;
        }
        len = n.len;
        buf = static_cast<uint8_t *>(g_malloc0(len));
        platform_large_buffer_hint(buf, len);
        Writer w(buf, len);
        uint8_t *vectors = write_layout(w, n, pre, dims, errp);
        if (!vectors) {
            refused = true;
            break;
        }
        g_debug("[index] Creating endr_bag");
        Stopwatch sw(t.bv_to_bag);
        ok = fill_bag(vectors, n, pre, dims, *count);
        if (!ok) {
            g_debug("[index] two rule vectors shared a fingerprint, numbering again");
            g_free(buf);
            buf = nullptr;
        }
    }
    if (!ok && !refused) {
        g_warning("[index] could not tell the rule vectors apart");
        error_setg(errp, "[index] could not tell the rule vectors apart");
    }
    release_later(count);
    release_later(port);
    release_later(src);
    release_later(dst);
    pre.release_rest();
    if (!ok) {
        g_free(buf);
        return false;
    }
    *out_buf = buf;
    *out_len = len;

    g_debug("[index] Finished creating index");
    g_debug("[index] total time of pre_index_ip_src: %f", seconds(t.ip_src));
    g_debug("[index] total time of pre_index_ip_dst: %f", seconds(t.ip_dst));
    g_debug("[index] total time of pre_index_port_dst: %f", seconds(t.port_dst));
    g_debug("[index] total time of pre_index_protocol: %f", seconds(t.protocol));
    g_debug("[index] total time of create_index_start_search: %f", seconds(t.start_search));
    g_debug("[index] total time of create_index_start_iter: %f", seconds(t.start_iter));
    g_debug("[index] total time of create_index_end_search: %f", seconds(t.end_search));
    g_debug("[index] total time of create_index_end_iter: %f", seconds(t.end_iter));
    g_debug("[index] total time of bv_to_bag: %f", seconds(t.bv_to_bag));
    return true;
}

void en_index_set_weak_fingerprints(unsigned builds)
{
    s_weak_builds.store(builds);
}

void en_index_free_thread_init(void)
{
    g_mutex_lock(&s_free_lock);
    if (s_free_active != 0) {
        g_mutex_unlock(&s_free_lock);
        return;
    }
    s_free_active = ++s_free_generations;
    const uint64_t generation = s_free_active;
    s_free_running++;
    if (!s_free_threads) {
        s_free_threads = g_ptr_array_new();
    }
    g_ptr_array_add(s_free_threads, g_thread_new(kFreeThreadName, free_thread_main, GSIZE_TO_POINTER(generation)));
    g_mutex_unlock(&s_free_lock);
}

void en_index_free_thread_stop(void)
{
    g_mutex_lock(&s_free_lock);
    s_free_active = 0;
    /* Broadcast: a thread of an earlier generation may still wait beside the current one. */
    g_cond_broadcast(&s_free_cond);
    /* What the thread had not reached yet is released here, or it would outlive the module. */
    GQueue left = s_free_queue;
    s_free_queue = G_QUEUE_INIT;
    g_mutex_unlock(&s_free_lock);
    while (auto *item = static_cast<FreeItem *>(g_queue_pop_head(&left))) {
        item->release(item->ptr);
        g_free(item);
    }
    /* The module's code may be unmapped once its cleanup returns: a release in progress
     * ends first. */
    const gint64 deadline = g_get_monotonic_time() + kFreeJoinSeconds * G_TIME_SPAN_SECOND;
    g_mutex_lock(&s_free_lock);
    bool ended = true;
    while (s_free_running > 0 && ended) {
        ended = g_cond_wait_until(&s_free_cond, &s_free_lock, deadline) || s_free_running == 0;
    }
    GPtrArray *threads = s_free_threads;
    s_free_threads = nullptr;
    g_mutex_unlock(&s_free_lock);
    if (!ended) {
        g_warning("[index] free thread did not finish within %lld seconds", static_cast<long long>(kFreeJoinSeconds));
    }
    for (guint i = 0; threads && i < threads->len; i++) {
        auto *thread = static_cast<GThread *>(g_ptr_array_index(threads, i));
        if (ended) {
            g_thread_join(thread);
        } else {
            g_thread_unref(thread);
        }
    }
    if (threads) {
        g_ptr_array_free(threads, TRUE);
    }
}

void en_index_free_thread_enqueue(void *ptr, GDestroyNotify release)
{
    auto *item = g_new(FreeItem, 1);
    *item = {ptr, release};
    g_mutex_lock(&s_free_lock);
    if (s_free_active == 0) {
        g_mutex_unlock(&s_free_lock);
        g_free(item);
        release(ptr);
        return;
    }
    g_queue_push_tail(&s_free_queue, item);
    g_cond_broadcast(&s_free_cond);
    g_mutex_unlock(&s_free_lock);
}
