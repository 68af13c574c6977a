#include "enforcement/framework/agent/en-index.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "enforcement/framework/common/en-utils.h"
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

uint32_t djb2(const uint64_t *words, size_t count)
{
    uint32_t h = 5381;
    const auto *bytes = reinterpret_cast<const uint8_t *>(words);
    for (size_t i = 0; i < count * 8; i++) {
        h = h * 33 + bytes[i];
    }
    return h;
}

/*
 * The distinct vectors of one table, numbered in the order first met, stored back to
 * back so that laying out the bag is one copy. Lookups hash with djb2; the sweep keeps
 * the hash of its current vector up to date per bit (djb2 is a polynomial in the bytes),
 * so a lookup does not rehash 8 KiB vectors.
 */
class Bag {
public:
    void set_words(uint16_t words)
    {
        words_ = words;
        const size_t bytes = size_t{words} * 8;
        weights_.resize(bytes);
        uint32_t w = 1;
        for (size_t i = bytes; i-- > 0;) {
            weights_[i] = w;
            w *= 33;
        }
        zero_hash_ = 5381 * w;
    }
    uint16_t words() const { return words_; }
    uint32_t size() const { return static_cast<uint32_t>(hashes_.size()); }
    const uint64_t *data() const { return store_.data(); }
    uint32_t zero_hash() const { return zero_hash_; }

    /* The hash change of flipping bit r, to add when setting and subtract when clearing. */
    uint32_t bit_weight(uint32_t r) const { return (uint32_t{1} << (r % 8)) * weights_[r / 8]; }

    uint32_t find_or_add(const uint64_t *v, uint32_t hash)
    {
        if (size() * 2 >= slots_.size()) {
            grow();
        }
        const size_t mask = slots_.size() - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            uint32_t slot = slots_[i];
            if (slot == 0) {
                const uint32_t number = size();
                store_.insert(store_.end(), v, v + words_);
                hashes_.push_back(hash);
                slots_[i] = number + 1;
                return number;
            }
            if (hashes_[slot - 1] == hash &&
                memcmp(&store_[size_t{slot - 1} * words_], v, size_t{words_} * 8) == 0) {
                return slot - 1;
            }
        }
    }

private:
    void grow()
    {
        std::vector<uint32_t> slots(std::max<size_t>(64, slots_.size() * 2), 0);
        const size_t mask = slots.size() - 1;
        for (uint32_t n = 0; n < size(); n++) {
            size_t i = hashes_[n] & mask;
            while (slots[i] != 0) {
                i = (i + 1) & mask;
            }
            slots[i] = n + 1;
        }
        slots_.swap(slots);
    }

    uint16_t words_ = 0;
    uint32_t zero_hash_ = 0;
    std::vector<uint32_t> weights_;
    std::vector<uint64_t> store_;
    std::vector<uint32_t> hashes_;
    std::vector<uint32_t> slots_;
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
    std::unique_ptr<RegionList> port_regions, src_regions, dst_regions;
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
        release_later(port_regions);
        release_later(src_regions);
        release_later(dst_regions);
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

std::unique_ptr<RegionList> compact_index_to_hash(PreIndex *map, Bag *bag, uint16_t rules16, Timings *t)
{
    for (auto &[key, ends] : map->end) {
        auto it = map->start.find(key);
        if (it != map->start.end() && !it->second.empty() && !ends.empty()) {
            cancel_common(it->second, ends);
        }
    }
    const uint32_t rule_count = rules16 == 0 ? EN_INDEX_MAX_RULES : rules16;
    auto counters = std::make_unique<std::vector<uint32_t>>(rule_count, 0);
    auto current = std::make_unique<BitVector>(bag->words(), 0);
    uint32_t hash = bag->zero_hash();

    g_debug("[index] sorting index keys");
    auto keys = std::make_unique<std::vector<uint32_t>>();
    keys->reserve(map->start.size());
    for (const auto &entry : map->start) {
        keys->push_back(entry.first);
    }
    std::sort(keys->begin(), keys->end());

    auto regions = std::make_unique<RegionList>();
    if (!keys->empty() && keys->front() != 0) {
        regions->push_back({0, bag->find_or_add(current->data(), hash)});
    }
    g_debug("[index] getting active rules");
    uint64_t *bits = current->data();
    std::vector<uint32_t> &count = *counters;
    for (uint32_t key : *keys) {
        const RuleSet *starts;
        {
            Stopwatch sw(t->start_search);
            starts = &map->start.find(key)->second;
        }
        {
            Stopwatch sw(t->start_iter);
            for (uint32_t r : *starts) {
                if (count[r]++ == 0) {
                    bits[r / 64] |= uint64_t{1} << (r % 64);
                    hash += bag->bit_weight(r);
                }
            }
        }
        const RuleSet *ends = nullptr;
        {
            Stopwatch sw(t->end_search);
            auto it = map->end.find(key);
            if (it != map->end.end()) {
                ends = &it->second;
            }
        }
        if (ends) {
            Stopwatch sw(t->end_iter);
            for (uint32_t r : *ends) {
                if (count[r] != 0 && --count[r] == 0) {
                    bits[r / 64] &= ~(uint64_t{1} << (r % 64));
                    hash -= bag->bit_weight(r);
                }
            }
        }
        uint32_t number;
        {
            Stopwatch sw(t->bv_to_bag);
            number = bag->find_or_add(bits, hash);
        }
        if (regions->empty() || regions->back().bag != number) {
            regions->push_back({key, number});
        }
    }
    if (!regions->empty()) {
        g_debug("[index] Finished running the loop");
    }
    release_later(counters);
    release_later(keys);
    release_later(current);
    return regions;
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
                                   Bag *bag, PreIndexes *out, Timings *t, Error **errp)
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
    bag->set_words(words);
    out->tcp_bv = vector_of(*out->tcp, words);
    out->udp_bv = vector_of(*out->udp, words);
    out->icmp_bv = vector_of(*out->icmp, words);

    g_debug("[index] compacting pre-indexes");
    out->port_regions = compact_index_to_hash(out->port.get(), bag, out->rules16, t);
    out->src_regions = compact_index_to_hash(out->src.get(), bag, out->rules16, t);
    out->dst_regions = compact_index_to_hash(out->dst.get(), bag, out->rules16, t);
    return true;
}

/* Region starts and bag numbers as the two arrays the buffer holds. */
template <typename Start>
struct RegionArrays {
    std::vector<Start> starts;
    std::vector<uint32_t> bags;
};

template <typename Start>
std::unique_ptr<RegionArrays<Start>> to_arrays(std::unique_ptr<RegionList> &regions)
{
    auto arrays = std::make_unique<RegionArrays<Start>>();
    arrays->starts.reserve(regions->size());
    arrays->bags.reserve(regions->size());
    for (const Region &region : *regions) {
        arrays->starts.push_back(static_cast<Start>(region.start));
        arrays->bags.push_back(region.bag);
    }
    release_later(regions);
    return arrays;
}

class Writer {
public:
    Writer(uint8_t *buf, size_t len) : cur_(buf), end_(buf + len) {}

    bool put(const void *data, size_t len, const char *field, Error **errp)
    {
        if (len > static_cast<size_t>(end_ - cur_)) {
            g_warning("[index] failed to write index field: '%s' (buffer is too small)", field);
            error_setg(errp, "[index] failed to write index field: '%s' (buffer is too small)", field);
            return false;
        }
        if (len) {
            memcpy(cur_, data, len);
        }
        cur_ += len;
        return true;
    }
    template <typename T>
    bool value(T v, const char *field, Error **errp)
    {
        return put(&v, sizeof v, field, errp);
    }
    template <typename T>
    bool array(const std::vector<T> &v, const char *field, Error **errp)
    {
        return put(v.data(), v.size() * sizeof(T), field, errp);
    }

private:
    uint8_t *cur_;
    uint8_t *end_;
};

}  // namespace

bool en_convert_single_index(const EnforcementChainList *input_table, uint64_t max_entity_field_num,
                             uint8_t **out_buf, size_t *out_len, Error **errp)
{
    AGENT_CHECK_NULL_ERR(out_buf, "out_buf", errp, false);
    AGENT_CHECK_NULL_ERR(out_len, "out_len", errp, false);
    Timings t;
    auto bag = std::make_unique<Bag>();
    PreIndexes pre;
    bool built = create_pre_indexes_from_table(input_table, max_entity_field_num, bag.get(), &pre, &t, errp);
    pre.release_maps();
    if (!built) {
        pre.release_rest();
        release_later(bag);
        return false;
    }

    g_debug("[index] Inserting indexes to hash");
    g_debug("[index] before compact_index_to_hash: compact_index_dst_port");
    auto port = to_arrays<uint16_t>(pre.port_regions);
    g_debug("[index] after compact_index_to_hash: compact_index_dst_port");
    g_debug("[index] before compact_index_to_hash: compact_index_src_ip");
    auto src = to_arrays<uint32_t>(pre.src_regions);
    g_debug("[index] After compact_index_to_hash: compact_index_src_ip");
    g_debug("[index] before compact_index_to_hash: compact_index_dst_ip");
    auto dst = to_arrays<uint32_t>(pre.dst_regions);
    g_debug("[index] after compact_index_to_hash: compact_index_dst_ip");

    const uint16_t words = bag->words();
    const uint32_t tcp = bag->find_or_add(pre.tcp_bv->data(), djb2(pre.tcp_bv->data(), words));
    const uint32_t udp = bag->find_or_add(pre.udp_bv->data(), djb2(pre.udp_bv->data(), words));
    const uint32_t icmp = bag->find_or_add(pre.icmp_bv->data(), djb2(pre.icmp_bv->data(), words));

    g_debug("[index] Creating endr_bag");
    const uint32_t n = bag->size();
    const size_t p = port->starts.size(), s = src->starts.size(), d = dst->starts.size();
    const size_t len = 8 * size_t{words} * n + 6 * p + 8 * s + 8 * d + 32;
    auto *buf = static_cast<uint8_t *>(g_malloc0(len));
    Writer w(buf, len);
    bool ok = w.value(n, "INDEX_BAG", errp) && w.value(pre.rules16, "INDEX_BAG", errp) &&
              w.value(words, "INDEX_BAG", errp) && w.put(bag->data(), 8 * size_t{words} * n, "INDEX_BAG", errp) &&
              w.value(tcp, "INDEX_TCP", errp) && w.value(udp, "INDEX_UDP", errp) &&
              w.value(icmp, "INDEX_ICMP", errp) &&
              w.value(static_cast<uint32_t>(p), "INDEX_PORT_LEN", errp) &&
              w.array(port->starts, "INDEX_PORT_START_VALS", errp) && w.array(port->bags, "INDEX_PORT_BV", errp) &&
              w.value(static_cast<uint32_t>(s), "INDEX_IP_SRC_LEN", errp) &&
              w.array(src->starts, "INDEX_IP_SRC_START_VALS", errp) && w.array(src->bags, "INDEX_IP_SRC_BV", errp) &&
              w.value(static_cast<uint32_t>(d), "INDEX_IP_DST_LEN", errp) &&
              w.array(dst->starts, "INDEX_IP_DST_START_VALS", errp) && w.array(dst->bags, "INDEX_IP_DST_BV", errp);

    release_later(bag);
    pre.release_rest();
    release_later(port);
    release_later(src);
    release_later(dst);
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
