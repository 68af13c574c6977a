/*
 * The policy index: the lookup index the driver uses to find the candidate rules of a
 * connection without walking the rules, one buffer per table.
 *
 * Rules are numbered from 0 chain by chain, in the order the conversion sends them. For
 * the destination port, the IPv4 source and the IPv4 destination the value space is cut
 * into regions, each naming the rules active over all of it as a bit vector; TCP, UDP and
 * ICMP have one vector each. Identical vectors are stored once in the bag. A rule can
 * match only if its bit is set in the vector of every dimension.
 *
 * Buffer (packed, little-endian; N bag size, R rule count in 16 bits (0 for 65536), W
 * words per vector, P/S/D region counts):
 *   u32 N, u16 R, u16 W, N*W u64 vectors, u32 TCP, u32 UDP, u32 ICMP bag numbers,
 *   u32 P, P u16 port starts, P u32 bag numbers,
 *   u32 S, S u32 source starts, S u32 bag numbers, u32 D, D u32 starts, D u32 bag numbers
 * with length 8*W*N + 6*P + 8*S + 8*D + 32.
 *
 * Building runs on the pushing thread; every intermediate structure is released on the
 * low-priority "policy-indexing-free-thread" instead.
 */
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>

struct Error;
struct EnforcementChainList;
struct en_index_limits_t;

#define EN_INDEX_MAX_RULES 65536u

/*
 * Builds the index buffer of one table. max_entity_field_num ("policy.max_entity_field_num")
 * bounds, per rule and entity, the IPv4 addresses, IPv4 subnets, single ports and port
 * ranges, each kind on its own. On success *out_buf is a fresh g_malloc'ed buffer of
 * exactly *out_len bytes that the caller g_frees.
 *
 * limits, when not NULL, are the driver's index limits (0: none): an index beyond them is
 * refused from its sizes alone, before its bit vectors are built, naming its size and the
 * limit.
 *
 * Failures: NULL arguments, a NULL chain or rule record, more than 65536 rules, a port
 * range whose start is above its end, bad subnet texts and an index beyond the limits set
 * errp; the per-entity limits only log a warning and an address text that does not convert
 * only logs the conversion's line, so errp may stay unset on failure.
 */
bool en_convert_single_index(const EnforcementChainList *input_table, uint64_t max_entity_field_num,
                             const en_index_limits_t *limits, uint8_t **out_buf, size_t *out_len, Error **errp);

/* Tests only: the next builds (count) tell vectors apart with keys that clash on purpose,
 * so that the rerun after a clash is exercised. */
void en_index_set_weak_fingerprints(unsigned builds);

/*
 * The release thread. init starts it (nothing when it runs already); stop asks it to exit,
 * releases on the caller's thread the items it had not reached, and joins it once the
 * release in progress ended (given up with a warning after 30 seconds). enqueue hands it
 * ptr to be released by release(ptr), in arrival order; with no thread running the item is
 * released at once on the caller's thread. All three are safe from any thread.
 */
void en_index_free_thread_init(void);
void en_index_free_thread_stop(void);
void en_index_free_thread_enqueue(void *ptr, GDestroyNotify release);
