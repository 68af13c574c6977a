/*
 * The emulated driver's decoded policy: rule buffers and table indexes as they are
 * staged, and the classifier that reads them.
 *
 * Classification semantics (tests rely on them):
 * - outbound uses the OUTPUT table, inbound the INPUT table; the source is the local
 *   endpoint for outbound and the remote one for inbound;
 * - candidates = protocol vector AND destination-port region vector (ICMP looks up
 *   port 0) AND, for IPv4 only, the source and destination region vectors;
 * - a candidate matches when every criterion of its rule buffer holds:
 *   - IPv6 traffic: a side whose address flag (subnets or addresses) is set needs an
 *     IPv6 address or a non-negated IPv6 subnet covering the address, and no negated
 *     IPv6 subnet covering it (so a side with only IPv4 entries never matches IPv6);
 *   - processes: checked on the local side's entity against the lids of the local
 *     process; a process criterion on the remote side never matches (that process is
 *     unknown to this host);
 *   - DNS names: checked on the remote side's entity against the connection's name,
 *     ASCII case and one trailing dot ignored; on the local side it never matches;
 *   - ICMP entries (either side): an ICMP connection of the entry's IP version with
 *     the same type and, when the entry has a code, the same code;
 *   - services (a set service flag or the any-service flag): checked on the local side's
 *     entity against the service of the local process (Connection::service, see
 *     engine_connection_service); on the remote side they never match. Any-service needs
 *     a service; a named one needs the same name, where a name without ".service" also
 *     names the unit NAME.service, and, when it lists image lids, one of them among the
 *     local process's lids; a set flag with no names matches nothing;
 *   - groups: checked on the local side's entity (on the remote side they never
 *     match) against the user of the local process (effective uid and groups from
 *     /proc/<pid>/status) as the last user-sessions buffer shows it. Only a user with
 *     an active session ({1, uid} in the buffer) matches, by a domain group SID
 *     {2, gid} that is in the buffer and among the process's groups, by local_users
 *     when {113, uid} is there, by local_admins when {114, uid} is there. Without a
 *     buffer, or for a connection without a live process, nothing matches. While the
 *     sessions are murky the groups are unknown: the criterion is taken as holding for
 *     BLOCK rules and as failing for every other verdict, so an untrusted picture
 *     never lets traffic through that a trusted one would block;
 * - the lowest-numbered matching rule decides; none means ALLOW with an empty id.
 */
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace endr {

struct Ip6Subnet {
    bool negated;
    std::array<uint8_t, 16> addr;
    std::array<uint8_t, 16> mask;
};

struct Sid {
    std::vector<uint32_t> subauths;
};

struct Service {
    std::string name;
    std::vector<uint16_t> image_lids;
};

struct IcmpEntry {
    bool v4;
    uint8_t type;
    bool has_code;
    uint8_t code;
};

struct Entity {
    bool has_subnets = false;
    std::vector<Ip6Subnet> subnets;
    bool has_ips = false;
    std::vector<std::array<uint8_t, 16>> ips;
    bool has_processes = false;
    std::vector<uint16_t> lids;
    bool has_dns = false;
    std::vector<std::string> dns;
    bool has_groups = false;
    std::vector<Sid> sids;
    bool local_users = false;
    bool local_admins = false;
    bool has_services = false;
    bool any_service = false;
    std::vector<Service> services;
    bool has_icmp = false;
    std::vector<IcmpEntry> icmp;
};

struct DecodedRule {
    Entity src;
    Entity dst;
    uint64_t type = 0;
    uint64_t verdict = 0;
    std::string id;
};

/* 87 unless both entities and the trailer fill the buffer exactly. */
uint32_t decode_rule(std::span<const uint8_t> b, DecodedRule *out);

struct Regions {
    std::vector<uint32_t> starts;
    std::vector<uint32_t> bags;
    /* Bag number of the region holding v; the list must not be empty. */
    uint32_t lookup(uint32_t v) const;
};

struct DecodedIndex {
    uint32_t rules = 0; /* 65536 when the 16-bit count is 0 */
    uint16_t words = 0;
    std::vector<uint64_t> bag; /* bag size × words */
    uint32_t tcp = 0, udp = 0, icmp = 0;
    Regions port, src, dst;

    const uint64_t *vector(uint32_t bag_number) const { return bag.data() + size_t{bag_number} * words; }
};

/* 87 unless the layout adds up, bag numbers are in range and regions start at 0 ascending
 * (a table whose chains hold no rules has no regions at all). */
uint32_t decode_index(std::span<const uint8_t> b, DecodedIndex *out);

/* The local process's user as the session picture shows it. */
struct SessionUser {
    bool murky = false;
    bool session_user = false;
    bool local_user = false;
    bool local_admin = false;
    /* Group SIDs {2, gid} both in the picture and among the process's groups. */
    std::vector<std::vector<uint32_t>> sids;
};

/* A connection as the classifier sees it; addresses in network byte order. */
struct Connection {
    bool inbound = false;
    uint8_t protocol = 0; /* 0 TCP, 1 UDP, 2 ICMP */
    bool ipv6 = false;
    std::array<uint8_t, 16> local{};
    std::array<uint8_t, 16> remote{};
    uint16_t local_port = 0;
    uint16_t remote_port = 0;
    std::vector<uint16_t> lids;
    std::string dns;
    bool has_icmp_type = false;
    uint8_t icmp_type = 0;
    bool has_icmp_code = false;
    uint8_t icmp_code = 0;
    /* The local process (0: none) and, filled by the engine, its service ("" when it has
     * none) and its user's groups. */
    uint64_t pid = 0;
    std::string service;
    SessionUser user;
    /* Whether the verdict counts every candidate: a pass over each vector whole. */
    bool count_candidates = true;
};

struct Verdict {
    uint32_t verdict = 2;
    std::string rule_id;
    int64_t rule_number = -1;
    uint64_t candidates = 0;
};

/*
 * The bags a connection's values fall in: protocol, destination port and, for IPv4, source
 * and destination address; their count (2 or 4), or 0 when the table cannot match at all.
 */
size_t table_bags(const DecodedIndex *index, const std::vector<DecodedRule> &rules, const Connection &c,
                  uint32_t bags[4]);
/* Every rule-buffer criterion of a candidate holds. */
bool rule_matches(const DecodedRule &rule, const Connection &c);

/* One table: the index (absent for an empty table) and the rules in numbering order.
 * Counts every candidate, so it reads each vector whole; fastpath_classify does not. */
Verdict classify_table(const DecodedIndex *index, const std::vector<DecodedRule> &rules, const Connection &c);
bool entity_matches(const Entity &e, bool local_side, const std::array<uint8_t, 16> &addr, const Connection &c);

} // namespace endr
